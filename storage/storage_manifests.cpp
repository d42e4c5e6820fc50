// The manifest store: image manifests and indexes checked and kept per repository under the
// digest of their bytes, with their media type, a revision link, one link per tag and a
// referrer link beside their subject; read by tag or digest, and deleted by tag (the tag only)
// or by digest (the manifest with every tag naming it). Also the engine's repository-name check.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "crypto/sha256.h"
#include "crypto/sha512.h"
#include "platform/bv_platform_fs.h"
#include "storage/manifest_json.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace reg_internal {

namespace {

constexpr size_t kPrefixLen = kAlgorithmPrefixLen;
constexpr size_t kMaxNameLen = 255;
constexpr size_t kLinkBufSize = 256;  // links are read up to 255 bytes
constexpr size_t kGetMediaTypeSize = 128;  // reg_manifest_get's media-type buffer
constexpr size_t kWhySize = 200;

bool is_sep(char c) { return c == '/' || c == '\\'; }

// Whether a link starts with the digest string of `hex` ("sha256:" + 64 digits or "sha512:" +
// 128). Bytes after it are not looked at: a link with a line end after the digest still names
// the manifest, so a delete by digest takes it away as well.
bool link_names(const char *link, size_t len, const char *hex) {
    char digest[kDigestSize];
    digest_from_hex(hex, digest, sizeof digest);
    const size_t digest_len = std::strlen(digest);
    return len >= digest_len && std::memcmp(link, digest, digest_len) == 0;
}

// The digits of a checked digest string into a hex buffer of kHexSize bytes.
void copy_hex(char *out_hex, const char *digest) {
    const size_t len = std::strlen(digest + kPrefixLen);  // 64 or 128: the digest was checked
    const size_t kept = len < kHexSize ? len : kHexSize - 1;
    std::memcpy(out_hex, digest + kPrefixLen, kept);
    out_hex[kept] = '\0';
}

void format_digest(char *out, size_t out_size, const char *hex) {
    digest_from_hex(hex, out, out_size);
}

// The digits of the body's digest in the algorithm `algorithm` names ("sha256" or "sha512").
void body_hex(const void *body, size_t body_len, const char *algorithm, char (&out)[kHexSize]) {
    if (std::strcmp(algorithm, "sha512") == 0) {
        sha512_ctx ctx;
        uint8_t sum[64];
        sha512_init(&ctx);
        sha512_update(&ctx, body, body_len);
        sha512_final(&ctx, sum);
        bin_to_hex(sum, sizeof sum, out);
        return;
    }
    sha256_ctx ctx;
    uint8_t sum[32];
    sha256_init(&ctx);
    sha256_update(&ctx, body, body_len);
    sha256_final(&ctx, sum);
    bin_to_hex(sum, sizeof sum, out);
}

// The form of a reference, before anything is read: 0, or -1 with the message set.
int check_reference(const char *reference) {
    if (!*reference) {
        set_error(REG_ERR_TAG_INVALID, "empty reference");
        return -1;
    }
    if (is_digest_reference(reference)) {
        if (digest_valid(reference)) return 0;
        set_error(REG_ERR_DIGEST_INVALID, "invalid digest reference");
        return -1;
    }
    if (reg_tag_valid(reference)) return 0;
    set_error(REG_ERR_TAG_INVALID, "invalid tag: %s", reference);
    return -1;
}

// The tests every read and delete runs before it touches a manifest: 0, or -1 with the
// message set.
int check_lookup(const char *repo_name, const char *reference) {
    if (require_repo(repo_name) != 0) return -1;
    if (check_reference(reference) != 0) return -1;
    if (!repo_exists(repo_name)) {
        set_error(REG_ERR_NAME_UNKNOWN, "repository not found: %s", repo_name);
        return -1;
    }
    return 0;
}

// A read that found nothing tells an unknown repository from an unknown manifest only now: a
// repository without its folders holds no file to find, so the read that succeeds needs no
// look at them. -1, the message replaced when the repository is not there.
int lookup_failed(const char *repo_name) {
    if (s_error_kind == REG_ERR_NOT_FOUND && !repo_exists(repo_name))
        set_error(REG_ERR_NAME_UNKNOWN, "repository not found: %s", repo_name);
    return -1;
}

// What check_lookup tests before a read, but the repository's folders: lookup_failed looks at
// those when the read finds nothing.
int check_read(const char *repo_name, const char *reference) {
    if (require_repo(repo_name) != 0) return -1;
    return check_reference(reference);
}

// The media type a caller gave, as a Content-Type may carry it: parameters (";...") and the
// blanks around the type dropped. 0 with the type in `out` ("" when none was given), or -1
// with the message set.
int plain_media_type(const char *given, char (&out)[REG_MEDIA_TYPE_SIZE]) {
    out[0] = '\0';
    if (!given) return 0;
    // A control byte anywhere, parameters included, could split a response head later.
    for (const char *p = given; *p; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if ((c < 0x20 && c != '\t') || c == 0x7f) {
            set_error(REG_ERR_MANIFEST_INVALID, "invalid media type");
            return -1;
        }
    }
    while (*given == ' ' || *given == '\t') ++given;
    size_t len = std::strcspn(given, ";");
    while (len > 0 && (given[len - 1] == ' ' || given[len - 1] == '\t')) --len;
    if (len >= sizeof out) {
        set_error(REG_ERR_MANIFEST_INVALID, "media type too long");
        return -1;
    }
    std::memcpy(out, given, len);
    out[len] = '\0';
    return 0;
}

// Every blob and child manifest the body names must already be in this repository, so that
// whatever is fetched through the manifest can be fetched from here; with sparse indexes
// switched on, an index may name children that were never pushed (its blobs still must be).
int check_references(const char *repo_name, const manifest_facts &facts) {
    for (size_t i = 0; i < facts.ref_count; ++i) {
        const manifest_ref &ref = facts.refs[i];
        if (ref.is_manifest) {
            if (s_settings.sparse_indexes || manifest_stored(repo_name, ref.digest + kPrefixLen))
                continue;
            set_error(REG_ERR_REFERENCE_UNKNOWN, "manifest names unknown manifest %s", ref.digest);
            return -1;
        }
        const int linked = reg_blob_linked(repo_name, ref.digest);
        if (linked == 1) continue;
        if (linked == 0)
            set_error(REG_ERR_REFERENCE_UNKNOWN, "manifest names unknown blob %s", ref.digest);
        return -1;
    }
    return 0;
}

int make_dir_for(const char *dir, const char *what) {
    if (mkdirs(dir) == 0) return 0;
    set_write_error("mkdirs %s dir failed", what);
    return -1;
}

int write_link(const char *path, const char *digest, const char *what) {
    if (write_file(path, digest, std::strlen(digest)) == 0) return 0;
    set_write_error("write %s failed", what);
    return -1;
}

// Writes the files of a checked manifest in an order that keeps readers right: the media type
// before the body (a body is never served without its type), the body before any link that
// names it, and the tag last, so a tag never names a manifest whose body is not there.
// Nothing is undone on a failure: what was written stays, and a body on disk is served by
// digest.
int store_files(const char *repo_name, const char *reference, const void *body,
                size_t body_len, const char *media_type, const char *hex, const char *subject,
                const char *const *tags, size_t tag_count) {
    char path[kPathSize];
    char dir[kPathSize];
    manifests_dir(repo_name, dir, sizeof dir);
    if (make_dir_for(dir, "manifests") != 0) return -1;
    manifest_ct_path(repo_name, hex, path, sizeof path);
    if (write_file(path, media_type, std::strlen(media_type)) != 0) {
        set_write_error("write manifest ct failed");
        return -1;
    }
    manifest_body_path(repo_name, hex, path, sizeof path);
    if (write_file(path, body, body_len) != 0) {
        set_write_error("write manifest body failed");
        return -1;
    }

    char digest[kDigestSize];
    format_digest(digest, sizeof digest, hex);
    manifest_rev_dir(repo_name, hex, dir, sizeof dir);
    manifest_rev_path(repo_name, hex, path, sizeof path);
    if (make_dir_for(dir, "revision") != 0 || write_link(path, digest, "revision link") != 0)
        return -1;

    if (*subject) {
        const char *subject_hex = subject + kPrefixLen;
        manifest_referrer_dir(repo_name, subject_hex, hex, dir, sizeof dir);
        manifest_referrer_path(repo_name, subject_hex, hex, path, sizeof path);
        if (make_dir_for(dir, "referrer") != 0 || write_link(path, digest, "referrer link") != 0)
            return -1;
    }

    // A digest reference only chose how the call was made: no tag to write for it. The tags
    // asked for besides name the same digest, whichever algorithm it is.
    const bool by_tag = !is_digest_reference(reference);
    if (by_tag || tag_count > 0) {
        if (s_repo_locked_hook) s_repo_locked_hook("put", repo_name);
        // Indexed before their links are written: however the put ends, the index holds every
        // tag that has a link (a name without one is passed over by the pages).
        if (tag_index_note(repo_name, by_tag ? reference : nullptr, tags, tag_count) != 0)
            return -1;
    }
    for (size_t i = by_tag ? 0 : 1; i <= tag_count; ++i) {
        const char *tag = i == 0 ? reference : tags[i - 1];
        manifest_tag_dir(repo_name, tag, dir, sizeof dir);
        manifest_tag_path(repo_name, tag, path, sizeof path);
        if (make_dir_for(dir, "tag") != 0 || write_link(path, digest, "tag link") != 0) return -1;
    }
    return 0;
}

enum class read_result { ok, missing, too_large };

// The whole file into buf when it fits in cap bytes (no terminator is added).
read_result read_whole(const char *path, void *buf, size_t cap, size_t *out_len) {
    size_t got = 0;
    bool more = false;
    if (bv_platform::read_start(path, buf, cap, &got, &more) != 0) return read_result::missing;
    if (more) return read_result::too_large;
    *out_len = got;
    return read_result::ok;
}

// A stored body on the heap (the caller frees it), or null when it cannot be read.
char *load_body(const char *repo_name, const char *hex, size_t *out_len) {
    char path[kPathSize];
    manifest_body_path(repo_name, hex, path, sizeof path);
    const int64_t size = file_size(path);
    if (size < 0 || size > REG_MANIFEST_MAX) return nullptr;
    char *body = static_cast<char *>(std::malloc(static_cast<size_t>(size) + 1));
    if (body && read_whole(path, body, static_cast<size_t>(size), out_len) != read_result::ok) {
        std::free(body);
        body = nullptr;
    }
    return body;
}

// Reads manifest `hex` with its media type; what get and read share. The media type comes
// from the content-type file; a missing, empty or damaged one is worked out from the body.
int read_manifest(const char *repo_name, const char *reference, const char *hex, void *buf,
                  size_t cap, size_t *out_len, char *out_media_type, size_t media_type_size) {
    char path[kPathSize];
    manifest_body_path(repo_name, hex, path, sizeof path);
    size_t len = 0;
    switch (read_whole(path, buf, cap, &len)) {
        case read_result::ok: break;
        case read_result::missing:
            set_error(REG_ERR_NOT_FOUND, "manifest body not found: %s@%s", repo_name, reference);
            return -1;
        case read_result::too_large:
            set_error(REG_ERR_TOO_LARGE, "manifest body too large: %s@%s", repo_name, reference);
            return -1;
    }
    char type[REG_MEDIA_TYPE_SIZE];
    if (manifest_media_type(repo_name, hex, type) != 0) {
        manifest_facts facts;
        const bool known = manifest_check(buf, len, nullptr, &facts, nullptr, 0) == 0;
        std::snprintf(type, sizeof type, "%s",
                      manifest_kind_media_type(known ? facts.kind : manifest_kind::oci_manifest));
    }
    std::snprintf(out_media_type, media_type_size, "%s", type);
    *out_len = len;
    return 0;
}

// Removes every tag link of the repository that names `hex`. 0 with *removed counting them,
// or -1 with the message set when a link stays (then nothing more may go).
int remove_tags_naming(const char *repo_name, const char *hex, int *removed) {
    char dir[kPathSize];
    tag_list_dir(repo_name, dir, sizeof dir);
    dir_listing listing;
    if (list_dir(dir, &listing) == kListNoMemory) {
        set_error(REG_ERR_IO, "out of memory");
        return -1;
    }
    // The tags removed leave the index even when a later one stays (a name kept too many is
    // only passed over; an index that runs out of memory here is dropped and built again).
    name_list gone;
    bool listed = true;
    int failed = 0;
    for (size_t i = 0; i < listing.count() && failed == 0; ++i) {
        if (!listing.is_dir(i)) continue;
        char path[kPathSize];
        manifest_tag_path(repo_name, listing.name(i), path, sizeof path);
        char link[kLinkBufSize];
        size_t len = 0;
        if (read_file(path, link, sizeof link, &len) != 0 || !link_names(link, len, hex)) continue;
        if (remove_file(path) != 0) {
            set_write_error("delete tag failed");
            failed = -1;
            continue;
        }
        ++*removed;
        if (listed && !gone.add(listing.name(i))) listed = false;
    }
    if (!listed) {
        tag_index_path(repo_name, dir, sizeof dir);
        drop_file(dir);
    } else {
        tag_index_forget(repo_name, gone);
    }
    return failed;
}

int delete_tag(const char *repo_name, const char *tag) {
    char path[kPathSize];
    manifest_tag_path(repo_name, tag, path, sizeof path);
    if (!file_exists(path)) {
        set_error(REG_ERR_NOT_FOUND, "tag not found: %s:%s", repo_name, tag);
        return -1;
    }
    if (remove_file(path) != 0) {
        set_write_error("delete tag failed");
        return -1;
    }
    name_list gone;
    if (gone.add(tag)) {
        tag_index_forget(repo_name, gone);
    } else {
        tag_index_path(repo_name, path, sizeof path);
        drop_file(path);
    }
    return 0;
}

// Tags first, then the referrer link and the revision link, then the body: at no point does
// a link name a manifest whose body is gone, however the delete is cut short.
int delete_digest(const char *repo_name, const char *digest) {
    const char *hex = digest + kPrefixLen;
    int removed = 0;
    size_t len = 0;
    char *body = load_body(repo_name, hex, &len);
    manifest_summary summary;
    if (body) manifest_summarize(body, len, &summary);
    std::free(body);

    if (remove_tags_naming(repo_name, hex, &removed) != 0) return -1;
    char path[kPathSize];
    if (summary.subject[0]) {
        manifest_referrer_path(repo_name, summary.subject + kPrefixLen, hex, path, sizeof path);
        if (file_exists(path)) {
            if (remove_file(path) != 0) {
                set_write_error("delete referrer link failed");
                return -1;
            }
            ++removed;
        }
    }
    manifest_rev_path(repo_name, hex, path, sizeof path);
    remove_file(path);
    manifest_body_path(repo_name, hex, path, sizeof path);
    if (file_exists(path)) {
        if (remove_file(path) != 0) {
            set_write_error("delete manifest failed");
            return -1;
        }
        ++removed;
    }
    manifest_ct_path(repo_name, hex, path, sizeof path);
    remove_file(path);
    if (removed == 0) {
        set_error(REG_ERR_NOT_FOUND, "manifest not found: %s@%s", repo_name, digest);
        return -1;
    }
    return 0;
}

}  // namespace

bool is_digest_reference(const char *reference) { return std::strchr(reference, ':') != nullptr; }

int repo_name_valid(const char *name) {
    if (!name || !*name) return 0;
    if (std::strlen(name) > kMaxNameLen) return 0;
    for (const char *p = name; *p; ++p) {
        const char c = *p;
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' || is_sep(c);
        if (!ok) return 0;
    }
    if (std::strstr(name, "..")) return 0;
    // Every component must be a directory of its own: an empty one or "." would let two
    // different names (a/b, a//b, ./a/b, a\b/) share one directory, and one that begins with
    // '_' could reach into another repository's _manifests or _layers.
    const char *start = name;
    for (const char *p = name;; ++p) {
        if (*p && !is_sep(*p)) continue;
        const size_t len = static_cast<size_t>(p - start);
        if (len == 0 || (len == 1 && *start == '.') || *start == '_') return 0;
        if (!*p) break;
        start = p + 1;
    }
    return 1;
}

int manifest_resolve(const char *repo_name, const char *reference, char *out_hex) {
    if (check_reference(reference) != 0) return -1;
    if (is_digest_reference(reference)) {
        copy_hex(out_hex, reference);
        return 0;
    }
    char path[kPathSize];
    manifest_tag_path(repo_name, reference, path, sizeof path);
    char link[kLinkBufSize];
    size_t len = 0;
    if (read_file(path, link, sizeof link, &len) != 0) {
        set_error(REG_ERR_NOT_FOUND, "tag not found: %s:%s", repo_name, reference);
        return -1;
    }
    // The length test also catches a NUL byte hidden inside the link.
    if (len != std::strlen(link) || !digest_valid(link)) {
        set_error(REG_ERR_IO, "corrupt tag link: %s:%s", repo_name, reference);
        return -1;
    }
    copy_hex(out_hex, link);
    return 0;
}

int manifest_media_type(const char *repo_name, const char *hex, char *out) {
    char path[kPathSize];
    manifest_ct_path(repo_name, hex, path, sizeof path);
    size_t len = 0;
    // Put stores only the four manifest types, so any other text is damage.
    if (read_whole(path, out, REG_MEDIA_TYPE_SIZE - 1, &len) == read_result::ok) {
        out[len] = '\0';
        if (std::strlen(out) == len && manifest_kind_of(out) != manifest_kind::none) return 0;
    }
    out[0] = '\0';
    return -1;
}

int manifest_delete_locked(const char *repo_name, const char *digest) {
    return delete_digest(repo_name, digest);
}

int manifest_stored(const char *repo_name, const char *hex) {
    char path[kPathSize];
    manifest_body_path(repo_name, hex, path, sizeof path);
    return file_exists(path);
}

}  // namespace reg_internal

using namespace reg_internal;

extern "C" int reg_manifest_store_tagged(const char *repo_name, const char *reference,
                                         const void *body, size_t body_len,
                                         const char *media_type, const char *const *tags,
                                         size_t tag_count, char *out_digest, char *out_subject) {
    if (!repo_name || !reference || !body || !out_digest || (tag_count > 0 && !tags)) {
        set_error(REG_ERR_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_ready() != 0) return -1;
    if (!repo_name_valid(repo_name)) {
        set_error(REG_ERR_NAME_INVALID, "invalid repository name: %s", repo_name);
        return -1;
    }
    if (check_reference(reference) != 0) return -1;
    for (size_t i = 0; i < tag_count; ++i) {
        if (!reg_tag_valid(tags[i])) {
            set_error(REG_ERR_TAG_INVALID, "invalid tag: %s", tags[i] ? tags[i] : "");
            return -1;
        }
    }
    if (body_len > REG_MANIFEST_MAX) {
        set_error(REG_ERR_TOO_LARGE, "manifest too large: %zu bytes (at most %d)", body_len,
                  REG_MANIFEST_MAX);
        return -1;
    }
    char type[REG_MEDIA_TYPE_SIZE];
    if (plain_media_type(media_type, type) != 0) return -1;
    manifest_facts facts;
    char why[kWhySize];
    const int checked = manifest_check(body, body_len, type, &facts, why, sizeof why);
    if (checked == kManifestOutOfMemory) {
        set_error(REG_ERR_IO, "out of memory");
        return -1;
    }
    if (checked != 0) {
        set_error(REG_ERR_MANIFEST_INVALID, "%s", why);
        return -1;
    }

    // The digest of exactly the bytes passed in, which are exactly the bytes stored: in the
    // algorithm a digest reference names; by tag, SHA-256. (A manifest pushed by a sha512
    // digest is tagged by the tags passed with it.)
    char hex[kHexSize];
    const bool by_digest = is_digest_reference(reference);
    body_hex(body, body_len, by_digest ? hex_algorithm(reference + kPrefixLen) : "sha256", hex);
    if (by_digest && std::strcmp(reference + kPrefixLen, hex) != 0) {
        set_error(REG_ERR_DIGEST_INVALID, "digest reference does not match the manifest body");
        return -1;
    }
    // The references are checked and the files written under the repository's lock, so that
    // neither a delete nor a collection in this repository comes between them.
    {
        repo_lock lock;
        if (lock.acquire(repo_name) != 0) return -1;
        if (check_references(repo_name, facts) != 0) return -1;
        if (store_files(repo_name, reference, body, body_len, manifest_kind_media_type(facts.kind),
                        hex, facts.subject, tags, tag_count) != 0)
            return -1;
    }
    // Listed before the push is answered, outside the repository's lock (rule 8).
    if (catalog_index_note(repo_name) != 0) return -1;
    format_digest(out_digest, kDigestSize, hex);
    if (out_subject) std::snprintf(out_subject, kDigestSize, "%s", facts.subject);
    return 0;
}

extern "C" int reg_manifest_store(const char *repo_name, const char *reference, const void *body,
                                  size_t body_len, const char *media_type, char *out_digest,
                                  char *out_subject) {
    return reg_manifest_store_tagged(repo_name, reference, body, body_len, media_type, nullptr,
                                     0, out_digest, out_subject);
}

extern "C" int reg_manifest_put(const char *repo_name, const char *reference, const void *body,
                                size_t body_len, const char *media_type, char *out_digest) {
    return reg_manifest_store(repo_name, reference, body, body_len, media_type, out_digest,
                              nullptr);
}

extern "C" int reg_manifest_read(const char *repo_name, const char *reference, void *buf,
                                 size_t cap, size_t *out_len, char *out_media_type,
                                 char *out_digest) {
    if (!repo_name || !reference || (!buf && cap > 0) || !out_len || !out_media_type ||
        !out_digest) {
        set_error(REG_ERR_ARGUMENT, "NULL argument");
        return -1;
    }
    if (check_read(repo_name, reference) != 0) return -1;
    char hex[kHexSize];
    if (manifest_resolve(repo_name, reference, hex) != 0) return lookup_failed(repo_name);
    if (read_manifest(repo_name, reference, hex, buf, cap, out_len, out_media_type,
                      REG_MEDIA_TYPE_SIZE) != 0)
        return lookup_failed(repo_name);
    format_digest(out_digest, kDigestSize, hex);
    return 0;
}

extern "C" const char *reg_manifest_get(const char *repo_name, const char *reference,
                                        char *out_media_type, char *out_digest) {
    if (!repo_name || !reference || !out_media_type || !out_digest) {
        set_error(REG_ERR_ARGUMENT, "NULL argument");
        return nullptr;
    }
    if (check_read(repo_name, reference) != 0) return nullptr;
    char hex[kHexSize];
    if (manifest_resolve(repo_name, reference, hex) != 0) {
        lookup_failed(repo_name);
        return nullptr;
    }
    // The body comes back as text in s_result, so it must fit with its terminator.
    size_t len = 0;
    if (read_manifest(repo_name, reference, hex, s_result, kResultSize - 1, &len,
                      out_media_type, kGetMediaTypeSize) != 0) {
        s_result[0] = '\0';
        lookup_failed(repo_name);
        return nullptr;
    }
    s_result[len] = '\0';
    format_digest(out_digest, kDigestSize, hex);
    return s_result;
}

extern "C" int reg_manifest_delete(const char *repo_name, const char *reference) {
    if (!repo_name || !reference) {
        set_error(REG_ERR_ARGUMENT, "NULL argument");
        return -1;
    }
    if (check_lookup(repo_name, reference) != 0) return -1;
    repo_lock lock;
    if (lock.acquire(repo_name) != 0) return -1;
    if (s_repo_locked_hook) s_repo_locked_hook("delete", repo_name);
    return is_digest_reference(reference) ? delete_digest(repo_name, reference)
                                          : delete_tag(repo_name, reference);
}

extern "C" int reg_manifest_exists(const char *repo_name, const char *digest) {
    if (!repo_name || !digest) {
        set_error(REG_ERR_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_repo_digest(repo_name, digest) != 0) return -1;
    return manifest_stored(repo_name, digest + kPrefixLen);
}
