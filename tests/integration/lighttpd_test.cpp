// The ping behind a real web server: lighttpd started with the project's own configuration
// on a free local port, spoken to over HTTP, and stopped however the test ends.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

int connect_to(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

struct HttpResponse {
    int status = 0;
    std::string head;  // status line and headers, lower-cased names kept as sent
    std::string body;
    bool has_header(const std::string &line) const { return head.find("\r\n" + line + "\r\n") != std::string::npos; }
};

// One request on its own connection; the server closes it after the answer.
HttpResponse http(int port, const std::string &method, const std::string &path) {
    HttpResponse r;
    int fd = connect_to(port);
    if (fd < 0) return r;
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const std::string req = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) {
        close(fd);
        return r;
    }
    std::string all;
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) all.append(buf, static_cast<size_t>(n));
    close(fd);
    const size_t split = all.find("\r\n\r\n");
    if (split == std::string::npos) return r;
    r.head = all.substr(0, split + 2);
    r.body = all.substr(split + 4);
    r.status = std::atoi(all.c_str() + all.find(' ') + 1);
    return r;
}

class Lighttpd : public ::testing::Test {
protected:
    void SetUp() override {
        const char *candidates[] = {"/usr/sbin/lighttpd", "/usr/bin/lighttpd", "/usr/local/sbin/lighttpd"};
        for (const char *c : candidates)
            if (access(c, X_OK) == 0) server_ = c;
        ASSERT_FALSE(server_.empty()) << "lighttpd is not installed (scripts/deps.sh server)";
        fs::create_directories(scratch_.path() / "docroot");
        port_ = free_port();
        const std::string config = std::string(BV_SOURCE_DIR) + "/deploy/lighttpd.conf";
        const std::string port = std::to_string(port_);
        const std::string docroot = (scratch_.path() / "docroot").string();
        const std::string storage = (scratch_.path() / "storage").string();

        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive a crashed test
            setenv("BV_PORT", port.c_str(), 1);
            setenv("BV_BIND", "127.0.0.1", 1);
            setenv("BV_BIN_DIR", BV_PROGRAM_DIR, 1);
            setenv("BV_DEPLOY_DIR", (std::string(BV_SOURCE_DIR) + "/deploy").c_str(), 1);
            setenv("BV_DOC_ROOT", docroot.c_str(), 1);
            setenv("REGISTRY_STORAGE_ROOT", storage.c_str(), 1);
            execl(server_.c_str(), server_.c_str(), "-D", "-f", config.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 200; ++i) {
            int fd = connect_to(port_);
            if (fd >= 0) {
                close(fd);
                return;
            }
            int status;
            ASSERT_EQ(waitpid(pid_, &status, WNOHANG), 0) << "lighttpd exited during start-up";
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        FAIL() << "lighttpd did not start listening";
    }

    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status;
            waitpid(pid_, &status, 0);
        }
    }

    bvtest::TempDir scratch_;
    std::string server_;
    pid_t pid_ = -1;
    int port_ = 0;
};

const char *api_version = "Docker-Distribution-API-Version: registry/2.0";
const char *json_type = "Content-Type: application/json; charset=utf-8";

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
        auto r = http(port_, c.method, c.path);
        const std::string label = std::string(c.method) + " " + c.path;
        EXPECT_EQ(r.status, c.status) << label << "\n" << r.head;
        EXPECT_EQ(r.body, c.body) << label;
        EXPECT_TRUE(r.has_header(api_version)) << label << "\n" << r.head;
        EXPECT_TRUE(r.has_header(json_type)) << label << "\n" << r.head;
    }
}

TEST_F(Lighttpd, OtherPathsGetTheRegistryNotFound) {
    const char *paths[] = {"/v2/_catalog", "/v2/library/x/tags/list", "/v2x", "/", "/.endpoints/v2_ping",
                           "/v2/%2e%2e/.endpoints/v2_ping"};
    for (const char *path : paths) {
        auto r = http(port_, "GET", path);
        EXPECT_EQ(r.status, 404) << path;
        EXPECT_TRUE(r.has_header(api_version)) << path << "\n" << r.head;
        EXPECT_TRUE(r.has_header(json_type)) << path << "\n" << r.head;
        EXPECT_EQ(r.body.rfind("{\"errors\":[{\"code\":", 0), 0u) << path << ": " << r.body;
        EXPECT_EQ(r.body.find("{}"), std::string::npos) << path;
    }
}

}  // namespace
