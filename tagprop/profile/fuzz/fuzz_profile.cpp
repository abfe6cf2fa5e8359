// libFuzzer target: parse arbitrary bytes as a profile, list and read everything, and check
// that an edit reads back and keeps the rest of the profile readable.
#include "lvprofile/Profile.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using lvprofile::Profile;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first bytes choose the names and value of one edit; the rest is the profile.
    std::string in(reinterpret_cast<const char*>(data), size);
    std::size_t split = in.find('\x1f');
    std::string head = split == std::string::npos ? std::string() : in.substr(0, split);
    std::string body = split == std::string::npos ? in : in.substr(split + 1);
    std::string section = head.substr(0, head.find('|'));
    std::string rest = head.size() > section.size() ? head.substr(section.size() + 1) : "";
    std::string key = rest.substr(0, rest.find('|'));
    std::string value = rest.size() > key.size() ? rest.substr(key.size() + 1) : "";

    Profile p(body);
    for (const std::string& s : p.SectionNames()) {
        Check(p.HasSection(s));
        for (const std::string& k : p.KeyNames(s)) {
            auto v = p.Value(s, k);
            Check(v.has_value());
            Check(p.GetString(s, k, "fb").size() <= 1023);
        }
    }
    std::string error;
    Profile edited = p;
    if (edited.SetValue(section, key, value, &error)) {
        Check(edited.Value(section, key) == value);
        Check(Profile(edited.Bytes()).Value(section, key) == value);
        // Other sections read as before.
        for (const std::string& s : p.SectionNames())
            Check(edited.HasSection(s));
    }
    Profile deleted = p;
    if (deleted.DeleteKey(section, key, &error)) Check(!deleted.Value(section, key).has_value());
    Profile dropped = p;
    if (dropped.DeleteSection(section, &error)) Check(!dropped.HasSection(section));
    return 0;
}
