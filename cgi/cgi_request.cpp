// Request input: one decoded parameter of the query string (with the environment standing in
// when there is no query string at all), and the whole request body, read from the file the
// web server spooled it to or as the web server sends it.
#include "cgi/bv_cgi.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cgi/cgi_internal.h"
#include "platform/bv_platform.h"

namespace {

constexpr int kSlotCount = 8;
constexpr size_t kSlotSize = 512;

// Lengths are carried as signed 32-bit values; a body that does not fit is refused instead
// of being allowed to wrap into a negative or tiny size.
constexpr long long kMaxBody = INT32_MAX;

// Every "nothing here" result is this one object, so callers may compare against it.
constexpr char kEmpty[] = "";

char s_slots[kSlotCount][kSlotSize];
int s_slot = 0;

// Plain char may be signed: bytes from 0x80 up fall through to -1 like any other non-digit.
int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Form-decodes value[0, len) into out, which holds kSlotSize bytes. An escape is only taken
// when both digits lie inside the value, so decoding never reads into the next parameter.
// A "%" that does not start a valid escape is kept and the byte after it is looked at anew.
void decode_value(char *out, const char *value, size_t len) {
    size_t stored = 0;
    size_t i = 0;
    while (i < len && stored < kSlotSize - 1) {
        const char c = value[i];
        if (c == '+') {
            out[stored++] = ' ';
            ++i;
        } else if (c == '%' && i + 2 < len && hexval(value[i + 1]) >= 0 && hexval(value[i + 2]) >= 0) {
            out[stored++] = static_cast<char>(hexval(value[i + 1]) * 16 + hexval(value[i + 2]));
            i += 3;
        } else {
            out[stored++] = c;
            ++i;
        }
    }
    out[stored] = '\0';
}

// Without a query string a parameter may come straight from the environment (handy when an
// endpoint is run by hand). Values that look like a Windows search path (";" and ":"
// together) are not taken, so a parameter named like PATH does not leak the host's setting.
const char *from_environment(const char *name) {
    if (cgi_is_fastcgi()) return kEmpty;
    const char *value = std::getenv(name);
    if (!value || !*value) return kEmpty;
    if (std::strchr(value, ';') && std::strchr(value, ':')) return kEmpty;
    return value;
}

char *read_body_file(std::FILE *file, size_t *out_len) {
    // A directory opens fine on some systems and then reports an absurd size: the range
    // check below turns that into a refusal as well.
    if (std::fseek(file, 0, SEEK_END) != 0) {
        std::fclose(file);
        return nullptr;
    }
    const long size = std::ftell(file);
    if (size < 0 || static_cast<long long>(size) > kMaxBody) {
        std::fclose(file);
        return nullptr;
    }
    std::rewind(file);
    char *body = static_cast<char *>(std::malloc(static_cast<size_t>(size) + 1));
    if (!body) {
        std::fclose(file);
        return nullptr;
    }
    const size_t got = std::fread(body, 1, static_cast<size_t>(size), file);
    // A file that shrank under us is fine, but a read error must not pass for a short body.
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        std::free(body);
        return nullptr;
    }
    body[got] = '\0';
    if (out_len) *out_len = got;
    return body;
}

char *read_body_input(size_t *out_len) {
    const char *declared = bv_cgi::lookup_variable("CONTENT_LENGTH");
    // strtoll rather than strtol: long is 32 bits on Windows and would clamp large values
    // silently; here they saturate far above the limit and are refused.
    const long long length = declared ? std::strtoll(declared, nullptr, 10) : 0;
    if (length <= 0 || length > kMaxBody) return nullptr;
    char *body = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
    if (!body) return nullptr;
    // The client may send less than it announced; what arrived is the body.
    size_t got = 0;
    while (got < static_cast<size_t>(length)) {
        const size_t n = cgi_read(body + got, static_cast<size_t>(length) - got);
        if (n == 0) break;
        got += n;
    }
    body[got] = '\0';
    if (out_len) *out_len = got;
    return body;
}

}  // namespace

namespace bv_cgi {

void reset_query_slots() {
    for (auto &slot : s_slots) slot[0] = '\0';
    s_slot = 0;
}

}  // namespace bv_cgi

extern "C" {

const char *cgi_query(const char *name) {
    const char *query = bv_cgi::lookup_variable("QUERY_STRING");
    if (!name || !*name) return kEmpty;

    // A result stays valid through the next seven lookups; the buffer is cleared up front so
    // a stale value from eight calls ago never survives a miss.
    s_slot = (s_slot + 1) % kSlotCount;
    char *buf = s_slots[s_slot];
    buf[0] = '\0';
    const size_t name_len = std::strlen(name);

    if (!query || !*query) return from_environment(name);

    const char *segment = query;
    for (;;) {
        const char *amp = std::strchr(segment, '&');
        const char *end = amp ? amp : segment + std::strlen(segment);
        const size_t seg_len = static_cast<size_t>(end - segment);
        const char *eq = static_cast<const char *>(std::memchr(segment, '=', seg_len));
        const char *key_end = eq ? eq : end;
        // Keys are compared as sent: no decoding, exact case.
        if (static_cast<size_t>(key_end - segment) == name_len &&
            std::memcmp(segment, name, name_len) == 0) {
            if (eq) decode_value(buf, eq + 1, static_cast<size_t>(end - (eq + 1)));
            return buf;
        }
        if (!amp) break;
        segment = amp + 1;
    }
    return kEmpty;
}

char *cgi_read_post(size_t *out_len) {
    if (out_len) *out_len = 0;
    const char *path = bv_cgi::lookup_variable("POST_BODY_FILE");
    // A body file that cannot be opened is not an error: the body then comes from the server.
    std::FILE *file = (path && *path) ? std::fopen(path, "rb") : nullptr;
    if (file) return read_body_file(file, out_len);
    return read_body_input(out_len);
}

}  // extern "C"
