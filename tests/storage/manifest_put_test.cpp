// Manifest put's checks: every refusal in the order the checks run, with its placeholders and
// nothing written; the strict JSON parse case by case; size limits and very deep nesting.
#include <filesystem>
#include <string>
#include <vector>

#include "manifest_fixture.h"
#include "storage/storage_internal.h"

namespace manifesttest {
namespace {

using std::string;

const string kValid = manifest();

struct Refusal {
    const char *what;
    string repo, ref, body, message;
};

TEST_F(ManifestTest, PutRefusesInCheckOrderAndWritesNothing) {
    const string bad_json = "{";
    const std::vector<Refusal> cases = {
        {"name before reference", "a b", "", bad_json, "invalid repository name: a b"},
        {"reference before tag form", "app", "", bad_json, "empty reference"},
        {"tag before body", "app", "x/y", bad_json, "invalid tag: x/y"},
        {"backslash tag", "app", "x\\y", kValid, "invalid tag: x\\y"},
        {"dot tag", "app", ".", kValid, "invalid tag: ."},
        {"dot-dot tag", "app", "..", kValid, "invalid tag: .."},
        {"empty body", "app", "t", "", "manifest JSON parse failed"},
        {"array root", "app", "t", "[]", "manifest must be a JSON object"},
        {"string root", "app", "t", "\"x\"", "manifest must be a JSON object"},
        {"no config", "app", "t", R"({"manifests":[]})", "manifest missing valid config.digest"},
        {"config string", "app", "t", R"({"config":"x"})", "manifest missing valid config.digest"},
        {"config no digest", "app", "t", R"({"config":{}})", "manifest missing valid config.digest"},
        {"numeric digest", "app", "t", R"({"config":{"digest":1}})",
         "manifest missing valid config.digest"},
        {"upper-case digest", "app", "t", manifest("sha256:" + string(64, 'A')),
         "manifest missing valid config.digest"},
        {"63 digits", "app", "t", manifest("sha256:" + string(63, 'a')),
         "manifest missing valid config.digest"},
        {"escaped NUL in digest", "app", "t", manifest(fake_digest('a') + "\\u0000"),
         "manifest missing valid config.digest"},
        {"config before layers", "app", "t", manifest("x", {"y"}),
         "manifest missing valid config.digest"},
        {"layers null", "app", "t", R"({"config":{"digest":")" + fake_digest('a') + R"("},"layers":null})",
         "manifest layers must be an array"},
        {"layers object", "app", "t", R"({"config":{"digest":")" + fake_digest('a') + R"("},"layers":{}})",
         "manifest layers must be an array"},
        {"second layer bad", "app", "t", manifest(fake_digest('a'), {fake_digest('b'), "sha256:"}),
         "manifest layer 1 missing valid digest"},
        {"layer not object", "app", "t",
         R"({"config":{"digest":")" + fake_digest('a') + R"("},"layers":["x"]})",
         "manifest layer 0 missing valid digest"},
    };
    for (const Refusal &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(put_status(c.ref, c.body, c.repo), -1);
        EXPECT_EQ(error(), c.message);
        EXPECT_TRUE(fs::is_empty(repos()));
    }
}

TEST_F(ManifestTest, PutNullArgumentsAndReadinessComeFirst) {
    char d[72];
    const char *b = kValid.c_str();
    const size_t n = kValid.size();
    EXPECT_EQ(reg_manifest_put(nullptr, "t", b, n, nullptr, d), -1);
    EXPECT_EQ(error(), "NULL argument");
    EXPECT_EQ(reg_manifest_put("app", nullptr, b, n, nullptr, d), -1);
    EXPECT_EQ(reg_manifest_put("app", "t", nullptr, n, nullptr, d), -1);
    EXPECT_EQ(reg_manifest_put("app", "t", b, n, nullptr, nullptr), -1);
    EXPECT_EQ(error(), "NULL argument");
    reg_storage_cleanup();
    EXPECT_EQ(reg_manifest_put("a b", "", b, n, nullptr, d), -1);
    EXPECT_EQ(error(), "not initialized - call reg_storage_init first");
    char mt[128];
    EXPECT_EQ(reg_manifest_get("app", "t", mt, d), nullptr);
    EXPECT_EQ(error(), "not initialized - call reg_storage_init first");
    EXPECT_EQ(reg_manifest_delete(nullptr, "t"), -1);
    EXPECT_EQ(error(), "NULL argument");
}

// Bodies that pass or fail the parse alone: the rest of each body is a valid manifest.
TEST_F(ManifestTest, ParseAcceptsStandardJsonOfExactlyTheGivenBytes) {
    const string cfg = R"("config":{"digest":")" + fake_digest('a') + R"("})";
    const auto with = [&](const string &member) { return "{" + cfg + ",\"x\":" + member + "}"; };
    struct Case {
        const char *what;
        string body;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"plain", kValid, true},
        {"surrounding whitespace", " \t\r\n" + kValid + " \t\r\n", true},
        {"byte-order mark", "\xEF\xBB\xBF" + kValid, false},
        {"NUL after the document", kValid + string(1, '\0'), false},
        {"NUL and garbage after", kValid + string(1, '\0') + "junk", false},
        {"trailing comma in object", "{" + cfg + ",}", false},
        {"trailing comma in array", with("[1,]"), false},
        {"block comment", "{/*c*/" + cfg + "}", false},
        {"line comment", "{" + cfg + "}//c", false},
        {"text after the value", kValid + " {}", false},
        {"single quotes", with("'x'"), false},
        {"NaN", with("NaN"), false},
        {"Infinity", with("-Infinity"), false},
        {"1e400", with("1e400"), false},
        {"1.8e308", with("1.8e308"), false},
        {"10e308", with("10e308"), false},
        {"400-digit integer", with(string(400, '9')), false},
        {"largest double", with("1.7976931348623157e308"), true},
        {"just above the largest", with("1.7976931348623159e308"), false},
        {"1e-400 underflows to zero", with("1e-400"), true},
        {"30-digit integer", with("123456789012345678901234567890"), true},
        {"fraction and exponent", with("-0.5E+10"), true},
        {"leading zero", with("01"), false},
        {"invalid UTF-8", with("\"\xC3\x28\""), false},
        {"overlong UTF-8", with("\"\xC0\xAF\""), false},
        {"UTF-8 surrogate", with("\"\xED\xA0\x80\""), false},
        {"valid UTF-8", with("\"gr\xC3\xBC\xC3\x9F \xF0\x9F\x90\xB3\""), true},
        {"raw control byte", with("\"a\tb\""), false},
        {"escapes", R"({"config":{"digest":"\u0073ha256:)" + string(64, 'a') + "\"}}", true},
        {"first duplicate tested, valid", "{" + cfg + ",\"config\":5}", true},
        {"first duplicate tested, invalid", "{\"config\":5," + cfg + "}", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const string before = c.body;
        EXPECT_EQ(put_status("t", c.body), c.accepted ? 0 : -1) << error();
        EXPECT_EQ(c.body, before);
        if (!c.accepted && c.body.find("\"config\":5") == string::npos) {
            EXPECT_EQ(error(), "manifest JSON parse failed");
        }
    }
}

TEST_F(ManifestTest, DeepNestingIsParsedWithoutRecursion) {
    const size_t depth = 100000;
    const string deep = string(depth, '[') + string(depth, ']');
    EXPECT_EQ(put_status("t", deep), -1);
    EXPECT_EQ(error(), "manifest must be a JSON object");
    const string inside = R"({"config":{"digest":")" + fake_digest('a') + R"("},"x":)" + deep + "}";
    EXPECT_EQ(put_status("t", inside), 0) << error();
    EXPECT_EQ(put_status("t", string(depth, '[') + string(depth - 1, ']')), -1);
    EXPECT_EQ(error(), "manifest JSON parse failed");
    string objects;
    for (size_t i = 0; i < depth; ++i) objects += "{\"a\":";
    EXPECT_EQ(put_status("t", objects + "1" + string(depth, '}')), -1);
    EXPECT_EQ(error(), "manifest missing valid config.digest");
}

TEST_F(ManifestTest, BodySizeLimitMatchesWhatGetCanReturn) {
    const size_t limit = 1048575;
    string body = kValid + string(limit - kValid.size(), ' ');
    const string digest = put("t", body);
    EXPECT_EQ(get("t"), body);
    body.push_back(' ');
    EXPECT_EQ(put_status("big", body), -1);
    EXPECT_EQ(error().rfind("manifest too large", 0), 0u) << error();
    EXPECT_FALSE(fs::exists(tag_link("big")));
    EXPECT_FALSE(fs::exists(body_file(hex_of(body))));

    // A body placed by other means that get could only return cut is refused whole.
    bvtest::write_all(body_file(hex_of(body)), body);
    EXPECT_EQ(get("sha256:" + hex_of(body)), "<null>");
    EXPECT_EQ(error(), "manifest body too large: app@sha256:" + hex_of(body));
    EXPECT_EQ(got_type, "untouched");
}

TEST(ManifestRepoName, ComponentsMustBeRealDirectoryNames) {
    using reg_internal::repo_name_valid;
    for (const string &ok : std::vector<string>{"library/app", "A-b_c.1", "a\\b", "a.b", ".a/b.", string(255, 'x')}) {
        EXPECT_EQ(repo_name_valid(ok.c_str()), 1) << ok;
    }
    for (const string &bad : std::vector<string>{"", string(256, 'x'), "a..b", "../x", "a b", "app:1", "caf\xC3\xA9",
                             ".", "./a", "a/./b", "a/.", "/a", "a/", "a//b", "a\\/b", "\\a"}) {
        EXPECT_EQ(repo_name_valid(bad.c_str()), 0) << bad;
    }
    EXPECT_EQ(repo_name_valid(nullptr), 0);
}

}  // namespace
}  // namespace manifesttest
