// The tag index of each repository: its tags' names, sorted, in one file beside the tags
// directory, so that a tag-list page costs a binary search and the page's own names rather
// than a listing and sort of every tag. Reading a page, building by a walk under the
// repository's lock, adding the tags a push sets and dropping the ones a delete removes; the
// rules that keep it trustworthy are rule 8 of storage_internal.h.
#include <cctype>
#include <cstring>

#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace reg_internal {

namespace {

// The header is the first line of every tag index this version writes: an index that starts
// otherwise is never read, and the walk answers and builds it again.
bool tag_name(const char *name) { return reg_tag_valid(name) != 0; }
constexpr name_index_form kTagForm = {"bv-tag-index 1\n", 128, tag_name};

bool tag_present(const void *repo_name, const char *tag) {
    return tag_link_readable(static_cast<const char *>(repo_name), tag);
}

bool same_ignoring_case(const char *a, const char *b) {
    for (; *a && *b; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) !=
            std::tolower(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

// The name the walk lists for `tag`'s directory: the tag itself, unless its directory is there
// already under another spelling (a file system that folds case makes "Latest" the directory
// "latest"), whose name a listing then shows. Only a tag directory that exists without being
// indexed (a tag deleted and set again, or such a twin) costs a listing. 0, or -1 when memory
// runs out.
int spelling_on_disk(const char *repo_name, const char *tag, name_list *out) {
    char dir[kPathSize];
    manifest_tag_dir(repo_name, tag, dir, sizeof dir);
    if (!dir_exists(dir)) return out->add(tag) ? 0 : -1;
    name_list on_disk;
    if (collect_tag_names(repo_name, &on_disk) != 0) return -1;
    const char *found = tag;
    for (size_t i = 0; i < on_disk.count(); ++i) {
        if (std::strcmp(on_disk.at(i), tag) == 0) {
            found = tag;
            break;
        }
        if (same_ignoring_case(on_disk.at(i), tag)) found = on_disk.at(i);
    }
    return out->add(found) ? 0 : -1;
}

// Adds to `added` each name of first and tags[0..count) that the sorted `held` lacks, once,
// as a listing would spell it: 0, or -1 when memory runs out.
int missing_names(const char *repo_name, const name_list &held, const char *first,
                  const char *const *tags, size_t count, name_list *added) {
    for (size_t i = first ? 0 : 1; i <= count; ++i) {
        name_list spelled;
        if (spelling_on_disk(repo_name, i == 0 ? first : tags[i - 1], &spelled) != 0) return -1;
        const char *name = spelled.at(0);
        if (name_list_holds(held, name)) continue;
        bool twice = false;
        for (size_t j = 0; j < added->count() && !twice; ++j)
            twice = std::strcmp(added->at(j), name) == 0;
        if (!twice && !added->add(name)) return -1;
    }
    return 0;
}

}  // namespace

int tag_index_page(const char *repo_name, const char *last, size_t want, name_list *out) {
    char path[kPathSize];
    tag_index_path(repo_name, path, sizeof path);
    return name_index_page(path, kTagForm, last, want, tag_present, repo_name, out);
}

int tag_index_build(const char *repo_name, name_list *out) {
    // Under the repository's lock no tag is set or removed, so the index written is exactly
    // the tags the walk saw, and a push after it finds the index to add to.
    repo_lock lock;
    char dir[kPathSize];
    manifests_dir(repo_name, dir, sizeof dir);
    const bool writing =
        !s_settings.read_only && dir_exists(dir) && lock.acquire(repo_name) == 0;
    name_list dirs;
    if (collect_tag_names(repo_name, &dirs) != 0) return -1;
    dirs.sort();
    for (size_t i = 0; i < dirs.count(); ++i)
        if (tag_link_readable(repo_name, dirs.at(i)) && !out->add(dirs.at(i))) return -1;
    if (writing) {
        char path[kPathSize];
        tag_index_path(repo_name, path, sizeof path);
        name_index_write(path, kTagForm, *out, true);
    }
    return 0;
}

int tag_index_note(const char *repo_name, const char *first, const char *const *tags,
                   size_t count) {
    if (s_settings.read_only) return 0;
    char path[kPathSize];
    tag_index_path(repo_name, path, sizeof path);
    // Every tag found by a binary search: nothing to write (the common push, a tag moved).
    bool all_held = true;
    for (size_t i = first ? 0 : 1; i <= count && all_held; ++i) {
        const int held = name_index_holds(path, kTagForm, i == 0 ? first : tags[i - 1]);
        if (held < 0) {
            // None to trust: the next page builds one by a walk that sees these tags.
            drop_file(path);
            return 0;
        }
        all_held = held == 1;
    }
    if (all_held) return 0;

    name_list names;
    name_list added;
    const int read = name_index_read_all(path, kTagForm, &names);
    if (read == 0) {
        drop_file(path);
        return 0;
    }
    if (read < 0 || missing_names(repo_name, names, first, tags, count, &added) != 0) {
        set_error(REG_ERR_IO, "out of memory");
        return -1;
    }
    if (added.count() == 0) return 0;
    for (size_t i = 0; i < added.count(); ++i) {
        if (!names.add(added.at(i))) {
            set_error(REG_ERR_IO, "out of memory");
            return -1;
        }
    }
    names.sort();
    if (name_index_write(path, kTagForm, names, true) == 0 || !file_exists(path)) return 0;
    set_write_error("cannot list the tags of %s", repo_name);
    return -1;
}

void tag_index_forget(const char *repo_name, const name_list &tags) {
    if (s_settings.read_only || tags.count() == 0) return;
    char path[kPathSize];
    tag_index_path(repo_name, path, sizeof path);
    name_list names;
    name_list removed;
    name_list kept;
    if (name_index_read_all(path, kTagForm, &names) != 1) return;
    bool whole = true;
    for (size_t i = 0; i < tags.count() && whole; ++i) whole = removed.add(tags.at(i));
    removed.sort();
    for (size_t i = 0; i < names.count() && whole; ++i)
        whole = name_list_holds(removed, names.at(i)) || kept.add(names.at(i));
    // Out of memory: no index rather than one that lists removed tags for ever.
    if (!whole) {
        drop_file(path);
        return;
    }
    if (kept.count() != names.count()) name_index_write(path, kTagForm, kept, true);
}

}  // namespace reg_internal
