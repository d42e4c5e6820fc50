// The /v2/ endpoint: answers the registry API version check. GET, HEAD and OPTIONS get 200
// with an empty JSON object (no body for HEAD); every other method gets a 405 envelope.
#include <cstdio>
#include <cstring>

#include "cgi/bv_cgi.h"
#include "oci/oci_common.h"

// The methods come from the endpoint table, which the authorizer answers from as well.
static int handle_v2_ping(void *) {
    const char *method = cgi_method();
    const bool is_head = std::strcmp(method, "HEAD") == 0;
    const oci_endpoint *ping = oci_endpoint_find("v2_ping");
    if (!oci_endpoint_rule(ping, method)) oci_send_error(405, "UNSUPPORTED", ping->method_refused);

    cgi_header_status(200, "OK");
    cgi_header_extra("Docker-Distribution-API-Version: registry/2.0");
    cgi_header_json();
    cgi_headers_end();
    if (!is_head) cgi_write("{}\n", 3);
    return cgi_flush() == 0 ? 0 : 1;
}

int main(void) { return cgi_serve(handle_v2_ping, nullptr); }
