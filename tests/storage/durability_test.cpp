// Durable writes: every write and removal a success answer confirms is flushed first (the
// file's bytes before it is renamed into place, the directory after), none is when the switch
// is off, appends and collections never wait for the disk, and a failed flush fails the call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/bv_platform_file.h"
#include "manifest_fixture.h"
#include "storage/storage_internal.h"

namespace {

using namespace manifesttest;
using reg_internal::sync_target;

struct Flush {
    sync_target target;
    fs::path path;
};

// Records every flush the engine asks for; `refuse` (may be empty) fails the ones it picks,
// with errno `err` (0: none set).
struct Recorder {
    std::vector<Flush> seen;
    std::function<bool(sync_target, const fs::path &)> refuse;
    int err = 0;
};
Recorder *s_recorder;

bool record(sync_target target, const char *path) {
    s_recorder->seen.push_back({target, fs::path(path)});
    if (!(s_recorder->refuse && s_recorder->refuse(target, fs::path(path)))) return true;
    if (s_recorder->err != 0) errno = s_recorder->err;
    return false;
}

class Durability : public ManifestTest {
protected:
    void SetUp() override {
        ManifestTest::SetUp();
        s_recorder = &rec_;
        reg_internal::s_sync_hook = record;
    }
    void TearDown() override {
        reg_internal::s_sync_hook = nullptr;
        reg_internal::s_writeback_hook = nullptr;
        s_recorder = nullptr;
        ManifestTest::TearDown();
    }
    // Position of the first flush of `target` on `path`, or -1.
    long find(sync_target target, const fs::path &path) const {
        for (size_t i = 0; i < rec_.seen.size(); ++i)
            if (rec_.seen[i].target == target && rec_.seen[i].path == path)
                return static_cast<long>(i);
        return -1;
    }
    // Position of the first flush of a file inside `dir` (write_file's temporary), or -1.
    long find_file_in(const fs::path &dir) const {
        for (size_t i = 0; i < rec_.seen.size(); ++i)
            if (rec_.seen[i].target == sync_target::file && rec_.seen[i].path.parent_path() == dir)
                return static_cast<long>(i);
        return -1;
    }
    // A file written into `dir` is flushed before the directory.
    void expect_written_in(const fs::path &dir) const {
        const long file = find_file_in(dir);
        const long after = find(sync_target::dir, dir);
        EXPECT_GE(file, 0) << "no file flushed in " << dir;
        EXPECT_GT(after, file) << "directory not flushed after its file: " << dir;
    }
    void expect_dir(const fs::path &dir) const {
        EXPECT_GE(find(sync_target::dir, dir), 0) << "not flushed: " << dir;
    }
    fs::path blobs() const { return root_.path() / "blobs" / "sha256"; }
    fs::path fanout(const std::string &digest) const { return blobs() / digest.substr(7, 2); }
    std::string open_upload(const std::string &content) {
        char uuid[37];
        EXPECT_EQ(reg_blob_start_upload(uuid), 0) << error();
        EXPECT_EQ(reg_blob_append_chunk(uuid, content.data(), content.size()), 0) << error();
        return uuid;
    }
    // Appends `len` bytes of `data` as one streamed request body: 0 or -1.
    static int stream(const std::string &uuid, const char *data, size_t len, int64_t offset,
                      int64_t *size) {
        struct Body {
            const char *data;
            size_t left;
        } body{data, len};
        auto read = [](void *ctx, void *buf, size_t cap) -> long {
            auto *b = static_cast<Body *>(ctx);
            const size_t n = std::min(cap, b->left);
            std::memcpy(buf, b->data, n);
            b->data += n;
            b->left -= n;
            return static_cast<long>(n);
        };
        return reg_blob_append_stream(uuid.c_str(), read, &body, int64_t(len), offset, size);
    }
    int finish(const std::string &uuid, const std::string &content) {
        char out[REG_DIGEST_SIZE];
        return reg_blob_finish_upload(uuid.c_str(), digest_of(content).c_str(), out);
    }

    Recorder rec_;
    std::string upload_;
};

TEST_F(Durability, FinishFlushesTheBlobThenItsDirectories) {
    const std::string content = "durable blob";
    const std::string uuid = open_upload(content);
    rec_.seen.clear();
    ASSERT_EQ(finish(uuid, content), 0) << error();
    const fs::path claim = root_.path() / "uploads" / (uuid + ".finish");
    const long file = find(sync_target::file, claim);
    const long dir = find(sync_target::dir, fanout(digest_of(content)));
    ASSERT_GE(file, 0);
    EXPECT_GT(dir, file);
    // The fan-out directory is new, so the entry naming it is flushed too.
    EXPECT_GE(find(sync_target::dir, blobs()), 0);

    // A second push of the same bytes stores nothing and waits for nothing.
    const std::string again = open_upload(content);
    rec_.seen.clear();
    ASSERT_EQ(finish(again, content), 0) << error();
    EXPECT_TRUE(rec_.seen.empty());
}

TEST_F(Durability, EveryConfirmedChangeIsFlushed) {
    const std::string tagged = put("v1", body_);
    const std::string hex = tagged.substr(7);
    const fs::path links = repos() / "app" / "_layers" / "sha256";
    const struct Case {
        const char *label;
        std::function<int()> act;
        std::vector<fs::path> written;  // directories with a file written into them
        std::vector<fs::path> dirs;     // directories flushed after a removal or a new entry
    } cases[] = {
        {"manifest by tag",
         [&] { return put_status("v2", image(desc(config_, kOciConfig), {})); },
         {mdir(), mdir() / "tags" / "v2" / "current"},
         {mdir() / "tags"}},
        {"blob link into a new repository",
         [&] { return reg_blob_link("other", layer_.c_str()); },
         {repos() / "other" / "_layers" / "sha256" / layer_.substr(7)},
         {repos(), repos() / "other" / "_layers" / "sha256"}},
        {"tag delete", [&] { return del("v2"); }, {}, {mdir() / "tags" / "v2" / "current"}},
        {"digest delete",
         [&] { return del(tagged); },
         {},
         {mdir(), mdir() / "tags" / "v1" / "current", mdir() / "revisions" / "sha256" / hex}},
        {"blob unlink", [&] { return reg_blob_unlink("app", layer_.c_str()); }, {},
         {links / layer_.substr(7)}},
        {"blob delete", [&] { return reg_blob_delete(layer_.c_str()); }, {}, {fanout(layer_)}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        rec_.seen.clear();
        ASSERT_EQ(c.act(), 0) << error();
        for (const fs::path &dir : c.written) expect_written_in(dir);
        for (const fs::path &dir : c.dirs) expect_dir(dir);
    }
}

TEST_F(Durability, AppendsStartsAndCollectionsDoNotWait) {
    rec_.seen.clear();
    const std::string uuid = open_upload("part one");
    int64_t size = 0;
    ASSERT_EQ(stream(uuid, " and two", 8, 8, &size), 0) << error();
    EXPECT_EQ(size, 16);
    reg_gc_options opts{};
    opts.delete_untagged = 1;
    reg_gc_result res{};
    ASSERT_EQ(reg_gc_run(&opts, &res), 0) << error();
    EXPECT_GT(res.uploads, 0);
    EXPECT_TRUE(rec_.seen.empty()) << rec_.seen.size() << " flushes, first "
                                   << rec_.seen.front().path;
}

TEST_F(Durability, NothingWaitsWhenTheSwitchIsOff) {
    bvtest::write_all(root_.path() / "config.json", R"({"durableWrites":false})");
    ASSERT_EQ(reg_storage_init(root_.str().c_str()), 0) << error();
    rec_.seen.clear();
    const std::string content = "fast blob";
    ASSERT_EQ(finish(open_upload(content), content), 0) << error();
    ASSERT_EQ(reg_blob_link("app", digest_of(content).c_str()), 0) << error();
    const std::string body = image(desc(config_, kOciConfig), {desc(digest_of(content))});
    const std::string digest = put("fast", body);
    ASSERT_EQ(del("fast"), 0) << error();
    ASSERT_EQ(del(digest), 0) << error();
    ASSERT_EQ(reg_blob_unlink("app", digest_of(content).c_str()), 0) << error();
    ASSERT_EQ(reg_blob_delete(digest_of(content).c_str()), 0) << error();
    EXPECT_TRUE(rec_.seen.empty());
}

std::vector<int64_t> s_hinted;  // the start of each write-back hint asked for
bool s_refuse_hints;

bool record_hint(int64_t offset, int64_t len) {
    EXPECT_EQ(len, reg_internal::kWritebackWindow);
    s_hinted.push_back(offset);
    return !s_refuse_hints;
}

// Each window an append completes is handed to the disk once, whichever request completes it
// and by either append path. A file system that refuses the hint leaves the push whole, and
// the finish's flush is made whatever the hints did.
TEST_F(Durability, AppendsHintTheWindowsTheyComplete) {
    constexpr int64_t kW = reg_internal::kWritebackWindow;
    const struct Case {
        const char *label;
        bool refuse;
        bool chunks;                  // reg_blob_append_chunk, else streamed bodies
        std::vector<int64_t> pieces;  // one request each
        std::vector<int64_t> hinted;
    } cases[] = {
        {"one streamed body", false, false, {2 * kW + 5}, {0, kW}},
        {"requests ending around the edges", true, false, {kW - 1, 2, kW - 1, 2}, {0, kW}},
        {"chunks", false, true, {kW + 1, kW}, {0, kW}},
    };
    reg_internal::s_writeback_hook = record_hint;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        s_hinted.clear();
        s_refuse_hints = c.refuse;
        std::string content;
        for (int64_t n : c.pieces) content.append(size_t(n), char('a' + n % 26));
        const std::string uuid = open_upload("");
        int64_t at = 0;
        for (int64_t n : c.pieces) {
            const char *piece = content.data() + at;
            ASSERT_EQ(c.chunks ? reg_blob_append_chunk(uuid.c_str(), piece, size_t(n))
                               : stream(uuid, piece, size_t(n), at, nullptr),
                      0)
                << error();
            at += n;
        }
        EXPECT_EQ(s_hinted, c.hinted);
        rec_.seen.clear();
        ASSERT_EQ(finish(uuid, content), 0) << error();
        EXPECT_GE(find(sync_target::file, root_.path() / "uploads" / (uuid + ".finish")), 0);
    }
}

// A flush that fails for want of space fails the call as a full disk, which clients are told
// apart from other failures; what is left is the same either way.
TEST_F(Durability, AFailedFlushFailsTheCall) {
    const std::string content = "blob whose flush fails";
    const struct Case {
        const char *label;
        int err;  // the refused flush's errno; 0: none
        std::function<void()> prepare;  // runs before flushes fail
        std::function<bool(sync_target, const fs::path &)> refuse;
        std::function<int()> act;
        std::function<void()> check;  // what is left on disk afterwards
    } cases[] = {
        {"manifest body", 0, [] {},
         [](sync_target t, const fs::path &) { return t == sync_target::file; },
         [&] { return put_status("broken", body_); },
         [&] {
             // Nothing half-written is left behind, and no tag names anything.
             for (const auto &e : fs::directory_iterator(mdir()))
                 EXPECT_NE(e.path().filename().string().rfind(".~wf-", 0), 0u) << e.path();
             EXPECT_FALSE(fs::exists(tag_link("broken")));
         }},
        {"manifest body on a full disk", ENOSPC, [] {},
         [](sync_target t, const fs::path &) { return t == sync_target::file; },
         [&] { return put_status("full", body_); },
         [&] { EXPECT_FALSE(fs::exists(tag_link("full"))); }},
        {"upload's bytes", 0, [&] { upload_ = open_upload(content); },
         [](sync_target t, const fs::path &p) {
             return t == sync_target::file && p.extension() == ".finish";
         },
         [&] { return finish(upload_, content); },
         [&] {
             // The upload is given back whole, to be finished once the disk recovers.
             EXPECT_EQ(reg_blob_upload_size(upload_.c_str()), int64_t(content.size()));
             EXPECT_EQ(reg_blob_exists(digest_of(content).c_str()), 0);
             s_recorder->refuse = nullptr;
             EXPECT_EQ(finish(upload_, content), 0) << error();
         }},
        {"upload's bytes on a full disk", ENOSPC, [&] { upload_ = open_upload(content + "?"); },
         [](sync_target t, const fs::path &p) {
             return t == sync_target::file && p.extension() == ".finish";
         },
         [&] { return finish(upload_, content + "?"); },
         [&] {
             EXPECT_EQ(reg_blob_upload_size(upload_.c_str()), int64_t(content.size() + 1));
             s_recorder->refuse = nullptr;
             EXPECT_EQ(finish(upload_, content + "?"), 0) << error();
         }},
        {"blob directory", 0, [&] { upload_ = open_upload(content + "!"); },
         [](sync_target t, const fs::path &) { return t == sync_target::dir; },
         [&] { return finish(upload_, content + "!"); }, [] {}},
        {"link into a new repository", 0, [&] { upload_ = blob(content + "#"); },
         [](sync_target t, const fs::path &) { return t == sync_target::file; },
         [&] { return reg_blob_link("fresh", upload_.c_str()); },
         [&] {
             // A failed link (or mount) leaves no repository for the catalog to list.
             EXPECT_EQ(reg_repo_exists("fresh"), 0);
             EXPECT_FALSE(fs::exists(repos() / "fresh" / "_layers"));
         }},
        {"tag removal", 0, [&] { put("gone", body_); },
         [](sync_target t, const fs::path &) { return t == sync_target::dir; },
         [&] { return del("gone"); },
         [&] { EXPECT_FALSE(fs::exists(tag_link("gone"))); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        c.prepare();
        rec_.refuse = c.refuse;
        rec_.err = c.err;
        EXPECT_EQ(c.act(), -1);
        EXPECT_EQ(kind(), c.err ? REG_ERR_NO_SPACE : REG_ERR_IO) << error();
        EXPECT_EQ(error().rfind("the registry's storage is full (", 0) == 0, c.err != 0) << error();
        c.check();
        rec_.refuse = nullptr;
        rec_.err = 0;
    }
}

// The platform's own flushes, without the hook: real files and directories are flushed,
// missing ones are failures.
TEST(PlatformFlush, FilesAndDirectories) {
    bvtest::TempDir dir;
    EXPECT_EQ(bv_platform::flush_dir(dir.str().c_str()), 0);
    EXPECT_EQ(bv_platform::flush_dir((dir.path() / "missing").string().c_str()), -1);
    const fs::path file = dir.path() / "f";
    std::FILE *f = std::fopen(file.string().c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("bytes", f);
    EXPECT_EQ(bv_platform::flush_stream(f), 0);
    std::fclose(f);
    EXPECT_EQ(bvtest::read_all(file), "bytes");
    bv_platform::locked_file locked;
    ASSERT_TRUE(locked.open(file.string().c_str(), true));
    ASSERT_TRUE(locked.lock());
    EXPECT_TRUE(locked.write_all("!", 1));
    EXPECT_TRUE(locked.flush());
    EXPECT_TRUE(locked.seek(2));
    char buf[8] = {};
    EXPECT_EQ(locked.read_some(buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "tes!");
}

}  // namespace
