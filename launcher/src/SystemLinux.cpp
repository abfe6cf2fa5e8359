// Linux side of the launcher: uname for the system key and the 64-bit flag, /proc/self/exe
// for the launcher's folder, posix_spawn for the installer.
#include "launcher/Launcher.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <spawn.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace lvlauncher {

std::string CurrentOsKey() {
    struct utsname u {};
    if (::uname(&u) != 0) return OsKeyFromRelease("");
    return OsKeyFromRelease(u.release);
}

bool CurrentIs32On64() {
    struct utsname u {};
    if (::uname(&u) != 0) return false;
    return RunsAs32On64(u.machine, sizeof(void*));
}

std::string CurrentModuleDir() {
    std::vector<char> buf(PATH_MAX + 1);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return {}; // no /proc: only the working folder is searched
        if (static_cast<std::size_t>(n) < buf.size())
            return ModuleDirFromPath(std::string_view(buf.data(), static_cast<std::size_t>(n)));
        if (buf.size() > (1u << 20)) return {};
        buf.resize(buf.size() * 2);
    }
}

std::string CurrentWorkingDir() {
    std::vector<char> buf(PATH_MAX + 1);
    for (;;) {
        if (::getcwd(buf.data(), buf.size())) return WithSlash(buf.data());
        if (errno != ERANGE || buf.size() > (1u << 20)) return {};
        buf.resize(buf.size() * 2);
    }
}

int StartAndWait(const std::string& installer, const std::string& dir) {
    // An ignored SIGCHLD inherited from our parent would make the installer's status vanish.
    ::signal(SIGCHLD, SIG_DFL);
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return kNothingStarted;
    // The installer starts in its own folder; the launcher's working folder never changes.
    if (posix_spawn_file_actions_addchdir_np(&actions, dir.c_str()) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return kNothingStarted;
    }
    std::string arg0 = installer;
    char* argv[] = {arg0.data(), nullptr};
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, installer.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return kNothingStarted;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return kNothingStarted;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return kNothingStarted;
}

} // namespace lvlauncher
