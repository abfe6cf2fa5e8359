// Reading and writing keys of the current language file: escapes, fallbacks, sections.
#include "LangTestSupport.h"
#include <gtest/gtest.h>
#include <lvlang/clsLanguage.h>
#include <lvlang/modLanguage.h>

using lvlang::clsLanguage;

namespace {

class Keys : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path;
    std::unique_ptr<clsLanguage> lang;
    void SetUp() override {
        path = langtest::WriteFile(dir.path(), "t.lng",
                                   "[INFO]\r\nFont.Name=Tahoma\r\n"
                                   "[LANGUGAE]\r\n"
                                   "lines=Line1\\nLine2\r\n"
                                   "temp=C:\\\\Temp\r\n"
                                   "bsn=\\\\n\r\n"
                                   "13502=  Gel\xF6scht!  \r\n"
                                   "empty=\r\n"
                                   "quoted=\" x \"\r\n"
                                   "[General]\r\nk=general value\r\n");
        lang = std::make_unique<clsLanguage>(dir.path());
        ASSERT_TRUE(lang->OpenFile(path));
    }
};

struct StringCase {
    const char* what;
    QString id;
    QString fallback;
    QString result;
};

TEST_F(Keys, GetStringAppliesReadEscapesAndFallbacks) {
    const StringCase cases[] = {
        {"line break", "lines", "fb", "Line1\r\nLine2"},
        {"backslash pair", "temp", "fb", "C:\\Temp"},
        {"backslash pair first", "bsn", "fb", "\\n"},
        {"value trimmed", "13502", "fb", QString::fromUtf8("Gelöscht!")},
        {"empty value gives fallback unchanged", "empty", "a\\nb", "a\\nb"},
        {"missing key gives fallback through escapes", "nothing", "a\\nb\\\\c", "a\r\nb\\c"},
        {"ids match without case", "LINES", "fb", "Line1\r\nLine2"},
        {"one pair of quotes removed", "quoted", "fb", " x "},
    };
    for (const auto& c : cases)
        EXPECT_EQ(lang->GetString(c.id, c.fallback), c.result) << c.what;
}

TEST_F(Keys, SectionsAndDefaultSection) {
    EXPECT_EQ(lang->Section(), "General");
    EXPECT_EQ(lang->GetKeyValue("k", "fb"), "general value");
    EXPECT_EQ(lang->GetKeyValue("Font.Name", "fb", "Info"), "Tahoma");
    lang->setSection("INFO");
    EXPECT_EQ(lang->GetKeyValue("font.name", "fb"), "Tahoma");
    lang->setSection("");
    EXPECT_EQ(lang->Section(), "General");
}

TEST_F(Keys, GetKeyValueExReadsTheNamedFile) {
    const QString other = langtest::WriteFile(dir.path(), "o.lng", "[S]\r\na=other\r\nb=\r\n");
    QString v;
    EXPECT_TRUE(lang->GetKeyValueEx(v, "a", "fb", "S", other));
    EXPECT_EQ(v, "other");
    EXPECT_TRUE(lang->GetKeyValueEx(v, "missing", "fb", "S", "  " + other + " "));
    EXPECT_EQ(v, "fb");
    EXPECT_FALSE(lang->GetKeyValueEx(v, "b", "", "S", other));
    EXPECT_EQ(v, "");
    EXPECT_FALSE(lang->GetKeyValueEx(v, "a", "fb", "S", dir.path() + "/none.lng"));
    EXPECT_EQ(v, "fb");
}

TEST_F(Keys, SetStringWritesEscapesAndReadsBack) {
    EXPECT_TRUE(lang->SetString("20000", "Zeile 1\r\nC:\\Pfad"));
    EXPECT_EQ(lang->GetString("20000", "fb"), "Zeile 1\r\nC:\\Pfad");
    EXPECT_TRUE(lang->SetString("13502", QString::fromUtf8("Ä")));
    EXPECT_EQ(lang->GetString("13502", "fb"), QString::fromUtf8("Ä"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray bytes = f.readAll();
    EXPECT_TRUE(bytes.contains("20000=Zeile 1\\nC:\\\\Pfad\r\n")) << bytes.toStdString();
    EXPECT_TRUE(bytes.contains("\xC4\r\n")) << bytes.toStdString(); // windows-1252
    EXPECT_FALSE(bytes.contains("\xC3\x84"));
    EXPECT_TRUE(bytes.contains("[General]\r\nk=general value\r\n"));
}

TEST_F(Keys, FileChangedBehindTheCacheIsReadAgain) {
    EXPECT_EQ(lang->GetString("13502", "fb"), QString::fromUtf8("Gelöscht!"));
    // Another program rewrites the file (different size, so even a coarse clock shows it).
    langtest::WriteFile(dir.path(), "t.lng", "[LANGUGAE]\r\n13502=Neu geschrieben\r\n");
    EXPECT_EQ(lang->GetString("13502", "fb"), "Neu geschrieben");
}

TEST_F(Keys, OpenFileRelativeToTheLanguageFolder) {
    EXPECT_TRUE(lang->OpenFile("t.lng"));
    EXPECT_EQ(lang->CurrentFile(), dir.path() + "/t.lng");
    EXPECT_FALSE(lang->OpenFile("none.lng"));
    EXPECT_EQ(lang->GetString("lines", "fb"), "fb");
}

TEST_F(Keys, NoCurrentFileCannotBeWritten) {
    clsLanguage empty(dir.path() + "/none");
    EXPECT_FALSE(empty.SetString("1", "x"));
    EXPECT_FALSE(QFile::exists(dir.path() + "/none"));
}

TEST(Escapes, ReadAndWriteAreInverse) {
    const QString texts[] = {"plain", "a\r\nb", "C:\\Temp", "\\n literally", "\\", "x\\\r\n"};
    for (const QString& t : texts)
        EXPECT_EQ(clsLanguage::ReadEscapes(clsLanguage::WriteEscapes(t)), t) << t.toStdString();
    EXPECT_EQ(clsLanguage::WriteEscapes("a\r\nb\\c"), "a\\nb\\\\c");
    EXPECT_EQ(clsLanguage::ReadEscapes("a\\tb\\"), "a\\tb\\");
}

} // namespace

#include "ProfileCache.h"
#include <lvlang/StringCatalogue.h>

namespace {

// Keeping the parsed file between lookups gives exactly what reading it afresh gives.
TEST(ProfileCacheUse, CachedAndFreshReadsAgree) {
    const QString dir = QString(LORVANE_DATA_DIR) + "/Language";
    clsLanguage lang(dir);
    ASSERT_TRUE(lang.OpenFile("Deutsch.lng"));
    QStringList cached, fresh;
    for (const auto& e : lvlang::StringCatalogue())
        cached << lang.GetString(e.id, "-");
    lvlang::ProfileCache::SetEnabled(false);
    for (const auto& e : lvlang::StringCatalogue())
        fresh << lang.GetString(e.id, "-");
    lvlang::ProfileCache::SetEnabled(true);
    EXPECT_EQ(cached, fresh);
    EXPECT_EQ(cached.size(), 159);
}

} // namespace
