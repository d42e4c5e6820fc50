// The repository catalog: paging by `last` and `n`, which directories are names, nested
// repositories, the listing cap, and the failures.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "listing_store.h"
#include "storage/storage_internal.h"

namespace {

using listing_test::Store;

std::string catalog(int n, const char *last) {
    const char *doc = reg_catalog_json(n, last);
    return doc ? doc : std::string("null: ") + reg_storage_last_error();
}

TEST(ListingCatalog, Paging) {
    Store store;
    // Made out of order, so that nothing depends on the order of creation.
    for (const char *name : {"c", "a", "d", "b"}) ASSERT_TRUE(Store::make_dir(store.repo(name)));
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
        {2, "a", R"({"repositories":["b","c"]})"},
        {-5, nullptr, all},
        {INT_MIN, "b", cd},
        {3, "a", bcd},
        {4, "a", bcd},
        {1000, "a", bcd},
        {INT_MAX - 1, "a", bcd},
        {INT_MAX, "a", bcd},
        {INT_MAX, "c", R"({"repositories":["d"]})"},
        {1, "d", none},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.n) + " after " + (c.last ? c.last : "(null)"));
        EXPECT_EQ(catalog(c.n, c.last), c.doc);
    }
}

TEST(ListingCatalog, OnlyFirstLevelDirectoriesAreNames) {
    Store store;
    ASSERT_TRUE(store.tag("library/ubuntu", "22.04"));
    ASSERT_TRUE(store.tag("library/debian", "12"));
    ASSERT_TRUE(Store::make_dir(store.repo("library2") / "_manifests"));
    ASSERT_TRUE(Store::make_dir(store.repo("empty")));
    bvtest::write_all(store.repos() / "plain-file", "x");
    EXPECT_EQ(catalog(0, nullptr), R"({"repositories":["empty","library","library2"]})");
}

TEST(ListingCatalog, EmptyAndMissingRepositoriesDirectory) {
    Store store;
    EXPECT_EQ(catalog(0, nullptr), R"({"repositories":[]})");
    EXPECT_EQ(catalog(10, "a"), R"({"repositories":[]})");
    listing_test::fs::remove(store.repos());
    EXPECT_EQ(catalog(0, nullptr), R"({"repositories":[]})");
}

TEST(ListingCatalog, NamesOnDiskAreEscaped) {
    Store store;
    if (!Store::make_dir(store.repos() / "a\tb") || !Store::make_dir(store.repos() / "q\"\x01"))
        GTEST_SKIP() << "the file system refuses control bytes and quotes in names";
    EXPECT_EQ(catalog(0, nullptr), R"({"repositories":["a\tb","q\"\u0001"]})");
}

TEST(ListingCatalog, AtMostOneListingOfNames) {
    Store store;
    for (int i = 0; i < 513; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "x%03d", i);
        ASSERT_TRUE(Store::make_dir(store.repos() / name));
    }
    const std::string doc = catalog(0, nullptr);
    size_t names = 0;
    for (size_t at = doc.find("\"x"); at != std::string::npos; at = doc.find("\"x", at + 1))
        ++names;
    EXPECT_EQ(names, 512u);
    // Whatever the enumeration left out, the names that came are in order.
    std::string previous;
    for (size_t at = doc.find("\"x"); at != std::string::npos; at = doc.find("\"x", at + 1)) {
        const std::string name = doc.substr(at + 1, 4);
        EXPECT_LT(previous, name);
        previous = name;
    }
}

TEST(ListingCatalog, Failures) {
    {
        Store store;
        ASSERT_TRUE(Store::make_dir(store.repo("a")));
        ASSERT_TRUE(Store::make_dir(store.repo("b")));
        std::strcpy(reg_internal::s_result, "previous");
        reg_internal::s_name_copy = [](const char *) -> char * { return nullptr; };
        const char *doc = reg_catalog_json(0, nullptr);
        reg_internal::s_name_copy = reg_internal::xstrdup;
        EXPECT_EQ(doc, nullptr);
        EXPECT_STREQ(reg_storage_last_error(), "out of memory");
        EXPECT_STREQ(reg_internal::s_result, "previous");
    }
    EXPECT_EQ(reg_catalog_json(0, nullptr), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
    EXPECT_STREQ(reg_internal::s_result, "previous");
}

}  // namespace
