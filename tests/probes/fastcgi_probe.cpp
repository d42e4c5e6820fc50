// Serves requests through cgi_serve with a handler that does what the request's PROBE_OP names,
// so tests can compare how each CGI-module call ends a request under CGI and under FastCGI:
//   ok | mode | die_text | die_json | oci_error | head_then_die | unfinished_head | query | body |
//   throw
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "cgi/bv_cgi.h"
#include "oci/oci_common.h"

namespace {

void answer_text(const std::string &text) {
    cgi_header_status(200, "OK");
    cgi_header_text();
    cgi_headers_end();
    cgi_puts(text.c_str());
}

int handle(void *) {
    const std::string op = cgi_env("PROBE_OP", "ok");
    if (op == "die_text") cgi_die_text(403, "refused as text");
    if (op == "die_json") cgi_die_json(400, "refused \"as\" JSON");
    if (op == "oci_error") oci_send_error(404, "NAME_UNKNOWN", "no such repository");
    if (op == "head_then_die") {
        cgi_header_status(200, "OK");
        cgi_header_extra("X-Started: yes");
        cgi_die_text(500, "failed after the status");
    }
    if (op == "unfinished_head") {
        // Returns with the head neither ended nor followed by a body.
        cgi_header_status(201, nullptr);
        cgi_header_extra("X-Left: behind");
        return 0;
    }
    if (op == "query") {
        answer_text(std::string("x=") + cgi_query("x") + " y=" + cgi_query("y") + "\n");
        return 0;
    }
    if (op == "body") {
        size_t len = 0;
        char *body = cgi_read_post(&len);
        answer_text("body " + std::to_string(len) + ": " + (body ? std::string(body, len) : "<none>") + "\n");
        std::free(body);
        return 0;
    }
    if (op == "throw") throw std::runtime_error("the handler failed");
    if (op == "mode") {
        answer_text("fastcgi=" + std::to_string(cgi_is_fastcgi()) + "\n");
        return 0;
    }
    answer_text(std::string("ok ") + cgi_method() + " " + cgi_path_info() + "\n");
    return 0;
}

}  // namespace

int main(void) { return cgi_serve(handle, nullptr); }
