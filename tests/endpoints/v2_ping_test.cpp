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

}  // namespace
