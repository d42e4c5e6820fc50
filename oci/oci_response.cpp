// The registry's response envelope: every answer carries the API-version header; errors are
// the {"errors":[{"code","message"}]} document and end the process.
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
    std::fputs("{\"errors\":[{\"code\":\"", stdout);
    std::fputs(code ? code : "UNKNOWN", stdout);
    std::fputs("\",\"message\":\"", stdout);
    json_escape_f(stdout, message ? message : "Unknown error");
    std::fputs("\"}]}\n", stdout);
    std::fflush(stdout);
    std::exit(0);
}

void oci_send_json(int status, const char *body) {
    write_registry_head(status);
    if (body && *body) {
        std::fputs(body, stdout);
        std::fputc('\n', stdout);
    } else {
        std::fputs("{}\n", stdout);
    }
    std::fflush(stdout);
}

}  // extern "C"
