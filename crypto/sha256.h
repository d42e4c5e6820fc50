/* SHA-256 (FIPS 180-4): streaming over a caller-owned context, and whole files.
 * Usable from C and C++. */
#ifndef BV_SHA256_H
#define BV_SHA256_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sha256_ctx {
    uint32_t state[8];
    uint64_t bitlen;
    uint8_t  buf[64];
    size_t   buflen;
} sha256_ctx;

void sha256_init(sha256_ctx *ctx);
void sha256_update(sha256_ctx *ctx, const void *data, size_t len);
void sha256_final(sha256_ctx *ctx, uint8_t out[32]);
/* 0 on success; -1 when the file cannot be read, leaving out untouched. */
int  sha256_file(const char *path, uint8_t out[32]);

#ifdef __cplusplus
}
#endif

#endif
