// Request body reading through a child process: the body file, the fallback to standard
// input as long as CONTENT_LENGTH says, length parsing, short input and oversize bodies.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"

using bvtest::EnvChange;

namespace {

struct BodyCase {
    const char *label;
    std::optional<std::string> body_file;       // POST_BODY_FILE; nullopt: unset
    std::optional<std::string> content_length;  // CONTENT_LENGTH; nullopt: unset
    std::string stdin_data;
    std::vector<std::string> args;
    std::string expected;
};

void run_cases(const std::vector<BodyCase> &cases) {
    for (const auto &c : cases) {
        const std::vector<EnvChange> env = {{"POST_BODY_FILE", c.body_file},
                                            {"CONTENT_LENGTH", c.content_length}};
        auto r = bvtest::run_program(bvtest::probe_path("cgi_input_probe"), c.args, env, c.stdin_data);
        EXPECT_EQ(r.exit_code, 0) << c.label;
        EXPECT_EQ(r.out, c.expected) << c.label;
    }
}

const std::string kBinary("\0\r\n\x1a\xff z\n", 8);

TEST(CgiBody, BodyFileComesFirst) {
    bvtest::TempDir tmp;
    const auto ten = (tmp.path() / "ten").string();
    const auto bin = (tmp.path() / "bin").string();
    const auto empty = (tmp.path() / "empty").string();
    bvtest::write_all(ten, "0123456789");
    bvtest::write_all(bin, kBinary);
    bvtest::write_all(empty, "");
    const std::vector<std::string> post_rest = {"post", "rest"};
    run_cases({
        {"ten bytes, stdin untouched", ten, "5", "abcdefgh", post_rest, "10:0123456789;rest=8;"},
        {"binary bytes unchanged", bin, std::nullopt, "", {"post"}, "8:" + kBinary + ";"},
        {"empty file is an empty block", empty, "5", "hello", post_rest, "0:;rest=5;"},
        {"read again on a second call", ten, std::nullopt, "", {"post", "post"},
         "10:0123456789;10:0123456789;"},
        {"length out-parameter optional", ten, std::nullopt, "", {"nolen"}, "block;"},
    });
}

TEST(CgiBody, StandardInputAsLongAsContentLength) {
    bvtest::TempDir tmp;
    const auto missing = (tmp.path() / "missing").string();
    const std::vector<std::string> post_rest = {"post", "rest"};
    const std::string twenty = "abcdefghijklmnopqrst";
    const std::string bin_in("a\r\nb\x1a\0c\xff", 8);
    run_cases({
        {"missing body file falls back", missing, "5", "hello world", post_rest, "5:hello;rest=6;"},
        {"empty body file name", std::string(), "5", "hello world", post_rest, "5:hello;rest=6;"},
        {"no body file", std::nullopt, "5", "hello world", post_rest, "5:hello;rest=6;"},
        {"digits then junk", std::nullopt, "12abc", twenty, post_rest, "12:abcdefghijkl;rest=8;"},
        {"leading space", std::nullopt, " 12", twenty, post_rest, "12:abcdefghijkl;rest=8;"},
        {"plus sign", std::nullopt, "+12", twenty, post_rest, "12:abcdefghijkl;rest=8;"},
        {"short input accepted", std::nullopt, "100", std::string(40, 'k'), {"post"},
         "40:" + std::string(40, 'k') + ";"},
        {"binary stdin unchanged", std::nullopt, "8", bin_in, {"post"}, "8:" + bin_in + ";"},
        {"second call reads on", std::nullopt, "5", "helloworld!", {"post", "post"}, "5:hello;5:world;"},
        {"second call at end", std::nullopt, "5", "hello", {"post", "post"}, "5:hello;0:;"},
    });
}

TEST(CgiBody, NoBodyWithoutAUsableLength) {
    std::vector<BodyCase> cases;
    for (const char *length : {"0", "-3", "abc", "", "2147483648", "99999999999999999999",
                               "-99999999999999999999"})
        cases.push_back({length, std::nullopt, std::string(length), "hello", {"post", "rest"},
                         "null:0;rest=5;"});
    cases.push_back({"unset", std::nullopt, std::nullopt, "hello", {"post", "rest"}, "null:0;rest=5;"});
    cases.push_back({"unset, no out-parameter", std::nullopt, std::nullopt, "hello", {"nolen"}, "null;"});
    run_cases(cases);
}

// A body file too large for a 32-bit length is refused outright, not read from stdin.
TEST(CgiBody, BodyFileOfTwoGiBIsRefused) {
    bvtest::TempDir tmp;
    const auto big = tmp.path() / "big";
    bvtest::write_all(big, "");
    std::error_code ec;
    std::filesystem::resize_file(big, 2147483648ull, ec);  // sparse where the file system allows
    if (ec) GTEST_SKIP() << "cannot make a 2 GiB file: " << ec.message();
    run_cases({{"2 GiB", big.string(), "5", "hello", {"size", "rest"}, "null:0;rest=5;"}});
}

}  // namespace
