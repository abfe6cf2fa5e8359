// Why a serial port may not be opened and what the user can do about it: the group that owns
// the device, and a hint that names the command to join it and says that the new group only
// counts from the next login. Hosts add the hint to their "permission denied" messages.
#pragma once
#include <string>

namespace dorlin {

// What the system says about a device and the user running the program.
struct PortAccessFacts {
    std::string device;         // the path as given
    bool found = false;         // the device could be looked at (stat)
    unsigned mode = 0;          // its permission bits (st_mode & 07777)
    std::string owner;          // owning user, by name (or number when it has none)
    std::string group;          // owning group, by name (or number when it has none)
    std::string user;           // the user running the program ("" when unknown)
    bool inGroupNow = false;    // this process carries the group (its login has it)
    bool inGroupListed = false; // the group database lists the user in the group
};

struct PortPermissionHint {
    std::string group; // the group that owns the device; "" when the device was not found
    std::string hint;  // one or two sentences for the user; "" when the device was not found
};

// The hint for a set of facts.
PortPermissionHint DescribePortPermission(const PortAccessFacts& facts);

// Looks up the facts of a device path (following links, as open does).
PortAccessFacts PortAccessFactsOf(const std::string& devicePath);

// DescribePortPermission(PortAccessFactsOf(devicePath)).
PortPermissionHint PortPermission(const std::string& devicePath);

} // namespace dorlin
