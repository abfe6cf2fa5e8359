// The permission hint for a serial port that may not be opened: the group that owns the
// device, the command to join it, and that the new group counts from the next login.
#include "platform/PortPermission.h"

#include <QTemporaryDir>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using dorlin::PortAccessFacts;

PortAccessFacts Facts(unsigned mode, const char* group, bool now, bool listed,
                      const char* user = "alice") {
    PortAccessFacts f;
    f.device = "/dev/ttyUSB0";
    f.found = true;
    f.mode = mode;
    f.owner = "root";
    f.group = group;
    f.user = user;
    f.inGroupNow = now;
    f.inGroupListed = listed;
    return f;
}

struct HintCase {
    const char* name;
    PortAccessFacts facts;
    const char* group;
    const char* hint;
};
void PrintTo(const HintCase& c, std::ostream* os) {
    *os << c.name;
}

class PortPermissionHint : public testing::TestWithParam<HintCase> {};

TEST_P(PortPermissionHint, NamesTheGroupAndWhatToDo) {
    const dorlin::PortPermissionHint h = dorlin::DescribePortPermission(GetParam().facts);
    EXPECT_EQ(h.group, GetParam().group);
    EXPECT_EQ(h.hint, GetParam().hint);
}

INSTANTIATE_TEST_SUITE_P(
    Facts, PortPermissionHint,
    testing::Values(
        HintCase{"NotAMember", Facts(0660, "dialout", false, false), "dialout",
                 "/dev/ttyUSB0 belongs to the group \"dialout\". Join it with \"sudo usermod "
                 "-aG dialout alice\", then log out and in again (the new group counts from "
                 "the next login)."},
        HintCase{"UnknownUserName", Facts(0660, "dialout", false, false, ""), "dialout",
                 "/dev/ttyUSB0 belongs to the group \"dialout\". Join it with \"sudo usermod "
                 "-aG dialout $USER\", then log out and in again (the new group counts from "
                 "the next login)."},
        HintCase{"OtherGroupNamed", Facts(0660, "uucp", false, false), "uucp",
                 "/dev/ttyUSB0 belongs to the group \"uucp\". Join it with \"sudo usermod -aG "
                 "uucp alice\", then log out and in again (the new group counts from the next "
                 "login)."},
        HintCase{"JoinedButNotLoggedInAgain", Facts(0660, "dialout", false, true), "dialout",
                 "You were added to the group \"dialout\" that owns /dev/ttyUSB0, but this "
                 "login started before: log out and in again (the new group counts from the "
                 "next login)."},
        HintCase{"AlreadyInTheGroup", Facts(0660, "dialout", true, true), "dialout",
                 "You are in the group \"dialout\" that owns /dev/ttyUSB0 and may still not "
                 "open it: ask the administrator to check the device's permissions."},
        // Joining a group that may not read and write the device would not help.
        HintCase{"GroupHasNoAccess", Facts(0600, "root", false, false), "root",
                 "/dev/ttyUSB0 is open only to its owner \"root\" (its group \"root\" may not "
                 "read and write it): ask the administrator to give the port to a group such "
                 "as \"dialout\" with read and write access, for example with a udev rule "
                 "(GROUP=\"dialout\", MODE=\"0660\"), then join that group."},
        HintCase{"GroupMayOnlyRead", Facts(0640, "dialout", false, false), "dialout",
                 "/dev/ttyUSB0 is open only to its owner \"root\" (its group \"dialout\" may not "
                 "read and write it): ask the administrator to give the port to a group such "
                 "as \"dialout\" with read and write access, for example with a udev rule "
                 "(GROUP=\"dialout\", MODE=\"0660\"), then join that group."}),
    [](const testing::TestParamInfo<HintCase>& i) { return std::string(i.param.name); });

TEST(PortPermission, DeviceThatIsNotThereGivesNoHint) {
    const dorlin::PortPermissionHint h = dorlin::PortPermission("/dev/lorvane-no-such-port");
    EXPECT_EQ(h.group, "");
    EXPECT_EQ(h.hint, "");
    EXPECT_FALSE(dorlin::PortAccessFactsOf("/dev/lorvane-no-such-port").found);
}

// The facts of a real file, through a symbolic link as a COMn entry may be.
TEST(PortPermission, ReadsOwnerGroupModeAndMembershipOfTheDevice) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("port").toStdString();
    const std::string link = dir.filePath("link").toStdString();
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ASSERT_EQ(::chmod(path.c_str(), 0660), 0);
    ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);

    const PortAccessFacts f = dorlin::PortAccessFactsOf(link);
    const group* g = getgrgid(getegid());
    const passwd* p = getpwuid(geteuid());
    ASSERT_NE(g, nullptr);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(f.found);
    EXPECT_EQ(f.device, link);
    EXPECT_EQ(f.mode, 0660u);
    EXPECT_EQ(f.group, g->gr_name);
    EXPECT_EQ(f.owner, p->pw_name);
    EXPECT_EQ(f.user, p->pw_name);
    // The file's group is this process's own group.
    EXPECT_TRUE(f.inGroupNow);
    EXPECT_EQ(dorlin::PortPermission(link).group, g->gr_name);
}

// A device of a group this process is not in, as a user outside "dialout" meets it. Changing
// a file's group needs root; elsewhere the test is skipped.
TEST(PortPermission, DeviceOfAnotherGroupAsksToJoinIt) {
    const group* dialout = getgrnam("dialout");
    if (!dialout) GTEST_SKIP() << "no group dialout on this system";
    QTemporaryDir dir;
    const std::string path = dir.filePath("ttyUSB9").toStdString();
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0660);
    ASSERT_GE(fd, 0);
    ::close(fd);
    if (::chown(path.c_str(), geteuid(), dialout->gr_gid) != 0)
        GTEST_SKIP() << "cannot give the file to the group dialout";
    ASSERT_EQ(::chmod(path.c_str(), 0660), 0);
    const PortAccessFacts f = dorlin::PortAccessFactsOf(path);
    EXPECT_EQ(f.group, "dialout");
    const dorlin::PortPermissionHint h = dorlin::PortPermission(path);
    EXPECT_EQ(h.group, "dialout");
    if (!f.inGroupNow && !f.inGroupListed)
        EXPECT_EQ(h.hint, path +
                              " belongs to the group \"dialout\". Join it with \"sudo usermod "
                              "-aG dialout " +
                              f.user +
                              "\", then log out and in again (the new group counts from the "
                              "next login).");
    else
        EXPECT_NE(h.hint.find("\"dialout\""), std::string::npos) << h.hint;
}

} // namespace
