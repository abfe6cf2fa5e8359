// Which other processes have a serial device open, found the way fuser does: through the
// descriptors listed under /proc. Only processes whose descriptors the system lets us see are
// found (an unprivileged user sees their own).
#pragma once
#include <string>
#include <vector>

namespace dorlin {

struct PortHolder {
    int pid = 0;
    std::string name; // the process's command name
    // The process also holds the master side of this pseudo-terminal: it is the far end of the
    // line (a simulator, a null-modem bridge), not a competing reader.
    bool farEnd = false;
};

// Processes other than this one that have the device at `path` open.
std::vector<PortHolder> FindPortHolders(const std::string& path);

// Processes that hold a flock on the device at `path` (this one included), from /proc/locks,
// which every user may read.
std::vector<PortHolder> FindLockHolders(const std::string& path);

// "minicom (pid 812), cat (pid 907)"; farEnd holders are left out when skipFarEnd is set
// (they hold the line, not the port's lock).
std::string DescribeHolders(const std::vector<PortHolder>& holders, bool skipFarEnd);

} // namespace dorlin
