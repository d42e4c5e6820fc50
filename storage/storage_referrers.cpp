// The referrers of a manifest: the image index that lists the manifests of the repository
// whose subject it is, found through the referrer links that storing such a manifest leaves
// beside its subject, so that no answer has to read every manifest of the repository. The
// index comes in pages of a byte budget, in the order of the referrers' digests.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "storage/manifest_json.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace reg_internal {

namespace {

// A growing text on the heap; `failed` once memory ran out, after which appends do nothing.
class text_buffer {
public:
    ~text_buffer() { std::free(data_); }

    const char *data() const { return data_; }
    size_t size() const { return len_; }
    bool failed() const { return failed_; }

    void raw(const char *s, size_t n) {
        if (!reserve(n)) return;
        std::memcpy(data_ + len_, s, n);
        len_ += n;
        data_[len_] = '\0';
    }
    void raw(const char *s) { raw(s, std::strlen(s)); }
    // Drops what was appended after the first `len` bytes.
    void cut(size_t len) {
        if (failed_ || len >= len_) return;
        len_ = len;
        data_[len_] = '\0';
    }
    // Hands the text to the caller, who frees it; the buffer is empty afterwards.
    char *release() {
        char *out = data_;
        data_ = nullptr;
        len_ = cap_ = 0;
        return out;
    }
    // A JSON string: quotes around the escaped text.
    void string(const char *s) {
        const size_t n = json_escaped_length(s);
        // The escaper takes a byte only with nine bytes of room from where it starts.
        if (!reserve(n + 9 + 2)) return;
        data_[len_++] = '"';
        len_ += json_escape_append(data_ + len_, n + 9, s);
        data_[len_++] = '"';
        data_[len_] = '\0';
    }

private:
    bool reserve(size_t n) {
        if (failed_) return false;
        if (cap_ - len_ > n) return true;
        size_t cap = cap_ ? cap_ : 4096;
        while (cap - len_ <= n) cap *= 2;
        char *grown = static_cast<char *>(std::realloc(data_, cap));
        if (!grown) {
            failed_ = true;
            return false;
        }
        data_ = grown;
        cap_ = cap;
        return true;
    }

    char *data_ = nullptr;
    size_t len_ = 0;
    size_t cap_ = 0;
    bool failed_ = false;
};

// The referrer digest strings of a subject, of both algorithms in one list sorted by the
// digest string, so that answers come in a stable order and `last` finds its place whichever
// algorithm it is. A directory counts once its link names it: a referrer being stored has its
// link written last of the two.
int referrer_names(const char *repo_name, const char *subject_hex, name_list *out) {
    dir_listing listing;
    for (const char *algorithm : kDigestAlgorithms) {
        char dir[kPathSize];
        manifest_referrers_dir(repo_name, subject_hex, algorithm, dir, sizeof dir);
        if (list_dir(dir, &listing) == kListNoMemory) return -1;
        for (size_t i = 0; i < listing.count(); ++i) {
            if (!listing.is_dir(i)) continue;
            char digest[kDigestSize + 1];
            std::snprintf(digest, sizeof digest, "%s:%s", algorithm, listing.name(i));
            // The digits' count must also be the directory's algorithm: the path builders
            // find a referrer by its digits alone.
            if (!digest_valid(digest)) continue;
            char path[kPathSize];
            manifest_referrer_path(repo_name, subject_hex, listing.name(i), path, sizeof path);
            char link[kDigestSize + 1];
            size_t len = 0;
            if (read_file(path, link, sizeof link, &len) != 0 || len != std::strlen(digest) ||
                std::memcmp(link, digest, len) != 0)
                continue;
            if (!out->add(digest)) return -1;
        }
    }
    out->sort();
    return 0;
}

// Appends the descriptor of referrer `referrer` (a digest string; after a comma unless it is the page's first): 1,
// or 0 with nothing appended when it is gone, is not the subject's after all, or is of another
// artifact type than the filter asks for. -1 when memory runs out.
int describe(const char *repo_name, const char *subject, const char *referrer,
             const char *filter, bool first, text_buffer *out) {
    const char *hex = referrer + kAlgorithmPrefixLen;
    char path[kPathSize];
    manifest_body_path(repo_name, hex, path, sizeof path);
    const int64_t size = file_size(path);
    if (size < 0 || size > REG_MANIFEST_MAX) return 0;
    char *body = static_cast<char *>(std::malloc(static_cast<size_t>(size) + 1));
    if (!body) return -1;
    size_t len = 0;
    const bool read = read_file(path, body, static_cast<size_t>(size) + 1, &len) == 0 &&
                      len == static_cast<size_t>(size);
    manifest_summary summary;
    const bool summed = read && manifest_summarize(body, len, &summary) == 0;
    std::free(body);
    if (!summed || std::strcmp(summary.subject, subject) != 0) return 0;
    if (filter && *filter && std::strcmp(summary.artifact_type, filter) != 0) return 0;

    char type[REG_MEDIA_TYPE_SIZE];
    if (manifest_media_type(repo_name, hex, type) != 0)
        std::snprintf(type, sizeof type, "%s",
                      manifest_kind_media_type(manifest_kind::oci_manifest));

    char number[32];
    std::snprintf(number, sizeof number, "%zu", len);
    out->raw(first ? "{\"mediaType\":" : ",{\"mediaType\":");
    out->string(type);
    out->raw(",\"digest\":\"");
    out->raw(referrer);
    out->raw("\",\"size\":");
    out->raw(number);
    if (summary.artifact_type[0]) {
        out->raw(",\"artifactType\":");
        out->string(summary.artifact_type);
    }
    if (summary.annotations) {
        out->raw(",\"annotations\":");
        out->raw(summary.annotations, summary.annotations_len);
    }
    out->raw("}");
    return out->failed() ? -1 : 1;
}

constexpr char kIndexHead[] =
    "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\","
    "\"manifests\":[";
constexpr char kIndexTail[] = "]}";

// Writes into `doc` the page of referrers after `last` (a digest string, or null or "") that
// fits `page_bytes`, a first descriptor larger than that alone. `out_next` (kDigestSize bytes)
// receives the page's last digest when a referrer passing the filter follows, else "". An
// absent repository has no referrers. 0, or -1 with the error set.
int referrers_page(const char *repo_name, const char *digest, const char *artifact_type,
                   const char *last, size_t page_bytes, text_buffer *doc, char *out_next) {
    out_next[0] = '\0';
    if (!repo_name || !digest) {
        set_error(REG_ERR_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_repo_digest(repo_name, digest) != 0) return -1;
    if (last && *last && !digest_valid(last)) {
        set_error(REG_ERR_DIGEST_INVALID, "last is not a digest");
        return -1;
    }

    name_list referrers;
    bool failed = repo_exists(repo_name) &&
                  referrer_names(repo_name, digest + kAlgorithmPrefixLen, &referrers) != 0;
    const char *const *begin = referrers.names();
    const char *const *end = begin + referrers.count();
    const char *const *it = begin;
    if (last && *last)
        it = std::upper_bound(begin, end, last,
                              [](const char *a, const char *b) { return str_cmp(a, b) < 0; });

    doc->raw(kIndexHead);
    const char *listed = nullptr;  // the page's last referrer
    for (; !failed && it != end; ++it) {
        const size_t before = doc->size();
        const int added = describe(repo_name, digest, *it, artifact_type, !listed, doc);
        failed = added < 0;
        if (added <= 0) continue;
        if (listed && doc->size() + sizeof kIndexTail - 1 > page_bytes) {
            doc->cut(before);
            std::snprintf(out_next, kDigestSize, "%s", listed);
            break;
        }
        listed = *it;
    }
    doc->raw(kIndexTail);
    if (failed || doc->failed()) {
        set_error(REG_ERR_IO, "out of memory");
        return -1;
    }
    return 0;
}

}  // namespace

}  // namespace reg_internal

using namespace reg_internal;

extern "C" int reg_referrers_page(const char *repo_name, const char *digest,
                                  const char *artifact_type, const char *last, size_t page_bytes,
                                  char **out_doc, size_t *out_len, char *out_next) {
    char next[kDigestSize];
    if (out_next) out_next[0] = '\0';
    if (!out_doc || !out_len) {
        set_error(REG_ERR_ARGUMENT, "NULL argument");
        return -1;
    }
    *out_doc = nullptr;
    *out_len = 0;
    text_buffer doc;
    if (referrers_page(repo_name, digest, artifact_type, last,
                       page_bytes ? page_bytes : REG_REFERRERS_PAGE_BYTES, &doc, next) != 0)
        return -1;
    *out_len = doc.size();
    *out_doc = doc.release();
    if (out_next) std::snprintf(out_next, kDigestSize, "%s", next);
    return 0;
}

// The whole index or nothing: a page cut short for room is REG_ERR_TOO_LARGE.
extern "C" const char *reg_referrers_json(const char *repo_name, const char *digest,
                                          const char *artifact_type) {
    text_buffer doc;
    char next[kDigestSize];
    if (referrers_page(repo_name, digest, artifact_type, nullptr, kResultSize - 1, &doc, next) !=
        0)
        return nullptr;
    if (next[0] || doc.size() >= kResultSize) {
        set_error(REG_ERR_TOO_LARGE, "result too large");
        return nullptr;
    }
    std::memcpy(s_result, doc.data(), doc.size() + 1);
    return s_result;
}
