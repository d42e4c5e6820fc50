// What a long-lived FastCGI process must not carry from one request to the next: open files and
// memory, the storage's switches and root, the access rules; and what it must survive: a web
// server that hangs up while a large answer is being written. Large answers, long parameters
// and bodies without a length are answered as under CGI.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/endpoints/fastcgi_fixture.h"

namespace {

using fcgitest::Call;
using fcgitest::Process;
using fcgitest::Request;

class FastCgiResources : public fcgitest::FastCgiTest {
protected:
    static std::string pattern(std::size_t size) {
        std::string data(size, '\0');
        for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7919u) >> 5);
        return data;
    }
};

// Hundreds of requests of every outcome (served, refused by the dispatcher, refused by the
// handler, bodies read and not read, uploads started and given up) leave neither open files
// nor growing memory behind.
TEST_F(FastCgiResources, NoFilesOrMemoryHeldAcrossRequests) {
    const std::string data = "content that is uploaded again and again";
    const std::string digest = regcgi::digest_of(data);
    const std::string rules = access_file("*: read=* write=app\n");
    Call refused_access = call("POST", "/v2/other/blobs/uploads/");
    refused_access.params = {{"REGISTRY_ACCESS_FILE", rules}};
    Call with_rules = call("POST", "/v2/app/blobs/uploads/", "digest=" + digest, data);
    with_rules.params = {{"REGISTRY_ACCESS_FILE", rules}};
    Call bad_length = call("PATCH", "/v2/app/blobs/uploads/0123456789abcdef0123456789abcdef", {}, "xyz");
    bad_length.content_length = "1x";
    const std::vector<Call> mix = {
        call("POST", "/v2/app/blobs/uploads/", "digest=" + digest, data),
        call("POST", "/v2/app/blobs/uploads/"),
        call("POST", "/v2/app/blobs/uploads/", "digest=sha256:00", data),
        call("GET", "/v2/app/blobs/uploads/nope"),
        call("POST", "/v2/App/blobs/uploads/"),
        call("OPTIONS", "/v2/app/blobs/uploads/"),
        refused_access,
        with_rules,
        bad_length,
    };
    Process process(path_of("v2_uploads"), process_env());
    auto round = [&](int times) {
        for (int i = 0; i < times; ++i)
            for (const Call &c : mix) {
                Request r = fcgitest::to_request(c);
                // Every other abandoned request is dropped halfway through its body.
                if (i % 2 && !c.body.empty()) {
                    r.ending = fcgitest::Ending::abort;
                    r.sent = c.body.size() / 2;
                    process.send(r);
                } else {
                    process.send(r);
                }
            }
    };
    // The program closes a connection just after its last record went out, so a count taken at
    // once may still see it: the lowest of a few counts is the settled one.
    auto settled_fds = [&] {
        int least = process.open_fds();
        for (int i = 0; i < 20; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            least = std::min(least, process.open_fds());
        }
        return least;
    };
    round(20);
    ASSERT_TRUE(process.running()) << process.stderr_text();
    const int fds = settled_fds();
    const long rss = process.rss_kib();
    round(200);
    ASSERT_TRUE(process.running()) << process.stderr_text();
    RecordProperty("rss_kib_after_180", static_cast<int>(rss));
    RecordProperty("rss_kib_after_1980", static_cast<int>(process.rss_kib()));
    EXPECT_EQ(settled_fds(), fds);
    if (!fcgitest::kSanitized) {
        EXPECT_LT(process.rss_kib() - rss, 512) << "resident set grew from " << rss << " KiB";
    }
}

// The web server hangs up while a large blob is being written; the process goes on serving.
TEST_F(FastCgiResources, HangUpDuringALargeAnswer) {
    const std::string data = pattern(8u * 1024 * 1024);
    const std::string digest = blob("app", data);
    Process process(path_of("v2_blobs"), process_env());
    struct Case {
        const char *label;
        std::size_t after;
        bool keep_conn;
    };
    const Case cases[] = {{"after the head", 1, false}, {"halfway", 4u * 1024 * 1024, false}, {"kept connection", 1000, true}};
    const Request get = fcgitest::to_request(call("GET", "/v2/app/blobs/" + digest));
    for (const Case &c : cases) {
        Request dropped = get;
        dropped.hang_up_after = c.after;
        dropped.keep_conn = c.keep_conn;
        process.send(dropped);
        const std::string answer = fcgi(process, fcgitest::to_request(call("HEAD", "/v2/app/blobs/" + digest)), c.label);
        EXPECT_EQ(fcgitest::header_of(answer, "Content-Length"), std::to_string(data.size())) << c.label;
    }
    // And the whole blob still comes out as under CGI.
    EXPECT_EQ(fcgi(process, get, "whole"), cgi("v2_blobs", get));
}

// Answers far larger than a record, ranges of them, and parameters spread over several
// records come out byte for byte as a CGI run writes them.
TEST_F(FastCgiResources, LargeAnswersAndLongParameters) {
    const std::string data = pattern(3u * 1024 * 1024 + 17);
    const std::string digest = blob("app", data);
    store("app", "v1", image("app", "long"));
    const std::string path = "/v2/app/blobs/" + digest;
    auto plus = [](Call c, const std::string &name, const std::string &value) {
        c.params.emplace_back(name, value);
        return c;
    };
    struct Case {
        const char *label;
        const char *program;
        Call call;
    };
    const std::vector<Case> cases = {
        {"whole blob", "v2_blobs", call("GET", path)},
        {"range", "v2_blobs", plus(call("GET", path), "HTTP_RANGE", "bytes=65530-1048600")},
        {"suffix range", "v2_blobs", plus(call("GET", path), "HTTP_RANGE", "bytes=-70000")},
        {"sent by the server", "v2_blobs", plus(call("GET", path), "REGISTRY_X_SENDFILE", "1")},
        // Longer than a record, short enough for an exec's environment (128 KiB a string).
        {"long cookie", "v2_blobs", plus(call("HEAD", path), "HTTP_COOKIE", std::string(100000, 'c'))},
        {"long query", "v2_tags", call("GET", "/v2/app/tags/list", "n=1&pad=" + std::string(70000, 'p'))},
        {"long name", "v2_tags", call("GET", "/v2/" + std::string(200, 'a') + "/tags/list")},
    };
    Process blobs(path_of("v2_blobs"), process_env());
    Process tags(path_of("v2_tags"), process_env());
    for (const Case &c : cases) {
        Process &process = std::string(c.program) == "v2_blobs" ? blobs : tags;
        const Request request = fcgitest::to_request(c.call);
        EXPECT_EQ(fcgi(process, request, c.label), cgi(c.program, request)) << c.label;
    }
}

// Bodies that come without CONTENT_LENGTH (a chunked request passed on as it arrives), longer
// than announced, or from a spooled body file, are read as under CGI; a body file named in
// one request is not read for the next.
TEST_F(FastCgiResources, BodiesWithoutLengthOrFromAFile) {
    const std::string data = pattern(300000);
    const std::string spooled_path = (rules_dir_.path() / "spooled").string();
    bvtest::write_all(spooled_path, "from the body file");
    struct Case {
        const char *label;
        std::string query;
        std::string body;
        std::optional<std::string> content_length;
        std::optional<std::string> body_file;
    };
    const std::vector<Case> cases = {
        {"no length", "digest=" + regcgi::digest_of(data), data, "", std::nullopt},
        {"no length, empty", "digest=" + regcgi::digest_of(""), "", "", std::nullopt},
        {"longer than announced", "digest=" + regcgi::digest_of(data.substr(0, 1000)), data, "1000", std::nullopt},
        {"body file", "digest=" + regcgi::digest_of("from the body file"), "ignored", std::nullopt, spooled_path},
        {"after the body file", "digest=" + regcgi::digest_of("ignored"), "ignored", std::nullopt, std::nullopt},
        {"missing body file", "digest=" + regcgi::digest_of("stdin"), "stdin", std::nullopt,
         (rules_dir_.path() / "gone").string()},
    };
    Process process(path_of("v2_uploads"), process_env());
    for (const Case &c : cases) {
        Call post = call("POST", "/v2/app/blobs/uploads/", c.query, c.body);
        post.content_length = c.content_length;
        if (c.body_file) post.params.emplace_back("POST_BODY_FILE", *c.body_file);
        const Request request = fcgitest::to_request(post);
        const std::string answer = fcgi(process, request, c.label);
        EXPECT_EQ(fcgitest::header_of(answer, "Status"), "201") << c.label << "\n" << answer;
        EXPECT_EQ(answer, cgi("v2_uploads", request)) << c.label;
    }
}

// What the storage says about itself (config.json), the access rules and even the storage
// root are read for each request: a change between two requests is seen by the second. A tree
// whose config.json went, or a root without one, is refused (503) and left as it is.
TEST_F(FastCgiResources, SwitchesChangedBetweenRequestsAreSeen) {
    const std::string manifest = image("app", "switch");
    store("app", "v1", manifest);
    Call put = call("PUT", "/v2/app/manifests/v1", {}, manifest);
    put.params = {{"CONTENT_TYPE", regcgi::kOciManifest}};
    const std::string config = (root_.path() / "config.json").string();
    const std::string original = bvtest::read_all(config);
    const std::string rules = (rules_dir_.path() / "changing").string();
    Call tags = call("GET", "/v2/app/tags/list");
    tags.params = {{"REGISTRY_ACCESS_FILE", rules}};

    bvtest::TempDir other_root;
    bvtest::make_storage_tree(other_root.path());
    Call other_tags = call("GET", "/v2/app/tags/list");
    other_tags.params = {{"REGISTRY_STORAGE_ROOT", other_root.str()}};
    bvtest::TempDir bare_root;
    Call bare_tags = call("GET", "/v2/app/tags/list");
    bare_tags.params = {{"REGISTRY_STORAGE_ROOT", bare_root.str()}};

    struct Case {
        const char *label;
        const char *program;
        std::function<void()> change;
        Call call;
        const char *status;
    };
    const std::vector<Case> cases = {
        {"writable", "v2_manifests", [] {}, put, "201"},
        {"storage made read-only", "v2_manifests", [&] { bvtest::write_all(config, "{\"readOnly\":true}\n"); }, put, "405"},
        {"storage writable again", "v2_manifests", [&] { bvtest::write_all(config, original); }, put, "201"},
        {"config.json gone", "v2_manifests", [&] { std::filesystem::remove(config); }, put, "503"},
        {"config.json back", "v2_manifests", [&] { bvtest::write_all(config, original); }, put, "201"},
        {"rules grant", "v2_tags", [&] { bvtest::write_all(rules, "*: read=app\n"); }, tags, "200"},
        {"rules withdrawn", "v2_tags", [&] { bvtest::write_all(rules, "*: read=other\n"); }, tags, "403"},
        {"rules broken", "v2_tags", [&] { bvtest::write_all(rules, "*: read=app\nbroken\n"); }, tags, "500"},
        {"another root", "v2_tags", [] {}, other_tags, "404"},
        {"a root without its tree", "v2_tags", [] {}, bare_tags, "503"},
        {"the first root again", "v2_tags", [&] { std::filesystem::remove(rules); }, call("GET", "/v2/app/tags/list"), "200"},
    };
    Process manifests(path_of("v2_manifests"), process_env());
    Process listing(path_of("v2_tags"), process_env());
    for (const Case &c : cases) {
        c.change();
        Process &process = std::string(c.program) == "v2_manifests" ? manifests : listing;
        const Request request = fcgitest::to_request(c.call);
        const std::string answer = fcgi(process, request, c.label);
        EXPECT_EQ(fcgitest::header_of(answer, "Status"), c.status) << c.label << "\n" << answer;
        EXPECT_EQ(answer, cgi(c.program, request)) << c.label;
    }
    EXPECT_TRUE(std::filesystem::is_empty(bare_root.path()));
}

}  // namespace

#endif
