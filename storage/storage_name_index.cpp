// Sorted name indexes: a header line, then one name a line in bytewise order, so that a page
// costs a binary search and the page's own names rather than a listing of everything. The
// reading (every line checked), the page read, the whole read, the lookup, the insert and the
// rewrite; the catalog index and each repository's tag index keep their own policies on top.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/bv_platform_fs.h"
#include "platform/bv_platform_stream.h"
#include "storage/storage_internal.h"

namespace reg_internal {

namespace {

using index_name = char[kIndexNameMax + 1];

// An open index, read by spans at offsets. Every name is checked as it is read: a line that
// is too long, not a name of the index's kind, or out of order makes the whole index untrusted.
class index_reader {
public:
    explicit index_reader(const name_index_form &form)
        : form_(form), header_len_(static_cast<int64_t>(std::strlen(form.header))) {}
    ~index_reader() {
        if (file_) std::fclose(file_);
    }
    index_reader(const index_reader &) = delete;
    index_reader &operator=(const index_reader &) = delete;

    // false when there is no index at `path` or its header, size or last byte is wrong.
    bool open(const char *path) {
        const int64_t size = file_size(path);
        if (size < header_len_) return false;
        file_ = bv_platform::open_read(path);
        if (!file_) return false;
        size_ = size;
        char head[kIndexHeaderMax];
        char tail = '\n';
        const size_t len = static_cast<size_t>(header_len_);
        return len <= sizeof head && read(0, head, len) == len &&
               std::memcmp(head, form_.header, len) == 0 && read(size_ - 1, &tail, 1) == 1 &&
               tail == '\n';
    }

    // The offset of the first line whose name sorts after `key` (`with_key`: or is `key`; the
    // end when none does), by a binary search over byte offsets: -1 when a line read on the way
    // is not to be trusted.
    int64_t first_from(const char *key, bool with_key) {
        int64_t lo = header_len_;
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
            index_name name;
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
    int64_t line_at(int64_t start, index_name &name) {
        char span[kIndexNameMax + 1];
        const size_t got = read(start, span, form_.max_len + 1);
        const void *end = std::memchr(span, '\n', got);
        if (!end) return -1;
        const size_t len = static_cast<size_t>(static_cast<const char *>(end) - span);
        std::memcpy(name, span, len);
        name[len] = '\0';
        if (len == 0 || !form_.valid(name)) return -1;
        return start + static_cast<int64_t>(len) + 1;
    }

    int64_t begin() const { return header_len_; }
    int64_t size() const { return size_; }

private:
    // The first line start at or after `pos`: -1 when no line end is near enough.
    int64_t line_start(int64_t pos) {
        if (pos <= header_len_) return header_len_;
        if (pos >= size_) return size_;
        char span[2 * (kIndexNameMax + 1)];  // enough to hold any whole line and its start
        const size_t got = read(pos - 1, span, 2 * (form_.max_len + 1));
        const void *end = std::memchr(span, '\n', got);
        if (!end) return -1;
        return pos + (static_cast<const char *>(end) - span);
    }

    size_t read(int64_t at, void *buf, size_t len) {
        if (bv_platform::seek_to(file_, at) != 0) return 0;
        return std::fread(buf, 1, len, file_);
    }

    const name_index_form &form_;
    const int64_t header_len_;
    std::FILE *file_ = nullptr;
    int64_t size_ = 0;
};

bool sorts_before(const char *a, const char *b) { return str_cmp(a, b) < 0; }

}  // namespace

int name_index_page(const char *path, const name_index_form &form, const char *last,
                    size_t want, name_present present, const void *ctx, name_list *out) {
    index_reader reader(form);
    if (!reader.open(path)) return 0;
    int64_t at = reader.first_from(last ? last : "", false);
    if (at < 0) return 0;
    index_name name;
    index_name prev;
    std::snprintf(prev, sizeof prev, "%s", last ? last : "");
    // A name whose entry is gone (removed by hand, or by a program that kept no index) is
    // passed over: an index may only hold too many names, never too few.
    while (at < reader.size() && out->count() < want) {
        at = reader.line_at(at, name);
        if (at < 0 || str_cmp(prev, name) >= 0) return 0;
        std::memcpy(prev, name, sizeof prev);
        if (present(ctx, name) && !out->add(name)) return -1;
    }
    return 1;
}

int name_index_read_all(const char *path, const name_index_form &form, name_list *out) {
    index_reader reader(form);
    if (!reader.open(path)) return 0;
    index_name name;
    index_name prev = "";
    for (int64_t at = reader.begin(); at < reader.size();) {
        at = reader.line_at(at, name);
        if (at < 0 || (out->count() > 0 && str_cmp(prev, name) >= 0)) return 0;
        if (!out->add(name)) return -1;
        std::memcpy(prev, name, sizeof prev);
    }
    return 1;
}

int name_index_holds(const char *path, const name_index_form &form, const char *name) {
    index_reader reader(form);
    if (!reader.open(path)) return -1;
    const int64_t at = reader.first_from(name, true);
    if (at < 0) return -1;
    if (at >= reader.size()) return 0;
    index_name found;
    if (reader.line_at(at, found) < 0) return -1;
    return std::strcmp(found, name) == 0 ? 1 : 0;
}

bool name_list_holds(const name_list &names, const char *name) {
    const char *const *begin = names.names();
    const char *const *end = begin + names.count();
    const char *const *it = std::lower_bound(begin, end, name, sorts_before);
    return it != end && std::strcmp(*it, name) == 0;
}

int name_index_write(const char *path, const name_index_form &form, const name_list &names,
                     bool synced) {
    std::string text(form.header);
    for (size_t i = 0; i < names.count(); ++i) {
        text += names.at(i);
        text += '\n';
    }
    const int written = synced ? write_file(path, text.data(), text.size())
                               : write_file_unsynced(path, text.data(), text.size());
    if (written == 0) return 0;
    drop_file(path);
    return -1;
}

}  // namespace reg_internal
