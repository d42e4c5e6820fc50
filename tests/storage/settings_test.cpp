// The storage's switches: which config.json texts give which switches, which ones stop the
// engine from starting (never quietly falling back to what allows more), and the
// environment's word on durable writes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "storage/reg_storage.h"
#include "storage/storage_internal.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace reg_internal;

void set_env(const char *name, const std::optional<std::string> &value) {
#ifdef _WIN32
    _putenv_s(name, value ? value->c_str() : "");
#else
    if (value)
        setenv(name, value->c_str(), 1);
    else
        unsetenv(name);
#endif
}

// Sets REGISTRY_DURABLE_WRITES for one scope and removes it afterwards.
class DurableEnv {
public:
    explicit DurableEnv(const std::optional<std::string> &value) {
        set_env("REGISTRY_DURABLE_WRITES", value);
    }
    ~DurableEnv() { set_env("REGISTRY_DURABLE_WRITES", std::nullopt); }
    DurableEnv(const DurableEnv &) = delete;
    DurableEnv &operator=(const DurableEnv &) = delete;
};

struct Expect {
    int read_only, deletes, durable, sparse;
};

void expect_settings(const Expect &want) {
    reg_storage_settings got{-1, -1, -1, -1};
    reg_storage_get_settings(&got);
    EXPECT_EQ(got.read_only, want.read_only);
    EXPECT_EQ(got.deletes_enabled, want.deletes);
    EXPECT_EQ(got.durable_writes, want.durable);
    EXPECT_EQ(got.sparse_indexes, want.sparse);
}

TEST(StorageSettings, AcceptedFiles) {
    const struct Case {
        const char *label;
        std::string json;
        Expect want;
    } cases[] = {
        {"no keys of ours", R"({"schemaVersion":2,"maxUploadSize":-1})", {0, 1, 1, 0}},
        {"empty object", "{}", {0, 1, 1, 0}},
        {"read-only", R"({"readOnly":true})", {1, 1, 1, 0}},
        {"read-only off", R"({"readOnly":false})", {0, 1, 1, 0}},
        {"deletes off", R"({"deleteEnabled":false})", {0, 0, 1, 0}},
        {"durability off", R"({"durableWrites":false})", {0, 1, 0, 0}},
        {"all three", " {\"readOnly\":true,\"deleteEnabled\":false,\"durableWrites\":false}\n",
         {1, 0, 0, 0}},
        {"sparse indexes", R"({"sparseIndexes":true})", {0, 1, 1, 1}},
        {"nested keys are not ours", R"({"x":{"readOnly":true},"readOnlyX":true})", {0, 1, 1, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        bvtest::TempDir dir;
        bvtest::write_all(dir.path() / "config.json", c.json);
        ASSERT_EQ(reg_storage_init(dir.str().c_str()), 0) << reg_storage_last_error();
        expect_settings(c.want);
        // Read, never rewritten.
        EXPECT_EQ(bvtest::read_all(dir.path() / "config.json"), c.json);
        reg_storage_cleanup();
        expect_settings({0, 1, 1, 0});  // the defaults again once the engine is down
    }
}

TEST(StorageSettings, RefusedFilesStopTheEngine) {
    const struct Case {
        const char *label;
        std::string json;
        const char *message;
    } cases[] = {
        {"not JSON", "readOnly: true", "storage config.json is not valid JSON"},
        {"empty", "", "storage config.json is not valid JSON"},
        {"cut short", R"({"readOnly":true)", "storage config.json is not valid JSON"},
        {"trailing text", R"({"readOnly":true} x)", "storage config.json is not valid JSON"},
        {"comment", "{/* no */\"readOnly\":true}", "storage config.json is not valid JSON"},
        {"an array", R"([{"readOnly":true}])", "storage config.json must hold a JSON object"},
        {"a string", R"("readOnly")", "storage config.json must hold a JSON object"},
        {"read-only as a string", R"({"readOnly":"true"})",
         "storage config.json: \"readOnly\" must be true or false"},
        {"read-only as a number", R"({"readOnly":1})",
         "storage config.json: \"readOnly\" must be true or false"},
        {"deletes as null", R"({"deleteEnabled":null})",
         "storage config.json: \"deleteEnabled\" must be true or false"},
        {"durability as a string", R"({"durableWrites":"no"})",
         "storage config.json: \"durableWrites\" must be true or false"},
        {"a key twice", R"({"readOnly":true,"readOnly":false})",
         "storage config.json: \"readOnly\" appears more than once"},
        {"too large", "{\"pad\":\"" + std::string(70000, 'x') + "\"}",
         "storage config.json is larger than"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        bvtest::TempDir dir;
        bvtest::write_all(dir.path() / "config.json", c.json);
        EXPECT_EQ(reg_storage_init(dir.str().c_str()), -1);
        EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_IO);
        EXPECT_EQ(std::string(reg_storage_last_error()).rfind(c.message, 0), 0u)
            << reg_storage_last_error();
        EXPECT_EQ(s_ready, 0);
        expect_settings({0, 1, 1, 0});
        // Nothing an operation would do happens on a storage that did not start.
        char uuid[37];
        EXPECT_EQ(reg_blob_start_upload(uuid), -1);
        EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NOT_READY);
    }
}

TEST(StorageSettings, EnvironmentOverridesDurability) {
    const struct Case {
        const char *label;
        const char *json;  // null: no file, the first start writes the defaults
        std::optional<std::string> env;
        int result;
        int durable;
    } cases[] = {
        {"unset, default", nullptr, std::nullopt, 0, 1},
        {"empty counts as unset", R"({"durableWrites":false})", "", 0, 0},
        {"0 over the default", nullptr, "0", 0, 0},
        {"1 over the file's false", R"({"durableWrites":false})", "1", 0, 1},
        {"0 over the file's true", R"({"durableWrites":true})", "0", 0, 0},
        {"anything else refused", nullptr, "yes", -1, 1},
        {"a longer 1 refused", R"({"durableWrites":false})", "10", -1, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        bvtest::TempDir dir;
        if (c.json) bvtest::write_all(dir.path() / "config.json", c.json);
        DurableEnv env(c.env);
        ASSERT_EQ(reg_storage_init(dir.str().c_str()), c.result) << reg_storage_last_error();
        if (c.result != 0) {
            EXPECT_STREQ(reg_storage_last_error(), "REGISTRY_DURABLE_WRITES must be 0 or 1");
            continue;
        }
        expect_settings({0, 1, c.durable, 0});
        reg_storage_cleanup();
    }
}

TEST(StorageSettings, FirstStartWritesTheDefaultsOnce) {
    bvtest::TempDir dir;
    ASSERT_EQ(reg_storage_init(dir.str().c_str()), 0);
    const std::string first = bvtest::read_all(dir.path() / "config.json");
    EXPECT_EQ(first.size(), 110u);
    expect_settings({0, 1, 1, 0});
    reg_storage_settings parsed{};
    ASSERT_EQ(settings_parse(first.data(), first.size(), &parsed), 0);
    EXPECT_EQ(parsed.durable_writes, 1);
    // An operator's edit survives later starts.
    bvtest::write_all(dir.path() / "config.json", R"({"readOnly":true})");
    ASSERT_EQ(reg_storage_init(dir.str().c_str()), 0);
    expect_settings({1, 1, 1, 0});
    EXPECT_EQ(bvtest::read_all(dir.path() / "config.json"), R"({"readOnly":true})");
    reg_storage_cleanup();
    reg_storage_get_settings(nullptr);  // no effect, no crash
}

// A process serving many requests keeps the switches of a config.json it has seen settled, and
// still sees every edit: one that keeps the size and puts the modification time back differs
// in the change time. The environment's word is taken afresh on every open.
TEST(StorageSettings, OpenSeesEditsOfAKeptFile) {
    bvtest::TempDir dir;
    const fs::path config = dir.path() / "config.json";
    bvtest::write_all(config, R"({"readOnly":false})");
    const auto written = fs::last_write_time(config);
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // until the file counts as settled
    const struct Step {
        const char *label;
        const char *json;  // null: the file as it is
        std::optional<std::string> env;
        Expect want;
    } steps[] = {
        {"read and kept", nullptr, std::nullopt, {0, 1, 1, 0}},
        {"kept, the environment afresh", nullptr, "0", {0, 1, 0, 0}},
        {"same size and time, other text", R"({"readOnly":true} )", std::nullopt, {1, 1, 1, 0}},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.label);
        if (step.json) {
            bvtest::write_all(config, step.json);
            fs::last_write_time(config, written);
        }
        DurableEnv env(step.env);
        ASSERT_EQ(reg_storage_open(dir.str().c_str()), 0) << reg_storage_last_error();
        expect_settings(step.want);
        reg_storage_end_request();
    }
    reg_storage_cleanup();
}

}  // namespace
