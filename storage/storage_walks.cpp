// Which directories of the tree are repositories and which entries are tags: the walk that
// finds every repository, nested ones included, the tag-name scan of one repository, the
// repository existence test, and the search for a repository that links a blob. The catalog,
// the tag list, the statistics and mounts share them.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace reg_internal {

namespace {

constexpr size_t kMaxNameLen = 255;  // repository names, as repo_name_valid allows them

// Lists `dir`; 0 also when it cannot be read (it then holds nothing), -1 when memory ran out.
int list_or_nothing(const char *dir, dir_listing *listing) {
    return list_dir(dir, listing) == kListNoMemory ? -1 : 0;
}

}  // namespace

int repo_exists(const char *repo_name) {
    char dir[kPathSize];
    manifests_dir(repo_name, dir, sizeof dir);
    if (dir_exists(dir)) return 1;
    repo_layers_dir(repo_name, dir, sizeof dir);
    return dir_exists(dir);
}

// Depth first, with the directories still to read kept on a heap stack rather than the call
// stack: a name of 255 bytes may nest 128 levels deep. Names are checked as they are made, so
// the walk never enters a "_" directory (repo_name_valid refuses such components) and never
// builds a name longer than any repository could have.
int collect_repositories(name_list *out) {
    name_list pending;
    dir_listing listing;
    char dir[kPathSize];
    repos_dir(dir, sizeof dir);
    if (list_or_nothing(dir, &listing) != 0) return -1;
    for (size_t i = 0; i < listing.count(); ++i) {
        if (!listing.is_dir(i) || !repo_name_valid(listing.name(i))) continue;
        if (!pending.add(listing.name(i))) return -1;
    }

    while (pending.count() > 0) {
        char *name = pending.pop();
        repo_dir(name, dir, sizeof dir);
        int failed = list_or_nothing(dir, &listing);
        bool is_repo = false;
        const size_t len = std::strlen(name);
        for (size_t i = 0; failed == 0 && i < listing.count(); ++i) {
            if (!listing.is_dir(i)) continue;
            const char *entry = listing.name(i);
            if (is_repo_marker(entry)) {
                is_repo = true;
                continue;
            }
            if (len + 1 + std::strlen(entry) > kMaxNameLen) continue;
            char child[kMaxNameLen + 1];
            std::snprintf(child, sizeof child, "%s/%s", name, entry);
            if (repo_name_valid(child) && !pending.add(child)) failed = -1;
        }
        if (failed == 0 && is_repo && !out->add(name)) failed = -1;
        std::free(name);
        if (failed != 0) return -1;
    }
    return 0;
}

int collect_tag_names(const char *repo_name, name_list *out) {
    char dir[kPathSize];
    tag_list_dir(repo_name, dir, sizeof dir);
    dir_listing listing;
    if (list_or_nothing(dir, &listing) != 0) return -1;
    for (size_t i = 0; i < listing.count(); ++i) {
        // Only names a put could have made: anything else cannot be fetched as a tag.
        if (!listing.is_dir(i) || !reg_tag_valid(listing.name(i))) continue;
        if (!out->add(listing.name(i))) return -1;
    }
    return 0;
}

bool tag_link_readable(const char *repo_name, const char *tag) {
    char link[kPathSize];
    char content[128];
    manifest_tag_path(repo_name, tag, link, sizeof link);
    return read_file(link, content, sizeof content, nullptr) == 0;
}

}  // namespace reg_internal

using namespace reg_internal;

extern "C" int reg_repo_exists(const char *repo_name) {
    if (!repo_name) {
        set_error(REG_ERR_ARGUMENT, "repo_name is NULL");
        return -1;
    }
    if (require_repo(repo_name) != 0) return -1;
    return repo_exists(repo_name);
}

extern "C" int reg_blob_find_linking_repo(const char *digest, reg_repo_fn accept, void *ctx,
                                          char *out_repo) {
    if (!digest || !accept || !out_repo) {
        set_error(REG_ERR_ARGUMENT, "NULL argument");
        return -1;
    }
    out_repo[0] = '\0';
    if (require_ready() != 0) return -1;
    if (!digest_valid(digest)) {
        set_error(REG_ERR_DIGEST_INVALID, "invalid digest");
        return -1;
    }
    name_list repos;
    if (collect_repositories(&repos) != 0) {
        set_error(REG_ERR_IO, "out of memory");
        return -1;
    }
    repos.sort();
    for (size_t i = 0; i < repos.count(); ++i) {
        const char *name = repos.at(i);
        // A link that cannot be read counts as none: another repository may still serve.
        if (reg_blob_linked(name, digest) != 1 || !accept(ctx, name)) continue;
        std::snprintf(out_repo, kMaxNameLen + 1, "%s", name);
        return 1;
    }
    return 0;
}
