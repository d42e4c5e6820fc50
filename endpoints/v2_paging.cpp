// Paging of the name listings: query parameters in, a page with its next-page Link out.
#include "endpoints/v2_paging.h"

#include <climits>
#include <cstring>

#include "cgi/bv_cgi.h"
#include "storage/reg_storage.h"

namespace v2_paging {

bool read_page_query(const oci_request *request, listing kind, page_query *out) {
    out->n = -1;
    // Every name is shorter than the buffer, so a last that does not fit cannot be one either.
    const int given = oci_query_param(request, "last", out->last, sizeof out->last);
    const bool is_tags = kind == listing::tags;
    if (given < 0 || (out->last[0] && !(is_tags ? reg_tag_valid(out->last)
                                                : reg_repo_name_valid(out->last)))) {
        oci_reply_error(request, 400, is_tags ? "TAG_INVALID" : "NAME_INVALID",
                        is_tags ? "the last parameter must be a tag"
                                : "the last parameter must be a repository name");
        return false;
    }

    char n[512];
    const int found = oci_query_param(request, "n", n, sizeof n);
    if (found == 0) return true;
    long long value = 0;
    const char *p = n;
    for (; found == 1 && *p >= '0' && *p <= '9'; ++p)
        if (value <= INT_MAX) value = value * 10 + (*p - '0');
    if (p == n || *p != '\0') {
        oci_reply_error(request, 400, "UNSUPPORTED",
                        "the n parameter must be a non-negative decimal number");
        return false;
    }
    out->n = value > INT_MAX ? INT_MAX : static_cast<int>(value);
    return true;
}

int effective_page_size(int n) {
    if (n < 0) return REG_PAGE_DEFAULT;
    return n > REG_PAGE_MAX ? REG_PAGE_MAX : n;
}

bool percent_encode(const char *text, char *out, size_t cap) {
    static const char hex[] = "0123456789ABCDEF";
    if (cap == 0) return false;
    size_t pos = 0;
    for (const char *p = text; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
        const size_t need = plain ? 1 : 3;
        if (pos + need >= cap) {
            out[pos] = '\0';
            return false;
        }
        if (plain) {
            out[pos++] = static_cast<char>(c);
        } else {
            out[pos++] = '%';
            out[pos++] = hex[c >> 4];
            out[pos++] = hex[c & 0x0F];
        }
    }
    out[pos] = '\0';
    return true;
}

int reply_page(const oci_request *request, const char *json, const char *path, int n,
               const char *next) {
    if (n == 0 || !next || !*next) return oci_reply_json(request, 200, json, nullptr, 0);

    // Names are at most 255 bytes, so the encoded one takes at most 765 and the path as much
    // again: both fit with room to spare.
    char encoded[1024];
    char link[2048];
    if (!percent_encode(next, encoded, sizeof encoded)) {
        return oci_reply_error(request, 500, "UNKNOWN", "the next page cannot be linked");
    }
    bv_snprintf(link, sizeof link, "<%s?n=%d&last=%s>; rel=\"next\"", path,
                effective_page_size(n), encoded);
    const oci_header headers[] = {{"Link", link}};
    return oci_reply_json(request, 200, json, headers, 1);
}

}  // namespace v2_paging
