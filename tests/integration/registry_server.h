// The registry behind a real web server for the integration suites: lighttpd started with the
// project's own deploy/lighttpd.conf on a free local port over a scratch storage root, running
// the programs as CGI or FastCGI (BV_TEST_SERVER_MODE), stopped however the test ends, and a
// small HTTP/1.1 client over raw sockets that can also send bodies chunked, from files, or cut
// short.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace regtest {

namespace fs = std::filesystem;

inline int free_port() {
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

inline int connect_to(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    timeval tv{60, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return fd;
}

inline bool send_all(int fd, const char *data, size_t len) {
    while (len > 0) {
        const ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}
inline bool send_all(int fd, const std::string &s) { return send_all(fd, s.data(), s.size()); }

inline std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

struct HttpResponse {
    int status = 0;            // 0 when no answer arrived
    std::string head;          // status line and header lines, each ending in CR LF
    std::map<std::string, std::string> headers;  // lower-case name -> value (the last one)
    std::string body;          // de-chunked when the server sent it chunked
    bool has_header(const std::string &line) const {
        return head.find("\r\n" + line + "\r\n") != std::string::npos;
    }
    std::string header(const std::string &name) const {
        auto it = headers.find(lower(name));
        return it == headers.end() ? std::string() : it->second;
    }
    bool has(const std::string &name) const { return headers.count(lower(name)) != 0; }
    int count(const std::string &name) const {
        int n = 0;
        for (size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2))
            if (lower(head.substr(at + 2, name.size() + 1)) == lower(name) + ":") ++n;
        return n;
    }
};

inline std::string dechunk(const std::string &raw) {
    std::string out;
    size_t at = 0;
    while (at < raw.size()) {
        const size_t eol = raw.find("\r\n", at);
        if (eol == std::string::npos) break;
        const size_t size = std::strtoul(raw.substr(at, eol - at).c_str(), nullptr, 16);
        if (size == 0) break;
        out.append(raw, eol + 2, size);
        at = eol + 2 + size + 2;
    }
    return out;
}

// Reads one answer until the server closes the connection (every request says close).
inline HttpResponse read_response(int fd, bool head_only_method) {
    HttpResponse r;
    std::string all;
    char buf[65536];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) all.append(buf, static_cast<size_t>(n));
    const size_t split = all.find("\r\n\r\n");
    if (split == std::string::npos) return r;
    r.head = all.substr(0, split + 2);
    r.body = head_only_method ? std::string() : all.substr(split + 4);
    r.status = std::atoi(all.c_str() + all.find(' ') + 1);
    for (size_t at = r.head.find("\r\n"); at != std::string::npos && at + 2 < r.head.size();) {
        const size_t eol = r.head.find("\r\n", at + 2);
        const std::string line = r.head.substr(at + 2, eol - at - 2);
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            size_t v = colon + 1;
            while (v < line.size() && line[v] == ' ') ++v;
            r.headers[lower(line.substr(0, colon))] = line.substr(v);
        }
        at = eol;
    }
    if (lower(r.header("Transfer-Encoding")).find("chunked") != std::string::npos) r.body = dechunk(r.body);
    return r;
}

struct HttpRequest {
    std::string method = "GET";
    std::string path = "/v2/";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    bool chunked = false;      // send the body with Transfer-Encoding: chunked
    size_t chunk_size = 65536;
};

inline std::string request_head(const HttpRequest &req, bool announce_length, uint64_t length) {
    std::string head = req.method + " " + req.path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    for (const auto &[name, value] : req.headers) head += name + ": " + value + "\r\n";
    if (req.chunked) head += "Transfer-Encoding: chunked\r\n";
    else if (announce_length) head += "Content-Length: " + std::to_string(length) + "\r\n";
    return head + "\r\n";
}

inline bool send_chunk(int fd, const char *data, size_t len) {
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", len);
    return send_all(fd, size, std::strlen(size)) && send_all(fd, data, len) && send_all(fd, "\r\n", 2);
}

// One request on its own connection. A body goes with Content-Length unless chunked; a
// method that carries a body (POST, PUT, PATCH) announces even an empty one.
inline HttpResponse http(int port, const HttpRequest &req) {
    int fd = connect_to(port);
    if (fd < 0) return {};
    const bool bodied = !req.body.empty() || req.method == "POST" || req.method == "PUT" || req.method == "PATCH";
    bool ok = send_all(fd, request_head(req, bodied, req.body.size()));
    if (ok && req.chunked) {
        for (size_t at = 0; ok && at < req.body.size(); at += req.chunk_size)
            ok = send_chunk(fd, req.body.data() + at, std::min(req.chunk_size, req.body.size() - at));
        ok = ok && send_all(fd, "0\r\n\r\n");
    } else if (ok) {
        ok = send_all(fd, req.body);
    }
    HttpResponse r = read_response(fd, req.method == "HEAD");
    close(fd);
    return r;
}

inline HttpResponse http(int port, const std::string &method, const std::string &path,
                         std::vector<std::pair<std::string, std::string>> headers = {},
                         std::string body = {}) {
    HttpRequest req;
    req.method = method;
    req.path = path;
    req.headers = std::move(headers);
    req.body = std::move(body);
    return http(port, req);
}

// A request whose body is the file at `path`, read and sent in pieces (never whole in memory).
inline HttpResponse http_file(int port, HttpRequest req, const fs::path &path) {
    int fd = connect_to(port);
    int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || in < 0) {
        if (fd >= 0) close(fd);
        if (in >= 0) close(in);
        return {};
    }
    const uint64_t size = fs::file_size(path);
    bool ok = send_all(fd, request_head(req, true, size));
    std::vector<char> buf(1 << 20);
    ssize_t n;
    while (ok && (n = read(in, buf.data(), buf.size())) > 0)
        ok = req.chunked ? send_chunk(fd, buf.data(), static_cast<size_t>(n))
                         : send_all(fd, buf.data(), static_cast<size_t>(n));
    if (ok && req.chunked) send_all(fd, "0\r\n\r\n");
    close(in);
    HttpResponse r = read_response(fd, false);
    close(fd);
    return r;
}

// A request that announces `announced` body bytes, sends only `sent`, waits a moment for the
// server to pass them on and closes the connection: a client that went away mid-body.
inline void http_cut_short(int port, HttpRequest req, uint64_t announced, const std::string &sent) {
    int fd = connect_to(port);
    if (fd < 0) return;
    if (send_all(fd, request_head(req, true, announced))) send_all(fd, sent);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    close(fd);
}

// Header values of a request to one server, in order.
using Headers = std::vector<std::pair<std::string, std::string>>;

inline std::string lighttpd_binary() {
    for (const char *c : {"/usr/sbin/lighttpd", "/usr/bin/lighttpd", "/usr/local/sbin/lighttpd"})
        if (access(c, X_OK) == 0) return c;
    return {};
}

// How the web server runs the endpoint programs: one process per request, or FastCGI
// applications serving many requests each (deploy/lighttpd-fastcgi.conf under lighttpd).
enum class ServerMode { cgi, fastcgi };

inline const char *mode_name(ServerMode mode) { return mode == ServerMode::fastcgi ? "fastcgi" : "cgi"; }

// The mode every suite's servers run in unless a test chooses: BV_TEST_SERVER_MODE=fastcgi or
// cgi (the default). Any other value stops the run, rather than test a mode nobody asked for.
inline ServerMode server_mode_from_environment() {
    const char *value = std::getenv("BV_TEST_SERVER_MODE");
    const std::string mode = value ? value : "";
    if (mode.empty() || mode == "cgi") return ServerMode::cgi;
    if (mode == "fastcgi") return ServerMode::fastcgi;
    std::fprintf(stderr, "BV_TEST_SERVER_MODE must be \"cgi\" or \"fastcgi\", not \"%s\"\n", mode.c_str());
    std::abort();
}

struct ServerOptions {
    ServerMode mode = server_mode_from_environment();
    // Under FastCGI: processes per program (BV_FASTCGI_PROCS) and requests each serves before
    // it is replaced. Fewer than in production, so a suite's requests also cross retirements.
    int fastcgi_procs = 2;
    int fastcgi_transfer_procs = 2;  // BV_FASTCGI_TRANSFER_PROCS: uploads and streamed blob GETs
    int fastcgi_max_requests = 100;
    bool x_sendfile = true;  // REGISTRY_X_SENDFILE for the blob program
    // Optional pieces of deploy/ included after lighttpd.conf, as the start script includes
    // them for its switches (e.g. "lighttpd-auth.conf"), and variables they read.
    std::vector<std::string> extra_configs;
    std::vector<std::pair<std::string, std::string>> env;
    std::string bin_dir;  // the endpoint programs; empty: this build's
};

// lighttpd over a scratch storage root. start() fails the current test when the server does
// not come up; the destructor stops it.
class RegistryServer {
public:
    RegistryServer() = default;
    RegistryServer(const RegistryServer &) = delete;
    RegistryServer &operator=(const RegistryServer &) = delete;
    ~RegistryServer() { stop(); }

    void start(const ServerOptions &options = {}) {
        const std::string server = lighttpd_binary();
        ASSERT_FALSE(server.empty()) << "lighttpd is not installed (scripts/deps.sh server)";
        for (const char *dir : {"docroot", "spool", "storage", "run"}) fs::create_directories(scratch_.path() / dir);
        // The storage tree is made the way an operator makes it; lighttpd's X-Sendfile
        // directory is part of it.
        bvtest::make_storage_tree(storage_root());
        port_ = free_port();
        const std::string config = write_config(options);
        const std::string port = std::to_string(port_);
        const std::string procs = std::to_string(options.fastcgi_procs);
        const std::string transfer_procs = std::to_string(options.fastcgi_transfer_procs);
        const std::string max_requests = std::to_string(options.fastcgi_max_requests);
        mode_ = options.mode;
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive a crashed test
            setenv("BV_PORT", port.c_str(), 1);
            setenv("BV_BIND", "127.0.0.1", 1);
            setenv("BV_BIN_DIR", options.bin_dir.empty() ? BV_PROGRAM_DIR : options.bin_dir.c_str(), 1);
            setenv("BV_DEPLOY_DIR", (std::string(BV_SOURCE_DIR) + "/deploy").c_str(), 1);
            setenv("BV_DOC_ROOT", (scratch_.path() / "docroot").c_str(), 1);
            setenv("BV_SPOOL_DIR", (scratch_.path() / "spool").c_str(), 1);
            setenv("BV_X_SENDFILE", options.x_sendfile ? "1" : "0", 1);
            setenv("REGISTRY_STORAGE_ROOT", storage_root().c_str(), 1);
            setenv("BV_RUN_DIR", (scratch_.path() / "run").c_str(), 1);
            setenv("BV_FASTCGI_PROCS", procs.c_str(), 1);
            setenv("BV_FASTCGI_TRANSFER_PROCS", transfer_procs.c_str(), 1);
            setenv("REGISTRY_FASTCGI_MAX_REQUESTS", max_requests.c_str(), 1);
            for (const auto &[name, value] : options.env) setenv(name.c_str(), value.c_str(), 1);
            const int devnull = open("/dev/null", O_WRONLY);
            if (devnull >= 0) dup2(devnull, 2);  // lighttpd's start and stop notes
            execl(server.c_str(), server.c_str(), "-D", "-f", config.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 400; ++i) {
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

    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

    int port() const { return port_; }
    ServerMode mode() const { return mode_; }
    pid_t pid() const { return pid_; }
    fs::path storage_root() const { return scratch_.path() / "storage"; }
    fs::path scratch() const { return scratch_.path(); }

    HttpResponse request(const std::string &method, const std::string &path, Headers headers = {},
                     std::string body = {}) const {
        return http(port_, method, path, std::move(headers), std::move(body));
    }

private:
    // The configuration lighttpd runs: the project's own, then each optional piece, then under
    // FastCGI the piece that makes the programs FastCGI applications.
    std::string write_config(const ServerOptions &options) const {
        const std::string deploy = std::string(BV_SOURCE_DIR) + "/deploy/";
        const fs::path path = scratch_.path() / "lighttpd-run.conf";
        std::string text = "include \"" + deploy + "lighttpd.conf\"\n";
        for (const std::string &piece : options.extra_configs)
            text += "include \"" + (piece.find('/') == std::string::npos ? deploy + piece : piece) + "\"\n";
        if (options.mode == ServerMode::fastcgi) text += "include \"" + deploy + "lighttpd-fastcgi.conf\"\n";
        bvtest::write_all(path, text);
        return path.string();
    }

    bvtest::TempDir scratch_;
    pid_t pid_ = -1;
    int port_ = 0;
    ServerMode mode_ = ServerMode::cgi;
};

// A test suite with one server per test, started before the test body runs.
class RegistryServerTest : public ::testing::Test {
protected:
    void SetUp() override { server_.start(options()); }
    virtual ServerOptions options() const { return {}; }
    int port() const { return server_.port(); }
    RegistryServer server_;
};

inline const char kApiVersion[] = "Docker-Distribution-API-Version: registry/2.0";
inline const char kJsonType[] = "Content-Type: application/json; charset=utf-8";

}  // namespace regtest
