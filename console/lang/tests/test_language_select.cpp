// Listing language files and choosing the current one by locale id, stored name or 1033.
#include "LangTestSupport.h"
#include <QComboBox>
#include <gtest/gtest.h>
#include <lvlang/ComboLanguageBox.h>
#include <lvlang/LocaleInfo.h>
#include <lvlang/Settings.h>
#include <lvlang/clsLanguage.h>
#include <unicode/uloc.h>

using lvlang::clsLanguage;

namespace {

// Each test starts with no stored choice and the C locale as the system's.
class Select : public ::testing::Test {
protected:
    QTemporaryDir dir;
    void SetUp() override {
        lvlang::DeleteSetting("Language");
        UErrorCode err = U_ZERO_ERROR;
        uloc_setDefault("en_US", &err);
    }
    void TearDown() override { lvlang::DeleteSetting("Language"); }
    QString File(const QString& name, const QByteArray& id, const QByteArray& lang,
                 const QByteArray& version = "1.0") {
        return langtest::WriteFile(dir.path(), name,
                                   langtest::LangFile(id, lang, "13502=" + lang + "\r\n", version));
    }
    static void Store(const QString& lcid, const QString& name) {
        lvlang::SaveSetting("Language", "DefaultLCID", lcid);
        lvlang::SaveSetting("Language", "Language", name);
    }
};

TEST_F(Select, EmptyFolderGivesFallbacks) {
    clsLanguage lang(dir.path());
    EXPECT_EQ(lang.CurrentFile(), "");
    EXPECT_TRUE(lang.Languages().empty());
    EXPECT_EQ(lang.GetString("13502", "ERASE records OK!"), "ERASE records OK!");
}

TEST_F(Select, MissingFolderGivesFallbacks) {
    clsLanguage lang(dir.path() + "/nothing");
    EXPECT_EQ(lang.CurrentFile(), "");
    EXPECT_EQ(lang.GetString("13502", "fb"), "fb");
}

TEST_F(Select, SameIdTwiceTheLaterFileWins) {
    Store("1031", "");
    File("a.lng", "1031", "Deutsch A");
    const QString b = File("b.lng", "1031", "Deutsch B");
    clsLanguage lang(dir.path());
    EXPECT_EQ(lang.CurrentFile(), b);
    EXPECT_EQ(lang.CurrentLanguage(), "Deutsch B");
    EXPECT_EQ(lang.GetString("13502", "fb"), "Deutsch B");
}

TEST_F(Select, StoredNameWhenIdHasNoFile) {
    Store("1041", "Deutsch");
    File("de.lng", "1031", "Deutsch");
    File("en.lng", "1033", "English");
    clsLanguage lang(dir.path());
    EXPECT_EQ(lang.CurrentFile(), dir.path() + "/de.lng");
    EXPECT_EQ(lang.CurrentLCID(), 1041);
}

TEST_F(Select, NameMatchIsCaseSensitiveThen1033) {
    Store("1041", "deutsch");
    File("de.lng", "1031", "Deutsch");
    File("en.lng", "1033", "English");
    clsLanguage lang(dir.path());
    EXPECT_EQ(lang.CurrentFile(), dir.path() + "/en.lng");
    EXPECT_EQ(lang.CurrentLanguage(), "deutsch"); // the 1033 fallback does not rename
}

TEST_F(Select, StoredMinusOneMeansSystemDefault) {
    Store("-1", "");
    UErrorCode err = U_ZERO_ERROR;
    uloc_setDefault("de_DE", &err);
    File("de.lng", "0x0407", "Deutsch");
    File("en.lng", "1033", "English");
    clsLanguage lang(dir.path());
    EXPECT_EQ(lang.CurrentLCID(), 1031);
    EXPECT_EQ(lang.CurrentFile(), dir.path() + "/de.lng");
    EXPECT_EQ(lang.SystemLanguageName(), "German");
}

TEST_F(Select, StoredLcidInHex) {
    Store("&H407", "");
    File("de.lng", "1031", "Deutsch");
    clsLanguage lang(dir.path());
    EXPECT_EQ(lang.CurrentLCID(), 1031);
    EXPECT_EQ(lang.CurrentFile(), dir.path() + "/de.lng");
}

TEST_F(Select, OldVersionsAndRejectedFilesAreNotListed) {
    Store("1031", "");
    File("old.lng", "1031", "Old", "0.9");
    File("nov.lng", "1031", "NoVersion", "");
    File("bad.lng", "abc", "Bad");
    File("txt.txt", "1031", "NotALanguageFile");
    const QString ok = File("ok.LNG", "1031", "Ok");
    clsLanguage lang(dir.path());
    ASSERT_EQ(lang.Languages().size(), 1u);
    EXPECT_EQ(lang.Languages()[0].Language, "Ok");
    EXPECT_EQ(lang.CurrentFile(), ok);
}

TEST_F(Select, LanguageVersionRaisesTheBar) {
    Store("1031", "");
    File("a.lng", "1031", "A", "1.0");
    File("b.lng", "1031", "B", "2.0");
    clsLanguage lang(dir.path());
    lang.setLanguageVersion(1.5);
    std::int32_t id = 1031;
    lang.ListRefresh(id);
    ASSERT_EQ(lang.Languages().size(), 1u);
    EXPECT_EQ(lang.Languages()[0].Language, "B");
    EXPECT_EQ(id, 1031);
}

TEST_F(Select, BoxIsFilledAndFollowsTheChoice) {
    Store("1033", "English");
    File("a_de.lng", "1031", "Deutsch");
    File("b_en.lng", "1033", "English");
    File("c_fr.lng", "1036",
         "Fran\xE7"
         "ais");
    clsLanguage lang(dir.path());
    QComboBox combo;
    lvlang::ComboLanguageBox box(&combo);
    lang.SetLanguageBox(&box);
    ASSERT_EQ(combo.count(), 3);
    EXPECT_EQ(combo.itemText(2), QString::fromUtf8("Français"));
    EXPECT_EQ(combo.itemData(0).toInt(), 1031);
    EXPECT_EQ(combo.currentText(), "English");

    combo.setCurrentIndex(0);
    lang.UpdateLanguageBoxChange();
    EXPECT_EQ(lang.CurrentLCID(), 1031);
    EXPECT_EQ(lang.CurrentLanguage(), "Deutsch");
    EXPECT_EQ(lang.CurrentFile(), dir.path() + "/a_de.lng");
    EXPECT_EQ(combo.currentText(), "Deutsch");
    EXPECT_EQ(lang.GetString("13502", "fb"), "Deutsch");
}

TEST_F(Select, ChoiceIsStoredWhenTheObjectEnds) {
    File("de.lng", "1031", "Deutsch");
    {
        clsLanguage lang(dir.path());
        QComboBox combo;
        lvlang::ComboLanguageBox box(&combo);
        lang.SetLanguageBox(&box);
        combo.setCurrentIndex(0);
        lang.UpdateLanguageBoxChange();
        lang.SetLanguageBox(nullptr);
    }
    EXPECT_EQ(lvlang::GetSetting("Language", "DefaultLCID"), "1031");
    EXPECT_EQ(lvlang::GetSetting("Language", "Language"), "Deutsch");
    clsLanguage again(dir.path());
    EXPECT_EQ(again.CurrentFile(), dir.path() + "/de.lng");
}

TEST(LocaleInfo, LcidsAndNames) {
    EXPECT_EQ(lvlang::LcidForLocale("de_DE"), 1031);
    EXPECT_EQ(lvlang::LcidForLocale("ja_JP"), 1041);
    EXPECT_EQ(lvlang::LocaleForLcid(1041), "ja_JP");
    EXPECT_EQ(lvlang::LocaleForLcid(0), "");
    EXPECT_EQ(lvlang::EnglishLanguageName(1041), "Japanese");
    EXPECT_EQ(lvlang::EnglishLanguageName(1033), "English");
    EXPECT_EQ(lvlang::EnglishLanguageName(0x7FFF0000), "");
    UErrorCode err = U_ZERO_ERROR;
    uloc_setDefault("ja_JP", &err);
    EXPECT_EQ(lvlang::SystemDefaultLcid(), 1041);
    uloc_setDefault("en_US_POSIX", &err);
    EXPECT_EQ(lvlang::SystemDefaultLcid(), 1033);
}

} // namespace
