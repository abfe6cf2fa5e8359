#include "platform/PortPermission.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace dorlin {
namespace {

std::string GroupName(gid_t gid) {
    const group* g = getgrgid(gid);
    return g ? std::string(g->gr_name) : std::to_string(gid);
}

std::string UserName(uid_t uid) {
    const passwd* p = getpwuid(uid);
    return p ? std::string(p->pw_name) : std::to_string(uid);
}

bool ProcessHasGroup(gid_t gid) {
    if (getegid() == gid || getgid() == gid) return true;
    const int n = getgroups(0, nullptr);
    if (n <= 0) return false;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    const int got = getgroups(n, groups.data());
    for (int i = 0; i < got; ++i)
        if (groups[size_t(i)] == gid) return true;
    return false;
}

// The group database's view (what the next login will carry), not this process's.
bool DatabaseListsUser(const std::string& user, gid_t gid) {
    const passwd* p = getpwnam(user.c_str());
    if (!p) return false;
    if (p->pw_gid == gid) return true;
    int n = 64;
    std::vector<gid_t> groups;
    for (int attempt = 0; attempt < 4; ++attempt) {
        groups.resize(size_t(n));
        int count = n;
        if (getgrouplist(user.c_str(), p->pw_gid, groups.data(), &count) >= 0) {
            for (int i = 0; i < count; ++i)
                if (groups[size_t(i)] == gid) return true;
            return false;
        }
        n = count > n ? count : n * 2; // too small: count holds the size needed
    }
    return false;
}

} // namespace

PortPermissionHint DescribePortPermission(const PortAccessFacts& f) {
    PortPermissionHint h;
    if (!f.found) return h;
    h.group = f.group;
    const std::string q = "\"" + f.group + "\"";
    const bool groupCanUse = (f.mode & 0060) == 0060;
    if (!groupCanUse) {
        h.hint = f.device + " is open only to its owner \"" + f.owner + "\" (its group " + q +
                 " may not read and write it): ask the administrator to give the port to a "
                 "group such as \"dialout\" with read and write access, for example with a "
                 "udev rule (GROUP=\"dialout\", MODE=\"0660\"), then join that group.";
        return h;
    }
    if (f.inGroupNow) {
        h.hint = "You are in the group " + q + " that owns " + f.device +
                 " and may still not open it: ask the administrator to check the device's "
                 "permissions.";
        return h;
    }
    if (f.inGroupListed) {
        h.hint = "You were added to the group " + q + " that owns " + f.device +
                 ", but this login started before: log out and in again (the new group "
                 "counts from the next login).";
        return h;
    }
    const std::string who = f.user.empty() ? std::string("$USER") : f.user;
    h.hint = f.device + " belongs to the group " + q + ". Join it with \"sudo usermod -aG " +
             f.group + " " + who +
             "\", then log out and in again (the new group counts from the next login).";
    return h;
}

PortAccessFacts PortAccessFactsOf(const std::string& devicePath) {
    PortAccessFacts f;
    f.device = devicePath;
    struct stat st {};
    const uid_t uid = geteuid();
    const passwd* p = getpwuid(uid);
    f.user = p ? std::string(p->pw_name) : std::string();
    if (::stat(devicePath.c_str(), &st) != 0) return f;
    f.found = true;
    f.mode = unsigned(st.st_mode & 07777);
    f.owner = UserName(st.st_uid);
    f.group = GroupName(st.st_gid);
    f.inGroupNow = ProcessHasGroup(st.st_gid);
    f.inGroupListed = !f.user.empty() && DatabaseListsUser(f.user, st.st_gid);
    return f;
}

PortPermissionHint PortPermission(const std::string& devicePath) {
    return DescribePortPermission(PortAccessFactsOf(devicePath));
}

} // namespace dorlin
