// Query-string lookups in this process: decoding, key matching, the environment fallback,
// where each result lives, and the ring of eight result buffers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cgi/bv_cgi.h"

namespace {

// Sets (value) or removes (nullopt) a variable of this process.
void set_env(const std::string &name, const std::optional<std::string> &value) {
#ifdef _WIN32
    _putenv_s(name.c_str(), value ? value->c_str() : "");  // "" removes it there
#else
    if (value) setenv(name.c_str(), value->c_str(), 1);
    else unsetenv(name.c_str());
#endif
}

using EnvList = std::vector<std::pair<std::string, std::optional<std::string>>>;

// Applies variables for one case and puts the previous values back afterwards.
class ScopedEnv {
public:
    explicit ScopedEnv(const EnvList &vars) {
        for (const auto &[name, value] : vars) {
            const char *old = std::getenv(name.c_str());
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            set_env(name, value);
        }
    }
    ~ScopedEnv() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) set_env(it->first, it->second);
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    EnvList saved_;
};

enum class Where { buffer, constant, environment };

struct QueryCase {
    const char *label;
    std::optional<std::string> query;  // QUERY_STRING; nullopt: unset
    std::string name;
    std::optional<std::string> var;    // the variable named like the parameter
    std::string expected;              // exact bytes, the terminating NUL follows
    Where where;
};

const std::string kLong600(600, 'a');
const std::string kX510(510, 'x');

TEST(CgiQuery, LooksUpDecodesAndFallsBack) {
    const auto B = Where::buffer, C = Where::constant, E = Where::environment;
    const std::optional<std::string> none;
    const std::vector<QueryCase> cases = {
        {"first key", "n=10&last=abc", "n", none, "10", B},
        {"last key", "n=10&last=abc", "last", none, "abc", B},
        {"missing", "n=10&last=abc", "x", none, "", C},
        {"case-sensitive", "n=10&last=abc", "N", none, "", C},
        {"first match wins", "a=1&a=2", "a", none, "1", B},
        {"plus and escape", "q=a+b%20c", "q", none, "a b c", B},
        {"hex either case", "q=%4a%4A", "q", none, "JJ", B},
        {"high bytes", "q=%C3%A9%ff", "q", none, "\xC3\xA9\xFF", B},
        {"bad digits", "q=%zz", "q", none, "%zz", B},
        {"one digit at end", "q=%4", "q", none, "%4", B},
        {"percent at end", "q=100%", "q", none, "100%", B},
        {"percent then escape", "q=%%41", "q", none, "%A", B},
        {"escape after valid", "q=%41%", "q", none, "A%", B},
        {"raw high byte is no digit", "q=%\xE9\xE9", "q", none, "%\xE9\xE9", B},
        {"escaped NUL", "q=%00y", "q", none, std::string("\0y", 2), B},
        {"escape stops at segment", "q=%4&r=1", "q", none, "%4", B},
        {"later = kept", "q=b=c&d", "q", none, "b=c", B},
        {"lone =", "q==", "q", none, "=", B},
        {"key without value", "flag&x=1", "flag", none, "", B},
        {"last key without value", "x=1&flag", "flag", none, "", B},
        {"keys not decoded", "a%20b=1", "a b", none, "", C},
        {"raw key matches", "a%20b=1", "a%20b", none, "1", B},
        {"empty segments", "&&=x&x", "x", none, "", B},
        {"prefix is no match", "qq=1&q=2", "q", none, "2", B},
        {"longer name", "q=1", "qq", none, "", C},
        {"name holding =", "q=1", "q=1", none, "", C},
        {"cut at 511", "q=" + kLong600, "q", none, kLong600.substr(0, 511), B},
        {"escape fills last byte", "q=" + kX510 + "%41zz", "q", none, kX510 + "A", B},
        {"plus fills last byte", "q=" + kX510 + "++", "q", none, kX510 + " ", B},
        {"query set, no fallback", "m=1", "n", std::string("5"), "", C},
        {"fallback unset query", none, "n", std::string("5"), "5", E},
        {"fallback empty query", std::string(), "n", std::string("a%20b+c"), "a%20b+c", E},
        {"fallback ; and :", none, "n", std::string("C:\\a;D:\\b"), "", C},
        {"fallback ; only", none, "n", std::string("a;b"), "a;b", E},
        {"fallback : only", none, "n", std::string("a:b"), "a:b", E},
        {"fallback not cut", none, "n", kLong600, kLong600, E},
        {"fallback unset", none, "n", none, "", C},
        {"fallback empty", none, "n", std::string(), "", C},
    };
    const char *constant = cgi_query(nullptr);
    ASSERT_NE(constant, nullptr);
    EXPECT_EQ(cgi_query(""), constant);
    EXPECT_STREQ(constant, "");

    for (const auto &c : cases) {
        // The parameter's own variable only matters (and is only touched) for the fallback.
        const bool fallback = c.var || !c.query || c.query->empty();
        ScopedEnv env(fallback ? EnvList{{"QUERY_STRING", c.query}, {c.name, c.var}}
                               : EnvList{{"QUERY_STRING", c.query}});
        const char *r = cgi_query(c.name.c_str());
        ASSERT_NE(r, nullptr) << c.label;
        EXPECT_EQ(std::string(r), std::string(c.expected.c_str())) << c.label;
        EXPECT_EQ(std::memcmp(r, c.expected.c_str(), c.expected.size() + 1), 0) << c.label;
        switch (c.where) {
        case Where::constant: EXPECT_EQ(r, constant) << c.label; break;
        case Where::environment: EXPECT_EQ(r, std::getenv(c.name.c_str())) << c.label; break;
        case Where::buffer:
            EXPECT_NE(r, constant) << c.label;
            EXPECT_NE(r, std::getenv(c.name.c_str())) << c.label;
            break;
        }
    }
}

// One lookup's result must survive exactly seven further lookups that take a buffer (hits,
// misses and environment fallbacks alike, but not empty names) and be reused by the eighth.
TEST(CgiQuery, RingOfEightBuffers) {
    ScopedEnv env({{"QUERY_STRING", "a=first&b=second&c=third"}, {"bv_ring_var", "env"}});
    const char *constant = cgi_query(nullptr);
    const char *first = cgi_query("a");
    ASSERT_STREQ(first, "first");

    std::set<const char *> buffers{first};
    const char *const hits_and_misses[] = {"b", "missing", "c", "b", "nothing", "c", "b"};
    for (const char *name : hits_and_misses) {
        EXPECT_EQ(cgi_query(""), constant);
        EXPECT_EQ(cgi_query(nullptr), constant);
        const char *r = cgi_query(name);
        if (r != constant) buffers.insert(r);
        EXPECT_STREQ(first, "first") << "after " << name;
    }
    EXPECT_EQ(buffers.size(), 6u);  // five hits, each in a buffer of its own, plus the first

    const char *ninth = cgi_query("c");
    EXPECT_EQ(ninth, first);
    EXPECT_STREQ(first, "third");

    // Fallback lookups take buffers too.
    set_env("QUERY_STRING", std::nullopt);
    for (int i = 0; i < 7; ++i) {
        const char *r = cgi_query("bv_ring_var");
        EXPECT_STREQ(r, "env");
        EXPECT_STREQ(first, "third");
    }
    // The eighth one clears the buffer even though its result lies elsewhere.
    EXPECT_STREQ(cgi_query("bv_ring_var"), "env");
    EXPECT_EQ(first[0], '\0');
}

}  // namespace
