// Parsing, lookup and byte-preserving edits of profile (INI) files.
#include "lvprofile/Profile.h"

#include "FileIo.h"

#include <algorithm>
#include <new>
#include <unordered_set>

namespace lvprofile {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

char Fold(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view Trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

bool EqualFold(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i])) return false;
    return true;
}

bool LessFold(std::string_view a, std::string_view b) {
    std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        auto x = static_cast<unsigned char>(Fold(a[i]));
        auto y = static_cast<unsigned char>(Fold(b[i]));
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

std::string FoldCopy(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = Fold(c);
    return out;
}

bool HasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

std::string_view Unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

// A value that the reader would change (outer blanks, enclosing quotes) goes into quotes.
std::string EncodeValue(std::string_view v) {
    if (v.empty()) return {};
    bool quote = IsBlank(v.front()) || IsBlank(v.back()) || Unquote(v).size() != v.size();
    if (!quote) return std::string(v);
    std::string out;
    out.reserve(v.size() + 2);
    out += '"';
    out += v;
    out += '"';
    return out;
}

struct Line {
    std::size_t start, contentEnd, end;
};

Line NextLine(std::string_view b, std::size_t pos) {
    std::size_t e = pos;
    while (e < b.size() && b[e] != '\r' && b[e] != '\n')
        ++e;
    if (e == b.size()) return {pos, e, e};
    std::size_t next = e + 1;
    if (b[e] == '\r' && next < b.size() && b[next] == '\n') ++next;
    return {pos, e, next};
}

std::size_t SkipBlanks(std::string_view b, std::size_t pos, std::size_t end) {
    while (pos < end && IsBlank(b[pos]))
        ++pos;
    return pos;
}

struct KeyParts {
    std::string_view key; // trimmed, never empty
    std::size_t valueStart;
};

// The key of a "key=value" line, or nothing for section lines, comments, lines without "="
// and lines with an empty key.
std::optional<KeyParts> SplitKeyLine(std::string_view b, const Line& ln) {
    std::size_t t = SkipBlanks(b, ln.start, ln.contentEnd);
    if (t == ln.contentEnd || b[t] == ';' || b[t] == '[') return std::nullopt;
    std::size_t eq = b.substr(t, ln.contentEnd - t).find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    std::string_view key = Trim(b.substr(t, eq));
    if (key.empty()) return std::nullopt;
    return KeyParts{key, SkipBlanks(b, t + eq + 1, ln.contentEnd)};
}

void SetError(std::string* error, std::string text) {
    if (error) *error = std::move(text);
}

bool CheckSection(std::string_view section, std::string* error) {
    if (section.empty()) {
        SetError(error, "The section name is empty");
        return false;
    }
    if (HasLineBreak(section)) {
        SetError(error, "A section name cannot hold a line break");
        return false;
    }
    return true;
}

bool CheckKey(std::string_view key, std::string* error) {
    if (key.empty()) {
        SetError(error, "The key name is empty");
        return false;
    }
    if (HasLineBreak(key)) {
        SetError(error, "A key name cannot hold a line break");
        return false;
    }
    if (key.find('=') != std::string_view::npos) {
        SetError(error, "A key name cannot hold \"=\"");
        return false;
    }
    if (key.front() == '[' || key.front() == ';') {
        SetError(error, "A key name cannot start with \"[\" or \";\"");
        return false;
    }
    return true;
}

} // namespace

Profile::Profile() = default;

Profile::Profile(std::string bytes) {
    if (bytes.size() > kMaxProfileBytes) {
        tooLarge_ = true;
        return;
    }
    bytes_ = std::move(bytes);
    try {
        Parse();
    } catch (const std::bad_alloc&) {
        bytes_.clear();
        sections_.clear();
        sorted_.clear();
        keys_.clear();
        tooLarge_ = true;
    }
}

void Profile::Parse() {
    sections_.clear();
    sorted_.clear();
    keys_.clear();
    const std::string_view b = bytes_;
    bom_ = (b.size() >= 3 && b.substr(0, 3) == "\xEF\xBB\xBF") ? 3 : 0;
    std::size_t pos = bom_;
    bool inSection = false;
    while (pos < b.size()) {
        Line ln = NextLine(b, pos);
        pos = ln.end;
        std::size_t t = SkipBlanks(b, ln.start, ln.contentEnd);
        if (t < ln.contentEnd && b[t] == '[') {
            std::size_t close = b.substr(t + 1, ln.contentEnd - t - 1).rfind(']');
            if (close == std::string_view::npos) continue; // neither a section nor a key
            std::size_t nameStart = SkipBlanks(b, t + 1, t + 1 + close);
            std::size_t nameEnd = t + 1 + close;
            while (nameEnd > nameStart && IsBlank(b[nameEnd - 1]))
                --nameEnd;
            if (inSection) sections_.back().end = static_cast<std::uint32_t>(ln.start);
            auto u = [](std::size_t v) { return static_cast<std::uint32_t>(v); };
            sections_.push_back({u(nameStart), u(nameEnd - nameStart), u(ln.start), u(ln.end),
                                 u(b.size()), u(ln.end)});
            inSection = true;
            continue;
        }
        if (!inSection) continue;
        auto kp = SplitKeyLine(b, ln);
        if (!kp) continue;
        sections_.back().lastKeyEnd = static_cast<std::uint32_t>(ln.end);
        keys_.push_back({static_cast<std::uint32_t>(sections_.size() - 1),
                         static_cast<std::uint32_t>(kp->key.data() - b.data()),
                         static_cast<std::uint32_t>(kp->key.size()),
                         static_cast<std::uint32_t>(ln.start)});
    }
    sorted_.resize(sections_.size());
    for (std::size_t i = 0; i < sorted_.size(); ++i)
        sorted_[i] = static_cast<std::uint32_t>(i);
    std::stable_sort(sorted_.begin(), sorted_.end(), [this](std::uint32_t a, std::uint32_t c) {
        return LessFold(Name(sections_[a]), Name(sections_[c]));
    });
    // keys_ is in file order, so the stable sort keeps the first of equal keys first.
    std::stable_sort(keys_.begin(), keys_.end(), [b](const KeyRef& x, const KeyRef& y) {
        if (x.section != y.section) return x.section < y.section;
        return LessFold(b.substr(x.keyOff, x.keyLen), b.substr(y.keyOff, y.keyLen));
    });
}

std::string_view Profile::Name(const Section& s) const {
    return std::string_view(bytes_).substr(s.nameOff, s.nameLen);
}

const Profile::Section* Profile::Find(std::string_view section) const {
    section = Trim(section);
    auto it = std::lower_bound(sorted_.begin(), sorted_.end(), section,
                               [this](std::uint32_t idx, std::string_view want) {
                                   return LessFold(Name(sections_[idx]), want);
                               });
    if (it == sorted_.end() || !EqualFold(Name(sections_[*it]), section)) return nullptr;
    return &sections_[*it];
}

std::pair<std::vector<Profile::KeyRef>::const_iterator,
          std::vector<Profile::KeyRef>::const_iterator>
Profile::KeyRange(std::size_t section, std::string_view key) const {
    key = Trim(key);
    const std::string_view b = bytes_;
    auto less = [&](const KeyRef& x, std::string_view want) {
        if (x.section != section) return x.section < section;
        return LessFold(b.substr(x.keyOff, x.keyLen), want);
    };
    auto greater = [&](std::string_view want, const KeyRef& x) {
        if (x.section != section) return section < x.section;
        return LessFold(want, b.substr(x.keyOff, x.keyLen));
    };
    auto first = std::lower_bound(keys_.begin(), keys_.end(), key, less);
    auto last = std::upper_bound(first, keys_.end(), key, greater);
    return {first, last};
}

Profile::KeyLine Profile::LineAt(std::size_t lineStart) const {
    const std::string_view b = bytes_;
    Line ln = NextLine(b, lineStart);
    KeyParts kp = *SplitKeyLine(b, ln); // only called for indexed key lines
    std::size_t vs = kp.valueStart;
    return KeyLine{ln.start, vs,     ln.contentEnd,
                   ln.end,   kp.key, Trim(b.substr(vs, ln.contentEnd - vs))};
}

std::optional<Profile::KeyLine> Profile::FindKey(const Section& s, std::string_view key) const {
    auto [first, last] = KeyRange(static_cast<std::size_t>(&s - sections_.data()), key);
    if (first == last) return std::nullopt;
    return LineAt(first->lineStart);
}

std::optional<std::string> Profile::Value(std::string_view section, std::string_view key) const {
    const Section* s = Find(section);
    if (!s) return std::nullopt;
    auto kl = FindKey(*s, key);
    if (!kl) return std::nullopt;
    return std::string(Unquote(kl->value));
}

std::string Profile::GetString(std::string_view section, std::string_view key,
                               std::string_view fallback, std::size_t bufferSize) const {
    if (bufferSize == 0) return {};
    std::optional<std::string> v = Value(section, key);
    std::string out = v ? std::move(*v) : std::string(fallback);
    if (out.size() > bufferSize - 1) out.resize(bufferSize - 1);
    return out;
}

bool Profile::HasSection(std::string_view section) const {
    return Find(section) != nullptr;
}

std::vector<std::string> Profile::SectionNames() const {
    std::vector<std::string> names;
    for (const Section& s : sections_)
        if (Find(Name(s)) == &s) names.emplace_back(Name(s));
    return names;
}

std::vector<std::string> Profile::KeyNames(std::string_view section) const {
    std::vector<std::string> names;
    const Section* s = Find(section);
    if (!s) return names;
    std::unordered_set<std::string> seen;
    const std::string_view b = bytes_;
    std::size_t pos = s->bodyStart;
    while (pos < s->lastKeyEnd) {
        Line ln = NextLine(b, pos);
        pos = ln.end;
        auto kp = SplitKeyLine(b, ln);
        if (kp && seen.insert(FoldCopy(kp->key)).second) names.emplace_back(kp->key);
    }
    return names;
}

bool Profile::Replace(std::string bytes, std::string* error) {
    if (bytes.size() > kMaxProfileBytes) {
        SetError(error,
                 "The profile would be larger than " + std::to_string(kMaxProfileBytes) + " bytes");
        return false;
    }
    std::string old = std::move(bytes_);
    bytes_ = std::move(bytes);
    try {
        Parse();
    } catch (const std::bad_alloc&) {
        bytes_ = std::move(old);
        Parse();
        SetError(error, "Out of memory");
        return false;
    }
    return true;
}

bool Profile::SetValue(std::string_view section, std::string_view key, std::string_view value,
                       std::string* error) {
    if (tooLarge_) {
        SetError(error,
                 "The profile is larger than " + std::to_string(kMaxProfileBytes) + " bytes");
        return false;
    }
    section = Trim(section);
    key = Trim(key);
    if (!CheckSection(section, error) || !CheckKey(key, error)) return false;
    if (HasLineBreak(value)) {
        SetError(error, "A value cannot hold a line break");
        return false;
    }
    try {
        const std::string encoded = EncodeValue(value);
        std::string out;
        const Section* s = Find(section);
        if (!s) {
            out.reserve(bytes_.size() + section.size() + key.size() + encoded.size() + 10);
            out = bytes_;
            if (!out.empty() && out.back() != '\n' && out.back() != '\r') out += "\r\n";
            out.append("[").append(section).append("]\r\n");
            out.append(key).append("=").append(encoded).append("\r\n");
        } else if (auto kl = FindKey(*s, key)) {
            out.reserve(bytes_.size() + encoded.size());
            out.append(bytes_, 0, kl->valueStart).append(encoded).append(bytes_, kl->contentEnd);
        } else {
            std::size_t at = s->lastKeyEnd;
            std::string line;
            if (at > 0 && bytes_[at - 1] != '\n' && bytes_[at - 1] != '\r') line = "\r\n";
            line.append(key).append("=").append(encoded).append("\r\n");
            out.reserve(bytes_.size() + line.size());
            out.append(bytes_, 0, at).append(line).append(bytes_, at);
        }
        return Replace(std::move(out), error);
    } catch (const std::bad_alloc&) {
        SetError(error, "Out of memory");
        return false;
    }
}

bool Profile::DeleteKey(std::string_view section, std::string_view key, std::string* error) {
    section = Trim(section);
    key = Trim(key);
    if (!CheckSection(section, error)) return false;
    if (key.empty()) {
        SetError(error, "The key name is empty");
        return false;
    }
    try {
        std::vector<std::pair<std::size_t, std::size_t>> cut;
        for (std::size_t i = 0; i < sections_.size(); ++i) {
            if (!EqualFold(Name(sections_[i]), section)) continue;
            auto [first, last] = KeyRange(i, key);
            for (auto it = first; it != last; ++it) {
                KeyLine kl = LineAt(it->lineStart);
                cut.emplace_back(kl.lineStart, kl.lineEnd);
            }
        }
        std::sort(cut.begin(), cut.end());
        if (cut.empty()) return true;
        std::string out;
        std::size_t from = 0;
        for (auto [b, e] : cut) {
            out.append(bytes_, from, b - from);
            from = e;
        }
        out.append(bytes_, from);
        return Replace(std::move(out), error);
    } catch (const std::bad_alloc&) {
        SetError(error, "Out of memory");
        return false;
    }
}

bool Profile::DeleteSection(std::string_view section, std::string* error) {
    section = Trim(section);
    if (!CheckSection(section, error)) return false;
    try {
        std::string out;
        std::size_t from = 0;
        bool changed = false;
        for (const Section& s : sections_) {
            if (!EqualFold(Name(s), section)) continue;
            out.append(bytes_, from, s.headerStart - from);
            from = s.end;
            changed = true;
        }
        if (!changed) return true;
        out.append(bytes_, from);
        return Replace(std::move(out), error);
    } catch (const std::bad_alloc&) {
        SetError(error, "Out of memory");
        return false;
    }
}

// ---- files ---------------------------------------------------------------------------------

bool LoadProfile(const std::string& path, Profile* profile, std::string* error) {
    try {
        std::string bytes;
        if (detail::ReadWholeFile(path, kMaxProfileBytes, &bytes, error) != detail::ReadStatus::Ok)
            return false;
        *profile = Profile(std::move(bytes));
        if (profile->TooLarge()) {
            SetError(error, "Out of memory");
            return false;
        }
        return true;
    } catch (const std::bad_alloc&) {
        SetError(error, "Out of memory");
        return false;
    }
}

bool SaveProfile(const std::string& path, const Profile& profile, std::string* error) {
    try {
        return detail::ReplaceFile(path, profile.Bytes(), error);
    } catch (const std::bad_alloc&) {
        SetError(error, "Out of memory");
        return false;
    }
}

std::string ReadProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view fallback,
                              std::size_t bufferSize) {
    try {
        Profile p;
        if (!LoadProfile(path, &p)) p = Profile();
        return p.GetString(section, key, fallback, bufferSize);
    } catch (const std::bad_alloc&) {
        return {};
    }
}

namespace {

// Loads the file for an edit (a missing file counts as empty), applies `edit` and stores the
// result when it changed anything.
template <typename Edit> bool EditFile(const std::string& path, std::string* error, Edit edit) {
    try {
        std::string bytes;
        detail::ReadStatus st = detail::ReadWholeFile(path, kMaxProfileBytes, &bytes, error);
        if (st == detail::ReadStatus::Failed) return false;
        Profile p(std::move(bytes));
        const std::string before = p.Bytes();
        if (!edit(p)) return false;
        if (p.Bytes() == before) return true; // nothing to do: leave the file alone
        return detail::ReplaceFile(path, p.Bytes(), error);
    } catch (const std::bad_alloc&) {
        SetError(error, "Out of memory");
        return false;
    }
}

} // namespace

bool WriteProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value, std::string* error) {
    return EditFile(path, error,
                    [&](Profile& p) { return p.SetValue(section, key, value, error); });
}

bool DeleteProfileKey(const std::string& path, std::string_view section, std::string_view key,
                      std::string* error) {
    return EditFile(path, error, [&](Profile& p) { return p.DeleteKey(section, key, error); });
}

bool DeleteProfileSection(const std::string& path, std::string_view section, std::string* error) {
    return EditFile(path, error, [&](Profile& p) { return p.DeleteSection(section, error); });
}

std::vector<std::string> ProfileSectionNames(const std::string& path) {
    try {
        Profile p;
        if (!LoadProfile(path, &p)) return {};
        return p.SectionNames();
    } catch (const std::bad_alloc&) {
        return {};
    }
}

std::vector<std::string> ProfileKeyNames(const std::string& path, std::string_view section) {
    try {
        Profile p;
        if (!LoadProfile(path, &p)) return {};
        return p.KeyNames(section);
    } catch (const std::bad_alloc&) {
        return {};
    }
}

} // namespace lvprofile
