// The engine's JSON listings: pages of the sorted tag list of one repository and of the
// catalog of full repository names, the unpaged forms kept for older callers, and the bounded
// JSON escaper, name sort and document writer they share. Documents are built in s_result,
// and only after they are known to fit whole.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace reg_internal {

char *(*s_name_copy)(const char *text) = xstrdup;

namespace {

constexpr size_t kNextSize = 256;  // the callers' out_next buffer

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

// The escaper takes a byte only with nine bytes of room from where its form starts. The last
// escaped byte starts at least four bytes before the document's end (itself, a quote and
// "]}"), so room for the text and five bytes more means no name is ever cut; that also
// covers the NUL.
constexpr size_t kEscapeMargin = 5;

size_t document_frame(const char *repo_name) {
    const size_t head = repo_name ? sizeof kTagsHead - 1 + json_escaped_length(repo_name) +
                                        sizeof kTagsMid - 1
                                  : sizeof kCatalogHead - 1;
    return head + sizeof kTail - 1 + kEscapeMargin;
}

// Writes the page's document into s_result and the page's last name into out_next when more
// names follow. `whole` refuses a page cut for room, for the callers that cannot ask for the
// rest: they get REG_ERR_TOO_LARGE.
const char *emit_page(const name_list &names, const char *repo_name, size_t limit,
                      const char *last, char *out_next, bool whole, bool links_checked) {
    list_page p;
    if (!choose_page(names, repo_name, limit, last, kResultSize, &p, links_checked)) {
        set_error(REG_ERR_IO, "out of memory");
        return nullptr;
    }
    if ((whole && p.cut) ||
        list_document(s_result, kResultSize, repo_name, p.names, p.count) != 0) {
        set_error(REG_ERR_TOO_LARGE, "result too large");
        return nullptr;
    }
    if (out_next && p.more && p.count > 0)
        std::snprintf(out_next, kNextSize, "%s", p.names[p.count - 1]);
    return s_result;
}

// The tests of every tag listing before its directory is read: 0, or -1 with the message.
int check_tags_call(const char *repo_name) {
    if (!repo_name) {
        set_error(REG_ERR_ARGUMENT, "repo_name is NULL");
        return -1;
    }
    if (require_repo(repo_name) != 0) return -1;
    if (!repo_exists(repo_name)) {
        set_error(REG_ERR_NAME_UNKNOWN, "repository not found: %s", repo_name);
        return -1;
    }
    return 0;
}

// From the tag index, the page's names and one more (to tell whether names follow) after
// `last`, their links read on the way; without an index to trust, from a walk of the tags
// directory that builds it again and reads every link.
const char *tags_page(const char *repo_name, size_t limit, const char *last, char *out_next,
                      bool whole) {
    if (check_tags_call(repo_name) != 0) return nullptr;
    const size_t want = limit == SIZE_MAX ? SIZE_MAX : limit + 1;
    {
        name_list page;
        const int indexed = tag_index_page(repo_name, last, want, &page);
        if (indexed == 1) return emit_page(page, repo_name, limit, nullptr, out_next, whole, true);
        if (indexed < 0) {
            set_error(REG_ERR_IO, "out of memory");
            return nullptr;
        }
    }
    name_list tags;
    if (tag_index_build(repo_name, &tags) != 0) {
        set_error(REG_ERR_IO, "out of memory");
        return nullptr;
    }
    return emit_page(tags, repo_name, limit, last, out_next, whole, true);
}

// From the catalog index, the page's names and one more (to tell whether names follow) after
// `last`; without an index to trust, from a walk of the whole tree that builds it again.
const char *catalog_page(size_t limit, const char *last, char *out_next, bool whole) {
    if (require_ready() != 0) return nullptr;
    const size_t want = limit == SIZE_MAX ? SIZE_MAX : limit + 1;
    {
        name_list page;
        const int indexed = catalog_index_page(last, want, &page);
        if (indexed == 1) return emit_page(page, nullptr, limit, nullptr, out_next, whole, false);
        if (indexed < 0) {
            set_error(REG_ERR_IO, "out of memory");
            return nullptr;
        }
    }
    name_list repos;
    if (catalog_index_build(&repos) != 0) {
        set_error(REG_ERR_IO, "out of memory");
        return nullptr;
    }
    return emit_page(repos, nullptr, limit, last, out_next, whole, false);
}

}  // namespace

list_page::~list_page() { std::free(names); }

bool choose_page(const name_list &names, const char *repo_name, size_t limit, const char *last,
                 size_t cap, list_page *out, bool links_checked) {
    const char *const *begin = names.names();
    const char *const *end = begin + names.count();
    const char *const *it = begin;
    if (last && *last)
        it = std::upper_bound(begin, end, last,
                              [](const char *a, const char *b) { return str_cmp(a, b) < 0; });
    const size_t room = static_cast<size_t>(end - it);
    out->names =
        static_cast<const char **>(std::malloc((std::min(limit, room) + 1) * sizeof(char *)));
    if (!out->names) return false;

    size_t size = document_frame(repo_name) - 1;  // less the comma the first name goes without
    for (; it != end; ++it) {
        if (repo_name && !links_checked && !tag_link_readable(repo_name, *it)) continue;
        if (out->count == limit) {
            out->more = true;
            break;
        }
        const size_t need = json_escaped_length(*it) + 3;  // quotes and a comma
        if (size + need > cap) {
            out->more = out->cut = true;
            break;
        }
        size += need;
        out->names[out->count++] = *it;
    }
    return true;
}

size_t page_limit(int n) {
    if (n < 0) return REG_PAGE_DEFAULT;
    return static_cast<size_t>(std::min(n, REG_PAGE_MAX));
}

name_list::~name_list() {
    for (size_t i = 0; i < count_; ++i) std::free(slots_[i]);
    std::free(slots_);
}

bool name_list::add(const char *name) {
    if (count_ == cap_) {
        const size_t cap = cap_ ? cap_ * 2 : 64;
        if (cap > SIZE_MAX / sizeof(char *)) return false;
        void *grown = std::realloc(slots_, cap * sizeof(char *));
        if (!grown) return false;
        slots_ = static_cast<char **>(grown);
        cap_ = cap;
    }
    // An empty slot must never reach the sort or the document, so a failed copy fails the
    // whole listing rather than leaving the name out.
    char *copy = s_name_copy(name);
    if (!copy) return false;
    slots_[count_++] = copy;
    return true;
}

char *name_list::pop() { return count_ ? slots_[--count_] : nullptr; }

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

size_t json_escaped_length(const char *text) {
    size_t len = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text ? text : ""); *p;
         ++p) {
        if (short_escape(*p)) len += 2;
        else if (*p < 0x20) len += 6;
        else len += 1;
    }
    return len;
}

int str_cmp(const char *a, const char *b) { return std::strcmp(a, b); }

// Stable, so equal names keep their order; O(n log n), since a directory may hold very many.
void sort_str(char **names, size_t count) {
    if (count < 2) return;
    std::stable_sort(names, names + count,
                     [](const char *a, const char *b) { return str_cmp(a, b) < 0; });
}

int list_document(char *out, size_t cap, const char *repo_name, const char *const *names,
                  size_t count) {
    size_t total = document_frame(repo_name);
    for (size_t i = 0; i < count; ++i) total += json_escaped_length(names[i]) + 3;
    if (count > 0) total -= 1;  // no comma before the first name
    if (out == nullptr || total > cap) return -1;

    writer w{out, cap};
    if (repo_name) {
        w.text(kTagsHead);
        w.escaped(repo_name);
        w.text(kTagsMid);
    } else {
        w.text(kCatalogHead);
    }
    for (size_t i = 0; i < count; ++i) {
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

// `last` is copied before out_next is emptied, so a caller may pass one buffer as both. No name
// is longer than 255 bytes, so a longer `last` cut to 255 bytes starts the page at the same
// place.
extern "C" const char *reg_tags_page_json(const char *repo_name, int n, const char *last,
                                          char *out_next) {
    char after[kNextSize];
    std::snprintf(after, sizeof after, "%s", last ? last : "");
    if (out_next) out_next[0] = '\0';
    return tags_page(repo_name, page_limit(n), after, out_next, false);
}

extern "C" const char *reg_catalog_page_json(int n, const char *last, char *out_next) {
    char after[kNextSize];
    std::snprintf(after, sizeof after, "%s", last ? last : "");
    if (out_next) out_next[0] = '\0';
    return catalog_page(page_limit(n), after, out_next, false);
}

extern "C" const char *reg_tags_list_json(const char *repo_name) {
    return tags_page(repo_name, SIZE_MAX, nullptr, nullptr, true);
}

extern "C" const char *reg_catalog_json(int n, const char *last) {
    return catalog_page(n > 0 ? static_cast<size_t>(n) : SIZE_MAX, last, nullptr, true);
}
