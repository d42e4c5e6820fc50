// The FastCGI responder over any byte stream: the record framing, the request's parameters, the
// body streamed as the handler reads it, the answer in STDOUT records and the end of each
// request. No platform calls; the Windows listener gives it a pipe or a socket.
#ifndef BV_CGI_FASTCGI_RECORDS_H
#define BV_CGI_FASTCGI_RECORDS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "cgi/cgi_internal.h"

namespace bv_cgi::fcgi {

inline constexpr std::uint8_t kVersion = 1;
inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::size_t kMaxContent = 65535;

enum record_type : std::uint8_t {
    begin_request = 1,
    abort_request = 2,
    end_request = 3,
    params = 4,
    stdin_stream = 5,
    stdout_stream = 6,
    stderr_stream = 7,
    data_stream = 8,
    get_values = 9,
    get_values_result = 10,
    unknown_type = 11,
};

enum protocol_status : std::uint8_t {
    request_complete = 0,
    cant_mpx_conn = 1,
    overloaded = 2,
    unknown_role = 3,
};

inline constexpr std::uint16_t kResponder = 1;
inline constexpr std::uint8_t kKeepConn = 1;

// The connection to the web server. read: up to `cap` bytes, the count, 0 at the end of the
// stream, negative on failure. write: all `len` bytes, or false.
struct byte_stream {
    void *context = nullptr;
    std::ptrdiff_t (*read)(void *context, void *buf, std::size_t cap) = nullptr;
    bool (*write)(void *context, const void *data, std::size_t len) = nullptr;
};

// What a request's parameters may take. A web server sends a few KiB; more is a broken or
// hostile peer, and the connection is dropped rather than memory given.
struct limits {
    std::size_t max_params_bytes = 1u << 20;
    std::size_t max_params = 4096;
};

using pair_list = std::vector<std::pair<std::string, std::string>>;

// Decodes name-value pairs (1- or 4-byte lengths) from `data`, appending to `out`. False when a
// pair runs past the end, or the pairs would exceed `lim`; `out` then holds the pairs before it.
bool decode_pairs(const std::uint8_t *data, std::size_t len, const limits &lim, pair_list &out);
// Appends one name-value pair, in the shortest length encoding.
void encode_pair(std::string &out, const std::string &name, const std::string &value);
// Appends one record header.
void encode_header(std::string &out, std::uint8_t type, std::uint16_t id, std::uint16_t content_len,
                   std::uint8_t padding);

// One connection from the web server, serving one request at a time. After next_request is
// true, the connection interface reads and answers that request until finish.
class session final : public connection {
public:
    explicit session(byte_stream stream, limits lim = {});

    // Reads until a responder request's parameters are complete, answering management records
    // and refusing other roles on the way. False when the connection is over: the web server
    // closed it, it failed, it broke the protocol, or a refused request did not keep it.
    bool next_request();

    const char *param(const char *name) override;
    std::size_t read(void *buf, std::size_t cap) override;
    bool write(const void *data, std::size_t len) override;
    bool flush() override;

    // Ends the request: what is left of the answer, the end of its STDOUT stream and
    // FCGI_END_REQUEST. True when the connection stays for another request (FCGI_KEEP_CONN set
    // and nothing failed); false: the caller closes it.
    bool finish(std::uint32_t app_status = 0);

    // The web server aborted the request being served (FCGI_ABORT_REQUEST).
    bool aborted() const { return aborted_; }
    // The connection failed or broke the protocol; nothing more goes over it.
    bool broken() const { return broken_; }
    std::uint16_t request_id() const { return id_; }
    const pair_list &params_list() const { return params_; }

private:
    struct header {
        std::uint8_t version, type;
        std::uint16_t id, content_len;
        std::uint8_t padding;
    };

    bool fill();
    bool read_exact(void *buf, std::size_t len);
    bool skip(std::size_t len);
    std::size_t read_some(void *buf, std::size_t len);
    bool read_header(header &h);
    bool handle_record(const header &h);
    bool begin(const header &h);
    bool answer_values(const header &h);
    void queue_end(std::uint16_t id, std::uint32_t app_status, std::uint8_t status);
    void close_stdout_record();
    bool send_pending();
    bool fail();
    void reset_request();

    byte_stream stream_;
    limits limits_;

    std::vector<std::uint8_t> in_;
    std::size_t in_pos_ = 0, in_end_ = 0;

    // Wire bytes not yet written; an STDOUT record being filled starts at open_at_.
    std::string pending_;
    std::size_t open_at_ = std::string::npos;

    bool broken_ = false;
    // A refused request or a finished one did not keep the connection.
    bool closing_ = false;
    bool active_ = false;
    std::uint16_t id_ = 0;
    bool keep_conn_ = false;
    bool params_done_ = false;
    bool stdin_done_ = false;
    bool aborted_ = false;
    std::size_t stdin_left_ = 0;
    std::size_t stdin_padding_ = 0;
    std::vector<std::uint8_t> params_raw_;
    pair_list params_;
};

}  // namespace bv_cgi::fcgi

#endif
