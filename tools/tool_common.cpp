// Finding and opening the storage tree for the maintenance programs, and reading their numeric
// options.
#include "tools/tool_common.h"

#include <cstdio>

#include "oci/oci_common.h"
#include "storage/reg_storage.h"

namespace bv_tools {

void choose_root(const char *root, char (&out)[kRootCap]) {
    if (root) std::snprintf(out, sizeof out, "%s", root);
    else oci_storage_root(out, sizeof out);
}

bool open_storage(const char *program, const char *root) {
    char chosen[kRootCap];
    choose_root(root, chosen);
    if (reg_storage_open(chosen) == 0) return true;
    // A mistyped path or a volume not mounted must not pass for an empty registry.
    if (reg_storage_last_error_kind() == REG_ERR_NO_TREE)
        std::fprintf(stderr, "%s: no storage tree at %s: %s\n", program, chosen,
                     reg_storage_last_error());
    else
        std::fprintf(stderr, "%s: cannot open the storage at %s: %s\n", program, chosen,
                     reg_storage_last_error());
    return false;
}

bool parse_seconds(const char *text, int64_t *out) {
    if (!text || !*text) return false;
    int64_t value = 0;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        if (value > (INT64_MAX - 9) / 10) return false;
        value = value * 10 + (*p - '0');
    }
    *out = value;
    return true;
}

}  // namespace bv_tools
