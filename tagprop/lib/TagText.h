// Text helpers shared by the tag parser, the formatter and the property paths: ASCII
// case-insensitive search, blank trimming and the split of item lists at ",".
#pragma once
#include <cctype>
#include <string>
#include <vector>

namespace tessel::detail {

inline constexpr size_t npos = std::string::npos;

inline char Lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// First case-insensitive (ASCII) occurrence of needle in hay at or after from.
inline size_t FindNoCase(const std::string& hay, const std::string& needle, size_t from) {
    if (needle.empty() || from > hay.size() || needle.size() > hay.size() - from) return npos;
    const size_t last = hay.size() - needle.size();
    for (size_t i = from; i <= last; ++i) {
        size_t k = 0;
        while (k < needle.size() && Lower(hay[i + k]) == Lower(needle[k]))
            ++k;
        if (k == needle.size()) return i;
    }
    return npos;
}

inline std::string LTrim(const std::string& s) {
    const size_t b = s.find_first_not_of(' ');
    return b == npos ? std::string() : s.substr(b);
}

inline std::string RTrim(const std::string& s) {
    const size_t e = s.find_last_not_of(' ');
    return e == npos ? std::string() : s.substr(0, e + 1);
}

inline std::string Trim(const std::string& s) {
    return LTrim(RTrim(s));
}

// Text from pos on (empty past the end).
inline std::string From(const std::string& s, size_t pos) {
    return pos >= s.size() ? std::string() : s.substr(pos);
}

// Splits at "," characters, outside parentheses when honourParens.
inline std::vector<std::string> SplitItems(const std::string& content, bool honourParens) {
    std::vector<std::string> pieces;
    std::string cur;
    int parens = 0;
    for (char c : content) {
        if (honourParens && c == '(') ++parens;
        if (honourParens && c == ')') --parens;
        if (c == ',' && parens == 0) {
            pieces.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    pieces.push_back(cur);
    return pieces;
}

} // namespace tessel::detail
