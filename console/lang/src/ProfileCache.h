// Parsed language files kept between lookups. An entry is used only while the file's
// modification time, size and inode are those it was parsed from; any change reloads it.
#pragma once
#include <QByteArray>
#include <QString>
#include <lvprofile/Profile.h>
#include <map>
#include <memory>
#include <string>
#include <sys/types.h>

namespace lvlang {

// How a language file stores its text. A file that starts with the UTF-8 mark is UTF-8; one
// that starts with a UTF-16 mark is UTF-16 and is parsed as UTF-8 (with the mark) in memory;
// every other file is in the ANSI code page.
enum class FileEncoding { Ansi, Utf8, Utf16LE, Utf16BE };

// Loads a language file as a profile (UTF-16 converted to UTF-8 with the mark). False when the
// file is missing, unreadable, too large or a UTF-16 file that does not decode.
bool LoadLanguageProfile(const QString& path, lvprofile::Profile* profile,
                         FileEncoding* encoding = nullptr);
// The same for a language file's bytes already in memory.
bool ParseLanguageProfile(const QByteArray& bytes, lvprofile::Profile* profile,
                          FileEncoding* encoding = nullptr);
// A value of the profile as text, and text as the bytes of a value of that profile.
QString DecodeValue(const lvprofile::Profile& profile, const std::string& raw);
std::string EncodeValue(const lvprofile::Profile& profile, const QString& text);
// Writes one key of a language file, keeping the file's encoding.
bool WriteLanguageValue(const QString& path, const QString& section, const QString& key,
                        const QString& value);

class ProfileCache {
public:
    // The parsed file, or null when it is missing or unreadable. The pointer stays valid
    // until the next call for the same path or Invalidate().
    const lvprofile::Profile* Get(const QString& path);
    void Invalidate(const QString& path);
    void Clear() {
        entries_.clear();
        memoryPath_.clear();
        memory_.reset();
    }
    // Lookups of `path` answer from this profile (a file given as bytes) instead of the disk,
    // until another one is given or the path is invalidated.
    void PutMemory(const QString& path, std::unique_ptr<lvprofile::Profile> profile);

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
    QString memoryPath_;
    std::unique_ptr<lvprofile::Profile> memory_;
};

} // namespace lvlang
