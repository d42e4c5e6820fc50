// Every endpoint program served as a FastCGI application: in one process, each refused request
// (bad name, unknown content, bad method, bad or oversized body, read-only and access refusals)
// is followed by a good one, and both answers equal a CGI run's byte for byte while the
// process lives on. The authorizer (v2_access), asked with each request's head as lighttpd asks
// it, gives the same refusal or lets the request go on, and lets every good one go on.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/endpoints/fastcgi_fixture.h"

namespace {

using fcgitest::Call;
using fcgitest::Process;

struct Round {
    const char *label;
    Call bad;
    Call good;
};

struct Endpoint {
    const char *program;
    std::vector<Round> rounds;
};

int status_of(const std::string &raw) { return std::atoi(fcgitest::header_of(raw, "Status").c_str()); }

// The request as lighttpd puts it to the authorizer: the rewritten path in REDIRECT_URI (with
// ":" escaped as a client may send it: lighttpd keeps such escapes there), the length as the
// client's header, no PATH_INFO, no CONTENT_LENGTH and no body.
fcgitest::Request authorizer_request(const std::string &program, const fcgitest::Request &responder) {
    fcgitest::Request r;
    r.role = 2;
    std::string path;
    std::string query;
    for (const auto &[name, value] : responder.params) {
        if (name == "PATH_INFO") path = value;
        else if (name == "QUERY_STRING") query = value;
        if (name == "CONTENT_LENGTH") r.params.emplace_back("HTTP_CONTENT_LENGTH", value);
        else if (name != "PATH_INFO") r.params.emplace_back(name, value);
    }
    path = fcgitest::replaced(path, ":", "%3A");
    r.params.emplace_back("REDIRECT_URI", "/.endpoints/" + program + path + (query.empty() ? "" : "?" + query));
    return r;
}

class FastCgiEquivalence : public fcgitest::FastCgiTest {
protected:
    // Sends each round's two requests to one process and compares both with CGI runs.
    void check(const Endpoint &endpoint) {
        Process process(path_of(endpoint.program), process_env());
        Process authorizer(path_of("v2_access"), process_env());
        const std::string go_on = "Status: 200\r\n\r\n";
        for (const Round &round : endpoint.rounds) {
            const std::string label = std::string(endpoint.program) + " / " + round.label;
            const auto bad = fcgitest::to_request(round.bad);
            const auto good = fcgitest::to_request(round.good);
            const std::string bad_fcgi = fcgi(process, bad, label + " (refused)");
            const std::string bad_cgi = cgi(endpoint.program, bad);
            EXPECT_GE(status_of(bad_cgi), 400) << label << "\n" << bad_cgi;
            EXPECT_EQ(bad_fcgi, bad_cgi) << label << " (refused)";
            // A refusal its handler gives is not the authorizer's to give.
            const std::string decided = fcgi(authorizer, authorizer_request(endpoint.program, bad), label + " (authorizer)");
            if (decided != go_on) {
                EXPECT_EQ(decided, bad_cgi) << label << " (authorizer)";
            }
            EXPECT_EQ(fcgi(authorizer, authorizer_request(endpoint.program, good), label + " (authorizer, good)"), go_on)
                << label;

            std::string good_fcgi = fcgi(process, good, label + " (good)");
            std::string good_cgi = cgi(endpoint.program, good);
            // A new upload's identifier is the one thing that differs between two runs.
            good_fcgi = fcgitest::replaced(good_fcgi, fcgitest::header_of(good_fcgi, "Docker-Upload-UUID"), "<id>");
            good_cgi = fcgitest::replaced(good_cgi, fcgitest::header_of(good_cgi, "Docker-Upload-UUID"), "<id>");
            EXPECT_GE(status_of(good_cgi), 200) << label << "\n" << good_cgi;
            EXPECT_LT(status_of(good_cgi), 300) << label << "\n" << good_cgi;
            EXPECT_EQ(good_fcgi, good_cgi) << label << " (good)";
        }
        EXPECT_TRUE(process.running()) << endpoint.program;
        EXPECT_TRUE(authorizer.running()) << endpoint.program;
    }

    static Call get(const std::string &path, const std::string &query = {}) {
        Call c;
        c.path = path;
        c.query = query;
        return c;
    }
    static Call with(Call c, const std::string &name, const std::string &value) {
        c.params.emplace_back(name, value);
        return c;
    }
    static Call as(Call c, const std::string &method, const std::string &body = {}) {
        c.method = method;
        c.body = body;
        return c;
    }
};

TEST_F(FastCgiEquivalence, EveryEndpointAnswersRefusalsAndThenServesAsUnderCgi) {
    const std::string layer = "layer content for the FastCGI rounds";
    const std::string blob = this->blob("app", layer);
    // Large enough to go out in several records and kernel copies, cut at an odd offset.
    std::string large_layer(200001, '\0');
    for (size_t i = 0; i < large_layer.size(); ++i) large_layer[i] = static_cast<char>(i * 7 % 251);
    const std::string large = this->blob("app", large_layer);
    const std::string manifest = image("app", "fcgi");
    const std::string digest = store("app", "v1", manifest);
    store("app", "v2", image("app", "second"));
    store("team/tool", "latest", image("team/tool", "tool"));
    const std::string referrer = image("app", "signature",
                                       ",\"artifactType\":\"application/x.sig\",\"subject\":{\"mediaType\":\"" +
                                           std::string(regcgi::kOciManifest) + "\",\"digest\":\"" + digest +
                                           "\",\"size\":" + std::to_string(manifest.size()) + "}");
    store("app", regcgi::digest_of(referrer), referrer);

    const std::string nobody = access_file("alice: read=*\n");
    const std::string broken_rules = access_file("alice read=*\n");
    const std::string unknown = "sha256:" + std::string(64, 'e');
    const std::string blobs = "/v2/app/blobs/";
    const std::string uploads = "/v2/app/blobs/uploads/";
    const std::string manifests = "/v2/app/manifests/";
    const std::string small = "whole blob in one POST";
    const std::string put_query = "digest=" + regcgi::digest_of(small);

    Call ranged = with(get(blobs + blob), "HTTP_RANGE", "bytes=3-9");
    Call typed_put = with(as(get(manifests + "v1"), "PUT", manifest), "CONTENT_TYPE", regcgi::kOciManifest);
    Call oversized = with(as(get(manifests + "big"), "PUT", std::string(4 * 1024 * 1024 + 1, ' ')),
                          "CONTENT_TYPE", regcgi::kOciManifest);
    Call bad_length = as(get(uploads, put_query), "POST", "abc");
    bad_length.content_length = "3x";
    Call whole = as(get(uploads, put_query), "POST", small);

    const std::vector<Endpoint> endpoints = {
        {"v2_ping",
         {{"bad method", as(get("/v2/"), "POST"), get("/v2/")},
          {"lower-case method", as(get("/v2/"), "get"), as(get("/v2/"), "HEAD")},
          {"read-only write", with(as(get("/v2/"), "PUT", "x"), "REGISTRY_READ_ONLY", "1"), as(get("/v2/"), "OPTIONS")},
          {"extension path, any method", as(get("/v2/lib/app/_ext/x"), "POST", "x"), get("/v2/")}}},
        {"v2_blobs",
         {{"bad name", get("/v2/App/blobs/" + blob), get(blobs + blob)},
          {"unknown digest", get(blobs + unknown), as(get(blobs + blob), "HEAD")},
          {"malformed digest", get(blobs + "sha256:12"), ranged},
          {"bad method", as(get(blobs + blob), "POST", "x"), with(get(blobs + blob), "REGISTRY_X_SENDFILE", "1")},
          {"range past the end", with(get(blobs + blob), "HTTP_RANGE", "bytes=9999-"), get(blobs + blob)},
          {"large blob, ranged", with(get(blobs + large), "HTTP_RANGE", "bytes=200001-"),
           with(get(blobs + large), "HTTP_RANGE", "bytes=3-")},
          {"read-only delete", with(as(get(blobs + blob), "DELETE"), "REGISTRY_READ_ONLY", "1"), get(blobs + blob)},
          {"access refused", with(get(blobs + blob), "REGISTRY_ACCESS_FILE", nobody), get(blobs + blob)},
          {"unusable rules", with(get(blobs + blob), "REGISTRY_ACCESS_FILE", broken_rules), ranged}}},
        {"v2_uploads",
         {{"unknown upload", as(get(uploads + "0123456789abcdef0123456789abcdef"), "PATCH", "data"), as(get(uploads), "POST")},
          {"malformed length", bad_length, whole},
          {"bad digest", as(get(uploads, "digest=sha256:zz"), "POST", small), as(get(uploads), "POST")},
          {"wrong digest", as(get(uploads, "digest=" + unknown), "POST", small), whole},
          {"bad method", as(get(uploads), "OPTIONS"), as(get(uploads), "POST")},
          {"read-only start", with(as(get(uploads), "POST"), "REGISTRY_READ_ONLY", "1"), whole},
          {"access refused", with(as(get(uploads), "POST"), "REGISTRY_ACCESS_FILE", nobody), as(get(uploads), "POST")}}},
        {"v2_manifests",
         {{"bad name", get("/v2/-app/manifests/v1"), get(manifests + "v1")},
          {"unknown tag", get(manifests + "v9"), as(get(manifests + digest), "HEAD")},
          {"malformed manifest", with(as(get(manifests + "v3"), "PUT", "{not json"), "CONTENT_TYPE", regcgi::kOciManifest), typed_put},
          {"oversized manifest", oversized, get(manifests + digest)},
          {"bad tag", get(manifests + "-bad"), get(manifests + "v2")},
          {"long escaped reference", get(manifests + std::string(200, ':')), get(manifests + "v2")},
          {"bad method", as(get(manifests + "v1"), "POST", "x"), typed_put},
          {"read-only put", with(typed_put, "REGISTRY_READ_ONLY", "1"), typed_put},
          {"deletes off", with(as(get(manifests + "v2"), "DELETE"), "REGISTRY_DELETE_ENABLED", "0"), get(manifests + "v2")},
          {"access refused", with(get(manifests + "v1"), "REGISTRY_ACCESS_FILE", nobody), get(manifests + "v1")}}},
        {"v2_tags",
         {{"unknown repository", get("/v2/nothing/tags/list"), get("/v2/app/tags/list")},
          {"bad page size", get("/v2/app/tags/list", "n=abc"), get("/v2/app/tags/list", "n=1")},
          {"path past the list", get("/v2/app/tags/list/more"), get("/v2/app/tags/list", "n=1&last=v1")},
          {"bad method", as(get("/v2/app/tags/list"), "DELETE"), get("/v2/team/tool/tags/list")},
          {"access refused", with(get("/v2/app/tags/list"), "REGISTRY_ACCESS_FILE", nobody), get("/v2/app/tags/list")}}},
        {"v2_catalog",
         {{"bad page size", get("/v2/_catalog", "n=-1"), get("/v2/_catalog")},
          {"bad method", as(get("/v2/_catalog"), "PUT", "x"), get("/v2/_catalog", "n=1")},
          {"access refused", with(get("/v2/_catalog"), "REGISTRY_ACCESS_FILE", nobody), get("/v2/_catalog", "n=1&last=app")}}},
        {"v2_referrers",
         {{"malformed digest", get("/v2/app/referrers/sha256:1"), get("/v2/app/referrers/" + digest)},
          {"bad name", get("/v2/A/referrers/" + digest), get("/v2/app/referrers/" + digest, "artifactType=application/x.sig")},
          {"bad method", as(get("/v2/app/referrers/" + digest), "PUT", "x"), get("/v2/app/referrers/" + unknown)},
          {"access refused", with(get("/v2/app/referrers/" + digest), "REGISTRY_ACCESS_FILE", nobody), get("/v2/app/referrers/" + digest)}}},
        {"registry_stats",
         {{"bad method", as(get(""), "POST", "x"), get("")},
          {"access refused", with(get(""), "REGISTRY_ACCESS_FILE", nobody), as(get(""), "HEAD")},
          {"unusable rules", with(get(""), "REGISTRY_ACCESS_FILE", broken_rules), get("")}}},
    };
    for (const Endpoint &endpoint : endpoints) {
        SCOPED_TRACE(endpoint.program);
        check(endpoint);
    }
}

// One upload driven through a FastCGI process and a twin through CGI runs, step by step: every
// chunk placement, refusal and the closing PUT answer alike (each upload's identifier aside),
// with the refusals in between leaving the FastCGI process's upload as the CGI one's.
TEST_F(FastCgiEquivalence, AnUploadStepByStepAsUnderCgi) {
    struct Step {
        const char *method;
        const char *content_range;  // "" for none
        std::string body;
        std::string query;
    };
    const std::string all = "abcdefghijklmno";
    const std::vector<Step> steps = {
        {"PATCH", "", "abcde", ""},
        {"PATCH", "0-4", "fghij", ""},
        {"PATCH", "6-10", "fghij", ""},
        {"PATCH", "5-7", "fghij", ""},
        {"PATCH", "5-9x", "fghij", ""},
        {"PATCH", "5-9", "fghij", ""},
        {"GET", "", "", ""},
        {"PATCH", "bytes 10-11/*", "kl", ""},
        {"PUT", "", " more", "digest=sha256:12"},
        {"PUT", "", "", ""},
        {"PATCH", "bytes=12-12", "m", ""},
        {"GET", "", "", ""},
        {"PUT", "bytes 13-14/15", "no", "digest=" + regcgi::digest_of(all)},
        {"GET", "", "", ""},
        {"DELETE", "", "", ""},
    };
    Process process(path_of("v2_uploads"), process_env());
    const std::string start = fcgi(process, fcgitest::to_request(as(get("/v2/app/blobs/uploads/"), "POST")), "start");
    const std::string twin = cgi("v2_uploads", fcgitest::to_request(as(get("/v2/app/blobs/uploads/"), "POST")));
    const std::string id = fcgitest::header_of(start, "Docker-Upload-UUID");
    const std::string twin_id = fcgitest::header_of(twin, "Docker-Upload-UUID");
    ASSERT_FALSE(id.empty()) << start;
    ASSERT_FALSE(twin_id.empty()) << twin;
    for (const Step &step : steps) {
        const std::string label = std::string(step.method) + " " + step.content_range + " " + step.query;
        Call c = as(get("/v2/app/blobs/uploads/" + id, step.query), step.method, step.body);
        if (*step.content_range) c.params.emplace_back("HTTP_CONTENT_RANGE", step.content_range);
        Call t = c;
        t.path = "/v2/app/blobs/uploads/" + twin_id;
        const std::string a = fcgi(process, fcgitest::to_request(c), label);
        const std::string b = cgi("v2_uploads", fcgitest::to_request(t));
        EXPECT_EQ(fcgitest::replaced(a, id, "<id>"), fcgitest::replaced(b, twin_id, "<id>")) << label;
    }
}

}  // namespace

#endif
