// Fuzzes request path splitting with arbitrary paths, markers and buffer capacities, checks
// guard bytes around both buffers and compares every result with a plain string model.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "oci/oci_common.h"

namespace {

constexpr size_t guard = 16;
constexpr unsigned char guard_byte = 0xA5;

// A buffer of `cap` bytes with guard bytes on both sides; null when `cap` says so.
struct Guarded {
    std::vector<unsigned char> mem;
    size_t cap;
    bool null;
    Guarded(size_t c, bool is_null) : mem(c + 2 * guard, guard_byte), cap(c), null(is_null) {}
    char *data() { return null ? nullptr : reinterpret_cast<char *>(mem.data() + guard); }
    std::string text() const {
        const char *p = reinterpret_cast<const char *>(mem.data() + guard);
        return std::string(p, strnlen(p, cap));
    }
    bool untouched() const {
        for (size_t i = 0; i < mem.size(); ++i)
            if (mem[i] != guard_byte) return false;
        return true;
    }
    bool guards_intact() const {
        for (size_t i = 0; i < guard; ++i)
            if (mem[i] != guard_byte || mem[guard + cap + i] != guard_byte) return false;
        return true;
    }
    bool terminated() const { return std::memchr(mem.data() + guard, 0, cap) != nullptr; }
};

size_t pick_cap(uint8_t b, size_t path_len) {
    switch (b >> 5) {
    case 0: return b & 31;                           // 0..31: the cuts at every length
    case 1: return 256;
    case 2: return 4096;
    case 3: return path_len + (b & 3);               // around the longest possible text
    default: return 1 + (b & 7);
    }
}

// The distribution API's grammar, written as a scan over separators between alphanumeric runs.
bool model_component(const std::string &c) {
    auto alnum = [](char ch) { return (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9'); };
    if (c.empty() || !alnum(c.front()) || !alnum(c.back())) return false;
    size_t i = 0;
    while (i < c.size()) {
        if (alnum(c[i])) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < c.size() && !alnum(c[j])) ++j;
        const std::string sep = c.substr(i, j - i);
        const bool dashes = sep.find_first_not_of('-') == std::string::npos;
        if (sep != "." && sep != "_" && sep != "__" && !dashes) return false;
        i = j;
    }
    return true;
}

bool model_valid(const std::string &n) {
    if (n.empty() || n.size() > 255) return false;
    size_t start = 0;
    for (;;) {
        const size_t slash = n.find('/', start);
        if (!model_component(n.substr(start, slash == std::string::npos ? std::string::npos : slash - start)))
            return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const uint8_t repo_mode = data[0];
    const uint8_t rest_mode = data[1];
    const uint8_t flags = data[2];
    data += 3;
    size -= 3;

    // Marker up to the first NUL of the input, path after it; both in exact-size heap copies
    // so that reading past either one is caught by the address sanitizer.
    const uint8_t *nul = static_cast<const uint8_t *>(std::memchr(data, 0, size));
    const size_t marker_len = nul ? static_cast<size_t>(nul - data) : 0;
    const uint8_t *path_start = nul ? nul + 1 : data;
    const size_t path_len = size - static_cast<size_t>(path_start - data);
    std::string marker_s(reinterpret_cast<const char *>(data), marker_len);
    std::string path_s(reinterpret_cast<const char *>(path_start), path_len);
    path_s = path_s.substr(0, std::strlen(path_s.c_str()));
    char *marker = static_cast<char *>(std::malloc(marker_s.size() + 1));
    char *path = static_cast<char *>(std::malloc(path_s.size() + 1));
    std::memcpy(marker, marker_s.c_str(), marker_s.size() + 1);
    std::memcpy(path, path_s.c_str(), path_s.size() + 1);

    Guarded repo(pick_cap(repo_mode, path_s.size()), flags & 1);
    Guarded rest(pick_cap(rest_mode, path_s.size()), flags & 2);
    const bool null_path = (flags & 12) == 4, null_marker = (flags & 12) == 8;

    const int r = oci_parse_repo_marker(null_path ? nullptr : path, null_marker ? nullptr : marker,
                                        repo.data(), repo.cap, rest.data(), rest.cap);
    if (!repo.guards_intact() || !rest.guards_intact()) std::abort();

    // The model: what the result and both buffers must be.
    const bool refused_early = null_path || null_marker || repo.null || repo.cap == 0;
    const bool want_rest = !rest.null && rest.cap > 0;
    int want_r = 0;
    std::string want_repo, want_rest_text;
    if (!refused_early) {
        std::string p = path_s;
        p.erase(0, p.find_first_not_of('/') == std::string::npos ? p.size() : p.find_first_not_of('/'));
        if (p.rfind("v2/", 0) == 0) p.erase(0, 3);
        else if (p == "v2") p.clear();
        // The last occurrence splits; an empty marker never does.
        const size_t at = marker_s.empty() ? std::string::npos : p.rfind(marker_s);
        if (at != std::string::npos && at > 0 && at < repo.cap) {
            want_repo = p.substr(0, at);
            if (model_valid(want_repo)) {
                std::string tail = p.substr(at + marker_s.size());
                tail.erase(0, tail.find_first_not_of('/') == std::string::npos ? tail.size()
                                                                               : tail.find_first_not_of('/'));
                if (!tail.empty() && tail.back() == '/') tail.pop_back();
                // A remainder that would be cut refuses the whole split.
                if (!want_rest || tail.size() < rest.cap) {
                    want_r = 1;
                    if (want_rest) want_rest_text = tail;
                }
            }
        }
    }
    if (r != want_r) std::abort();
    if (refused_early) {
        if (!repo.untouched() || !rest.untouched()) std::abort();
    } else {
        if (!repo.terminated() || repo.text() != want_repo) std::abort();
        if (want_rest && (!rest.terminated() || rest.text() != want_rest_text)) std::abort();
        if (!want_rest && !rest.untouched()) std::abort();
    }
    if (oci_valid_repo_name(path) != (model_valid(path_s) ? 1 : 0)) std::abort();

    std::free(marker);
    std::free(path);
    return 0;
}
