// Parsed language files kept between lookups. An entry is used only while the file's
// modification time, size and inode are those it was parsed from; any change reloads it.
#pragma once
#include <QString>
#include <lvprofile/Profile.h>
#include <map>
#include <memory>
#include <sys/types.h>

namespace lvlang {

class ProfileCache {
public:
    // The parsed file, or null when it is missing or unreadable. The pointer stays valid
    // until the next call for the same path or Invalidate().
    const lvprofile::Profile* Get(const QString& path);
    void Invalidate(const QString& path);
    void Clear() { entries_.clear(); }

    // Process-wide switch, for measuring: off reads and parses the file on every lookup.
    static void SetEnabled(bool on);
    static bool Enabled();

private:
    struct Entry {
        std::int64_t mtimeNs = 0;
        off_t size = 0;
        ino_t inode = 0;
        std::unique_ptr<lvprofile::Profile> profile;
    };
    std::map<QString, Entry> entries_;
    std::unique_ptr<lvprofile::Profile> uncached_;
};

} // namespace lvlang
