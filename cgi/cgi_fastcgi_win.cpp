// The FastCGI listener on Windows, over the module's own record layer: the named pipe IIS hands
// over as standard input (accepted with ConnectNamedPipe), or a TCP socket opened on
// REGISTRY_FASTCGI_LISTEN=host:port. One connection, and on it one request, at a time.
#ifdef _WIN32

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "cgi/cgi_fastcgi_records.h"
#include "cgi/cgi_internal.h"

namespace bv_cgi {
namespace {

constexpr int kBacklog = 64;
// How long a closing socket waits for the web server to finish with it (see tcp_transport).
constexpr DWORD kLingerMs = 1000;

class transport {
public:
    virtual ~transport() = default;
    // Waits for the web server's next connection; false when serving should stop.
    virtual bool accept() = 0;
    // Ends the current connection, once everything written has been passed on.
    virtual void close() = 0;
    virtual std::ptrdiff_t read(void *buf, std::size_t cap) = 0;
    virtual bool write(const void *data, std::size_t len) = 0;
    // The request just accepted is the process's last: no new connection should wait for it.
    virtual void last_request() {}

    fcgi::byte_stream stream() {
        fcgi::byte_stream s;
        s.context = this;
        s.read = [](void *self, void *buf, std::size_t cap) { return static_cast<transport *>(self)->read(buf, cap); };
        s.write = [](void *self, const void *data, std::size_t len) {
            return static_cast<transport *>(self)->write(data, len);
        };
        return s;
    }
};

// ---- IIS: the inherited named pipe ---------------------------------------------------------------
// IIS's FastCGI module creates a named pipe per process, passes its server end as standard input
// (its name in _FCGI_X_PIPE_) and connects to it for requests. With signalBeforeTerminateSeconds
// set it also passes an inheritable event in _FCGI_SHUTDOWN_EVENT_, set when the process should
// end. The handle may have been made for overlapped I/O or not: every call passes an OVERLAPPED
// and waits on it, which is right for both kinds.
class pipe_transport final : public transport {
public:
    pipe_transport(HANDLE pipe, HANDLE shutdown) : pipe_(pipe), shutdown_(shutdown) {
        io_event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~pipe_transport() override {
        if (io_event_) CloseHandle(io_event_);
    }

    bool accept() override {
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (stopping() || !io_event_) return false;
            OVERLAPPED ov{};
            ov.hEvent = io_event_;
            ResetEvent(io_event_);
            if (ConnectNamedPipe(pipe_, &ov)) return true;
            DWORD n = 0;
            switch (GetLastError()) {
            case ERROR_PIPE_CONNECTED:
                return true;
            case ERROR_IO_PENDING:
                if (finish_io(ov, n)) return true;
                if (stopping()) return false;
                break;
            case ERROR_NO_DATA:  // the client came and went before we looked: take the next one
                DisconnectNamedPipe(pipe_);
                break;
            default:
                return false;
            }
        }
        return false;
    }

    void close() override {
        FlushFileBuffers(pipe_);  // returns once IIS has read all we wrote
        DisconnectNamedPipe(pipe_);
    }

    std::ptrdiff_t read(void *buf, std::size_t cap) override {
        OVERLAPPED ov{};
        ov.hEvent = io_event_;
        ResetEvent(io_event_);
        const DWORD want = cap > (1u << 20) ? (1u << 20) : static_cast<DWORD>(cap);
        DWORD n = 0;
        if (!ReadFile(pipe_, buf, want, &n, &ov)) {
            const DWORD err = GetLastError();
            if (err == ERROR_IO_PENDING) {
                if (!finish_io(ov, n)) return GetLastError() == ERROR_MORE_DATA ? static_cast<std::ptrdiff_t>(n) : -1;
            } else if (err == ERROR_MORE_DATA) {
                // A message-mode pipe with a message longer than the buffer: the rest follows.
            } else {
                return err == ERROR_BROKEN_PIPE ? 0 : -1;
            }
        }
        return static_cast<std::ptrdiff_t>(n);
    }

    bool write(const void *data, std::size_t len) override {
        const char *bytes = static_cast<const char *>(data);
        while (len > 0) {
            OVERLAPPED ov{};
            ov.hEvent = io_event_;
            ResetEvent(io_event_);
            const DWORD want = len > (1u << 20) ? (1u << 20) : static_cast<DWORD>(len);
            DWORD n = 0;
            if (!WriteFile(pipe_, bytes, want, &n, &ov) && (GetLastError() != ERROR_IO_PENDING || !finish_io(ov, n)))
                return false;
            if (n == 0) return false;
            bytes += n;
            len -= n;
        }
        return true;
    }

private:
    bool stopping() const { return shutdown_ && WaitForSingleObject(shutdown_, 0) == WAIT_OBJECT_0; }

    // Waits for a pending operation; the shutdown event cancels a wait for a connection or input.
    bool finish_io(OVERLAPPED &ov, DWORD &n) {
        if (shutdown_) {
            HANDLE both[2] = {io_event_, shutdown_};
            if (WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
                CancelIoEx(pipe_, &ov);
                GetOverlappedResult(pipe_, &ov, &n, TRUE);
                SetLastError(ERROR_OPERATION_ABORTED);
                return false;
            }
        }
        return GetOverlappedResult(pipe_, &ov, &n, TRUE) != 0;
    }

    HANDLE pipe_;
    HANDLE shutdown_;
    HANDLE io_event_ = nullptr;
};

// ---- REGISTRY_FASTCGI_LISTEN: a TCP socket of our own --------------------------------------------
class tcp_transport final : public transport {
public:
    explicit tcp_transport(SOCKET listening) : listening_(listening) {}
    ~tcp_transport() override {
        close();
        last_request();
        WSACleanup();
    }

    // A connection left waiting in the queue when the process ends is reset, and the web server
    // cannot tell whether its request was served; one refused at once it sends to another
    // process. So the port closes as soon as the last request is under way.
    void last_request() override {
        if (listening_ == INVALID_SOCKET) return;
        closesocket(listening_);
        listening_ = INVALID_SOCKET;
    }

    bool accept() override {
        for (;;) {
            if (listening_ == INVALID_SOCKET) return false;
            SOCKET s = ::accept(listening_, nullptr, nullptr);
            if (s != INVALID_SOCKET) {
                SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
                // Answers go out in whole records already; no reason to hold the last one back.
                const BOOL on = TRUE;
                setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
                conn_ = s;
                return true;
            }
            const int err = WSAGetLastError();
            if (err != WSAECONNRESET && err != WSAEINTR && err != WSAEWOULDBLOCK) return false;
        }
    }

    // The web server closes its end once the request has ended; waiting for that (a moment at
    // most) before closing ours means no unread input resets the connection, which could cost
    // the web server the end of the answer, and the port is not left in TIME_WAIT on this side,
    // where it would keep a replacement process from listening on it.
    void close() override {
        if (conn_ == INVALID_SOCKET) return;
        const DWORD timeout = kLingerMs;
        setsockopt(conn_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&timeout), sizeof timeout);
        char sink[4096];
        const ULONGLONG until = GetTickCount64() + kLingerMs;
        while (recv(conn_, sink, sizeof sink, 0) > 0 && GetTickCount64() < until) {
        }
        shutdown(conn_, SD_BOTH);
        closesocket(conn_);
        conn_ = INVALID_SOCKET;
    }

    std::ptrdiff_t read(void *buf, std::size_t cap) override {
        const int want = cap > (1u << 20) ? (1 << 20) : static_cast<int>(cap);
        const int n = recv(conn_, static_cast<char *>(buf), want, 0);
        return n == SOCKET_ERROR ? -1 : n;
    }

    bool write(const void *data, std::size_t len) override {
        const char *bytes = static_cast<const char *>(data);
        while (len > 0) {
            const int want = len > (1u << 20) ? (1 << 20) : static_cast<int>(len);
            const int n = send(conn_, bytes, want, 0);
            if (n == SOCKET_ERROR || n == 0) return false;
            bytes += n;
            len -= static_cast<std::size_t>(n);
        }
        return true;
    }

private:
    SOCKET listening_;
    SOCKET conn_ = INVALID_SOCKET;
};

// host:port, [v6 host]:port, or *:port / :port for every address.
SOCKET listen_on(const char *address) {
    const std::string text = address;
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return INVALID_SOCKET;
    std::string host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::atoi(port.c_str()) < 1 || std::atoi(port.c_str()) > 65535)
        return INVALID_SOCKET;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host == "*") host.clear();

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found) != 0) return INVALID_SOCKET;
    SOCKET s = INVALID_SOCKET;
    for (addrinfo *ai = found; ai; ai = ai->ai_next) {
        s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (s == INVALID_SOCKET) continue;
        SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
        // Without it Windows lets a second program bind the same port and take connections.
        const BOOL on = TRUE;
        setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&on), sizeof on);
        if (bind(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0 && listen(s, kBacklog) == 0) break;
        closesocket(s);
        s = INVALID_SOCKET;
    }
    freeaddrinfo(found);
    return s;
}

// The event IIS passes by handle value, or null.
HANDLE shutdown_event() {
    const char *text = std::getenv("_FCGI_SHUTDOWN_EVENT_");
    if (!text || !*text) return nullptr;
    char *end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (*end != '\0' || value == 0) return nullptr;
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

// Standard input is the server end of a named pipe while standard output is no handle at all:
// how IIS starts a FastCGI application. As a CGI program standard input may be a pipe too, but
// standard output is then the pipe the answer goes to.
bool started_by_iis(HANDLE in) {
    if (in == nullptr || in == INVALID_HANDLE_VALUE || GetFileType(in) != FILE_TYPE_PIPE) return false;
    DWORD flags = 0;
    if (!GetNamedPipeInfo(in, &flags, nullptr, nullptr, nullptr) || !(flags & PIPE_SERVER_END)) return false;
    const char *named = std::getenv("_FCGI_X_PIPE_");
    if (named && *named) return true;
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    return out == nullptr || out == INVALID_HANDLE_VALUE;
}

// REGISTRY_FASTCGI_MAX_REQUESTS as the serving loop reads it (digits only, else 10000; 0: no
// limit), so the listener knows which request is the last.
class win_listener final : public listener {
public:
    explicit win_listener(std::unique_ptr<transport> t) : transport_(std::move(t)), limit_(max_requests()) {}
    ~win_listener() override { end_connection(); }

    connection *accept() override {
        for (;;) {
            if (!session_) {
                if (!transport_->accept()) return nullptr;
                session_ = std::make_unique<fcgi::session>(transport_->stream());
            }
            if (session_->next_request()) {
                if (limit_ > 0 && ++served_ >= limit_) transport_->last_request();
                return session_.get();
            }
            end_connection();
        }
    }

    // A request cut for its transfer rate (bv_cgi.h) ends its connection too: kept, it would
    // have the next request wait while the rest of the slow body is passed over. Single waits on
    // the pipe or socket are not bounded here (the rate is checked between reads and writes
    // only); IIS's own activityTimeout and requestTimeout end a client that stalls altogether.
    void finish(connection *) override {
        if (session_ && (!session_->finish(0) || transfer_state() != CGI_CUT_NONE)) end_connection();
    }

private:
    void end_connection() {
        if (!session_) return;
        session_.reset();
        transport_->close();
    }

    std::unique_ptr<transport> transport_;
    std::unique_ptr<fcgi::session> session_;
    const long limit_;
    long served_ = 0;
};

}  // namespace

std::unique_ptr<listener> open_fastcgi_listener(bool *failed) {
    *failed = false;
    const char *address = std::getenv("REGISTRY_FASTCGI_LISTEN");
    if (address && *address) {
        WSADATA wsa;
        if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
            std::fprintf(stderr, "registry: Windows sockets failed to start\n");
            *failed = true;
            return nullptr;
        }
        const SOCKET s = listen_on(address);
        if (s == INVALID_SOCKET) {
            std::fprintf(stderr, "registry: cannot listen on REGISTRY_FASTCGI_LISTEN=%s (host:port on Windows)\n",
                         address);
            WSACleanup();
            *failed = true;
            return nullptr;
        }
        return std::make_unique<win_listener>(std::make_unique<tcp_transport>(s));
    }
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (!started_by_iis(in)) return nullptr;
    return std::make_unique<win_listener>(std::make_unique<pipe_transport>(in, shutdown_event()));
}

}  // namespace bv_cgi

#endif
