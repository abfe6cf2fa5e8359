// Reading a language file's INFO section, and files that are broken, huge or unreadable.
#include "LangTestSupport.h"
#include <QRandomGenerator>
#include <QStringEncoder>
#include <gtest/gtest.h>
#include <lvlang/AnsiCodec.h>
#include <lvlang/clsLanguage.h>
#include <unistd.h>

using lvlang::clsLanguage;
using lvlang::LanguageEntry;

namespace {

struct InfoCase {
    const char* what;
    QString fileName;
    QByteArray info; // lines of section INFO
    bool accepted;
    double version;
    int languageId;
    QString language;
    double fontSize;
    int charset;
};

TEST(ReadLanguageFile, ReadsInfoSection) {
    const InfoCase cases[] = {
        {"decimal id", "a.lng", "Version=1.5\r\nLanguageID=1033\r\nLanguage=English\r\n", true, 1.5,
         1033, "English", 0, 1},
        {"hex id", "a.lng", "LanguageID=0x0409\r\n", true, 0, 1033, "a", 0, 1},
        {"upper-case hex prefix", "a.lng", "LanguageID=0X407\r\n", true, 0, 1031, "a", 0, 1},
        {"blanks inside id removed", "a.lng", "LanguageID=0x 0409\r\n", true, 0, 1033, "a", 0, 1},
        {"hex without digits", "a.lng", "LanguageID=0x\r\n", true, 0, 0, "a", 0, 1},
        {"id that is no number rejects", "a.lng", "LanguageID=abc\r\n", false, 0, 0, "", 0, 1},
        {"missing id", "a.lng", "Language=X\r\n", true, 0, 0, "X", 0, 1},
        {"non-numeric version", "a.lng", "Version=one\r\n", true, 0, 0, "a", 0, 1},
        {"version with a decimal comma", "a.lng", "Version=1,5\r\n", true, 1.5, 0, "a", 0, 1},
        {"version with two commas", "a.lng", "Version=1,0,1\r\n", true, 0, 0, "a", 0, 1},
        {"font size with a decimal comma", "a.lng", "FontSize=9,5\r\n", true, 0, 0, "a", 9.5, 1},
        {"font size not numeric", "a.lng", "FontSize=big\r\n", true, 0, 0, "a", 8, 1},
        {"font size", "a.lng", "FontSize=9.5\r\n", true, 0, 0, "a", 9.5, 1},
        {"charset", "a.lng", "Charset=238\r\n", true, 0, 0, "a", 0, 238},
        {"bad charset", "a.lng", "Charset=x\r\n", true, 0, 0, "a", 0, 1},
        {"name from file", "Espanol.lng", "Version=1\r\n", true, 1, 0, "Espanol", 0, 1},
        {"only the extension", ".lng", "Version=1\r\n", true, 1, 0, "[Undefined]", 0, 1},
        {"text before the last dot", "pt.br.lng", "", true, 0, 0, "pt.br", 0, 1},
        {"blank language uses file name", "b.lng", "Language=   \r\n", true, 0, 0, "b", 0, 1},
        {"quoted values", "a.lng", "Language=\" Deutsch \"\r\nVersion='2'\r\n", true, 2, 0,
         "Deutsch", 0, 1},
        {"keys any case", "a.lng", "LANGUAGEID=1041\r\nlanguage=Nihongo\r\n", true, 0, 1041,
         "Nihongo", 0, 1},
    };
    for (const auto& c : cases) {
        QTemporaryDir dir;
        const QString path = langtest::WriteFile(dir.path(), c.fileName, "[info]\r\n" + c.info);
        LanguageEntry e;
        e.Language = "stale";
        EXPECT_EQ(clsLanguage::ReadLanguageFile(e, path), c.accepted) << c.what;
        if (!c.accepted) continue;
        EXPECT_DOUBLE_EQ(e.Version, c.version) << c.what;
        EXPECT_EQ(e.LanguageID, c.languageId) << c.what;
        EXPECT_EQ(e.Language, c.language) << c.what;
        EXPECT_DOUBLE_EQ(e.FontSize, c.fontSize) << c.what;
        EXPECT_EQ(e.Charset, c.charset) << c.what;
        EXPECT_EQ(e.FileName, path) << c.what;
    }
}

TEST(ReadLanguageFile, OtherTextFields) {
    QTemporaryDir dir;
    const QString path = langtest::WriteFile(
        dir.path(), "x.lng", "[INFO]\nCompanyName=ACME \xC4G\nProductName=Tool\nFontName=Arial\n");
    LanguageEntry e;
    ASSERT_TRUE(clsLanguage::ReadLanguageFile(e, path));
    EXPECT_EQ(e.CompanyName, QString::fromUtf8("ACME ÄG")); // windows-1252 byte C4
    EXPECT_EQ(e.ProductName, "Tool");
    EXPECT_EQ(e.FontName, "Arial");
}

// A language folder with one file that the test makes hostile, selected as the current file.
class BadFile : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString Write(const QByteArray& bytes) {
        return langtest::WriteFile(dir.path(), "Bad.lng", bytes);
    }
    // GetString through a language object whose current file is the bad one.
    QString Lookup(const QString& id, const QString& fallback) {
        clsLanguage lang(dir.path());
        lang.OpenFile(dir.path() + "/Bad.lng");
        return lang.GetString(id, fallback);
    }
};

TEST_F(BadFile, BinaryGarbageGivesFallbacks) {
    QByteArray junk(256 * 1024, '\0');
    QRandomGenerator rng(42);
    for (auto& b : junk)
        b = static_cast<char>(rng.bounded(256));
    const QString path = Write(junk);
    LanguageEntry e;
    EXPECT_TRUE(clsLanguage::ReadLanguageFile(e, path));
    EXPECT_EQ(e.Language, "Bad");
    EXPECT_EQ(Lookup("13502", "ERASE records OK!"), "ERASE records OK!");
}

TEST_F(BadFile, HundredThousandSections) {
    QByteArray b;
    for (int i = 0; i < 100000; ++i)
        b += "[S" + QByteArray::number(i) + "]\r\nk=v\r\n";
    b += "[LANGUGAE]\r\n13502=Last\r\n[INFO]\r\nLanguageID=1031\r\nLanguage=Many\r\n";
    const QString path = Write(b);
    LanguageEntry e;
    EXPECT_TRUE(clsLanguage::ReadLanguageFile(e, path));
    EXPECT_EQ(e.LanguageID, 1031);
    EXPECT_EQ(e.Language, "Many");
    EXPECT_EQ(Lookup("13502", "fb"), "Last");
    EXPECT_EQ(Lookup("13503", "fb"), "fb");
}

TEST_F(BadFile, MegabyteLinesAreCutTo1023Characters) {
    const QByteArray big(1024 * 1024, 'x');
    Write("[LANGUGAE]\r\n13502=" + big + "\r\n" + big + "\r\n13503=after\r\n[" + big +
          "\r\n13504=in a broken section\r\n");
    EXPECT_EQ(Lookup("13502", "fb"), QString(1023, 'x'));
    EXPECT_EQ(Lookup("13503", "fb"), "after");
}

TEST_F(BadFile, UnbalancedQuotesAreKept) {
    Write("[LANGUGAE]\r\n1=\"open\r\n2=close\"\r\n3=\"mixed'\r\n4=\"\"\r\n5=\"\"\"\r\n");
    EXPECT_EQ(Lookup("1", "fb"), "\"open");
    EXPECT_EQ(Lookup("2", "fb"), "close\"");
    EXPECT_EQ(Lookup("3", "fb"), "\"mixed'");
    EXPECT_EQ(Lookup("4", "fb"), "fb"); // empty after the quotes: the fallback, unchanged
    EXPECT_EQ(Lookup("5", "fb"), "\"");
}

TEST_F(BadFile, UnreadableFileGivesFallbacks) {
    // A folder where a file should be cannot be read by anyone, root included.
    ASSERT_TRUE(QDir(dir.path()).mkdir("Bad.lng"));
    LanguageEntry e;
    EXPECT_TRUE(clsLanguage::ReadLanguageFile(e, dir.path() + "/Bad.lng"));
    EXPECT_EQ(e.Version, 0);
    EXPECT_EQ(Lookup("13502", "ERASE records OK!\\nx"), "ERASE records OK!\r\nx");
    if (geteuid() != 0) {
        const QString path =
            langtest::WriteFile(dir.path(), "Locked.lng", "[LANGUGAE]\r\n13502=Secret\r\n");
        QFile::setPermissions(path, QFileDevice::Permissions());
        clsLanguage lang(dir.path());
        lang.OpenFile(path);
        EXPECT_EQ(lang.GetString("13502", "fb"), "fb");
    }
}

TEST_F(BadFile, FileRemovedAfterSelection) {
    const QString path = Write("[LANGUGAE]\r\n13502=Da\r\n");
    clsLanguage lang(dir.path());
    ASSERT_TRUE(lang.OpenFile(path));
    EXPECT_EQ(lang.GetString("13502", "fb"), "Da");
    QFile::remove(path);
    EXPECT_EQ(lang.GetString("13502", "fb"), "fb");
}

// The same German file saved the ways an editor saves it: in the ANSI code page, as UTF-8 with
// its mark, and as UTF-16 (both byte orders) with its mark. Each is listed, selected and read
// with the same letters.
TEST(LanguageFileEncodings, EveryMarkedEncodingReadsTheSameText) {
    const QString text = QString::fromUtf8(
        "[INFO]\r\nVersion=1,0\r\nLanguageID=1031\r\nLanguage=Deutsch \u00C4\r\n"
        "[LANGUGAE]\r\n13018=L\u00F6schen\r\n13500=L\u00F6sche...\\nBitte warten\u2026\r\n");
    struct Case {
        const char* what;
        QByteArray bytes;
        QString ellipsis; // windows-1252 has the ellipsis as byte 0x85
    };
    auto utf16 = [&](QStringConverter::Encoding e, const QByteArray& mark) {
        QStringEncoder enc(e);
        return mark + QByteArray(enc(text));
    };
    const Case cases[] = {
        {"ANSI code page", lvlang::AnsiCodec::fromUnicode(text), QString::fromUtf8("\u2026")},
        {"UTF-8 with its mark", "\xEF\xBB\xBF" + text.toUtf8(), QString::fromUtf8("\u2026")},
        {"UTF-16 little-endian", utf16(QStringConverter::Utf16LE, "\xFF\xFE"),
         QString::fromUtf8("\u2026")},
        {"UTF-16 big-endian", utf16(QStringConverter::Utf16BE, "\xFE\xFF"),
         QString::fromUtf8("\u2026")},
    };
    for (const Case& c : cases) {
        QTemporaryDir dir;
        const QString path = langtest::WriteFile(dir.path(), "Deutsch.lng", c.bytes);
        LanguageEntry e;
        ASSERT_TRUE(clsLanguage::ReadLanguageFile(e, path)) << c.what;
        EXPECT_EQ(e.LanguageID, 1031) << c.what;
        EXPECT_EQ(e.Language, QString::fromUtf8("Deutsch \u00C4")) << c.what;
        EXPECT_DOUBLE_EQ(e.Version, 1.0) << c.what;
        clsLanguage lang(dir.path());
        ASSERT_EQ(lang.Languages().size(), 1u) << c.what << ": the file is listed";
        std::int32_t lcid = 1031;
        lang.ListRefresh(lcid);
        EXPECT_EQ(lang.CurrentFile(), path) << c.what;
        EXPECT_EQ(lang.GetString("13018", "Delete"), QString::fromUtf8("L\u00F6schen")) << c.what;
        EXPECT_EQ(lang.GetString("13500", "fb"),
                  QString::fromUtf8("L\u00F6sche...\r\nBitte warten") + c.ellipsis)
            << c.what;
        // The same bytes given in memory read the same, without a file.
        LanguageEntry m;
        ASSERT_TRUE(clsLanguage::ReadLanguageBytes(m, c.bytes, QStringLiteral("mem.lng")))
            << c.what;
        EXPECT_EQ(m.Language, e.Language) << c.what;
        EXPECT_EQ(m.LanguageID, 1031) << c.what;
        EXPECT_EQ(m.FileName, QStringLiteral("mem.lng")) << c.what;
        clsLanguage memory(dir.path());
        ASSERT_TRUE(memory.OpenBytes(QStringLiteral("mem.lng"), c.bytes)) << c.what;
        EXPECT_EQ(memory.CurrentFile(), QStringLiteral("mem.lng")) << c.what;
        EXPECT_EQ(memory.GetString("13500", "fb"), lang.GetString("13500", "fb")) << c.what;
        EXPECT_EQ(memory.GetString("99999", "fb"), QStringLiteral("fb")) << c.what;
        // A key written back keeps the file's encoding (and its mark).
        ASSERT_TRUE(lang.SetString("13019", QString::fromUtf8("Gr\u00FC\u00DFe"))) << c.what;
        EXPECT_EQ(lang.GetString("13019", "fb"), QString::fromUtf8("Gr\u00FC\u00DFe")) << c.what;
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.read(2), c.bytes.left(2)) << c.what;
    }
}

TEST(LanguageFileEncodings, BytesThatAreNoLanguageFileAreRefused) {
    clsLanguage lang(QStringLiteral("/nonexistent"));
    // More than a profile may hold.
    EXPECT_FALSE(lang.OpenBytes(QStringLiteral("big.lng"), QByteArray(64 << 20, 'x')));
    EXPECT_EQ(lang.GetString("1", "fb"), QStringLiteral("fb"));
    EXPECT_TRUE(lang.OpenBytes(QStringLiteral("ok.lng"), "[LANGUGAE]\r\n1=One\r\n"));
    EXPECT_EQ(lang.GetString("1", "fb"), QStringLiteral("One"));
}

// A UTF-8 value cut at the 1023-byte limit loses the character it would split, not more.
TEST(LanguageFileEncodings, CutUtf8ValuesEndOnWholeCharacters) {
    QTemporaryDir dir;
    const QByteArray value = QByteArray(1022, 'x') + "\xC3\xB6" + "tail";
    const QString path =
        langtest::WriteFile(dir.path(), "u.lng", "\xEF\xBB\xBF[LANGUGAE]\r\n1=" + value + "\r\n");
    clsLanguage lang(dir.path());
    lang.OpenFile(path);
    EXPECT_EQ(lang.GetString("1", "fb"), QString(1022, 'x'));
}

} // namespace
