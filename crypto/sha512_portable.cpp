// SHA-512 compression, portable: the hash computation of FIPS 180-4, section 6.4.2, in plain
// C++ for any target.
//
// As in the SHA-256 one (sha256_portable.cpp), each schedule word Wt is formed just before round
// t, in a ring of sixteen words, rather than all 64 extended words ahead of the rounds: the
// values are the same, and the schedule's dependency chain runs alongside the rounds instead of
// in front of them. The 80 rounds are unrolled in full (BV_SHA512_8_ROUNDS, sha512_internal.h),
// so every ring index is a constant.
#include "crypto/hash_internal.h"
#include "crypto/sha512_internal.h"

namespace {

using bv_sha512::K;
using bv_sha512::small_sigma0;
using bv_sha512::small_sigma1;

// Kt + Wt with Wt in the ring w[t mod 16]: the block's own word for t < 16; from t = 16 on,
// Wt = σ1(Wt−2) + Wt−7 + σ0(Wt−15) + Wt−16 overwrites Wt−16 in its slot.
#define BV_SHA512_KW_BLOCK(t) (K[t] + w[t])
#define BV_SHA512_KW_NEXT(t)                                                            \
    (K[t] + (w[(t) & 15] += small_sigma1(w[((t) + 14) & 15]) + w[((t) + 9) & 15] +      \
                            small_sigma0(w[((t) + 1) & 15])))

void compress(uint64_t state[8], const uint8_t block[128]) {
    // 1. W0..W15: the block's words, most significant byte first.
    uint64_t w[16];
    for (int t = 0; t < 16; ++t) w[t] = bv_hash::load_be64(block + 8 * t);

    // 2. The working variables.
    uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
    uint64_t x, y = b ^ c;

    // 3. The 80 rounds; W16..W79 formed along the way.
    BV_SHA512_8_ROUNDS(0, BV_SHA512_KW_BLOCK);
    BV_SHA512_8_ROUNDS(8, BV_SHA512_KW_BLOCK);
    BV_SHA512_8_ROUNDS(16, BV_SHA512_KW_NEXT);
    BV_SHA512_8_ROUNDS(24, BV_SHA512_KW_NEXT);
    BV_SHA512_8_ROUNDS(32, BV_SHA512_KW_NEXT);
    BV_SHA512_8_ROUNDS(40, BV_SHA512_KW_NEXT);
    BV_SHA512_8_ROUNDS(48, BV_SHA512_KW_NEXT);
    BV_SHA512_8_ROUNDS(56, BV_SHA512_KW_NEXT);
    BV_SHA512_8_ROUNDS(64, BV_SHA512_KW_NEXT);
    BV_SHA512_8_ROUNDS(72, BV_SHA512_KW_NEXT);

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

#undef BV_SHA512_KW_NEXT
#undef BV_SHA512_KW_BLOCK

}  // namespace

void sha512_blocks_portable(uint64_t state[8], const uint8_t *data, size_t nblocks) {
    for (; nblocks > 0; --nblocks, data += 128) compress(state, data);
}
