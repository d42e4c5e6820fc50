// Storage statistics: repositories, tags, blobs and open uploads counted by walking the tree on
// every call, with the bytes held by blobs and uploads, reported as one JSON document.
#include <cstdio>

#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace reg_internal {

int count_repos() {
    name_list repos;
    if (collect_repositories(&repos) != 0) return -1;
    return static_cast<int>(repos.count());
}

int64_t count_blobs(int *out_count) {
    int count = 0;
    int64_t total = 0;
    const int walked = for_each_blob_fanout([&](const char *, const char *fanout,
                                                const dir_listing &entries) {
        for (size_t j = 0; j < entries.count(); ++j) {
            if (entries.is_dir(j)) continue;
            char path[kPathSize];
            stats_blob_path(fanout, entries.name(j), path, sizeof path);
            const int64_t size = file_size(path);
            if (size > 0) total += size;
            ++count;
        }
        return 0;
    });
    if (out_count) *out_count = count;
    return walked != 0 ? -1 : total;
}

int count_tags() {
    name_list repos;
    if (collect_repositories(&repos) != 0) return -1;
    int count = 0;
    for (size_t i = 0; i < repos.count(); ++i) {
        name_list tags;
        if (collect_tag_names(repos.at(i), &tags) != 0) return -1;
        for (size_t j = 0; j < tags.count(); ++j)
            if (tag_link_readable(repos.at(i), tags.at(j))) ++count;
    }
    return count;
}

int count_uploads(int64_t *out_bytes) {
    if (out_bytes) *out_bytes = 0;
    char dir[kPathSize];
    uploads_dir(dir, sizeof dir);
    dir_listing listing;
    const int listed = list_dir(dir, &listing);
    if (listed == kListNoMemory) return -1;
    if (listed != 0) return 0;
    int count = 0;
    int64_t total = 0;
    for (size_t i = 0; i < listing.count(); ++i) {
        // A hash state and an owner record belong to their upload and are no uploads of their own.
        const char *name = listing.name(i);
        if (listing.is_dir(i) || is_upload_hash_name(name) || is_upload_owner_name(name)) continue;
        char path[kPathSize];
        stats_upload_path(name, path, sizeof path);
        const int64_t size = file_size(path);
        if (size > 0) total += size;
        ++count;
    }
    if (out_bytes) *out_bytes = total;
    return count;
}

}  // namespace reg_internal

using namespace reg_internal;

extern "C" const char *reg_storage_get_stats_json(void) {
    if (require_ready() != 0) return nullptr;
    const int repositories = count_repos();
    int blobs = 0;
    const int64_t blob_bytes = count_blobs(&blobs);
    const int tags = count_tags();
    int64_t upload_bytes = 0;
    const int uploads = count_uploads(&upload_bytes);
    // Counts that stopped short would be wrong numbers, not smaller ones.
    if (repositories < 0 || blob_bytes < 0 || tags < 0 || uploads < 0) {
        set_error(REG_ERR_IO, "out of memory");
        return nullptr;
    }
    std::snprintf(s_result, kResultSize,
                  "{\"version\":\"1.0.0\",\"repositories\":%d,\"tags\":%d,\"blobs\":%d,"
                  "\"blob_bytes\":%lld,\"active_uploads\":%d,\"upload_bytes\":%lld}",
                  repositories, tags, blobs, static_cast<long long>(blob_bytes), uploads,
                  static_cast<long long>(upload_bytes));
    return s_result;
}
