// The layout of the storage tree: every path the engine builds comes from a function here.
// Paths are built in fixed buffers and cut silently to the caller's size; repository names
// may separate their components with '\' as well as '/', and both lead to the same directories.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "platform/bv_platform.h"
#include "storage/storage_internal.h"

namespace reg_internal {

namespace {

// Joins the parts one at a time, each step through a path-sized buffer, the last into out.
void join_all(char *out, size_t out_size, std::initializer_list<const char *> parts) {
    char acc[kPathSize];
    char next[kPathSize];
    const char *const *it = parts.begin();
    std::snprintf(acc, sizeof acc, "%s", *it++);
    while (it != parts.end()) {
        const char *part = *it++;
        if (it == parts.end()) {
            path_join(out, out_size, acc, part);
            return;
        }
        path_join(next, sizeof next, acc, part);
        std::memcpy(acc, next, sizeof acc);
    }
    if (out_size > 0) std::snprintf(out, out_size, "%s", acc);
}

// A repository name with each '\' turned into the platform's separator. On Windows that
// changes nothing; elsewhere '\' would otherwise be part of one directory's name.
const char *native_repo_name(const char *repo_name, char (&buf)[kPathSize]) {
    std::snprintf(buf, sizeof buf, "%s", repo_name ? repo_name : "");
    for (char *p = buf; *p; ++p)
        if (*p == '\\') *p = bv_platform::path_sep;
    return buf;
}

// The digits after "<algorithm>:", or an empty text when the digest is too short to hold them.
const char *digest_hex(const char *digest) {
    return digest && std::strlen(digest) >= kAlgorithmPrefixLen ? digest + kAlgorithmPrefixLen : "";
}

// The first two characters of `hex` (fewer when it is shorter).
void fanout_name(const char *hex, char (&out)[3]) {
    out[0] = hex[0];
    out[1] = hex[0] ? hex[1] : '\0';
    out[2] = '\0';
}

// Whether `name` is longer than `suffix` and ends with it.
bool has_suffix(const char *name, const char *suffix) {
    if (!name) return false;
    const size_t len = std::strlen(name);
    const size_t tail = std::strlen(suffix);
    return len > tail && std::strcmp(name + len - tail, suffix) == 0;
}

}  // namespace

void config_path(char *out, size_t out_size) { path_join(out, out_size, s_root, "config.json"); }

void blobs_dir(const char *algorithm, char *out, size_t out_size) {
    join_all(out, out_size, {s_root, "blobs", algorithm});
}

void uploads_dir(char *out, size_t out_size) { path_join(out, out_size, s_root, "uploads"); }

void repos_dir(char *out, size_t out_size) { path_join(out, out_size, s_root, "repositories"); }

void catalog_index_path(char *out, size_t out_size) {
    path_join(out, out_size, s_root, "repositories.index");
}

void catalog_lock_path(char *out, size_t out_size) {
    path_join(out, out_size, s_root, "repositories.index.lock");
}

void catalog_rewrite_mark_path(char *out, size_t out_size) {
    path_join(out, out_size, s_root, "repositories.index.rewriting");
}

void blob_path_for_digest(const char *digest, char *out, size_t out_size) {
    const char *hex = digest_hex(digest);
    char hh[3];
    fanout_name(hex, hh);
    join_all(out, out_size, {s_root, "blobs", hex_algorithm(hex), hh, hex});
}

void blob_fanout_dir(const char *hex, char *out, size_t out_size) {
    char hh[3];
    fanout_name(hex ? hex : "", hh);
    if (out_size > 0)
        std::snprintf(out, out_size, "%s/blobs/%s/%s", s_root, hex_algorithm(hex), hh);
}

void upload_file_name(const char *upload_uuid, char *out, size_t out_size) {
    if (out_size > 0) std::snprintf(out, out_size, "%s.part", upload_uuid ? upload_uuid : "");
}

void upload_path_for_uuid(const char *upload_uuid, char *out, size_t out_size) {
    char name[128];
    upload_file_name(upload_uuid, name, sizeof name);
    char dir[kPathSize];
    uploads_dir(dir, sizeof dir);
    path_join(out, out_size, dir, name);
}

void blob_link_dir(const char *repo_name, const char *hex, char *out, size_t out_size) {
    char name[kPathSize];
    join_all(out, out_size,
             {s_root, "repositories", native_repo_name(repo_name, name), "_layers",
              hex_algorithm(hex), hex});
}

void blob_link_path(const char *repo_name, const char *hex, char *out, size_t out_size) {
    char dir[kPathSize];
    blob_link_dir(repo_name, hex, dir, sizeof dir);
    path_join(out, out_size, dir, "link");
}

void upload_claim_path(const char *upload_uuid, char *out, size_t out_size) {
    char name[128];
    std::snprintf(name, sizeof name, "%s.finish", upload_uuid ? upload_uuid : "");
    char dir[kPathSize];
    uploads_dir(dir, sizeof dir);
    path_join(out, out_size, dir, name);
}

namespace {

// {root}/uploads/{uuid}{suffix}, a file kept beside an upload.
void upload_side_path(const char *upload_uuid, const char *suffix, char *out, size_t out_size) {
    char name[128];
    std::snprintf(name, sizeof name, "%s%s", upload_uuid ? upload_uuid : "", suffix);
    char dir[kPathSize];
    uploads_dir(dir, sizeof dir);
    path_join(out, out_size, dir, name);
}

}  // namespace

void upload_hash_path(const char *upload_uuid, char *out, size_t out_size) {
    upload_side_path(upload_uuid, kUploadHashSuffix, out, out_size);
}

bool is_upload_hash_name(const char *name) { return has_suffix(name, kUploadHashSuffix); }

void upload_owner_path(const char *upload_uuid, char *out, size_t out_size) {
    upload_side_path(upload_uuid, kUploadOwnerSuffix, out, out_size);
}

bool is_upload_owner_name(const char *name) { return has_suffix(name, kUploadOwnerSuffix); }

void manifests_dir(const char *repo_name, char *out, size_t out_size) {
    char name[kPathSize];
    const char *sep = bv_platform::path_sep_str;
    if (out_size > 0)
        std::snprintf(out, out_size, "%s%srepositories%s%s%s_manifests", s_root, sep, sep,
                      native_repo_name(repo_name, name), sep);
}

void manifest_body_path(const char *repo_name, const char *hex, char *out, size_t out_size) {
    char name[kPathSize];
    join_all(out, out_size,
             {s_root, "repositories", native_repo_name(repo_name, name), "_manifests", hex});
}

void manifest_ct_path(const char *repo_name, const char *hex, char *out, size_t out_size) {
    manifest_body_path(repo_name, hex, out, out_size);
    const size_t len = out_size > 0 ? std::strlen(out) : 0;
    if (len + 1 < out_size) std::snprintf(out + len, out_size - len, ".ct");
}

void manifest_rev_dir(const char *repo_name, const char *hex, char *out, size_t out_size) {
    char name[kPathSize];
    join_all(out, out_size,
             {s_root, "repositories", native_repo_name(repo_name, name), "_manifests",
              "revisions", hex_algorithm(hex), hex});
}

void manifest_rev_path(const char *repo_name, const char *hex, char *out, size_t out_size) {
    char dir[kPathSize];
    manifest_rev_dir(repo_name, hex, dir, sizeof dir);
    path_join(out, out_size, dir, "link");
}

void manifest_tags_dir(const char *repo_name, char *out, size_t out_size) {
    char name[kPathSize];
    join_all(out, out_size,
             {s_root, "repositories", native_repo_name(repo_name, name), "_manifests", "tags"});
}

// A file beside the tags directory rather than in it: no tag directory can ever be taken for
// it, nor it for a tag.
void tag_index_path(const char *repo_name, char *out, size_t out_size) {
    char name[kPathSize];
    join_all(out, out_size,
             {s_root, "repositories", native_repo_name(repo_name, name), "_manifests",
              "tags.index"});
}

void tag_list_dir(const char *repo_name, char *out, size_t out_size) {
    char name[kPathSize];
    const char *sep = bv_platform::path_sep_str;
    if (out_size > 0)
        std::snprintf(out, out_size, "%s%srepositories%s%s%s_manifests%stags", s_root, sep, sep,
                      native_repo_name(repo_name, name), sep, sep);
}

void manifest_tag_dir(const char *repo_name, const char *tag, char *out, size_t out_size) {
    char dir[kPathSize];
    manifest_tags_dir(repo_name, dir, sizeof dir);
    join_all(out, out_size, {dir, tag, "current"});
}

void manifest_tag_path(const char *repo_name, const char *tag, char *out, size_t out_size) {
    char dir[kPathSize];
    manifest_tags_dir(repo_name, dir, sizeof dir);
    join_all(out, out_size, {dir, tag, "current", "link"});
}

void stats_fanout_dir(const char *algorithm, const char *fanout, char *out, size_t out_size) {
    char dir[kPathSize];
    blobs_dir(algorithm, dir, sizeof dir);
    path_join(out, out_size, dir, fanout);
}

void stats_blob_path(const char *fanout_dir, const char *file, char *out, size_t out_size) {
    path_join(out, out_size, fanout_dir, file);
}

void stats_upload_path(const char *file, char *out, size_t out_size) {
    char dir[kPathSize];
    uploads_dir(dir, sizeof dir);
    path_join(out, out_size, dir, file);
}

void repo_dir(const char *repo_name, char *out, size_t out_size) {
    char name[kPathSize];
    join_all(out, out_size, {s_root, "repositories", native_repo_name(repo_name, name)});
}

void repo_layers_dir(const char *repo_name, char *out, size_t out_size) {
    char name[kPathSize];
    join_all(out, out_size, {s_root, "repositories", native_repo_name(repo_name, name), "_layers"});
}

void repo_lock_path(const char *repo_name, char *out, size_t out_size) {
    char name[kPathSize];
    join_all(out, out_size, {s_root, "repositories", native_repo_name(repo_name, name), "_lock"});
}

bool is_repo_marker(const char *entry_name) {
    return std::strcmp(entry_name, "_manifests") == 0 || std::strcmp(entry_name, "_layers") == 0;
}

void manifest_referrers_dir(const char *repo_name, const char *subject_hex,
                            const char *referrer_algorithm, char *out, size_t out_size) {
    char name[kPathSize];
    join_all(out, out_size,
             {s_root, "repositories", native_repo_name(repo_name, name), "_manifests",
              "referrers", hex_algorithm(subject_hex), subject_hex, referrer_algorithm});
}

void manifest_referrer_dir(const char *repo_name, const char *subject_hex,
                           const char *referrer_hex, char *out, size_t out_size) {
    char dir[kPathSize];
    manifest_referrers_dir(repo_name, subject_hex, hex_algorithm(referrer_hex), dir, sizeof dir);
    path_join(out, out_size, dir, referrer_hex);
}

void manifest_referrer_path(const char *repo_name, const char *subject_hex,
                            const char *referrer_hex, char *out, size_t out_size) {
    char dir[kPathSize];
    manifest_referrer_dir(repo_name, subject_hex, referrer_hex, dir, sizeof dir);
    path_join(out, out_size, dir, "link");
}

void blob_links_root(const char *repo_name, const char *algorithm, char *out, size_t out_size) {
    char name[kPathSize];
    join_all(out, out_size,
             {s_root, "repositories", native_repo_name(repo_name, name), "_layers", algorithm});
}

void manifest_revs_root(const char *repo_name, const char *algorithm, char *out,
                        size_t out_size) {
    char name[kPathSize];
    join_all(out, out_size,
             {s_root, "repositories", native_repo_name(repo_name, name), "_manifests",
              "revisions", algorithm});
}

void manifest_referrers_root(const char *repo_name, const char *algorithm, char *out,
                             size_t out_size) {
    char name[kPathSize];
    join_all(out, out_size,
             {s_root, "repositories", native_repo_name(repo_name, name), "_manifests",
              "referrers", algorithm});
}

void blob_trash_path(const char *hex, char *out, size_t out_size) {
    char dir[kPathSize];
    blob_fanout_dir(hex, dir, sizeof dir);
    char name[kHexSize + 8];
    std::snprintf(name, sizeof name, "%s.gc", hex ? hex : "");
    path_join(out, out_size, dir, name);
}

}  // namespace reg_internal
