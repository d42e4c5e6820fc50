// Access rules: which user may read, push to and delete from which repository under a given
// access file's text, whole-component prefixes, the "*" line and prefix, and malformed files
// that must refuse every request rather than permit any.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "oci/oci_access_rules.h"

namespace {

using oci_access_rules::decide;
using oci_access_rules::verdict;

const char *kRules = R"(# team rules
alice: read=shared,library write=alice,team/app   # her own space and one team repository
bob:   write=bob
carol: read=*
admin: write=*
*:     read=public
dave:
)";

struct AccessCase {
    const char *user;
    const char *repo;
    oci_access access;
    verdict expected;
};

constexpr oci_access R = OCI_ACCESS_READ, W = OCI_ACCESS_WRITE, D = OCI_ACCESS_DELETE;
constexpr verdict yes = verdict::permit, no = verdict::deny;

TEST(OciAccessRules, DecidesEveryUserAndAccessKind) {
    const std::vector<AccessCase> cases = {
        {"alice", "shared", R, yes},
        {"alice", "shared/base", R, yes},
        {"alice", "shared", W, no},
        {"alice", "shared", D, no},
        {"alice", "alice/tool", W, yes},
        {"alice", "alice/tool", D, yes},      // deletes follow write
        {"alice", "alice/tool", R, yes},      // write includes read
        {"alice", "team/app", W, yes},
        {"alice", "team/app/sub", W, yes},
        {"alice", "team/other", W, no},
        {"alice", "team", W, no},             // a longer prefix does not cover its parent
        {"alice", "public/x", R, yes},        // the "*" line applies to her too
        {"alice", "public/x", W, no},
        {"alice", "", R, no},                 // the catalog needs read on every repository
        {"bob", "bob", W, yes},
        {"bob", "bobby", W, no},              // whole components only
        {"bob", "bob-x", R, no},
        {"bob", "alice/tool", R, no},
        {"carol", "anything/at/all", R, yes},
        {"carol", "anything", W, no},
        {"carol", "", R, yes},
        {"admin", "x/y", D, yes},
        {"admin", "", R, yes},
        {"dave", "public", R, yes},           // a line with no rights leaves the "*" line
        {"dave", "dave", W, no},
        {"eve", "public/x", R, yes},          // unknown user: the "*" line alone
        {"eve", "shared", R, no},
        {"eve", "public", W, no},
        {"", "public/x", R, yes},             // no login: the "*" line alone
        {"", "alice/tool", R, no},
        {"", "public", W, no},
        {"Alice", "alice/tool", W, no},       // names are case-sensitive
        {"*", "public", R, yes},
    };
    for (const auto &c : cases) {
        const auto d = decide(kRules, c.user, c.repo, c.access);
        EXPECT_EQ(d.outcome, c.expected) << c.user << " " << c.repo << " " << c.access << ": " << d.why;
        if (d.outcome == verdict::deny) {
            EXPECT_FALSE(d.why.empty());
        }
    }
}

TEST(OciAccessRules, PrefixesCoverWholeComponents) {
    struct Case {
        const char *prefix, *repo;
        bool covers;
    };
    for (const auto &c : std::vector<Case>{{"team", "team", true},
                                           {"team", "team/app", true},
                                           {"team", "teamx", false},
                                           {"team", "tea", false},
                                           {"team/app", "team/app/x", true},
                                           {"team/app", "team/apps", false},
                                           {"team", "", false},
                                           {"*", "", true},
                                           {"*", "a/b", true},
                                           {"", "a", false}})
        EXPECT_EQ(oci_access_rules::prefix_covers(c.prefix, c.repo), c.covers) << c.prefix << " " << c.repo;
}

TEST(OciAccessRules, RepeatedLinesAddUpAndLayoutIsFree) {
    const char *rules = "\r\n  alice:read=a\r\n\talice :  write=b   read=c,d\r\n# alice: write=*\n";
    EXPECT_EQ(decide(rules, "alice", "a", R).outcome, yes);
    EXPECT_EQ(decide(rules, "alice", "b/x", W).outcome, yes);
    EXPECT_EQ(decide(rules, "alice", "d", R).outcome, yes);
    EXPECT_EQ(decide(rules, "alice", "z", W).outcome, no);  // the commented line grants nothing
    EXPECT_EQ(decide("", "alice", "a", R).outcome, no);     // an empty file grants nothing
}

TEST(OciAccessRules, MalformedFileRefusesEveryone) {
    struct Case {
        const char *label;
        std::string text;
        const char *why;  // part of the message
    };
    const std::vector<Case> cases = {
        {"no colon", "alice read=a\n", "line 1: no ':'"},
        {"empty user", "*: read=*\n: read=a\n", "line 2: the user name"},
        {"user with blank", "al ice: read=a\n", "line 1: the user name"},
        {"unknown key", "alice: read=a\nbob: push=b\n", "line 2: expected read=PREFIXES"},
        {"key without value list", "alice: read\n", "line 1: expected"},
        {"empty list", "alice: write=\n", "line 1: empty repository prefix"},
        {"empty item", "alice: read=a,,b\n", "line 1: empty repository prefix"},
        {"trailing comma", "alice: read=a,\n", "line 1: empty repository prefix"},
        {"upper case prefix", "alice: read=Team\n", "line 1: a prefix is neither"},
        {"trailing slash", "alice: read=team/\n", "line 1: a prefix is neither"},
        {"glob inside a prefix", "alice: read=team/*\n", "line 1: a prefix is neither"},
        {"dot dot", "alice: write=../x\n", "line 1: a prefix is neither"},
        {"NUL byte", std::string("alice: read=a\n\0bob: write=*\n", 28), "NUL"},
        {"a later line for someone else", "*: write=*\nzed: read=a b\n", "line 2"},
    };
    for (const auto &c : cases) {
        for (const char *user : {"alice", "bob", "", "zed"}) {
            for (oci_access access : {R, W, D}) {
                const auto d = decide(c.text, user, "a", access);
                EXPECT_EQ(d.outcome, verdict::unusable) << c.label << " / " << user;
                EXPECT_NE(d.why.find(c.why), std::string::npos) << c.label << ": " << d.why;
            }
        }
    }
}

}  // namespace
