// Storage bootstrap: finds the storage root (environment, then the working directory's
// config.json, then a default) and opens the storage tree there once per request; a tree that
// is not there is never made here.
#include "oci/oci_common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cgi/bv_cgi.h"
#include "oci/oci_internal.h"
#include "storage/reg_storage.h"

namespace {

// Set once the engine has accepted a root; a failed attempt leaves it 0 so the next call
// starts over from the environment and the file. Each request starts with it 0.
int s_storage_ready = 0;

// The engine reads its switches as the request's variables, like every other setting.
const char *request_variable(const char *name) {
    const char *value = cgi_env(name, "");
    return *value ? value : nullptr;
}

constexpr std::size_t config_cap = 2048;
constexpr const char default_root[] = "./registry_storage";

// Copies the storage root named in ./config.json into `root`, or leaves `root` untouched
// when the file is missing or names no usable root. Only the start of the file is read and
// only a text search is made: this runs in every request, and the keys sit at the top.
void root_from_config(char (&root)[oci_internal::storage_root_cap]) {
    std::FILE *f = std::fopen("config.json", "rb");
    if (!f) return;
    char buf[config_cap];
    std::memset(buf, 0, sizeof buf);
    std::size_t got = std::fread(buf, 1, config_cap - 1, f);
    std::fclose(f);
    buf[got] = '\0';

    // The patterns start with the quote, so "storage_root" never matches inside
    // "registry_storage_root", and a NUL in the file ends the searchable text.
    const char *key = std::strstr(buf, "\"storage_root\":");
    if (!key) key = std::strstr(buf, "\"registry_storage_root\":");
    if (!key) return;
    const char *colon = std::strchr(key, ':');
    const char *open = std::strchr(colon + 1, '"');
    if (!open) return;
    const char *close = std::strchr(open + 1, '"');
    if (!close) return;

    // Escapes are not decoded: the value is the raw text between the quotes.
    std::size_t len = static_cast<std::size_t>(close - (open + 1));
    if (len > oci_internal::storage_root_cap - 1) return;
    std::memcpy(root, open + 1, len);
    root[len] = '\0';
}

}  // namespace

namespace oci_internal {

void pick_storage_root(char (&root)[storage_root_cap]) {
    std::memset(root, 0, storage_root_cap);
    const char *env = cgi_env("REGISTRY_STORAGE_ROOT", "");
    if (*env) bv_strlcpy(root, env, storage_root_cap);
    else root_from_config(root);
    if (root[0] == '\0') bv_strlcpy(root, default_root, storage_root_cap);
}

// The engine's state, the root and its settings included, is the previous request's: a
// process serving many requests opens the storage afresh for each, as a CGI process does.
void begin_request() {
    s_storage_ready = 0;
    reg_storage_end_request();
}

}  // namespace oci_internal

extern "C" int oci_init_storage(void) {
    if (s_storage_ready) return 0;
    char root[oci_internal::storage_root_cap];
    oci_internal::pick_storage_root(root);
    reg_storage_set_env_lookup(request_variable);
    int rc = reg_storage_open(root);
    if (rc == 0) s_storage_ready = 1;
    return rc;
}

extern "C" void oci_storage_root(char *out, size_t cap) {
    if (!out || cap == 0) return;
    char root[oci_internal::storage_root_cap];
    oci_internal::pick_storage_root(root);
    bv_strlcpy(out, root, cap);
}
