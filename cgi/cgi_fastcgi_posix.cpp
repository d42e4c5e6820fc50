// The FastCGI protocol layer on POSIX systems, over libfcgi: the listening socket the web server
// hands over as standard input (or one opened on REGISTRY_FASTCGI_LISTEN), one request at a time;
// waits on the connection bounded by socket timeouts while a request is served, never between.
#include <fcgiapp.h>
#include <sys/socket.h>
#include <sys/time.h>

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

    // FCGX_GetStr would wait until `cap` bytes came, one slow record after another; what the
    // stream's buffer holds (its fields are public) is taken instead, and only an empty buffer
    // waits, for one read of the socket.
    std::size_t read(void *buf, std::size_t cap) override {
        FCGX_Stream *in = request.in;
        if (in->rdNext == in->stop) {
            const int first = FCGX_GetChar(in);
            if (first == EOF) return 0;
            FCGX_UnGetChar(first, in);
        }
        std::size_t want = static_cast<std::size_t>(in->stop - in->rdNext);
        if (want > cap) want = cap;
        if (want > kPiece) want = kPiece;
        const int n = FCGX_GetStr(static_cast<char *>(buf), static_cast<int>(want), in);
        return n > 0 ? static_cast<std::size_t>(n) : 0;
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

    // A blocked read or write of the socket then fails with EAGAIN, which libfcgi takes as the
    // stream's failure: the request's reads end and its writes fail.
    void bound_waits(long ms) override {
        if (request.ipcFd < 0) {  // closed: the next connection starts without a bound
            bound_ms_ = -1;
            return;
        }
        // A bound within a second of the one the socket has is close enough: the limit moves a
        // little with every wait, and each change would cost two system calls.
        if (ms == bound_ms_ || (ms > 0 && bound_ms_ > 0 && ms > bound_ms_ - 1000 && ms < bound_ms_ + 1000)) return;
        timeval limit{};
        if (ms > 0) {
            limit.tv_sec = ms / 1000;
            limit.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
        }
        setsockopt(request.ipcFd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(request.ipcFd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        bound_ms_ = ms > 0 ? ms : -1;
    }

private:
    long bound_ms_ = -1;  // the bound the socket has, -1: none
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
    // waiting for the next request, take it for a protocol error and drop the connection. It is
    // read through the meter, as slowly as it comes; a request cut for its rate has its
    // connection closed instead, the rest of its body unread. The end of the answer goes out
    // with its waits still bounded; a kept connection then waits for its next request with no
    // bound, as long as the web server likes.
    void finish(connection *) override {
        FCGX_Request &request = connection_.request;
        if (request.keepConnection && transfer_state() == CGI_CUT_NONE) {
            char rest[4096];
            while (cgi_read(rest, sizeof rest) > 0) {
            }
        }
        if (transfer_state() != CGI_CUT_NONE) request.keepConnection = 0;
        connection_.bound_waits(transfer_wait_limit_ms());
        FCGX_Finish_r(&request);
        connection_.bound_waits(-1);
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
