// Storage engine core in a process of its own:
//   uuids ROOT N                  initialise at ROOT and print N upload identifiers, one a line
//   write_limited PATH BYTES CAP  write BYTES bytes to PATH with files capped at CAP bytes
//                                 (where the platform can cap them) and print write_file's result
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#endif

#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

int main(int argc, char **argv) {
    if (argc == 4 && std::strcmp(argv[1], "uuids") == 0) {
        if (reg_storage_init(argv[2]) != 0) {
            std::printf("init failed: %s\n", reg_storage_last_error());
            return 1;
        }
        const long n = std::atol(argv[3]);
        char id[reg_internal::kUuidSize];
        for (long i = 0; i < n; ++i) {
            reg_internal::uuid_make(id);
            std::printf("%s\n", id);
        }
        return 0;
    }
    if (argc == 5 && std::strcmp(argv[1], "write_limited") == 0) {
#ifdef _WIN32
        std::printf("unsupported\n");
        return 0;
#else
        // Past the cap a write fails with EFBIG instead of ending the process.
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim;
        lim.rlim_cur = lim.rlim_max = static_cast<rlim_t>(std::atol(argv[4]));
        if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return 1;
        const std::string data(static_cast<size_t>(std::atol(argv[3])), 'n');
        std::printf("%d\n", reg_internal::write_file(argv[2], data.data(), data.size()));
        return 0;
#endif
    }
    std::fprintf(stderr, "storage_core_probe: bad arguments\n");
    return 2;
}
