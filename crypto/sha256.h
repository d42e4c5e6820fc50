/* SHA-256 (FIPS 180-4): streaming over a caller-owned context, its state as bytes to resume
 * it in another process, and whole files. Usable from C and C++. */
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
/* A context's state as SHA256_STATE_SIZE bytes of fixed layout (the same on every platform):
 * the eight words and the bit count, most significant byte first, then the bytes still
 * waiting for a block (zeros after them). Neither pointer may be null. */
#define SHA256_STATE_SIZE 104
void sha256_export(const sha256_ctx *ctx, uint8_t out[SHA256_STATE_SIZE]);
/* Makes *ctx continue where the exported context stood: 0, or -1 (ctx untouched) when the
 * bytes cannot be an export (a bit count that is no whole number of bytes, or nonzero bytes
 * past the waiting ones). Neither pointer may be null. */
int  sha256_import(sha256_ctx *ctx, const uint8_t in[SHA256_STATE_SIZE]);
/* 0 on success; -1 when the file cannot be read, leaving out untouched. */
int  sha256_file(const char *path, uint8_t out[32]);

#ifdef __cplusplus
}
#endif

#endif
