// One FastCGI process over many requests: recycling after REGISTRY_FASTCGI_MAX_REQUESTS, no
// parameter of one request seen by the next, aborted and short bodies, kept connections, both
// ways of being started, a 64 MiB upload streamed in bounded memory, and the minimum transfer
// rate that frees the process from a client too slow.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/endpoints/fastcgi_fixture.h"

namespace {

using fcgitest::Call;
using fcgitest::Ending;
using fcgitest::Process;
using fcgitest::Request;

class FastCgiProcess : public fcgitest::FastCgiTest {
protected:
    // A new upload in `repo` through `process`; its identifier comes back.
    std::string start_upload(Process &process, const std::string &repo = "app") {
        const std::string raw = fcgi(process, fcgitest::to_request(call("POST", "/v2/" + repo + "/blobs/uploads/")), "start");
        const std::string uuid = fcgitest::header_of(raw, "Docker-Upload-UUID");
        EXPECT_FALSE(uuid.empty()) << raw;
        return uuid;
    }
};

// The process ends with status 0 right after its Nth request, not before; "0" never ends it,
// and a value that is no plain number keeps the default of 10000 rather than turning the
// limit off or down.
TEST_F(FastCgiProcess, RecycledAfterMaxRequests) {
    struct Case {
        std::optional<std::string> limit;
        int requests;
        bool ends;
    };
    const Case cases[] = {{"1", 1, true},      {"3", 3, true},      {"5", 5, true},   {"0", 12, false},
                          {"abc", 12, false},  {"-1", 12, false},   {"2x", 12, false}, {"", 12, false},
                          {std::nullopt, 10000, true}};
    const Call refused = call("POST", "/v2/");
    const Call ping = call("GET", "/v2/");
    for (const Case &c : cases) {
        const std::string label = c.limit ? "'" + *c.limit + "'" : "unset";
        SCOPED_TRACE(label);
        Process process(path_of("v2_ping"), process_env({{"REGISTRY_FASTCGI_MAX_REQUESTS", c.limit}}));
        for (int i = 0; i < c.requests; ++i) {
            // Refused requests count like served ones.
            const auto reply = process.send(fcgitest::to_request(i % 2 ? refused : ping));
            if (!reply.ended) {
                ADD_FAILURE() << "request " << i + 1 << " unanswered";
                break;
            }
            if (i + 1 < c.requests && i % 1000 == 0 && !process.running()) {
                ADD_FAILURE() << "ended after " << i + 1;
                break;
            }
        }
        if (c.ends) {
            EXPECT_EQ(process.wait_exit(10), std::optional<int>(0)) << process.stderr_text();
        } else {
            EXPECT_FALSE(process.wait_exit(0.3).has_value());
        }
    }
}

// A request that carries a parameter is followed by one that lacks it: the second is answered
// exactly as a CGI run without the parameter, never as if the first one's were still set.
TEST_F(FastCgiProcess, NoParameterOutlivesItsRequest) {
    const std::string layer = "bytes of a layer to read in ranges";
    const std::string blob = this->blob("app", layer);
    const std::string manifest = image("app", "leak");
    store("app", "v1", manifest);
    store("app", "v2", image("app", "other"));
    const std::string alice_only = access_file("alice: write=*\n");

    Call put = call("PUT", "/v2/app/manifests/v3", {}, manifest);
    put.params = {{"CONTENT_TYPE", regcgi::kOciManifest}};
    Call typed_put = put;
    Call tags = call("GET", "/v2/app/tags/list");
    Call tags_no_query = tags;
    tags_no_query.send_query = false;
    Call blob_get = call("GET", "/v2/app/blobs/" + blob);

    struct Case {
        const char *label;
        const char *program;
        Call first;
        Call second;
    };
    auto plus = [](Call c, const std::string &name, const std::string &value) {
        c.params.emplace_back(name, value);
        return c;
    };
    const std::string uuid_placeholder = "<id>";
    const std::vector<Case> cases = {
        {"REGISTRY_READ_ONLY", "v2_manifests", plus(put, "REGISTRY_READ_ONLY", "1"), typed_put},
        {"REGISTRY_DELETE_ENABLED", "v2_manifests", plus(call("DELETE", "/v2/app/manifests/v9"), "REGISTRY_DELETE_ENABLED", "0"),
         call("DELETE", "/v2/app/manifests/v9")},
        {"QUERY_STRING", "v2_tags", call("GET", "/v2/app/tags/list", "n=1"), tags_no_query},
        {"QUERY_STRING empty", "v2_tags", call("GET", "/v2/app/tags/list", "n=1&last=v1"), tags},
        {"REMOTE_USER", "v2_tags", plus(plus(tags, "REMOTE_USER", "alice"), "REGISTRY_ACCESS_FILE", alice_only),
         plus(tags, "REGISTRY_ACCESS_FILE", alice_only)},
        {"REGISTRY_ACCESS_FILE", "v2_tags", plus(tags, "REGISTRY_ACCESS_FILE", alice_only), tags},
        {"HTTP_RANGE", "v2_blobs", plus(blob_get, "HTTP_RANGE", "bytes=2-5"), blob_get},
        {"REGISTRY_X_SENDFILE", "v2_blobs", plus(blob_get, "REGISTRY_X_SENDFILE", "1"), blob_get},
        {"CONTENT_TYPE", "v2_manifests", typed_put, call("PUT", "/v2/app/manifests/v3", {}, manifest)},
        {"REQUEST_METHOD", "v2_blobs", call("HEAD", "/v2/app/blobs/" + blob), [&] {
             Call c = blob_get;
             c.params.emplace_back("REQUEST_METHOD", std::nullopt);
             return c;
         }()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        Process process(path_of(c.program), process_env());
        fcgi(process, fcgitest::to_request(c.first), std::string(c.label) + " (first)");
        Request second = fcgitest::to_request(c.second);
        if (std::string(c.label) == "REQUEST_METHOD")
            std::erase_if(second.params, [](const auto &p) { return p.first == "REQUEST_METHOD"; });
        EXPECT_EQ(fcgi(process, second, c.label), cgi(c.program, second)) << c.label;
    }

    // CONTENT_LENGTH: a chunk with a length, then one without a length and without a body.
    Process uploads(path_of("v2_uploads"), process_env());
    const std::string uuid = start_upload(uploads);
    const std::string path = "/v2/app/blobs/uploads/" + uuid;
    fcgi(uploads, fcgitest::to_request(call("PATCH", path, {}, "abcde")), "chunk");
    Call empty = call("PATCH", path);
    empty.content_length = "";
    const Request no_length = fcgitest::to_request(empty);
    const std::string answer = fcgi(uploads, no_length, "chunk without a length");
    EXPECT_EQ(fcgitest::header_of(answer, "Range"), "0-4") << answer;
    EXPECT_EQ(answer, cgi("v2_uploads", no_length));
}

// lighttpd passes its setenv.add-environment entries as request parameters, the storage root
// among them: a process whose own environment names no root serves the one the request names.
TEST_F(FastCgiProcess, StorageRootGivenAsParameter) {
    store("app", "v1", image("app", "root"));
    bvtest::TempDir cwd;  // where a root left unnamed would be made
    Process process(path_of("v2_tags"), {}, fcgitest::Start::inherited_socket, cwd.path());
    Call list = call("GET", "/v2/app/tags/list");
    list.params = {{"REGISTRY_STORAGE_ROOT", root_.str()}};
    const Request request = fcgitest::to_request(list);
    EXPECT_EQ(fcgi(process, request, "root as parameter"), cgi("v2_tags", request));
}

// A connection dropped halfway through a body leaves the process serving, and the upload (or
// manifest) as it was: the next request sees what a CGI run sees.
TEST_F(FastCgiProcess, AbortedBodiesLeaveTheProcessServing) {
    const std::string manifest = image("app", "abort");
    struct Case {
        const char *label;
        const char *program;
        bool upload;  // the request goes to a fresh upload's path
        Call aborted;
        Call after;
    };
    Call put = call("PUT", "/v2/app/manifests/half", {}, manifest);
    put.params = {{"CONTENT_TYPE", regcgi::kOciManifest}};
    const std::string big(200000, 'z');
    const std::vector<Case> cases = {
        {"chunk", "v2_uploads", true, call("PATCH", "", {}, big), call("GET", "")},
        {"closing chunk", "v2_uploads", true, call("PUT", "", "digest=" + regcgi::digest_of(big), big), call("GET", "")},
        {"whole blob", "v2_uploads", false, call("POST", "/v2/app/blobs/uploads/", "digest=" + regcgi::digest_of(big), big),
         call("HEAD", "/v2/app/blobs/" + regcgi::digest_of(big))},
        {"manifest", "v2_manifests", false, put, call("GET", "/v2/app/manifests/half")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        Process process(path_of(c.program), process_env());
        Call aborted = c.aborted;
        Call after = c.after;
        if (c.upload) {
            const std::string uuid = start_upload(process);
            aborted.path = after.path = "/v2/app/blobs/uploads/" + uuid;
        }
        Request request = fcgitest::to_request(aborted);
        request.ending = Ending::abort;
        request.sent = aborted.body.size() / 3;
        process.send(request);
        const Request next = fcgitest::to_request(after);
        const std::string answer = fcgi(process, next, std::string(c.label) + " after the abort");
        EXPECT_EQ(answer, cgi(c.program, next));
        if (c.upload) {
            EXPECT_EQ(fcgitest::header_of(answer, "Range"), "0-0") << answer;
        }
    }
}

// A body that ends before its announced length is answered as under CGI (the same refusal,
// the upload left as it was), and the process goes on; so is one that arrives slowly or in
// records of a few bytes.
TEST_F(FastCgiProcess, BodiesCutShortSlowOrInSmallRecordsAreAnsweredAsUnderCgi) {
    const std::string manifest = image("app", "short");
    const std::string data(100000, 'q');
    struct Case {
        const char *label;
        const char *program;
        bool upload;
        Call call;
        std::size_t sent;  // body bytes sent before the body ends; npos: all of it
        std::size_t record_size = 8192;
        int delay_ms = 0;
    };
    const std::size_t all = std::string::npos;
    Call put = call("PUT", "/v2/app/manifests/short", {}, manifest);
    put.params = {{"CONTENT_TYPE", regcgi::kOciManifest}};
    const std::vector<Case> cases = {
        {"chunk", "v2_uploads", true, call("PATCH", "", {}, data), 40000},
        {"chunk, nothing sent", "v2_uploads", true, call("PATCH", "", {}, data), 0},
        {"closing chunk", "v2_uploads", true, call("PUT", "", "digest=" + regcgi::digest_of(data), data), 99999},
        {"whole blob", "v2_uploads", false, call("POST", "/v2/app/blobs/uploads/", "digest=" + regcgi::digest_of(data), data), 10},
        {"manifest", "v2_manifests", false, put, manifest.size() / 2},
        {"chunk, slowly", "v2_uploads", true, call("PATCH", "", {}, data), all, 8192, 100},
        {"chunk in small records", "v2_uploads", true, call("PATCH", "", {}, data.substr(0, 3000)), all, 7},
        {"whole blob in one-byte records", "v2_uploads", false,
         call("POST", "/v2/app/blobs/uploads/", "digest=" + regcgi::digest_of(data.substr(0, 700)), data.substr(0, 700)), all, 1},
        {"manifest, slowly", "v2_manifests", false, put, all, 100, 100},
        {"manifest in small records, cut short", "v2_manifests", false, put, manifest.size() - 1, 3},
    };
    Process uploads(path_of("v2_uploads"), process_env());
    Process manifests(path_of("v2_manifests"), process_env());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        Process &process = std::string(c.program) == "v2_uploads" ? uploads : manifests;
        Call fcgi_call = c.call;
        Call cgi_call = c.call;
        std::string fcgi_uuid, cgi_uuid;
        if (c.upload) {
            fcgi_uuid = start_upload(process);
            cgi_uuid = start_upload(process);
            fcgi_call.path = "/v2/app/blobs/uploads/" + fcgi_uuid;
            cgi_call.path = "/v2/app/blobs/uploads/" + cgi_uuid;
        }
        Request short_fcgi = fcgitest::to_request(fcgi_call);
        Request short_cgi = fcgitest::to_request(cgi_call);
        for (Request *r : {&short_fcgi, &short_cgi}) {
            r->ending = c.sent == all ? Ending::complete : Ending::cut_short;
            r->sent = c.sent;
            r->record_size = c.record_size;
            r->stdin_delay_ms = c.delay_ms;
        }
        const std::string a = fcgi(process, short_fcgi, c.label);
        const std::string b = cgi(c.program, short_cgi);
        EXPECT_EQ(fcgitest::replaced(a, fcgi_uuid, "<id>"), fcgitest::replaced(b, cgi_uuid, "<id>"));
        if (c.upload) {
            const std::string progress =
                fcgi(process, fcgitest::to_request(call("GET", fcgi_call.path)), std::string(c.label) + " progress");
            EXPECT_EQ(fcgitest::replaced(progress, fcgi_uuid, "<id>"),
                      fcgitest::replaced(cgi(c.program, fcgitest::to_request(call("GET", cgi_call.path))), cgi_uuid, "<id>"));
        }
    }
}

// Several requests over one kept connection (as servers that set FCGI_KEEP_CONN send them), each
// answered as a CGI run answers it: among them refusals whose body the program never reads, and
// requests whose body (even an empty one) arrives only after the program has answered. What is
// left of a finished request's STDIN stream must be read past, not taken for the next request:
// libfcgi alone drops the connection on it, losing the next request.
TEST_F(FastCgiProcess, KeptConnectionServesRequestAfterRequest) {
    const std::string manifest = image("app", "kept");
    store("app", "v1", manifest);
    Call oversized = call("PUT", "/v2/app/manifests/v2", {}, std::string(1000, 'x'));
    oversized.content_length = std::to_string(5 * 1024 * 1024);
    Call put = call("PUT", "/v2/app/manifests/v1", {}, manifest);
    put.params = {{"CONTENT_TYPE", regcgi::kOciManifest}};
    struct Step {
        const char *label;
        Call call;
        int stdin_delay_ms;
    };
    const std::vector<Step> steps = {
        {"body read", put, 0},
        {"no body", call("GET", "/v2/app/manifests/v1"), 0},
        {"body read, arriving late", put, 50},
        {"no body", call("GET", "/v2/app/manifests/v1"), 0},
        {"oversized body never read", oversized, 0},
        {"unknown tag", call("GET", "/v2/app/manifests/nope"), 0},
        {"refused method, body never read", call("POST", "/v2/app/manifests/v1", {}, "never read"), 0},
        {"head", call("HEAD", "/v2/app/manifests/v1"), 0},
        {"no body, its end arriving late", call("GET", "/v2/app/manifests/v1"), 50},
        {"no body", call("GET", "/v2/app/manifests/v1"), 0},
    };
    Process process(path_of("v2_manifests"), process_env());
    for (const Step &step : steps) {
        Request request = fcgitest::to_request(step.call);
        request.keep_conn = true;
        request.stdin_delay_ms = step.stdin_delay_ms;
        EXPECT_EQ(fcgi(process, request, step.label), cgi("v2_manifests", request)) << step.label;
    }
}

// An address the program cannot listen on ends it at once with a failure status, rather than
// leaving it to serve a CGI request nobody sent.
TEST_F(FastCgiProcess, UnusableListenAddressEndsTheProgram) {
    bvtest::TempDir dir;
    const std::string missing = (dir.path() / "no" / "such" / "dir" / "app.sock").string();
    const bvtest::ProcessResult r = fcgitest::run_cgi(
        path_of("v2_ping"), process_env({{"REGISTRY_FASTCGI_LISTEN", missing}}), fcgitest::to_request(call("GET", "/v2/")));
    EXPECT_NE(r.exit_code, 0);
    EXPECT_NE(r.exit_code, -1);  // no crash
    EXPECT_EQ(r.out, "");
}

// Started on an inherited socket or told to listen itself, the program answers alike.
TEST_F(FastCgiProcess, BothWaysOfStartingServe) {
    store("app", "v1", image("app", "start"));
    const Request request = fcgitest::to_request(call("GET", "/v2/app/tags/list"));
    for (fcgitest::Start start : {fcgitest::Start::inherited_socket, fcgitest::Start::listen_variable}) {
        Process process(path_of("v2_tags"), process_env(), start);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(fcgi(process, request, "start " + std::to_string(static_cast<int>(start))), cgi("v2_tags", request));
    }
}

// 64 MiB through one chunk and a closing PUT: the body streams to storage, so the process's
// peak resident set stays far below the body's size; the blob arrives whole.
TEST_F(FastCgiProcess, LargeUploadStreamsInBoundedMemory) {
    std::string data(64u * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);
    Process process(path_of("v2_uploads"), process_env());
    const std::string uuid = start_upload(process);
    const std::string path = "/v2/app/blobs/uploads/" + uuid;
    Request chunk = fcgitest::to_request(call("PATCH", path, {}, data));
    chunk.record_size = 65535;
    const std::string patched = fcgi(process, chunk, "64 MiB chunk");
    EXPECT_EQ(fcgitest::header_of(patched, "Range"), "0-" + std::to_string(data.size() - 1)) << patched;
    const std::string digest = regcgi::digest_of(data);
    const std::string done = fcgi(process, fcgitest::to_request(call("PUT", path, "digest=" + digest)), "close");
    EXPECT_EQ(fcgitest::header_of(done, "Docker-Content-Digest"), digest) << done;

    Request whole = fcgitest::to_request(call("POST", "/v2/other/blobs/uploads/", "digest=" + digest, data));
    whole.record_size = 65535;
    EXPECT_EQ(fcgitest::header_of(fcgi(process, whole, "64 MiB whole"), "Docker-Content-Digest"), digest);

    const long peak = process.peak_rss_kib();
    RecordProperty("peak_rss_kib", static_cast<int>(peak));
    ASSERT_GT(peak, 0);
    EXPECT_LT(peak, (fcgitest::kSanitized ? 256 : 16) * 1024) << "peak resident set " << peak << " KiB for a 64 MiB body";
    Process blobs(path_of("v2_blobs"), process_env());
    const std::string stat = fcgi(blobs, fcgitest::to_request(call("HEAD", "/v2/other/blobs/" + digest)), "blob head");
    EXPECT_EQ(fcgitest::header_of(stat, "Content-Length"), std::to_string(data.size())) << stat;
}

// A client too slow for too long costs only its own request (grace 1 s, 1000 B/s). A body
// trickled below the rate is cut with 408 and leaves the upload as it was: its size, and its
// running hash, which the finish under the digest of the bytes before proves. An answer nobody
// takes ends within the grace and a margin, and the process serves the next request; without a
// bound it would hold the process until the client gave up. A body at a good rate, and a
// trickle with the rule switched off, pass.
TEST_F(FastCgiProcess, TransferRateCutsOnlyClientsTooSlow) {
    const std::string before(5000, 'a');
    const std::string chunk(64 * 1024, 'b');
    const std::string layer(8 * 1024 * 1024, 'c');  // far more than the socket buffers hold
    const std::string layer_digest = blob("app", layer);
    struct Case {
        const char *label;
        const char *rate;
        std::size_t sent;  // chunk bytes sent; 0: a blob GET whose answer nobody reads
        std::size_t record_size;
        int record_delay_ms;
        int status;
    };
    const std::vector<Case> cases = {
        {"trickled chunk", "1000", 40, 1, 50, 408},
        {"chunk at a good rate", "1000", chunk.size(), 4096, 100, 202},
        {"trickled chunk, rule off", "0", 40, 1, 50, 202},
        {"answer nobody reads", "1000", 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        const auto env = process_env({{"REGISTRY_MIN_TRANSFER_RATE", c.rate}, {"REGISTRY_TRANSFER_GRACE", "1"}});
        if (c.sent == 0) {
            Process blobs(path_of("v2_blobs"), env);
            const auto began = std::chrono::steady_clock::now();
            Request get = fcgitest::to_request(call("GET", "/v2/app/blobs/" + layer_digest));
            get.hold_after = 1;
            blobs.send(get);
            const std::string next = fcgi(blobs, fcgitest::to_request(call("HEAD", "/v2/app/blobs/" + layer_digest)), "next");
            EXPECT_EQ(next.rfind("Status: 200", 0), 0u) << next;
            EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(6));
            EXPECT_NE(blobs.stderr_text().find("answer cut"), std::string::npos) << blobs.stderr_text();
            continue;
        }
        Process uploads(path_of("v2_uploads"), env);
        const std::string path = "/v2/app/blobs/uploads/" + start_upload(uploads);
        fcgi(uploads, fcgitest::to_request(call("PATCH", path, {}, before)), "before");
        Request slow = fcgitest::to_request(call("PATCH", path, {}, chunk.substr(0, c.sent)));
        slow.record_size = c.record_size;
        slow.record_delay_ms = c.record_delay_ms;
        const fcgitest::Reply reply = uploads.send(slow);
        EXPECT_EQ(reply.out.rfind("Status: " + std::to_string(c.status), 0), 0u) << reply.out;
        const std::string kept = c.status == 202 ? before + chunk.substr(0, c.sent) : before;
        const std::string progress = fcgi(uploads, fcgitest::to_request(call("GET", path)), "progress");
        EXPECT_EQ(fcgitest::header_of(progress, "Range"), "0-" + std::to_string(kept.size() - 1)) << progress;
        const std::string done =
            fcgi(uploads, fcgitest::to_request(call("PUT", path, "digest=" + regcgi::digest_of(kept))), "finish");
        EXPECT_EQ(done.rfind("Status: 201", 0), 0u) << done;
        const std::string log = uploads.stderr_text();
        EXPECT_EQ(log.find("request body cut") != std::string::npos, c.status == 408) << log;
        EXPECT_EQ(log.find("request body cut"), log.rfind("request body cut")) << "logged once: " << log;
    }
}

}  // namespace

#endif
