// SHA-256 compression, portable: the hash computation of FIPS 180-4, section 6.2.2, in plain
// C++ for any target.
//
// The message schedule is the standard's W0..W63 (Wt = σ1(Wt−2) + Wt−7 + σ0(Wt−15) + Wt−16 for
// t >= 16), but each Wt is formed just before round t, in a ring of sixteen words, rather than
// all 48 extended words ahead of the rounds: the values and the result are the same, and the
// schedule's dependency chain then runs alongside the rounds instead of in front of them (about
// a third faster). The rounds are unrolled sixteen at a time with the working variables renamed
// instead of moved, and Maj reuses the a ^ b of the round before (Maj(a,b,c) = b ^ ((a ^ b) &
// (b ^ c)), and this round's b ^ c is the previous round's a ^ b).
#include <string.h>

#include "crypto/hash_internal.h"
#include "crypto/sha256_internal.h"

namespace {

inline uint32_t rotr(uint32_t x, unsigned n) { return (x >> n) | (x << (32u - n)); }

// The functions of FIPS 180-4, section 4.1.2 (Ch in its equivalent three-operation form).
inline uint32_t ch(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t big_sigma0(uint32_t x) { return rotr(x, 2) ^ rotr(x, 13) ^ rotr(x, 22); }
inline uint32_t big_sigma1(uint32_t x) { return rotr(x, 6) ^ rotr(x, 11) ^ rotr(x, 25); }
inline uint32_t small_sigma0(uint32_t x) { return rotr(x, 7) ^ rotr(x, 18) ^ (x >> 3); }
inline uint32_t small_sigma1(uint32_t x) { return rotr(x, 17) ^ rotr(x, 19) ^ (x >> 10); }

// Round t with the schedule word wt: T1 = h + Σ1(e) + Ch(e,f,g) + Kt + Wt, T2 = Σ0(a) +
// Maj(a,b,c); d += T1 and h = T1 + T2 (the caller's argument order does the renaming).
// `ab` receives a ^ b for the next round; `bc` holds b ^ c from the round before.
#define BV_SHA256_ROUND(a, b, c, d, e, f, g, h, t, wt, ab, bc) \
    do {                                                        \
        uint32_t t1 = h + (bv_sha256::K[t] + (wt));             \
        t1 += ch(e, f, g);                                      \
        t1 += big_sigma1(e);                                    \
        ab = a ^ b;                                             \
        const uint32_t t2 = big_sigma0(a) + (b ^ (ab & bc));    \
        d += t1;                                                \
        h = t1 + t2;                                            \
    } while (0)

// Wt in the ring w[t mod 16], which holds Wt−16 until it is overwritten.
#define BV_SHA256_W_RING(i) (w[i])
#define BV_SHA256_W_NEXT(i)                                                           \
    (w[i] += small_sigma1(w[((i) + 14) & 15]) + w[((i) + 9) & 15] +                   \
             small_sigma0(w[((i) + 1) & 15]))

// Sixteen rounds t0 .. t0+15; W(i) yields the word of round t0 + i.
#define BV_SHA256_16_ROUNDS(t0, W)                                        \
    BV_SHA256_ROUND(a, b, c, d, e, f, g, h, (t0) + 0, W(0), x, y);        \
    BV_SHA256_ROUND(h, a, b, c, d, e, f, g, (t0) + 1, W(1), y, x);        \
    BV_SHA256_ROUND(g, h, a, b, c, d, e, f, (t0) + 2, W(2), x, y);        \
    BV_SHA256_ROUND(f, g, h, a, b, c, d, e, (t0) + 3, W(3), y, x);        \
    BV_SHA256_ROUND(e, f, g, h, a, b, c, d, (t0) + 4, W(4), x, y);        \
    BV_SHA256_ROUND(d, e, f, g, h, a, b, c, (t0) + 5, W(5), y, x);        \
    BV_SHA256_ROUND(c, d, e, f, g, h, a, b, (t0) + 6, W(6), x, y);        \
    BV_SHA256_ROUND(b, c, d, e, f, g, h, a, (t0) + 7, W(7), y, x);        \
    BV_SHA256_ROUND(a, b, c, d, e, f, g, h, (t0) + 8, W(8), x, y);        \
    BV_SHA256_ROUND(h, a, b, c, d, e, f, g, (t0) + 9, W(9), y, x);        \
    BV_SHA256_ROUND(g, h, a, b, c, d, e, f, (t0) + 10, W(10), x, y);      \
    BV_SHA256_ROUND(f, g, h, a, b, c, d, e, (t0) + 11, W(11), y, x);      \
    BV_SHA256_ROUND(e, f, g, h, a, b, c, d, (t0) + 12, W(12), x, y);      \
    BV_SHA256_ROUND(d, e, f, g, h, a, b, c, (t0) + 13, W(13), y, x);      \
    BV_SHA256_ROUND(c, d, e, f, g, h, a, b, (t0) + 14, W(14), x, y);      \
    BV_SHA256_ROUND(b, c, d, e, f, g, h, a, (t0) + 15, W(15), y, x)

void compress(uint32_t state[8], const uint8_t block[64]) {
    // 1. The schedule: W0..W15 are the block's words, most significant byte first.
    uint32_t w[16];
    for (int t = 0; t < 16; ++t) w[t] = bv_hash::load_be32(block + 4 * t);

    // 2. The working variables.
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    uint32_t x, y = b ^ c;

    // 3. The 64 rounds; W16..W63 formed along the way.
    BV_SHA256_16_ROUNDS(0, BV_SHA256_W_RING);
    BV_SHA256_16_ROUNDS(16, BV_SHA256_W_NEXT);
    BV_SHA256_16_ROUNDS(32, BV_SHA256_W_NEXT);
    BV_SHA256_16_ROUNDS(48, BV_SHA256_W_NEXT);

    // 4. The intermediate hash value.
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

#undef BV_SHA256_16_ROUNDS
#undef BV_SHA256_W_NEXT
#undef BV_SHA256_W_RING
#undef BV_SHA256_ROUND

}  // namespace

void sha256_blocks_portable(uint32_t state[8], uint8_t buf[64], const uint8_t *data,
                            size_t nblocks) {
    for (; nblocks > 0; --nblocks, data += 64) {
        if (data != buf) memcpy(buf, data, 64);
        compress(state, buf);
    }
}
