// The manifest endpoint, /v2/<name>/manifests/<reference>: stores a manifest body byte for byte
// under the media type its Content-Type names (and under every tag its "tag" parameters name),
// serves it back by tag or digest, and deletes a tag or a whole manifest. The engine judges bodies and keeps the files; this program reads the
// request and shapes the answers.
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "cgi/bv_cgi.h"
#include "oci/oci_common.h"
#include "storage/reg_storage.h"

namespace {

constexpr size_t kDigestSize = REG_DIGEST_SIZE;
constexpr char kDigestHeader[] = "Docker-Content-Digest";
constexpr size_t kTagParamsMax = 100;  // distinct tag parameters one push may carry
constexpr size_t kTagSize = 129;       // a tag of 128 characters and its NUL
constexpr size_t kSmallManifest = 16u << 10;  // what a GET reads into first
constexpr char kTagRule[] =
    "a tag is 1 to 128 characters of [a-zA-Z0-9_.-] and does not begin with '.' or '-'";

// A reference with a colon can only be meant as a digest ("algorithm:hex"); tags never hold
// one. A malformed reference is answered, with the code that names what it was taken for, and
// false returned. A read by a malformed tag asks for a manifest that cannot exist: 404, as for
// any tag never pushed; a write or delete by one is refused as invalid.
bool reference_ok(const oci_request *request, bool reading = false) {
    const char *reference = request->rest;
    if (std::strchr(reference, ':')) {
        if (reg_digest_valid(reference)) return true;
        oci_reply_error(request, 400, "DIGEST_INVALID",
                        "the reference is not a digest (sha256 with 64 or sha512 with 128 "
                        "lower-case hex digits)");
        return false;
    }
    if (reg_tag_valid(reference)) return true;
    if (reading)
        oci_reply_error(request, 404, "MANIFEST_UNKNOWN", "no manifest can have this tag");
    else
        oci_reply_error(request, 400, "TAG_INVALID", kTagRule);
    return false;
}

// The distinct tags a push's "tag" parameters name, in the order first given.
struct tag_params {
    char names[kTagParamsMax][kTagSize];
    size_t count = 0;
};

// Reads and checks every tag parameter before anything is stored, so that one bad tag refuses
// the whole push and no tag reaches a response header unchecked. True with the tags in *out;
// false after answering the refusal.
bool read_tag_params(const oci_request *request, tag_params *out) {
    size_t pos = 0;
    char tag[kTagSize];
    for (int found; (found = oci_query_param_next(request, "tag", &pos, tag, sizeof tag)) != 0;) {
        if (found < 0 || !reg_tag_valid(tag)) {
            oci_reply_error(request, 400, "TAG_INVALID", kTagRule);
            return false;
        }
        bool repeated = false;
        for (size_t i = 0; i < out->count && !repeated; ++i) repeated = std::strcmp(out->names[i], tag) == 0;
        if (repeated) continue;
        if (out->count == kTagParamsMax) {
            oci_reply_error(request, 400, "UNSUPPORTED", "a push sets at most 100 tags");
            return false;
        }
        bv_strlcpy(out->names[out->count++], tag, kTagSize);
    }
    return true;
}

// A header refused for a byte that would split the head (a stored media type from a damaged
// file, say) leaves nothing written, so a plain error can still go out.
int reply_or_fail(const oci_request *request, int result) {
    if (result == 0) return 0;
    return oci_reply_error(request, 500, "UNKNOWN", "the stored manifest cannot be sent");
}

// GET and HEAD. Whatever Accept asks for, the stored bytes are served under their stored media
// type: the registry converts nothing, and a client that cannot use the type says so itself.
int handle_get(oci_request *request) {
    if (!reference_ok(request, true)) return 0;

    // Most manifests fit the small buffer; only a larger one is read again into one that takes
    // the largest a push may store, so a small answer asks the system for no memory.
    char small[kSmallManifest];
    void *body = small;
    size_t cap = sizeof small;
    size_t len = 0;
    char media_type[REG_MEDIA_TYPE_SIZE] = "";
    char digest[kDigestSize] = "";
    int read = reg_manifest_read(request->repo, request->rest, body, cap, &len, media_type, digest);
    if (read != 0 && reg_storage_last_error_kind() == REG_ERR_TOO_LARGE) {
        cap = REG_MANIFEST_MAX;
        body = std::malloc(cap);
        if (!body) return oci_reply_error(request, 500, "UNKNOWN", "out of memory");
        read = reg_manifest_read(request->repo, request->rest, body, cap, &len, media_type, digest);
    }
    int result;
    if (read != 0) {
        result = oci_reply_storage_error(request, "MANIFEST_UNKNOWN");
    } else {
        const oci_header headers[] = {{kDigestHeader, digest}};
        result = reply_or_fail(request, oci_reply_body(request, 200, media_type, body, len, headers,
                                                       std::size(headers)));
    }
    if (body != small) std::free(body);
    return result;
}

// The Content-Type without its parameters and surrounding blanks, cut to the media-type
// buffer; "" when the request names none.
void request_media_type(char (&out)[REG_MEDIA_TYPE_SIZE]) {
    const char *type = cgi_env("CONTENT_TYPE", "");
    while (*type == ' ' || *type == '\t') ++type;
    size_t len = std::strcspn(type, ";");
    while (len > 0 && (type[len - 1] == ' ' || type[len - 1] == '\t')) --len;
    if (len >= sizeof out) len = sizeof out - 1;
    std::memcpy(out, type, len);
    out[len] = '\0';
}

enum class body_status { ok, too_large, short_read, read_failed, bad_length, no_memory };

// A body without a length (a web server that passes a chunked body on as it comes): read to the
// end of the input into a buffer one byte larger than the limit, so that a byte past the limit
// shows the body too large without more of it ever being read. The caller frees *out_body.
body_status read_unannounced_body(oci_body *input, char **out_body, size_t *out_len) {
    constexpr size_t cap = static_cast<size_t>(REG_MANIFEST_MAX) + 1;
    char *body = static_cast<char *>(std::malloc(cap));
    if (!body) return body_status::no_memory;
    size_t got = 0;
    long n = 0;
    while (got < cap && (n = oci_read_body_to_end(input, body + got, cap - got)) > 0)
        got += static_cast<size_t>(n);
    const body_status status = n < 0 ? body_status::read_failed
                               : got == cap ? body_status::too_large
                                            : body_status::ok;
    if (status != body_status::ok) {
        std::free(body);
        return status;
    }
    *out_body = body;
    *out_len = got;
    return body_status::ok;
}

// Reads the whole request body into a heap buffer (the caller frees *out_body). A body announced
// larger than the limit is refused unread; the reader never delivers more than the announced
// length, and a body of unknown length stops one byte past the limit, so nothing further past
// the limit is ever read.
body_status read_manifest_body(char **out_body, size_t *out_len) {
    *out_body = nullptr;
    *out_len = 0;
    oci_body input;
    if (oci_body_open(&input) != 0) return body_status::bad_length;
    if (!input.announced) {
        const body_status status = read_unannounced_body(&input, out_body, out_len);
        oci_body_close(&input);
        return status;
    }
    if (input.length > REG_MANIFEST_MAX) {
        oci_body_close(&input);
        return body_status::too_large;
    }
    const size_t len = static_cast<size_t>(input.length);
    char *body = static_cast<char *>(std::malloc(len > 0 ? len : 1));
    if (!body) {
        oci_body_close(&input);
        return body_status::no_memory;
    }
    size_t got = 0;
    long n = 1;
    while (got < len && (n = oci_read_body(&input, body + got, len - got)) > 0) got += static_cast<size_t>(n);
    oci_body_close(&input);
    if (got < len) {
        std::free(body);
        return body_status::short_read;
    }
    *out_body = body;
    *out_len = len;
    return body_status::ok;
}

int handle_put(oci_request *request) {
    if (!reference_ok(request)) return 0;
    tag_params tags;
    if (!read_tag_params(request, &tags)) return 0;

    char *body = nullptr;
    size_t len = 0;
    switch (read_manifest_body(&body, &len)) {
    case body_status::ok:
        break;
    case body_status::too_large:
        // A body whose length only its file or its end told (no CONTENT_LENGTH): the table's
        // answer too.
        return oci_reply_error(request, 413, "SIZE_INVALID",
                               oci_endpoint_rule(oci_endpoint_find("v2_manifests"), "PUT")->too_large);
    case body_status::short_read:
        return oci_reply_error(request, 400, "SIZE_INVALID",
                               "the body ended before its announced length");
    case body_status::read_failed:
        return oci_reply_error(request, 400, "SIZE_INVALID", "the body could not be read to its end");
    case body_status::bad_length:
        return oci_reply_error(request, 400, "SIZE_INVALID", "Content-Length is not a number");
    case body_status::no_memory:
        return oci_reply_error(request, 500, "UNKNOWN", "out of memory");
    }

    char media_type[REG_MEDIA_TYPE_SIZE];
    request_media_type(media_type);
    const char *type = media_type[0] ? media_type : nullptr;
    char digest[kDigestSize] = "";
    char subject[kDigestSize] = "";
    // One store sets the tags too: a body the engine refuses, or one whose digest the reference
    // does not match, sets none, and each names the manifest as stored (a sha512 one included).
    const char *tag_names[kTagParamsMax];
    for (size_t i = 0; i < tags.count; ++i) tag_names[i] = tags.names[i];
    const int stored = reg_manifest_store_tagged(request->repo, request->rest, body, len, type,
                                                 tag_names, tags.count, digest, subject);
    std::free(body);
    if (stored != 0) return oci_reply_storage_error(request, "MANIFEST_UNKNOWN");

    // Repository names and digests are checked texts of [a-z0-9._/-:], so the URL needs no
    // escaping and fits well within the buffer.
    char location[512];
    bv_snprintf(location, sizeof location, "/v2/%s/manifests/%s", request->repo, digest);
    oci_header headers[3 + kTagParamsMax] = {{"Location", location}, {kDigestHeader, digest}};
    size_t count = 2;
    if (subject[0]) headers[count++] = {"OCI-Subject", subject};
    for (size_t i = 0; i < tags.count; ++i) headers[count++] = {"OCI-Tag", tags.names[i]};
    return reply_or_fail(request, oci_reply_body(request, 201, nullptr, "", 0, headers, count));
}

// A digest removes the manifest with every tag naming it; a tag removes only itself.
int handle_delete(oci_request *request) {
    if (!reference_ok(request)) return 0;
    if (reg_manifest_delete(request->repo, request->rest) != 0)
        return oci_reply_storage_error(request, "MANIFEST_UNKNOWN");
    return oci_reply_body(request, 202, nullptr, "", 0, nullptr, 0);
}

}  // namespace

int main(void) {
    static const oci_method_handler handlers[] = {
        {"GET", handle_get}, {"PUT", handle_put}, {"DELETE", handle_delete}};
    return oci_serve_endpoint("v2_manifests", handlers, std::size(handlers));
}
