// The registry envelope: error responses and JSON success responses, byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

const std::string head(int status) {
    return "Status: " + std::to_string(status) +
           "\r\nDocker-Distribution-API-Version: registry/2.0\r\n"
           "Content-Type: application/json; charset=utf-8\r\n\r\n";
}

struct Case {
    const char *label;
    std::vector<std::string> args;
    std::string expected;
    int exit_code;
};

TEST(OciEnvelope, ErrorAndJsonResponses) {
    const std::vector<Case> cases = {
        {"ping refusal", {"oci_error", "405", "UNSUPPORTED", "Method not allowed for /v2/"},
         head(405) + "{\"errors\":[{\"code\":\"UNSUPPORTED\",\"message\":\"Method not allowed for /v2/\"}]}\n", 0},
        {"null code and message", {"oci_error", "500", "@null", "@null"},
         head(500) + "{\"errors\":[{\"code\":\"UNKNOWN\",\"message\":\"Unknown error\"}]}\n", 0},
        {"empty code and message", {"oci_error", "400", "", ""},
         head(400) + "{\"errors\":[{\"code\":\"\",\"message\":\"\"}]}\n", 0},
        {"message escaped, code not", {"oci_error", "400", "A\"\\", "q\"b\\s\nx"},
         head(400) + "{\"errors\":[{\"code\":\"A\"\\\",\"message\":\"q\\\"b\\\\s\\nx\"}]}\n", 0},
        {"status 200 has no reason", {"oci_error", "200", "X", "y"},
         head(200) + "{\"errors\":[{\"code\":\"X\",\"message\":\"y\"}]}\n", 0},
        {"json null body", {"oci_json", "200", "@null"}, head(200) + "{}\n", 7},
        {"json empty body", {"oci_json", "200", ""}, head(200) + "{}\n", 7},
        {"json array", {"oci_json", "202", "[]"}, head(202) + "[]\n", 7},
        {"json body with line feed", {"oci_json", "200", "{\"a\":1}\n"}, head(200) + "{\"a\":1}\n\n", 7},
        // oci_send_json returns: later calls of the same process still run.
        {"json returns", {"oci_json", "200", "[]", "escape", "41"}, head(200) + "[]\nA", 7},
    };
    for (const auto &c : cases) {
        auto r = bvtest::run_program(bvtest::probe_path("cgi_probe"), c.args);
        EXPECT_EQ(r.out, c.expected) << c.label;
        EXPECT_EQ(r.exit_code, c.exit_code) << c.label;
    }
}

}  // namespace
