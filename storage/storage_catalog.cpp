// The catalog index: the sorted names of every repository in one file beside repositories/, so
// that a catalog page costs a binary search and the page's own names rather than a walk of the
// whole tree. Reading, building by a walk, adding a name when a push makes a repository, and
// the collector's rewrite; the rules that keep it trustworthy are rule 8 of storage_internal.h.
#include <cstdio>
#include <cstring>

#include "platform/bv_platform_fs.h"
#include "storage/storage_internal.h"

namespace reg_internal {

namespace {

// Lines hold repository names with '/' alone between components. The header is the first line
// of every index this version writes: an index that starts otherwise (another version's, or
// damaged) is never read; the walk answers and the index is built again.
bool catalog_name(const char *name) { return repo_name_valid(name) && !std::strchr(name, '\\'); }
constexpr name_index_form kCatalogForm = {"bv-catalog-index 1\n", 255, catalog_name};

bool repo_present(const void *, const char *name) { return repo_exists(name) != 0; }

// The index's lock (a lock_file of its own, never taken while a repository lock is held and
// never holding one), and the mark a full rewrite leaves while it decides what the index holds.
class index_lock {
public:
    int acquire() {
        char path[kPathSize];
        catalog_lock_path(path, sizeof path);
        return file_.acquire(path) ? 0 : -1;
    }
private:
    bv_platform::lock_file file_;
};

bool rewrite_marked() {
    char path[kPathSize];
    catalog_rewrite_mark_path(path, sizeof path);
    return file_exists(path) != 0;
}

void set_rewrite_mark(bool on) {
    char path[kPathSize];
    catalog_rewrite_mark_path(path, sizeof path);
    if (on) write_file_unsynced(path, "", 0);
    else drop_file(path);
}

void drop_index() {
    char path[kPathSize];
    catalog_index_path(path, sizeof path);
    drop_file(path);
}

// The sorted names as the index: 0, or -1 with no index left behind. A name added for a push
// is flushed before the push is answered (`synced`); a full rewrite need not be: lost, it
// leaves the index it replaced, which holds every name it held, or none to trust, and the walk
// answers.
int write_index(const name_list &names, bool synced) {
    char path[kPathSize];
    catalog_index_path(path, sizeof path);
    return name_index_write(path, kCatalogForm, names, synced);
}

int read_all(name_list *out) {
    char path[kPathSize];
    catalog_index_path(path, sizeof path);
    return name_index_read_all(path, kCatalogForm, out);
}

// The walk's sorted names into out, written as the index unless the storage is read-only.
// Called with the index lock held (or none to be had); the mark makes every push that finds its
// name in the old index meanwhile come back for the lock. 0, or -1 when memory runs out.
int build_locked(name_list *out, bool locked) {
    const bool writing = locked && !s_settings.read_only;
    if (writing) set_rewrite_mark(true);
    const int walked = collect_repositories(out);
    if (walked == 0) out->sort();
    if (writing) {
        if (walked != 0 || write_index(*out, false) != 0) drop_index();
        set_rewrite_mark(false);
    }
    return walked;
}

int index_holds(const char *name) {
    char path[kPathSize];
    catalog_index_path(path, sizeof path);
    return name_index_holds(path, kCatalogForm, name);
}

}  // namespace

int catalog_index_page(const char *last, size_t want, name_list *out) {
    char path[kPathSize];
    catalog_index_path(path, sizeof path);
    return name_index_page(path, kCatalogForm, last, want, repo_present, nullptr, out);
}

int catalog_index_build(name_list *out) {
    index_lock lock;
    return build_locked(out, lock.acquire() == 0);
}

int catalog_index_note(const char *repo_name) {
    char name[kIndexNameMax + 1];
    std::snprintf(name, sizeof name, "%s", repo_name);
    for (char *p = name; *p; ++p)
        if (*p == '\\') *p = '/';
    if (s_settings.read_only) return 0;
    // Found without the lock, and no full rewrite marked: done. The mark is looked at after the
    // repository was made and before the index is read, so a rewrite marked later walks a tree
    // that holds the repository, one unmarked earlier wrote the index that is read, and one
    // under way sends this call to the lock, behind it.
    if (!rewrite_marked() && index_holds(name) == 1) return 0;

    index_lock lock;
    name_list names;
    const int read = lock.acquire() == 0 ? read_all(&names) : -1;
    if (read < 0) {
        set_write_error("cannot list repository %s in the catalog", name);
        return -1;
    }
    // No index (or none to trust): the next page builds it, by a walk that comes after this
    // repository was made.
    if (read == 0) {
        drop_index();
        return 0;
    }
    if (name_list_holds(names, name)) return 0;
    if (!names.add(name)) {
        set_error(REG_ERR_IO, "out of memory");
        return -1;
    }
    names.sort();
    if (write_index(names, true) == 0 || !catalog_index_exists()) return 0;
    set_write_error("cannot list repository %s in the catalog", name);
    return -1;
}

int catalog_index_rewrite() {
    if (s_settings.read_only) return 0;
    index_lock lock;
    if (lock.acquire() != 0) return -1;
    name_list names;
    return build_locked(&names, true);
}

bool catalog_index_exists() {
    char path[kPathSize];
    catalog_index_path(path, sizeof path);
    return file_exists(path) != 0;
}

}  // namespace reg_internal
