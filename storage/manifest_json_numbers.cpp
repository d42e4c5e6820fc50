// The number forms a manifest body may hold: whether a JSON number is finite as a double, and
// the value of one written as a plain 64-bit integer, both read from its decimal text alone.
#include <cstddef>
#include <cstdint>

#include "storage/manifest_json.h"

namespace reg_internal {

namespace {

// 2^1024 - 2^970, all 309 digits: the smallest magnitude that rounds to infinity rather than
// to the largest double (the tie rounds up, since that double's last mantissa bit is odd).
constexpr char kOverflowDigits[] =
    "1797693134862315807937289714053034150799341327100378269361737789804449682927647509466490"
    "1797758720709633028641669288791094655554785194040263065748867150582068190890200070838367"
    "6273854845817711531764475730270069855571366959622842914819860834936475292719074168444365"
    "510704342711559699508093042880177904174497792";
constexpr int64_t kOverflowExponent = sizeof kOverflowDigits - 1;  // 0.1797...e309

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

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

integer_form integer_of(const char *s, size_t len, int64_t *out_i, uint64_t *out_u) {
    const char *end = s + len;
    const bool negative = s < end && *s == '-';
    if (negative) ++s;
    if (s == end) return integer_form::none;
    uint64_t value = 0;
    for (; s < end; ++s) {
        if (!is_digit(*s)) return integer_form::none;
        const uint64_t digit = static_cast<uint64_t>(*s - '0');
        if (value > (UINT64_MAX - digit) / 10) return integer_form::none;
        value = value * 10 + digit;
    }
    if (!negative) {
        if (value <= static_cast<uint64_t>(INT64_MAX)) {
            *out_i = static_cast<int64_t>(value);
            return integer_form::int64;
        }
        *out_u = value;
        return integer_form::uint64;
    }
    if (value > static_cast<uint64_t>(INT64_MAX) + 1) return integer_form::none;
    *out_i = value == static_cast<uint64_t>(INT64_MAX) + 1 ? INT64_MIN
                                                           : -static_cast<int64_t>(value);
    return integer_form::int64;
}

}  // namespace reg_internal
