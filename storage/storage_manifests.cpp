// The manifest store: manifests validated and kept per repository under the digest of their
// bytes, with their media type, a revision link and one link per tag; fetched by tag or digest
// and deleted once no tag names them. Also the engine's repository-name check.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "crypto/sha256.h"
#include "storage/manifest_json.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace reg_internal {

namespace {

constexpr char kDefaultMediaType[] = "application/vnd.docker.distribution.manifest.v2+json";
constexpr char kDigestPrefix[] = "sha256:";
constexpr size_t kPrefixLen = sizeof kDigestPrefix - 1;
constexpr size_t kDigestLen = kPrefixLen + 64;
constexpr size_t kMaxNameLen = 255;
// The largest body get can hand back whole: s_result less its terminating NUL.
constexpr size_t kMaxBody = kResultSize - 1;
constexpr size_t kLinkBufSize = 128;      // tag links are read up to 127 bytes
constexpr size_t kMediaTypeOutSize = 128;  // callers' media-type buffer
constexpr size_t kMediaTypeReadCap = 127;  // so at most 126 bytes of the stored type

bool is_sep(char c) { return c == '/' || c == '\\'; }

bool is_digest_reference(const char *reference) {
    return std::strncmp(reference, kDigestPrefix, kPrefixLen) == 0;
}

// A tag names one directory right below the repository's tags directory, so it may hold no
// separator and may not be "." or "..": those would reach, or make, directories elsewhere.
// An empty tag stays inside the tags directory and simply names no tag link (put has refused
// it as an empty reference already).
bool tag_valid(const char *tag) {
    if (std::strcmp(tag, ".") == 0 || std::strcmp(tag, "..") == 0) return false;
    for (const char *p = tag; *p; ++p)
        if (is_sep(*p)) return false;
    return true;
}

// Whether a tag link starts with "sha256:" and the 64 digits of `hex`. Bytes after them are
// not looked at: for the tag search such a link still names the manifest, so it is kept.
bool link_names(const char *link, size_t len, const char *hex) {
    return len >= kDigestLen && std::memcmp(link, kDigestPrefix, kPrefixLen) == 0 &&
           std::memcmp(link + kPrefixLen, hex, 64) == 0;
}

// The 64 digits of a checked digest string into a hex buffer of kHexSize bytes.
void copy_hex(char *out_hex, const char *digest) {
    std::memcpy(out_hex, digest + kPrefixLen, 64);
    out_hex[64] = '\0';
}

void format_digest(char *out, size_t out_size, const char *hex) {
    std::snprintf(out, out_size, "%s%s", kDigestPrefix, hex);
}

// Sets the message of a failed body check; 0 when the body passed.
int report_verdict(manifest_verdict verdict, size_t bad_layer) {
    switch (verdict) {
        case manifest_verdict::ok: return 0;
        case manifest_verdict::parse_failed: set_error(REG_ERR_MANIFEST_INVALID, "manifest JSON parse failed"); break;
        case manifest_verdict::not_object: set_error(REG_ERR_MANIFEST_INVALID, "manifest must be a JSON object"); break;
        case manifest_verdict::bad_config_digest:
            set_error(REG_ERR_MANIFEST_INVALID, "manifest missing valid config.digest");
            break;
        case manifest_verdict::layers_not_array:
            set_error(REG_ERR_MANIFEST_INVALID, "manifest layers must be an array");
            break;
        case manifest_verdict::bad_layer:
            set_error(REG_ERR_MANIFEST_INVALID, "manifest layer %zu missing valid digest", bad_layer);
            break;
    }
    return -1;
}

// Writes the body, its media type, the revision link and (for a tag) the tag link. Nothing is
// undone on a failure: what was written stays, and a body on disk is still served by digest.
int store_manifest(const char *repo_name, const char *reference, const void *body,
                   size_t body_len, const char *media_type, const char *hex) {
    char body_path[kPathSize];
    char ct_path[kPathSize];
    char dir[kPathSize];
    manifest_body_path(repo_name, hex, body_path, sizeof body_path);
    manifest_ct_path(repo_name, hex, ct_path, sizeof ct_path);

    manifests_dir(repo_name, dir, sizeof dir);
    if (mkdirs(dir) != 0) {
        set_error(REG_ERR_IO, "mkdirs manifests dir failed");
        return -1;
    }
    if (write_file(body_path, body, body_len) != 0) {
        set_error(REG_ERR_IO, "write manifest body failed");
        return -1;
    }
    const char *type = media_type && *media_type ? media_type : kDefaultMediaType;
    if (write_file(ct_path, type, std::strlen(type)) != 0) {
        set_error(REG_ERR_IO, "write manifest ct failed");
        return -1;
    }

    char link_path[kPathSize];
    manifest_rev_path(repo_name, hex, link_path, sizeof link_path);
    manifest_rev_dir(repo_name, hex, dir, sizeof dir);
    if (mkdirs(dir) != 0) {
        set_error(REG_ERR_IO, "mkdirs revision dir failed");
        return -1;
    }
    char digest[80];
    format_digest(digest, sizeof digest, hex);
    if (write_file(link_path, digest, std::strlen(digest)) != 0) {
        set_error(REG_ERR_IO, "write revision link failed");
        return -1;
    }

    // A digest reference only chose how the call was made; the manifest is stored under the
    // digest of its bytes and nothing more is written for it.
    if (is_digest_reference(reference)) return 0;
    manifest_tag_path(repo_name, reference, link_path, sizeof link_path);
    manifest_tag_dir(repo_name, reference, dir, sizeof dir);
    if (mkdirs(dir) != 0) {
        set_error(REG_ERR_IO, "mkdirs tag dir failed");
        return -1;
    }
    if (write_file(link_path, digest, std::strlen(digest)) != 0) {
        set_error(REG_ERR_IO, "write tag link failed");
        return -1;
    }
    return 0;
}

}  // namespace

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
    // Every component must be a real directory name: an empty one or "." would let two
    // different names (a/b, a//b, ./a/b, a\b/) share one directory.
    const char *start = name;
    for (const char *p = name;; ++p) {
        if (*p && !is_sep(*p)) continue;
        const size_t len = static_cast<size_t>(p - start);
        if (len == 0 || (len == 1 && *start == '.')) return 0;
        if (!*p) break;
        start = p + 1;
    }
    return 1;
}

int manifest_resolve(const char *repo_name, const char *reference, char *out_hex) {
    if (is_digest_reference(reference)) {
        if (!digest_valid(reference)) {
            set_error(REG_ERR_DIGEST_INVALID, "invalid digest reference");
            return -1;
        }
        copy_hex(out_hex, reference);
        return 0;
    }
    if (!tag_valid(reference)) {
        set_error(REG_ERR_TAG_INVALID, "invalid tag: %s", reference);
        return -1;
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
    if (len != kDigestLen || !digest_valid(link)) {
        set_error(REG_ERR_IO, "corrupt tag link: %s:%s", repo_name, reference);
        return -1;
    }
    copy_hex(out_hex, link);
    return 0;
}

int manifest_has_tag_for(const char *repo_name, const char *hex) {
    char dir[kPathSize];
    manifest_tags_dir(repo_name, dir, sizeof dir);
    // A listing is large (over 256 KiB); one per process keeps it off the stack.
    static dir_listing listing;
    if (list_dir(dir, &listing) != 0) return 0;
    for (int32_t i = 0; i < listing.count; ++i) {
        const dir_entry &entry = listing.entries[i];
        if (!entry.is_dir) continue;
        char path[kPathSize];
        manifest_tag_path(repo_name, entry.name, path, sizeof path);
        char link[kLinkBufSize];
        size_t len = 0;
        if (read_file(path, link, sizeof link, &len) == 0 && link_names(link, len, hex)) return 1;
    }
    // Tags beyond the listing were never looked at; one of them may still name the manifest,
    // and removing a manifest that a tag names would lose it.
    return listing.truncated ? 1 : 0;
}

}  // namespace reg_internal

using namespace reg_internal;

extern "C" int reg_manifest_put(const char *repo_name, const char *reference, const void *body,
                                size_t body_len, const char *media_type, char *out_digest) {
    if (!repo_name || !reference || !body || !out_digest) {
        set_error(REG_ERR_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_ready() != 0) return -1;
    if (!repo_name_valid(repo_name)) {
        set_error(REG_ERR_NAME_INVALID, "invalid repository name: %s", repo_name);
        return -1;
    }
    if (!*reference) {
        set_error(REG_ERR_TAG_INVALID, "empty reference");
        return -1;
    }
    if (!is_digest_reference(reference) && !tag_valid(reference)) {
        set_error(REG_ERR_TAG_INVALID, "invalid tag: %s", reference);
        return -1;
    }
    // Get returns a body whole or not at all, so a body it could not return is never stored.
    if (body_len > kMaxBody) {
        set_error(REG_ERR_TOO_LARGE, "manifest too large: %zu bytes (at most %zu)", body_len, kMaxBody);
        return -1;
    }
    size_t bad_layer = 0;
    const manifest_verdict verdict = manifest_check(body, body_len, &bad_layer);
    if (report_verdict(verdict, bad_layer) != 0) return -1;

    // The digest of exactly the bytes passed in, which are exactly the bytes stored.
    sha256_ctx ctx;
    uint8_t sum[32];
    sha256_init(&ctx);
    sha256_update(&ctx, body, body_len);
    sha256_final(&ctx, sum);
    char hex[kHexSize];
    bin_to_hex(sum, sizeof sum, hex);

    if (store_manifest(repo_name, reference, body, body_len, media_type, hex) != 0) return -1;
    format_digest(out_digest, kDigestSize, hex);
    return 0;
}

extern "C" const char *reg_manifest_get(const char *repo_name, const char *reference,
                                        char *out_media_type, char *out_digest) {
    if (!repo_name || !reference || !out_media_type || !out_digest) {
        set_error(REG_ERR_ARGUMENT, "NULL argument");
        return nullptr;
    }
    if (require_ready() != 0) return nullptr;
    if (!repo_name_valid(repo_name)) {
        set_error(REG_ERR_NAME_INVALID, "invalid repository name");
        return nullptr;
    }
    char hex[kHexSize];
    if (manifest_resolve(repo_name, reference, hex) != 0) return nullptr;

    char body_path[kPathSize];
    char ct_path[kPathSize];
    manifest_body_path(repo_name, hex, body_path, sizeof body_path);
    manifest_ct_path(repo_name, hex, ct_path, sizeof ct_path);
    size_t len = 0;
    if (read_file(body_path, s_result, kResultSize, &len) != 0) {
        set_error(REG_ERR_NOT_FOUND, "manifest body not found: %s@%s", repo_name, reference);
        return nullptr;
    }
    // A filled buffer may hold only the start of the body; a cut body no longer matches its
    // digest, so it is refused rather than served.
    if (len == kMaxBody && file_size(body_path) > static_cast<int64_t>(kMaxBody)) {
        s_result[0] = '\0';
        set_error(REG_ERR_TOO_LARGE, "manifest body too large: %s@%s", repo_name, reference);
        return nullptr;
    }

    if (read_file(ct_path, out_media_type, kMediaTypeReadCap, nullptr) != 0 || !*out_media_type)
        std::snprintf(out_media_type, kMediaTypeOutSize, "%s", kDefaultMediaType);
    format_digest(out_digest, kDigestSize, hex);
    return s_result;
}

extern "C" int reg_manifest_delete(const char *repo_name, const char *reference) {
    if (!repo_name || !reference) {
        set_error(REG_ERR_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_ready() != 0) return -1;
    if (!repo_name_valid(repo_name)) {
        set_error(REG_ERR_NAME_INVALID, "invalid repository name");
        return -1;
    }
    char hex[kHexSize];
    if (manifest_resolve(repo_name, reference, hex) != 0) return -1;

    char path[kPathSize];
    if (is_digest_reference(reference)) {
        manifest_rev_path(repo_name, hex, path, sizeof path);
        remove_file(path);
    } else {
        manifest_tag_path(repo_name, reference, path, sizeof path);
        if (remove_file(path) != 0) {
            set_error(REG_ERR_IO, "delete tag failed");
            return -1;
        }
    }
    if (manifest_has_tag_for(repo_name, hex)) return 0;

    manifest_body_path(repo_name, hex, path, sizeof path);
    remove_file(path);
    manifest_ct_path(repo_name, hex, path, sizeof path);
    remove_file(path);
    manifest_rev_path(repo_name, hex, path, sizeof path);
    remove_file(path);
    return 0;
}
