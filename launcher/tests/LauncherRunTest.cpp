// The real launcher binary, copied into a temporary "media" folder with a "Setup.ini" and
// small installer scripts that record where and how they were started.
#include "TestSupport.h"
#include "launcher/Launcher.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sstream>

using namespace std::string_literals;

namespace fs = std::filesystem;

namespace {

class LauncherRun : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "lvlaunchrun-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        root_ = fs::path(tmpl);
        fs::create_directory(root_ / "media");
        fs::create_directory(root_ / "work");
        media_ = (root_ / "media").string() + "/";
        work_ = (root_ / "work").string() + "/";
        record_ = (root_ / "record").string();
        const std::string built = lvtest::binPath("launcher").toStdString();
        ASSERT_TRUE(fs::exists(built)) << built;
        fs::copy_file(built, media_ + "launcher");
        fs::permissions(media_ + "launcher", fs::perms::owner_all, fs::perm_options::add);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    static void Write(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    // An installer that records its working folder, its name as started and its argument
    // count, then exits with `code`.
    static void Installer(const std::string& path, int code) {
        fs::create_directories(fs::path(path).parent_path());
        Write(path, "#!/bin/sh\n{ pwd -P; printf '%s\\n' \"$0\" \"$#\"; } > \"$LV_RECORD\"\nexit " +
                        std::to_string(code) + "\n");
        fs::permissions(path, fs::perms::owner_all);
    }
    std::string Record() const {
        std::ifstream in(record_, std::ios::binary);
        if (!in) return "<not started>";
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // What an installer started from `dir` as `path` writes.
    static std::string Started(const std::string& dir, const std::string& path) {
        std::string d = dir;
        if (d.size() > 1 && d.back() == '/') d.pop_back();
        return d + "\n" + path + "\n0\n";
    }
    // Runs the launcher in the working folder and returns its exit code.
    int Launch(const QStringList& args = {}) const {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LV_RECORD", QString::fromStdString(record_));
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(QString::fromStdString(work_));
        p.start(QString::fromStdString(media_ + "launcher"), args);
        if (!p.waitForFinished(60000)) {
            p.kill();
            p.waitForFinished(5000);
            ADD_FAILURE() << "launcher did not finish";
            return -1000;
        }
        if (p.exitStatus() != QProcess::NormalExit) {
            ADD_FAILURE() << "launcher crashed";
            return -1000;
        }
        return p.exitCode();
    }

    std::string osKey_ = lvlauncher::CurrentOsKey();
    fs::path root_;
    std::string media_, work_, record_;
};

TEST_F(LauncherRun, GeneralSetupNextToLauncherRunsAnywhere) {
    Write(media_ + "Setup.ini", "[General]\r\nSetup=setup.sh\r\n");
    Installer(media_ + "setup.sh", 0);
    EXPECT_EQ(Launch(), 0);
    EXPECT_EQ(Record(), Started(media_, media_ + "setup.sh"));
}

// Media copied from a disc that shows every name in capitals.
TEST_F(LauncherRun, UpperCaseMediaStartTheInstaller) {
    Write(media_ + "SETUP.INI", "[General]\r\nSetup=Linux/Setup.sh\r\n");
    Installer(media_ + "LINUX/SETUP.SH", 4);
    EXPECT_EQ(Launch(), 4);
    EXPECT_EQ(Record(), Started(media_, media_ + "LINUX/SETUP.SH"));
}

TEST_F(LauncherRun, ExitCodeOfInstallerPassedOn) {
    Write(media_ + "Setup.ini", "[General]\r\nSetup=setup.sh\r\n");
    Installer(media_ + "setup.sh", 3);
    EXPECT_EQ(Launch(), 3);
    EXPECT_EQ(Record(), Started(media_, media_ + "setup.sh"));
}

TEST_F(LauncherRun, InstallerEndedBySignal) {
    Write(media_ + "Setup.ini", "[General]\r\nSetup=setup.sh\r\n");
    Write(media_ + "setup.sh", "#!/bin/sh\nkill -TERM $$\n");
    fs::permissions(media_ + "setup.sh", fs::perms::owner_all);
    EXPECT_EQ(Launch(), 128 + 15);
}

TEST_F(LauncherRun, SystemSectionBeforeGeneral) {
    Write(media_ + "Setup.ini",
          "[General]\r\nSetup=any.sh\r\n[" + osKey_ + "]\r\nSetup=linux/setup.sh\r\n");
    Installer(media_ + "any.sh", 1);
    Installer(media_ + "linux/setup.sh", 7);
    EXPECT_EQ(Launch(), 7);
    EXPECT_EQ(Record(), Started(media_, media_ + "linux/setup.sh"));
}

TEST_F(LauncherRun, X64SetupUnusedByA64BitBuild) {
    Write(media_ + "Setup.ini",
          "[" + osKey_ + "]\r\nx64Setup=x64.sh\r\n[General]\r\nSetup=s.sh\r\n");
    Installer(media_ + "x64.sh", 64);
    Installer(media_ + "s.sh", 32);
    EXPECT_EQ(Launch(), sizeof(void*) == 8 ? 32 : 64);
}

TEST_F(LauncherRun, EmptyValueCountsAsAbsent) {
    Write(media_ + "Setup.ini", "[" + osKey_ + "]\r\nSetup=\r\n[General]\r\nSetup=  \"\"  \r\n");
    Write(work_ + "Setup.ini", "[General]\r\nSetup=w.sh\r\n");
    Installer(work_ + "w.sh", 5);
    EXPECT_EQ(Launch(), 5);
    EXPECT_EQ(Record(), Started(work_, work_ + "w.sh"));
}

TEST_F(LauncherRun, WorkingFolderUsedWhenLauncherFolderHasNoFile) {
    Write(work_ + "Setup.ini", "[" + osKey_ + "]\r\nSetup=w.sh\r\n");
    Installer(work_ + "w.sh", 4);
    Installer(media_ + "w.sh", 9);
    EXPECT_EQ(Launch(), 4);
    EXPECT_EQ(Record(), Started(work_, work_ + "w.sh"));
}

TEST_F(LauncherRun, LauncherFolderBeforeWorkingFolder) {
    Write(media_ + "Setup.ini", "[General]\r\nSetup=m.sh\r\n");
    Write(work_ + "Setup.ini", "[" + osKey_ + "]\r\nSetup=w.sh\r\n");
    Installer(media_ + "m.sh", 2);
    Installer(work_ + "w.sh", 4);
    EXPECT_EQ(Launch(), 2);
    EXPECT_EQ(Record(), Started(media_, media_ + "m.sh"));
}

TEST_F(LauncherRun, LeadingSlashStillAppended) {
    Write(media_ + "Setup.ini", "[General]\r\nSetup=/bin/setup.sh\r\n");
    Installer(media_ + "bin/setup.sh", 6);
    EXPECT_EQ(Launch(), 6);
    EXPECT_EQ(Record(), Started(media_, media_ + "/bin/setup.sh"));
}

TEST_F(LauncherRun, AbsolutePathStillAppended) {
    Installer(work_ + "elsewhere.sh", 8);
    Write(media_ + "Setup.ini", "[General]\r\nSetup=" + work_ + "elsewhere.sh\r\n");
    EXPECT_EQ(Launch(), 255); // <media>/<absolute path> does not exist
    EXPECT_EQ(Record(), "<not started>");
}

TEST_F(LauncherRun, CommandLineIgnored) {
    Write(media_ + "Setup.ini", "[General]\r\nSetup=setup.sh\r\n");
    Installer(media_ + "setup.sh", 3);
    EXPECT_EQ(Launch({"--help", "x64Setup"}), 3);
    EXPECT_EQ(Record(), Started(media_, media_ + "setup.sh"));
}

TEST_F(LauncherRun, ValueCutTo1023Bytes) {
    std::string value;
    while (value.size() < 1016)
        value += "./";
    value += "cut.sh"; // 1022 bytes so far
    value += "!tail";  // only "!" is left of this after the cut to 1023 bytes
    Write(media_ + "Setup.ini", "[General]\r\nSetup=" + value + "\r\n");
    Installer(media_ + "cut.sh!", 11);
    EXPECT_EQ(Launch(), 11);
    EXPECT_EQ(Record(), Started(media_, media_ + value.substr(0, 1023)));
}

struct NothingCase {
    const char* name;
    std::string ini;     // "Setup.ini" beside the launcher ("" = none)
    const char* prepare; // what is at media/x.sh: "none", "plain", "dir", "noshebang"
};

class LauncherNothingStarted : public LauncherRun,
                               public ::testing::WithParamInterface<NothingCase> {};

TEST_P(LauncherNothingStarted, ExitsWith255) {
    const NothingCase& c = GetParam();
    if (!c.ini.empty()) Write(media_ + "Setup.ini", c.ini);
    std::string what = c.prepare;
    if (what == "plain") {
        Write(media_ + "x.sh", "#!/bin/sh\ntouch \"$LV_RECORD\"\n");
        fs::permissions(media_ + "x.sh", fs::perms::owner_read | fs::perms::owner_write);
    } else if (what == "dir") {
        fs::create_directory(media_ + "x.sh");
    } else if (what == "noshebang") {
        Write(media_ + "x.sh", "touch \"$LV_RECORD\"\n");
        fs::permissions(media_ + "x.sh", fs::perms::owner_all);
    }
    EXPECT_EQ(Launch(), 255);
    EXPECT_EQ(Record(), "<not started>");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LauncherNothingStarted,
    ::testing::Values(
        NothingCase{"NoSetupIniAnywhere", "", "none"},
        NothingCase{"NoMatchingSection", "[Windows:V4.10]\r\nSetup=x.sh\r\n", "none"},
        NothingCase{"OnlyX64SetupOnA64BitBuild", "[General]\r\nx64Setup=x.sh\r\n", "none"},
        NothingCase{"EmptyValues", "[General]\r\nSetup=\r\nx64Setup=\r\n", "none"},
        NothingCase{"KeyWithoutEquals", "[General]\r\nSetup\r\n", "none"},
        NothingCase{"InstallerMissing", "[General]\r\nSetup=x.sh\r\n", "none"},
        NothingCase{"InstallerNotExecutable", "[General]\r\nSetup=x.sh\r\n", "plain"},
        NothingCase{"InstallerIsAFolder", "[General]\r\nSetup=x.sh\r\n", "dir"},
        NothingCase{"InstallerNotAProgram", "[General]\r\nSetup=x.sh\r\n", "noshebang"}),
    [](const auto& tpi) { return std::string(tpi.param.name); });

TEST_F(LauncherRun, BinarySetupIniNeverCrashes) {
    std::mt19937 rng(99);
    for (int round = 0; round < 5; ++round) {
        std::string bytes(65536, '\0');
        for (char& ch : bytes)
            ch = static_cast<char>(rng());
        Write(media_ + "Setup.ini", bytes);
        EXPECT_EQ(Launch(), 255) << "round " << round;
    }
    EXPECT_EQ(Record(), "<not started>");
}

TEST_F(LauncherRun, BinarySetupIniThenWorkingFolder) {
    std::string bytes = "\x00\xff[General\x00]\r\nSetup\x00=x\n\x1a"s;
    Write(media_ + "Setup.ini", bytes);
    Write(work_ + "Setup.ini", "[General]\nSetup=w.sh\n");
    Installer(work_ + "w.sh", 12);
    EXPECT_EQ(Launch(), 12);
}

TEST_F(LauncherRun, HugeSetupIniIsRead) {
    // 12 MB of other sections before the one that counts.
    std::string bytes;
    bytes.reserve(13u << 20);
    while (bytes.size() < (12u << 20))
        bytes += "[Other" + std::to_string(bytes.size()) + "]\r\nSetup=no\r\n";
    bytes += "[General]\r\nSetup=big.sh\r\n";
    Write(media_ + "Setup.ini", bytes);
    Installer(media_ + "big.sh", 13);
    EXPECT_EQ(Launch(), 13);
}

TEST_F(LauncherRun, OversizedSetupIniIsSkipped) {
    Write(media_ + "Setup.ini", "[General]\r\nSetup=m.sh\r\n");
    fs::resize_file(media_ + "Setup.ini", 40u << 20);
    Installer(media_ + "m.sh", 1);
    Write(work_ + "Setup.ini", "[General]\r\nSetup=w.sh\r\n");
    Installer(work_ + "w.sh", 14);
    EXPECT_EQ(Launch(), 14);
}

TEST_F(LauncherRun, MegabyteLineCutAtValueBuffer) {
    Write(media_ + "Setup.ini", "[General]\r\nSetup=" + std::string(1 << 20, 'y') + "\r\n");
    EXPECT_EQ(Launch(), 255); // media/yyyy... (1023 bytes) is no file
}

} // namespace
