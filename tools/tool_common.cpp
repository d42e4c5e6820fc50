// Opening the storage tree for the maintenance programs and reading their numeric options.
#include "tools/tool_common.h"

#include <cstdio>

#include "oci/oci_common.h"
#include "storage/reg_storage.h"

namespace bv_tools {

bool open_storage(const char *program, const char *root) {
    const int rc = root ? reg_storage_init(root) : oci_init_storage();
    if (rc == 0) return true;
    std::fprintf(stderr, "%s: cannot open the storage: %s\n", program, reg_storage_last_error());
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
