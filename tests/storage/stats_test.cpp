// Storage statistics: the document of a fresh store, what the walks count and what they pass
// over (files in the wrong places, unreadable links, directories that are no repositories),
// nested repositories, directories past any listing size, missing directories, and byte
// totals past 32 bits.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <system_error>

#include "listing_store.h"
#include "platform/bv_platform.h"
#include "storage/storage_internal.h"

namespace {

namespace fs = listing_test::fs;
using listing_test::Store;

std::string stats() {
    const char *doc = reg_storage_get_stats_json();
    return doc ? doc : std::string("null: ") + reg_storage_last_error();
}

std::string doc(int repos, int tags, int blobs, long long blob_bytes, int uploads,
                long long upload_bytes) {
    return "{\"version\":\"1.0.0\",\"repositories\":" + std::to_string(repos) +
           ",\"tags\":" + std::to_string(tags) + ",\"blobs\":" + std::to_string(blobs) +
           ",\"blob_bytes\":" + std::to_string(blob_bytes) +
           ",\"active_uploads\":" + std::to_string(uploads) +
           ",\"upload_bytes\":" + std::to_string(upload_bytes) + "}";
}

const std::string kHex(64, 'a');

TEST(StorageStats, FreshStoreAndReadiness) {
    {
        Store store;
        EXPECT_EQ(stats(),
                  "{\"version\":\"1.0.0\",\"repositories\":0,\"tags\":0,\"blobs\":0,"
                  "\"blob_bytes\":0,\"active_uploads\":0,\"upload_bytes\":0}");
    }
    std::strcpy(reg_internal::s_result, "previous");
    EXPECT_EQ(reg_storage_get_stats_json(), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
    EXPECT_STREQ(reg_internal::s_result, "previous");
}

TEST(StorageStats, Blobs) {
    Store store;
    const fs::path aa = store.blobs() / "aa";
    ASSERT_TRUE(Store::make_dir(aa));
    ASSERT_TRUE(Store::make_dir(store.blobs() / "not-hex"));
    bvtest::write_all(aa / kHex, "0123456789");
    bvtest::write_all(aa / "empty", "");                      // 0 bytes: counted, adds nothing
    bvtest::write_all(store.blobs() / "not-hex" / "x", "abc");  // names are not checked
    bvtest::write_all(store.blobs() / "stray", "12345");      // directly in the blob directory
    ASSERT_TRUE(Store::make_dir(aa / "deeper"));
    bvtest::write_all(aa / "deeper" / "y", "1234567");        // inside a fan-out subdirectory
    bvtest::write_all(store.root() / "blobs" / "z", "1234");  // above the blob directory
    EXPECT_EQ(stats(), doc(0, 0, 3, 13, 0, 0));

    int count = -1;
    EXPECT_EQ(reg_internal::count_blobs(&count), 13);
    EXPECT_EQ(count, 3);
    fs::remove_all(store.blobs());
    count = -1;
    EXPECT_EQ(reg_internal::count_blobs(&count), 0);
    EXPECT_EQ(count, 0);  // stored also when nothing could be listed
}

TEST(StorageStats, BlobTotalsPast32Bits) {
    // Growing a file there may write every byte; the sums are the same code on every platform.
    if (bv_platform::path_sep == '\\') GTEST_SKIP() << "no cheap sparse files on Windows";
    Store store;
    ASSERT_TRUE(Store::make_dir(store.blobs() / "aa"));
    ASSERT_TRUE(Store::make_dir(store.blobs() / "bb"));
    // Sparse where the file system allows; sizes past 2^32 and their sum past 2^33.
    const long long big = (5LL << 30) + 3;
    const long long bigger = (3LL << 31) + 1;
    std::error_code ec;
    bvtest::write_all(store.blobs() / "aa" / kHex, "");
    bvtest::write_all(store.blobs() / "bb" / kHex, "");
    fs::resize_file(store.blobs() / "aa" / kHex, static_cast<uintmax_t>(big), ec);
    if (!ec) fs::resize_file(store.blobs() / "bb" / kHex, static_cast<uintmax_t>(bigger), ec);
    if (ec) GTEST_SKIP() << "cannot make a file past 4 GiB here: " << ec.message();
    EXPECT_EQ(stats(), doc(0, 0, 2, big + bigger, 0, 0));
}

TEST(StorageStats, Uploads) {
    Store store;
    bvtest::write_all(store.uploads() / "11111111-1111-1111-1111-111111111111.part", "0123456789");
    bvtest::write_all(store.uploads() / "22222222-2222-2222-2222-222222222222.part", "");
    bvtest::write_all(store.uploads() / "any-name", "abc");  // every file counts
    bvtest::write_all(store.uploads() / "11111111-1111-1111-1111-111111111111.repo", "app\n");  // its owner
    ASSERT_TRUE(Store::make_dir(store.uploads() / "subdir"));
    bvtest::write_all(store.uploads() / "subdir" / "x", "1234");
    EXPECT_EQ(stats(), doc(0, 0, 0, 0, 3, 13));

    fs::remove_all(store.uploads());
    int64_t bytes = -1;
    EXPECT_EQ(reg_internal::count_uploads(&bytes), 0);
    EXPECT_EQ(bytes, 0);
    EXPECT_EQ(stats(), doc(0, 0, 0, 0, 0, 0));
}

// Directories larger than any listing once held: every entry counts.
TEST(StorageStats, EveryEntryCounts) {
    Store store;
    const int n = 520;
    ASSERT_TRUE(Store::make_dir(store.blobs() / "ab"));
    for (int i = 0; i < n; ++i) {
        const std::string id = std::to_string(i);
        ASSERT_TRUE(store.tag("app", "t" + id));
        ASSERT_TRUE(store.repository("r" + id));
        bvtest::write_all(store.blobs() / "ab" / ("b" + id), "12");
        bvtest::write_all(store.uploads() / ("u" + id + ".part"), "123");
    }
    EXPECT_EQ(stats(), doc(n + 1, n, n, 2 * n, n, 3 * n));
}

TEST(StorageStats, RepositoriesAndTags) {
    struct Case {
        const char *what;
        void (*arrange)(const Store &);
        int repos;
        int tags;
    } cases[] = {
        {"tags with readable links, empty and garbage included",
         [](const Store &s) {
             ASSERT_TRUE(s.tag("alpine", "latest"));
             ASSERT_TRUE(s.tag("alpine", "empty", ""));
             ASSERT_TRUE(s.tag("busybox", "junk", "junk"));
         },
         2, 3},
        {"no link, link is a directory, plain file in the tags directory",
         [](const Store &s) {
             ASSERT_TRUE(s.tag("alpine", "latest"));
             ASSERT_TRUE(Store::make_dir(s.tag_dir("alpine", "no-link") / "current"));
             ASSERT_TRUE(Store::make_dir(s.tag_dir("alpine", "dir-link") / "current" / "link"));
             bvtest::write_all(s.tag_dir("alpine", "file"), listing_test::kDigest);
         },
         1, 1},
        {"nested repositories count as the catalog lists them, with their tags",
         [](const Store &s) {
             ASSERT_TRUE(s.tag("library/ubuntu", "22.04"));
             ASSERT_TRUE(s.tag("library/debian", "12"));
             ASSERT_TRUE(s.tag("library/debian", "11"));
         },
         2, 3},
        {"a repository inside another",
         [](const Store &s) {
             ASSERT_TRUE(s.tag("library/ubuntu", "22.04"));
             ASSERT_TRUE(s.tag("library", "own"));
         },
         2, 2},
        {"plain file, bare directory, blob links only, an engine directory, a tag no put makes",
         [](const Store &s) {
             bvtest::write_all(s.repos() / "plain-file", "x");
             ASSERT_TRUE(Store::make_dir(s.repo("bare")));
             ASSERT_TRUE(s.repository("blobs-only", true));
             ASSERT_TRUE(s.tag("_hidden", "t"));
             ASSERT_TRUE(s.tag("app", "-not-a-tag"));
         },
         2, 0},
        {"no repositories directory",
         [](const Store &s) { fs::remove_all(s.repos()); }, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Store store;
        c.arrange(store);
        EXPECT_EQ(stats(), doc(c.repos, c.tags, 0, 0, 0, 0));
        EXPECT_EQ(reg_internal::count_repos(), c.repos);
        EXPECT_EQ(reg_internal::count_tags(), c.tags);
    }
}

}  // namespace
