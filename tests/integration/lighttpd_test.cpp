// The ping and the routing behind a real web server: lighttpd started with the project's own
// configuration, spoken to over HTTP; paths no endpoint serves and lighttpd's own refusals
// answer in the registry's error envelope.
#include <gtest/gtest.h>

#include <string>

#include "tests/integration/registry_server.h"

namespace {

using regtest::kApiVersion;
using regtest::kJsonType;

class Lighttpd : public regtest::RegistryServerTest {};

TEST_F(Lighttpd, ServesThePingOverHttp) {
    struct Case {
        const char *method;
        const char *path;
        int status;
        const char *body;
    };
    const std::string refusal = "{\"errors\":[{\"code\":\"UNSUPPORTED\",\"message\":\"Method not allowed for /v2/\"}]}\n";
    const Case cases[] = {
        {"GET", "/v2/", 200, "{}\n"},
        {"GET", "/v2", 200, "{}\n"},
        {"GET", "/v2/?n=1", 200, "{}\n"},
        {"OPTIONS", "/v2/", 200, "{}\n"},
        {"HEAD", "/v2/", 200, ""},
        {"DELETE", "/v2/", 405, refusal.c_str()},
        {"PUT", "/v2/", 405, refusal.c_str()},
    };
    for (const auto &c : cases) {
        auto r = regtest::http(port(), c.method, c.path);
        const std::string label = std::string(c.method) + " " + c.path;
        EXPECT_EQ(r.status, c.status) << label << "\n" << r.head;
        EXPECT_EQ(r.body, c.body) << label;
        EXPECT_TRUE(r.has_header(kApiVersion)) << label << "\n" << r.head;
        EXPECT_TRUE(r.has_header(kJsonType)) << label << "\n" << r.head;
    }
}

TEST_F(Lighttpd, OtherPathsGetTheRegistryNotFound) {
    // "/" is the browsing page; its files are reached only through /ui/.
    const char *paths[] = {"/v2x", "/index.html", "/.web/index.html", "/ui/missing.js", "/ui/",
                           "/.endpoints/v2_ping", "/.errors/error-handler.sh", "/.errors/not-found.sh",
                           "/v2/library/x/unknown/y", "/v2/a/blobs/", "/v2/_oci/ext/discover?n=1",
                           "/v2/library/x/_ext/y", "/v2/_catalog/more"};
    for (const char *path : paths) {
        auto r = regtest::http(port(), "GET", path);
        EXPECT_EQ(r.status, 404) << path;
        EXPECT_TRUE(r.has_header(kApiVersion)) << path << "\n" << r.head;
        EXPECT_TRUE(r.has_header(kJsonType)) << path << "\n" << r.head;
        EXPECT_EQ(r.body.rfind("{\"errors\":[{\"code\":", 0), 0u) << path << ": " << r.body;
        EXPECT_EQ(r.body.find("{}"), std::string::npos) << path;
        // Extension paths reach the version check's program, which says why.
        const bool extension = std::string(path).find("/_") != std::string::npos;
        EXPECT_EQ(r.body.find("no API extension") != std::string::npos, extension) << path << ": " << r.body;
    }
}

// Refusals lighttpd makes itself, before or instead of any program, in the registry's form:
// the status, the API version (once), the JSON type and an envelope (no body for HEAD).
TEST_F(Lighttpd, OwnRefusalsComeInTheEnvelope) {
    struct Case {
        const char *label;
        std::string raw;
        int status;
        const char *code;
    };
    const Case cases[] = {
        {"two Host headers", "GET /v2/ HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400, "UNSUPPORTED"},
        {"POST without a length", "POST /v2/a/blobs/uploads/ HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n",
         411, "SIZE_INVALID"},
        {"body over the limit",
         "PATCH /v2/a/blobs/uploads/x HTTP/1.1\r\nHost: a\r\nConnection: close\r\n"
         "Content-Length: 99999999999999\r\n\r\n",
         413, "SIZE_INVALID"},
        {"dot segment", "GET /v2/a/../b/blobs/x HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n", 400,
         "UNSUPPORTED"},
        {"encoded dot segment", "GET /v2/a/%2e%2E/b/blobs/x HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n",
         400, "UNSUPPORTED"},
        {"encoded control byte", "GET /v2/a%01b/blobs/x HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n", 400,
         "UNSUPPORTED"},
    };
    for (const auto &c : cases) {
        const int fd = regtest::connect_to(port());
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(regtest::send_all(fd, c.raw));
        auto r = regtest::read_response(fd, false);
        close(fd);
        EXPECT_EQ(r.status, c.status) << c.label << "\n" << r.head;
        EXPECT_EQ(r.count("Docker-Distribution-API-Version"), 1) << c.label << "\n" << r.head;
        EXPECT_TRUE(r.has_header(kJsonType)) << c.label << "\n" << r.head;
        const std::string opening = "{\"errors\":[{\"code\":\"" + std::string(c.code) + "\",\"message\":\"";
        const std::string closing = " (" + std::to_string(c.status) + ")\"}]}\n";
        EXPECT_EQ(r.body.rfind(opening, 0), 0u) << c.label << ": " << r.body;
        EXPECT_TRUE(r.body.size() > closing.size() &&
                    r.body.compare(r.body.size() - closing.size(), closing.size(), closing) == 0)
            << c.label << ": " << r.body;
    }
}

}  // namespace
