// Request environment: CGI variables with their fallbacks (the request's FastCGI parameters
// when there are any), and the method tests.
#include "cgi/bv_cgi.h"

#include <cstdlib>
#include <cstring>

#include "cgi/cgi_internal.h"

namespace bv_cgi {

const char *lookup_variable(const char *name) {
    if (!name) return nullptr;
    if (connection *request = current()) {
        if (const char *value = request->param(name)) return value;
        // The deployment's settings may come with the process (a FastCGI server's process
        // environment); what describes a request never does, so no request sees another's.
        if (std::strncmp(name, "REGISTRY_", 9) != 0) return nullptr;
    }
    return std::getenv(name);
}

}  // namespace bv_cgi

extern "C" {

const char *cgi_env(const char *name, const char *fallback) {
    const char *value = bv_cgi::lookup_variable(name);
    if (value && *value) return value;
    return fallback ? fallback : "";
}

const char *cgi_method(void) { return cgi_env("REQUEST_METHOD", "GET"); }

int cgi_is_post(void) { return std::strncmp(cgi_method(), "PO", 2) == 0; }

int cgi_is_head(void) { return std::strncmp(cgi_method(), "HEAD", 4) == 0; }

const char *cgi_path_info(void) { return cgi_env("PATH_INFO", "/"); }

// The FastCGI layer sets FCGI_ROLE from the request's first record; a CGI program's environment
// could hold anything, so it is not asked.
int cgi_is_authorizer(void) {
    return cgi_is_fastcgi() && std::strcmp(cgi_env("FCGI_ROLE", ""), "AUTHORIZER") == 0;
}

}  // extern "C"
