// Shared set-up of the FastCGI tests: a seeded storage root, requests described once and sent
// either to a FastCGI process or to a fresh CGI run of the same program, and the two answers
// compared byte for byte.
#pragma once

#ifndef _WIN32

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/endpoints/fastcgi_client.h"
#include "tests/endpoints/registry_cgi.h"

namespace fcgitest {

// AddressSanitizer's shadow memory and quarantine make resident sets mean little.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

// One request as a web server hands it on. QUERY_STRING goes out even when empty, as lighttpd
// sends it; CONTENT_LENGTH goes out for a body (or an override).
struct Call {
    std::string method = "GET";
    std::string path;
    std::string query;
    std::string body;
    std::vector<std::pair<std::string, std::optional<std::string>>> params;  // nullopt: not sent
    std::optional<std::string> content_length;  // "": not sent; nullopt: the body's size if any
    bool send_query = true;
};

inline Request to_request(const Call &call) {
    Request r;
    // What lighttpd always adds; neither mode may answer differently because of them.
    r.params = {{"GATEWAY_INTERFACE", "CGI/1.1"},
                {"SERVER_PROTOCOL", "HTTP/1.1"},
                {"SERVER_SOFTWARE", "lighttpd"},
                {"REMOTE_ADDR", "127.0.0.1"},
                {"REQUEST_METHOD", call.method},
                {"PATH_INFO", call.path},
                {"REQUEST_URI", call.path + (call.query.empty() ? "" : "?" + call.query)}};
    if (call.send_query) r.params.emplace_back("QUERY_STRING", call.query);
    if (call.content_length) {
        if (!call.content_length->empty()) r.params.emplace_back("CONTENT_LENGTH", *call.content_length);
    } else if (!call.body.empty()) {
        r.params.emplace_back("CONTENT_LENGTH", std::to_string(call.body.size()));
    }
    for (const auto &[name, value] : call.params)
        if (value) r.params.emplace_back(name, *value);
    r.body = call.body;
    return r;
}

// Every occurrence of `from` in `text` replaced with `to`: answers naming a per-request value
// (an upload identifier) compare once it is replaced on both sides.
inline std::string replaced(std::string text, const std::string &from, const std::string &to) {
    if (from.empty()) return text;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The value of header `name` (as written) in a raw CGI answer, "" when absent.
inline std::string header_of(const std::string &raw, const std::string &name) {
    const size_t end = raw.find("\r\n\r\n");
    const std::string key = "\r\n" + name + ": ";
    const std::string head = "\r\n" + raw.substr(0, end == std::string::npos ? raw.size() : end) + "\r\n";
    const size_t at = head.find(key);
    if (at == std::string::npos) return "";
    const size_t from = at + key.size();
    return head.substr(from, head.find("\r\n", from) - from);
}

class FastCgiTest : public regcgi::RegistryCgiTest {
protected:
    std::vector<bvtest::EnvChange> process_env(std::vector<bvtest::EnvChange> extra = {}) const {
        std::vector<bvtest::EnvChange> env = {{"REGISTRY_STORAGE_ROOT", root_.str()}};
        env.insert(env.end(), extra.begin(), extra.end());
        return env;
    }
    static std::string path_of(const std::string &program) { return bvtest::program_path(program); }
    static Call call(const std::string &method, const std::string &path, const std::string &query = {},
                     const std::string &body = {}) {
        Call c;
        c.method = method;
        c.path = path;
        c.query = query;
        c.body = body;
        return c;
    }

    // The answer of a fresh CGI run of `program`, with its exit status checked.
    std::string cgi(const std::string &program, const Request &request,
                    const std::vector<bvtest::EnvChange> &env = {}) const {
        std::vector<bvtest::EnvChange> all = process_env();
        all.insert(all.end(), env.begin(), env.end());
        const bvtest::ProcessResult r = run_cgi(path_of(program), all, request);
        EXPECT_EQ(r.exit_code, 0) << program << " as CGI";
        return r.out;
    }

    // The answer of `process`, which must end the request properly and go on running.
    static std::string fcgi(Process &process, const Request &request, const std::string &label) {
        const Reply reply = process.send(request);
        EXPECT_TRUE(reply.ended) << label << ": no end of request; stderr:\n" << process.stderr_text();
        EXPECT_EQ(reply.protocol_status, 0) << label;
        EXPECT_EQ(reply.app_status, 0u) << label;
        EXPECT_TRUE(process.running()) << label << ": the process ended; stderr:\n" << process.stderr_text();
        return reply.out;
    }

    // A file of access rules outside the storage root.
    std::string access_file(const std::string &rules) {
        const std::string path = (rules_dir_.path() / ("rules" + std::to_string(++rules_count_))).string();
        bvtest::write_all(path, rules);
        return path;
    }

    bvtest::TempDir rules_dir_;
    int rules_count_ = 0;
};

}  // namespace fcgitest

#endif
