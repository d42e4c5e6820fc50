/* Baseline for CGI start-up cost: a static C program that writes the ping's exact answer
 * and nothing more, against which v2_ping's whole-process time is compared. */
#include <stdio.h>

int main(void) {
    static const char answer[] =
        "Status: 200 OK\r\n"
        "Docker-Distribution-API-Version: registry/2.0\r\n"
        "Content-Type: application/json; charset=utf-8\r\n"
        "\r\n"
        "{}\n";
    fwrite(answer, 1, sizeof answer - 1, stdout);
    fflush(stdout);
    return 0;
}
