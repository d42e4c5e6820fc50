// The endpoint layer's request body in a child process: CONTENT_LENGTH as a plain decimal,
// reads bounded by it (what follows on standard input is not the body), short input, the body
// file taking precedence, and binary bytes passing unchanged.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"

using bvtest::EnvChange;

namespace {

struct BodyCase {
    const char *label;
    std::optional<std::string> body_file;
    std::optional<std::string> content_length;
    std::string stdin_data;
    std::string chunk;
    std::string expected;
};

void run_cases(const std::vector<BodyCase> &cases) {
    for (const auto &c : cases) {
        const std::vector<EnvChange> env = {{"POST_BODY_FILE", c.body_file},
                                            {"CONTENT_LENGTH", c.content_length}};
        auto r = bvtest::run_program(bvtest::probe_path("oci_endpoint_probe"), {"body", c.chunk}, env,
                                     c.stdin_data);
        EXPECT_EQ(r.exit_code, 0) << c.label;
        EXPECT_EQ(r.out, c.expected) << c.label;
    }
}

TEST(OciContentLength, PlainDecimalOnly) {
    struct Case { std::optional<std::string> value; std::string expected; };
    const std::vector<Case> cases = {
        {std::nullopt, "-1"}, {"", "-1"}, {"0", "0"}, {"007", "7"}, {"12", "12"},
        {"12abc", "-1"}, {" 12", "-1"}, {"12 ", "-1"}, {"+12", "-1"}, {"-1", "-1"}, {"1e3", "-1"},
        {"0x10", "-1"}, {"9223372036854775807", "9223372036854775807"},
        {"9223372036854775808", "-1"}, {"18446744073709551616", "-1"},
        {"99999999999999999999999", "-1"},
    };
    for (const auto &c : cases) {
        auto r = bvtest::run_program(bvtest::probe_path("oci_endpoint_probe"), {"clen"},
                                     {{"CONTENT_LENGTH", c.value}});
        EXPECT_EQ(r.out, c.expected) << (c.value ? *c.value : "(unset)");
    }
}

TEST(OciBody, StandardInputUpToTheAnnouncedLength) {
    const std::string bin("a\r\nb\x1a\0c\xff", 8);
    run_cases({
        {"exact", std::nullopt, "5", "hello world", "2", "open=0 len=5 file=0;hello;end=0;rest=6;"},
        {"one read", std::nullopt, "5", "hello world", "4096", "open=0 len=5 file=0;hello;end=0;rest=6;"},
        {"short input ends the body", std::nullopt, "100", std::string(40, 'k'), "7",
         "open=0 len=100 file=0;" + std::string(40, 'k') + ";end=0;rest=0;"},
        {"largest length", std::nullopt, "9223372036854775807", "abc", "2",
         "open=0 len=9223372036854775807 file=0;abc;end=0;rest=0;"},
        {"binary unchanged", std::nullopt, "8", bin + "tail", "3",
         "open=0 len=8 file=0;" + bin + ";end=0;rest=4;"},
        {"no length: empty body, input untouched", std::nullopt, std::nullopt, "hello", "4",
         "open=0 len=0? file=0;;end=0;rest=5;"},
        {"empty length", std::nullopt, "", "hello", "4", "open=0 len=0? file=0;;end=0;rest=5;"},
        {"zero length", std::nullopt, "0", "hello", "4", "open=0 len=0 file=0;;end=0;rest=5;"},
    });
}

TEST(OciBody, MalformedLengthIsRefused) {
    std::vector<BodyCase> cases;
    for (const char *length : {"12abc", " 12", "+12", "-3", "abc", "9223372036854775808"})
        cases.push_back({length, std::nullopt, std::string(length), "hello", "4",
                         "open=-1 len=0? file=0;;end=0;rest=5;"});
    run_cases(cases);
}

TEST(OciBody, BodyFileComesFirst) {
    bvtest::TempDir tmp;
    const auto ten = (tmp.path() / "ten").string();
    const auto empty = (tmp.path() / "empty").string();
    const std::string bin("\0\r\n\x1a\xff z\n", 8);
    const auto binfile = (tmp.path() / "bin").string();
    bvtest::write_all(ten, "0123456789");
    bvtest::write_all(empty, "");
    bvtest::write_all(binfile, bin);
    run_cases({
        {"file, length and input ignored", ten, "3", "abc", "4",
         "open=0 len=10 file=1;0123456789;end=0;rest=3;"},
        {"file with a malformed length", ten, "junk", "", "3", "open=0 len=10 file=1;0123456789;end=0;rest=0;"},
        {"binary file", binfile, std::nullopt, "", "1", "open=0 len=8 file=1;" + bin + ";end=0;rest=0;"},
        {"empty file", empty, "5", "hello", "4", "open=0 len=0 file=1;;end=0;rest=5;"},
        {"missing file falls back", (tmp.path() / "missing").string(), "5", "hello!", "4",
         "open=0 len=5 file=0;hello;end=0;rest=1;"},
        {"empty name falls back", std::string(), "5", "hello!", "4", "open=0 len=5 file=0;hello;end=0;rest=1;"},
    });
}

}  // namespace
