// The launcher's search: which "Setup.ini", which section and which key name the installer.
#include "launcher/Launcher.h"

#include <algorithm>
#include <climits>
#include <filesystem>
#include <lvprofile/Profile.h>
#include <system_error>
#include <vector>

namespace lvlauncher {
namespace {

// Reads a leading decimal number from `s` at `pos`, clamped to INT_MAX; 0 when there is none.
int ReadNumber(std::string_view s, std::size_t& pos) {
    long long n = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
        if (n < INT_MAX) n = n * 10 + (s[pos] - '0');
        ++pos;
    }
    return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

} // namespace

std::optional<std::string> FindEntryIgnoringCase(const std::string& dir, std::string_view name) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const std::string folder = dir.empty() ? std::string(".") : dir;
    if (fs::exists(fs::path(folder) / fs::path(std::string(name)), ec)) return std::string(name);
    std::vector<std::string> matches;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string entry = it->path().filename().string();
        if (SameIgnoringCase(entry, name)) matches.push_back(entry);
    }
    if (matches.empty()) return std::nullopt;
    std::sort(matches.begin(), matches.end());
    return matches.front();
}

std::string ResolveIgnoringCase(const std::string& dir, const std::string& relative) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::exists(fs::path(dir + relative), ec)) return relative;
    std::string resolved;
    std::string folder = dir;
    std::size_t pos = 0;
    while (pos <= relative.size()) {
        const std::size_t slash = std::min(relative.find('/', pos), relative.size());
        const std::string part = relative.substr(pos, slash - pos);
        std::string use = part;
        if (!part.empty() && part != "." && part != "..") {
            const std::optional<std::string> found = FindEntryIgnoringCase(folder, part);
            if (!found) return relative;
            use = *found;
        }
        resolved += use;
        folder += use;
        if (slash < relative.size()) {
            resolved += '/';
            folder += '/';
        }
        pos = slash + 1;
    }
    return resolved;
}

std::string OsKeyFromRelease(std::string_view release) {
    std::size_t pos = 0;
    int major = ReadNumber(release, pos);
    int minor = 0;
    if (pos > 0 && pos < release.size() && release[pos] == '.') {
        ++pos;
        minor = ReadNumber(release, pos);
    }
    return "Linux:V" + std::to_string(major) + "." + std::to_string(minor);
}

bool RunsAs32On64(std::string_view machine, std::size_t pointerSize) {
    if (pointerSize != 4) return false;
    for (std::string_view m : {"x86_64", "aarch64", "aarch64_be", "arm64", "ppc64", "ppc64le",
                               "s390x", "mips64", "riscv64", "sparc64"})
        if (machine == m) return true;
    return false;
}

std::string ModuleDirFromPath(std::string_view exePath) {
    std::size_t slash = exePath.rfind('/');
    if (slash == std::string_view::npos) return std::string(exePath) + "/";
    return std::string(exePath.substr(0, slash + 1));
}

std::string WithSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

std::optional<Choice> FindInstaller(const std::string& moduleDir, const std::string& currentDir,
                                    const std::string& osKey, bool is64) {
    for (const std::string* dir : {&moduleDir, &currentDir}) {
        if (dir->empty()) continue;
        // Install media often show the name as "setup.ini" or "SETUP.INI".
        const std::optional<std::string> name = FindEntryIgnoringCase(*dir, "Setup.ini");
        if (!name) continue;
        // One read of the file serves both sections of this folder.
        lvprofile::Profile profile;
        if (!lvprofile::LoadProfile(*dir + *name, &profile)) continue;
        for (const std::string& section : {osKey, std::string("General")}) {
            std::string value;
            if (is64) value = profile.GetString(section, "x64Setup", "");
            if (value.empty()) value = profile.GetString(section, "Setup", "");
            if (!value.empty()) return Choice{*dir, value, *dir + ResolveIgnoringCase(*dir, value)};
        }
    }
    return std::nullopt;
}

int Run() {
    const bool is64 = CurrentIs32On64();
    const std::string osKey = CurrentOsKey();
    const std::string currentDir = CurrentWorkingDir();
    const std::string moduleDir = CurrentModuleDir();
    std::optional<Choice> choice = FindInstaller(moduleDir, currentDir, osKey, is64);
    int result = kNothingStarted;
    if (choice) result = StartAndWait(choice->installer, choice->dir);
    return result & 0xFF;
}

} // namespace lvlauncher
