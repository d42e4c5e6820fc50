// The referrers endpoint, /v2/<name>/referrers/<digest>: the image index of the manifests whose
// subject is that digest, optionally only those of one artifactType. A subject nobody refers
// to, or one the repository never held, has an empty index.
#include <cstring>
#include <iterator>

#include "cgi/bv_cgi.h"
#include "oci/oci_common.h"
#include "storage/reg_storage.h"

namespace {

constexpr char kIndexType[] = "application/vnd.oci.image.index.v1+json";

// The artifactType filter, "" when the query string gives none. Looked up only in a query
// string that is there, since the CGI module would otherwise take it from the environment.
const char *artifact_type_filter(const oci_request *request) {
    if (!request->query[0]) return "";
    return cgi_query("artifactType");
}

int handle_referrers(oci_request *request) {
    if (!reg_digest_valid(request->rest))
        return oci_reply_error(request, 400, "DIGEST_INVALID",
                               "the subject is not a sha256 digest of 64 lower-case hex digits");

    const char *filter = artifact_type_filter(request);
    const char *index = reg_referrers_json(request->repo, request->rest, filter[0] ? filter : nullptr);
    if (!index) return oci_reply_storage_error(request, "MANIFEST_UNKNOWN");

    const oci_header applied[] = {{"OCI-Filters-Applied", "artifactType"}};
    return oci_reply_body(request, 200, kIndexType, index, std::strlen(index),
                          filter[0] ? applied : nullptr, filter[0] ? 1 : 0);
}

}  // namespace

int main(void) {
    static const oci_route routes[] = {
        {"GET", handle_referrers, OCI_ACCESS_READ},
    };
    oci_request request{};
    return oci_dispatch(&request, routes, std::size(routes), "/referrers/");
}
