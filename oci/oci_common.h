/* OCI endpoint helpers: the registry's response envelope, the storage bootstrap and
 * request path parsing. Usable from C and C++. */
#ifndef OCI_COMMON_H
#define OCI_COMMON_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "storage/reg_storage.h"

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

/* The one-request forms: the status, the API-version header, the JSON content type and the
 * body, without Content-Length. oci_send_error writes the error envelope (null code "UNKNOWN",
 * written unescaped; null message "Unknown error") and ends the request (cgi_end_request);
 * oci_send_json writes `body` (null or "": "{}") and a line end, flushes and returns. */
BV_NORETURN void oci_send_error(int status, const char *code, const char *message);
void oci_send_json(int status, const char *body);

/* Finds the storage root (REGISTRY_STORAGE_ROOT, else ./config.json, else ./registry_storage)
 * and opens the storage tree there once per request (oci_dispatch starts each afresh;
 * reg_storage_open, which makes nothing): 0 when ready, -1 with the engine's last error,
 * REG_ERR_NO_TREE when the root holds no tree. */
int oci_init_storage(void);
/* The storage root oci_init_storage would open, into `out` (`cap` bytes, cut to fit and
 * NUL-terminated; null or 0 writes nothing): for commands that name it to a person. */
void oci_storage_root(char *out, size_t cap);
/* 1 for a repository name of the distribution API's grammar: components of [a-z0-9]+ joined
 * by ".", "_", "__" or runs of "-", separated by single "/", at most 255 bytes in all; else 0
 * (null: 0). */
int oci_valid_repo_name(const char *name);
/* Splits [/...][v2/]<name><marker><rest> at the last occurrence of `marker`, so a name holding
 * the marker's word still routes; leading "/" of the remainder and one trailing "/" are
 * dropped. Returns 1 with both buffers filled. Returns 0, when path, marker or repo is null or
 * repo_cap is 0, writing nothing; else with the buffers as follows: no marker, an empty marker,
 * an empty name or one that does not fit repo_cap: both ""; a name outside the grammar, or a
 * remainder that would not fit rest_cap: the name in `repo`, `rest` "". `rest` may be null or
 * rest_cap 0: the remainder is then neither checked nor written. Capacities count the NUL. */
int oci_parse_repo_marker(const char *path, const char *marker,
                          char *repo, size_t repo_cap, char *rest, size_t rest_cap);
/* 1 for a path of an API extension, which this registry offers none of: "/v2/" followed by
 * segments of which one begins with "_" ("/v2/_oci/ext/discover", "/v2/lib/app/_ext/x"), the
 * catalog ("/v2/_catalog", with or without a trailing "/") excepted; else 0 (null: 0). The web
 * servers' routes send such paths to the version check's program, which answers them 404. */
int oci_extension_path(const char *path);

/* ---- Requests and the endpoint dispatcher ---------------------------------------------------
 * An endpoint program is a table of methods, each with a handler and the access it needs. The
 * dispatcher answers what no handler need repeat (405, refused writes, bad names, a storage
 * that cannot be opened) and then calls the one handler. Handlers answer through the oci_reply
 * functions, which return: nothing on the request path ends the process. */

/* What a route does: reads, writes (pushes), or deletes stored content. Deletes are writes
 * that can also be switched off on their own. */
typedef enum oci_access { OCI_ACCESS_READ = 0, OCI_ACCESS_WRITE = 1, OCI_ACCESS_DELETE = 2 } oci_access;

/* One request. The strings are borrowed from the environment or held in the record; they live
 * as long as the record. A null request given to the reply functions stands for a GET. */
typedef struct oci_request {
    const char *method;        /* as sent: "GET", "HEAD", ...; "GET" when unset; never null */
    const char *path;          /* PATH_INFO, "/" when unset */
    const char *query;         /* QUERY_STRING, "" when unset */
    const char *user;          /* REMOTE_USER, "" when no one logged in */
    int is_head;               /* 1 for HEAD (exactly): answers carry the head only */
    char repo[256];            /* repository name from the path, "" for endpoints without one */
    char rest[512];            /* what follows the marker, without leading or trailing "/" */
} oci_request;

typedef int (*oci_handler)(oci_request *request);

typedef struct oci_route {
    const char *method;   /* "GET", "PUT", ...; a GET row also serves HEAD unless HEAD has one */
    oci_handler handler;
    oci_access access;
} oci_route;

/* Fills `request` (which the caller owns; nothing of it is kept) from the CGI environment and
 * answers it, in this order: splits PATH_INFO at the last `marker` (null: the endpoint has no
 * repository name, repo and rest stay ""), 400 NAME_INVALID for a name outside the grammar and
 * 404 NAME_UNKNOWN for a path that does not split; 405 UNSUPPORTED with an Allow header for a
 * method not in the table; for a write or delete route 405 UNSUPPORTED "the registry is
 * read-only" while REGISTRY_READ_ONLY is set and not "0", and for a delete route 405
 * UNSUPPORTED "deletes are disabled on this registry" while REGISTRY_DELETE_ENABLED is "0";
 * 403 DENIED with the reason for what oci_access_check refuses, 500 UNKNOWN when the access
 * rules are unusable; 500 UNKNOWN when the storage cannot be opened; then the storage's own switches (reg_storage_get_settings): the
 * read-only answer when read_only is 1, the deletes-disabled one when deletes_enabled is 0 and
 * REGISTRY_DELETE_ENABLED is unset or empty (set, it wins over the storage).
 * Otherwise calls the route's handler and returns its result. Returns 0 after answering itself
 * (-1 when that answer could not be written). */
int oci_dispatch(oci_request *request, const oci_route *routes, size_t route_count,
                 const char *marker);
/* Binds an endpoint's table to the process: cgi_serve with a handler that answers each request
 * through oci_dispatch on a fresh oci_request. Returns the exit status: 0 when every answer was
 * written, 1 when a CGI answer could not be (cgi_serve's own statuses otherwise). */
int oci_serve(const oci_route *routes, size_t route_count, const char *marker);

/* ---- The endpoint tables ---------------------------------------------------------------------
 * What each endpoint program serves, kept apart from the code that answers, so that the programs
 * and the authorizer (v2_access, which the web server asks with the request's head alone, before
 * it takes the body) decide every request alike: the program's name, the marker its paths split
 * at, and per method the access it needs and the largest body it takes. */

typedef struct oci_method_rule {
    const char *method;      /* "PUT", ...; a GET rule also serves HEAD unless HEAD has one */
    oci_access access;
    int64_t body_limit;      /* the largest announced body in bytes; 0: the program sets none */
    const char *too_large;   /* the message of the 413 for a larger one */
} oci_method_rule;

typedef struct oci_endpoint {
    const char *program;     /* "v2_manifests": the program's file name, the web server's route */
    const char *marker;      /* "/manifests/"; null: the paths name no repository */
    const oci_method_rule *rules;
    size_t rule_count;
    /* Non-null for the version check, which decides nothing but the method: any other gets
     * 405 UNSUPPORTED with this message and no Allow header. */
    const char *method_refused;
} oci_endpoint;

/* The table of the endpoint program named `program`; null for a name that is none of them (or
 * null). */
const oci_endpoint *oci_endpoint_find(const char *program);
/* The rule of `endpoint` for `method` (a HEAD without a rule of its own takes GET's), or null
 * when the table has none or either argument is null. */
const oci_method_rule *oci_endpoint_rule(const oci_endpoint *endpoint, const char *method);

typedef struct oci_method_handler {
    const char *method;
    oci_handler handler;
} oci_method_handler;

/* oci_dispatch for the endpoint program `program`, from its table (oci_endpoint_find): the same
 * checks in the same order, then 413 SIZE_INVALID with the rule's message for a CONTENT_LENGTH
 * over the rule's body limit, then the handler of `handlers` named by the rule's method (500
 * UNKNOWN when the program has no table or no such handler). */
int oci_dispatch_endpoint(oci_request *request, const char *program,
                          const oci_method_handler *handlers, size_t count);
/* oci_serve over oci_dispatch_endpoint. */
int oci_serve_endpoint(const char *program, const oci_method_handler *handlers, size_t count);

/* Decides the request being served in the FastCGI authorizer role (cgi_is_authorizer), from its
 * head alone: the program and the /v2/... path from REDIRECT_URI ("/.endpoints/<program>" and
 * the path, percent-decoded, as PATH_INFO would hold it), the announced length from
 * HTTP_CONTENT_LENGTH. A request for an endpoint program gets the answer that program would give
 * before its handler runs (the checks of oci_dispatch_endpoint, or the version check's 405); any
 * other refusal is not its to give. A request that may go on gets "Status: 200" and nothing
 * more; so does one for another program, or one whose path cannot be read (the program decides
 * it then). Outside the authorizer role: 500 UNKNOWN. Returns 0 after answering, -1 when the
 * answer could not be written. */
int oci_authorize(void);

/* The access decision for one request: may request->user ("" or null: no one logged in) have
 * `access` to request->repo ("" for endpoints without a repository)? Decided from the access
 * file REGISTRY_ACCESS_FILE names, read afresh on every call (unset or empty: no file, and
 * everything is permitted). Lines "USER: read=P,... write=P,..." ("#" starts a comment) grant
 * the repositories under each prefix P (whole name components; "*" every repository, and only it
 * grants endpoints without one) to USER;
 * a line for "*" applies to every request, logged in or not. Write access includes read, and
 * deletes need write. Returns 1 when permitted, 0 when refused (a null request too), -1 when
 * the file cannot be read, exceeds 1 MiB or has any malformed line: then nothing is permitted,
 * and the cause goes to standard error. `why` (may be null when why_cap is 0) receives a
 * message for the client: "" on 1, the reason otherwise, cut to fit why_cap. */
int oci_access_check(const oci_request *request, oci_access access, char *why, size_t why_cap);
/* oci_access_check as a yes or no: 1 only when it permits. A null request gives 0. */
int oci_access_permits(const oci_request *request, oci_access access);

/* ---- Responses ------------------------------------------------------------------------------
 * Every answer carries the API-version header and a status line without reason text. Header
 * names must be HTTP tokens; header values and the content type must not hold CR, LF or any
 * other control byte but the tab (a C string ends at its NUL, so none can hold one). Anything
 * else is refused before a byte is written: -1 and nothing written, so no stored or client text
 * can split a response head. Otherwise 0 (-1 as well when the answer could not be sent).
 * A 503 or 429 answer carries "Retry-After: 60" unless the caller's headers name a Retry-After.
 * On a HEAD request (request->is_head) the body functions write the head alone, announcing
 * the Content-Length of the body a GET would get. */

typedef struct oci_header {
    const char *name;    /* "Location" */
    const char *value;   /* "/v2/..." */
} oci_header;

/* Writes status line, API-version header, Content-Type (null: none), the `count` headers
 * (`headers` may be null when `count` is 0), Content-Length when content_length >= 0, and the
 * empty line; flushes. The caller writes the body, if any, itself. */
int oci_reply_head(const oci_request *request, int status, const char *content_type,
                   int64_t content_length, const oci_header *headers, size_t count);
/* A whole answer with a body of `len` bytes (`body` may be null when `len` is 0). */
int oci_reply_body(const oci_request *request, int status, const char *content_type,
                   const void *body, size_t len, const oci_header *headers, size_t count);
/* A whole JSON answer: `json` (null or "": "{}") and a line end, with the JSON content type. */
int oci_reply_json(const oci_request *request, int status, const char *json,
                   const oci_header *headers, size_t count);
/* The error envelope {"errors":[{"code":...,"message":...}]} and a line end as a whole JSON
 * answer; null code: "UNKNOWN", null message: "Unknown error"; both are JSON-escaped. Once the
 * minimum transfer rate has cut the request body (cgi_transfer_cut), the status is 408 and the
 * message says the body came too slowly; the code stays. */
int oci_reply_error(const oci_request *request, int status, const char *code,
                    const char *message);
/* oci_reply_error with extra headers (Allow, WWW-Authenticate, ...). */
int oci_reply_error_headers(const oci_request *request, int status, const char *code,
                            const char *message, const oci_header *headers, size_t count);
/* The status and error code for an engine failure kind: returns the status and stores the code
 * (a static string) in *out_code when out_code is not null. REG_ERR_NOT_FOUND takes
 * `not_found_code` (null: "NOT_FOUND"). A kind outside the enum, or REG_OK, gives 500 UNKNOWN. */
int oci_storage_error_status(reg_error_kind kind, const char *not_found_code,
                             const char **out_code);
/* The error envelope for the engine's last failure, with the status and code its kind calls
 * for (oci_storage_error_status) and the engine's message; `not_found_code` names what was
 * missing (BLOB_UNKNOWN, MANIFEST_UNKNOWN, ...). */
int oci_reply_storage_error(const oci_request *request, const char *not_found_code);

/* ---- Query parameters ------------------------------------------------------------------------ */

/* The first `name` parameter of the request's own query string (never the environment),
 * percent- and plus-decoded into `out` of `cap` bytes. 1 when present and decoded whole, 0 when
 * absent, -1 when present but it does not fit or decodes to a NUL byte (`out` is then ""). */
int oci_query_param(const oci_request *request, const char *name, char *out, size_t cap);
/* Each `name` parameter in turn, for a name the query may repeat ("tag=a&tag=b"): the first one
 * at or after byte *pos of the query string (start with *pos = 0), decoded as oci_query_param
 * decodes it, with *pos moved past it, so the next call finds the one after. 1 when one was
 * found and decoded whole, -1 when one was found but does not fit or decodes to a NUL byte
 * (`out` is then ""; *pos is moved past it all the same), 0 when none is left (*pos at the
 * end) or request, name or pos is null; -1 as well when out is null or cap is 0. */
int oci_query_param_next(const oci_request *request, const char *name, size_t *pos, char *out,
                         size_t cap);

/* ---- Request bodies --------------------------------------------------------------------------- */

/* The announced body length: CONTENT_LENGTH as a plain decimal number (digits only, no sign, no
 * spaces, at most INT64_MAX), or -1 when it is unset, empty or anything else. */
int64_t oci_content_length(void);

/* A request body being read. Filled by oci_body_open, read through oci_read_body, released by
 * oci_body_close; the caller owns the record. */
typedef struct oci_body {
    FILE *stream;        /* the body file; null when the body comes from the web server */
    int is_open;         /* 1 between oci_body_open and oci_body_close */
    int from_file;       /* 1 when the body comes from POST_BODY_FILE */
    int failed;          /* 1 after a read error */
    int announced;       /* 1 when the length is known: a body file, or CONTENT_LENGTH set */
    int64_t length;      /* the body's length: the file's size, or CONTENT_LENGTH (0 when unset) */
    int64_t remaining;   /* bytes oci_read_body will still deliver at most */
} oci_body;

/* Opens the request body: the file POST_BODY_FILE names when it is set and can be read, else
 * the body as the web server sends it (cgi_read) for CONTENT_LENGTH bytes. 0 on success; -1 when
 * `body` is null or CONTENT_LENGTH is set but no plain decimal number (answer 400), and then
 * the record is closed. */
int oci_body_open(oci_body *body);
/* A reg_read_fn over an open oci_body passed as ctx: up to `cap` bytes, never past the body's
 * length; 0 at the end of the body (also when the input ends early), -1 on a read error or a
 * null or closed ctx. */
long oci_read_body(void *ctx, void *buf, size_t cap);
/* A reg_read_fn for a body of unknown length (a web server that hands on a chunked body without
 * announcing it): everything until the input ends, whatever the length says; 0 at the end, -1
 * on a read error or a null or closed ctx. */
long oci_read_body_to_end(void *ctx, void *buf, size_t cap);
/* Closes the body file, if any. Null or closed: nothing. */
void oci_body_close(oci_body *body);

#ifdef __cplusplus
}
#endif

#endif
