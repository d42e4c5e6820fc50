// The manifest body check on RapidJSON: a strict parse of exactly the given bytes and the
// test of "config.digest" and "layers". No other file of the engine includes the library.
#include "storage/manifest_json.h"

#include <cstdint>
#include <cstring>

#include <rapidjson/document.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include "storage/storage_internal.h"

namespace reg_internal {

namespace {

using rapidjson::SizeType;

// Validated UTF-8, no recursion however deep the nesting, and numbers kept as their text:
// none of the library's relaxations (comments, trailing commas, NaN) is switched on.
constexpr unsigned kParseFlags = rapidjson::kParseValidateEncodingFlag |
                                 rapidjson::kParseIterativeFlag |
                                 rapidjson::kParseNumbersAsStringsFlag;

// 2^1024 - 2^970, all 309 digits: the smallest magnitude that rounds to infinity rather than
// to the largest double (the tie rounds up, since that double's last mantissa bit is odd).
constexpr char kOverflowDigits[] =
    "1797693134862315807937289714053034150799341327100378269361737789804449682927647509466490"
    "1797758720709633028641669288791094655554785194040263065748867150582068190890200070838367"
    "6273854845817711531764475730270069855571366959622842914819860834936475292719074168444365"
    "510704342711559699508093042880177904174497792";
constexpr int64_t kOverflowExponent = sizeof kOverflowDigits - 1;  // 0.1797...e309

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether a JSON number (its form already checked by the parser) is finite as a double.
// Decided on the decimal digits alone, so no conversion and no locale is involved: the value
// is 0.d1d2d3... x 10^e with d1 the first non-zero digit, compared with the threshold above.
bool number_fits_double(const char *s, size_t len) {
    const char *end = s + len;
    if (s < end && *s == '-') ++s;
    const char *int_begin = s;
    while (s < end && is_digit(*s)) ++s;
    const char *int_end = s;
    const char *frac_begin = s;
    const char *frac_end = s;
    if (s < end && *s == '.') {
        frac_begin = ++s;
        while (s < end && is_digit(*s)) ++s;
        frac_end = s;
    }
    int64_t exp = 0;
    if (s < end && (*s == 'e' || *s == 'E')) {
        ++s;
        bool negative = false;
        if (s < end && (*s == '+' || *s == '-')) negative = *s++ == '-';
        // Saturates far beyond any exponent that matters, so no overflow whatever the length.
        while (s < end && is_digit(*s)) {
            if (exp < 1000000000) exp = exp * 10 + (*s - '0');
            ++s;
        }
        if (negative) exp = -exp;
    }

    // The significant digits as one sequence over both parts, skipping the leading zeros.
    const char *p = int_begin;
    int64_t point = int_end - int_begin;  // digits before the decimal point
    int64_t skipped = 0;
    auto next_digit = [&]() -> const char * {
        if (p == int_end) p = frac_begin;
        return p < frac_end ? p : nullptr;
    };
    const char *d = next_digit();
    while (d && *d == '0') {
        ++p;
        ++skipped;
        d = next_digit();
    }
    if (!d) return true;  // zero

    const int64_t e = point - skipped + exp;
    if (e != kOverflowExponent) return e < kOverflowExponent;
    for (const char *t = kOverflowDigits; *t; ++t) {
        d = next_digit();
        if (!d) return true;  // fewer digits, all equal so far: below the threshold
        if (*d != *t) return *d < *t;
        ++p;
    }
    return false;  // at or above the threshold
}

// Builds the document exactly as the library's own parse would, except that a number no
// double can hold stops the parse. Numbers arrive as text and become string values; no
// verdict depends on that, since no number is an object, an array or a digest string.
class checked_builder {
public:
    explicit checked_builder(rapidjson::Document &doc) : doc_(doc) {}

    bool Null() { return doc_.Null(); }
    bool Bool(bool b) { return doc_.Bool(b); }
    bool Int(int i) { return doc_.Int(i); }
    bool Uint(unsigned u) { return doc_.Uint(u); }
    bool Int64(int64_t i) { return doc_.Int64(i); }
    bool Uint64(uint64_t u) { return doc_.Uint64(u); }
    bool Double(double d) { return doc_.Double(d); }
    bool RawNumber(const char *s, SizeType len, bool copy) {
        return number_fits_double(s, len) && doc_.RawNumber(s, len, copy);
    }
    bool String(const char *s, SizeType len, bool copy) { return doc_.String(s, len, copy); }
    bool StartObject() { return doc_.StartObject(); }
    bool Key(const char *s, SizeType len, bool copy) { return doc_.Key(s, len, copy); }
    bool EndObject(SizeType members) { return doc_.EndObject(members); }
    bool StartArray() { return doc_.StartArray(); }
    bool EndArray(SizeType elements) { return doc_.EndArray(elements); }

private:
    rapidjson::Document &doc_;
};

// Feeds the body to the document. The plain memory stream takes the bytes as they are: it
// neither skips a byte-order mark nor needs a terminator.
struct body_parse {
    const char *data;
    size_t len;
    bool ok = false;

    bool operator()(rapidjson::Document &doc) {
        rapidjson::MemoryStream in(data, len);
        checked_builder builder(doc);
        rapidjson::Reader reader;
        ok = !reader.Parse<kParseFlags>(in, builder).IsError();
        return ok;
    }
};

// What the library would let through although it is no standard JSON of exactly these bytes:
// its streams report a NUL byte as the end of the input, and its encoding-aware parse skips
// a leading UTF-8 byte-order mark.
bool refused_before_parse(const unsigned char *body, size_t len) {
    if (len >= 3 && body[0] == 0xEF && body[1] == 0xBB && body[2] == 0xBF) return true;
    return std::memchr(body, 0, len) != nullptr;
}

// An object whose (first) "digest" is a string holding exactly a digest string. The length
// test keeps an escaped NUL from hiding whatever follows a valid-looking prefix.
bool has_valid_digest(const rapidjson::Value &v) {
    if (!v.IsObject()) return false;
    auto digest = v.FindMember("digest");
    if (digest == v.MemberEnd() || !digest->value.IsString()) return false;
    const char *text = digest->value.GetString();
    return std::strlen(text) == digest->value.GetStringLength() && digest_valid(text);
}

}  // namespace

manifest_verdict manifest_check(const void *body, size_t body_len, size_t *bad_layer) {
    const auto *bytes = static_cast<const unsigned char *>(body);
    if (refused_before_parse(bytes, body_len)) return manifest_verdict::parse_failed;

    rapidjson::Document doc;
    body_parse parse{reinterpret_cast<const char *>(bytes), body_len};
    doc.Populate(parse);
    if (!parse.ok) return manifest_verdict::parse_failed;
    const rapidjson::Value &root = doc;
    if (!root.IsObject()) return manifest_verdict::not_object;

    // FindMember answers with the first of repeated keys.
    auto config = root.FindMember("config");
    if (config == root.MemberEnd() || !has_valid_digest(config->value))
        return manifest_verdict::bad_config_digest;

    auto layers = root.FindMember("layers");
    if (layers == root.MemberEnd()) return manifest_verdict::ok;
    if (!layers->value.IsArray()) return manifest_verdict::layers_not_array;
    for (SizeType i = 0; i < layers->value.Size(); ++i) {
        if (!has_valid_digest(layers->value[i])) {
            if (bad_layer) *bad_layer = i;
            return manifest_verdict::bad_layer;
        }
    }
    return manifest_verdict::ok;
}

}  // namespace reg_internal
