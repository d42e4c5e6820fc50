// SHA-512 compression with the message schedule on AVX2, through compiler intrinsics: the
// rounds stay scalar (64-bit rotates, BMI2's RORX where the compiler takes it), and the
// schedule's σ0/σ1 work moves to the vector units, where it runs beside the rounds instead of
// taking integer issue slots from them. Only the functions here that execute AVX2 are compiled
// for AVX2 and BMI2 (a per-function target attribute); the dispatch (sha512.cpp) calls in only
// after the CPU and the operating system have reported both usable.
//
// Two blocks at once: each 256-bit register holds a pair of schedule words, Wt and Wt+1, of
// block A in its low 128-bit lane and of block B in its high lane, so one pass of vector work
// extends both schedules. A's rounds run interleaved with the schedule steps; B's rounds then
// read their Kt + Wt from the table the steps filled. An odd last block is loaded as both A and B
// and B's rounds are skipped.
#include "crypto/sha512_internal.h"

#if BV_SHA512_HAVE_AVX2

#include <immintrin.h>
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#define BV_AVX2_TARGET
#else
#define BV_AVX2_TARGET __attribute__((target("avx2,bmi,bmi2")))
#endif

int sha512_cpu_has_avx2(void) {
#if defined(_MSC_VER) && !defined(__clang__)
    int r[4];
    __cpuid(r, 0);
    if (r[0] < 7) return 0;
    __cpuid(r, 1);
    const bool osxsave = (r[2] >> 27) & 1;  // CPUID.1:ECX.OSXSAVE[bit 27]
    const bool avx = (r[2] >> 28) & 1;      // CPUID.1:ECX.AVX[bit 28]
    if (!osxsave || !avx) return 0;
    if ((_xgetbv(0) & 6) != 6) return 0;    // the OS saves the XMM and YMM state
    __cpuidex(r, 7, 0);
    const bool avx2 = (r[1] >> 5) & 1;      // CPUID.(7,0):EBX.AVX2[bit 5]
    const bool bmi1 = (r[1] >> 3) & 1;      // CPUID.(7,0):EBX.BMI1[bit 3]
    const bool bmi2 = (r[1] >> 8) & 1;      // CPUID.(7,0):EBX.BMI2[bit 8]
    return avx2 && bmi1 && bmi2;
#else
    // The compiler's own CPUID reading, which also checks (XGETBV) that the operating system
    // saves the YMM registers.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
           __builtin_cpu_supports("bmi2");
#endif
}

namespace {

// Rotates and shifts of the four 64-bit words: σ0(x) = ROTR1 ^ ROTR8 ^ SHR7 and σ1(x) = ROTR19 ^
// ROTR61 ^ SHR6, each rotate written as its two disjoint shifted halves.
BV_AVX2_TARGET inline __m256i sigma0x4(__m256i v) {
    const __m256i r = _mm256_xor_si256(_mm256_srli_epi64(v, 1), _mm256_slli_epi64(v, 63));
    const __m256i s = _mm256_xor_si256(_mm256_srli_epi64(v, 8), _mm256_slli_epi64(v, 56));
    return _mm256_xor_si256(_mm256_xor_si256(r, s), _mm256_srli_epi64(v, 7));
}
BV_AVX2_TARGET inline __m256i sigma1x4(__m256i v) {
    const __m256i r = _mm256_xor_si256(_mm256_srli_epi64(v, 19), _mm256_slli_epi64(v, 45));
    const __m256i s = _mm256_xor_si256(_mm256_srli_epi64(v, 61), _mm256_slli_epi64(v, 3));
    return _mm256_xor_si256(_mm256_xor_si256(r, s), _mm256_srli_epi64(v, 6));
}

}  // namespace

// The table of Kt + Wt for both blocks: pair p (words 2p and 2p+1) at kw[4p .. 4p+3], A's two
// words, then B's. Rounds read it through `row`, pointing at the entry of their first round
// (kw + 2t for round t, t a multiple of 8), so that every offset is a constant.
#define BV_ROW_A(i) row[4 * ((i) >> 1) + ((i) & 1)]
#define BV_ROW_B(i) row[4 * ((i) >> 1) + 2 + ((i) & 1)]
#define BV_8_ROUNDS_FROM(t, ROW)             \
    do {                                     \
        const uint64_t *row = kw + 2 * (t);  \
        BV_SHA512_8_ROUNDS(0, ROW);          \
    } while (0)
#define BV_KW_STORE(p, v)                                                                     \
    _mm256_storeu_si256((__m256i *)&kw[4 * (p)],                                              \
                        _mm256_add_epi64(v, _mm256_broadcastsi128_si256(_mm_loadu_si128(      \
                                                (const __m128i *)&bv_sha512::K[2 * (p)]))))

// The schedule step for pair p + 8 (words t = 2p + 16 and t + 1), overwriting pair p in `w0`:
// Wt = σ1(Wt−2) + Wt−7 + σ0(Wt−15) + Wt−16, where w0 holds (Wt−16, Wt−15), w1 (Wt−14, Wt−13),
// w4 (Wt−8, Wt−7), w5 (Wt−6, Wt−5) and w7 (Wt−2, Wt−1). Wt+1 needs σ1(Wt−1), also in w7, so the
// two words of a pair never wait on each other.
#define BV_SCHEDULE(p, w0, w1, w4, w5, w7)                                       \
    do {                                                                         \
        const __m256i w15_ = _mm256_alignr_epi8(w1, w0, 8); /* (Wt−15, Wt−14) */ \
        const __m256i w7_ = _mm256_alignr_epi8(w5, w4, 8);  /* (Wt−7, Wt−6) */   \
        w0 = _mm256_add_epi64(_mm256_add_epi64(w0, sigma0x4(w15_)),              \
                              _mm256_add_epi64(w7_, sigma1x4(w7)));              \
        BV_KW_STORE((p) + 8, w0);                                                \
    } while (0)

BV_AVX2_TARGET
void sha512_blocks_avx2(uint64_t state[8], const uint8_t *data, size_t nblocks) {
    // Byte order: the block's words are big-endian; this reverses each 8-byte word.
    const __m256i bswap = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,
                                           7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    alignas(32) uint64_t kw[4 * 40];

    uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
    uint64_t x, y;

    while (nblocks > 0) {
        const uint8_t *block_a = data;
        const uint8_t *block_b = nblocks >= 2 ? data + 128 : data;

        // W0..W15 of both blocks, and their Kt + Wt.
        __m256i w[8];
        for (size_t p = 0; p < 8; ++p) {
            const __m128i lo = _mm_loadu_si128((const __m128i *)(block_a + 16 * p));
            const __m128i hi = _mm_loadu_si128((const __m128i *)(block_b + 16 * p));
            w[p] = _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1),
                                       bswap);
            BV_KW_STORE(p, w[p]);
        }
        __m256i w0 = w[0], w1 = w[1], w2 = w[2], w3 = w[3], w4 = w[4], w5 = w[5], w6 = w[6],
                w7 = w[7];

        // Block A, rounds 0..63, each sixteen extending the schedule by sixteen words (pairs
        // p + 8 .. p + 15): the words rounds 16..79 will read.
        uint64_t a0 = a, b0 = b, c0 = c, d0 = d, e0 = e, f0 = f, g0 = g, h0 = h;
        y = b ^ c;
        for (size_t t = 0; t < 64; t += 16) {
            const size_t p = t / 2;
            BV_8_ROUNDS_FROM(t, BV_ROW_A);
            BV_SCHEDULE(p + 0, w0, w1, w4, w5, w7);
            BV_SCHEDULE(p + 1, w1, w2, w5, w6, w0);
            BV_SCHEDULE(p + 2, w2, w3, w6, w7, w1);
            BV_SCHEDULE(p + 3, w3, w4, w7, w0, w2);
            BV_8_ROUNDS_FROM(t + 8, BV_ROW_A);
            BV_SCHEDULE(p + 4, w4, w5, w0, w1, w3);
            BV_SCHEDULE(p + 5, w5, w6, w1, w2, w4);
            BV_SCHEDULE(p + 6, w6, w7, w2, w3, w5);
            BV_SCHEDULE(p + 7, w7, w0, w3, w4, w6);
        }
        BV_8_ROUNDS_FROM(64, BV_ROW_A);
        BV_8_ROUNDS_FROM(72, BV_ROW_A);
        a += a0;
        b += b0;
        c += c0;
        d += d0;
        e += e0;
        f += f0;
        g += g0;
        h += h0;
        if (nblocks == 1) break;

        // Block B, all 80 rounds from the table.
        a0 = a, b0 = b, c0 = c, d0 = d, e0 = e, f0 = f, g0 = g, h0 = h;
        y = b ^ c;
        for (size_t t = 0; t < 80; t += 16) {
            BV_8_ROUNDS_FROM(t, BV_ROW_B);
            BV_8_ROUNDS_FROM(t + 8, BV_ROW_B);
        }
        a += a0;
        b += b0;
        c += c0;
        d += d0;
        e += e0;
        f += f0;
        g += g0;
        h += h0;
        data += 256;
        nblocks -= 2;
    }

    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
    state[4] = e;
    state[5] = f;
    state[6] = g;
    state[7] = h;
}

#undef BV_SCHEDULE
#undef BV_KW_STORE
#undef BV_8_ROUNDS_FROM
#undef BV_ROW_B
#undef BV_ROW_A

#endif  // BV_SHA512_HAVE_AVX2
