// The registry's response envelope: every answer carries the API-version header; errors are
// the {"errors":[{"code","message"}]} document and end the request.
#include "oci/oci_common.h"

#include <cstdio>
#include <cstdlib>

#include "cgi/bv_cgi.h"

namespace {

void write_registry_head(int status) {
    cgi_header_status(status, nullptr);
    cgi_header_extra("Docker-Distribution-API-Version: registry/2.0");
    cgi_header_json();
    cgi_headers_end();
}

}  // namespace

extern "C" {

void oci_send_error(int status, const char *code, const char *message) {
    write_registry_head(status);
    cgi_puts("{\"errors\":[{\"code\":\"");
    cgi_puts(code ? code : "UNKNOWN");
    cgi_puts("\",\"message\":\"");
    cgi_json_escape(message ? message : "Unknown error");
    cgi_puts("\"}]}\n");
    cgi_flush();
    cgi_end_request();
}

void oci_send_json(int status, const char *body) {
    write_registry_head(status);
    if (body && *body) {
        cgi_puts(body);
        cgi_puts("\n");
    } else {
        cgi_puts("{}\n");
    }
    cgi_flush();
}

}  // extern "C"
