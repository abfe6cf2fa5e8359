// The launcher's command line (launcher/CommandLine.h): what a command line asks, and the
// option and exit-code tables against --help, launcher(1), the bash completion and
// docs/launcher.md.
#include "TestSupport.h"
#include "launcher/CommandLine.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <gtest/gtest.h>
#include <vector>

using lvlauncher::Asked;

namespace {} // namespace

TEST(LauncherCommandLine, OnlyALoneOptionIsAnsweredAndEverythingElseInstalls) {
    struct Case {
        const char* name;
        std::vector<const char*> argv;
        Asked asked;
    };
    const Case cases[] = {
        {"no arguments", {"launcher"}, Asked::Install},
        {"--help alone", {"launcher", "--help"}, Asked::Help},
        {"--version alone", {"launcher", "--version"}, Asked::Version},
        {"--help with more", {"launcher", "--help", "x64Setup"}, Asked::Install},
        {"-h", {"launcher", "-h"}, Asked::Install},
        {"an unknown option", {"launcher", "--quiet"}, Asked::Install},
        {"media arguments", {"launcher", "/autorun"}, Asked::Install},
    };
    for (const Case& c : cases)
        EXPECT_EQ(lvlauncher::ReadCommandLine(int(c.argv.size()), c.argv.data()), c.asked)
            << c.name;
}

TEST(LauncherCommandLine, HelpManPageCompletionAndDocsAgreeWithTheTables) {
    QProcess p;
    p.start(lvtest::binPath("launcher"), {"--help"});
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.exitCode(), 0);
    const QString help = QString::fromUtf8(p.readAllStandardOutput());
    EXPECT_EQ(help.toStdString(), lvlauncher::HelpText());
    const QString man = lvtest::sourceText("packaging/man/launcher.1.scd"),
                  completion = lvtest::sourceText("packaging/completion/launcher"),
                  docs = lvtest::sourceText("docs/launcher.md");
    ASSERT_FALSE(man.isEmpty());
    QSet<QString> names;
    for (const auto& o : lvlauncher::CommandLineOptions()) {
        names.insert(QLatin1String(o.name));
        EXPECT_TRUE(help.contains(QStringLiteral("\n  %1 ").arg(o.name))) << o.name;
        EXPECT_TRUE(man.contains(QStringLiteral("\n*%1*\n\t").arg(o.name))) << o.name;
        EXPECT_TRUE(docs.contains(QStringLiteral("`%1`").arg(o.name))) << o.name;
    }
    EXPECT_EQ(lvtest::optionWords(completion), names);
    for (const auto& e : lvlauncher::ExitCodes()) {
        EXPECT_TRUE(help.contains(QStringLiteral("  %1 ").arg(e.code))) << e.code;
        EXPECT_TRUE(docs.contains(QString::fromUtf8(e.meaning), Qt::CaseInsensitive))
            << e.code << ": docs";
        EXPECT_TRUE(QString(man)
                        .replace(QStringLiteral("\n\t"), QStringLiteral(" "))
                        .contains(QString::fromUtf8(e.meaning), Qt::CaseInsensitive))
            << e.code << ": launcher(1)";
    }
}
