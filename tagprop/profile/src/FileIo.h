// Whole-file reading and crash-safe file replacement for profile files; the operating-system
// side lives in one file per platform.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace lvprofile::detail {

enum class ReadStatus { Ok, Missing, Failed };

// Reads a regular file of at most `limit` bytes. Missing: the file (or a folder on its way)
// does not exist. Failed: anything else (not a regular file, no permission, too large).
ReadStatus ReadWholeFile(const std::string& path, std::size_t limit, std::string* bytes,
                         std::string* error);

// Writes `bytes` to a new file beside `path` and renames it over `path`.
bool ReplaceFile(const std::string& path, std::string_view bytes, std::string* error);

} // namespace lvprofile::detail
