// Storage engine core: the process-wide state, making a tree on purpose and opening one that
// is there, clean-up, the last-error slot and the readiness test that every operation runs
// first.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "platform/bv_platform.h"
#include "platform/bv_platform_file.h"
#include "platform/bv_platform_fs.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace reg_internal {

char s_root[kRootSize];
int s_ready;
char s_error[kErrorSize];
char s_result[kResultSize];
reg_error_kind s_error_kind;

void set_error(reg_error_kind kind, const char *fmt, ...) {
    s_error_kind = kind;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(s_error, sizeof s_error, fmt, ap);
    va_end(ap);
}

void set_write_error(const char *fmt, ...) {
    char what[kErrorSize];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(what, sizeof what, fmt, ap);
    va_end(ap);
    // A full disk is the operator's to fix, not a fault: the client learns which it is.
    if (bv_platform::out_of_space(s_write_errno))
        set_error(REG_ERR_NO_SPACE, "the registry's storage is full (%s)", what);
    else
        set_error(REG_ERR_IO, "%s", what);
}

int require_ready() {
    s_write_errno = 0;
    if (s_ready) return 0;
    set_error(REG_ERR_NOT_READY, "not initialized - call reg_storage_init first");
    return -1;
}

int require_repo(const char *repo_name) {
    if (require_ready() != 0) return -1;
    if (repo_name_valid(repo_name)) return 0;
    set_error(REG_ERR_NAME_INVALID, "invalid repository name");
    return -1;
}

int require_repo_digest(const char *repo_name, const char *digest) {
    if (require_repo(repo_name) != 0) return -1;
    if (digest_valid(digest)) return 0;
    set_error(REG_ERR_DIGEST_INVALID, "invalid digest");
    return -1;
}

namespace {

constexpr char kStorageConfig[] =
    "{\n"
    "  \"schemaVersion\": 2,\n"
    "  \"title\": \"brindova-registry-storage\",\n"
    "  \"version\": \"1.0.0\",\n"
    "  \"maxUploadSize\": -1\n"
    "}\n";

}  // namespace
}  // namespace reg_internal

using namespace reg_internal;

namespace {

// The root whose tree the last initialisation found or made whole, until reg_storage_cleanup. A
// process serving many requests ends each with reg_storage_end_request and opens the same root
// for the next: the tree it just saw is taken as still there, while the settings are read afresh.
char s_tree_root[kRootSize];

// The root and the folders below it that every operation expects.
int make_tree() {
    if (!dir_exists(s_root) && mkdirs(s_root) != 0) {
        set_write_error("cannot create the storage root");
        return -1;
    }
    char path[kPathSize];
    // blobs/sha512 and the like come with their first blob; trees made before them lack them.
    const auto sha256_blobs_dir = [](char *out, size_t out_size) { blobs_dir("sha256", out, out_size); };
    using dir_path_fn = void (*)(char *, size_t);
    for (dir_path_fn dir : {static_cast<dir_path_fn>(sha256_blobs_dir),
                            static_cast<dir_path_fn>(repos_dir),
                            static_cast<dir_path_fn>(uploads_dir)}) {
        dir(path, sizeof path);
        if (!dir_exists(path) && mkdirs(path) != 0) {
            set_write_error("cannot create the storage tree");
            return -1;
        }
    }
    return 0;
}

// Takes `root` as the engine's root (one trailing separator dropped): 0, or -1 with the message.
int take_root(const char *root) {
    if (!root || !*root) {
        set_error(REG_ERR_ARGUMENT, "storage root dir is empty");
        return -1;
    }
    if (s_ready) reg_storage_cleanup();
    s_write_errno = 0;
    const size_t n = std::strlen(root);
    if (n >= kRootSize) {
        set_error(REG_ERR_ARGUMENT, "storage root dir too long (max 3499 chars)");
        return -1;
    }
    std::memcpy(s_root, root, n + 1);
    if (s_root[n - 1] == bv_platform::path_sep) s_root[n - 1] = '\0';
    return 0;
}

// Reads the switches of the tree at s_root and makes the engine ready: 0 or -1.
int become_ready(const char *config, const bv_platform::file_identity *seen = nullptr) {
    if (settings_load(config, seen) != 0) return -1;
    s_ready = 1;
    s_error[0] = '\0';
    s_error_kind = REG_OK;
    return 0;
}

}  // namespace

extern "C" int reg_storage_init(const char *root) {
    if (take_root(root) != 0) return -1;
    // A tree this process found whole for the same root a moment ago is not looked over again.
    if (std::strcmp(s_root, s_tree_root) != 0) {
        s_tree_root[0] = '\0';
        if (make_tree() != 0) return -1;
        std::memcpy(s_tree_root, s_root, std::strlen(s_root) + 1);
    }
    char path[kPathSize];
    // The first start writes the file with the defaults (durably, unless the environment
    // says otherwise); later starts only read it, so an operator's edits are never undone.
    if (settings_early_durability() != 0) return -1;
    config_path(path, sizeof path);
    if (!file_exists(path) && write_file(path, kStorageConfig, sizeof kStorageConfig - 1) != 0) {
        set_write_error("write config.json failed");
        return -1;
    }
    return become_ready(path);
}

// Every tree ever made has its config.json, so a root without one is no tree: an empty or
// unmounted volume's mount point, a mistyped path, a tree removed. Serving it would store
// pushes where nobody looks, so it is refused until someone makes the tree on purpose.
extern "C" int reg_storage_open(const char *root) {
    if (take_root(root) != 0) return -1;
    char path[kPathSize];
    config_path(path, sizeof path);
    // One look at the file both proves the tree there and tells whether the switches read
    // from it last still hold.
    bv_platform::file_identity seen;
    if (bv_platform::identify(path, &seen) != bv_platform::path_kind::file) {
        s_tree_root[0] = '\0';
        if (!dir_exists(s_root))
            set_error(REG_ERR_NO_TREE, "the storage root does not exist; "
                                       "create the storage tree with registry-init");
        else
            set_error(REG_ERR_NO_TREE, "the storage root holds no storage tree (no config.json); "
                                       "create it with registry-init");
        return -1;
    }
    return become_ready(path, &seen);
}

extern "C" void reg_storage_end_request(void) {
    s_ready = 0;
    s_settings = kDefaultSettings;
    s_root[0] = '\0';
    s_error[0] = '\0';
    s_error_kind = REG_OK;
    s_result[0] = '\0';
}

extern "C" void reg_storage_cleanup(void) {
    reg_storage_end_request();
    settings_forget_file();
    s_tree_root[0] = '\0';
}

extern "C" const char *reg_storage_last_error(void) { return s_error; }

extern "C" reg_error_kind reg_storage_last_error_kind(void) { return s_error_kind; }
