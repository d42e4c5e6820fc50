// SHA-256 compression on the x86 SHA extensions (SHA-NI), through compiler intrinsics. Only the
// functions here that execute SHA instructions are compiled for SHA, SSE4.1 and SSSE3 (a
// per-function target attribute); the rest of the build keeps the baseline instruction set,
// and the dispatch (sha256.cpp) calls in only after CPUID has reported all three.
//
// The hash computation is that of FIPS 180-4, section 6.2.2: SHA256RNDS2 runs two rounds on the
// working variables kept as the pairs ABEF and CDGH, SHA256MSG1 and SHA256MSG2 extend the message
// schedule four words at a time, and the round constants come from the module's table K.
#include <string.h>

#include "crypto/sha256_internal.h"

#if BV_SHA256_HAVE_SHANI

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#include <immintrin.h>
#define BV_SHANI_TARGET
#else
#include <cpuid.h>
#include <immintrin.h>
#define BV_SHANI_TARGET __attribute__((target("sha,sse4.1,ssse3")))
#endif

int sha256_cpu_has_shani(void) {
    unsigned ecx1 = 0, ebx7 = 0;
#if defined(_MSC_VER) && !defined(__clang__)
    int r[4];
    __cpuid(r, 0);
    if (r[0] < 7) return 0;
    __cpuid(r, 1);
    ecx1 = (unsigned)r[2];
    __cpuidex(r, 7, 0);
    ebx7 = (unsigned)r[1];
#else
    unsigned eax, ebx, ecx, edx;
    if (__get_cpuid_max(0, nullptr) < 7) return 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return 0;
    ecx1 = ecx;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    ebx7 = ebx;
#endif
    const bool ssse3 = (ecx1 >> 9) & 1;   // CPUID.1:ECX.SSSE3[bit 9]
    const bool sse41 = (ecx1 >> 19) & 1;  // CPUID.1:ECX.SSE4_1[bit 19]
    const bool sha = (ebx7 >> 29) & 1;    // CPUID.(7,0):EBX.SHA[bit 29]
    return ssse3 && sse41 && sha;
}

// Four rounds, 4g to 4g+3, with the schedule words of group g in m_cur. Along the way the
// schedule for later groups is extended: for 3 <= g <= 14, group g+1 in m_next is finished
// (its W(t-7) term from m_cur:m_prev, then SHA256MSG2); for 1 <= g <= 12, group g+3 in m_prev
// gets its SHA256MSG1 half (the W(t-16) + σ0(W(t-15)) terms).
#define BV_SHANI_GROUP(g, m_prev, m_cur, m_next)                                              \
    do {                                                                                      \
        __m128i wk = _mm_add_epi32(m_cur, _mm_load_si128((const __m128i *)&bv_sha256::K[4 * (g)])); \
        cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);                                         \
        if ((g) >= 3 && (g) <= 14) {                                                          \
            m_next = _mm_add_epi32(m_next, _mm_alignr_epi8(m_cur, m_prev, 4));                \
            m_next = _mm_sha256msg2_epu32(m_next, m_cur);                                     \
        }                                                                                     \
        wk = _mm_shuffle_epi32(wk, 0x0E);                                                     \
        abef = _mm_sha256rnds2_epu32(abef, cdgh, wk);                                         \
        if ((g) >= 1 && (g) <= 12) m_prev = _mm_sha256msg1_epu32(m_prev, m_cur);            \
    } while (0)

BV_SHANI_TARGET
void sha256_blocks_shani(uint32_t state[8], uint8_t buf[64], const uint8_t *data, size_t nblocks) {
    // Byte order: the block's words are big-endian.
    const __m128i bswap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);

    // state is H0..H7 = A..H; the instructions want ABEF and CDGH (highest lane first).
    __m128i dcba = _mm_loadu_si128((const __m128i *)&state[0]);
    __m128i hgfe = _mm_loadu_si128((const __m128i *)&state[4]);
    __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; nblocks > 0; --nblocks, data += 64) {
        if (data != buf) memcpy(buf, data, 64);
        const __m128i abef_in = abef;
        const __m128i cdgh_in = cdgh;

        __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)(buf + 0)), bswap);
        __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)(buf + 16)), bswap);
        __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)(buf + 32)), bswap);
        __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)(buf + 48)), bswap);

        BV_SHANI_GROUP(0, m3, m0, m1);
        BV_SHANI_GROUP(1, m0, m1, m2);
        BV_SHANI_GROUP(2, m1, m2, m3);
        BV_SHANI_GROUP(3, m2, m3, m0);
        BV_SHANI_GROUP(4, m3, m0, m1);
        BV_SHANI_GROUP(5, m0, m1, m2);
        BV_SHANI_GROUP(6, m1, m2, m3);
        BV_SHANI_GROUP(7, m2, m3, m0);
        BV_SHANI_GROUP(8, m3, m0, m1);
        BV_SHANI_GROUP(9, m0, m1, m2);
        BV_SHANI_GROUP(10, m1, m2, m3);
        BV_SHANI_GROUP(11, m2, m3, m0);
        BV_SHANI_GROUP(12, m3, m0, m1);
        BV_SHANI_GROUP(13, m0, m1, m2);
        BV_SHANI_GROUP(14, m1, m2, m3);
        BV_SHANI_GROUP(15, m2, m3, m0);

        abef = _mm_add_epi32(abef, abef_in);
        cdgh = _mm_add_epi32(cdgh, cdgh_in);
    }

    // Back from ABEF and CDGH to A..H.
    __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    dcba = _mm_blend_epi16(feba, dchg, 0xF0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128((__m128i *)&state[0], dcba);
    _mm_storeu_si128((__m128i *)&state[4], hgfe);
}

#undef BV_SHANI_GROUP

#endif  // BV_SHA256_HAVE_SHANI
