// The dispatcher in a child process: what it answers itself (bad names, paths that do not
// split, methods not in the table, refused writes, a storage that will not open), in which
// order, and what a handler sees of the request when the dispatcher hands it on.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"

using bvtest::EnvChange;

namespace {

const std::string api = "Docker-Distribution-API-Version: registry/2.0\r\n";
const std::string json_ct = "Content-Type: application/json; charset=utf-8\r\n";

std::string json_answer(int status, const std::string &body, bool head = false,
                        const std::string &extra = "") {
    return "Status: " + std::to_string(status) + "\r\n" + api + json_ct + extra +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + (head ? "" : body);
}

std::string error_answer(int status, const std::string &code, const std::string &message,
                         const std::string &extra = "") {
    return json_answer(status, "{\"errors\":[{\"code\":\"" + code + "\",\"message\":\"" + message + "\"}]}\n",
                       false, extra);
}

// What the probe's handlers answer: the request as they saw it.
std::string echo(const std::string &method, int head, const std::string &repo, const std::string &rest,
                 const std::string &query = "", const std::string &user = "") {
    return "{\"method\":\"" + method + "\",\"head\":" + std::to_string(head) + ",\"repo\":\"" + repo +
           "\",\"rest\":\"" + rest + "\",\"query\":\"" + query + "\",\"user\":\"" + user + "\"}\n";
}

struct DispatchCase {
    const char *label;
    std::optional<std::string> method;
    std::string path;
    std::string marker;  // "@null": no repository in the path
    std::string routes;
    std::vector<EnvChange> env;
    std::string expected;  // the probe's "#RC" follows
};

class OciDispatch : public ::testing::Test {
protected:
    void SetUp() override { bvtest::make_storage_tree(root.path()); }
    bvtest::TempDir root;

    void run(const std::vector<DispatchCase> &cases) {
        for (const auto &c : cases) {
            std::vector<EnvChange> env = {{"REQUEST_METHOD", c.method},
                                          {"PATH_INFO", c.path},
                                          {"QUERY_STRING", std::nullopt},
                                          {"REMOTE_USER", std::nullopt},
                                          {"REGISTRY_READ_ONLY", std::nullopt},
                                          {"REGISTRY_DELETE_ENABLED", std::nullopt},
                                          {"REGISTRY_ACCESS_FILE", std::nullopt},
                                          {"REGISTRY_STORAGE_ROOT", root.str()}};
            env.insert(env.end(), c.env.begin(), c.env.end());
            auto r = bvtest::run_program(bvtest::probe_path("oci_endpoint_probe"),
                                         {"dispatch", c.marker, c.routes}, env);
            EXPECT_EQ(r.exit_code, 0) << c.label;
            EXPECT_EQ(r.out, c.expected + "#0") << c.label;
        }
    }
};

const char *m = "/manifests/";
const char *rw = "GET,PUT:w,DELETE:w";

TEST_F(OciDispatch, HandsMatchingRequestsToTheirRoute) {
    const std::string long_name(255, 'a');
    run({
        {"GET", "GET", "/v2/library/ubuntu/manifests/latest", m, rw, {},
         json_answer(200, echo("GET", 0, "library/ubuntu", "latest"))},
        {"method unset is GET", std::nullopt, "/v2/a/manifests/x", m, rw, {},
         json_answer(200, echo("GET", 0, "a", "x"))},
        {"HEAD served by GET, without body", "HEAD", "/v2/a/manifests/x", m, rw, {},
         json_answer(200, echo("HEAD", 1, "a", "x"), true)},
        {"HEAD row of its own", "HEAD", "/v2/a/manifests/x", m, "HEAD", {},
         json_answer(200, echo("HEAD", 1, "a", "x"), true)},
        {"write route", "PUT", "/v2/a/b/manifests/v1", m, rw, {},
         json_answer(200, echo("PUT", 0, "a/b", "v1"))},
        {"name holding the marker word", "GET", "/v2/a/blobs/b/blobs/sha256:x", "/blobs/", "GET", {},
         json_answer(200, echo("GET", 0, "a/blobs/b", "sha256:x"))},
        {"longest name", "GET", "/v2/" + long_name + "/manifests/x", m, "GET", {},
         json_answer(200, echo("GET", 0, long_name, "x"))},
        {"no repository", "GET", "/v2/_catalog", "@null", "GET", {},
         json_answer(200, echo("GET", 0, "", ""))},
        {"query and user", "GET", "/v2/a/tags/list", "/tags/list", "GET",
         {{"QUERY_STRING", "n=1"}, {"REMOTE_USER", "alice"}},
         json_answer(200, echo("GET", 0, "a", "", "n=1", "alice"))},
        {"read-only 0 allows writes", "DELETE", "/v2/a/manifests/x", m, rw, {{"REGISTRY_READ_ONLY", "0"}},
         json_answer(200, echo("DELETE", 0, "a", "x"))},
        {"read-only empty allows writes", "PUT", "/v2/a/manifests/x", m, rw, {{"REGISTRY_READ_ONLY", ""}},
         json_answer(200, echo("PUT", 0, "a", "x"))},
        {"read-only allows reads", "GET", "/v2/a/manifests/x", m, rw, {{"REGISTRY_READ_ONLY", "1"}},
         json_answer(200, echo("GET", 0, "a", "x"))},
    });
}

TEST_F(OciDispatch, AnswersWhatNoHandlerNeedRepeat) {
    const std::string bad_name = error_answer(400, "NAME_INVALID", "invalid repository name");
    const std::string unknown = error_answer(404, "NAME_UNKNOWN", "no such repository resource");
    const std::string not_allowed = "The method is not allowed for this resource";
    run({
        {"upper case name", "GET", "/v2/Library/manifests/x", m, rw, {}, bad_name},
        {"dot component", "GET", "/v2/a/../b/manifests/x", m, rw, {}, bad_name},
        {"name too long for any buffer", "GET", "/v2/" + std::string(300, 'a') + "/manifests/x", m, rw, {},
         bad_name},
        {"name is checked before the method", "POST", "/v2/A/manifests/x", m, rw, {}, bad_name},
        {"no marker", "GET", "/v2/a/tags/list", m, rw, {}, unknown},
        {"no name", "GET", "/v2/manifests/x", m, rw, {}, unknown},
        {"remainder too long", "GET", "/v2/a/manifests/" + std::string(600, 'x'), m, rw, {}, unknown},
        {"method not in the table", "POST", "/v2/a/manifests/x", m, rw, {},
         error_answer(405, "UNSUPPORTED", not_allowed, "Allow: GET, HEAD, PUT, DELETE\r\n")},
        {"HEAD listed once", "PATCH", "/v2/a/manifests/x", m, "GET,HEAD,PUT:w,GET", {},
         error_answer(405, "UNSUPPORTED", not_allowed, "Allow: GET, HEAD, PUT\r\n")},
        {"HEAD without GET", "GET", "/v2/a/manifests/x", m, "HEAD,DELETE:w", {},
         error_answer(405, "UNSUPPORTED", not_allowed, "Allow: HEAD, DELETE\r\n")},
        {"methods are case-sensitive", "get", "/v2/a/manifests/x", m, "GET", {},
         error_answer(405, "UNSUPPORTED", not_allowed, "Allow: GET, HEAD\r\n")},
        {"a HEAD prefix is no HEAD", "HEADX", "/v2/a/manifests/x", m, "GET", {},
         error_answer(405, "UNSUPPORTED", not_allowed, "Allow: GET, HEAD\r\n")},
        {"empty table", "GET", "/v2/_catalog", "@null", "", {},
         error_answer(405, "UNSUPPORTED", not_allowed, "Allow: \r\n")},
        {"read-only refuses writes", "PUT", "/v2/a/manifests/x", m, rw, {{"REGISTRY_READ_ONLY", "1"}},
         error_answer(405, "UNSUPPORTED", "the registry is read-only")},
        {"read-only any value", "DELETE", "/v2/a/manifests/x", m, rw, {{"REGISTRY_READ_ONLY", "yes"}},
         error_answer(405, "UNSUPPORTED", "the registry is read-only")},
    });
}

TEST_F(OciDispatch, StorageThatWillNotOpenNamesNoPath) {
    // A root below a regular file cannot exist on any system.
    const auto blocker = root.path() / "secret-file";
    bvtest::write_all(blocker, "x");
    const std::string bad_root = (blocker / "store").string();
    const auto broken = root.path() / "broken";
    std::filesystem::create_directories(broken);
    bvtest::write_all(broken / "config.json", "not json");
    const std::string no_tree = "the storage tree is missing at the configured root; create it with registry-init";
    run({
        {"no tree there", "GET", "/v2/a/manifests/x", m, rw, {{"REGISTRY_STORAGE_ROOT", bad_root}},
         error_answer(503, "UNKNOWN", no_tree, "Retry-After: 60\r\n")},
        {"no tree below the root", "PUT", "/v2/a/manifests/x", m, rw,
         {{"REGISTRY_STORAGE_ROOT", (root.path() / "repositories").string()}},
         error_answer(503, "UNKNOWN", no_tree, "Retry-After: 60\r\n")},
        {"storage fails", "GET", "/v2/a/manifests/x", m, rw, {{"REGISTRY_STORAGE_ROOT", broken.string()}},
         error_answer(500, "UNKNOWN", "storage is not available")},
        // Answers that need no storage come before the bootstrap.
        {"405 needs no storage", "POST", "/v2/a/manifests/x", m, "GET", {{"REGISTRY_STORAGE_ROOT", bad_root}},
         error_answer(405, "UNSUPPORTED", "The method is not allowed for this resource",
                      "Allow: GET, HEAD\r\n")},
        {"read-only needs no storage", "PUT", "/v2/a/manifests/x", m, rw,
         {{"REGISTRY_STORAGE_ROOT", bad_root}, {"REGISTRY_READ_ONLY", "1"}},
         error_answer(405, "UNSUPPORTED", "the registry is read-only")},
    });
    // A root without its tree is left as it was found.
    EXPECT_TRUE(std::filesystem::is_empty(root.path() / "repositories"));
}

const char *rwd = "GET,PUT:w,DELETE:d";
const std::string read_only = "the registry is read-only";
const std::string no_delete = "deletes are disabled on this registry";

TEST_F(OciDispatch, SwitchesFromTheEnvironment) {
    run({
        {"read-only refuses deletes too", "DELETE", "/v2/a/manifests/x", m, rwd, {{"REGISTRY_READ_ONLY", "1"}},
         error_answer(405, "UNSUPPORTED", read_only)},
        {"read-only says so before deletes", "DELETE", "/v2/a/manifests/x", m, rwd,
         {{"REGISTRY_READ_ONLY", "1"}, {"REGISTRY_DELETE_ENABLED", "0"}}, error_answer(405, "UNSUPPORTED", read_only)},
        {"deletes off", "DELETE", "/v2/a/manifests/x", m, rwd, {{"REGISTRY_DELETE_ENABLED", "0"}},
         error_answer(405, "UNSUPPORTED", no_delete)},
        {"deletes off leaves writes", "PUT", "/v2/a/manifests/x", m, rwd, {{"REGISTRY_DELETE_ENABLED", "0"}},
         json_answer(200, echo("PUT", 0, "a", "x"))},
        {"deletes off leaves reads", "GET", "/v2/a/manifests/x", m, rwd, {{"REGISTRY_DELETE_ENABLED", "0"}},
         json_answer(200, echo("GET", 0, "a", "x"))},
        {"deletes on", "DELETE", "/v2/a/manifests/x", m, rwd, {{"REGISTRY_DELETE_ENABLED", "1"}},
         json_answer(200, echo("DELETE", 0, "a", "x"))},
        {"deletes empty is unset", "DELETE", "/v2/a/manifests/x", m, rwd, {{"REGISTRY_DELETE_ENABLED", ""}},
         json_answer(200, echo("DELETE", 0, "a", "x"))},
        {"a write route is no delete", "DELETE", "/v2/a/manifests/x", m, rw, {{"REGISTRY_DELETE_ENABLED", "0"}},
         json_answer(200, echo("DELETE", 0, "a", "x"))},
        {"the method comes first", "POST", "/v2/a/manifests/x", m, rwd, {{"REGISTRY_DELETE_ENABLED", "0"}},
         error_answer(405, "UNSUPPORTED", "The method is not allowed for this resource",
                      "Allow: GET, HEAD, PUT, DELETE\r\n")},
        {"the name comes first", "DELETE", "/v2/A/manifests/x", m, rwd, {{"REGISTRY_DELETE_ENABLED", "0"}},
         error_answer(400, "NAME_INVALID", "invalid repository name")},
    });
}

TEST_F(OciDispatch, SwitchesFromTheStorage) {
    const auto store = [&](const char *name, const std::string &json) {
        const auto dir = root.path() / name;
        std::filesystem::create_directories(dir);
        bvtest::write_all(dir / "config.json", json);
        return dir.string();
    };
    const std::string ro = store("ro", R"({"readOnly":true})");
    const std::string nodel = store("nodel", R"({"deleteEnabled":false})");
    run({
        {"read-only storage refuses writes", "PUT", "/v2/a/manifests/x", m, rwd, {{"REGISTRY_STORAGE_ROOT", ro}},
         error_answer(405, "UNSUPPORTED", read_only)},
        {"read-only storage refuses deletes", "DELETE", "/v2/a/manifests/x", m, rwd,
         {{"REGISTRY_STORAGE_ROOT", ro}}, error_answer(405, "UNSUPPORTED", read_only)},
        {"the environment cannot lift the storage's read-only", "PUT", "/v2/a/manifests/x", m, rwd,
         {{"REGISTRY_STORAGE_ROOT", ro}, {"REGISTRY_READ_ONLY", "0"}}, error_answer(405, "UNSUPPORTED", read_only)},
        {"read-only storage serves reads", "GET", "/v2/a/manifests/x", m, rwd, {{"REGISTRY_STORAGE_ROOT", ro}},
         json_answer(200, echo("GET", 0, "a", "x"))},
        {"storage without deletes", "DELETE", "/v2/a/manifests/x", m, rwd, {{"REGISTRY_STORAGE_ROOT", nodel}},
         error_answer(405, "UNSUPPORTED", no_delete)},
        {"storage without deletes takes writes", "PUT", "/v2/a/manifests/x", m, rwd,
         {{"REGISTRY_STORAGE_ROOT", nodel}}, json_answer(200, echo("PUT", 0, "a", "x"))},
        {"the environment wins for deletes", "DELETE", "/v2/a/manifests/x", m, rwd,
         {{"REGISTRY_STORAGE_ROOT", nodel}, {"REGISTRY_DELETE_ENABLED", "1"}},
         json_answer(200, echo("DELETE", 0, "a", "x"))},
    });
}

TEST_F(OciDispatch, AccessFileDecides) {
    const auto rules = root.path() / "access";
    bvtest::write_all(rules, "alice: write=team\n*: read=public\n");
    const auto broken = root.path() / "broken";
    bvtest::write_all(broken, "alice: write=team\nbob write=*\n");
    const EnvChange file = {"REGISTRY_ACCESS_FILE", rules.string()};
    const EnvChange alice = {"REMOTE_USER", "alice"};
    const std::string unusable = "the access file is malformed (line 2: no ':' after the user name)";
    run({
        {"her push", "PUT", "/v2/team/app/manifests/x", m, rwd, {file, alice},
         json_answer(200, echo("PUT", 0, "team/app", "x", "", "alice"))},
        {"her delete", "DELETE", "/v2/team/manifests/x", m, rwd, {file, alice},
         json_answer(200, echo("DELETE", 0, "team", "x", "", "alice"))},
        {"a push outside her prefixes", "PUT", "/v2/teamx/manifests/x", m, rwd, {file, alice},
         error_answer(403, "DENIED", "this user may not push to this repository")},
        {"a delete outside her prefixes", "DELETE", "/v2/public/manifests/x", m, rwd, {file, alice},
         error_answer(403, "DENIED", "this user may not delete from this repository")},
        {"anonymous read of public", "GET", "/v2/public/a/manifests/x", m, rwd, {file},
         json_answer(200, echo("GET", 0, "public/a", "x"))},
        {"anonymous read elsewhere", "HEAD", "/v2/team/manifests/x", m, rwd, {file},
         json_answer(403, "{\"errors\":[{\"code\":\"DENIED\",\"message\":\"anonymous requests may not read "
                          "this repository\"}]}\n", true)},
        {"catalog needs every repository", "GET", "/v2/_catalog", "@null", "GET", {file, alice},
         error_answer(403, "DENIED", "this user may not read every repository")},
        {"read-only answers before access", "PUT", "/v2/teamx/manifests/x", m, rwd,
         {file, alice, {"REGISTRY_READ_ONLY", "1"}}, error_answer(405, "UNSUPPORTED", read_only)},
        {"malformed file refuses all", "GET", "/v2/team/manifests/x", m, rwd,
         {{"REGISTRY_ACCESS_FILE", broken.string()}, alice}, error_answer(500, "UNKNOWN", unusable)},
        {"missing file refuses all", "GET", "/v2/team/manifests/x", m, rwd,
         {{"REGISTRY_ACCESS_FILE", (root.path() / "nope").string()}, alice},
         error_answer(500, "UNKNOWN", "the access file cannot be read")},
        {"empty variable is no file", "DELETE", "/v2/x/manifests/x", m, rwd, {{"REGISTRY_ACCESS_FILE", ""}},
         json_answer(200, echo("DELETE", 0, "x", "x"))},
    });
}

}  // namespace
