// The authorizer program: the web server runs it (FastCGI, authorizer role) for every endpoint
// request with the request's head alone, before it takes any byte of the body, and relays a
// refusal as the endpoint program would have given it; "Status: 200" lets the request go on.
#include "cgi/bv_cgi.h"
#include "oci/oci_common.h"

int main(void) {
    return cgi_serve([](void *) { return oci_authorize() == 0 ? 0 : 1; }, nullptr);
}
