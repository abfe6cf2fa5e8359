// The command line of `dorlin` (control/tools/DorlinCommandLine.cpp): the checks of option
// values, and the option, command and exit-code tables against --help, dorlin(1), the bash
// completion and docs/dorlin.md.
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <gtest/gtest.h>

#include "DorlinCommandLine.h"
#include "TestSupport.h"

using namespace dorlin::cli;

namespace {

struct Bad {
    const char* name;
    QStringList args;
    const char* error;
};

} // namespace

TEST(DorlinCommandLine, BadValuesAreUsageErrorsThatNameWhatIsAccepted) {
    const Bad cases[] = {
        {"a negative time-out",
         {"--timeout", "-5", "call", "GetVersion"},
         "--timeout -5: accepted: 1 to 3600000 (milliseconds)"},
        {"a zero time-out",
         {"--timeout", "0"},
         "--timeout 0: accepted: 1 to 3600000 (milliseconds)"},
        {"a time-out that is no number",
         {"--timeout", "3s"},
         "--timeout 3s: accepted: 1 to 3600000 (milliseconds)"},
        {"a zero baud rate",
         {"--baud", "0"},
         "--baud 0: accepted: 50 to 4000000 (bits per second)"},
        {"a negative baud rate",
         {"--baud", "-9600"},
         "--baud -9600: accepted: 50 to 4000000 (bits per second)"},
        {"a baud rate that is no number",
         {"--baud", "x"},
         "--baud x: accepted: 50 to 4000000 (bits per second)"},
        {"settings with an unknown parity and stop bits",
         {"--settings", "Q,9,7"},
         "--settings Q,9,7: accepted: P,D,S: parity N, O, E, M or S, data bits 5 to 9, stop "
         "bits 1 or 2 (N,8,1)"},
        {"settings that are no settings",
         {"--settings", "x"},
         "--settings x: accepted: P,D,S: parity N, O, E, M or S, data bits 5 to 9, stop bits 1 "
         "or 2 (N,8,1)"},
        {"a TCP port beyond 65535",
         {"--ip-port", "70000"},
         "--ip-port 70000: accepted: 1 to 65535"},
        {"TCP port 0", {"--ip-port", "0"}, "--ip-port 0: accepted: 1 to 65535"},
        {"an empty port",
         {"--port", ""},
         "--port : accepted: COMn (n from 0 to 32767), a device path, or COM0"},
        {"a COM number CommPort cannot hold",
         {"--port", "COM65537"},
         "--port COM65537: accepted: COMn (n from 0 to 32767), a device path, or COM0"},
        {"a value missing at the end",
         {"--timeout"},
         "--timeout needs a value; accepted: 1 to 3600000 (milliseconds)"},
        {"an unknown option", {"--speed", "9600"}, "unknown option: --speed"},
        {"nothing to do", {}, "nothing to do: give --port or a STEP"},
    };
    for (const Bad& c : cases)
        EXPECT_EQ(Parse(c.args).error.toStdString(), c.error) << c.name;
}

TEST(DorlinCommandLine, GoodValuesAreTakenAsGiven) {
    const CommandLine c =
        Parse({"--port", "COM7", "--baud", "9600", "--settings", "e,7,1", "--timeout", "1",
               "--ip-port", "65535", "--monitor", "-h", "call", "--timeout", "5"});
    EXPECT_EQ(c.error, "");
    EXPECT_EQ(c.values, (QMap<QString, QString>{{"--port", "COM7"},
                                                {"--baud", "9600"},
                                                {"--settings", "e,7,1"},
                                                {"--timeout", "1"},
                                                {"--ip-port", "65535"}}));
    EXPECT_EQ(c.flags, (QStringList{"--monitor", "--help"}));
    EXPECT_EQ(c.steps, (QStringList{"call", "--timeout", "5"})) << "steps end the options";
    EXPECT_EQ(Parse({"dispids"}).command, "dispids");
    EXPECT_EQ(Parse({"--port", "/dev/ttyUSB0"}).error, "") << "a port alone opens it";
    EXPECT_EQ(Parse({"--port", "com32767"}).error, "");
}

// Every option of the table is in --help, dorlin(1), the completion and docs/dorlin.md, and
// they offer no option the table does not have; every command and exit code likewise.
TEST(DorlinCommandLine, HelpManPageCompletionAndDocsAgreeWithTheTables) {
    const QString help = HelpText(), man = lvtest::sourceText("packaging/man/dorlin.1.scd"),
                  completion = lvtest::sourceText("packaging/completion/dorlin"),
                  docs = lvtest::sourceText("docs/dorlin.md");
    ASSERT_FALSE(man.isEmpty());
    ASSERT_FALSE(completion.isEmpty());
    ASSERT_FALSE(docs.isEmpty());
    QSet<QString> names;
    for (const OptionRow& o : OptionTable()) {
        const QString name = QLatin1String(o.name);
        names.insert(name);
        EXPECT_TRUE(help.contains(QStringLiteral("  ") + name)) << o.name;
        EXPECT_TRUE(help.contains(QLatin1String(o.help))) << o.name;
        const QString manEntry = o.value ? QStringLiteral("*%1* _%2_").arg(name, o.value)
                                         : QStringLiteral("*%1*").arg(name);
        EXPECT_TRUE(man.contains(QLatin1Char('\n') + manEntry)) << manEntry.toStdString();
        if (o.alias) {
            EXPECT_TRUE(completion.contains(QLatin1String(o.alias))) << o.alias;
            EXPECT_TRUE(man.contains(QStringLiteral("*%1*").arg(o.alias))) << o.alias;
        }
        if (o.check == Check::Range || o.check == Check::LineSettings) {
            EXPECT_TRUE(QString(man)
                            .replace(QStringLiteral("\n\t"), QStringLiteral(" "))
                            .contains(QStringLiteral("Accepted: %1.").arg(o.accepted)))
                << o.name << ": the man page gives the accepted values";
        }
        EXPECT_TRUE(docs.contains(name)) << o.name;
    }
    EXPECT_EQ(lvtest::optionWords(completion), names);
    EXPECT_EQ(lvtest::optionWords(man.section(QStringLiteral("# OPTIONS"), 1, 1)
                                      .section(QStringLiteral("\n# "), 0, 0)
                                      .remove(QRegularExpression(QStringLiteral("\n\t[^\n]*")))),
              names)
        << "the man page's option entries";
    for (const CommandRow& c : CommandTable()) {
        EXPECT_TRUE(help.contains(QStringLiteral("dorlin %1\n").arg(c.name))) << c.name;
        EXPECT_TRUE(man.contains(QStringLiteral("\n*%1*\n").arg(c.name))) << c.name;
        EXPECT_TRUE(completion.contains(QStringLiteral(" %1 ").arg(c.name))) << c.name;
        EXPECT_TRUE(docs.contains(QStringLiteral("dorlin %1").arg(c.name))) << c.name;
    }
    for (const ExitRow& e : ExitTable()) {
        EXPECT_TRUE(help.contains(QStringLiteral("\n  %1  %2\n").arg(e.code).arg(e.meaning)))
            << e.code;
        EXPECT_TRUE(man.contains(QStringLiteral("\n*%1*\n\t").arg(e.code))) << e.code;
        EXPECT_TRUE(docs.contains(QStringLiteral("\n| %1 | ").arg(e.code))) << e.code;
    }
}
