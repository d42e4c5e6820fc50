// Storage engine core: the process-wide state, initialisation and clean-up, the last-error
// slot and the readiness test that every operation runs first.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "platform/bv_platform.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace reg_internal {

char s_root[kRootSize];
int s_ready;
char s_error[kErrorSize];
char s_result[kResultSize];
reg_error_kind s_error_kind;

void set_error(reg_error_kind kind, const char *fmt, ...) {
    s_error_kind = kind;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(s_error, sizeof s_error, fmt, ap);
    va_end(ap);
}

int require_ready() {
    if (s_ready) return 0;
    set_error(REG_ERR_NOT_READY, "not initialized - call reg_storage_init first");
    return -1;
}

int require_repo(const char *repo_name) {
    if (require_ready() != 0) return -1;
    if (repo_name_valid(repo_name)) return 0;
    set_error(REG_ERR_NAME_INVALID, "invalid repository name");
    return -1;
}

int require_repo_digest(const char *repo_name, const char *digest) {
    if (require_repo(repo_name) != 0) return -1;
    if (digest_valid(digest)) return 0;
    set_error(REG_ERR_DIGEST_INVALID, "invalid digest");
    return -1;
}

namespace {

constexpr char kStorageConfig[] =
    "{\n"
    "  \"schemaVersion\": 2,\n"
    "  \"title\": \"brindova-registry-storage\",\n"
    "  \"version\": \"1.0.0\",\n"
    "  \"maxUploadSize\": -1\n"
    "}\n";

}  // namespace
}  // namespace reg_internal

using namespace reg_internal;

namespace {

// The root whose tree the last initialisation found or made whole, until reg_storage_cleanup. A
// process serving many requests ends each with reg_storage_end_request and opens the same root
// for the next: the tree it just saw is taken as still there, while the settings are read afresh.
char s_tree_root[kRootSize];

// The root and the folders below it that every operation expects.
int make_tree() {
    if (!dir_exists(s_root) && mkdirs(s_root) != 0) {
        set_error(REG_ERR_IO, "cannot create the storage root");
        return -1;
    }
    char path[kPathSize];
    using dir_path_fn = void (*)(char *, size_t);
    for (dir_path_fn dir : {static_cast<dir_path_fn>(blobs_dir), static_cast<dir_path_fn>(repos_dir),
                            static_cast<dir_path_fn>(uploads_dir)}) {
        dir(path, sizeof path);
        if (!dir_exists(path) && mkdirs(path) != 0) {
            set_error(REG_ERR_IO, "cannot create the storage tree");
            return -1;
        }
    }
    return 0;
}

}  // namespace

extern "C" int reg_storage_init(const char *root) {
    if (!root || !*root) {
        set_error(REG_ERR_ARGUMENT, "storage root dir is empty");
        return -1;
    }
    if (s_ready) reg_storage_cleanup();
    const size_t n = std::strlen(root);
    if (n >= kRootSize) {
        set_error(REG_ERR_ARGUMENT, "storage root dir too long (max 3499 chars)");
        return -1;
    }
    std::memcpy(s_root, root, n + 1);
    if (s_root[n - 1] == bv_platform::path_sep) s_root[n - 1] = '\0';

    // A tree this process found whole for the same root a moment ago is not looked over again.
    if (std::strcmp(s_root, s_tree_root) != 0) {
        s_tree_root[0] = '\0';
        if (make_tree() != 0) return -1;
        std::memcpy(s_tree_root, s_root, std::strlen(s_root) + 1);
    }
    char path[kPathSize];
    // The first start writes the file with the defaults (durably, unless the environment
    // says otherwise); later starts only read it, so an operator's edits are never undone.
    if (settings_early_durability() != 0) return -1;
    config_path(path, sizeof path);
    if (!file_exists(path) && write_file(path, kStorageConfig, sizeof kStorageConfig - 1) != 0) {
        set_error(REG_ERR_IO, "write config.json failed");
        return -1;
    }
    if (settings_load(path) != 0) return -1;

    s_ready = 1;
    s_error[0] = '\0';
    s_error_kind = REG_OK;
    return 0;
}

extern "C" void reg_storage_end_request(void) {
    s_ready = 0;
    s_settings = kDefaultSettings;
    s_root[0] = '\0';
    s_error[0] = '\0';
    s_error_kind = REG_OK;
    s_result[0] = '\0';
}

extern "C" void reg_storage_cleanup(void) {
    reg_storage_end_request();
    s_tree_root[0] = '\0';
}

extern "C" const char *reg_storage_last_error(void) { return s_error; }

extern "C" reg_error_kind reg_storage_last_error_kind(void) { return s_error_kind; }
