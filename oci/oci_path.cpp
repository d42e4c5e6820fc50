// Request path parsing: splits /v2/<name><marker><rest> into a checked repository name and
// the remainder after the marker.
#include "oci/oci_common.h"

#include <cctype>
#include <cstring>

#include "cgi/bv_cgi.h"

namespace {

constexpr std::size_t max_repo_name = 255;

bool is_separator(unsigned char c) { return c == '-' || c == '_' || c == '.' || c == '/'; }

}  // namespace

extern "C" {

int oci_valid_repo_name(const char *name) {
    if (!name || !*name) return 0;
    // Bounded scan: a huge name is refused without walking all of it.
    std::size_t len = 0;
    while (len <= max_repo_name && name[len]) ++len;
    if (len > max_repo_name) return 0;

    for (std::size_t i = 0; i < len; ++i) {
        // isalnum on the unsigned byte: in the default locale bytes from 0x80 up fail, and a
        // negative char never reaches it.
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (std::isalnum(c)) continue;
        if (!is_separator(c)) return 0;
        if (i == 0 || i == len - 1) return 0;
        if (c == '/' && name[i - 1] == '/') return 0;
    }
    return 1;
}

int oci_parse_repo_marker(const char *path, const char *marker, char *repo, size_t repo_cap,
                          char *rest, size_t rest_cap) {
    if (!path || !marker || !repo || repo_cap == 0) return 0;
    const bool want_rest = rest && rest_cap > 0;
    repo[0] = '\0';
    if (want_rest) rest[0] = '\0';

    const char *p = path;
    while (*p == '/') ++p;
    if (std::strncmp(p, "v2/", 3) == 0) p += 3;
    else if (std::strcmp(p, "v2") == 0) p += 2;

    // Repository names contain slashes, so the first occurrence of the marker ends the name.
    const char *at = std::strstr(p, marker);
    if (!at) return 0;
    const std::size_t name_len = static_cast<std::size_t>(at - p);
    if (name_len == 0 || name_len >= repo_cap) return 0;
    std::memcpy(repo, p, name_len);
    repo[name_len] = '\0';

    // A refused name stays in the buffer so the caller can name it in its error.
    if (!oci_valid_repo_name(repo)) return 0;

    if (want_rest) {
        const char *r = at + std::strlen(marker);
        while (*r == '/') ++r;
        bv_strlcpy(rest, r, rest_cap);
        const std::size_t n = std::strlen(rest);
        if (n > 0 && rest[n - 1] == '/') rest[n - 1] = '\0';
    }
    return 1;
}

}  // extern "C"
