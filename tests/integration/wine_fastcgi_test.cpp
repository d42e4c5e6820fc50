// The Windows build of the endpoint programs as FastCGI applications under Wine: each .exe
// listens on TCP itself (deploy/wine-fastcgi.sh, REGISTRY_FASTCGI_LISTEN) and lighttpd reaches
// it with "host" and "port" (deploy/lighttpd-wine-fastcgi.conf). skopeo copies an image in and
// out; the tests also speak FastCGI to one process directly, to show that failed and aborted
// requests leave it serving the next ones correctly, and that replaced processes lose nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/sha256_hex.h"
#include "tests/integration/client_tools.h"
#include "tests/integration/oci_layout.h"
#include "tests/integration/registry_server.h"

namespace {

namespace fs = std::filesystem;
using ocilayout::digest_of;

// Ports 19210-19227 (program i listens on 1921i and 1922i).
constexpr const char kPortDigits[] = "192";
constexpr int kManifestsPort = 19214, kUploadsPort = 19212;

std::string wine_bin_dir() {
    const char *dir = std::getenv("BV_WINE_BIN_DIR");
    return dir ? dir : "";
}

// ---- A FastCGI client over TCP, as a web server speaks it ------------------------------------------

using Params = std::vector<std::pair<std::string, std::string>>;

std::string fcgi_record(int type, int id, const std::string &content) {
    const int pad = static_cast<int>((8 - content.size() % 8) % 8);
    std::string r = {1, static_cast<char>(type), static_cast<char>(id >> 8), static_cast<char>(id & 0xff),
                     static_cast<char>(content.size() >> 8), static_cast<char>(content.size() & 0xff),
                     static_cast<char>(pad), 0};
    return r + content + std::string(static_cast<size_t>(pad), '\0');
}

std::string fcgi_length(size_t n) {
    if (n < 128) return std::string(1, static_cast<char>(n));
    return {static_cast<char>(0x80 | (n >> 24)), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
            static_cast<char>(n)};
}

std::string fcgi_begin(int id, bool keep) { return fcgi_record(1, id, std::string{0, 1, keep ? '\1' : '\0', 0, 0, 0, 0, 0}); }

std::string fcgi_params(int id, const Params &params) {
    std::string pairs;
    for (const auto &[n, v] : params) pairs += fcgi_length(n.size()) + fcgi_length(v.size()) + n + v;
    return fcgi_record(4, id, pairs) + fcgi_record(4, id, "");
}

// The CGI answer a request got: its STDOUT stream, and whether FCGI_END_REQUEST came.
struct Answer {
    bool ended = false;
    int status = 0;  // from the Status header, 200 without one
    std::string head, body;
};

Answer read_answer(int fd) {
    Answer a;
    std::string in, out;
    char buf[65536];
    for (;;) {
        size_t at = 0;
        while (in.size() - at >= 8) {
            const auto *h = reinterpret_cast<const unsigned char *>(in.data() + at);
            const size_t len = static_cast<size_t>(h[4] << 8 | h[5]), whole = 8 + len + h[6];
            if (in.size() - at < whole) break;
            if (h[1] == 6) out.append(in, at + 8, len);
            if (h[1] == 3) a.ended = true;
            at += whole;
        }
        in.erase(0, at);
        if (a.ended) break;
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        in.append(buf, static_cast<size_t>(n));
    }
    const size_t split = out.find("\r\n\r\n");
    a.head = out.substr(0, split == std::string::npos ? out.size() : split + 2);
    a.body = split == std::string::npos ? "" : out.substr(split + 4);
    const size_t status = a.head.find("Status: ");
    a.status = status == std::string::npos ? 200 : std::atoi(a.head.c_str() + status + 8);
    return a;
}

Params request_params(const std::string &method, const std::string &path, const std::string &query = "",
                      const std::string &body = "", const std::string &type = "") {
    Params p = {{"GATEWAY_INTERFACE", "CGI/1.1"}, {"SERVER_PROTOCOL", "HTTP/1.1"}, {"REQUEST_METHOD", method},
                {"SCRIPT_NAME", "/.endpoints/x"}, {"PATH_INFO", path}, {"QUERY_STRING", query},
                {"REMOTE_ADDR", "127.0.0.1"}};
    if (!body.empty() || method == "POST" || method == "PUT") p.push_back({"CONTENT_LENGTH", std::to_string(body.size())});
    if (!type.empty()) p.push_back({"CONTENT_TYPE", type});
    return p;
}

// One whole request on `fd` (id 1), body in records of 4000 bytes.
Answer fcgi_send(int fd, const Params &params, const std::string &body, bool keep) {
    std::string wire = fcgi_begin(1, keep) + fcgi_params(1, params);
    for (size_t at = 0; at < body.size(); at += 4000) wire += fcgi_record(5, 1, body.substr(at, 4000));
    wire += fcgi_record(5, 1, "");
    if (!regtest::send_all(fd, wire)) return {};
    return read_answer(fd);
}

Answer fcgi_once(int port, const Params &params, const std::string &body = "") {
    const int fd = regtest::connect_to(port);
    if (fd < 0) return {};
    Answer a = fcgi_send(fd, params, body, false);
    close(fd);
    return a;
}

// ---- The fixture -----------------------------------------------------------------------------------

class WineFastcgi : public regtest::RegistryServerTest {
protected:
    virtual std::string max_requests() const { return "10000"; }

    regtest::ServerOptions options() const override {
        regtest::ServerOptions o;
        o.bin_dir = wine_bin_dir();
        o.x_sendfile = false;
        o.extra_configs = {"lighttpd-wine.conf", "lighttpd-wine-fastcgi.conf"};
        o.env = {{"BV_WINE_FASTCGI_PORTS", kPortDigits}};
        // The FastCGI piece here is the Wine one; lighttpd-fastcgi.conf would start Linux programs.
        o.mode = regtest::ServerMode::cgi;
        return o;
    }

    static std::vector<int> ports() {
        std::vector<int> out;
        for (int slot : {1, 2})
            for (int i = 0; i < 8; ++i) out.push_back(std::atoi(kPortDigits) * 100 + slot * 10 + i);
        return out;
    }

    void SetUp() override {
        if (wine_bin_dir().empty())
            GTEST_SKIP() << "runs from scripts/test-windows.sh, which sets BV_WINE_BIN_DIR to the launchers of "
                            "the Windows build";
        for (const char *var : {"BV_WINE", "WINEPREFIX"}) ASSERT_NE(std::getenv(var), nullptr) << var << " must be set";
        ASSERT_FALSE(clienttools::find_tool("skopeo").empty()) << "skopeo is not installed (scripts/deps.sh server)";
        RegistryServerTest::SetUp();
        if (HasFatalFailure()) return;
        start_programs();
        if (HasFatalFailure()) return;
        auto ping = regtest::http(port(), "GET", "/v2/");
        ASSERT_EQ(ping.status, 200) << "v2_ping.exe did not answer as a FastCGI application:\n"
                                    << ping.head << ping.body << log();
        ASSERT_EQ(ping.body, "{}\n");
        client_.prepare(server_.scratch());
    }

    void TearDown() override {
        if (programs_ > 0) {
            kill(-programs_, SIGTERM);
            int status;
            waitpid(programs_, &status, 0);
            // The next test binds the same ports: wait until every program has let go of them.
            for (int i = 0; i < 200 && any_port_open(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            programs_ = -1;
        }
    }

    void start_programs() {
        ASSERT_FALSE(any_port_open()) << "ports 19210-19227 are taken by something else";
        const std::string script = std::string(BV_SOURCE_DIR) + "/deploy/wine-fastcgi.sh";
        const std::string root = server_.storage_root().string(), logfile = (server_.scratch() / "wine-fastcgi.log").string();
        programs_ = fork();
        ASSERT_GE(programs_, 0);
        if (programs_ == 0) {
            setsid();  // one process group: the script, its loops and every Wine program
            setenv("REGISTRY_STORAGE_ROOT", root.c_str(), 1);
            setenv("BV_WINE_FASTCGI_PORTS", kPortDigits, 1);
            setenv("REGISTRY_FASTCGI_MAX_REQUESTS", max_requests().c_str(), 1);
            const int fd = open(logfile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            execl("/bin/sh", "sh", script.c_str(), wine_bin_dir().c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 1200; ++i) {
            bool all = true;
            for (int p : ports()) {
                const int fd = regtest::connect_to(p);
                if (fd < 0) {
                    all = false;
                    break;
                }
                close(fd);
            }
            if (all) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        FAIL() << "the Windows programs did not all listen within a minute\n" << log();
    }

    static bool any_port_open() {
        for (int p : ports()) {
            const int fd = regtest::connect_to(p);
            if (fd >= 0) {
                close(fd);
                return true;
            }
        }
        return false;
    }

    std::string log() const { return bvtest::read_all(server_.scratch() / "wine-fastcgi.log"); }
    std::string remote(const std::string &ref) const { return "docker://127.0.0.1:" + std::to_string(port()) + "/" + ref; }
    std::string layout(const std::string &name, const std::string &tag) const {
        return "oci:" + (server_.scratch() / name).string() + ":" + tag;
    }

    // Every regular file of the storage tree, by the digest of its bytes.
    std::set<std::string> stored_digests() const {
        std::set<std::string> out;
        for (const auto &e : fs::recursive_directory_iterator(server_.storage_root()))
            if (e.is_regular_file()) out.insert(digest_of(bvtest::read_all(e.path())));
        return out;
    }

    void push_image(const std::string &repo, const ocilayout::Image &img, const std::string &tag) {
        std::vector<std::string> blobs = img.layers;
        blobs.push_back(img.config);
        for (const auto &b : blobs)
            ASSERT_EQ(server_.request("POST", "/v2/" + repo + "/blobs/uploads/?digest=" + digest_of(b), {}, b).status, 201);
        ASSERT_EQ(server_.request("PUT", "/v2/" + repo + "/manifests/" + tag, {{"Content-Type", ocilayout::kManifestType}},
                                  img.manifest).status,
                  201);
    }

    pid_t programs_ = -1;
    clienttools::SkopeoRunner client_;
};

#define ASSERT_RUNS(result) ASSERT_EQ((result).exit_code, 0) << client_.last() << "\n" << (result).out

TEST_F(WineFastcgi, SkopeoCopiesAnImageInAndOut) {
    ocilayout::Layout src(21);
    const ocilayout::Image img = src.image("amd64", 3, 700000);
    src.write(server_.scratch() / "src", {{"v1", {ocilayout::kManifestType, img.manifest}}});

    ASSERT_RUNS(client_.copy(layout("src", "v1"), remote("lib/app:v1")));
    auto raw = client_.run({"inspect", "--raw", "--tls-verify=false", remote("lib/app:v1")});
    ASSERT_RUNS(raw);
    EXPECT_EQ(raw.out, img.manifest);
    ASSERT_RUNS(client_.copy(remote("lib/app:v1"), layout("back", "v1")));
    clienttools::expect_blobs(server_.scratch() / "back", img);

    // The stored tree holds every blob and the manifest byte for byte, and no upload is left.
    const std::set<std::string> stored = stored_digests();
    for (const auto &layer : img.layers) EXPECT_EQ(stored.count(digest_of(layer)), 1u) << "layer missing";
    EXPECT_EQ(stored.count(digest_of(img.config)), 1u) << "config missing";
    EXPECT_EQ(stored.count(img.digest()), 1u) << "manifest missing";
    const fs::path uploads = server_.storage_root() / "uploads";
    if (fs::exists(uploads)) {
        for (const auto &e : fs::recursive_directory_iterator(uploads))
            EXPECT_FALSE(e.is_regular_file()) << "left over: " << e.path();
    }
}

// Failing requests (each ending its request, not the process) and good ones alternate on one
// process, over one kept connection and over a connection each: every answer is its own.
TEST_F(WineFastcgi, FailedRequestsLeaveTheProcessServing) {
    ocilayout::Layout src(22);
    const ocilayout::Image img = src.image("amd64", 1);
    push_image("keep/app", img, "v1");
    const std::string mt = ocilayout::kManifestType;
    struct Step {
        const char *label;
        Params params;
        std::string body;
        int status;
        std::string body_has;
    };
    const std::vector<Step> steps = {
        {"unknown tag", request_params("GET", "/v2/keep/app/manifests/nope"), "", 404, "MANIFEST_UNKNOWN"},
        {"good tag", request_params("GET", "/v2/keep/app/manifests/v1"), "", 200, img.manifest},
        {"malformed manifest", request_params("PUT", "/v2/keep/app/manifests/bad", "", "{not json", mt), "{not json", 400,
         "MANIFEST_INVALID"},
        {"good digest", request_params("GET", "/v2/keep/app/manifests/" + img.digest()), "", 200, img.manifest},
        {"invalid name", request_params("GET", "/v2/Bad_Name!/manifests/v1"), "", 400, "NAME_INVALID"},
        {"unknown repository", request_params("HEAD", "/v2/other/app/manifests/v1"), "", 404, ""},
        {"good again", request_params("GET", "/v2/keep/app/manifests/v1"), "", 200, img.manifest},
    };
    // One process serves one connection at a time: the kept connection goes first, whole.
    for (const bool keep : {true, false}) {
        const int kept_fd = keep ? regtest::connect_to(kManifestsPort) : -1;
        if (keep) {
            ASSERT_GE(kept_fd, 0);
        }
        const char *how = keep ? "kept connection" : "own connection";
        for (int round = 0; round < 2; ++round) {
            for (const Step &s : steps) {
                const Answer a = keep ? fcgi_send(kept_fd, s.params, s.body, true)
                                      : fcgi_once(kManifestsPort, s.params, s.body);
                ASSERT_TRUE(a.ended) << s.label << ", " << how << ": no end of request\n" << log();
                EXPECT_EQ(a.status, s.status) << s.label << ", " << how << "\n" << a.head << a.body;
                EXPECT_NE(a.body.find(s.body_has), std::string::npos) << s.label << ", " << how << ": " << a.body;
                if (s.status == 200) {
                    EXPECT_NE(a.head.find("Docker-Content-Digest: " + img.digest()), std::string::npos) << s.label;
                }
            }
        }
        if (keep) close(kept_fd);
    }
    EXPECT_EQ(server_.request("GET", "/v2/keep/app/manifests/bad").status, 404) << "the refused manifest was stored";
}

// A connection closed in the middle of a body, and a request aborted with FCGI_ABORT_REQUEST:
// neither stores the blob, and the same process takes the next uploads whole.
TEST_F(WineFastcgi, RequestsAfterAnAbortedConnection) {
    std::mt19937_64 rng(23);
    const std::string blob = ocilayout::random_bytes(rng, 300000);
    const std::string cut = ocilayout::random_bytes(rng, 300000);
    const Params cut_params =
        request_params("POST", "/v2/abort/app/blobs/uploads/", "digest=" + digest_of(cut), cut, "application/octet-stream");
    for (int round = 0; round < 3; ++round) {
        {
            const int fd = regtest::connect_to(kUploadsPort);
            ASSERT_GE(fd, 0);
            std::string wire = fcgi_begin(1, false) + fcgi_params(1, cut_params) + fcgi_record(5, 1, cut.substr(0, 40000));
            ASSERT_TRUE(regtest::send_all(fd, wire));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            close(fd);  // the web server went away mid-body
        }
        {
            const int fd = regtest::connect_to(kUploadsPort);
            ASSERT_GE(fd, 0);
            std::string wire = fcgi_begin(1, true) + fcgi_params(1, cut_params) + fcgi_record(5, 1, cut.substr(0, 40000)) +
                               fcgi_record(2, 1, "");
            ASSERT_TRUE(regtest::send_all(fd, wire));
            const Answer aborted = read_answer(fd);
            EXPECT_TRUE(aborted.ended) << "an abort is answered with the end of the request\n" << log();
            // The same connection, kept, serves a whole upload next.
            const std::string one = ocilayout::random_bytes(rng, 1000 + static_cast<size_t>(round));
            const Answer next = fcgi_send(
                fd, request_params("POST", "/v2/abort/app/blobs/uploads/", "digest=" + digest_of(one), one), one, true);
            EXPECT_EQ(next.status, 201) << next.head << next.body;
            close(fd);
        }
        const Answer good = fcgi_once(
            kUploadsPort, request_params("POST", "/v2/abort/app/blobs/uploads/", "digest=" + digest_of(blob), blob), blob);
        EXPECT_EQ(good.status, 201) << "round " << round << "\n" << good.head << good.body << log();
        EXPECT_NE(good.head.find("Location: "), std::string::npos);
    }
    // Through lighttpd as well: a client that goes away mid-body, then a whole push.
    regtest::HttpRequest post;
    post.method = "POST";
    post.path = "/v2/abort/http/blobs/uploads/?digest=" + digest_of(cut);
    regtest::http_cut_short(port(), post, cut.size(), cut.substr(0, 50000));
    EXPECT_EQ(server_.request("POST", "/v2/abort/http/blobs/uploads/?digest=" + digest_of(blob), {}, blob).status, 201);

    EXPECT_TRUE(server_.request("GET", "/v2/abort/app/blobs/" + digest_of(blob)).body == blob);
    EXPECT_EQ(server_.request("HEAD", "/v2/abort/app/blobs/" + digest_of(cut)).status, 404) << "a cut body was stored";
    EXPECT_EQ(server_.request("HEAD", "/v2/abort/http/blobs/" + digest_of(cut)).status, 404) << "a cut body was stored";
    EXPECT_EQ(stored_digests().count(digest_of(cut)), 0u);
}

// Processes that end after three requests each are replaced while pushes and reads go on:
// every request is answered, every pushed blob is there. A process's port closes when its last
// request begins, so lighttpd sends the next to the program's other process; it tries the
// closed port again only at its next once-a-second check, so the requests come a little apart,
// as they would to processes that serve thousands each.
class WineFastcgiRecycled : public WineFastcgi {
protected:
    std::string max_requests() const override { return "3"; }
};

TEST_F(WineFastcgiRecycled, ReplacedProcessesLoseNothing) {
    std::mt19937_64 rng(24);
    std::string failed;
    std::vector<std::string> blobs;
    for (int i = 0; i < 18; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(450));
        blobs.push_back(ocilayout::random_bytes(rng, 5000 + static_cast<size_t>(i)));
        const auto pushed =
            server_.request("POST", "/v2/recycle/app/blobs/uploads/?digest=" + digest_of(blobs.back()), {}, blobs.back());
        if (pushed.status != 201) failed += " push " + std::to_string(i) + ": " + std::to_string(pushed.status);
        const auto ping = regtest::http(port(), "GET", "/v2/");
        if (ping.status != 200) failed += " ping " + std::to_string(i) + ": " + std::to_string(ping.status);
        // Each earlier blob in turn, read back whole.
        const std::string &earlier = blobs[static_cast<size_t>(i) / 2];
        const auto got = server_.request("GET", "/v2/recycle/app/blobs/" + digest_of(earlier));
        if (got.status != 200 || got.body != earlier)
            failed += " read " + std::to_string(i) + ": " + std::to_string(got.status);
    }
    EXPECT_EQ(failed, "") << "requests failed while processes were replaced\n" << log();
}

}  // namespace
