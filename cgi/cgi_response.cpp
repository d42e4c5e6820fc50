// Response side of CGI: the status line and headers, the plain-text and JSON error responses
// that end the request, and JSON string escaping, to a stream or into the response.
#include "cgi/bv_cgi.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cgi/cgi_internal.h"
#include "platform/bv_platform.h"

namespace {

bool s_stdout_binary = false;

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

// Escapes `text` into `put(bytes, len)`, handing over runs of plain bytes whole.
template <typename Put>
void json_escape_to(const char *text, Put put) {
    const char *run = text;
    for (const char *p = text; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        const char *pair = escape_pair(c);
        if (!pair && c >= 0x20) continue;
        if (p > run) put(run, static_cast<size_t>(p - run));
        if (pair) {
            put(pair, 2);
        } else {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", c);
            put(code, 6);
        }
        run = p + 1;
    }
    if (*run) put(run, std::strlen(run));
}

}  // namespace

extern "C" {

void bv_stdout_bin(void) {
    if (!s_stdout_binary) {
        bv_platform::set_binary(stdout);
        s_stdout_binary = true;
    }
}

void cgi_header_status(int status, const char *reason) {
    if (reason && splits_line(reason)) return;
    if (reason && *reason) cgi_printf("Status: %d %s\r\n", status, reason);
    else cgi_printf("Status: %d\r\n", status);
}

void cgi_header_html(void) { cgi_puts("Content-Type: text/html; charset=utf-8\r\n"); }

void cgi_header_json(void) { cgi_puts("Content-Type: application/json; charset=utf-8\r\n"); }

void cgi_header_text(void) { cgi_puts("Content-Type: text/plain; charset=utf-8\r\n"); }

// A null argument writes no line at all: a bare line end would close the head early and
// turn the headers after it into body bytes.
void cgi_header_ct(const char *content_type) {
    if (content_type && !splits_line(content_type)) cgi_printf("Content-Type: %s\r\n", content_type);
}

void cgi_header_extra(const char *line) {
    if (!line || splits_line(line)) return;
    cgi_puts(line);
    cgi_puts("\r\n");
}

// A CGI program keeps the head gathered, to go out with the body's first bytes in one write;
// under FastCGI it goes out at once, as before.
void cgi_headers_end(void) {
    cgi_puts("\r\n");
    if (bv_cgi::current()) cgi_flush();
}

void cgi_die_text(int status, const char *message) {
    cgi_header_status(status, nullptr);
    cgi_header_text();
    cgi_headers_end();
    if (message) cgi_puts(message);
    cgi_puts("\n");
    cgi_flush();
    cgi_end_request();
}

void cgi_die_json(int status, const char *message) {
    cgi_header_status(status, nullptr);
    cgi_header_json();
    cgi_headers_end();
    cgi_puts("{\"errors\":[{\"code\":\"ERROR\",\"message\":\"");
    cgi_json_escape(message ? message : "error");
    cgi_puts("\"}]}\n");
    cgi_flush();
    cgi_end_request();
}

void json_escape_f(FILE *stream, const char *text) {
    if (!text || !stream) return;
    json_escape_to(text, [stream](const char *bytes, size_t len) { std::fwrite(bytes, 1, len, stream); });
}

void cgi_json_escape(const char *text) {
    if (!text) return;
    json_escape_to(text, [](const char *bytes, size_t len) { cgi_write(bytes, len); });
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
