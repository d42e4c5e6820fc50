// Digest strings and upload identifiers: hex rendering, the form tests, and the small
// xorshift generator that identifiers are drawn from.
#include <cstring>

#include "storage/storage_internal.h"

namespace reg_internal {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

}  // namespace

void bin_to_hex(const unsigned char *data, size_t len, char *out) {
    for (size_t i = 0; i < len; ++i) {
        out[2 * i] = kHexDigits[data[i] >> 4];
        out[2 * i + 1] = kHexDigits[data[i] & 15];
    }
    out[2 * len] = '\0';
}

int digest_valid(const char *text) {
    if (!text || std::strncmp(text, "sha256:", 7) != 0) return 0;
    const char *hex = text + 7;
    for (int i = 0; i < 64; ++i)
        if (!is_hex_digit(hex[i])) return 0;  // a NUL ends the scan here as well
    return hex[64] == '\0' ? 1 : 0;
}

void rng_next(uint32_t *state) {
    uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    *state = x;
}

// Sixteen generator steps give the sixteen bytes; each byte is written low digit first.
// The advanced state goes back into s_seed so the next identifier continues the sequence.
void uuid_make(char *out) {
    uint32_t state = s_seed;
    unsigned char bytes[16];
    for (unsigned char &b : bytes) {
        rng_next(&state);
        b = static_cast<unsigned char>(state & 0xff);
    }
    s_seed = state;

    size_t digit = 0;
    for (int pos = 0; pos < 36; ++pos) {
        if (pos == 8 || pos == 13 || pos == 18 || pos == 23) {
            out[pos] = '-';
            continue;
        }
        const unsigned char b = bytes[digit / 2];
        out[pos] = kHexDigits[digit % 2 == 0 ? (b & 15) : (b >> 4)];
        ++digit;
    }
    out[36] = '\0';
}

int uuid_valid(const char *text) {
    if (!text || std::strlen(text) != 36) return 0;
    for (int pos = 0; pos < 36; ++pos) {
        const bool dash = pos == 8 || pos == 13 || pos == 18 || pos == 23;
        if (dash ? text[pos] != '-' : !is_hex_digit(text[pos])) return 0;
    }
    return 1;
}

}  // namespace reg_internal

extern "C" int reg_digest_valid(const char *text) { return reg_internal::digest_valid(text); }

// The tag grammar of the distribution API. It keeps tags usable as one directory name (no
// separator, never "." or "..") and as JSON text without escapes.
extern "C" int reg_tag_valid(const char *text) {
    if (!text) return 0;
    auto word = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_';
    };
    if (!word(text[0])) return 0;
    size_t len = 1;
    for (; text[len]; ++len) {
        if (len >= 128) return 0;
        const char c = text[len];
        if (!word(c) && c != '.' && c != '-') return 0;
    }
    return 1;
}

extern "C" int reg_repo_name_valid(const char *name) { return reg_internal::repo_name_valid(name); }
