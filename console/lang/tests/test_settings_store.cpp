// The per-user settings store and the program data folder.
#include "LangTestSupport.h"
#include <QCoreApplication>
#include <QSettings>
#include <gtest/gtest.h>
#include <lvlang/DataDir.h>
#include <lvlang/Settings.h>

namespace {

TEST(SettingsStore, MissingKeyGivesFallback) {
    EXPECT_EQ(lvlang::GetSetting("General", "Nothing", "fb"), "fb");
    EXPECT_EQ(lvlang::GetSetting("General", "Nothing"), "");
}

TEST(SettingsStore, SavedValueIsReadBackFromTheUsersFile) {
    lvlang::SaveSetting("Language", "DefaultLCID", "1031");
    lvlang::SaveSetting("SaveOptions", "Path", "a b=c");
    EXPECT_EQ(lvlang::GetSetting("Language", "DefaultLCID", "-1"), "1031");
    EXPECT_EQ(lvlang::GetSetting("SaveOptions", "Path"), "a b=c");
    // The store lives under XDG_CONFIG_HOME, application "Lorvane".
    const QString file = langtest::ConfigHome() + "/Lorvane/Lorvane.conf";
    ASSERT_TRUE(QFile::exists(file)) << file.toStdString();
    QSettings raw(file, QSettings::IniFormat);
    EXPECT_EQ(raw.value("Language/DefaultLCID").toString(), "1031");
}

TEST(SettingsStore, DeleteKeyAndSection) {
    lvlang::SaveSetting("File", "A", "1");
    lvlang::SaveSetting("File", "B", "2");
    lvlang::DeleteSetting("File", "A");
    EXPECT_EQ(lvlang::GetSetting("File", "A", "gone"), "gone");
    EXPECT_EQ(lvlang::GetSetting("File", "B"), "2");
    lvlang::DeleteSetting("File");
    EXPECT_EQ(lvlang::GetSetting("File", "B", "gone"), "gone");
}

TEST(ProgramDataDir, EnvironmentWins) {
    qputenv("LORVANE_HOME", "/opt/x/../lorvane/");
    EXPECT_EQ(lvlang::ProgramDataDir(), "/opt/lorvane");
    EXPECT_EQ(lvlang::LanguageDir(), "/opt/lorvane/Language");
    qunsetenv("LORVANE_HOME");
}

TEST(ProgramDataDir, BesideTheExecutable) {
    qunsetenv("LORVANE_HOME");
    const QString expected =
        QDir::cleanPath(QCoreApplication::applicationDirPath() + "/../share/lorvane");
    EXPECT_EQ(lvlang::ProgramDataDir(), expected);
    // In the build tree that is the build's program data folder.
    EXPECT_EQ(QDir(expected).canonicalPath(), QDir(LORVANE_DATA_DIR).canonicalPath());
}

} // namespace
