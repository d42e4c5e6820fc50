/* What the SHA-256 and SHA-512 sources share: big-endian loads and stores of their words and
 * the loop that hashes a whole file. Not part of the public interface; C++ only, included by
 * the module's own sources. */
#ifndef BV_HASH_INTERNAL_H
#define BV_HASH_INTERNAL_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "platform/bv_platform_fs.h"

namespace bv_hash {

inline uint32_t load_be32(const uint8_t *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

inline uint64_t load_be64(const uint8_t *p) {
    return (uint64_t)p[0] << 56 | (uint64_t)p[1] << 48 | (uint64_t)p[2] << 40 |
           (uint64_t)p[3] << 32 | (uint64_t)p[4] << 24 | (uint64_t)p[5] << 16 |
           (uint64_t)p[6] << 8 | (uint64_t)p[7];
}

inline void store_be32(uint8_t *out, uint32_t v) {
    for (int b = 0; b < 4; ++b) out[b] = (uint8_t)(v >> (24 - 8 * b));
}

inline void store_be64(uint8_t *out, uint64_t v) {
    for (int b = 0; b < 8; ++b) out[b] = (uint8_t)(v >> (56 - 8 * b));
}

/* The file at `path` through init, update and final of one hash (its *_file function): 0, or
 * -1 when the file cannot be opened or a read fails, leaving `out` untouched. */
template <typename Ctx>
int hash_file(const char *path, uint8_t *out, void (*init)(Ctx *),
              void (*update)(Ctx *, const void *, size_t), void (*final)(Ctx *, uint8_t *)) {
    // 1. Open for reading, binary.
    FILE *f = bv_platform::open_read(path);
    if (!f) return -1;
    // 2. A context local to the call.
    Ctx ctx;
    init(&ctx);
    // 3. 65,536-byte reads into a buffer local to the call, until a read yields nothing.
    alignas(64) uint8_t chunk[65536];
    for (;;) {
        const size_t n = fread(chunk, 1, sizeof chunk, f);
        if (n == 0) break;
        update(&ctx, chunk, n);
    }
    // 4. The error indicator, then close; on error the output area is not written.
    const int failed = ferror(f);
    fclose(f);
    if (failed) return -1;
    // 5. The digest.
    final(&ctx, out);
    return 0;
}

}  // namespace bv_hash

#endif
