// Digest strings and upload identifiers: the form tests, hex rendering, identifiers from a
// scripted and from the system's random source, and identifiers made in several processes.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "blob_fixture.h"
#include "storage/storage_internal.h"
#include "support/test_support.h"

namespace {

using namespace reg_internal;

const std::string zeros64(64, '0');

TEST(StorageIds, DigestValid) {
    const struct {
        const char *label;
        std::string text;
        int valid;
    } cases[] = {
        {"64 zeros", "sha256:" + zeros64, 1},
        {"all digits", "sha256:0123456789abcdef" + std::string(48, 'f'), 1},
        {"empty", "", 0},
        {"prefix alone", "sha256:", 0},
        {"63 digits", "sha256:" + zeros64.substr(1), 0},
        {"65 digits", "sha256:" + zeros64 + "0", 0},
        {"upper-case digit", "sha256:" + zeros64.substr(1) + "A", 0},
        {"non-hex letter", "sha256:g" + zeros64.substr(1), 0},
        {"upper-case prefix", "SHA256:" + zeros64, 0},
        {"other algorithm", "sha512:" + zeros64, 0},
        {"line feed after", "sha256:" + zeros64 + "\n", 0},
        {"no prefix", "0000000" + zeros64, 0},
    };
    for (const auto &c : cases) EXPECT_EQ(digest_valid(c.text.c_str()), c.valid) << c.label;
    EXPECT_EQ(digest_valid(nullptr), 0);
}

TEST(StorageIds, UuidValid) {
    const std::string ok = "00000000-0000-0000-0000-000000000000";
    const struct {
        const char *label;
        std::string text;
        int valid;
    } cases[] = {
        {"zeros", ok, 1},
        {"example", "12105cf4-1d0d-a12b-5247-bc73a8ea5f1b", 1},
        {"35 characters", ok.substr(1), 0},
        {"37 characters", ok + "0", 0},
        {"upper-case digit", "0000000A-0000-0000-0000-000000000000", 0},
        {"first dash at 7", "0000000-00000-0000-0000-000000000000", 0},
        {"first dash at 9", "000000000-000-0000-0000-000000000000", 0},
        {"digit for a dash", "00000000-0000-0000-00000000000000000", 0},
        {"empty", "", 0},
    };
    for (const auto &c : cases) EXPECT_EQ(uuid_valid(c.text.c_str()), c.valid) << c.label;
    EXPECT_EQ(uuid_valid(nullptr), 0);
}

TEST(StorageIds, HexRendering) {
    const unsigned char bytes[] = {0x0f, 0xa1, 0x00, 0xff};
    char out[9];
    bin_to_hex(bytes, 4, out);
    EXPECT_STREQ(out, "0fa100ff");
    bin_to_hex(bytes, 0, out);
    EXPECT_STREQ(out, "");
}

// Each of the sixteen bytes of the source lands in the identifier, high digit first; a
// failing source gives no identifier at all.
TEST(StorageIds, UuidMakeRendersEveryByteOfTheSource) {
    {
        blobtest::RandomScript script([](unsigned char *buf, size_t len) {
            EXPECT_EQ(len, 16u);
            for (size_t i = 0; i < len; ++i) buf[i] = static_cast<unsigned char>(0x0f + 0x11 * i);
            return true;
        });
        char id[kUuidSize];
        ASSERT_EQ(uuid_make(id), 0);
        EXPECT_STREQ(id, "0f203142-5364-7586-97a8-b9cadbecfd0e");
    }
    {
        blobtest::RandomScript script([](unsigned char *, size_t) { return false; });
        char id[kUuidSize] = "left over";
        EXPECT_EQ(uuid_make(id), -1);
        EXPECT_STREQ(id, "");
    }
}

// From the system's source: well formed, never repeated, and every one of the 128 bits takes
// both values (a source narrower than the identifier leaves some bits fixed).
TEST(StorageIds, SystemSourceFillsAllBits) {
    std::set<std::string> seen;
    std::string ones(36, '0'), zeros(36, 'f');
    for (int i = 0; i < 10000; ++i) {
        char id[kUuidSize];
        ASSERT_EQ(uuid_make(id), 0);
        ASSERT_EQ(uuid_valid(id), 1) << id;
        seen.insert(id);
        for (int pos = 0; pos < 36; ++pos) {
            const auto digit = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
            const auto hexc = [](int v) { return "0123456789abcdef"[v]; };
            if (id[pos] == '-') continue;
            ones[pos] = hexc(digit(ones[pos]) | digit(id[pos]));
            zeros[pos] = hexc(digit(zeros[pos]) & digit(id[pos]));
        }
    }
    EXPECT_EQ(seen.size(), 10000u);
    for (int pos : {8, 13, 18, 23}) ones[pos] = zeros[pos] = '-';
    EXPECT_EQ(ones, "ffffffff-ffff-ffff-ffff-ffffffffffff") << "bits never set";
    EXPECT_EQ(zeros, "00000000-0000-0000-0000-000000000000") << "bits never clear";
}

TEST(StorageIds, DistinctAcrossProcesses) {
    bvtest::TempDir dir;
    constexpr int kProcs = 8, kEach = 1000;
    std::vector<bvtest::ProcessResult> results(kProcs);
    std::vector<std::thread> threads;
    for (int p = 0; p < kProcs; ++p)
        threads.emplace_back([&, p] {
            results[p] = bvtest::run_program(bvtest::probe_path("storage_core_probe"),
                                             {"uuids", dir.str(), std::to_string(kEach)});
        });
    for (auto &t : threads) t.join();

    std::set<std::string> seen;
    for (const auto &r : results) {
        ASSERT_EQ(r.exit_code, 0) << r.out;
        std::istringstream lines(r.out);
        int n = 0;
        for (std::string line; std::getline(lines, line); ++n) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            EXPECT_EQ(uuid_valid(line.c_str()), 1) << line;
            seen.insert(line);
        }
        EXPECT_EQ(n, kEach);
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kProcs * kEach));
}

}  // namespace
