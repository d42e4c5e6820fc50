// The blob endpoint, /v2/<name>/blobs/<digest>: serves the bytes of a blob the repository links,
// whole or one byte range, and removes the repository's link. Under a web server that sends
// files itself (REGISTRY_X_SENDFILE=1) the body goes out as an X-Sendfile header.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "cgi/bv_cgi.h"
#include "oci/oci_common.h"
#include "platform/bv_platform_fs.h"
#include "platform/bv_platform_stream.h"
#include "storage/reg_storage.h"

namespace {

constexpr size_t kPathCap = 4096;

// What a GET answers with: the whole blob, one byte range of it, or 416.
enum class range_kind { whole, part, unsatisfiable };

struct byte_range {
    range_kind kind = range_kind::whole;
    int64_t first = 0;
    int64_t last = -1;  // inclusive
};

bool ieq_prefix(const char *text, const char *prefix) {
    for (; *prefix; ++text, ++prefix) {
        char c = *text;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != *prefix) return false;
    }
    return true;
}

const char *skip_space(const char *p) {
    while (*p == ' ' || *p == '\t') ++p;
    return p;
}

// Decimal digits at *p into *out, advancing *p. False when there are none or the number
// reaches INT64_MAX: a position no blob has, which the web server refuses as well.
bool parse_position(const char **p, int64_t *out) {
    const char *s = *p;
    if (*s < '0' || *s > '9') return false;
    int64_t value = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        const int digit = *s - '0';
        if (value > (INT64_MAX - 1 - digit) / 10) return false;
        value = value * 10 + digit;
    }
    *p = s;
    *out = value;
    return true;
}

// Reads the Range and If-Range headers against a blob of `size` bytes. A unit other than bytes,
// several ranges, and an If-Range naming another entity all get the whole blob, as HTTP allows;
// a single range that is malformed or lies past the end gets 416.
byte_range choose_range(const char *range, const char *if_range, const char *etag, int64_t size) {
    byte_range whole;
    whole.last = size - 1;
    if (!range || !*range || !ieq_prefix(range, "bytes=")) return whole;
    if (std::strchr(range, ',')) return whole;
    // Blobs never change, so a date validator always holds; an entity tag must be ours.
    if (if_range && *if_range && (if_range[0] == '"' || std::strncmp(if_range, "W/", 2) == 0) &&
        std::strcmp(if_range, etag) != 0)
        return whole;

    byte_range refused;
    refused.kind = range_kind::unsatisfiable;
    const char *p = skip_space(range + 6);
    int64_t first = 0;
    int64_t last = 0;
    if (*p == '-') {
        ++p;
        if (!parse_position(&p, &last) || *skip_space(p) != '\0') return refused;
        if (last == 0 || size == 0) return refused;
        first = last >= size ? 0 : size - last;
        last = size - 1;
    } else {
        if (!parse_position(&p, &first) || *p != '-') return refused;
        ++p;
        if (*skip_space(p) == '\0') {
            last = size - 1;
        } else {
            if (!parse_position(&p, &last) || *skip_space(p) != '\0' || last < first) return refused;
            if (last >= size) last = size - 1;
        }
        if (first >= size) return refused;
    }
    byte_range part;
    part.kind = range_kind::part;
    part.first = first;
    part.last = last;
    return part;
}

// The path as the web server's X-Sendfile reads it: it URL-decodes the value, so every byte
// outside the unreserved set and "/" is escaped.
bool url_escape_path(const char *path, char *out, size_t cap) {
    static const char hex[] = "0123456789ABCDEF";
    size_t n = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(path); *p; ++p) {
        const unsigned char c = *p;
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || std::strchr("/-._~", c);
        if (n + (plain ? 1 : 3) >= cap) return false;
        if (plain) {
            out[n++] = static_cast<char>(c);
        } else {
            out[n++] = '%';
            out[n++] = hex[c >> 4];
            out[n++] = hex[c & 15];
        }
    }
    out[n] = '\0';
    return true;
}

bool sendfile_enabled() { return std::strcmp(cgi_env("REGISTRY_X_SENDFILE", ""), "1") == 0; }

// The answer for a blob the repository does not show: unknown, or the engine's failure.
int reply_unlinked(const oci_request *request, int linked) {
    if (linked == 0) return oci_reply_error(request, 404, "BLOB_UNKNOWN", "blob unknown to repository");
    return oci_reply_storage_error(request, "BLOB_UNKNOWN");
}

// Copies bytes first..last of the file into the answer (cgi_write_file: the kernel moves them
// where it can). The head is out already, so a failure can only cut the body short, which the
// client sees.
int stream_range(const char *path, int64_t first, int64_t last) {
    std::FILE *file = bv_platform::open_read(path);
    if (!file) return -1;
    const int rc = cgi_write_file(file, first, last - first + 1);
    std::fclose(file);
    return cgi_flush() == 0 && rc == 0 ? 0 : -1;
}

int get_blob(oci_request *request) {
    const char *digest = request->rest;
    if (!reg_digest_valid(digest)) return oci_reply_error(request, 400, "DIGEST_INVALID", "invalid digest");
    int64_t size = -1;
    const int linked = reg_blob_linked_claim(request->repo, digest, &size);
    if (linked != 1) return reply_unlinked(request, linked);

    char etag[REG_DIGEST_SIZE + 2];  // the digest in quotes
    bv_snprintf(etag, sizeof etag, "\"%s\"", digest);
    // HEAD never takes a range: it tells what a plain GET would get.
    byte_range range;
    range.last = size - 1;
    if (!request->is_head)
        range = choose_range(cgi_env("HTTP_RANGE", ""), cgi_env("HTTP_IF_RANGE", ""), etag, size);

    char content_range[96];
    if (range.kind == range_kind::unsatisfiable) {
        bv_snprintf(content_range, sizeof content_range, "bytes */%lld", static_cast<long long>(size));
        const oci_header headers[] = {{"Content-Range", content_range}, {"Accept-Ranges", "bytes"}};
        return oci_reply_error_headers(request, 416, "UNSUPPORTED", "requested range not satisfiable",
                                       headers, std::size(headers));
    }

    oci_header headers[5] = {
        {"Docker-Content-Digest", digest}, {"Accept-Ranges", "bytes"}, {"ETag", etag}, {}, {}};
    size_t count = 3;
    const char *type = "application/octet-stream";
    if (request->is_head) return oci_reply_head(request, 200, type, size, headers, count);
    char path[kPathCap];
    if (reg_blob_get_filepath(digest, path, sizeof path) != 0)
        return oci_reply_storage_error(request, "BLOB_UNKNOWN");

    // The web server sends the file itself and cuts the one range out of it, from the same
    // Range header this program has just judged: it answers 206 with the exact bytes.
    char escaped[3 * kPathCap];
    if (sendfile_enabled() && bv_platform::is_absolute_path(path) &&
        url_escape_path(path, escaped, sizeof escaped)) {
        headers[count++] = {"X-Sendfile", escaped};
        return oci_reply_head(request, 200, type, -1, headers, count);
    }

    int status = 200;
    if (range.kind == range_kind::part) {
        status = 206;
        bv_snprintf(content_range, sizeof content_range, "bytes %lld-%lld/%lld",
                    static_cast<long long>(range.first), static_cast<long long>(range.last),
                    static_cast<long long>(size));
        headers[count++] = {"Content-Range", content_range};
    }
    const int64_t length = range.last - range.first + 1;
    if (oci_reply_head(request, status, type, length, headers, count) != 0) return -1;
    return length > 0 ? stream_range(path, range.first, range.last) : 0;
}

int delete_blob(oci_request *request) {
    if (!reg_digest_valid(request->rest))
        return oci_reply_error(request, 400, "DIGEST_INVALID", "invalid digest");
    if (reg_blob_unlink(request->repo, request->rest) != 0)
        return oci_reply_storage_error(request, "BLOB_UNKNOWN");
    const oci_header headers[] = {{"Docker-Content-Digest", request->rest}};
    return oci_reply_head(request, 202, nullptr, 0, headers, std::size(headers));
}

const oci_method_handler handlers[] = {{"GET", get_blob}, {"DELETE", delete_blob}};

}  // namespace

int main(void) {
    return oci_serve_endpoint("v2_blobs", handlers, std::size(handlers));
}
