// Request path parsing: splits /v2/<name><marker><rest> into a checked repository name and
// the remainder after the marker, judges names by the distribution API's grammar, and tells
// extension paths (/v2/[<name>/]_<extension>/...) apart.
#include "oci/oci_common.h"

#include <cstring>

#include "oci/oci_internal.h"

namespace {

constexpr std::size_t max_repo_name = 255;

bool is_lower_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// One path component, [a-z0-9]+ ((\.|_|__|-+) [a-z0-9]+)*, in name[0, len).
bool valid_component(const char *name, std::size_t len) {
    std::size_t i = 0;
    for (;;) {
        if (i == len || !is_lower_alnum(name[i])) return false;
        while (i < len && is_lower_alnum(name[i])) ++i;
        if (i == len) return true;
        if (name[i] == '-') {
            while (i < len && name[i] == '-') ++i;
        } else if (name[i] == '.') {
            ++i;
        } else if (name[i] == '_') {
            ++i;
            if (i < len && name[i] == '_') ++i;
        } else {
            return false;
        }
        // The loop's first test wants the next alphanumeric run right after the separator.
    }
}

// The rightmost occurrence of a non-empty marker in text, or null.
const char *find_last(const char *text, const char *marker) {
    const char *found = nullptr;
    for (const char *p = std::strstr(text, marker); p; p = std::strstr(p + 1, marker)) found = p;
    return found;
}

}  // namespace

namespace oci_internal {

split_result split_repo_path(const char *path, const char *marker, char *repo,
                             std::size_t repo_cap, char *rest, std::size_t rest_cap) {
    const bool want_rest = rest && rest_cap > 0;
    repo[0] = '\0';
    if (want_rest) rest[0] = '\0';
    if (!*marker) return split_result::no_name;

    const char *p = path;
    while (*p == '/') ++p;
    if (std::strncmp(p, "v2/", 3) == 0) p += 3;
    else if (std::strcmp(p, "v2") == 0) p += 2;

    // The last occurrence ends the name: the remainders (references, digests, upload ids)
    // never hold the marker, but a name may hold its word, as in a/blobs/b/blobs/<digest>.
    const char *at = find_last(p, marker);
    if (!at || at == p) return split_result::no_name;
    const std::size_t name_len = static_cast<std::size_t>(at - p);
    if (name_len >= repo_cap) return split_result::name_too_long;
    std::memcpy(repo, p, name_len);
    repo[name_len] = '\0';

    // A refused name stays in the buffer so the caller can name it in its error.
    if (!oci_valid_repo_name(repo)) return split_result::name_invalid;

    if (want_rest) {
        const char *r = at + std::strlen(marker);
        while (*r == '/') ++r;
        std::size_t n = std::strlen(r);
        if (n > 0 && r[n - 1] == '/') --n;
        // A cut remainder would name another tag, digest or upload than the client asked for.
        if (n >= rest_cap) return split_result::rest_too_long;
        std::memcpy(rest, r, n);
        rest[n] = '\0';
    }
    return split_result::ok;
}

}  // namespace oci_internal

extern "C" {

int oci_valid_repo_name(const char *name) {
    if (!name || !*name) return 0;
    // Bounded scan: a huge name is refused without walking all of it.
    std::size_t len = 0;
    while (len <= max_repo_name && name[len]) ++len;
    if (len > max_repo_name) return 0;

    std::size_t start = 0;
    for (std::size_t i = 0; i <= len; ++i) {
        if (i < len && name[i] != '/') continue;
        if (!valid_component(name + start, i - start)) return 0;
        start = i + 1;
    }
    return 1;
}

int oci_parse_repo_marker(const char *path, const char *marker, char *repo, size_t repo_cap,
                          char *rest, size_t rest_cap) {
    if (!path || !marker || !repo || repo_cap == 0) return 0;
    return oci_internal::split_repo_path(path, marker, repo, repo_cap, rest, rest_cap) ==
                   oci_internal::split_result::ok
               ? 1
               : 0;
}

}  // extern "C"

extern "C" int oci_extension_path(const char *path) {
    static constexpr char api[] = "/v2/";
    if (!path || std::strncmp(path, api, sizeof api - 1) != 0) return 0;
    const char *after = path + sizeof api - 1;
    if (std::strcmp(after, "_catalog") == 0 || std::strcmp(after, "_catalog/") == 0) return 0;
    for (const char *segment = after; *segment;) {
        if (*segment == '_') return 1;
        const char *slash = std::strchr(segment, '/');
        if (!slash) break;
        segment = slash + 1;
    }
    return 0;
}
