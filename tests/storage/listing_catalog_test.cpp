// The repository catalog: which directories are repositories (nested ones by their full name,
// never anything inside an engine directory), paging by `last` and `n` with the next name,
// walks past any listing size, page sizes, pages cut to fit the result buffer, and the
// failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "listing_store.h"
#include "storage/storage_internal.h"

namespace {

using listing_test::Store;
using listing_test::names_in;
using listing_test::walk_pages;

std::string catalog(int n, const char *last) {
    const char *doc = reg_catalog_json(n, last);
    return doc ? doc : std::string("null: ") + reg_storage_last_error();
}

const char *page(int n, const char *last, char *next) { return reg_catalog_page_json(n, last, next); }

TEST(ListingCatalog, Paging) {
    Store store;
    // Made out of order, so that nothing depends on the order of creation.
    for (const char *name : {"c", "a", "d", "b"}) ASSERT_TRUE(store.repository(name));
    const std::string all = R"({"repositories":["a","b","c","d"]})";
    const std::string bcd = R"({"repositories":["b","c","d"]})";
    const std::string cd = R"({"repositories":["c","d"]})";
    const std::string none = R"({"repositories":[]})";
    struct Case {
        int n;
        const char *last;
        std::string doc;
    } cases[] = {
        {0, nullptr, all},
        {0, "", all},
        {2, nullptr, R"({"repositories":["a","b"]})"},
        {0, "b", cd},
        {0, "bb", cd},
        {0, "B", all},  // upper case sorts before lower case
        {0, "d", none},
        {0, "zz", none},
        {1, "a", R"({"repositories":["b"]})"},
        {-5, nullptr, all},
        {INT_MIN, "b", cd},
        {3, "a", bcd},
        {INT_MAX, "a", bcd},
        {INT_MAX, "c", R"({"repositories":["d"]})"},
        {1, "d", none},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.n) + " after " + (c.last ? c.last : "(null)"));
        EXPECT_EQ(catalog(c.n, c.last), c.doc);
    }
}

// The paged form: n < 0 is the default page, n == 0 an empty page, and the next name is the
// page's last exactly when names follow.
TEST(ListingCatalog, PagesWithTheirNextName) {
    Store store;
    for (const char *name : {"c", "a", "d", "b"}) ASSERT_TRUE(store.repository(name));
    struct Case {
        int n;
        const char *last;
        std::string doc, next;
    } cases[] = {
        {-1, nullptr, R"({"repositories":["a","b","c","d"]})", ""},
        {0, nullptr, R"({"repositories":[]})", ""},
        {0, "b", R"({"repositories":[]})", ""},
        {1, nullptr, R"({"repositories":["a"]})", "a"},
        {2, "a", R"({"repositories":["b","c"]})", "c"},
        {2, "b", R"({"repositories":["c","d"]})", ""},
        {4, nullptr, R"({"repositories":["a","b","c","d"]})", ""},
        {3, "bb", R"({"repositories":["c","d"]})", ""},
        {INT_MAX, "", R"({"repositories":["a","b","c","d"]})", ""},
        {5, "d", R"({"repositories":[]})", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.n) + " after " + (c.last ? c.last : "(null)"));
        char next[256] = "untouched";
        const char *doc = reg_catalog_page_json(c.n, c.last, next);
        ASSERT_NE(doc, nullptr) << reg_storage_last_error();
        EXPECT_EQ(doc, c.doc);
        EXPECT_EQ(std::string(next), c.next);
    }
    EXPECT_NE(reg_catalog_page_json(1, nullptr, nullptr), nullptr);  // out_next may be null
}

TEST(ListingCatalog, WhichDirectoriesAreRepositories) {
    Store store;
    ASSERT_TRUE(store.tag("library/ubuntu", "22.04"));
    ASSERT_TRUE(store.tag("library/debian", "12"));
    ASSERT_TRUE(store.repository("library2"));
    ASSERT_TRUE(store.repository("blobs-only", true));
    ASSERT_TRUE(store.repository("a/b/c/d/e"));
    ASSERT_TRUE(store.repository("a"));
    ASSERT_TRUE(Store::make_dir(store.repo("empty")));
    ASSERT_TRUE(Store::make_dir(store.repo("deep/er/but/empty")));
    // Nothing inside an engine directory is a repository, whatever it holds.
    ASSERT_TRUE(store.repository("_hidden/x"));
    ASSERT_TRUE(store.repository("library2/_manifests/tags/t/_manifests"));
    ASSERT_TRUE(store.repository("a/_layers/sha256/x"));
    // Nor is a directory whose name no put could have made.
    ASSERT_TRUE(store.repository("bad name"));
    ASSERT_TRUE(store.repository("a/b c"));
    bvtest::write_all(store.repos() / "plain-file", "x");
    ASSERT_TRUE(Store::make_dir(store.repo("marker-file")));
    bvtest::write_all(store.repo("marker-file") / "_layers", "a file, not a directory");
    EXPECT_EQ(catalog(0, nullptr),
              R"({"repositories":["a","a/b/c/d/e","blobs-only","library/debian",)"
              R"("library/ubuntu","library2"]})");
    for (const char *name : {"a", "a/b/c/d/e", "blobs-only", "library/ubuntu", "library\\debian"})
        EXPECT_EQ(reg_repo_exists(name), 1) << name;
    for (const char *name : {"a/b", "empty", "library", "missing", "deep/er", "marker-file"})
        EXPECT_EQ(reg_repo_exists(name), 0) << name;
    for (const char *name : {"_hidden/x", "bad name", "a/../a", ""}) {
        EXPECT_EQ(reg_repo_exists(name), -1) << name;
        EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NAME_INVALID);
    }
    EXPECT_EQ(reg_repo_exists(nullptr), -1);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_ARGUMENT);
}

TEST(ListingCatalog, EmptyAndMissingRepositoriesDirectory) {
    Store store;
    EXPECT_EQ(catalog(0, nullptr), R"({"repositories":[]})");
    EXPECT_EQ(catalog(10, "a"), R"({"repositories":[]})");
    listing_test::fs::remove(store.repos());
    EXPECT_EQ(catalog(0, nullptr), R"({"repositories":[]})");
    char next[256];
    EXPECT_STREQ(reg_catalog_page_json(5, nullptr, next), R"({"repositories":[]})");
    EXPECT_STREQ(next, "");
}

// More repositories than any listing ever held, nested ones among them, walked page by page
// to the end: every name once, in order.
TEST(ListingCatalog, WalkPastEveryListingSize) {
    Store store;
    std::vector<std::string> made;
    for (int i = 0; i < 600; ++i) {
        char name[32];
        if (i % 2)
            std::snprintf(name, sizeof name, "ns%d/r%04d", i % 3, i);
        else
            std::snprintf(name, sizeof name, "r%04d", i);
        ASSERT_TRUE(store.repository(name));
        made.push_back(name);
    }
    std::sort(made.begin(), made.end());
    for (const int n : {97, 512, 600, -1}) {
        SCOPED_TRACE(n);
        size_t pages = 0;
        const size_t size = n < 0 ? REG_PAGE_DEFAULT : static_cast<size_t>(n);
        EXPECT_EQ(walk_pages(page, "repositories", n, size, &pages), made);
        EXPECT_EQ(pages, (made.size() + size - 1) / size);
    }
    EXPECT_EQ(names_in(catalog(0, nullptr), "repositories"), made);
}

// The index the pages are read from follows the tree: each case lists a, b and c once (which
// builds the index), changes the tree or the index, and lists again, whole and a name a page.
TEST(ListingCatalog, IndexFollowsTheTree) {
    using Tree = listing_test::fs::path;
    const std::string header = "bv-catalog-index 1\n";
    const std::vector<std::string> abc = {"a", "b", "c"};
    struct Case {
        const char *what;
        void (*change)(const Store &store, const Tree &index);
        std::vector<std::string> listed;
        std::vector<std::string> indexed;  // what the index holds afterwards; empty: `listed`
    } cases[] = {
        {"a repository a link makes is listed at once",
         [](const Store &store, const Tree &) {
             const std::string hex = listing_test::kDigest.substr(7);
             ASSERT_TRUE(Store::make_dir(store.blobs() / hex.substr(0, 2)));
             bvtest::write_all(store.blobs() / hex.substr(0, 2) / hex, "blob");
             ASSERT_EQ(reg_blob_link("b\\new", listing_test::kDigest.c_str()), 0)
                 << reg_storage_last_error();
         },
         {"a", "b", "b/new", "c"}, {}},
        {"a repository removed by hand is passed over",
         [](const Store &store, const Tree &) { listing_test::fs::remove_all(store.repo("b")); },
         {"a", "c"}, abc},
        {"a missing index is built again by a walk",
         [](const Store &store, const Tree &index) {
             listing_test::fs::remove(index);
             ASSERT_TRUE(store.repository("d"));
         },
         {"a", "b", "c", "d"}, {}},
        {"another version's index is not read",
         [](const Store &, const Tree &index) { bvtest::write_all(index, "bv-catalog-index 2\na\n"); },
         abc, {}},
        {"an index out of order is not read",
         [](const Store &, const Tree &index) {
             bvtest::write_all(index, "bv-catalog-index 1\nb\na\nc\n");
         },
         abc, {}},
        {"an index line that is no name is not read",
         [](const Store &, const Tree &index) {
             bvtest::write_all(index, "bv-catalog-index 1\na\nb c\nc\n");
         },
         abc, {}},
        {"an index cut inside a line is not read",
         [](const Store &, const Tree &index) { bvtest::write_all(index, "bv-catalog-index 1\na\nb"); },
         abc, {}},
        {"the collector drops a repository removed by hand",
         [](const Store &store, const Tree &) {
             listing_test::fs::remove_all(store.repo("b"));
             reg_gc_options opts{};
             reg_gc_result res{};
             ASSERT_EQ(reg_gc_run(&opts, &res), 0) << reg_storage_last_error();
         },
         {"a", "c"}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Store store;
        for (const std::string &name : abc) ASSERT_TRUE(store.repository(name));
        const Tree index = store.root() / "repositories.index";
        ASSERT_EQ(names_in(catalog(0, nullptr), "repositories"), abc);
        ASSERT_EQ(bvtest::read_all(index), header + "a\nb\nc\n");
        c.change(store, index);
        EXPECT_EQ(names_in(catalog(0, nullptr), "repositories"), c.listed);
        EXPECT_EQ(walk_pages(page, "repositories", 1, 1), c.listed);
        std::string expected = header;
        for (const std::string &name : c.indexed.empty() ? c.listed : c.indexed)
            expected += name + "\n";
        EXPECT_EQ(bvtest::read_all(index), expected);
    }
}

TEST(ListingPages, PageSizes) {
    const struct {
        int n;
        size_t limit;
    } cases[] = {{-1, REG_PAGE_DEFAULT}, {INT_MIN, REG_PAGE_DEFAULT}, {0, 0}, {1, 1},
                 {REG_PAGE_MAX, REG_PAGE_MAX}, {REG_PAGE_MAX + 1, REG_PAGE_MAX},
                 {INT_MAX, REG_PAGE_MAX}};
    for (const auto &c : cases) EXPECT_EQ(reg_internal::page_limit(c.n), c.limit) << c.n;
}

// A page stops early where its document would outgrow the buffer, exactly where the document
// writer would refuse it, and says that names follow.
TEST(ListingPages, PageCutToFitTheBuffer) {
    reg_internal::name_list names;
    for (const char *n : {"aaaa", "bbbb", "cccc", "dddd", "eeee"}) ASSERT_TRUE(names.add(n));
    // {"repositories":[ ... ]}: 19 bytes, the writer's margin of 5, and 7 per name less the
    // first comma, so three names need 44 bytes.
    const size_t three = 44;
    struct Case {
        size_t limit;
        const char *last;
        size_t cap;
        std::vector<std::string> page;
        bool more, cut;
    } cases[] = {
        {10, nullptr, three, {"aaaa", "bbbb", "cccc"}, true, true},
        {10, nullptr, three - 1, {"aaaa", "bbbb"}, true, true},
        {3, nullptr, three, {"aaaa", "bbbb", "cccc"}, true, false},
        {2, nullptr, three, {"aaaa", "bbbb"}, true, false},
        {10, "bbbb", three, {"cccc", "dddd", "eeee"}, false, false},
        {10, "b", 1 << 20, {"bbbb", "cccc", "dddd", "eeee"}, false, false},
        {10, "eeee", three, {}, false, false},
        {0, nullptr, three, {}, true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.limit) + " after " + (c.last ? c.last : "(null)") +
                     " in " + std::to_string(c.cap));
        reg_internal::list_page page;
        ASSERT_TRUE(reg_internal::choose_page(names, nullptr, c.limit, c.last, c.cap, &page));
        EXPECT_EQ(std::vector<std::string>(page.names, page.names + page.count), c.page);
        EXPECT_EQ(page.more, c.more);
        EXPECT_EQ(page.cut, c.cut);
        std::vector<char> buf(c.cap + 1);
        EXPECT_EQ(reg_internal::list_document(buf.data(), c.cap, nullptr, page.names, page.count), 0);
        if (page.cut) {
            std::vector<const char *> more(page.names, page.names + page.count);
            more.push_back(names.at(names.count() - 1));
            EXPECT_EQ(reg_internal::list_document(buf.data(), c.cap, nullptr, more.data(), more.size()), -1);
        }
    }
}

TEST(ListingCatalog, Failures) {
    {
        Store store;
        ASSERT_TRUE(store.repository("a"));
        ASSERT_TRUE(store.repository("b/c"));
        std::strcpy(reg_internal::s_result, "previous");
        // Every copy failing, and a copy failing only deep in the walk.
        for (int fail_at : {1, 3}) {
            static int calls, failing;
            calls = 0;
            failing = fail_at;
            reg_internal::s_name_copy = [](const char *text) -> char * {
                return ++calls >= failing ? nullptr : reg_internal::xstrdup(text);
            };
            char next[256];
            const char *doc = reg_catalog_page_json(-1, nullptr, next);
            reg_internal::s_name_copy = reg_internal::xstrdup;
            EXPECT_EQ(doc, nullptr);
            EXPECT_STREQ(reg_storage_last_error(), "out of memory");
            EXPECT_STREQ(reg_internal::s_result, "previous");
        }
        EXPECT_STREQ(reg_catalog_json(0, nullptr), R"({"repositories":["a","b/c"]})");
    }
    // Closing the engine forgets its last result; a call refused for that keeps what is there.
    EXPECT_STREQ(reg_internal::s_result, "");
    std::strcpy(reg_internal::s_result, "previous");
    EXPECT_EQ(reg_catalog_json(0, nullptr), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
    char next[256];
    EXPECT_EQ(reg_catalog_page_json(1, nullptr, next), nullptr);
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NOT_READY);
    EXPECT_STREQ(reg_internal::s_result, "previous");
}

}  // namespace
