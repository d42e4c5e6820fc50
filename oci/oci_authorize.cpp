// The authorizer: the web server asks, with the request's head alone and before it takes any
// byte of the body, whether the request may go on. Every refusal an endpoint program gives
// before its handler runs is given here from the same table and the same checks, so a user who
// may only read, or a read-only registry, never makes the server store a body it will refuse.
#include "oci/oci_common.h"

#include <cstring>

#include "cgi/bv_cgi.h"
#include "oci/oci_internal.h"

namespace {

// The prefix the web server's rewrite gives every endpoint program's path.
constexpr char endpoints_prefix[] = "/.endpoints/";
constexpr std::size_t program_cap = 64;
// A request head the web server takes is far shorter (lighttpd's whole head is 8 KiB at most).
constexpr std::size_t path_cap = 8192;

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The program and the /v2/... path of a rewritten URI "/.endpoints/<program>[/<path>][?<query>]",
// the path percent-decoded as the web server decodes PATH_INFO ("/" when there is none). False
// for a URI of another shape, a program name or path that does not fit, or an escape that
// decodes to a NUL byte.
bool split_rewritten(const char *uri, char (&program)[program_cap], char (&path)[path_cap]) {
    const std::size_t prefix_len = sizeof endpoints_prefix - 1;
    if (std::strncmp(uri, endpoints_prefix, prefix_len) != 0) return false;
    const char *name = uri + prefix_len;
    const std::size_t name_len = std::strcspn(name, "/?");
    if (name_len == 0 || name_len >= program_cap) return false;
    std::memcpy(program, name, name_len);
    program[name_len] = '\0';

    const char *p = name + name_len;
    std::size_t n = 0;
    for (; *p && *p != '?'; ++p) {
        char c = *p;
        if (c == '%' && hex_value(p[1]) >= 0 && hex_value(p[2]) >= 0) {
            c = static_cast<char>(hex_value(p[1]) * 16 + hex_value(p[2]));
            p += 2;
        }
        if (c == '\0' || n + 1 >= path_cap) return false;
        path[n++] = c;
    }
    if (n == 0) path[n++] = '/';
    path[n] = '\0';
    return true;
}

// The web server goes on with the request: no headers of ours, no body.
int let_through() {
    cgi_header_status(200, nullptr);
    cgi_headers_end();
    return cgi_flush() == 0 ? 0 : -1;
}

int answered(int rc) { return rc == 0 ? 0 : -1; }

}  // namespace

extern "C" int oci_authorize(void) {
    oci_internal::begin_request();
    oci_request request;
    oci_internal::read_request(&request);
    if (!cgi_is_authorizer())
        return answered(oci_reply_error(&request, 500, "UNKNOWN",
                                        "this program only answers the web server's authorizer role"));

    char program[program_cap];
    char path[path_cap];
    if (!split_rewritten(cgi_env("REDIRECT_URI", ""), program, path)) return let_through();
    const oci_endpoint *endpoint = oci_endpoint_find(program);
    if (!endpoint) return let_through();
    request.path = path;

    // The version check's own form of the answer (no Content-Length), byte for byte. An
    // extension path it answers 404 whatever the method: the program says so itself.
    if (endpoint->method_refused) {
        if (oci_extension_path(path)) return let_through();
        if (oci_endpoint_rule(endpoint, request.method)) return let_through();
        oci_send_error(405, "UNSUPPORTED", endpoint->method_refused);
    }
    int rc = -1;
    if (!oci_internal::check_endpoint_request(&request, *endpoint,
                                              oci_internal::announced_length("HTTP_CONTENT_LENGTH"),
                                              &rc))
        return rc;
    return let_through();
}
