/* SHA-512 module internals: the round constants and functions, the two compression
 * implementations and the dispatch between them. Not part of the public interface
 * (crypto/sha512.h); included by the module's own sources, its tests and its benchmark. */
#ifndef BV_SHA512_INTERNAL_H
#define BV_SHA512_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

/* The AVX2 implementation is compiled where the target is x86-64 and the compiler can enable
 * AVX2 and BMI2 for one function (GCC, Clang, MinGW-w64) or offers their intrinsics
 * unconditionally (MSVC). Elsewhere only the portable one exists. Defining
 * BV_SHA512_HAVE_AVX2=0 on the command line leaves it out anywhere. */
#ifndef BV_SHA512_HAVE_AVX2
#if (defined(__x86_64__) || defined(_M_X64)) && \
    (defined(__clang__) || (defined(__GNUC__) && __GNUC__ >= 5) || defined(_MSC_VER))
#define BV_SHA512_HAVE_AVX2 1
#else
#define BV_SHA512_HAVE_AVX2 0
#endif
#endif

/* The compression implementations. */
typedef enum sha512_impl {
    SHA512_IMPL_AUTO = 0,     /* what the CPU offers: AVX2 (with BMI2) when present, else portable */
    SHA512_IMPL_PORTABLE = 1, /* FIPS 180-4, section 6.4.2, in plain C++ */
    SHA512_IMPL_AVX2 = 2      /* the same rounds, the message schedule on AVX2, two blocks at once */
} sha512_impl;

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when the implementation is compiled in and the CPU can run it (AUTO and PORTABLE: always). */
int sha512_impl_available(sha512_impl impl);
/* Makes every later compression of the process use `impl` (AUTO: decide from the CPU again).
 * 0 on success; -1 when it is not available, leaving the choice as it was. For tests and
 * benchmarks: without a call the choice is made once, at the first compression, from CPUID. */
int sha512_select_impl(sha512_impl impl);
/* The implementation in use (PORTABLE or AVX2), deciding it first if nothing has yet. */
sha512_impl sha512_active_impl(void);
/* "auto", "portable" or "avx2". */
const char *sha512_impl_name(sha512_impl impl);

#ifdef __cplusplus
}

/* The compression signature both implementations share: compresses `nblocks` consecutive
 * 128-byte blocks starting at `data` into `state`. */
using sha512_blocks_fn = void (*)(uint64_t state[8], const uint8_t *data, size_t nblocks);

void sha512_blocks_portable(uint64_t state[8], const uint8_t *data, size_t nblocks);
#if BV_SHA512_HAVE_AVX2
void sha512_blocks_avx2(uint64_t state[8], const uint8_t *data, size_t nblocks);
/* 1 when the CPU reports AVX2 and BMI2 and the operating system saves the AVX registers. */
int sha512_cpu_has_avx2(void);
#endif

namespace bv_sha512 {

/* K: the 80 round constants of FIPS 180-4, section 4.2.3, in the standard's order. One
 * read-only definition shared by both implementations. */
alignas(64) inline constexpr uint64_t K[80] = {
    0x428a2f98d728ae22ULL, 0x7137449123ef65cdULL, 0xb5c0fbcfec4d3b2fULL, 0xe9b5dba58189dbbcULL,
    0x3956c25bf348b538ULL, 0x59f111f1b605d019ULL, 0x923f82a4af194f9bULL, 0xab1c5ed5da6d8118ULL,
    0xd807aa98a3030242ULL, 0x12835b0145706fbeULL, 0x243185be4ee4b28cULL, 0x550c7dc3d5ffb4e2ULL,
    0x72be5d74f27b896fULL, 0x80deb1fe3b1696b1ULL, 0x9bdc06a725c71235ULL, 0xc19bf174cf692694ULL,
    0xe49b69c19ef14ad2ULL, 0xefbe4786384f25e3ULL, 0x0fc19dc68b8cd5b5ULL, 0x240ca1cc77ac9c65ULL,
    0x2de92c6f592b0275ULL, 0x4a7484aa6ea6e483ULL, 0x5cb0a9dcbd41fbd4ULL, 0x76f988da831153b5ULL,
    0x983e5152ee66dfabULL, 0xa831c66d2db43210ULL, 0xb00327c898fb213fULL, 0xbf597fc7beef0ee4ULL,
    0xc6e00bf33da88fc2ULL, 0xd5a79147930aa725ULL, 0x06ca6351e003826fULL, 0x142929670a0e6e70ULL,
    0x27b70a8546d22ffcULL, 0x2e1b21385c26c926ULL, 0x4d2c6dfc5ac42aedULL, 0x53380d139d95b3dfULL,
    0x650a73548baf63deULL, 0x766a0abb3c77b2a8ULL, 0x81c2c92e47edaee6ULL, 0x92722c851482353bULL,
    0xa2bfe8a14cf10364ULL, 0xa81a664bbc423001ULL, 0xc24b8b70d0f89791ULL, 0xc76c51a30654be30ULL,
    0xd192e819d6ef5218ULL, 0xd69906245565a910ULL, 0xf40e35855771202aULL, 0x106aa07032bbd1b8ULL,
    0x19a4c116b8d2d0c8ULL, 0x1e376c085141ab53ULL, 0x2748774cdf8eeb99ULL, 0x34b0bcb5e19b48a8ULL,
    0x391c0cb3c5c95a63ULL, 0x4ed8aa4ae3418acbULL, 0x5b9cca4f7763e373ULL, 0x682e6ff3d6b2b8a3ULL,
    0x748f82ee5defb2fcULL, 0x78a5636f43172f60ULL, 0x84c87814a1f0ab72ULL, 0x8cc702081a6439ecULL,
    0x90befffa23631e28ULL, 0xa4506cebde82bde9ULL, 0xbef9a3f7b2c67915ULL, 0xc67178f2e372532bULL,
    0xca273eceea26619cULL, 0xd186b8c721c0c207ULL, 0xeada7dd6cde0eb1eULL, 0xf57d4f7fee6ed178ULL,
    0x06f067aa72176fbaULL, 0x0a637dc5a2c898a6ULL, 0x113f9804bef90daeULL, 0x1b710b35131c471bULL,
    0x28db77f523047d84ULL, 0x32caab7b40c72493ULL, 0x3c9ebe0a15c9bebcULL, 0x431d67c49c100d4cULL,
    0x4cc5d4becb3e42b6ULL, 0x597f299cfc657e2aULL, 0x5fcb6fab3ad6faecULL, 0x6c44198c4a475817ULL,
};

inline uint64_t rotr(uint64_t x, unsigned n) { return (x >> n) | (x << (64u - n)); }

/* The functions of FIPS 180-4, section 4.1.3 (Ch in its equivalent three-operation form). */
inline uint64_t ch(uint64_t x, uint64_t y, uint64_t z) { return z ^ (x & (y ^ z)); }
inline uint64_t big_sigma0(uint64_t x) { return rotr(x, 28) ^ rotr(x, 34) ^ rotr(x, 39); }
inline uint64_t big_sigma1(uint64_t x) { return rotr(x, 14) ^ rotr(x, 18) ^ rotr(x, 41); }
inline uint64_t small_sigma0(uint64_t x) { return rotr(x, 1) ^ rotr(x, 8) ^ (x >> 7); }
inline uint64_t small_sigma1(uint64_t x) { return rotr(x, 19) ^ rotr(x, 61) ^ (x >> 6); }

}  // namespace bv_sha512

/* Round t with kw = Kt + Wt: T1 = h + Σ1(e) + Ch(e,f,g) + Kt + Wt, T2 = Σ0(a) + Maj(a,b,c);
 * d += T1 and h = T1 + T2 (the caller's argument order does the renaming of the working
 * variables instead of moving them). Maj reuses the a ^ b of the round before: Maj(a,b,c) =
 * b ^ ((a ^ b) & (b ^ c)), and this round's b ^ c is the previous round's a ^ b; `ab`
 * receives a ^ b for the next round, `bc` holds b ^ c. Both implementations run these rounds. */
#define BV_SHA512_ROUND(a, b, c, d, e, f, g, h, kw, ab, bc)                             \
    do {                                                                                \
        uint64_t t1_ = h + (kw);                                                        \
        t1_ += bv_sha512::ch(e, f, g);                                                  \
        t1_ += bv_sha512::big_sigma1(e);                                                \
        ab = a ^ b;                                                                     \
        const uint64_t t2_ = bv_sha512::big_sigma0(a) + (b ^ (ab & bc));                \
        d += t1_;                                                                       \
        h = t1_ + t2_;                                                                  \
    } while (0)

/* Eight rounds t0 .. t0+7, KW(t) yielding Kt + Wt; a full turn of the renaming. The working
 * variables are a..h, with x and y for the a ^ b carried between rounds. */
#define BV_SHA512_8_ROUNDS(t0, KW)                                               \
    BV_SHA512_ROUND(a, b, c, d, e, f, g, h, KW((t0) + 0), x, y);                 \
    BV_SHA512_ROUND(h, a, b, c, d, e, f, g, KW((t0) + 1), y, x);                 \
    BV_SHA512_ROUND(g, h, a, b, c, d, e, f, KW((t0) + 2), x, y);                 \
    BV_SHA512_ROUND(f, g, h, a, b, c, d, e, KW((t0) + 3), y, x);                 \
    BV_SHA512_ROUND(e, f, g, h, a, b, c, d, KW((t0) + 4), x, y);                 \
    BV_SHA512_ROUND(d, e, f, g, h, a, b, c, KW((t0) + 5), y, x);                 \
    BV_SHA512_ROUND(c, d, e, f, g, h, a, b, KW((t0) + 6), x, y);                 \
    BV_SHA512_ROUND(b, c, d, e, f, g, h, a, KW((t0) + 7), y, x)

#endif

#endif
