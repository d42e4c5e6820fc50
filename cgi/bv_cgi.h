/* CGI support: serving requests (as a CGI program or a FastCGI application), the request
 * environment, query string and body, response head, body and whole error responses, JSON
 * escaping, and bounded string helpers. Usable from C and C++. */
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

/* ---- Serving --------------------------------------------------------------------------------
 * A program answers requests through a handler: a function that reads one request through this
 * header, writes its whole answer and returns. Everything below that reads the request or writes
 * the answer acts on the request being served.
 *
 * cgi_serve detects once, at start, how the web server started the process:
 *  - as a plain CGI program: the handler runs once, for the request in the environment and on
 *    standard input and output; cgi_serve returns the handler's result as the exit status;
 *  - as a FastCGI application (standard input is a listening socket, or on Windows the pipe IIS
 *    passes, or REGISTRY_FASTCGI_LISTEN names an address to listen on): the handler runs once per
 *    request, until the web server closes the connection or REGISTRY_FASTCGI_MAX_REQUESTS requests
 *    (default 10000; "0" no limit) are served, and cgi_serve returns 0.
 * Between requests the module's own per-request state (query slots, response-head state) is
 * reset. A handler that throws (or runs out of memory) ends the process with status 70 after
 * answering 500 when no head was out yet, so the web server replaces it. `context` is passed to
 * the handler untouched and may be null. Call cgi_serve once per process. */
typedef int (*cgi_handler)(void *context);
int cgi_serve(cgi_handler handler, void *context);
/* 1 while serving as a FastCGI application, else 0. */
int cgi_is_fastcgi(void);
/* 1 while the request being served came in the FastCGI authorizer role (FCGI_ROLE
 * "AUTHORIZER": the web server asks with the request's head alone whether it may go on, before
 * it takes the body), else 0: a responder, or a CGI program, whose environment never counts. */
int cgi_is_authorizer(void);
/* Ends the request being served, once its answer is written: as a CGI program the process exits
 * with status 0 (standard output flushed); under FastCGI the request ends and cgi_serve goes on
 * with the next one. Outside cgi_serve it exits the process. */
BV_NORETURN void cgi_end_request(void);

/* Response bytes, after the head. cgi_write, cgi_puts and cgi_printf return 0 when the bytes were
 * taken, -1 when not (null text: nothing written, 0). cgi_flush sends what is buffered and returns
 * 0 only when every write of this request so far has succeeded. */
int cgi_write(const void *data, size_t len);
int cgi_puts(const char *text);
int cgi_printf(const char *fmt, ...)
#if defined(__MINGW32__)
    __attribute__((format(gnu_printf, 1, 2)))
#elif defined(__GNUC__) || defined(__clang__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
int cgi_flush(void);
/* Writes bytes first .. first+length-1 of `file` as response bytes, through the same minimum
 * transfer rate as cgi_write; the file's stdio position afterwards is unspecified. Where the
 * system allows (a CGI program on Linux) the kernel moves them from the file to the web server
 * without a copy through the program; elsewhere they are read and written in pieces of about
 * 1 MiB. 0 when every byte went out; -1 when the file ended or failed before them, or the answer
 * was not taken: the body is then short, and cgi_flush reports the failure too. */
int cgi_write_file(FILE *file, long long first, long long length);
/* json_escape_f into the response. */
void cgi_json_escape(const char *text);
/* Up to `cap` bytes of the request body as the web server sends it (standard input under CGI);
 * fewer only at its end; 0 at the end or on a failure. */
size_t cgi_read(void *buf, size_t cap);

/* ---- Minimum transfer rate -------------------------------------------------------------------
 * A client that trickles its body or never takes the answer would hold the process (under
 * FastCGI: every request after its own) for as long as it liked. So every request's body reads
 * and answer writes are metered: the time spent waiting in them and the bytes they moved. Once
 * that time passes REGISTRY_TRANSFER_GRACE seconds (default 30) and the average since the start
 * is below REGISTRY_MIN_TRANSFER_RATE bytes a second (default 1024; "0" switches the rule off),
 * the request is cut; and no single wait for a byte may last longer than the grace (nor than
 * the time the bytes so far have paid for), so a client sending or taking nothing at all is
 * cut too, however fast its first bytes went into buffers on the way. Time the program spends on its own work between reads
 * and writes (hashing, the disk) never counts against the client. The defaults let any client
 * on a working line through: 1 KiB/s is far below the slowest mobile link, and 30 s covers a
 * web server or proxy that holds the first bytes back while it connects or buffers; a stalled
 * client frees its process after about half a minute. A setting that is not plain digits keeps
 * its default, so a typo never switches the rule off.
 *  - A cut body: cgi_read gives 0 from then on, as at the body's end (so an append is undone
 *    like one whose client went away); the answer may still be written.
 *  - A cut answer: cgi_write and cgi_flush fail from then on without waiting.
 * Under FastCGI the connection of a cut request is closed rather than kept for another request.
 * On Windows the rate is checked between reads and writes, but single waits are not bounded. */
typedef enum cgi_cut { CGI_CUT_NONE = 0, CGI_CUT_BODY = 1, CGI_CUT_ANSWER = 2 } cgi_cut;
/* Whether, and which way, the rule cut the request being served. */
cgi_cut cgi_transfer_cut(void);

/* Request environment. Returned strings are borrowed, never null, and live until the request
 * ends. Under FastCGI the request's parameters are looked up; names beginning "REGISTRY_" (the
 * deployment's settings) fall back to the process environment, others never do. */
void        bv_stdout_bin(void);
const char *cgi_env(const char *name, const char *fallback);
const char *cgi_method(void);
int         cgi_is_post(void);
int         cgi_is_head(void);
const char *cgi_path_info(void);

/* Query string and request body. Without a query string, a CGI program (not a FastCGI one)
 * takes the parameter from the environment. */
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

/* Whole error responses; both end the request through cgi_end_request. */
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
