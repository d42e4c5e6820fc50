// The /v2/ endpoint: answers the registry API version check. GET, HEAD and OPTIONS get 200
// with an empty JSON object (no body for HEAD); every other method gets a 405 envelope. The
// web servers also send it the API's extension paths, which it answers 404: it offers none.
#include <cstdio>
#include <cstring>

#include "cgi/bv_cgi.h"
#include "oci/oci_common.h"

namespace {

constexpr char kNoExtension[] = "this registry offers no API extension at this path";

// An extension path: 404 for every method, in the envelope, announcing its length.
int reply_no_extension(const char *method, bool is_head) {
    oci_request request{};
    request.method = method;
    request.path = cgi_path_info();
    request.query = "";
    request.user = "";
    request.is_head = is_head;
    return oci_reply_error(&request, 404, "UNSUPPORTED", kNoExtension) == 0 ? 0 : 1;
}

// The methods come from the endpoint table, which the authorizer answers from as well.
int handle_v2_ping(void *) {
    const char *method = cgi_method();
    const bool is_head = std::strcmp(method, "HEAD") == 0;
    if (oci_extension_path(cgi_path_info())) return reply_no_extension(method, is_head);
    const oci_endpoint *ping = oci_endpoint_find("v2_ping");
    if (!oci_endpoint_rule(ping, method)) oci_send_error(405, "UNSUPPORTED", ping->method_refused);

    cgi_header_status(200, "OK");
    cgi_header_extra("Docker-Distribution-API-Version: registry/2.0");
    cgi_header_json();
    cgi_header_extra("Content-Length: 3");
    cgi_headers_end();
    if (!is_head) cgi_write("{}\n", 3);
    return cgi_flush() == 0 ? 0 : 1;
}

}  // namespace

int main(void) { return cgi_serve(handle_v2_ping, nullptr); }
