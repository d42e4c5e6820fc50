// The FastCGI record layer (cgi/cgi_fastcgi_records.h) over an in-memory stream that hands out
// its bytes in pieces of a chosen size: parameters split anywhere, hostile and truncated
// lengths, management records, refused roles and multiplexing, the body read in bounded memory,
// aborts, STDOUT framing and kept connections.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "cgi/cgi_fastcgi_records.h"

namespace {

namespace fcgi = bv_cgi::fcgi;

// Bytes in, in pieces of at most `piece`; every byte written kept.
struct MemStream {
    std::string in;
    std::size_t at = 0, piece = 1 << 20;
    std::string out;
    bool refuse_writes = false;

    fcgi::byte_stream stream() {
        fcgi::byte_stream s;
        s.context = this;
        s.read = [](void *c, void *buf, std::size_t cap) -> std::ptrdiff_t {
            auto *m = static_cast<MemStream *>(c);
            const std::size_t n = std::min({cap, m->piece, m->in.size() - m->at});
            std::copy_n(m->in.data() + m->at, n, static_cast<char *>(buf));
            m->at += n;
            return static_cast<std::ptrdiff_t>(n);
        };
        s.write = [](void *c, const void *data, std::size_t len) {
            auto *m = static_cast<MemStream *>(c);
            if (m->refuse_writes) return false;
            m->out.append(static_cast<const char *>(data), len);
            return true;
        };
        return s;
    }
};

std::string record(std::uint8_t type, std::uint16_t id, const std::string &content, std::uint8_t padding = 0) {
    std::string r;
    fcgi::encode_header(r, type, id, static_cast<std::uint16_t>(content.size()), padding);
    return r + content + std::string(padding, '\x55');
}

std::string begin(std::uint16_t id, bool keep = false, std::uint16_t role = fcgi::kResponder) {
    return record(fcgi::begin_request, id,
                  std::string{static_cast<char>(role >> 8), static_cast<char>(role & 0xff),
                              static_cast<char>(keep ? 1 : 0), 0, 0, 0, 0, 0});
}

std::string pairs(const fcgi::pair_list &list) {
    std::string s;
    for (const auto &[n, v] : list) fcgi::encode_pair(s, n, v);
    return s;
}

// The stream of `type` records of `id` cut into records of `size` bytes, then its empty end.
std::string stream_of(std::uint8_t type, std::uint16_t id, const std::string &bytes, std::size_t size,
                      std::uint8_t padding = 0) {
    std::string s;
    for (std::size_t at = 0; at < bytes.size(); at += size) s += record(type, id, bytes.substr(at, size), padding);
    return s + record(type, id, "");
}

std::string request(std::uint16_t id, const fcgi::pair_list &params, const std::string &body = "",
                    bool keep = false) {
    return begin(id, keep) + stream_of(fcgi::params, id, pairs(params), 1000) +
           stream_of(fcgi::stdin_stream, id, body, 4096);
}

struct Record {
    std::uint8_t type;
    std::uint16_t id;
    std::string content;
};

// Parses what the layer wrote; fails the test on a framing fault (bad version, padding not to 8).
std::vector<Record> parse(const std::string &wire) {
    std::vector<Record> out;
    std::size_t at = 0;
    while (at + 8 <= wire.size()) {
        const auto *h = reinterpret_cast<const std::uint8_t *>(wire.data() + at);
        EXPECT_EQ(h[0], 1);
        const std::size_t len = h[4] << 8 | h[5];
        EXPECT_EQ((len + h[6]) % 8, 0u) << "records are padded to 8 bytes";
        out.push_back({h[1], static_cast<std::uint16_t>(h[2] << 8 | h[3]), wire.substr(at + 8, len)});
        at += 8 + len + h[6];
    }
    EXPECT_EQ(at, wire.size()) << "a truncated record was written";
    return out;
}

std::string end_body(std::uint32_t app, std::uint8_t status) {
    return std::string{static_cast<char>(app >> 24), static_cast<char>(app >> 16), static_cast<char>(app >> 8),
                       static_cast<char>(app), static_cast<char>(status), 0, 0, 0};
}

std::string read_all(fcgi::session &s, std::size_t cap) {
    std::string body;
    std::string buf(cap, '\0');
    for (std::size_t n; (n = s.read(buf.data(), cap)) > 0;) body.append(buf, 0, n);
    return body;
}

TEST(FastcgiPairs, DecodesAndRefusesHostileLengths) {
    const std::string long_name(200, 'N'), long_value(70000, 'v');
    struct Case {
        const char *label;
        std::string bytes;
        bool ok;
        std::size_t count;
    };
    const std::string good = pairs({{"A", "1"}, {long_name, long_value}, {"", ""}});
    const std::vector<Case> cases = {
        {"1- and 4-byte lengths, an empty pair", good, true, 3},
        {"nothing at all", "", true, 0},
        {"name length 2^31-1", std::string("\xff\xff\xff\xff\x01", 5) + "x", false, 0},
        {"value length past the end", std::string("\x01\x05", 2) + "ab", false, 0},
        {"4-byte length cut short", std::string("\x80\x00", 2), false, 0},
        {"value length missing", std::string("\x01", 1), false, 0},
        {"a 4-byte value length far past the end", std::string("\x01\xff\xff\xff\xff", 5) + "ab", false, 0},
        {"good pairs then a cut one", pairs({{"A", "1"}}) + std::string("\x05\x05", 2) + "abc", false, 1},
    };
    for (const auto &c : cases) {
        fcgi::pair_list out;
        EXPECT_EQ(fcgi::decode_pairs(reinterpret_cast<const std::uint8_t *>(c.bytes.data()), c.bytes.size(), {}, out),
                  c.ok)
            << c.label;
        EXPECT_EQ(out.size(), c.count) << c.label;
    }
    fcgi::pair_list out;
    fcgi::decode_pairs(reinterpret_cast<const std::uint8_t *>(good.data()), good.size(), {}, out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1].first, long_name);
    EXPECT_EQ(out[1].second, long_value);
}

// Parameters reach the handler whole however the stream and the records cut them.
TEST(FastcgiSession, ParametersSplitAnywhere) {
    const fcgi::pair_list params = {{"REQUEST_METHOD", "PUT"}, {"PATH_INFO", "/v2/a/b/manifests/x"},
                                    {"HTTP_X_LONG", std::string(300, 'q')}, {"EMPTY", ""}};
    const std::string encoded = pairs(params);
    for (std::size_t record_size : {1u, 3u, 7u, 128u, 5000u}) {
        for (std::size_t piece : {1u, 5u, 8192u}) {
            MemStream m;
            m.piece = piece;
            m.in = begin(1) + stream_of(fcgi::params, 1, encoded, record_size, 3) + stream_of(fcgi::stdin_stream, 1, "", 1);
            fcgi::session s(m.stream());
            ASSERT_TRUE(s.next_request()) << record_size << "/" << piece;
            for (const auto &[name, value] : params) {
                ASSERT_NE(s.param(name.c_str()), nullptr) << name;
                EXPECT_EQ(s.param(name.c_str()), value) << name << " in records of " << record_size;
            }
            EXPECT_EQ(s.param("PATH"), nullptr) << "a prefix of a name is not the name";
            EXPECT_EQ(s.param("NOT_SENT"), nullptr);
        }
    }
}

// A peer that breaks the framing or asks for absurd memory loses the connection, nothing else.
TEST(FastcgiSession, BrokenInputEndsTheConnection) {
    fcgi::limits small;
    small.max_params_bytes = 4096;
    small.max_params = 10;
    fcgi::pair_list many;
    for (int i = 0; i < 11; ++i) many.push_back({"N" + std::to_string(i), "v"});
    const std::string good = request(1, {{"A", "1"}});
    struct Case {
        const char *label;
        std::string in;
    };
    const std::vector<Case> cases = {
        {"empty stream", ""},
        {"header cut short", good.substr(0, 5)},
        {"begin body cut short", good.substr(0, 12)},
        {"parameters cut short", good.substr(0, 20)},
        {"version 2", std::string(1, '\x02') + good.substr(1)},
        {"begin body of 4 bytes", record(fcgi::begin_request, 1, std::string(4, '\0'))},
        {"hostile name length", begin(1) + record(fcgi::params, 1, std::string("\xff\xff\xff\xff\x00", 5)) +
                                    record(fcgi::params, 1, "")},
        {"parameters beyond the byte limit", begin(1) + stream_of(fcgi::params, 1, std::string(5000, 'x'), 1000)},
        {"too many parameters", begin(1) + stream_of(fcgi::params, 1, pairs(many), 1000)},
        {"body before the parameters end", begin(1) + record(fcgi::stdin_stream, 1, "abc")},
        {"the same id begun twice", begin(1) + begin(1)},
    };
    for (const auto &c : cases) {
        MemStream m;
        m.in = c.in;
        fcgi::session s(m.stream(), small);
        EXPECT_FALSE(s.next_request()) << c.label;
        EXPECT_FALSE(s.next_request()) << c.label << ": a dropped connection stays dropped";
    }
}

TEST(FastcgiSession, ManagementRecordsAndRefusals) {
    const std::string values = pairs({{"FCGI_MAX_CONNS", ""}, {"FCGI_MPXS_CONNS", ""}, {"OTHER", ""},
                                      {"FCGI_MAX_REQS", ""}, {"FCGI_MAX_CONNS", ""}});
    struct Case {
        const char *label;
        std::string in;
        bool serves;                // next_request finds a request to serve
        std::vector<Record> wrote;  // before that request
    };
    const std::string two = request(2, {{"A", "2"}});
    const std::vector<Case> cases = {
        {"values asked, each answered once",
         record(fcgi::get_values, 0, values, 5) + two,
         true,
         {{fcgi::get_values_result, 0, pairs({{"FCGI_MAX_CONNS", "1"}, {"FCGI_MAX_REQS", "1"}, {"FCGI_MPXS_CONNS", "0"}})}}},
        {"one value asked, only it answered",
         record(fcgi::get_values, 0, pairs({{"FCGI_MPXS_CONNS", ""}})) + two,
         true,
         {{fcgi::get_values_result, 0, pairs({{"FCGI_MPXS_CONNS", "0"}})}}},
        {"unknown management type", record(42, 0, "xyz") + two, true, {{fcgi::unknown_type, 0, std::string("\x2a\0\0\0\0\0\0\0", 8)}}},
        {"unknown type on a request", record(200, 7, "") + two, true, {{fcgi::unknown_type, 0, std::string("\xc8\0\0\0\0\0\0\0", 8)}}},
        {"authorizer kept", begin(1, true, 2) + two, true, {{fcgi::end_request, 1, end_body(0, fcgi::unknown_role)}}},
        {"filter not kept closes", begin(1, false, 3) + two, false, {{fcgi::end_request, 1, end_body(0, fcgi::unknown_role)}}},
        {"aborted before its parameters end, kept",
         begin(1, true) + record(fcgi::params, 1, pairs({{"A", "1"}})) + record(fcgi::abort_request, 1, "") + two,
         true,
         {{fcgi::end_request, 1, end_body(0, fcgi::request_complete)}}},
        {"records of other requests pass", record(fcgi::stdin_stream, 9, "stale", 3) + record(fcgi::params, 9, "zz") +
                                               record(fcgi::abort_request, 9, "") + record(fcgi::data_stream, 2, "d") + two,
         true, {}},
    };
    for (const auto &c : cases) {
        MemStream m;
        m.in = c.in;
        fcgi::session s(m.stream());
        EXPECT_EQ(s.next_request(), c.serves) << c.label;
        if (c.serves) {
            EXPECT_STREQ(s.param("A"), "2") << c.label;
        }
        const auto got = parse(m.out);
        ASSERT_EQ(got.size(), c.wrote.size()) << c.label;
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].type, c.wrote[i].type) << c.label;
            EXPECT_EQ(got[i].id, c.wrote[i].id) << c.label;
            EXPECT_EQ(got[i].content, c.wrote[i].content) << c.label;
        }
    }
}

// The body comes exactly, in whatever pieces, and the layer never reads far ahead of the handler.
TEST(FastcgiSession, BodyStreamsInBoundedMemory) {
    std::string body;
    for (unsigned i = 0; i < (1u << 18); ++i) body.push_back(static_cast<char>((i * 7919u) >> 3));
    for (std::size_t record_size : {1u, 999u, 65535u}) {
        for (std::size_t cap : {1u, 4096u, 100000u}) {
            if (record_size == 1 && cap == 1) continue;  // slow, and covered by the others
            MemStream m;
            m.piece = 3000;
            const std::string head = begin(1) + stream_of(fcgi::params, 1, pairs({{"CONTENT_LENGTH", "x"}}), 100);
            m.in = head + stream_of(fcgi::stdin_stream, 1, body, record_size, 5);
            // How many body bytes the first `at` bytes of the input hold.
            auto body_within = [&](std::size_t at) -> std::size_t {
                if (at <= head.size()) return 0;
                const std::size_t x = at - head.size(), whole = record_size + 13;
                return std::min(body.size(), x / whole * record_size + std::min(record_size, x % whole - std::min<std::size_t>(8, x % whole)));
            };
            fcgi::session s(m.stream());
            ASSERT_TRUE(s.next_request());
            std::string got;
            std::string buf(cap, '\0');
            std::size_t most_ahead = 0;
            for (std::size_t n; (n = s.read(buf.data(), cap)) > 0;) {
                EXPECT_TRUE(n == cap || got.size() + n == body.size()) << "short only at the end";
                got.append(buf, 0, n);
                most_ahead = std::max(most_ahead, body_within(m.at) - got.size());
            }
            EXPECT_TRUE(got == body) << record_size << "/" << cap << ": " << got.size() << " bytes";
            // Body bytes taken from the connection but not yet given to the handler: never more
            // than the input buffer holds.
            EXPECT_LE(most_ahead, 16384u) << record_size << "/" << cap;
            EXPECT_FALSE(s.aborted());
            EXPECT_FALSE(s.finish()) << "the request did not keep the connection";
        }
    }
}

TEST(FastcgiSession, AbortAndLostConnectionDuringTheBody) {
    const std::string head = begin(1) + stream_of(fcgi::params, 1, pairs({{"A", "1"}}), 100) +
                             record(fcgi::stdin_stream, 1, "first piece");
    {
        MemStream m;
        m.in = head + record(fcgi::abort_request, 1, "") + record(fcgi::stdin_stream, 1, "never read");
        fcgi::session s(m.stream());
        ASSERT_TRUE(s.next_request());
        EXPECT_EQ(read_all(s, 100), "first piece");
        EXPECT_TRUE(s.aborted());
        EXPECT_FALSE(s.write("late", 4)) << "the web server no longer wants the answer";
        EXPECT_FALSE(s.finish(0)) << "not kept";
        const auto got = parse(m.out);
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.back().type, fcgi::end_request) << "an abort is answered with the end of the request";
    }
    {
        MemStream m;
        m.in = head;  // the connection ends inside the body
        fcgi::session s(m.stream());
        ASSERT_TRUE(s.next_request());
        EXPECT_EQ(read_all(s, 100), "first piece");
        EXPECT_TRUE(s.broken());
        EXPECT_FALSE(s.write("x", 1));
        EXPECT_FALSE(s.finish(0));
        EXPECT_FALSE(s.next_request());
    }
}

// STDOUT comes in records of at most 65535 bytes, padded, the answer exact, then its empty end
// and FCGI_END_REQUEST; a second request in the middle of the first is refused, not mixed in.
TEST(FastcgiSession, AnswerFramingAndMultiplexRefused) {
    for (std::size_t size : {0u, 1u, 7u, 8u, 65528u, 65529u, 65535u, 200000u}) {
        std::string answer;
        for (std::size_t i = 0; i < size; ++i) answer.push_back(static_cast<char>(i % 251));
        MemStream m;
        m.in = begin(3) + stream_of(fcgi::params, 3, pairs({{"A", "1"}}), 100) + record(fcgi::stdin_stream, 3, "ab") +
               begin(4) + record(fcgi::stdin_stream, 3, "cd") + record(fcgi::stdin_stream, 3, "");
        fcgi::session s(m.stream());
        ASSERT_TRUE(s.next_request());
        const std::size_t half = size / 2;
        ASSERT_TRUE(s.write(answer.data(), half));
        EXPECT_EQ(read_all(s, 1), "abcd");
        ASSERT_TRUE(s.write(answer.data() + half, size - half));
        ASSERT_TRUE(s.flush());
        EXPECT_FALSE(s.finish(0xABCD)) << "not kept";

        std::string out;
        int ends = 0, refusals = 0;
        for (const auto &r : parse(m.out)) {
            if (r.type == fcgi::stdout_stream) {
                EXPECT_EQ(r.id, 3);
                EXPECT_EQ(ends, 0) << "STDOUT after its end";
                if (r.content.empty()) ++ends;
                EXPECT_LE(r.content.size(), 65535u);
                out += r.content;
            } else if (r.type == fcgi::end_request && r.id == 4) {
                EXPECT_EQ(r.content, end_body(0, fcgi::cant_mpx_conn));
                ++refusals;
            } else {
                EXPECT_EQ(r.type, fcgi::end_request);
                EXPECT_EQ(r.id, 3);
                EXPECT_EQ(r.content, end_body(0xABCD, fcgi::request_complete));
                EXPECT_EQ(ends, 1) << "the end of STDOUT comes before the end of the request";
            }
        }
        EXPECT_TRUE(out == answer) << size << ": " << out.size() << " bytes came";
        EXPECT_EQ(refusals, 1);
    }
}

// FCGI_KEEP_CONN: the next request on the same connection sees none of the last one, even when
// the handler left most of its body unread.
TEST(FastcgiSession, KeptConnectionServesTheNextRequest) {
    MemStream m;
    m.piece = 777;
    m.in = request(1, {{"A", "first"}, {"ONLY_FIRST", "x"}}, std::string(100000, 'b'), true) +
           request(1, {{"A", "second"}}, "tail", true) + request(2, {{"A", "third"}}, "", false) +
           request(3, {{"A", "after close"}});
    fcgi::session s(m.stream());
    ASSERT_TRUE(s.next_request());
    char two[2];
    EXPECT_EQ(s.read(two, 2), 2u);
    EXPECT_TRUE(s.write("one", 3));
    EXPECT_TRUE(s.finish());

    ASSERT_TRUE(s.next_request());
    EXPECT_STREQ(s.param("A"), "second");
    EXPECT_EQ(s.param("ONLY_FIRST"), nullptr);
    EXPECT_EQ(read_all(s, 3), "tail");
    EXPECT_TRUE(s.finish());

    ASSERT_TRUE(s.next_request());
    EXPECT_STREQ(s.param("A"), "third");
    EXPECT_FALSE(s.finish()) << "the third did not keep the connection";
    EXPECT_FALSE(s.next_request()) << "nothing is read after a request that closes";
}

TEST(FastcgiSession, FailedWriteEndsTheConnection) {
    MemStream m;
    m.in = request(1, {{"A", "1"}}, "", true) + request(2, {{"A", "2"}});
    fcgi::session s(m.stream());
    ASSERT_TRUE(s.next_request());
    m.refuse_writes = true;
    EXPECT_TRUE(s.write("small", 5)) << "queued";
    EXPECT_FALSE(s.flush());
    EXPECT_FALSE(s.write("more", 4));
    EXPECT_FALSE(s.finish());
    EXPECT_FALSE(s.next_request());
}

}  // namespace
