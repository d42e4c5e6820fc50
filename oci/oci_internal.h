// What the OCI helper sources share but do not publish: the choice of the storage root,
// kept apart from the engine call so the choice can be seen on its own.
#pragma once

#include <cstddef>

namespace oci_internal {

// Room for the storage root: 1023 characters and the NUL.
inline constexpr std::size_t storage_root_cap = 1024;

// Fills `root` with the storage root this process would use: REGISTRY_STORAGE_ROOT when set
// and not empty, else the root named in the working directory's config.json, else the
// default. Always leaves a non-empty, NUL-terminated text.
void pick_storage_root(char (&root)[storage_root_cap]);

}  // namespace oci_internal
