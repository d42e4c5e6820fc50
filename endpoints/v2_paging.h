// Paging of the name listings (tag list and catalog): the n and last query parameters, and the
// answer with its Link to the next page. Shared by the v2_tags and v2_catalog programs.
#pragma once

#include <cstddef>

#include "oci/oci_common.h"

namespace v2_paging {

// What the client asked for: n < 0 when it gave no n (the engine's default page size then
// applies); last is "" when it gave none.
struct page_query {
    int n;
    char last[512];
};

// Which names a listing holds, and so what its last may be.
enum class listing { tags, catalog };

// Reads n and last from the request's query string. An n that is not a plain decimal number
// (empty, signed, or holding anything but digits) is answered with 400 UNSUPPORTED and false is
// returned; a number beyond int range counts as the largest int (the engine cuts pages anyway).
// A last that cannot be a name of the listing (a tag, a repository name: a byte outside their
// alphabet, a form or a length no name has) is answered with 400 TAG_INVALID or NAME_INVALID,
// so that no last ever restarts the listing from its first name.
bool read_page_query(const oci_request *request, listing kind, page_query *out);

// The page size the engine applies to `n`: the default for n < 0, at most REG_PAGE_MAX.
int effective_page_size(int n);

// Writes `text` percent-encoded for a query value into `out` of `cap` bytes (always
// terminated): every byte outside A-Z a-z 0-9 - . _ ~ becomes %XX. Returns false, with `out`
// holding the encoded prefix that fits, when the whole encoding does not fit.
bool percent_encode(const char *text, char *out, size_t cap);

// Answers 200 with the listing document `json`. When `next` is not empty, more names follow
// and the answer carries Link: <`path`?n=<size>&last=<next>>; rel="next", where size is the
// page size applied to `n`. A page of n == 0 never links onward.
int reply_page(const oci_request *request, const char *json, const char *path, int n,
               const char *next);

}  // namespace v2_paging
