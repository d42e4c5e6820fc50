// The repository lock that orders manifest, tag, referrer and blob-link changes of one
// repository across processes and hosts, and the claim that restarts a file's grace period
// when a request acknowledges it again.
#include "platform/bv_platform_file.h"
#include "platform/bv_platform_time.h"
#include "storage/storage_internal.h"

namespace reg_internal {

void (*s_repo_locked_hook)(const char *operation, const char *repo_name);

int repo_lock::acquire(const char *repo_name) {
    char dir[kPathSize];
    char path[kPathSize];
    repo_dir(repo_name, dir, sizeof dir);
    repo_lock_path(repo_name, path, sizeof path);
    if (mkdirs(dir) != 0 || !file_.acquire(path)) {
        set_error(REG_ERR_IO, "cannot lock repository %s", repo_name);
        return -1;
    }
    return 0;
}

int claim_file(const char *path) {
    return file_exists(path) && bv_platform::set_mtime(path, bv_platform::now_seconds()) ? 0 : -1;
}

}  // namespace reg_internal
