// The minimum transfer rate: the meter every body read and answer write of a request goes
// through, its two settings, and the cut of a request whose client moves bytes too slowly.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "cgi/bv_cgi.h"
#include "cgi/cgi_internal.h"

namespace {

constexpr long kDefaultRate = 1024;        // bytes a second; see bv_cgi.h for the reasoning
constexpr long kDefaultGraceSeconds = 30;
constexpr long kMaxSetting = 100000000;    // larger values are typos, not settings
// After the answer's cut nothing more is waited for; the end records get this long.
constexpr long kAfterAnswerCutMs = 1;
constexpr long long kSlackNs = 2000000;

struct meter {
    long rate = 0;          // bytes a second; 0: the rule is off
    long grace_ms = 0;
    long long waited_ns = 0;
    long long bytes = 0;
    cgi_cut cut = CGI_CUT_NONE;
};

// The request being served's meter (the module holds one request at a time).
meter s_meter;

// A setting of plain digits, else `fallback` (unset, empty or anything else).
long setting(const char *name, long fallback) {
    const char *text = bv_cgi::lookup_variable(name);
    if (!text || !*text) return fallback;
    long value = 0;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9' || value > kMaxSetting) return fallback;
        value = value * 10 + (*p - '0');
    }
    return value;
}

// The wait time past which the average is below the rate with no byte more: the grace, or the
// time the bytes so far pay for, whichever is longer.
long long allowed_ns(const meter &m) {
    const long long grace = static_cast<long long>(m.grace_ms) * 1000000;
    // bytes * 1e9 / rate overflows only past 9 GB at 1 B/s; a double keeps it in range.
    const double paid = static_cast<double>(m.bytes) * 1e9 / static_cast<double>(m.rate);
    if (paid > 9e18) return static_cast<long long>(9e18);
    const long long paid_ns = static_cast<long long>(paid);
    return paid_ns > grace ? paid_ns : grace;
}

void log_cut(const meter &m) {
    std::fprintf(stderr,
                 "registry: %s cut: %lld bytes in %.1f s of waiting, under the minimum of %ld bytes "
                 "a second (REGISTRY_MIN_TRANSFER_RATE)\n",
                 m.cut == CGI_CUT_BODY ? "request body" : "answer", m.bytes,
                 static_cast<double>(m.waited_ns) / 1e9, m.rate);
    std::fflush(stderr);
}

}  // namespace

namespace bv_cgi {

void transfer_begin() {
    s_meter = meter{};
    s_meter.rate = setting("REGISTRY_MIN_TRANSFER_RATE", kDefaultRate);
    s_meter.grace_ms = setting("REGISTRY_TRANSFER_GRACE", kDefaultGraceSeconds) * 1000;
}

long long transfer_clock() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

long transfer_wait_limit_ms() {
    if (s_meter.cut == CGI_CUT_BODY) return s_meter.grace_ms > 0 ? s_meter.grace_ms : kAfterAnswerCutMs;
    if (s_meter.cut == CGI_CUT_ANSWER) return kAfterAnswerCutMs;
    if (s_meter.rate == 0) return -1;
    // A single wait gets the grace at most, however much time the bytes so far have paid for:
    // buffers along the way take the first few hundred kilobytes of an answer at once, which
    // would otherwise let a client that then takes nothing hold the process for minutes.
    long long left_ns = allowed_ns(s_meter) - s_meter.waited_ns;
    const long long grace_ns = static_cast<long long>(s_meter.grace_ms) * 1000000;
    if (left_ns > grace_ns) left_ns = grace_ns;
    // Rounded up, and never 0: a zero timeout means "no bound" to the socket options.
    const long long ms = left_ns / 1000000 + 1;
    return ms > kMaxSetting ? kMaxSetting : static_cast<long>(ms);
}

bool transfer_account(long long started, long limit_ms, std::size_t bytes, cgi_cut direction) {
    // After the body's cut the answer still goes out (its waits bounded), unmetered.
    if (s_meter.cut == CGI_CUT_ANSWER || s_meter.cut == direction) return false;
    if (s_meter.cut != CGI_CUT_NONE || s_meter.rate == 0) return true;
    const long long now = transfer_clock();
    const long long took = now > started ? now - started : 0;
    s_meter.waited_ns += took;
    s_meter.bytes += static_cast<long long>(bytes);
    // A call that moved nothing and lasted its whole bound ran into it: a stall, whatever the
    // average (the request must not go on as if its body had simply ended). The slack covers
    // a bound the system ended a hair early.
    const bool stalled = bytes == 0 && limit_ms > 0 && took + kSlackNs >= limit_ms * 1000000LL;
    if (!stalled && s_meter.waited_ns + kSlackNs <= allowed_ns(s_meter)) return true;
    s_meter.cut = direction;
    log_cut(s_meter);
    return false;
}

cgi_cut transfer_state() { return s_meter.cut; }

}  // namespace bv_cgi

extern "C" cgi_cut cgi_transfer_cut(void) { return bv_cgi::transfer_state(); }
