// Request bodies for the endpoint layer: the announced length, and a bounded reader over the
// body file the web server spooled the body to, or over the body as the web server sends it.
#include "oci/oci_common.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "cgi/bv_cgi.h"
#include "oci/oci_internal.h"
#include "platform/bv_platform.h"
#include "platform/bv_platform_fs.h"

namespace {

// The request variable `name` (CONTENT_LENGTH, ...): 1 when set and not empty, and then *out
// the value or -1 when it is no plain decimal number in range.
int declared_length(const char *name, int64_t *out) {
    const char *text = cgi_env(name, "");
    *out = -1;
    if (!*text) return 0;
    int64_t value = 0;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return 1;
        const int digit = *p - '0';
        if (value > (INT64_MAX - digit) / 10) return 1;
        value = value * 10 + digit;
    }
    *out = value;
    return 1;
}

}  // namespace

namespace oci_internal {

std::int64_t announced_length(const char *variable) {
    int64_t length = -1;
    declared_length(variable, &length);
    return length;
}

}  // namespace oci_internal

extern "C" {

int64_t oci_content_length(void) {
    return oci_internal::announced_length("CONTENT_LENGTH");
}

int oci_body_open(oci_body *body) {
    if (!body) return -1;
    *body = oci_body{};
    const char *path = cgi_env("POST_BODY_FILE", "");
    if (*path) {
        if (std::FILE *file = std::fopen(path, "rb")) {
            const int64_t size = bv_platform::size_of(path);
            if (size >= 0) {
                body->stream = file;
                body->is_open = 1;
                body->from_file = 1;
                body->announced = 1;
                body->length = size;
                body->remaining = size;
                return 0;
            }
            std::fclose(file);
        }
    }
    // No usable body file: the body, if any, comes from the web server.
    int64_t length = 0;
    const int declared = declared_length("CONTENT_LENGTH", &length);
    if (declared && length < 0) return -1;
    if (!declared) length = 0;
    body->is_open = 1;
    body->announced = declared;
    body->length = length;
    body->remaining = length;
    return 0;
}

long oci_read_body(void *ctx, void *buf, size_t cap) {
    oci_body *body = static_cast<oci_body *>(ctx);
    if (!body || !body->is_open || (cap > 0 && !buf)) return -1;
    if (body->failed) return -1;
    if (body->remaining <= 0 || cap == 0) return 0;
    // Never more than the body holds (the rest of standard input is not the body's), and never
    // more than a long can count, which is 32 bits on Windows.
    std::size_t want = cap;
    if (static_cast<uint64_t>(body->remaining) < want) want = static_cast<std::size_t>(body->remaining);
    if (want > static_cast<std::size_t>(LONG_MAX)) want = static_cast<std::size_t>(LONG_MAX);
    const std::size_t got = body->stream ? std::fread(buf, 1, want, body->stream) : cgi_read(buf, want);
    if (got == 0) {
        if (body->stream && std::ferror(body->stream)) {
            body->failed = 1;
            return -1;
        }
        // The input ended early: the end of the body for the reader; the caller compares what
        // arrived with the announced length.
        body->remaining = 0;
        return 0;
    }
    body->remaining -= static_cast<int64_t>(got);
    return static_cast<long>(got);
}

long oci_read_body_to_end(void *ctx, void *buf, size_t cap) {
    oci_body *body = static_cast<oci_body *>(ctx);
    if (!body || !body->is_open || (cap > 0 && !buf)) return -1;
    if (cap > (1u << 30)) cap = 1u << 30;
    if (!body->stream) {
        const std::size_t got = cgi_read(buf, cap);
        // A body cut for its rate ends like any other, but here its end would pass for the
        // whole body: it is a failure instead, so nothing of it is kept.
        if (got == 0 && cgi_transfer_cut() != CGI_CUT_NONE) return -1;
        return static_cast<long>(got);
    }
    const std::size_t got = std::fread(buf, 1, cap, body->stream);
    if (got == 0 && std::ferror(body->stream)) return -1;
    return static_cast<long>(got);
}

void oci_body_close(oci_body *body) {
    if (!body || !body->is_open) return;
    if (body->stream) std::fclose(body->stream);
    body->stream = nullptr;
    body->is_open = 0;
    body->remaining = 0;
}

}  // extern "C"
