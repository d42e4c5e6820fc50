/* The floor of the FastCGI benchmarks: a trivial libfcgi responder answering every request with
 * a fixed manifest-sized 200 (no body for HEAD), as fast as a FastCGI application can answer.
 * Started by the web server with its listening socket as standard input, or given one to open:
 * fcgi_floor [ADDRESS] (":port", "host:port" or a socket path, as FCGX_OpenSocket takes it). */
#include <fcgiapp.h>
#include <stdio.h>
#include <string.h>

static const char head[] =
    "Status: 200\r\n"
    "Docker-Distribution-API-Version: registry/2.0\r\n"
    "Content-Type: application/vnd.oci.image.manifest.v1+json\r\n"
    "Docker-Content-Digest: sha256:0000000000000000000000000000000000000000000000000000000000000000\r\n"
    "Content-Length: 402\r\n"
    "\r\n";
/* The size of the manifest bench/manifest_seed stores, so both answers move the same bytes. */
static const char body[] =
    "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
    "\"config\":{\"mediaType\":\"application/vnd.oci.image.config.v1+json\",\"digest\":"
    "\"sha256:1111111111111111111111111111111111111111111111111111111111111111\",\"size\":123},"
    "\"layers\":[{\"mediaType\":\"application/vnd.oci.image.layer.v1.tar+gzip\",\"digest\":"
    "\"sha256:2222222222222222222222222222222222222222222222222222222222222222\",\"size\":4567}]}";

int main(int argc, char **argv) {
    int sock = 0;
    FCGX_Request request;
    if (FCGX_Init() != 0) return 1;
    if (argc > 1 && (sock = FCGX_OpenSocket(argv[1], 64)) < 0) {
        fprintf(stderr, "fcgi_floor: cannot listen on %s\n", argv[1]);
        return 1;
    }
    if (FCGX_InitRequest(&request, sock, 0) != 0) return 1;
    while (FCGX_Accept_r(&request) >= 0) {
        const char *method = FCGX_GetParam("REQUEST_METHOD", request.envp);
        FCGX_PutStr(head, (int)(sizeof head - 1), request.out);
        if (!method || strcmp(method, "HEAD") != 0) FCGX_PutStr(body, (int)(sizeof body - 1), request.out);
        FCGX_Finish_r(&request);
    }
    return 0;
}
