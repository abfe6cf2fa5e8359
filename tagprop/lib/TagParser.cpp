// The tag parser: groups ("name:{a=1, b=2}" or "name:a=1,b=2") and their items, found,
// read, set and deleted in a tag string. Positions are 0-based here.
#include "NumberText.h"
#include "TagText.h"
#include <tessel/clsTessel.h>

namespace tessel {

using namespace detail;

namespace {

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

} // namespace tessel
