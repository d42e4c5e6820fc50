// Uploads from start to finish: the life of one upload, the state of an upload after each
// operation, uploads bound to their repository, stored content uploaded again, and the creation
// of upload files under clashing names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "blob_fixture.h"
#include "storage/storage_internal.h"

namespace {

using namespace blobtest;

const std::string kAbc = "abc";
const std::string kAbcDigest =
    "sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kEmptyDigest =
    "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

TEST_F(BlobTest, LifeOfOneUpload) {
    ASSERT_EQ(digest_of(kAbc), kAbcDigest);
    char uuid[37] = {};
    ASSERT_EQ(reg_blob_start_upload(uuid), 0);
    EXPECT_EQ(std::strlen(uuid), 36u);
    EXPECT_TRUE(fs::is_regular_file(upload_file(uuid)));
    EXPECT_EQ(fs::file_size(upload_file(uuid)), 0u);

    ASSERT_EQ(reg_blob_append_chunk(uuid, "ab", 2), 0);
    ASSERT_EQ(reg_blob_append_chunk(uuid, "c", 1), 0);
    EXPECT_EQ(bvtest::read_all(upload_file(uuid)), "abc");

    char out[REG_DIGEST_SIZE] = {};
    ASSERT_EQ(reg_blob_finish_upload(uuid, kAbcDigest.c_str(), out), 0) << last_error();
    EXPECT_EQ(std::string(out), kAbcDigest);
    EXPECT_FALSE(fs::exists(upload_file(uuid)));
    EXPECT_EQ(bvtest::read_all(blob_file(kAbcDigest)), "abc");

    EXPECT_EQ(reg_blob_exists(kAbcDigest.c_str()), 1);
    EXPECT_EQ(reg_blob_get_size(kAbcDigest.c_str()), 3);
    char path[4096];
    ASSERT_EQ(reg_blob_get_filepath(kAbcDigest.c_str(), path, sizeof path), 0);
    EXPECT_TRUE(fs::equivalent(path, blob_file(kAbcDigest)));

    ASSERT_EQ(reg_blob_delete(kAbcDigest.c_str()), 0);
    EXPECT_EQ(reg_blob_exists(kAbcDigest.c_str()), 0);
    EXPECT_FALSE(fs::exists(fanout(kAbcDigest)));
    EXPECT_TRUE(fs::is_empty(uploads()));
}

TEST_F(BlobTest, EmptyUploadStoresAnEmptyBlob) {
    const std::string uuid = open_upload("");
    char nothing = 0;
    ASSERT_EQ(reg_blob_append_chunk(uuid.c_str(), &nothing, 0), 0);
    EXPECT_EQ(fs::file_size(upload_file(uuid)), 0u);
    char out[REG_DIGEST_SIZE] = {};
    ASSERT_EQ(reg_blob_finish_upload(uuid.c_str(), kEmptyDigest.c_str(), out), 0) << last_error();
    EXPECT_EQ(reg_blob_exists(kEmptyDigest.c_str()), 1);
    EXPECT_EQ(reg_blob_get_size(kEmptyDigest.c_str()), 0);
}

TEST_F(BlobTest, ChunksLandInOrderAndBinaryBytesPassUnchanged) {
    std::string data;
    for (int i = 0; i < 3000; ++i) data.push_back(static_cast<char>(i * 37 % 256));
    data += "\r\n\x1a\n";
    const std::string uuid = open_upload("");
    for (size_t at = 0; at < data.size(); at += 777) {
        const size_t n = std::min<size_t>(777, data.size() - at);
        ASSERT_EQ(reg_blob_append_chunk(uuid.c_str(), data.data() + at, n), 0);
    }
    const std::string digest = digest_of(data);
    char out[REG_DIGEST_SIZE] = {};
    ASSERT_EQ(reg_blob_finish_upload(uuid.c_str(), digest.c_str(), out), 0) << last_error();
    EXPECT_EQ(bvtest::read_all(blob_file(digest)), data);
}

TEST_F(BlobTest, StoredContentUploadedAgainLeavesTheBlobUntouched) {
    store(kAbc);
    // A marker in the blob file shows whether the second finish wrote to it.
    bvtest::write_all(blob_file(kAbcDigest), "marker");
    const std::string uuid = open_upload(kAbc);
    char out[REG_DIGEST_SIZE] = {};
    ASSERT_EQ(reg_blob_finish_upload(uuid.c_str(), kAbcDigest.c_str(), out), 0) << last_error();
    EXPECT_EQ(std::string(out), kAbcDigest);
    EXPECT_FALSE(fs::exists(upload_file(uuid)));
    EXPECT_EQ(bvtest::read_all(blob_file(kAbcDigest)), "marker");
}

// What each operation does to an upload that has been finished, cancelled or dropped.
TEST_F(BlobTest, UploadsThatAreGoneStayGone) {
    struct Case {
        const char *name;
        std::function<void(const std::string &uuid)> end;  // takes the upload away
    };
    const std::vector<Case> cases = {
        {"finished",
         [](const std::string &uuid) {
             char out[REG_DIGEST_SIZE];
             ASSERT_EQ(reg_blob_finish_upload(uuid.c_str(), kAbcDigest.c_str(), out), 0);
         }},
        {"cancelled",
         [](const std::string &uuid) { ASSERT_EQ(reg_blob_cancel_upload(uuid.c_str()), 0); }},
        {"mismatched",
         [&](const std::string &uuid) {
             char out[REG_DIGEST_SIZE] = {};
             ASSERT_EQ(reg_blob_finish_upload(uuid.c_str(), kEmptyDigest.c_str(), out), -1);
             EXPECT_EQ(last_error(), "digest mismatch: expected " + kEmptyDigest + ", got " +
                                         kAbcDigest);
             EXPECT_EQ(out[0], '\0');
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string uuid = open_upload(kAbc);
        c.end(uuid);
        EXPECT_FALSE(fs::exists(upload_file(uuid)));

        EXPECT_EQ(reg_blob_append_chunk(uuid.c_str(), "x", 1), -1);
        EXPECT_EQ(last_error(), "upload not found: " + uuid);
        EXPECT_FALSE(fs::exists(upload_file(uuid)));  // the append created nothing

        char out[REG_DIGEST_SIZE];
        EXPECT_EQ(reg_blob_finish_upload(uuid.c_str(), kAbcDigest.c_str(), out), -1);
        EXPECT_EQ(last_error(), "upload not found: " + uuid);

        EXPECT_EQ(reg_blob_cancel_upload(uuid.c_str()), 0);
        EXPECT_EQ(reg_blob_cancel_upload(uuid.c_str()), 0);
        if (reg_blob_exists(kAbcDigest.c_str()) == 1) {
            ASSERT_EQ(reg_blob_delete(kAbcDigest.c_str()), 0);
        }
    }
}

// The owner record is compared whole, with '\' as '/': a prefix, a longer name or another
// case is another repository, and an upload without a record (started unbound) is no one's.
TEST_F(BlobTest, BoundCallsFindOnlyTheirRepositorysUploads) {
    char owned[37] = {};
    ASSERT_EQ(reg_upload_start("team/app", owned), 0) << last_error();
    const std::string unowned = open_upload(kAbc);
    const struct {
        const char *repo;
        const std::string uuid;
        int64_t size;
    } cases[] = {{"team/app", owned, 0},     {"team\\app", owned, 0}, {"team/ap", owned, -1},
                 {"team/app/x", owned, -1}, {"Team/app", owned, -1},  {"team/app", unowned, -1}};
    for (const auto &c : cases) {
        EXPECT_EQ(reg_upload_size(c.repo, c.uuid.c_str()), c.size) << c.repo << " " << c.uuid;
        if (c.size < 0) {
            EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NOT_FOUND) << c.repo;
            EXPECT_EQ(reg_upload_cancel(c.repo, c.uuid.c_str()), -1) << c.repo;
        }
    }
    EXPECT_EQ(fs::file_size(upload_file(unowned)), 3u);
    EXPECT_EQ(reg_upload_cancel("team\\app", owned), 0) << last_error();
    for (const auto &e : fs::directory_iterator(uploads()))  // nothing of it stays
        EXPECT_NE(e.path().filename().string().rfind(owned, 0), 0u) << e.path();
}

// A finish refused before the hash leaves the upload open, to be finished properly later.
TEST_F(BlobTest, RefusedFinishKeepsTheUploadOpen) {
    const std::string uuid = open_upload(kAbc);
    const std::vector<std::string> refused = {
        "sha256:BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD",
        kAbcDigest.substr(0, 70),
        kAbcDigest + "\n",
        "sha512:" + kAbcDigest.substr(7),
    };
    for (const std::string &d : refused) {
        char out[REG_DIGEST_SIZE] = {};
        EXPECT_EQ(reg_blob_finish_upload(uuid.c_str(), d.c_str(), out), -1) << d;
        EXPECT_EQ(last_error(), "invalid expected digest");
    }
    EXPECT_EQ(bvtest::read_all(upload_file(uuid)), kAbc);
    char out[REG_DIGEST_SIZE];
    EXPECT_EQ(reg_blob_finish_upload(uuid.c_str(), kAbcDigest.c_str(), out), 0) << last_error();
}

// A name that is taken is never emptied: the start moves on to the next identifier, and
// gives up after a bounded number of clashes. A failing random source makes no identifier.
TEST_F(BlobTest, StartNeverReusesAnExistingUploadFile) {
    int next = 0;
    std::vector<std::string> ids;
    {
        RandomScript script(counting_source(&next));
        for (int i = 0; i < 64; ++i) {
            char id[37];
            ASSERT_EQ(reg_internal::uuid_make(id), 0);
            ids.push_back(id);
        }
    }
    EXPECT_EQ(ids[1], "01010101-0101-0101-0101-010101010101");

    for (int i = 0; i < 2; ++i) bvtest::write_all(upload_file(ids[i]), "keep");
    next = 0;
    char uuid[37] = {};
    {
        RandomScript script(counting_source(&next));
        ASSERT_EQ(reg_blob_start_upload(uuid), 0) << last_error();
    }
    EXPECT_EQ(std::string(uuid), ids[2]);
    EXPECT_EQ(fs::file_size(upload_file(ids[2])), 0u);

    for (const std::string &id : ids) bvtest::write_all(upload_file(id), "keep");
    next = 0;
    {
        RandomScript script(counting_source(&next));
        ASSERT_EQ(reg_blob_start_upload(uuid), -1);
    }
    EXPECT_EQ(last_error(), "cannot create upload file");
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_IO);
    for (const std::string &id : ids) EXPECT_EQ(bvtest::read_all(upload_file(id)), "keep");

    fs::remove_all(uploads());
    fs::create_directory(uploads());
    {
        RandomScript script([](unsigned char *, size_t) { return false; });
        ASSERT_EQ(reg_blob_start_upload(uuid), -1);
    }
    EXPECT_EQ(last_error(), "no random source for upload identifiers");
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_IO);
    EXPECT_TRUE(fs::is_empty(uploads()));
}

// A tree that lost its uploads folder gets it back with the next upload, one level only: below
// a root that went away nothing is made, and the start fails.
TEST_F(BlobTest, StartFailsWithoutTheUploadsDirectory) {
    fs::remove_all(uploads());
    char uuid[37] = {};
    ASSERT_EQ(reg_blob_start_upload(uuid), 0) << last_error();
    EXPECT_TRUE(fs::is_regular_file(upload_file(uuid)));
    fs::remove_all(root_.path());
    ASSERT_EQ(reg_blob_start_upload(uuid), -1);
    EXPECT_EQ(std::string(uuid).size(), 36u);  // the identifier stays in the buffer
    EXPECT_EQ(last_error(), "cannot create upload file");
    EXPECT_FALSE(fs::exists(root_.path()));
}

}  // namespace
