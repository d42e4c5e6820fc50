/* Compiled as strict C11 with warnings as errors: the public headers must stay usable from
 * C endpoint programs, not only from C++. */
#include "cgi/bv_cgi.h"
#include "crypto/sha256.h"
#include "crypto/sha512.h"
#include "oci/oci_common.h"
#include "storage/reg_storage.h"

_Noreturn void bv_c_header_check_refuse(void);
int bv_c_header_check_endpoint(void);

_Noreturn void bv_c_header_check_refuse(void) { oci_send_error(405, "UNSUPPORTED", "C caller"); }

/* An endpoint written in C: a route table, a handler streaming the body into an upload. */
static int c_put(oci_request *request) {
    oci_body body;
    const oci_header headers[] = {{"Location", "/v2/"}};
    int64_t size = 0;
    if (oci_body_open(&body) != 0) return oci_reply_error(request, 400, "SIZE_INVALID", "bad length");
    if (reg_blob_append_stream(request->rest, oci_read_body, &body, body.length, -1, &size) != 0) {
        oci_body_close(&body);
        return oci_reply_storage_error(request, "BLOB_UPLOAD_UNKNOWN");
    }
    oci_body_close(&body);
    return oci_reply_body(request, 202, NULL, NULL, 0, headers, sizeof headers / sizeof headers[0]);
}

int bv_c_header_check_endpoint(void) {
    static const oci_route routes[] = {{"PUT", c_put, OCI_ACCESS_WRITE}};
    oci_request request;
    return oci_dispatch(&request, routes, 1, "/blobs/uploads/");
}
