// Runs the storage bootstrap in a fresh process, step by step as named on the command line:
//   init        call oci_init_storage, print "init:RC:LAST_ERROR"
//   root        print the root the bootstrap would pick now, as "root:[ROOT]"
//   config HEX  replace ./config.json with the bytes given as hex digits
//   kind        print the engine's last failure kind as "kind:N"
//   next        end the request as a FastCGI process does between two
//   drop PATH   remove the file PATH (the storage's config.json, say)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cgi/bv_cgi.h"
#include "oci/oci_common.h"
#include "oci/oci_internal.h"
#include "storage/reg_storage.h"

static std::string from_hex(const char *hex) {
    std::string out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        out.push_back(static_cast<char>(std::strtoul(std::string(hex + i, 2).c_str(), nullptr, 16)));
    return out;
}

int main(int argc, char **argv) {
    bv_stdout_bin();  // the tests compare bytes: no CR added on Windows
    for (int i = 1; i < argc; ++i) {
        const std::string op = argv[i];
        if (op == "init") {
            int rc = oci_init_storage();
            std::printf("init:%d:%s\n", rc, reg_storage_last_error());
        } else if (op == "root") {
            char root[oci_internal::storage_root_cap];
            oci_internal::pick_storage_root(root);
            std::printf("root:[%s]\n", root);
        } else if (op == "kind") {
            std::printf("kind:%d\n", static_cast<int>(reg_storage_last_error_kind()));
        } else if (op == "next") {
            oci_internal::begin_request();
        } else if (op == "drop" && i + 1 < argc) {
            if (std::remove(argv[++i]) != 0) return 3;
        } else if (op == "config" && i + 1 < argc) {
            const std::string data = from_hex(argv[++i]);
            std::FILE *f = std::fopen("config.json", "wb");
            if (!f || std::fwrite(data.data(), 1, data.size(), f) != data.size()) return 3;
            std::fclose(f);
        } else {
            std::fprintf(stderr, "oci_bootstrap_probe: bad operation %s\n", op.c_str());
            return 2;
        }
    }
    std::fflush(stdout);
    return 0;
}
