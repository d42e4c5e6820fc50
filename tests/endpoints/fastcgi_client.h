// A FastCGI client for the endpoint tests: starts a program the way lighttpd's mod_fastcgi does
// (standard input a listening Unix-domain socket) and speaks the responder role to it, one
// request per connection or several over a kept connection; and the same request run as CGI.
#pragma once

#ifndef _WIN32

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace fcgitest {

using Params = std::vector<std::pair<std::string, std::string>>;

// How the request's body reaches the application.
enum class Ending {
    complete,   // all of `body`, then the empty STDIN record
    cut_short,  // `sent` bytes of it, then the empty STDIN record (CONTENT_LENGTH says more)
    abort,      // `sent` bytes of it, then the connection is closed without an answer read
};

struct Request {
    Params params;
    std::string body;
    Ending ending = Ending::complete;
    std::size_t sent = 0;            // body bytes sent for cut_short and abort
    std::size_t record_size = 8192;  // body bytes per STDIN record (at most 65535)
    bool keep_conn = false;          // FCGI_KEEP_CONN: the next request reuses the connection
    std::size_t hang_up_after = 0;   // close once this many answer bytes came (0: read it all)
    int stdin_delay_ms = 0;          // pause between the params and the body (a slow client)
    int record_delay_ms = 0;         // pause before each body record after the first (a trickle)
    std::size_t hold_after = 0;      // once this many answer bytes came, stop reading and return,
                                     // the connection left open (0: read it all)
    unsigned char role = 1;          // FCGI_RESPONDER; 2: FCGI_AUTHORIZER
};

struct Reply {
    bool ended = false;         // FCGI_END_REQUEST arrived
    std::uint32_t app_status = 0;
    int protocol_status = -1;
    std::string out;            // the FCGI_STDOUT stream: what a CGI run writes to stdout
    std::string err;            // the FCGI_STDERR stream
    bool write_failed = false;  // the application closed before the whole request was sent
};

// How the program learns it is a FastCGI application.
enum class Start {
    inherited_socket,  // fd 0 is the listening socket (lighttpd bin-path, mod_fcgid)
    listen_variable,   // REGISTRY_FASTCGI_LISTEN names the socket path; it listens itself
};

// One application process. Its standard output and error go to files in a scratch directory.
class Process {
public:
    Process(const std::string &program, const std::vector<bvtest::EnvChange> &env,
            Start start = Start::inherited_socket, const std::filesystem::path &cwd = {});
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    Reply send(const Request &request);
    pid_t pid() const { return pid_; }
    // True while the process has not exited (reaps it once it has).
    bool running();
    // The exit status once the process has ended within `seconds`, -1 after a signal, nullopt
    // while it still runs.
    std::optional<int> wait_exit(double seconds);
    // The process's peak and current resident set (VmHWM, VmRSS) in KiB, -1 when unreadable.
    long peak_rss_kib() const { return status_kib("VmHWM:"); }
    long rss_kib() const { return status_kib("VmRSS:"); }
    // The number of file descriptors the process holds open.
    int open_fds() const;
    std::string stderr_text() const;

private:
    int connect_socket() const;
    long status_kib(const char *field) const;

    bvtest::TempDir dir_;
    std::string socket_path_;
    pid_t pid_ = -1;
    int kept_fd_ = -1;
    std::vector<int> held_fds_;  // connections of answers nobody reads, closed at the end
    std::optional<int> status_;
};

// The CGI variables the tests set or clear; cleared from every child's environment first, so
// nothing of the test runner's own environment reaches either mode.
const std::vector<std::string> &request_variable_names();

// Runs `program` as a plain CGI program with the request's params as its environment (on top
// of `env`, with every request variable cleared first) and its body on standard input, as
// much of it as the ending sends.
bvtest::ProcessResult run_cgi(const std::string &program, const std::vector<bvtest::EnvChange> &env,
                              const Request &request);

// The environment changes that clear every request variable, then apply `env`.
std::vector<bvtest::EnvChange> clean_env(const std::vector<bvtest::EnvChange> &env);

}  // namespace fcgitest

#endif
