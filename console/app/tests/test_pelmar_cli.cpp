// The `pelmar` program's headless commands, run as a process against the simulated reader
// on a pty: exit codes, the exact output and message texts, and the rules of the windows
// (clock and date format only on an empty reader, erase only when confirmed).
#include "CliTestSupport.h"
#include "Harness.h"
#include "pelmar/RecordTableModel.h"

#include "readersim/Reader.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace pelmar;
using namespace pelmar::test;

namespace {

struct CliRun {
    int code = -1;
    QString out, err;
};

struct CliTest : ::testing::Test {
    QTemporaryDir config; // the settings store of the runs
    std::unique_ptr<SimReader> sim;

    void StartSim(const QStringList& args) {
        sim = std::make_unique<SimReader>(args);
        ASSERT_TRUE(sim->ok());
    }
    // Runs pelmar without a controlling terminal, so nothing can be asked interactively.
    CliRun Pelmar(const QStringList& args, const QMap<QString, QString>& env = {}) {
        const clitest::ProgramRun run =
            clitest::RunProgram("pelmar", args, config.path(), env, 120000);
        CliRun r;
        r.code = run.finished && !run.crashed ? run.code : -1;
        r.out = run.out;
        r.err = run.err;
        return r;
    }
    QStringList On(const QStringList& args, const QString& login = "4826") {
        QStringList a = args;
        a << "--port" << sim->Link();
        if (!login.isEmpty()) a << "--login" << login;
        return a;
    }
};

// The line that follows "Can't connect to RFID Reader!": the port and what to check.
QString NoReaderHint(const QString& port) {
    return "pelmar: no reader answered on " + port +
           " (check the cable, the reader's power and its baud rate)\n";
}

// The table pelmar must print for the simulator's records under a display mode, field
// options and conversion: built by the record table from the records as the reader holds them.
QString ExpectedTable(size_t n, int mode, long convert, std::array<bool, 3> fields = {1, 1, 1}) {
    RecordTableModel model;
    model.SetDisplayMode(mode);
    for (int i = 0; i < 3; ++i)
        model.SetFieldOption(i, fields[size_t(i)]);
    clsSaveOptions so;
    so.SetConvertIDMethod(convert);
    model.SetSaveOptions(so);
    clitest::AppendSimRecords(model, n, 1);
    return clitest::TableText(model);
}

} // namespace

TEST_F(CliTest, UnknownCommandIsAUsageError) {
    CliRun r = Pelmar({"frobnicate"});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.startsWith("pelmar: unknown command: frobnicate\nusage: pelmar"));
    r = Pelmar({"help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(r.out.startsWith("usage: pelmar"));
}

struct TableCase {
    const char* name;
    int mode;
    long convert;
    const char* modeText;
    const char* convertText;
};

class CliDownload : public CliTest, public ::testing::WithParamInterface<TableCase> {};

TEST_P(CliDownload, PrintsTheTableOfEveryRecord) {
    const TableCase& c = GetParam();
    StartSim({"--records", "2000"});
    CliRun r = Pelmar(On({"download", "--mode", c.modeText, "--convert", c.convertText}));
    EXPECT_EQ(r.code, c.convert == 0 ? 0 : r.code) << r.err.toStdString();
    QString want = ExpectedTable(2000, c.mode, c.convert);
    ASSERT_EQ(r.out.count('\n'), 2001);
    EXPECT_TRUE(r.out == want) << "first difference at line " << [&] {
        QStringList a = r.out.split('\n'), b = want.split('\n');
        for (int i = 0; i < std::min(a.size(), b.size()); ++i)
            if (a[i] != b[i]) return i;
        return -1;
    }();
}

INSTANTIATE_TEST_SUITE_P(ModesAndConversions, CliDownload,
                         ::testing::Values(TableCase{"None", 0, 0, "None", "none"},
                                           TableCase{"Tk1Hex", 1, 0, "TK1 in Hex", "none"},
                                           TableCase{"Tk1Dec", 2, 0, "TK1 in Dec", "none"},
                                           TableCase{"Tk2Dec", 3, 0, "TK2 in Dec", "none"},
                                           TableCase{"Tk3Dec", 4, 0, "TK3 in Dec", "none"},
                                           TableCase{"Jis2Hex", 5, 0, "JIS2 in Hex", "none"},
                                           TableCase{"Jis2Dec", 6, 0, "JIS2 in Dec", "none"},
                                           TableCase{"HexToDec", 0, 1, "None", "hex2dec"},
                                           TableCase{"DecToHex", 0, 2, "None", "dec2hex"}),
                         [](const auto& tpi) { return std::string(tpi.param.name); });

TEST_F(CliTest, ConversionThatCannotApplyIsReported) {
    StartSim({"--records", "50"});
    CliRun r = Pelmar(On({"download", "--convert", "dec2hex"}));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, "Can't convert DEC ID to HEX ID\n");
    EXPECT_EQ(r.out, ExpectedTable(50, 0, 2));
}

TEST_F(CliTest, FieldOptionsChooseTheColumns) {
    StartSim({"--records", "5"});
    CliRun r = Pelmar(On({"download", "--fields", "type"}));
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(r.out.startsWith("No\tCard ID\tCard Type\tDate\n")) << r.out.toStdString();
    EXPECT_EQ(r.out, ExpectedTable(5, 0, 0, {true, false, false}));
    r = Pelmar(On({"download", "--fields", "event,week"}));
    EXPECT_EQ(r.out, ExpectedTable(5, 0, 0, {false, true, true}));
}

TEST_F(CliTest, BadDownloadOptionsAreUsageErrors) {
    StartSim({});
    EXPECT_EQ(Pelmar(On({"download", "--mode", "TK9"})).code, 2);
    EXPECT_EQ(Pelmar(On({"download", "--fields", "colour"})).code, 2);
    EXPECT_EQ(Pelmar(On({"download", "--convert", "oct"})).code, 2);
    EXPECT_EQ(Pelmar(On({"download", "--out", ""})).code, 2);
}

// A value out of range ends the command before any port is opened: exit 2, the value and what
// is accepted, then the usage.
TEST_F(CliTest, ValuesOutOfRangeAreUsageErrorsThatSayWhatIsAccepted) {
    struct Case {
        const char* name;
        QStringList args;
        const char* first; // the first line on stderr
    };
    const Case cases[] = {
        {"a zero baud rate",
         {"version", "--baud", "0"},
         "pelmar: --baud 0: accepted: 50 to 4000000 (bits per second)"},
        {"a negative baud rate",
         {"download", "--baud", "-9600"},
         "pelmar: --baud -9600: accepted: 50 to 4000000 (bits per second)"},
        {"a baud rate that is no number",
         {"time", "--baud=fast"},
         "pelmar: --baud fast: accepted: 50 to 4000000 (bits per second)"},
        {"a baud rate beyond any port",
         {"erase", "--yes", "--baud", "4000001"},
         "pelmar: --baud 4000001: accepted: 50 to 4000000 (bits per second)"},
        {"an option without its value", {"settings", "--baud"}, "pelmar: --baud needs a value"},
        {"an option of another command", {"recover", "--sync"}, "pelmar: unknown option: --sync"},
        {"a COM number that would wrap to COM1",
         {"version", "--port", "COM65537"},
         "pelmar: --port COM65537: accepted: COMn (n from 0 to 32767), a device path, "
         "IP:a.b.c.d or IP:a.b.c.d:port (port 1 to 65535)"},
        {"a TCP port beyond 65535",
         {"time", "--port", "IP:127.0.0.1:70000"},
         "pelmar: --port IP:127.0.0.1:70000: accepted: COMn (n from 0 to 32767), a device path, "
         "IP:a.b.c.d or IP:a.b.c.d:port (port 1 to 65535)"},
    };
    for (const Case& c : cases) {
        const CliRun r =
            Pelmar(QStringList{c.args[0], "--port", "/nonexistent/reader"} + c.args.mid(1));
        EXPECT_EQ(r.code, 2) << c.name;
        EXPECT_EQ(r.out, "") << c.name;
        EXPECT_EQ(r.err.section('\n', 0, 0).toStdString(), c.first) << c.name;
        EXPECT_TRUE(r.err.section('\n', 1).startsWith("usage: pelmar <command>")) << c.name;
    }
}

// The commands that open no single port (scan, collect, serve, language) take their options
// from the same table: an unknown option, a missing value or an interval that is no time is a
// usage error before anything is scanned, read or served.
TEST_F(CliTest, CommandsWithoutAPortCheckTheirOptionsFromTheTable) {
    struct Case {
        const char* name;
        QStringList args;
        const char* first; // the first line on stderr
    };
    const Case cases[] = {
        {"scan: an unknown option", {"scan", "--bogus"}, "pelmar: unknown option: --bogus"},
        {"scan: a list without its value", {"scan", "--ip"}, "pelmar: --ip needs a value"},
        {"collect: an interval of nothing",
         {"collect", "--readers", "/nonexistent/readers.ini", "--every", "0"},
         "pelmar: --every 0: accepted: a time such as 90s, 15m or 1h"},
        {"collect: an interval in days",
         {"collect", "--readers", "/nonexistent/readers.ini", "--every=2d"},
         "pelmar: --every 2d: accepted: a time such as 90s, 15m or 1h"},
        {"serve: an interval that is no time",
         {"serve", "--archive", "/nonexistent/a.sqlite", "--every", "soon"},
         "pelmar: --every soon: accepted: a time such as 90s, 15m or 1h"},
        {"language: an unknown option",
         {"language", "--delete"},
         "pelmar: unknown option: --delete"},
        {"language: the file missing",
         {"language", "--write-english"},
         "pelmar: --write-english needs a value"},
    };
    for (const Case& c : cases) {
        const CliRun r = Pelmar(c.args);
        EXPECT_EQ(r.code, 2) << c.name;
        EXPECT_EQ(r.out, "") << c.name;
        EXPECT_EQ(r.err.section('\n', 0, 0).toStdString(), c.first) << c.name;
        EXPECT_TRUE(r.err.section('\n', 1).startsWith("usage: pelmar ")) << c.name;
    }
}

TEST_F(CliTest, DownloadSavesThroughTheRecordWriters) {
    StartSim({"--records", "5"});
    QTemporaryDir out;
    const QString file = out.path() + "/records.csv";
    CliRun r = Pelmar(On({"download", "--out", file}));
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "") << "the table goes to the file, not to the terminal";
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    QStringList lines = QString::fromLatin1(f.readAll()).split("\r\n", Qt::SkipEmptyParts);
    auto records = readersim::GenerateRecords(5, 1);
    ASSERT_EQ(lines.size(), 5) << lines.join('|').toStdString();
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(
            lines[i].startsWith('"' + QString::fromStdString(records[size_t(i)].card) + '"'))
            << lines[i].toStdString();
    r = Pelmar(On({"download", "--out", out.path() + "/missing/dir/records.csv"}));
    EXPECT_EQ(r.code, 1) << "the file could not be written";
    EXPECT_TRUE(r.err.startsWith("The file is in use, please close it or use other file name and "
                                 "save again!"))
        << r.err.toStdString();
}

TEST_F(CliTest, ReaderVanishingKeepsThePrintedRows) {
    StartSim({"--records", "300", "--drop-after", "80"});
    CliRun r = Pelmar(On({"download"}));
    EXPECT_EQ(r.code, 4);
    int rows = int(r.out.count('\n')) - 1;
    EXPECT_GE(rows, 79);
    EXPECT_LE(rows, 80);
    // Not "no reader answered": one did, and went quiet.
    EXPECT_EQ(r.err, QStringLiteral("Can't connect to RFID Reader!\nThe reader stopped answering "
                                    "after %1 records.\n")
                         .arg(rows));
    EXPECT_EQ(r.out, ExpectedTable(size_t(rows), 0, 0));
}

TEST_F(CliTest, LoginIdFromTheEnvironment) {
    StartSim({"--records", "3"});
    CliRun r = Pelmar(On({"version"}, ""), {{"LORVANE_LOGIN", "4826"}});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "Card Reader Firmware: KRN-A0102 V1.05\n");
}

TEST_F(CliTest, LoginFailures) {
    StartSim({});
    CliRun r = Pelmar(On({"version"}, "1111"));
    EXPECT_EQ(r.code, 5);
    EXPECT_EQ(r.err, "The Login ID is invalid!\nPlease try again.\n") << "one message";
    r = Pelmar(On({"version"}, ""));
    EXPECT_EQ(r.code, 2) << "no terminal to ask";
    EXPECT_EQ(r.err, "No Login ID given (use --login or LORVANE_LOGIN).\n");
    r = Pelmar(On({"version"}, "48"));
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "Login ID have to be 4 digital numbers\nThe default setting is 4826\n");
    r = Pelmar(On({"version"}, "4826a"));
    EXPECT_EQ(r.code, 2);
}

// Another program with the port open (a leftover `cat`, a terminal program) may take the
// reader's replies: pelmar says so, as dorlin does, and goes on.
TEST_F(CliTest, AnotherProgramWithThePortOpenIsNamedInAWarning) {
    StartSim({});
    lvtest::ChildProcess other("/bin/bash", {"-c", "exec sleep 60 <" + sim->Link()});
    ASSERT_TRUE(lvtest::waitFor(
        [&] {
            return QFileInfo(QStringLiteral("/proc/%1/exe").arg(other.pid())).symLinkTarget() ==
                   "/usr/bin/sleep";
        },
        10000));
    CliRun r = Pelmar(On({"version"}));
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "Card Reader Firmware: KRN-A0102 V1.05\n");
    EXPECT_EQ(r.err, "Warning: " + sim->Link() + " is also open in sleep (pid " +
                         QString::number(other.pid()) + "), which may take replies meant for us\n");
}

TEST_F(CliTest, LowerCaseIdIsTakenAsUpperCase) {
    StartSim({"--login-id", "ABCD"});
    EXPECT_EQ(Pelmar(On({"version"}, "abcd")).code, 0);
}

TEST_F(CliTest, PortsThatLeadNowhere) {
    CliRun r = Pelmar({"version", "--port", "/nonexistent/tty0", "--login", "4826"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.err, "Can't open the port!!\n/nonexistent/tty0: No such file or directory\n");
    r = Pelmar({"version", "--login", "4826"});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.startsWith("Please select a COM Port!\npelmar: --port: COMn, a device "
                                 "path, IP:a.b.c.d or IP:a.b.c.d:port\nusage: pelmar"))
        << r.err.toStdString();
    StartSim({"--silent"});
    r = Pelmar(On({"version"}));
    EXPECT_EQ(r.code, 4);
    EXPECT_EQ(r.err, "Can't connect to RFID Reader!\n" + NoReaderHint(sim->Link()));
}

TEST_F(CliTest, ComNamesComeFromThePortList) {
    StartSim({});
    CliRun r = Pelmar({"version", "--port", "COM5", "--login", "4826"},
                      {{"DORLIN_PORTS", "COM5=" + sim->Link()}});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "Card Reader Firmware: KRN-A0102 V1.05\n");
}

TEST_F(CliTest, TimeIsSetOnlyOnAnEmptyReader) {
    StartSim({"--records", "3"});
    CliRun r = Pelmar(On({"time"}));
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(QDateTime::fromString(r.out.section('\n', 0, 0), "yyyy/MM/dd HH:mm:ss").isValid())
        << r.out.toStdString();
    r = Pelmar(On({"time", "--set", "2025/01/05 09:03:07"}));
    EXPECT_EQ(r.code, 7) << "refused: the reader holds records";
    EXPECT_TRUE(r.err.endsWith("Database not empty\n"));
    EXPECT_FALSE(sim->Log().join('\n').contains("RX <STX>S"));
}

TEST_F(CliTest, TimeSetAndSync) {
    StartSim({"--records", "0"});
    CliRun r = Pelmar(On({"time", "--set", "2025/01/05 09:03:07"}));
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.endsWith("Set Date/Time OK\n"));
    EXPECT_TRUE(sim->Log().contains("RX <STX>S202501050903070<CR>"));
    r = Pelmar(On({"time"}));
    QDateTime got = QDateTime::fromString(r.out.section('\n', 0, 0), "yyyy/MM/dd HH:mm:ss");
    EXPECT_GE(got, QDateTime(QDate(2025, 1, 5), QTime(9, 3, 7)));
    EXPECT_LE(got, QDateTime(QDate(2025, 1, 5), QTime(9, 4, 7)));
    r = Pelmar(On({"time", "--sync"}));
    EXPECT_EQ(r.code, 0);
    r = Pelmar(On({"time"}));
    got = QDateTime::fromString(r.out.section('\n', 0, 0), "yyyy/MM/dd HH:mm:ss");
    EXPECT_LE(std::abs(got.secsTo(QDateTime::currentDateTime())), 60);
    EXPECT_EQ(Pelmar(On({"time", "--set", "2025-01-05"})).code, 2);
}

TEST_F(CliTest, SettingsAreListedByName) {
    StartSim({"--user-name", "Front Door", "--machine-id", "7"});
    CliRun r = Pelmar(On({"settings"}));
    EXPECT_EQ(r.code, 0);
    QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 12);
    EXPECT_EQ(lines[0], "MacID=07");
    EXPECT_EQ(lines[1], "UserName=Front Door");
    QStringList names;
    for (const QString& l : lines)
        names << l.section('=', 0, 0);
    EXPECT_EQ(names, (QStringList{"MacID", "UserName", "PowerMode", "PowerOffTime", "Beep",
                                  "DateMode", "LCDOffTime", "LargeFonts", "OptionsOfEvent",
                                  "ScanMode", "IsLockDateTime", "RFIDScanTime"}));
}

TEST_F(CliTest, OnlyChangedSettingsAreWrittenInTheirOrder) {
    StartSim({"--records", "0", "--user-name", "Front Door"});
    CliRun before = Pelmar(On({"settings"}));
    QString beep = before.out.contains("Beep=True") ? "False" : "True";
    CliRun r = Pelmar(On(
        {"settings", "--set", "UserName=Gate 7", "--set", "Beep=" + beep, "--set", "DateMode=0"}));
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "Apply Settings OK!\n");
    // Register writes after the read-out: beep (0x19), date format (0x1A), then the name.
    QStringList writes;
    for (const QString& l : sim->Log())
        if (l.startsWith("RX <STX>C")) writes << l.mid(9, 2);
    ASSERT_EQ(writes.size(), 18) << writes.join(' ').toStdString();
    EXPECT_EQ(writes[0], "19");
    EXPECT_EQ(writes[1], "1A");
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(writes[2 + i], QString::asprintf("%02X", 32 + i));
    CliRun after = Pelmar(On({"settings"}));
    EXPECT_TRUE(after.out.contains("UserName=Gate 7\n"));
    EXPECT_TRUE(after.out.contains("Beep=" + beep + "\n"));
    EXPECT_TRUE(after.out.contains("DateMode=0\n"));
}

TEST_F(CliTest, DateFormatIsKeptWhileTheReaderHoldsRecords) {
    StartSim({"--records", "4", "--date-mode", "255"});
    CliRun r = Pelmar(On({"settings", "--set", "DateMode=MM/DD/YYYY"}));
    EXPECT_EQ(r.code, 7);
    EXPECT_EQ(r.err, "DateMode not changed: the reader holds records.\n");
    EXPECT_TRUE(Pelmar(On({"settings"})).out.contains("DateMode=255\n"));
}

TEST_F(CliTest, BadSettingsAreUsageErrors) {
    StartSim({});
    CliRun r = Pelmar(On({"settings", "--set", "Colour=blue"}));
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.startsWith("pelmar: unknown setting: Colour"));
    r = Pelmar(On({"settings", "--set", "RFIDScanTime=300"}));
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.startsWith("pelmar: RFIDScanTime: 5 to 254"));
    EXPECT_EQ(Pelmar(On({"settings", "--set", "Beep=maybe"})).code, 2);
    EXPECT_EQ(Pelmar(On({"settings", "--set", "MacID=XYZ"})).code, 2);
    // Outside what the reader takes: refused with the range, never clamped.
    r = Pelmar(On({"settings", "--set", "LCDOffTime=300"}));
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.startsWith("pelmar: LCDOffTime: 3 to 255 seconds\n")) << r.err.toStdString();
    r = Pelmar(On({"settings", "--set", "PowerOffTime=600"}));
    EXPECT_EQ(r.code, 2) << "this firmware takes at most 255 s";
    EXPECT_EQ(r.err, "pelmar: PowerOffTime: 3 to 255 seconds on this reader (firmware "
                     "KRN-A0102 V1.05); nothing was changed\n");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(sim->Log().join('\n').contains("RX <STX>C"));
}

TEST_F(CliTest, EraseNeedsConfirmation) {
    StartSim({"--records", "30", "--erase-ms", "2"});
    CliRun r = Pelmar(On({"erase"}));
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "Do you want to ERASE records? (not confirmed: give --yes)\n");
    EXPECT_FALSE(sim->Log().contains("RX <STX>E<CR>"));
    r = Pelmar(On({"erase", "--yes"}));
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "ERASE records OK!\n");
    r = Pelmar(On({"download"}));
    EXPECT_EQ(r.out.count('\n'), 1) << "only the header is left";
    r = Pelmar(On({"erase", "--yes"}));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "No records to erase.\n");
}

TEST_F(CliTest, RecoverBringsBackWhatTheReaderStillHolds) {
    StartSim({"--records", "30", "--erase-ms", "1", "--recovery-limit", "20"});
    CliRun r = Pelmar(On({"recover"}));
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "Do you want to RECOVERY records? (not confirmed: give --yes)\n");
    EXPECT_FALSE(sim->Log().contains("RX <STX>M<CR>"));
    ASSERT_EQ(Pelmar(On({"erase", "--yes"})).code, 0);
    r = Pelmar(On({"recover", "--yes"}));
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "RECOVERY records OK!\nThe reader holds 20 records now.\n");
    EXPECT_TRUE(sim->Log().contains("RX <STX>M<CR>"));
    r = Pelmar(On({"download"}));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.count('\n'), 21) << "the header and the 20 records brought back";
    // A second recovery brings back the other 10 the erase removed.
    r = Pelmar(On({"recover", "--yes"}));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "RECOVERY records OK!\nThe reader holds 30 records now.\n");
    EXPECT_EQ(Pelmar(On({"recover", "--yes", "--safe"})).code, 2);
}

TEST_F(CliTest, ChangeLoginId) {
    StartSim({});
    EXPECT_EQ(Pelmar(On({"change-login-id", "--new", "12G4"})).code, 2);
    CliRun r = Pelmar(On({"change-login-id", "--new", "1a2b"}));
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "Change Login ID OK\n");
    EXPECT_TRUE(sim->Log().contains("RX <STX>P1A2B<CR>"));
    EXPECT_EQ(Pelmar(On({"version"}, "4826")).code, 5);
    EXPECT_EQ(Pelmar(On({"version"}, "1A2B")).code, 0);
}

TEST_F(CliTest, TheLoginIdIsNeverStored) {
    StartSim({"--login-id", "9C3E", "--records", "2"});
    ASSERT_EQ(Pelmar(On({"download"}, "9C3E")).code, 0);
    ASSERT_EQ(Pelmar(On({"settings"}, "9C3E")).code, 0);
    QDirIterator it(config.path(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_FALSE(f.readAll().contains("9C3E")) << f.fileName().toStdString();
    }
}

TEST_F(CliTest, StopSignalsEndTheDownloadAndKeepTheRows) {
    // Ctrl+C, SIGTERM and SIGHUP: the rows read are printed (or saved), exit 128 + n.
    struct Case {
        int sig;
        bool save;
    };
    for (const Case c : {Case{SIGINT, false}, Case{SIGTERM, false}, Case{SIGHUP, true}}) {
        StartSim({"--records", "2000", "--baud", "115200"});
        QTemporaryDir out;
        const QString file = out.path() + "/records.txt";
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("XDG_CONFIG_HOME", config.path());
        e.insert("QT_QPA_PLATFORM", "offscreen");
        p.setProcessEnvironment(e);
        p.setChildProcessModifier([] { ::setsid(); });
        p.start(lvtest::binPath("pelmar"),
                On(c.save ? QStringList{"download", "--out", file} : QStringList{"download"}));
        ASSERT_TRUE(p.waitForStarted(10000));
        // Signal once the records flow (the reader's log shows the record requests).
        ASSERT_TRUE(
            lvtest::waitFor([&] { return sim->Log().count("RX <STX>G<CR>") >= 50; }, 30000));
        ::kill(pid_t(p.processId()), c.sig);
        ASSERT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << c.sig;
        EXPECT_EQ(p.exitCode(), 128 + c.sig);
        if (!c.save) {
            QString printed = QString::fromUtf8(p.readAllStandardOutput());
            int rows = int(printed.count('\n')) - 1;
            EXPECT_GE(rows, 50);
            EXPECT_LT(rows, 2000);
            EXPECT_EQ(printed, ExpectedTable(size_t(rows), 0, 0)) << c.sig;
        } else {
            QFile f(file);
            ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << "the records read are saved";
            const qsizetype lines = f.readAll().count('\n');
            EXPECT_GE(lines, 50);
            EXPECT_LT(lines, 2000);
        }
    }
}

TEST_F(CliTest, DownloadWorksWithEitherReadingOfTheReader) {
    // The reader's own formats (decimal count, plain records without checksum) and the
    // other reading (hexadecimal count and records with a checksum) give the same table.
    for (const QStringList& format :
         {QStringList{}, QStringList{"--count-format", "hex", "--record-checksums"}}) {
        StartSim(QStringList{"--records", "25"} + format);
        CliRun r = Pelmar(On({"download"}));
        EXPECT_EQ(r.code, 0) << format.join(' ').toStdString() << r.err.toStdString();
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, ExpectedTable(25, 0, 0)) << format.join(' ').toStdString();
    }
}

TEST_F(CliTest, EventOptionsAreShownAsTheyAreSet) {
    StartSim({"--register", "1E=FF"}); // ten event options are stored as 255
    CliRun r = Pelmar(On({"settings"}));
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(r.out.contains("\nOptionsOfEvent=10\n")) << r.out.toStdString();
}

TEST_F(CliTest, ScanFindsAReaderThatWantsALogin) {
    StartSim({}); // locked, as readersim starts by default: "F" needs no login
    CliRun r = Pelmar({"scan", "--baud", "9600"}, {{"DORLIN_PORTS", "COM251=" + sim->Link()}});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("COM251\tFound: KRN-A0102 V1.05\n")) << r.out.toStdString();
}

TEST_F(CliTest, EveryCommandHasItsOwnHelp) {
    const QStringList commands{"download", "version",         "time", "settings",
                               "erase",    "change-login-id", "scan", "recover"};
    const CliRun all = Pelmar({"--help"});
    EXPECT_EQ(all.code, 0);
    for (const QString& cmd : commands) {
        for (const QString& flag : {QStringLiteral("--help"), QStringLiteral("-h")}) {
            const CliRun r = Pelmar({cmd, flag});
            EXPECT_EQ(r.code, 0) << cmd.toStdString();
            EXPECT_EQ(r.err, "");
            EXPECT_TRUE(r.out.startsWith("usage: pelmar " + cmd + " ")) << r.out.toStdString();
            // the command's usage line is the one the global usage lists
            const QString line = r.out.section('\n', 0, 0).mid(QString("usage: pelmar ").size());
            EXPECT_TRUE(all.out.contains("  " + line.section(" --port", 0, 0)))
                << line.toStdString();
            EXPECT_TRUE(r.out.contains("exit codes (every command):\n  0    done\n"));
        }
    }
    EXPECT_TRUE(all.out.contains("  6    download incomplete"));
    EXPECT_TRUE(all.out.contains("other users of the machine can see"));
    // Options a command does not take are refused, not ignored.
    EXPECT_EQ(Pelmar({"version", "--yes", "--port", "x"}).code, 2);
}

// Headless commands need no window system: they run on QCoreApplication, so a platform plugin
// that does not exist is never loaded (a QApplication would abort with 134). Every command, the
// scan included, in one session against one reader, in an order that leaves each its work.
TEST_F(CliTest, HeadlessCommandsRunWithoutAWindowSystem) {
    StartSim({"--records", "3", "--erase-ms", "1", "--recovery-limit", "3"});
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    const QString archive = work.filePath("archive.sqlite");
    const QString readers = work.filePath("readers.ini");
    {
        QFile f(readers);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QString("[Gate]\nPort=%1\n").arg(sim->Link()).toUtf8());
    }
    struct Case {
        QStringList args;
        int code;
        QString out; // what the output starts with, or the line it holds ("\n...\n")
    };
    const Case cases[] = {
        {{"version", "--help"}, 0, "usage: pelmar version "},
        {On({"version"}), 0, "Card Reader Firmware: KRN-A0102 V1.05\n"},
        {On({"download"}), 0, "No"},
        {On({"download", "--archive", archive, "--reader", "Gate"}), 0,
         "3 new, 0 already archived\n"},
        {{"records", "--archive", archive, "--reader", "Gate"}, 0, "Reader\tNo\tCard ID\t"},
        {{"collect", "--readers", readers, "--archive", archive},
         0,
         "\nGate: 0 new, 3 already archived\n1 readers: 1 collected, 0 failed; 0 new, 3 already "
         "archived\n"},
        {On({"time"}), 0, "20"},
        {On({"settings"}), 0, "MacID=01\n"},
        {{"scan", "--baud", "19200"}, 0, "\nCOM251\tFound: KRN-A0102 V1.05\n"},
        {On({"erase", "--yes"}), 0, "ERASE records OK!\n"},
        {On({"recover", "--yes"}), 0, "RECOVERY records OK!\nThe reader holds 3 records now.\n"},
        {On({"change-login-id", "--new", "1A2B"}), 0, "Change Login ID OK\n"},
        {{"language", "--write-english", work.filePath("english.lng")}, 0, ""},
    };
    const QMap<QString, QString> env{{"QT_QPA_PLATFORM", "no-such-platform"},
                                     {"LORVANE_LOGIN", "4826"},
                                     {"DORLIN_PORTS", "COM251=" + sim->Link()}};
    for (const Case& c : cases) {
        const CliRun r = Pelmar(c.args, env);
        const std::string name = c.args.join(' ').toStdString();
        EXPECT_EQ(r.code, c.code) << name << ": " << r.err.toStdString();
        if (c.out.startsWith('\n'))
            EXPECT_TRUE(('\n' + r.out).contains(c.out)) << name << ": " << r.out.toStdString();
        else
            EXPECT_TRUE(r.out.startsWith(c.out)) << name << ": " << r.out.toStdString();
        EXPECT_FALSE(r.err.contains("platform plugin")) << name << ": " << r.err.toStdString();
    }
    // The table of the three records, and the new Login ID in force.
    EXPECT_EQ(Pelmar(On({"download"}, "1A2B"), env).out.count('\n'), 4);
    EXPECT_GT(QFileInfo(work.filePath("english.lng")).size(), 0);
}

TEST_F(CliTest, LoginIdTypedAtTheTerminalIsNotEchoed) {
    if (QStandardPaths::findExecutable("script").isEmpty()) GTEST_SKIP() << "no script(1)";
    StartSim({});
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.remove("LORVANE_LOGIN");
    e.insert("XDG_CONFIG_HOME", config.path());
    p.setProcessEnvironment(e);
    p.setProcessChannelMode(QProcess::MergedChannels);
    // script(1) gives pelmar a terminal of its own; the test types into it.
    p.start("script",
            {"-qec", lvtest::binPath("pelmar") + " version --port " + sim->Link(), "/dev/null"});
    ASSERT_TRUE(p.waitForStarted(10000));
    QByteArray seen;
    auto waitPrompt = [&](int count) {
        return lvtest::waitFor(
            [&] {
                seen += p.readAll();
                return seen.count("Enter Login ID : ") >= count;
            },
            20000);
    };
    ASSERT_TRUE(waitPrompt(1)) << seen.toStdString();
    p.write("1111\n");
    ASSERT_TRUE(waitPrompt(2)) << seen.toStdString();
    p.write("4826\n");
    ASSERT_TRUE(p.waitForFinished(20000));
    seen += p.readAll();
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_TRUE(seen.contains("The Login ID is invalid!")) << seen.toStdString();
    EXPECT_TRUE(seen.contains("Card Reader Firmware: KRN-A0102 V1.05"));
    EXPECT_FALSE(seen.contains("1111")) << "typed IDs are not echoed";
    EXPECT_FALSE(seen.contains("4826"));
}

namespace {

// Checks that every frame reads "LABEL: n / count records (p %)[, rate[, time left]]" or,
// before the count is known, "LABEL: n records[, rate]": never more than the count, never
// backwards, the percentage that of n. Returns the last n.
long CheckFrames(const QStringList& frames, const QString& label, long count) {
    static const QRegularExpression frame(
        "^([A-Za-z ]+): (\\d+)(?: / (\\d+) records \\((\\d+) %\\)| records)"
        "(?:, [0-9.]+ records/s(?:, \\d+:\\d\\d left)?)?$");
    long last = 0;
    for (const QString& f : frames) {
        const QRegularExpressionMatch m = frame.match(f);
        EXPECT_TRUE(m.hasMatch()) << f.toStdString();
        if (!m.hasMatch()) continue;
        EXPECT_EQ(m.captured(1), label) << f.toStdString();
        const long n = m.captured(2).toLong();
        EXPECT_GE(n, last) << f.toStdString();
        EXPECT_LE(n, count) << f.toStdString();
        if (!m.captured(3).isEmpty()) {
            EXPECT_EQ(m.captured(3).toLong(), count) << f.toStdString();
            EXPECT_EQ(m.captured(4).toLong(), n * 100 / count) << f.toStdString();
        }
        last = n;
    }
    return last;
}

} // namespace

// On a terminal the download redraws one progress line in place and clears it before its
// summary; through a pipe only the summary is written; --quiet leaves stderr empty. The
// records and the exit code are the same every time.
TEST_F(CliTest, DownloadShowsProgressOnlyOnATerminal) {
    StartSim({"--records", "300", "--baud", "115200"});
    QTemporaryDir dir;
    // A save adds to a file that is there: each run has its own.
    auto summary = [&](const QString& name) {
        return "300 records saved to " + dir.filePath(name) + "\n";
    };
    const lvtest::TerminalRun tty = clitest::RunOnTerminal(
        "pelmar", On({"download", "--out", dir.filePath("tty.csv")}), config.path());
    ASSERT_TRUE(tty.finished);
    EXPECT_EQ(tty.code, 0);
    EXPECT_EQ(tty.out, "");
    const lvtest::TerminalText t = lvtest::readTerminal(tty.err);
    EXPECT_EQ(t.text, summary("tty.csv")) << tty.err.toStdString();
    EXPECT_TRUE(t.endsCleared);
    EXPECT_TRUE(t.covered);
    ASSERT_GE(t.frames.size(), 2) << tty.err.toStdString();
    EXPECT_EQ(t.frames[0], "Downloading: 0 records");
    EXPECT_GT(CheckFrames(t.frames, "Downloading", 300), 0);
    const QByteArray saved = lvtest::readFile(dir.filePath("tty.csv"));
    EXPECT_EQ(saved.count('\n'), 300) << "every record";

    CliRun r = Pelmar(On({"download", "--out", dir.filePath("pipe.csv")}));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, summary("pipe.csv"));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(lvtest::readFile(dir.filePath("pipe.csv")), saved);

    // --quiet: only errors, on a terminal and through a pipe.
    const lvtest::TerminalRun quiet = clitest::RunOnTerminal(
        "pelmar", On({"download", "--quiet", "--out", dir.filePath("q1.csv")}), config.path());
    EXPECT_EQ(quiet.code, 0);
    EXPECT_EQ(quiet.err, "");
    r = Pelmar(On({"--quiet", "download", "--out", dir.filePath("q2.csv")}));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(lvtest::readFile(dir.filePath("q1.csv")), saved);
    EXPECT_EQ(lvtest::readFile(dir.filePath("q2.csv")), saved);

    // Printed, not saved: progress on the terminal, no summary; the table on stdout.
    const lvtest::TerminalRun printed =
        clitest::RunOnTerminal("pelmar", On({"download"}), config.path());
    EXPECT_EQ(printed.code, 0);
    EXPECT_EQ(QString::fromUtf8(printed.out), ExpectedTable(300, 0, 0));
    const lvtest::TerminalText p = lvtest::readTerminal(printed.err);
    EXPECT_EQ(p.text, "");
    EXPECT_TRUE(p.endsCleared);
    EXPECT_FALSE(p.frames.isEmpty());
}

// An error takes the progress line off before it is written, and keeps its exit code;
// --quiet keeps the error alone.
TEST_F(CliTest, ErrorsTakeTheProgressLineOff) {
    StartSim({"--records", "300", "--drop-after", "80", "--baud", "115200"});
    const lvtest::TerminalRun tty =
        clitest::RunOnTerminal("pelmar", On({"download"}), config.path());
    EXPECT_EQ(tty.code, 4);
    const lvtest::TerminalText t = lvtest::readTerminal(tty.err);
    // The reader answered, then went quiet part-way: not "no reader answered".
    static const QRegularExpression stopped(
        QStringLiteral("^Can't connect to RFID Reader!\nThe reader stopped answering after "
                       "(79|80) records.\n$"));
    EXPECT_TRUE(stopped.match(t.text).hasMatch()) << tty.err.toStdString();
    EXPECT_TRUE(t.endsCleared);
    EXPECT_FALSE(t.frames.isEmpty());
    EXPECT_LE(CheckFrames(t.frames, "Downloading", 300), 80);
    EXPECT_GE(tty.out.count('\n') - 1, 79) << "the rows read are printed all the same";
    StartSim({"--records", "300", "--drop-after", "80", "--baud", "115200"});
    const lvtest::TerminalRun quiet =
        clitest::RunOnTerminal("pelmar", On({"download", "--quiet"}), config.path());
    EXPECT_EQ(quiet.code, 4);
    EXPECT_TRUE(stopped.match(QString::fromUtf8(quiet.err)).hasMatch()) << quiet.err.toStdString();
}

TEST_F(CliTest, EraseShowsProgressAndEndsWithItsSummary) {
    StartSim({"--records", "30", "--erase-ms", "20"});
    const lvtest::TerminalRun tty =
        clitest::RunOnTerminal("pelmar", On({"erase", "--yes"}), config.path());
    EXPECT_EQ(tty.code, 0);
    EXPECT_EQ(tty.out, "ERASE records OK!\n");
    const lvtest::TerminalText t = lvtest::readTerminal(tty.err);
    EXPECT_EQ(t.text, "Erased 30 records\n") << tty.err.toStdString();
    EXPECT_TRUE(t.endsCleared);
    ASSERT_FALSE(t.frames.isEmpty());
    EXPECT_EQ(t.frames[0], "Erasing: 0 records");
    CheckFrames(t.frames, "Erasing", 30);

    StartSim({"--records", "12", "--erase-ms", "2"});
    CliRun r = Pelmar(On({"erase", "--yes"}));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "ERASE records OK!\n");
    EXPECT_EQ(r.err, "Erased 12 records\n");
    // Nothing erased, nothing summed up.
    r = Pelmar(On({"erase", "--yes"}));
    EXPECT_EQ(r.out, "No records to erase.\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(CliTest, ScanShowsTheProbedPortsOnATerminal) {
    StartSim({});
    const lvtest::TerminalRun tty =
        clitest::RunOnTerminal("pelmar", {"scan", "--baud", "9600"}, config.path(),
                               {{"DORLIN_PORTS", "COM251=" + sim->Link()}});
    EXPECT_EQ(tty.code, 0);
    EXPECT_TRUE(tty.out.contains("COM251\tFound: KRN-A0102 V1.05\n"));
    const lvtest::TerminalText t = lvtest::readTerminal(tty.err);
    EXPECT_EQ(t.text, "") << "a scan changes nothing: no summary";
    EXPECT_TRUE(t.endsCleared);
    ASSERT_FALSE(t.frames.isEmpty());
    static const QRegularExpression frame("^Scanning: \\d+( / \\d+)? ports");
    for (const QString& f : t.frames)
        EXPECT_TRUE(frame.match(f).hasMatch()) << f.toStdString();
    const CliRun r =
        Pelmar({"scan", "--baud", "9600"}, {{"DORLIN_PORTS", "COM251=" + sim->Link()}});
    EXPECT_EQ(r.err, "");
}
