/* OCI endpoint helpers: the registry's response envelope, the storage bootstrap and
 * request path parsing. Usable from C and C++. */
#ifndef OCI_COMMON_H
#define OCI_COMMON_H

#include <stddef.h>
#include <stdint.h>

#ifndef BV_NORETURN
#ifdef __cplusplus
#define BV_NORETURN [[noreturn]]
#else
#define BV_NORETURN _Noreturn
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Ends the process with exit status 0 after writing the error envelope. */
BV_NORETURN void oci_send_error(int status, const char *code, const char *message);
void oci_send_json(int status, const char *body);

int oci_init_storage(void);
/* 1 for a repository name of the distribution API's grammar: components of [a-z0-9]+ joined
 * by ".", "_", "__" or runs of "-", separated by "/", at most 255 bytes in all; else 0. */
int oci_valid_repo_name(const char *name);
/* Splits /v2/<name><marker><rest> at the last occurrence of the marker, so a name holding the
 * marker's word still routes. 0 when the name is invalid or does not fit, or the remainder
 * would be cut; see the implementation for the exact buffer contents after a 0. */
int oci_parse_repo_marker(const char *path, const char *marker,
                          char *repo, size_t repo_cap, char *rest, size_t rest_cap);

/* ---- Requests and the endpoint dispatcher ---------------------------------------------------
 * An endpoint program is a table of methods, each with a handler and the access it needs. The
 * dispatcher answers what no handler need repeat (405, refused writes, bad names, a storage
 * that cannot be opened) and then calls the one handler. Handlers answer through the oci_reply
 * functions, which return: nothing on the request path ends the process. */

typedef enum oci_access { OCI_ACCESS_READ = 0, OCI_ACCESS_WRITE = 1 } oci_access;

/* One request. The strings are borrowed from the environment or held in the record; they live
 * as long as the record. */
typedef struct oci_request {
    const char *method;        /* as sent: "GET", "HEAD", ... never null */
    const char *path;          /* PATH_INFO, "/" when unset */
    const char *query;         /* QUERY_STRING, "" when unset */
    const char *user;          /* REMOTE_USER, "" when no one logged in */
    int is_head;               /* 1 for HEAD: answers carry the head only */
    char repo[256];            /* repository name from the path, "" for endpoints without one */
    char rest[512];            /* what follows the marker, without leading or trailing "/" */
} oci_request;

typedef int (*oci_handler)(oci_request *request);

typedef struct oci_route {
    const char *method;   /* "GET", "PUT", ...; a GET row also serves HEAD unless HEAD has one */
    oci_handler handler;
    oci_access access;
} oci_route;

/* Fills `request` from the CGI environment and answers it: splits the path at `marker` (null:
 * the endpoint has no repository name), answers 400 NAME_INVALID for a name outside the grammar
 * and 404 for a path that does not split, 405 UNSUPPORTED with an Allow header for a method not in the table, 403
 * DENIED for a write when REGISTRY_READ_ONLY is set, 500 when the storage cannot be opened;
 * otherwise calls the route's handler and returns its result. */
int oci_dispatch(oci_request *request, const oci_route *routes, size_t route_count,
                 const char *marker);

/* ---- Responses ------------------------------------------------------------------------------
 * Every answer carries the API-version header. Header texts holding CR, LF or NUL are refused
 * (the head is then not written and -1 returned), so no stored or client text can split a
 * response head. */

typedef struct oci_header {
    const char *name;    /* "Location" */
    const char *value;   /* "/v2/..." */
} oci_header;

/* Writes status line, API-version header, Content-Type (null: none), the `count` headers,
 * Content-Length when content_length >= 0, and the empty line; flushes. 0 or -1 as above. */
int oci_reply_head(const oci_request *request, int status, const char *content_type,
                   int64_t content_length, const oci_header *headers, size_t count);
/* A whole answer with a body of `len` bytes (none on HEAD; the length is still announced). */
int oci_reply_body(const oci_request *request, int status, const char *content_type,
                   const void *body, size_t len, const oci_header *headers, size_t count);
/* A whole JSON answer: `json` (null: "{}") and a line end, with the JSON content type. */
int oci_reply_json(const oci_request *request, int status, const char *json,
                   const oci_header *headers, size_t count);
/* The error envelope {"errors":[{"code":...,"message":...}]} as a whole answer. */
int oci_reply_error(const oci_request *request, int status, const char *code,
                    const char *message);
/* The error envelope for the engine's last failure, with the status and code its kind calls
 * for; `not_found_code` names what was missing (BLOB_UNKNOWN, MANIFEST_UNKNOWN, ...). */
int oci_reply_storage_error(const oci_request *request, const char *not_found_code);

/* ---- Request bodies --------------------------------------------------------------------------- */

/* The announced body length (CONTENT_LENGTH), or -1 when none or not a plain decimal number. */
int64_t oci_content_length(void);
/* A reg_read_fn over the request body (standard input, binary); ctx is unused (pass null). */
long oci_read_body(void *ctx, void *buf, size_t cap);

#ifdef __cplusplus
}
#endif

#endif
