// The setup launcher: finds the installer named in "Setup.ini" for the running system, starts
// it in its own folder, waits for it and hands back its exit code.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace lvlauncher {

// Exit code when no installer was found or it could not be started (-1 as a process status).
inline constexpr int kNothingStarted = -1;

// The installer chosen by the search.
struct Choice {
    std::string dir;       // folder of the "Setup.ini" that named it, ending in "/"
    std::string value;     // the value read from the file
    std::string installer; // dir + value, as text (its names matched without regard to case)
};

// Operating-system key from a kernel release text: "6.1.0-18-amd64" gives "Linux:V6.1".
// Missing numbers count as 0.
std::string OsKeyFromRelease(std::string_view release);

// True when a process with `pointerSize`-byte pointers runs on a 64-bit kernel whose
// machine name (uname) is `machine`: a 32-bit build on a 64-bit system.
bool RunsAs32On64(std::string_view machine, std::size_t pointerSize);

// Folder of an executable's path, ending in "/": the text up to and including the last "/",
// or the whole text with "/" appended when it holds none.
std::string ModuleDirFromPath(std::string_view exePath);

// `dir` with "/" appended unless it already ends in one.
std::string WithSlash(std::string dir);

// The name of an entry of `dir` that equals `name` without regard to ASCII case: `name`
// itself when it exists, otherwise the first match in byte order; nothing when none matches.
std::optional<std::string> FindEntryIgnoringCase(const std::string& dir, std::string_view name);
// `relative` below `dir` with each folder and file name matched without regard to case (the
// exact spelling preferred); `relative` unchanged when it exists as written or when some part
// has no match at all.
std::string ResolveIgnoringCase(const std::string& dir, const std::string& relative);

// The four attempts, stopping at the first non-empty value: module folder with the system's
// section, module folder with "General", then the same two in the working folder. "Setup.ini"
// and the folders and file of the installer's value are matched without regard to case. Within an
// attempt, "x64Setup" is tried first when `is64` is set, then "Setup". An empty folder text
// skips that folder's attempts.
std::optional<Choice> FindInstaller(const std::string& moduleDir, const std::string& currentDir,
                                    const std::string& osKey, bool is64);

// The running system: its key, its 64-bit flag, the launcher's own folder and the working
// folder (empty texts when the system cannot tell).
std::string CurrentOsKey();
bool CurrentIs32On64();
std::string CurrentModuleDir();
std::string CurrentWorkingDir();

// Starts `installer` with no arguments, the launcher's environment and `dir` as its working
// folder, waits for it and returns its exit code (128 + signal number when a signal ended
// it), or kNothingStarted when it could not be started.
int StartAndWait(const std::string& installer, const std::string& dir);

// The whole program: search, start, wait. Returns the process exit code (0..255).
int Run();

} // namespace lvlauncher
