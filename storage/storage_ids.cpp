// Digest strings and upload identifiers: hex rendering, the form tests, the digest algorithms
// and whole-file hashes in them, and identifiers drawn from the system's random source.
#include <cstdio>
#include <cstring>
#include <iterator>

#include "crypto/sha256.h"
#include "crypto/sha512.h"
#include "platform/bv_platform_random.h"
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
    if (!text) return 0;
    int digits = 0;
    if (std::strncmp(text, "sha256:", kAlgorithmPrefixLen) == 0)
        digits = 64;
    else if (std::strncmp(text, "sha512:", kAlgorithmPrefixLen) == 0)
        digits = 128;
    else
        return 0;
    const char *hex = text + kAlgorithmPrefixLen;
    for (int i = 0; i < digits; ++i)
        if (!is_hex_digit(hex[i])) return 0;  // a NUL ends the scan here as well
    return hex[digits] == '\0' ? 1 : 0;
}

const char *hex_algorithm(const char *hex) {
    return hex && std::strlen(hex) == 128 ? "sha512" : "sha256";
}

void digest_from_hex(const char *hex, char *out, size_t out_size) {
    if (out_size > 0) std::snprintf(out, out_size, "%s:%s", hex_algorithm(hex), hex ? hex : "");
}

bool algorithm_from_name(const char *name, digest_algorithm *out) {
    if (!name) return false;
    for (size_t i = 0; i < std::size(kDigestAlgorithms); ++i) {
        if (std::strcmp(name, kDigestAlgorithms[i]) != 0) continue;
        *out = static_cast<digest_algorithm>(i);
        return true;
    }
    return false;
}

digest_algorithm algorithm_of_digest(const char *digest) {
    return digest && std::strncmp(digest, "sha512:", kAlgorithmPrefixLen) == 0
               ? digest_algorithm::sha512
               : digest_algorithm::sha256;
}

int hash_file_hex(digest_algorithm algorithm, const char *path, char (&hex)[kHexSize]) {
    uint8_t sum[64];
    size_t sum_len = 32;
    if (algorithm == digest_algorithm::sha512) {
        if (sha512_file(path, sum) != 0) return -1;
        sum_len = 64;
    } else if (sha256_file(path, sum) != 0) {
        return -1;
    }
    bin_to_hex(sum, sum_len, hex);
    return 0;
}

namespace {

bool system_random(void *buf, size_t len) { return bv_platform::random_bytes(buf, len); }

}  // namespace

bool (*s_random_source)(void *buf, size_t len) = system_random;

// Every one of the 128 bits comes from the random source: identifiers are the only key to an
// upload, so they must not be guessable from one another, nor from the time or the process.
int uuid_make(char *out) {
    unsigned char bytes[16];
    if (!s_random_source(bytes, sizeof bytes)) {
        out[0] = '\0';
        return -1;
    }
    size_t digit = 0;
    for (int pos = 0; pos < 36; ++pos) {
        if (pos == 8 || pos == 13 || pos == 18 || pos == 23) {
            out[pos] = '-';
            continue;
        }
        const unsigned char b = bytes[digit / 2];
        out[pos] = kHexDigits[digit % 2 == 0 ? (b >> 4) : (b & 15)];
        ++digit;
    }
    out[36] = '\0';
    return 0;
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

extern "C" int reg_digest_algorithm_valid(const char *name) {
    reg_internal::digest_algorithm algorithm;
    return reg_internal::algorithm_from_name(name, &algorithm) ? 1 : 0;
}

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
