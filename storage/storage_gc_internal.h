// The collector as its files share it: the mark of what each repository keeps and the entry
// point (storage_gc.cpp), the sweeps of links and of the blob store (storage_gc_sweep.cpp), and
// the removal of what unfinished writes left (storage_gc_leftovers.cpp). Not public.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/bv_platform_time.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace reg_internal::gc {

// A directory entry named like a digest's digits, of either algorithm.
inline bool hex_name(const char *name) {
    char digest[kDigestSize];
    digest_from_hex(name, digest, sizeof digest);
    return digest_valid(digest) != 0;
}

// A directory entry named like the digits of a digest of `algorithm`.
inline bool hex_name_of(const char *name, const char *algorithm) {
    return hex_name(name) && std::strcmp(hex_algorithm(name), algorithm) == 0;
}

inline bool ends_with(const char *text, const char *suffix, size_t *stem_len) {
    const size_t n = std::strlen(text);
    const size_t m = std::strlen(suffix);
    if (n < m || std::strcmp(text + n - m, suffix) != 0) return false;
    *stem_len = n - m;
    return true;
}

// One stored manifest of the repository being collected, with what its body names.
struct manifest_node {
    std::string hex;
    std::vector<std::string> blobs;     // configs and layers, as their digits
    std::vector<std::string> children;  // index children
    std::vector<std::string> subjects;  // none, one, or more where the body repeats "subject"
    int64_t bytes = 0;
    bool parsed = false;
    bool young = false;
    bool kept = false;
};

// One collection over the whole tree. Its members are defined in the three files named above,
// each with the phase it serves.
class collector {
public:
    collector(const reg_gc_options &opts, reg_gc_result &res)
        : opts_(opts), res_(res), now_(bv_platform::now_seconds()) {}

    int run();

private:
    BV_PRINTF_FORMAT(3, 4)
    void item(const char *kind, const char *fmt, ...) {
        if (!opts_.on_item) return;
        char line[kPathSize];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(line, sizeof line, fmt, ap);
        va_end(ap);
        opts_.on_item(opts_.ctx, kind, line);
    }
    void progress(const char *phase, size_t done, size_t total) {
        if (opts_.on_progress) opts_.on_progress(opts_.ctx, phase, done, total);
    }
    // Younger than `grace` seconds, or of unknown age (which counts as young: kept).
    bool young(const char *path, int64_t grace) const {
        const int64_t mtime = bv_platform::mtime_of(path);
        return mtime < 0 || now_ - mtime < grace;
    }

    bool scan_dir(const char *dir, const char *wanted, int *left_young = nullptr,
                  int *removed = nullptr);
    bool drop_unfinished(const char *dir, const char *name);
    void sweep_manifest_dirs(const char *repo, const dir_listing &manifests);
    int repository(const char *repo);
    void keep_closure(const char *repo, std::vector<manifest_node> &nodes);
    void drop_manifests(const char *repo, std::vector<manifest_node> &nodes);
    int sweep_links(const char *repo, const std::unordered_set<std::string> &refs, bool unsure);
    void sweep_link(const char *repo, const char *hex, const std::unordered_set<std::string> &refs,
                    bool unsure);
    int sweep_blobs();
    int sweep_fanout(const char *algorithm, const char *fanout_name, const name_list &repos);
    void drop_blob(const char *hex, const char *path, int64_t size, const name_list &repos);
    void settle_parked(const name_list &repos);
    bool linked_anywhere(const char *hex, const name_list &repos) const;
    int sweep_uploads();

    const reg_gc_options &opts_;
    reg_gc_result &res_;
    const int64_t now_;
    std::unordered_set<std::string> marked_;  // blobs named by a kept manifest
    std::unordered_set<std::string> linked_;  // blobs named by a link that stays
    size_t link_dirs_ = 0;                    // link directories seen, in all repositories
    struct parked_blob {
        std::string hex;
        std::string path;
        int64_t size;
    };
    std::vector<parked_blob> parked_;         // parked, awaiting the last look for links
    std::vector<std::string> fanouts_;        // fan-out directories that may have emptied
};

}  // namespace reg_internal::gc
