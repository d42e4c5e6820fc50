// Reads the request body the way an endpoint does, so tests can give it a fresh environment
// and standard input. Operations, run in order:
//   post   - cgi_read_post with a length: prints "LEN:BODY;" ("!" before ";" when no NUL
//            follows the body) or "null:LEN;"
//   size   - like post, but prints only "LEN;" or "null:LEN;" (for bodies too big to echo)
//   nolen  - cgi_read_post without a length: prints "block;" or "null;"
//   rest   - reads what is left on standard input and prints "rest=COUNT;"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cgi/bv_cgi.h"

int main(int argc, char **argv) {
    bv_stdout_bin();  // bodies are echoed byte for byte
    for (int i = 1; i < argc; ++i) {
        const std::string op = argv[i];
        if (op == "post" || op == "size") {
            size_t len = 12345;
            char *body = cgi_read_post(&len);
            if (!body) {
                std::printf("null:%zu;", len);
                continue;
            }
            if (op == "size") {
                std::printf("%zu;", len);
            } else {
                std::printf("%zu:", len);
                std::fwrite(body, 1, len, stdout);
                std::fputs(body[len] == '\0' ? ";" : "!;", stdout);
            }
            std::free(body);
        } else if (op == "nolen") {
            char *body = cgi_read_post(nullptr);
            std::fputs(body ? "block;" : "null;", stdout);
            std::free(body);
        } else if (op == "rest") {
            size_t count = 0;
            char buf[4096];
            for (size_t n; (n = std::fread(buf, 1, sizeof buf, stdin)) > 0;) count += n;
            std::printf("rest=%zu;", count);
        } else {
            std::fprintf(stderr, "cgi_input_probe: unknown operation %s\n", op.c_str());
            return 2;
        }
    }
    std::fflush(stdout);
    return 0;
}
