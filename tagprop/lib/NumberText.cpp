#include "NumberText.h"

#include <cctype>
#include <charconv>
#include <cmath>

namespace tessel::detail {

std::string GeneralNumber(double d) {
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d < 0 ? "-Inf" : "Inf";
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 15);
    std::string s(buf, res.ptr);
    for (char& c : s)
        if (c == 'e') c = 'E';
    return s;
}

namespace {

// Length of the longest prefix of s[pos..] that reads as [sign]digits[.digits][e[sign]digits]
// with at least one digit in the mantissa; 0 when there is none.
size_t NumberPrefix(const std::string& s, size_t pos) {
    size_t i = pos;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t digits = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
        ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        size_t j = i + 1;
        size_t frac = 0;
        while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j])))
            ++j, ++frac;
        if (digits + frac > 0) {
            i = j;
            digits += frac;
        }
    }
    if (digits == 0) return 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
        size_t exp = 0;
        while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j])))
            ++j, ++exp;
        if (exp > 0) i = j;
    }
    return i - pos;
}

double Convert(const std::string& s, size_t pos, size_t len) {
    // from_chars does not take a leading "+".
    if (len > 0 && s[pos] == '+') ++pos, --len;
    double v = 0;
    auto res = std::from_chars(s.data() + pos, s.data() + pos + len, v);
    if (res.ec == std::errc::result_out_of_range) {
        const bool neg = s[pos] == '-';
        // Overflow keeps its sign; underflow reads as 0.
        const std::string mant = s.substr(pos, len);
        const auto e = mant.find_first_of("eE");
        const bool bigExp = e != std::string::npos && mant.find('-', e) == std::string::npos;
        if (bigExp) return neg ? -HUGE_VAL : HUGE_VAL;
        return 0;
    }
    return v;
}

} // namespace

bool ParseWholeNumber(const std::string& text, double& out) {
    size_t b = text.find_first_not_of(' ');
    if (b == std::string::npos) return false;
    size_t e = text.find_last_not_of(' ');
    const std::string s = text.substr(b, e - b + 1);
    const size_t n = NumberPrefix(s, 0);
    if (n == 0 || n != s.size()) return false;
    out = Convert(s, 0, n);
    return true;
}

double LeadingNumber(const std::string& text) {
    std::string s;
    s.reserve(text.size());
    for (char c : text)
        if (c != ' ' && c != '\t') s += c;
    const size_t n = NumberPrefix(s, 0);
    if (n == 0) return 0;
    return Convert(s, 0, n);
}

} // namespace tessel::detail
