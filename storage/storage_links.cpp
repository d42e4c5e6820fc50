// Repository blob links: the file {repo}/_layers/sha256/{hex}/link that lets one repository see
// a blob of the shared store. Linking, unlinking and the link test; the blob's bytes are never
// touched here.
#include <cstdio>
#include <cstring>

#include "platform/bv_platform_fs.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

using namespace reg_internal;

namespace {

constexpr size_t kDigestLen = kDigestSize - 1;  // a link holds the digest string, no line end

// An unlink of another blob's link may remove the directory between a link's mkdirs and its
// write; the pair of steps is then taken again.
constexpr int kWriteAttempts = 4;

// The tests every link operation runs first: 0, or -1 with the message set.
int check_link_args(const char *repo_name, const char *digest) {
    if (!repo_name || !digest) {
        set_error(REG_ERR_ARGUMENT, "repo_name/digest is NULL");
        return -1;
    }
    if (require_repo_digest(repo_name, digest) != 0) return -1;
    return 0;
}

// 1 when the link file holds exactly `digest`, 0 when it is absent or holds anything else,
// -1 when it exists but cannot be read. A link another process (or host, on a shared volume)
// is replacing at that moment may fail to open once though it exists; reading again decides.
int link_names_digest(const char *link_path, const char *digest) {
    char text[128];
    size_t len = 0;
    for (int attempt = 0;; ++attempt) {
        if (read_file(link_path, text, sizeof text, &len) == 0) break;
        if (!file_exists(link_path)) return 0;
        if (attempt == 2) return -1;
    }
    return len == kDigestLen && std::memcmp(text, digest, kDigestLen) == 0 ? 1 : 0;
}

}  // namespace

extern "C" int reg_blob_link(const char *repo_name, const char *digest) {
    if (check_link_args(repo_name, digest) != 0) return -1;
    char path[kPathSize];
    blob_path_for_digest(digest, path, sizeof path);
    if (!file_exists(path)) {
        set_error(REG_ERR_NOT_FOUND, "blob not found: %s", digest);
        return -1;
    }
    char link[kPathSize];
    blob_link_path(repo_name, digest + 7, link, sizeof link);
    if (link_names_digest(link, digest) == 1) return 0;  // linked already: nothing to write

    char dir[kPathSize];
    blob_link_dir(repo_name, digest + 7, dir, sizeof dir);
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        if (mkdirs(dir) != 0) {
            set_write_error("mkdirs blob link dir failed");
            return -1;
        }
        if (write_file(link, digest, kDigestLen) == 0) return 0;
        if (dir_exists(dir)) break;  // not the race with an unlink
    }
    set_write_error("write blob link failed");
    return -1;
}

namespace reg_internal {

int blob_unlink(const char *repo_name, const char *digest, bool synced) {
    if (check_link_args(repo_name, digest) != 0) return -1;
    char link[kPathSize];
    blob_link_path(repo_name, digest + 7, link, sizeof link);
    // The kind test first: remove() would take an empty directory of that name as well.
    if (!file_exists(link)) {
        set_error(REG_ERR_NOT_FOUND, "blob not linked in %s: %s", repo_name, digest);
        return -1;
    }
    if (std::remove(link) != 0) {
        // Gone meanwhile: another unlink got there first, and this one found nothing.
        if (!file_exists(link)) {
            set_error(REG_ERR_NOT_FOUND, "blob not linked in %s: %s", repo_name, digest);
        } else {
            set_error(REG_ERR_IO, "remove blob link failed");
        }
        return -1;
    }
    // The removal must hold once the caller answers; the empty directory may come back.
    if (synced && sync_parent(link) != 0) {
        set_write_error("flush after removing blob link failed");
        return -1;
    }
    // The directory goes only when it is empty, which a link written meanwhile prevents.
    char dir[kPathSize];
    blob_link_dir(repo_name, digest + 7, dir, sizeof dir);
    bv_platform::remove_dir(dir);
    return 0;
}

}  // namespace reg_internal

extern "C" int reg_blob_unlink(const char *repo_name, const char *digest) {
    return blob_unlink(repo_name, digest, true);
}

extern "C" int reg_blob_linked(const char *repo_name, const char *digest) {
    if (check_link_args(repo_name, digest) != 0) return -1;
    char link[kPathSize];
    blob_link_path(repo_name, digest + 7, link, sizeof link);
    // A link that names another digest links nothing; the next reg_blob_link rewrites it.
    const int named = link_names_digest(link, digest);
    if (named < 0) {
        set_error(REG_ERR_IO, "cannot read blob link");
        return -1;
    }
    if (named == 0) return 0;
    char path[kPathSize];
    blob_path_for_digest(digest, path, sizeof path);
    return file_exists(path);
}
