// The tag list endpoint, /v2/<name>/tags/list: one page of the repository's sorted tags, after
// the tag the client names in last, with a Link to the next page while more remain.
#include <iterator>

#include "cgi/bv_cgi.h"
#include "endpoints/v2_paging.h"
#include "oci/oci_common.h"
#include "storage/reg_storage.h"

namespace {

int handle_tags(oci_request *request) {
    // The path names exactly the list: /v2/<name>/tags/list, nothing after it.
    if (request->rest[0] != '\0')
        return oci_reply_error(request, 404, "UNSUPPORTED", "no endpoint for this path");
    v2_paging::page_query page;
    if (!v2_paging::read_page_query(request, v2_paging::listing::tags, &page)) return 0;

    char next[256] = "";
    const char *json = reg_tags_page_json(request->repo, page.n, page.last, next);
    if (!json) return oci_reply_storage_error(request, "NAME_UNKNOWN");

    // The repository name passed the request-path grammar ([a-z0-9._/-]), so it goes into the
    // link unescaped.
    char path[320];
    bv_snprintf(path, sizeof path, "/v2/%s/tags/list", request->repo);
    return v2_paging::reply_page(request, json, path, page.n, next);
}

}  // namespace

int main(void) {
    static const oci_method_handler handlers[] = {{"GET", handle_tags}};
    return oci_serve_endpoint("v2_tags", handlers, std::size(handlers));
}
