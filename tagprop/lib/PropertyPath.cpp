// Property paths: "Parent.Child(1, 2).Name" read and written through IPropertyHost objects,
// each part a name with up to four indexes.
#include "NumberText.h"
#include "TagText.h"
#include <tessel/clsTessel.h>

#include <cmath>
#include <limits>

namespace tessel {

using namespace detail;

namespace {

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
