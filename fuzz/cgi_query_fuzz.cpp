// Fuzzes query-string lookups: the input up to its first NUL becomes QUERY_STRING, the rest
// (up to the next NUL) the parameter name. Each result is checked against a plain model of the
// lookup, must stay terminated inside its 512-byte buffer and must survive seven more lookups.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cgi/bv_cgi.h"

namespace {

// putenv keeps our buffer as the variable, so the variable can change on every input without
// the environment piling up copies of old values.
void set_query_string(const std::string &value) {
    static std::vector<char> entry;
    const std::string text = "QUERY_STRING=" + value;
    entry.assign(text.begin(), text.end());
    entry.push_back('\0');
    putenv(entry.data());
}

int hex_digit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// What the lookup should find in a non-empty query string: false when no key matches.
bool model_lookup(const std::string &query, const std::string &name, std::string &out) {
    size_t start = 0;
    for (;;) {
        size_t amp = query.find('&', start);
        const std::string segment = query.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
        const size_t eq = segment.find('=');
        if (segment.substr(0, eq) == name) {
            const std::string value = eq == std::string::npos ? std::string() : segment.substr(eq + 1);
            out.clear();
            for (size_t i = 0; i < value.size() && out.size() < 511;) {
                const unsigned char c = static_cast<unsigned char>(value[i]);
                if (c == '+') {
                    out.push_back(' ');
                    ++i;
                } else if (c == '%' && i + 2 < value.size() && hex_digit(static_cast<unsigned char>(value[i + 1])) >= 0 &&
                           hex_digit(static_cast<unsigned char>(value[i + 2])) >= 0) {
                    out.push_back(static_cast<char>(hex_digit(static_cast<unsigned char>(value[i + 1])) * 16 +
                                                    hex_digit(static_cast<unsigned char>(value[i + 2]))));
                    i += 3;
                } else {
                    out.push_back(static_cast<char>(c));
                    ++i;
                }
            }
            return true;
        }
        if (amp == std::string::npos) return false;
        start = amp + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *bytes = reinterpret_cast<const char *>(data);
    const char *split = static_cast<const char *>(std::memchr(bytes, '\0', size));
    const size_t query_len = split ? static_cast<size_t>(split - bytes) : size;
    const std::string query(bytes, query_len);
    std::string name;
    if (split) {
        const char *rest = split + 1;
        const size_t rest_len = size - query_len - 1;
        const char *end = static_cast<const char *>(std::memchr(rest, '\0', rest_len));
        name.assign(rest, end ? static_cast<size_t>(end - rest) : rest_len);
    }

    set_query_string(query);
    const char *constant = cgi_query(nullptr);
    const char *result = cgi_query(name.c_str());
    if (!result) std::abort();
    if (name.empty() && result != constant) std::abort();

    const bool in_ring = result != constant && !(query.empty() && result == std::getenv(name.c_str()));
    if (query.empty() && in_ring) std::abort();  // the fallback never answers from a buffer
    std::string expected;
    const bool found = !query.empty() && !name.empty() && model_lookup(query, name, expected);
    if (!in_ring) {
        if (*constant != '\0' || found) std::abort();  // a match always lands in a buffer
        return 0;
    }

    if (!std::memchr(result, '\0', 512)) std::abort();
    if (!found) std::abort();
    // The buffer holds every decoded byte, an embedded NUL included, then a NUL.
    if (std::memcmp(result, expected.data(), expected.size()) != 0 || result[expected.size()] != '\0')
        std::abort();

    const std::string kept(result, expected.size());
    for (int i = 0; i < 7; ++i) cgi_query(name.c_str());
    if (std::memcmp(result, kept.data(), kept.size()) != 0) std::abort();
    return 0;
}
