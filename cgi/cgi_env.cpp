// Request environment: CGI variables with their fallbacks, and the method tests.
#include "cgi/bv_cgi.h"

#include <cstdlib>
#include <cstring>

extern "C" {

const char *cgi_env(const char *name, const char *fallback) {
    const char *value = std::getenv(name);
    if (value && *value) return value;
    return fallback ? fallback : "";
}

const char *cgi_method(void) { return cgi_env("REQUEST_METHOD", "GET"); }

int cgi_is_post(void) { return std::strncmp(cgi_method(), "PO", 2) == 0; }

int cgi_is_head(void) { return std::strncmp(cgi_method(), "HEAD", 4) == 0; }

const char *cgi_path_info(void) { return cgi_env("PATH_INFO", "/"); }

}  // extern "C"
