// What the OCI helper sources share but do not publish: the choice of the storage root, kept
// apart from the engine call so the choice can be seen on its own, the path split with the
// reason it failed, which the dispatcher turns into different answers, and the dispatcher's
// checks, which the authorizer runs too.
#pragma once

#include <cstddef>
#include <cstdint>

#include "oci/oci_common.h"

namespace oci_internal {

// Room for the storage root: 1023 characters and the NUL.
inline constexpr std::size_t storage_root_cap = 1024;

// Fills `root` with the storage root this process would use: REGISTRY_STORAGE_ROOT when set
// and not empty, else the root named in the working directory's config.json, else the
// default. Always leaves a non-empty, NUL-terminated text.
void pick_storage_root(char (&root)[storage_root_cap]);
// Forgets the storage the previous request opened; oci_dispatch calls it first.
void begin_request();

enum class split_result {
    ok,
    no_name,       // no marker, an empty marker or name: the path names nothing here
    name_too_long, // a name that does not fit its buffer
    name_invalid,  // a name outside the grammar
    rest_too_long, // the remainder does not fit its buffer
};

// oci_parse_repo_marker with the reason of a refusal; the arguments must not be null and
// repo_cap must not be 0. The buffers are left as oci_parse_repo_marker documents.
split_result split_repo_path(const char *path, const char *marker, char *repo,
                             std::size_t repo_cap, char *rest, std::size_t rest_cap);

// The request variable `variable` (CONTENT_LENGTH, HTTP_CONTENT_LENGTH) as a plain decimal
// number, or -1 when it is unset, empty or anything else.
std::int64_t announced_length(const char *variable);

// Fills `request` from the CGI environment (method, PATH_INFO, query, user, is_head).
void read_request(oci_request *request);

// The checks oci_dispatch_endpoint runs before the handler, over `endpoint`'s table, for a
// request read into `request` whose body announces `announced` bytes (-1: no length). Returns
// the rule the request goes on to, or null after answering the refusal (*rc: 0, or -1 when the
// answer could not be written).
const oci_method_rule *check_endpoint_request(oci_request *request, const oci_endpoint &endpoint,
                                              std::int64_t announced, int *rc);

}  // namespace oci_internal
