// Request path splitting and repository-name checks, including capacity limits and what the
// buffers hold after a refusal.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "oci/oci_common.h"

namespace {

struct ParseCase {
    const char *path;
    const char *marker;
    size_t repo_cap;
    size_t rest_cap;
    int result;
    const char *repo;
    const char *rest;
};

TEST(OciParseRepoMarker, SplitsPaths) {
    const char *m = "/manifests/";
    const std::string long_valid(255, 'b');
    const std::string too_long(256, 'b');
    const std::string long_path = "/v2/" + long_valid + "/manifests/x";
    const std::string too_long_path = "/v2/" + too_long + "/manifests/x";
    const std::vector<ParseCase> cases = {
        {"/v2/library/ubuntu/manifests/latest", m, 256, 256, 1, "library/ubuntu", "latest"},
        {"v2/library/ubuntu/manifests/latest", m, 256, 256, 1, "library/ubuntu", "latest"},
        {"library/ubuntu/manifests/latest", m, 256, 256, 1, "library/ubuntu", "latest"},
        {"/v2/library/ubuntu/tags/list", "/tags/list", 256, 256, 1, "library/ubuntu", ""},
        {"/v2/app/blobs/uploads/abc/", "/blobs/uploads/", 256, 256, 1, "app", "abc"},
        {"/v2/app/manifests//v1//", m, 256, 256, 1, "app", "v1/"},
        // The last marker splits, so a name may hold the marker's word.
        {"/v2/a/manifests/b/manifests/c", m, 256, 256, 1, "a/manifests/b", "c"},
        {"/v2/a/blobs/b/blobs/sha256:x", "/blobs/", 256, 256, 1, "a/blobs/b", "sha256:x"},
        {"/v2/a/manifests/manifests/x", m, 256, 256, 1, "a/manifests", "x"},
        {"/v2/a/blobs/uploads/x", "/blobs/", 256, 256, 1, "a", "uploads/x"},
        {"/v2x/manifests/y", m, 256, 256, 1, "v2x", "y"},
        {"/v2/Library/Ubuntu/manifests/latest", m, 256, 256, 0, "Library/Ubuntu", ""},
        {"/v2/manifests/latest", m, 256, 256, 0, "", ""},
        {"/v2", m, 256, 256, 0, "", ""},
        {"/v2//library/manifests/x", m, 256, 256, 0, "/library", ""},
        {"/v2/a//b/manifests/x", m, 256, 256, 0, "a//b", ""},
        {"/v2/bad name/manifests/x", m, 256, 256, 0, "bad name", ""},
        {"/v2/../manifests/x", m, 256, 256, 0, "..", ""},
        {"/v2/ab/manifests/x", m, 2, 256, 0, "", ""},
        {"/v2/library/ubuntu/manifests/latest", "", 256, 256, 0, "", ""},
        // Only one prefix goes, and every leading slash before it.
        {"///v2/v2/a/manifests/x", m, 256, 256, 1, "v2/a", "x"},
        {"v2", "v2", 256, 256, 0, "", ""},
        {"/v2/a/tags/list", m, 256, 256, 0, "", ""},
        // The name exactly fills its buffer; one byte less is refused.
        {"/v2/ab/manifests/x", m, 3, 256, 1, "ab", "x"},
        {long_path.c_str(), m, 256, 256, 1, long_valid.c_str(), "x"},
        {too_long_path.c_str(), m, 512, 256, 0, too_long.c_str(), ""},
        {too_long_path.c_str(), m, 256, 256, 0, "", ""},
        // A remainder that would be cut is refused, keeping the name; what fits after the
        // trailing slash is dropped passes.
        {"/v2/library/ubuntu/manifests/latest", m, 256, 4, 0, "library/ubuntu", ""},
        {"/v2/a/manifests/ab/c", m, 256, 4, 0, "a", ""},
        {"/v2/a/manifests/latest", m, 256, 1, 0, "a", ""},
        {"/v2/a/manifests/abc", m, 256, 3, 0, "a", ""},
        {"/v2/a/manifests/ab", m, 256, 3, 1, "a", "ab"},
        {"/v2/a/manifests/ab/", m, 256, 3, 1, "a", "ab"},
        {"/v2/a/manifests/", m, 256, 1, 1, "a", ""},
        {"/v2/a/manifests/", m, 256, 256, 1, "a", ""},
        {"/v2/a/manifests///", m, 256, 256, 1, "a", ""},
        {"/v2/a\xc3\xa9/manifests/x", m, 256, 256, 0, "a\xc3\xa9", ""},
    };
    for (const auto &c : cases) {
        std::string label = std::string(c.path) + " | " + c.marker + " | " +
                            std::to_string(c.repo_cap) + "/" + std::to_string(c.rest_cap);
        // Guard bytes behind each buffer catch writes past the stated capacity.
        std::vector<char> repo(c.repo_cap + 8, 'Z');
        std::vector<char> rest(c.rest_cap + 8, 'Z');
        int r = oci_parse_repo_marker(c.path, c.marker, repo.data(), c.repo_cap, rest.data(), c.rest_cap);
        EXPECT_EQ(r, c.result) << label;
        EXPECT_STREQ(repo.data(), c.repo) << label;
        EXPECT_STREQ(rest.data(), c.rest) << label;
        for (size_t i = c.repo_cap; i < repo.size(); ++i) EXPECT_EQ(repo[i], 'Z') << label;
        for (size_t i = c.rest_cap; i < rest.size(); ++i) EXPECT_EQ(rest[i], 'Z') << label;
    }
}

TEST(OciParseRepoMarker, MissingArgumentsWriteNothing) {
    char repo[16];
    char rest[16];
    auto fresh = [&] {
        std::memset(repo, 'Z', sizeof repo);
        std::memset(rest, 'Z', sizeof rest);
    };
    const char *p = "/v2/a/manifests/x";
    const char *m = "/manifests/";
    struct Case { const char *label; const char *path; const char *marker; char *repo; size_t cap; };
    const Case cases[] = {
        {"null path", nullptr, m, repo, sizeof repo},
        {"null marker", p, nullptr, repo, sizeof repo},
        {"null repo", p, m, nullptr, sizeof repo},
        {"repo capacity 0", p, m, repo, 0},
    };
    for (const auto &c : cases) {
        fresh();
        EXPECT_EQ(oci_parse_repo_marker(c.path, c.marker, c.repo, c.cap, rest, sizeof rest), 0) << c.label;
        EXPECT_EQ(repo[0], 'Z') << c.label;
        EXPECT_EQ(rest[0], 'Z') << c.label;
    }

    // Without a usable remainder buffer the name is still parsed and the buffer left alone.
    fresh();
    EXPECT_EQ(oci_parse_repo_marker(p, m, repo, sizeof repo, nullptr, 16), 1);
    EXPECT_STREQ(repo, "a");
    fresh();
    EXPECT_EQ(oci_parse_repo_marker(p, m, repo, sizeof repo, rest, 0), 1);
    EXPECT_STREQ(repo, "a");
    EXPECT_EQ(rest[0], 'Z');
}

TEST(OciValidRepoName, JudgesNames) {
    const std::string letters255(255, 'a');
    struct Case { std::string name; int valid; };
    const std::vector<Case> cases = {
        {"library/ubuntu", 1}, {"a", 1}, {"a9", 1}, {"0", 1}, {"a.b-c_d", 1}, {"a--b", 1},
        {"a---b", 1}, {"a__b", 1}, {"a_b", 1}, {"a.b", 1}, {"a/b/c", 1}, {"a-b.c_d__e/f0", 1},
        {"v2/a", 1}, {letters255, 1}, {"a/" + std::string(253, 'b'), 1},
        // Upper case, dot-only and separator-led components, doubled separators.
        {"A9", 0}, {"Library/ubuntu", 0}, {"a/B", 0}, {".", 0}, {"..", 0}, {"a/./b", 0},
        {"a/../b", 0}, {"a/.b", 0}, {"a/_b", 0}, {"a/-b", 0}, {"a._b", 0}, {"a_.b", 0},
        {"a___b", 0}, {"a..b", 0}, {"a.-b", 0}, {"_a", 0}, {".a", 0}, {"-a", 0}, {"a_", 0},
        {"a.", 0}, {"a-", 0}, {"a/b-", 0},
        // Slashes: one between components, none at either end.
        {"", 0}, {"a//b", 0}, {"a/", 0}, {"/a", 0}, {"/", 0}, {"-", 0},
        {letters255 + "a", 0}, {"a b", 0}, {"a:b", 0}, {"a\\b", 0}, {"a\xe9", 0},
        {"\xc3\xa9", 0}, {"a\x7f", 0}, {"a\tb", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(oci_valid_repo_name(c.name.c_str()), c.valid) << "[" << c.name << "]";
    EXPECT_EQ(oci_valid_repo_name(nullptr), 0);
}

}  // namespace
