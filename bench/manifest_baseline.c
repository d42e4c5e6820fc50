/* Baseline for the manifest GET benchmark: a static C program writing a fixed manifest answer
 * (status, the registry's headers and a body of a typical manifest's size) and nothing more. */
#include <stdio.h>

int main(void) {
    static const char answer[] =
        "Status: 200\r\n"
        "Docker-Distribution-API-Version: registry/2.0\r\n"
        "Content-Type: application/vnd.oci.image.manifest.v1+json\r\n"
        "Docker-Content-Digest: sha256:0000000000000000000000000000000000000000000000000000000000000000\r\n"
        "Content-Length: 402\r\n"
        "\r\n"
        "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
        "\"config\":{\"mediaType\":\"application/vnd.oci.image.config.v1+json\",\"digest\":"
        "\"sha256:1111111111111111111111111111111111111111111111111111111111111111\",\"size\":123},"
        "\"layers\":[{\"mediaType\":\"application/vnd.oci.image.layer.v1.tar+gzip\",\"digest\":"
        "\"sha256:2222222222222222222222222222222222222222222222222222222222222222\",\"size\":4567}]}";
    fwrite(answer, 1, sizeof answer - 1, stdout);
    fflush(stdout);
    return 0;
}
