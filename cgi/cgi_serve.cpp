// Serving: how the process was started (a CGI program or a FastCGI application), the loop that
// hands each FastCGI request to the handler with fresh per-request state, and the byte
// functions every answer and body read goes through.
#include "cgi/bv_cgi.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "cgi/cgi_internal.h"
#include "platform/bv_platform.h"
#include "platform/bv_platform_stream.h"
#include "platform/bv_platform_wait.h"

namespace {

constexpr long kDefaultMaxRequests = 10000;
// A handler that fails outside any answer leaves the process suspect: it exits with this
// status (EX_SOFTWARE) and the web server starts a fresh one.
constexpr int kFaultStatus = 70;
// Answers go out in pieces of at most this size, so the transfer rate is looked at after each:
// four FastCGI records' worth of content, so that a FastCGI answer goes in whole records.
constexpr size_t kRecordContent = 65535;
constexpr size_t kMeteredPiece = 4 * kRecordContent;
// A file goes into the answer in pieces of this size (16 records' worth, about 1 MiB).
constexpr size_t kFilePiece = 16 * kRecordContent;
// A CGI program's answer gathers in a buffer of this size and goes out when it is flushed or
// full, so that a head and a small body cost one write (and no wait while the output takes it).
constexpr size_t kGatherBytes = 16384;

bool s_fastcgi = false;
bv_cgi::connection *s_current = nullptr;
// Per request: whether any byte of the answer has been written, and whether a write failed.
bool s_answer_started = false;
bool s_write_failed = false;
// A CGI program's answer not yet written (one request per process, so one buffer).
char s_gathered[kGatherBytes];
size_t s_gathered_len = 0;

void begin_request(bv_cgi::connection *request) {
    bv_cgi::reset_query_slots();
    s_current = request;
    s_answer_started = false;
    s_write_failed = false;
    s_gathered_len = 0;
    bv_cgi::transfer_begin();
}

// Writes `len` bytes to a CGI program's standard output through the meter: each write takes
// what the output can take at once, and only when it takes nothing does the program wait for
// it, within the meter's bound. False when the bytes did not all go (or the answer was cut).
bool send_output(const char *bytes, size_t len) {
    bv_stdout_bin();
    bv_platform::output_without_waits();
    while (len > 0) {
        if (bv_cgi::transfer_state() == CGI_CUT_ANSWER) return false;
        const long limit = bv_cgi::transfer_wait_limit_ms();
        const long long started = bv_cgi::transfer_clock();
        long long n = bv_platform::write_output_now(bytes, len);
        if (n == 0 && bv_platform::output_ready_within(limit)) n = bv_platform::write_output_now(bytes, len);
        // A wait that ran out moved nothing in its whole bound: the meter calls that a stall.
        const size_t took = n > 0 ? static_cast<size_t>(n) : 0;
        if (!bv_cgi::transfer_account(started, limit, took, CGI_CUT_ANSWER) || n < 0) return false;
        bytes += took;
        len -= took;
    }
    return true;
}

// Writes out what a CGI program's answer has gathered.
bool send_gathered() {
    const size_t len = s_gathered_len;
    s_gathered_len = 0;
    return send_output(s_gathered, len);
}

// A CGI program's answer bytes: gathered while they fit, else written after what was gathered.
bool gather_output(const char *bytes, size_t len) {
    if (bv_cgi::transfer_state() == CGI_CUT_ANSWER) return false;
    if (len > kGatherBytes - s_gathered_len) {
        if (!send_gathered()) return false;
        if (len >= kGatherBytes) return send_output(bytes, len);
    }
    std::memcpy(s_gathered + s_gathered_len, bytes, len);
    s_gathered_len += len;
    return true;
}

// One piece of the answer through the meter, its waits bounded: false when it was not taken
// (or the answer has been cut).
bool write_metered(const char *bytes, size_t len) {
    if (!s_current) return gather_output(bytes, len);
    if (bv_cgi::transfer_state() == CGI_CUT_ANSWER) return false;
    const long limit = bv_cgi::transfer_wait_limit_ms();
    const long long started = bv_cgi::transfer_clock();
    s_current->bound_waits(limit);
    const bool ok = s_current->write(bytes, len);
    return bv_cgi::transfer_account(started, limit, ok ? len : 0, CGI_CUT_ANSWER) && ok;
}

bool flush_metered() {
    if (!s_current) return send_gathered();
    if (bv_cgi::transfer_state() == CGI_CUT_ANSWER) return false;
    const long limit = bv_cgi::transfer_wait_limit_ms();
    const long long started = bv_cgi::transfer_clock();
    s_current->bound_waits(limit);
    const bool ok = s_current->flush();
    // A flush that went through moved its bytes, however few: no stall to look for.
    return bv_cgi::transfer_account(started, ok ? -1 : limit, 0, CGI_CUT_ANSWER) && ok;
}

// Moves `length` bytes of `file` from byte `offset` on to standard output inside the kernel,
// each piece through the meter, waiting only when the output takes nothing: 1 when all of them
// went, -1 when the answer failed part-way (or was cut, or the file ended early), 0 when this
// system or this output cannot take file bytes so and nothing moved: the caller copies them
// itself. What the answer gathered before must have gone out.
int send_file_by_kernel(std::FILE *file, int64_t offset, int64_t length) {
    const bv_platform::kernel_copy way = bv_platform::kernel_copy_to_output();
    if (way == bv_platform::kernel_copy::none) return 0;
    bv_platform::output_without_waits();
    bool moved = false;
    while (length > 0) {
        if (bv_cgi::transfer_state() == CGI_CUT_ANSWER) return -1;
        const long limit = bv_cgi::transfer_wait_limit_ms();
        const long long started = bv_cgi::transfer_clock();
        const size_t want = length < static_cast<int64_t>(kFilePiece) ? static_cast<size_t>(length) : kFilePiece;
        long long n = bv_platform::copy_file_to_output(way, file, &offset, want);
        if (n == -3 && bv_platform::output_ready_within(limit)) n = bv_platform::copy_file_to_output(way, file, &offset, want);
        if (n == -2 && !moved) return 0;
        const size_t took = n > 0 ? static_cast<size_t>(n) : 0;
        // A wait that ran out is a stall the meter cuts; one that ended early just goes round.
        if (!bv_cgi::transfer_account(started, limit, took, CGI_CUT_ANSWER)) return -1;
        if (n == -3) continue;
        if (took == 0) return -1;
        moved = true;
        length -= n;
    }
    return 1;
}

// Reads `length` bytes of `file` from byte `offset` on into the answer through cgi_write:
// false when the file could not be read to the end of them or the answer was not taken.
bool copy_file(std::FILE *file, int64_t offset, int64_t length) {
    std::unique_ptr<char[]> buf(new (std::nothrow) char[kFilePiece]);
    if (!buf || bv_platform::seek_to(file, offset) != 0) return false;
    while (length > 0) {
        const size_t want = length < static_cast<int64_t>(kFilePiece) ? static_cast<size_t>(length) : kFilePiece;
        const size_t got = std::fread(buf.get(), 1, want, file);
        if (got == 0 || cgi_write(buf.get(), got) != 0) return false;
        length -= static_cast<int64_t>(got);
    }
    return true;
}

// The answer to a request whose handler failed before writing anything.
void answer_fault() {
    if (s_answer_started) return;
    cgi_header_status(500, nullptr);
    cgi_header_text();
    cgi_headers_end();
    cgi_puts("internal error\n");
    cgi_flush();
}

int serve_cgi(cgi_handler handler, void *context) {
    begin_request(nullptr);
    int status;
    try {
        status = handler(context);
    } catch (...) {
        answer_fault();
        return kFaultStatus;
    }
    cgi_flush();  // what the handler left gathered
    return status;
}

int serve_fastcgi(bv_cgi::listener &listener, cgi_handler handler, void *context) {
    const long limit = bv_cgi::max_requests();
    for (long served = 0; limit == 0 || served < limit; ++served) {
        bv_cgi::connection *request = listener.accept();
        if (!request) break;
        begin_request(request);
        bool fault = false;
        try {
            handler(context);
        } catch (const bv_cgi::request_ended &) {
        } catch (...) {
            answer_fault();
            fault = true;
        }
        cgi_flush();
        listener.finish(request);
        s_current = nullptr;
        if (fault) return kFaultStatus;
    }
    return 0;
}

}  // namespace

namespace bv_cgi {

connection *current() { return s_current; }

// REGISTRY_FASTCGI_MAX_REQUESTS: digits only; anything else keeps the default, so a typo never
// turns recycling off.
long max_requests() {
    const char *text = std::getenv("REGISTRY_FASTCGI_MAX_REQUESTS");
    if (!text || !*text) return kDefaultMaxRequests;
    long value = 0;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9' || value > 100000000) return kDefaultMaxRequests;
        value = value * 10 + (*p - '0');
    }
    return value;
}

}  // namespace bv_cgi

extern "C" {

int cgi_serve(cgi_handler handler, void *context) {
    if (!handler) return 2;
    bool failed = false;
    std::unique_ptr<bv_cgi::listener> listener = bv_cgi::open_fastcgi_listener(&failed);
    if (failed) return 1;
    if (!listener) return serve_cgi(handler, context);
    s_fastcgi = true;
    const int status = serve_fastcgi(*listener, handler, context);
    s_fastcgi = false;
    return status;
}

int cgi_is_fastcgi(void) { return s_fastcgi ? 1 : 0; }

void cgi_end_request(void) {
    if (s_current) throw bv_cgi::request_ended{};
    flush_metered();
    std::exit(0);
}

int cgi_write(const void *data, size_t len) {
    if (len == 0) return 0;
    if (!data) return -1;
    s_answer_started = true;
    const char *bytes = static_cast<const char *>(data);
    bool ok = true;
    while (ok && len > 0) {
        const size_t piece = len < kMeteredPiece ? len : kMeteredPiece;
        ok = write_metered(bytes, piece);
        bytes += piece;
        len -= piece;
    }
    if (!ok) s_write_failed = true;
    return ok ? 0 : -1;
}

int cgi_write_file(FILE *file, long long first, long long length) {
    if (length == 0) return 0;
    if (!file || first < 0 || length < 0) return -1;
    s_answer_started = true;
    bv_platform::advise_sequential(file);
    int sent = 0;
    // A CGI program's answer goes straight to its output descriptor, past stdio, once what
    // stdio holds of it (the head) has gone.
    if (!s_current) sent = cgi_flush() == 0 ? send_file_by_kernel(file, first, length) : -1;
    if (sent == 0) sent = copy_file(file, first, length) ? 1 : -1;
    if (sent < 0) s_write_failed = true;
    return sent > 0 ? 0 : -1;
}

int cgi_puts(const char *text) { return text ? cgi_write(text, std::strlen(text)) : 0; }

int cgi_printf(const char *fmt, ...) {
    if (!fmt) return 0;
    char small[512];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0) return -1;
    if (static_cast<size_t>(n) < sizeof small) return cgi_write(small, static_cast<size_t>(n));
    std::unique_ptr<char[]> big(new (std::nothrow) char[static_cast<size_t>(n) + 1]);
    if (!big) return -1;
    va_start(ap, fmt);
    std::vsnprintf(big.get(), static_cast<size_t>(n) + 1, fmt, ap);
    va_end(ap);
    return cgi_write(big.get(), static_cast<size_t>(n));
}

int cgi_flush(void) {
    if (!flush_metered()) s_write_failed = true;
    return s_write_failed ? -1 : 0;
}

// Gathers pieces as they arrive, each wait bounded and each piece metered; once the body is
// cut, its end is all that is left.
size_t cgi_read(void *buf, size_t cap) {
    if (!buf || cap == 0) return 0;
    if (!s_current) bv_platform::set_binary(stdin);
    char *out = static_cast<char *>(buf);
    size_t got = 0;
    while (got < cap && bv_cgi::transfer_state() == CGI_CUT_NONE) {
        const long limit = bv_cgi::transfer_wait_limit_ms();
        const long long started = bv_cgi::transfer_clock();
        size_t n;
        if (s_current) {
            s_current->bound_waits(limit);
            n = s_current->read(out + got, cap - got);
        } else {
            n = bv_platform::read_input_within(out + got, cap - got, limit);
        }
        if (!bv_cgi::transfer_account(started, limit, n, CGI_CUT_BODY) || n == 0) break;
        got += n;
    }
    return got;
}

}  // extern "C"
