// The FastCGI protocol layer on POSIX systems, over libfcgi: the listening socket the web server
// hands over as standard input (or one opened on REGISTRY_FASTCGI_LISTEN), one request at a time.
#include <fcgiapp.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cgi/cgi_internal.h"

namespace bv_cgi {
namespace {

// The listen queue for an address the program opens itself.
constexpr int kBacklog = 64;
// libfcgi counts in int; larger transfers go in pieces of this size.
constexpr std::size_t kPiece = 1u << 30;

class fcgx_connection final : public connection {
public:
    FCGX_Request request{};

    const char *param(const char *name) override { return FCGX_GetParam(name, request.envp); }

    std::size_t read(void *buf, std::size_t cap) override {
        char *out = static_cast<char *>(buf);
        std::size_t got = 0;
        while (got < cap) {
            const std::size_t want = cap - got < kPiece ? cap - got : kPiece;
            const int n = FCGX_GetStr(out + got, static_cast<int>(want), request.in);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
            if (static_cast<std::size_t>(n) < want) break;  // the body ended
        }
        return got;
    }

    bool write(const void *data, std::size_t len) override {
        const char *bytes = static_cast<const char *>(data);
        while (len > 0) {
            const std::size_t piece = len < kPiece ? len : kPiece;
            if (FCGX_PutStr(bytes, static_cast<int>(piece), request.out) != static_cast<int>(piece))
                return false;
            bytes += piece;
            len -= piece;
        }
        return true;
    }

    bool flush() override { return FCGX_FFlush(request.out) == 0; }
};

class fcgx_listener final : public listener {
public:
    explicit fcgx_listener(int socket) { FCGX_InitRequest(&connection_.request, socket, 0); }
    ~fcgx_listener() override { FCGX_Free(&connection_.request, 1); }

    connection *accept() override {
        return FCGX_Accept_r(&connection_.request) == 0 ? &connection_ : nullptr;
    }

    // On a kept connection the rest of the body (one the answer never needed, or only the
    // empty record that ends it) must be read here: libfcgi would otherwise meet it while
    // waiting for the next request, take it for a protocol error and drop the connection.
    void finish(connection *) override {
        if (connection_.request.keepConnection) {
            char rest[4096];
            while (FCGX_GetStr(rest, sizeof rest, connection_.request.in) > 0) {
            }
        }
        FCGX_Finish_r(&connection_.request);
    }

private:
    fcgx_connection connection_;
};

}  // namespace

std::unique_ptr<listener> open_fastcgi_listener(bool *failed) {
    *failed = false;
    const char *address = std::getenv("REGISTRY_FASTCGI_LISTEN");
    if (address && *address) {
        if (FCGX_Init() != 0) {
            std::fprintf(stderr, "registry: the FastCGI library failed to start\n");
            *failed = true;
            return nullptr;
        }
        // libfcgi ends the process itself when the address cannot be bound; what it refuses
        // before trying comes back here.
        const int socket = FCGX_OpenSocket(address, kBacklog);
        if (socket < 0) {
            std::fprintf(stderr, "registry: cannot listen on REGISTRY_FASTCGI_LISTEN=%s\n", address);
            *failed = true;
            return nullptr;
        }
        return std::make_unique<fcgx_listener>(socket);
    }
    // A listening socket on standard input: started by the web server as an application.
    if (FCGX_IsCGI()) return nullptr;
    return std::make_unique<fcgx_listener>(0);
}

}  // namespace bv_cgi
