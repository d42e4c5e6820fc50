/* CGI support: request environment, query string and body, response head and whole
 * error responses, JSON escaping, and bounded string helpers. Usable from C and C++. */
#ifndef BV_CGI_H
#define BV_CGI_H

#include <stddef.h>
#include <stdio.h>

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

/* Request environment. Returned strings are borrowed and never null. */
void        bv_stdout_bin(void);
const char *cgi_env(const char *name, const char *fallback);
const char *cgi_method(void);
int         cgi_is_post(void);
int         cgi_is_head(void);
const char *cgi_path_info(void);

/* Query string and request body. */
const char *cgi_query(const char *name);
char       *cgi_read_post(size_t *out_len); /* caller releases with free() */

/* Response head, in order: status, headers, end. A reason text, content type or header line
 * holding CR or LF writes nothing at all (no line), so no text can split the head; a null
 * content type or line writes nothing either, a null or empty reason gives the bare code. */
void cgi_header_status(int status, const char *reason);
void cgi_header_html(void);
void cgi_header_json(void);
void cgi_header_text(void);
void cgi_header_ct(const char *content_type);
void cgi_header_extra(const char *line);
void cgi_headers_end(void);

/* Whole error responses; both end the process with exit status 0. */
BV_NORETURN void cgi_die_text(int status, const char *message);
BV_NORETURN void cgi_die_json(int status, const char *message);

/* Writes `text` as the inside of a JSON string; null writes nothing. */
void json_escape_f(FILE *stream, const char *text);
/* The number of bytes json_escape_f writes for `text` (null: 0). */
size_t json_escape_len(const char *text);

/* Bounded string helpers. */
void bv_strlcpy(char *dst, const char *src, size_t cap);
int  bv_snprintf(char *dst, size_t cap, const char *fmt, ...)
#if defined(__MINGW32__)
    /* The library is built with MinGW's C99 stdio, so formats are checked as GNU ones. */
    __attribute__((format(gnu_printf, 3, 4)))
#elif defined(__GNUC__) || defined(__clang__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
void bv_path_join(char *dst, size_t cap, const char *first, const char *second);

#ifdef __cplusplus
}
#endif

#endif
