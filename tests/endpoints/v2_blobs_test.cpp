// The blob program as the web server runs it: what it hands to a web server that sends files
// itself (X-Sendfile, escaped, only for absolute paths), the ranges it streams itself, and the
// answers that never depend on the body.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "tests/endpoints/blob_cgi.h"

namespace {

namespace fs = std::filesystem;
using blobcgi::digest_of;

std::string url_decode(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

class BlobProgram : public blobcgi::BlobStore {};

// The web server URL-decodes X-Sendfile, so a root with "%" and a space in it must arrive
// escaped; the decoded value names the blob's file. Ranges are the web server's to cut; a
// range no blob byte satisfies never reaches it, and HEAD never names the file.
TEST_F(BlobProgram, SendfileNamesTheEscapedBlobFile) {
    const std::string root = (root_.path() / "blob store %41").string();
    const std::string data = "sent by the web server";
    seed("app", data, root);
    const std::string digest = digest_of(data);
    const std::string path = "/v2/app/blobs/" + digest;
    const std::vector<bvtest::EnvChange> env = {{"REGISTRY_STORAGE_ROOT", root}, {"REGISTRY_X_SENDFILE", "1"}};

    for (const char *range : {"", "bytes=2-4", "bytes=-3"}) {
        auto env_range = env;
        env_range.push_back({"HTTP_RANGE", std::string(range)});
        auto a = run("v2_blobs", "GET", path, {}, {}, env_range);
        EXPECT_EQ(a.status, 200) << range << "\n" << a.raw;
        EXPECT_EQ(a.body, "") << range;
        EXPECT_FALSE(a.has("Content-Length")) << range;
        EXPECT_FALSE(a.has("Content-Range")) << range;
        const std::string named = a.header("X-Sendfile");
        EXPECT_EQ(named.find(' '), std::string::npos) << named;
        EXPECT_NE(named.find("%2541"), std::string::npos) << named;
        EXPECT_TRUE(fs::is_regular_file(url_decode(named))) << named;
        EXPECT_EQ(bvtest::read_all(url_decode(named)), data);
        EXPECT_EQ(a.header("Docker-Content-Digest"), digest);
        EXPECT_EQ(a.header("Content-Type"), "application/octet-stream");
    }

    auto refused = env;
    refused.push_back({"HTTP_RANGE", "bytes=50-"});
    auto a = run("v2_blobs", "GET", path, {}, {}, refused);
    EXPECT_EQ(a.status, 416);
    EXPECT_FALSE(a.has("X-Sendfile"));
    EXPECT_EQ(a.header("Content-Range"), "bytes */" + std::to_string(data.size()));

    auto head = run("v2_blobs", "HEAD", path, {}, {}, env);
    EXPECT_EQ(head.status, 200);
    EXPECT_FALSE(head.has("X-Sendfile"));
    EXPECT_EQ(head.header("Content-Length"), std::to_string(data.size()));
    EXPECT_EQ(head.body, "");
}

// Without the switch, or with a root the web server could not resolve (relative), the program
// sends the bytes itself.
TEST_F(BlobProgram, StreamsWhenTheServerCannotSendTheFile) {
    const std::string data(300000, 'x');
    seed("app", data + "y");
    const std::string path = "/v2/app/blobs/" + digest_of(data + "y");
    for (const char *flag : {"0", "", "yes"}) {
        auto a = run("v2_blobs", "GET", path, {}, {}, {{"REGISTRY_X_SENDFILE", std::string(flag)}});
        EXPECT_EQ(a.status, 200) << flag;
        EXPECT_FALSE(a.has("X-Sendfile")) << flag;
        EXPECT_EQ(a.header("Content-Length"), std::to_string(data.size() + 1)) << flag;
        EXPECT_EQ(a.body, data + "y") << flag;
    }

    // The relative root is the same tree seen from its parent directory.
    const std::vector<bvtest::EnvChange> relative = {
        {"REGISTRY_X_SENDFILE", "1"}, {"REGISTRY_STORAGE_ROOT", root_.path().filename().string()}};
    auto r = bvtest::run_program(bvtest::program_path("v2_blobs"), {},
                                 {{"REQUEST_METHOD", "GET"}, {"PATH_INFO", path}, {"HTTP_RANGE", "bytes=299999-"},
                                  relative[0], relative[1]},
                                 {}, root_.path().parent_path());
    auto a = blobcgi::parse_answer(r.out);
    EXPECT_EQ(a.status, 206) << a.raw.substr(0, 300);
    EXPECT_FALSE(a.has("X-Sendfile"));
    EXPECT_EQ(a.header("Content-Range"), "bytes 299999-300000/300001");
    EXPECT_EQ(a.body, "xy");
}

// Status and code before any byte of the blob is looked at; HEAD carries the same head.
TEST_F(BlobProgram, RefusalsNameTheirCause) {
    seed("app", "linked in app only");
    const std::string digest = digest_of("linked in app only");
    struct Case {
        const char *method;
        std::string path;
        int status;
        const char *code;
    };
    const Case cases[] = {
        {"GET", "/v2/other/blobs/" + digest, 404, "BLOB_UNKNOWN"},
        {"HEAD", "/v2/other/blobs/" + digest, 404, "BLOB_UNKNOWN"},
        {"DELETE", "/v2/other/blobs/" + digest, 404, "BLOB_UNKNOWN"},
        {"GET", "/v2/app/blobs/" + digest_of("never stored"), 404, "BLOB_UNKNOWN"},
        {"GET", "/v2/app/blobs/" + bvtest::digest_in("sha512", "never stored"), 404, "BLOB_UNKNOWN"},
        {"GET", "/v2/app/blobs/sha256:abc", 400, "DIGEST_INVALID"},
        {"GET", "/v2/app/blobs/sha512:" + digest.substr(7), 400, "DIGEST_INVALID"},
        {"GET", "/v2/app/blobs/SHA256:" + digest.substr(7), 400, "DIGEST_INVALID"},
        {"DELETE", "/v2/app/blobs/md5:abc", 400, "DIGEST_INVALID"},
        {"GET", "/v2/App/blobs/" + digest, 400, "NAME_INVALID"},
        {"GET", "/v2/a..b/blobs/" + digest, 400, "NAME_INVALID"},
        {"GET", "/v2/a/../app/blobs/" + digest, 400, "NAME_INVALID"},
        {"GET", "/v2/a\x01" "b/blobs/" + digest, 400, "NAME_INVALID"},
        {"PUT", "/v2/app/blobs/" + digest, 405, "UNSUPPORTED"},
    };
    for (const auto &c : cases) {
        auto a = run("v2_blobs", c.method, c.path);
        const std::string label = std::string(c.method) + " " + c.path;
        EXPECT_EQ(a.status, c.status) << label;
        EXPECT_EQ(a.header("Docker-Distribution-API-Version"), "registry/2.0") << label;
        const std::string code = "\"code\":\"" + std::string(c.code) + "\"";
        if (std::string(c.method) == "HEAD") {
            EXPECT_EQ(a.body, "") << label;
            EXPECT_NE(a.header("Content-Length"), "") << label;
        } else {
            EXPECT_NE(a.body.find(code), std::string::npos) << label << ": " << a.body;
        }
    }
}

// A sha512 digest is whole in Docker-Content-Digest and the ETag, which If-Range must match.
TEST_F(BlobProgram, Sha512BlobsAnswerLikeAnyOther) {
    seed("app", "0123456789", {}, "sha512");
    const std::string digest = bvtest::digest_in("sha512", "0123456789");
    const std::string etag = "\"" + digest + "\"";
    auto a = run("v2_blobs", "GET", "/v2/app/blobs/" + digest, {}, {},
                 {{"HTTP_RANGE", "bytes=2-4"}, {"HTTP_IF_RANGE", etag}});
    EXPECT_EQ(a.status, 206) << a.raw;
    EXPECT_EQ(a.body, "234");
    EXPECT_EQ(a.header("ETag"), etag);
    EXPECT_EQ(a.header("Docker-Content-Digest"), digest);
}

#ifndef _WIN32
// A client that never takes the answer: the program's output is a pipe nobody reads. Its
// writes go to an output that never waits, so the program must itself wait, within the grace,
// and end; a write that blocked (the output left waiting, the kernel copy not told to return)
// would hold it until the pipe was read, here for ever.
TEST_F(BlobProgram, AnswerNobodyReadsEndsWithinTheGrace) {
    const std::string data(4 << 20, 'z');
    seed("app", data);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const std::string program = bvtest::program_path("v2_blobs");
    const std::string path = "/v2/app/blobs/" + digest_of(data);
    const auto started = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        setenv("REQUEST_METHOD", "GET", 1);
        setenv("PATH_INFO", path.c_str(), 1);
        setenv("REGISTRY_STORAGE_ROOT", root_.str().c_str(), 1);
        setenv("REGISTRY_TRANSFER_GRACE", "1", 1);
        unsetenv("REGISTRY_X_SENDFILE");
        unsetenv("HTTP_RANGE");
        execl(program.c_str(), program.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() - started < std::chrono::seconds(20))
        usleep(20000);
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    close(out[0]);
    EXPECT_EQ(done, pid) << "the program still waited on its output after 20 s";
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}
#endif

}  // namespace
