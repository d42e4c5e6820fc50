// Runs a sequence of CGI-module and envelope calls named on the command line, so tests can
// capture exactly what they write and how the process ends. "@null" stands for a null pointer.
//   status CODE REASON | html | json | text | ct TYPE | extra LINE | end
//   die_text CODE MSG | die_json CODE MSG | oci_error CODE ERRCODE MSG | oci_json CODE BODY
//   escape HEX (bytes given as hex digits) | env NAME FALLBACK | method | is_post | is_head
//   path_info
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cgi/bv_cgi.h"
#include "oci/oci_common.h"

static const char *arg(char **argv, int argc, int i) {
    if (i >= argc) {
        std::fprintf(stderr, "cgi_probe: missing argument\n");
        std::exit(2);
    }
    return std::strcmp(argv[i], "@null") == 0 ? nullptr : argv[i];
}

static std::string from_hex(const char *hex) {
    std::string out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        out.push_back(static_cast<char>(std::strtoul(std::string(hex + i, 2).c_str(), nullptr, 16)));
    return out;
}

int main(int argc, char **argv) {
    for (int i = 1; i < argc;) {
        const std::string op = argv[i++];
        if (op == "status") {
            int code = std::atoi(arg(argv, argc, i));
            cgi_header_status(code, arg(argv, argc, i + 1));
            i += 2;
        } else if (op == "html") cgi_header_html();
        else if (op == "json") cgi_header_json();
        else if (op == "text") cgi_header_text();
        else if (op == "end") cgi_headers_end();
        else if (op == "ct") cgi_header_ct(arg(argv, argc, i++));
        else if (op == "extra") cgi_header_extra(arg(argv, argc, i++));
        else if (op == "die_text") cgi_die_text(std::atoi(arg(argv, argc, i)), arg(argv, argc, i + 1));
        else if (op == "die_json") cgi_die_json(std::atoi(arg(argv, argc, i)), arg(argv, argc, i + 1));
        else if (op == "oci_error")
            oci_send_error(std::atoi(arg(argv, argc, i)), arg(argv, argc, i + 1), arg(argv, argc, i + 2));
        else if (op == "oci_json") {
            oci_send_json(std::atoi(arg(argv, argc, i)), arg(argv, argc, i + 1));
            i += 2;
        } else if (op == "escape") {
            const char *hex = arg(argv, argc, i++);
            json_escape_f(stdout, hex ? from_hex(hex).c_str() : nullptr);
        } else if (op == "env") {
            std::fputs(cgi_env(arg(argv, argc, i), arg(argv, argc, i + 1)), stdout);
            i += 2;
        } else if (op == "method") std::fputs(cgi_method(), stdout);
        else if (op == "is_post") std::printf("%d", cgi_is_post());
        else if (op == "is_head") std::printf("%d", cgi_is_head());
        else if (op == "path_info") std::fputs(cgi_path_info(), stdout);
        else {
            std::fprintf(stderr, "cgi_probe: unknown operation %s\n", op.c_str());
            return 2;
        }
        // The module gathers its bytes apart from stdio: each operation's go out in order.
        cgi_flush();
        std::fflush(stdout);
    }
    return 7;  // distinct from the 0 of the functions that end the process
}
