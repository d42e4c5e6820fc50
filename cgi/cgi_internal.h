// What the CGI module's files share: the request being served, and the FastCGI protocol layer
// each platform provides (libfcgi on POSIX systems, the module's own on Windows).
#ifndef BV_CGI_INTERNAL_H
#define BV_CGI_INTERNAL_H

#include <cstddef>
#include <memory>

#include "cgi/bv_cgi.h"

namespace bv_cgi {

// One FastCGI request as the protocol layer delivers it. Lives from listener::accept to
// listener::finish.
class connection {
public:
    virtual ~connection() = default;
    // The request's parameter `name`, or null when the web server sent none.
    virtual const char *param(const char *name) = 0;
    // Up to `cap` bytes of the request body: what has arrived, at least one byte unless the body
    // is over; 0 at the end or on failure. The caller gathers pieces, so that a body trickling
    // in comes back to it (and its rate) after every piece.
    virtual std::size_t read(void *buf, std::size_t cap) = 0;
    // Queues `len` bytes of the answer; false when the connection has failed.
    virtual bool write(const void *data, std::size_t len) = 0;
    // Sends what is queued; false when the connection has failed.
    virtual bool flush() = 0;
    // Bounds each wait of the reads and writes that follow for a byte to arrive or to be taken:
    // a wait longer than `ms` milliseconds fails them; negative: waits are unbounded. Where the
    // platform cannot bound them this does nothing.
    virtual void bound_waits(long ms) { (void)ms; }
};

// The listening side: one request at a time, in order.
class listener {
public:
    virtual ~listener() = default;
    // Waits for the next request. Null when serving should stop (the web server closed the
    // listening socket or asked the application to end).
    virtual connection *accept() = 0;
    // Completes the request `accept` returned (the rest of the answer and the end of the
    // request go out), after which the connection is gone.
    virtual void finish(connection *request) = 0;
};

// The platform's listener when the process runs as a FastCGI application (standard input a
// listening socket or IIS's pipe, or REGISTRY_FASTCGI_LISTEN set), else null: a CGI program.
// A listen address that cannot be used prints why to standard error and gives null as well,
// with *failed set.
std::unique_ptr<listener> open_fastcgi_listener(bool *failed);

// Thrown by cgi_end_request under FastCGI, caught by cgi_serve: the request is over.
struct request_ended {};

// The request being served under FastCGI, or null (a CGI program, or between requests).
connection *current();

// How many requests a FastCGI process serves before it ends (REGISTRY_FASTCGI_MAX_REQUESTS,
// default 10000); 0: no limit.
long max_requests();

// The request variable `name`: the request's parameter under FastCGI (names beginning
// "REGISTRY_" fall back to the process environment), else the environment. Null when unset.
const char *lookup_variable(const char *name);

// ---- The minimum transfer rate (cgi_transfer.cpp) ----------------------------------------------
// Every body read and answer write of a request goes through the meter: the time spent waiting
// in them and the bytes they moved. A request whose average falls below the minimum rate once
// the grace has passed is cut, in the direction that was moving (cgi_transfer_cut).

// Starts the meter for a new request with the settings it sees.
void transfer_begin();
// How long the next wait may last (ms): until the average falls below the minimum with no byte
// moved, and never longer than the grace; negative when nothing is to be bounded (the rule is
// off). After a cut: the body's cut leaves the answer the grace to go out, the answer's cut
// leaves nothing (1 ms).
long transfer_wait_limit_ms();
// Accounts one read or write that began at `started` (transfer_clock) with waits bounded by
// `limit_ms` and moved `bytes` (0 for a call that failed): true while the rate holds, false
// once the request has been cut, for its average or because the call ran into its bound
// (logged to standard error once).
bool transfer_account(long long started, long limit_ms, std::size_t bytes, cgi_cut direction);
// A reading of the meter's clock, for transfer_account.
long long transfer_clock();
// The current request's cut, CGI_CUT_NONE while none.
cgi_cut transfer_state();

// The query slots (the module's only per-request state) go back to their start for the next
// request.
void reset_query_slots();

}  // namespace bv_cgi

#endif
