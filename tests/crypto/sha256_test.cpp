// SHA-256: the FIPS 180-4 examples, known digests of generated data, lengths around
// the block boundaries, feeding in pieces, re-initialising, the context fields after
// sha256_final, and sha256_file on missing paths, directories and files around the 65,536-byte
// read size. Every test runs once per compression implementation (portable and SHA-NI); the
// SHA-NI run is skipped, and says so, where the CPU or the build lacks the SHA extensions.
//
// The independent reference: digests pasted below were computed with GNU coreutils `sha256sum`
// when the test was written (the generated data comes from `generated`, a fixed LCG); on Linux
// the test also runs `sha256sum` itself over files of random bytes.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "crypto/sha256.h"
#include "crypto/sha256_internal.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

using Digest = std::array<uint8_t, 32>;

std::string hex(const uint8_t *d, size_t n = 32) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}
std::string hex(const Digest &d) { return hex(d.data()); }

// n bytes from a fixed linear congruential generator; the digests below are of these bytes.
std::string generated(size_t n, uint32_t seed = 0x5eed1e55u) {
    std::string s(n, '\0');
    uint32_t x = seed;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        s[i] = (char)(x >> 24);
    }
    return s;
}

struct Known {
    size_t size;
    const char *digest;
};

// sha256sum of generated(size), computed when the test was written.
const Known kGenerated[] = {
    {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {1, "7ace431cb61584cb9b8dc7ec08cf38ac0a2d649660be86d349fb43108b542fa4"},
    {3, "e5dbd6c1b0b5365bf0fa42d71b191f40f0bcbf49f244fea4064fbc3d4a1618f3"},
    {55, "e264e59e643c6d311abc0dfe4ec56055b1f975e40b44d4db89187d7b8b0f3616"},
    {56, "d265034266dfbbdc09cec422301dc6932b5515d4f78c3ec0b7eef71665c2b60e"},
    {57, "4b013953d0e52a73d725fdcf9a43b509f9b74d8d9348f6bb59d5e9570d190389"},
    {63, "6cff975cdab59335e083d93e3dc01ea5ee8481ab97c9264e121de120f31cfb90"},
    {64, "84b34c29c78ffd1cd898be51ee2e3c64ac6577251c3107d4eeca5403b6fcb6b9"},
    {65, "97f8cd97fc9816c93dc071fea3250fb259dd4b0d68e8502180bdc66484a79ea2"},
    {119, "3756103ca90e42ddfb313694fd8db095c20de04cac8b27d9c24624ff9d170bae"},
    {120, "88ac31ae13a83efaf7bd3f6276be53f590129ff42deada6f628511747d5810bd"},
    {121, "ba5312582b309ee4605d3c1072e53bcf4efc376d5fb7df4eeea9cf9f21add3eb"},
    {127, "5dc10815646e83b395396f62098a2beeadfdbe8aa983e9e9eb56a7cde5b43c77"},
    {128, "df07cc9d226556979d40f739aaa458037172e3ffb3bc55fb89f54c2667330ac2"},
    {129, "f3a177ae95e522470ead64365f7190ea045feff86f414fa0090579004b957cc4"},
    {1000, "69b20cfca13bf3e07ed88ede31cfd35865416ad73d0fa19104b69c28a019a756"},
    {4095, "a0889fa0cc84e270abe21b19d65aa265864a2c13a441d502fdb3cc63b7255a98"},
    {65535, "597f01de59d3b31c610182232275de5a38f671cd8b18b6bd5e301162d626ec9a"},
    {65536, "bc0f2bbc59a648c4abc18ccb74a403bf1ca90082f647f805893cce05a282b60e"},
    {65537, "7fe52849f3bfc212cd23ce4b7cb19454d22e3de0417c46a71b9db1d3c5c11078"},
    {1000003, "dede2e066f33febd6a885d98475565f3bcd2e1520578cffdd77e6fe0c45cd37f"},
};

const char *known_digest(size_t size) {
    for (const auto &k : kGenerated)
        if (k.size == size) return k.digest;
    return nullptr;
}

Digest digest_of(const void *data, size_t len) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data, len);
    Digest d;
    sha256_final(&ctx, d.data());
    return d;
}
Digest digest_of(const std::string &s) { return digest_of(s.data(), s.size()); }

// The context's fields, compared one by one (a memcmp of the record would also compare its
// padding bytes).
::testing::AssertionResult same_ctx(const sha256_ctx &a, const sha256_ctx &b) {
    for (int i = 0; i < 8; ++i)
        if (a.state[i] != b.state[i])
            return ::testing::AssertionFailure() << "state[" << i << "] differs";
    if (a.bitlen != b.bitlen)
        return ::testing::AssertionFailure() << "bitlen " << a.bitlen << " vs " << b.bitlen;
    if (a.buflen != b.buflen)
        return ::testing::AssertionFailure() << "buflen " << a.buflen << " vs " << b.buflen;
    if (std::memcmp(a.buf, b.buf, sizeof a.buf) != 0)
        return ::testing::AssertionFailure() << "buf " << hex(a.buf, 64) << " vs " << hex(b.buf, 64);
    return ::testing::AssertionSuccess();
}

// The message after FIPS 180-4 padding: message, 0x80, zeros to 56 mod 64, the bit length.
std::string padded(const std::string &m) {
    std::string p = m;
    p += '\x80';
    while (p.size() % 64 != 56) p += '\0';
    const uint64_t bits = (uint64_t)m.size() * 8;
    for (int i = 7; i >= 0; --i) p += (char)(uint8_t)(bits >> (8 * i));
    return p;
}

// "<prefix><size>", built by appending (GCC 12 warns falsely on literal + std::string&&).
std::string named(const char *prefix, size_t size) {
    std::string name = prefix;
    name += std::to_string(size);
    return name;
}

bool shani_compiled() { return BV_SHA256_HAVE_SHANI != 0; }

const char *kShaNiSkip =
    "SHA-NI path not tested: this CPU does not report the SHA extensions (CPUID SHA, SSE4.1, "
    "SSSE3) or the build has no SHA-NI implementation; the portable path is tested alone";

class Sha256 : public ::testing::TestWithParam<sha256_impl> {
protected:
    void SetUp() override {
        if (!sha256_impl_available(GetParam())) GTEST_SKIP() << kShaNiSkip;
        ASSERT_EQ(sha256_select_impl(GetParam()), 0);
        ASSERT_EQ(sha256_active_impl(), GetParam());
    }
    void TearDown() override { sha256_select_impl(SHA256_IMPL_AUTO); }
};

// ---- FIPS 180-4 examples ----

TEST_P(Sha256, FipsExamples) {
    EXPECT_EQ(hex(digest_of("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex(digest_of("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex(digest_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(hex(digest_of("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
                            "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu")),
              "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    // One million 'a': in one call and in 1000 calls of 1000.
    const std::string a(1000000, 'a');
    EXPECT_EQ(hex(digest_of(a)), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    sha256_ctx ctx;
    sha256_init(&ctx);
    for (int i = 0; i < 1000; ++i) sha256_update(&ctx, a.data(), 1000);
    Digest d;
    sha256_final(&ctx, d.data());
    EXPECT_EQ(hex(d), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// ---- Known digests of generated data, block-boundary lengths among them ----

TEST_P(Sha256, GeneratedDataKnownDigests) {
    for (const auto &k : kGenerated)
        EXPECT_EQ(hex(digest_of(generated(k.size))), k.digest) << "size " << k.size;
}

TEST_P(Sha256, BlockBoundaryLengthsAndPaddingCompressions) {
    // 55: 0x80 and the length fit the same block, final feeds 9 bytes (one compression);
    // 56..63: the padding spills into a second block, final feeds 64 + 8 - (m mod 64) bytes.
    for (size_t m : {55, 56, 57, 63, 64, 65, 119, 120, 121, 127, 128, 129}) {
        const std::string msg = generated(m);
        sha256_ctx ctx;
        sha256_init(&ctx);
        sha256_update(&ctx, msg.data(), msg.size());
        Digest d;
        sha256_final(&ctx, d.data());
        EXPECT_EQ(hex(d), known_digest(m)) << "size " << m;
        const size_t fed = padded(msg).size() - m;  // padding and length bytes
        EXPECT_EQ(fed, m % 64 <= 55 ? 64 - m % 64 : 128 - m % 64) << "size " << m;
        EXPECT_EQ(ctx.bitlen, 8u * (uint64_t)(m + fed)) << "size " << m;
        if (m % 64 == 55) {
            EXPECT_EQ(fed, 9u);
        }
        if (m % 64 >= 56) {
            EXPECT_GT(fed, 64u);
        }
    }
}

// ---- The same bytes fed in different pieces ----

// Feeds `msg` in the given piece sizes (cycled; 0 = a zero-length call), checking after every
// call that the context equals one fed the same bytes one at a time, the plain byte-by-byte path.
void feed_in_pieces(const std::string &msg, const std::vector<size_t> &pieces, const char *label) {
    sha256_ctx ctx, ref;
    sha256_init(&ctx);
    sha256_init(&ref);
    std::memset(ctx.buf, 0, sizeof ctx.buf);
    std::memset(ref.buf, 0, sizeof ref.buf);
    size_t pos = 0, i = 0;
    while (pos < msg.size()) {
        const size_t n = std::min(pieces[i++ % pieces.size()], msg.size() - pos);
        sha256_update(&ctx, msg.data() + pos, n);
        for (size_t j = 0; j < n; ++j) sha256_update(&ref, msg.data() + pos + j, 1);
        pos += n;
        ASSERT_TRUE(same_ctx(ctx, ref)) << label << ", size " << msg.size() << ", after " << pos;
    }
    Digest d;
    sha256_final(&ctx, d.data());
    const char *known = known_digest(msg.size());
    ASSERT_NE(known, nullptr);
    EXPECT_EQ(hex(d), known) << label << ", size " << msg.size();
}

TEST_P(Sha256, PiecesStraddlingBlocksWithZeroLengthCalls) {
    const std::vector<std::pair<const char *, std::vector<size_t>>> patterns = {
        {"one call", {SIZE_MAX}},
        {"byte by byte", {1}},
        {"straddling", {0, 1, 62, 0, 3, 64, 0, 65, 127, 0, 7, 129, 191, 0, 1000, 4097}},
        {"block-sized after an offset", {5, 64, 64, 128, 0, 59, 640}},
        {"large", {65536, 0, 1, 65535, 100000}},
    };
    for (const auto &[label, pieces] : patterns)
        for (const auto &k : kGenerated) feed_in_pieces(generated(k.size), pieces, label);
}

TEST_P(Sha256, ZeroLengthUpdateChangesNothing) {
    const std::string msg = generated(100);
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, msg.data(), 70);
    sha256_ctx before = ctx;
    sha256_update(&ctx, msg.data() + 70, 0);
    EXPECT_TRUE(same_ctx(ctx, before));
    sha256_update(&ctx, nullptr, 0);
    EXPECT_TRUE(same_ctx(ctx, before));
}

// ---- Re-initialising and the finished context ----

TEST_P(Sha256, ReinitialisingAFinishedContext) {
    const std::string first = generated(1000), second = generated(129);
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, first.data(), first.size());
    Digest d1, d2;
    sha256_final(&ctx, d1.data());
    EXPECT_EQ(hex(d1), known_digest(1000));

    // sha256_init resets state, bitlen and buflen, and leaves buf as it was.
    uint8_t buf_before[64];
    std::memcpy(buf_before, ctx.buf, 64);
    sha256_init(&ctx);
    EXPECT_EQ(ctx.bitlen, 0u);
    EXPECT_EQ(ctx.buflen, 0u);
    EXPECT_EQ(ctx.state[0], 0x6a09e667u);
    EXPECT_EQ(ctx.state[7], 0x5be0cd19u);
    EXPECT_EQ(std::memcmp(ctx.buf, buf_before, 64), 0);

    sha256_update(&ctx, second.data(), second.size());
    sha256_final(&ctx, d2.data());
    EXPECT_EQ(hex(d2), known_digest(129));
    EXPECT_EQ(d2, digest_of(second));
}

TEST_P(Sha256, ContextFieldsAfterFinal) {
    for (size_t m = 0; m <= 200; ++m) {
        const std::string msg = generated(m);
        const std::string pad = padded(msg);
        sha256_ctx ctx;
        sha256_init(&ctx);
        sha256_update(&ctx, msg.data(), msg.size());
        Digest d;
        sha256_final(&ctx, d.data());
        // buflen 0; bitlen is L plus 8 per padding and length byte fed.
        EXPECT_EQ(ctx.buflen, 0u) << m;
        EXPECT_EQ(ctx.bitlen, 8u * (uint64_t)pad.size()) << m;
        // state holds the final hash values: the digest, word by word, big-endian.
        for (int i = 0; i < 8; ++i) {
            const uint32_t w = (uint32_t)d[4 * i] << 24 | (uint32_t)d[4 * i + 1] << 16 |
                               (uint32_t)d[4 * i + 2] << 8 | d[4 * i + 3];
            EXPECT_EQ(ctx.state[i], w) << m << " word " << i;
        }
        // buf holds the last block compressed: the end of the padded message, length last.
        EXPECT_EQ(hex(ctx.buf, 64), hex((const uint8_t *)pad.data() + pad.size() - 64, 64)) << m;
        // Not wiped nor reset: a second final continues from there. With buflen 0 and bitlen
        // 8 x |padded| it finishes exactly as the digest of the padded message itself would.
        Digest again;
        sha256_final(&ctx, again.data());
        EXPECT_EQ(again, digest_of(pad)) << m;
        EXPECT_NE(again, d) << m;
    }
}

// ---- sha256_file ----

TEST_P(Sha256, FileMissingPathLeavesOutputUntouched) {
    bvtest::TempDir dir;
    Digest out;
    out.fill(0xA5);
    EXPECT_EQ(sha256_file((dir.path() / "absent").string().c_str(), out.data()), -1);
    EXPECT_EQ(sha256_file((dir.path() / "no" / "such" / "file").string().c_str(), out.data()), -1);
    for (uint8_t b : out) EXPECT_EQ(b, 0xA5);
}

TEST_P(Sha256, FileDirectoryFailsAndLeavesOutputUntouched) {
    bvtest::TempDir dir;
    fs::create_directory(dir.path() / "sub");
    Digest out;
    out.fill(0x5A);
    EXPECT_EQ(sha256_file(dir.str().c_str(), out.data()), -1);
    EXPECT_EQ(sha256_file((dir.path() / "sub").string().c_str(), out.data()), -1);
    for (uint8_t b : out) EXPECT_EQ(b, 0x5A);
}

TEST_P(Sha256, FileEmptyAndAroundTheReadSize) {
    bvtest::TempDir dir;
    for (size_t size : {0, 1, 4095, 65535, 65536, 65537, 1000003}) {
        const std::string content = generated(size);
        const fs::path path = dir.path() / named("f", size);
        bvtest::write_all(path, content);
        ASSERT_EQ(fs::file_size(path), size);
        Digest out;
        out.fill(0);
        ASSERT_EQ(sha256_file(path.string().c_str(), out.data()), 0) << size;
        EXPECT_EQ(hex(out), known_digest(size)) << size;
        EXPECT_EQ(out, digest_of(content)) << size;
    }
}

// On Linux, sha256sum itself over files of random bytes made now.
TEST_P(Sha256, FileAgreesWithSha256sum) {
#if defined(__linux__)
    if (std::system("command -v sha256sum >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "sha256sum is not installed";
    bvtest::TempDir dir;
    std::mt19937_64 rng(std::random_device{}());
    for (size_t size : {0, 55, 56, 64, 119, 120, 65535, 65536, 65537, 131072 + 63, 3000001}) {
        std::string content(size, '\0');
        for (auto &c : content) c = (char)rng();
        const fs::path path = dir.path() / named("r", size);
        bvtest::write_all(path, content);
        std::string command = "sha256sum '";
        command += path.string();
        command += "'";
        FILE *p = popen(command.c_str(), "r");
        ASSERT_NE(p, nullptr);
        char line[256] = {0};
        const bool got = std::fgets(line, sizeof line, p) != nullptr;
        pclose(p);
        ASSERT_TRUE(got);
        Digest out;
        ASSERT_EQ(sha256_file(path.string().c_str(), out.data()), 0);
        EXPECT_EQ(hex(out), std::string(line, 64)) << size;
        EXPECT_EQ(digest_of(content), out) << size;
    }
#else
    GTEST_SKIP() << "sha256sum cross-check runs on Linux only";
#endif
}

INSTANTIATE_TEST_SUITE_P(Impl, Sha256,
                         ::testing::Values(SHA256_IMPL_PORTABLE, SHA256_IMPL_SHANI),
                         [](const ::testing::TestParamInfo<sha256_impl> &info) {
                             return std::string(info.param == SHA256_IMPL_SHANI ? "ShaNi"
                                                                                : "Portable");
                         });

// ---- The dispatch ----

TEST(Sha256Dispatch, ChoosesFromTheCpuAndCanBeForced) {
    const bool shani = sha256_impl_available(SHA256_IMPL_SHANI) != 0;
    std::printf("[   INFO   ] SHA-NI implementation %s; automatic choice: %s\n",
                !shani_compiled() ? "not compiled into this build"
                : shani           ? "compiled in, and this CPU offers the SHA extensions"
                                  : "compiled in, but this CPU lacks the SHA extensions",
                sha256_impl_name(sha256_active_impl()));
    if (!shani) std::printf("[   INFO   ] %s\n", kShaNiSkip);

    EXPECT_EQ(sha256_impl_available(SHA256_IMPL_PORTABLE), 1);
    EXPECT_EQ(sha256_impl_available(SHA256_IMPL_AUTO), 1);
    ASSERT_EQ(sha256_select_impl(SHA256_IMPL_AUTO), 0);
    EXPECT_EQ(sha256_active_impl(), shani ? SHA256_IMPL_SHANI : SHA256_IMPL_PORTABLE);

    ASSERT_EQ(sha256_select_impl(SHA256_IMPL_PORTABLE), 0);
    EXPECT_EQ(sha256_active_impl(), SHA256_IMPL_PORTABLE);
    // An implementation that is not available is refused, and the choice stays.
    EXPECT_EQ(sha256_select_impl(SHA256_IMPL_SHANI), shani ? 0 : -1);
    EXPECT_EQ(sha256_active_impl(), shani ? SHA256_IMPL_SHANI : SHA256_IMPL_PORTABLE);
    EXPECT_EQ(sha256_select_impl((sha256_impl)7), -1);
    ASSERT_EQ(sha256_select_impl(SHA256_IMPL_AUTO), 0);

    EXPECT_STREQ(sha256_impl_name(SHA256_IMPL_PORTABLE), "portable");
    EXPECT_STREQ(sha256_impl_name(SHA256_IMPL_SHANI), "sha-ni");

#if defined(__linux__) && (defined(__x86_64__) || defined(__i386__))
    // CPUID as the kernel reports it: the "sha_ni" flag.
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    bool flag = false;
    while (std::getline(cpuinfo, line))
        if (line.rfind("flags", 0) == 0) {
            flag = (line + " ").find(" sha_ni ") != std::string::npos;
            break;
        }
    EXPECT_EQ(shani, flag && shani_compiled());
#endif
}

TEST(Sha256Dispatch, BothImplementationsAgreeOnRandomInput) {
    if (!sha256_impl_available(SHA256_IMPL_SHANI)) GTEST_SKIP() << kShaNiSkip;
    std::mt19937_64 rng(12345);
    for (int i = 0; i < 300; ++i) {
        const size_t size = (size_t)(rng() % 3000);
        std::string msg(size, '\0');
        for (auto &c : msg) c = (char)rng();
        sha256_select_impl(SHA256_IMPL_PORTABLE);
        const Digest a = digest_of(msg);
        sha256_select_impl(SHA256_IMPL_SHANI);
        const Digest b = digest_of(msg);
        ASSERT_EQ(hex(a), hex(b)) << size;
    }
    sha256_select_impl(SHA256_IMPL_AUTO);
}

// The context carries no trace of the implementation: switching between blocks of one message
// gives the same digest.
TEST(Sha256Dispatch, SwitchingImplementationsMidMessage) {
    if (!sha256_impl_available(SHA256_IMPL_SHANI)) GTEST_SKIP() << kShaNiSkip;
    const std::string msg = generated(65537);
    sha256_ctx ctx;
    sha256_init(&ctx);
    size_t pos = 0;
    for (int i = 0; pos < msg.size(); ++i) {
        sha256_select_impl(i % 2 ? SHA256_IMPL_SHANI : SHA256_IMPL_PORTABLE);
        const size_t n = std::min<size_t>(1000 + 37 * i, msg.size() - pos);
        sha256_update(&ctx, msg.data() + pos, n);
        pos += n;
    }
    Digest d;
    sha256_final(&ctx, d.data());
    EXPECT_EQ(hex(d), known_digest(65537));
    sha256_select_impl(SHA256_IMPL_AUTO);
}

// A context exported part-way and imported into a fresh one (another process, as far as the
// state goes) ends with the digest of the whole message, wherever the cut falls.
TEST_P(Sha256, ExportedStateResumesAnywhere) {
    const std::string m = generated(3000);
    const Digest whole = digest_of(m);
    for (size_t cut : {size_t(0), size_t(1), size_t(55), size_t(56), size_t(63), size_t(64),
                       size_t(65), size_t(128), size_t(1000), size_t(3000)}) {
        SCOPED_TRACE(cut);
        sha256_ctx first;
        sha256_init(&first);
        sha256_update(&first, m.data(), cut);
        uint8_t bytes[SHA256_STATE_SIZE];
        sha256_export(&first, bytes);
        sha256_ctx second;
        std::memset(&second, 0xAB, sizeof second);  // nothing of the old context may leak in
        ASSERT_EQ(sha256_import(&second, bytes), 0);
        EXPECT_EQ(second.buflen, cut % 64);
        sha256_update(&second, m.data() + cut, m.size() - cut);
        Digest d;
        sha256_final(&second, d.data());
        EXPECT_EQ(hex(d), hex(whole));
    }
}

TEST_P(Sha256, ExportLayoutAndRefusedImports) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, "abc", 3);
    uint8_t bytes[SHA256_STATE_SIZE];
    sha256_export(&ctx, bytes);
    // The words and the count most significant byte first, then the waiting bytes.
    EXPECT_EQ(hex(bytes, 4), "6a09e667");
    EXPECT_EQ(hex(bytes + 32, 8), "0000000000000018");
    EXPECT_EQ(std::memcmp(bytes + 40, "abc", 3), 0);
    EXPECT_EQ(hex(bytes + 43, 4), "00000000");

    const struct Case {
        const char *label;
        size_t at;
        uint8_t value;
    } refused[] = {
        {"count of no whole bytes", 39, 0x1c},
        {"a byte past the waiting ones", 43, 1},
        {"the last byte", SHA256_STATE_SIZE - 1, 1},
    };
    for (const Case &c : refused) {
        SCOPED_TRACE(c.label);
        uint8_t bad[SHA256_STATE_SIZE];
        std::memcpy(bad, bytes, sizeof bad);
        bad[c.at] = c.value;
        sha256_ctx target;
        sha256_init(&target);
        EXPECT_EQ(sha256_import(&target, bad), -1);
        EXPECT_EQ(target.bitlen, 0u);  // untouched
        EXPECT_EQ(target.state[0], 0x6a09e667u);
    }
}

}  // namespace
