// Fault injection: every operation of the console's command line (and the link control's file
// transfer) against each fault the simulated reader can play, over a pseudo-terminal and over
// TCP. Each case runs the real programs as processes against a readersim started for it and
// checks that the program ends by itself within a generous bound, with one of its exit codes
// (no signal), prints the exact message of the failure, and keeps every record it had read.
// Faults a reader link must survive (line noise, damaged checksums, a slow reader) end in
// success with the reader's records byte for byte. One test per operation, each with its own
// table of rows: download and save, erase, settings, clock, Login ID, discovery, file transfer.
//
// What the simulator's faults touch (sim/src/Session.cpp): noise, corrupt, slow, silent and
// partial act on Rnet replies only, never on XMODEM blocks; corrupt only on replies that carry a
// checksum ("G", "N", "B", "FI"); drop-after counts record replies, so only a download meets it.
//
#include "CliTestSupport.h"
#include "SimReader.h"
#include "TestSupport.h"

#include "XlsxPackage.h"
#include "pelexport/FromRecords.h"
#include "pelmar/RecordTableModel.h"
#include "pelmar/SaveOptions.h"
#include "readersim/Reader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

using namespace pelmar;

namespace {

// ---- the matrix -----------------------------------------------------------------------------

enum class Op {
    Download,      // pelmar download (the table on stdout)
    SaveTxt,       // pelmar download --out FILE.txt
    SaveCsv,       // pelmar download --out FILE.csv
    SaveXlsx,      // pelmar download --out FILE.xlsx
    Erase,         // pelmar erase --yes
    SettingsRead,  // pelmar settings
    SettingsWrite, // pelmar settings --set UserName=...
    TimeRead,      // pelmar time
    TimeSet,       // pelmar time --set ...
    ChangeLoginId, // pelmar change-login-id --new ...
    Scan,          // pelmar scan
    XmodemSend,    // dorlin call Login, call SendFileReq, send-file
    XmodemRecv,    // dorlin call Login, call RecvFileReq, recv-file
};

enum class Fault {
    None,
    Drop,
    Noise,
    Corrupt,
    CorruptAll,
    Silent,
    Slow,
    Slow400,
    Slow700,
    Slow990,
    TooSlow, // beyond pelmar's reply time
    Partial
};

enum Via : unsigned { Pty = 1, Tcp = 2, Both = 3 };

// How a case must end.
enum class Outcome {
    Success,   // exit 0, the operation's whole result
    NoReader,  // exit 4, "Can't connect to RFID Reader!", nothing changed, nothing written
    KeepsRead, // exit 4, "Can't connect to RFID Reader!", every record read before kept
    // A device server that resets the connection: the link control connects again and the
    // download goes on (exit 0, every record), or it ends as KeepsRead when the reconnection
    // came too late for the record's retries.
    Reconnects,
    ScanTimeout, // exit 4, the row "Timeout"
    ScanUnknown, // exit 4, the row "Unknown Error" (bytes came, never a whole reply)
    Refused,     // dorlin: no whole reply to the login and the request (FALSE, exit 4)
    // exit 7: the date-format register never came whole (every checksum damaged), so no
    // record date could be read; nothing kept
    DateUnread,
    SettingsUnread, // exit 7, "Get User Name NG" ...: nothing shown, nothing written
};

struct Row {
    Op op;
    Fault fault;
    unsigned via;
    Outcome outcome;
};

// The rows of the tables below are every combination the simulator can really play. Left out:
// drop-after with anything but a download (the reader vanishes only after N record replies, which
// no other operation asks for); over TCP drop-after resets the connection of a device server whose
// reader is still there, so the link control may connect again and the download go on. Silent and
// partial cost the console's real time-outs (the 2 s presence probe, the 3 s scan window) and fail
// every pelmar command in the same connection step, so over TCP they run for one operation of
// each failure path: pelmar's connection, the scan and the file transfer request. A slow
// reader (100 ms a reply) runs every save format once, on one transport each. The file
// transfer runs only behind a request the reader accepted: started without one it waits for
// its peer without a time limit.

const char* OpName(Op op) {
    switch (op) {
    case Op::Download:
        return "Download";
    case Op::SaveTxt:
        return "SaveTxt";
    case Op::SaveCsv:
        return "SaveCsv";
    case Op::SaveXlsx:
        return "SaveXlsx";
    case Op::Erase:
        return "Erase";
    case Op::SettingsRead:
        return "SettingsRead";
    case Op::SettingsWrite:
        return "SettingsWrite";
    case Op::TimeRead:
        return "TimeRead";
    case Op::TimeSet:
        return "TimeSet";
    case Op::ChangeLoginId:
        return "ChangeLoginId";
    case Op::Scan:
        return "Scan";
    case Op::XmodemSend:
        return "XmodemSend";
    case Op::XmodemRecv:
        return "XmodemRecv";
    }
    return "?";
}

const char* FaultName(Fault f) {
    switch (f) {
    case Fault::None:
        return "NoFault";
    case Fault::Drop:
        return "Drop";
    case Fault::Noise:
        return "Noise";
    case Fault::Corrupt:
        return "Corrupt";
    case Fault::CorruptAll:
        return "CorruptAll";
    case Fault::Silent:
        return "Silent";
    case Fault::Slow:
        return "Slow";
    case Fault::Slow400:
        return "Slow400";
    case Fault::Slow700:
        return "Slow700";
    case Fault::Slow990:
        return "Slow990";
    case Fault::TooSlow:
        return "TooSlow";
    case Fault::Partial:
        return "Partial";
    }
    return "?";
}

// The simulator's options of a fault. The rates and the seed are fixed: the damage a seed
// picks is the same on every run (checksum damage draws only for replies that carry one), and
// with seed 11 no record, register or count reply is damaged three times in a row.
QStringList FaultArgs(Fault f) {
    switch (f) {
    case Fault::None:
        return {};
    case Fault::Drop:
        return {"--drop-after", "40"};
    case Fault::Noise:
        return {"--noise", "0.5"};
    case Fault::Corrupt:
        // records checksummed on every reply (the other reading), so damage meets them
        return {"--corrupt", "0.1", "--record-checksums", "--count-format", "hex"};
    case Fault::CorruptAll:
        return {"--corrupt", "1"};
    case Fault::Silent:
        return {"--silent"};
    case Fault::Slow:
        return {"--slow", "100"};
    case Fault::Slow400:
        return {"--slow", "400"};
    case Fault::Slow700:
        return {"--slow", "700"};
    case Fault::Slow990:
        return {"--slow", "990"};
    case Fault::TooSlow:
        return {"--slow", "3000"};
    case Fault::Partial:
        return {"--partial"};
    }
    return {};
}

constexpr int kSeed = 11;
constexpr int kDropAfter = 40;
constexpr const char* kNewUserName = "Gate 7";
constexpr const char* kNewLoginId = "1A2B";
constexpr const char* kClockSet = "2025/01/05 09:03:07";
constexpr const char* kNoReader = "Can't connect to RFID Reader!\n";
// The line behind it, naming the port.
QString NoReaderHint(const QString& port) {
    return "pelmar: no reader answered on " + port +
           " (check the cable, the reader's power and its baud rate)\n";
}
constexpr const char* kSettingsOfTheReader =
    "MacID=01\nUserName=Front Door\nPowerMode=0\nPowerOffTime=600\nBeep=True\nDateMode=255\n"
    "LCDOffTime=30\nLargeFonts=False\nOptionsOfEvent=4\nScanMode=0\nIsLockDateTime=False\n"
    "RFIDScanTime=3\n";
constexpr int kClockOffset = -3 * 86400; // the reader's clock runs three days behind

bool IsSave(Op op) {
    return op == Op::SaveTxt || op == Op::SaveCsv || op == Op::SaveXlsx;
}
bool IsTransfer(Op op) {
    return op == Op::XmodemSend || op == Op::XmodemRecv;
}
bool IsDownload(Op op) {
    return op == Op::Download || IsSave(op);
}

// A reader that answers 400 ms late or later.
bool VerySlow(Fault f) {
    return f == Fault::Slow400 || f == Fault::Slow700 || f == Fault::Slow990 || f == Fault::TooSlow;
}

// Records a download case works on: fewer for a slow reader (100 ms a reply), a handful for
// a very slow one.
int RecordCount(Op op, Fault f) {
    if (op == Op::Erase) return VerySlow(f) ? 3 : 30;
    if (!IsDownload(op)) return 0;
    return VerySlow(f) ? 3 : f == Fault::Slow ? 20 : 100;
}

// ---- expected results -----------------------------------------------------------------------

// The record table of the first n records the simulator generates, as pelmar builds it.
void FillModel(RecordTableModel& model, int n) {
    clitest::AppendSimRecords(model, size_t(n), kSeed);
}

QString ExpectedTable(int n) {
    RecordTableModel model;
    FillModel(model, n);
    return clitest::TableText(model);
}

// The file Save writes for the first n records, written here by the same writers. A reader
// that has vanished can no longer be asked for its machine ID and user name.
QByteArray ExpectedSave(const QString& path, int n, bool readerThere) {
    RecordTableModel model;
    clsSaveOptions so;
    so.SetIsFormatFileExist(QFileInfo::exists(FormatFilePath()));
    model.SetSaveOptions(so);
    FillModel(model, n);
    SaveHooks hooks;
    hooks.fetchMachineID = [readerThere](QString* v) {
        *v = readerThere ? QStringLiteral("01") : QString();
        return readerThere;
    };
    hooks.fetchUserName = [readerThere](QString* v) {
        *v = readerThere ? QStringLiteral("Front Door") : QString();
        return readerThere;
    };
    QFile::remove(path);
    SaveResult r = SaveRecords(path, model, so, hooks);
    if (!r.bOk) return {};
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

std::map<QString, QByteArray> WorkbookParts(const QByteArray& bytes);

// Whether a saved file holds exactly the first n records.
bool SavedEquals(Op op, const QByteArray& written, const QString& outFile, int n,
                 bool readerThere) {
    const QString expectedPath =
        QFileInfo(outFile).path() + "/expected." + QFileInfo(outFile).suffix();
    const QByteArray want = ExpectedSave(expectedPath, n, readerThere);
    if (want.isEmpty()) return false;
    if (op == Op::SaveXlsx) return WorkbookParts(written) == WorkbookParts(want);
    return written == want;
}

// A workbook's parts (the archive's own time stamps aside).
std::map<QString, QByteArray> WorkbookParts(const QByteArray& bytes) {
    std::map<QString, QByteArray> parts;
    xlsx::Package pkg;
    if (!pkg.open(bytes)) return parts;
    for (const char* name :
         {"[Content_Types].xml", "_rels/.rels", "xl/workbook.xml", "xl/_rels/workbook.xml.rels",
          "xl/styles.xml", "xl/worksheets/sheet1.xml", "xl/sharedStrings.xml"}) {
        QByteArray part;
        if (pkg.has(name) && pkg.read(name, &part)) parts[name] = part;
    }
    return parts;
}

// What the reader stores of a file received by XMODEM, and what a receiver keeps: whole
// 128-byte blocks, the last padded with zero bytes.
QByteArray Padded(QByteArray data) {
    while (data.size() % 128)
        data.append('\0');
    return data;
}

QByteArray TransferContent() {
    QByteArray data;
    for (int i = 0; i < 1000; ++i)
        data.append(char((i * 37 + 11) & 0xFF)); // every byte value, CAN and EOT among them
    return data;
}

// ---- the peers ----------------------------------------------------------------------------

// readersim for one case, on a pty link or as a device server on port 1001 of a loopback
// address of its own (the port discovery probes), with a state file to look into afterwards.
class Sim {
public:
    Sim(unsigned via, const QStringList& args)
        : via_(via), state_(stateDir_.path() + "/state.json"),
          sim_(QStringList{"--state", state_} +
                   (via == Pty ? QStringList{} : QStringList{"--config-port", "0"}) + args,
               via == Pty ? lvtest::SimReader::Transport::Pty : lvtest::SimReader::Transport::Tcp) {
    }
    bool ok() const { return stateDir_.isValid() && sim_.ok(); }
    QString Link() const { return sim_.Link(); }
    QString Address() const { return sim_.Address(); }
    // pelmar's --port text.
    QString PelmarPort() const {
        return via_ == Pty ? Link() : "IP:" + Address() + ":" + QString::number(kTcp);
    }
    // dorlin's port options.
    QStringList DorlinPort() const {
        if (via_ == Pty) return {"--port", Link()};
        return {"--port", "COM0", "--address", Address(), "--ip-port", QString::number(kTcp)};
    }
    QStringList Log() const { return sim_.Log(); }
    // Stops the reader (it writes its state on the way out) and reads the state.
    QJsonObject StopAndReadState() {
        sim_.Stop();
        return QJsonDocument::fromJson(lvtest::readFile(state_)).object();
    }

private:
    static constexpr int kTcp = lvtest::SimReader::kTcpPort;
    unsigned via_;
    QTemporaryDir stateDir_;
    QString state_;
    lvtest::SimReader sim_;
};

// ---- the test of every operation -------------------------------------------------------------

struct Case {
    Row row;
    unsigned via;
};

// One case per row and transport.
template <size_t N> std::vector<Case> Cases(const Row (&rows)[N]) {
    std::vector<Case> cases;
    for (const Row& r : rows)
        for (unsigned v : {unsigned(Pty), unsigned(Tcp)})
            if (r.via & v) cases.push_back({r, v});
    return cases;
}

std::string CaseText(const Case& c) {
    return std::string(OpName(c.row.op)) + "_" + FaultName(c.row.fault) +
           (c.via == Pty ? "_Pty" : "_Tcp");
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    return CaseText(info.param);
}

void PrintTo(const Case& c, std::ostream* os) {
    *os << CaseText(c);
}

// One case: the reader started with the case's records and fault, the program run against it,
// and what every case checks (ended by itself, a documented exit code, the fault played).
class FaultCase : public ::testing::TestWithParam<Case> {
protected:
    QTemporaryDir home; // settings store and runtime folder of the programs, files of the case
    Op op = GetParam().row.op;
    Fault fault = GetParam().row.fault;
    Outcome outcome = GetParam().row.outcome;
    unsigned via = GetParam().via;
    int records = RecordCount(op, fault);
    std::unique_ptr<Sim> sim;
    clitest::ProgramRun run;
    QStringList wire;  // the reader's log of the line
    QJsonObject state; // the reader's state after the run

    // The bound on one run: far beyond what the operation takes with its time-outs (a slow
    // reader's settings write is the longest, a few seconds), so only a hang reaches it.
    static constexpr int kLimitMs = 120000;

    void SetUp() override {
        ASSERT_TRUE(home.isValid());
        ASSERT_TRUE(QDir(home.path()).mkpath("config"));
    }
    QString Config() const { return home.path() + "/config"; }

    // readersim with the case's records and fault, and the options the operation needs.
    void StartSim(const QStringList& options = {}) {
        QStringList args{"--seed", QString::number(kSeed), "--records", QString::number(records)};
        // A short user name: the login reads it register by register, a second each.
        if (VerySlow(fault) && !IsSave(op) && op != Op::SettingsRead)
            args << "--user-name"
                 << "A";
        sim = std::make_unique<Sim>(via, args + options + FaultArgs(fault));
        ASSERT_TRUE(sim->ok());
    }
    void Pelmar(const QStringList& args) {
        run = clitest::RunProgram(
            "pelmar", args + QStringList{"--port", sim->PelmarPort(), "--login", "4826"}, Config(),
            {}, kLimitMs);
    }

    // No hang, no crash, one of the documented exit codes; then the reader's log and state,
    // and the fault really played: line noise in front of replies. (The scan and the transfer
    // request see too few replies to be sure of noise.)
    void EndedCleanly() {
        ASSERT_TRUE(run.started) << "the program did not start";
        ASSERT_TRUE(run.finished) << "still running after " << kLimitMs << " ms; stdout:\n"
                                  << run.out.toStdString() << "\nstderr:\n"
                                  << run.err.toStdString();
        ASSERT_FALSE(run.crashed) << run.err.toStdString();
        if (IsTransfer(op)) {
            EXPECT_TRUE(run.code >= 0 && run.code <= 4) << run.code; // dorlin's table
        } else {
            // pelmar's table: 0 done, 2 usage, 3 port, 4 no reader, 5 login, 6 incomplete,
            // 7 refused (1 only for a file it could not write)
            EXPECT_TRUE(run.code == 0 || (run.code >= 2 && run.code <= 7)) << run.code;
        }
        EXPECT_FALSE(run.err.contains("runtime error:") || run.err.contains("Sanitizer"))
            << run.err.toStdString();

        wire = sim->Log();
        state = sim->StopAndReadState();
        if (fault == Fault::Noise && !IsTransfer(op) && op != Op::Scan) {
            EXPECT_TRUE(std::any_of(wire.begin(), wire.end(), [](const QString& l) {
                return l.startsWith("TX ") && !l.startsWith("TX <STX>");
            }));
        }
    }

    // A reader that never answers whole: nothing reached it but the probes.
    void ExpectNoReaderAndOnlyProbes() {
        EXPECT_EQ(run.code, 4);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, kNoReader + NoReaderHint(sim->PelmarPort()));
        for (const QString& l : wire)
            if (l.startsWith("RX ")) {
                EXPECT_EQ(l, "RX <STX>O<CR>");
            }
    }
};

// ---- downloads and saves

const Row kDownloadRows[] = {
    {Op::Download, Fault::None, Both, Outcome::Success},
    {Op::Download, Fault::Drop, Pty, Outcome::KeepsRead},
    {Op::Download, Fault::Drop, Tcp, Outcome::Reconnects},
    {Op::Download, Fault::Noise, Both, Outcome::Success},
    {Op::Download, Fault::Corrupt, Both, Outcome::Success},
    {Op::Download, Fault::Silent, Both, Outcome::NoReader},
    {Op::Download, Fault::Slow, Both, Outcome::Success},
    {Op::Download, Fault::Partial, Both, Outcome::NoReader},
    {Op::SaveTxt, Fault::None, Both, Outcome::Success},
    {Op::SaveTxt, Fault::Drop, Pty, Outcome::KeepsRead},
    {Op::SaveTxt, Fault::Drop, Tcp, Outcome::Reconnects},
    {Op::SaveTxt, Fault::Noise, Both, Outcome::Success},
    {Op::SaveTxt, Fault::Corrupt, Both, Outcome::Success},
    {Op::SaveTxt, Fault::Silent, Pty, Outcome::NoReader},
    {Op::SaveTxt, Fault::Slow, Pty, Outcome::Success},
    {Op::SaveTxt, Fault::Partial, Pty, Outcome::NoReader},
    {Op::SaveCsv, Fault::None, Both, Outcome::Success},
    {Op::SaveCsv, Fault::Drop, Pty, Outcome::KeepsRead},
    {Op::SaveCsv, Fault::Drop, Tcp, Outcome::Reconnects},
    {Op::SaveCsv, Fault::Noise, Both, Outcome::Success},
    {Op::SaveCsv, Fault::Corrupt, Both, Outcome::Success},
    {Op::SaveCsv, Fault::Silent, Both, Outcome::NoReader},
    {Op::SaveCsv, Fault::Slow, Tcp, Outcome::Success},
    {Op::SaveCsv, Fault::Partial, Pty, Outcome::NoReader},
    {Op::SaveXlsx, Fault::None, Both, Outcome::Success},
    {Op::SaveXlsx, Fault::Drop, Pty, Outcome::KeepsRead},
    {Op::SaveXlsx, Fault::Drop, Tcp, Outcome::Reconnects},
    {Op::SaveXlsx, Fault::Noise, Both, Outcome::Success},
    {Op::SaveXlsx, Fault::Corrupt, Both, Outcome::Success},
    {Op::SaveXlsx, Fault::Silent, Pty, Outcome::NoReader},
    {Op::SaveXlsx, Fault::Slow, Pty, Outcome::Success},
    {Op::SaveXlsx, Fault::Partial, Pty, Outcome::NoReader},
    // every checksum damaged: the date-format register cannot be read
    {Op::Download, Fault::CorruptAll, Both, Outcome::DateUnread},
    {Op::SaveCsv, Fault::CorruptAll, Pty, Outcome::DateUnread},
    // a slow reader: every reply late by up to just under pelmar's reply time is still its
    // own command's answer, never a late answer to an earlier one; beyond it, no reader
    {Op::Download, Fault::Slow400, Pty, Outcome::Success},
    {Op::Download, Fault::Slow700, Tcp, Outcome::Success},
    {Op::Download, Fault::Slow990, Pty, Outcome::Success},
    {Op::SaveCsv, Fault::Slow400, Tcp, Outcome::Success},
    {Op::Download, Fault::TooSlow, Pty, Outcome::NoReader},
};

class FaultDownload : public FaultCase {};

TEST_P(FaultDownload, EndsWithTheExactMessageAndNoRecordLost) {
    ASSERT_NO_FATAL_FAILURE(StartSim());
    QStringList args{"download"};
    QString outFile;
    if (IsSave(op)) {
        outFile = home.path() + (op == Op::SaveTxt   ? "/records.txt"
                                 : op == Op::SaveCsv ? "/records.csv"
                                                     : "/records.xlsx");
        args << "--out" << outFile;
    }
    Pelmar(args);
    ASSERT_NO_FATAL_FAILURE(EndedCleanly());
    if (fault == Fault::Corrupt) {
        EXPECT_TRUE(std::any_of(wire.begin(), wire.end(), [](const QString& l) {
            return l.startsWith("RX <STX>G0");
        })) << "a damaged record is asked for again by its number";
    }

    int got = records;
    const bool keeps =
        outcome == Outcome::KeepsRead || (outcome == Outcome::Reconnects && run.code != 0);
    if (keeps) {
        EXPECT_EQ(run.code, 4);
        // Not "no reader answered": one did, and went quiet part-way. A save keeps what was
        // read, and says so after the failure.
        static const QRegularExpression quiet(
            QStringLiteral("^Can't connect to RFID Reader!\nThe reader stopped answering "
                           "after (\\d+) records.\n"));
        const QRegularExpressionMatch m = quiet.match(run.err);
        EXPECT_TRUE(m.hasMatch()) << run.err.toStdString();
        const QString why = m.captured(0);
        // The reply that made the reader vanish may go down with the line; after a
        // reconnection a few more may have come.
        const int most = outcome == Outcome::KeepsRead ? kDropAfter : records - 1;
        EXPECT_GE(m.captured(1).toInt(), kDropAfter - 1);
        EXPECT_LE(m.captured(1).toInt(), most);
        if (op == Op::Download) {
            got = int(run.out.count('\n')) - 1;
        } else {
            got = -1;
            const QByteArray written = lvtest::readFile(outFile);
            for (int n = kDropAfter - 1; n <= most && got < 0; ++n)
                if (SavedEquals(op, written, outFile, n, false)) got = n;
        }
        EXPECT_GE(got, kDropAfter - 1) << "the records read before the reader vanished";
        EXPECT_LE(got, most);
        if (op != Op::Download) {
            EXPECT_EQ(run.err, why + QString("%1 records saved to %2\n").arg(got).arg(outFile));
            EXPECT_EQ(run.out, "") << "the table goes to the file";
            return;
        }
        EXPECT_EQ(run.err, why);
    } else if (outcome == Outcome::Success || outcome == Outcome::Reconnects) {
        EXPECT_EQ(run.code, 0);
        // Through a pipe a save says what it wrote, and nothing more.
        EXPECT_EQ(run.err, op == Op::Download
                               ? QString()
                               : QString("%1 records saved to %2\n").arg(records).arg(outFile));
    } else if (outcome == Outcome::DateUnread) {
        EXPECT_EQ(run.code, 7);
        EXPECT_EQ(run.err, "The reader did not give its date format (register 26).\n");
        // The date-format register was asked for three times, then given up.
        EXPECT_EQ(wire.count("RX <STX>B1A<CR>"), 3) << wire.join('\n').toStdString();
        EXPECT_FALSE(wire.contains("RX <STX>G<CR>"));
        if (op == Op::Download) {
            EXPECT_EQ(run.out, ExpectedTable(0)) << "the header only";
        } else {
            EXPECT_EQ(run.out, "");
            EXPECT_FALSE(QFileInfo::exists(outFile)) << "nothing to save";
        }
        return;
    } else {
        EXPECT_EQ(run.code, 4);
        EXPECT_EQ(run.err, kNoReader + NoReaderHint(sim->PelmarPort()));
        EXPECT_EQ(run.out, "");
        if (!outFile.isEmpty()) {
            EXPECT_FALSE(QFileInfo::exists(outFile)) << "nothing to save";
        }
        return;
    }
    if (op == Op::Download) {
        EXPECT_TRUE(run.out == ExpectedTable(got)) << run.out.toStdString();
        return;
    }
    EXPECT_EQ(run.out, "") << "the table goes to the file";
    const QByteArray written = lvtest::readFile(outFile);
    ASSERT_FALSE(written.isEmpty());
    EXPECT_TRUE(SavedEquals(op, written, outFile, records, true))
        << written.left(400).toStdString();
    if (op == Op::SaveXlsx) {
        EXPECT_EQ(WorkbookParts(written).count("xl/worksheets/sheet1.xml"), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Matrix, FaultDownload, ::testing::ValuesIn(Cases(kDownloadRows)),
                         CaseName);

// ---- the record store

const Row kEraseRows[] = {
    {Op::Erase, Fault::None, Both, Outcome::Success},
    {Op::Erase, Fault::Noise, Both, Outcome::Success},
    {Op::Erase, Fault::Corrupt, Both, Outcome::Success},
    // every checksum damaged: what carries none still works
    {Op::Erase, Fault::CorruptAll, Pty, Outcome::Success},
    {Op::Erase, Fault::Silent, Pty, Outcome::NoReader},
    {Op::Erase, Fault::Slow, Both, Outcome::Success},
    {Op::Erase, Fault::Partial, Pty, Outcome::NoReader},
    {Op::Erase, Fault::Slow400, Tcp, Outcome::Success},
    {Op::Erase, Fault::Slow990, Pty, Outcome::Success},
    {Op::Erase, Fault::TooSlow, Pty, Outcome::NoReader},
};

class FaultErase : public FaultCase {};

TEST_P(FaultErase, ErasesEveryRecordOrLeavesThemAll) {
    ASSERT_NO_FATAL_FAILURE(StartSim({"--erase-ms", "2"}));
    Pelmar({"erase", "--yes"});
    ASSERT_NO_FATAL_FAILURE(EndedCleanly());
    if (outcome == Outcome::NoReader) {
        ExpectNoReaderAndOnlyProbes();
        EXPECT_EQ(state["records"].toArray().size(), records);
        return;
    }
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.err, QString("Erased %1 records\n").arg(records));
    EXPECT_EQ(run.out, "ERASE records OK!\n");
    EXPECT_EQ(state["records"].toArray().size(), 0);
}

INSTANTIATE_TEST_SUITE_P(Matrix, FaultErase, ::testing::ValuesIn(Cases(kEraseRows)), CaseName);

// ---- settings

const Row kSettingsRows[] = {
    {Op::SettingsRead, Fault::None, Both, Outcome::Success},
    {Op::SettingsRead, Fault::Noise, Both, Outcome::Success},
    {Op::SettingsRead, Fault::Corrupt, Both, Outcome::Success},
    // every checksum damaged: no register can be read
    {Op::SettingsRead, Fault::CorruptAll, Both, Outcome::SettingsUnread},
    {Op::SettingsRead, Fault::Silent, Pty, Outcome::NoReader},
    {Op::SettingsRead, Fault::Slow, Both, Outcome::Success},
    {Op::SettingsRead, Fault::Slow400, Pty, Outcome::Success},
    {Op::SettingsRead, Fault::Partial, Pty, Outcome::NoReader},
    {Op::SettingsWrite, Fault::None, Both, Outcome::Success},
    {Op::SettingsWrite, Fault::Noise, Both, Outcome::Success},
    {Op::SettingsWrite, Fault::Corrupt, Both, Outcome::Success},
    {Op::SettingsWrite, Fault::CorruptAll, Pty, Outcome::SettingsUnread},
    {Op::SettingsWrite, Fault::Silent, Pty, Outcome::NoReader},
    {Op::SettingsWrite, Fault::Slow, Pty, Outcome::Success},
    {Op::SettingsWrite, Fault::Partial, Pty, Outcome::NoReader},
};

class FaultSettings : public FaultCase {};

TEST_P(FaultSettings, ReadsOrWritesEveryOneOrChangesNothing) {
    ASSERT_NO_FATAL_FAILURE(StartSim());
    if (op == Op::SettingsRead)
        Pelmar({"settings"});
    else
        Pelmar({"settings", "--set", QStringLiteral("UserName=") + kNewUserName});
    ASSERT_NO_FATAL_FAILURE(EndedCleanly());
    if (outcome == Outcome::NoReader) {
        ExpectNoReaderAndOnlyProbes();
        EXPECT_EQ(state["userName"].toString(), "Front Door");
        return;
    }
    if (outcome == Outcome::SettingsUnread) {
        // Every register reply damaged: nothing shown, nothing written.
        EXPECT_EQ(run.code, 7);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "Get User Name NG\nCan't connect to Lorvane!\n");
        EXPECT_EQ(state["userName"].toString(), "Front Door");
        for (const QString& l : wire) {
            EXPECT_FALSE(l.startsWith("RX <STX>C")) << "no setting written: " << l.toStdString();
        }
        return;
    }
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.err, "");
    if (op == Op::SettingsRead) {
        EXPECT_EQ(run.out, kSettingsOfTheReader);
    } else {
        EXPECT_EQ(run.out, "Apply Settings OK!\n");
        EXPECT_EQ(state["userName"].toString(), kNewUserName);
    }
}

INSTANTIATE_TEST_SUITE_P(Matrix, FaultSettings, ::testing::ValuesIn(Cases(kSettingsRows)),
                         CaseName);

// ---- clock

const Row kClockRows[] = {
    {Op::TimeRead, Fault::None, Both, Outcome::Success},
    {Op::TimeRead, Fault::Noise, Both, Outcome::Success},
    {Op::TimeRead, Fault::Corrupt, Both, Outcome::Success},
    {Op::TimeRead, Fault::Silent, Pty, Outcome::NoReader},
    {Op::TimeRead, Fault::Slow, Both, Outcome::Success},
    {Op::TimeRead, Fault::Slow700, Pty, Outcome::Success},
    {Op::TimeRead, Fault::Partial, Pty, Outcome::NoReader},
    {Op::TimeSet, Fault::None, Both, Outcome::Success},
    {Op::TimeSet, Fault::Noise, Both, Outcome::Success},
    {Op::TimeSet, Fault::Corrupt, Both, Outcome::Success},
    // every checksum damaged: what carries none still works
    {Op::TimeSet, Fault::CorruptAll, Pty, Outcome::Success},
    {Op::TimeSet, Fault::Silent, Pty, Outcome::NoReader},
    {Op::TimeSet, Fault::Slow, Both, Outcome::Success},
    {Op::TimeSet, Fault::Slow990, Pty, Outcome::Success},
    {Op::TimeSet, Fault::Partial, Pty, Outcome::NoReader},
};

class FaultClock : public FaultCase {};

TEST_P(FaultClock, ShowsOrSetsTheReadersClock) {
    if (op == Op::TimeRead) {
        ASSERT_NO_FATAL_FAILURE(StartSim({"--clock-offset", QString::number(kClockOffset)}));
        Pelmar({"time"});
    } else {
        ASSERT_NO_FATAL_FAILURE(StartSim());
        Pelmar({"time", "--set", kClockSet});
    }
    ASSERT_NO_FATAL_FAILURE(EndedCleanly());
    if (outcome == Outcome::NoReader) {
        ExpectNoReaderAndOnlyProbes();
        return;
    }
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.err, "");
    if (op == Op::TimeSet) {
        // The clocks before the change, then the result.
        const QStringList lines = run.out.split('\n');
        ASSERT_EQ(lines.size(), 5) << run.out.toStdString();
        EXPECT_TRUE(QDateTime::fromString(lines[0], "yyyy/MM/dd HH:mm:ss").isValid());
        EXPECT_TRUE(lines[1].startsWith("Host clock: "));
        EXPECT_TRUE(lines[2].startsWith("Drift: "));
        EXPECT_EQ(lines[3], "Set Date/Time OK");
        EXPECT_TRUE(wire.contains("RX <STX>S202501050903070<CR>"));
        return;
    }
    // The reader's clock, the host's, and the drift between them.
    const QStringList lines = run.out.split('\n');
    ASSERT_EQ(lines.size(), 4) << run.out.toStdString();
    const QDateTime shown = QDateTime::fromString(lines[0], "yyyy/MM/dd HH:mm:ss");
    ASSERT_TRUE(shown.isValid()) << run.out.toStdString();
    const QDateTime host = QDateTime::fromString(lines[1].mid(12), "yyyy/MM/dd HH:mm:ss");
    ASSERT_TRUE(lines[1].startsWith("Host clock: ") && host.isValid()) << run.out.toStdString();
    const qint64 drift = host.secsTo(shown);
    EXPECT_EQ(lines[2], QString("Drift: %1%2 s (%3)")
                            .arg(drift > 0 ? "+" : "")
                            .arg(drift)
                            .arg(drift == 0  ? "in step"
                                 : drift > 0 ? "reader ahead of the host"
                                             : "reader behind the host"));
    EXPECT_EQ(lines[3], "");
    // The reader's clock, not the PC's (a generous margin for a loaded machine).
    const QDateTime reader = QDateTime::currentDateTime().addSecs(kClockOffset);
    EXPECT_LE(std::abs(shown.secsTo(reader)), 300) << run.out.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Matrix, FaultClock, ::testing::ValuesIn(Cases(kClockRows)), CaseName);

// ---- Login ID

const Row kLoginIdRows[] = {
    {Op::ChangeLoginId, Fault::None, Both, Outcome::Success},
    {Op::ChangeLoginId, Fault::Noise, Both, Outcome::Success},
    {Op::ChangeLoginId, Fault::Corrupt, Both, Outcome::Success},
    // every checksum damaged: what carries none still works
    {Op::ChangeLoginId, Fault::CorruptAll, Pty, Outcome::Success},
    {Op::ChangeLoginId, Fault::Silent, Pty, Outcome::NoReader},
    {Op::ChangeLoginId, Fault::Slow, Both, Outcome::Success},
    {Op::ChangeLoginId, Fault::Slow700, Pty, Outcome::Success},
    {Op::ChangeLoginId, Fault::Partial, Pty, Outcome::NoReader},
};

class FaultLoginId : public FaultCase {};

TEST_P(FaultLoginId, ChangesTheIdOrKeepsTheOldOne) {
    ASSERT_NO_FATAL_FAILURE(StartSim());
    Pelmar({"change-login-id", "--new", kNewLoginId});
    ASSERT_NO_FATAL_FAILURE(EndedCleanly());
    if (outcome == Outcome::NoReader) {
        ExpectNoReaderAndOnlyProbes();
        EXPECT_EQ(state["loginId"].toString(), "4826");
        return;
    }
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "Change Login ID OK\n");
    EXPECT_EQ(state["loginId"].toString(), kNewLoginId);
}

INSTANTIATE_TEST_SUITE_P(Matrix, FaultLoginId, ::testing::ValuesIn(Cases(kLoginIdRows)), CaseName);

// ---- discovery

const Row kScanRows[] = {
    {Op::Scan, Fault::None, Both, Outcome::Success},
    {Op::Scan, Fault::Noise, Both, Outcome::Success},
    {Op::Scan, Fault::Corrupt, Both, Outcome::Success},
    {Op::Scan, Fault::Silent, Both, Outcome::ScanTimeout},
    {Op::Scan, Fault::Slow, Both, Outcome::Success},
    {Op::Scan, Fault::Partial, Both, Outcome::ScanUnknown},
};

class FaultScan : public FaultCase {};

TEST_P(FaultScan, FindsTheReaderOrSaysWhyNot) {
    ASSERT_NO_FATAL_FAILURE(StartSim({"--unlocked"}));
    QMap<QString, QString> env;
    QStringList args{"scan"};
    if (via == Pty)
        env["DORLIN_PORTS"] = "COM241=" + sim->Link();
    else
        args << "--ip" << sim->Address();
    run = clitest::RunProgram("pelmar", args, Config(), env, kLimitMs);
    ASSERT_NO_FATAL_FAILURE(EndedCleanly());

    const QString row = via == Pty ? "COM241" : "IP:" + sim->Address() + ":1001";
    QStringList ours;
    for (const QString& l : run.out.split('\n', Qt::SkipEmptyParts))
        if (l == row || l.startsWith(row + '\t')) ours << l;
    EXPECT_EQ(run.err, "");
    if (outcome == Outcome::Success) {
        EXPECT_EQ(run.code, 0);
        EXPECT_EQ(ours, QStringList({row + "\tFound: KRN-A0102 V1.05", row}));
        EXPECT_TRUE(run.out.endsWith("\n" + row + "\n")) << run.out.toStdString();
    } else {
        EXPECT_EQ(run.code, 4);
        EXPECT_EQ(ours, QStringList({row + (outcome == Outcome::ScanTimeout ? "\tTimeout"
                                                                            : "\tUnknown Error")}));
    }
}

INSTANTIATE_TEST_SUITE_P(Matrix, FaultScan, ::testing::ValuesIn(Cases(kScanRows)), CaseName);

// ---- file transfer

const Row kTransferRows[] = {
    {Op::XmodemSend, Fault::None, Both, Outcome::Success},
    {Op::XmodemSend, Fault::Noise, Both, Outcome::Success},
    {Op::XmodemSend, Fault::Corrupt, Both, Outcome::Success},
    {Op::XmodemSend, Fault::Silent, Both, Outcome::Refused},
    {Op::XmodemSend, Fault::Slow, Both, Outcome::Success},
    {Op::XmodemSend, Fault::Partial, Pty, Outcome::Refused},
    {Op::XmodemRecv, Fault::None, Both, Outcome::Success},
    {Op::XmodemRecv, Fault::Noise, Both, Outcome::Success},
    {Op::XmodemRecv, Fault::Corrupt, Both, Outcome::Success},
    {Op::XmodemRecv, Fault::Silent, Pty, Outcome::Refused},
    {Op::XmodemRecv, Fault::Slow, Both, Outcome::Success},
    {Op::XmodemRecv, Fault::Partial, Both, Outcome::Refused},
};

class FaultFileTransfer : public FaultCase {};

TEST_P(FaultFileTransfer, MovesTheFileByteForByteOrRefuses) {
    const bool send = op == Op::XmodemSend;
    const QString transferSource = home.path() + "/source.bin";
    if (send) {
        ASSERT_NO_FATAL_FAILURE(StartSim());
    } else {
        ASSERT_TRUE(lvtest::writeFile(transferSource, TransferContent()));
        ASSERT_NO_FATAL_FAILURE(StartSim({"--file", "source.bin=" + transferSource}));
    }
    // The file transfer follows the request in the same connection. A request that fails
    // stops there: a transfer started without one waits for its peer without a time limit
    // (the link control's transfers end only on Cancel).
    QStringList steps{"call", "Login", "4826"};
    steps << "call" << (send ? "SendFileReq" : "RecvFileReq") << (send ? "up.bin" : "source.bin")
          << "0";
    if (outcome == Outcome::Success) {
        if (send) {
            ASSERT_TRUE(lvtest::writeFile(transferSource, TransferContent()));
        }
        steps << (send ? "send-file" : "recv-file")
              << (send ? transferSource : home.path() + "/received.bin");
    }
    // The reader time-out of the command-line host is settable; 1 s as the console uses.
    run =
        clitest::RunProgram("dorlin", sim->DorlinPort() + QStringList{"--timeout", "1000"} + steps,
                            Config(), {}, kLimitMs);
    ASSERT_NO_FATAL_FAILURE(EndedCleanly());

    if (outcome == Outcome::Refused) {
        // No whole reply comes: both calls print FALSE, each says why on stderr, and dorlin
        // exits with its code for a failed reader link.
        const QString request = send ? QStringLiteral("SendFileReq up.bin 0")
                                     : QStringLiteral("RecvFileReq source.bin 0");
        EXPECT_EQ(run.code, 4);
        EXPECT_EQ(run.out, "FALSE\nFALSE\n");
        EXPECT_EQ(run.err, "dorlin: step 1 (call Login 4826): no reply within 1000 ms\n"
                           "dorlin: step 2 (call " +
                               request + "): no reply within 1000 ms\n");
        return;
    }
    EXPECT_EQ(run.code, 0) << run.err.toStdString();
    EXPECT_EQ(run.out, "TRUE\nTRUE\nTRUE\n") << run.err.toStdString();
    if (send) {
        const QJsonObject files = state["files"].toObject();
        EXPECT_EQ(QByteArray::fromBase64(files["up.bin"].toString().toLatin1()),
                  Padded(TransferContent()));
    } else {
        EXPECT_EQ(lvtest::readFile(home.path() + "/received.bin"), Padded(TransferContent()));
    }
}

INSTANTIATE_TEST_SUITE_P(Matrix, FaultFileTransfer, ::testing::ValuesIn(Cases(kTransferRows)),
                         CaseName);

} // namespace
