// The FastCGI responder over a byte stream: records read through a fixed buffer (the body goes
// straight to the handler's buffer, never gathered), answers queued as records and written in
// whole records, one request at a time on the connection.
#include "cgi/cgi_fastcgi_records.h"

#include <algorithm>
#include <cstring>

namespace bv_cgi::fcgi {
namespace {

constexpr std::size_t kInBuffer = 16384;
// A multiple of 8 below the 16-bit limit, so full STDOUT records need no padding.
constexpr std::size_t kStdoutChunk = 65528;
// Parameters buffers larger than this are given back after the request, so one large request
// does not keep its memory for the life of the process.
constexpr std::size_t kKeepCapacity = 65536;

constexpr std::uint8_t padding_for(std::size_t len) { return static_cast<std::uint8_t>((8 - len % 8) % 8); }

// One length of a name-value pair at data[at]; false when it runs past `len`.
bool decode_length(const std::uint8_t *data, std::size_t len, std::size_t &at, std::size_t &out) {
    if (at >= len) return false;
    if (data[at] < 0x80) {
        out = data[at];
        at += 1;
        return true;
    }
    if (len - at < 4) return false;
    out = (static_cast<std::size_t>(data[at] & 0x7f) << 24) | (static_cast<std::size_t>(data[at + 1]) << 16) |
          (static_cast<std::size_t>(data[at + 2]) << 8) | static_cast<std::size_t>(data[at + 3]);
    at += 4;
    return true;
}

void encode_length(std::string &out, std::size_t len) {
    if (len < 0x80) {
        out.push_back(static_cast<char>(len));
        return;
    }
    out.push_back(static_cast<char>(0x80 | ((len >> 24) & 0x7f)));
    out.push_back(static_cast<char>((len >> 16) & 0xff));
    out.push_back(static_cast<char>((len >> 8) & 0xff));
    out.push_back(static_cast<char>(len & 0xff));
}

}  // namespace

bool decode_pairs(const std::uint8_t *data, std::size_t len, const limits &lim, pair_list &out) {
    if (len > lim.max_params_bytes) return false;
    std::size_t at = 0;
    while (at < len) {
        std::size_t name_len = 0, value_len = 0;
        if (!decode_length(data, len, at, name_len) || !decode_length(data, len, at, value_len)) return false;
        // Compared one at a time, so no sum of two hostile lengths can wrap.
        if (name_len > len - at || value_len > len - at - name_len) return false;
        if (out.size() >= lim.max_params) return false;
        const char *name = reinterpret_cast<const char *>(data + at);
        out.emplace_back(std::string(name, name_len), std::string(name + name_len, value_len));
        at += name_len + value_len;
    }
    return true;
}

void encode_pair(std::string &out, const std::string &name, const std::string &value) {
    encode_length(out, name.size());
    encode_length(out, value.size());
    out += name;
    out += value;
}

void encode_header(std::string &out, std::uint8_t type, std::uint16_t id, std::uint16_t content_len,
                   std::uint8_t padding) {
    const char h[kHeaderSize] = {static_cast<char>(kVersion),
                                 static_cast<char>(type),
                                 static_cast<char>(id >> 8),
                                 static_cast<char>(id & 0xff),
                                 static_cast<char>(content_len >> 8),
                                 static_cast<char>(content_len & 0xff),
                                 static_cast<char>(padding),
                                 0};
    out.append(h, kHeaderSize);
}

session::session(byte_stream stream, limits lim) : stream_(stream), limits_(lim), in_(kInBuffer) {
    pending_.reserve(kStdoutChunk + 64);
}

// ---- Input -------------------------------------------------------------------------------------

bool session::fill() {
    if (broken_) return false;
    in_pos_ = in_end_ = 0;
    const std::ptrdiff_t n = stream_.read(stream_.context, in_.data(), in_.size());
    if (n <= 0) return fail();  // the web server closed the connection, or it failed
    in_end_ = static_cast<std::size_t>(n);
    return true;
}

bool session::read_exact(void *buf, std::size_t len) {
    auto *out = static_cast<std::uint8_t *>(buf);
    while (len > 0) {
        if (in_pos_ == in_end_ && !fill()) return false;
        const std::size_t n = std::min(len, in_end_ - in_pos_);
        std::memcpy(out, in_.data() + in_pos_, n);
        in_pos_ += n;
        out += n;
        len -= n;
    }
    return true;
}

bool session::skip(std::size_t len) {
    while (len > 0) {
        if (in_pos_ == in_end_ && !fill()) return false;
        const std::size_t n = std::min(len, in_end_ - in_pos_);
        in_pos_ += n;
        len -= n;
    }
    return true;
}

// Some body bytes: what the buffer holds, else a read straight into the handler's buffer when
// it is large, so a big body is never copied twice. 0 only on failure.
std::size_t session::read_some(void *buf, std::size_t len) {
    if (in_pos_ == in_end_) {
        if (len >= in_.size()) {
            if (broken_) return 0;
            const std::ptrdiff_t n = stream_.read(stream_.context, buf, len);
            if (n <= 0) {
                fail();
                return 0;
            }
            return static_cast<std::size_t>(n);
        }
        if (!fill()) return 0;
    }
    const std::size_t n = std::min(len, in_end_ - in_pos_);
    std::memcpy(buf, in_.data() + in_pos_, n);
    in_pos_ += n;
    return n;
}

bool session::read_header(header &h) {
    std::uint8_t raw[kHeaderSize];
    if (!read_exact(raw, sizeof raw)) return false;
    h.version = raw[0];
    h.type = raw[1];
    h.id = static_cast<std::uint16_t>(raw[2] << 8 | raw[3]);
    h.content_len = static_cast<std::uint16_t>(raw[4] << 8 | raw[5]);
    h.padding = raw[6];
    // Another version means the framing itself cannot be trusted.
    if (h.version != kVersion) return fail();
    return true;
}

// ---- Records -----------------------------------------------------------------------------------

bool session::handle_record(const header &h) {
    const std::size_t whole = std::size_t{h.content_len} + h.padding;
    if (h.id == 0) {
        if (h.type == get_values) return answer_values(h);
        if (!skip(whole)) return false;
        close_stdout_record();
        encode_header(pending_, unknown_type, 0, 8, 0);
        pending_.push_back(static_cast<char>(h.type));
        pending_.append(7, '\0');
        return send_pending();
    }
    switch (h.type) {
    case begin_request:
        return begin(h);
    case abort_request:
        if (!skip(whole)) return false;
        if (active_ && h.id == id_) {
            aborted_ = true;
            stdin_done_ = true;
        }
        return true;
    case params: {
        if (!active_ || h.id != id_ || params_done_) return skip(whole);
        if (h.content_len == 0) {
            params_done_ = true;
            if (!skip(h.padding)) return false;
            if (!decode_pairs(params_raw_.data(), params_raw_.size(), limits_, params_)) return fail();
            return true;
        }
        if (h.content_len > limits_.max_params_bytes - std::min(limits_.max_params_bytes, params_raw_.size()))
            return fail();
        const std::size_t old = params_raw_.size();
        params_raw_.resize(old + h.content_len);
        return read_exact(params_raw_.data() + old, h.content_len) && skip(h.padding);
    }
    case stdin_stream:
        // The body of the request being served is read by read(); one before its parameters
        // are complete breaks the order every web server keeps.
        if (active_ && h.id == id_) return fail();
        return skip(whole);
    case data_stream:
    case get_values:  // a management request on an application's id: not one
        return skip(whole);
    default:
        if (!skip(whole)) return false;
        close_stdout_record();
        encode_header(pending_, unknown_type, 0, 8, 0);
        pending_.push_back(static_cast<char>(h.type));
        pending_.append(7, '\0');
        return send_pending();
    }
}

bool session::begin(const header &h) {
    if (h.content_len != 8) return fail();
    std::uint8_t body[8];
    if (!read_exact(body, sizeof body) || !skip(h.padding)) return false;
    const auto role = static_cast<std::uint16_t>(body[0] << 8 | body[1]);
    const bool keep = (body[2] & kKeepConn) != 0;
    if (active_) {
        // One request at a time; the same id again while it runs cannot be told apart from it.
        if (h.id == id_) return fail();
        queue_end(h.id, 0, cant_mpx_conn);
        return send_pending();
    }
    if (role != kResponder) {
        queue_end(h.id, 0, unknown_role);
        if (!send_pending()) return false;
        if (!keep) closing_ = true;
        return true;
    }
    reset_request();
    active_ = true;
    id_ = h.id;
    keep_conn_ = keep;
    return true;
}

bool session::answer_values(const header &h) {
    std::vector<std::uint8_t> content(h.content_len);
    if (!read_exact(content.data(), content.size()) || !skip(h.padding)) return false;
    pair_list asked;
    limits lim;
    lim.max_params = 64;
    // Names after a malformed pair are not answered; those before it are.
    decode_pairs(content.data(), content.size(), lim, asked);
    static const std::pair<const char *, const char *> known[] = {
        {"FCGI_MAX_CONNS", "1"}, {"FCGI_MAX_REQS", "1"}, {"FCGI_MPXS_CONNS", "0"}};
    std::string body;
    for (const auto &entry : known) {
        const bool wanted =
            std::any_of(asked.begin(), asked.end(), [&](const auto &p) { return p.first == entry.first; });
        if (wanted) encode_pair(body, entry.first, entry.second);
    }
    close_stdout_record();
    const std::uint8_t pad = padding_for(body.size());
    encode_header(pending_, get_values_result, 0, static_cast<std::uint16_t>(body.size()), pad);
    pending_ += body;
    pending_.append(pad, '\0');
    return send_pending();
}

// ---- Output ------------------------------------------------------------------------------------

void session::queue_end(std::uint16_t id, std::uint32_t app_status, std::uint8_t status) {
    close_stdout_record();
    encode_header(pending_, end_request, id, 8, 0);
    const char body[8] = {static_cast<char>(app_status >> 24), static_cast<char>((app_status >> 16) & 0xff),
                          static_cast<char>((app_status >> 8) & 0xff), static_cast<char>(app_status & 0xff),
                          static_cast<char>(status), 0, 0, 0};
    pending_.append(body, sizeof body);
}

// Gives the STDOUT record being filled its header and padding. An empty one is dropped: on the
// wire it would end the answer.
void session::close_stdout_record() {
    if (open_at_ == std::string::npos) return;
    const std::size_t content = pending_.size() - open_at_ - kHeaderSize;
    if (content == 0) {
        pending_.resize(open_at_);
    } else {
        std::string h;
        const std::uint8_t pad = padding_for(content);
        encode_header(h, stdout_stream, id_, static_cast<std::uint16_t>(content), pad);
        pending_.replace(open_at_, kHeaderSize, h);
        pending_.append(pad, '\0');
    }
    open_at_ = std::string::npos;
}

bool session::send_pending() {
    if (broken_) return false;
    if (pending_.empty()) return true;
    if (!stream_.write(stream_.context, pending_.data(), pending_.size())) return fail();
    pending_.clear();
    return true;
}

bool session::fail() {
    broken_ = true;
    pending_.clear();
    open_at_ = std::string::npos;
    return false;
}

void session::reset_request() {
    active_ = params_done_ = stdin_done_ = aborted_ = keep_conn_ = false;
    id_ = 0;
    stdin_left_ = stdin_padding_ = 0;
    params_.clear();
    params_raw_.clear();
    if (params_raw_.capacity() > kKeepCapacity) std::vector<std::uint8_t>().swap(params_raw_);
    if (params_.capacity() > 256) pair_list().swap(params_);
}

// ---- The request -------------------------------------------------------------------------------

bool session::next_request() {
    reset_request();
    while (!broken_ && !closing_) {
        header h;
        if (!read_header(h) || !handle_record(h)) return false;
        if (active_ && aborted_) {
            // Aborted before its parameters were complete: it is over before it began.
            queue_end(id_, 0, request_complete);
            const bool keep = keep_conn_;
            reset_request();
            if (!send_pending()) return false;
            if (!keep) closing_ = true;
            continue;
        }
        if (active_ && params_done_) return true;
    }
    return false;
}

const char *session::param(const char *name) {
    if (!name) return nullptr;
    for (const auto &[key, value] : params_)
        if (key == name) return value.c_str();
    return nullptr;
}

std::size_t session::read(void *buf, std::size_t cap) {
    if (!active_ || !params_done_ || !buf) return 0;
    auto *out = static_cast<std::uint8_t *>(buf);
    std::size_t got = 0;
    while (got < cap && !stdin_done_ && !broken_) {
        if (stdin_left_ > 0) {
            const std::size_t n = read_some(out + got, std::min(cap - got, stdin_left_));
            if (n == 0) break;
            got += n;
            stdin_left_ -= n;
            if (stdin_left_ == 0) {
                if (!skip(stdin_padding_)) break;
                stdin_padding_ = 0;
            }
            continue;
        }
        header h;
        if (!read_header(h)) break;
        if (h.type == stdin_stream && h.id == id_) {
            if (h.content_len == 0) {
                stdin_done_ = true;
                skip(h.padding);
                break;
            }
            stdin_left_ = h.content_len;
            stdin_padding_ = h.padding;
            continue;
        }
        if (!handle_record(h)) break;
    }
    return got;
}

bool session::write(const void *data, std::size_t len) {
    if (broken_ || aborted_ || !active_) return false;
    const char *bytes = static_cast<const char *>(data);
    while (len > 0) {
        if (open_at_ == std::string::npos) {
            open_at_ = pending_.size();
            pending_.append(kHeaderSize, '\0');
        }
        const std::size_t filled = pending_.size() - open_at_ - kHeaderSize;
        const std::size_t take = std::min(len, kStdoutChunk - filled);
        pending_.append(bytes, take);
        bytes += take;
        len -= take;
        if (filled + take == kStdoutChunk) {
            close_stdout_record();
            if (!send_pending()) return false;
        }
    }
    return true;
}

bool session::flush() {
    if (broken_) return false;
    close_stdout_record();
    return send_pending() && !aborted_;
}

bool session::finish(std::uint32_t app_status) {
    if (!active_) return !broken_ && !closing_;
    if (!broken_) {
        close_stdout_record();
        encode_header(pending_, stdout_stream, id_, 0, 0);  // the end of the answer
        queue_end(id_, app_status, request_complete);
        send_pending();
    }
    bool keep = keep_conn_ && !broken_;
    // What the handler left unread of the current STDIN record; the rest of the body comes as
    // records of a request no longer served, which next_request passes over.
    if (keep && stdin_left_ + stdin_padding_ > 0) keep = skip(stdin_left_ + stdin_padding_);
    reset_request();
    if (!keep) closing_ = true;
    return keep;
}

}  // namespace bv_cgi::fcgi
