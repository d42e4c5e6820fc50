// What the OCI helper sources share but do not publish: the choice of the storage root, kept
// apart from the engine call so the choice can be seen on its own, and the path split with the
// reason it failed, which the dispatcher turns into different answers.
#pragma once

#include <cstddef>

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

}  // namespace oci_internal
