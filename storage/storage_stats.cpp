// Storage statistics: repositories, tags, blobs and open uploads counted by walking the tree on
// every call, with the bytes held by blobs and uploads, reported as one JSON document.
#include <cstdio>

#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace reg_internal {

namespace {

// A walk holds at most two listings at once. At over 250 KiB each they stay off the stack,
// which is small on some platforms; the engine runs on one thread and the walks never nest.
dir_listing s_outer;
dir_listing s_inner;

}  // namespace

int count_repos() {
    char dir[kPathSize];
    repos_dir(dir, sizeof dir);
    if (list_dir(dir, &s_outer) != 0) return 0;
    int count = 0;
    for (int32_t i = 0; i < s_outer.count; ++i)
        if (s_outer.entries[i].is_dir) ++count;
    return count;
}

int64_t count_blobs(int *out_count) {
    int count = 0;
    int64_t total = 0;
    char dir[kPathSize];
    blobs_dir(dir, sizeof dir);
    if (list_dir(dir, &s_outer) == 0) {
        for (int32_t i = 0; i < s_outer.count; ++i) {
            if (!s_outer.entries[i].is_dir) continue;
            char fanout[kPathSize];
            stats_fanout_dir(s_outer.entries[i].name, fanout, sizeof fanout);
            if (list_dir(fanout, &s_inner) != 0) continue;
            for (int32_t j = 0; j < s_inner.count; ++j) {
                if (s_inner.entries[j].is_dir) continue;
                char path[kPathSize];
                stats_blob_path(fanout, s_inner.entries[j].name, path, sizeof path);
                const int64_t size = file_size(path);
                if (size > 0) total += size;
                ++count;
            }
        }
    }
    if (out_count) *out_count = count;
    return total;
}

int count_tags() {
    char dir[kPathSize];
    repos_dir(dir, sizeof dir);
    if (list_dir(dir, &s_outer) != 0) return 0;
    int count = 0;
    for (int32_t i = 0; i < s_outer.count; ++i) {
        if (!s_outer.entries[i].is_dir) continue;
        char tags[kPathSize];
        stats_repo_tags_dir(s_outer.entries[i].name, tags, sizeof tags);
        if (list_dir(tags, &s_inner) != 0) continue;
        for (int32_t j = 0; j < s_inner.count; ++j) {
            if (!s_inner.entries[j].is_dir) continue;
            // The same test as the tag list: a readable link file makes a tag.
            char link[kPathSize];
            char content[128];
            stats_tag_link_path(tags, s_inner.entries[j].name, link, sizeof link);
            if (read_file(link, content, sizeof content, nullptr) == 0) ++count;
        }
    }
    return count;
}

int count_uploads(int64_t *out_bytes) {
    if (out_bytes) *out_bytes = 0;
    char dir[kPathSize];
    uploads_dir(dir, sizeof dir);
    if (list_dir(dir, &s_outer) != 0) return 0;
    int count = 0;
    int64_t total = 0;
    for (int32_t i = 0; i < s_outer.count; ++i) {
        if (s_outer.entries[i].is_dir) continue;
        char path[kPathSize];
        stats_upload_path(s_outer.entries[i].name, path, sizeof path);
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
    std::snprintf(s_result, kResultSize,
                  "{\"version\":\"1.0.0\",\"repositories\":%d,\"tags\":%d,\"blobs\":%d,"
                  "\"blob_bytes\":%lld,\"active_uploads\":%d,\"upload_bytes\":%lld}",
                  repositories, tags, blobs, static_cast<long long>(blob_bytes), uploads,
                  static_cast<long long>(upload_bytes));
    return s_result;
}
