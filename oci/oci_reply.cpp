// Whole answers for the endpoint layer: a checked response head (status, API-version header,
// content type, caller's headers, Retry-After on 503 and 429, Content-Length), bodies that a HEAD request leaves out, the
// error envelope, and the one table from engine failure kinds to status and error code.
#include "oci/oci_common.h"

#include <cstdio>
#include <cstring>

#include "cgi/bv_cgi.h"

namespace {

constexpr const char api_version_line[] = "Docker-Distribution-API-Version: registry/2.0";
constexpr const char json_type[] = "application/json; charset=utf-8";

bool wants_body(const oci_request *request) { return !request || !request->is_head; }

// HTTP's token characters: what a header name may be made of.
bool is_tchar(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool valid_name(const char *name) {
    if (!name || !*name) return false;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; ++p)
        if (!is_tchar(*p)) return false;
    return true;
}

// Visible bytes, spaces, tabs and bytes from 0x80 up; no other control byte, CR and LF least
// of all, since they would end the line and let the rest stand as a header of its own.
bool valid_value(const char *value) {
    if (!value) return false;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(value); *p; ++p)
        if ((*p < 0x20 && *p != '\t') || *p == 0x7f) return false;
    return true;
}

bool valid_head(const char *content_type, const oci_header *headers, size_t count) {
    if (content_type && !valid_value(content_type)) return false;
    if (count > 0 && !headers) return false;
    for (size_t i = 0; i < count; ++i)
        if (!valid_name(headers[i].name) || !valid_value(headers[i].value)) return false;
    return true;
}

int finish(void) { return cgi_flush(); }

bool same_name(const char *a, const char *b) {
    for (; *a && *b; ++a, ++b) {
        const char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        const char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (x != y) return false;
    }
    return *a == *b;
}

// A 503 or 429 tells the client to come back, so it says when: the caller's own Retry-After,
// else a minute (the program's 503s are a missing storage tree, which an operator mends).
bool needs_retry_after(int status, const oci_header *headers, size_t count) {
    if (status != 503 && status != 429) return false;
    for (size_t i = 0; i < count; ++i)
        if (same_name(headers[i].name, "Retry-After")) return false;
    return true;
}

// The head, once everything in it has been checked; leaves the stream unflushed.
void write_head(int status, const char *content_type, int64_t content_length,
                const oci_header *headers, size_t count) {
    cgi_header_status(status, nullptr);
    cgi_header_extra(api_version_line);
    if (content_type) cgi_header_ct(content_type);
    for (size_t i = 0; i < count; ++i) {
        cgi_puts(headers[i].name);
        cgi_puts(": ");
        cgi_puts(headers[i].value);
        cgi_puts("\r\n");
    }
    if (needs_retry_after(status, headers, count)) cgi_puts("Retry-After: 60\r\n");
    if (content_length >= 0) cgi_printf("Content-Length: %lld\r\n", static_cast<long long>(content_length));
    cgi_headers_end();
}

struct kind_answer {
    reg_error_kind kind;
    int status;
    const char *code;  // null: the caller's not-found code
};

// Status and code per failure kind. A conflict is another process holding or changing what the
// call needed: worth a retry, so it names no resource as broken. The engine's own faults and an
// engine that never started are the server's, not the client's; so are a missing tree and a
// full disk, but those an operator fixes without a change of code, and the status says which.
constexpr kind_answer kind_table[] = {
    {REG_ERR_ARGUMENT, 400, "UNSUPPORTED"},
    {REG_ERR_NOT_READY, 500, "UNKNOWN"},
    {REG_ERR_NAME_INVALID, 400, "NAME_INVALID"},
    {REG_ERR_DIGEST_INVALID, 400, "DIGEST_INVALID"},
    {REG_ERR_TAG_INVALID, 400, "TAG_INVALID"},
    {REG_ERR_UPLOAD_INVALID, 404, "BLOB_UPLOAD_UNKNOWN"},
    {REG_ERR_MANIFEST_INVALID, 400, "MANIFEST_INVALID"},
    {REG_ERR_NOT_FOUND, 404, nullptr},
    {REG_ERR_NAME_UNKNOWN, 404, "NAME_UNKNOWN"},
    {REG_ERR_REFERENCE_UNKNOWN, 400, "MANIFEST_BLOB_UNKNOWN"},
    {REG_ERR_DIGEST_MISMATCH, 400, "DIGEST_INVALID"},
    {REG_ERR_RANGE, 416, "BLOB_UPLOAD_INVALID"},
    {REG_ERR_INCOMPLETE, 400, "BLOB_UPLOAD_INVALID"},
    {REG_ERR_TOO_LARGE, 413, "SIZE_INVALID"},
    {REG_ERR_CONFLICT, 409, "UNKNOWN"},
    {REG_ERR_IO, 500, "UNKNOWN"},
    {REG_ERR_NO_TREE, 503, "UNKNOWN"},
    {REG_ERR_NO_SPACE, 507, "UNKNOWN"},
};

}  // namespace

extern "C" {

int oci_reply_head(const oci_request *, int status, const char *content_type,
                   int64_t content_length, const oci_header *headers, size_t count) {
    if (!valid_head(content_type, headers, count)) return -1;
    write_head(status, content_type, content_length, headers, count);
    return finish();
}

int oci_reply_body(const oci_request *request, int status, const char *content_type,
                   const void *body, size_t len, const oci_header *headers, size_t count) {
    if (!valid_head(content_type, headers, count) || (len > 0 && !body)) return -1;
    write_head(status, content_type, static_cast<int64_t>(len), headers, count);
    if (wants_body(request) && len > 0) cgi_write(body, len);
    return finish();
}

int oci_reply_json(const oci_request *request, int status, const char *json,
                   const oci_header *headers, size_t count) {
    if (!json || !*json) json = "{}";
    if (!valid_head(json_type, headers, count)) return -1;
    const size_t len = std::strlen(json);
    write_head(status, json_type, static_cast<int64_t>(len + 1), headers, count);
    if (wants_body(request)) {
        cgi_write(json, len);
        cgi_write("\n", 1);
    }
    return finish();
}

int oci_reply_error_headers(const oci_request *request, int status, const char *code,
                            const char *message, const oci_header *headers, size_t count) {
    if (!valid_head(json_type, headers, count)) return -1;
    // Whatever failure a body cut for its slowness led to (an early end, an undone append), the
    // cause is the client's pace: 408, with the code an early end has on that endpoint.
    if (cgi_transfer_cut() == CGI_CUT_BODY) {
        status = 408;
        message = "the request body came too slowly (REGISTRY_MIN_TRANSFER_RATE)";
    }
    if (!code) code = "UNKNOWN";
    if (!message) message = "Unknown error";
    static constexpr char opening[] = "{\"errors\":[{\"code\":\"";
    static constexpr char middle[] = "\",\"message\":\"";
    static constexpr char closing[] = "\"}]}\n";
    const size_t len = (sizeof opening - 1) + json_escape_len(code) + (sizeof middle - 1) +
                       json_escape_len(message) + (sizeof closing - 1);
    write_head(status, json_type, static_cast<int64_t>(len), headers, count);
    if (wants_body(request)) {
        cgi_puts(opening);
        cgi_json_escape(code);
        cgi_puts(middle);
        cgi_json_escape(message);
        cgi_puts(closing);
    }
    return finish();
}

int oci_reply_error(const oci_request *request, int status, const char *code,
                    const char *message) {
    return oci_reply_error_headers(request, status, code, message, nullptr, 0);
}

int oci_storage_error_status(reg_error_kind kind, const char *not_found_code,
                             const char **out_code) {
    int status = 500;
    const char *code = "UNKNOWN";
    for (const kind_answer &row : kind_table) {
        if (row.kind != kind) continue;
        status = row.status;
        code = row.code ? row.code : (not_found_code ? not_found_code : "NOT_FOUND");
        break;
    }
    if (out_code) *out_code = code;
    return status;
}

int oci_reply_storage_error(const oci_request *request, const char *not_found_code) {
    const char *code = nullptr;
    const int status = oci_storage_error_status(reg_storage_last_error_kind(), not_found_code, &code);
    return oci_reply_error(request, status, code, reg_storage_last_error());
}

}  // extern "C"
