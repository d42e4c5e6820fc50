// The blob store: chunked uploads into {root}/uploads, verified by SHA-256 and moved into the
// content-addressed tree {root}/blobs/sha256/{hh}/{hex}; blob queries, cancel and delete.
// Several processes may work on one tree at once, so every step tolerates the others' moves.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "crypto/sha256.h"
#include "platform/bv_platform_fs.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

using namespace reg_internal;

namespace {

// Identifiers to try before giving up on creating an upload file. A clash needs another
// upload of the same name, which the generator makes unlikely; a run of clashes means the
// uploads directory is in a state that no fresh name will cure.
constexpr int kCreateAttempts = 8;

// A finish creates the fan-out directory and renames into it, while a delete of the last blob
// in it removes the directory; when that happens in between, the rename finds no directory
// and the pair of steps is taken again.
constexpr int kMoveAttempts = 4;

}  // namespace

extern "C" int reg_blob_start_upload(char *out_upload_uuid) {
    if (!out_upload_uuid) {
        set_error(REG_ERR_ARGUMENT, "out_upload_uuid is NULL");
        return -1;
    }
    if (require_ready() != 0) return -1;

    // The file is created exclusively: an upload of the same name (a clash of identifiers)
    // is never emptied, a fresh identifier is taken instead.
    char path[kPathSize];
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        uuid_make(out_upload_uuid);
        upload_path_for_uuid(out_upload_uuid, path, sizeof path);
        errno = 0;
        if (std::FILE *f = bv_platform::open_exclusive(path)) {
            std::fclose(f);
            return 0;
        }
        if (errno != EEXIST) break;
    }
    set_error(REG_ERR_IO, "cannot create upload file");
    return -1;
}

namespace {

// The readiness and identifier tests that follow the argument checks of append, finish and
// cancel: 0, or -1 with the message set.
int require_upload_uuid(const char *upload_uuid) {
    if (require_ready() != 0) return -1;
    if (!uuid_valid(upload_uuid)) {
        set_error(REG_ERR_UPLOAD_INVALID, "invalid upload uuid");
        return -1;
    }
    return 0;
}

}  // namespace

extern "C" int reg_blob_append_chunk(const char *upload_uuid, const void *data, size_t len) {
    if (!upload_uuid || !data) {
        set_error(REG_ERR_ARGUMENT, "upload_uuid/data is NULL");
        return -1;
    }
    if (require_upload_uuid(upload_uuid) != 0) return -1;
    char path[kPathSize];
    upload_path_for_uuid(upload_uuid, path, sizeof path);
    // Opening without creating: an upload that a finish or cancel has just taken away
    // must not come back as an empty file.
    std::FILE *f = file_exists(path) ? bv_platform::open_append(path) : nullptr;
    if (!f) {
        set_error(REG_ERR_NOT_FOUND, "upload not found: %s", upload_uuid);
        return -1;
    }
    // Unbuffered, the chunk reaches the file in one write at its end instead of being cut
    // into buffer-sized pieces, which other processes appending to the same upload could
    // interleave with.
    std::setvbuf(f, nullptr, _IONBF, 0);
    const size_t written = len > 0 ? std::fwrite(data, 1, len, f) : 0;
    bool failed = std::ferror(f) != 0 || written < len;
    failed = std::fclose(f) != 0 || failed;
    if (failed) {
        set_error(REG_ERR_IO, "write error appending chunk");
        return -1;
    }
    return 0;
}

extern "C" int reg_blob_finish_upload(const char *upload_uuid, const char *expected_digest,
                                      char *out_digest) {
    if (!upload_uuid || !expected_digest || !out_digest) {
        set_error(REG_ERR_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_upload_uuid(upload_uuid) != 0) return -1;
    if (!digest_valid(expected_digest)) {
        set_error(REG_ERR_DIGEST_INVALID, "invalid expected digest");
        return -1;
    }
    char upload_path[kPathSize];
    upload_path_for_uuid(upload_uuid, upload_path, sizeof upload_path);
    if (!file_exists(upload_path)) {
        set_error(REG_ERR_NOT_FOUND, "upload not found: %s", upload_uuid);
        return -1;
    }

    // The bytes are read once, here; after the comparison the file itself becomes the blob.
    uint8_t sum[32];
    if (sha256_file(upload_path, sum) != 0) {
        set_error(REG_ERR_IO, "hashing upload failed");
        return -1;
    }
    char hex[kHexSize];
    bin_to_hex(sum, sizeof sum, hex);
    char computed[80];
    std::snprintf(computed, sizeof computed, "sha256:%s", hex);
    if (std::strcmp(computed, expected_digest) != 0) {
        set_error(REG_ERR_DIGEST_MISMATCH, "digest mismatch: expected %s, got %s", expected_digest, computed);
        remove_file(upload_path);
        return -1;
    }

    char blob_path[kPathSize];
    blob_path_for_digest(expected_digest, blob_path, sizeof blob_path);
    if (file_exists(blob_path)) {
        // Stored already: the blob stays as it is and this copy of its bytes goes.
        remove_file(upload_path);
    } else {
        char fanout[kPathSize];
        blob_fanout_dir(hex, fanout, sizeof fanout);
        bool moved = false;
        for (int attempt = 0; attempt < kMoveAttempts && !moved; ++attempt) {
            if (mkdirs(fanout) != 0) {
                set_error(REG_ERR_IO, "mkdirs blob dir failed");
                return -1;
            }
            moved = bv_platform::move_no_replace(upload_path, blob_path) == 0;
            if (!moved && file_exists(blob_path)) {
                // Another process stored the same bytes since the test above. The blob is in
                // place, so this finish has done its job as well.
                remove_file(upload_path);
                moved = true;
            }
            if (!moved && dir_exists(fanout)) break;  // not the race with a delete
        }
        if (!moved) {
            set_error(REG_ERR_IO, "rename to CAS failed: %s", expected_digest);
            return -1;
        }
    }
    std::snprintf(out_digest, kDigestSize, "%s", expected_digest);
    return 0;
}

extern "C" int reg_blob_cancel_upload(const char *upload_uuid) {
    if (!upload_uuid) {
        set_error(REG_ERR_ARGUMENT, "upload_uuid is NULL");
        return -1;
    }
    if (require_upload_uuid(upload_uuid) != 0) return -1;
    char path[kPathSize];
    upload_path_for_uuid(upload_uuid, path, sizeof path);
    if (remove_file(path) != 0) {
        set_error(REG_ERR_IO, "cancel failed");
        return -1;
    }
    return 0;
}

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
        set_error(REG_ERR_IO, "remove failed");
        return -1;
    }
    // Only an empty fan-out directory goes; one that still holds blobs makes this fail,
    // which is the intended outcome.
    char fanout[kPathSize];
    blob_fanout_dir(digest + 7, fanout, sizeof fanout);
    bv_platform::remove_dir(fanout);
    return 0;
}
