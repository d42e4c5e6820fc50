// Hex rendering of SHA-256 and SHA-512 digests for tests, probes, fuzzers and benchmarks: the
// expected names of stored blobs and manifests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "crypto/sha256.h"
#include "crypto/sha512.h"

namespace bvtest {

template <size_t N>
inline std::string hex_of_sum(const uint8_t (&sum)[N]) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : sum) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

inline std::string sha256_hex(const void *data, size_t size) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data, size);
    uint8_t sum[32];
    sha256_final(&ctx, sum);
    return hex_of_sum(sum);
}

inline std::string sha256_hex(const std::string &data) { return sha256_hex(data.data(), data.size()); }

inline std::string sha512_hex(const std::string &data) {
    sha512_ctx ctx;
    sha512_init(&ctx);
    sha512_update(&ctx, data.data(), data.size());
    uint8_t sum[64];
    sha512_final(&ctx, sum);
    return hex_of_sum(sum);
}

}  // namespace bvtest
