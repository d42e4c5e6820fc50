// The catalog endpoint, /v2/_catalog: one page of the sorted full repository names, after the
// name the client gives in last, with a Link to the next page while more remain.
#include <iterator>

#include "endpoints/v2_paging.h"
#include "oci/oci_common.h"
#include "storage/reg_storage.h"

namespace {

int handle_catalog(oci_request *request) {
    v2_paging::page_query page;
    if (!v2_paging::read_page_query(request, v2_paging::listing::catalog, &page)) return 0;

    char next[256] = "";
    const char *json = reg_catalog_page_json(page.n, page.last, next);
    if (!json) return oci_reply_storage_error(request, "NAME_UNKNOWN");
    return v2_paging::reply_page(request, json, "/v2/_catalog", page.n, next);
}

}  // namespace

int main(void) {
    static const oci_method_handler handlers[] = {{"GET", handle_catalog}};
    return oci_serve_endpoint("v2_catalog", handlers, std::size(handlers));
}
