// The launcher's search: which "Setup.ini", which section and which key name the installer.
#include "launcher/Launcher.h"

#include <climits>
#include <lvprofile/Profile.h>

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

} // namespace

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
        const std::string ini = *dir + "Setup.ini";
        // One read of the file serves both sections of this folder.
        lvprofile::Profile profile;
        if (!lvprofile::LoadProfile(ini, &profile)) continue;
        for (const std::string& section : {osKey, std::string("General")}) {
            std::string value;
            if (is64) value = profile.GetString(section, "x64Setup", "");
            if (value.empty()) value = profile.GetString(section, "Setup", "");
            if (!value.empty()) return Choice{*dir, value, *dir + value};
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
