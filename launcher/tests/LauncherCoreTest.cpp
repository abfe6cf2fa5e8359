// The launcher's pure parts: the system key, the 64-bit flag, folder texts and the search
// order over real "Setup.ini" files (here also with the 64-bit flag set, which this 64-bit
// build never sees when run).
#include "launcher/Launcher.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <vector>

namespace fs = std::filesystem;
using namespace lvlauncher;

namespace {

TEST(LauncherOsKey, FromKernelRelease) {
    struct Case {
        const char* release;
        const char* key;
    } cases[] = {
        {"6.1.0-18-amd64", "Linux:V6.1"},
        {"5.15.0", "Linux:V5.15"},
        {"4.19-rc1", "Linux:V4.19"},
        {"6", "Linux:V6.0"},
        {"6.", "Linux:V6.0"},
        {"", "Linux:V0.0"},
        {"abc", "Linux:V0.0"},
        {".5", "Linux:V0.0"},
        {"99999999999999999999.7", "Linux:V2147483647.7"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(OsKeyFromRelease(c.release), c.key) << c.release;
}

TEST(LauncherOsKey, RunningKernel) {
    struct utsname u {};
    ASSERT_EQ(::uname(&u), 0);
    int major = -1, minor = -1;
    ASSERT_EQ(std::sscanf(u.release, "%d.%d", &major, &minor), 2);
    EXPECT_EQ(CurrentOsKey(), "Linux:V" + std::to_string(major) + "." + std::to_string(minor));
}

TEST(LauncherBitness, ThirtyTwoBitBuildOnSixtyFourBitKernel) {
    EXPECT_TRUE(RunsAs32On64("x86_64", 4));
    EXPECT_TRUE(RunsAs32On64("aarch64", 4));
    EXPECT_FALSE(RunsAs32On64("x86_64", 8));
    EXPECT_FALSE(RunsAs32On64("aarch64", 8));
    EXPECT_FALSE(RunsAs32On64("i686", 4));
    EXPECT_FALSE(RunsAs32On64("armv7l", 4));
    EXPECT_FALSE(RunsAs32On64("", 4));
    struct utsname u {};
    ASSERT_EQ(::uname(&u), 0);
    EXPECT_EQ(CurrentIs32On64(), RunsAs32On64(u.machine, sizeof(void*)));
    if (sizeof(void*) == 8) {
        EXPECT_FALSE(CurrentIs32On64());
    }
}

TEST(LauncherFolders, ModuleDirEndsInSlash) {
    EXPECT_EQ(ModuleDirFromPath("/media/cd/launcher"), "/media/cd/");
    EXPECT_EQ(ModuleDirFromPath("/launcher"), "/");
    EXPECT_EQ(ModuleDirFromPath("launcher"), "launcher/");
    EXPECT_EQ(ModuleDirFromPath("/media/cd/"), "/media/cd/");
    EXPECT_EQ(WithSlash("/tmp"), "/tmp/");
    EXPECT_EQ(WithSlash("/"), "/");
    EXPECT_EQ(WithSlash(""), "/");
}

class LauncherSearch : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "lvlaunch-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        root_ = tmpl;
        fs::create_directory(root_ / "media");
        fs::create_directory(root_ / "work");
        media_ = (root_ / "media").string() + "/";
        work_ = (root_ / "work").string() + "/";
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    static void Ini(const std::string& dir, const std::string& text) {
        std::ofstream(dir + "Setup.ini", std::ios::binary) << text;
    }
    std::string Found(bool is64) const {
        auto c = FindInstaller(media_, work_, "Linux:V6.1", is64);
        return c ? c->installer : "<none>";
    }
    fs::path root_;
    std::string media_, work_;
};

TEST_F(LauncherSearch, SystemSectionWithSetupBeatsGeneralWithX64Setup) {
    Ini(media_, "[General]\r\nx64Setup=g64\r\n[Linux:V6.1]\r\nSetup=os32\r\n");
    EXPECT_EQ(Found(true), media_ + "os32");
}

TEST_F(LauncherSearch, X64SetupFirstWithinAnAttempt) {
    Ini(media_, "[linux:v6.1]\r\nSetup=os32\r\nx64Setup=os64\r\n");
    EXPECT_EQ(Found(true), media_ + "os64");
    EXPECT_EQ(Found(false), media_ + "os32");
}

TEST_F(LauncherSearch, EmptyX64SetupFallsBackToSetup) {
    Ini(media_, "[Linux:V6.1]\r\nx64Setup=\r\nSetup=os32\r\n");
    EXPECT_EQ(Found(true), media_ + "os32");
}

TEST_F(LauncherSearch, GeneralX64SetupOnlyFor64Bit) {
    Ini(media_, "[General]\r\nx64Setup=g64\r\n");
    EXPECT_EQ(Found(true), media_ + "g64");
    EXPECT_EQ(Found(false), "<none>");
}

TEST_F(LauncherSearch, OtherSystemSectionIgnored) {
    Ini(media_, "[Linux:V5.10]\r\nSetup=old\r\n[General]\r\nSetup=any\r\n");
    EXPECT_EQ(Found(false), media_ + "any");
}

TEST_F(LauncherSearch, ModuleFolderBeforeWorkingFolder) {
    Ini(media_, "[General]\r\nSetup=m\r\n");
    Ini(work_, "[Linux:V6.1]\r\nx64Setup=w\r\n");
    EXPECT_EQ(Found(true), media_ + "m");
}

TEST_F(LauncherSearch, WorkingFolderWhenModuleFolderHasNothing) {
    Ini(media_, "[General]\r\nSetup=\r\n");
    Ini(work_, "[General]\r\nSetup=w\r\n");
    auto c = FindInstaller(media_, work_, "Linux:V6.1", false);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->dir, work_);
    EXPECT_EQ(c->value, "w");
    EXPECT_EQ(c->installer, work_ + "w");
}

TEST_F(LauncherSearch, UnknownFoldersSkipped) {
    Ini(work_, "[General]\r\nSetup=w\r\n");
    EXPECT_EQ(FindInstaller("", work_, "Linux:V6.1", false)->installer, work_ + "w");
    EXPECT_FALSE(FindInstaller(media_, "", "Linux:V6.1", false));
}

TEST_F(LauncherSearch, ValueAppendedUnchanged) {
    Ini(media_, "[General]\r\nSetup= \"/abs/setup.sh\" \r\n");
    EXPECT_EQ(Found(false), media_ + "/abs/setup.sh");
}

// Install media show names in any case: "Setup.ini" and the installer's folders and file are
// matched without regard to case, the exact spelling first.
TEST_F(LauncherSearch, NamesMatchWithoutRegardToCase) {
    struct Case {
        const char* what;
        std::vector<std::string> iniNames; // files written, each naming its own installer
        std::string value;                 // value in every file; "%" replaced by the file name
        std::vector<std::string> onDisk;   // installer files created below the media folder
        std::string expected;              // installer path below the media folder
    };
    const Case cases[] = {
        {"lower-case file", {"setup.ini"}, "s.sh", {}, "s.sh"},
        {"upper-case file", {"SETUP.INI"}, "s.sh", {}, "s.sh"},
        {"exact spelling preferred", {"setup.ini", "Setup.ini", "SETUP.INI"}, "%", {}, "Setup.ini"},
        {"first in byte order without it", {"setup.ini", "SETUP.INI"}, "%", {}, "SETUP.INI"},
        {"folders and file of the value",
         {"Setup.ini"},
         "Disk1/Linux/setup.sh",
         {"DISK1/LINUX/SETUP.SH"},
         "DISK1/LINUX/SETUP.SH"},
        {"exact installer preferred",
         {"Setup.ini"},
         "disk/a.sh",
         {"disk/a.sh", "DISK/A.SH"},
         "disk/a.sh"},
        {"a part without any match keeps the value",
         {"Setup.ini"},
         "Disk1/none.sh",
         {"DISK1/other.sh"},
         "Disk1/none.sh"},
    };
    for (const Case& c : cases) {
        fs::remove_all(media_);
        fs::create_directory(media_);
        for (const std::string& name : c.iniNames) {
            std::string value = c.value;
            if (value == "%") value = name;
            std::ofstream(media_ + name, std::ios::binary)
                << "[General]\r\nSetup=" << value << "\r\n";
        }
        for (const std::string& f : c.onDisk) {
            fs::create_directories(fs::path(media_ + f).parent_path());
            std::ofstream(media_ + f) << "x";
        }
        auto found = FindInstaller(media_, "", "Linux:V6.1", false);
        ASSERT_TRUE(found) << c.what;
        EXPECT_EQ(found->installer, media_ + c.expected) << c.what;
        EXPECT_EQ(found->dir, media_) << c.what;
    }
}

} // namespace
