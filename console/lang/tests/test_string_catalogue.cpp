// The string catalogue and the language files made from it.
#include "LangTestSupport.h"
#include <QSet>
#include <gtest/gtest.h>
#include <lvlang/StringCatalogue.h>
#include <lvlang/clsLanguage.h>
#include <lvprofile/Profile.h>

using lvlang::clsLanguage;

namespace {

TEST(StringCatalogue, IdsAreUniqueAndComplete) {
    QSet<QString> ids;
    for (const auto& e : lvlang::StringCatalogue()) {
        EXPECT_FALSE(ids.contains(e.id)) << e.id;
        ids.insert(e.id);
    }
    // 2 shared, 7 menu/caption, 9 grid, 3+1+8 main labels and lists, 5 labels, 28 buttons,
    // 26 messages, 5 + 3 + 18 + 12 + 14 window texts, 18 discovery texts, 39 later ones
    // (Traffic Monitor 19000-19033, Yes/No 19100-19101, settings note 19200-19202), the
    // archive's 40 (19300-19307, 19310-19328, 19340-19352) and 7 other additions
    // (19400-19406).
    EXPECT_EQ(ids.size(), 237);
    EXPECT_EQ(lvlang::CatalogueFallback("19307"), "%d new, %d already archived");
    EXPECT_EQ(lvlang::CatalogueFallback("19302"), QString::fromUtf8("Browse archive\u2026"));
    EXPECT_EQ(lvlang::CatalogueFallback("13503"), "Can't ERASE records!\\nCan't connect to %s!");
    EXPECT_EQ(lvlang::CatalogueFallback("autoscan012"), "Check in %dbps");
    EXPECT_EQ(lvlang::CatalogueFallback("13001"), "");
    EXPECT_EQ(lvlang::CatalogueFallback("99999"), "");
}

// With the English file every id reads exactly as the console shows its fallback without one.
TEST(EnglishFile, EveryIdReadsBackAsItsFallback) {
    QTemporaryDir dir;
    QString error;
    ASSERT_TRUE(lvlang::WriteEnglishLanguageFile(dir.path() + "/English.lng", &error))
        << error.toStdString();
    QTemporaryDir none;
    clsLanguage english(dir.path()), bare(none.path());
    ASSERT_TRUE(english.OpenFile(dir.path() + "/English.lng"));
    for (const auto& e : lvlang::StringCatalogue()) {
        const QString shown = bare.GetString(e.id, QString::fromUtf8(e.fallback));
        EXPECT_EQ(english.GetString(e.id, "<missing>"), e.fallback[0] ? shown : "<missing>")
            << e.id;
    }
}

TEST(PartialFile, OnlyTheDefinedTextChanges) {
    QTemporaryDir dir, none;
    const QString path =
        langtest::WriteFile(dir.path(), "x.lng", "[LANGUGAE]\r\n13500=Nur dies\r\n");
    clsLanguage partial(dir.path()), bare(none.path());
    ASSERT_TRUE(partial.OpenFile(path));
    for (const auto& e : lvlang::StringCatalogue()) {
        const QString fb = QString::fromUtf8(e.fallback);
        if (QLatin1String(e.id) == QLatin1String("13500"))
            EXPECT_EQ(partial.GetString(e.id, fb), "Nur dies");
        else
            EXPECT_EQ(partial.GetString(e.id, fb), bare.GetString(e.id, fb)) << e.id;
    }
}

TEST(EnglishFile, LayoutAndInfo) {
    const QByteArray bytes = lvlang::EnglishLanguageFile();
    EXPECT_TRUE(
        bytes.startsWith("[INFO]\r\nVersion=1.0\r\nLanguageID=1033\r\nLanguage=English\r\n"));
    EXPECT_TRUE(bytes.contains("\r\n[LANGUGAE]\r\n1000=OK\r\n1001=Cancel\r\n10000=Lorvane\r\n"));
    EXPECT_TRUE(bytes.contains("\r\n13012=Change \\nLogin ID\r\n"));
    EXPECT_TRUE(bytes.contains("\r\n13500=Erase...\\nPlease wait!!!\r\n"));
    EXPECT_TRUE(bytes.contains("\r\n13001=\r\n"));
    EXPECT_TRUE(bytes.contains("\r\n16000=\" Lorvane Settings\"\r\n"));
    EXPECT_TRUE(bytes.contains("\r\n12000=Comm  Port\r\n"));
    EXPECT_TRUE(bytes.endsWith("AUTOSCAN017=COM%d is in use\r\n[FONT]\r\n1000=Courier New\r\n"));
    lvprofile::Profile p(bytes.toStdString());
    EXPECT_EQ(p.SectionNames(), (std::vector<std::string>{"INFO", "LANGUGAE", "FONT"}));
    EXPECT_EQ(p.KeyNames("LANGUGAE").size(), lvlang::StringCatalogue().size());
}

TEST(EnglishFile, UnwritablePathIsReported) {
    QString error;
    EXPECT_FALSE(lvlang::WriteEnglishLanguageFile("/nonexistent-dir/English.lng", &error));
    EXPECT_TRUE(error.startsWith("Can't write /nonexistent-dir/English.lng: "))
        << error.toStdString();
}

// The build puts both language files into its program data folder.
TEST(BuiltLanguageFiles, EnglishIsTheCatalogue) {
    QFile f(QString(LORVANE_DATA_DIR) + "/Language/English.lng");
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), lvlang::EnglishLanguageFile());
}

TEST(BuiltLanguageFiles, GermanIsCompleteAndSelectable) {
    const QString dir = QString(LORVANE_DATA_DIR) + "/Language";
    lvlang::LanguageEntry e;
    ASSERT_TRUE(clsLanguage::ReadLanguageFile(e, dir + "/Deutsch.lng"));
    EXPECT_EQ(e.LanguageID, 1031);
    EXPECT_EQ(e.Language, "Deutsch");
    EXPECT_EQ(e.Version, 1.0);
    clsLanguage lang(dir);
    ASSERT_TRUE(lang.OpenFile("Deutsch.lng"));
    for (const auto& c : lvlang::StringCatalogue())
        EXPECT_NE(lang.GetString(c.id, "<missing>"), "<missing>") << c.id;
    EXPECT_EQ(lang.GetString("13514", ""), "Keine Verbindung zu %s!");
    EXPECT_EQ(lang.GetString("13012", ""), QString::fromUtf8("Login-ID\r\nändern"));
    EXPECT_EQ(lang.GetString("16000", ""), QString::fromUtf8(" Lorvane-Einstellungen"));
    // Tooltips that say what their buttons do: Delete erases the reader's records, Open shows
    // a saved file.
    EXPECT_EQ(lang.GetString("13019", ""), QString::fromUtf8("Alle Datensätze im Leser löschen"));
    EXPECT_EQ(lang.GetString("13015", ""), QString::fromUtf8("Gespeicherte Textdatei anzeigen"));
    EXPECT_EQ(lang.GetString("19307", ""), QString::fromUtf8("%d neu, %d schon im Archiv"));
    QFile raw(dir + "/Deutsch.lng");
    ASSERT_TRUE(raw.open(QIODevice::ReadOnly));
    const QByteArray bytes = raw.readAll();
    EXPECT_TRUE(bytes.contains("13014=\xD6"
                               "ffnen\r\n")); // windows-1252, CR LF
}

} // namespace
