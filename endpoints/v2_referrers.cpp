// The referrers endpoint, /v2/<name>/referrers/<digest>: the image index of the manifests whose
// subject is that digest, optionally only those of one artifactType, in pages of a byte budget
// linked onward with last. A subject nobody refers to, or one the repository never held, and a
// repository that does not exist have an empty index.
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "cgi/bv_cgi.h"
#include "endpoints/v2_paging.h"
#include "oci/oci_common.h"
#include "storage/reg_storage.h"

namespace {

constexpr char kIndexType[] = "application/vnd.oci.image.index.v1+json";

// The byte budget of a page: REGISTRY_REFERRERS_PAGE_BYTES when it is a plain decimal number
// from 1 to 1 GiB, else the engine's default.
size_t page_bytes() {
    const char *text = cgi_env("REGISTRY_REFERRERS_PAGE_BYTES", "");
    size_t value = 0;
    const char *p = text;
    for (; *p >= '0' && *p <= '9' && value <= (size_t{1} << 30); ++p) value = value * 10 + (*p - '0');
    if (p == text || *p != '\0' || value == 0 || value > (size_t{1} << 30))
        return REG_REFERRERS_PAGE_BYTES;
    return value;
}

int handle_referrers(oci_request *request) {
    if (!reg_digest_valid(request->rest))
        return oci_reply_error(request, 400, "DIGEST_INVALID",
                               "the subject is not a digest (sha256 with 64 or sha512 with 128 lower-case hex digits)");

    char filter[1024];
    oci_query_param(request, "artifactType", filter, sizeof filter);
    char last[REG_DIGEST_SIZE];
    if (oci_query_param(request, "last", last, sizeof last) < 0 ||
        (last[0] && !reg_digest_valid(last)))
        return oci_reply_error(request, 400, "DIGEST_INVALID",
                               "the last parameter must be the digest of a referrer");

    char *index = nullptr;
    size_t len = 0;
    char next[REG_DIGEST_SIZE];
    if (reg_referrers_page(request->repo, request->rest, filter[0] ? filter : nullptr, last,
                           page_bytes(), &index, &len, next) != 0)
        return oci_reply_storage_error(request, "MANIFEST_UNKNOWN");

    // The repository name and both digests passed their grammars, so only the filter needs
    // encoding; its encoding always fits (three bytes for each), and so does the link: a
    // 255-byte name and two sha512 digests of 135 bytes with the fixed text.
    char encoded[3 * sizeof filter] = "";
    char link[sizeof encoded + 1024];
    oci_header headers[2];
    size_t count = 0;
    if (filter[0]) headers[count++] = {"OCI-Filters-Applied", "artifactType"};
    if (next[0] && v2_paging::percent_encode(filter, encoded, sizeof encoded)) {
        bv_snprintf(link, sizeof link, "</v2/%s/referrers/%s?%s%s%slast=%s>; rel=\"next\"",
                    request->repo, request->rest, filter[0] ? "artifactType=" : "", encoded,
                    filter[0] ? "&" : "", next);
        headers[count++] = {"Link", link};
    }
    const int status = oci_reply_body(request, 200, kIndexType, index, len,
                                      count ? headers : nullptr, count);
    std::free(index);
    return status;
}

}  // namespace

int main(void) {
    static const oci_method_handler handlers[] = {{"GET", handle_referrers}};
    return oci_serve_endpoint("v2_referrers", handlers, std::size(handlers));
}
