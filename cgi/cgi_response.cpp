// Response side of CGI: the status line and headers on buffered standard output, the
// plain-text and JSON error responses that end the process, and JSON string escaping.
#include "cgi/bv_cgi.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/bv_platform.h"

namespace {

// A CR or LF inside a header text would end the line early and let the rest of the text
// stand as headers (or body) of its own.
bool splits_line(const char *text) { return std::strpbrk(text, "\r\n") != nullptr; }

// The two-character escape of a byte, or null when it has none.
const char *escape_pair(unsigned char c) {
    switch (c) {
        case '"': return "\\\"";
        case '\\': return "\\\\";
        case '\b': return "\\b";
        case '\t': return "\\t";
        case '\n': return "\\n";
        case '\f': return "\\f";
        case '\r': return "\\r";
        default: return nullptr;
    }
}

}  // namespace

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
    if (reason && splits_line(reason)) return;
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
    if (content_type && !splits_line(content_type)) std::printf("Content-Type: %s\r\n", content_type);
}

void cgi_header_extra(const char *line) {
    bv_stdout_bin();
    if (!line || splits_line(line)) return;
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
        if (const char *pair = escape_pair(c)) std::fwrite(pair, 1, 2, stream);
        else if (c < 0x20) std::fprintf(stream, "\\u%04x", c);
        else std::fputc(c, stream);
    }
}

size_t json_escape_len(const char *text) {
    if (!text) return 0;
    size_t n = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        if (escape_pair(*p)) n += 2;
        else if (*p < 0x20) n += 6;
        else n += 1;
    }
    return n;
}

}  // extern "C"
