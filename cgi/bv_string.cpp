// Bounded string helpers over caller-owned fixed-size buffers: copy, formatted print and a
// join of two path pieces. None writes past the capacity and each leaves a terminated string.
#include "cgi/bv_cgi.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/bv_platform.h"

extern "C" {

void bv_strlcpy(char *dst, const char *src, size_t cap) {
    if (!dst || cap == 0) return;
    size_t i = 0;
    if (src) {
        for (; i + 1 < cap && src[i] != '\0'; ++i) dst[i] = src[i];
    }
    dst[i] = '\0';
}

int bv_snprintf(char *dst, size_t cap, const char *fmt, ...) {
    if (!dst || cap == 0) return 0;
    va_list args;
    va_start(args, fmt);
    const int n = std::vsnprintf(dst, cap, fmt, args);
    va_end(args);
    if (n >= 0 && static_cast<size_t>(n) < cap) return n;
    // Cut or failed: report what the buffer holds, not what the output would have needed,
    // so the result can be used directly as an append offset.
    dst[cap - 1] = '\0';
    return cap - 1 > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(cap - 1);
}

void bv_path_join(char *dst, size_t cap, const char *first, const char *second) {
    if (!dst || cap == 0) return;
    dst[0] = '\0';
    if (!first || !*first) {
        bv_strlcpy(dst, second, cap);
        return;
    }
    if (!second || !*second) {
        bv_strlcpy(dst, first, cap);
        return;
    }
    bv_strlcpy(dst, first, cap);
    size_t len = std::strlen(dst);
    // Either separator ends the first piece, so paths written with "/" on Windows (or "\\"
    // from a Windows configuration elsewhere) do not get a doubled separator.
    if (len != 0 && !bv_platform::is_sep(dst[len - 1]) && len + 1 < cap) {
        dst[len++] = bv_platform::path_sep;
        dst[len] = '\0';
    }
    while (bv_platform::is_sep(*second)) ++second;
    if (len < cap) bv_strlcpy(dst + len, second, cap - len);
}

}  // extern "C"
