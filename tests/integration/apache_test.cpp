// The registry behind Apache httpd with deploy/apache-httpd.conf: a skopeo round trip of an
// image and an index, every family reaching its program, blob ranges and heads as mod_xsendfile
// sends them and as the program streams them (with a length on every HEAD), chunked upload and manifest bodies, cut-short
// upload bodies, Apache's own refusals in the registry's envelope, and the optional Basic
// authentication.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "storage/reg_storage.h"
#include "tests/integration/apache_server.h"
#include "tests/integration/client_tools.h"
#include "tests/integration/oci_layout.h"

namespace {

namespace fs = std::filesystem;
using regtest::HttpRequest;
using regtest::HttpResponse;
using ocilayout::digest_of;

class Apache : public apachetest::ApacheServerTest {
protected:
    HttpResponse call(const std::string &method, const std::string &path, regtest::Headers headers = {},
                      std::string body = {}) const {
        return regtest::http(port(), method, path, std::move(headers), std::move(body));
    }
    // A raw request written as given, for what a client library would not send.
    HttpResponse raw(const std::string &text) const {
        const int fd = regtest::connect_to(port());
        if (fd < 0) return {};
        regtest::send_all(fd, text);
        HttpResponse r = regtest::read_response(fd, text.rfind("HEAD ", 0) == 0);
        close(fd);
        return r;
    }
    void push(const std::string &repo, const std::string &data) const {
        auto r = call("POST", "/v2/" + repo + "/blobs/uploads/?digest=" + digest_of(data), {}, data);
        ASSERT_EQ(r.status, 201) << r.head << r.body << server_.error_log();
    }
    // The blob cases of both ways a blob body goes out (below).
    void blob_ranges_and_heads();
    // The registry's head on an answer: the API version exactly once.
    static void expect_registry_head(const HttpResponse &r, const std::string &label) {
        EXPECT_EQ(r.count("Docker-Distribution-API-Version"), 1) << label << "\n" << r.head;
        EXPECT_TRUE(r.has_header(regtest::kApiVersion)) << label << "\n" << r.head;
    }
    static void expect_envelope(const HttpResponse &r, const std::string &code, const std::string &label) {
        EXPECT_TRUE(r.has_header(regtest::kJsonType)) << label << "\n" << r.head;
        EXPECT_EQ(r.body.rfind("{\"errors\":[{\"code\":\"" + code + "\",\"message\":\"", 0), 0u)
            << label << ": " << r.body;
    }
};

// ---- skopeo ----------------------------------------------------------------------------------

class ApacheSkopeo : public Apache {
protected:
    void SetUp() override {
        Apache::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_FALSE(clienttools::find_tool("skopeo").empty()) << "skopeo is not installed (scripts/deps.sh server)";
        client_.prepare(server_.scratch());
    }
    std::string remote(const std::string &ref) const {
        return "docker://127.0.0.1:" + std::to_string(port()) + "/" + ref;
    }
    fs::path dir(const std::string &name) const { return server_.scratch() / name; }
    bvtest::ProcessResult skopeo(std::vector<std::string> args) { return client_.run(std::move(args)); }
    bvtest::ProcessResult copy(const std::string &from, const std::string &to, std::vector<std::string> extra = {}) {
        return client_.copy(from, to, std::move(extra));
    }
    clienttools::SkopeoRunner client_;
};

#define EXPECT_RUNS(result) EXPECT_EQ((result).exit_code, 0) << client_.last() << "\n" << (result).out << server_.error_log()

// Push an image of several layers by tag and a two-platform index whole, pull both back byte
// for byte, list the tags, delete by digest.
TEST_F(ApacheSkopeo, RoundTripOfAnImageAndAnIndex) {
    ocilayout::Layout layout(11);
    const ocilayout::Image img = layout.image("amd64", 3, 200000);
    const ocilayout::Image amd = layout.image("amd64", 1);
    const ocilayout::Image arm = layout.image("arm64", 2);
    const std::string index = layout.index_of({{amd, "amd64"}, {arm, "arm64"}});
    layout.write(dir("src"), {{"v1", {ocilayout::kManifestType, img.manifest}}, {"multi", {ocilayout::kIndexType, index}}});

    auto pushed = copy("oci:" + dir("src").string() + ":v1", remote("lib/app:v1"));
    ASSERT_EQ(pushed.exit_code, 0) << client_.last() << "\n" << pushed.out << server_.error_log();
    EXPECT_RUNS(copy("oci:" + dir("src").string() + ":v1", remote("lib/app:v2")));
    EXPECT_RUNS(copy("oci:" + dir("src").string() + ":multi", remote("lib/multi:v1"), {"--all"}));

    auto got = clienttools::curl(port(), "/v2/lib/app/manifests/v1");
    EXPECT_EQ(got.status, 200);
    EXPECT_EQ(got.body, img.manifest);
    EXPECT_EQ(got.header("Docker-Content-Digest"), img.digest());
    auto multi = clienttools::curl(port(), "/v2/lib/multi/manifests/v1");
    EXPECT_EQ(multi.header("Content-Type"), ocilayout::kIndexType);
    EXPECT_EQ(multi.body, index);

    EXPECT_RUNS(copy(remote("lib/app:v1"), "oci:" + dir("back").string() + ":v1"));
    clienttools::expect_blobs(dir("back"), img);
    EXPECT_RUNS(copy(remote("lib/multi:v1"), "oci:" + dir("multi-back").string() + ":multi", {"--all"}));
    clienttools::expect_blobs(dir("multi-back"), amd);
    clienttools::expect_blobs(dir("multi-back"), arm);
    EXPECT_EQ(bvtest::read_all(dir("multi-back") / "blobs" / "sha256" / bvtest::sha256_hex(index)), index);

    auto tags = skopeo({"list-tags", "--tls-verify=false", remote("lib/app")});
    EXPECT_RUNS(tags);
    EXPECT_NE(tags.out.find("\"v1\""), std::string::npos) << tags.out;
    EXPECT_NE(tags.out.find("\"v2\""), std::string::npos) << tags.out;

    EXPECT_RUNS(skopeo({"delete", "--tls-verify=false", remote("lib/app@" + img.digest())}));
    for (const std::string &ref : {std::string("v1"), std::string("v2"), img.digest()}) {
        auto gone = call("GET", "/v2/lib/app/manifests/" + ref);
        EXPECT_EQ(gone.status, 404) << ref;
        expect_envelope(gone, "MANIFEST_UNKNOWN", ref);
    }
    auto after = skopeo({"list-tags", "--tls-verify=false", remote("lib/app")});
    EXPECT_EQ(after.out.find("\"v1\""), std::string::npos) << after.out;
}

// ---- routing ---------------------------------------------------------------------------------

// Each family reaches its own program (its own refusal says which), names with slashes and
// marker words included, with the query string as sent.
TEST_F(Apache, EveryFamilyReachesItsProgram) {
    const std::string zero = "sha256:" + std::string(64, '0');
    push("lib/app", "a blob");
    struct Case {
        const char *method;
        std::string path;
        int status;
        const char *expect;  // a code of the envelope, or a piece of the body
    };
    const Case cases[] = {
        {"GET", "/v2/", 200, "{}"},
        {"GET", "/v2", 200, "{}"},
        {"GET", "/v2/_catalog", 200, "\"repositories\":[\"lib/app\"]"},
        {"GET", "/v2/_catalog?n=0", 200, "\"repositories\":[]"},
        {"GET", "/v2/lib/app/tags/list", 200, "\"name\":\"lib/app\""},
        {"GET", "/v2/no/such/tags/list", 404, "NAME_UNKNOWN"},
        {"GET", "/v2/lib/app/manifests/v1", 404, "MANIFEST_UNKNOWN"},
        {"GET", "/v2/lib/blobs/x/manifests/v1", 404, "NAME_UNKNOWN"},
        {"GET", "/v2/lib/app/blobs/" + zero, 404, "BLOB_UNKNOWN"},
        {"GET", "/v2/lib/app/blobs/" + digest_of("a blob"), 200, "a blob"},
        {"GET", "/v2/lib/app/blobs/uploads/nonsense", 404, "BLOB_UPLOAD_UNKNOWN"},
        {"GET", "/v2/lib/app/blobs/uploads/nonsense/", 404, "BLOB_UPLOAD_UNKNOWN"},
        {"DELETE", "/v2/lib/app/blobs/uploads/", 404, "BLOB_UPLOAD_UNKNOWN"},
        {"GET", "/v2/lib/app/referrers/" + zero, 200, "\"manifests\":[]"},
        {"GET", "/v2/lib/app/referrers/nonsense", 400, "DIGEST_INVALID"},
        {"PUT", "/v2/", 405, "UNSUPPORTED"},
    };
    for (const auto &c : cases) {
        auto r = call(c.method, c.path);
        const std::string label = std::string(c.method) + " " + c.path;
        EXPECT_EQ(r.status, c.status) << label << "\n" << r.head << r.body;
        EXPECT_NE(r.body.find(c.expect), std::string::npos) << label << ": " << r.body;
        expect_registry_head(r, label);
    }
}

// What a program finds in its environment, seen by a stand-in for the tag list program: the
// /v2/... path decoded as PATH_INFO, the query string as sent, the storage root, streamed
// blobs, the Authorization header (CGIPassAuth), and a chunked body refused (411) on a route
// that reads none.
class ApacheEnvironment : public Apache {
protected:
    void SetUp() override {
        bvtest::write_all(bin_.path() / "v2_tags", R"sh(#!/bin/sh
printf 'Status: 200\r\nContent-Type: text/plain\r\n\r\n'
for v in PATH_INFO QUERY_STRING REGISTRY_STORAGE_ROOT REGISTRY_X_SENDFILE HTTP_AUTHORIZATION CONTENT_LENGTH; do
  eval "value=\${$v-}"
  printf '%s=[%s]\n' "$v" "$value"
done
printf 'body=[%s]\n' "$(cat)"
)sh");
        apachetest::open_to_all(bin_.path());
        apachetest::open_to_all(bin_.path() / "v2_tags");
        Apache::SetUp();
    }
    apachetest::ApacheOptions options() const override {
        apachetest::ApacheOptions o;
        o.bin_dir = bin_.str();
        o.mode = regtest::ServerMode::cgi;  // a shell stand-in speaks CGI only
        o.x_sendfile = false;
        return o;
    }
    bvtest::TempDir bin_;
};

TEST_F(ApacheEnvironment, ProgramsGetTheRequestAsSent) {
    auto r = call("GET", "/v2/lib/a%3Ab/tags/list?n=2&last=x%2Fy%26z", {{"Authorization", "Bearer token"}});
    EXPECT_EQ(r.status, 200) << r.head << r.body << server_.error_log();
    const std::string want = "PATH_INFO=[/v2/lib/a:b/tags/list]\nQUERY_STRING=[n=2&last=x%2Fy%26z]\n"
                             "REGISTRY_STORAGE_ROOT=[" + server_.storage_root().string() + "]\n"
                             "REGISTRY_X_SENDFILE=[0]\nHTTP_AUTHORIZATION=[Bearer token]\nCONTENT_LENGTH=[]\nbody=[]\n";
    EXPECT_EQ(r.body, want);

    HttpRequest chunked;
    chunked.method = "PUT";
    chunked.path = "/v2/lib/x/tags/list";
    chunked.body = "chunked body";
    chunked.chunked = true;
    chunked.chunk_size = 5;
    r = regtest::http(port(), chunked);
    // A route that reads no body takes no chunked one (the upload tests pass them through).
    EXPECT_EQ(r.status, 411) << r.body;
    r = call("PUT", "/v2/lib/x/tags/list", {}, "plain body");
    EXPECT_NE(r.body.find("CONTENT_LENGTH=[10]\nbody=[plain body]\n"), std::string::npos) << r.body;
}

// ---- blobs and uploads -----------------------------------------------------------------------

// Blob bodies sent by mod_xsendfile (where it is installed) from the blob program's X-Sendfile,
// and streamed by the blob program itself: the same bytes and ranges either way. Apache passes
// the Content-Length on, also for HEAD, and never merges or splits ranges.
class ApacheStreaming : public Apache {
protected:
    apachetest::ApacheOptions options() const override {
        apachetest::ApacheOptions o = Apache::options();
        o.x_sendfile = false;
        return o;
    }
};

void Apache::blob_ranges_and_heads() {
    std::string data(300000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 23);
    push("lib/app", data);
    const std::string path = "/v2/lib/app/blobs/" + digest_of(data);
    const std::string size = std::to_string(data.size());
    struct Case {
        const char *range;  // "" for none
        int status;
        std::string body;
        std::string content_range;
    };
    const Case cases[] = {
        {"", 200, data, ""},
        {"bytes=10-19", 206, data.substr(10, 10), "bytes 10-19/" + size},
        {"bytes=299990-", 206, data.substr(299990), "bytes 299990-299999/" + size},
        {"bytes=-5", 206, data.substr(data.size() - 5), "bytes 299995-299999/" + size},
        {"bytes=0-1,5-9", 200, data, ""},
        {"bytes=300000-", 416, "", "bytes */" + size},
    };
    for (const auto &c : cases) {
        regtest::Headers headers;
        if (*c.range) headers.push_back({"Range", c.range});
        auto r = call("GET", path, headers);
        EXPECT_EQ(r.status, c.status) << c.range << "\n" << r.head;
        if (c.status != 416) {
            EXPECT_TRUE(r.body == c.body) << c.range << ": " << r.body.size() << " bytes";
            EXPECT_EQ(r.header("Content-Length"), std::to_string(c.body.size())) << c.range << "\n" << r.head;
        }
        EXPECT_EQ(r.header("Content-Range"), c.content_range) << c.range;
        expect_registry_head(r, c.range);
    }
    auto head = call("HEAD", path);
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.header("Content-Length"), size) << head.head;
    EXPECT_EQ(head.header("Docker-Content-Digest"), digest_of(data));
    EXPECT_EQ(head.header("Content-Encoding"), "");
    EXPECT_EQ(head.header("Vary"), "") << "the rewrite rules' look at the request's length is no variant";
    // Apache drops "Content-Length: 0" from HEAD answers; the configuration sends "00" instead.
    push("lib/app", "");
    EXPECT_EQ(call("HEAD", "/v2/lib/app/blobs/" + digest_of("")).header("Content-Length"), "00");
    EXPECT_EQ(call("GET", path, {{"Accept-Encoding", "gzip, br"}}).header("Content-Encoding"), "");
}

TEST_F(Apache, BlobRangesAndHeads) { blob_ranges_and_heads(); }
TEST_F(ApacheStreaming, BlobRangesAndHeads) { blob_ranges_and_heads(); }

// Apache passes a chunked body on without CONTENT_LENGTH; the upload program reads it to its
// end, for PATCH and for the closing PUT, and so does the manifest program up to 4 MiB.
TEST_F(Apache, ChunkedUploadAndManifestBodies) {
    const std::string first(150000, 'x');
    const std::string last = "and the last piece";
    auto posted = call("POST", "/v2/lib/app/blobs/uploads/");
    ASSERT_EQ(posted.status, 202) << posted.head << posted.body;
    const std::string location = posted.header("Location");

    HttpRequest patch;
    patch.method = "PATCH";
    patch.path = location;
    patch.body = first;
    patch.chunked = true;
    patch.chunk_size = 40000;
    auto r = regtest::http(port(), patch);
    EXPECT_EQ(r.status, 202) << r.head << r.body;
    EXPECT_EQ(r.header("Range"), "0-" + std::to_string(first.size() - 1));

    HttpRequest put = patch;
    put.method = "PUT";
    put.path = location + "?digest=" + digest_of(first + last);
    put.body = last;
    r = regtest::http(port(), put);
    EXPECT_EQ(r.status, 201) << r.head << r.body;
    auto pulled = call("GET", "/v2/lib/app/blobs/" + digest_of(first + last));
    EXPECT_TRUE(pulled.body == first + last) << pulled.body.size() << " bytes";

    // A chunked manifest past 4 MiB is refused by the program at 4 MiB + 1 byte, or by Apache
    // further on, and nothing of it is stored.
    push("lib/app", "{}");
    const std::string manifest = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(ocilayout::kManifestType) +
                                 "\",\"config\":" + ocilayout::descriptor(ocilayout::kConfigType, "{}") +
                                 ",\"layers\":[]}";
    struct Case {
        const char *tag;
        size_t size;
        int status;
    };
    const Case cases[] = {
        {"limit", REG_MANIFEST_MAX, 201},
        {"over", REG_MANIFEST_MAX + 1, 413},
        {"far-over", 6000000, 413},
    };
    put.headers = {{"Content-Type", ocilayout::kManifestType}};  // chunked like the upload's
    for (const auto &c : cases) {
        put.path = std::string("/v2/lib/app/manifests/") + c.tag;
        put.body = manifest.substr(0, manifest.size() - 1) + std::string(c.size - manifest.size(), ' ') + "}";
        r = regtest::http(port(), put);
        EXPECT_EQ(r.status, c.status) << c.tag << "\n" << r.head << r.body;
        expect_registry_head(r, c.tag);
        if (c.status == 413) expect_envelope(r, "SIZE_INVALID", c.tag);
        auto got = call("GET", put.path);
        EXPECT_TRUE(c.status == 201 ? got.body == put.body : got.status == 404) << c.tag << ": " << got.status;
    }
}

// A client that goes away mid-body: Apache ends the program's input, and the program leaves
// the upload as it was.
TEST_F(Apache, BodyCutShortLeavesTheUploadAsItWas) {
    auto posted = call("POST", "/v2/lib/app/blobs/uploads/");
    ASSERT_EQ(posted.status, 202);
    const std::string location = posted.header("Location");
    HttpRequest patch;
    patch.method = "PATCH";
    patch.path = location;
    regtest::http_cut_short(port(), patch, 1000000, std::string(70000, 'y'));
    std::string range;
    for (int i = 0; i < 100 && range != "0-0"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        range = call("GET", location).header("Range");
    }
    EXPECT_EQ(range, "0-0");
    auto r = call("PATCH", location, {}, "more");
    EXPECT_EQ(r.status, 202) << r.body;
    EXPECT_EQ(r.header("Range"), "0-3");
}

// ---- Apache's own refusals -------------------------------------------------------------------

// What Apache refuses itself, before or instead of any program, comes in the registry's form:
// the status, the API version once, the JSON type and an envelope (no body for HEAD).
TEST_F(Apache, OwnRefusalsComeInTheEnvelope) {
    const std::string close = "Host: a\r\nConnection: close\r\n\r\n";
    struct Case {
        const char *label;
        std::string raw;
        int status;
        const char *code;
    };
    const Case cases[] = {
        {"dot-dot segment", "GET /v2/a/../b/blobs/x HTTP/1.1\r\n" + close, 400, "UNSUPPORTED"},
        {"dot segment", "GET /v2/a/./b/tags/list HTTP/1.1\r\n" + close, 400, "UNSUPPORTED"},
        {"encoded dot segment", "GET /v2/a/%2e%2E/b/blobs/x HTTP/1.1\r\n" + close, 400, "UNSUPPORTED"},
        {"dot segment at the end", "GET /v2/a/b/tags/list/.. HTTP/1.1\r\n" + close, 400, "UNSUPPORTED"},
        {"dot segment, HEAD", "HEAD /v2/a/../b/manifests/v1 HTTP/1.1\r\n" + close, 400, "UNSUPPORTED"},
        {"empty segment", "GET /v2/a//b/tags/list HTTP/1.1\r\n" + close, 400, "UNSUPPORTED"},
        {"encoded control byte", "GET /v2/a%01b/blobs/x HTTP/1.1\r\n" + close, 400, "UNSUPPORTED"},
        {"encoded question mark", "GET /v2/a/manifests/v%3F1 HTTP/1.1\r\n" + close, 400, "UNSUPPORTED"},
        {"two Host headers", "GET /v2/ HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400, "UNSUPPORTED"},
        {"no request line", "NONSENSE\r\n\r\n", 400, "UNSUPPORTED"},
        {"unknown path", "GET /v2x HTTP/1.1\r\n" + close, 404, "UNSUPPORTED"},
        {"internal prefix", "GET /.endpoints/v2_ping HTTP/1.1\r\n" + close, 404, "UNSUPPORTED"},
        {"empty digest", "GET /v2/a/blobs/ HTTP/1.1\r\n" + close, 404, "UNSUPPORTED"},
        {"encoded slash", "GET /v2/a%2Fb/tags/list HTTP/1.1\r\n" + close, 404, "UNSUPPORTED"},
        {"TRACE", "TRACE /v2/ HTTP/1.1\r\n" + close, 405, "UNSUPPORTED"},
        {"body over the limit",
         "PATCH /v2/a/blobs/uploads/x HTTP/1.1\r\nContent-Length: 99999999999999\r\n" + close, 413, "SIZE_INVALID"},
        {"path too long", "GET /v2/" + std::string(9000, 'a') + "/tags/list HTTP/1.1\r\n" + close, 414, "UNSUPPORTED"},
    };
    for (const auto &c : cases) {
        auto r = raw(c.raw);
        EXPECT_EQ(r.status, c.status) << c.label << "\n" << r.head << r.body;
        expect_registry_head(r, c.label);
        EXPECT_TRUE(r.has_header(regtest::kJsonType)) << c.label << "\n" << r.head;
        if (c.raw.rfind("HEAD ", 0) == 0) continue;
        const std::string closing = " (" + std::to_string(c.status) + ")\"}]}";
        EXPECT_EQ(r.body.rfind("{\"errors\":[{\"code\":\"" + std::string(c.code) + "\",\"message\":\"", 0), 0u)
            << c.label << ": " << r.body;
        EXPECT_TRUE(r.body.size() > closing.size() &&
                    r.body.compare(r.body.size() - closing.size(), closing.size(), closing) == 0)
            << c.label << ": " << r.body;
    }
}

// ---- Basic authentication ----------------------------------------------------------------------

class ApacheAuth : public Apache {
protected:
    void SetUp() override {
        const std::string tool = clienttools::find_tool("htpasswd");
        if (tool.empty()) GTEST_SKIP() << "htpasswd is not installed (apache2-utils, with scripts/deps.sh apache)";
        auto made = clienttools::run_tool({tool, "-b", "-c", "-B", file_.str() + "/htpasswd", "alice", "s3cret"});
        ASSERT_EQ(made.exit_code, 0) << made.out;
        // httpd reads the file as the account it serves as.
        apachetest::open_to_all(file_.path());
        fs::permissions(file_.path() / "htpasswd", fs::perms::owner_read | fs::perms::owner_write |
                                                       fs::perms::group_read | fs::perms::others_read);
        Apache::SetUp();
    }
    apachetest::ApacheOptions options() const override {
        apachetest::ApacheOptions o;
        o.htpasswd = file_.str() + "/htpasswd";
        return o;
    }
    bvtest::TempDir file_;
};

// Without or with wrong credentials every endpoint answers 401 with Apache's challenge in the
// envelope; with them the request reaches the program.
TEST_F(ApacheAuth, EveryEndpointAsksForCredentials) {
    const std::string good = "Basic YWxpY2U6czNjcmV0";  // alice:s3cret
    const std::string bad = "Basic YWxpY2U6d3Jvbmc=";   // alice:wrong
    for (const std::string path : {"/v2/", "/v2/_catalog", "/v2/lib/app/tags/list", "/v2/lib/app/manifests/v1"}) {
        for (const std::string &credentials : {std::string(), bad}) {
            regtest::Headers headers;
            if (!credentials.empty()) headers.push_back({"Authorization", credentials});
            auto r = call("GET", path, headers);
            EXPECT_EQ(r.status, 401) << path << "\n" << r.head;
            EXPECT_EQ(r.header("WWW-Authenticate"), "Basic realm=\"registry\"") << path;
            expect_envelope(r, "UNAUTHORIZED", path);
            expect_registry_head(r, path);
        }
        auto r = call("GET", path, {{"Authorization", good}});
        EXPECT_NE(r.status, 401) << path << "\n" << r.head;
        expect_registry_head(r, path);
    }
    auto pushed = call("POST", "/v2/lib/app/blobs/uploads/?digest=" + digest_of("x"), {{"Authorization", good}}, "x");
    EXPECT_EQ(pushed.status, 201) << pushed.body;
    // Paths no endpoint serves stay a 404 without credentials.
    EXPECT_EQ(call("GET", "/nothing").status, 404);
}

}  // namespace
