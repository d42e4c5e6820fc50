// What the maintenance programs share: opening the storage tree named by --storage or, as
// the endpoints find it, by REGISTRY_STORAGE_ROOT, and reading numeric options.
#pragma once

#include <cstdint>

namespace bv_tools {

// Initialises the engine on `root` (null: the endpoints' own choice of root). True when it is
// ready; else the reason is printed on stderr under `program`'s name.
bool open_storage(const char *program, const char *root);

// A non-negative decimal number of seconds: true with the value in *out.
bool parse_seconds(const char *text, int64_t *out);

}  // namespace bv_tools
