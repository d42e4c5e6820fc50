// How the CGI module's calls end a request, through a probe served by cgi_serve: the error
// responses end the request and not the process under FastCGI, and answer byte for byte as a
// CGI run does; a head left unfinished, query values and bodies stay with their request; a
// handler that throws gets 500 and the process is replaced.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/endpoints/fastcgi_client.h"

namespace {

using fcgitest::Process;
using fcgitest::Request;

Request probe_request(const std::string &op, fcgitest::Params extra = {}, const std::string &body = {}) {
    Request r;
    r.params = {{"REQUEST_METHOD", body.empty() ? "GET" : "POST"}, {"PATH_INFO", "/probe"}, {"PROBE_OP", op}};
    if (!body.empty()) r.params.emplace_back("CONTENT_LENGTH", std::to_string(body.size()));
    r.params.insert(r.params.end(), extra.begin(), extra.end());
    r.body = body;
    return r;
}

std::string probe() { return bvtest::probe_path("fastcgi_probe"); }

// Every way of ending a request, each followed by a plain one, in one process; each answer as a
// CGI run of the same request gives it, which exits with status 0.
TEST(FastCgiEnding, ErrorResponsesEndTheRequestNotTheProcess) {
    struct Case {
        const char *label;
        Request request;
    };
    const std::vector<Case> cases = {
        {"die_text", probe_request("die_text")},
        {"die_json", probe_request("die_json")},
        {"oci_error", probe_request("oci_error")},
        {"head_then_die", probe_request("head_then_die")},
        {"unfinished_head", probe_request("unfinished_head")},
        {"query", probe_request("query", {{"QUERY_STRING", "x=1&y=two%20words"}})},
        {"query without a query string", probe_request("query")},
        {"query, empty", probe_request("query", {{"QUERY_STRING", ""}})},
        {"body", probe_request("body", {}, "the body of a request")},
        {"no body", probe_request("body")},
        {"body cut short", [] {
             Request r = probe_request("body", {}, "0123456789");
             r.ending = fcgitest::Ending::cut_short;
             r.sent = 4;
             return r;
         }()},
    };
    const Request plain = probe_request("ok");
    Process process(probe(), {});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        for (const Request *r : {&c.request, &plain}) {
            const fcgitest::Reply reply = process.send(*r);
            EXPECT_TRUE(reply.ended) << process.stderr_text();
            EXPECT_EQ(reply.app_status, 0u);
            const bvtest::ProcessResult cgi = fcgitest::run_cgi(probe(), {}, *r);
            EXPECT_EQ(cgi.exit_code, 0);
            EXPECT_EQ(reply.out, cgi.out);
            ASSERT_TRUE(process.running()) << process.stderr_text();
        }
    }
}

// The probe knows which way it was started.
TEST(FastCgiEnding, ModeIsKnownToTheHandler) {
    Process process(probe(), {});
    EXPECT_NE(process.send(probe_request("mode")).out.find("fastcgi=1\n"), std::string::npos);
    EXPECT_NE(fcgitest::run_cgi(probe(), {}, probe_request("mode")).out.find("fastcgi=0\n"), std::string::npos);
}

// A handler that throws gets a 500 (as under CGI) and the process ends with status 70 so the
// web server starts a fresh one; the requests before it were answered normally.
TEST(FastCgiEnding, AFailingHandlerEndsTheProcessAfterAnswering) {
    Process process(probe(), {});
    EXPECT_TRUE(process.send(probe_request("ok")).ended);
    const fcgitest::Reply failed = process.send(probe_request("throw"));
    const bvtest::ProcessResult cgi = fcgitest::run_cgi(probe(), {}, probe_request("throw"));
    EXPECT_EQ(cgi.exit_code, 70);
    EXPECT_TRUE(failed.ended);
    EXPECT_EQ(failed.out, cgi.out);
    EXPECT_EQ(failed.out.rfind("Status: 500", 0), 0u) << failed.out;
    EXPECT_EQ(process.wait_exit(10), std::optional<int>(70)) << process.stderr_text();
}

}  // namespace

#endif
