// Profile files on disk: reading, writing through a temporary file, and folders or devices
// that fail on purpose.
#include "lvprofile/Profile.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace lvprofile;

namespace {

class ProfileFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "lvprofile-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir_, ec);
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    static void Put(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string Get(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_))
            names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    fs::path dir_;
};

TEST_F(ProfileFile, MissingFileGivesFallback) {
    EXPECT_EQ(ReadProfileString(Path("none.ini"), "s", "k", "fb"), "fb");
    EXPECT_EQ(ReadProfileString(Path("no/folder/x.ini"), "s", "k", "fb"), "fb");
    EXPECT_TRUE(ProfileSectionNames(Path("none.ini")).empty());
    Profile p;
    std::string error;
    EXPECT_FALSE(LoadProfile(Path("none.ini"), &p, &error));
    EXPECT_EQ(error, "\"" + Path("none.ini") + "\" does not exist");
}

TEST_F(ProfileFile, ReadsSectionsKeysAndValues) {
    Put(Path("a.ini"), "[One]\r\nk= \"v 1\" \r\n[two]\nx=1\ny=2\n[ONE]\nz=3\n");
    EXPECT_EQ(ReadProfileString(Path("a.ini"), "one", "K", "fb"), "v 1");
    EXPECT_EQ(ReadProfileString(Path("a.ini"), "one", "z", "fb"), "fb");
    EXPECT_EQ(ProfileSectionNames(Path("a.ini")), (std::vector<std::string>{"One", "two"}));
    EXPECT_EQ(ProfileKeyNames(Path("a.ini"), "TWO"), (std::vector<std::string>{"x", "y"}));
}

TEST_F(ProfileFile, WriteCreatesFileThenAddsKeys) {
    const std::string f = Path("new.ini");
    std::string error;
    ASSERT_TRUE(WriteProfileString(f, "Language", "DefaultLCID", "1031", &error)) << error;
    ASSERT_TRUE(WriteProfileString(f, "Language", "Language", "Deutsch", &error)) << error;
    ASSERT_TRUE(WriteProfileString(f, "General", "Setup", "setup.sh", &error)) << error;
    ASSERT_TRUE(WriteProfileString(f, "language", "defaultlcid", "1033", &error)) << error;
    EXPECT_EQ(Get(f), "[Language]\r\nDefaultLCID=1033\r\nLanguage=Deutsch\r\n"
                      "[General]\r\nSetup=setup.sh\r\n");
    EXPECT_EQ(Entries(), std::vector<std::string>{"new.ini"}); // no temporary file left
}

TEST_F(ProfileFile, WriteKeepsEveryOtherByte) {
    const std::string f = Path("keep.ini");
    const std::string before = "; made by hand\n[A]\rx = 1 ; note\r\n\r\n[B]\n y=\"2\"\n\x01\xff";
    Put(f, before);
    ASSERT_TRUE(WriteProfileString(f, "b", "Y", "3"));
    EXPECT_EQ(Get(f), "; made by hand\n[A]\rx = 1 ; note\r\n\r\n[B]\n y=3\n\x01\xff");
}

TEST_F(ProfileFile, DeleteKeyAndSection) {
    const std::string f = Path("d.ini");
    Put(f, "[a]\nx=1\ny=2\n[b]\nz=3\n");
    ASSERT_TRUE(DeleteProfileKey(f, "a", "x"));
    ASSERT_TRUE(DeleteProfileSection(f, "b"));
    EXPECT_EQ(Get(f), "[a]\ny=2\n");
    ASSERT_TRUE(DeleteProfileKey(Path("none.ini"), "a", "x"));
    EXPECT_FALSE(fs::exists(Path("none.ini"))); // deleting from nothing creates nothing
}

TEST_F(ProfileFile, UnchangedWriteLeavesFileAlone) {
    const std::string f = Path("same.ini");
    Put(f, "[s]\nk=v\n");
    struct stat before {};
    ASSERT_EQ(::stat(f.c_str(), &before), 0);
    ASSERT_TRUE(WriteProfileString(f, "S", "K", "v"));
    struct stat after {};
    ASSERT_EQ(::stat(f.c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST_F(ProfileFile, WriteKeepsPermissionBits) {
    const std::string f = Path("mode.ini");
    Put(f, "[s]\nk=v\n");
    ASSERT_EQ(::chmod(f.c_str(), 0640), 0);
    ASSERT_TRUE(WriteProfileString(f, "s", "k", "w"));
    struct stat st {};
    ASSERT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(ProfileFile, WriteFollowsSymbolicLink) {
    const std::string target = Path("target.ini");
    const std::string link = Path("link.ini");
    Put(target, "[s]\nk=v\n");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    ASSERT_TRUE(WriteProfileString(link, "s", "k", "w"));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(Get(target), "[s]\nk=w\n");
}

TEST_F(ProfileFile, DirectoryIsNoProfile) {
    const std::string d = Path("dir.ini");
    fs::create_directory(d);
    EXPECT_EQ(ReadProfileString(d, "s", "k", "fb"), "fb");
    std::string error;
    EXPECT_FALSE(WriteProfileString(d, "s", "k", "v", &error));
    EXPECT_EQ(error, "\"" + d + "\" is not a regular file");
}

TEST_F(ProfileFile, FifoDoesNotBlockReader) {
    const std::string f = Path("fifo.ini");
    ASSERT_EQ(::mkfifo(f.c_str(), 0600), 0);
    EXPECT_EQ(ReadProfileString(f, "s", "k", "fb"), "fb");
    std::string error;
    EXPECT_FALSE(WriteProfileString(f, "s", "k", "v", &error));
    EXPECT_EQ(error, "\"" + f + "\" is not a regular file");
}

TEST_F(ProfileFile, MissingFolderRefusesWrite) {
    const std::string f = Path("missing/x.ini");
    std::string error;
    EXPECT_FALSE(WriteProfileString(f, "s", "k", "v", &error));
    EXPECT_EQ(error,
              "Cannot create a temporary file beside \"" + f + "\": No such file or directory");
}

TEST_F(ProfileFile, FolderOfTheSystemRefusesWrite) {
    // /proc takes no new files, whoever asks.
    std::string error;
    EXPECT_FALSE(WriteProfileString("/proc/lorvane-profile-test.ini", "s", "k", "v", &error));
    EXPECT_EQ(error.rfind("Cannot create a temporary file beside \"/proc/lorvane-profile-test.ini"
                          "\": ",
                          0),
              0u)
        << error;
}

TEST_F(ProfileFile, FileTooLargeIsUnreadable) {
    const std::string f = Path("big.ini");
    Put(f, "[s]\nk=v\n");
    fs::resize_file(f, kMaxProfileBytes + 1);
    EXPECT_EQ(ReadProfileString(f, "s", "k", "fb"), "fb");
    std::string error;
    EXPECT_FALSE(WriteProfileString(f, "s", "k", "w", &error));
    EXPECT_EQ(error, "\"" + f + "\" is larger than 16777216 bytes");
    EXPECT_EQ(fs::file_size(f), kMaxProfileBytes + 1);
}

// A device that fails half-way: the file-size limit stops the write of the temporary file.
TEST_F(ProfileFile, FailedWriteKeepsOldFile) {
    const std::string f = Path("limited.ini");
    Put(f, "[s]\nk=v\n");
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string error;
    bool ok = WriteProfileString(f, "s", "k", std::string(10000, 'x'), &error);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, "Cannot write \"" + f + "\": File too large");
    EXPECT_EQ(Get(f), "[s]\nk=v\n");
    EXPECT_EQ(Entries(), std::vector<std::string>{"limited.ini"});
}

TEST_F(ProfileFile, ReadOnlyFileRefusesWrite) {
    if (::geteuid() == 0) GTEST_SKIP() << "root may write read-only files";
    const std::string f = Path("ro.ini");
    Put(f, "[s]\nk=v\n");
    ASSERT_EQ(::chmod(f.c_str(), 0444), 0);
    std::string error;
    EXPECT_FALSE(WriteProfileString(f, "s", "k", "w", &error));
    EXPECT_EQ(error, "Cannot write \"" + f + "\": Permission denied");
    EXPECT_EQ(Get(f), "[s]\nk=v\n");
}

TEST_F(ProfileFile, ReadOnlyFolderRefusesWrite) {
    if (::geteuid() == 0) GTEST_SKIP() << "root may write into read-only folders";
    const std::string f = Path("x.ini");
    Put(f, "[s]\nk=v\n");
    ASSERT_EQ(::chmod(dir_.c_str(), 0555), 0);
    std::string error;
    EXPECT_FALSE(WriteProfileString(f, "s", "k", "w", &error));
    EXPECT_EQ(error, "Cannot create a temporary file beside \"" + f + "\": Permission denied");
    EXPECT_EQ(Get(f), "[s]\nk=v\n");
}

TEST_F(ProfileFile, UnreadableFileIsNeitherReadNorReplaced) {
    if (::geteuid() == 0) GTEST_SKIP() << "root may read any file";
    const std::string f = Path("secret.ini");
    Put(f, "[s]\nk=v\n");
    ASSERT_EQ(::chmod(f.c_str(), 0200), 0);
    EXPECT_EQ(ReadProfileString(f, "s", "k", "fb"), "fb");
    std::string error;
    EXPECT_FALSE(WriteProfileString(f, "s", "j", "w", &error));
    EXPECT_EQ(error, "Cannot read \"" + f + "\": Permission denied");
    ASSERT_EQ(::chmod(f.c_str(), 0600), 0);
    EXPECT_EQ(Get(f), "[s]\nk=v\n");
}

} // namespace
