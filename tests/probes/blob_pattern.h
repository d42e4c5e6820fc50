// The deterministic content that blob_probe uploads, shared with the tests that check what
// the probes left in the store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace blob_pattern {

// xorshift bytes from (seed, size): the same seed and size give the same content.
inline std::string make(uint32_t seed, size_t size) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1u;
    for (char &c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x & 0xff);
    }
    return out;
}

// The content of round r of the "same" workload.
inline std::string round_content(int r) {
    return make(static_cast<uint32_t>(r), 4000 + 100 * static_cast<size_t>(r));
}

}  // namespace blob_pattern
