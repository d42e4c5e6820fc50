// The storage's operating switches: read from the storage's own config.json at start-up (a
// long-running process reads it again only once it changed), with the environment's word on
// durable writes. A file that cannot be read whole and understood
// stops the engine, so a typo never quietly widens what the registry allows.
#include <cstdlib>
#include <cstring>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include "platform/bv_platform_fs.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace reg_internal {

reg_storage_settings s_settings = kDefaultSettings;

namespace {

// A configuration is a handful of keys; anything near this size is no configuration of ours.
constexpr size_t kConfigMax = 64 * 1024;

struct bool_key {
    const char *name;
    int reg_storage_settings::*field;
};

constexpr bool_key kBoolKeys[] = {
    {"readOnly", &reg_storage_settings::read_only},
    {"deleteEnabled", &reg_storage_settings::deletes_enabled},
    {"durableWrites", &reg_storage_settings::durable_writes},
    {"sparseIndexes", &reg_storage_settings::sparse_indexes},
};

// The switches of one document, or -1 with the message set. Every key of ours must appear at
// most once: with two, which one counts would depend on the parser, not on the writer.
int settings_from_json(const char *text, size_t len, reg_storage_settings *out) {
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseDefaultFlags>(text, len);
    if (doc.HasParseError()) {
        set_error(REG_ERR_IO, "storage config.json is not valid JSON: %s (at byte %zu)",
                  rapidjson::GetParseError_En(doc.GetParseError()), doc.GetErrorOffset());
        return -1;
    }
    if (!doc.IsObject()) {
        set_error(REG_ERR_IO, "storage config.json must hold a JSON object");
        return -1;
    }
    reg_storage_settings settings = kDefaultSettings;
    // Through a const view: a mutable member iterator's comparisons are ambiguous in C++20.
    const rapidjson::Value &root = doc;
    for (const bool_key &key : kBoolKeys) {
        int seen = 0;
        for (auto m = root.MemberBegin(); m != root.MemberEnd(); ++m) {
            if (std::strcmp(m->name.GetString(), key.name) != 0 ||
                m->name.GetStringLength() != std::strlen(key.name))
                continue;
            if (++seen > 1) {
                set_error(REG_ERR_IO, "storage config.json: \"%s\" appears more than once",
                          key.name);
                return -1;
            }
            if (!m->value.IsBool()) {
                set_error(REG_ERR_IO, "storage config.json: \"%s\" must be true or false",
                          key.name);
                return -1;
            }
            settings.*key.field = m->value.GetBool() ? 1 : 0;
        }
    }
    *out = settings;
    return 0;
}

// REGISTRY_DURABLE_WRITES: unset or empty leaves the file's choice, "0" and "1" override it,
// anything else is refused like a bad key in the file.
reg_env_lookup s_env_lookup = nullptr;

// The switches of the config.json a long-running process read last, before the environment's
// word, with what identified that version of the file: a request that finds the file as it
// was takes them without reading it again.
struct known_file {
    char path[kPathSize] = "";
    bv_platform::file_identity identity;
    reg_storage_settings settings = kDefaultSettings;
};
known_file s_known_file;

int apply_environment(reg_storage_settings *settings) {
    const char *env = s_env_lookup ? s_env_lookup("REGISTRY_DURABLE_WRITES")
                                   : std::getenv("REGISTRY_DURABLE_WRITES");
    if (!env || !*env) return 0;
    if (std::strcmp(env, "0") == 0 || std::strcmp(env, "1") == 0) {
        settings->durable_writes = env[0] == '1';
        return 0;
    }
    set_error(REG_ERR_IO, "REGISTRY_DURABLE_WRITES must be 0 or 1");
    return -1;
}

}  // namespace

int settings_parse(const char *text, size_t len, reg_storage_settings *out) {
    if (!text || !out) return -1;
    reg_storage_settings settings;
    if (settings_from_json(text, len, &settings) != 0 || apply_environment(&settings) != 0)
        return -1;
    *out = settings;
    return 0;
}

int settings_early_durability() {
    reg_storage_settings settings = kDefaultSettings;
    if (apply_environment(&settings) != 0) return -1;
    s_settings = settings;
    return 0;
}

int settings_load(const char *config_path, const bv_platform::file_identity *seen) {
    reg_storage_settings settings;
    if (seen && s_known_file.identity.same_as(*seen) &&
        std::strcmp(s_known_file.path, config_path) == 0) {
        settings = s_known_file.settings;
    } else {
        static char text[kConfigMax + 1];
        size_t len = 0;
        if (read_file(config_path, text, sizeof text, &len) != 0) {
            set_error(REG_ERR_IO, "cannot read storage config.json");
            return -1;
        }
        if (len >= kConfigMax) {
            set_error(REG_ERR_IO, "storage config.json is larger than %zu bytes", kConfigMax - 1);
            return -1;
        }
        settings_forget_file();
        if (settings_from_json(text, len, &settings) != 0) return -1;
        // Kept only once the file has settled: an edit made within the file system's clock
        // step of the last one might leave the identity unchanged.
        if (seen && bv_platform::identity_settled(*seen) &&
            std::strlen(config_path) < sizeof s_known_file.path) {
            std::strcpy(s_known_file.path, config_path);
            s_known_file.identity = *seen;
            s_known_file.settings = settings;
        }
    }
    if (apply_environment(&settings) != 0) return -1;
    s_settings = settings;
    return 0;
}

void settings_forget_file() { s_known_file = known_file{}; }

}  // namespace reg_internal

extern "C" void reg_storage_set_env_lookup(reg_env_lookup lookup) { reg_internal::s_env_lookup = lookup; }

extern "C" void reg_storage_get_settings(reg_storage_settings *out) {
    if (!out) return;
    *out = reg_internal::s_ready ? reg_internal::s_settings : reg_internal::kDefaultSettings;
}
