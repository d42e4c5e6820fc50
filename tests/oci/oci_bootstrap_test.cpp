// Storage bootstrap, each case in a fresh process: where the root comes from, how the
// working directory's config.json is searched, the once-per-process readiness, and that a root
// without its tree is refused with nothing made there.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "storage/reg_storage.h"

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

std::string hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

bvtest::ProcessResult run_probe(const bvtest::TempDir &dir, const std::vector<std::string> &args,
                                std::optional<std::string> env_root) {
    return bvtest::run_program(bvtest::probe_path("oci_bootstrap_probe"), args,
                               {{"REGISTRY_STORAGE_ROOT", env_root}}, {}, dir.path());
}

// The engine lays out its tree at the root it was given.
bool initialised_at(const fs::path &root) {
    return fs::is_directory(root / "blobs") && fs::is_directory(root / "uploads") &&
           fs::is_directory(root / "repositories") && fs::is_regular_file(root / "config.json");
}

// Every path below `dir`, to tell whether anything was made there.
std::set<std::string> everything_below(const fs::path &dir) {
    std::set<std::string> out;
    for (const auto &e : fs::recursive_directory_iterator(dir)) out.insert(e.path().string());
    return out;
}

struct RootCase {
    const char *label;
    std::optional<std::string> config;  // ./config.json, none when absent
    std::optional<std::string> env;     // REGISTRY_STORAGE_ROOT, removed when absent
    std::string root;
};

const std::string def = "./registry_storage";

TEST(OciBootstrap, PicksTheRoot) {
    const std::string pad2027(2027, ' ');
    const std::string v1023(1023, 'v');
    const std::string env1500 = std::string(1000, 'e') + std::string(500, 'f');
    const std::vector<RootCase> cases = {
        {"nothing configured", std::nullopt, std::nullopt, def},
        {"environment", std::nullopt, "envroot", "envroot"},
        {"environment beats the file", "{\"storage_root\":\"cfg\"}", "envroot", "envroot"},
        {"empty environment is unset", "{\"storage_root\":\"cfg\"}", "", "cfg"},
        {"environment cut to 1023", std::nullopt, env1500, env1500.substr(0, 1023)},
        {"storage_root", "{\n  \"storage_root\":\"data/reg\"\n}\n", std::nullopt, "data/reg"},
        {"registry_storage_root alone", "{\"registry_storage_root\":\"D:/reg\"}", std::nullopt, "D:/reg"},
        {"storage_root wins when second",
         "{\"registry_storage_root\":\"r\",\"storage_root\":\"s\"}", std::nullopt, "s"},
        {"nested key", "{\"x\":{\"storage_root\":\"n\"}}", std::nullopt, "n"},
        {"space before colon", "{\"storage_root\" : \"x\"}", std::nullopt, def},
        {"space before colon, other key exact",
         "{\"storage_root\" : \"x\",\"registry_storage_root\":\"r\"}", std::nullopt, "r"},
        {"space after colon", "{\"storage_root\":   \"sp\"}", std::nullopt, "sp"},
        {"key case matters", "{\"Storage_Root\":\"x\"}", std::nullopt, def},
        {"doubled backslashes kept", "{\"storage_root\":\"C:\\\\reg\\\\x\"}", std::nullopt, "C:\\\\reg\\\\x"},
        {"escaped quote ends the value", "{\"storage_root\":\"ab\\\"cd\"}", std::nullopt, "ab\\"},
        {"number value", "{\"storage_root\": 12, \"name\": \"v\"}", std::nullopt, "name"},
        {"object value", "{\"storage_root\":{\"path\":\"p\"}}", std::nullopt, "path"},
        {"null value, no quote after", "{\"storage_root\":null}", std::nullopt, def},
        {"no closing quote", "{\"storage_root\":\"abc", std::nullopt, def},
        {"empty value", "{\"storage_root\":\"\"}", std::nullopt, def},
        // The first key found decides even when its value is unusable.
        {"empty storage_root, other key set",
         "{\"storage_root\":\"\",\"registry_storage_root\":\"r\"}", std::nullopt, def},
        {"value of 1023 bytes", "{\"storage_root\":\"" + v1023 + "\"}", std::nullopt, v1023},
        {"value of 1024 bytes", "{\"storage_root\":\"" + v1023 + "v\"}", std::nullopt, def},
        {"closing quote at byte 2047", pad2027 + "\"storage_root\":\"abc\"", std::nullopt, "abc"},
        {"closing quote at byte 2048", pad2027 + " \"storage_root\":\"abc\"", std::nullopt, def},
        {"key after 2047 bytes", std::string(2047, ' ') + "{\"storage_root\":\"late\"}", std::nullopt, def},
        {"NUL before the key", std::string("{\0\"storage_root\":\"z\"}", 21), std::nullopt, def},
        {"no key at all", "{\"root\":\"x\"}", std::nullopt, def},
        {"empty file", "", std::nullopt, def},
    };
    for (const auto &c : cases) {
        bvtest::TempDir dir;
        if (c.config) bvtest::write_all(dir.path() / "config.json", *c.config);
        auto r = run_probe(dir, {"root"}, c.env);
        EXPECT_EQ(r.exit_code, 0) << c.label;
        EXPECT_EQ(r.out, "root:[" + c.root + "]\n") << c.label;
    }
}

TEST(OciBootstrap, EngineInitialisedAtThePickedRoot) {
    // A config of "/" stands for a directory named config.json, which yields no root.
    const std::vector<RootCase> cases = {
        {"default", std::nullopt, std::nullopt, "registry_storage"},
        {"environment, file ignored", "{\"storage_root\":\"cfg\"}", "envroot", "envroot"},
        {"storage_root", "{\"storage_root\":\"sr/a\"}", std::nullopt, "sr/a"},
        {"registry_storage_root", "{\"registry_storage_root\":\"rsr\"}", std::nullopt, "rsr"},
        {"config.json is a directory", "/", std::nullopt, "registry_storage"},
    };
    for (const auto &c : cases) {
        bvtest::TempDir dir;
        if (c.config == "/") fs::create_directory(dir.path() / "config.json");
        else if (c.config) bvtest::write_all(dir.path() / "config.json", *c.config);
        // Only the picked root holds a tree, so only opening that one succeeds.
        bvtest::make_storage_tree(dir.path() / c.root);
        auto r = run_probe(dir, {"init"}, c.env);
        EXPECT_EQ(r.out, "init:0:\n") << c.label;
        EXPECT_TRUE(initialised_at(dir.path() / c.root)) << c.label;
        EXPECT_FALSE(fs::exists(dir.path() / "cfg")) << c.label << ": only one root is made";
    }
}

TEST(OciBootstrap, SecondCallAfterSuccessReadsNothing) {
    bvtest::TempDir dir;
    bvtest::write_all(dir.path() / "config.json", "{\"storage_root\":\"first\"}");
    bvtest::make_storage_tree(dir.path() / "first");
    auto r = run_probe(dir, {"init", "config", hex("{\"storage_root\":\"second\"}"), "init", "root"},
                       std::nullopt);
    // The file now names another root, yet the second call neither reads it nor calls the engine.
    EXPECT_EQ(r.out, "init:0:\ninit:0:\nroot:[second]\n");
    EXPECT_TRUE(initialised_at(dir.path() / "first"));
    EXPECT_FALSE(fs::exists(dir.path() / "second"));
}

TEST(OciBootstrap, SecondCallAfterFailureTriesAgain) {
    bvtest::TempDir dir;
    // A regular file where a directory of the root must be: no tree there.
    bvtest::write_all(dir.path() / "blocker", "x");
    bvtest::write_all(dir.path() / "config.json", "{\"storage_root\":\"blocker/sub\"}");
    bvtest::make_storage_tree(dir.path() / "good");
    auto r = run_probe(dir, {"init", "config", hex("{\"storage_root\":\"good\"}"), "init"}, std::nullopt);
    ASSERT_EQ(r.exit_code, 0);
    const auto second = r.out.find("\ninit:");
    ASSERT_NE(second, std::string::npos) << r.out;
    const std::string first = r.out.substr(0, second);
    EXPECT_EQ(first.rfind("init:-1:the storage root does not exist", 0), 0u) << first;
    EXPECT_EQ(r.out.substr(second + 1), "init:0:\n");
    EXPECT_TRUE(initialised_at(dir.path() / "good"));
}

// A root that lost its tree (emptied, an unmounted volume's mount point, a mistyped path) is
// refused with REG_ERR_NO_TREE, and nothing at all is made there: no config.json, no folder, not
// the root itself. Only config.json makes a tree; a FastCGI process that found the tree whole
// for its previous request notices its config.json gone as well.
TEST(OciBootstrap, OpensOnlyARootThatHasItsTree) {
    struct TreeCase {
        const char *label;
        std::vector<std::string> dirs;   // made below the scratch directory before the run
        bool config;                     // store/config.json written
        std::vector<std::string> steps;  // the probe's steps after a first "init"
        std::string out;
        std::string dropped = {};        // a file the steps remove
    };
    const std::string no_tree = std::to_string(REG_ERR_NO_TREE);
    const std::string missing = "init:-1:the storage root does not exist; create the storage tree with registry-init\n";
    const std::string empty = "init:-1:the storage root holds no storage tree (no config.json); create it with registry-init\n";
    const std::vector<TreeCase> cases = {
        {"root missing", {}, false, {"kind"}, missing + "kind:" + no_tree + "\n"},
        {"root empty", {"store"}, false, {"kind"}, empty + "kind:" + no_tree + "\n"},
        {"folders but no config.json", {"store/blobs/sha256", "store/repositories", "store/uploads"}, false,
         {"kind"}, empty + "kind:" + no_tree + "\n"},
        {"config.json alone", {"store"}, true, {"kind"}, "init:0:\nkind:0\n"},
        {"config.json gone before the next request", {"store"}, true,
         {"next", "drop", "store/config.json", "init", "kind"}, "init:0:\n" + empty + "kind:" + no_tree + "\n",
         "store/config.json"},
    };
    for (const TreeCase &c : cases) {
        SCOPED_TRACE(c.label);
        bvtest::TempDir dir;
        for (const std::string &d : c.dirs) fs::create_directories(dir.path() / d);
        if (c.config) bvtest::write_all(dir.path() / "store" / "config.json", "{}");
        std::vector<std::string> steps = {"init"};
        steps.insert(steps.end(), c.steps.begin(), c.steps.end());
        std::set<std::string> expected = everything_below(dir.path());
        if (!c.dropped.empty()) expected.erase((dir.path() / c.dropped).string());
        auto r = run_probe(dir, steps, "store");
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, c.out);
#ifdef _WIN32
        // Under Wine the removed config.json is still listed once the probe has ended (not yet
        // explained); the answers above already show the open refused.
        if (!c.dropped.empty()) continue;
#endif
        EXPECT_EQ(everything_below(dir.path()), expected) << "something was made";
    }
}

}  // namespace
