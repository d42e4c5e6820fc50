// Uploads bound to their repository: the owner record written beside an upload when it starts
// ({uuid}.repo, the repository's name), and the reg_upload_* calls, which test the record
// before they hand the upload to the unbound calls of storage_uploads.cpp.
#include <cstdio>
#include <cstring>

#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace reg_internal {

namespace {

// Names are at most 255 bytes; a record holds one and a line end.
constexpr size_t kRecordSize = 260;

// The record's text for a repository: its name with each '\' as '/', then a line end. False
// when the name does not fit (no valid name is that long).
bool record_text(const char *repo_name, char (&out)[kRecordSize], size_t *out_len) {
    const size_t len = std::strlen(repo_name);
    if (len + 2 > sizeof out) return false;
    for (size_t i = 0; i < len; ++i) out[i] = repo_name[i] == '\\' ? '/' : repo_name[i];
    out[len] = '\n';
    out[len + 1] = '\0';
    *out_len = len + 1;
    return true;
}

}  // namespace

int upload_owner_write(const char *upload_uuid, const char *repo_name) {
    char text[kRecordSize];
    size_t len = 0;
    if (!record_text(repo_name, text, &len)) return -1;
    char path[kPathSize];
    upload_owner_path(upload_uuid, path, sizeof path);
    return write_file_unsynced(path, text, len);
}

bool upload_owned_by(const char *upload_uuid, const char *repo_name) {
    char expected[kRecordSize];
    size_t expected_len = 0;
    if (!record_text(repo_name, expected, &expected_len)) return false;
    char path[kPathSize];
    upload_owner_path(upload_uuid, path, sizeof path);
    // One byte more than any record holds, so a longer file never passes for a shorter name.
    char found[kRecordSize + 1];
    size_t found_len = 0;
    if (read_file(path, found, sizeof found, &found_len) != 0) return false;
    return found_len == expected_len && std::memcmp(found, expected, expected_len) == 0;
}

void upload_owner_drop(const char *upload_uuid) {
    char path[kPathSize];
    upload_owner_path(upload_uuid, path, sizeof path);
    drop_file(path);
}

}  // namespace reg_internal

using namespace reg_internal;

namespace {

// The tests of every bound call but the start, before the upload is touched: the arguments,
// readiness, the forms of the name and of the identifier, then the owner record. An upload of
// another repository gets the message of an unknown one, so an answer never tells that it
// exists. 0, or -1 with the message set.
int require_owned_upload(const char *repo_name, const char *upload_uuid) {
    if (!repo_name || !upload_uuid) {
        set_error(REG_ERR_ARGUMENT, "repo_name/upload_uuid is NULL");
        return -1;
    }
    if (require_repo(repo_name) != 0) return -1;
    if (!uuid_valid(upload_uuid)) {
        set_error(REG_ERR_UPLOAD_INVALID, "invalid upload uuid");
        return -1;
    }
    // The record never changes while its upload lives, and identifiers are never reused, so
    // what it says now still holds when the unbound call finds the upload.
    if (!upload_owned_by(upload_uuid, repo_name)) {
        set_error(REG_ERR_NOT_FOUND, "upload not found: %s", upload_uuid);
        return -1;
    }
    return 0;
}

}  // namespace

extern "C" int reg_upload_start(const char *repo_name, char *out_upload_uuid) {
    return reg_upload_start_algorithm(repo_name, nullptr, out_upload_uuid);
}

extern "C" int reg_upload_start_algorithm(const char *repo_name, const char *algorithm,
                                          char *out_upload_uuid) {
    if (!repo_name || !out_upload_uuid) {
        set_error(REG_ERR_ARGUMENT, "repo_name/out_upload_uuid is NULL");
        return -1;
    }
    if (require_repo(repo_name) != 0) return -1;
    if (reg_blob_start_upload_algorithm(algorithm, out_upload_uuid) != 0) return -1;
    // The upload file came first and was created exclusively, so this record is its own.
    if (upload_owner_write(out_upload_uuid, repo_name) != 0) {
        char path[kPathSize];
        upload_path_for_uuid(out_upload_uuid, path, sizeof path);
        drop_file(path);
        out_upload_uuid[0] = '\0';
        set_write_error("cannot record the upload's repository");
        return -1;
    }
    return 0;
}

extern "C" int64_t reg_upload_size(const char *repo_name, const char *upload_uuid) {
    if (require_owned_upload(repo_name, upload_uuid) != 0) return -1;
    return reg_blob_upload_size(upload_uuid);
}

extern "C" int reg_upload_append(const char *repo_name, const char *upload_uuid, reg_read_fn read,
                                 void *ctx, int64_t len, int64_t expected_offset,
                                 int64_t *out_size) {
    if (out_size) *out_size = -1;
    if (require_owned_upload(repo_name, upload_uuid) != 0) return -1;
    return reg_blob_append_stream(upload_uuid, read, ctx, len, expected_offset, out_size);
}

extern "C" int reg_upload_finish(const char *repo_name, const char *upload_uuid,
                                 const char *expected_digest, char *out_digest) {
    if (require_owned_upload(repo_name, upload_uuid) != 0) return -1;
    return reg_blob_finish_upload(upload_uuid, expected_digest, out_digest);
}

extern "C" int reg_upload_cancel(const char *repo_name, const char *upload_uuid) {
    if (require_owned_upload(repo_name, upload_uuid) != 0) return -1;
    // Unlike the unbound form, an upload that went since the test is no success: the caller
    // is told that there was nothing of its repository to cancel.
    return cancel_upload(upload_uuid, false);
}
