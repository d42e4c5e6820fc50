// Blobs and uploads behind lighttpd with the project's configuration, over HTTP: chunked and
// streamed request bodies, chunks out of order, a client that leaves mid-body, mounts, every
// Range form with lighttpd sending the file and with the program streaming it, and hostile names.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/registry_server.h"
#include "tests/support/sha256_hex.h"

namespace {

namespace fs = std::filesystem;
using regtest::HttpRequest;
using regtest::HttpResponse;

std::string digest_of(const std::string &data) { return "sha256:" + bvtest::sha256_hex(data); }

std::string pattern(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return s;
}

class BlobHttpBase : public regtest::RegistryServerTest {
protected:
    HttpResponse call(const std::string &method, const std::string &path, regtest::Headers headers = {},
                      std::string body = {}) const {
        return regtest::http(port(), method, path, std::move(headers), std::move(body));
    }
    std::string start(const std::string &repo) const {
        auto r = call("POST", "/v2/" + repo + "/blobs/uploads/");
        EXPECT_EQ(r.status, 202) << r.head;
        return r.header("Location");
    }
    // The upload's Range once the server has settled: a program undoing an append may still
    // be at work just after its client went away.
    std::string settled_range(const std::string &location, const std::string &want) const {
        std::string range;
        for (int i = 0; i < 100; ++i) {
            range = call("GET", location).header("Range");
            if (range == want) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return range;
    }
    void push(const std::string &repo, const std::string &data) const {
        auto r = call("POST", "/v2/" + repo + "/blobs/uploads/?digest=" + digest_of(data), {}, data);
        ASSERT_EQ(r.status, 201) << r.head << r.body;
    }
    void expect_registry_head(const HttpResponse &r, const std::string &label) const {
        EXPECT_EQ(r.count("Docker-Distribution-API-Version"), 1) << label << "\n" << r.head;
        EXPECT_TRUE(r.has_header(regtest::kApiVersion)) << label;
    }
};

class BlobHttp : public BlobHttpBase {};

// POST, a PATCH with Content-Range, one without, a chunked PATCH of several MiB, the status
// GET, the closing PUT with a last chunk, and the blob served back.
TEST_F(BlobHttp, UploadInChunksAndPullBack) {
    const std::string first = "exactly 20 bytes....";
    const std::string second = pattern(1000);
    const std::string third = pattern(5 << 20) + "end";
    const std::string last = "the last chunk";
    const std::string all = first + second + third + last;

    auto posted = call("POST", "/v2/lib/app/blobs/uploads/");
    ASSERT_EQ(posted.status, 202);
    const std::string location = posted.header("Location");
    const std::string uuid = posted.header("Docker-Upload-UUID");
    EXPECT_EQ(location, "/v2/lib/app/blobs/uploads/" + uuid);
    EXPECT_EQ(posted.header("Range"), "0-0");
    EXPECT_EQ(posted.header("Content-Length"), "0");
    expect_registry_head(posted, "POST");

    auto r = call("PATCH", location, {{"Content-Range", "0-19"}, {"Content-Type", "application/octet-stream"}}, first);
    EXPECT_EQ(r.status, 202) << r.body;
    EXPECT_EQ(r.header("Range"), "0-19");
    EXPECT_EQ(r.header("Location"), location);
    EXPECT_EQ(r.header("Docker-Upload-UUID"), uuid);
    EXPECT_EQ(r.header("Content-Length"), "0");

    r = call("PATCH", location, {}, second);
    EXPECT_EQ(r.header("Range"), "0-1019");

    HttpRequest chunked;
    chunked.method = "PATCH";
    chunked.path = location;
    chunked.body = third;
    chunked.chunked = true;
    chunked.chunk_size = 100000;
    r = regtest::http(port(), chunked);
    EXPECT_EQ(r.status, 202) << r.head << r.body;
    EXPECT_EQ(r.header("Range"), "0-" + std::to_string(first.size() + second.size() + third.size() - 1));

    auto status = call("GET", location);
    EXPECT_EQ(status.status, 204);
    EXPECT_EQ(status.header("Range"), r.header("Range"));
    EXPECT_EQ(status.header("Location"), location);

    auto done = call("PUT", location + "?digest=" + digest_of(all), {}, last);
    EXPECT_EQ(done.status, 201) << done.body;
    EXPECT_EQ(done.header("Location"), "/v2/lib/app/blobs/" + digest_of(all));
    EXPECT_EQ(done.header("Docker-Content-Digest"), digest_of(all));
    EXPECT_EQ(call("GET", location).status, 404);

    auto pulled = call("GET", "/v2/lib/app/blobs/" + digest_of(all));
    EXPECT_EQ(pulled.status, 200);
    EXPECT_TRUE(pulled.body == all) << pulled.body.size() << " bytes";
}

// A chunk that does not start at the upload's end gets 416 with the real progress; the status
// GET agrees, and the upload goes on from there.
TEST_F(BlobHttp, OutOfOrderChunkLeavesTheUploadUsable) {
    const std::string location = start("app");
    EXPECT_EQ(call("PATCH", location, {{"Content-Range", "0-4"}}, "01234").status, 202);
    auto refused = call("PATCH", location, {{"Content-Range", "10-14"}}, "abcde");
    EXPECT_EQ(refused.status, 416);
    EXPECT_EQ(refused.header("Range"), "0-4");
    EXPECT_EQ(refused.header("Location"), location);
    EXPECT_NE(refused.body.find("BLOB_UPLOAD_INVALID"), std::string::npos);
    expect_registry_head(refused, "416");
    EXPECT_EQ(call("GET", location).header("Range"), "0-4");
    EXPECT_EQ(call("PATCH", location, {{"Content-Range", "5-9"}}, "56789").header("Range"), "0-9");
    EXPECT_EQ(call("PUT", location + "?digest=" + digest_of("0123456789")).status, 201);
}

// The client announces a body and leaves halfway: the upload is as it was before that PATCH,
// and takes the rest afterwards. A whole-blob POST cut short stores nothing.
TEST_F(BlobHttp, BodyEndingEarlyLeavesTheUploadAsItWas) {
    const std::string location = start("app");
    ASSERT_EQ(call("PATCH", location, {}, "kept").header("Range"), "0-3");
    HttpRequest patch;
    patch.method = "PATCH";
    patch.path = location;
    regtest::http_cut_short(port(), patch, 8 << 20, pattern(3 << 20));
    EXPECT_EQ(settled_range(location, "0-3"), "0-3");
    EXPECT_EQ(call("PATCH", location, {}, " and more").header("Range"), "0-12");
    EXPECT_EQ(call("PUT", location + "?digest=" + digest_of("kept and more")).status, 201);

    const std::string whole = pattern(4 << 20);
    HttpRequest post;
    post.method = "POST";
    post.path = "/v2/app/blobs/uploads/?digest=" + digest_of(whole);
    regtest::http_cut_short(port(), post, whole.size(), whole.substr(0, 3 << 20));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(call("HEAD", "/v2/app/blobs/" + digest_of(whole)).status, 404);
    size_t left = 0;
    for (int i = 0; i < 100; ++i) {
        left = 0;
        for (auto it = fs::directory_iterator(server_.storage_root() / "uploads"); it != fs::directory_iterator(); ++it)
            ++left;
        if (left == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(left, 0u) << "the cut POST left its upload behind";
}

// Whole-blob POST, a mount from a repository that has the blob, and the fallback to an
// ordinary upload when it does not; DELETE removes one repository's link only.
TEST_F(BlobHttp, MonolithicPushMountAndDelete) {
    const std::string data = pattern(70000);
    const std::string digest = digest_of(data);
    auto pushed = call("POST", "/v2/team/base/blobs/uploads/?digest=" + digest, {}, data);
    EXPECT_EQ(pushed.status, 201);
    EXPECT_EQ(pushed.header("Location"), "/v2/team/base/blobs/" + digest);
    EXPECT_EQ(pushed.header("Docker-Content-Digest"), digest);
    EXPECT_EQ(call("HEAD", "/v2/team/app/blobs/" + digest).status, 404);

    auto fallback = call("POST", "/v2/team/app/blobs/uploads/?mount=" + digest + "&from=team/other");
    EXPECT_EQ(fallback.status, 202);
    EXPECT_EQ(fallback.header("Range"), "0-0");
    EXPECT_EQ(fallback.header("Location").rfind("/v2/team/app/blobs/uploads/", 0), 0u);

    auto mounted = call("POST", "/v2/team/app/blobs/uploads/?mount=" + digest + "&from=team/base");
    EXPECT_EQ(mounted.status, 201);
    EXPECT_EQ(mounted.header("Location"), "/v2/team/app/blobs/" + digest);
    EXPECT_EQ(mounted.header("Docker-Content-Digest"), digest);
    EXPECT_EQ(call("GET", "/v2/team/app/blobs/" + digest).body, data);

    auto deleted = call("DELETE", "/v2/team/app/blobs/" + digest);
    EXPECT_EQ(deleted.status, 202);
    expect_registry_head(deleted, "DELETE");
    auto gone = call("GET", "/v2/team/app/blobs/" + digest);
    EXPECT_EQ(gone.status, 404);
    EXPECT_NE(gone.body.find("BLOB_UNKNOWN"), std::string::npos);
    EXPECT_EQ(call("DELETE", "/v2/team/app/blobs/" + digest).status, 404);
    EXPECT_EQ(call("GET", "/v2/team/base/blobs/" + digest).body, data);
}

// Names and identifiers a hostile client sends never reach the disk: refused by lighttpd
// (dot segments, control bytes) or by the programs, always in the envelope.
TEST_F(BlobHttp, HostileNamesAreRefused) {
    push("app", "content");
    const std::string digest = digest_of("content");
    struct Case {
        std::string method;
        std::string path;
        int status;
        const char *code;
    };
    const Case cases[] = {
        {"GET", "/v2/../app/blobs/" + digest, 400, "UNSUPPORTED"},
        {"GET", "/v2/app/%2E%2E/app/blobs/" + digest, 400, "UNSUPPORTED"},
        {"POST", "/v2/a/../../etc/blobs/uploads/", 400, "UNSUPPORTED"},
        {"GET", "/v2/a%00b/blobs/" + digest, 400, "UNSUPPORTED"},
        {"GET", "/v2/a%0d%0aX-Injected:%201/blobs/" + digest, 400, "UNSUPPORTED"},
        {"GET", "/v2/App/blobs/" + digest, 400, "NAME_INVALID"},
        {"POST", "/v2/UPPER/blobs/uploads/", 400, "NAME_INVALID"},
        {"GET", "/v2/a%20b/blobs/" + digest, 400, "NAME_INVALID"},
        {"GET", "/v2/a..b/blobs/" + digest, 400, "NAME_INVALID"},
        {"GET", "/v2/" + std::string(256, 'a') + "/blobs/" + digest, 400, "NAME_INVALID"},
        {"GET", "/v2/app/blobs/sha256:..%2F..%2Fconfig.json", 400, "UNSUPPORTED"},
        {"GET", "/v2/app/blobs/uploads/..%2F..%2Fconfig.json", 400, "UNSUPPORTED"},
        {"GET", "/v2/app/blobs/sha256:%2Fetc%2Fpasswd", 404, "UNSUPPORTED"},
        {"GET", "/v2/app/blobs/sha256:%5Cetc", 400, "DIGEST_INVALID"},
        {"GET", "/v2/app/blobs/uploads/x%2F..", 400, "UNSUPPORTED"},
        {"DELETE", "/v2/app/blobs/uploads/x%5C..%5Cconfig.json", 404, "BLOB_UPLOAD_UNKNOWN"},
        {"PATCH", "/v2/app/blobs/uploads/%2e%2e", 400, "UNSUPPORTED"},
    };
    for (const auto &c : cases) {
        auto r = call(c.method, c.path);
        EXPECT_EQ(r.status, c.status) << c.method << " " << c.path << "\n" << r.head << r.body;
        EXPECT_NE(r.body.find(std::string("\"code\":\"") + c.code + "\""), std::string::npos) << c.path << r.body;
        EXPECT_FALSE(r.has("X-Injected")) << c.path;
        expect_registry_head(r, c.path);
    }
    EXPECT_FALSE(fs::exists(server_.storage_root() / "repositories" / "etc"));
}

// Every Range form, with lighttpd sending the blob file (X-Sendfile) and with the program
// streaming it: the same status, Content-Range and exact bytes either way.
class BlobRanges : public BlobHttpBase, public ::testing::WithParamInterface<bool> {
protected:
    regtest::ServerOptions options() const override {
        regtest::ServerOptions o;
        o.x_sendfile = GetParam();
        return o;
    }
};

TEST_P(BlobRanges, EveryRangeFormIsExact) {
    const std::string data = pattern(100000);
    push("lib/app", data);
    const std::string path = "/v2/lib/app/blobs/" + digest_of(data);
    const std::string etag = "\"" + digest_of(data) + "\"";
    struct Case {
        std::string range;
        int status;
        long long first, last;  // -1: no body
        std::string if_range = {};
    };
    const Case cases[] = {
        {"", 200, 0, 99999},
        {"bytes=0-0", 206, 0, 0},
        {"bytes=10-19", 206, 10, 19},
        {"bytes=99000-", 206, 99000, 99999},
        {"bytes=-10", 206, 99990, 99999},
        {"bytes=-200000", 206, 0, 99999},
        {"bytes=99999-200000", 206, 99999, 99999},
        {"Bytes=5-9", 206, 5, 9},
        {"bytes=5-9", 206, 5, 9, etag},
        {"bytes=5-9", 200, 0, 99999, "\"sha256:other\""},
        {"bytes=0-1,5-6", 200, 0, 99999},
        {"bytes=0-10,200-300,5000-", 200, 0, 99999},
        {"items=0-5", 200, 0, 99999},
        {"bytes=100000-", 416, -1, -1},
        {"bytes=100000-100005", 416, -1, -1},
        {"bytes=9-5", 416, -1, -1},
        {"bytes=-0", 416, -1, -1},
        {"bytes=abc", 416, -1, -1},
        {"bytes=5", 416, -1, -1},
        {"bytes=0-99999999999999999999", 416, -1, -1},
    };
    for (const auto &c : cases) {
        regtest::Headers headers;
        if (!c.range.empty()) headers.push_back({"Range", c.range});
        if (!c.if_range.empty()) headers.push_back({"If-Range", c.if_range});
        auto r = call("GET", path, headers);
        const std::string label = c.range + " " + c.if_range;
        EXPECT_EQ(r.status, c.status) << label << "\n" << r.head;
        expect_registry_head(r, label);
        EXPECT_EQ(r.header("Accept-Ranges"), "bytes") << label;
        if (c.status == 416) {
            EXPECT_EQ(r.header("Content-Range"), "bytes */100000") << label;
            EXPECT_NE(r.body.find("{\"errors\":[{"), std::string::npos) << label;
            continue;
        }
        const std::string want = data.substr(static_cast<size_t>(c.first), static_cast<size_t>(c.last - c.first + 1));
        EXPECT_TRUE(r.body == want) << label << ": " << r.body.size() << " bytes";
        EXPECT_EQ(r.header("Content-Length"), std::to_string(want.size())) << label;
        EXPECT_EQ(r.header("Content-Type"), "application/octet-stream") << label;
        EXPECT_EQ(r.header("Docker-Content-Digest"), digest_of(data)) << label;
        if (c.status == 206)
            EXPECT_EQ(r.header("Content-Range"), "bytes " + std::to_string(c.first) + "-" +
                                                     std::to_string(c.last) + "/100000")
                << label;
        else
            EXPECT_FALSE(r.has("Content-Range")) << label;
    }

    auto head = call("HEAD", path, {{"Range", "bytes=0-9"}});
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.header("Content-Length"), "100000");
    EXPECT_EQ(head.header("Docker-Content-Digest"), digest_of(data));
    EXPECT_EQ(head.body, "");

    push("lib/app", "");
    auto empty = call("GET", "/v2/lib/app/blobs/" + digest_of(""));
    EXPECT_EQ(empty.status, 200);
    EXPECT_EQ(empty.header("Content-Length"), "0");
    EXPECT_EQ(call("HEAD", "/v2/lib/app/blobs/" + digest_of("")).header("Content-Length"), "0");
    EXPECT_EQ(call("GET", "/v2/lib/app/blobs/" + digest_of(""), {{"Range", "bytes=0-"}}).status, 416);
}

// Several clients fetch parts of one blob at once; the parts put together are the blob.
TEST_P(BlobRanges, ParallelRangesReassemble) {
    const std::string data = pattern(3 << 20);
    push("app", data);
    const std::string path = "/v2/app/blobs/" + digest_of(data);
    const size_t parts = 6;
    const size_t step = data.size() / parts + 1;
    std::vector<std::string> got(parts);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < parts; ++i)
        threads.emplace_back([&, i] {
            const size_t first = i * step;
            const size_t last = std::min(data.size(), first + step) - 1;
            auto r = regtest::http(port(), "GET", path,
                                   {{"Range", "bytes=" + std::to_string(first) + "-" + std::to_string(last)}});
            if (r.status == 206) got[i] = r.body;
        });
    for (auto &t : threads) t.join();
    std::string joined;
    for (const auto &part : got) joined += part;
    EXPECT_TRUE(joined == data) << joined.size() << " of " << data.size() << " bytes";
}

INSTANTIATE_TEST_SUITE_P(SentBy, BlobRanges, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? std::string("Lighttpd") : std::string("Program");
                         });

}  // namespace
