// `pelmar language` and the window pictures, run as a user runs them: the pelmar program of
// the build on a program data folder of real language files; the English file it writes is
// compared with the catalogue, and the pictures are read back as images.
#include "CliTestSupport.h"

#include <QFile>
#include <QImage>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <lvlang/StringCatalogue.h>

// Readable QString values in test failure messages.
inline void PrintTo(const QString& v, std::ostream* os) {
    *os << '"' << v.toStdString() << '"';
}

namespace {

struct LanguageCommand : ::testing::Test {
    QTemporaryDir config, home; // the settings store, and the program data folder
    void SetUp() override { ASSERT_TRUE(QDir(home.path()).mkdir("Language")); }
    clitest::ProgramRun Pelmar(const QStringList& args) {
        return clitest::RunProgram("pelmar", args, config.path(), {{"LORVANE_HOME", home.path()}},
                                   60000);
    }
    void Write(const QString& name, const QByteArray& bytes) {
        QFile f(home.path() + "/Language/" + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
};

TEST_F(LanguageCommand, WriteEnglishWritesTheCatalogue) {
    const QString file = home.path() + "/English.lng";
    const clitest::ProgramRun r = Pelmar({"language", "--write-english", file});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out,
              QString("Wrote %1 (%2 texts)\n").arg(file).arg(lvlang::StringCatalogue().size()));
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), lvlang::EnglishLanguageFile());
    // The file the build installs is the same.
    QFile built(QStringLiteral(LORVANE_DATA_DIR) + "/Language/English.lng");
    ASSERT_TRUE(built.open(QIODevice::ReadOnly));
    f.seek(0);
    EXPECT_EQ(built.readAll(), f.readAll());
}

TEST_F(LanguageCommand, FailuresAndWrongUsage) {
    struct Case {
        const char* what;
        QStringList args;
        int code;
        QString errStart;
    };
    const QString missing = home.path() + "/no/such/folder/English.lng";
    const Case cases[] = {
        {"unwritable file",
         {"language", "--write-english", missing},
         1,
         "pelmar: Can't write " + missing + ": "},
        {"no option",
         {"language"},
         2,
         "pelmar: language: --write-english FILE or --list\nusage:\n"},
        {"unknown option",
         {"language", "--delete"},
         2,
         "pelmar: unknown option: --delete\nusage: pelmar <command>"},
        {"file missing",
         {"language", "--write-english"},
         2,
         "pelmar: --write-english needs a value\nusage: pelmar <command>"},
    };
    for (const Case& c : cases) {
        const clitest::ProgramRun r = Pelmar(c.args);
        ASSERT_TRUE(r.finished) << c.what;
        EXPECT_EQ(r.code, c.code) << c.what;
        EXPECT_TRUE(r.err.startsWith(c.errStart)) << c.what << ": " << r.err.toStdString();
        EXPECT_EQ(r.out, "") << c.what;
    }
}

// Every file of the folder with what the console makes of it, UTF-16 and UTF-8 files included.
TEST_F(LanguageCommand, ListShowsEveryFileAndWhyOneIsLeftOut) {
    Write("Deutsch.lng", "[INFO]\r\nVersion=1,0\r\nLanguageID=1031\r\nLanguage=Deutsch\r\n");
    Write("Alt.lng", "[INFO]\r\nVersion=0.9\r\nLanguageID=1036\r\nLanguage=Fran\xE7"
                     "ais\r\n");
    Write("Kaputt.lng", "[INFO]\r\nVersion=1.0\r\nLanguageID=abc\r\n");
    Write("Polski.lng", "\xEF\xBB\xBF[INFO]\r\nVersion=1.5\r\nLanguageID=1045\r\nLanguage=Polski "
                        "\xC5\x81\r\n");
    QStringEncoder utf16(QStringConverter::Utf16LE);
    Write("Russkij.lng",
          "\xFF\xFE" + QByteArray(utf16(QString::fromUtf8("[INFO]\r\nVersion=1.0\r\nLanguageID="
                                                          "1049\r\nLanguage=Русский\r\n"))));
    const clitest::ProgramRun r = Pelmar({"language", "--list"});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, QString::fromUtf8(
                         "Language folder: %1/Language\n"
                         "Français\t1036\t0.90\tAlt.lng\tnot listed: version below 1.0\n"
                         "Deutsch\t1031\t1.0\tDeutsch.lng\n"
                         "Kaputt\t0\t1.0\tKaputt.lng\tnot listed: LanguageID is not a number\n"
                         "Polski Ł\t1045\t1.50\tPolski.lng\n"
                         "Русский\t1049\t1.0\tRusskij.lng\n")
                         .arg(home.path()));
}

TEST_F(LanguageCommand, ListOfAnEmptyFolder) {
    const clitest::ProgramRun r = Pelmar({"language", "--list"});
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, QString("Language folder: %1/Language\n"
                             "(no language files: the built-in English texts show)\n")
                         .arg(home.path()));
}

// --help names every window a picture can be drawn of, and each of them draws.
TEST_F(LanguageCommand, HelpListsEveryWindowAndEachOneDraws) {
    const clitest::ProgramRun help = Pelmar({"--help"});
    ASSERT_TRUE(help.finished);
    EXPECT_EQ(help.code, 0);
    EXPECT_TRUE(help.out.contains("  language --write-english FILE"));
    const QRegularExpression names("NAME: ([a-z, ]+) \\(default main\\)");
    const auto m = names.match(help.out);
    ASSERT_TRUE(m.hasMatch()) << help.out.toStdString();
    const QStringList windows = m.captured(1).split(", ");
    EXPECT_EQ(windows, QStringList({"main", "traffic", "autoscan", "archive", "login", "chgid",
                                    "settings", "time", "saveoptions", "language"}));
    for (const QString& w : windows) {
        const QString png = home.path() + "/" + w + ".png";
        // The archive window opens the console's archive: a scratch one, never the user's.
        const clitest::ProgramRun r = clitest::RunProgram(
            "pelmar", {"--screenshot", png, "--window", w}, config.path(),
            {{"LORVANE_HOME", home.path()}, {"XDG_DATA_HOME", home.path() + "/data"}}, 60000);
        ASSERT_TRUE(r.finished) << w.toStdString();
        EXPECT_EQ(r.code, 0) << w.toStdString() << ": " << r.err.toStdString();
        const QImage image(png);
        EXPECT_FALSE(image.isNull()) << w.toStdString();
        EXPECT_GT(image.width(), 100) << w.toStdString();
    }
    // The scratch archive is where the archive window looked for it.
    EXPECT_TRUE(QFile::exists(home.path() + "/data/lorvane/archive.sqlite"));
    const clitest::ProgramRun bad =
        Pelmar({"--screenshot", home.path() + "/x.png", "--window", "nope"});
    EXPECT_EQ(bad.code, 2);
    EXPECT_TRUE(
        bad.err.contains("pelmar: unknown window \"nope\" (main, traffic, autoscan, archive,"))
        << bad.err.toStdString();
}

} // namespace
