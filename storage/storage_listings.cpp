// The engine's JSON listings: the tag list of one repository and the paged repository
// catalog, with the bounded JSON escaper and the bytewise name sort they share. Both documents
// are built in s_result, and only after they are known to fit whole.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace reg_internal {

char *(*s_name_copy)(const char *text) = xstrdup;

namespace {

constexpr int kNameSlots = 1024;  // more than one listing can ever deliver

// The escape form of one byte: a two-byte pair, six bytes of \u00XX, or the byte itself.
const char *short_escape(unsigned char c) {
    switch (c) {
        case '"': return "\\\"";
        case '\\': return "\\\\";
        case '\b': return "\\b";
        case '\f': return "\\f";
        case '\n': return "\\n";
        case '\r': return "\\r";
        case '\t': return "\\t";
        default: return nullptr;
    }
}

size_t escaped_length(const char *text) {
    size_t len = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        if (short_escape(*p)) len += 2;
        else if (*p < 0x20) len += 6;
        else len += 1;
    }
    return len;
}

// The heap-held names of one listing call; frees every copy and the array on destruction.
class name_array {
public:
    name_array() : slots_(static_cast<char **>(std::calloc(kNameSlots, sizeof(char *)))) {}
    ~name_array() {
        if (!slots_) return;
        for (int i = 0; i < count_; ++i) std::free(slots_[i]);
        std::free(slots_);
    }
    name_array(const name_array &) = delete;
    name_array &operator=(const name_array &) = delete;

    bool allocated() const { return slots_ != nullptr; }
    bool full() const { return count_ >= kNameSlots; }
    int count() const { return count_; }
    char *const *names() const { return slots_; }

    // False when the copy cannot be made. An empty slot must never reach the sort or the
    // document, so the caller gives the whole call up instead of skipping the name.
    bool add(const char *name) {
        char *copy = s_name_copy(name);
        if (!copy) return false;
        slots_[count_++] = copy;
        return true;
    }
    void sort() {
        if (count_ > 1) sort_str(slots_, count_);
    }

private:
    char **slots_;
    int count_ = 0;
};

// Cursor over the output buffer. Every append is already known to fit: list_document
// measures the whole document before it writes the first byte.
struct writer {
    char *out;
    size_t cap;
    size_t pos = 0;

    void text(const char *s) {
        const int n = std::snprintf(out + pos, cap - pos, "%s", s);
        pos += static_cast<size_t>(n);
    }
    void byte(char c) { out[pos++] = c; }
    void escaped(const char *s) { pos += json_escape_append(out + pos, cap - pos, s); }
};

constexpr char kTagsHead[] = "{\"name\":\"";
constexpr char kTagsMid[] = "\",\"tags\":[";
constexpr char kCatalogHead[] = "{\"repositories\":[";
constexpr char kTail[] = "]}";

}  // namespace

size_t json_escape_append(char *dst, size_t cap, const char *src) {
    if (!src) src = "";
    size_t pos = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(src); *p; ++p) {
        // The longest form is six bytes; with nine bytes of room left neither it nor the NUL
        // after it can pass the end, so the text is only ever cut between whole forms.
        if (pos + 8 >= cap) break;
        if (const char *pair = short_escape(*p)) {
            dst[pos++] = pair[0];
            dst[pos++] = pair[1];
        } else if (*p < 0x20) {
            std::snprintf(dst + pos, cap - pos, "\\u%04x", *p);
            pos += 6;
        } else {
            dst[pos++] = static_cast<char>(*p);
        }
    }
    if (pos < cap) dst[pos] = '\0';
    return pos;
}

int str_cmp(const char *a, const char *b) { return std::strcmp(a, b); }

void sort_str(char **names, int count) {
    for (int i = 1; i < count; ++i) {
        char *taken = names[i];
        int j = i;
        while (j > 0 && str_cmp(names[j - 1], taken) > 0) {
            names[j] = names[j - 1];
            --j;
        }
        names[j] = taken;
    }
}

int list_document(char *out, size_t cap, const char *repo_name, char *const *names, int count) {
    size_t total = repo_name ? sizeof kTagsHead - 1 + escaped_length(repo_name) + sizeof kTagsMid - 1
                             : sizeof kCatalogHead - 1;
    for (int i = 0; i < count; ++i) total += escaped_length(names[i]) + 3;  // quotes, comma
    if (count > 0) total -= 1;                                                // no first comma
    total += sizeof kTail - 1;
    // The escaper takes a byte only with nine bytes of room from where its form starts. The
    // last escaped byte starts at least four bytes before the document's end (itself, a quote
    // and "]}"), so room for the text and five bytes more means no name is ever cut; that
    // also covers the NUL.
    if (out == nullptr || total + 5 > cap) return -1;

    writer w{out, cap};
    if (repo_name) {
        w.text(kTagsHead);
        w.escaped(repo_name);
        w.text(kTagsMid);
    } else {
        w.text(kCatalogHead);
    }
    for (int i = 0; i < count; ++i) {
        if (i > 0) w.byte(',');
        w.byte('"');
        w.escaped(names[i]);
        w.byte('"');
    }
    w.text(kTail);
    return 0;
}

}  // namespace reg_internal

using namespace reg_internal;

// The one directory listing of the tag list and the catalog: over 260 KB, so kept off the
// stack, and shared since neither call runs inside the other.
static dir_listing s_listing;

extern "C" const char *reg_tags_list_json(const char *repo_name) {
    if (!repo_name) {
        set_error(REG_ERR_ARGUMENT, "repo_name is NULL");
        return nullptr;
    }
    if (require_ready() != 0) return nullptr;
    if (!repo_name_valid(repo_name)) {
        set_error(REG_ERR_NAME_INVALID, "invalid repository name");
        return nullptr;
    }
    char dir[kPathSize];
    tag_list_dir(repo_name, dir, sizeof dir);

    name_array tags;
    if (!tags.allocated()) {
        set_error(REG_ERR_IO, "out of memory");
        return nullptr;
    }
    if (list_dir(dir, &s_listing) == 0) {
        for (int32_t i = 0; i < s_listing.count; ++i) {
            const dir_entry &e = s_listing.entries[i];
            if (!e.is_dir) continue;
            // A tag exists once its link file can be read; what the link holds is the
            // manifest store's business.
            char link[kPathSize];
            char content[128];
            manifest_tag_path(repo_name, e.name, link, sizeof link);
            if (read_file(link, content, sizeof content, nullptr) != 0) continue;
            if (tags.full()) continue;
            if (!tags.add(e.name)) {
                set_error(REG_ERR_IO, "out of memory");
                return nullptr;
            }
        }
    }
    tags.sort();
    if (list_document(s_result, kResultSize, repo_name, tags.names(), tags.count()) != 0) {
        set_error(REG_ERR_TOO_LARGE, "result too large");
        return nullptr;
    }
    return s_result;
}

extern "C" const char *reg_catalog_json(int n, const char *last) {
    if (require_ready() != 0) return nullptr;
    char dir[kPathSize];
    repos_dir(dir, sizeof dir);

    name_array repos;
    if (!repos.allocated()) {
        set_error(REG_ERR_IO, "out of memory");
        return nullptr;
    }
    // Every directory right below the repositories directory is a catalog name; a nested
    // repository shows only as its first component.
    if (list_dir(dir, &s_listing) == 0) {
        for (int32_t i = 0; i < s_listing.count; ++i) {
            const dir_entry &e = s_listing.entries[i];
            if (!e.is_dir || repos.full()) continue;
            if (!repos.add(e.name)) {
                set_error(REG_ERR_IO, "out of memory");
                return nullptr;
            }
        }
    }
    repos.sort();

    const int count = repos.count();
    char *const *names = repos.names();
    int start = 0;
    if (last && *last) {
        while (start < count && str_cmp(names[start], last) <= 0) ++start;
    }
    // Widened so that a page size near the largest int cannot overflow start + n.
    int end = count;
    if (n > 0 && static_cast<long long>(start) + n < count) end = start + n;

    if (list_document(s_result, kResultSize, nullptr, names + start, end - start) != 0) {
        set_error(REG_ERR_TOO_LARGE, "result too large");
        return nullptr;
    }
    return s_result;
}
