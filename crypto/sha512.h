/* SHA-512 (FIPS 180-4): streaming over a caller-owned context, its state as bytes to resume
 * it in another process, and whole files. Usable from C and C++. */
#ifndef BV_SHA512_H
#define BV_SHA512_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The message length is counted in bits in 64 bits: messages up to 2^61 - 1 bytes (the
 * digest's 128-bit length field carries zeros in its upper half). */
typedef struct sha512_ctx {
    uint64_t state[8];
    uint64_t bitlen;
    uint8_t  buf[128];
    size_t   buflen;
} sha512_ctx;

void sha512_init(sha512_ctx *ctx);
void sha512_update(sha512_ctx *ctx, const void *data, size_t len);
/* Writes the 64-byte digest. The context is spent: sha512_init before hashing again. */
void sha512_final(sha512_ctx *ctx, uint8_t out[64]);
/* A context's state as SHA512_STATE_SIZE bytes of fixed layout (the same on every platform):
 * the eight words and the bit count, most significant byte first, then the bytes still
 * waiting for a block (zeros after them). Neither pointer may be null. */
#define SHA512_STATE_SIZE 200
void sha512_export(const sha512_ctx *ctx, uint8_t out[SHA512_STATE_SIZE]);
/* Makes *ctx continue where the exported context stood: 0, or -1 (ctx untouched) when the
 * bytes cannot be an export (a bit count that is no whole number of bytes, or nonzero bytes
 * past the waiting ones). Neither pointer may be null. */
int  sha512_import(sha512_ctx *ctx, const uint8_t in[SHA512_STATE_SIZE]);
/* 0 on success; -1 when the file cannot be read, leaving out untouched. */
int  sha512_file(const char *path, uint8_t out[64]);

#ifdef __cplusplus
}
#endif

#endif
