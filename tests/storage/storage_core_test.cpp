// Storage engine initialisation and clean-up: root checks and trimming, the tree and the
// storage's config.json, failures part-way, and the last-error slot.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/bv_platform.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace reg_internal;

const std::string S = bv_platform::path_sep_str;
const char kConfig[] =
    "{\n  \"schemaVersion\": 2,\n  \"title\": \"brindova-registry-storage\",\n"
    "  \"version\": \"1.0.0\",\n  \"maxUploadSize\": -1\n}\n";

// A path of exactly `len` characters below `base`, in components short enough for any
// file system.
std::string path_of_length(const std::string &base, size_t len) {
    std::string p = base;
    while (p.size() < len) {
        if (len - p.size() >= 2)
            p += S + std::string(std::min<size_t>(100, len - p.size() - 1), 'd');
        else
            p += 'd';
    }
    return p;
}

TEST(StorageInit, BuildsTheTreeAndConfig) {
    bvtest::TempDir dir;
    const std::string root = dir.str() + S + "reg";
    ASSERT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
    EXPECT_STREQ(reg_storage_last_error(), "");
    EXPECT_EQ(require_ready(), 0);
    EXPECT_EQ(std::string(s_root), root);
    for (const char *sub : {"blobs/sha256", "uploads", "repositories"})
        EXPECT_TRUE(fs::is_directory(fs::path(root) / sub)) << sub;
    EXPECT_EQ(sizeof kConfig - 1, 110u);
    EXPECT_EQ(bvtest::read_all(fs::path(root) / "config.json"), kConfig);

    // Again at the same root: config.json stays as it is, even when changed meanwhile.
    bvtest::write_all(fs::path(root) / "config.json", "{\"mine\": 1}");
    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    EXPECT_EQ(bvtest::read_all(fs::path(root) / "config.json"), "{\"mine\": 1}");
}

TEST(StorageInit, RootTrimming) {
    bvtest::TempDir dir;
    const char other = bv_platform::path_sep == '/' ? '\\' : '/';
    struct Case {
        std::string given, stored;
    } cases[] = {
        {dir.str() + S + "a" + S, dir.str() + S + "a"},
        {dir.str() + S + "b" + S + S, dir.str() + S + "b" + S},
        {dir.str() + S + "c" + other, dir.str() + S + "c" + other},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(reg_storage_init(c.given.c_str()), 0) << c.given << ": " << s_error;
        EXPECT_EQ(std::string(s_root), c.stored);
    }
}

// Off Windows "c:" is an ordinary directory name, which the chain has to create like any other.
TEST(StorageInit, RelativeRootBeginningLikeADrive) {
    if (bv_platform::path_sep == '\\') GTEST_SKIP() << "a drive here";
    bvtest::TempDir dir;
    for (const char *root : {"c:/reg", "d:reg/x"}) {
        const auto r = bvtest::run_program(bvtest::probe_path("storage_core_probe"),
                                           {"uuids", root, "1"}, {}, {}, dir.path());
        EXPECT_EQ(r.exit_code, 0) << root << ": " << r.out;
        EXPECT_TRUE(fs::is_directory(dir.path() / root / "blobs" / "sha256")) << root;
    }
}

TEST(StorageInit, Failures) {
    bvtest::TempDir dir;
    const std::string good = dir.str() + S + "good";
    const std::string file = dir.str() + S + "plain";
    bvtest::write_all(file, "x");
    const std::string cfgdir = dir.str() + S + "cfgdir";
    fs::create_directories(fs::path(cfgdir) / "config.json");

    struct Case {
        const char *label;
        const char *root;
        std::string message;
        bool stays_ready;  // an earlier initialisation survives
    };
    const std::string long3500 = path_of_length(file, 3500);
    // 3499 characters pass the length test; below a regular file the directories then fail.
    const std::string long3499 = path_of_length(file, 3499);
    const Case cases[] = {
        {"null", nullptr, "storage root dir is empty", true},
        {"empty", "", "storage root dir is empty", true},
        {"3500 characters", long3500.c_str(), "storage root dir too long (max 3499 chars)", false},
        {"3499 characters", long3499.c_str(), "cannot create the storage root", false},
        {"root is a file", file.c_str(), "cannot create the storage tree", false},
        {"config.json is a directory", cfgdir.c_str(), "write config.json failed", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(reg_storage_init(good.c_str()), 0);
        EXPECT_EQ(reg_storage_init(c.root), -1);
        EXPECT_EQ(std::string(reg_storage_last_error()), c.message.substr(0, 1023));
        EXPECT_EQ(s_ready, c.stays_ready ? 1 : 0);
        if (c.stays_ready) {
            EXPECT_EQ(std::string(s_root), good);
        }
    }
    // A failure after the copy leaves the new root in place, the engine not initialised.
    EXPECT_EQ(std::string(s_root), cfgdir);
}

TEST(StorageInit, CleanupAndErrorSlot) {
    bvtest::TempDir dir;
    ASSERT_EQ(reg_storage_init(dir.str().c_str()), 0);
    const char *slot = reg_storage_last_error();
    reg_storage_cleanup();
    EXPECT_EQ(s_root[0], '\0');
    EXPECT_STREQ(slot, "");  // clean-up says nothing
    EXPECT_EQ(require_ready(), -1);
    EXPECT_STREQ(slot, "not initialized - call reg_storage_init first");
    EXPECT_EQ(reg_storage_last_error(), slot);  // one slot for the whole process

    // Messages are cut at 1023 characters and stay until the next failure or initialisation.
    set_error(REG_ERR_IO, "%s/%d", std::string(2000, 'm').c_str(), 7);
    EXPECT_EQ(std::strlen(slot), 1023u);
    char path[kPathSize];
    path_join(path, sizeof path, "a", "b");
    EXPECT_EQ(mkdirs((dir.str() + S + "x").c_str()), 0);
    EXPECT_EQ(std::strlen(slot), 1023u);
    ASSERT_EQ(reg_storage_init(dir.str().c_str()), 0);
    EXPECT_STREQ(slot, "");
}

}  // namespace
