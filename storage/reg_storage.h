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

int         reg_storage_init(const char *root);
void        reg_storage_cleanup(void);
const char *reg_storage_last_error(void);

int     reg_blob_start_upload(char *out_upload_uuid);               /* at least 37 bytes */
int     reg_blob_append_chunk(const char *upload_uuid, const void *data, size_t len);
int     reg_blob_finish_upload(const char *upload_uuid, const char *expected_digest,
                               char *out_digest);                   /* at least 72 bytes */
int     reg_blob_cancel_upload(const char *upload_uuid);
int     reg_blob_exists(const char *digest);
int64_t reg_blob_get_size(const char *digest);
int     reg_blob_get_filepath(const char *digest, char *out_path, size_t out_size);
int     reg_blob_delete(const char *digest);

int         reg_manifest_put(const char *repo_name, const char *reference, const void *body,
                             size_t body_len, const char *media_type, char *out_digest);
const char *reg_manifest_get(const char *repo_name, const char *reference,
                             char *out_media_type,    /* at least 128 bytes */
                             char *out_digest);       /* at least 72 bytes */
int         reg_manifest_delete(const char *repo_name, const char *reference);

const char *reg_tags_list_json(const char *repo_name);
const char *reg_catalog_json(int n, const char *last);
const char *reg_storage_get_stats_json(void);

#ifdef __cplusplus
}
#endif

#endif
