// The archive commands of `pelmar` run as processes against simulated readers: download
// --archive, records (with --since last), erase --safe, time with the drift, and collect
// from a readers file (pty and TCP readers at once, SIGTERM, a PostgreSQL archive shared by
// two collectors).
#include "CliTestSupport.h"
#include "PgCluster.h"
#include "ReadersFile.h"
#include "SimReader.h"
#include "TestSupport.h"
#include "pelarchive/Archive.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <iostream>
#include <sys/mount.h>
#include <unistd.h>

using lvtest::SimReader;

namespace {

// The readers file's text as collect reads it (the file's own checks come in the Collect
// tests below).
struct ReadersCase {
    const char* name;
    const char* text;
    const char* expect; // the readers "[name] port baud login|problem;...", or the error
};

class ReadersText : public ::testing::TestWithParam<ReadersCase> {};

TEST_P(ReadersText, ReadsEveryReaderOrRefusesWithAReason) {
    const ReadersCase& c = GetParam();
    QList<pelmar::cli::ReaderEntry> readers;
    bool holdsLogin = false;
    QString error;
    const bool ok = pelmar::cli::ParseReaders(QByteArray(c.text), "r.ini", "12ab", readers,
                                              &holdsLogin, &error);
    QString got = error;
    if (ok)
        for (const auto& r : readers)
            got += QStringLiteral("[%1] %2 %3 %4;")
                       .arg(r.name, r.port, r.baud, r.login.isEmpty() ? r.problem : r.login);
    EXPECT_EQ(got.toStdString(), c.expect);
}

// A NUL cut the port's path short: "/dev/ttyUSB0\0x" opened /dev/ttyUSB0.
TEST(ReadersTextNul, ANulByteIsRefusedWithItsLine) {
    QList<pelmar::cli::ReaderEntry> readers;
    bool holdsLogin = false;
    QString error;
    const QByteArray text("[A]\nPort=/dev/ttyUSB0\0x\n", 25);
    EXPECT_FALSE(pelmar::cli::ParseReaders(text, "r.ini", "12ab", readers, &holdsLogin, &error));
    EXPECT_EQ(error, "readers file r.ini line 2: a NUL byte");
}

INSTANTIATE_TEST_SUITE_P(
    Readers, ReadersText,
    ::testing::Values(
        ReadersCase{"TheExample",
                    "[Front door]\nPort=/dev/ttyUSB0\nBaud=19200\n\n[Warehouse]\nPort=IP:10.0."
                    "4.21\nLogin=4826\n\n[Canteen]\nPort=IP:10.0.4.22:4001\n",
                    "[Canteen] IP:10.0.4.22:4001  12AB;[Front door] /dev/ttyUSB0 19200 12AB;"
                    "[Warehouse] IP:10.0.4.21  4826;"},
        ReadersCase{"BadLoginId", "[Gate]\nPort=COM3\nLogin=12x\n",
                    "[Gate] COM3  Login ID have to be 4 digital numbers;"},
        ReadersCase{"SamePortInOtherCase", "[A]\nPort=COM91\n[B]\nPort=com91\n",
                    "readers file r.ini line 3: [A] and [B] use the same device COM91"},
        // One device through another path: a "." and a symbolic link resolve to it.
        ReadersCase{"SameDeviceThroughAPath",
                    "[A]\nPort=/dev/./null\n[B]\nPort=/dev/stdin/../null\n",
                    "readers file r.ini line 3: [A] and [B] use the same device /dev/null"},
        ReadersCase{"SameDeviceServerSpelledOtherwise",
                    "[A]\nPort=IP:127.0.0.1:30120\n[B]\nPort=IP:127.1:030120\n",
                    "readers file r.ini line 3: [A] and [B] use the same device "
                    "IP:127.0.0.1:30120"},
        ReadersCase{"DefaultDeviceServerPort",
                    "[A]\nPort=IP:10.0.0.5\n[B]\nPort=ip:10.0.0.5:1001\n",
                    "readers file r.ini line 3: [A] and [B] use the same device IP:10.0.0.5:1001"},
        // A second [A] replaced the first without a word.
        ReadersCase{"DuplicateSection", "[A]\nPort=COM1\n\n[A]\nPort=COM2\n",
                    "readers file r.ini line 4: [A] is there twice (first at line 1)"},
        // [A/B] was taken as a group within a group and dropped.
        ReadersCase{"NameThatIsNoReaderKey", "[Gate]\nPort=COM1\n[A/B]\nPort=COM2\n",
                    "readers file r.ini line 3: [A/B] can't be a reader name: a reader name "
                    "can't hold \"/\""},
        ReadersCase{"NameWithAHash", "[COM1#01]\nPort=COM1\n",
                    "readers file r.ini line 1: [COM1#01] can't be a reader name: a reader name "
                    "can't hold \"#\""},
        ReadersCase{"BaudNotARate", "[A]\nPort=COM1\nBaud=fast\n",
                    "readers file r.ini: [A] Baud=fast is not a rate"},
        ReadersCase{"NoSection", "Port=COM1\n",
                    "the readers file r.ini names no reader ([name] sections)"},
        // An empty section name took the Port written before the first section: the reader
        // would be collected, nameless, on another reader's port.
        ReadersCase{"EmptySectionName", "Port=COM9\n[]\nPort=COM1\n",
                    "readers file r.ini line 2: a section has no name (a name in [ ] that does "
                    "not start with \"/\")"},
        ReadersCase{"NameStartingWithSlash", "Port=COM9\n[/Gate]\nPort=COM1\n",
                    "readers file r.ini line 2: a section has no name (a name in [ ] that does "
                    "not start with \"/\")"}),
    [](const auto& i) { return std::string(i.param.name); });

struct PelmarRun {
    int code = -1;
    QString out, err;
};

struct ArchiveCli : ::testing::Test {
    QTemporaryDir dir;
    QString archivePath;
    std::unique_ptr<SimReader> sim;

    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        archivePath = dir.filePath("archive.sqlite");
    }
    void StartSim(const QStringList& args) {
        sim = std::make_unique<SimReader>(args);
        ASSERT_TRUE(sim->ok());
    }
    PelmarRun Pelmar(const QStringList& args, QMap<QString, QString> env = {}) {
        if (!env.contains("XDG_DATA_HOME")) env["XDG_DATA_HOME"] = dir.filePath("data");
        const clitest::ProgramRun r =
            clitest::RunProgram("pelmar", args, dir.filePath("config"), env, 120000);
        return {r.finished && !r.crashed ? r.code : -1, r.out, r.err};
    }
    QStringList On(QStringList args, const SimReader& s) {
        args << "--port" << s.Link() << "--login"
             << "4826";
        return args;
    }
    QStringList On(const QStringList& args) { return On(args, *sim); }
    // The same run with stderr on a terminal.
    lvtest::TerminalRun OnTerminal(const QStringList& args, QMap<QString, QString> env = {}) {
        if (!env.contains("XDG_DATA_HOME")) env["XDG_DATA_HOME"] = dir.filePath("data");
        return clitest::RunOnTerminal("pelmar", args, dir.filePath("config"), env);
    }
    QList<pelarchive::ArchivedRecord> Archived(const QString& path = {}) {
        pelarchive::Archive a;
        pelarchive::ArchiveLocation l;
        l.path = path.isEmpty() ? archivePath : path;
        QList<pelarchive::ArchivedRecord> rows;
        QString error;
        EXPECT_TRUE(a.Open(l, &error)) << error.toStdString();
        EXPECT_TRUE(a.Records({}, rows, &error)) << error.toStdString();
        return rows;
    }
    bool Erased(const SimReader& s) {
        for (const QString& r : s.Requests())
            if (r == "<STX>E<CR>") return true;
        return false;
    }
};

TEST_F(ArchiveCli, DownloadFilesEachRecordOnceAndExportsLikeTheDownload) {
    StartSim({"--records", "500"});
    PelmarRun r = Pelmar(On({"download", "--archive", archivePath, "--reader", "Gate 1"}));
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "500 new, 0 already archived\n");
    r = Pelmar(On({"download", "--archive", archivePath, "--reader", "Gate 1"}));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "0 new, 500 already archived\n");
    const QList<pelarchive::ArchivedRecord> rows = Archived();
    ASSERT_EQ(rows.size(), 500);
    EXPECT_EQ(rows[0].reader, "Gate 1");
    // An export from the archive is the file the download itself writes.
    const QString fromReader = dir.filePath("reader.csv"),
                  fromArchive = dir.filePath("archive.csv");
    ASSERT_EQ(Pelmar(On({"download", "--out", fromReader})).code, 0);
    r = Pelmar({"records", "--archive", archivePath, "--out", fromArchive});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "500 records written to " + fromArchive + "\n");
    const QByteArray want = lvtest::readFile(fromReader);
    EXPECT_EQ(want.count('\n'), 500);
    EXPECT_TRUE(lvtest::readFile(fromArchive) == want);
    // Listed with the reader in front of the table's columns.
    r = Pelmar({"records", "--archive", archivePath, "--card", rows[3].cardId});
    ASSERT_EQ(r.code, 0);
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    EXPECT_EQ(lines[0], "Reader\tNo\tCard ID\tCard Type\tEvent\tDate");
    ASSERT_GE(lines.size(), 2);
    for (const QString& l : lines.mid(1)) {
        EXPECT_TRUE(l.startsWith("Gate 1\t")) << l.toStdString();
        EXPECT_EQ(l.section('\t', 2, 2), rows[3].cardId);
    }
}

TEST_F(ArchiveCli, ABareArchiveOptionMeansTheFileInTheDataFolder) {
    StartSim({"--records", "20"});
    PelmarRun r = Pelmar(On({"download", "--reader", "Gate 1", "--archive"}));
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "20 new, 0 already archived\n");
    EXPECT_EQ(Archived(dir.filePath("data/lorvane/archive.sqlite")).size(), 20);
    // Without a name the reader is filed under its port and machine ID.
    r = Pelmar(On({"download", "--archive", archivePath}));
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(Archived().value(0).reader, QFileInfo(sim->Link()).canonicalFilePath() + "#01");
}

// One reader, one key: its symbolic link and its device path are one reader; a name given
// later finds its punches archived under the device key and says so before filing any.
TEST_F(ArchiveCli, OneReaderIsOneKeyHoweverItsPortIsSpelled) {
    StartSim({"--records", "30"});
    const QString device = QFileInfo(sim->Link()).canonicalFilePath();
    PelmarRun r = Pelmar(On({"download", "--archive", archivePath}));
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "30 new, 0 already archived\n");
    r = Pelmar({"download", "--port", device, "--login", "4826", "--archive", archivePath});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "0 new, 30 already archived\n");
    r = Pelmar(On({"download", "--archive", archivePath, "--reader", "Front door"}));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Not archived: these punches are already archived for reader " + device +
                         "#01; if it is the same reader use --reader " + device +
                         "#01 (or --file-anyway to file them for Front door all the same)\n");
    EXPECT_EQ(Archived().size(), 30);
    r = Pelmar(
        On({"download", "--archive", archivePath, "--reader", "Front door", "--file-anyway"}));
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "30 new, 0 already archived\n");
    r = Pelmar(On({"download", "--archive", archivePath, "--reader", "A/B"}));
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.startsWith("pelmar: --reader: a reader name can't hold \"/\"\n"));
}

TEST_F(ArchiveCli, SinceLastExportsEachPunchOnceToEachTarget) {
    StartSim({"--records", "100"});
    ASSERT_EQ(Pelmar(On({"download", "--archive", archivePath, "--reader", "G"})).code, 0);
    const QString pay = dir.filePath("pay.txt");
    PelmarRun r = Pelmar({"records", "--archive", archivePath, "--since", "last", "--out", pay});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "100 records written to " + pay + "\n");
    r = Pelmar({"records", "--archive", archivePath, "--since", "last", "--out", pay});
    EXPECT_EQ(r.out, "0 records written to " + pay + "\n");
    // The reader took 60 more punches.
    sim.reset();
    StartSim({"--records", "160"});
    r = Pelmar(On({"download", "--archive", archivePath, "--reader", "G"}));
    EXPECT_EQ(r.out, "60 new, 100 already archived\n");
    r = Pelmar({"records", "--archive", archivePath, "--since", "last", "--out", pay});
    EXPECT_EQ(r.out, "60 records written to " + pay + "\n");
    // The text file gained only the new ones: it is the download of all 160, once each.
    const QString all = dir.filePath("all.txt");
    ASSERT_EQ(Pelmar(On({"download", "--out", all})).code, 0);
    EXPECT_TRUE(lvtest::readFile(pay) == lvtest::readFile(all));
    // Another target has its own mark.
    r = Pelmar({"records", "--archive", archivePath, "--since", "last", "--out",
                dir.filePath("other.txt")});
    EXPECT_EQ(r.out, "160 records written to " + dir.filePath("other.txt") + "\n");
    // A filter only narrows a run: what one reader's export left out reaches the next run,
    // and what it wrote is not written again.
    const QString split = dir.filePath("split.txt");
    r = Pelmar({"records", "--archive", archivePath, "--since", "last", "--reader", "nobody",
                "--out", split});
    EXPECT_EQ(r.out, "0 records written to " + split + "\n");
    const QList<pelarchive::ArchivedRecord> rows = Archived();
    const QString card = rows[6].cardId;
    const long withCard =
        std::count_if(rows.begin(), rows.end(), [&](const auto& a) { return a.cardId == card; });
    r = Pelmar({"records", "--archive", archivePath, "--since", "last", "--reader", "G", "--card",
                card.toLower(), "--out", split});
    EXPECT_EQ(r.out, QString("%1 records written to %2\n").arg(withCard).arg(split));
    r = Pelmar({"records", "--archive", archivePath, "--since", "last", "--out", split});
    EXPECT_EQ(r.out, QString("%1 records written to %2\n").arg(160 - withCard).arg(split));
    r = Pelmar({"records", "--archive", archivePath, "--since", "last", "--out", split});
    EXPECT_EQ(r.out, "0 records written to " + split + "\n");
    // A named target on the terminal: the listing, then only its header.
    r = Pelmar({"records", "--archive", archivePath, "--since", "last", "--target", "web"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out.count('\n'), 161);
    EXPECT_TRUE(r.out.startsWith("Reader\t"));
    const QString header = r.out.section('\n', 0, 0) + "\n";
    r = Pelmar({"records", "--archive", archivePath, "--since", "last", "--target", "web"});
    EXPECT_EQ(r.out, header);
    r = Pelmar({"records", "--archive", archivePath, "--target", "web"});
    EXPECT_EQ(r.code, 2);
}

TEST_F(ArchiveCli, ReadingNeverMakesAnArchiveAndFileErrorsSayWhy) {
    const QString typo = dir.filePath("typo.sqlite");
    PelmarRun r = Pelmar({"records", "--archive", typo});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "Can't open the archive: no archive at " + typo + "\n");
    EXPECT_FALSE(QFileInfo::exists(typo));
    StartSim({"--records", "5"});
    ASSERT_EQ(Pelmar(On({"download", "--archive", archivePath, "--reader", "G"})).code, 0);
    for (const QStringList& since : {QStringList{}, QStringList{"--since", "last"}}) {
        r = Pelmar(
            QStringList{"records", "--archive", archivePath, "--out", "/nonexistent/dir/z.txt"} +
            since);
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.err, "can't write /nonexistent/dir/z.txt: No such file or directory\n");
    }
}

TEST_F(ArchiveCli, RecordsFiltersAndRefusesBadDates) {
    StartSim({"--records", "40"});
    ASSERT_EQ(Pelmar(On({"download", "--archive", archivePath, "--reader", "G"})).code, 0);
    const QList<pelarchive::ArchivedRecord> rows = Archived();
    ASSERT_EQ(rows.size(), 40);
    const QDate day = rows[10].Punch().date();
    long onDay = 0;
    for (const auto& a : rows)
        onDay += a.Punch().date() == day;
    PelmarRun r = Pelmar({"records", "--archive", archivePath, "--since",
                          day.toString("yyyy-MM-dd"), "--until", day.toString("yyyy-MM-dd")});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out.count('\n'), onDay + 1);
    r = Pelmar({"records", "--archive", archivePath, "--reader", "nobody"});
    EXPECT_EQ(r.out.count('\n'), 1);
    r = Pelmar({"records", "--archive", archivePath, "--since", "yesterday"});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.startsWith("pelmar: --since: last, YYYY-MM-DD or \"YYYY-MM-DD hh:mm:ss\"\n"));
    r = Pelmar({"records", "--archive", "postgresql://clerk:pw@db/x"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "Can't open the archive: archive URL refused: it holds a password. Give "
                     "the password through PGPASSWORD or ~/.pgpass, never in the URL.\n");
}

TEST_F(ArchiveCli, ADroppedLinkKeepsWhatWasReadAndTheNextRunTheRest) {
    StartSim({"--records", "80", "--drop-after", "30"});
    PelmarRun r = Pelmar(On({"download", "--archive", archivePath, "--reader", "G"}));
    EXPECT_EQ(r.code, 4) << "the reader stopped answering";
    const QRegularExpressionMatch m =
        QRegularExpression("^(\\d+) new, 0 already archived\n$").match(r.out);
    ASSERT_TRUE(m.hasMatch()) << r.out.toStdString() << r.err.toStdString();
    const long first = m.captured(1).toLong();
    EXPECT_GE(first, 29);
    EXPECT_LE(first, 30);
    EXPECT_EQ(Archived().size(), first);
    sim.reset();
    StartSim({"--records", "80"});
    r = Pelmar(On({"download", "--archive", archivePath, "--reader", "G"}));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, QString("%1 new, %2 already archived\n").arg(80 - first).arg(first));
    EXPECT_EQ(Archived().size(), 80);
}

// The serial reader is unplugged after 30 records and plugged in again: the download
// reconnects and goes on by number from the next record, and the archive has each punch once.
TEST_F(ArchiveCli, ADownloadResumesAfterTheReaderComesBack) {
    const QString link = dir.filePath("reader");
    lvtest::ChildProcess first(lvtest::binPath("readersim"),
                               {"--pty", link, "--records", "80", "--drop-after", "30"});
    ASSERT_TRUE(lvtest::waitForPath(link, 10000));
    QProcess pelmar;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert("LORVANE_LOGIN", "4826");
    e.insert("XDG_CONFIG_HOME", dir.filePath("config"));
    pelmar.setProcessEnvironment(e);
    pelmar.start(lvtest::binPath("pelmar"),
                 {"download", "--port", link, "--archive", archivePath, "--reader", "G"});
    // The reader goes away after its 30th record and comes back with the same memory.
    EXPECT_EQ(first.wait(60000), 0);
    lvtest::ChildProcess second(lvtest::binPath("readersim"), {"--pty", link, "--records", "80"});
    ASSERT_TRUE(pelmar.waitForFinished(60000));
    const QString out = pelmar.readAllStandardOutput();
    EXPECT_EQ(pelmar.exitCode(), 0) << pelmar.readAllStandardError().toStdString();
    const QRegularExpressionMatch m =
        QRegularExpression("^Link lost after (\\d+) records; reconnected, resuming at record "
                           "(\\d+).\n80 new, 0 already archived\n$")
            .match(out);
    ASSERT_TRUE(m.hasMatch()) << out.toStdString();
    EXPECT_EQ(m.captured(2).toLong(), m.captured(1).toLong() + 1);
    const QList<pelarchive::ArchivedRecord> rows = Archived();
    ASSERT_EQ(rows.size(), 80);
    // In the reader's order, each once: the same as a download of the whole memory.
    sim = nullptr;
    StartSim({"--records", "80"});
    PelmarRun r = Pelmar(On({"download", "--archive", archivePath, "--reader", "G"}));
    EXPECT_EQ(r.out, "0 new, 80 already archived\n");
}

// A device server that resets its connection mid-download: the link control connects again
// and the record in flight is asked for by number; nothing twice, nothing missing.
TEST_F(ArchiveCli, ADeviceServerResetLosesAndDoublesNothing) {
    SimReader tcp({"--records", "80", "--drop-after", "30"}, SimReader::Transport::Tcp);
    ASSERT_TRUE(tcp.ok());
    PelmarRun r = Pelmar({"download", "--port", "IP:" + tcp.Address(), "--login", "4826",
                          "--archive", archivePath, "--reader", "G"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.endsWith("80 new, 0 already archived\n")) << r.out.toStdString();
    EXPECT_EQ(Archived().size(), 80);
}

TEST_F(ArchiveCli, SafeEraseArchivesChecksAndOnlyThenErases) {
    StartSim({"--records", "300", "--erase-ms", "1"});
    PelmarRun r =
        Pelmar(On({"erase", "--safe", "--yes", "--archive", archivePath, "--reader", "G"}));
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "300 new, 0 already archived\nERASE records OK!\n");
    EXPECT_EQ(Archived().size(), 300);
    // "E" came after the last record was read.
    const QStringList req = sim->Requests();
    EXPECT_GE(req.filter("<STX>G").size(), 300); // every record (and the end of them)
    EXPECT_GT(req.lastIndexOf("<STX>E<CR>"), req.lastIndexOf(QRegularExpression("^<STX>G")));
    r = Pelmar(On({"erase", "--safe", "--yes", "--archive", archivePath, "--reader", "G"}));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "0 new, 0 already archived\nNo records to erase.\n");
}

// Each command that files records or erases ends with its summary on stderr: alone through a
// pipe, after the cleared progress line on a terminal, not at all with --quiet. The results on
// stdout stay as they were.
TEST_F(ArchiveCli, ArchivingCommandsEndWithTheirSummary) {
    StartSim({"--records", "300", "--erase-ms", "1", "--baud", "115200"});
    PelmarRun r = Pelmar(On({"download", "--archive", archivePath, "--reader", "G"}));
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "300 new, 0 already archived\n");
    EXPECT_EQ(r.err, "300 records archived (300 new, 0 already archived)\n");
    r = Pelmar(On({"download", "--quiet", "--archive", archivePath, "--reader", "G"}));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "0 new, 300 already archived\n");
    EXPECT_EQ(r.err, "");

    const QString file = dir.filePath("out.txt");
    r = Pelmar({"records", "--archive", archivePath, "--out", file});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "300 records written to " + file + "\n");
    EXPECT_EQ(r.err, "300 records saved to " + file + "\n");
    const lvtest::TerminalRun exported =
        OnTerminal({"records", "--archive", archivePath, "--out", dir.filePath("out2.txt")});
    EXPECT_EQ(exported.code, 0);
    const lvtest::TerminalText e = lvtest::readTerminal(exported.err);
    EXPECT_EQ(e.text, "300 records saved to " + dir.filePath("out2.txt") + "\n");
    EXPECT_TRUE(e.endsCleared);
    EXPECT_EQ(e.frames, QStringList({"Reading the archive", "Exporting 300 records"}));

    // The safe erase: its download, then its erase, each on the progress line.
    const lvtest::TerminalRun tty =
        OnTerminal(On({"erase", "--safe", "--yes", "--archive", archivePath, "--reader", "G"}));
    EXPECT_EQ(tty.code, 0);
    EXPECT_EQ(tty.out, "0 new, 300 already archived\nERASE records OK!\n");
    const lvtest::TerminalText t = lvtest::readTerminal(tty.err);
    EXPECT_EQ(t.text, "Erased 300 records\n") << tty.err.toStdString();
    EXPECT_TRUE(t.endsCleared);
    EXPECT_TRUE(t.covered);
    static const QRegularExpression frame(
        "^(Downloading|Erasing): (\\d+)( / 300 records \\(\\d+ %\\)| records)(, .*)?$");
    QStringList phases;
    for (const QString& f : t.frames) {
        const QRegularExpressionMatch m = frame.match(f);
        ASSERT_TRUE(m.hasMatch()) << f.toStdString();
        EXPECT_LE(m.captured(2).toInt(), 300);
        if (phases.isEmpty() || phases.last() != m.captured(1)) phases << m.captured(1);
    }
    EXPECT_EQ(phases, QStringList({"Downloading", "Erasing"}));
    EXPECT_EQ(Archived().size(), 300);
}

TEST_F(ArchiveCli, SafeEraseTakesPunchesThatArriveMeanwhile) {
    // A punch arrives with the second count, just before "E".
    StartSim({"--records", "200", "--punch-at-count", "2", "--erase-ms", "1"});
    PelmarRun r =
        Pelmar(On({"erase", "--safe", "--yes", "--archive", archivePath, "--reader", "G"}));
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    // Just before "E" the record after the last one read (G00C8) is there now.
    EXPECT_EQ(r.out, "200 new, 0 already archived\n"
                     "The reader holds a record 201 now: archiving again.\n"
                     "1 new, 200 already archived\n"
                     "ERASE records OK!\n");
    EXPECT_EQ(Archived().size(), 201);
}

TEST_F(ArchiveCli, SafeEraseLeavesTheReaderUntouchedWhenAnythingFails) {
    StartSim({"--records", "50"});
    ASSERT_TRUE(lvtest::writeFile(dir.filePath("file"), "a file, not a folder"));
    PelmarRun r =
        Pelmar(On({"erase", "--safe", "--yes", "--archive", dir.filePath("file/a.sqlite")}));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "Can't archive: can't make the archive folder " + dir.filePath("file") + "\n");
    EXPECT_FALSE(Erased(*sim));
    EXPECT_TRUE(sim->Requests().filter("<STX>G").isEmpty()); // nothing read it could not keep
    sim.reset();
    StartSim({"--records", "50", "--drop-after", "20"});
    r = Pelmar(On({"erase", "--safe", "--yes", "--archive", archivePath, "--reader", "G"}));
    EXPECT_EQ(r.code, 4) << "the link was lost: pelmar's code for it";
    // Three reconnects (the reader stays away, each saying why), then the reason.
    EXPECT_TRUE(QRegularExpression("^(Can't open the port!!\n[^\n]*/reader: No such file or "
                                   "directory\n){3}Not erased: the reader stopped answering after "
                                   "(19|20) records. The reader is untouched.\n$")
                    .match(r.err)
                    .hasMatch())
        << r.err.toStdString();
    EXPECT_FALSE(Erased(*sim));
    EXPECT_GE(Archived().size(), 19); // what was read is kept all the same
}

// A disk that fills up while the download is filed: a clear error, nothing erased. A real full
// disk: a tiny tmpfs (mounting needs root; elsewhere the archive library's page-limit test
// stands in).
TEST_F(ArchiveCli, AFullDiskStopsTheSafeEraseBeforeTheErase) {
    const QString disk = dir.filePath("disk");
    ASSERT_TRUE(QDir().mkpath(disk));
    if (::geteuid() != 0 ||
        ::mount("tmpfs", disk.toLocal8Bit().constData(), "tmpfs", 0, "size=192k") != 0) {
        std::cerr << "\n*** SKIPPED: can't mount a tiny tmpfs (not root) ***\n\n";
        GTEST_SKIP() << "can't mount a tiny tmpfs";
    }
    struct Unmount {
        QString path;
        ~Unmount() { ::umount2(path.toLocal8Bit().constData(), MNT_DETACH); }
    } unmount{disk};
    StartSim({"--records", "3000", "--erase-ms", "1"});
    PelmarRun r =
        Pelmar(On({"erase", "--safe", "--yes", "--archive", disk + "/a.sqlite", "--reader", "G"}));
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(QRegularExpression("^Not erased: can't archive the records: database or disk is "
                                   "full[^\n]*\\(archive " +
                                   QRegularExpression::escape(disk) +
                                   "/a.sqlite\\)\\. The reader is untouched.\n$")
                    .match(r.err)
                    .hasMatch())
        << r.err.toStdString();
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(Erased(*sim));
    EXPECT_TRUE(sim->Requests().filter("<STX>G").size() >= 3000);
}

// An archive on a read-only file system is listed (mounting needs root; elsewhere it skips).
TEST_F(ArchiveCli, AReadOnlyArchiveIsListed) {
    const QString disk = dir.filePath("ro");
    ASSERT_TRUE(QDir().mkpath(disk));
    if (::geteuid() != 0 ||
        ::mount("tmpfs", disk.toLocal8Bit().constData(), "tmpfs", 0, "size=4m") != 0) {
        std::cerr << "\n*** SKIPPED: can't mount a tmpfs (not root) ***\n\n";
        GTEST_SKIP() << "can't mount a tmpfs";
    }
    struct Unmount {
        QString path;
        ~Unmount() { ::umount2(path.toLocal8Bit().constData(), MNT_DETACH); }
    } unmount{disk};
    StartSim({"--records", "7"});
    PelmarRun r = Pelmar(On({"download", "--archive", disk + "/a.sqlite", "--reader", "G"}));
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    ASSERT_EQ(
        ::mount("tmpfs", disk.toLocal8Bit().constData(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr),
        0);
    r = Pelmar({"records", "--archive", disk + "/a.sqlite"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out.count('\n'), 8); // the header and 7 records
    EXPECT_TRUE(r.out.startsWith("Reader\t"));
}

TEST_F(ArchiveCli, TimeShowsBothClocksAndTheArchiveKeepsTheDrift) {
    StartSim({"--records", "5", "--clock-offset", "-3600"});
    PelmarRun r = Pelmar(On({"time", "--archive", archivePath, "--reader", "G"}));
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << r.out.toStdString();
    const QDateTime reader = QDateTime::fromString(lines[0], "yyyy/MM/dd HH:mm:ss");
    const QDateTime host = QDateTime::fromString(lines[1].mid(12), "yyyy/MM/dd HH:mm:ss");
    ASSERT_TRUE(lines[1].startsWith("Host clock: ") && host.isValid()) << lines[1].toStdString();
    const QRegularExpressionMatch m =
        QRegularExpression("^Drift: (-?\\d+) s \\(reader behind the host\\)$").match(lines[2]);
    ASSERT_TRUE(m.hasMatch()) << lines[2].toStdString();
    EXPECT_EQ(m.captured(1).toLongLong(), host.secsTo(reader));
    EXPECT_NEAR(m.captured(1).toDouble(), -3600, 2);
    pelarchive::Archive a;
    pelarchive::ArchiveLocation l;
    l.path = archivePath;
    QString error;
    ASSERT_TRUE(a.Open(l, &error));
    QList<pelarchive::ReaderRow> readers;
    ASSERT_TRUE(a.Readers(readers, &error));
    ASSERT_EQ(readers.size(), 1);
    EXPECT_TRUE(readers[0].hasDrift);
    EXPECT_NEAR(double(readers[0].drift), -3600, 2);
}

struct Collect : ArchiveCli {
    std::unique_ptr<SimReader> tcp;
    QString readers;

    void StartReaders(const QStringList& ptyArgs, const QStringList& tcpArgs) {
        StartSim(ptyArgs);
        tcp = std::make_unique<SimReader>(tcpArgs, SimReader::Transport::Tcp);
        ASSERT_TRUE(tcp->ok());
        readers = dir.filePath("readers.ini");
    }
    void WriteReaders(const QString& text, bool ownerOnly) {
        ASSERT_TRUE(lvtest::writeFile(readers, text.toUtf8()));
        QFile::setPermissions(readers, ownerOnly ? QFile::ReadOwner | QFile::WriteOwner
                                                 : QFile::ReadOwner | QFile::WriteOwner |
                                                       QFile::ReadGroup | QFile::ReadOther);
    }
    static QStringList Sorted(const QString& out) {
        QStringList l = out.split('\n', Qt::SkipEmptyParts);
        std::sort(l.begin(), l.end());
        return l;
    }
};

TEST_F(Collect, EveryReaderAtOnceWithALinePerReaderAndASummary) {
    StartReaders({"--records", "40"}, {"--records", "25", "--seed", "7"});
    WriteReaders(QString("[Gate A]\nPort=%1\nBaud=19200\n\n[Gate B]\nPort=IP:%2\n")
                     .arg(sim->Link(), tcp->Address()),
                 false);
    PelmarRun r = Pelmar({"collect", "--readers", readers, "--archive", archivePath},
                         {{"LORVANE_LOGIN", "4826"}});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(Sorted(r.out), QStringList({"2 readers: 2 collected, 0 failed; 65 new, 0 already "
                                          "archived",
                                          "Gate A: 40 new, 0 already archived",
                                          "Gate B: 25 new, 0 already archived"}));
    EXPECT_EQ(Archived().size(), 65);
    r = Pelmar({"collect", "--readers", readers, "--archive", archivePath},
               {{"LORVANE_LOGIN", "4826"}});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(Sorted(r.out), QStringList({"2 readers: 2 collected, 0 failed; 0 new, 65 already "
                                          "archived",
                                          "Gate A: 0 new, 40 already archived",
                                          "Gate B: 0 new, 25 already archived"}));
}

// On a terminal one progress line names the readers still running; each reader's line and
// the summary on stdout are as through a pipe.
TEST_F(Collect, ShowsTheRunningReadersOnATerminal) {
    StartReaders({"--records", "200", "--baud", "19200"}, {"--records", "25", "--seed", "7"});
    WriteReaders(
        QString("[Gate A]\nPort=%1\n\n[Gate B]\nPort=IP:%2\n").arg(sim->Link(), tcp->Address()),
        false);
    const lvtest::TerminalRun tty = OnTerminal(
        {"collect", "--readers", readers, "--archive", archivePath}, {{"LORVANE_LOGIN", "4826"}});
    EXPECT_EQ(tty.code, 0);
    EXPECT_EQ(
        Sorted(QString::fromUtf8(tty.out)),
        QStringList({"2 readers: 2 collected, 0 failed; 225 new, 0 already archived",
                     "Gate A: 200 new, 0 already archived", "Gate B: 25 new, 0 already archived"}));
    const lvtest::TerminalText t = lvtest::readTerminal(tty.err);
    EXPECT_EQ(t.text, "") << tty.err.toStdString();
    EXPECT_TRUE(t.endsCleared);
    ASSERT_GE(t.frames.size(), 2) << tty.err.toStdString();
    EXPECT_EQ(t.frames[0], "Collecting: 0 / 2 done, 0:00; Gate A, Gate B");
    // Gate B (25 records) ends long before Gate A (200 records at 19,200 baud), whose count
    // of its reader's 200 goes on.
    EXPECT_TRUE(QRegularExpression("^Collecting: 1 / 2 done, \\d+:\\d\\d; Gate A \\d+ / 200$")
                    .match(t.frames.last())
                    .hasMatch())
        << t.frames.last().toStdString();
}

TEST_F(Collect, AFailedReaderFailsTheRunAndTheOthersAreKept) {
    StartReaders({"--records", "10"}, {"--records", "12"});
    WriteReaders(QString("[Gate A]\nPort=%1\nLogin=4826\n[Gate B]\nPort=IP:%2\nLogin=1111\n"
                         "[Gate C]\nPort=%3\n")
                     .arg(sim->Link(), tcp->Address(), dir.filePath("no-such-port")),
                 true);
    PelmarRun r = Pelmar({"collect", "--readers", readers, "--archive", archivePath});
    EXPECT_EQ(r.code, 1);
    const QStringList lines = Sorted(r.out);
    ASSERT_EQ(lines.size(), 4) << r.out.toStdString();
    EXPECT_EQ(lines[0], "3 readers: 1 collected, 2 failed; 10 new, 0 already archived");
    EXPECT_EQ(lines[1], "Gate A: 10 new, 0 already archived");
    // The reason, not the reader's plea to try again.
    EXPECT_EQ(lines[2], "Gate B: failed: Login ID refused");
    EXPECT_EQ(lines[3], "Gate C: failed: no Login ID (a Login key or LORVANE_LOGIN)");
    EXPECT_EQ(Archived().size(), 10);
}

TEST_F(Collect, AReadersFileWithLoginIdsMustBeTheOwnersAlone) {
    StartReaders({"--records", "1"}, {"--records", "1"});
    WriteReaders(QString("[Gate A]\nPort=%1\nLogin=4826\n").arg(sim->Link()), false);
    PelmarRun r = Pelmar({"collect", "--readers", readers, "--archive", archivePath});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "pelmar: the readers file " + readers +
                         " holds Login IDs and others may read it: make it readable by its "
                         "owner only (chmod 600 " +
                         readers + ")\n");
    EXPECT_TRUE(sim->Requests().isEmpty());
    WriteReaders(QString("[Gate A]\nPort=%1\n[Gate B]\nPort=%1\n").arg(sim->Link()), false);
    r = Pelmar({"collect", "--readers", readers, "--archive", archivePath});
    EXPECT_EQ(r.code, 2);
    // The simulator's link is a symbolic link to its pty: the device is the pty.
    EXPECT_EQ(r.err, "pelmar: readers file " + readers +
                         " line 3: [Gate A] and [Gate B] use the same device " +
                         QFileInfo(sim->Link()).canonicalFilePath() + "\n");
    WriteReaders(QString("[Gate A]\nPort=%1\n[Gate B]\nPort=%2\n")
                     .arg(sim->Link(), QFileInfo(sim->Link()).canonicalFilePath()),
                 false);
    r = Pelmar({"collect", "--readers", readers, "--archive", archivePath});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(sim->Requests().isEmpty());
}

TEST_F(Collect, EveryRoundUntilSigterm) {
    // Two readers with punches of their own (the same punches would be one reader's).
    StartReaders({"--records", "15"}, {"--records", "5", "--seed", "2"});
    WriteReaders(
        QString("[Gate A]\nPort=%1\n[Gate B]\nPort=IP:%2\n").arg(sim->Link(), tcp->Address()),
        false);
    qputenv("LORVANE_LOGIN", "4826");
    qputenv("XDG_DATA_HOME", dir.filePath("data").toLocal8Bit());
    lvtest::ChildProcess collect(
        lvtest::binPath("pelmar"),
        {"collect", "--readers", readers, "--archive", archivePath, "--every", "1s"});
    qunsetenv("LORVANE_LOGIN");
    ASSERT_TRUE(collect.started());
    // Two rounds, then SIGTERM while it waits or collects.
    ASSERT_TRUE(lvtest::waitFor(
        [&] { return collect.readStdout().count("2 readers: 2 collected") >= 2; }, 60000))
        << collect.readStdout().toStdString();
    ::kill(collect.pid(), SIGTERM);
    EXPECT_EQ(collect.wait(30000), 128 + SIGTERM);
    const QString out = QString::fromUtf8(collect.readStdout());
    EXPECT_TRUE(out.startsWith("Gate ")) << out.toStdString();
    EXPECT_TRUE(out.contains("2 readers: 2 collected, 0 failed; 20 new, 0 already archived\n"));
    EXPECT_TRUE(out.contains("2 readers: 2 collected, 0 failed; 0 new, 20 already archived\n"));
    EXPECT_TRUE(QRegularExpression("already archived\n$").match(out).hasMatch())
        << out.toStdString();
    EXPECT_EQ(Archived().size(), 20);
}

// SIGTERM at any moment of a round: each reader stops after its record in flight, files what
// it read, and the round ends "N stopped" with exit 143 (as soon as the first reader is spoken
// to, while the downloads log in, and 2 s later, while they read).
TEST_F(Collect, SigtermAtAnyMomentStopsEveryReaderAndFilesWhatItRead) {
    for (int atMs : {0, 2000}) {
        SCOPED_TRACE(atMs);
        sim.reset();
        tcp.reset();
        QFile::remove(archivePath);
        StartReaders({"--records", "3000", "--baud", "115200"},
                     {"--records", "3000", "--baud", "115200", "--seed", "2"});
        WriteReaders(QString("[Gate A]\nPort=%1\nBaud=115200\n[Gate B]\nPort=IP:%2\n")
                         .arg(sim->Link(), tcp->Address()),
                     false);
        qputenv("LORVANE_LOGIN", "4826");
        lvtest::ChildProcess collect(lvtest::binPath("pelmar"),
                                     {"collect", "--readers", readers, "--archive", archivePath});
        qunsetenv("LORVANE_LOGIN");
        ASSERT_TRUE(collect.started());
        ASSERT_TRUE(lvtest::waitFor([&] { return !sim->Requests().isEmpty(); }, 30000));
        QThread::msleep(atMs);
        ::kill(collect.pid(), SIGTERM);
        EXPECT_EQ(collect.wait(60000), 128 + SIGTERM);
        const QString out = QString::fromUtf8(collect.readStdout());
        EXPECT_TRUE(QRegularExpression("\n2 readers: 0 collected, 0 failed, 2 stopped; \\d+ new, "
                                       "0 already archived\n$")
                        .match(out)
                        .hasMatch())
            << out.toStdString();
        EXPECT_FALSE(out.contains("failed:")) << out.toStdString();
        EXPECT_LT(Archived().size(), 6000);
    }
}

// Two collectors on one PostgreSQL archive, each reaching a copy of the same reader memory
// under the same reader name at the same moment: every punch once.
TEST_F(Collect, TwoCollectorsOnOnePostgresNeverDuplicate) {
    lvtest::PgCluster pg;
    if (pg.missing()) {
        std::cerr << "\n*** SKIPPED: no PostgreSQL server to test against: "
                  << pg.Why().toStdString() << " ***\n\n";
        GTEST_SKIP() << pg.Why().toStdString();
    }
    ASSERT_TRUE(pg.ok()) << pg.Why().toStdString();
    ASSERT_TRUE(pg.CreateDatabase("punches"));
    StartReaders({"--records", "600"}, {"--records", "600"});
    const QString a = dir.filePath("a.ini"), b = dir.filePath("b.ini");
    ASSERT_TRUE(lvtest::writeFile(a, QString("[Gate]\nPort=%1\n").arg(sim->Link()).toUtf8()));
    ASSERT_TRUE(lvtest::writeFile(b, QString("[Gate]\nPort=IP:%1\n").arg(tcp->Address()).toUtf8()));
    auto start = [&](QProcess& p, const QString& file) {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("LORVANE_LOGIN", "4826");
        e.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        p.setProcessEnvironment(e);
        p.start(lvtest::binPath("pelmar"),
                {"collect", "--readers", file, "--archive", pg.Url("punches")});
    };
    QProcess one, two;
    start(one, a);
    start(two, b);
    ASSERT_TRUE(one.waitForFinished(120000));
    ASSERT_TRUE(two.waitForFinished(120000));
    EXPECT_EQ(one.exitCode(), 0) << one.readAllStandardError().toStdString();
    EXPECT_EQ(two.exitCode(), 0) << two.readAllStandardError().toStdString();
    long added = 0;
    for (QProcess* p : {&one, &two}) {
        const QString out = p->readAllStandardOutput();
        const QRegularExpressionMatch m =
            QRegularExpression("^Gate: (\\d+) new, (\\d+) already archived$",
                               QRegularExpression::MultilineOption)
                .match(out);
        ASSERT_TRUE(m.hasMatch()) << out.toStdString();
        EXPECT_EQ(m.captured(1).toLong() + m.captured(2).toLong(), 600);
        added += m.captured(1).toLong();
    }
    EXPECT_EQ(added, 600);
    EXPECT_EQ(pg.Value("SELECT COUNT(*) FROM records", "punches"), "600");
}

} // namespace
