/* OCI endpoint helpers: the registry's response envelope, the storage bootstrap and
 * request path parsing. Usable from C and C++. */
#ifndef OCI_COMMON_H
#define OCI_COMMON_H

#include <stddef.h>

#ifndef BV_NORETURN
#ifdef __cplusplus
#define BV_NORETURN [[noreturn]]
#else
#define BV_NORETURN _Noreturn
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Ends the process with exit status 0 after writing the error envelope. */
BV_NORETURN void oci_send_error(int status, const char *code, const char *message);
void oci_send_json(int status, const char *body);

int oci_init_storage(void);
int oci_valid_repo_name(const char *name);
int oci_parse_repo_marker(const char *path, const char *marker,
                          char *repo, size_t repo_cap, char *rest, size_t rest_cap);

#ifdef __cplusplus
}
#endif

#endif
