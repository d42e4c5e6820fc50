// Response side of CGI: the status line and headers on buffered standard output, the
// plain-text and JSON error responses that end the process, and JSON string escaping.
#include "cgi/bv_cgi.h"

#include <cstdio>
#include <cstdlib>

#include "platform/bv_platform.h"

extern "C" {

void bv_stdout_bin(void) {
    static int done = 0;
    if (!done) {
        bv_platform::set_binary(stdout);
        done = 1;
    }
}

void cgi_header_status(int status, const char *reason) {
    bv_stdout_bin();
    if (reason && *reason) std::printf("Status: %d %s\r\n", status, reason);
    else std::printf("Status: %d\r\n", status);
}

void cgi_header_html(void) {
    bv_stdout_bin();
    std::fputs("Content-Type: text/html; charset=utf-8\r\n", stdout);
}

void cgi_header_json(void) {
    bv_stdout_bin();
    std::fputs("Content-Type: application/json; charset=utf-8\r\n", stdout);
}

void cgi_header_text(void) {
    bv_stdout_bin();
    std::fputs("Content-Type: text/plain; charset=utf-8\r\n", stdout);
}

// A null argument writes no line at all: a bare line end would close the head early and
// turn the headers after it into body bytes.
void cgi_header_ct(const char *content_type) {
    bv_stdout_bin();
    if (content_type) std::printf("Content-Type: %s\r\n", content_type);
}

void cgi_header_extra(const char *line) {
    bv_stdout_bin();
    if (!line) return;
    std::fputs(line, stdout);
    std::fputs("\r\n", stdout);
}

void cgi_headers_end(void) {
    std::fputs("\r\n", stdout);
    std::fflush(stdout);
    // Deliberately not through bv_stdout_bin: the body must be binary even if a caller
    // wrote the head some other way.
    bv_platform::set_binary(stdout);
}

void cgi_die_text(int status, const char *message) {
    cgi_header_status(status, nullptr);
    cgi_header_text();
    cgi_headers_end();
    if (message) std::fputs(message, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    std::exit(0);
}

void cgi_die_json(int status, const char *message) {
    cgi_header_status(status, nullptr);
    cgi_header_json();
    cgi_headers_end();
    std::fputs("{\"errors\":[{\"code\":\"ERROR\",\"message\":\"", stdout);
    json_escape_f(stdout, message ? message : "error");
    std::fputs("\"}]}\n", stdout);
    std::fflush(stdout);
    std::exit(0);
}

void json_escape_f(FILE *stream, const char *text) {
    if (!text) return;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        const unsigned char c = *p;
        const char *pair = nullptr;
        switch (c) {
            case '"': pair = "\\\""; break;
            case '\\': pair = "\\\\"; break;
            case '\b': pair = "\\b"; break;
            case '\t': pair = "\\t"; break;
            case '\n': pair = "\\n"; break;
            case '\f': pair = "\\f"; break;
            case '\r': pair = "\\r"; break;
            default: break;
        }
        if (pair) std::fwrite(pair, 1, 2, stream);
        else if (c < 0x20) std::fprintf(stream, "\\u%04x", c);
        else std::fputc(c, stream);
    }
}

}  // extern "C"
