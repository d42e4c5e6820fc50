/* Registry storage engine: blobs, uploads, manifests, tags, catalog and statistics kept in
 * one directory tree. Operations return 0 / a value / a pointer on success and -1 / null on
 * failure, with the reason in reg_storage_last_error(). Usable from C and C++. */
#ifndef REG_STORAGE_H
#define REG_STORAGE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Engine state and failures ------------------------------------------------------------
 * reg_storage_init or reg_storage_open must succeed before any other operation. Every failing
 * operation leaves a one-line message (never holding a server path) and a failure kind; both
 * stay until the next failure. Endpoints choose status and error code from the kind, never from
 * the message. */

typedef enum reg_error_kind {
    REG_OK = 0,
    REG_ERR_ARGUMENT,           /* a null or unusable argument: the caller's fault */
    REG_ERR_NOT_READY,          /* reg_storage_init has not succeeded */
    REG_ERR_NAME_INVALID,       /* repository name outside the grammar */
    REG_ERR_DIGEST_INVALID,     /* text is no digest string (reg_digest_valid) */
    REG_ERR_TAG_INVALID,        /* tag outside [a-zA-Z0-9_][a-zA-Z0-9._-]{0,127} */
    REG_ERR_UPLOAD_INVALID,     /* text is not an upload identifier */
    REG_ERR_MANIFEST_INVALID,   /* manifest body or media type refused */
    REG_ERR_NOT_FOUND,          /* no such blob, blob link, upload, manifest or tag */
    REG_ERR_NAME_UNKNOWN,       /* the repository does not exist */
    REG_ERR_REFERENCE_UNKNOWN,  /* a manifest names a blob or manifest the repository lacks */
    REG_ERR_DIGEST_MISMATCH,    /* content does not hash to the digest it was given */
    REG_ERR_RANGE,              /* an append's offset is not the upload's current size */
    REG_ERR_INCOMPLETE,         /* a body ended before its announced length */
    REG_ERR_TOO_LARGE,          /* over a size limit */
    REG_ERR_CONFLICT,           /* another process holds or changed what the call needed */
    REG_ERR_IO,                 /* the file system failed */
    REG_ERR_NO_TREE,            /* the root holds no storage tree (it or its config.json is
                                   missing): reg_storage_open creates none */
    REG_ERR_NO_SPACE            /* a write, flush, rename, link or new directory found the disk
                                   (or the quota) full; nothing half-written is kept */
} reg_error_kind;

/* Makes a storage tree on purpose: creates the root, its folders and a config.json with the
 * defaults where they are missing, and makes the engine ready: 0 or -1. For the command that
 * sets up a registry and for tests; serving programs use reg_storage_open. */
int         reg_storage_init(const char *root);
/* Makes the engine ready on a root that holds a storage tree, one whose config.json is there,
 * and creates or writes nothing at all: 0, or -1 with REG_ERR_NO_TREE when the root or its
 * config.json is missing (a mistyped path, a volume not mounted, a tree removed), so that
 * nothing is ever stored where no tree was made; other failures as reg_storage_init. Folders
 * of the tree that are missing are made by the operations that write into them (the uploads
 * folder one level below the root only). Every call looks for config.json afresh, in a process
 * serving many requests too; it reads the file again only when that look finds it changed
 * (another inode, size, modification or change time), and always while its last change is
 * under two seconds old. */
int         reg_storage_open(const char *root);
/* Makes the engine not ready and forgets the root, the settings (those kept from config.json
 * too), the last failure and the last result. */
void        reg_storage_cleanup(void);
/* reg_storage_cleanup for a process serving many requests, between two of them: the same, except
 * that the next reg_storage_init of the same root takes the tree (root, blobs, repositories,
 * uploads) as still there and only reads config.json afresh (reg_storage_open always does only
 * that, and fails with REG_ERR_NO_TREE once config.json is gone). */
void        reg_storage_end_request(void);
/* Where reg_storage_init reads its environment switches (REGISTRY_DURABLE_WRITES): `lookup`
 * returns a name's value or null when unset; null restores the process environment. The
 * function must stay callable while the engine is used; it is kept process-wide. */
typedef const char *(*reg_env_lookup)(const char *name);
void        reg_storage_set_env_lookup(reg_env_lookup lookup);
/* The last failure's message; never null, owned by the engine, valid until the next call. */
const char *reg_storage_last_error(void);
/* The last failure's kind; REG_OK after a successful reg_storage_init and before any failure. */
reg_error_kind reg_storage_last_error_kind(void);

/* Operating switches of one storage tree. The defaults hold unless the storage's own
 * config.json (read by reg_storage_init) sets the optional keys "readOnly" (true: nothing may
 * be written), "deleteEnabled" (false: nothing may be deleted through the API),
 * "durableWrites" (false: success no longer waits for data to reach the disk) or
 * "sparseIndexes" (true: an index may name child manifests the repository does not hold); the
 * environment variable REGISTRY_DURABLE_WRITES ("0" or "1", read through
 * reg_storage_set_env_lookup's function) overrides the last one. */
typedef struct reg_storage_settings {
    int read_only;        /* default 0 */
    int deletes_enabled;  /* default 1 */
    int durable_writes;   /* default 1: files and their directories are flushed before success */
    int sparse_indexes;   /* default 0: every child an index names must be stored first */
} reg_storage_settings;

/* Copies the switches of the initialised storage into *out (defaults before a successful
 * reg_storage_init). A null out does nothing. */
void reg_storage_get_settings(reg_storage_settings *out);

/* Digest strings: "sha256:" + 64 or "sha512:" + 128 lower-case hex digits. Buffers that
 * receive one hold REG_DIGEST_SIZE bytes. */
#define REG_DIGEST_SIZE 136                 /* "sha512:" + 128 digits + NUL */

/* Form tests, usable before initialisation: 1 when the text has the form, else 0 (null: 0). */
int reg_digest_valid(const char *text);   /* a digest string of either algorithm */
int reg_digest_algorithm_valid(const char *name);  /* "sha256" or "sha512", exactly */
int reg_tag_valid(const char *text);      /* [a-zA-Z0-9_][a-zA-Z0-9._-]{0,127} */
int reg_repo_name_valid(const char *name); /* the engine's repository-name grammar */

/* ---- Blobs and uploads -----------------------------------------------------------------------
 * Blobs are stored once for all repositories under {root}/blobs; a repository sees a blob only
 * through its own blob link. Uploads are named by an identifier of 36 characters drawn from the
 * system's random source. An upload belongs to the repository that started it (reg_upload_*
 * below, the calls every endpoint uses); the reg_blob_* upload calls take an upload by its
 * identifier alone, whoever started it, and are for tools and tests. */

int     reg_blob_start_upload(char *out_upload_uuid);               /* at least 37 bytes */
/* reg_blob_start_upload whose running hash (kept beside the upload as it grows, so that the
 * finish need not read the bytes again) is of `algorithm`: "sha256" or "sha512"
 * (reg_digest_algorithm_valid); null is "sha256", as for reg_blob_start_upload. Any other name
 * is REG_ERR_DIGEST_INVALID ("unsupported digest algorithm") and starts nothing. The choice is
 * a help, never a bound: a finish with a digest of the other algorithm hashes the bytes anew. */
int     reg_blob_start_upload_algorithm(const char *algorithm, char *out_upload_uuid);
int     reg_blob_append_chunk(const char *upload_uuid, const void *data, size_t len);
/* Size in bytes of an open upload, or -1 (REG_ERR_UPLOAD_INVALID, REG_ERR_NOT_FOUND). */
int64_t reg_blob_upload_size(const char *upload_uuid);

/* Supplies request-body bytes: up to `cap` bytes into `buf`; returns the count, 0 at the end of
 * the body, -1 on a read error. */
typedef long (*reg_read_fn)(void *ctx, void *buf, size_t cap);

/* Appends a body to an open upload in bounded memory, whatever its size. `len` is the body's
 * announced length, or -1 to read until `read` reports the end. When `expected_offset` >= 0 it
 * must equal the upload's size, else REG_ERR_RANGE and nothing is read or written; the test and
 * the append are one step towards other appenders and finishes of the same upload. When the
 * body ends before `len` bytes, or reading or writing fails, the upload is cut back to its size
 * before the call (REG_ERR_INCOMPLETE, REG_ERR_IO). `out_size` (may be null) receives the
 * upload's size after the call, also after a REG_ERR_RANGE failure. */
int     reg_blob_append_stream(const char *upload_uuid, reg_read_fn read, void *ctx,
                               int64_t len, int64_t expected_offset, int64_t *out_size);
/* Hashes the upload with the algorithm of `expected_digest` (either, whatever the upload was
 * started with) and moves it into the store. Appends that race the finish either land
 * wholly before the hash or fail; the stored bytes always hash to their name. A blob stored
 * already keeps its bytes and has its time set to now, as a new one would. */
int     reg_blob_finish_upload(const char *upload_uuid, const char *expected_digest,
                               char *out_digest);                   /* REG_DIGEST_SIZE bytes */
/* Takes the upload away from its name, waits for an append in progress on it to end, then
 * removes it with its hash state and owner record: an append that overlaps the cancel either
 * lands wholly before it or fails with REG_ERR_NOT_FOUND. An upload that is gone, or that a
 * finish has claimed, is left alone and answers 0 (reg_upload_cancel: REG_ERR_NOT_FOUND).
 * REG_ERR_CONFLICT where open files pin their names and an append held the upload past the
 * wait; REG_ERR_IO when it cannot be removed (it then stays as it was). */
int     reg_blob_cancel_upload(const char *upload_uuid);

/* Uploads bound to their repository. reg_upload_start writes, beside the new upload and before
 * it returns, an owner record holding the repository name (each '\' taken as '/'). Every
 * other call acts only when the record names the same repository, compared exactly after the
 * same change of separators; an upload of another repository, one without a record (started
 * by reg_blob_start_upload or by a version that kept none) and one that does not exist are all
 * REG_ERR_NOT_FOUND, with nothing read, written or moved. Otherwise each call is its unbound
 * form above; the record goes with the upload (finish, digest mismatch, cancel, collection).
 * A name outside the grammar is REG_ERR_NAME_INVALID. */
int     reg_upload_start(const char *repo_name, char *out_upload_uuid);  /* at least 37 bytes */
/* reg_upload_start with the running hash of reg_blob_start_upload_algorithm. */
int     reg_upload_start_algorithm(const char *repo_name, const char *algorithm,
                                   char *out_upload_uuid);
int64_t reg_upload_size(const char *repo_name, const char *upload_uuid);
int     reg_upload_append(const char *repo_name, const char *upload_uuid, reg_read_fn read,
                          void *ctx, int64_t len, int64_t expected_offset, int64_t *out_size);
int     reg_upload_finish(const char *repo_name, const char *upload_uuid,
                          const char *expected_digest, char *out_digest);  /* REG_DIGEST_SIZE bytes */
int     reg_upload_cancel(const char *repo_name, const char *upload_uuid);

int     reg_blob_exists(const char *digest);
int64_t reg_blob_get_size(const char *digest);
int     reg_blob_get_filepath(const char *digest, char *out_path, size_t out_size);
int     reg_blob_delete(const char *digest);

/* Repository blob links, {root}/repositories/{name}/_layers/{algorithm}/{hex}/link. Links change
 * only under the repository's lock, which manifest puts and deletes and the collector take too.
 * reg_blob_link: links a stored blob into the repository (REG_ERR_NOT_FOUND when the blob is
 * not stored); linking twice is no failure, and every link, new or not, sets the link's and the
 * blob's time to now, so that the collector's grace counts from the last push; a link that
 * fails removes the directories it made, leaving no repository behind. reg_blob_unlink: removes the link, REG_ERR_NOT_FOUND
 * when there is none; the blob's bytes stay for garbage collection. reg_blob_linked: 1 when the
 * repository links the blob and the blob is stored, 0 when not, -1 on a failure. */
int     reg_blob_link(const char *repo_name, const char *digest);
int     reg_blob_unlink(const char *repo_name, const char *digest);
int     reg_blob_linked(const char *repo_name, const char *digest);
/* reg_blob_linked for a request whose answer tells the client that the repository has the blob
 * (a blob GET or HEAD): a push goes on from such an answer without sending the blob again, so
 * the link is claimed as a new link would be. When the answer is 1 and the storage is not
 * read-only, a link older than a second has its time set to now under the repository's lock,
 * so that the collector's grace counts from the answer's own second, however short the grace
 * (a younger link is left as it is: a read writes at most once a second per link), and a link
 * a collection removed meanwhile answers 0. `size` (may be null) receives the blob's size when the answer
 * is 1, -1 otherwise. */
int     reg_blob_linked_claim(const char *repo_name, const char *digest, int64_t *size);
/* The first repository, in catalog order (reg_catalog_page_json's), that links the stored blob
 * `digest` (reg_blob_linked) and that `accept` takes: accept(ctx, name) is asked only about
 * repositories that link it, and returns nonzero to take one. 1 with the name in `out_repo`
 * (256 bytes), 0 when no repository is taken (out_repo ""), -1 on a failure (a malformed
 * digest: REG_ERR_DIGEST_INVALID). For a mount that names no source repository. */
typedef int (*reg_repo_fn)(void *ctx, const char *repo_name);
int     reg_blob_find_linking_repo(const char *digest, reg_repo_fn accept, void *ctx,
                                   char *out_repo);

/* ---- Manifests ------------------------------------------------------------------------------
 * A manifest is stored per repository under the digest of its exact bytes, with its media type,
 * a revision link, one link per tag and, when it has a subject, a referrer link beside the
 * subject. References are tags (reg_tag_valid) or digest strings. */

#define REG_MANIFEST_MAX (4 * 1024 * 1024)  /* largest manifest body stored, in bytes */
#define REG_MEDIA_TYPE_SIZE 256             /* media types are at most 255 bytes */

int         reg_manifest_put(const char *repo_name, const char *reference, const void *body,
                             size_t body_len, const char *media_type, char *out_digest);
/* reg_manifest_put that also reports the body's subject: `out_subject` (REG_DIGEST_SIZE bytes, may be null)
 * receives the subject's digest string, or "" when the body has none. `media_type` may be a raw
 * Content-Type (parameters and surrounding blanks are dropped); null or empty takes the body's
 * own "mediaType", else what its members imply ("config": OCI manifest, "manifests": OCI
 * index). The manifest is stored under that type, one of the OCI image manifest and index and
 * the Docker schema 2 manifest and manifest list. Refuses bodies over
 * REG_MANIFEST_MAX (REG_ERR_TOO_LARGE), media types with control bytes or of 256 bytes or more
 * and invalid bodies (REG_ERR_MANIFEST_INVALID), a digest reference that is not the body's
 * digest (REG_ERR_DIGEST_INVALID), and bodies naming a config, layer (unless it carries "urls")
 * or child manifest the repository does not hold (REG_ERR_REFERENCE_UNKNOWN). */
int         reg_manifest_store(const char *repo_name, const char *reference, const void *body,
                               size_t body_len, const char *media_type, char *out_digest,
                               char *out_subject);
/* reg_manifest_store that also sets each of the `tag_count` tags in `tags` (null only when
 * tag_count is 0) to the stored manifest, whatever the reference: a digest reference of either
 * algorithm names the manifest by that digest, and so do its tags (the only way to tag a
 * manifest named by its sha512 digest). Every tag is checked before anything is stored; one
 * that is no tag (reg_tag_valid) refuses the call with REG_ERR_TAG_INVALID and nothing
 * written. The tags are written after the manifest, under the same repository lock; a failure
 * among them (a full disk) keeps the manifest and the tags written before it. */
int         reg_manifest_store_tagged(const char *repo_name, const char *reference,
                                      const void *body, size_t body_len, const char *media_type,
                                      const char *const *tags, size_t tag_count,
                                      char *out_digest, char *out_subject);
const char *reg_manifest_get(const char *repo_name, const char *reference,
                             char *out_media_type,    /* at least 128 bytes */
                             char *out_digest);       /* REG_DIGEST_SIZE bytes */
/* Reads a manifest into the caller's buffer of `cap` bytes (buf may be null only when cap is 0;
 * no argument else may be null): 0 with the body's length in
 * *out_len, its media type in `out_media_type` (REG_MEDIA_TYPE_SIZE bytes) and its digest string
 * in `out_digest` (REG_DIGEST_SIZE bytes). REG_ERR_TOO_LARGE when the body does not fit; REG_ERR_NOT_FOUND
 * for an unknown tag or digest; REG_ERR_NAME_UNKNOWN when the repository does not exist. */
int         reg_manifest_read(const char *repo_name, const char *reference, void *buf,
                              size_t cap, size_t *out_len, char *out_media_type,
                              char *out_digest);
/* A digest reference removes the manifest and every tag naming it; a tag removes that tag only.
 * REG_ERR_NOT_FOUND when there is nothing to remove; REG_ERR_NAME_UNKNOWN when the repository
 * does not exist. */
int         reg_manifest_delete(const char *repo_name, const char *reference);
/* 1 when the repository holds the manifest of this digest string, 0 when not, -1 on failure. */
int         reg_manifest_exists(const char *repo_name, const char *digest);
/* 1 when the repository exists (it holds manifests or blob links), 0 when not, -1 on failure. */
int         reg_repo_exists(const char *repo_name);

#define REG_REFERRERS_PAGE_BYTES (1024 * 1024)  /* default byte budget of a referrers page */

/* One page of the referrers of `digest` in the repository, as an image index document:
 * descriptors of the manifests whose subject is `digest`, filtered by `artifact_type` when it
 * is not null or empty, in the order of their digests, starting after the digest string `last`
 * (null or "": from the first; anything else but a digest is REG_ERR_DIGEST_INVALID). The page
 * holds the descriptors that keep the document within `page_bytes` (0: the default above),
 * and at least one: a descriptor larger than the budget comes alone on its page. 0 with the
 * document (NUL-terminated, from malloc: the caller frees it with free()) in *out_doc and its
 * length in *out_len; `out_next` (REG_DIGEST_SIZE bytes, may be null) receives the page's last digest when
 * more referrers pass the filter, else "". An unknown subject or repository gives an empty
 * index. -1 on failure (*out_doc null). */
int reg_referrers_page(const char *repo_name, const char *digest, const char *artifact_type,
                       const char *last, size_t page_bytes, char **out_doc, size_t *out_len,
                       char *out_next);
/* The unpaged form, in the shared result buffer (valid until the next listing or manifest
 * get): every referrer, or REG_ERR_TOO_LARGE when they do not fit the buffer whole. */
const char *reg_referrers_json(const char *repo_name, const char *digest,
                               const char *artifact_type);

/* ---- Listings and statistics --------------------------------------------------------------
 * Listings see every entry of a directory, however many. Documents are returned in the engine's
 * shared result buffer, valid until the next listing, statistics or manifest get. */

#define REG_PAGE_DEFAULT 1000   /* page size when the caller gives none (n < 0) */
#define REG_PAGE_MAX 5000       /* larger pages are cut to this size */

/* Unpaged forms: every tag (REG_ERR_NAME_UNKNOWN for an unknown repository), or the catalog
 * page of n names (n <= 0: all) after `last`; REG_ERR_TOO_LARGE when the document would not
 * fit the result buffer whole. */
const char *reg_tags_list_json(const char *repo_name);
const char *reg_catalog_json(int n, const char *last);
/* One page of the sorted tag list (REG_ERR_NAME_UNKNOWN for an unknown repository) or of the
 * catalog of full repository names: at most `n` names (n < 0: REG_PAGE_DEFAULT; n == 0: none)
 * after `last` (null or "": from the start). `out_next` (256 bytes, may be null, may be the
 * buffer `last` points into) receives the page's last name when more names follow, else "". A
 * page whose document would outgrow the result buffer ends early, with its next name set. */
const char *reg_tags_page_json(const char *repo_name, int n, const char *last, char *out_next);
const char *reg_catalog_page_json(int n, const char *last, char *out_next);
const char *reg_storage_get_stats_json(void);

/* ---- Garbage collection and verification --------------------------------------------------
 * Both walk the whole tree of an initialised engine and may run while the registry serves.
 * Items are reported to the caller's callback as they are found, each as one line of text
 * (no line end) valid only during the call. */

/* Reports one item: `kind` is "blob", "link", "manifest" or "upload" for the collector and a
 * problem's short name for the verifier; `line` the whole line to show. */
typedef void (*reg_item_fn)(void *ctx, const char *kind, const char *line);
/* Reports progress: `phase` ("repositories", "blobs", "uploads"), items done of `total`. */
typedef void (*reg_progress_fn)(void *ctx, const char *phase, size_t done, size_t total);

typedef struct reg_gc_options {
    int64_t grace_blobs;    /* blobs, blob links and (untagged) manifests younger than this
                               many seconds stay whatever refers to them */
    int64_t grace_uploads;  /* upload files (.part, and .finish claims) younger than this stay */
    int dry_run;            /* nonzero: report what would go, remove nothing */
    int delete_untagged;    /* nonzero: manifests that no tag names and no kept manifest
                               names (as an index child or as a referrer's subject) go too */
    reg_item_fn on_item;    /* may be null: each removed (or, on a dry run, removable) item */
    reg_progress_fn on_progress;  /* may be null */
    void *ctx;              /* passed to both callbacks unchanged */
} reg_gc_options;

typedef struct reg_gc_result {
    int64_t blobs, blob_bytes;        /* blob files removed and their bytes */
    int64_t links;                    /* repository blob links removed */
    int64_t manifests, manifest_bytes;/* manifests removed (delete_untagged) and their bytes */
    int64_t uploads, upload_bytes;    /* upload files removed and their bytes, with the files
                                         of writes a killed program never finished */
    int64_t spared;                   /* unreferenced items kept for being younger than grace */
    int64_t failures;                 /* items that should have gone but could not be removed */
} reg_gc_result;

/* Removes what no repository refers to. Every stored manifest of every repository is a root
 * (with delete_untagged only tagged ones, young ones and ones whose body cannot be read);
 * from the roots are marked their index children, configs, layers, subjects and the
 * referrers of every kept manifest. Then go: manifests not kept (delete_untagged only), blob
 * links of a repository that none of its kept manifests names, blob files that no kept
 * manifest names and no remaining link names, and upload files, each only when older than
 * its grace period. A repository with a body that cannot be parsed keeps all its links and
 * their blobs. On a dry run the result counts what would go. `opts` must not be null;
 * `out` (may be null) receives the counts, also after a failure part-way. 0, or -1
 * (REG_ERR_ARGUMENT, REG_ERR_NOT_READY, REG_ERR_IO when the tree cannot be read whole). */
int reg_gc_run(const reg_gc_options *opts, reg_gc_result *out);

typedef struct reg_verify_result {
    int64_t blobs, manifests, links;  /* items checked */
    int64_t problems;                 /* corrupt or dangling items reported */
} reg_verify_result;

/* Re-hashes every blob and manifest body and checks every link: blob links, tag links,
 * revision links and referrer links must hold a digest string that names a stored blob or
 * manifest, and every blob and child a manifest needs must be there. Each problem goes to
 * `on_problem` (may be null) as one line. `out` (may be null) receives the counts. 0 when the
 * walk finished (whatever it found), -1 when it could not (REG_ERR_NOT_READY, REG_ERR_IO). */
int reg_verify_run(reg_item_fn on_problem, void *ctx, reg_verify_result *out);

#ifdef __cplusplus
}
#endif

#endif
