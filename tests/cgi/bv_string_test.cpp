// Bounded copy, print and path join: results byte for byte, and no write past the capacity
// (each buffer carries a guard region that must come back untouched).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cgi/bv_cgi.h"
#include "platform/bv_platform.h"

namespace {

constexpr char kGuard = '#';

// A buffer of `cap` bytes followed by guard bytes; all of it starts filled with the guard.
struct Guarded {
    explicit Guarded(size_t cap) : cap(cap), bytes(cap + 16, kGuard) {}
    char *data() { return bytes.data(); }
    bool guard_intact() const { return bytes.find_first_not_of(kGuard, cap) == std::string::npos; }
    size_t cap;
    std::string bytes;
};

TEST(BvStrlcpy, CutsAndTerminates) {
    struct Case {
        const char *src;
        size_t cap;
        const char *expected;
    };
    for (const Case &c : std::vector<Case>{{"abcdef", 4, "abc"}, {"abcdef", 1, ""}, {"abc", 4, "abc"},
                                           {"abc", 64, "abc"}, {"", 8, ""}, {nullptr, 8, ""}}) {
        Guarded buf(c.cap);
        bv_strlcpy(buf.data(), c.src, c.cap);
        EXPECT_STREQ(buf.data(), c.expected) << (c.src ? c.src : "(null)") << " cap " << c.cap;
        EXPECT_TRUE(buf.guard_intact());
    }
    Guarded zero(0);
    bv_strlcpy(zero.data(), "abc", 0);
    EXPECT_TRUE(zero.guard_intact());
    bv_strlcpy(nullptr, "abc", 8);  // must simply return
}

TEST(BvSnprintf, ReturnsStoredLength) {
    Guarded cut(8);
    EXPECT_EQ(bv_snprintf(cut.data(), 8, "%s-%d", "abcdef", 1234), 7);  // 11 bytes of output
    EXPECT_STREQ(cut.data(), "abcdef-");
    EXPECT_TRUE(cut.guard_intact());

    Guarded fits(8);
    EXPECT_EQ(bv_snprintf(fits.data(), 8, "%d%s", 12, "abc"), 5);
    EXPECT_STREQ(fits.data(), "12abc");

    Guarded exact(8);
    EXPECT_EQ(bv_snprintf(exact.data(), 8, "%s", "1234567"), 7);
    EXPECT_STREQ(exact.data(), "1234567");

    Guarded one(1);
    EXPECT_EQ(bv_snprintf(one.data(), 1, "%s", "abc"), 0);
    EXPECT_STREQ(one.data(), "");
    EXPECT_TRUE(one.guard_intact());

    Guarded zero(0);
    EXPECT_EQ(bv_snprintf(zero.data(), 0, "%s", "abc"), 0);
    EXPECT_TRUE(zero.guard_intact());
    EXPECT_EQ(bv_snprintf(nullptr, 8, "%s", "abc"), 0);
}

// In the expected results "|" stands for the separator that the join adds, which is the
// platform's own; separators already present in the pieces stay as they are.
TEST(BvPathJoin, JoinsWithOneSeparator) {
    struct Case {
        const char *first;
        const char *second;
        size_t cap;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"D:\\reg", "blobs", 64, "D:\\reg|blobs"},
        {"D:\\reg\\", "/blobs", 64, "D:\\reg\\blobs"},
        {"./data", "x/y", 64, "./data|x/y"},
        {"a/", "//b", 64, "a/b"},
        {"a", "\\b", 64, "a|b"},
        {"a", "/", 64, "a|"},
        {"a", "\\/\\", 64, "a|"},
        {"", "/x", 64, "/x"},
        {nullptr, "/x", 64, "/x"},
        {"a", nullptr, 64, "a"},
        {"a/", "", 64, "a/"},
        {nullptr, nullptr, 64, ""},
        {"", "", 64, ""},
        {"/", "b", 64, "/b"},
        {"a//", "b//", 64, "a//b//"},
        {"abc", "d", 4, "abc"},
        {"abc", "d", 5, "abc|"},
        {"abc", "d", 6, "abc|d"},
        {"abcdef", "g", 4, "abc"},
        {"ab/cd", "e", 4, "ab/"},
        {"abc", "def", 6, "abc|d"},
        {"abc", "d", 1, ""},
        {"", "xyz", 3, "xy"},
    };
    for (const auto &c : cases) {
        std::string expected = c.expected;
        for (char &ch : expected)
            if (ch == '|') ch = bv_platform::path_sep;
        Guarded buf(c.cap);
        bv_path_join(buf.data(), c.cap, c.first, c.second);
        EXPECT_EQ(std::string(buf.data()), expected)
            << (c.first ? c.first : "(null)") << " + " << (c.second ? c.second : "(null)") << " cap " << c.cap;
        EXPECT_TRUE(buf.guard_intact());
    }
    Guarded zero(0);
    bv_path_join(zero.data(), 0, "a", "b");
    EXPECT_TRUE(zero.guard_intact());
    bv_path_join(nullptr, 8, "a", "b");
}

}  // namespace
