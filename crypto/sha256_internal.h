/* SHA-256 module internals: the round constants, the two compression implementations and
 * the dispatch between them. Not part of the public interface (crypto/sha256.h); included by
 * the module's own sources, its tests and its benchmark. */
#ifndef BV_SHA256_INTERNAL_H
#define BV_SHA256_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

/* The SHA-extension implementation is compiled where the target is x86 and the compiler can
 * enable the SHA, SSE4.1 and SSSE3 instructions for one function (GCC, Clang, MinGW-w64) or
 * offers their intrinsics unconditionally (MSVC). Elsewhere only the portable one exists.
 * Defining BV_SHA256_HAVE_SHANI=0 on the command line leaves it out anywhere. */
#ifndef BV_SHA256_HAVE_SHANI
#if (defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)) && \
    (defined(__clang__) || (defined(__GNUC__) && __GNUC__ >= 5) || defined(_MSC_VER))
#define BV_SHA256_HAVE_SHANI 1
#else
#define BV_SHA256_HAVE_SHANI 0
#endif
#endif

/* The compression implementations. */
typedef enum sha256_impl {
    SHA256_IMPL_AUTO = 0,     /* what the CPU offers: SHA extensions when present, else portable */
    SHA256_IMPL_PORTABLE = 1, /* FIPS 180-4, section 6.2.2, in plain C++ */
    SHA256_IMPL_SHANI = 2     /* x86 SHA extensions (SHA-NI) */
} sha256_impl;

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when the implementation is compiled in and the CPU can run it (AUTO and PORTABLE: always). */
int sha256_impl_available(sha256_impl impl);
/* Makes every later compression of the process use `impl` (AUTO: decide from the CPU again).
 * 0 on success; -1 when it is not available, leaving the choice as it was. For tests and
 * benchmarks: without a call the choice is made once, at the first compression, from CPUID. */
int sha256_select_impl(sha256_impl impl);
/* The implementation in use (PORTABLE or SHANI), deciding it first if nothing has yet. */
sha256_impl sha256_active_impl(void);
/* "auto", "portable" or "sha-ni". */
const char *sha256_impl_name(sha256_impl impl);

#ifdef __cplusplus
}

/* The compression signature both implementations share. For each of `nblocks` consecutive
 * 64-byte blocks starting at `data`: copy the block into `buf` (skipped when `data` is `buf`)
 * and compress `buf` into `state`. `buf` is left holding the last block. */
using sha256_blocks_fn = void (*)(uint32_t state[8], uint8_t buf[64], const uint8_t *data,
                                  size_t nblocks);

void sha256_blocks_portable(uint32_t state[8], uint8_t buf[64], const uint8_t *data,
                            size_t nblocks);
#if BV_SHA256_HAVE_SHANI
void sha256_blocks_shani(uint32_t state[8], uint8_t buf[64], const uint8_t *data, size_t nblocks);
/* 1 when CPUID reports SHA, SSE4.1 and SSSE3. */
int sha256_cpu_has_shani(void);
#endif

/* K: the 64 round constants of FIPS 180-4, section 4.2.2, in the standard's order. One
 * read-only definition shared by both implementations. */
namespace bv_sha256 {
alignas(64) inline constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};
}  // namespace bv_sha256
#endif

#endif
