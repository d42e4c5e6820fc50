// Streamed appends and the upload size: bodies with and without a length, the offset test,
// bodies that end early or fail part-way (the upload must be exactly as before), refusals with
// their kinds, and a 64 MiB body that must pass through without being held in memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "blob_fixture.h"
#include "probes/blob_pattern.h"

namespace {

using namespace blobtest;

// A request body served from memory in pieces of at most `piece` bytes. After `fail_after`
// bytes it reports a read error; after `end_after` bytes it reports the end.
struct Body {
    std::string data;
    size_t piece = 4096;
    size_t end_after = std::string::npos;
    size_t fail_after = std::string::npos;
    long overshoot = 0;  // returned beyond the cap once, like a broken reader
    size_t pos = 0;
    int calls = 0;

    static long read(void *ctx, void *buf, size_t cap) {
        auto *b = static_cast<Body *>(ctx);
        ++b->calls;
        if (b->pos >= b->fail_after) return -1;
        if (b->overshoot) return static_cast<long>(cap) + b->overshoot;
        const size_t limit = std::min({b->data.size(), b->end_after, b->fail_after});
        const size_t n = std::min({cap, b->piece, limit - std::min(limit, b->pos)});
        std::memcpy(buf, b->data.data() + b->pos, n);
        b->pos += n;
        return static_cast<long>(n);
    }
};

// Bytes that cross the engine's buffer several times.
std::string big(size_t n) { return blob_pattern::make(7, n); }

TEST_F(BlobTest, StreamAppends) {
    const std::string before = "0123456789";
    const std::string body3 = big(3 * 1024 * 1024 + 5);
    const struct {
        const char *label;
        Body body;
        int64_t len, offset;
        int rc;
        reg_error_kind kind;
        std::string after;  // the upload's content after the call
    } cases[] = {
        {"with length", {"abc"}, 3, 10, 0, REG_OK, before + "abc"},
        {"without length", {"abc", 1}, -1, 10, 0, REG_OK, before + "abc"},
        {"no offset test", {"abc"}, 3, -1, 0, REG_OK, before + "abc"},
        {"empty body with length 0", {""}, 0, 10, 0, REG_OK, before},
        {"empty body read to its end", {""}, -1, 10, 0, REG_OK, before},
        {"only the announced length is read", {"abcdef"}, 2, 10, 0, REG_OK, before + "ab"},
        {"several MiB in small pieces", {body3, 65536}, static_cast<int64_t>(body3.size()), 10,
         0, REG_OK, before + body3},
        {"several MiB without length", {body3, 1 << 20}, -1, -1, 0, REG_OK, before + body3},
        {"offset behind the size", {"abc"}, 3, 9, -1, REG_ERR_RANGE, before},
        {"offset past the size", {"abc"}, 3, 11, -1, REG_ERR_RANGE, before},
        {"offset 0 of a non-empty upload", {"abc"}, 3, 0, -1, REG_ERR_RANGE, before},
        {"body ends early", {"abc"}, 4, 10, -1, REG_ERR_INCOMPLETE, before},
        {"body ends early after MiB", {body3}, static_cast<int64_t>(body3.size()) + 1, 10, -1,
         REG_ERR_INCOMPLETE, before},
        {"read error at once", {"abc", 4096, std::string::npos, 0}, 3, 10, -1, REG_ERR_IO,
         before},
        {"read error after MiB were written", {body3, 65536, std::string::npos, 2500000}, -1,
         10, -1, REG_ERR_IO, before},
        {"reader returns more than asked", {"abc", 4096, std::string::npos, std::string::npos, 1},
         3, 10, -1, REG_ERR_IO, before},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        const std::string uuid = open_upload(before);
        Body body = c.body;
        int64_t size = -7;
        EXPECT_EQ(reg_blob_append_stream(uuid.c_str(), Body::read, &body, c.len, c.offset, &size),
                  c.rc)
            << last_error();
        if (c.rc != 0) {
            EXPECT_EQ(reg_storage_last_error_kind(), c.kind) << last_error();
        }
        EXPECT_EQ(size, static_cast<int64_t>(c.after.size()));
        EXPECT_TRUE(bvtest::read_all(upload_file(uuid)) == c.after);
        EXPECT_EQ(reg_blob_upload_size(uuid.c_str()), static_cast<int64_t>(c.after.size()));
        if (c.kind == REG_ERR_RANGE || c.len == 0) {
            EXPECT_EQ(body.calls, 0) << "nothing read";
        }
        ASSERT_EQ(reg_blob_cancel_upload(uuid.c_str()), 0);
    }
    EXPECT_TRUE(fs::is_empty(uploads()));
}

TEST_F(BlobTest, StreamAndSizeRefusals) {
    Body body{"abc"};
    const std::string unknown = "00000000-0000-0000-0000-000000000000";
    const std::string ok = open_upload("x");
    int64_t size = -7;
    const struct {
        const char *label;
        std::function<int64_t()> run;
        reg_error_kind kind;
        std::string message;
    } cases[] = {
        {"stream null uuid",
         [&] { return reg_blob_append_stream(nullptr, Body::read, &body, 3, 0, &size); },
         REG_ERR_ARGUMENT, "upload_uuid/read is NULL"},
        {"stream null reader",
         [&] { return reg_blob_append_stream(ok.c_str(), nullptr, &body, 3, 0, &size); },
         REG_ERR_ARGUMENT, "upload_uuid/read is NULL"},
        {"stream length below -1",
         [&] { return reg_blob_append_stream(ok.c_str(), Body::read, &body, -2, 0, &size); },
         REG_ERR_ARGUMENT, "invalid body length"},
        {"stream malformed uuid",
         [&] { return reg_blob_append_stream("xyz", Body::read, &body, 3, 0, &size); },
         REG_ERR_UPLOAD_INVALID, "invalid upload uuid"},
        {"stream unknown upload",
         [&] { return reg_blob_append_stream(unknown.c_str(), Body::read, &body, 3, 0, &size); },
         REG_ERR_NOT_FOUND, "upload not found: " + unknown},
        {"size null", [] { return reg_blob_upload_size(nullptr); }, REG_ERR_ARGUMENT,
         "upload_uuid is NULL"},
        {"size upper-case uuid",
         [] { return reg_blob_upload_size("0000000A-0000-0000-0000-000000000000"); },
         REG_ERR_UPLOAD_INVALID, "invalid upload uuid"},
        {"size unknown upload", [&] { return reg_blob_upload_size(unknown.c_str()); },
         REG_ERR_NOT_FOUND, "upload not found: " + unknown},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        size = -7;
        EXPECT_EQ(c.run(), -1);
        EXPECT_EQ(reg_storage_last_error_kind(), c.kind);
        EXPECT_EQ(last_error(), c.message);
        EXPECT_EQ(size == -7 || size == -1, true) << "no size for an upload not found";
    }
    EXPECT_EQ(body.calls, 0);
    EXPECT_EQ(bvtest::read_all(upload_file(ok)), "x");
    EXPECT_FALSE(fs::exists(upload_file(unknown))) << "nothing created";

    // out_size may be null.
    EXPECT_EQ(reg_blob_append_stream(ok.c_str(), Body::read, &body, 3, 1, nullptr), 0);
    EXPECT_EQ(reg_blob_upload_size(ok.c_str()), 4);

    // A directory in place of the upload file is no upload.
    const std::string dir_uuid = "11111111-1111-1111-1111-111111111111";
    fs::create_directory(upload_file(dir_uuid));
    EXPECT_EQ(reg_blob_upload_size(dir_uuid.c_str()), -1);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NOT_FOUND);

    reg_storage_cleanup();
    EXPECT_EQ(reg_blob_upload_size(ok.c_str()), -1);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NOT_READY);
    EXPECT_EQ(reg_blob_append_stream(ok.c_str(), Body::read, &body, 3, -1, &size), -1);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NOT_READY);
}

// The body reaches the file as it is read: whenever the engine asks for more, the file holds
// all but at most a few MiB of what it was given, and no single request asks for more.
struct WatchedBody {
    fs::path file;
    int64_t total = 64ll << 20;
    int64_t given = 0;
    size_t largest_cap = 0;
    int64_t largest_lag = 0;
    sha256_ctx sha;

    static long read(void *ctx, void *buf, size_t cap) {
        auto *w = static_cast<WatchedBody *>(ctx);
        w->largest_cap = std::max(w->largest_cap, cap);
        std::error_code ec;
        const auto on_disk = static_cast<int64_t>(fs::file_size(w->file, ec));
        w->largest_lag = std::max(w->largest_lag, w->given - on_disk);
        const size_t n = static_cast<size_t>(std::min<int64_t>(
            {static_cast<int64_t>(cap), w->total - w->given, int64_t{300000}}));
        auto *p = static_cast<unsigned char *>(buf);
        for (size_t i = 0; i < n; ++i) p[i] = static_cast<unsigned char>((w->given + i) * 7 >> 3);
        sha256_update(&w->sha, p, n);
        w->given += static_cast<int64_t>(n);
        return static_cast<long>(n);
    }
};

TEST_F(BlobTest, SixtyFourMiBPassThroughBoundedMemory) {
    constexpr int64_t kFewMiB = 4 << 20;
    const std::string uuid = open_upload("");
    WatchedBody w;
    w.file = upload_file(uuid);
    sha256_init(&w.sha);
    int64_t size = 0;
    ASSERT_EQ(reg_blob_append_stream(uuid.c_str(), WatchedBody::read, &w, w.total, 0, &size), 0)
        << last_error();
    EXPECT_EQ(size, w.total);
    EXPECT_LE(w.largest_cap, static_cast<size_t>(kFewMiB));
    EXPECT_LE(w.largest_lag, kFewMiB);
    uint8_t sum[32];
    sha256_final(&w.sha, sum);
    char hex[65];
    reg_internal::bin_to_hex(sum, 32, hex);
    const std::string digest = std::string("sha256:") + hex;
    char out[REG_DIGEST_SIZE];
    ASSERT_EQ(reg_blob_finish_upload(uuid.c_str(), digest.c_str(), out), 0) << last_error();
    EXPECT_EQ(reg_blob_get_size(digest.c_str()), w.total);
}

// The same in a process whose address space is smaller than the body (where it can be capped).
TEST_F(BlobTest, SixtyFourMiBUnderAnAddressSpaceCeiling) {
    const std::string uuid = open_upload("");
    reg_storage_cleanup();
    const auto r = bvtest::run_program(bvtest::probe_path("blob_probe"),
                                       {root(), "stream", uuid, "64", "48"});
    if (r.out == "unsupported\n") GTEST_SKIP() << "no address-space ceiling here";
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(r.out, "ok 67108864\n");
    EXPECT_EQ(fs::file_size(upload_file(uuid)), 64u << 20);
}

}  // namespace
