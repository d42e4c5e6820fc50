// Fuzzes the FastCGI record layer as a web server would drive it: the input (after its first
// byte, which sets how many bytes each read returns) is the connection's byte stream. Each
// request's parameters are looked up, its body read in pieces and echoed as the answer; whatever
// the layer writes must be whole, well-framed records with STDOUT only for the request served.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cgi/cgi_fastcgi_records.h"

namespace {

namespace fcgi = bv_cgi::fcgi;

struct Feed {
    const std::uint8_t *data;
    std::size_t size, at = 0, piece;
    std::string out;
};

void check_framing(const std::string &wire) {
    std::size_t at = 0;
    int ends = 0;
    while (at < wire.size()) {
        if (wire.size() - at < fcgi::kHeaderSize) std::abort();
        const auto *h = reinterpret_cast<const std::uint8_t *>(wire.data() + at);
        const std::size_t len = std::size_t{h[4]} << 8 | h[5];
        if (h[0] != fcgi::kVersion || (len + h[6]) % 8 != 0) std::abort();
        if (h[1] == fcgi::end_request && len != 8) std::abort();
        if (h[1] == fcgi::stdout_stream && len == 0) ++ends;
        if (h[1] != fcgi::stdout_stream && h[1] != fcgi::end_request && h[1] != fcgi::get_values_result &&
            h[1] != fcgi::unknown_type)
            std::abort();
        at += fcgi::kHeaderSize + len + h[6];
    }
    if (at != wire.size() || ends > 1) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    Feed feed{data + 1, size - 1, 0, std::size_t{data[0]} % 64 + 1, {}};
    fcgi::byte_stream stream;
    stream.context = &feed;
    stream.read = [](void *c, void *buf, std::size_t cap) -> std::ptrdiff_t {
        auto *f = static_cast<Feed *>(c);
        std::size_t n = cap < f->piece ? cap : f->piece;
        if (n > f->size - f->at) n = f->size - f->at;
        for (std::size_t i = 0; i < n; ++i) static_cast<std::uint8_t *>(buf)[i] = f->data[f->at + i];
        f->at += n;
        return static_cast<std::ptrdiff_t>(n);
    };
    stream.write = [](void *c, const void *bytes, std::size_t len) {
        static_cast<Feed *>(c)->out.append(static_cast<const char *>(bytes), len);
        return true;
    };

    fcgi::limits lim;
    lim.max_params_bytes = 8192;
    lim.max_params = 64;
    fcgi::session s(stream, lim);
    for (int served = 0; served < 16 && s.next_request(); ++served) {
        feed.out.clear();
        const std::uint16_t id = s.request_id();
        if (id == 0) std::abort();
        // Every name finds the value of its first pair.
        std::size_t params_bytes = 0;
        const auto &list = s.params_list();
        for (std::size_t i = 0; i < list.size(); ++i) {
            params_bytes += list[i].first.size() + list[i].second.size();
            if (list[i].first.find('\0') != std::string::npos) continue;
            std::size_t first = 0;
            while (list[first].first != list[i].first) ++first;
            const char *got = s.param(list[i].first.c_str());
            if (!got || got != list[first].second.c_str()) std::abort();
        }
        if (params_bytes > lim.max_params_bytes || s.params_list().size() > lim.max_params) std::abort();
        char buf[97];
        for (std::size_t n; (n = s.read(buf, sizeof buf)) > 0;)
            if (!s.write(buf, n) && !s.aborted() && !s.broken()) std::abort();
        const bool kept = s.finish(7);
        check_framing(feed.out);
        if (kept && s.broken()) std::abort();
        if (!kept) break;
    }
    return 0;
}
