// readersim's command line: every option of the table is in --help, the man page, the
// completion and docs/readersim.md; bad values are usage errors that name the accepted values;
// good values land where the table says.
#include "TestSupport.h"
#include "readersim/CommandLine.h"

#include <QCommandLineParser>
#include <QProcess>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace readersim;

namespace {

struct SimRun {
    int exitCode = -1;
    QByteArray out, err;
};

SimRun Readersim(const QStringList& args) {
    QProcess p;
    p.start(lvtest::binPath("readersim"), args);
    SimRun r;
    if (!p.waitForFinished(30000)) return r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

bool Read(const QStringList& args, Config* cfg, QString* error) {
    QCommandLineParser p;
    AddOptions(p);
    if (!p.parse(QStringList{"readersim"} + args)) {
        *error = p.errorText();
        return false;
    }
    return ReadCommandLine(p, cfg, error);
}

} // namespace

TEST(ReadersimCommandLine, EveryOptionIsInHelpManPageCompletionAndGuide) {
    const SimRun help = Readersim({"--help"});
    ASSERT_EQ(help.exitCode, 0);
    const QString helpText = QString::fromUtf8(help.out);
    const QString man = lvtest::sourceText("packaging/man/readersim.1.scd");
    const QString completion = lvtest::sourceText("packaging/completion/readersim");
    const QString guide = lvtest::sourceText("docs/readersim.md");
    ASSERT_FALSE(man.isEmpty());
    ASSERT_FALSE(completion.isEmpty());
    ASSERT_FALSE(guide.isEmpty());
    for (const Option& o : Options()) {
        const QString name = QStringLiteral("--") + QString::fromLatin1(o.name);
        const QString withValue =
            o.valueName ? name + " <" + QString::fromLatin1(o.valueName) + '>' : name;
        EXPECT_TRUE(helpText.contains(withValue)) << qPrintable(withValue);
        EXPECT_TRUE(man.contains('*' + name + '*')) << qPrintable(name);
        EXPECT_TRUE(completion.contains(QRegularExpression("[ \"]" + name + "[ \"]")))
            << qPrintable(name);
        EXPECT_TRUE(guide.contains('`' + name)) << qPrintable(name);
        // A bounded number says its range where it is explained.
        if (o.kind == Option::Number && o.min != LONG_MIN && o.max != LONG_MAX) {
            EXPECT_TRUE(QString::fromUtf8(o.help).contains(AcceptedValues(o))) << o.name;
        }
    }
}

TEST(ReadersimCommandLine, BadValuesExitTwoNamingTheAcceptedValues) {
    struct Case {
        QStringList args;
        QByteArray err;
    };
    const Case cases[] = {
        {{"--machine-id", "256"}, "bad --machine-id 256 (accepted: 0-255)"},
        {{"--machine-id", "-1"}, "bad --machine-id -1 (accepted: 0-255)"},
        {{"--records", "32768"}, "bad --records 32768 (accepted: 0-32767)"},
        {{"--seed", "seven"}, "bad --seed seven (accepted: a whole number)"},
        {{"--punch-at-count", "0"}, "bad --punch-at-count 0 (accepted: 1 or more)"},
        {{"--drop-after", "0x0"}, "bad --drop-after 0x0 (accepted: 1 or more)"},
        {{"--noise", "1.5"}, "bad --noise 1.5 (accepted: 0-1)"},
        {{"--corrupt", "nan"}, "bad --corrupt nan (accepted: 0-1)"},
        {{"--login-id", "48a6"}, "bad --login-id 48a6 (accepted: four characters 0-9 A-F)"},
        {{"--register", "1A=100"},
         "bad --register 1A=100 (accepted: ADDR=VALUE, both "
         "hexadecimal 0-FF)"},
        {{"--count-format", "oct"}, "bad --count-format oct (accepted: dec or hex)"},
        {{"--file", "a=/nonexistent/x"},
         "bad --file a=/nonexistent/x (accepted: NAME=PATH of a readable file)"},
        {{"--config-port", "65536"}, "bad --config-port 65536 (accepted: 0-65535)"},
        {{"--slow", "4294967296"}, "bad --slow 4294967296 (accepted: 0-4294967295)"},
    };
    for (const Case& c : cases) {
        const SimRun r = Readersim(QStringList{"--tcp", "0"} + c.args);
        EXPECT_EQ(r.exitCode, 2) << qPrintable(c.args.join(' '));
        EXPECT_EQ(r.err, "readersim: " + c.err + "\n");
        EXPECT_TRUE(r.out.isEmpty());
    }
    const SimRun tcp = Readersim({"--tcp", "65536"});
    EXPECT_EQ(tcp.exitCode, 2);
    EXPECT_EQ(tcp.err, "readersim: bad --tcp 65536 (accepted: 0-65535)\n");
    const SimRun neither = Readersim({"--records", "3"});
    EXPECT_EQ(neither.exitCode, 2);
    EXPECT_EQ(neither.err, "readersim: give exactly one of --pty LINK and --tcp PORT\n");
    const SimRun unknown = Readersim({"--tcp", "0", "--fast"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_EQ(unknown.err, "readersim: Unknown option 'fast'.\n");
}

TEST(ReadersimCommandLine, ValuesLandWhereTheTableSays) {
    Config c;
    QString error;
    const QStringList args =
        QStringLiteral("--tcp 0x3E9 --bind 127.0.0.2 --config-port 0 --seed 7 --records 3 "
                       "--machine-id 0xFF --register 19=5 --register 19=6 --user-name Gate "
                       "--date-mode 0 --locked --unlocked --count-format hex "
                       "--no-reply-checksum --noise 0.25 --drop-after 2 --slow 40 --erase-ms 0")
            .split(' ');
    ASSERT_TRUE(Read(args, &c, &error)) << qPrintable(error);
    EXPECT_FALSE(c.pty);
    EXPECT_EQ(c.tcpOptions.port, 1001);
    EXPECT_EQ(c.tcpOptions.bind, "127.0.0.2");
    EXPECT_EQ(c.tcpOptions.configPort, 0);
    EXPECT_EQ(c.reader.seed, 7u);
    EXPECT_EQ(c.session.seed, 8u);
    EXPECT_EQ(c.state.records.size(), 3u);
    EXPECT_EQ(c.state.records, GenerateRecords(3, 7)); // the records follow the final seed
    EXPECT_EQ(c.state.machineId, 255);
    EXPECT_EQ(c.state.registers[0x19], 6); // repeated: the last one wins
    EXPECT_EQ(c.state.registers[reg::DateMode], 0);
    EXPECT_FALSE(c.state.locked);
    EXPECT_TRUE(c.reader.hexCount);
    EXPECT_FALSE(c.reader.replyChecksums);
    EXPECT_EQ(c.session.noise, 0.25);
    EXPECT_EQ(c.session.dropAfter, 2);
    EXPECT_EQ(c.session.slowMs, 40u);
    EXPECT_EQ(c.reader.eraseMsPerRecord, 0u);

    Config d;
    ASSERT_TRUE(Read({"--pty", "/tmp/reader-x"}, &d, &error));
    EXPECT_TRUE(d.pty);
    EXPECT_EQ(d.ptyOptions.link, "/tmp/reader-x");
    EXPECT_EQ(d.reader.seed, 1u);
    EXPECT_EQ(d.session.seed, 2u);
    EXPECT_EQ(d.records, -1);
    EXPECT_TRUE(d.reader.replyChecksums);
}
