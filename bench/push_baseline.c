/* Baseline for pushing a blob: a static C CGI program that copies its request body to the
 * file BV_BENCH_COPY names, in 1 MiB pieces, and answers 201, nothing more. */
#include <stdio.h>
#include <stdlib.h>

int main(void) {
    static char buf[1 << 20];
    const char *path = getenv("BV_BENCH_COPY");
    const char *length = getenv("CONTENT_LENGTH");
    long long left = length ? atoll(length) : 0;
    FILE *out = path ? fopen(path, "wb") : NULL;
    if (!out) {
        fputs("Status: 500\r\nContent-Length: 0\r\n\r\n", stdout);
        return 0;
    }
    while (left > 0) {
        const size_t want = left < (long long)sizeof buf ? (size_t)left : sizeof buf;
        const size_t got = fread(buf, 1, want, stdin);
        if (got == 0 || fwrite(buf, 1, got, out) != got) break;
        left -= (long long)got;
    }
    const int ok = fclose(out) == 0 && left == 0;
    fputs(ok ? "Status: 201\r\nContent-Length: 0\r\n\r\n" : "Status: 400\r\nContent-Length: 0\r\n\r\n", stdout);
    return 0;
}
