// Query parameters of one request, read from the request record's own query string: the first
// of a name, or each of a repeated one in turn from the caller's position. Nothing is kept
// between calls and no parameter is ever taken from the environment.
#include "oci/oci_common.h"

#include <cstring>

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes value[0, len) into out; -1 when it does not fit or holds an encoded NUL.
int decode(const char *value, const char *end, char *out, size_t cap) {
    size_t n = 0;
    for (const char *p = value; p < end; ++p) {
        char c = *p;
        if (c == '+') {
            c = ' ';
        } else if (c == '%' && end - p >= 3 && hex_value(p[1]) >= 0 && hex_value(p[2]) >= 0) {
            c = static_cast<char>(hex_value(p[1]) * 16 + hex_value(p[2]));
            p += 2;
        }
        if (c == '\0' || n + 1 >= cap) {
            out[0] = '\0';
            return -1;
        }
        out[n++] = c;
    }
    out[n] = '\0';
    return 1;
}

}  // namespace

extern "C" int oci_query_param_next(const oci_request *request, const char *name, size_t *pos,
                                    char *out, size_t cap) {
    if (!out || cap == 0) return -1;
    out[0] = '\0';
    if (!request || !request->query || !name || !pos) return 0;
    const size_t name_len = std::strlen(name);
    const size_t query_len = std::strlen(request->query);
    if (*pos > query_len) *pos = query_len;
    for (const char *seg = request->query + *pos; *seg;) {
        const char *end = std::strchr(seg, '&');
        if (!end) end = seg + std::strlen(seg);
        const char *eq =
            static_cast<const char *>(std::memchr(seg, '=', static_cast<size_t>(end - seg)));
        const char *key_end = eq ? eq : end;
        const char *next = *end ? end + 1 : end;
        // Keys are compared as sent, like the CGI module does.
        if (static_cast<size_t>(key_end - seg) == name_len && std::strncmp(seg, name, name_len) == 0) {
            *pos = static_cast<size_t>(next - request->query);
            return decode(eq ? eq + 1 : end, end, out, cap);
        }
        seg = next;
    }
    *pos = query_len;
    return 0;
}

extern "C" int oci_query_param(const oci_request *request, const char *name, char *out,
                               size_t cap) {
    size_t pos = 0;
    return oci_query_param_next(request, name, &pos, out, cap);
}
