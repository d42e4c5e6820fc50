// Large blob bodies through lighttpd and Apache httpd, in the mode the suites run in (lighttpd
// streams a body with a length to the program and spools a chunked one; mod_fcgid takes every
// body in whole before the program runs): a blob of a few hundred MiB pushed with a length and
// chunked arrives whole and is served back, while no server or program process holds more than
// a bounded share of it in memory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "crypto/sha256.h"
#include "tests/integration/apache_server.h"
#include "tests/integration/crash_clients.h"
#include "tests/integration/registry_server.h"

namespace {

namespace fs = std::filesystem;

constexpr uint64_t kHoles = 200ull << 20;
constexpr long kPeakLimitKiB = 96 * 1024;

std::string file_digest(const fs::path &path) {
    uint8_t raw[32];
    if (sha256_file(path.c_str(), raw) != 0) return {};
    static const char hex[] = "0123456789abcdef";
    std::string out = "sha256:";
    for (uint8_t b : raw) out += {hex[b >> 4], hex[b & 15]};
    return out;
}

// The largest peak resident set (VmHWM) among the processes below `root` named `prefix` (not
// measured in the AddressSanitizer build).
[[maybe_unused]] long peak_kib(pid_t root, const std::string &prefix) {
    long most = 0;
    for (const auto &[pid, parent] : crashtest::descendants_named(root, prefix)) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmHWM:", 0) == 0) most = std::max(most, std::atol(line.c_str() + 6));
    }
    return most;
}

// Pushes a large sparse file to two repositories of the server on `port`, once with a length and
// once chunked, and reads each back: its size, and its last bytes by range.
void push_large_blob(int port, const fs::path &scratch, const std::string &log = {}) {
    const std::string tail = "the end of a large layer";
    const fs::path body = scratch / "body";
    {
        const int fd = open(body.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(kHoles)), static_cast<ssize_t>(tail.size()));
        close(fd);
    }
    const uint64_t size = kHoles + tail.size();
    const std::string digest = file_digest(body);
    ASSERT_FALSE(digest.empty());
    for (const bool chunked : {false, true}) {
        const std::string repo = chunked ? "big/chunked" : "big/length";
        auto started = regtest::http(port, "POST", "/v2/" + repo + "/blobs/uploads/");
        ASSERT_EQ(started.status, 202) << started.head << started.body << log;
        regtest::HttpRequest patch;
        patch.method = "PATCH";
        patch.path = started.header("Location");
        patch.chunked = chunked;
        auto patched = regtest::http_file(port, patch, body);
        EXPECT_EQ(patched.status, 202) << repo << "\n" << patched.head << patched.body << log;
        EXPECT_EQ(patched.header("Range"), "0-" + std::to_string(size - 1)) << repo;
        auto put = regtest::http(port, "PUT", patch.path + "?digest=" + digest, {}, "");
        EXPECT_EQ(put.status, 201) << repo << "\n" << put.head << put.body;

        const std::string blob = "/v2/" + repo + "/blobs/" + digest;
        auto head = regtest::http(port, "HEAD", blob);
        EXPECT_EQ(head.status, 200) << repo;
        EXPECT_EQ(head.header("Content-Length"), std::to_string(size)) << repo;
        auto end = regtest::http(port, "GET", blob, {{"Range", "bytes=-" + std::to_string(tail.size() + 2)}});
        EXPECT_EQ(end.status, 206) << repo << "\n" << end.head;
        EXPECT_EQ(end.body, std::string(2, '\0') + tail) << repo;
    }
    fs::remove(body);
}

class ApacheBodies : public apachetest::ApacheServerTest {};

TEST_F(ApacheBodies, LargeBlobsWithALengthAndChunkedArriveWhole) {
    push_large_blob(port(), server_.scratch(), server_.error_log());
#if !defined(__SANITIZE_ADDRESS__)  // whose shadow memory and quarantine would be measured
    const auto servers = crashtest::descendants_named(getpid(), "apache2");
    ASSERT_FALSE(servers.empty()) << "no httpd below this test";
    const pid_t httpd = servers.front().first;
    EXPECT_LT(peak_kib(httpd, "apache2"), kPeakLimitKiB) << "an httpd process held the body in memory";
    EXPECT_LT(peak_kib(httpd, "v2_uploads"), kPeakLimitKiB) << "the upload program held the body in memory";
#endif
}


class LighttpdBodies : public regtest::RegistryServerTest {};

TEST_F(LighttpdBodies, LargeBlobsWithALengthAndChunkedArriveWhole) {
    push_large_blob(port(), server_.scratch());
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(peak_kib(getpid(), "lighttpd"), kPeakLimitKiB) << "lighttpd held the body in memory";
    EXPECT_LT(peak_kib(getpid(), "v2_uploads"), kPeakLimitKiB) << "the upload program held the body in memory";
#endif
}

}  // namespace
