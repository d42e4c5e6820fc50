// The tag list document: which directory entries count as tags, their bytewise order, the
// escaping of names placed on disk by hand, and the failures with their messages.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "listing_store.h"
#include "storage/storage_internal.h"

namespace {

using listing_test::fs::path;
using listing_test::Store;

std::string tags_json(const char *repo) {
    const char *doc = reg_tags_list_json(repo);
    return doc ? doc : std::string("null: ") + reg_storage_last_error();
}

TEST(ListingTags, NullNameIsReportedBeforeReadiness) {
    reg_storage_cleanup();
    EXPECT_EQ(reg_tags_list_json(nullptr), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "repo_name is NULL");
    EXPECT_EQ(reg_tags_list_json("alpine"), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
}

TEST(ListingTags, RejectedNamesLeaveTheResultAlone) {
    Store store;
    std::strcpy(reg_internal::s_result, "previous");
    const std::string names[] = {"", "a b", "a:b", "a..b", "..", "/a", "a/", "a//b",
                                 "a/./b", "\xc3\xa9", std::string(256, 'a')};
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(reg_tags_list_json(name.c_str()), nullptr);
        EXPECT_STREQ(reg_storage_last_error(), "invalid repository name");
    }
    EXPECT_STREQ(reg_internal::s_result, "previous");
    EXPECT_EQ(tags_json(std::string(255, 'a').c_str()),
              "{\"name\":\"" + std::string(255, 'a') + "\",\"tags\":[]}");
}

TEST(ListingTags, WhichEntriesAreTags) {
    Store store;
    ASSERT_TRUE(store.tag("alpine", "valid"));
    ASSERT_TRUE(store.tag("alpine", "empty-link", ""));
    ASSERT_TRUE(store.tag("alpine", "garbage-link", "not a digest\n"));
    ASSERT_TRUE(Store::make_dir(store.tag_dir("alpine", "no-link") / "current"));
    ASSERT_TRUE(Store::make_dir(store.tag_dir("alpine", "link-is-dir") / "current" / "link"));
    ASSERT_TRUE(Store::make_dir(store.tag_dir("alpine", "no-current")));
    bvtest::write_all(store.tag_dir("alpine", "plain-file"), listing_test::kDigest);
    EXPECT_EQ(tags_json("alpine"),
              "{\"name\":\"alpine\",\"tags\":[\"empty-link\",\"garbage-link\",\"valid\"]}");
}

TEST(ListingTags, Documents) {
    Store store;
    for (const char *t : {"latest", "Latest", "1.9", "1.10"}) ASSERT_TRUE(store.tag("sorted", t));
    // Where names fold case, Latest is the directory latest and cannot be a tag of its own.
    const bool folds = listing_test::fs::equivalent(store.tag_dir("sorted", "latest"),
                                                    store.tag_dir("sorted", "Latest"));
    ASSERT_TRUE(store.tag("library/ubuntu", "22.04"));
    ASSERT_TRUE(store.tag("library", "own"));
    ASSERT_TRUE(store.tag("single", "only"));
    ASSERT_TRUE(Store::make_dir(store.repo("untagged") / "_manifests"));
    struct Case {
        const char *repo;
        std::string doc;
    } cases[] = {
        {"sorted", folds ? R"({"name":"sorted","tags":["1.10","1.9","latest"]})"
                         : R"({"name":"sorted","tags":["1.10","1.9","Latest","latest"]})"},
        {"single", R"({"name":"single","tags":["only"]})"},
        {"untagged", R"({"name":"untagged","tags":[]})"},
        {"missing", R"({"name":"missing","tags":[]})"},
        // A nested repository is found by its full name; its parent sees only its own tags.
        {"library/ubuntu", R"({"name":"library/ubuntu","tags":["22.04"]})"},
        {"library", R"({"name":"library","tags":["own"]})"},
        // A backslash separates components as '/' does, and the name is echoed as passed.
        {"library\\ubuntu", R"({"name":"library\\ubuntu","tags":["22.04"]})"},
        {"-._", R"({"name":"-._","tags":[]})"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.repo);
        EXPECT_EQ(tags_json(c.repo), c.doc);
    }
}

TEST(ListingTags, NamesOnDiskAreEscaped) {
    Store store;
    struct Case {
        std::string tag;
        std::string json;
    } cases[] = {  // in the bytewise order of the raw names
        {"back\\slash", "back\\\\slash"},
        {std::string("ctl\x01") + "\x1b\x1f", "ctl\\u0001\\u001b\\u001f"},
        {"del\x7f-\xc3\xa9", "del\x7f-\xc3\xa9"},
        {"nl\ncr\rff\fbs\b", "nl\\ncr\\rff\\fbs\\b"},
        {"quote\"d", "quote\\\"d"},
        {"tab\there", "tab\\there"},
    };
    std::string expected = R"({"name":"odd","tags":[)";
    bool first = true;
    for (const Case &c : cases) {
        // Such names cannot exist on some file systems; those cases cannot arise there.
        if (!store.tag("odd", c.tag)) continue;
        expected += (first ? "\"" : ",\"") + c.json + "\"";
        first = false;
    }
    if (first) GTEST_SKIP() << "the file system accepts none of the names";
    EXPECT_EQ(tags_json("odd"), expected + "]}");
}

TEST(ListingTags, FailedNameCopyFailsTheCall) {
    Store store;
    ASSERT_TRUE(store.tag("alpine", "a"));
    ASSERT_TRUE(store.tag("alpine", "b"));
    std::strcpy(reg_internal::s_result, "previous");
    static int calls;
    calls = 0;
    reg_internal::s_name_copy = [](const char *text) -> char * {
        return ++calls == 2 ? nullptr : reg_internal::xstrdup(text);
    };
    const char *doc = reg_tags_list_json("alpine");
    reg_internal::s_name_copy = reg_internal::xstrdup;
    EXPECT_EQ(doc, nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "out of memory");
    EXPECT_STREQ(reg_internal::s_result, "previous");
    EXPECT_EQ(tags_json("alpine"), R"({"name":"alpine","tags":["a","b"]})");
}

// Tags stored through the manifest store are the ones the listings and statistics find.
TEST(ListingTags, SeesWhatTheManifestStoreWrites) {
    Store store;
    const std::string body =
        "{\"config\":{\"digest\":\"" + listing_test::kDigest + "\"},\"layers\":[]}";
    char digest[72];
    for (const auto &[repo, tag] : {std::pair{"alpine", "3.19"}, std::pair{"alpine", "latest"},
                                    std::pair{"library/ubuntu", "22.04"}})
        ASSERT_EQ(reg_manifest_put(repo, tag, body.data(), body.size(), nullptr, digest), 0)
            << reg_storage_last_error();
    EXPECT_EQ(tags_json("alpine"), R"({"name":"alpine","tags":["3.19","latest"]})");
    EXPECT_EQ(tags_json("library/ubuntu"), R"({"name":"library/ubuntu","tags":["22.04"]})");
    ASSERT_EQ(reg_manifest_delete("alpine", "latest"), 0) << reg_storage_last_error();
    EXPECT_EQ(tags_json("alpine"), R"({"name":"alpine","tags":["3.19"]})");
    EXPECT_STREQ(reg_catalog_json(0, nullptr), R"({"repositories":["alpine","library"]})");
    EXPECT_STREQ(reg_storage_get_stats_json(),
                 "{\"version\":\"1.0.0\",\"repositories\":2,\"tags\":1,\"blobs\":0,"
                 "\"blob_bytes\":0,\"active_uploads\":0,\"upload_bytes\":0}");
}

}  // namespace
