// deploy/iis/web.config without IIS: well-formed XML (xmllint), its URL Rewrite rules applied in
// order to request paths the way the module applies them (first match, stopProcessing, {R:n},
// conditions on the URL as sent), and a CGI handler mapping with PATH_INFO for every program a
// rule names. The FastCGI variant (deploy/iis/fastcgi/): the same site but for its mappings, each
// mapping's process pool present with recycling, instances and timeouts that fit the programs.
#include <gtest/gtest.h>

#include <regex.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tests/integration/client_tools.h"

namespace {

const std::string kWebConfig = std::string(BV_SOURCE_DIR) + "/deploy/iis/web.config";
const std::string kFastcgiConfig = std::string(BV_SOURCE_DIR) + "/deploy/iis/fastcgi/web.config";
const std::string kFastcgiPools = std::string(BV_SOURCE_DIR) + "/deploy/iis/fastcgi/applicationHost-fastCgi.xml";

// A POSIX extended regular expression: the rules' patterns use nothing beyond it.
class Pattern {
public:
    Pattern(const std::string &text, bool icase) : text_(text) {
        ok_ = regcomp(&re_, text.c_str(), REG_EXTENDED | (icase ? REG_ICASE : 0)) == 0;
    }
    ~Pattern() {
        if (ok_) regfree(&re_);
    }
    Pattern(const Pattern &) = delete;
    Pattern &operator=(const Pattern &) = delete;
    bool ok() const { return ok_; }
    const std::string &text() const { return text_; }
    // Whether it matches somewhere in `s`; the groups ({R:0}, {R:1}, ...) go to *groups.
    bool search(const std::string &s, std::vector<std::string> *groups = nullptr) const {
        regmatch_t m[10];
        if (!ok_ || regexec(&re_, s.c_str(), 10, m, 0) != 0) return false;
        if (groups) {
            groups->clear();
            for (const regmatch_t &g : m)
                groups->push_back(g.rm_so < 0 ? std::string() : s.substr(g.rm_so, g.rm_eo - g.rm_so));
        }
        return true;
    }

private:
    std::string text_;
    regex_t re_{};
    bool ok_ = false;
};

std::string unescape_xml(std::string s) {
    const std::pair<const char *, const char *> entities[] = {
        {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
    for (const auto &[from, to] : entities)
        for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + 1))
            s.replace(at, std::strlen(from), to);
    return s;
}

// The value of attribute `name` in the element text `element`, "" when absent.
std::string attribute(const std::string &element, const std::string &name) {
    const std::string key = name + "=\"";
    for (size_t at = element.find(key); at != std::string::npos; at = element.find(key, at + 1)) {
        if (at == 0 || !std::isspace(static_cast<unsigned char>(element[at - 1]))) continue;
        const size_t from = at + key.size();
        return unescape_xml(element.substr(from, element.find('"', from) - from));
    }
    return {};
}

// Every element `tag` (its opening tag's text) in `text`, in order.
std::vector<std::string> elements(const std::string &text, const std::string &tag) {
    std::vector<std::string> out;
    const std::string open = "<" + tag;
    for (size_t at = text.find(open); at != std::string::npos; at = text.find(open, at + 1)) {
        const char next = text[at + open.size()];
        if (next != ' ' && next != '\n' && next != '\r' && next != '\t' && next != '>' && next != '/') continue;
        out.push_back(text.substr(at, text.find('>', at) - at + 1));
    }
    return out;
}

struct Rule {
    std::string name;
    std::shared_ptr<Pattern> match;
    std::vector<std::shared_ptr<Pattern>> conditions;  // any one must match the URL as sent
    std::string action;                                // Rewrite or CustomResponse
    std::string url;                                   // the Rewrite target
    bool append_query = true;
    int status = 0;                                    // the CustomResponse status
};

std::vector<Rule> load_rules(const std::string &text) {
    std::vector<Rule> rules;
    for (size_t at = text.find("<rule "); at != std::string::npos; at = text.find("<rule ", at + 1)) {
        const std::string block = text.substr(at, text.find("</rule>", at) - at);
        Rule r;
        r.name = attribute(elements(block, "rule").at(0), "name");
        const std::string match = elements(block, "match").at(0);
        r.match = std::make_shared<Pattern>(attribute(match, "url"), attribute(match, "ignoreCase") != "false");
        EXPECT_TRUE(r.match->ok()) << r.name << ": " << r.match->text();
        for (const auto &add : elements(block, "add")) {
            r.conditions.push_back(std::make_shared<Pattern>(attribute(add, "pattern"), true));
            EXPECT_TRUE(r.conditions.back()->ok()) << r.name << ": " << r.conditions.back()->text();
        }
        const std::string action = elements(block, "action").at(0);
        r.action = attribute(action, "type");
        r.url = attribute(action, "url");
        r.append_query = attribute(action, "appendQueryString") != "false";
        r.status = std::atoi(attribute(action, "statusCode").c_str());
        rules.push_back(std::move(r));
    }
    return rules;
}

// What the rules make of a request: "400"/"404" for a custom response, else the rewritten URL
// with the query string appended. `sent` is the URL as the client sent it, `path` the decoded
// path as the rules see it (no leading slash).
std::string apply(const std::vector<Rule> &rules, const std::string &sent, const std::string &path,
                  const std::string &query) {
    for (const Rule &r : rules) {
        std::vector<std::string> groups;
        if (!r.match->search(path, &groups)) continue;
        if (!r.conditions.empty()) {
            bool any = false;
            for (const auto &c : r.conditions) any = any || c->search(sent);
            if (!any) continue;
        }
        if (r.action == "CustomResponse") return std::to_string(r.status);
        std::string url = r.url;
        for (size_t i = 0; i < groups.size(); ++i) {
            const std::string ref = "{R:" + std::to_string(i) + "}";
            for (size_t at = url.find(ref); at != std::string::npos; at = url.find(ref))
                url.replace(at, ref.size(), groups[i]);
        }
        return url + (query.empty() || !r.append_query ? "" : "?" + query);
    }
    return "no rule";
}

class IisConfig : public ::testing::Test {
protected:
    void SetUp() override { text_ = bvtest::read_all(kWebConfig); }
    std::string text_;
};

TEST_F(IisConfig, IsWellFormedXml) {
    const std::string xmllint = clienttools::find_tool("xmllint");
    if (xmllint.empty()) GTEST_SKIP() << "xmllint is not installed (libxml2-utils, scripts/deps.sh apache)";
    auto r = clienttools::run_tool({xmllint, "--noout", kWebConfig});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(r.out, "");
}

// Each family goes to its program with the /v2/... path after it, marker words inside names
// included; hostile paths and everything else are refused.
TEST_F(IisConfig, RulesRouteEveryFamily) {
    const std::vector<Rule> rules = load_rules(text_);
    ASSERT_GE(rules.size(), 9u);
    const std::string d = "sha256:" + std::string(64, 'a');
    struct Case {
        std::string sent;  // as the client sends it
        std::string path;  // decoded and merged, as the rules see it
        std::string query;
        std::string want;
    };
    const Case cases[] = {
        {"/v2/", "v2/", "", "endpoints/v2_ping.exe"},
        {"/v2", "v2", "", "endpoints/v2_ping.exe"},
        {"/v2/_catalog?n=10", "v2/_catalog", "n=10", "endpoints/v2_catalog.exe/v2/_catalog?n=10"},
        {"/v2/lib/app/blobs/uploads/", "v2/lib/app/blobs/uploads/", "", "endpoints/v2_uploads.exe/v2/lib/app/blobs/uploads/"},
        {"/v2/lib/app/blobs/uploads", "v2/lib/app/blobs/uploads", "", "endpoints/v2_uploads.exe/v2/lib/app/blobs/uploads/"},
        {"/v2/a/blobs/uploads/?digest=" + d, "v2/a/blobs/uploads/", "digest=" + d,
         "endpoints/v2_uploads.exe/v2/a/blobs/uploads/?digest=" + d},
        {"/v2/a/b/c/blobs/uploads/0123-id", "v2/a/b/c/blobs/uploads/0123-id", "",
         "endpoints/v2_uploads.exe/v2/a/b/c/blobs/uploads/0123-id"},
        {"/v2/a/blobs/uploads/id/", "v2/a/blobs/uploads/id/", "", "endpoints/v2_uploads.exe/v2/a/blobs/uploads/id"},
        {"/v2/lib/app/blobs/" + d, "v2/lib/app/blobs/" + d, "", "endpoints/v2_blobs.exe/v2/lib/app/blobs/" + d},
        {"/v2/x/manifests/y/blobs/" + d, "v2/x/manifests/y/blobs/" + d, "",
         "endpoints/v2_blobs.exe/v2/x/manifests/y/blobs/" + d},
        {"/v2/lib/app/manifests/v1.0", "v2/lib/app/manifests/v1.0", "", "endpoints/v2_manifests.exe/v2/lib/app/manifests/v1.0"},
        {"/v2/x/blobs/y/manifests/v1", "v2/x/blobs/y/manifests/v1", "", "endpoints/v2_manifests.exe/v2/x/blobs/y/manifests/v1"},
        {"/v2/bin/app/tags/list?n=2&last=a", "v2/bin/app/tags/list", "n=2&last=a",
         "endpoints/v2_tags.exe/v2/bin/app/tags/list?n=2&last=a"},
        {"/v2/lib/app/referrers/" + d + "?artifactType=x%2Fy", "v2/lib/app/referrers/" + d, "artifactType=x%2Fy",
         "endpoints/v2_referrers.exe/v2/lib/app/referrers/" + d + "?artifactType=x%2Fy"},
        // Extension paths reach the version check, which answers them 404; a tag led by "_" stays a tag.
        {"/v2/_oci/ext/discover?n=1", "v2/_oci/ext/discover", "n=1", "endpoints/v2_ping.exe/v2/_oci/ext/discover?n=1"},
        {"/v2/lib/app/_ext/x", "v2/lib/app/_ext/x", "", "endpoints/v2_ping.exe/v2/lib/app/_ext/x"},
        {"/v2/a/manifests/_t", "v2/a/manifests/_t", "", "endpoints/v2_manifests.exe/v2/a/manifests/_t"},
        // Refused by the server, not by a program.
        {"/v2/a/../b/blobs/x", "v2/b/blobs/x", "", "400"},
        {"/v2/a/%2e%2E/b/blobs/x", "v2/b/blobs/x", "", "400"},
        {"/v2/a/./b/tags/list", "v2/a/b/tags/list", "", "400"},
        {"/v2/a/b/tags/list/..", "v2/a/b/tags", "", "400"},
        {"/v2/a//b/tags/list", "v2/a//b/tags/list", "", "400"},
        {"/v2/a%01b/blobs/x", "v2/a\x01" "b/blobs/x", "", "400"},
        {"/v2/a/manifests/v%3F1", "v2/a/manifests/v?1", "", "400"},
        {"/v2/a/...b/tags/list", "v2/a/...b/tags/list", "", "endpoints/v2_tags.exe/v2/a/...b/tags/list"},
        {"/v2/a/tags/list?q=/../", "v2/a/tags/list", "q=/../", "endpoints/v2_tags.exe/v2/a/tags/list?q=/../"},
        {"/V2/", "V2/", "", "404"},
        {"/v2/a/Manifests/v1", "v2/a/Manifests/v1", "", "404"},
        {"/v2/a/blobs/", "v2/a/blobs/", "", "404"},
        {"/v2x", "v2x", "", "404"},
        {"/stats", "stats", "", "endpoints/registry_stats.exe"},
        {"/", "", "", "web/index.html"},
        {"/ui/app.js", "ui/app.js", "", "web/app.js"},
        {"/ui/style.css", "ui/style.css", "", "web/style.css"},
        {"/ui/App.js", "ui/App.js", "", "404"},
        {"/ui/web.config", "ui/web.config", "", "404"},
        {"/web/index.html", "web/index.html", "", "404"},
        {"/web.config", "web.config", "", "404"},
        {"/endpoints/v2_ping.exe", "endpoints/v2_ping.exe", "", "404"},
    };
    for (const auto &c : cases) EXPECT_EQ(apply(rules, c.sent, c.path, c.query), c.want) << c.sent;
}

// Every program a rule rewrites to has a CGI mapping that passes PATH_INFO, and every mapping
// serves a program a rule reaches.
TEST_F(IisConfig, EveryRoutedProgramHasACgiMapping) {
    std::set<std::string> routed;
    for (const Rule &r : load_rules(text_)) {
        // The page's static files are no programs.
        if (r.action != "Rewrite" || r.url.rfind("web/", 0) == 0) continue;
        const Pattern target("^endpoints/([a-z0-9_]+\\.exe)(/.*)?$", false);
        std::vector<std::string> m;
        ASSERT_TRUE(target.search(r.url, &m)) << r.name << ": " << r.url;
        routed.insert(m[1]);
    }
    EXPECT_EQ(routed.size(), 8u);
    const size_t location = text_.find("<location path=\"endpoints\">");
    ASSERT_NE(location, std::string::npos);
    const std::string handlers = text_.substr(location, text_.find("</handlers>", location) - location);
    EXPECT_NE(attribute(elements(handlers, "handlers").at(0), "accessPolicy").find("Execute"), std::string::npos);
    std::set<std::string> mapped;
    for (const auto &add : elements(handlers, "add")) {
        const std::string path = attribute(add, "path");
        EXPECT_EQ(attribute(add, "modules"), "CgiModule") << path;
        EXPECT_EQ(attribute(add, "allowPathInfo"), "true") << path;
        EXPECT_EQ(attribute(add, "requireAccess"), "Execute") << path;
        EXPECT_EQ(attribute(add, "verb"), "*") << path;
        EXPECT_TRUE(mapped.insert(path).second) << path << " is mapped twice";
    }
    EXPECT_EQ(mapped, routed);
}

// ---- The FastCGI variant --------------------------------------------------------------------------

// The site's settings outside its opening comment and the endpoints' mappings (with the comment
// before them): what the two variants must share, byte for byte.
std::string shared_part(const std::string &text) {
    const size_t from = text.find("<configuration>");
    const size_t mappings = text.find("  <!--\n    One ", from);
    const size_t after = text.find("</location>", mappings);
    if (from == std::string::npos || mappings == std::string::npos || after == std::string::npos) return {};
    return text.substr(from, mappings - from) + text.substr(after);
}

// The attribute `name` of `element` as a whole number, -1 when absent or not one.
long number(const std::string &element, const std::string &name) {
    const std::string v = attribute(element, name);
    if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::atol(v.c_str());
}

TEST_F(IisConfig, FastcgiFilesAreWellFormedXml) {
    const std::string xmllint = clienttools::find_tool("xmllint");
    if (xmllint.empty()) GTEST_SKIP() << "xmllint is not installed (libxml2-utils, scripts/deps.sh apache)";
    for (const std::string &file : {kFastcgiConfig, kFastcgiPools}) {
        auto r = clienttools::run_tool({xmllint, "--noout", file});
        EXPECT_EQ(r.exit_code, 0) << file << "\n" << r.out;
    }
}

// Rules, limits, error pass-through and the page's folder cannot drift apart between the variants.
TEST_F(IisConfig, FastcgiVariantDiffersOnlyInItsMappings) {
    const std::string fastcgi = bvtest::read_all(kFastcgiConfig);
    ASSERT_FALSE(shared_part(text_).empty());
    EXPECT_EQ(shared_part(fastcgi), shared_part(text_));
    EXPECT_EQ(load_rules(fastcgi).size(), load_rules(text_).size());
}

// Every routed program has a FastCGI mapping whose scriptProcessor names a process pool of the
// same path, and every pool recycles where the program does, with room for long transfers.
TEST_F(IisConfig, FastcgiMappingsHaveFittingProcessPools) {
    const std::string fastcgi = bvtest::read_all(kFastcgiConfig);
    const std::string pools = bvtest::read_all(kFastcgiPools);
    std::set<std::string> routed;
    for (const Rule &r : load_rules(fastcgi)) {
        std::vector<std::string> m;
        if (r.action == "Rewrite" && Pattern("^endpoints/([a-z0-9_]+\\.exe)(/.*)?$", false).search(r.url, &m))
            routed.insert(m[1]);
    }
    EXPECT_EQ(routed.size(), 8u);

    const size_t location = fastcgi.find("<location path=\"endpoints\">");
    ASSERT_NE(location, std::string::npos);
    const std::string handlers = fastcgi.substr(location, fastcgi.find("</handlers>", location) - location);
    std::set<std::string> mapped, processors;
    for (const auto &add : elements(handlers, "add")) {
        const std::string path = attribute(add, "path");
        EXPECT_EQ(attribute(add, "modules"), "FastCgiModule") << path;
        EXPECT_EQ(attribute(add, "allowPathInfo"), "true") << path;
        EXPECT_EQ(attribute(add, "verb"), "*") << path;
        EXPECT_EQ(attribute(add, "responseBufferLimit"), "0") << path << ": IIS would hold answers back";
        EXPECT_EQ(attribute(add, "scriptProcessor"), "C:\\registry\\site\\endpoints\\" + path) << path;
        EXPECT_TRUE(mapped.insert(path).second) << path << " is mapped twice";
        processors.insert(attribute(add, "scriptProcessor"));
    }
    EXPECT_EQ(mapped, routed);

    std::set<std::string> pooled;
    for (size_t at = pools.find("<application "); at != std::string::npos; at = pools.find("<application ", at + 1)) {
        const std::string block = pools.substr(at, pools.find("</application>", at) - at);
        const std::string app = elements(block, "application").at(0);
        const std::string path = attribute(app, "fullPath");
        EXPECT_TRUE(pooled.insert(path).second) << path << " has two pools";
        std::map<std::string, std::string> env;
        for (const auto &var : elements(block, "environmentVariable")) env[attribute(var, "name")] = attribute(var, "value");
        struct Range {
            const char *name;
            long low, high;
        };
        // IIS's own bounds where they are tighter than ours: activityTimeout 10-3600,
        // requestTimeout and idleTimeout 10-604800.
        for (const Range &r : {Range{"maxInstances", 2, 16}, Range{"activityTimeout", 600, 3600},
                               Range{"requestTimeout", 3600, 604800}, Range{"idleTimeout", 10, 604800},
                               Range{"instanceMaxRequests", 1, 10000000}}) {
            const long v = number(app, r.name);
            EXPECT_GE(v, r.low) << path << " " << r.name;
            EXPECT_LE(v, r.high) << path << " " << r.name;
        }
        EXPECT_EQ(env["REGISTRY_FASTCGI_MAX_REQUESTS"], attribute(app, "instanceMaxRequests"))
            << path << ": IIS and the program must agree on when a process is replaced";
        EXPECT_FALSE(env["REGISTRY_STORAGE_ROOT"].empty()) << path;
        EXPECT_EQ(attribute(app, "arguments"), "") << path << ": a mapping names no arguments";
        const std::string protocol = attribute(app, "protocol");
        EXPECT_TRUE(protocol.empty() || protocol == "NamedPipe") << path << ": the programs accept on IIS's pipe";
    }
    EXPECT_EQ(pooled, processors);
}

}  // namespace
