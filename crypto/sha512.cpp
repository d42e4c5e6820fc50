// SHA-512 (FIPS 180-4): the streaming functions, the padding, the state as bytes, whole files,
// and the dispatch of the compression to one of its two implementations (sha512_portable.cpp,
// sha512_avx2.cpp).
//
// Dispatch, as for SHA-256 (sha256.cpp): `s_blocks` starts out pointing at `resolve_blocks`,
// which on the first compression of the process asks CPUID once, stores the chosen
// implementation and calls it; every later compression goes straight to it. No start-up work,
// so a program that never hashes with SHA-512 never pays for the detection.
#include "crypto/sha512.h"

#include <atomic>
#include <string.h>

#include "crypto/hash_internal.h"
#include "crypto/sha512_internal.h"

namespace {

void resolve_blocks(uint64_t state[8], const uint8_t *data, size_t nblocks);

// The compression in use; relaxed ordering suffices, every value stored is a valid choice.
constinit std::atomic<sha512_blocks_fn> s_blocks{resolve_blocks};
constinit std::atomic<int> s_impl{SHA512_IMPL_AUTO};  // PORTABLE or AVX2 once decided

sha512_impl detect_impl() {
#if BV_SHA512_HAVE_AVX2
    if (sha512_cpu_has_avx2()) return SHA512_IMPL_AVX2;
#endif
    return SHA512_IMPL_PORTABLE;
}

void install(sha512_impl impl) {
#if BV_SHA512_HAVE_AVX2
    if (impl == SHA512_IMPL_AVX2) {
        s_impl.store(impl, std::memory_order_relaxed);
        s_blocks.store(sha512_blocks_avx2, std::memory_order_relaxed);
        return;
    }
#else
    (void)impl;
#endif
    s_impl.store(SHA512_IMPL_PORTABLE, std::memory_order_relaxed);
    s_blocks.store(sha512_blocks_portable, std::memory_order_relaxed);
}

void resolve_blocks(uint64_t state[8], const uint8_t *data, size_t nblocks) {
    install(detect_impl());
    s_blocks.load(std::memory_order_relaxed)(state, data, nblocks);
}

inline void compress_blocks(uint64_t state[8], const uint8_t *data, size_t nblocks) {
    s_blocks.load(std::memory_order_relaxed)(state, data, nblocks);
}


}  // namespace

// ---- Implementation choice (crypto/sha512_internal.h) ----

int sha512_impl_available(sha512_impl impl) {
    switch (impl) {
    case SHA512_IMPL_AUTO:
    case SHA512_IMPL_PORTABLE:
        return 1;
    case SHA512_IMPL_AVX2:
#if BV_SHA512_HAVE_AVX2
        return sha512_cpu_has_avx2();
#else
        return 0;
#endif
    }
    return 0;
}

int sha512_select_impl(sha512_impl impl) {
    if (impl == SHA512_IMPL_AUTO) {
        install(detect_impl());
        return 0;
    }
    if (impl != SHA512_IMPL_PORTABLE && impl != SHA512_IMPL_AVX2) return -1;
    if (!sha512_impl_available(impl)) return -1;
    install(impl);
    return 0;
}

sha512_impl sha512_active_impl(void) {
    if (s_impl.load(std::memory_order_relaxed) == SHA512_IMPL_AUTO) install(detect_impl());
    return (sha512_impl)s_impl.load(std::memory_order_relaxed);
}

const char *sha512_impl_name(sha512_impl impl) {
    switch (impl) {
    case SHA512_IMPL_AUTO:
        return "auto";
    case SHA512_IMPL_PORTABLE:
        return "portable";
    case SHA512_IMPL_AVX2:
        return "avx2";
    }
    return "unknown";
}

// ---- Streaming ----

void sha512_init(sha512_ctx *ctx) {
    // H(0), FIPS 180-4, section 5.3.5.
    ctx->state[0] = 0x6a09e667f3bcc908ULL;
    ctx->state[1] = 0xbb67ae8584caa73bULL;
    ctx->state[2] = 0x3c6ef372fe94f82bULL;
    ctx->state[3] = 0xa54ff53a5f1d36f1ULL;
    ctx->state[4] = 0x510e527fade682d1ULL;
    ctx->state[5] = 0x9b05688c2b3e6c1fULL;
    ctx->state[6] = 0x1f83d9abfb41bd6bULL;
    ctx->state[7] = 0x5be0cd19137e2179ULL;
    ctx->bitlen = 0;
    ctx->buflen = 0;
}

void sha512_update(sha512_ctx *ctx, const void *data, size_t len) {
    const uint8_t *p = (const uint8_t *)data;
    if (len == 0) return;
    ctx->bitlen += 8u * (uint64_t)len;
    // 1. Bytes waiting from an earlier call: top their block up, compress it once full.
    if (ctx->buflen > 0) {
        size_t n = 128 - ctx->buflen;
        if (len < n) n = len;
        memcpy(ctx->buf + ctx->buflen, p, n);
        ctx->buflen += n;
        p += n;
        len -= n;
        if (ctx->buflen < 128) return;  // all of the input is waiting
        compress_blocks(ctx->state, ctx->buf, 1);
        ctx->buflen = 0;
    }
    // 2. Whole blocks straight from the caller's bytes, in one call, so that the compression
    // keeps its state in registers between them.
    if (len >= 128) {
        const size_t nblocks = len / 128;
        compress_blocks(ctx->state, p, nblocks);
        p += nblocks * 128;
        len -= nblocks * 128;
    }
    // 3. The rest waits for the next call or for the padding.
    memcpy(ctx->buf, p, len);
    ctx->buflen = len;
}

void sha512_final(sha512_ctx *ctx, uint8_t out[64]) {
    // The padding, FIPS 180-4, section 5.1.2: 0x80, zeros up to 112 bytes in the block (through
    // a second block when fewer than 17 bytes are left), then the 128-bit length in bits, most
    // significant byte first; its upper 64 bits are zero here.
    size_t n = ctx->buflen;
    ctx->buf[n++] = 0x80;
    if (n > 112) {
        memset(ctx->buf + n, 0, 128 - n);
        compress_blocks(ctx->state, ctx->buf, 1);
        n = 0;
    }
    memset(ctx->buf + n, 0, 120 - n);
    bv_hash::store_be64(ctx->buf + 120, ctx->bitlen);
    compress_blocks(ctx->state, ctx->buf, 1);
    ctx->buflen = 0;
    // The digest: H0..H7, each most significant byte first.
    for (int i = 0; i < 8; ++i) bv_hash::store_be64(out + 8 * i, ctx->state[i]);
}

// ---- State as bytes ----

void sha512_export(const sha512_ctx *ctx, uint8_t out[SHA512_STATE_SIZE]) {
    for (int i = 0; i < 8; ++i) bv_hash::store_be64(out + 8 * i, ctx->state[i]);
    bv_hash::store_be64(out + 64, ctx->bitlen);
    memset(out + 72, 0, 128);
    memcpy(out + 72, ctx->buf, ctx->buflen);
}

int sha512_import(sha512_ctx *ctx, const uint8_t in[SHA512_STATE_SIZE]) {
    const uint64_t bitlen = bv_hash::load_be64(in + 64);
    if (bitlen % 8 != 0) return -1;
    // The waiting bytes follow from the count: whatever did not fill a block.
    const size_t buflen = (size_t)((bitlen / 8) % 128);
    for (size_t i = buflen; i < 128; ++i)
        if (in[72 + i] != 0) return -1;
    for (int i = 0; i < 8; ++i) ctx->state[i] = bv_hash::load_be64(in + 8 * i);
    ctx->bitlen = bitlen;
    memcpy(ctx->buf, in + 72, 128);
    ctx->buflen = buflen;
    return 0;
}

// ---- Whole files ----

int sha512_file(const char *path, uint8_t out[64]) {
    return bv_hash::hash_file(path, out, sha512_init, sha512_update, sha512_final);
}
