// A FastCGI process keeps nothing of the storage between requests: what it changes itself and
// what other processes change (a second application, a CGI run, the collector) is what its next
// answer shows. Settings in the process's own environment apply to every request.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/endpoints/fastcgi_fixture.h"

namespace {

using fcgitest::Call;
using fcgitest::Process;
using fcgitest::Request;

class FastCgiState : public fcgitest::FastCgiTest {
protected:
    static Call typed(Call c, const char *type) {
        c.params.emplace_back("CONTENT_TYPE", type);
        return c;
    }
};

// Each step changes the storage (through the process itself or behind its back) or reads it;
// every read is answered as a fresh CGI run answers it at that moment.
TEST_F(FastCgiState, EveryReadSeesTheStorageAsItIsNow) {
    const std::string first = image("app", "first");
    const std::string second = image("app", "second");
    const std::string first_digest = regcgi::digest_of(first);
    const std::string layer = "a layer linked, unlinked and linked again";
    const std::string layer_digest = blob("app", layer);

    struct Step {
        const char *label;
        const char *program;
        std::function<void()> behind;  // a change made by another process first
        Call call;
        bool compare;                   // a read: compared with a CGI run
        const char *status;
    };
    const std::vector<Step> steps = {
        {"tag the first", "v2_manifests", [] {}, typed(call("PUT", "/v2/app/manifests/v1", {}, first), regcgi::kOciManifest), false, "201"},
        {"read the tag", "v2_manifests", [] {}, call("GET", "/v2/app/manifests/v1"), true, "200"},
        {"retagged elsewhere", "v2_manifests", [&] { store("app", "v1", second); }, call("GET", "/v2/app/manifests/v1"), true, "200"},
        {"tag deleted elsewhere", "v2_manifests", [&] { reg_manifest_delete("app", "v1"); }, call("HEAD", "/v2/app/manifests/v1"), true, "404"},
        {"the first by digest", "v2_manifests", [] {}, call("GET", "/v2/app/manifests/" + first_digest), true, "200"},
        {"delete by digest", "v2_manifests", [] {}, call("DELETE", "/v2/app/manifests/" + first_digest), false, "202"},
        {"gone by digest", "v2_manifests", [] {}, call("GET", "/v2/app/manifests/" + first_digest), true, "404"},
        {"tags after the deletes", "v2_tags", [&] { store("app", "v7", second); }, call("GET", "/v2/app/tags/list"), true, "200"},
        {"a new repository elsewhere", "v2_catalog", [&] { store("team/new", "latest", image("team/new", "n")); }, call("GET", "/v2/_catalog"), true, "200"},
        {"repository tags", "v2_tags", [] {}, call("GET", "/v2/team/new/tags/list"), true, "200"},
        {"blob linked", "v2_blobs", [] {}, call("HEAD", "/v2/app/blobs/" + layer_digest), true, "200"},
        {"blob unlinked", "v2_blobs", [] {}, call("DELETE", "/v2/app/blobs/" + layer_digest), false, "202"},
        {"blob gone", "v2_blobs", [] {}, call("GET", "/v2/app/blobs/" + layer_digest), true, "404"},
        {"blob linked elsewhere", "v2_blobs", [&] { reg_blob_link("app", layer_digest.c_str()); }, call("GET", "/v2/app/blobs/" + layer_digest), true, "200"},
        {"statistics", "registry_stats", [] {}, call("GET", ""), true, "200"},
    };
    std::vector<std::unique_ptr<Process>> processes;
    std::map<std::string, Process *> by_program;
    for (const Step &step : steps) {
        SCOPED_TRACE(step.label);
        if (!by_program.count(step.program)) {
            processes.push_back(std::make_unique<Process>(path_of(step.program), process_env()));
            by_program[step.program] = processes.back().get();
        }
        step.behind();
        const Request request = fcgitest::to_request(step.call);
        const std::string answer = fcgi(*by_program[step.program], request, step.label);
        EXPECT_EQ(fcgitest::header_of(answer, "Status"), step.status) << answer;
        if (step.compare) {
            EXPECT_EQ(answer, cgi(step.program, request));
        }
    }
}

// Settings the web server gives the process itself (lighttpd's bin-environment) hold for every
// request; a request's own parameter of the same name wins for that request alone.
TEST_F(FastCgiState, ProcessEnvironmentAppliesToEveryRequest) {
    const std::string manifest = image("app", "env");
    store("app", "v1", manifest);
    const std::string layer = blob("app", "a layer sent by the web server");
    const Call put = typed(call("PUT", "/v2/app/manifests/v2", {}, manifest), regcgi::kOciManifest);
    Call writable_put = put;
    writable_put.params.emplace_back("REGISTRY_READ_ONLY", "0");
    Call streamed = call("GET", "/v2/app/blobs/" + layer);
    streamed.params.emplace_back("REGISTRY_X_SENDFILE", "0");

    struct Case {
        const char *label;
        const char *program;
        std::vector<bvtest::EnvChange> env;
        std::vector<std::pair<Call, const char *>> calls;  // each request and its status
    };
    const std::vector<Case> cases = {
        {"read-only process", "v2_manifests", {{"REGISTRY_READ_ONLY", "1"}},
         {{put, "405"}, {call("GET", "/v2/app/manifests/v1"), "200"}, {writable_put, "201"}, {put, "405"}}},
        {"deletes disabled", "v2_manifests", {{"REGISTRY_DELETE_ENABLED", "0"}},
         {{call("DELETE", "/v2/app/manifests/v9"), "405"}, {call("DELETE", "/v2/app/manifests/v9"), "405"}}},
        {"sent by the server", "v2_blobs", {{"REGISTRY_X_SENDFILE", "1"}},
         {{call("GET", "/v2/app/blobs/" + layer), "200"}, {streamed, "200"}, {call("GET", "/v2/app/blobs/" + layer), "200"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        Process process(path_of(c.program), process_env(c.env));
        for (const auto &[step, status] : c.calls) {
            const Request request = fcgitest::to_request(step);
            const std::string answer = fcgi(process, request, c.label);
            EXPECT_EQ(fcgitest::header_of(answer, "Status"), status) << answer;
            EXPECT_EQ(answer, cgi(c.program, request, c.env));
        }
    }
}

}  // namespace

#endif
