// The formatter behind clsTessel::sprintf: "\" escapes and "%" directives (c s x X d i f with
// width and precision), numbers written the same in every locale.
#include "NumberText.h"
#include "TagText.h"
#include <tessel/clsTessel.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace tessel {

using namespace detail;

namespace {

void AppendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// First character (UTF-8 sequence) of s.
std::string FirstChar(const std::string& s) {
    if (s.empty()) return s;
    const unsigned char c = static_cast<unsigned char>(s[0]);
    size_t n = 1;
    if (c >= 0xF0)
        n = 4;
    else if (c >= 0xE0)
        n = 3;
    else if (c >= 0xC0)
        n = 2;
    size_t k = 1;
    while (k < n && k < s.size() && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80)
        ++k;
    return s.substr(0, k);
}

// Rounds half away from zero to `decimals` places and writes the number with at least
// `intDigits` integer digits and exactly `decimals` decimals.
bool FixedNumber(double v, int intDigits, int decimals, std::string& out) {
    if (!std::isfinite(v)) return false;
    // Shortest decimal form first, then rounding on the decimal digits, so that 2.675
    // gives 2.68 as a person reading the number expects.
    char buf[800];
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    if (res.ec != std::errc()) return false;
    std::string s(buf, res.ptr);
    bool neg = false;
    if (!s.empty() && s[0] == '-') {
        neg = true;
        s.erase(0, 1);
    }
    const size_t dot = s.find('.');
    std::string ip = dot == npos ? s : s.substr(0, dot);
    std::string fp = dot == npos ? std::string() : s.substr(dot + 1);
    const size_t want = static_cast<size_t>(decimals);
    if (fp.size() > want) {
        const bool up = fp[want] >= '5';
        fp.resize(want);
        if (up) {
            std::string digits = ip + fp;
            size_t i = digits.size();
            while (i > 0) {
                --i;
                if (digits[i] == '9') {
                    digits[i] = '0';
                } else {
                    ++digits[i];
                    break;
                }
                if (i == 0) digits.insert(digits.begin(), '1');
            }
            ip = digits.substr(0, digits.size() - want);
            fp = digits.substr(digits.size() - want);
        }
    }
    fp.append(want - std::min(want, fp.size()), '0');
    if (ip == "0" && intDigits == 0) ip.clear();
    while (static_cast<int>(ip.size()) < intDigits)
        ip.insert(ip.begin(), '0');
    // "-0" and "-0.00" read as plain zero.
    bool allZero = true;
    for (char c : ip + fp)
        if (c != '0') allZero = false;
    out = (neg && !allZero ? "-" : "") + ip + (fp.empty() ? "" : "." + fp);
    return true;
}

bool HexText(double v, bool upper, int width, std::string& out) {
    if (!std::isfinite(v)) return false;
    const double r = std::nearbyint(v); // banker's rounding, as the 32-bit conversion does
    if (r < -2147483648.0 || r > 4294967295.0) return false;
    const std::uint32_t u = r < 0 ? static_cast<std::uint32_t>(static_cast<std::int32_t>(r))
                                  : static_cast<std::uint32_t>(r);
    char buf[16];
    std::snprintf(buf, sizeof buf, upper ? "%X" : "%x", u);
    std::string s(buf);
    if (width >= 1) {
        if (static_cast<int>(s.size()) < width)
            s.insert(0, static_cast<size_t>(width) - s.size(), '0');
        else
            s = s.substr(s.size() - static_cast<size_t>(width));
    }
    out = s;
    return true;
}

// The escape that starts at text[d] ("\\"): appends what it stands for and returns the
// position after it; npos on a fault (a character code above 255).
size_t Escape(const std::string& text, size_t d, std::string& built) {
    const size_t c = d + 1;
    if (c >= text.size()) {
        built += '\\';
        return c;
    }
    const char e = text[c];
    if (std::isdigit(static_cast<unsigned char>(e))) {
        unsigned code = 0;
        size_t k = c;
        while (k < text.size() && k < c + 3 && std::isdigit(static_cast<unsigned char>(text[k])))
            code = code * 10 + static_cast<unsigned>(text[k++] - '0');
        if (code > 255) return npos; // no such character
        AppendUtf8(built, code);
        return k;
    }
    switch (e) {
    case '\\':
        built += '\\';
        break;
    case 'b':
        built += '\b';
        break;
    case 'f':
        built += '\n';
        break;
    case 'n':
    case 'N':
        built += "\r\n";
        break;
    case 'r':
        built += '\r';
        break;
    case 't':
        built += '\t';
        break;
    default:
        built += '\\';
        built += e;
        break;
    }
    return c + 1;
}

// The directive that starts at text[d] ("%"), taking params[next] when it formats one:
// appends its text and returns the position after it; npos on a fault (the parameter cannot
// be formatted so).
size_t Directive(const std::string& text, size_t d, const std::vector<Variant>& params,
                 size_t& next, std::string& built) {
    // %[width][.precision]letter
    size_t k = d + 1;
    if (k >= text.size()) {
        built += '%';
        return k;
    }
    if (text[k] == '%') {
        built += '%';
        return k + 1;
    }
    if (text[k] == '.') { // "%." is no directive
        built += '%';
        return k;
    }
    std::string widthDigits;
    while (k < text.size() && std::isdigit(static_cast<unsigned char>(text[k])))
        widthDigits += text[k++];
    std::string precDigits;
    if (k < text.size() && text[k] == '.') {
        ++k;
        while (k < text.size() &&
               (std::isdigit(static_cast<unsigned char>(text[k])) || text[k] == '.')) {
            if (text[k] != '.') precDigits += text[k];
            ++k;
        }
    }
    if (k >= text.size() || !std::isalpha(static_cast<unsigned char>(text[k]))) {
        // No letter: the "%" and its digits are plain text.
        built.append(text, d, k - d);
        return k;
    }
    const char letter = text[k];
    const char lower = Lower(letter);
    const size_t pos = k + 1;
    if (lower != 'c' && lower != 's' && lower != 'x' && lower != 'd' && lower != 'i' &&
        lower != 'f') {
        built.append(text, d, pos - d);
        return pos;
    }
    if (next >= params.size()) {
        built.append(text, d, pos - d);
        return pos;
    }
    const Variant& p = params[next++];
    // Widths beyond any sensible field are clamped so that a hostile text cannot ask
    // for gigabytes of zeros.
    auto digitsValue = [](const std::string& ds) {
        long v = 0;
        for (char ch : ds) {
            v = v * 10 + (ch - '0');
            if (v > 255) return 255L;
        }
        return v;
    };
    const int width = static_cast<int>(digitsValue(widthDigits));
    const int prec = static_cast<int>(digitsValue(precDigits));
    if (lower == 'c') {
        if (p.isObject()) return npos;
        built += FirstChar(p.toText());
    } else if (lower == 's') {
        if (p.isObject()) return npos;
        built += p.toText();
    } else {
        double v = 0;
        if (!p.toNumber(v)) return npos;
        std::string s;
        if (lower == 'x') {
            if (!HexText(v, letter == 'X', widthDigits.empty() ? 0 : width, s)) return npos;
        } else if (widthDigits.empty() || (width == 0 && prec == 0)) {
            if (!std::isfinite(v)) return npos;
            s = p.kind() == Variant::Kind::Integer ? p.toText() : detail::GeneralNumber(v);
        } else {
            if (!FixedNumber(v, width, prec, s)) return npos;
        }
        built += s;
    }
    return pos;
}

std::string Format(const std::string& text, const std::vector<Variant>& params,
                   std::string& built) {
    size_t pos = 0;
    size_t next = 0; // next parameter
    while (pos < text.size()) {
        const size_t bs = text.find('\\', pos);
        const size_t pc = text.find('%', pos);
        const size_t d = std::min(bs, pc);
        if (d == npos) {
            built.append(text, pos, npos);
            break;
        }
        built.append(text, pos, d - pos);
        pos = d == bs ? Escape(text, d, built) : Directive(text, d, params, next, built);
        if (pos == npos) return built;
    }
    return built;
}

} // namespace

std::string clsTessel::sprintf(const std::string& szText, const std::vector<Variant>& Params) {
    std::string built;
    try {
        return Format(szText, Params, built);
    } catch (...) {
        return built;
    }
}

} // namespace tessel
