// What the maintenance programs share: finding the storage root named by --storage or, as
// the endpoints find it, by REGISTRY_STORAGE_ROOT, opening the tree there, and reading numeric
// options.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bv_tools {

// Room for a storage root's path.
inline constexpr std::size_t kRootCap = 1024;

// `root` when given, else the endpoints' own choice of root, into `out`.
void choose_root(const char *root, char (&out)[kRootCap]);

// Opens the storage tree at `root` (null: the endpoints' own choice of root) without making or
// writing anything. True when it is ready; else the reason is printed on stderr under
// `program`'s name, naming the path when no tree is there.
bool open_storage(const char *program, const char *root);

// A non-negative decimal number of seconds: true with the value in *out.
bool parse_seconds(const char *text, int64_t *out);

}  // namespace bv_tools
