// SHA-256 (FIPS 180-4): the streaming functions, the padding, whole files, and the
// dispatch of the compression to one of its two implementations (sha256_portable.cpp,
// sha256_shani.cpp).
//
// Dispatch: `s_blocks` starts out pointing at `resolve_blocks`, which on the first compression
// of the process asks CPUID once, stores the chosen implementation and calls it; every later
// compression goes straight to it. There is no start-up work (the pointer is constant-
// initialised), so a CGI program that never hashes never pays for the detection.
#include "crypto/sha256.h"

#include <atomic>
#include <string.h>

#include "crypto/hash_internal.h"
#include "crypto/sha256_internal.h"

namespace {

void resolve_blocks(uint32_t state[8], uint8_t buf[64], const uint8_t *data, size_t nblocks);

// The compression in use; relaxed ordering suffices, every value stored is a valid choice.
constinit std::atomic<sha256_blocks_fn> s_blocks{resolve_blocks};
constinit std::atomic<int> s_impl{SHA256_IMPL_AUTO};  // PORTABLE or SHANI once decided

sha256_impl detect_impl() {
#if BV_SHA256_HAVE_SHANI
    if (sha256_cpu_has_shani()) return SHA256_IMPL_SHANI;
#endif
    return SHA256_IMPL_PORTABLE;
}

void install(sha256_impl impl) {
#if BV_SHA256_HAVE_SHANI
    if (impl == SHA256_IMPL_SHANI) {
        s_impl.store(impl, std::memory_order_relaxed);
        s_blocks.store(sha256_blocks_shani, std::memory_order_relaxed);
        return;
    }
#else
    (void)impl;
#endif
    s_impl.store(SHA256_IMPL_PORTABLE, std::memory_order_relaxed);
    s_blocks.store(sha256_blocks_portable, std::memory_order_relaxed);
}

void resolve_blocks(uint32_t state[8], uint8_t buf[64], const uint8_t *data, size_t nblocks) {
    install(detect_impl());
    s_blocks.load(std::memory_order_relaxed)(state, buf, data, nblocks);
}

inline void compress_blocks(uint32_t state[8], uint8_t buf[64], const uint8_t *data,
                            size_t nblocks) {
    s_blocks.load(std::memory_order_relaxed)(state, buf, data, nblocks);
}

// The module's private compression function: compresses one 64-byte block into ctx->state.
// Every caller passes ctx->buf.
void sha256_transform(sha256_ctx *ctx, const uint8_t block[64]) {
    compress_blocks(ctx->state, ctx->buf, block, 1);
}

}  // namespace

// ---- Implementation choice (crypto/sha256_internal.h) ----

int sha256_impl_available(sha256_impl impl) {
    switch (impl) {
    case SHA256_IMPL_AUTO:
    case SHA256_IMPL_PORTABLE:
        return 1;
    case SHA256_IMPL_SHANI:
#if BV_SHA256_HAVE_SHANI
        return sha256_cpu_has_shani();
#else
        return 0;
#endif
    }
    return 0;
}

int sha256_select_impl(sha256_impl impl) {
    if (impl == SHA256_IMPL_AUTO) {
        install(detect_impl());
        return 0;
    }
    if (impl != SHA256_IMPL_PORTABLE && impl != SHA256_IMPL_SHANI) return -1;
    if (!sha256_impl_available(impl)) return -1;
    install(impl);
    return 0;
}

sha256_impl sha256_active_impl(void) {
    if (s_impl.load(std::memory_order_relaxed) == SHA256_IMPL_AUTO) install(detect_impl());
    return (sha256_impl)s_impl.load(std::memory_order_relaxed);
}

const char *sha256_impl_name(sha256_impl impl) {
    switch (impl) {
    case SHA256_IMPL_AUTO:
        return "auto";
    case SHA256_IMPL_PORTABLE:
        return "portable";
    case SHA256_IMPL_SHANI:
        return "sha-ni";
    }
    return "unknown";
}

// ---- Streaming ----

void sha256_init(sha256_ctx *ctx) {
    // H(0), FIPS 180-4, section 5.3.3. buf is not cleared.
    ctx->state[0] = 0x6a09e667;
    ctx->state[1] = 0xbb67ae85;
    ctx->state[2] = 0x3c6ef372;
    ctx->state[3] = 0xa54ff53a;
    ctx->state[4] = 0x510e527f;
    ctx->state[5] = 0x9b05688c;
    ctx->state[6] = 0x1f83d9ab;
    ctx->state[7] = 0x5be0cd19;
    ctx->bitlen = 0;
    ctx->buflen = 0;
}

void sha256_update(sha256_ctx *ctx, const void *data, size_t len) {
    const uint8_t *p = (const uint8_t *)data;
    while (len > 0) {
        if (ctx->buflen == 0 && len >= 64) {
            // Whole blocks while buf is empty: the same steps as below taken once per block
            // (copy 64 bytes into buf, buflen 0 -> 64, bitlen += 512, compress buf, buflen = 0),
            // but with one call into the compression for the run of blocks, so that it keeps
            // its state in registers between them. Each block still passes through buf, and
            // buf, buflen and bitlen end exactly as the byte-wise steps leave them.
            const size_t nblocks = len / 64;
            compress_blocks(ctx->state, ctx->buf, p, nblocks);
            p += nblocks * 64;
            len -= nblocks * 64;
            ctx->bitlen += (uint64_t)nblocks * 512u;
            continue;
        }
        // 1. n = 64 - buflen, or what remains when that is less.
        size_t n = 64 - ctx->buflen;
        if (len < n) n = len;
        // 2. Into buf at buflen.
        memcpy(ctx->buf + ctx->buflen, p, n);
        // 3. The counts.
        ctx->buflen += n;
        p += n;
        len -= n;
        ctx->bitlen += 8u * (uint64_t)n;
        // 4. A full block is compressed.
        if (ctx->buflen == 64) {
            sha256_transform(ctx, ctx->buf);
            ctx->buflen = 0;
        }
    }
}

void sha256_final(sha256_ctx *ctx, uint8_t out[32]) {
    // 1. L before any padding byte moves bitlen.
    const uint64_t L = ctx->bitlen;
    // 2. 0x80.
    const uint8_t one = 0x80, zero = 0x00;
    sha256_update(ctx, &one, 1);
    // 3. Zeros up to 56 bytes in the block (through 64 and a compression when past 56).
    while (ctx->buflen != 56) sha256_update(ctx, &zero, 1);
    // 4. L, most significant byte first; the eighth byte completes and compresses the block.
    for (int i = 7; i >= 0; --i) {
        const uint8_t b = (uint8_t)(L >> (8 * i));
        sha256_update(ctx, &b, 1);
    }
    // 5. The digest: H0..H7, each most significant byte first.
    for (int i = 0; i < 8; ++i) bv_hash::store_be32(out + 4 * i, ctx->state[i]);
}

// ---- State as bytes ----

void sha256_export(const sha256_ctx *ctx, uint8_t out[SHA256_STATE_SIZE]) {
    for (int i = 0; i < 8; ++i) bv_hash::store_be32(out + 4 * i, ctx->state[i]);
    bv_hash::store_be64(out + 32, ctx->bitlen);
    memset(out + 40, 0, 64);
    memcpy(out + 40, ctx->buf, ctx->buflen);
}

int sha256_import(sha256_ctx *ctx, const uint8_t in[SHA256_STATE_SIZE]) {
    const uint64_t bitlen = bv_hash::load_be64(in + 32);
    if (bitlen % 8 != 0) return -1;
    // The waiting bytes follow from the count: whatever did not fill a block.
    const size_t buflen = (size_t)((bitlen / 8) % 64);
    for (size_t i = buflen; i < 64; ++i)
        if (in[40 + i] != 0) return -1;
    for (int i = 0; i < 8; ++i) ctx->state[i] = bv_hash::load_be32(in + 4 * i);
    ctx->bitlen = bitlen;
    memcpy(ctx->buf, in + 40, 64);
    ctx->buflen = buflen;
    return 0;
}

// ---- Whole files ----

int sha256_file(const char *path, uint8_t out[32]) {
    return bv_hash::hash_file(path, out, sha256_init, sha256_update, sha256_final);
}
