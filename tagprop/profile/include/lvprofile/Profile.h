// Profile (INI) files: a parsed, in-memory profile plus file-level read and write helpers
// with the classic Windows profile semantics. Works on bytes; converting between the file's
// code page and the caller's text is the caller's business.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lvprofile {

// Size of the buffer callers read values into: at most kValueBufferSize - 1 (1023) bytes of a
// value are returned, the last byte being the terminator of the classic interface.
inline constexpr std::size_t kValueBufferSize = 1024;

// Profiles larger than this are not parsed: a file this big is treated as unreadable.
inline constexpr std::size_t kMaxProfileBytes = 16u * 1024u * 1024u;

// A profile parsed from a byte buffer.
//
// Reading rules: a section starts at a line whose first non-blank byte is "[" and that holds
// a "]"; the name is the text up to the last "]" on the line, without surrounding blanks.
// A key line is "key=value" inside a section: the key is the text before the first "=", the
// value the text after it, both without surrounding blanks (space, tab, VT, FF); one pair of
// enclosing quotes (both " or both ') is then removed from the value. Lines without "=",
// lines starting with ";" (comments), lines with an empty key and key lines before the first
// section are not keys. CR LF, CR and LF all end a line. Section and key names match
// without regard to ASCII case, and blanks around the names the caller passes are ignored.
// Of duplicate sections only the first is read; of duplicate keys in it, the first wins.
// A leading UTF-8 byte-order mark is skipped.
class Profile {
public:
    Profile();
    // Parses `bytes`. A buffer larger than kMaxProfileBytes gives an empty profile whose
    // TooLarge() is true.
    explicit Profile(std::string bytes);

    bool TooLarge() const { return tooLarge_; }
    // The profile as it is stored (after edits: what a save writes).
    const std::string& Bytes() const { return bytes_; }
    bool HasUtf8Bom() const { return bom_ > 0; }

    // The value of `key` in `section` (whole, not cut), or nothing when the section or key
    // is missing. A present but empty key ("name=") gives an empty text.
    std::optional<std::string> Value(std::string_view section, std::string_view key) const;

    // What the classic GetPrivateProfileString call puts into a buffer of `bufferSize`
    // bytes: the value, or `fallback` when the section or key is missing, cut to
    // bufferSize - 1 bytes (nothing for a buffer size of 0).
    std::string GetString(std::string_view section, std::string_view key, std::string_view fallback,
                          std::size_t bufferSize = kValueBufferSize) const;

    bool HasSection(std::string_view section) const;
    // Section names in file order, each name once (spelled as at its first occurrence).
    std::vector<std::string> SectionNames() const;
    // Key names of the (first) section in file order, each once; empty when it is missing.
    std::vector<std::string> KeyNames(std::string_view section) const;

    // Writes one key like WritePrivateProfileString: replaces the value of the first
    // occurrence in place, or adds "key=value" after the section's last key, or adds the
    // section at the end. Every other byte stays as it was; new lines end with CR LF. A value
    // that would not read back unchanged (outer blanks or enclosing quotes) is written in
    // double quotes. False with a reason for names or values that cannot be stored.
    bool SetValue(std::string_view section, std::string_view key, std::string_view value,
                  std::string* error = nullptr);
    // Removes every line of `key` in every section of that name. True also when absent.
    bool DeleteKey(std::string_view section, std::string_view key, std::string* error = nullptr);
    // Removes every section of that name with all its lines. True also when absent.
    bool DeleteSection(std::string_view section, std::string* error = nullptr);

private:
    struct Section {
        std::uint32_t nameOff, nameLen; // trimmed name inside bytes_
        std::uint32_t headerStart;      // first byte of the "[name]" line
        std::uint32_t bodyStart;        // first byte after the header line
        std::uint32_t end;              // first byte of the next section header, or size
        std::uint32_t lastKeyEnd;       // end (after line break) of the last key line, or bodyStart
    };
    struct KeyRef {
        std::uint32_t section;        // index into sections_
        std::uint32_t keyOff, keyLen; // trimmed key inside bytes_
        std::uint32_t lineStart;
    };
    struct KeyLine {
        std::size_t lineStart, valueStart, contentEnd, lineEnd;
        std::string_view key, value; // value trimmed, quotes not yet removed
    };

    void Parse();
    std::string_view Name(const Section& s) const;
    const Section* Find(std::string_view section) const;
    std::optional<KeyLine> FindKey(const Section& s, std::string_view key) const;
    KeyLine LineAt(std::size_t lineStart) const;
    std::pair<std::vector<KeyRef>::const_iterator, std::vector<KeyRef>::const_iterator>
    KeyRange(std::size_t section, std::string_view key) const;
    bool Replace(std::string bytes, std::string* error);

    std::string bytes_;
    std::size_t bom_ = 0;
    bool tooLarge_ = false;
    std::vector<Section> sections_;
    std::vector<std::uint32_t> sorted_; // section indexes ordered by folded name, then position
    std::vector<KeyRef> keys_;          // key lines ordered by section, folded key, position
};

// Loads a whole profile file. False with a reason when the file is missing, not a regular
// file, unreadable or larger than kMaxProfileBytes.
bool LoadProfile(const std::string& path, Profile* profile, std::string* error = nullptr);

// Stores a profile through a temporary file beside `path` that then replaces it, so that a
// failure leaves the old file as it was. A symbolic link is followed; an existing file keeps
// its permission bits, and a file without write permission is refused.
bool SaveProfile(const std::string& path, const Profile& profile, std::string* error = nullptr);

// GetPrivateProfileString on a file: a missing or unreadable file gives the fallback.
std::string ReadProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view fallback,
                              std::size_t bufferSize = kValueBufferSize);

// WritePrivateProfileString on a file: creates the file and the section as needed.
bool WriteProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value, std::string* error = nullptr);
bool DeleteProfileKey(const std::string& path, std::string_view section, std::string_view key,
                      std::string* error = nullptr);
bool DeleteProfileSection(const std::string& path, std::string_view section,
                          std::string* error = nullptr);

// Section names of a file in file order (empty for a missing or unreadable file).
std::vector<std::string> ProfileSectionNames(const std::string& path);
// Key names of a section of a file in file order.
std::vector<std::string> ProfileKeyNames(const std::string& path, std::string_view section);

} // namespace lvprofile
