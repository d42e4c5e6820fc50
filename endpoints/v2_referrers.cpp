// The referrers endpoint, /v2/<name>/referrers/<digest>: the image index of the manifests whose
// subject is that digest, optionally only those of one artifactType. A subject nobody refers
// to, or one the repository never held, has an empty index.
#include <cstring>
#include <iterator>

#include "oci/oci_common.h"
#include "storage/reg_storage.h"

namespace {

constexpr char kIndexType[] = "application/vnd.oci.image.index.v1+json";


int handle_referrers(oci_request *request) {
    if (!reg_digest_valid(request->rest))
        return oci_reply_error(request, 400, "DIGEST_INVALID",
                               "the subject is not a sha256 digest of 64 lower-case hex digits");

    char filter[1024];
    oci_query_param(request, "artifactType", filter, sizeof filter);
    const char *index = reg_referrers_json(request->repo, request->rest, filter[0] ? filter : nullptr);
    if (!index) return oci_reply_storage_error(request, "MANIFEST_UNKNOWN");

    const oci_header applied[] = {{"OCI-Filters-Applied", "artifactType"}};
    return oci_reply_body(request, 200, kIndexType, index, std::strlen(index),
                          filter[0] ? applied : nullptr, filter[0] ? 1 : 0);
}

}  // namespace

int main(void) {
    static const oci_method_handler handlers[] = {{"GET", handle_referrers}};
    return oci_serve_endpoint("v2_referrers", handlers, std::size(handlers));
}
