#include "platform/PortHolders.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace dorlin {
namespace {

std::string CommandName(int pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(f, name);
    return name.empty() ? std::string("?") : name;
}

// The pseudo-terminal index a ptmx descriptor stands for, -1 for any other descriptor.
int PtyIndexOf(const std::string& fdinfo) {
    std::ifstream f(fdinfo);
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("tty-index:", 0) == 0) return std::atoi(line.c_str() + 10);
    return -1;
}

bool IsNumber(const char* s) {
    if (!*s) return false;
    for (; *s; ++s)
        if (!std::isdigit(static_cast<unsigned char>(*s))) return false;
    return true;
}

} // namespace

std::vector<PortHolder> FindPortHolders(const std::string& path) {
    std::vector<PortHolder> out;
    struct stat target {};
    if (::stat(path.c_str(), &target) != 0 || !S_ISCHR(target.st_mode)) return out;
    // A /dev/pts/N slave: whoever holds the master with tty-index N is the far end.
    int ptyIndex = -1;
    char real[4096];
    if (::realpath(path.c_str(), real) && std::string(real).rfind("/dev/pts/", 0) == 0)
        ptyIndex = std::atoi(real + 9);
    const bool haveMaster = ptyIndex >= 0;

    const int self = int(::getpid());
    DIR* proc = ::opendir("/proc");
    if (!proc) return out;
    while (dirent* e = ::readdir(proc)) {
        if (!IsNumber(e->d_name)) continue;
        const int pid = std::atoi(e->d_name);
        if (pid == self) continue;
        const std::string base = std::string("/proc/") + e->d_name;
        DIR* fds = ::opendir((base + "/fd").c_str());
        if (!fds) continue; // not ours to look at
        bool holds = false, master = false;
        while (dirent* f = ::readdir(fds)) {
            if (!IsNumber(f->d_name)) continue;
            struct stat st {};
            if (::stat((base + "/fd/" + f->d_name).c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
                continue;
            if (st.st_rdev == target.st_rdev) holds = true;
            // /dev/ptmx and /dev/pts/ptmx: the multiplexer, character device 5:2.
            if (haveMaster && st.st_rdev == makedev(5, 2) &&
                PtyIndexOf(base + "/fdinfo/" + f->d_name) == ptyIndex)
                master = true;
        }
        ::closedir(fds);
        if (holds) out.push_back(PortHolder{pid, CommandName(pid), master});
    }
    ::closedir(proc);
    return out;
}

std::vector<PortHolder> FindLockHolders(const std::string& path) {
    std::vector<PortHolder> out;
    struct stat target {};
    if (::stat(path.c_str(), &target) != 0) return out;
    // "1: FLOCK  ADVISORY  WRITE 812 00:19:8 0 EOF"; "1: -> FLOCK ..." is a waiter.
    std::ifstream f("/proc/locks");
    std::string line;
    while (std::getline(f, line)) {
        std::istringstream in(line);
        std::string id, kind, mode, access, where;
        int pid = 0;
        if (!(in >> id >> kind) || kind != "FLOCK") continue;
        if (!(in >> mode >> access >> pid >> where)) continue;
        unsigned maj = 0, min = 0;
        unsigned long ino = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%lu", &maj, &min, &ino) != 3) continue;
        if (ino != target.st_ino || maj != major(target.st_dev) || min != minor(target.st_dev))
            continue;
        out.push_back(PortHolder{pid, CommandName(pid), false});
    }
    return out;
}

std::string DescribeHolders(const std::vector<PortHolder>& holders, bool skipFarEnd) {
    std::string s;
    for (const PortHolder& h : holders) {
        if (skipFarEnd && h.farEnd) continue;
        if (!s.empty()) s += ", ";
        s += h.name + " (pid " + std::to_string(h.pid) + ")";
    }
    return s;
}

} // namespace dorlin
