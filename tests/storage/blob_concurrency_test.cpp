// Several processes on one storage root at once (blob_probe): finishes of the same content
// that meet at a barrier, and many different uploads mixed with finishes and deletes in one
// shared fan-out directory. Afterwards the store must hold exactly the right blobs.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "blob_fixture.h"
#include "probes/blob_pattern.h"

namespace {

using namespace blobtest;

struct Job {
    std::vector<std::string> args;
    bvtest::ProcessResult result;
};

// Runs every job as its own process, all at the same time.
void run_all(std::vector<Job> &jobs) {
    std::vector<std::thread> threads;
    for (Job &j : jobs)
        threads.emplace_back([&j] { j.result = bvtest::run_program(bvtest::probe_path("blob_probe"), j.args); });
    for (std::thread &t : threads) t.join();
}

// Every blob file in the store, by digest string; each file's bytes must hash to its name
// and it must sit in the fan-out directory of its first two digits.
std::set<std::string> check_store(const fs::path &root) {
    std::set<std::string> found;
    for (const auto &e : fs::recursive_directory_iterator(root / "blobs" / "sha256")) {
        if (!e.is_regular_file()) continue;
        const std::string name = e.path().filename().string();
        EXPECT_EQ(hex_of(bvtest::read_all(e.path())), name) << e.path();
        EXPECT_EQ(e.path().parent_path().filename().string(), name.substr(0, 2));
        found.insert("sha256:" + name);
    }
    return found;
}

TEST_F(BlobTest, SameContentFinishedByManyProcessesAtOnce) {
    constexpr int kProcs = 4;
    constexpr int kRounds = 30;
    bvtest::TempDir sync;
    reg_storage_cleanup();  // the probes own the store now

    std::vector<Job> jobs(kProcs);
    for (int i = 0; i < kProcs; ++i)
        jobs[i].args = {root(), "same", sync.str(), std::to_string(i), std::to_string(kProcs),
                        std::to_string(kRounds)};
    run_all(jobs);
    for (const Job &j : jobs) {
        EXPECT_EQ(j.result.exit_code, 0) << j.result.out;
        EXPECT_EQ(j.result.out, "ok\n");
    }

    std::set<std::string> expected;
    for (int r = 0; r < kRounds; ++r) {
        const std::string data = blob_pattern::round_content(r);
        expected.insert(digest_of(data));
        EXPECT_EQ(bvtest::read_all(blob_file(digest_of(data))), data) << "round " << r;
    }
    EXPECT_EQ(check_store(root_.path()), expected);
    EXPECT_TRUE(fs::is_empty(uploads()));
}

TEST_F(BlobTest, ManyProcessesUploadingAndDeletingLoseNothing) {
    reg_storage_cleanup();
    std::vector<Job> jobs = {
        {{root(), "many", "1", "40"}, {}},
        {{root(), "many", "2", "40"}, {}},
        {{root(), "many", "3", "40"}, {}},
        {{root(), "churn", "1", "120"}, {}},
        {{root(), "churn", "2", "120"}, {}},
    };
    run_all(jobs);

    std::set<std::string> reported;
    for (const Job &j : jobs) {
        EXPECT_EQ(j.result.exit_code, 0) << j.args[1] << " " << j.args[2] << ": " << j.result.out;
        std::istringstream lines(j.result.out);
        std::string word, digest;
        while (lines >> word >> digest)
            if (word == "blob") reported.insert(digest);
    }
    EXPECT_EQ(reported.size(), 120u);
    // The churned blobs are all deleted again, so the store holds exactly the reported ones.
    EXPECT_EQ(check_store(root_.path()), reported);
    EXPECT_TRUE(fs::is_empty(uploads()));
}

}  // namespace
