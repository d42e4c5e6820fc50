// The endpoint tests' FastCGI client: the application started on an inherited listening socket
// (or told to listen itself), requests written as records while the answer is read, so an
// application that answers before it has read the body never deadlocks the test.
#ifndef _WIN32

#include "tests/endpoints/fastcgi_client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace fcgitest {

namespace {

constexpr unsigned char kVersion = 1;
constexpr unsigned char kBeginRequest = 1;
constexpr unsigned char kEndRequest = 3;
constexpr unsigned char kParams = 4;
constexpr unsigned char kStdin = 5;
constexpr unsigned char kStdout = 6;
constexpr unsigned char kStderr = 7;
constexpr unsigned char kKeepConn = 1;
constexpr std::uint16_t kRequestId = 1;
constexpr int kTimeoutMs = 60000;

// One record, its content padded to a multiple of eight bytes as lighttpd pads them.
void append_record(std::string &out, unsigned char type, const char *data, std::size_t len) {
    const std::size_t padding = (8 - len % 8) % 8;
    const unsigned char head[8] = {kVersion,
                                   type,
                                   static_cast<unsigned char>(kRequestId >> 8),
                                   static_cast<unsigned char>(kRequestId & 0xff),
                                   static_cast<unsigned char>(len >> 8),
                                   static_cast<unsigned char>(len & 0xff),
                                   static_cast<unsigned char>(padding),
                                   0};
    out.append(reinterpret_cast<const char *>(head), sizeof head);
    out.append(data, len);
    out.append(padding, '\0');
}

void append_length(std::string &out, std::size_t len) {
    if (len < 128) {
        out.push_back(static_cast<char>(len));
        return;
    }
    out.push_back(static_cast<char>(0x80 | ((len >> 24) & 0x7f)));
    out.push_back(static_cast<char>((len >> 16) & 0xff));
    out.push_back(static_cast<char>((len >> 8) & 0xff));
    out.push_back(static_cast<char>(len & 0xff));
}

// Everything up to the body: BEGIN_REQUEST and the params, split over records as needed.
std::string request_head(const Request &request) {
    std::string out;
    const char begin[8] = {0, static_cast<char>(request.role), static_cast<char>(request.keep_conn ? kKeepConn : 0),
                           0, 0, 0, 0, 0};
    append_record(out, kBeginRequest, begin, sizeof begin);
    std::string pairs;
    for (const auto &[name, value] : request.params) {
        append_length(pairs, name.size());
        append_length(pairs, value.size());
        pairs += name;
        pairs += value;
    }
    for (std::size_t at = 0; at < pairs.size(); at += 65535)
        append_record(out, kParams, pairs.data() + at, std::min<std::size_t>(65535, pairs.size() - at));
    append_record(out, kParams, nullptr, 0);
    return out;
}

// Produces the request's bytes piece by piece, so a large body is never copied whole.
class Outgoing {
public:
    explicit Outgoing(const Request &request) : request_(request), pending_(request_head(request)) {
        body_end_ = request.ending == Ending::complete ? request.body.size()
                                                       : std::min(request.sent, request.body.size());
    }
    // The next bytes to write, empty once everything (for this ending) has gone out.
    std::string_view next() {
        if (offset_ < pending_.size()) return std::string_view(pending_).substr(offset_);
        pending_.clear();
        offset_ = 0;
        if (!head_done_) {
            head_done_ = true;
            if (request_.stdin_delay_ms > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(request_.stdin_delay_ms));
        }
        if (body_at_ < body_end_) {
            if (body_at_ > 0 && request_.record_delay_ms > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(request_.record_delay_ms));
            const std::size_t size = std::clamp<std::size_t>(request_.record_size, 1, 65535);
            const std::size_t n = std::min(size, body_end_ - body_at_);
            append_record(pending_, kStdin, request_.body.data() + body_at_, n);
            body_at_ += n;
        } else if (!stdin_closed_ && request_.ending != Ending::abort) {
            append_record(pending_, kStdin, nullptr, 0);
            stdin_closed_ = true;
        }
        return pending_;
    }
    void consumed(std::size_t n) { offset_ += n; }

private:
    const Request &request_;
    std::string pending_;
    std::size_t offset_ = 0;
    std::size_t body_at_ = 0;
    std::size_t body_end_ = 0;
    bool stdin_closed_ = false;
    bool head_done_ = false;
};

// Takes the records out of `in` as they complete; true once END_REQUEST is read.
bool take_records(std::string &in, Reply &reply) {
    while (in.size() >= 8) {
        const auto *h = reinterpret_cast<const unsigned char *>(in.data());
        const std::size_t len = static_cast<std::size_t>(h[4]) << 8 | h[5];
        const std::size_t total = 8 + len + h[6];
        if (in.size() < total) return false;
        const std::string content = in.substr(8, len);
        in.erase(0, total);
        if (h[1] == kStdout) reply.out += content;
        else if (h[1] == kStderr) reply.err += content;
        else if (h[1] == kEndRequest && content.size() >= 5) {
            const auto *c = reinterpret_cast<const unsigned char *>(content.data());
            reply.app_status = static_cast<std::uint32_t>(c[0]) << 24 | static_cast<std::uint32_t>(c[1]) << 16 |
                               static_cast<std::uint32_t>(c[2]) << 8 | c[3];
            reply.protocol_status = c[4];
            reply.ended = true;
            return true;
        }
    }
    return false;
}

void apply_env(const std::vector<bvtest::EnvChange> &env) {
    for (const auto &[name, value] : env) {
        if (value) setenv(name.c_str(), value->c_str(), 1);
        else unsetenv(name.c_str());
    }
}

}  // namespace

const std::vector<std::string> &request_variable_names() {
    static const std::vector<std::string> names = {
        "REQUEST_METHOD", "PATH_INFO", "QUERY_STRING", "CONTENT_LENGTH", "CONTENT_TYPE", "REMOTE_USER",
        "HTTP_RANGE", "HTTP_CONTENT_RANGE", "HTTP_IF_RANGE", "HTTP_ACCEPT", "POST_BODY_FILE",
        "REGISTRY_READ_ONLY", "REGISTRY_ACCESS_FILE", "REGISTRY_X_SENDFILE", "REGISTRY_DELETE_ENABLED",
        "REGISTRY_FASTCGI_LISTEN", "REGISTRY_FASTCGI_MAX_REQUESTS", "REGISTRY_STORAGE_ROOT",
        "REGISTRY_MIN_TRANSFER_RATE", "REGISTRY_TRANSFER_GRACE"};
    return names;
}

std::vector<bvtest::EnvChange> clean_env(const std::vector<bvtest::EnvChange> &env) {
    std::vector<bvtest::EnvChange> out;
    for (const auto &name : request_variable_names()) out.emplace_back(name, std::nullopt);
    out.insert(out.end(), env.begin(), env.end());
    return out;
}

Process::Process(const std::string &program, const std::vector<bvtest::EnvChange> &env, Start start,
                 const std::filesystem::path &cwd)
    : socket_path_((dir_.path() / "app.sock").string()) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socket_path_.size() >= sizeof addr.sun_path) throw std::runtime_error("socket path too long");
    std::memcpy(addr.sun_path, socket_path_.c_str(), socket_path_.size() + 1);
    int listen_fd = -1;
    if (start == Start::inherited_socket) {
        listen_fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (listen_fd < 0 || bind(listen_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            listen(listen_fd, 16) != 0)
            throw std::runtime_error("cannot listen on " + socket_path_);
    }
    const std::string out_path = (dir_.path() / "stdout").string();
    const std::string err_path = (dir_.path() / "stderr").string();
    std::vector<bvtest::EnvChange> changes = clean_env(env);
    if (start == Start::listen_variable) changes.emplace_back("REGISTRY_FASTCGI_LISTEN", socket_path_);

    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        const int in = listen_fd >= 0 ? listen_fd : open("/dev/null", O_RDONLY);
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        apply_env(changes);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        signal(SIGPIPE, SIG_DFL);
        execl(program.c_str(), program.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    if (listen_fd >= 0) close(listen_fd);
    signal(SIGPIPE, SIG_IGN);
    if (start == Start::listen_variable) {
        // The program makes the socket itself: wait until it is there (connects retry briefly
        // while it is bound but not yet listening).
        struct stat st{};
        for (int i = 0; i < 500 && stat(socket_path_.c_str(), &st) != 0 && running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

Process::~Process() {
    if (kept_fd_ >= 0) close(kept_fd_);
    for (const int fd : held_fds_) close(fd);
    if (running()) {
        kill(pid_, SIGTERM);
        if (!wait_exit(5)) {
            kill(pid_, SIGKILL);
            wait_exit(5);
        }
    }
}

int Process::connect_socket() const {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socket_path_.c_str(), socket_path_.size() + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) return fd;
        const int error = errno;
        close(fd);
        if (error != ECONNREFUSED && error != ENOENT) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

Reply Process::send(const Request &request) {
    Reply reply;
    int fd = kept_fd_;
    kept_fd_ = -1;
    if (fd < 0) fd = connect_socket();
    if (fd < 0) {
        reply.write_failed = true;
        return reply;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    Outgoing outgoing(request);
    bool writing = true;
    std::string in;
    char buf[65536];
    for (;;) {
        std::string_view chunk;
        if (writing) {
            chunk = outgoing.next();
            if (chunk.empty()) {
                writing = false;
                // An aborting web server drops the connection with the request half sent.
                if (request.ending == Ending::abort) break;
            }
        }
        pollfd p{fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
        if (poll(&p, 1, kTimeoutMs) <= 0) break;  // a hung application: the test sees no end
        if (writing && (p.revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n = write(fd, chunk.data(), chunk.size());
            if (n > 0) outgoing.consumed(static_cast<std::size_t>(n));
            else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                writing = false;
                reply.write_failed = true;
            }
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
            if (n > 0) {
                in.append(buf, static_cast<std::size_t>(n));
                if (take_records(in, reply)) break;
                if (request.hang_up_after > 0 && reply.out.size() >= request.hang_up_after) break;
                if (request.hold_after > 0 && reply.out.size() >= request.hold_after) {
                    held_fds_.push_back(fd);
                    return reply;
                }
            }
        }
    }
    if (reply.ended && request.keep_conn) {
        // A server that keeps the connection (mod_fcgid, IIS) has sent the whole body by the
        // time it reads the answer, read or not: the rest goes out before the next request.
        while (writing) {
            const std::string_view chunk = outgoing.next();
            if (chunk.empty()) break;
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, kTimeoutMs) <= 0) break;
            const ssize_t n = write(fd, chunk.data(), chunk.size());
            if (n > 0) outgoing.consumed(static_cast<std::size_t>(n));
            else if (n < 0 && errno != EAGAIN && errno != EINTR) break;
        }
        kept_fd_ = fd;
    } else {
        close(fd);
    }
    return reply;
}

bool Process::running() { return !wait_exit(0).has_value(); }

std::optional<int> Process::wait_exit(double seconds) {
    if (status_) return status_;
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        int status = 0;
        const pid_t got = waitpid(pid_, &status, WNOHANG);
        if (got == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return status_;
        }
        if (got < 0 || std::chrono::steady_clock::now() >= until) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

long Process::status_kib(const char *field) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    return -1;
}

int Process::open_fds() const {
    std::error_code ec;
    int n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return ec ? -1 : n;
}

std::string Process::stderr_text() const { return bvtest::read_all(dir_.path() / "stderr"); }

bvtest::ProcessResult run_cgi(const std::string &program, const std::vector<bvtest::EnvChange> &env,
                              const Request &request) {
    std::vector<bvtest::EnvChange> changes = clean_env(env);
    for (const auto &[name, value] : request.params) changes.emplace_back(name, value);
    const std::string body =
        request.ending == Ending::complete ? request.body : request.body.substr(0, request.sent);
    return bvtest::run_program(program, {}, changes, body);
}

}  // namespace fcgitest

#endif
