// The FastCGI protocol layer on POSIX systems, over libfcgi: the listening socket the web server
// hands over as standard input (or one opened on REGISTRY_FASTCGI_LISTEN), one request at a time;
// waits on the connection bounded by socket timeouts while a request is served, never between.
#include <fcgiapp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>

#include <cerrno>

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
// libfcgi copies an answer through a buffer of 8 KiB and sends each buffer as a record of its
// own: one system call (and one web server read) per 8 KiB. Writes of at least this size go
// out directly instead, in records of the largest content a record holds.
constexpr std::size_t kDirectWrite = 16u << 10;
constexpr std::size_t kRecordContent = 65535;
// A connection's send buffer takes this much without waiting (the systems' defaults for local
// and TCP sockets are several times larger): a small answer goes out with no bound to set.
constexpr std::size_t kUnboundedSend = 16u << 10;
constexpr unsigned char kStdoutRecord = 6;
// The connection's send buffer while large answers go out. lighttpd reads all a connection
// holds at once and, holding more than 128 KiB of an answer its client has not yet taken,
// spools the rest through a temporary file per read; a small buffer keeps each read under
// that, so the answer passes through its memory.
constexpr std::size_t kSendBuffer = 32u << 10;

// Writes all of the `count` pieces in `parts` (advancing them) to `fd`: false on a failure,
// a bound's timeout included.
bool write_all(int fd, iovec *parts, int count) {
    while (count > 0) {
        const ssize_t n = writev(fd, parts, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        std::size_t left = static_cast<std::size_t>(n);
        while (count > 0 && left >= parts->iov_len) {
            left -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char *>(parts->iov_base) + left;
            parts->iov_len -= left;
        }
    }
    return true;
}

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
            bound_receives();
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
        sent_ += len;
        if (len >= kDirectWrite) {
            bound_sends();
            return write_records(static_cast<const char *>(data), len);
        }
        // Bytes that fit what libfcgi's buffer has left are only copied: no wait to bound.
        FCGX_Stream *out = request.out;
        if (len > static_cast<std::size_t>(out->stop - out->wrNext)) bound_sends();
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

    // What libfcgi holds stays there until its buffer fills or the request ends: a small answer
    // (head, body and the request's end records) then leaves in one write rather than one per
    // flush. Writes of kDirectWrite bytes and more send what it holds first.
    bool flush() override { return FCGX_GetError(request.out) == 0; }

    // Only noted here: each wait takes the bound when it is about to happen (bound_sends,
    // bound_receives), so a request whose reads and writes never wait sets no socket option.
    void bound_waits(long ms) override { wanted_ms_ = ms > 0 ? ms : -1; }

    // Before a read of the socket or a send that may wait. A send may wait only once the
    // connection has taken more than kUnboundedSend bytes.
    void bound_receives() { apply_bound(SO_RCVTIMEO, &receive_ms_); }
    void bound_sends() {
        if (sent_ > kUnboundedSend) apply_bound(SO_SNDTIMEO, &send_ms_);
    }

    // After the request's end: a closed connection leaves nothing to undo, and the next one
    // starts with no bound and nothing sent; a kept one waits for its next request with no
    // bound, as long as the web server likes.
    void end_bounds() {
        wanted_ms_ = -1;
        if (request.ipcFd < 0) {
            receive_ms_ = send_ms_ = -1;
            sent_ = 0;
            return;
        }
        apply_bound(SO_RCVTIMEO, &receive_ms_);
        apply_bound(SO_SNDTIMEO, &send_ms_);
    }

private:
    // Sends what libfcgi holds, then `bytes` as STDOUT records of the request, each padded to
    // a multiple of 8 bytes as libfcgi pads its own, through a narrowed send buffer. A failure
    // part-way leaves a record cut short on the connection: the stream is marked failed and
    // the connection is closed at the request's end.
    bool write_records(const char *bytes, std::size_t len) {
        if (FCGX_FFlush(request.out) != 0) return false;
        const int send_buffer = static_cast<int>(kSendBuffer);
        setsockopt(request.ipcFd, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
        static const unsigned char padding_bytes[8] = {};
        while (len > 0) {
            const std::size_t content = len < kRecordContent ? len : kRecordContent;
            const std::size_t padding = (8 - content % 8) % 8;
            unsigned char header[8] = {1,
                                       kStdoutRecord,
                                       static_cast<unsigned char>(request.requestId >> 8),
                                       static_cast<unsigned char>(request.requestId & 0xff),
                                       static_cast<unsigned char>(content >> 8),
                                       static_cast<unsigned char>(content & 0xff),
                                       static_cast<unsigned char>(padding),
                                       0};
            iovec parts[3] = {{header, sizeof header},
                              {const_cast<char *>(bytes), content},
                              {const_cast<unsigned char *>(padding_bytes), padding}};
            if (!write_all(request.ipcFd, parts, padding > 0 ? 3 : 2)) {
                request.out->FCGI_errno = errno != 0 ? errno : EIO;
                request.out->isClosed = 1;
                request.keepConnection = 0;
                return false;
            }
            bytes += content;
            len -= content;
        }
        return true;
    }

    // A blocked read or write of the socket then fails with EAGAIN, which libfcgi takes as the
    // stream's failure: the request's reads end and its writes fail. A bound of a second or
    // more within a second of the one the socket has is close enough: the limit moves a little
    // with every wait, and each change would cost a system call. A shorter one (the end of an
    // answer that was cut gets 1 ms) is set as it is.
    void apply_bound(int option, long *applied) {
        const long ms = wanted_ms_;
        if (request.ipcFd < 0 || ms == *applied ||
            (ms >= 1000 && *applied > 0 && ms > *applied - 1000 && ms < *applied + 1000))
            return;
        timeval limit{};
        if (ms > 0) {
            limit.tv_sec = ms / 1000;
            limit.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
        }
        setsockopt(request.ipcFd, SOL_SOCKET, option, &limit, sizeof limit);
        *applied = ms;
    }

    long wanted_ms_ = -1;   // the bound the next wait should have, -1: none
    long receive_ms_ = -1;  // the bounds the socket has, -1: none
    long send_ms_ = -1;
    std::size_t sent_ = 0;  // answer bytes the connection has taken, its requests together
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
        connection_.bound_sends();
        FCGX_Finish_r(&request);
        connection_.end_bounds();
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
