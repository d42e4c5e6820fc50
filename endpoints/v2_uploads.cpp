// The upload endpoint, /v2/<name>/blobs/uploads/[<id>]: starts uploads (also whole-blob
// uploads and mounts from another repository, named or found), appends request bodies to them, reports their
// progress, finishes them into the blob store with a link into the repository, and cancels them.
// Each upload belongs to the repository whose path started it: through any other path it is
// unknown.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "cgi/bv_cgi.h"
#include "oci/oci_common.h"
#include "platform/bv_platform_stream.h"
#include "storage/reg_storage.h"

namespace {

constexpr size_t kDigestSize = REG_DIGEST_SIZE;
constexpr size_t kUuidSize = 37;
constexpr size_t kParamCap = 512;
constexpr size_t kLocationCap = 512;

// ---- Answers -----------------------------------------------------------------------------

// The state of one upload as its answers carry it.
struct upload_place {
    char location[kLocationCap];
    char range[48];
};

// Location and Range for an upload holding `size` bytes; an empty one reports "0-0".
void describe(const oci_request *request, const char *uuid, int64_t size, upload_place *out) {
    bv_snprintf(out->location, sizeof out->location, "/v2/%s/blobs/uploads/%s", request->repo, uuid);
    bv_snprintf(out->range, sizeof out->range, "0-%lld", static_cast<long long>(size > 0 ? size - 1 : 0));
}

int reply_progress(const oci_request *request, int status, const char *uuid, int64_t size) {
    upload_place place;
    describe(request, uuid, size, &place);
    const oci_header headers[] = {
        {"Location", place.location}, {"Range", place.range}, {"Docker-Upload-UUID", uuid}};
    // 204 carries no Content-Length at all; 202 announces its empty body.
    return oci_reply_head(request, status, nullptr, status == 204 ? -1 : 0, headers, std::size(headers));
}

int reply_created(const oci_request *request, const char *digest) {
    char location[kLocationCap];
    bv_snprintf(location, sizeof location, "/v2/%s/blobs/%s", request->repo, digest);
    const oci_header headers[] = {{"Location", location}, {"Docker-Content-Digest", digest}};
    return oci_reply_head(request, 201, nullptr, 0, headers, std::size(headers));
}

// 416 with the upload's real progress, so the client can go on from there.
int reply_range_refused(const oci_request *request, const char *uuid, int64_t size, const char *message) {
    upload_place place;
    describe(request, uuid, size, &place);
    const oci_header headers[] = {
        {"Location", place.location}, {"Range", place.range}, {"Docker-Upload-UUID", uuid}};
    return oci_reply_error_headers(request, 416, "BLOB_UPLOAD_INVALID", message, headers,
                                   std::size(headers));
}

int reply_unknown_upload(const oci_request *request) {
    return oci_reply_error(request, 404, "BLOB_UPLOAD_UNKNOWN", "blob upload unknown to registry");
}

// ---- Request bodies ----------------------------------------------------------------------

// Content-Range of a chunk: "<first>-<last>", also with the "bytes " unit and a "/<total>".
bool parse_content_range(const char *text, int64_t *first, int64_t *last) {
    const char *p = text;
    if (std::strncmp(p, "bytes ", 6) == 0 || std::strncmp(p, "bytes=", 6) == 0) p += 6;
    int64_t values[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        if (*p < '0' || *p > '9') return false;
        int64_t v = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            if (v > (INT64_MAX - (*p - '0')) / 10) return false;
            v = v * 10 + (*p - '0');
        }
        values[i] = v;
        if (i == 0 && *p++ != '-') return false;
    }
    if (*p == '/') {
        ++p;
        if (*p == '*') ++p;
        else while (*p >= '0' && *p <= '9') ++p;
    }
    if (*p != '\0' || values[1] < values[0]) return false;
    *first = values[0];
    *last = values[1];
    return true;
}

// The engine's last failure as the answer, after the upload `drop` (may be null) has been
// cancelled. The answer comes last because writing it may end the program: a client that has
// gone away makes the write fail with SIGPIPE.
int reply_storage_error_dropping(const oci_request *request, const char *not_found_code, const char *drop) {
    const reg_error_kind kind = reg_storage_last_error_kind();
    char message[1024];
    bv_strlcpy(message, reg_storage_last_error(), sizeof message);
    if (drop) reg_upload_cancel(request->repo, drop);
    const char *code = nullptr;
    const int status = oci_storage_error_status(kind, not_found_code, &code);
    return oci_reply_error(request, status, code, message);
}

// Appends the request body to the upload: 0 with the new size in *size, else the failure has
// been answered (its result in *rc), after cancelling the upload when `cancel_on_failure`.
int append_body(const oci_request *request, const char *uuid, bool cancel_on_failure, int64_t *size, int *rc) {
    const char *drop = cancel_on_failure ? uuid : nullptr;
    oci_body body;
    if (oci_body_open(&body) != 0) {
        if (drop) reg_upload_cancel(request->repo, drop);
        *rc = oci_reply_error(request, 400, "SIZE_INVALID", "invalid Content-Length");
        return -1;
    }
    int64_t len = body.announced ? body.length : -1;
    int64_t expected = -1;

    const char *content_range = cgi_env("HTTP_CONTENT_RANGE", "");
    if (*content_range) {
        int64_t first = 0;
        int64_t last = 0;
        const int64_t now = reg_upload_size(request->repo, uuid);
        if (now < 0) {
            oci_body_close(&body);
            *rc = reply_storage_error_dropping(request, "BLOB_UPLOAD_UNKNOWN", drop);
            return -1;
        }
        const bool readable = parse_content_range(content_range, &first, &last);
        if (!readable || (len >= 0 && last - first + 1 != len)) {
            oci_body_close(&body);
            if (drop) reg_upload_cancel(request->repo, drop);
            *rc = reply_range_refused(request, uuid, now,
                                      readable ? "Content-Range does not match the body's length"
                                               : "malformed Content-Range");
            return -1;
        }
        expected = first;
        if (len < 0) len = last - first + 1;
    }

    const reg_read_fn read = len < 0 ? oci_read_body_to_end : oci_read_body;
    const int appended = reg_upload_append(request->repo, uuid, read, &body, len, expected, size);
    oci_body_close(&body);
    if (appended == 0) return 0;
    if (reg_storage_last_error_kind() == REG_ERR_RANGE && *size >= 0) {
        if (drop) reg_upload_cancel(request->repo, drop);
        *rc = reply_range_refused(request, uuid, *size, "chunk does not start at the upload's end");
    } else {
        *rc = reply_storage_error_dropping(request, "BLOB_UPLOAD_UNKNOWN", drop);
    }
    return -1;
}

// ---- Handlers ----------------------------------------------------------------------------

// The upload named by the path: 0 with its size, else the answer has been given.
int find_upload(const oci_request *request, int64_t *size, int *rc) {
    *size = request->rest[0] ? reg_upload_size(request->repo, request->rest) : -1;
    if (*size >= 0) return 0;
    const reg_error_kind kind = request->rest[0] ? reg_storage_last_error_kind() : REG_ERR_UPLOAD_INVALID;
    *rc = kind == REG_ERR_UPLOAD_INVALID || kind == REG_ERR_NOT_FOUND
              ? reply_unknown_upload(request)
              : oci_reply_storage_error(request, "BLOB_UPLOAD_UNKNOWN");
    return -1;
}

// Links a blob that `from` already shows into the request's repository: 1 when mounted and
// answered, 0 when the mount does not apply and an ordinary upload follows.
int try_mount(oci_request *request, const char *digest, const char *from, int *rc) {
    if (!reg_digest_valid(digest) || !oci_valid_repo_name(from)) return 0;
    oci_request source = *request;
    bv_strlcpy(source.repo, from, sizeof source.repo);
    if (!oci_access_permits(&source, OCI_ACCESS_READ)) return 0;
    const int linked = reg_blob_linked(from, digest);
    if (linked != 1) return 0;
    *rc = reg_blob_link(request->repo, digest) == 0 ? reply_created(request, digest)
                                                     : oci_reply_storage_error(request, "BLOB_UNKNOWN");
    return 1;
}

// Whether the requester may read the repository `repo_name` (the mount's request as ctx).
int readable_source(void *ctx, const char *repo_name) {
    oci_request source = *static_cast<const oci_request *>(ctx);
    bv_strlcpy(source.repo, repo_name, sizeof source.repo);
    return oci_access_permits(&source, OCI_ACCESS_READ);
}

// A mount that names no source: the first repository in catalog order that links the blob and
// that the requester may read stands in for `from`. 1 when mounted and answered, 0 when no
// repository serves and an ordinary upload follows.
int try_mount_anywhere(oci_request *request, const char *digest, int *rc) {
    if (!reg_digest_valid(digest)) return 0;
    char from[256];
    if (reg_blob_find_linking_repo(digest, readable_source, request, from) != 1) return 0;
    *rc = reg_blob_link(request->repo, digest) == 0 ? reply_created(request, digest)
                                                     : oci_reply_storage_error(request, "BLOB_UNKNOWN");
    return 1;
}

// The algorithm of a valid digest string: its six characters before the ':'.
void algorithm_of(const char *digest, char (&out)[8]) { bv_strlcpy(out, digest, 7); }

// The whole blob in the POST body: start, append, finish and link, or nothing stays behind.
// The body is hashed as it arrives, in the digest's algorithm.
int post_whole(oci_request *request, const char *digest) {
    char algorithm[8];
    algorithm_of(digest, algorithm);
    char uuid[kUuidSize];
    if (reg_upload_start_algorithm(request->repo, algorithm, uuid) != 0)
        return oci_reply_storage_error(request, "BLOB_UPLOAD_UNKNOWN");
    int64_t size = 0;
    int rc = 0;
    if (append_body(request, uuid, true, &size, &rc) != 0) return rc;
    char stored[kDigestSize];
    if (reg_upload_finish(request->repo, uuid, digest, stored) != 0)
        return reply_storage_error_dropping(request, "BLOB_UPLOAD_UNKNOWN", uuid);
    if (reg_blob_link(request->repo, stored) != 0) return oci_reply_storage_error(request, "BLOB_UNKNOWN");
    return reply_created(request, stored);
}

int post_upload(oci_request *request) {
    if (request->rest[0]) {
        const oci_header allow = {"Allow", "GET, HEAD, PATCH, PUT, DELETE"};
        return oci_reply_error_headers(request, 405, "UNSUPPORTED",
                                       "uploads are started at /v2/<name>/blobs/uploads/", &allow, 1);
    }
    // The algorithm the client will finish with, declared or else implied by the digest it
    // asks to mount, keeps the upload's running hash; refused before anything else happens.
    char algorithm[kParamCap] = "";
    const int declared = oci_query_param(request, "digest-algorithm", algorithm, sizeof algorithm);
    if (declared != 0 && !reg_digest_algorithm_valid(algorithm))
        return oci_reply_error(request, 400, "DIGEST_INVALID", "unsupported digest algorithm");
    char mount[kParamCap];
    char from[kParamCap];
    const bool mounting = oci_query_param(request, "mount", mount, sizeof mount) == 1;
    if (mounting) {
        int rc = 0;
        const int named = oci_query_param(request, "from", from, sizeof from);
        if (named == 1 ? try_mount(request, mount, from, &rc)
                       : named == 0 && try_mount_anywhere(request, mount, &rc))
            return rc;
    }
    if (declared == 0 && mounting && reg_digest_valid(mount)) {
        char implied[8];
        algorithm_of(mount, implied);
        bv_strlcpy(algorithm, implied, sizeof algorithm);
    }
    char digest[kParamCap];
    if (oci_query_param(request, "digest", digest, sizeof digest) == 1) {
        if (!reg_digest_valid(digest)) return oci_reply_error(request, 400, "DIGEST_INVALID", "invalid digest");
        return post_whole(request, digest);
    }
    char uuid[kUuidSize];
    if (reg_upload_start_algorithm(request->repo, algorithm[0] ? algorithm : nullptr, uuid) != 0)
        return oci_reply_storage_error(request, "BLOB_UPLOAD_UNKNOWN");
    return reply_progress(request, 202, uuid, 0);
}

int patch_upload(oci_request *request) {
    int64_t size = 0;
    int rc = 0;
    if (find_upload(request, &size, &rc) != 0) return rc;
    if (append_body(request, request->rest, false, &size, &rc) != 0) return rc;
    return reply_progress(request, 202, request->rest, size);
}

int put_upload(oci_request *request) {
    int64_t size = 0;
    int rc = 0;
    if (find_upload(request, &size, &rc) != 0) return rc;
    // The digest is judged before the last chunk is taken, so a refused PUT appends nothing.
    char digest[kParamCap];
    if (oci_query_param(request, "digest", digest, sizeof digest) != 1 || !reg_digest_valid(digest))
        return oci_reply_error(request, 400, "DIGEST_INVALID", "missing or invalid digest");
    // No last chunk only when the length says so: an unknown length may still bring one.
    if (oci_content_length() != 0 && append_body(request, request->rest, false, &size, &rc) != 0) return rc;
    char stored[kDigestSize];
    if (reg_upload_finish(request->repo, request->rest, digest, stored) != 0)
        return oci_reply_storage_error(request, "BLOB_UPLOAD_UNKNOWN");
    if (reg_blob_link(request->repo, stored) != 0) return oci_reply_storage_error(request, "BLOB_UNKNOWN");
    return reply_created(request, stored);
}

int get_upload(oci_request *request) {
    int64_t size = 0;
    int rc = 0;
    if (find_upload(request, &size, &rc) != 0) return rc;
    return reply_progress(request, 204, request->rest, size);
}

int delete_upload(oci_request *request) {
    int64_t size = 0;
    int rc = 0;
    if (find_upload(request, &size, &rc) != 0) return rc;
    if (reg_upload_cancel(request->repo, request->rest) != 0)
        return oci_reply_storage_error(request, "BLOB_UPLOAD_UNKNOWN");
    return oci_reply_head(request, 204, nullptr, -1, nullptr, 0);
}

const oci_method_handler handlers[] = {{"POST", post_upload},
                                       {"PATCH", patch_upload},
                                       {"PUT", put_upload},
                                       {"GET", get_upload},
                                       {"DELETE", delete_upload}};

}  // namespace

// A CGI process outlives the server's stop request to put a half-made append back; a FastCGI
// process must stay stoppable between requests, and its appends survive a kill as any crash.
static int serve_upload_request(void *) {
    if (!cgi_is_fastcgi()) bv_platform::outlive_stop_request();
    oci_request request;
    return oci_dispatch_endpoint(&request, "v2_uploads", handlers, std::size(handlers)) == 0 ? 0 : 1;
}

int main(void) { return cgi_serve(serve_upload_request, nullptr); }
