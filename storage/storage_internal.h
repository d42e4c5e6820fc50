// Storage engine internals shared by the engine's own sources and its tests: the process-wide
// state, the error slot, the file and directory primitives, digest and upload-identifier
// forms, and every path builder of the storage tree. Not part of the public interface.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/bv_platform.h"
#include "storage/reg_storage.h"

namespace reg_internal {

// ---- Sizes -------------------------------------------------------------------------------

inline constexpr size_t kRootSize = 3500;        // s_root: at most 3499 characters
inline constexpr size_t kErrorSize = 1024;       // s_error: messages cut at 1023 characters
inline constexpr size_t kResultSize = 1048576;   // s_result: the shared result buffer
inline constexpr size_t kPathSize = 4096;        // every path is built in buffers of this size
inline constexpr size_t kListMax = 512;          // entries one dir_listing holds
inline constexpr size_t kNameSize = 512;         // an entry name: at most 511 characters
inline constexpr size_t kDigestSize = 72;        // "sha256:" + 64 digits + NUL
inline constexpr size_t kHexSize = 65;           // 64 digits + NUL
inline constexpr size_t kUuidSize = 37;          // 36 characters + NUL

// ---- Engine state (one per process, never freed) -----------------------------------------

extern char s_root[kRootSize];       // the storage root, one trailing separator removed
extern int s_ready;                  // 1 while initialised
extern char s_error[kErrorSize];     // the last-error slot
extern char s_result[kResultSize];   // manifest bodies and JSON documents are returned here
extern reg_error_kind s_error_kind;  // the kind of the failure whose message s_error holds

// printf-style into s_error, cut at 1023 characters, with the failure's kind. Messages reach
// clients: they name digests, tags and repositories, never a path of the server's.
BV_PRINTF_FORMAT(2, 3)
void set_error(reg_error_kind kind, const char *fmt, ...);

// 0 when initialised, else "not initialized - call reg_storage_init first" and -1.
int require_ready();

// ---- Primitives (never touch s_error) ------------------------------------------------------

// left + separator + right, cut to out_size - 1 characters; separators are never merged.
void path_join(char *out, size_t out_size, const char *left, const char *right);
// Heap copy the caller frees; null on allocation failure or null input.
char *xstrdup(const char *text);
// Creates every missing directory of the chain (splitting at '/' and '\'): 0 or -1.
int mkdirs(const char *path);
int file_exists(const char *path);  // 1: exists and is not a directory
int dir_exists(const char *path);   // 1: exists and is a directory
int64_t file_size(const char *path);  // -1 when the attributes cannot be read
// Up to cap - 1 bytes into buf, NUL after them, count into *out_len (may be null): 0 or -1.
int read_file(const char *path, char *buf, size_t cap, size_t *out_len);
// Replaces the file atomically (temporary file in the same directory, then a replacing
// rename); on failure the old content stays and no temporary file is left: 0 or -1.
int write_file(const char *path, const void *data, size_t len);
// 0 when the file is gone afterwards or the path is not a file (directories stay); -1 else.
int remove_file(const char *path);

struct dir_entry {
    char name[kNameSize];
    int32_t is_dir;
};

struct dir_listing {
    dir_entry entries[kListMax];
    int32_t count;
    int32_t truncated;  // 1 when more than kListMax entries were there
};

// Fills `listing` with the entries of `dir` in enumeration order, without "." and "..",
// and without the temporary files of write_file (is_temp_name): 0, or -1 with count 0.
int list_dir(const char *dir, dir_listing *listing);

// True for names that write_file uses for its temporary files (regular files only are
// ever created under such names). list_dir already leaves them out.
bool is_temp_name(const char *name);

// ---- Digests and upload identifiers --------------------------------------------------------

// 2 * len lower-case digits and a NUL into out.
void bin_to_hex(const unsigned char *data, size_t len, char *out);
int digest_valid(const char *text);  // "sha256:" + exactly 64 lower-case hex digits
// A new identifier from 16 bytes of s_random_source into out (37 bytes): 0, or -1 when the
// source fails (out then holds "").
int uuid_make(char *out);
int uuid_valid(const char *text);    // 8-4-4-4-12 lower-case hex digits
// Fills buf with len random bytes, true on success: the system's random source; tests swap
// it to force clashing identifiers or a failing source.
extern bool (*s_random_source)(void *buf, size_t len);

// ---- Path builders: every path of the storage tree is built here ---------------------------
// Each writes into out, cut to out_size - 1 characters. Repository names may use '\' as well
// as '/' between components; both name the same nested directories.

void config_path(char *out, size_t out_size);        // {root}/config.json
void blobs_dir(char *out, size_t out_size);          // {root}/blobs/sha256
void uploads_dir(char *out, size_t out_size);        // {root}/uploads
void repos_dir(char *out, size_t out_size);          // {root}/repositories

// {root}/blobs/sha256/{hh}/{hex} from a digest string (its form is not tested).
void blob_path_for_digest(const char *digest, char *out, size_t out_size);
// The fan-out directory "%s/blobs/sha256/%c%c" from the first two characters of `hex`.
void blob_fanout_dir(const char *hex, char *out, size_t out_size);
// "{uuid}.part", the upload file's name.
void upload_file_name(const char *upload_uuid, char *out, size_t out_size);
// {root}/uploads/{uuid}.part
void upload_path_for_uuid(const char *upload_uuid, char *out, size_t out_size);
// {root}/repositories/{name}/_layers/sha256/{hex} and its "link", a repository's blob link
void blob_link_dir(const char *repo_name, const char *hex, char *out, size_t out_size);
void blob_link_path(const char *repo_name, const char *hex, char *out, size_t out_size);
// {root}/uploads/{uuid}.finish, where a finish keeps the upload it has claimed
void upload_claim_path(const char *upload_uuid, char *out, size_t out_size);

// {root}/repositories/{name}/_manifests
void manifests_dir(const char *repo_name, char *out, size_t out_size);
// {root}/repositories/{name}/_manifests/{hex} and the same with ".ct" appended
void manifest_body_path(const char *repo_name, const char *hex, char *out, size_t out_size);
void manifest_ct_path(const char *repo_name, const char *hex, char *out, size_t out_size);
// {root}/repositories/{name}/_manifests/revisions/sha256/{hex} and its "link"
void manifest_rev_dir(const char *repo_name, const char *hex, char *out, size_t out_size);
void manifest_rev_path(const char *repo_name, const char *hex, char *out, size_t out_size);
// {root}/repositories/{name}/_manifests/tags
void manifest_tags_dir(const char *repo_name, char *out, size_t out_size);
// The same directory, as the tag list formats it in one go.
void tag_list_dir(const char *repo_name, char *out, size_t out_size);
// {root}/repositories/{name}/_manifests/tags/{tag}/current and its "link"
void manifest_tag_dir(const char *repo_name, const char *tag, char *out, size_t out_size);
void manifest_tag_path(const char *repo_name, const char *tag, char *out, size_t out_size);

// The statistics walk: names come from listings and are inserted unchanged.
// {root}/blobs/sha256/{fanout}
void stats_fanout_dir(const char *fanout, char *out, size_t out_size);
// {fanout_dir}/{file}
void stats_blob_path(const char *fanout_dir, const char *file, char *out, size_t out_size);
// {root}/repositories/{entry}/_manifests/tags
void stats_repo_tags_dir(const char *repo_entry, char *out, size_t out_size);
// {tags_dir}/{tag}/current/link
void stats_tag_link_path(const char *tags_dir, const char *tag, char *out, size_t out_size);
// {root}/uploads/{file}
void stats_upload_path(const char *file, char *out, size_t out_size);

// ---- Uploads -------------------------------------------------------------------------------

// Points where an append stops for a test that holds it there to race it with a finish: after
// the upload file is opened, and after it is locked and found still in place. Null: no stop.
enum class append_stage { opened, locked };
extern void (*s_append_pause)(append_stage stage);

// ---- Manifest store ------------------------------------------------------------------------

// 1 for a repository name the engine stores: 1 to 255 bytes of [A-Za-z0-9._-] in components
// separated by '/' or '\', none empty or ".", and no ".." anywhere; else 0.
int repo_name_valid(const char *name);
// The hex digest a reference names: a digest reference's own digits, or a tag link's. 0 with
// 64 digits in out_hex (65 bytes), or -1 with the reason in s_error.
int manifest_resolve(const char *repo_name, const char *reference, char *out_hex);
// 1 when some tag link of the repository names `hex`, or when the tags directory holds more
// entries than one listing sees (an unseen tag may name it); else 0. Sets no message.
int manifest_has_tag_for(const char *repo_name, const char *hex);

// ---- Listings and statistics ---------------------------------------------------------------

// src (null: empty) escaped for JSON into dst; a byte is taken only while nine bytes of room
// remain, so a cut falls between whole escape forms. NUL written when pos < cap; returns pos.
size_t json_escape_append(char *dst, size_t cap, const char *src);
int str_cmp(const char *a, const char *b);  // bytewise strcmp
void sort_str(char **names, int count);     // stable insertion sort by str_cmp
// The tag list (repo_name set) or catalog (repo_name null) document of names[0..count) into
// out; -1, with out untouched, when it would not fit whole in cap.
int list_document(char *out, size_t cap, const char *repo_name, char *const *names, int count);
// Copies each listed name to the heap (xstrdup); tests swap it to make a copy fail.
extern char *(*s_name_copy)(const char *text);

int count_repos();                       // directories right below the repositories directory
int64_t count_blobs(int *out_count);     // bytes in blob files; their number into *out_count
int count_tags();                        // readable tag links of first-level repositories
int count_uploads(int64_t *out_bytes);   // upload files; their bytes into *out_bytes

}  // namespace reg_internal
