// The upload program at its limits, run directly as a CGI process: a body of more than 4 GiB
// (a sparse file on standard input) stored and finished in bounded memory under an address
// space limit, and a request the web server tells to stop (SIGTERM) halfway through its body.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

struct ChildRun {
    int status = 0;        // the answer's HTTP status
    std::string out;       // what the program wrote
    long peak_rss_kib = 0;
    bool exited = false;
};

// Starts the upload program with `env`, standard input from `in_fd` (closed here), an address
// space limit when asked, and collects its answer and peak resident size.
class Child {
public:
    Child(const std::vector<std::pair<std::string, std::string>> &env, int in_fd, uint64_t as_limit) {
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in_fd, 0);
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            close(in_fd);
            for (const auto &[name, value] : env) setenv(name.c_str(), value.c_str(), 1);
            if (as_limit) {
                rlimit limit{as_limit, as_limit};
                setrlimit(RLIMIT_AS, &limit);
            }
            const std::string program = bvtest::program_path("v2_uploads");
            execl(program.c_str(), program.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        close(out[1]);
        close(in_fd);
        out_fd_ = out[0];
    }
    pid_t pid() const { return pid_; }
    ChildRun wait() {
        ChildRun r;
        char buf[4096];
        ssize_t n;
        while ((n = read(out_fd_, buf, sizeof buf)) > 0) r.out.append(buf, static_cast<size_t>(n));
        close(out_fd_);
        int status = 0;
        rusage usage{};
        wait4(pid_, &status, 0, &usage);
        r.exited = WIFEXITED(status);
        r.peak_rss_kib = usage.ru_maxrss;
        if (r.out.rfind("Status: ", 0) == 0) r.status = std::atoi(r.out.c_str() + 8);
        return r;
    }

private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
};

std::string header(const std::string &out, const std::string &name) {
    const size_t at = out.find("\r\n" + name + ": ");
    if (at == std::string::npos) return {};
    const size_t start = at + name.size() + 4;
    return out.substr(start, out.find("\r\n", start) - start);
}

class UploadLimits : public ::testing::Test {
protected:
    void SetUp() override { bvtest::make_storage_tree(root_.path()); }
    std::vector<std::pair<std::string, std::string>> cgi(const std::string &method, const std::string &path,
                                                         const std::string &query, uint64_t length) const {
        return {{"REQUEST_METHOD", method},
                {"PATH_INFO", path},
                {"QUERY_STRING", query},
                {"CONTENT_LENGTH", std::to_string(length)},
                {"REGISTRY_STORAGE_ROOT", root_.str()}};
    }
    static int devnull() { return open("/dev/null", O_RDONLY | O_CLOEXEC); }
    std::string start() const {
        ChildRun r = Child(cgi("POST", "/v2/big/blobs/uploads/", "", 0), devnull(), 0).wait();
        EXPECT_EQ(r.status, 202) << r.out;
        return header(r.out, "Docker-Upload-UUID");
    }
    bvtest::TempDir root_;
};

#if defined(__SANITIZE_ADDRESS__)
constexpr uint64_t kAddressLimit = 0;  // the sanitizer reserves terabytes of address space
constexpr long kRssLimitKiB = 256 * 1024;
#else
constexpr uint64_t kAddressLimit = 256ull << 20;
constexpr long kRssLimitKiB = 32 * 1024;
#endif

// 4 GiB of holes and a short tail: past every 32-bit size, read from disk at no cost. The
// digest is the one sha256sum gives for that file.
TEST_F(UploadLimits, FourGiBBodyInBoundedMemory) {
    const std::string tail = "end of a 4 GiB blob";
    const uint64_t size = (4ull << 30) + tail.size();
    const fs::path body = root_.path() / "body";
    {
        const int fd = open(body.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(4ull << 30)),
                  static_cast<ssize_t>(tail.size()));
        close(fd);
    }
    const std::string digest = "sha256:4c93eadfc249e6f706edb405fab5889fd6f3bcc1723c2365a32958b22b4ccc18";
    const std::string uuid = start();
    const std::string location = "/v2/big/blobs/uploads/" + uuid;

    const int in = open(body.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(in, 0);
    ChildRun patch = Child(cgi("PATCH", location, "", size), in, kAddressLimit).wait();
    EXPECT_EQ(patch.status, 202) << patch.out;
    EXPECT_EQ(header(patch.out, "Range"), "0-" + std::to_string(size - 1));
    EXPECT_LT(patch.peak_rss_kib, kRssLimitKiB);
    RecordProperty("patch_peak_rss_kib", static_cast<int>(patch.peak_rss_kib));
    fs::remove(body);

    ChildRun put = Child(cgi("PUT", location, "digest=" + digest, 0), devnull(), kAddressLimit).wait();
    EXPECT_EQ(put.status, 201) << put.out;
    EXPECT_EQ(header(put.out, "Docker-Content-Digest"), digest);
    EXPECT_LT(put.peak_rss_kib, kRssLimitKiB);
    RecordProperty("put_peak_rss_kib", static_cast<int>(put.peak_rss_kib));
    const fs::path blob = root_.path() / "blobs" / "sha256" / digest.substr(7, 2) / digest.substr(7);
    EXPECT_EQ(fs::file_size(blob), size);
}

// lighttpd sends SIGTERM to the program of a request whose client went away, then closes its
// input. The program must live on to see the body end short and undo its append, even after
// some of the body has reached the upload file.
TEST_F(UploadLimits, StopRequestMidBodyLeavesTheUploadAsItWas) {
    const std::string uuid = start();
    const std::string location = "/v2/big/blobs/uploads/" + uuid;
    int body[2];
    ASSERT_EQ(pipe(body), 0);
    fcntl(body[1], F_SETFD, FD_CLOEXEC);
    Child child(cgi("PATCH", location, "", 16u << 20), body[0], 0);
    const std::string piece(1 << 20, 'x');
    for (int i = 0; i < 5; ++i) ASSERT_EQ(write(body[1], piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
    const fs::path part = root_.path() / "uploads" / (uuid + ".part");
    for (int i = 0; i < 200 && fs::file_size(part) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GT(fs::file_size(part), 0u) << "the append never reached the file; the test proves nothing";
    kill(child.pid(), SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    close(body[1]);
    ChildRun r = child.wait();
    EXPECT_TRUE(r.exited) << "the program died of the signal";
    EXPECT_EQ(r.status, 400) << r.out;
    EXPECT_EQ(fs::file_size(part), 0u);
}

}  // namespace
