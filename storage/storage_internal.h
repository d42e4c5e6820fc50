// Storage engine internals shared by the engine's own sources and its tests: the process-wide
// state, the error slot, the file and directory primitives, digest and upload-identifier
// forms, and every path builder of the storage tree. Not part of the public interface.
#pragma once

// ==== How concurrent operations stay safe ==================================================
// Many processes, on one host or on several over a shared file system, work on one tree at
// once: endpoint programs, the collector and the verifier. No daemon coordinates them; these
// rules do, and every source of the engine keeps them.
//
// 1. Every file that readers see is written whole: a temporary file in the same directory,
//    renamed over the name (write_file). A reader sees the old bytes or the new, never a part.
// 2. Blobs are immutable once named. A finish claims its upload by a no-replace move, hashes
//    it under the upload's lock and moves it into the store with a no-replace move; appends
//    lock the upload file and check that its name still leads to it. A cancel claims the same
//    way, so an append lands wholly before a cancel or a finish, or fails. An upload's owner
//    record (written before its start is answered) binds it to one repository; it goes with
//    the upload.
// 3. Everything below one repository's _manifests (bodies, media types, revision, tag and
//    referrer links) and its blob links change only under the repository's lock
//    (repo_lock: a record lock on {repo}/_lock, held for the few file operations of one put,
//    delete, link or unlink, and by the collector while it decides and removes in that
//    repository). So a put by tag and a delete by digest never interleave: every tag names a
//    whole manifest, every referrer link a stored one. Readers take no lock; rule 1 and the
//    order of writes (media type, body, revision link, referrer link, tags; deletes in the
//    reverse order) keep every read whole. A process holds at most one repository lock at a
//    time, and takes no other lock while it does (no lock order to get wrong). A process that
//    dies drops its lock with it.
// 4. A blob or link that a request acknowledges is a fresh claim: linking an already-linked
//    blob, finishing an upload of a stored blob and linking a blob all set the file's time to
//    now, so the collector's grace period counts from the last acknowledgement, not the first.
// 5. The collector removes only what is older than its grace and unreferenced, and decides
//    each removal again at the moment of removal: links and manifests under the repository's
//    lock (after reading its manifests and tags under that lock); blob files by parking them
//    under a name no reader serves (.gc), then looking for links and at the parked file's time
//    once more, and restoring them when either claims them. A finish or link that meets a
//    parked blob finds no blob under its name: a finish moves its own copy in, a link fails.
// 6. Durable writes: a success answer follows the flush of what it confirms (see below). An
//    upload's bytes are flushed by the finish, before the move that names them a blob; the
//    appends before it only start the write-back of each 8 MiB they complete and wait for
//    none of it, so a write error stays for that flush to report.
// 7. Nothing here makes a tree: serving programs open a root only when its config.json is
//    there (reg_storage_open), so a lost or unmounted tree is refused, never rebuilt empty.
//    Directories inside a tree are made on demand, and a directory that two hosts make at once
//    is made again when a shared file system answers EEXIST and keeps none (mkdirs).
// 8. The catalog index ({root}/repositories.index, storage_catalog.cpp) holds every repository
//    name a listing may show, sorted, and may hold more: a page skips a name that is no
//    repository any more. So it only ever gains names between full rewrites, and every change
//    is made under its own lock ({root}/repositories.index.lock), taken by no process that holds
//    a repository lock and holding none. A push that makes or uses a repository looks its name
//    up after the repository's files are written and before it answers, and adds it under the
//    index lock when missing. A full rewrite (a build by walk where no index can be trusted,
//    or the collector's, which drops removed repositories) walks the tree under that lock while
//    a mark file says so; a push that meets the mark takes the lock rather than trusting what
//    it read. Any index not to be trusted (missing, another version's header, a line that is
//    no repository name or out of order) is never served from: the walk answers and rebuilds.
//    Each repository's tag index ({repo}/_manifests/tags.index, storage_tag_index.cpp, a file
//    beside the tags directory, so never a tag) follows the same form and the same reading
//    rules (a page checks each name's link; storage_name_index.cpp holds what both share), but
//    every change to it is made under the repository's lock, where the tag set changes too: a
//    put adds its new tags (one flushed rewrite; a tag that is there, moved or not, writes
//    nothing) before it writes their links, so the index holds every tag that has a link
//    however the put ends; a delete by tag or by digest, and the collector's, drops the tags
//    after their links are gone. A page that finds no index to trust builds it by a walk
//    under that lock, so no tag set or removed meanwhile is lost from it.

#include "platform/bv_platform_file.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "crypto/sha256.h"
#include "crypto/sha512.h"
#include "platform/bv_platform.h"
#include "storage/reg_storage.h"

namespace bv_platform {
class locked_file;
struct file_identity;
}

namespace reg_internal {

// ---- Sizes -------------------------------------------------------------------------------

inline constexpr size_t kRootSize = 3500;        // s_root: at most 3499 characters
inline constexpr size_t kErrorSize = 1024;       // s_error: messages cut at 1023 characters
inline constexpr size_t kResultSize = 1048576;   // s_result: the shared result buffer
inline constexpr size_t kPathSize = 4096;        // every path is built in buffers of this size
inline constexpr size_t kDigestSize = REG_DIGEST_SIZE;  // "sha512:" + 128 digits + NUL
inline constexpr size_t kHexSize = 129;          // 128 digits + NUL
inline constexpr size_t kUuidSize = 37;          // 36 characters + NUL

// ---- Engine state (one per process, never freed) -----------------------------------------

extern char s_root[kRootSize];       // the storage root, one trailing separator removed
extern int s_ready;                  // 1 while initialised
extern char s_error[kErrorSize];     // the last-error slot
extern char s_result[kResultSize];   // manifest bodies and JSON documents are returned here
extern reg_error_kind s_error_kind;  // the kind of the failure whose message s_error holds

// The switches of the initialised storage (storage_settings.cpp); the defaults before that.
inline constexpr reg_storage_settings kDefaultSettings = {0, 1, 1, 0};
extern reg_storage_settings s_settings;

// Reads the switches from a config.json's text and REGISTRY_DURABLE_WRITES into *out: 0, or -1
// with the message set (REG_ERR_IO) when the text is no JSON object, one of the keys is not a
// boolean or appears twice, or the variable is not "0" or "1"; *out is then untouched.
int settings_parse(const char *text, size_t len, reg_storage_settings *out);
// s_settings = the defaults with the environment's durability, for the writes that come
// before config.json is read: 0 or -1 as settings_parse.
int settings_early_durability();
// settings_parse of the file at `config_path` into s_settings: 0 or -1 with the message set.
// `seen`, when not null, is the file's identity as a stat just found it: a file seen before
// with the same identity is not read again (its switches are kept; the environment's word is
// taken afresh).
int settings_load(const char *config_path, const bv_platform::file_identity *seen);
// Drops the switches settings_load keeps, so that the next load reads the file.
void settings_forget_file();

// printf-style into s_error, cut at 1023 characters, with the failure's kind. Messages reach
// clients: they name digests, tags and repositories, never a path of the server's.
BV_PRINTF_FORMAT(2, 3)
void set_error(reg_error_kind kind, const char *fmt, ...);

// set_error for a write step (a write, flush, rename, link, new directory or removal) that
// failed: REG_ERR_NO_SPACE with "the registry's storage is full (<message>)" when the errno the
// primitives noted at that step (s_write_errno) says the disk or the quota ran out, else
// REG_ERR_IO with the message alone.
BV_PRINTF_FORMAT(1, 2)
void set_write_error(const char *fmt, ...);

// 0 when initialised, else "not initialized - call reg_storage_init first" and -1. Clears
// s_write_errno, so every operation's failures start from none.
int require_ready();
// require_ready, then the repository name's form (REG_ERR_NAME_INVALID): 0 or -1.
int require_repo(const char *repo_name);
// require_repo, then the digest string's form (REG_ERR_DIGEST_INVALID): 0 or -1.
int require_repo_digest(const char *repo_name, const char *digest);

// ---- Primitives (never touch s_error) ------------------------------------------------------
// Each write step that fails notes its errno in s_write_errno at once, before a clean-up (a
// removal, a cut back) can change errno, and a later step's failure replaces it only when no
// step of the same primitive call failed first: the caller's message is about the first.

extern int s_write_errno;

// left + separator + right, cut to out_size - 1 characters; separators are never merged.
void path_join(char *out, size_t out_size, const char *left, const char *right);
// Heap copy the caller frees; null on allocation failure or null input.
char *xstrdup(const char *text);
// Creates every missing directory of the chain (splitting at '/' and '\'): 0 or -1. An EEXIST
// counts only with something found under the name; nothing there, the directory is made again
// (a shared volume answers so when two hosts make it at once), a bounded number of times.
int mkdirs(const char *path);
// Called before each mkdir that mkdirs makes, with its path; a non-zero answer is taken as
// that mkdir's errno and nothing is made (tests stand in for a shared volume that answers
// EEXIST while no directory stays). Null (the default): every mkdir is made.
extern int (*s_mkdir_hook)(const char *path);
int file_exists(const char *path);  // 1: exists and is not a directory
int dir_exists(const char *path);   // 1: exists and is a directory
int64_t file_size(const char *path);  // -1 when the attributes cannot be read
// Up to cap - 1 bytes into buf, NUL after them, count into *out_len (may be null): 0 or -1.
int read_file(const char *path, char *buf, size_t cap, size_t *out_len);
// Replaces the file atomically (temporary file in the same directory, then a replacing
// rename); on failure the old content stays and no temporary file is left: 0 or -1. With
// durable writes the temporary file is flushed before the rename and the directory after it;
// a failure of that last flush leaves the new content in place but answers -1.
int write_file(const char *path, const void *data, size_t len);
// write_file without any flush, for files whose loss costs only time (an upload's hash state).
int write_file_unsynced(const char *path, const void *data, size_t len);
// 0 when the file is gone afterwards or the path is not a file (directories stay); -1 else.
// With durable writes a removal made here is flushed (its directory) before the 0.
int remove_file(const char *path);
// remove_file without the flush: leftovers, temporaries and the collector's removals.
int drop_file(const char *path);

// ---- Durable writes ------------------------------------------------------------------------
// With s_settings.durable_writes every write and removal that a success answer confirms is
// flushed before the answer: files' data before they are renamed into place, directories
// after a name appears in or leaves them. Without it each of these is a no-op answering 0.
// Every flush passes these helpers, so a test hook sees them all.

enum class sync_target { file, dir };
// Called before each flush with what is flushed (a file's path, or a directory); false makes
// the flush fail without being made. Null (the default): every flush is made.
extern bool (*s_sync_hook)(sync_target target, const char *path);
bool durable();  // s_settings.durable_writes
// The open stream's bytes (it stays open); `path` names it for the hook: 0 or -1.
int sync_stream(std::FILE *f, const char *path);
// An open upload file (opened for appending, so that every platform lets it be flushed).
int sync_locked(bv_platform::locked_file &file, const char *path);
// The entries of directory `dir`: 0 or -1.
int sync_dir(const char *dir);
// The directory holding `path` (the current directory for a bare name): 0 or -1.
int sync_parent(const char *path);

// Writes all len bytes at the end of the locked upload file, whose size before the call is
// `at`: 0, or -1 with the errno noted (bytes written before the failure stay; the caller cuts
// them back). With durable writes each window of kWritebackWindow bytes that the write
// completes is handed to the disk at once, without waiting for it, so that the finish's
// flush finds little left to write. The windows are counted from the file's start, so they
// are the same whichever append (or request) fills them. A refused or failed hint changes
// nothing: the finish's flush still writes and reports all of it.
int append_locked(bv_platform::locked_file &file, int64_t at, const void *data, size_t len);
// Called before each append_locked write; false makes the write fail without being made, with
// the errno the hook leaves (EIO when it sets none). Tests stand in a full disk with it.
extern bool (*s_append_hook)(size_t len);
inline constexpr int64_t kWritebackWindow = int64_t{8} << 20;
// Called before each write-back hint append_locked gives, with its range; false stands for a
// file system that refuses the hint, which is then not given. Null (the default): every hint
// is given.
extern bool (*s_writeback_hook)(int64_t offset, int64_t len);

// The entries of one directory, however many it holds: names in one heap pool that grows
// with the directory. Owned by whoever declares it; the destructor frees the memory, and a
// listing may be filled again by another list_dir.
class dir_listing {
public:
    dir_listing() = default;
    ~dir_listing();
    dir_listing(const dir_listing &) = delete;
    dir_listing &operator=(const dir_listing &) = delete;

    size_t count() const { return count_; }
    const char *name(size_t i) const { return pool_ + entries_[i].name_at; }
    bool is_dir(size_t i) const { return entries_[i].is_dir; }

    void clear() { count_ = pool_len_ = 0; }  // no entries; the memory stays for reuse
    bool add(const char *name, bool is_dir);  // false when memory runs out

private:
    struct entry {
        size_t name_at;  // offset of the name in pool_: the pool moves as it grows
        bool is_dir;
    };
    entry *entries_ = nullptr;
    size_t entries_cap_ = 0;
    char *pool_ = nullptr;
    size_t pool_len_ = 0;
    size_t pool_cap_ = 0;
    size_t count_ = 0;
};

// list_dir's answers besides 0: the directory cannot be read (missing, not a directory, or
// refused), or memory ran out part-way, so the listing would not be whole.
inline constexpr int kListUnreadable = -1;
inline constexpr int kListNoMemory = -2;

// Fills `listing` with every entry of `dir` in enumeration order, without "." and "..", and
// without the temporary files of write_file (is_temp_name): 0, else kListUnreadable or
// kListNoMemory with no entries.
int list_dir(const char *dir, dir_listing *listing);

// True for names that write_file uses for its temporary files (regular files only are
// ever created under such names). list_dir already leaves them out.
bool is_temp_name(const char *name);

// ---- Digests and upload identifiers --------------------------------------------------------

// 2 * len lower-case digits and a NUL into out.
void bin_to_hex(const unsigned char *data, size_t len, char *out);
int digest_valid(const char *text);  // "sha256:" + 64 or "sha512:" + 128 lower-case hex digits
// Both algorithms' names are six characters, so a digest's digits always start here.
inline constexpr size_t kAlgorithmPrefixLen = 7;
// The algorithm whose digits `hex` is, by their count: "sha512" for 128, else "sha256". The
// tree names digests by their digits alone below a directory named for the algorithm, and the
// two lengths never meet, so the digits are enough to find that directory.
const char *hex_algorithm(const char *hex);
// "<algorithm>:<hex>" (the algorithm by hex_algorithm) into out.
void digest_from_hex(const char *hex, char *out, size_t out_size);
// A new identifier from 16 bytes of s_random_source into out (37 bytes): 0, or -1 when the
// source fails (out then holds "").
int uuid_make(char *out);
int uuid_valid(const char *text);    // 8-4-4-4-12 lower-case hex digits
// Fills buf with len random bytes, true on success: the system's random source; tests swap
// it to force clashing identifiers or a failing source.
extern bool (*s_random_source)(void *buf, size_t len);

// The algorithms the tree keeps digests of, each under directories of its own name.
inline constexpr const char *kDigestAlgorithms[] = {"sha256", "sha512"};
// The same algorithms as values, in the order of kDigestAlgorithms (an upload's hash state
// stores the value as one byte).
enum class digest_algorithm : uint8_t { sha256 = 0, sha512 = 1 };
inline const char *algorithm_name(digest_algorithm algorithm) {
    return kDigestAlgorithms[static_cast<int>(algorithm)];
}
// The algorithm named `name` ("sha256" or "sha512") into *out: true, or false for any other
// name (null included), with *out untouched.
bool algorithm_from_name(const char *name, digest_algorithm *out);
// The algorithm a digest string starts with: sha512 for "sha512:", else sha256 (the form is
// not tested).
digest_algorithm algorithm_of_digest(const char *digest);
// The digits of the hash of the file's bytes with `algorithm` into hex: 0, or -1 when the file
// cannot be read.
int hash_file_hex(digest_algorithm algorithm, const char *path, char (&hex)[kHexSize]);

// ---- Path builders: every path of the storage tree is built here ---------------------------
// Each writes into out, cut to out_size - 1 characters. Repository names may use '\' as well
// as '/' between components; both name the same nested directories.

void config_path(char *out, size_t out_size);        // {root}/config.json
// {root}/blobs/{algorithm}: every directory named for an algorithm below holds only the
// digests of that algorithm, named by their digits ("sha256" or "sha512", kDigestAlgorithms).
void blobs_dir(const char *algorithm, char *out, size_t out_size);
void uploads_dir(char *out, size_t out_size);        // {root}/uploads
void repos_dir(char *out, size_t out_size);          // {root}/repositories
// {root}/repositories.index, the sorted catalog index (rule 8); its lock file, and the mark a
// full rewrite leaves while it walks the tree.
void catalog_index_path(char *out, size_t out_size);
void catalog_lock_path(char *out, size_t out_size);
void catalog_rewrite_mark_path(char *out, size_t out_size);

// {root}/blobs/{algorithm}/{hh}/{hex} from a digest string (its form is not tested).
void blob_path_for_digest(const char *digest, char *out, size_t out_size);
// The fan-out directory "%s/blobs/{algorithm}/%c%c" from the first two characters of `hex`
// (the algorithm by hex_algorithm, as in every builder that takes digits alone).
void blob_fanout_dir(const char *hex, char *out, size_t out_size);
// "{uuid}.part", the upload file's name.
void upload_file_name(const char *upload_uuid, char *out, size_t out_size);
// {root}/uploads/{uuid}.part
void upload_path_for_uuid(const char *upload_uuid, char *out, size_t out_size);
// {root}/repositories/{name}/_layers/{algorithm}/{hex} and its "link", a repository's blob link
void blob_link_dir(const char *repo_name, const char *hex, char *out, size_t out_size);
void blob_link_path(const char *repo_name, const char *hex, char *out, size_t out_size);
// {root}/uploads/{uuid}.finish, where a finish or a cancel keeps the upload it has claimed
void upload_claim_path(const char *upload_uuid, char *out, size_t out_size);
// {root}/uploads/{uuid}.hash, the hash state of the upload's bytes so far
inline constexpr char kUploadHashSuffix[] = ".hash";
void upload_hash_path(const char *upload_uuid, char *out, size_t out_size);
// Whether a name in {root}/uploads is that of a hash state rather than of an upload.
bool is_upload_hash_name(const char *name);
// {root}/uploads/{uuid}.repo, the owner record: the name of the repository that started it
inline constexpr char kUploadOwnerSuffix[] = ".repo";
void upload_owner_path(const char *upload_uuid, char *out, size_t out_size);
// Whether a name in {root}/uploads is that of an owner record rather than of an upload.
bool is_upload_owner_name(const char *name);

// {root}/repositories/{name}/_manifests
void manifests_dir(const char *repo_name, char *out, size_t out_size);
// {root}/repositories/{name}/_manifests/{hex} and the same with ".ct" appended
void manifest_body_path(const char *repo_name, const char *hex, char *out, size_t out_size);
void manifest_ct_path(const char *repo_name, const char *hex, char *out, size_t out_size);
// {root}/repositories/{name}/_manifests/revisions/{algorithm}/{hex} and its "link"
void manifest_rev_dir(const char *repo_name, const char *hex, char *out, size_t out_size);
void manifest_rev_path(const char *repo_name, const char *hex, char *out, size_t out_size);
// {root}/repositories/{name}/_manifests/tags
void manifest_tags_dir(const char *repo_name, char *out, size_t out_size);
// {root}/repositories/{name}/_manifests/tags.index, the repository's sorted tag index (rule 8)
void tag_index_path(const char *repo_name, char *out, size_t out_size);
// The same directory, as the tag list formats it in one go.
void tag_list_dir(const char *repo_name, char *out, size_t out_size);
// {root}/repositories/{name}/_manifests/tags/{tag}/current and its "link"
void manifest_tag_dir(const char *repo_name, const char *tag, char *out, size_t out_size);
void manifest_tag_path(const char *repo_name, const char *tag, char *out, size_t out_size);

// The statistics walk: names come from listings and are inserted unchanged.
// {root}/blobs/{algorithm}/{fanout}
void stats_fanout_dir(const char *algorithm, const char *fanout, char *out, size_t out_size);
// {fanout_dir}/{file}
void stats_blob_path(const char *fanout_dir, const char *file, char *out, size_t out_size);
// {root}/uploads/{file}
void stats_upload_path(const char *file, char *out, size_t out_size);

// {root}/repositories/{name}, a repository's own directory, and its blob-link area _layers
void repo_dir(const char *repo_name, char *out, size_t out_size);
void repo_layers_dir(const char *repo_name, char *out, size_t out_size);
// Whether an entry of a directory below {root}/repositories makes that directory a repository
// (its _manifests or _layers). Every other "_" name is the engine's and is no repository.
bool is_repo_marker(const char *entry_name);
// {root}/repositories/{name}/_lock, the file whose record lock is the repository's lock.
void repo_lock_path(const char *repo_name, char *out, size_t out_size);
// A manifest's referrer link, which lists it among the referrers of its subject:
// {root}/repositories/{name}/_manifests/referrers/{subject's algorithm}/{subject}/{algorithm}
// holds one directory per referrer of that algorithm, {referrer}, with its "link" (the
// referrer's digest string).
void manifest_referrers_dir(const char *repo_name, const char *subject_hex,
                            const char *referrer_algorithm, char *out, size_t out_size);
void manifest_referrer_dir(const char *repo_name, const char *subject_hex,
                           const char *referrer_hex, char *out, size_t out_size);
void manifest_referrer_path(const char *repo_name, const char *subject_hex,
                            const char *referrer_hex, char *out, size_t out_size);

// The garbage collector's and the verifier's walks: every blob link of a repository
// ({root}/repositories/{name}/_layers/{algorithm}), its revision links
// (.../_manifests/revisions/{algorithm}) and the subjects its referrer links stand beside
// (.../_manifests/referrers/{algorithm}), one algorithm at a time.
void blob_links_root(const char *repo_name, const char *algorithm, char *out, size_t out_size);
void manifest_revs_root(const char *repo_name, const char *algorithm, char *out,
                        size_t out_size);
void manifest_referrers_root(const char *repo_name, const char *algorithm, char *out,
                             size_t out_size);
// {root}/blobs/{algorithm}/{hh}/{hex}.gc, where a collection parks a blob while it makes sure that
// no link has appeared for it; a name no digest has, so no reader ever serves it.
void blob_trash_path(const char *hex, char *out, size_t out_size);

// ---- Repository lock -------------------------------------------------------------------------

// The lock of one repository (rule 3 above), held from acquire() until the object goes. acquire
// makes the repository's directory when missing and waits for the lock: 0, or -1 with the
// message set. Never taken by a process that already holds a repository lock.
class repo_lock {
public:
    int acquire(const char *repo_name);
private:
    bv_platform::lock_file file_;
};
// Called with the operation's name while it holds its repository lock: "put" between the body
// and the tags of a put by tag or with tags, "delete", "link" and "unlink" once locked, "collect" once the
// collector has read the repository's manifests. Tests use it to hold the lock while another
// process tries its turn. Null (the default): no stop.
extern void (*s_repo_locked_hook)(const char *operation, const char *repo_name);

// Sets the file's time to now, marking it as claimed by the request being answered: 0, or -1
// when the file is not there (or its time cannot be set).
int claim_file(const char *path);

// ---- Uploads -------------------------------------------------------------------------------

// Points where an append stops for a test that holds it there to race it with a finish: after
// the upload file is opened, and after it is locked and found still in place. Null: no stop.
enum class append_stage { opened, locked };
extern void (*s_append_pause)(append_stage stage);

// reg_blob_cancel_upload of a valid identifier, with the answer for an upload that is gone or
// claimed by a finish: 0 when `gone_is_done`, else -1 with REG_ERR_NOT_FOUND. Other failures
// are "cancel failed" (REG_ERR_IO, or REG_ERR_CONFLICT where an append pins the name).
int cancel_upload(const char *upload_uuid, bool gone_is_done);

// The running hash of an upload (storage_upload_hash.cpp): the state after its first
// `covered` bytes, in the algorithm the upload was started with. Read and written only under
// the upload's lock.
struct upload_hash {
    digest_algorithm algorithm = digest_algorithm::sha256;
    sha256_ctx ctx;      // the state while algorithm is sha256
    sha512_ctx ctx512;   // the state while algorithm is sha512
    int64_t covered;
    void reset();                           // no bytes yet, in the same algorithm
    void reset(digest_algorithm with);      // no bytes yet, in the algorithm `with`
    void add(const void *data, size_t len); // the next len bytes of the upload
    // The digest string of the bytes covered into out; the state is spent (reset before use).
    void finish(char (&out)[kDigestSize]);
};
// The saved state of the upload, or a reset sha256 one when none can be trusted (missing, torn,
// malformed). Whether it still fits the file is for upload_hash_catch_up to settle.
void upload_hash_load(const char *upload_uuid, upload_hash *out);
// Saves the state beside the upload, atomically and without a flush: 0 or -1.
int upload_hash_save(const char *upload_uuid, const upload_hash &state);
void upload_hash_drop(const char *upload_uuid);  // removes the saved state, if any
// The owner record of an upload (storage_upload_owner.cpp). Records hold the repository name
// with each '\' as '/', so that both spellings of one repository own the same uploads.
// Writes the record for a new upload, atomically and without a flush (like the upload's own
// bytes before its finish, losing it costs the upload, never another's): 0 or -1.
int upload_owner_write(const char *upload_uuid, const char *repo_name);
// True only when the upload's record exists and names exactly this repository.
bool upload_owned_by(const char *upload_uuid, const char *repo_name);
void upload_owner_drop(const char *upload_uuid);  // removes the record, if any

// Makes the state cover the first `size` bytes of the locked file (`to_end`: and whatever
// the file yields after them), reading what it lacks through buf (cap bytes); a state
// covering more than `size` starts over from the first byte. The file's read position moves.
// 0, or -1 when the file cannot be read or ends early (the state is then of no use).
int upload_hash_catch_up(bv_platform::locked_file &file, upload_hash *state, int64_t size,
                         bool to_end, void *buf, size_t cap);

// reg_blob_unlink for a caller that holds the repository's lock, whose removal is flushed only
// when `synced` (the collector's need not be).
int blob_unlink_locked(const char *repo_name, const char *digest, bool synced);

// ---- Manifest store ------------------------------------------------------------------------

// 1 for a repository name the engine stores: 1 to 255 bytes of [A-Za-z0-9._-] in components
// separated by '/' or '\', none empty, "." or beginning with '_' (such names belong to the
// engine's own directories inside a repository), and no ".." anywhere; else 0.
int repo_name_valid(const char *name);
// Whether a reference is meant as a digest: it holds a ':', which no tag does.
bool is_digest_reference(const char *reference);
// The hex digest a reference names: a digest reference's own digits, or a tag link's. 0 with
// 64 digits in out_hex (65 bytes), or -1 with the reason in s_error.
int manifest_resolve(const char *repo_name, const char *reference, char *out_hex);
// The stored media type of manifest `hex` into out (REG_MEDIA_TYPE_SIZE bytes): 0, or -1 with
// out empty when its content-type file is missing or holds anything but a manifest type.
int manifest_media_type(const char *repo_name, const char *hex, char *out);
// 1 when the repository holds the body of the manifest `hex`, else 0.
int manifest_stored(const char *repo_name, const char *hex);
// 1 when a directory of that (valid) name holds manifests or blob links, else 0.
int repo_exists(const char *repo_name);
// reg_manifest_delete of a digest reference for a caller that holds the repository's lock.
int manifest_delete_locked(const char *repo_name, const char *digest);

// ---- Listings and statistics ---------------------------------------------------------------

// src (null: empty) escaped for JSON into dst; a byte is taken only while nine bytes of room
// remain, so a cut falls between whole escape forms. NUL written when pos < cap; returns pos.
size_t json_escape_append(char *dst, size_t cap, const char *src);
// Bytes json_escape_append writes for the whole of `text`, without the NUL.
size_t json_escaped_length(const char *text);
int str_cmp(const char *a, const char *b);   // bytewise strcmp
void sort_str(char **names, size_t count);   // stable sort by str_cmp
// The tag list (repo_name set) or catalog (repo_name null) document of names[0..count) into
// out; -1, with out untouched, when it would not fit whole in cap.
int list_document(char *out, size_t cap, const char *repo_name, const char *const *names,
                  size_t count);
class name_list;

// One page of a sorted name list: the names chosen (pointing into the list), and whether
// names follow them. The destructor frees the array.
struct list_page {
    const char **names = nullptr;
    size_t count = 0;
    bool more = false;  // names after the page (a cut page always has some)
    bool cut = false;   // the page stopped early because its document would not fit
    list_page() = default;
    ~list_page();
    list_page(const list_page &) = delete;
    list_page &operator=(const list_page &) = delete;
};
// Chooses up to `limit` names after `last` (exclusive; null or "" from the start) of the
// sorted `names`, skipping tags whose link cannot be read (repo_name set, unless
// `links_checked` says every name's link was read already; without repo_name a catalog page),
// and stopping early where the page's document would outgrow `cap` bytes. False when memory
// runs out.
bool choose_page(const name_list &names, const char *repo_name, size_t limit, const char *last,
                 size_t cap, list_page *out, bool links_checked = false);
// The names a page holds at most for a caller's n: n < 0 REG_PAGE_DEFAULT, n above
// REG_PAGE_MAX cut to it.
size_t page_limit(int n);
// Copies each listed name to the heap (xstrdup); tests swap it to make a copy fail.
extern char *(*s_name_copy)(const char *text);

// A growing array of heap-held names (copied through s_name_copy); the destructor frees every
// name still held and the array.
class name_list {
public:
    name_list() = default;
    ~name_list();
    name_list(const name_list &) = delete;
    name_list &operator=(const name_list &) = delete;

    size_t count() const { return count_; }
    const char *at(size_t i) const { return slots_[i]; }
    const char *const *names() const { return slots_; }
    bool add(const char *name);  // false when memory runs out; the list is unchanged then
    char *pop();                 // the last name, now owned (and freed) by the caller
    void sort() { sort_str(slots_, count_); }

private:
    char **slots_ = nullptr;
    size_t count_ = 0;
    size_t cap_ = 0;
};

// ---- Sorted name indexes (storage_name_index.cpp) -------------------------------------------
// A file of names, a header line naming its kind and version and then one name a line in
// bytewise order: the catalog index and each repository's tag index. Pages read it by a binary
// search; an index whose header, last byte or any line read is wrong is not to be trusted.

inline constexpr size_t kIndexNameMax = 255;     // the longest name any index holds
inline constexpr size_t kIndexHeaderMax = 64;    // the longest header line
struct name_index_form {
    const char *header;              // the first line, '\n' included
    size_t max_len;                  // the longest name of this kind (at most kIndexNameMax)
    bool (*valid)(const char *name);  // whether a line holds a name of this kind
};
// Whether a name read from an index still names an entry (ctx: the caller's).
using name_present = bool (*)(const void *ctx, const char *name);

// Appends to out up to `want` names after `last` (null or "": from the first) for which
// `present` holds, in order: 1, 0 when there is no index to trust at `path` (out may hold names
// then), -1 when memory runs out.
int name_index_page(const char *path, const name_index_form &form, const char *last,
                    size_t want, name_present present, const void *ctx, name_list *out);
// Every name of a trusted index into out, in order: 1, 0 when there is none to trust, -1 when
// memory runs out.
int name_index_read_all(const char *path, const name_index_form &form, name_list *out);
// Whether the trusted index holds `name`: 1, 0 when it does not, -1 when there is none to trust.
int name_index_holds(const char *path, const name_index_form &form, const char *name);
// Whether the sorted `names` hold `name`, by a binary search.
bool name_list_holds(const name_list &names, const char *name);
// Writes the sorted names as the index at `path` (flushed with durable writes when `synced`):
// 0, or -1 with no index left behind (a stale one would hide what it lacks).
int name_index_write(const char *path, const name_index_form &form, const name_list &names,
                     bool synced);

// Appends the full name of every repository in the tree ("library/ubuntu" for a nested one),
// unsorted: every directory holding a repository marker whose name is a valid repository
// name, found without entering any "_" directory. 0, or -1 when memory runs out.
int collect_repositories(name_list *out);
// The catalog index (rule 8, storage_catalog.cpp).
// Appends to out the names of up to `want` repositories after `last` (null or "": from the
// first), in order, from the index, passing over names that are no repository any more: 1, 0
// when there is no index to trust (out may hold names then; the caller walks instead), -1 when
// memory runs out.
int catalog_index_page(const char *last, size_t want, name_list *out);
// The sorted names of every repository by a walk into out, written as the index (under its
// lock, unless the storage is read-only): 0, or -1 when memory runs out.
int catalog_index_build(name_list *out);
// Makes sure the index lists the repository `repo_name` ('\' spellings as '/') whose files
// are written: 0 when it does or no index exists (the next page builds one by a walk that
// sees it), -1 with the message set when it could not be added and an index stands without it.
int catalog_index_note(const char *repo_name);
// Builds the index again by a walk, under its lock: 0, or -1 when the lock or memory failed.
int catalog_index_rewrite();
bool catalog_index_exists();

// The tag index of one repository (rule 8, storage_tag_index.cpp).
// Appends to out the names of up to `want` tags after `last` (null or "": from the first), in
// order, from the index, passing over names whose link cannot be read: 1, 0 when there is no
// index to trust (out may hold names then; the caller walks instead), -1 when memory runs out.
int tag_index_page(const char *repo_name, const char *last, size_t want, name_list *out);
// The sorted names of every tag whose link can be read, by a walk of the tags directory into
// out, written as the index under the repository's lock (not when the storage is read-only):
// 0, or -1 when memory runs out. Never called with a repository lock held.
int tag_index_build(const char *repo_name, name_list *out);
// For a caller that holds the repository's lock and is about to write the links of `first`
// (may be null) and tags[0..count): makes sure the index lists each, adding the new ones in
// one flushed rewrite (a tag that is there already, moved or not, writes nothing). 0 when it
// does or no index stands (the next page builds one), -1 with the message set when an index
// stands without them.
int tag_index_note(const char *repo_name, const char *first, const char *const *tags,
                   size_t count);
// For a caller that holds the repository's lock and has removed the links of `tags`: drops
// them from the index. A failure leaves an index that holds too many names, which pages pass
// over, or none; so nothing is reported.
void tag_index_forget(const char *repo_name, const name_list &tags);

// Appends the names of the repository's tag directories that are valid tags, unsorted; their
// links are not read. 0, or -1 when memory runs out (a missing directory gives no names).
int collect_tag_names(const char *repo_name, name_list *out);
// A tag counts once its link file can be read; what the link holds is not looked at here.
bool tag_link_readable(const char *repo_name, const char *tag);

// The walks of the statistics; -1 when memory runs out.
int count_repos();                       // repositories, counted as the catalog lists them
int64_t count_blobs(int *out_count);     // bytes in blob files; their number into *out_count
int count_tags();                        // readable tag links of every repository
int count_uploads(int64_t *out_bytes);   // upload files; their bytes into *out_bytes

// The one walk over the blob store's fan-out directories of every algorithm, for statistics,
// collection and verification: visit(fanout_name, fanout_dir, entries) is called for each
// fan-out directory whose listing succeeded and returns 0 to go on or -1 to stop. Returns 0
// when walked, -1 when a listing ran out of memory or visit stopped; a store (or an algorithm's
// part of it) that cannot be listed is walked empty.
template <class Visit>
int for_each_blob_fanout(Visit &&visit) {
    for (const char *algorithm : kDigestAlgorithms) {
        char dir[kPathSize];
        blobs_dir(algorithm, dir, sizeof dir);
        dir_listing outer;
        dir_listing inner;
        const int listed = list_dir(dir, &outer);
        if (listed == kListNoMemory) return -1;
        for (size_t i = 0; listed == 0 && i < outer.count(); ++i) {
            if (!outer.is_dir(i)) continue;
            char fanout[kPathSize];
            stats_fanout_dir(algorithm, outer.name(i), fanout, sizeof fanout);
            const int inner_listed = list_dir(fanout, &inner);
            if (inner_listed == kListNoMemory) return -1;
            if (inner_listed == 0 && visit(outer.name(i), fanout, inner) != 0) return -1;
        }
    }
    return 0;
}

}  // namespace reg_internal
