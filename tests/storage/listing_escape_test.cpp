// The listings' building blocks: the bounded JSON escaper (its table against the CGI module's
// stream escaper, and its cuts at small capacities), the bytewise sort, and the document
// writer's refusal of a document that would not fit whole.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cgi/bv_cgi.h"
#include "storage/storage_internal.h"

namespace {

using reg_internal::json_escape_append;

constexpr char kGuard = 'Z';

struct Escaped {
    size_t result;
    std::string text;   // up to the NUL, or everything written when no NUL fits
    bool nul;           // a NUL was written at `result`
    bool overrun;       // a byte at or past `cap` changed
};

Escaped escape(const char *src, size_t cap) {
    std::vector<char> buf(cap + 16, kGuard);
    Escaped e{};
    e.result = json_escape_append(buf.data(), cap, src);
    e.nul = e.result < cap && buf[e.result] == '\0';
    e.text.assign(buf.data(), e.result <= cap ? e.result : cap);
    for (size_t i = cap; i < buf.size(); ++i) e.overrun |= buf[i] != kGuard;
    return e;
}

TEST(ListingEscape, SameTableAsTheStreamEscaper) {
    for (int b = 1; b < 256; ++b) {
        const char src[3] = {static_cast<char>(b), 'x', '\0'};
        std::FILE *f = std::tmpfile();
        ASSERT_NE(f, nullptr);
        json_escape_f(f, src);
        std::rewind(f);
        char stream[32] = {};
        const size_t got = std::fread(stream, 1, sizeof stream, f);
        std::fclose(f);
        const Escaped e = escape(src, 64);
        SCOPED_TRACE(b);
        EXPECT_EQ(e.text, std::string(stream, got));
        EXPECT_TRUE(e.nul);
    }
    EXPECT_EQ(escape("\x1b/\x7f\xff", 64).text, "\\u001b/\x7f\xff");  // solidus, DEL, high bytes
}

TEST(ListingEscape, SmallCapacities) {
    struct Case {
        const char *src;
        size_t cap;
        size_t result;
        const char *text;
        bool nul;
    } cases[] = {
        {"ab", 0, 0, "", false},
        {"ab", 1, 0, "", true},
        {"ab", 2, 0, "", true},
        {"ab", 3, 0, "", true},
        {"ab", 4, 0, "", true},
        {"ab", 5, 0, "", true},
        {"ab", 6, 0, "", true},
        {"ab", 7, 0, "", true},
        {"ab", 8, 0, "", true},
        {"ab", 9, 1, "a", true},     // b would leave only eight bytes of room
        {"ab", 10, 2, "ab", true},
        {"\x01", 8, 0, "", true},
        {"\x01", 9, 6, "\\u0001", true},
        {"a\x01", 9, 1, "a", true},  // the cut falls before the whole six-byte form
        {"a\x01", 10, 7, "a\\u0001", true},
        {"\"\\", 11, 4, "\\\"\\\\", true},
        {"\"\\", 10, 2, "\\\"", true},
        {nullptr, 0, 0, "", false},
        {nullptr, 1, 0, "", true},
        {"", 9, 0, "", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.src ? c.src : "(null)") + " cap " + std::to_string(c.cap));
        const Escaped e = escape(c.src, c.cap);
        EXPECT_EQ(e.result, c.result);
        EXPECT_EQ(e.text, c.text);
        EXPECT_EQ(e.nul, c.nul);
        EXPECT_FALSE(e.overrun);
    }
}

TEST(ListingEscape, NeverPassesTheCapacity) {
    const std::string worst(40, '\x01');
    for (size_t cap = 0; cap < 300; ++cap) {
        const Escaped e = escape(worst.c_str(), cap);
        SCOPED_TRACE(cap);
        EXPECT_FALSE(e.overrun);
        EXPECT_EQ(e.result % 6, 0u);  // only whole forms
        EXPECT_EQ(e.nul, cap > 0);
    }
}

TEST(ListingSort, BytewiseAndStable) {
    struct Case {
        std::vector<std::string> in;
        std::vector<std::string> out;
    } cases[] = {
        {{"latest", "Latest", "1.9", "1.10"}, {"1.10", "1.9", "Latest", "latest"}},
        {{"b", "a"}, {"a", "b"}},
        {{"ab", "a", ""}, {"", "a", "ab"}},
        {{"\xc3\xa9", "\x7f", "z", "\x01"}, {"\x01", "z", "\x7f", "\xc3\xa9"}},  // unsigned bytes
        {{"d", "c", "b", "a", "c"}, {"a", "b", "c", "c", "d"}},
        {{"x"}, {"x"}},
    };
    for (const Case &c : cases) {
        std::vector<char *> names;
        for (const std::string &s : c.in) names.push_back(const_cast<char *>(s.c_str()));
        reg_internal::sort_str(names.data(), static_cast<int>(names.size()));
        std::vector<std::string> got(names.begin(), names.end());
        EXPECT_EQ(got, c.out);
    }
    // Equal names keep their order.
    std::string first = "same", second = "same", other = "a";
    char *names[] = {first.data(), other.data(), second.data()};
    reg_internal::sort_str(names, 3);
    EXPECT_EQ(names[1], first.data());
    EXPECT_EQ(names[2], second.data());
    EXPECT_LT(reg_internal::str_cmp("\x7f", "\x80"), 0);
}

TEST(ListingDocument, TooLargeIsRefusedWhole) {
    std::string a = "a", tab = "t\tb";
    char *names[] = {a.data(), tab.data()};
    struct Case {
        const char *repo;
        int count;
        std::string doc;
    } cases[] = {
        {nullptr, 0, R"({"repositories":[]})"},
        {nullptr, 2, R"({"repositories":["a","t\tb"]})"},
        {"r\\s", 1, R"({"name":"r\\s","tags":["a"]})"},
        {"r", 2, R"({"name":"r","tags":["a","t\tb"]})"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.doc);
        // The escaper's margin: the last name byte needs nine bytes of room from its start.
        const size_t need = c.doc.size() + 5;
        for (size_t cap : {need + 100, need, need - 1, c.doc.size(), size_t{1}, size_t{0}}) {
            std::vector<char> buf(need + 100, kGuard);
            const int rc = reg_internal::list_document(buf.data(), cap, c.repo, names, c.count);
            if (cap >= need) {
                EXPECT_EQ(rc, 0);
                EXPECT_EQ(std::string(buf.data()), c.doc);
            } else {
                EXPECT_EQ(rc, -1);
                EXPECT_EQ(buf[0], kGuard);  // nothing written
            }
        }
    }
}

}  // namespace
