// The statistics program behind /stats: the engine's document for an empty and a filled root,
// HEAD without a body, every method but GET and HEAD refused, reads allowed in read-only mode,
// and an unusable storage root answered in the error envelope.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/endpoints/registry_cgi.h"

namespace {

using regcgi::Answer;
using regcgi::Request;

class StatsProgram : public regcgi::RegistryCgiTest {
protected:
    Answer stats(const std::string &method = "GET", std::vector<bvtest::EnvChange> env = {}) {
        Request req;
        req.method = method;
        req.path = "";
        req.env = std::move(env);
        return run("registry_stats", req);
    }
    // The number after "member": in a flat document, -1 when missing.
    static long long number(const std::string &doc, const std::string &member) {
        const std::string key = "\"" + member + "\":";
        const size_t at = doc.find(key);
        return at == std::string::npos ? -1 : std::stoll(doc.substr(at + key.size()));
    }
};

TEST_F(StatsProgram, EmptyAndFilledRoots) {
    Answer empty = stats();
    ASSERT_EQ(empty.status, 200) << empty.body;
    EXPECT_EQ(empty.header("content-type"), "application/json; charset=utf-8");
    EXPECT_EQ(empty.header("cache-control"), "no-store");
    EXPECT_EQ(empty.header("docker-distribution-api-version"), "registry/2.0");
    for (const char *member : {"repositories", "tags", "blobs", "blob_bytes", "active_uploads", "upload_bytes"})
        EXPECT_EQ(number(empty.body, member), 0) << member << ": " << empty.body;

    store("app", "v1", image("app", "one"));
    store("app", "v2", image("app", "two"));
    store("team/tool", "latest", image("team/tool", "three"));
    char uuid[40] = {};
    ASSERT_EQ(reg_blob_start_upload(uuid), 0);
    ASSERT_EQ(reg_blob_append_chunk(uuid, "12345", 5), 0);

    Answer filled = stats();
    ASSERT_EQ(filled.status, 200) << filled.body;
    EXPECT_EQ(number(filled.body, "repositories"), 2) << filled.body;
    EXPECT_EQ(number(filled.body, "tags"), 3) << filled.body;
    EXPECT_EQ(number(filled.body, "active_uploads"), 1) << filled.body;
    EXPECT_EQ(number(filled.body, "upload_bytes"), 5) << filled.body;
    EXPECT_GE(number(filled.body, "blobs"), 6) << filled.body;  // three configs, three layers
    // The program answers the engine's own document, whole.
    const char *doc = reg_storage_get_stats_json();
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(filled.body, std::string(doc) + "\n");
}

TEST_F(StatsProgram, MethodsAndModes) {
    Answer get = stats();
    Answer head = stats("HEAD");
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(head.body.empty()) << head.body;
    EXPECT_EQ(head.header("content-length"), std::to_string(get.body.size()));

    for (const char *method : {"POST", "PUT", "DELETE", "PATCH", "OPTIONS"}) {
        Answer refused = stats(method);
        EXPECT_EQ(refused.status, 405) << method;
        EXPECT_EQ(refused.code(), "UNSUPPORTED") << method;
        EXPECT_NE(refused.header("allow").find("GET"), std::string::npos) << method << ": " << refused.header("allow");
    }
    // Statistics are a read: a read-only registry still answers them.
    Answer read_only = stats("GET", {{"REGISTRY_READ_ONLY", "1"}});
    EXPECT_EQ(read_only.status, 200) << read_only.body;
}

// A root without its tree is the operator's to fix (503, come back later) and stays as it was;
// a tree whose config.json is broken is the server's fault (500).
TEST_F(StatsProgram, UnusableRootIsAnErrorEnvelope) {
    const std::string file = root_.str() + "/not-a-directory";
    bvtest::write_all(file, "x");
    const std::string missing = root_.str() + "/absent";
    const std::string broken = root_.str() + "/broken";
    std::filesystem::create_directory(broken);
    bvtest::write_all(broken + "/config.json", "[]");
    const struct {
        std::string root;
        int status;
        const char *retry_after;
    } cases[] = {{file, 503, "60"}, {missing, 503, "60"}, {broken, 500, "<none>"}};
    for (const auto &c : cases) {
        Answer a = stats("GET", {{"REGISTRY_STORAGE_ROOT", c.root}});
        EXPECT_EQ(a.status, c.status) << c.root << ": " << a.body;
        EXPECT_EQ(a.code(), "UNKNOWN") << a.body;
        EXPECT_EQ(a.header("retry-after"), c.retry_after) << c.root;
    }
    EXPECT_FALSE(std::filesystem::exists(missing));
}

}  // namespace
