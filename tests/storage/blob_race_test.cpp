// Appends held open in another process (blob_probe "append" stops at a chosen point until told
// to go on) while a finish, a cancel or another append runs: whatever the order, a stored blob
// hashes to its name, an append either lands before the hash or the cancel or fails, and of
// appends that race for one offset exactly one wins.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <sstream>
#include <thread>
#include <vector>

#include "blob_fixture.h"
#include "platform/bv_platform_fs.h"

namespace {

using namespace blobtest;

struct Outcome {
    bool ok = false;
    int kind = -1;
    long long size = -1;
};

Outcome parse(const bvtest::ProcessResult &r) {
    Outcome o;
    std::istringstream in(r.out);
    std::string word;
    in >> word;
    o.ok = word == "ok";
    if (o.ok) in >> o.size;
    else in >> o.kind >> o.size;
    return o;
}

bool wait_for(const fs::path &path) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!fs::exists(path)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class BlobRaceTest : public BlobTest {
protected:
    // Starts blob_probe appending `text` at `offset`, stopped at `pause`.
    std::future<bvtest::ProcessResult> start_append(const std::string &uuid, long long offset,
                                                    const std::string &text,
                                                    const std::string &pause, int nproc = 0,
                                                    int id = 0) {
        std::vector<std::string> args = {root(),          "append",    uuid,
                                         std::to_string(offset), text, sync_.str(),
                                         pause,           std::to_string(nproc), std::to_string(id)};
        return std::async(std::launch::async, [args] {
            return bvtest::run_program(bvtest::probe_path("blob_probe"), args);
        });
    }
    std::future<std::pair<int, std::string>> start_finish(const std::string &uuid,
                                                           const std::string &digest) {
        return std::async(std::launch::async, [uuid, digest] {
            char out[REG_DIGEST_SIZE] = {};
            const int rc = reg_blob_finish_upload(uuid.c_str(), digest.c_str(), out);
            return std::make_pair(rc, std::string(rc == 0 ? out : reg_storage_last_error()));
        });
    }
    void go() { bvtest::write_all(sync_.path() / "go", ""); }
    fs::path paused() const { return sync_.path() / "paused"; }

    bvtest::TempDir sync_;
};

// The appender holds the lock and has found the upload in place: the finish must wait for its
// bytes and hash them with the rest.
TEST_F(BlobRaceTest, AppendHoldingTheLockLandsBeforeTheHash) {
    const std::string uuid = open_upload("base");
    auto append = start_append(uuid, 4, "+extra", "locked");
    ASSERT_TRUE(wait_for(paused()));
    auto finish = start_finish(uuid, digest_of("base+extra"));
    EXPECT_EQ(finish.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
        << "the finish did not wait for the append";
    go();
    const Outcome a = parse(append.get());
    const auto [rc, what] = finish.get();
    EXPECT_TRUE(a.ok);
    EXPECT_EQ(a.size, 10);
    ASSERT_EQ(rc, 0) << what;
    EXPECT_EQ(bvtest::read_all(blob_file(digest_of("base+extra"))), "base+extra");
    EXPECT_TRUE(fs::is_empty(uploads()));
}

// The appender opened the upload but has not locked it when the finish runs. Where a rename
// can take an open file away (POSIX) the finish stores the bytes it has and the late append
// fails; where an open file pins its name (Windows) the finish gives up and the append lands.
TEST_F(BlobRaceTest, AppendThatOpenedBeforeTheFinishNeverChangesTheBlob) {
    const std::string uuid = open_upload("base");
    auto append = start_append(uuid, 4, "+late", "opened");
    ASSERT_TRUE(wait_for(paused()));
    const auto [rc, what] = start_finish(uuid, digest_of("base")).get();
    go();
    const Outcome a = parse(append.get());
    if (!bv_platform::readers_block_replace) {
        ASSERT_EQ(rc, 0) << what;
        EXPECT_FALSE(a.ok);
        EXPECT_EQ(a.kind, REG_ERR_NOT_FOUND);
        EXPECT_EQ(bvtest::read_all(blob_file(digest_of("base"))), "base");
        EXPECT_TRUE(fs::is_empty(uploads()));
    } else {
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_CONFLICT) << what;
        EXPECT_TRUE(a.ok);
        EXPECT_EQ(bvtest::read_all(upload_file(uuid)), "base+late");
        EXPECT_EQ(reg_blob_exists(digest_of("base").c_str()), 0);
    }
}

// A finish that fails after its claim gives the upload back; an append held across it then
// lands in the upload, which is whole and can be finished.
TEST_F(BlobRaceTest, FailedFinishGivesTheUploadBackToAHeldAppend) {
    const std::string uuid = open_upload("base");
    bvtest::write_all(fanout(digest_of("base")), "in the way");  // the move into the store fails
    auto append = start_append(uuid, 4, "+more", "opened");
    ASSERT_TRUE(wait_for(paused()));
    const auto [rc, what] = start_finish(uuid, digest_of("base")).get();
    EXPECT_EQ(rc, -1) << what;
    EXPECT_EQ(bvtest::read_all(upload_file(uuid)), "base");
    go();
    const Outcome a = parse(append.get());
    EXPECT_TRUE(a.ok);
    EXPECT_EQ(a.size, 9);
    EXPECT_EQ(bvtest::read_all(upload_file(uuid)), "base+more");
}

// A cancel claims the upload and takes its lock before it removes anything: an append holding
// the lock lands first (the cancel waits for it), one that has only opened the upload fails.
// Where open files pin their names the claim itself waits, and both land. Either way nothing of
// the upload stays, neither its hash state nor its owner record.
TEST_F(BlobRaceTest, CancelIsOrderedAgainstAHeldAppend) {
    for (const char *pause : {"locked", "opened"}) {
        SCOPED_TRACE(pause);
        fs::remove_all(sync_.path());
        fs::create_directory(sync_.path());
        char uuid[37] = {};
        ASSERT_EQ(reg_upload_start("team/app", uuid), 0) << last_error();
        ASSERT_EQ(reg_blob_append_chunk(uuid, "base", 4), 0) << last_error();
        auto append = start_append(uuid, 4, "+more", pause);
        ASSERT_TRUE(wait_for(paused()));
        auto cancel = std::async(std::launch::async, [id = std::string(uuid)] {
            return reg_upload_cancel("team/app", id.c_str()) == 0 ? REG_OK
                                                                  : reg_storage_last_error_kind();
        });
        const bool waited =
            cancel.wait_for(std::chrono::milliseconds(300)) == std::future_status::timeout;
        go();
        const Outcome a = parse(append.get());
        EXPECT_EQ(cancel.get(), REG_OK) << last_error();
        if (std::string(pause) == "locked" || bv_platform::readers_block_replace) {
            EXPECT_TRUE(waited) << "the cancel did not wait for the append";
            EXPECT_TRUE(a.ok);
        } else {
            EXPECT_FALSE(a.ok);
            EXPECT_EQ(a.kind, REG_ERR_NOT_FOUND);
        }
        EXPECT_TRUE(fs::is_empty(uploads()));
    }
}

// One appender holds the lock before its size test; a second one with the same offset must
// wait and then find the offset taken.
TEST_F(BlobRaceTest, HeldAppendKeepsTheOffsetTestAtomic) {
    const std::string uuid = open_upload("base");
    auto first = start_append(uuid, 4, "+first", "locked");
    ASSERT_TRUE(wait_for(paused()));
    auto second = start_append(uuid, 4, "+second", "none");
    EXPECT_EQ(second.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
        << "the second append did not wait for the lock";
    go();
    const Outcome a = parse(first.get()), b = parse(second.get());
    EXPECT_TRUE(a.ok);
    EXPECT_FALSE(b.ok);
    EXPECT_EQ(b.kind, REG_ERR_RANGE);
    EXPECT_EQ(b.size, 10);
    EXPECT_EQ(bvtest::read_all(upload_file(uuid)), "base+first");
}

// Several processes released at once append at the same offset, round after round.
TEST_F(BlobRaceTest, ProcessesRacingForOneOffsetHaveOneWinner) {
    constexpr int kProcs = 3, kRounds = 5;
    const std::string uuid = open_upload("");
    std::string expected;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        fs::remove_all(sync_.path());
        fs::create_directory(sync_.path());
        std::vector<std::future<bvtest::ProcessResult>> runs;
        const long long offset = static_cast<long long>(expected.size());
        for (int p = 0; p < kProcs; ++p)
            runs.push_back(start_append(uuid, offset, "<r" + std::to_string(round) + "p" +
                                                          std::to_string(p) + ">",
                                        "none", kProcs, p));
        int winners = 0;
        std::string won;
        for (int p = 0; p < kProcs; ++p) {
            const Outcome o = parse(runs[p].get());
            if (o.ok) {
                ++winners;
                won = "<r" + std::to_string(round) + "p" + std::to_string(p) + ">";
            } else {
                EXPECT_EQ(o.kind, REG_ERR_RANGE);
            }
        }
        EXPECT_EQ(winners, 1);
        expected += won;
        EXPECT_EQ(bvtest::read_all(upload_file(uuid)), expected);
    }
}

}  // namespace
