// An upload's running hash: kept beside the upload by each append, taken up again by a fresh
// engine (another process), never covering bytes a cut-short body left, replaced by the
// file's own bytes whenever it cannot be trusted, and gone with its upload.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "blob_fixture.h"

namespace {

using namespace blobtest;
using reg_internal::upload_hash;

struct Body {
    std::string text;
    size_t at = 0;
    size_t stop = std::string::npos;  // the body ends early here
};

// A state file's bytes with the check that ends them: the first 8 bytes of their SHA-256.
std::string with_check(const std::string &bytes) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, bytes.data(), bytes.size());
    uint8_t sum[32];
    sha256_final(&ctx, sum);
    return bytes + std::string(reinterpret_cast<const char *>(sum), 8);
}

long read_body(void *ctx, void *buf, size_t cap) {
    auto *b = static_cast<Body *>(ctx);
    const size_t end = std::min(b->text.size(), b->stop);
    const size_t n = std::min(cap, end - b->at);
    std::memcpy(buf, b->text.data() + b->at, n);
    b->at += n;
    return static_cast<long>(n);
}

class UploadHash : public BlobTest {
protected:
    fs::path state_file(const std::string &uuid) const { return uploads() / (uuid + ".hash"); }
    // A fresh engine on the same root, as the next request's process has.
    void restart() {
        reg_storage_cleanup();
        ASSERT_EQ(reg_storage_init(root().c_str()), 0) << last_error();
    }
    int stream(const std::string &uuid, const std::string &text, int64_t announced = -2,
               size_t stop = std::string::npos) {
        Body body{text, 0, stop};
        int64_t size = 0;
        return reg_blob_append_stream(uuid.c_str(), read_body, &body,
                                      announced == -2 ? int64_t(text.size()) : announced, -1,
                                      &size);
    }
    int64_t covered(const std::string &uuid) const {
        upload_hash state;
        reg_internal::upload_hash_load(uuid.c_str(), &state);
        return state.covered;
    }
    // The state a sequence of bytes leaves.
    static upload_hash state_of(const std::string &bytes) {
        upload_hash state;
        state.reset();
        state.add(bytes.data(), bytes.size());
        return state;
    }
    int finish(const std::string &uuid, const std::string &content,
               const std::string &algorithm = "sha256") {
        char out[REG_DIGEST_SIZE];
        return reg_blob_finish_upload(uuid.c_str(), bvtest::digest_in(algorithm, content).c_str(),
                                      out);
    }
    // An upload started with `algorithm` (null: the plain start), holding `data`.
    std::string open_hashed(const char *algorithm, const std::string &data) {
        char uuid[37] = {};
        EXPECT_EQ(reg_blob_start_upload_algorithm(algorithm, uuid), 0) << last_error();
        if (!data.empty()) {
            EXPECT_EQ(reg_blob_append_chunk(uuid, data.data(), data.size()), 0) << last_error();
        }
        return uuid;
    }
};

// The upload is started with an algorithm or without one, and finished with either: a state
// of another algorithm than the digest's is no help, and the blob lands in the digest's own
// directory.
TEST_F(UploadHash, EachAppendGoesOnFromTheLastAcrossProcesses) {
    const std::string parts[] = {"first part, ", std::string(200000, 'b'), "", "the end"};
    const struct {
        const char *started;  // null: the plain start
        const char *finished;
    } cases[] = {{nullptr, "sha256"}, {"sha512", "sha512"}, {nullptr, "sha512"},
                 {"sha512", "sha256"}, {"sha256", "sha256"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.started ? c.started : "plain") + " to " + c.finished);
        const std::string uuid = open_hashed(c.started, "");
        std::string all;
        for (size_t i = 0; i < std::size(parts); ++i) {
            const std::string &part = parts[i];
            restart();
            // Chunks and streamed bodies take turns.
            ASSERT_EQ(i % 2 ? reg_blob_append_chunk(uuid.c_str(), part.data(), part.size())
                            : stream(uuid, part),
                      0)
                << last_error();
            all += part;
            if (!all.empty()) {
                EXPECT_EQ(covered(uuid), int64_t(all.size()));
            }
        }
        restart();
        ASSERT_EQ(finish(uuid, all, c.finished), 0) << last_error();
        const std::string digest = bvtest::digest_in(c.finished, all);
        EXPECT_EQ(bvtest::read_all(blob_file(digest)), all);
        EXPECT_FALSE(fs::exists(state_file(uuid)));
        ASSERT_EQ(reg_blob_delete(digest.c_str()), 0);
    }
}

// The finish reads no byte that the state stands for: changing those bytes on disk behind the
// engine's back does not change the digest it computes. So it is for states of either
// algorithm, and for the SHA-256 states of the first form ("bvhash1"), without an algorithm.
TEST_F(UploadHash, FinishHashesOnlyWhatTheStateLacks) {
    const std::string content = "0123456789abcdef";
    const struct {
        const char *algorithm;
        bool first_form;
    } cases[] = {{"sha256", false}, {"sha512", false}, {"sha256", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.algorithm) + (c.first_form ? " bvhash1" : ""));
        const std::string uuid = open_hashed(c.algorithm, content);
        if (c.first_form) {
            // "bvhash1\n" and the exported state, then their check.
            const upload_hash state = state_of(content);
            uint8_t exported[SHA256_STATE_SIZE];
            sha256_export(&state.ctx, exported);
            bvtest::write_all(state_file(uuid),
                              with_check("bvhash1\n" + std::string(reinterpret_cast<const char *>(
                                                                      exported),
                                                                  sizeof exported)));
        }
        restart();
        std::string changed = content;
        changed[3] = 'X';
        bvtest::write_all(upload_file(uuid), changed);
        ASSERT_EQ(finish(uuid, content, c.algorithm), 0) << last_error();
    }
}

TEST_F(UploadHash, CutShortBodiesLeaveTheStateAtTheKeptBytes) {
    const std::string uuid = open_upload("kept ");
    // Ends after 4 of 20 announced bytes: cut back, and the state with it.
    EXPECT_EQ(stream(uuid, std::string(20, 'z'), 20, 4), -1);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_INCOMPLETE);
    EXPECT_EQ(reg_blob_upload_size(uuid.c_str()), 5);
    EXPECT_EQ(covered(uuid), 5);
    restart();
    ASSERT_EQ(stream(uuid, "and more"), 0) << last_error();
    EXPECT_EQ(covered(uuid), 13);
    ASSERT_EQ(finish(uuid, "kept and more"), 0) << last_error();
}

TEST_F(UploadHash, UntrustedStatesGiveWayToTheBytes) {
    const std::string content = "bytes of an upload whose state went wrong";
    const struct Case {
        const char *label;
        std::function<void(const std::string &uuid, const fs::path &state)> spoil;
    } cases[] = {
        {"missing", [](const std::string &, const fs::path &p) { fs::remove(p); }},
        {"empty", [](const std::string &, const fs::path &p) { bvtest::write_all(p, ""); }},
        {"cut short",
         [](const std::string &, const fs::path &p) {
             bvtest::write_all(p, bvtest::read_all(p).substr(0, 50));
         }},
        {"zeros", [](const std::string &,
                     const fs::path &p) { bvtest::write_all(p, std::string(120, '\0')); }},
        {"one bit off",
         [](const std::string &, const fs::path &p) {
             std::string s = bvtest::read_all(p);
             s[20] ^= 1;
             bvtest::write_all(p, s);
         }},
        {"covering less",
         [&](const std::string &uuid, const fs::path &) {
             reg_internal::upload_hash_save(uuid.c_str(), state_of(content.substr(0, 7)));
         }},
        {"covering more than the file",
         [&](const std::string &uuid, const fs::path &) {
             reg_internal::upload_hash_save(uuid.c_str(), state_of(content + "gone"));
         }},
        {"of other bytes",
         [&](const std::string &uuid, const fs::path &) {
             reg_internal::upload_hash_save(uuid.c_str(), state_of(std::string(10, '?')));
         }},
        {"of an unknown algorithm",
         [](const std::string &, const fs::path &p) {
             std::string s = bvtest::read_all(p);
             s[8] = 7;  // the algorithm's byte, under a check that fits it
             bvtest::write_all(p, with_check(s.substr(0, s.size() - 8)));
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        const std::string uuid = open_upload(content.substr(0, 10));
        c.spoil(uuid, state_file(uuid));
        restart();
        // An append goes on from what it can trust, and so does the finish.
        ASSERT_EQ(stream(uuid, content.substr(10)), 0) << last_error();
        restart();
        ASSERT_EQ(finish(uuid, content), 0) << last_error();
        EXPECT_FALSE(fs::exists(state_file(uuid)));
        ASSERT_EQ(reg_blob_delete(digest_of(content).c_str()), 0);
    }
}

// Mismatches are real ones: a wrong digest still refuses the upload and takes its state.
TEST_F(UploadHash, WrongDigestsStillFail) {
    const std::string uuid = open_upload("what was sent");
    EXPECT_EQ(finish(uuid, "what was meant"), -1);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_DIGEST_MISMATCH);
    EXPECT_FALSE(fs::exists(state_file(uuid)));
    EXPECT_FALSE(fs::exists(upload_file(uuid)));
}

TEST_F(UploadHash, StatesGoWithTheirUploads) {
    const std::string cancelled = open_upload("cancelled");
    ASSERT_TRUE(fs::exists(state_file(cancelled)));
    ASSERT_EQ(reg_blob_cancel_upload(cancelled.c_str()), 0);
    EXPECT_FALSE(fs::exists(state_file(cancelled)));

    // Statistics count uploads, not their states.
    const std::string open = open_upload("open");
    const std::string stats = reg_storage_get_stats_json();
    EXPECT_NE(stats.find("\"active_uploads\":1,\"upload_bytes\":4"), std::string::npos) << stats;

    // The collector takes a stale upload's state with it, and a state left alone.
    const std::string orphan = "00000000-0000-4000-8000-000000000000";
    bvtest::write_all(state_file(orphan), "left by a crash");
    reg_gc_options opts{};
    opts.grace_uploads = 3600;
    reg_gc_result res{};
    ASSERT_EQ(reg_gc_run(&opts, &res), 0);
    EXPECT_TRUE(fs::exists(state_file(orphan)));  // young: spared like an upload
    EXPECT_TRUE(fs::exists(state_file(open)));
    opts.grace_uploads = 0;
    opts.dry_run = 1;
    ASSERT_EQ(reg_gc_run(&opts, &res), 0);
    EXPECT_EQ(res.uploads, 1);
    EXPECT_TRUE(fs::exists(state_file(orphan)));
    opts.dry_run = 0;
    ASSERT_EQ(reg_gc_run(&opts, &res), 0);
    EXPECT_EQ(res.uploads, 1);  // the upload; states are not counted as uploads
    EXPECT_FALSE(fs::exists(upload_file(open)));
    EXPECT_FALSE(fs::exists(state_file(open)));
    EXPECT_FALSE(fs::exists(state_file(orphan)));
}

// Appenders in several processes at once take turns under the lock, each going on from the
// state the one before it left; the state ends covering every byte, in file order.
TEST_F(UploadHash, ConcurrentAppendersKeepOneState) {
    const std::string uuid = open_upload("start:");
    bvtest::TempDir sync;
    constexpr int kProcs = 6;
    std::vector<std::thread> threads;
    std::vector<bvtest::ProcessResult> results(kProcs);
    for (int i = 0; i < kProcs; ++i) {
        threads.emplace_back([&, i] {
            const std::string text = "[" + std::to_string(i) + std::string(5000 + i, 'a' + i) + "]";
            results[i] = bvtest::run_program(
                bvtest::probe_path("blob_probe"),
                {root(), "append", uuid, "-1", text, sync.str(), "none", std::to_string(kProcs),
                 std::to_string(i)});
        });
    }
    for (std::thread &t : threads) t.join();
    for (const auto &r : results) EXPECT_EQ(r.out.rfind("ok ", 0), 0u) << r.out;
    const std::string content = bvtest::read_all(upload_file(uuid));
    EXPECT_EQ(covered(uuid), int64_t(content.size()));
    // The state alone, without the file, gives the digest of the file's bytes.
    upload_hash state;
    reg_internal::upload_hash_load(uuid.c_str(), &state);
    uint8_t sum[32];
    sha256_final(&state.ctx, sum);
    char hex[65];
    reg_internal::bin_to_hex(sum, sizeof sum, hex);
    EXPECT_EQ(std::string(hex), hex_of(content));
    ASSERT_EQ(finish(uuid, content), 0) << last_error();
}

}  // namespace
