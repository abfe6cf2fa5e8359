// The command table of `pelmar` (Commands() in PelmarCli.cpp): every command's options against
// its `pelmar CMD --help`, its entry in pelmar(1) and its list in the bash completion, and the
// checks of option values.
#include "CliOptions.h"
#include "PelmarCli.h"
#include "TestSupport.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <gtest/gtest.h>

using namespace pelmar::cli;

namespace {

// What `pelmar ARGS` prints on stdout, run in this process.
QString RunHelp(const QStringList& args, int* code) {
    QString out, err;
    QTextStream o(&out), e(&err);
    Io io{o, e, {}};
    *code = Run(args, io);
    o.flush();
    e.flush();
    return out;
}

// The options a command takes, by name: its rows, and the port options when it has a reader.
QList<OptionRow> RowsOf(const CommandRow& c) {
    QList<OptionRow> rows;
    if (c.run)
        for (const OptionRow& r : PortOptions())
            rows << r;
    for (const OptionRow& r : c.options)
        rows << r;
    return rows;
}

} // namespace

TEST(CommandTable, HelpManPageAndCompletionAgreeWithEveryCommandsOptions) {
    const QString man = lvtest::sourceText("packaging/man/pelmar.1.scd"),
                  completion = lvtest::sourceText("packaging/completion/pelmar");
    ASSERT_FALSE(man.isEmpty());
    ASSERT_FALSE(completion.isEmpty());
    const QString manOptions =
        man.section(QStringLiteral("\n# OPTIONS\n"), 1).section(QStringLiteral("\n# "), 0, 0);
    for (const CommandRow& c : Commands()) {
        const QString name = QLatin1String(c.name);
        int code = -1;
        const QString help = RunHelp({name, QStringLiteral("--help")}, &code);
        EXPECT_EQ(code, 0) << c.name;
        // The man page's entries of the command: each line that begins with it.
        QString entry;
        for (const QString& line : man.split(QLatin1Char('\n')))
            if (line.startsWith(QStringLiteral("*%1*").arg(name))) entry += line + '\n';
        EXPECT_FALSE(entry.isEmpty()) << c.name << " has no entry in pelmar(1)";
        const QRegularExpression list(
            QStringLiteral("\\[%1\\]=\"([^\"]*)\"").arg(QRegularExpression::escape(name)));
        const QString completes = list.match(completion).captured(1);
        QSet<QString> names{QStringLiteral("--quiet"), QStringLiteral("--help")};
        for (const OptionRow& r : RowsOf(c)) {
            const QString opt = QLatin1String(r.name);
            names.insert(opt);
            const QString head = r.value ? opt + ' ' + QLatin1String(r.value) : opt;
            EXPECT_TRUE(help.contains(QStringLiteral("\n  %1 ").arg(head)))
                << c.name << ' ' << r.name << ": not in its --help";
            EXPECT_TRUE(help.contains(QString::fromUtf8(r.help))) << c.name << ' ' << r.name;
            if (r.accepted) {
                EXPECT_TRUE(help.contains(QStringLiteral("accepted: %1\n").arg(r.accepted)))
                    << c.name << ' ' << r.name;
            }
            // The man page: in the command's entry, or (the port options) under OPTIONS.
            EXPECT_TRUE(
                entry.contains(QStringLiteral("*%1*").arg(opt)) ||
                (c.run && manOptions.contains(
                              QStringLiteral("\n*%1* _%2_\n\t").arg(opt, QLatin1String(r.value)))))
                << c.name << ' ' << r.name << ": not in pelmar(1)";
        }
        EXPECT_EQ(lvtest::optionWords(completes), names) << c.name << ": the completion's options";
    }
    for (const OptionRow& r : PortOptions()) {
        if (r.accepted) {
            EXPECT_TRUE(QString(manOptions)
                            .replace(QStringLiteral("\n\t"), QStringLiteral(" "))
                            .contains(QStringLiteral("Accepted: %1").arg(r.accepted)))
                << r.name << ": pelmar(1) gives the accepted values";
        }
    }
    // The completion offers no command the table does not have (and the windows' "help").
    static const QRegularExpression commands(QStringLiteral("\\n\\s+\\[([a-z-]+)\\]="));
    QSet<QString> offered, listed{QStringLiteral("help")};
    for (auto it = commands.globalMatch(completion); it.hasNext();)
        offered.insert(it.next().captured(1));
    for (const CommandRow& c : Commands())
        listed.insert(QLatin1String(c.name));
    EXPECT_EQ(offered, listed);
}

TEST(CommandTable, ValuesOutOfRangeAreRefusedWithWhatIsAccepted) {
    const OptionRow rows[] = {
        {"--baud", "RATE", "", 50, 4000000, "50 to 4000000 (bits per second)"},
        {"--out", "FILE", "", 0, 0, "a file name", false,
         [](const QString& v) { return v != QLatin1String("-"); }},
        {"--yes", nullptr, ""},
    };
    struct Case {
        const char* name;
        QStringList args;
        const char* error;
    };
    const Case cases[] = {
        {"zero", {"x", "--baud", "0"}, "--baud 0: accepted: 50 to 4000000 (bits per second)"},
        {"negative",
         {"x", "--baud", "-9600"},
         "--baud -9600: accepted: 50 to 4000000 (bits per second)"},
        {"no number",
         {"x", "--baud=fast"},
         "--baud fast: accepted: 50 to 4000000 (bits per second)"},
        {"too high",
         {"x", "--baud", "4000001"},
         "--baud 4000001: accepted: 50 to 4000000 (bits per second)"},
        {"at the bounds", {"x", "--baud", "50", "--baud", "4000000"}, ""},
        {"no value", {"x", "--out"}, "--out needs a value"},
        {"a flag with a value", {"x", "--yes=1"}, "unknown option: --yes=1"},
        {"an option of another command", {"x", "--sync"}, "unknown option: --sync"},
        {"refused by the row's check", {"x", "--out", "-"}, "--out -: accepted: a file name"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Parse(c.args, rows).error.toStdString(), c.error) << c.name;
}
