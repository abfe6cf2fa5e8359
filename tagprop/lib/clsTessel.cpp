// Tag strings, the formatter and property access by path. Positions are 0-based here.
#include "NumberText.h"
#include <tessel/clsTessel.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace tessel {

namespace {

constexpr size_t npos = std::string::npos;

char Lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// First case-insensitive (ASCII) occurrence of needle in hay at or after from.
size_t FindNoCase(const std::string& hay, const std::string& needle, size_t from) {
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

std::string LTrim(const std::string& s) {
    const size_t b = s.find_first_not_of(' ');
    return b == npos ? std::string() : s.substr(b);
}

std::string RTrim(const std::string& s) {
    const size_t e = s.find_last_not_of(' ');
    return e == npos ? std::string() : s.substr(0, e + 1);
}

std::string Trim(const std::string& s) {
    return LTrim(RTrim(s));
}

// Text from pos on (empty past the end).
std::string From(const std::string& s, size_t pos) {
    return pos >= s.size() ? std::string() : s.substr(pos);
}

struct GroupRange {
    size_t left = 0;        // first character of the group name
    size_t contentLeft = 0; // first character of the content
    size_t right = 0;       // closing "}" or ending blank (size() when the group runs to the end)
    bool isBracket = false;
};

struct ItemRange {
    GroupRange group;
    size_t left = 0;  // delimiter before the item (or the key itself at the start of the tag)
    size_t equal = 0; // the item's "="
    size_t right = 0; // character that ends the item ("," "{" "}"), else the group end
};

bool GetTagGroupRange(const std::string& tag, const std::string& name, GroupRange& out) {
    size_t occ = FindNoCase(tag, name, 0);
    while (occ != npos) {
        bool colonSeen = false;
        bool found = false;
        bool isBracket = false;
        int depth = 0;
        size_t contentLeft = npos;
        size_t right = npos;
        for (size_t i = occ + name.size(); i < tag.size() && !found; ++i) {
            const char c = tag[i];
            if (c == ' ') {
                if (colonSeen && depth == 0) {
                    found = true;
                    right = i;
                }
            } else if (c == ':') {
                contentLeft = i + 1;
                colonSeen = true;
            } else if (c == '{') {
                if (!colonSeen) continue;
                if (depth == 0) {
                    contentLeft = i + 1;
                    isBracket = true;
                }
                ++depth;
            } else if (c == '}') {
                if (!colonSeen) continue;
                --depth;
                if (depth == 0) {
                    found = true;
                    right = i;
                } else if (depth < 0) {
                    break; // a "}" that closes nothing: give this occurrence up
                }
            } else {
                if (colonSeen && depth > 0) continue;
                // A longer word that only begins with the name has no content: not this group.
                if (!colonSeen) break;
                found = true;
                const size_t blank = tag.find(' ', i + 1);
                right = blank == npos ? tag.size() : blank;
            }
        }
        if (found && contentLeft != npos && contentLeft <= right) {
            out.left = occ;
            out.contentLeft = contentLeft;
            out.right = right;
            out.isBracket = isBracket;
            return true;
        }
        occ = FindNoCase(tag, name, occ + name.size());
    }
    return false;
}

bool GetTagItemRange(const std::string& tag, const std::string& group, const std::string& item,
                     ItemRange& out) {
    GroupRange g;
    if (!GetTagGroupRange(tag, group, g)) return false;
    size_t occ = FindNoCase(tag, item, g.contentLeft);
    while (occ != npos && occ < g.right) {
        bool giveUp = false;
        size_t equal = npos;
        size_t right = g.right;
        int parens = 0;
        for (size_t i = occ + item.size(); i < g.right; ++i) {
            const char c = tag[i];
            if (c == ' ') {
                if (g.isBracket) continue;
                right = i;
                break;
            }
            if (c == '=') {
                if (equal != npos) {
                    giveUp = true;
                    break;
                }
                equal = i;
            } else if (c == '(') {
                ++parens;
            } else if (c == ')') {
                --parens;
            } else if (c == ',' && parens == 0) {
                right = i;
                break;
            } else if (c == '{' || c == '}') {
                right = i;
                break;
            } else if (equal == npos && parens == 0) {
                giveUp = true; // the key found is only the beginning of a longer key
                break;
            }
        }
        if (!giveUp && equal != npos && equal < right) {
            // The key must follow a delimiter (blanks between allowed).
            size_t left = occ;
            for (size_t j = occ; j-- > 1;) {
                const char c = tag[j];
                if (c == ' ') continue;
                if (c == ':' || c == ',' || c == '{' || c == '}')
                    left = j;
                else
                    giveUp = true;
                break;
            }
            if (!giveUp) {
                out.group = g;
                out.left = left;
                out.equal = equal;
                out.right = right;
                return true;
            }
        }
        occ = FindNoCase(tag, item, occ + item.size());
    }
    return false;
}

// Splits at "," characters, outside parentheses when honourParens.
std::vector<std::string> SplitItems(const std::string& content, bool honourParens) {
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

// ---- sprintf ----

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
        if (d == bs) {
            const size_t c = d + 1;
            if (c >= text.size()) {
                built += '\\';
                pos = c;
                continue;
            }
            const char e = text[c];
            if (std::isdigit(static_cast<unsigned char>(e))) {
                unsigned code = 0;
                size_t k = c;
                while (k < text.size() && k < c + 3 &&
                       std::isdigit(static_cast<unsigned char>(text[k])))
                    code = code * 10 + static_cast<unsigned>(text[k++] - '0');
                if (code > 255) return built; // no such character
                AppendUtf8(built, code);
                pos = k;
                continue;
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
            pos = c + 1;
            continue;
        }
        // Percent directive: %[width][.precision]letter
        size_t k = d + 1;
        if (k >= text.size()) {
            built += '%';
            pos = k;
            continue;
        }
        if (text[k] == '%') {
            built += '%';
            pos = k + 1;
            continue;
        }
        if (text[k] == '.') { // "%." is no directive
            built += '%';
            pos = k;
            continue;
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
            pos = k;
            continue;
        }
        const char letter = text[k];
        const char lower = Lower(letter);
        pos = k + 1;
        if (lower != 'c' && lower != 's' && lower != 'x' && lower != 'd' && lower != 'i' &&
            lower != 'f') {
            built.append(text, d, pos - d);
            continue;
        }
        if (next >= params.size()) {
            built.append(text, d, pos - d);
            continue;
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
            if (p.isObject()) return built;
            built += FirstChar(p.toText());
        } else if (lower == 's') {
            if (p.isObject()) return built;
            built += p.toText();
        } else {
            double v = 0;
            if (!p.toNumber(v)) return built;
            std::string s;
            if (lower == 'x') {
                if (!HexText(v, letter == 'X', widthDigits.empty() ? 0 : width, s)) return built;
            } else if (widthDigits.empty() || (width == 0 && prec == 0)) {
                if (!std::isfinite(v)) return built;
                s = p.kind() == Variant::Kind::Integer ? p.toText() : detail::GeneralNumber(v);
            } else {
                if (!FixedNumber(v, width, prec, s)) return built;
            }
            built += s;
        }
    }
    return built;
}

// One part of a path: a name and up to four indexes. False when the part has more.
bool ParsePart(const std::string& part, std::string& name, std::vector<int>& idx) {
    idx.clear();
    const size_t open = part.size() > 1 ? part.find('(', 1) : npos;
    if (open == npos) {
        name = part;
        return true;
    }
    name = part.substr(0, open);
    const size_t close = open + 2 <= part.size() ? part.find(')', open + 2) : npos;
    if (close != npos && close > open + 1) {
        const std::string inner = part.substr(open + 1, close - open - 1);
        const std::vector<std::string> texts = SplitItems(inner, false);
        if (texts.size() > 4) return false;
        for (const std::string& t : texts) {
            const double v = detail::LeadingNumber(t);
            if (!(v >= std::numeric_limits<int>::min() && v <= std::numeric_limits<int>::max()))
                return false;
            idx.push_back(static_cast<int>(std::lround(v)));
        }
    }
    return true;
}

// Trimmed path without one leading ".", split at ".".
std::vector<std::string> SplitPath(const std::string& szProp) {
    std::string p = Trim(szProp);
    if (!p.empty() && p[0] == '.') p.erase(0, 1);
    std::vector<std::string> parts;
    if (p.empty()) return parts;
    size_t b = 0;
    for (;;) {
        const size_t dot = p.find('.', b);
        parts.push_back(p.substr(b, dot == npos ? npos : dot - b));
        if (dot == npos) break;
        b = dot + 1;
    }
    return parts;
}

} // namespace

bool clsTessel::DeleteTagItems(std::string& szTag, const std::string& szGroupName) {
    try {
        GroupRange g;
        if (!GetTagGroupRange(szTag, szGroupName, g)) return true;
        const std::string after = Trim(From(szTag, g.right + 1));
        const std::string before = Trim(szTag.substr(0, g.left));
        if (g.left == 0)
            szTag = after;
        else if (g.right + 1 < szTag.size())
            szTag = before + " " + after;
        else
            szTag = before;
    } catch (...) {
    }
    return true;
}

bool clsTessel::SetTagItems(std::string& szTag, const std::string& szItemValues,
                            const std::string& szGroupName) {
    try {
        const std::string group = szGroupName + ":{" + szItemValues + "}";
        GroupRange g;
        if (!GetTagGroupRange(szTag, szGroupName, g)) {
            szTag = Trim(szTag) + " " + group;
            return true;
        }
        const std::string after = Trim(From(szTag, g.right + 1));
        if (g.left == 0)
            szTag = group + " " + after;
        else
            szTag =
                Trim(szTag.substr(0, g.left)) + " " + group + (after.empty() ? "" : " " + after);
    } catch (...) {
    }
    return true;
}

bool clsTessel::GetTagItems(const std::string& szTag, std::string& szItemValues,
                            const std::string& szGroupName) {
    try {
        GroupRange g;
        if (GetTagGroupRange(szTag, szGroupName, g)) {
            szItemValues = szTag.substr(g.contentLeft, g.right - g.contentLeft);
            return true;
        }
        szItemValues.clear();
    } catch (...) {
    }
    return false;
}

bool clsTessel::GetTagItem(const std::string& szTag, const std::string& szItemName,
                           std::string& szItemValue, const std::string& szGroupName) {
    try {
        ItemRange r;
        if (GetTagItemRange(szTag, szGroupName, szItemName, r)) {
            szItemValue = szTag.substr(r.equal + 1, r.right - r.equal - 1);
            return true;
        }
        szItemValue.clear();
    } catch (...) {
    }
    return false;
}

bool clsTessel::SetTagItem(std::string& szTag, const std::string& szItemName,
                           const std::string& szItemValue, const std::string& szGroupName) {
    try {
        const std::string item = szItemName + "=" + szItemValue;
        ItemRange r;
        if (GetTagItemRange(szTag, szGroupName, szItemName, r)) {
            szTag = LTrim(szTag.substr(0, r.equal + 1)) + szItemValue + RTrim(From(szTag, r.right));
            return true;
        }
        GroupRange g;
        if (GetTagGroupRange(szTag, szGroupName, g)) {
            const bool empty = g.contentLeft == g.right;
            const std::string sep = empty ? "" : (g.isBracket ? ", " : ",");
            szTag = LTrim(szTag.substr(0, g.right)) + sep + item + RTrim(From(szTag, g.right));
            return true;
        }
        const std::string t = Trim(szTag);
        const std::string group = szGroupName + ":{" + item + "}";
        szTag = t.empty() ? group : t + " " + group;
    } catch (...) {
    }
    return true;
}

bool clsTessel::DeleteTagItem(std::string& szTag, const std::string& szItemName,
                              const std::string& szGroupName) {
    try {
        ItemRange r;
        if (!GetTagItemRange(szTag, szGroupName, szItemName, r)) return false;
        const bool br = r.group.isBracket;
        auto skippable = [br](char c) { return c == ',' || (br && c == ' '); };
        size_t s = r.right;
        while (s < szTag.size() && skippable(szTag[s]))
            ++s;
        // The group ends right after this item: drop the delimiter before it as well.
        const bool last =
            br ? (s < szTag.size() && szTag[s] == '}') : (s >= szTag.size() || szTag[s] == ' ');
        size_t d = r.left;
        if (last)
            while (d > 0 && skippable(szTag[d]))
                --d;
        szTag = LTrim(szTag.substr(0, d + 1)) + RTrim(From(szTag, s));
        return true;
    } catch (...) {
    }
    return false;
}

bool clsTessel::EnumTagItems(const std::string& szTag, std::int32_t& lCount,
                             std::vector<std::string>& szItemNames,
                             std::vector<std::string>& szItemValues,
                             const std::string& szGroupName) {
    lCount = 0;
    szItemNames.clear();
    szItemValues.clear();
    try {
        std::string content;
        if (!GetTagItems(szTag, content, szGroupName)) return false;
        if (content.find('=') == npos) return true;
        for (const std::string& piece : SplitItems(content, true)) {
            const size_t eq = piece.find('=');
            if (eq == npos || eq == 0) continue;
            std::string name = Trim(piece.substr(0, eq));
            if (name.empty()) continue;
            szItemNames.push_back(std::move(name));
            szItemValues.push_back(Trim(piece.substr(eq + 1)));
            ++lCount;
        }
        return true;
    } catch (...) {
        lCount = 0;
        szItemNames.clear();
        szItemValues.clear();
    }
    return false;
}

bool clsTessel::MaxItemValue(const std::string& szTag, double& dblMaxValue,
                             const std::string& szGroupName) {
    try {
        std::string content;
        if (!GetTagItems(szTag, content, szGroupName)) return false;
        if (content.find('=') == npos) return false;
        for (const std::string& piece : SplitItems(content, false)) {
            const size_t eq = piece.find('=');
            if (eq == npos || eq == 0) continue;
            if (Trim(piece.substr(0, eq)).empty()) continue;
            const double v = detail::LeadingNumber(piece.substr(eq + 1));
            if (v > dblMaxValue) dblMaxValue = v;
        }
        return true;
    } catch (...) {
    }
    return false;
}

std::string clsTessel::sprintf(const std::string& szText, const std::vector<Variant>& Params) {
    std::string built;
    try {
        return Format(szText, Params, built);
    } catch (...) {
        return built;
    }
}

bool clsTessel::GetProp(IPropertyHost* oObj, const std::string& szProp, Variant& Value) {
    try {
        const std::vector<std::string> parts = SplitPath(szProp);
        if (parts.empty()) return true;
        if (!oObj) return false;
        PropertyHostPtr hold; // keeps the current nested object alive
        IPropertyHost* cur = oObj;
        for (size_t i = 0; i < parts.size(); ++i) {
            std::string name;
            std::vector<int> idx;
            if (!ParsePart(parts[i], name, idx)) return false;
            Variant v;
            if (!cur->GetProperty(name, idx, v)) return false;
            if (v.isObject()) {
                hold = v.object();
                if (!hold) return false;
                cur = hold.get();
                continue;
            }
            Value = v;
            return i + 1 == parts.size();
        }
        return true;
    } catch (...) {
    }
    return false;
}

bool clsTessel::LetProp(IPropertyHost* oObj, const std::string& szProp, const Variant& Value) {
    try {
        const std::vector<std::string> parts = SplitPath(szProp);
        if (parts.empty()) return true;
        if (!oObj) return false;
        PropertyHostPtr hold;
        IPropertyHost* cur = oObj;
        for (size_t i = 0; i < parts.size(); ++i) {
            std::string name;
            std::vector<int> idx;
            if (!ParsePart(parts[i], name, idx)) return false;
            if (i + 1 == parts.size()) return cur->LetProperty(name, idx, Value);
            Variant v;
            if (!cur->GetProperty(name, idx, v) || !v.isObject() || !v.object()) return false;
            hold = v.object();
            cur = hold.get();
        }
    } catch (...) {
    }
    return false;
}

} // namespace tessel
