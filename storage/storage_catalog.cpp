// The catalog index: the sorted names of every repository in one file beside repositories/, so
// that a catalog page costs a binary search and the page's own names rather than a walk of the
// whole tree. Reading, building by a walk, adding a name when a push makes a repository, and
// the collector's rewrite; the rules that keep it trustworthy are rule 8 of storage_internal.h.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/bv_platform_file.h"
#include "platform/bv_platform_fs.h"
#include "platform/bv_platform_stream.h"
#include "storage/storage_internal.h"

namespace reg_internal {

namespace {

// The first line of every index this version writes. An index that starts otherwise (another
// version's, or damaged) is never read: the walk answers and the index is built again.
constexpr char kIndexHeader[] = "bv-catalog-index 1\n";
constexpr size_t kHeaderLen = sizeof kIndexHeader - 1;
constexpr size_t kMaxNameLen = 255;   // repository names, as repo_name_valid allows them
constexpr size_t kSpan = 2 * (kMaxNameLen + 1);  // enough to hold any whole line and its start

// An open index, read by spans at offsets. Every name is checked as it is read: a line that
// is too long, not a repository name, or out of order makes the whole index untrusted.
class index_reader {
public:
    ~index_reader() {
        if (file_) std::fclose(file_);
    }
    // false when there is no index or its header, size or last byte is wrong.
    bool open() {
        char path[kPathSize];
        catalog_index_path(path, sizeof path);
        const int64_t size = file_size(path);
        if (size < static_cast<int64_t>(kHeaderLen)) return false;
        file_ = bv_platform::open_read(path);
        if (!file_) return false;
        size_ = size;
        char head[kHeaderLen];
        char tail = '\n';
        return read(0, head, kHeaderLen) == kHeaderLen &&
               std::memcmp(head, kIndexHeader, kHeaderLen) == 0 &&
               read(size_ - 1, &tail, 1) == 1 && tail == '\n';
    }

    // The offset of the first line whose name sorts after `key` (`with_key`: or is `key`; the
    // end when none does), by a binary search over byte offsets: -1 when a line read on the way
    // is not to be trusted.
    int64_t first_from(const char *key, bool with_key) {
        int64_t lo = kHeaderLen;
        int64_t hi = size_;
        // Lines that start before lo hold names before the first wanted one, lines from hi on
        // the wanted ones.
        while (lo < hi) {
            const int64_t mid = lo + (hi - lo) / 2;
            const int64_t start = line_start(mid);
            if (start < 0) return -1;
            if (start >= hi) {
                hi = mid;
                continue;
            }
            char name[kMaxNameLen + 1];
            const int64_t next = line_at(start, name);
            if (next < 0) return -1;
            const int order = str_cmp(name, key);
            if (order < 0 || (order == 0 && !with_key)) lo = next;
            else hi = mid;
        }
        return line_start(std::min(lo, hi));
    }

    // The name of the line at `start` into name (checked), and the offset of the next line:
    // -1 when the line is not to be trusted.
    int64_t line_at(int64_t start, char (&name)[kMaxNameLen + 1]) {
        char span[kMaxNameLen + 1];
        const size_t got = read(start, span, sizeof span);
        const void *end = std::memchr(span, '\n', got);
        if (!end) return -1;
        const size_t len = static_cast<size_t>(static_cast<const char *>(end) - span);
        std::memcpy(name, span, len);
        name[len] = '\0';
        if (!repo_name_valid(name) || std::strchr(name, '\\')) return -1;
        return start + static_cast<int64_t>(len) + 1;
    }

    int64_t size() const { return size_; }

private:
    // The first line start at or after `pos`: -1 when no line end is near enough.
    int64_t line_start(int64_t pos) {
        if (pos <= static_cast<int64_t>(kHeaderLen)) return kHeaderLen;
        if (pos >= size_) return size_;
        char span[kSpan];
        const size_t got = read(pos - 1, span, sizeof span);
        const void *end = std::memchr(span, '\n', got);
        if (!end) return -1;
        return pos + (static_cast<const char *>(end) - span);
    }

    size_t read(int64_t at, void *buf, size_t len) {
        if (bv_platform::seek_to(file_, at) != 0) return 0;
        return std::fread(buf, 1, len, file_);
    }

    std::FILE *file_ = nullptr;
    int64_t size_ = 0;
};

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

// Writes the sorted names as the index: 0, or -1 with no index left behind (a stale one would
// hide what it lacks). A name added for a push is flushed before the push is answered
// (`synced`); a full rewrite need not be: lost, it leaves the index it replaced, which holds
// every name it held, or none to trust, and the walk answers.
int write_index(const name_list &names, bool synced) {
    std::string text(kIndexHeader);
    for (size_t i = 0; i < names.count(); ++i) {
        text += names.at(i);
        text += '\n';
    }
    char path[kPathSize];
    catalog_index_path(path, sizeof path);
    const int written = synced ? write_file(path, text.data(), text.size())
                               : write_file_unsynced(path, text.data(), text.size());
    if (written == 0) return 0;
    drop_file(path);
    return -1;
}

// Every name of a trusted index into out, in order: 1, 0 when there is no trusted index
// (missing, another version's, damaged or out of order), -1 when memory runs out.
int read_all(name_list *out) {
    index_reader reader;
    if (!reader.open()) return 0;
    char name[kMaxNameLen + 1];
    char prev[kMaxNameLen + 1] = "";
    for (int64_t at = kHeaderLen; at < reader.size();) {
        at = reader.line_at(at, name);
        if (at < 0 || (out->count() > 0 && str_cmp(prev, name) >= 0)) return 0;
        if (!out->add(name)) return -1;
        std::memcpy(prev, name, sizeof prev);
    }
    return 1;
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

// Whether the trusted index holds `name`: 1, 0 when it does not, -1 when there is no index to
// trust.
int index_holds(const char *name) {
    index_reader reader;
    if (!reader.open()) return -1;
    const int64_t at = reader.first_from(name, true);
    if (at < 0) return -1;
    if (at >= reader.size()) return 0;
    char found[kMaxNameLen + 1];
    if (reader.line_at(at, found) < 0) return -1;
    return std::strcmp(found, name) == 0 ? 1 : 0;
}

}  // namespace

int catalog_index_page(const char *last, size_t want, name_list *out) {
    index_reader reader;
    if (!reader.open()) return 0;
    int64_t at = reader.first_from(last ? last : "", false);
    if (at < 0) return 0;
    char name[kMaxNameLen + 1];
    char prev[kMaxNameLen + 1];
    std::snprintf(prev, sizeof prev, "%s", last ? last : "");
    // A name that is no repository any more (removed by hand, or by the collector since the
    // index was written) is passed over: the index may only hold too many names, never too few.
    while (at < reader.size() && out->count() < want) {
        at = reader.line_at(at, name);
        if (at < 0 || str_cmp(prev, name) >= 0) return 0;
        std::memcpy(prev, name, sizeof prev);
        if (repo_exists(name) && !out->add(name)) return -1;
    }
    return 1;
}

int catalog_index_build(name_list *out) {
    index_lock lock;
    return build_locked(out, lock.acquire() == 0);
}

int catalog_index_note(const char *repo_name) {
    char name[kMaxNameLen + 1];
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
    const char *const *begin = names.names();
    const char *const *end = begin + names.count();
    const char *const *it = std::lower_bound(
        begin, end, name, [](const char *a, const char *b) { return str_cmp(a, b) < 0; });
    if (it != end && std::strcmp(*it, name) == 0) return 0;
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
