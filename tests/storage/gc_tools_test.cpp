// The maintenance programs as an operator runs them: their options and exit statuses, the
// storage root taken from the environment as the endpoints take it, a dry run's listing, a
// real run's counts, and the verifier's report of a damaged blob.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "storage/reg_storage.h"
#include "tests/storage/manifest_fixture.h"

namespace {

using namespace manifesttest;

std::string tool(const std::string &name) { return bvtest::program_path("../tools/" + name); }

struct usage_case {
    const char *program;
    std::vector<std::string> args;
    int exit_code;
    std::string out_holds;  // "" when stdout is not looked at
};

class GcToolsTest : public ManifestTest {};

// A path without a tree (mistyped, a volume not mounted) is refused with nothing made there, a
// dry run included; only registry-init makes a tree, and running it again finds it.
TEST_F(GcToolsTest, OptionsAndExitStatuses) {
    bvtest::TempDir scratch;
    const std::string missing = (scratch.path() / "mistyped").string();
    const std::string empty = (scratch.path() / "empty").string();
    const std::string made = (scratch.path() / "made").string();
    fs::create_directory(empty);
    const usage_case cases[] = {
        {"registry-gc", {"--help"}, 0, "--grace-uploads"},
        {"registry-gc", {"--bogus"}, 2, ""},
        {"registry-gc", {"--grace-blobs", "soon"}, 2, ""},
        {"registry-gc", {"--grace-uploads", "-5"}, 2, ""},
        {"registry-gc", {"--storage"}, 2, ""},
        {"registry-verify", {"--help"}, 0, "--storage"},
        {"registry-verify", {"--fix"}, 2, ""},
        {"registry-verify", {"--storage", root_.str()}, 0, ""},
        {"registry-gc", {"--dry-run", "--storage", missing}, 2, ""},
        {"registry-gc", {"--storage", empty}, 2, ""},
        {"registry-verify", {"--storage", missing}, 2, ""},
        {"registry-verify", {"--storage", empty}, 2, ""},
        {"registry-init", {"--help"}, 0, "--storage"},
        {"registry-init", {"--bogus"}, 2, ""},
        {"registry-init", {"--storage", made}, 0, "made the storage tree at " + made},
        {"registry-init", {"--storage", made}, 0, "found the storage tree at " + made},
        {"registry-verify", {"--storage", made}, 0, ""},
    };
    for (const usage_case &c : cases) {
        SCOPED_TRACE(std::string(c.program) + " " + (c.args.empty() ? "" : c.args.back()));
        const bvtest::ProcessResult r = bvtest::run_program(tool(c.program), c.args);
        EXPECT_EQ(r.exit_code, c.exit_code);
        EXPECT_NE(r.out.find(c.out_holds), std::string::npos) << r.out;
    }
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_TRUE(fs::is_empty(empty));
    EXPECT_TRUE(fs::is_regular_file(fs::path(made) / "config.json"));
}

TEST_F(GcToolsTest, DryRunListsThenRealRunRemovesThenVerifyReports) {
    put("v1", body_);
    const std::string orphan = blob("orphan bytes");
    const std::string hex = orphan.substr(7);
    const fs::path orphan_file = root_.path() / "blobs" / "sha256" / hex.substr(0, 2) / hex;
    const std::vector<bvtest::EnvChange> env = {{"REGISTRY_STORAGE_ROOT", root_.str()}};

    bvtest::ProcessResult r =
        bvtest::run_program(tool("registry-gc"), {"--dry-run", "--grace-blobs", "0"}, env);
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find("blob " + orphan + " 12"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("link app " + orphan), std::string::npos) << r.out;
    EXPECT_TRUE(fs::exists(orphan_file));

    // The default grace spares what was just pushed.
    r = bvtest::run_program(tool("registry-gc"), {"--storage", root_.str()});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("removed 0 blobs"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::exists(orphan_file));

    r = bvtest::run_program(tool("registry-gc"), {"--storage", root_.str(), "--grace-blobs", "0"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("removed 1 blobs (12 bytes), 1 blob links"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(orphan_file));

    r = bvtest::run_program(tool("registry-verify"), {}, env);
    EXPECT_EQ(r.exit_code, 0) << r.out;
    const std::string lhex = layer_.substr(7);
    bvtest::write_all(root_.path() / "blobs" / "sha256" / lhex.substr(0, 2) / lhex, "changed");
    r = bvtest::run_program(tool("registry-verify"), {"--storage", root_.str()});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("blob " + layer_ + ": content hashes to"), std::string::npos) << r.out;
}

}  // namespace
