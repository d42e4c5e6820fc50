// The tag list document: which directory entries count as tags, their bytewise order, pages
// with their next name walked past any listing size, unknown repositories, and the failures
// with their messages.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

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
                                 "a/./b", "_a", "a/_manifests", "\xc3\xa9", std::string(256, 'a')};
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(reg_tags_list_json(name.c_str()), nullptr);
        EXPECT_STREQ(reg_storage_last_error(), "invalid repository name");
        EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NAME_INVALID);
    }
    EXPECT_STREQ(reg_internal::s_result, "previous");
    // The longest name passes the name check (and then names no repository).
    EXPECT_EQ(reg_tags_list_json(std::string(255, 'a').c_str()), nullptr);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NAME_UNKNOWN);
}

// A repository that does not exist has no tag list, not an empty one.
TEST(ListingTags, UnknownRepository) {
    Store store;
    ASSERT_TRUE(Store::make_dir(store.repo("bare")));
    ASSERT_TRUE(store.repository("library/ubuntu"));
    std::strcpy(reg_internal::s_result, "previous");
    for (const char *name : {"missing", "bare", "library"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(reg_tags_list_json(name), nullptr);
        EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NAME_UNKNOWN);
        char next[256] = "untouched";
        EXPECT_EQ(reg_tags_page_json(name, 10, nullptr, next), nullptr);
        EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NAME_UNKNOWN);
        EXPECT_EQ(std::string(reg_storage_last_error()), std::string("repository not found: ") + name);
    }
    EXPECT_STREQ(reg_internal::s_result, "previous");
    // Blob links alone make a repository.
    ASSERT_TRUE(store.repository("blobs-only", true));
    EXPECT_EQ(tags_json("blobs-only"), R"({"name":"blobs-only","tags":[]})");
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
    // Names no put could have made are no tags, whatever they hold.
    for (const char *odd : {"-dash", ".dot", "with space", "quote\"d", "tab\there", "ctl\x01"})
        store.tag("alpine", odd);
    ASSERT_TRUE(store.tag("alpine", std::string(129, 'l')));
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
    ASSERT_TRUE(store.repository("untagged"));
    ASSERT_TRUE(store.repository("-._"));
    struct Case {
        const char *repo;
        std::string doc;
    } cases[] = {
        {"sorted", folds ? R"({"name":"sorted","tags":["1.10","1.9","latest"]})"
                         : R"({"name":"sorted","tags":["1.10","1.9","Latest","latest"]})"},
        {"single", R"({"name":"single","tags":["only"]})"},
        {"untagged", R"({"name":"untagged","tags":[]})"},
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

TEST(ListingTags, PagesWithTheirNextName) {
    Store store;
    for (const char *t : {"d", "b", "a", "c"}) ASSERT_TRUE(store.tag("app", t));
    ASSERT_TRUE(Store::make_dir(store.tag_dir("app", "bb") / "current"));  // no link: no tag
    struct Case {
        int n;
        const char *last;
        std::string tags, next;
    } cases[] = {
        {-1, nullptr, R"("a","b","c","d")", ""},
        {0, nullptr, "", ""},
        {1, nullptr, R"("a")", "a"},
        {2, "a", R"("b","c")", "c"},
        {1, "b", R"("c")", "c"},   // bb, between them, has no link
        {2, "b", R"("c","d")", ""},
        {3, "bb", R"("c","d")", ""},
        {9, "d", "", ""},
        {INT_MAX, "", R"("a","b","c","d")", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.n) + " after " + (c.last ? c.last : "(null)"));
        char next[256] = "untouched";
        const char *doc = reg_tags_page_json("app", c.n, c.last, next);
        ASSERT_NE(doc, nullptr) << reg_storage_last_error();
        EXPECT_EQ(doc, R"({"name":"app","tags":[)" + c.tags + "]}");
        EXPECT_EQ(std::string(next), c.next);
    }
}

// More tags than any listing ever held, every seventh without its link, walked page by page:
// pages stay full across the gaps and every tag comes once, in order.
TEST(ListingTags, WalkPastEveryListingSize) {
    Store store;
    std::vector<std::string> made;
    for (int i = 0; i < 700; ++i) {
        char tag[16];
        std::snprintf(tag, sizeof tag, "v%04d", i);
        if (i % 7 == 3) {
            ASSERT_TRUE(Store::make_dir(store.tag_dir("app", tag) / "current"));
            continue;
        }
        ASSERT_TRUE(store.tag("app", tag));
        made.push_back(tag);
    }
    auto page = [](int n, const char *last, char *next) {
        return reg_tags_page_json("app", n, last, next);
    };
    for (const int n : {100, 599, 600, -1}) {
        SCOPED_TRACE(n);
        size_t pages = 0;
        const size_t size = n < 0 ? REG_PAGE_DEFAULT : static_cast<size_t>(n);
        EXPECT_EQ(listing_test::walk_pages(page, "tags", n, size, &pages), made);
        EXPECT_EQ(pages, (made.size() + size - 1) / size);
    }
    EXPECT_EQ(listing_test::names_in(tags_json("app"), "tags"), made);
}

// The index the pages are read from follows the tag set: each case pushes a manifest tagged a,
// b and c, lists once (which builds the index) and marks the index old, changes the tags or the
// index, and lists again, whole and a tag a page; then compares the index and whether it was
// written again.
const std::string kEmptyIndex =
    R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.index.v1+json","manifests":[)";
const std::string first = kEmptyIndex + "]}";
const std::string second = kEmptyIndex + R"(],"annotations":{"v":"2"}})";
char first_digest[REG_DIGEST_SIZE];

// Stores `body` in repository app by `ref` with `tags` besides.
void push(const std::string &body, const char *ref, std::vector<const char *> tags) {
    char digest[REG_DIGEST_SIZE];
    ASSERT_EQ(reg_manifest_store_tagged("app", ref, body.data(), body.size(), nullptr,
                                        tags.data(), tags.size(), digest, nullptr),
              0)
        << reg_storage_last_error();
    if (body == first) std::memcpy(first_digest, digest, sizeof digest);
}

TEST(ListingTags, IndexFollowsTheTags) {
    using Tree = listing_test::fs::path;
    struct Case {
        const char *what;
        void (*change)(const Store &store, const Tree &index);
        std::vector<std::string> listed;
        std::vector<std::string> indexed;  // what the index holds afterwards; empty: `listed`
        bool rewritten;
    } cases[] = {
        {"a tag pushed is listed at once",
         [](const Store &, const Tree &) { ASSERT_NO_FATAL_FAILURE(push(second, "bb", {"d"})); },
         {"a", "b", "bb", "c", "d"}, {}, true},
        {"a tag moved to another manifest stays once, and the index is not written",
         [](const Store &, const Tree &) { ASSERT_NO_FATAL_FAILURE(push(second, "b", {"a"})); },
         {"a", "b", "c"}, {}, false},
        {"a tag deleted leaves the index",
         [](const Store &, const Tree &) { ASSERT_EQ(reg_manifest_delete("app", "b"), 0); },
         {"a", "c"}, {}, true},
        {"a manifest deleted takes its tags out of the index",
         [](const Store &, const Tree &) { ASSERT_EQ(reg_manifest_delete("app", first_digest), 0); },
         {}, {}, true},
        {"a tag deleted and set again is listed",
         [](const Store &, const Tree &) {
             ASSERT_EQ(reg_manifest_delete("app", "b"), 0);
             ASSERT_NO_FATAL_FAILURE(push(second, "b", {}));
         },
         {"a", "b", "c"}, {}, true},
        {"a tag removed by hand is passed over",
         [](const Store &store, const Tree &) {
             listing_test::fs::remove(store.tag_dir("app", "b") / "current" / "link");
         },
         {"a", "c"}, {"a", "b", "c"}, false},
        {"a missing index is built again by a walk",
         [](const Store &store, const Tree &index) {
             listing_test::fs::remove(index);
             ASSERT_TRUE(store.tag("app", "d"));
         },
         {"a", "b", "c", "d"}, {}, true},
        {"another version's index is not read",
         [](const Store &, const Tree &index) { bvtest::write_all(index, "bv-tag-index 2\na\n"); },
         {"a", "b", "c"}, {}, true},
        {"an index out of order is not read",
         [](const Store &, const Tree &index) { bvtest::write_all(index, "bv-tag-index 1\nb\na\nc\n"); },
         {"a", "b", "c"}, {}, true},
        {"an index line that is no tag is not read",
         [](const Store &, const Tree &index) { bvtest::write_all(index, "bv-tag-index 1\na\n-b\nc\n"); },
         {"a", "b", "c"}, {}, true},
    };
    auto page = [](int n, const char *last, char *next) {
        return reg_tags_page_json("app", n, last, next);
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Store store;
        ASSERT_NO_FATAL_FAILURE(push(first, "a", {"b", "c"}));
        const Tree index = store.repo("app") / "_manifests" / "tags.index";
        ASSERT_EQ(listing_test::names_in(tags_json("app"), "tags"),
                  (std::vector<std::string>{"a", "b", "c"}));
        ASSERT_EQ(bvtest::read_all(index), "bv-tag-index 1\na\nb\nc\n");
        const auto old = listing_test::fs::last_write_time(index) - std::chrono::hours(1);
        listing_test::fs::last_write_time(index, old);
        c.change(store, index);
        EXPECT_EQ(listing_test::names_in(tags_json("app"), "tags"), c.listed);
        EXPECT_EQ(listing_test::walk_pages(page, "tags", 1, 1), c.listed);
        std::string expected = "bv-tag-index 1\n";
        for (const std::string &name : c.indexed.empty() ? c.listed : c.indexed)
            expected += name + "\n";
        EXPECT_EQ(bvtest::read_all(index), expected);
        EXPECT_EQ(listing_test::fs::last_write_time(index) != old, c.rewritten);
    }
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
        R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.index.v1+json","manifests":[]})";
    char digest[REG_DIGEST_SIZE];
    for (const auto &[repo, tag] : {std::pair{"alpine", "3.19"}, std::pair{"alpine", "latest"},
                                    std::pair{"library/ubuntu", "22.04"}})
        ASSERT_EQ(reg_manifest_put(repo, tag, body.data(), body.size(), nullptr, digest), 0)
            << reg_storage_last_error();
    EXPECT_EQ(tags_json("alpine"), R"({"name":"alpine","tags":["3.19","latest"]})");
    EXPECT_EQ(tags_json("library/ubuntu"), R"({"name":"library/ubuntu","tags":["22.04"]})");
    ASSERT_EQ(reg_manifest_delete("alpine", "latest"), 0) << reg_storage_last_error();
    EXPECT_EQ(tags_json("alpine"), R"({"name":"alpine","tags":["3.19"]})");
    EXPECT_STREQ(reg_catalog_json(0, nullptr), R"({"repositories":["alpine","library/ubuntu"]})");
    EXPECT_STREQ(reg_storage_get_stats_json(),
                 "{\"version\":\"1.0.0\",\"repositories\":2,\"tags\":2,\"blobs\":0,"
                 "\"blob_bytes\":0,\"active_uploads\":0,\"upload_bytes\":0}");
}

}  // namespace
