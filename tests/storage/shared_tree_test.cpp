// Storage on a tree that several hosts share: the no-replace move by hard link that stands in
// where the file system refuses RENAME_NOREPLACE, alone, racing itself, and under the engine's
// upload finishes and garbage collection.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/bv_platform_fs.h"
#include "tests/storage/blob_fixture.h"

namespace {

namespace fs = std::filesystem;
using blobtest::BlobTest;

std::string slurp(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void put(const fs::path &p, const std::string &text) {
    std::ofstream(p, std::ios::binary) << text;
}

// Forces the engine onto the hard-link move for one test.
struct RefusedRename {
    RefusedRename() { bv_platform::refuse_noreplace_rename = true; }
    ~RefusedRename() { bv_platform::refuse_noreplace_rename = false; }
};

using Move = int (*)(const char *, const char *);

struct MoveCase {
    const char *name;
    bool source;
    bool target;
    int expect_errno;  // 0: the move succeeds
};

TEST(SharedTreeMove, KeepsTargetsBothWays) {
    const MoveCase cases[] = {
        {"free target", true, false, 0},
        {"taken target", true, true, EEXIST},
        {"missing source", false, false, ENOENT},
    };
    struct Way {
        const char *name;
        Move move;
        bool refused;
    };
    const Way ways[] = {
        {"by link", bv_platform::move_no_replace_by_link, false},
        {"refused rename", bv_platform::move_no_replace, true},
        {"native", bv_platform::move_no_replace, false},
    };
    for (const Way &way : ways) {
        for (const MoveCase &c : cases) {
            SCOPED_TRACE(std::string(way.name) + ": " + c.name);
            bvtest::TempDir dir;
            const fs::path from = dir.path() / "from";
            const fs::path to = dir.path() / "to";
            if (c.source) put(from, "new");
            if (c.target) put(to, "old");
            bv_platform::refuse_noreplace_rename = way.refused;
            errno = 0;
            const int rc = way.move(from.string().c_str(), to.string().c_str());
            const int err = errno;
            bv_platform::refuse_noreplace_rename = false;
            if (c.expect_errno == 0) {
                EXPECT_EQ(rc, 0);
                EXPECT_FALSE(fs::exists(from));
                EXPECT_EQ(slurp(to), "new");
                continue;
            }
            EXPECT_EQ(rc, -1);
            // Windows reports its own codes; elsewhere the caller may tell the cases apart.
            if (!bv_platform::readers_block_replace) {
                EXPECT_EQ(err, c.expect_errno);
            }
            EXPECT_EQ(fs::exists(from), c.source);
            EXPECT_EQ(c.source ? slurp(from) : "", c.source ? "new" : "");
            EXPECT_EQ(fs::exists(to), c.target);
            EXPECT_EQ(c.target ? slurp(to) : "", c.target ? "old" : "");
        }
    }
}

// Two movers of one file to different names: exactly one has moved it, and the loser's name
// is gone again, so no file ever ends up under two names.
TEST(SharedTreeMove, RacingMoversOfOneFileHaveOneWinner) {
    bvtest::TempDir dir;
    const fs::path from = dir.path() / "from";
    const std::string to[2] = {(dir.path() / "a").string(), (dir.path() / "b").string()};
    for (int round = 0; round < 300; ++round) {
        put(from, "x");
        std::atomic<int> ready{0};
        int rc[2] = {-1, -1};
        std::vector<std::thread> movers;
        for (int i = 0; i < 2; ++i) {
            movers.emplace_back([&, i] {
                ready.fetch_add(1);
                while (ready.load() < 2) {
                }
                rc[i] = bv_platform::move_no_replace_by_link(from.string().c_str(),
                                                             to[i].c_str());
            });
        }
        for (auto &t : movers) t.join();
        ASSERT_EQ((rc[0] == 0) + (rc[1] == 0), 1) << "round " << round;
        ASSERT_FALSE(fs::exists(from));
        ASSERT_EQ(fs::exists(to[0]), rc[0] == 0);
        ASSERT_EQ(fs::exists(to[1]), rc[1] == 0);
        fs::remove(to[0]);
        fs::remove(to[1]);
    }
}

// The finish claims the upload and moves it into the store with the fallback; a second
// finish of the same content keeps the stored blob and drops its own copy.
TEST_F(BlobTest, FinishStoresBlobsWhereRenameKeepingTargetsIsRefused) {
    RefusedRename refused;
    const std::string data = "layer bytes on a shared volume";
    const std::string digest = store(data);
    EXPECT_EQ(slurp(blob_file(digest)), data);
    const std::string again = store(data);
    EXPECT_EQ(again, digest);
    EXPECT_EQ(slurp(blob_file(digest)), data);
    size_t leftovers = 0;
    for (const auto &e : fs::directory_iterator(uploads())) {
        (void)e;
        ++leftovers;
    }
    EXPECT_EQ(leftovers, 0u);
    EXPECT_EQ(std::distance(fs::directory_iterator(fanout(digest)), fs::directory_iterator()), 1);
}

// A wrong digest drops the claimed upload, a right one stores it, and a finished upload is
// gone: no claim is left behind under a second name.
TEST_F(BlobTest, FailedFinishThroughTheFallbackLeavesNothingUnderTwoNames) {
    RefusedRename refused;
    const std::string uuid = open_upload("first");
    char out[REG_DIGEST_SIZE] = {};
    EXPECT_NE(reg_blob_finish_upload(uuid.c_str(), blobtest::digest_of("other").c_str(), out), 0);
    EXPECT_FALSE(fs::exists(upload_file(uuid)));
    const std::string uuid2 = open_upload("second");
    EXPECT_EQ(reg_blob_finish_upload(uuid2.c_str(), blobtest::digest_of("second").c_str(), out),
              0)
        << last_error();
    EXPECT_FALSE(fs::exists(upload_file(uuid2)));
    EXPECT_EQ(reg_blob_finish_upload(uuid2.c_str(), blobtest::digest_of("second").c_str(), out),
              -1);
}

// Stands for a GlusterFS host whose mkdir of `dir` meets another host's: answered EEXIST with
// no directory there, the first `times` times.
struct LostMkdirs {
    static inline std::string dir;
    static inline int times = 0;
    LostMkdirs(const fs::path &d, int n) {
        dir = d.string();
        times = n;
        reg_internal::s_mkdir_hook = [](const char *path) {
            return dir == path && times > 0 ? (--times, EEXIST) : 0;
        };
    }
    ~LostMkdirs() { reg_internal::s_mkdir_hook = nullptr; }
};

// A directory that a blob link or a manifest needs comes back as an EEXIST with nothing
// there: mkdirs makes it again and both are stored; a name that never stays fails in bounded
// time.
TEST_F(BlobTest, DirectoriesLostToAConcurrentMkdirAreMadeAgain) {
    const std::string digest = store("config and layer");
    const std::string desc = "{\"mediaType\":\"application/vnd.oci.image.layer.v1.tar+gzip\","
                             "\"digest\":\"" + digest + "\",\"size\":16}";
    const std::string manifest = "{\"schemaVersion\":2,\"config\":" + desc + ",\"layers\":[" +
                                 desc + "]}";
    const fs::path repos = root_.path() / "repositories";
    struct Case {
        const char *repo;
        fs::path lost;
        int times;
        const char *message;  // nullptr: the link and the manifest are stored
    } cases[] = {
        {"team/a", repos / "team", 1, nullptr},  // a parent: the next mkdir found nothing
        {"b", repos / "b" / "_manifests" / "tags" / "v1", 1, nullptr},
        {"c", repos / "c" / "_layers", 1000, "mkdirs blob link dir failed"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lost.string());
        LostMkdirs lost(c.lost, c.times);
        char out[REG_DIGEST_SIZE];
        const bool stored = reg_blob_link(c.repo, digest.c_str()) == 0 &&
                            reg_manifest_put(c.repo, "v1", manifest.data(), manifest.size(),
                                             nullptr, out) == 0;
        EXPECT_EQ(stored, c.message == nullptr) << last_error();
        EXPECT_EQ(last_error(), c.message ? c.message : "");
    }
}

}  // namespace
