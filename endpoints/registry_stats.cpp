// The storage statistics endpoint, /stats (outside /v2/, so no registry client mistakes it for
// part of the distribution API): the engine's statistics document, read-only, for the web page.
#include <iterator>

#include "oci/oci_common.h"
#include "storage/reg_storage.h"

namespace {

int handle_stats(oci_request *request) {
    const char *json = reg_storage_get_stats_json();
    if (!json) return oci_reply_storage_error(request, nullptr);
    // Counts change with every push: a cached copy would show a registry that no longer is.
    static const oci_header headers[] = {{"Cache-Control", "no-store"}};
    return oci_reply_json(request, 200, json, headers, std::size(headers));
}

}  // namespace

int main(void) {
    static const oci_method_handler handlers[] = {{"GET", handle_stats}};
    return oci_serve_endpoint("registry_stats", handlers, std::size(handlers));
}
