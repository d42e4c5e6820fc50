/* Compiled as strict C11 with warnings as errors: the public headers must stay usable from
 * C endpoint programs, not only from C++. */
#include "cgi/bv_cgi.h"
#include "crypto/sha256.h"
#include "oci/oci_common.h"
#include "storage/reg_storage.h"

_Noreturn void bv_c_header_check_refuse(void);

_Noreturn void bv_c_header_check_refuse(void) { oci_send_error(405, "UNSUPPORTED", "C caller"); }
