// The tag list and catalog programs: sorted pages, n and last, the Link to the next page
// followed to the end, the default page size, and the refusals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/endpoints/registry_cgi.h"

namespace {

using regcgi::Answer;
using regcgi::Request;

class ListingPrograms : public regcgi::RegistryCgiTest {
protected:
    Answer tags(const std::string &repo, const std::string &query = "") {
        Request req;
        req.path = "/v2/" + repo + "/tags/list";
        req.query = query;
        return run("v2_tags", req);
    }
    Answer catalog(const std::string &query = "") {
        Request req;
        req.path = "/v2/_catalog";
        req.query = query;
        return run("v2_catalog", req);
    }
    // Tags one manifest of `repo` under every name given.
    void tag_all(const std::string &repo, const std::vector<std::string> &names) {
        const std::string body = image(repo, "listed");
        for (const auto &name : names) store(repo, name, body);
    }
    // Follows the Link of every page from `first` on; returns every name seen, in order, and
    // the number of pages.
    template <typename Fetch>
    std::vector<std::string> follow(Fetch fetch, const std::string &member, const std::string &first,
                                    size_t *pages) {
        std::vector<std::string> seen;
        std::string query = first;
        *pages = 0;
        for (;;) {
            Answer page = fetch(query);
            EXPECT_EQ(page.status, 200) << query << ": " << page.body;
            if (page.status != 200 || ++*pages > 100) break;
            for (auto &name : regcgi::json_names(page.body, member)) seen.push_back(name);
            if (!page.has("link")) break;
            const std::string link = page.header("link");
            const size_t q = link.find('?');
            const size_t end = link.find(">; rel=\"next\"");
            EXPECT_NE(q, std::string::npos) << link;
            EXPECT_NE(end, std::string::npos) << link;
            if (q == std::string::npos || end == std::string::npos) break;
            query = link.substr(q + 1, end - q - 1);
        }
        return seen;
    }
};

TEST_F(ListingPrograms, TagPages) {
    tag_all("app", {"b", "a", "d", "c", "e"});
    struct Case {
        std::string query;
        std::vector<std::string> tags;
        const char *link;  // nullptr: no Link header
    };
    const Case cases[] = {
        {"", {"a", "b", "c", "d", "e"}, nullptr},
        {"n=2", {"a", "b"}, "</v2/app/tags/list?n=2&last=b>; rel=\"next\""},
        {"n=2&last=b", {"c", "d"}, "</v2/app/tags/list?n=2&last=d>; rel=\"next\""},
        {"n=2&last=d", {"e"}, nullptr},
        {"n=5", {"a", "b", "c", "d", "e"}, nullptr},
        {"n=0", {}, nullptr},
        {"n=0&last=a", {}, nullptr},
        {"last=c", {"d", "e"}, nullptr},
        {"last=bb", {"c", "d", "e"}, nullptr},
        {"last=e", {}, nullptr},
        {"n=99999999999999", {"a", "b", "c", "d", "e"}, nullptr},
        {"n=007&last=", {"a", "b", "c", "d", "e"}, nullptr},
        {"last=" + std::string(128, 'b'), {"c", "d", "e"}, nullptr},  // the longest tag there is
    };
    for (const auto &c : cases) {
        Answer a = tags("app", c.query);
        ASSERT_EQ(a.status, 200) << c.query << ": " << a.body;
        EXPECT_EQ(a.header("content-type"), "application/json; charset=utf-8") << c.query;
        EXPECT_EQ(a.body.rfind("{\"name\":\"app\",\"tags\":[", 0), 0u) << a.body;
        EXPECT_EQ(regcgi::json_names(a.body, "tags"), c.tags) << c.query;
        if (c.link) EXPECT_EQ(a.header("link"), c.link) << c.query;
        else EXPECT_FALSE(a.has("link")) << c.query << ": " << a.header("link");
    }
}

TEST_F(ListingPrograms, MalformedPageSizesAndUnknownRepositories) {
    tag_all("app", {"a"});
    for (const char *query : {"n=", "n=-1", "n=abc", "n=1x", "n=+1", "n=1%20", "n"}) {
        Answer t = tags("app", query);
        EXPECT_EQ(t.status, 400) << query;
        EXPECT_EQ(t.code(), "UNSUPPORTED") << query;
        Answer c = catalog(query);
        EXPECT_EQ(c.status, 400) << query;
        EXPECT_EQ(c.code(), "UNSUPPORTED") << query;
    }
    // A last that no name can be never restarts the listing from its first name.
    const std::string no_tag[] = {"last=" + std::string(129, 'a'), "last=" + std::string(600, 'a'),
                                  "last=a%20b", "last=-a", "last=a/b", "last=%00"};
    for (const std::string &query : no_tag) {
        Answer t = tags("app", query);
        EXPECT_EQ(t.status, 400) << query;
        EXPECT_EQ(t.code(), "TAG_INVALID") << query;
    }
    const std::string no_repo[] = {"last=" + std::string(256, 'a'), "last=" + std::string(600, 'a'),
                                   "last=a//b", "last=a%20b", "last=_a"};
    for (const std::string &query : no_repo) {
        Answer c = catalog(query);
        EXPECT_EQ(c.status, 400) << query;
        EXPECT_EQ(c.code(), "NAME_INVALID") << query;
    }
    Answer unknown = tags("nothing/here");
    EXPECT_EQ(unknown.status, 404);
    EXPECT_EQ(unknown.code(), "NAME_UNKNOWN");
    // Without a query string the variables of the environment are no query parameters.
    Request req;
    req.path = "/v2/app/tags/list";
    req.env = {{"n", "abc"}, {"last", "a"}};
    Answer env_only = run("v2_tags", req);
    EXPECT_EQ(env_only.status, 200) << env_only.body;
    EXPECT_EQ(regcgi::json_names(env_only.body, "tags"), std::vector<std::string>{"a"});
}

// Without n the documented default page size applies, and the rest is reached through Link.
TEST_F(ListingPrograms, DefaultPageSizeLinksOnward) {
    std::vector<std::string> names;
    for (int i = 0; i < REG_PAGE_DEFAULT + 3; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "t%05d", i);
        names.push_back(name);
    }
    tag_all("app", names);
    Answer first = tags("app");
    ASSERT_EQ(first.status, 200);
    EXPECT_EQ(regcgi::json_names(first.body, "tags").size(), static_cast<size_t>(REG_PAGE_DEFAULT));
    EXPECT_EQ(first.header("link"), "</v2/app/tags/list?n=" + std::to_string(REG_PAGE_DEFAULT) + "&last=" +
                                        names[REG_PAGE_DEFAULT - 1] + ">; rel=\"next\"");
    size_t pages = 0;
    auto fetch = [&](const std::string &q) { return tags("app", q); };
    EXPECT_EQ(follow(fetch, "tags", "", &pages), names);
    EXPECT_EQ(pages, 2u);
    EXPECT_EQ(follow(fetch, "tags", "n=400", &pages), names);
    EXPECT_EQ(pages, 3u);
}

TEST_F(ListingPrograms, CatalogListsFullNamesAndLinksWithEncodedLast) {
    const std::vector<std::string> repos = {"alpha", "library/ubuntu", "library/ubuntu/extra", "team-x/app.b", "zeta"};
    for (const auto &r : repos) tag_all(r, {"latest"});
    Answer all = catalog();
    ASSERT_EQ(all.status, 200) << all.body;
    EXPECT_EQ(all.body.rfind("{\"repositories\":[", 0), 0u) << all.body;
    EXPECT_EQ(regcgi::json_names(all.body, "repositories"), repos);
    EXPECT_FALSE(all.has("link"));

    Answer two = catalog("n=2");
    EXPECT_EQ(regcgi::json_names(two.body, "repositories"), (std::vector<std::string>{"alpha", "library/ubuntu"}));
    EXPECT_EQ(two.header("link"), "</v2/_catalog?n=2&last=library%2Fubuntu>; rel=\"next\"");

    size_t pages = 0;
    auto fetch = [&](const std::string &q) { return catalog(q); };
    EXPECT_EQ(follow(fetch, "repositories", "n=2", &pages), repos);
    EXPECT_EQ(pages, 3u);
    EXPECT_EQ(regcgi::json_names(catalog("last=library/ubuntu").body, "repositories"),
              (std::vector<std::string>{"library/ubuntu/extra", "team-x/app.b", "zeta"}));
    EXPECT_EQ(regcgi::json_names(catalog("last=team-x/" + std::string(248, 'z')).body, "repositories"),
              std::vector<std::string>{"zeta"});  // a last as long as the longest name
    EXPECT_EQ(regcgi::json_names(catalog("n=0").body, "repositories"), std::vector<std::string>{});
    EXPECT_FALSE(catalog("n=0").has("link"));
}

TEST_F(ListingPrograms, EmptyRegistryHasAnEmptyCatalog) {
    Answer a = catalog();
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(regcgi::json_names(a.body, "repositories"), std::vector<std::string>{});
}

}  // namespace
