// Request environment readers, response head writers, the die functions and JSON escaping,
// each checked byte for byte through a child process.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cgi/bv_cgi.h"
#include "platform/bv_platform.h"
#include "support/test_support.h"

using bvtest::EnvChange;
using bvtest::probe_path;
using bvtest::run_program;

namespace {

bvtest::ProcessResult probe(const std::vector<std::string> &args, const std::vector<EnvChange> &env = {}) {
    return run_program(probe_path("cgi_probe"), args, env);
}

struct EnvCase {
    const char *label;
    std::vector<EnvChange> env;
    std::vector<std::string> args;
    std::string expected;
};

TEST(CgiEnv, ReadersApplyFallbacksAndPrefixTests) {
    const std::vector<EnvCase> cases = {
        {"method unset", {{"REQUEST_METHOD", std::nullopt}}, {"method"}, "GET"},
        {"method empty", {{"REQUEST_METHOD", ""}}, {"method"}, "GET"},
        {"method kept", {{"REQUEST_METHOD", "DELETE"}}, {"method"}, "DELETE"},
        {"unset is not post/head", {{"REQUEST_METHOD", std::nullopt}}, {"is_post", "is_head"}, "00"},
        {"empty is not post/head", {{"REQUEST_METHOD", ""}}, {"is_post", "is_head"}, "00"},
        {"POST", {{"REQUEST_METHOD", "POST"}}, {"is_post", "is_head"}, "10"},
        {"POKE counts as POST", {{"REQUEST_METHOD", "POKE"}}, {"is_post"}, "1"},
        {"lower post", {{"REQUEST_METHOD", "post"}}, {"is_post"}, "0"},
        {"PUT", {{"REQUEST_METHOD", "PUT"}}, {"is_post"}, "0"},
        {"PATCH", {{"REQUEST_METHOD", "PATCH"}}, {"is_post"}, "0"},
        {"HEADER counts as HEAD", {{"REQUEST_METHOD", "HEADER"}}, {"is_head"}, "1"},
        {"lower head", {{"REQUEST_METHOD", "head"}}, {"is_head"}, "0"},
        {"HEA is too short", {{"REQUEST_METHOD", "HEA"}}, {"is_head"}, "0"},
        {"path unset", {{"PATH_INFO", std::nullopt}}, {"path_info"}, "/"},
        {"path empty", {{"PATH_INFO", ""}}, {"path_info"}, "/"},
        {"path kept", {{"PATH_INFO", "/v2/x"}}, {"path_info"}, "/v2/x"},
        {"env unset null fallback", {{"BV_T", std::nullopt}}, {"env", "BV_T", "@null", "path_info"}, "/"},
        {"env empty uses fallback", {{"BV_T", ""}}, {"env", "BV_T", "fb"}, "fb"},
        {"env set", {{"BV_T", "v"}}, {"env", "BV_T", "fb"}, "v"},
    };
    for (const auto &c : cases) {
        auto r = probe(c.args, c.env);
        EXPECT_EQ(r.out, c.expected) << c.label;
        EXPECT_EQ(r.exit_code, 7) << c.label;
    }
}

struct HeadCase {
    const char *label;
    std::vector<std::string> args;
    std::string expected;
};

TEST(CgiHead, WritersProduceExactBytes) {
    const std::vector<HeadCase> cases = {
        {"status with reason", {"status", "200", "OK"}, "Status: 200 OK\r\n"},
        {"status empty reason", {"status", "404", ""}, "Status: 404\r\n"},
        {"status null reason", {"status", "404", "@null"}, "Status: 404\r\n"},
        {"negative code", {"status", "-1", "@null"}, "Status: -1\r\n"},
        {"html", {"html"}, "Content-Type: text/html; charset=utf-8\r\n"},
        {"json", {"json"}, "Content-Type: application/json; charset=utf-8\r\n"},
        {"text", {"text"}, "Content-Type: text/plain; charset=utf-8\r\n"},
        {"ct", {"ct", "image/png"}, "Content-Type: image/png\r\n"},
        {"extra", {"extra", "X-A: b"}, "X-A: b\r\n"},
        // A null header writes nothing, so it cannot end the head before the real headers.
        {"null ct and extra", {"ct", "@null", "extra", "@null", "text"},
         "Content-Type: text/plain; charset=utf-8\r\n"},
        // Alone too: every write switches standard output to binary mode first, so no runtime's
        // text mode turns the line feed into CR LF.
        {"end", {"end"}, "\r\n"},
        // A CR or LF in any header text writes no line at all, so the text cannot add
        // headers of its own or end the head; the writes around it are unaffected.
        {"reason with CR", {"status", "200", "O\rK"}, ""},
        {"reason with LF", {"status", "302", "Found\nLocation: /evil"}, ""},
        {"ct with CR LF", {"ct", "text/plain\r\nX-Evil: 1"}, ""},
        {"ct with LF", {"ct", "a\n"}, ""},
        {"extra with CR", {"extra", "X-A: b\r"}, ""},
        {"extra with LF then a good line", {"extra", "X-A: b\nX-B: c", "extra", "X-C: d"}, "X-C: d\r\n"},
        {"refused reason, head goes on", {"status", "404", "\r\n", "text"},
         "Content-Type: text/plain; charset=utf-8\r\n"},
        {"tab is no line break", {"extra", "X-A: b\tc"}, "X-A: b\tc\r\n"},
        {"whole head",
         {"status", "201", "Created", "extra", "Location: /x", "json", "end"},
         "Status: 201 Created\r\nLocation: /x\r\nContent-Type: application/json; charset=utf-8\r\n\r\n"},
    };
    for (const auto &c : cases) {
        auto r = probe(c.args);
        EXPECT_EQ(r.out, c.expected) << c.label;
    }
    EXPECT_EQ(std::string("Content-Type: text/html; charset=utf-8\r\n").size(), 40u);
    EXPECT_EQ(std::string("Content-Type: application/json; charset=utf-8\r\n").size(), 47u);
    EXPECT_EQ(std::string("Content-Type: text/plain; charset=utf-8\r\n").size(), 41u);
}

TEST(CgiDie, WholeResponsesEndTheProcessWithStatusZero) {
    const std::string json_head = "Content-Type: application/json; charset=utf-8\r\n\r\n";
    const std::string text_head = "Content-Type: text/plain; charset=utf-8\r\n\r\n";
    const std::vector<HeadCase> cases = {
        {"json quote", {"die_json", "500", "a\"b"},
         "Status: 500\r\n" + json_head + "{\"errors\":[{\"code\":\"ERROR\",\"message\":\"a\\\"b\"}]}\n"},
        {"json null", {"die_json", "500", "@null"},
         "Status: 500\r\n" + json_head + "{\"errors\":[{\"code\":\"ERROR\",\"message\":\"error\"}]}\n"},
        {"json empty", {"die_json", "400", ""},
         "Status: 400\r\n" + json_head + "{\"errors\":[{\"code\":\"ERROR\",\"message\":\"\"}]}\n"},
        {"text", {"die_text", "403", "no\tway"}, "Status: 403\r\n" + text_head + "no\tway\n"},
        {"text null", {"die_text", "404", "@null"}, "Status: 404\r\n" + text_head + "\n"},
        // Nothing after a die function runs: the trailing header must not appear.
        {"stops", {"die_text", "500", "x", "json"}, "Status: 500\r\n" + text_head + "x\n"},
    };
    for (const auto &c : cases) {
        auto r = probe(c.args);
        EXPECT_EQ(r.out, c.expected) << c.label;
        EXPECT_EQ(r.exit_code, 0) << c.label;
    }
}

TEST(JsonEscape, EscapeTable) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"22", "\\\""}, {"5c", "\\\\"}, {"08", "\\b"}, {"09", "\\t"}, {"0a", "\\n"},
        {"0c", "\\f"},  {"0d", "\\r"},  {"01", "\\u0001"}, {"1f", "\\u001f"}, {"0b", "\\u000b"},
        {"1b", "\\u001b"}, {"2f", "/"}, {"7f", "\x7f"}, {"c3a9", "\xc3\xa9"}, {"ff", "\xff"},
        {"20", " "}, {"", ""}, {"61225c62", "a\\\"\\\\b"},
    };
    for (const auto &[hex, expected] : cases) {
        auto r = probe({"escape", hex});
        EXPECT_EQ(r.out, expected) << hex;
    }
    EXPECT_EQ(probe({"escape", "@null"}).out, "");
}

// Callers announce Content-Length from json_escape_len before writing with json_escape_f, so
// the two must agree on every byte value and on a mix of them.
TEST(JsonEscape, LengthMatchesWhatIsWritten) {
    auto written = [](const std::string &text) {
        std::FILE *f = std::tmpfile();
        if (!f) return std::string("<no tmpfile>");
        json_escape_f(f, text.c_str());
        std::string out(static_cast<size_t>(std::ftell(f)), '\0');
        std::rewind(f);
        const size_t got = std::fread(out.data(), 1, out.size(), f);
        out.resize(got);
        std::fclose(f);
        return out;
    };
    std::string all;
    for (int b = 1; b < 256; ++b) {
        const std::string one(1, static_cast<char>(b));
        all += one;
        EXPECT_EQ(json_escape_len(one.c_str()), written(one).size()) << "byte " << b;
    }
    EXPECT_EQ(json_escape_len(all.c_str()), written(all).size());
    EXPECT_EQ(json_escape_len(""), 0u);
    EXPECT_EQ(json_escape_len(nullptr), 0u);
}

}  // namespace
