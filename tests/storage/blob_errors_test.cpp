// Failures of the blob operations, each with its message and placeholders exactly as passed,
// and what the store looks like afterwards; the blob queries at their boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <vector>

#include "blob_fixture.h"
#include "platform/bv_platform.h"
#include "storage/storage_internal.h"

namespace {

using namespace blobtest;

const std::string kAbc = "abc";
const std::string kAbcDigest = digest_of("abc");
const std::string kUnknownDigest = "sha256:" + std::string(64, '0');
const std::string kUpperDigest = "sha256:" + std::string(63, 'a') + "A";
const std::string kUnknownUuid = "00000000-0000-0000-0000-000000000000";
const std::string kUpperUuid = "0000000A-0000-0000-0000-000000000000";

struct Call {
    const char *name;
    std::function<int64_t()> run;
    std::string message;
};

// The kind every message of the blob operations comes with; endpoints choose the status from it.
reg_error_kind kind_of_message(const std::string &message) {
    const std::pair<const char *, reg_error_kind> kinds[] = {
        {"out_upload_uuid is NULL", REG_ERR_ARGUMENT},
        {"upload_uuid/data is NULL", REG_ERR_ARGUMENT},
        {"upload_uuid is NULL", REG_ERR_ARGUMENT},
        {"digest is NULL", REG_ERR_ARGUMENT},
        {"NULL argument", REG_ERR_ARGUMENT},
        {"path buffer too small", REG_ERR_ARGUMENT},
        {"not initialized", REG_ERR_NOT_READY},
        {"invalid upload uuid", REG_ERR_UPLOAD_INVALID},
        {"invalid expected digest", REG_ERR_DIGEST_INVALID},
        {"invalid digest", REG_ERR_DIGEST_INVALID},
        {"upload not found: ", REG_ERR_NOT_FOUND},
        {"blob not found: ", REG_ERR_NOT_FOUND},
        {"digest mismatch: ", REG_ERR_DIGEST_MISMATCH},
        {"rename to CAS failed: ", REG_ERR_IO},
        {"mkdirs blob dir failed", REG_ERR_IO},
        {"hashing upload failed", REG_ERR_IO},
        {"write error appending chunk", REG_ERR_IO},
        {"cancel failed", REG_ERR_IO},
        {"remove failed", REG_ERR_IO},
        {"the registry's storage is full (", REG_ERR_NO_SPACE},
    };
    for (const auto &[prefix, kind] : kinds)
        if (message.rfind(prefix, 0) == 0) return kind;
    ADD_FAILURE() << "no kind known for " << message;
    return REG_OK;
}

void expect_failures(const std::vector<Call> &calls) {
    for (const Call &c : calls) {
        SCOPED_TRACE(c.name);
        reg_internal::set_error(REG_ERR_IO, "%s", "stale");
        EXPECT_EQ(c.run(), -1);
        EXPECT_EQ(std::string(reg_storage_last_error()), c.message);
        EXPECT_EQ(reg_storage_last_error_kind(), kind_of_message(c.message));
    }
}

TEST_F(BlobTest, ArgumentAndFormFailures) {
    char out[REG_DIGEST_SIZE];
    char path[4096];
    const char *ok_uuid = kUnknownUuid.c_str();
    const char *d = kUnknownDigest.c_str();
    expect_failures({
        {"start null", [] { return reg_blob_start_upload(nullptr); }, "out_upload_uuid is NULL"},
        {"append null uuid", [] { return reg_blob_append_chunk(nullptr, "x", 1); },
         "upload_uuid/data is NULL"},
        {"append null data", [=] { return reg_blob_append_chunk(ok_uuid, nullptr, 1); },
         "upload_uuid/data is NULL"},
        {"append null data, no bytes", [=] { return reg_blob_append_chunk(ok_uuid, nullptr, 0); },
         "upload_uuid/data is NULL"},
        {"append upper-case uuid", [] { return reg_blob_append_chunk(kUpperUuid.c_str(), "x", 1); },
         "invalid upload uuid"},
        {"append short uuid", [] { return reg_blob_append_chunk("0000", "x", 1); },
         "invalid upload uuid"},
        {"append unknown upload", [=] { return reg_blob_append_chunk(ok_uuid, "x", 1); },
         "upload not found: " + kUnknownUuid},
        {"finish null uuid", [&] { return reg_blob_finish_upload(nullptr, d, out); }, "NULL argument"},
        {"finish null digest", [&] { return reg_blob_finish_upload(ok_uuid, nullptr, out); },
         "NULL argument"},
        {"finish null out", [&] { return reg_blob_finish_upload(ok_uuid, d, nullptr); },
         "NULL argument"},
        {"finish upper-case uuid",
         [&] { return reg_blob_finish_upload(kUpperUuid.c_str(), d, out); }, "invalid upload uuid"},
        {"finish upper-case digest",
         [&] { return reg_blob_finish_upload(ok_uuid, kUpperDigest.c_str(), out); },
         "invalid expected digest"},
        {"finish unknown upload", [&] { return reg_blob_finish_upload(ok_uuid, d, out); },
         "upload not found: " + kUnknownUuid},
        {"cancel null", [] { return reg_blob_cancel_upload(nullptr); }, "upload_uuid is NULL"},
        {"cancel upper-case uuid", [] { return reg_blob_cancel_upload(kUpperUuid.c_str()); },
         "invalid upload uuid"},
        {"exists null", [] { return reg_blob_exists(nullptr); }, "digest is NULL"},
        {"exists upper-case", [] { return reg_blob_exists(kUpperDigest.c_str()); }, "invalid digest"},
        {"size null", [] { return reg_blob_get_size(nullptr); }, "digest is NULL"},
        {"size upper-case", [] { return reg_blob_get_size(kUpperDigest.c_str()); }, "invalid digest"},
        {"filepath null digest", [&] { return reg_blob_get_filepath(nullptr, path, sizeof path); },
         "NULL argument"},
        {"filepath null out", [&] { return reg_blob_get_filepath(d, nullptr, sizeof path); },
         "NULL argument"},
        {"filepath size 0", [&] { return reg_blob_get_filepath(d, path, 0); }, "NULL argument"},
        {"filepath upper-case",
         [&] { return reg_blob_get_filepath(kUpperDigest.c_str(), path, sizeof path); },
         "invalid digest"},
        {"filepath not stored", [&] { return reg_blob_get_filepath(d, path, sizeof path); },
         "blob not found: " + kUnknownDigest},
        {"delete null", [] { return reg_blob_delete(nullptr); }, "digest is NULL"},
        {"delete upper-case", [] { return reg_blob_delete(kUpperDigest.c_str()); }, "invalid digest"},
        {"delete not stored", [=] { return reg_blob_delete(d); }, "blob not found: " + kUnknownDigest},
    });
    EXPECT_TRUE(fs::is_empty(uploads()));  // no failure created an upload file
}

// Before initialisation every operation refuses, after its null tests.
TEST_F(BlobTest, NothingRunsBeforeInitialisation) {
    reg_storage_cleanup();
    const std::string not_ready = "not initialized - call reg_storage_init first";
    char uuid[37];
    char out[REG_DIGEST_SIZE];
    char path[4096];
    const char *u = kUnknownUuid.c_str();
    const char *d = kAbcDigest.c_str();
    expect_failures({
        {"start null", [] { return reg_blob_start_upload(nullptr); }, "out_upload_uuid is NULL"},
        {"start", [&] { return reg_blob_start_upload(uuid); }, not_ready},
        {"append null", [] { return reg_blob_append_chunk(nullptr, "x", 1); },
         "upload_uuid/data is NULL"},
        {"append bad uuid", [] { return reg_blob_append_chunk("bad", "x", 1); }, not_ready},
        {"finish null", [&] { return reg_blob_finish_upload(u, d, nullptr); }, "NULL argument"},
        {"finish", [&] { return reg_blob_finish_upload(u, "bad", out); }, not_ready},
        {"cancel null", [] { return reg_blob_cancel_upload(nullptr); }, "upload_uuid is NULL"},
        {"cancel", [=] { return reg_blob_cancel_upload(u); }, not_ready},
        {"exists null", [] { return reg_blob_exists(nullptr); }, "digest is NULL"},
        {"exists", [=] { return reg_blob_exists(d); }, not_ready},
        {"size", [=] { return reg_blob_get_size(d); }, not_ready},
        {"filepath size 0", [&] { return reg_blob_get_filepath(d, path, 0); }, "NULL argument"},
        {"filepath", [&] { return reg_blob_get_filepath(d, path, sizeof path); }, not_ready},
        {"delete", [=] { return reg_blob_delete(d); }, not_ready},
    });
}

TEST_F(BlobTest, QueriesOfAbsentAndPresentBlobs) {
    EXPECT_EQ(reg_blob_exists(kAbcDigest.c_str()), 0);
    reg_internal::set_error(REG_ERR_IO, "%s", "earlier failure");
    EXPECT_EQ(reg_blob_get_size(kAbcDigest.c_str()), -1);
    EXPECT_EQ(last_error(), "earlier failure");

    store(kAbc);
    EXPECT_EQ(reg_blob_exists(kAbcDigest.c_str()), 1);
    EXPECT_EQ(reg_blob_get_size(kAbcDigest.c_str()), 3);

    // A directory where the blob belongs is no blob.
    const std::string other = digest_of("other");
    fs::create_directories(blob_file(other));
    EXPECT_EQ(reg_blob_exists(other.c_str()), 0);
}

TEST_F(BlobTest, FilePathAtTheBufferBoundary) {
    store(kAbc);
    char expected[4096];
    reg_internal::blob_path_for_digest(kAbcDigest.c_str(), expected, sizeof expected);
    const size_t len = std::strlen(expected);
    EXPECT_TRUE(fs::equivalent(expected, blob_file(kAbcDigest)));

    std::string buf(len + 8, '#');
    ASSERT_EQ(reg_blob_get_filepath(kAbcDigest.c_str(), buf.data(), len), -1);
    EXPECT_EQ(last_error(), "path buffer too small");
    EXPECT_EQ(buf, std::string(len + 8, '#'));  // untouched

    ASSERT_EQ(reg_blob_get_filepath(kAbcDigest.c_str(), buf.data(), len + 1), 0);
    EXPECT_EQ(std::string(buf.c_str()), expected);
    EXPECT_EQ(buf[len + 1], '#');
}

// Finds two contents whose digests share their first two digits.
std::pair<std::string, std::string> same_fanout_pair() {
    std::map<std::string, std::string> seen;
    for (int i = 0;; ++i) {
        const std::string data = "content " + std::to_string(i);
        const std::string hh = hex_of(data).substr(0, 2);
        auto [it, fresh] = seen.emplace(hh, data);
        if (!fresh) return {it->second, data};
    }
}

TEST_F(BlobTest, FanoutDirectoryGoesOnlyWhenEmpty) {
    const auto [a, b] = same_fanout_pair();
    const std::string da = store(a), db = store(b);
    ASSERT_EQ(fanout(da), fanout(db));
    ASSERT_EQ(reg_blob_delete(da.c_str()), 0);
    EXPECT_TRUE(fs::is_directory(fanout(db)));
    EXPECT_EQ(bvtest::read_all(blob_file(db)), b);
    ASSERT_EQ(reg_blob_delete(db.c_str()), 0);
    EXPECT_FALSE(fs::exists(fanout(db)));
    EXPECT_TRUE(fs::is_directory(root_.path() / "blobs" / "sha256"));
}

// Failures that come from the state of the tree. The upload stays open after each.
TEST_F(BlobTest, FinishFailuresKeepTheUpload) {
    char out[REG_DIGEST_SIZE] = {};
    char blob_path[4096];
    reg_internal::blob_path_for_digest(kAbcDigest.c_str(), blob_path, sizeof blob_path);

    // A file where the fan-out directory belongs: the directory "exists", the move fails.
    std::string uuid = open_upload(kAbc);
    bvtest::write_all(fanout(kAbcDigest), "in the way");
    EXPECT_EQ(reg_blob_finish_upload(uuid.c_str(), kAbcDigest.c_str(), out), -1);
    EXPECT_EQ(last_error(), "rename to CAS failed: " + kAbcDigest);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_IO);
    EXPECT_EQ(bvtest::read_all(upload_file(uuid)), kAbc);
    fs::remove(fanout(kAbcDigest));

    // A file where the directory of all fan-out directories belongs.
    const fs::path sha_dir = root_.path() / "blobs" / "sha256";
    fs::remove_all(sha_dir);
    bvtest::write_all(sha_dir, "in the way");
    EXPECT_EQ(reg_blob_finish_upload(uuid.c_str(), kAbcDigest.c_str(), out), -1);
    EXPECT_EQ(last_error(), "mkdirs blob dir failed");
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_IO);
    EXPECT_EQ(bvtest::read_all(upload_file(uuid)), kAbc);
    fs::remove(sha_dir);
    fs::create_directory(sha_dir);

    EXPECT_EQ(out[0], '\0');
    ASSERT_EQ(reg_blob_finish_upload(uuid.c_str(), kAbcDigest.c_str(), out), 0) << last_error();
    EXPECT_EQ(bvtest::read_all(blob_file(kAbcDigest)), kAbc);
}

// Read and write failures need special files; where the system has none, the test is skipped.
TEST_F(BlobTest, ReadAndWriteFailuresOfTheUploadFile) {
    if (bv_platform::path_sep != '/') GTEST_SKIP() << "needs the special files of Unix";
    std::error_code ec;
    const std::string uuid = open_upload("");
    fs::remove(upload_file(uuid));
    // Opens like a file, but reading at offset 0 fails.
    fs::create_symlink("/proc/self/mem", upload_file(uuid), ec);
    if (ec || !fs::exists("/proc/self/mem")) GTEST_SKIP() << "no /proc/self/mem here";
    char out[REG_DIGEST_SIZE];
    EXPECT_EQ(reg_blob_finish_upload(uuid.c_str(), kAbcDigest.c_str(), out), -1);
    EXPECT_EQ(last_error(), "hashing upload failed");
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_IO);
    EXPECT_TRUE(fs::is_symlink(upload_file(uuid))) << "the claimed upload came back";

    // Every write fails with "no space left", and the cut back after it with an error of its
    // own (a device has no size to cut): the client hears of the first.
    fs::remove(upload_file(uuid));
    fs::create_symlink("/dev/full", upload_file(uuid), ec);
    if (ec || !fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    const std::string full = "the registry's storage is full (write error appending chunk)";
    EXPECT_EQ(reg_blob_append_chunk(uuid.c_str(), "abc", 3), -1);
    EXPECT_EQ(last_error(), full);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NO_SPACE);
    struct Abc {
        static long read(void *, void *buf, size_t cap) {
            if (cap < 3) return -1;
            std::memcpy(buf, "abc", 3);
            return 3;
        }
    };
    int64_t size = -7;
    EXPECT_EQ(reg_blob_append_stream(uuid.c_str(), Abc::read, nullptr, 3, 0, &size), -1);
    EXPECT_EQ(last_error(), full);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NO_SPACE);
    EXPECT_EQ(size, 0);
    fs::remove(upload_file(uuid));
}

// A disk that fills part-way through a streamed append, after its first megabyte reached the
// file (the hook stands in for it on every system): the upload is cut back to what it held, its
// hash state stays right, and the same body appends once there is room again.
TEST_F(BlobTest, AnAppendThatRunsOutOfSpaceLeavesTheUploadAsItWas) {
    static int writes_left;
    struct Body {
        const std::string *data;
        size_t at;
        static long read(void *ctx, void *buf, size_t cap) {
            Body *b = static_cast<Body *>(ctx);
            const size_t n = std::min(cap, b->data->size() - b->at);
            std::memcpy(buf, b->data->data() + b->at, n);
            b->at += n;
            return static_cast<long>(n);
        }
    };
    const std::string big(1500 * 1024, 'z');  // two writes of the stream buffer
    const std::string uuid = open_upload(kAbc);
    const auto append = [&] {
        Body body{&big, 0};
        return reg_blob_append_stream(uuid.c_str(), Body::read, &body, int64_t(big.size()), 3, nullptr);
    };
    writes_left = 1;
    reg_internal::s_append_hook = [](size_t) {
        if (writes_left-- > 0) return true;
        errno = ENOSPC;
        return false;
    };
    EXPECT_EQ(append(), -1);
    reg_internal::s_append_hook = nullptr;
    EXPECT_EQ(last_error(), "the registry's storage is full (write error appending chunk)");
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NO_SPACE);
    EXPECT_EQ(bvtest::read_all(upload_file(uuid)), kAbc);
    ASSERT_EQ(append(), 0) << last_error();
    char out[REG_DIGEST_SIZE] = {};
    EXPECT_EQ(reg_blob_finish_upload(uuid.c_str(), digest_of(kAbc + big).c_str(), out), 0) << last_error();
}

// Files that cannot be removed: on Windows a file held open, elsewhere a file in a directory
// that may not be written. Where the system removes them anyway (the superuser ignores the
// permissions), the operation must really have removed the file, and the test ends there.
TEST_F(BlobTest, RemovalFailures) {
    const std::string digest = store(kAbc);
    const std::string uuid = open_upload(kAbc);
    std::FILE *held_upload = std::fopen(upload_file(uuid).string().c_str(), "rb");
    std::FILE *held_blob = std::fopen(blob_file(digest).string().c_str(), "rb");
    ASSERT_TRUE(held_upload && held_blob);
    const auto locked = fs::perms::owner_read | fs::perms::owner_exec;
    fs::permissions(uploads(), locked);
    fs::permissions(fanout(digest), locked);

    const int cancel_rc = reg_blob_cancel_upload(uuid.c_str());
    const std::string cancel_msg = last_error();
    const int delete_rc = reg_blob_delete(digest.c_str());
    const std::string delete_msg = last_error();

    std::fclose(held_upload);
    std::fclose(held_blob);
    fs::permissions(uploads(), fs::perms::owner_all);
    if (fs::exists(fanout(digest))) fs::permissions(fanout(digest), fs::perms::owner_all);

    EXPECT_EQ(cancel_rc == 0, !fs::exists(upload_file(uuid)));
    EXPECT_EQ(delete_rc == 0, !fs::exists(blob_file(digest)));
    if (cancel_rc == 0 && delete_rc == 0) GTEST_SKIP() << "this system removed both files";
    EXPECT_EQ(cancel_rc, -1);
    EXPECT_EQ(cancel_msg, "cancel failed");
    EXPECT_EQ(delete_rc, -1);
    EXPECT_EQ(delete_msg, "remove failed");
    EXPECT_EQ(reg_blob_exists(digest.c_str()), 1);
}

}  // namespace
