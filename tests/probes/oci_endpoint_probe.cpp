// Drives the endpoint layer from the command line so tests can capture its exact output in a
// fresh process with a chosen environment. "@null" stands for a null pointer. Modes:
//   dispatch MARKER ROUTES  - oci_dispatch over the routes named in ROUTES, a comma list of
//                             METHOD, METHOD:w (write) or METHOD:d (delete access); each handler answers JSON
//                             naming its method, the request's fields and what it saw
//   reply OP... - runs reply operations; after each one prints "#RC\n":
//       head METHOD STATUS CT LEN N [NAME VALUE]*N   oci_reply_head
//       body METHOD STATUS CT TEXT N [NAME VALUE]*N  oci_reply_body
//       json METHOD STATUS JSON                      oci_reply_json
//       error METHOD STATUS CODE MESSAGE             oci_reply_error
//       storage METHOD NOTFOUND                      oci_reply_storage_error after an engine
//                                                    call made before initialisation
//   body CHUNK  - oci_body_open, then oci_read_body in reads of CHUNK bytes: prints
//                 "open=RC len=L file=F;" ("?" after L when no length was announced), the bytes, ";end=RC;rest=COUNT;" (COUNT: what is
//                 left on standard input)
//   clen        - prints oci_content_length
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cgi/bv_cgi.h"
#include "oci/oci_common.h"
#include "storage/reg_storage.h"

namespace {

const char *arg(int argc, char **argv, int i) {
    if (i >= argc) {
        std::fprintf(stderr, "oci_endpoint_probe: missing argument\n");
        std::exit(2);
    }
    return std::strcmp(argv[i], "@null") == 0 ? nullptr : argv[i];
}

int echo_handler(oci_request *request) {
    std::string json = "{\"method\":\"" + std::string(request->method) + "\",\"head\":" +
                       std::to_string(request->is_head) + ",\"repo\":\"" + request->repo +
                       "\",\"rest\":\"" + request->rest + "\",\"query\":\"" + request->query +
                       "\",\"user\":\"" + request->user + "\"}";
    return oci_reply_json(request, 200, json.c_str(), nullptr, 0);
}

int dispatch(const char *marker, const std::string &spec) {
    std::vector<std::string> methods;
    std::vector<oci_route> routes;
    size_t start = 0;
    while (start <= spec.size() && !spec.empty()) {
        const size_t comma = spec.find(',', start);
        methods.push_back(spec.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    for (std::string &m : methods) {
        oci_access access = OCI_ACCESS_READ;
        if (m.size() > 2 && m.compare(m.size() - 2, 2, ":w") == 0) {
            m.resize(m.size() - 2);
            access = OCI_ACCESS_WRITE;
        } else if (m.size() > 2 && m.compare(m.size() - 2, 2, ":d") == 0) {
            m.resize(m.size() - 2);
            access = OCI_ACCESS_DELETE;
        }
        routes.push_back({m.c_str(), echo_handler, access});
    }
    oci_request request;
    return oci_dispatch(&request, routes.data(), routes.size(), marker);
}

oci_request request_for(const char *method) {
    oci_request request{};
    request.method = method ? method : "GET";
    request.path = "/";
    request.query = "";
    request.user = "";
    request.is_head = method && std::strcmp(method, "HEAD") == 0;
    return request;
}

int reply(int argc, char **argv, int i) {
    while (i < argc) {
        const std::string op = argv[i++];
        const oci_request request = request_for(arg(argc, argv, i++));
        int rc = 0;
        if (op == "head" || op == "body") {
            const int status = std::atoi(arg(argc, argv, i++));
            const char *ct = arg(argc, argv, i++);
            const char *payload = arg(argc, argv, i++);
            const size_t n = std::strtoul(arg(argc, argv, i++), nullptr, 10);
            std::vector<oci_header> headers;
            for (size_t h = 0; h < n; ++h, i += 2)
                headers.push_back({arg(argc, argv, i), arg(argc, argv, i + 1)});
            if (op == "head")
                rc = oci_reply_head(&request, status, ct, std::atoll(payload), headers.data(), n);
            else
                rc = oci_reply_body(&request, status, ct, payload, payload ? std::strlen(payload) : 0,
                                    headers.data(), n);
        } else if (op == "json") {
            const int status = std::atoi(arg(argc, argv, i++));
            rc = oci_reply_json(&request, status, arg(argc, argv, i++), nullptr, 0);
        } else if (op == "error") {
            const int status = std::atoi(arg(argc, argv, i++));
            const char *code = arg(argc, argv, i++);
            rc = oci_reply_error(&request, status, code, arg(argc, argv, i++));
        } else if (op == "storage") {
            const char *not_found = arg(argc, argv, i++);
            reg_blob_get_size("sha256:00");  // fails: the engine was never initialised
            rc = oci_reply_storage_error(&request, not_found);
        } else {
            std::fprintf(stderr, "oci_endpoint_probe: unknown reply %s\n", op.c_str());
            return 2;
        }
        std::printf("#%d\n", rc);
        std::fflush(stdout);
    }
    return 0;
}

int body(size_t chunk) {
    oci_body b;
    const int rc = oci_body_open(&b);
    std::printf("open=%d len=%lld%s file=%d;", rc, static_cast<long long>(b.length),
                b.announced ? "" : "?", b.from_file);
    std::vector<char> buf(chunk ? chunk : 1);
    long n = 0;
    if (rc == 0) {
        while ((n = oci_read_body(&b, buf.data(), chunk)) > 0) {
            if (static_cast<size_t>(n) > chunk) std::abort();
            std::fwrite(buf.data(), 1, static_cast<size_t>(n), stdout);
        }
        oci_body_close(&b);
    }
    std::printf(";end=%ld;", n);
    size_t rest = 0;
    char tail[4096];
    for (size_t got; (got = std::fread(tail, 1, sizeof tail, stdin)) > 0;) rest += got;
    std::printf("rest=%zu;", rest);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    bv_stdout_bin();
    const std::string mode = argc > 1 ? argv[1] : "";
    int rc = 2;
    if (mode == "dispatch") {
        const char *marker = arg(argc, argv, 2);
        rc = dispatch(marker, arg(argc, argv, 3) ? argv[3] : "");
        std::printf("#%d", rc);
        rc = 0;
    } else if (mode == "reply") {
        rc = reply(argc, argv, 2);
    } else if (mode == "body") {
        rc = body(std::strtoul(arg(argc, argv, 2), nullptr, 10));
    } else if (mode == "clen") {
        std::printf("%lld", static_cast<long long>(oci_content_length()));
        rc = 0;
    } else {
        std::fprintf(stderr, "oci_endpoint_probe: unknown mode\n");
    }
    std::fflush(stdout);
    return rc;
}
