// The blob store: the content-addressed tree {root}/blobs/{algorithm}/{hh}/{hex} that finished
// uploads move into; blob queries and delete. Several processes may work on one tree at once,
// so every step tolerates the others' moves.
#include <cstring>

#include "platform/bv_platform_fs.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

using namespace reg_internal;

namespace {

// The argument and readiness tests that the blob queries and the delete share: 0, or -1 with
// the message set.
int check_digest_arg(const char *digest) {
    if (!digest) {
        set_error(REG_ERR_ARGUMENT, "digest is NULL");
        return -1;
    }
    if (require_ready() != 0) return -1;
    if (!digest_valid(digest)) {
        set_error(REG_ERR_DIGEST_INVALID, "invalid digest");
        return -1;
    }
    return 0;
}

}  // namespace

extern "C" int reg_blob_exists(const char *digest) {
    if (check_digest_arg(digest) != 0) return -1;
    char path[kPathSize];
    blob_path_for_digest(digest, path, sizeof path);
    return file_exists(path);
}

extern "C" int64_t reg_blob_get_size(const char *digest) {
    if (check_digest_arg(digest) != 0) return -1;
    char path[kPathSize];
    blob_path_for_digest(digest, path, sizeof path);
    // An absent blob is an answer, not a failure: the error slot stays as it is.
    return file_size(path);
}

extern "C" int reg_blob_get_filepath(const char *digest, char *out_path, size_t out_size) {
    if (!digest || !out_path || out_size == 0) {
        set_error(REG_ERR_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_ready() != 0) return -1;
    if (!digest_valid(digest)) {
        set_error(REG_ERR_DIGEST_INVALID, "invalid digest");
        return -1;
    }
    char path[kPathSize];
    blob_path_for_digest(digest, path, sizeof path);
    if (!file_exists(path)) {
        set_error(REG_ERR_NOT_FOUND, "blob not found: %s", digest);
        return -1;
    }
    const size_t len = std::strlen(path);
    if (len >= out_size) {
        set_error(REG_ERR_ARGUMENT, "path buffer too small");
        return -1;
    }
    std::memcpy(out_path, path, len + 1);
    return 0;
}

extern "C" int reg_blob_delete(const char *digest) {
    if (check_digest_arg(digest) != 0) return -1;
    char path[kPathSize];
    blob_path_for_digest(digest, path, sizeof path);
    if (!file_exists(path)) {
        set_error(REG_ERR_NOT_FOUND, "blob not found: %s", digest);
        return -1;
    }
    if (remove_file(path) != 0) {
        set_write_error("remove failed");
        return -1;
    }
    // Only an empty fan-out directory goes; one that still holds blobs makes this fail,
    // which is the intended outcome.
    char fanout[kPathSize];
    blob_fanout_dir(digest + kAlgorithmPrefixLen, fanout, sizeof fanout);
    bv_platform::remove_dir(fanout);
    return 0;
}
