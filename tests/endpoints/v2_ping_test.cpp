// The ping program as the web server runs it: each method's exact response and exit status.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

const std::string ok_head =
    "Status: 200 OK\r\n"
    "Docker-Distribution-API-Version: registry/2.0\r\n"
    "Content-Type: application/json; charset=utf-8\r\n"
    "Content-Length: 3\r\n"
    "\r\n";

const std::string refusal =
    "Status: 405\r\n"
    "Docker-Distribution-API-Version: registry/2.0\r\n"
    "Content-Type: application/json; charset=utf-8\r\n"
    "\r\n"
    "{\"errors\":[{\"code\":\"UNSUPPORTED\",\"message\":\"Method not allowed for /v2/\"}]}\n";

TEST(V2Ping, EveryMethodOfTheTable) {
    const std::vector<std::pair<std::optional<std::string>, std::string>> cases = {
        {std::nullopt, ok_head + "{}\n"},
        {"", ok_head + "{}\n"},
        {"GET", ok_head + "{}\n"},
        {"OPTIONS", ok_head + "{}\n"},
        {"HEAD", ok_head},
        {"get", refusal},
        {"Head", refusal},
        {"HEADX", refusal},
        {"POST", refusal},
        {"PUT", refusal},
        {"DELETE", refusal},
        {"PATCH", refusal},
    };
    for (const auto &[method, expected] : cases) {
        auto r = bvtest::run_program(bvtest::program_path("v2_ping"), {}, {{"REQUEST_METHOD", method}});
        const std::string label = method ? "'" + *method + "'" : "unset";
        EXPECT_EQ(r.out, expected) << label;
        EXPECT_EQ(r.exit_code, 0) << label;
    }
}

TEST(V2Ping, IgnoresPathQueryAndBody) {
    auto r = bvtest::run_program(bvtest::program_path("v2_ping"), {"ignored"},
                                 {{"REQUEST_METHOD", "GET"}, {"PATH_INFO", "/v2/other"},
                                  {"QUERY_STRING", "n=1"}, {"CONTENT_LENGTH", "4"}},
                                 "body");
    EXPECT_EQ(r.out, ok_head + "{}\n");
    EXPECT_EQ(r.exit_code, 0);
}

// The web servers send the API's extension paths here: 404 in the envelope for every method,
// with its length and no body on HEAD. Other paths, the catalog's among them, are the check.
TEST(V2Ping, ExtensionPathsAreNotFound) {
    const std::string envelope =
        "{\"errors\":[{\"code\":\"UNSUPPORTED\",\"message\":\"this registry offers no API extension at this path\"}]}\n";
    const std::string not_found = "Status: 404\r\nDocker-Distribution-API-Version: registry/2.0\r\n"
                                  "Content-Type: application/json; charset=utf-8\r\nContent-Length: " +
                                  std::to_string(envelope.size()) + "\r\n\r\n";
    struct Case {
        const char *path;
        const char *method;
        std::string expected;
    };
    const Case cases[] = {
        {"/v2/_oci/ext/discover", "GET", not_found + envelope},
        {"/v2/lib/app/_ext/x/y", "HEAD", not_found},
        {"/v2/_x", "POST", not_found + envelope},
        {"/v2/_catalog", "GET", ok_head + "{}\n"},
        {"/v2/lib/a_b/tags", "GET", ok_head + "{}\n"},
        {"/x/_ext", "GET", ok_head + "{}\n"},
    };
    for (const auto &c : cases) {
        auto r = bvtest::run_program(bvtest::program_path("v2_ping"), {},
                                     {{"REQUEST_METHOD", std::string(c.method)}, {"PATH_INFO", std::string(c.path)}});
        EXPECT_EQ(r.out, c.expected) << c.method << " " << c.path;
        EXPECT_EQ(r.exit_code, 0) << c.path;
    }
}

}  // namespace
