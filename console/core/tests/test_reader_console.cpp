// Connection, login, re-check, download and the record operations against the simulated
// reader on a pty (and, for the erase timing, a scripted reader under an injected clock).
#include "FakeClock.h"
#include "Harness.h"
#include "pelmar/RecordTableModel.h"
#include "pelmar/core/ReaderConsole.h"

#include "readersim/Reader.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace pelmar;
using namespace pelmar::test;

namespace {

const QString kInvalid = QStringLiteral("The Login ID is invalid!\r\nPlease try again.");
const QString kNoReader = QStringLiteral("Can't connect to RFID Reader!");

// The normalised record text the download must produce for a record of the simulator.
QString Expected(const readersim::Record& r, int dateMode) {
    QString fmt = dateMode == 255 ? "yyyy/MM/dd" : dateMode == 0 ? "MM/dd/yyyy" : "dd/MM/yyyy";
    QString body = QString::number(r.date.dayOfWeek() % 7) + QChar(r.type) + QChar(r.event) +
                   QString::fromStdString(r.card);
    return QStringLiteral("A0000,\x01") + body + QChar(4) + r.date.toString(fmt) + ' ' +
           r.time.toString("HH:mm:ss");
}

QStringList ExpectedRecords(size_t n, int dateMode, uint32_t seed = 1) {
    QStringList out;
    for (const auto& r : readersim::GenerateRecords(n, seed))
        out << Expected(r, dateMode);
    return out;
}

struct ConsoleTest : ::testing::Test {
    std::unique_ptr<SimReader> sim;
    LinkUnderTest lut;
    RecordingPrompt prompt;
    ReaderConsole console{&lut.link, prompt};
    int cleared = 0;

    void StartSim(const QStringList& args) {
        sim = std::make_unique<SimReader>(args);
        ASSERT_TRUE(sim->ok());
        console.onClearRecords = [this] { ++cleared; };
    }
    void Connect(const QStringList& args = {"--records", "30"}) {
        StartSim(args);
        prompt.loginIds = {"4826"};
        ASSERT_EQ(console.OpenReader(sim->Link()), ConnectResult::Connected);
        prompt.messages.clear();
        prompt.states.clear();
    }
    int LogCount(const QString& line) { return int(sim->Log().count(line)); }
    QStringList Download(DownloadResult* res = nullptr, long stopAt = -1) {
        QStringList got;
        console.blnStop1 = true;
        DownloadResult r = console.UploadKt9Record([&](long n, const QString& rec) {
            got << rec;
            if (n == stopAt) console.Stop();
        });
        if (res) *res = r;
        return got;
    }
};

} // namespace

// --- connection and login ---------------------------------------------------------------

TEST_F(ConsoleTest, LoginShowsTheUserNameInTheCaption) {
    StartSim({"--records", "3", "--user-name", "Front Door"});
    prompt.loginIds = {"4826"};
    EXPECT_EQ(console.OpenReader(sim->Link()), ConnectResult::Connected);
    EXPECT_TRUE(lut.ctrl.PortOpen());
    ASSERT_GE(prompt.captions.size(), 2);
    EXPECT_EQ(prompt.captions.at(prompt.captions.size() - 2), "Lorvane  -  Get User Name...");
    EXPECT_EQ(prompt.captions.back(), "Lorvane  -  Front Door");
    EXPECT_EQ(prompt.states.back(), UiState::LoggedIn);
    EXPECT_EQ(console.szLoginID, "4826");
    EXPECT_EQ(console.firmware, "AKRN-A0102 V1.05");
    EXPECT_FALSE(console.blnTrackDecimal);
    EXPECT_TRUE(prompt.messages.empty());
    EXPECT_EQ(cleared, 1);
    // The reply "A" is shorter than four characters: the ID goes out twice.
    EXPECT_EQ(LogCount("RX <STX>L4826<CR>"), 2);
    EXPECT_GE(LogCount("RX <STX>O<CR>"), 1) << "the probe asks with the logout command";
}

TEST_F(ConsoleTest, FirmwareA0101ShowsTrackIdsAsReceived) {
    StartSim({"--firmware", "KRN-A0101 V0.9"});
    prompt.loginIds = {"4826"};
    ASSERT_EQ(console.OpenReader(sim->Link()), ConnectResult::Connected);
    EXPECT_TRUE(console.blnTrackDecimal);
}

TEST_F(ConsoleTest, WrongIdIsAskedAgain) {
    StartSim({});
    prompt.loginIds = {"1111", "4826"};
    EXPECT_EQ(console.OpenReader(sim->Link()), ConnectResult::Connected);
    EXPECT_EQ(prompt.loginAsks, 2);
    ASSERT_EQ(prompt.messages.size(), 1u);
    EXPECT_EQ(prompt.messages[0].kind, MsgKind::Exclamation);
    EXPECT_EQ(prompt.messages[0].text, kInvalid);
}

TEST_F(ConsoleTest, EightWrongIdsEndTheLoginAsAFailedConnection) {
    StartSim({});
    for (int i = 0; i < 10; ++i)
        prompt.loginIds.push_back("1111");
    EXPECT_EQ(console.OpenReader(sim->Link()), ConnectResult::Refused);
    EXPECT_EQ(prompt.loginAsks, 8);
    ASSERT_EQ(prompt.messages.size(), 9u);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(prompt.messages[size_t(i)].text, kInvalid);
    EXPECT_EQ(prompt.messages[8].kind, MsgKind::Critical);
    EXPECT_EQ(prompt.messages[8].text, kNoReader);
    EXPECT_FALSE(lut.ctrl.PortOpen());
    EXPECT_EQ(prompt.states.back(), UiState::NoConnection);
    EXPECT_EQ(prompt.clearedSelection, 1);
}

TEST_F(ConsoleTest, CancelledLoginClosesTheLinkSilently) {
    StartSim({});
    EXPECT_EQ(console.OpenReader(sim->Link()), ConnectResult::Cancelled);
    EXPECT_TRUE(prompt.messages.empty());
    EXPECT_FALSE(lut.ctrl.PortOpen());
    EXPECT_EQ(prompt.clearedSelection, 1);
    EXPECT_EQ(LogCount("RX <STX>L<CR>"), 0);
}

TEST_F(ConsoleTest, RefusalWithAReasonShowsTheReason) {
    // With a challenge the reader answers the right ID with "N" and four characters.
    StartSim({"--challenge"});
    prompt.loginIds = {"4826"};
    EXPECT_EQ(console.OpenReader(sim->Link()), ConnectResult::Refused);
    QString reason;
    for (const QString& l : sim->Log())
        if (l.startsWith("TX <STX>N") && l.size() == QString("TX <STX>Nxxxx<CR>").size())
            reason = l.mid(9, 4);
    ASSERT_EQ(reason.size(), 4);
    ASSERT_EQ(prompt.messages.size(), 1u);
    EXPECT_EQ(prompt.messages[0].kind, MsgKind::Exclamation);
    EXPECT_EQ(prompt.messages[0].text, kInvalid + "\r\n" + reason);
    EXPECT_EQ(LogCount("RX <STX>L4826<CR>"), 1) << "a reply of four characters is not retried";
    EXPECT_FALSE(lut.ctrl.PortOpen());
}

TEST_F(ConsoleTest, SilentReaderIsNoReader) {
    StartSim({"--silent"});
    prompt.loginIds = {"4826"};
    EXPECT_EQ(console.OpenReader(sim->Link()), ConnectResult::NoReader);
    ASSERT_EQ(prompt.messages.size(), 1u);
    EXPECT_EQ(prompt.messages[0].text, kNoReader);
    EXPECT_EQ(prompt.loginAsks, 0);
    EXPECT_FALSE(lut.ctrl.PortOpen());
    // One probe frame per 16 ms slot at most, not one per pass.
    EXPECT_LE(LogCount("RX <STX>O<CR>"), 2000 / 16 + 2);
}

TEST_F(ConsoleTest, PortThatWillNotOpen) {
    EXPECT_EQ(console.OpenReader("/nonexistent/ttyX"), ConnectResult::OpenFailed);
    ASSERT_EQ(prompt.messages.size(), 1u);
    EXPECT_EQ(prompt.messages[0].text,
              "Can't open the port!!\n/nonexistent/ttyX: No such file or directory");
    EXPECT_EQ(prompt.messages[0].title, "Comm  Port  : /nonexistent/ttyX");
    EXPECT_EQ(prompt.captions.back(), "Lorvane");
}

TEST_F(ConsoleTest, APortAnotherControlHoldsIsBusy) {
    StartSim({});
    CDorlinCtrl other(nullptr, false);
    other.SetExtPort(sim->Link());
    other.SetExtPortOpen(true);
    ASSERT_TRUE(other.PortOpen());
    EXPECT_EQ(console.OpenReader(sim->Link()), ConnectResult::OpenFailed);
    ASSERT_EQ(prompt.messages.size(), 1u);
    EXPECT_EQ(prompt.messages[0].text,
              "Can't open the port!!\n" + sim->Link() +
                  QStringLiteral(": port busy (held by core_tests (pid %1))")
                      .arg(QCoreApplication::applicationPid()));
}

TEST_F(ConsoleTest, PortTextsThatNameNoPort) {
    for (const char* text : {"", "LPT1", "COMX"}) {
        prompt.messages.clear();
        EXPECT_EQ(console.OpenReader(text), ConnectResult::NoPort) << text;
        ASSERT_EQ(prompt.messages.size(), 1u);
        EXPECT_EQ(prompt.messages[0].text, "Please select a COM Port!");
    }
}

TEST_F(ConsoleTest, IpPortTextsSetAddressAndPort) {
    console.OpenReader("IP:127.0.0.1:1");
    EXPECT_EQ(lut.ctrl.CommPort(), 0);
    EXPECT_EQ(lut.ctrl.iAddress(), "127.0.0.1");
    EXPECT_EQ(lut.ctrl.iPort(), 1);
    console.OpenReader("IP:127.0.0.1");
    EXPECT_EQ(lut.ctrl.iPort(), 1001);
    console.OpenReader("COM7");
    EXPECT_EQ(lut.ctrl.CommPort(), 7);
}

// --- re-check before a button ----------------------------------------------------------

TEST_F(ConsoleTest, RecheckLogsInAgainWhenTheReaderForgotTheLogin) {
    Connect();
    EXPECT_TRUE(console.RecheckReader());
    int logins = LogCount("RX <STX>L4826<CR>");
    ASSERT_TRUE(lut.ctrl.Logout());
    prompt.captions.clear();
    EXPECT_TRUE(console.RecheckReader());
    EXPECT_EQ(LogCount("RX <STX>L4826<CR>"), logins + 1);
    EXPECT_EQ(prompt.captions.back(), "Lorvane  -  Front Door");
}

TEST_F(ConsoleTest, RecheckWithAChangedIdReportsLogout) {
    Connect();
    ASSERT_TRUE(console.Session().SetPassword("1234"));
    ASSERT_TRUE(lut.ctrl.Logout());
    EXPECT_FALSE(console.RecheckReader());
    EXPECT_EQ(prompt.captions.back(), "Lorvane  -  [Logout]");
    EXPECT_EQ(prompt.states.back(), UiState::NoConnection);
}

TEST_F(ConsoleTest, RecheckWithTheReaderGoneReportsDisconnect) {
    Connect();
    sim->Stop();
    EXPECT_FALSE(console.RecheckReader());
    EXPECT_EQ(prompt.captions.back(), "Lorvane  -  [Disconnect]");
    EXPECT_EQ(prompt.states.back(), UiState::NoConnection);
}

// --- download ---------------------------------------------------------------------------

class DownloadDateMode : public ConsoleTest, public ::testing::WithParamInterface<int> {};

TEST_P(DownloadDateMode, WholeDownloadMatchesTheReadersRecords) {
    const int mode = GetParam();
    Connect({"--records", "2000", "--date-mode", QString::number(mode)});
    DownloadResult res;
    QStringList got = Download(&res);
    EXPECT_EQ(res.total, 2000);
    EXPECT_EQ(res.read, 2000);
    EXPECT_FALSE(res.stopped);
    EXPECT_FALSE(res.linkLost);
    EXPECT_EQ(console.bytDateMode, mode);
    QStringList want = ExpectedRecords(2000, mode);
    ASSERT_EQ(got.size(), want.size());
    for (int i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i], want[i]) << "record " << i + 1;
    EXPECT_EQ(prompt.counters.back(), "2000 / 2000");
    EXPECT_EQ(prompt.panels.front(), "Upload Record... \r\nPlease wait!!!");
    EXPECT_EQ(prompt.panels.at(1), "Upload Record.../\r\nPlease wait!!!");
    EXPECT_EQ(prompt.panels.at(2), "Upload Record...-\r\nPlease wait!!!");
    EXPECT_EQ(prompt.panels.at(3), "Upload Record...\\\r\nPlease wait!!!");
    EXPECT_EQ(prompt.panels.at(4), "Upload Record...|\r\nPlease wait!!!");
    EXPECT_EQ(prompt.panels.back(), "");
}

INSTANTIATE_TEST_SUITE_P(YearFirstMonthFirstDayFirst, DownloadDateMode,
                         ::testing::Values(255, 0, 1));

TEST_F(ConsoleTest, MoreThan8192RecordsAreAllKeptAndRedisplayed) {
    Connect({"--records", "9000"});
    RecordTableModel model;
    console.onClearRecords = [&] { model.ClearRecords(); };
    console.blnStop1 = true;
    DownloadResult res =
        console.UploadKt9Record([&](long, const QString& rec) { model.AppendRecord(rec); });
    EXPECT_EQ(res.read, 9000);
    EXPECT_EQ(model.RecordCount(), 9000);
    EXPECT_EQ(model.rowCount(), 9000);
    // A display-mode change rebuilds the table from the store: nothing beyond 8192 is lost.
    EXPECT_FALSE(model.SetDisplayMode(3)) << "no conversion error";
    EXPECT_EQ(model.DisplayMode(), 3);
    EXPECT_EQ(model.rowCount(), 9000);
    EXPECT_EQ(model.RowRecord(8999), ExpectedRecords(9000, 255).back());
}

TEST_F(ConsoleTest, GetKt9RecordReadsOneRecordAtATimeAndEndsWithTheRawRefusal) {
    Connect({"--records", "2", "--date-mode", "1"});
    const QStringList want = ExpectedRecords(2, 1);
    QString rec;
    ASSERT_TRUE(console.GetKt9Record(rec, true, 1000));
    EXPECT_EQ(rec, want[0]);
    EXPECT_EQ(console.bytDateMode, 1);
    ASSERT_TRUE(console.GetKt9Record(rec, false, 1000));
    EXPECT_EQ(rec, want[1]);
    // The reader's memory ends here: its refusal, not a record, is what comes back.
    EXPECT_FALSE(console.GetKt9Record(rec, false, 1000));
    EXPECT_EQ(rec, "N");
    // Back to the first record.
    ASSERT_TRUE(console.GetKt9Record(rec, true, 1000));
    EXPECT_EQ(rec, want[0]);
}

TEST_F(ConsoleTest, StopKeepsTheRecordsReadSoFar) {
    Connect({"--records", "300"});
    DownloadResult res;
    QStringList got = Download(&res, 50);
    EXPECT_TRUE(res.stopped);
    EXPECT_FALSE(res.linkLost);
    EXPECT_EQ(got, ExpectedRecords(50, 255));
}

TEST_F(ConsoleTest, EmptyReaderDownloadsNothing) {
    Connect({"--records", "0"});
    DownloadResult res;
    EXPECT_TRUE(Download(&res).isEmpty());
    EXPECT_EQ(res.total, 0);
    EXPECT_FALSE(res.linkLost);
}

TEST_F(ConsoleTest, ReaderVanishingMidDownloadKeepsWhatWasRead) {
    Connect({"--records", "500", "--drop-after", "120"});
    DownloadResult res;
    QStringList got = Download(&res);
    // The last reply may go down with the line; everything before it stays.
    EXPECT_GE(res.read, 119);
    EXPECT_LE(res.read, 120);
    EXPECT_TRUE(res.linkLost);
    EXPECT_EQ(got, ExpectedRecords(size_t(res.read), 255));
}

TEST_F(ConsoleTest, NoRecordIsTakenFromAReplyWithAWrongChecksum) {
    // Records checksummed on every reply: a damaged one is asked for again by number; one
    // that stays damaged is skipped, the rest are read, and its position is reported.
    // 410 records: the hexadecimal count 019A holds a letter, so it reads as hexadecimal (four
    // decimal digits would read as decimal, with or without their checksum).
    Connect({"--records", "410", "--corrupt", "0.05", "--noise", "0.3", "--seed", "7",
             "--record-checksums", "--count-format", "hex"});
    DownloadResult res;
    QStringList got = Download(&res);
    QStringList want = ExpectedRecords(410, 255, 7);
    EXPECT_EQ(res.total, 410);
    EXPECT_EQ(res.read, got.size());
    EXPECT_EQ(got.size() + res.unread.size(), 410);
    EXPECT_EQ(res.outcome,
              res.unread.isEmpty() ? DownloadOutcome::Complete : DownloadOutcome::Incomplete);
    EXPECT_EQ(console.plainRecordChecksum, 1);
    QStringList kept; // every record but the ones reported unread, in order
    for (int i = 0; i < want.size(); ++i)
        if (!res.unread.contains(long(i + 1))) kept << want[i];
    EXPECT_EQ(got, kept);
}

// --- record operations ------------------------------------------------------------------

TEST_F(ConsoleTest, DeleteAfterYesErasesTheRecords) {
    Connect();
    cleared = 0;
    EXPECT_EQ(console.DeleteRecords(), OpResult::OK);
    EXPECT_EQ(prompt.questions, QStringList{"Do you want to ERASE records?"});
    ASSERT_EQ(prompt.messages.size(), 1u);
    EXPECT_EQ(prompt.messages[0].kind, MsgKind::Information);
    EXPECT_EQ(prompt.messages[0].text, "ERASE records OK!");
    EXPECT_EQ(cleared, 1);
    EXPECT_EQ(console.Kt9().ReadRecordCount(), 0);
    EXPECT_EQ(prompt.states.front(), UiState::RecordsBusy);
    EXPECT_EQ(prompt.states.back(), UiState::RecordsDone);
}

TEST_F(ConsoleTest, DeleteAfterNoSendsNothing) {
    Connect();
    prompt.yes = false;
    EXPECT_EQ(console.DeleteRecords(), OpResult::Cancelled);
    EXPECT_EQ(LogCount("RX <STX>E<CR>"), 0);
    EXPECT_EQ(console.Kt9().ReadRecordCount(), 30);
}

TEST_F(ConsoleTest, EraseWithProgressEmptiesTheReader) {
    Connect({"--records", "40"});
    EXPECT_EQ(console.EraseWithProgress(), OpResult::OK);
    ASSERT_EQ(prompt.messages.size(), 1u);
    EXPECT_EQ(prompt.messages[0].text, "ERASE records OK!");
    EXPECT_EQ(prompt.progressMax, 40 * 29 + 1000 + 1);
    EXPECT_EQ(prompt.panels.front(), "Erase...\r\nPlease wait!!!");
    EXPECT_EQ(prompt.panels.back(), "");
    EXPECT_EQ(prompt.counters.back(), "0 / 0");
    EXPECT_EQ(console.Kt9().ReadRecordCount(), 0);
}

TEST_F(ConsoleTest, EraseOfAnEmptyReaderEndsSilently) {
    Connect({"--records", "0"});
    EXPECT_EQ(console.EraseWithProgress(), OpResult::Nothing);
    EXPECT_TRUE(prompt.messages.empty());
    EXPECT_EQ(LogCount("RX <STX>E<CR>"), 0);
}

TEST_F(ConsoleTest, RecoveryBringsErasedRecordsBack) {
    Connect({"--records", "20", "--erase-ms", "5"});
    ASSERT_EQ(console.EraseWithProgress(), OpResult::OK);
    prompt.messages.clear();
    EXPECT_EQ(console.RecoverRecords(), OpResult::OK);
    EXPECT_EQ(prompt.questions.back(), "Do you want to RECOVERY records?");
    ASSERT_EQ(prompt.messages.size(), 1u);
    EXPECT_EQ(prompt.messages[0].text, "RECOVERY records OK!");
    EXPECT_EQ(prompt.progressMax, 60393);
    EXPECT_EQ(prompt.counters.back(), "0 / 2048");
    EXPECT_EQ(console.Kt9().ReadRecordCount(), 20);
}

struct VersionCase {
    const char* name;
    const char* firmware;
    const char* shown;
};
class VersionText : public ConsoleTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionText, FirmwareIsShownWithAVersionPrefixWhenItLacksOne) {
    Connect({"--firmware", GetParam().firmware});
    QString shown;
    EXPECT_EQ(console.ShowVersion(&shown), OpResult::OK);
    EXPECT_EQ(shown, GetParam().shown);
    ASSERT_EQ(prompt.messages.size(), 1u);
    EXPECT_EQ(prompt.messages[0].kind, MsgKind::Information);
    EXPECT_EQ(prompt.messages[0].text, QString("Card Reader Firmware: ") + GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Firmware, VersionText,
    ::testing::Values(VersionCase{"Bare", "1.05", "V1.05"}, VersionCase{"WithV", "V2.10", "V2.10"},
                      VersionCase{"Krn", "KRN-A0102 V1.05", "KRN-A0102 V1.05"}),
    [](const auto& tpi) { return std::string(tpi.param.name); });

TEST_F(ConsoleTest, VersionWithTheReaderGone) {
    Connect();
    sim->Stop();
    EXPECT_EQ(console.ShowVersion(), OpResult::NoConnection);
    ASSERT_EQ(prompt.messages.size(), 1u);
    EXPECT_EQ(prompt.messages[0].text, kNoReader);
}

TEST_F(ConsoleTest, ChangedLoginIdIsTheOneTheReaderWantsNext) {
    Connect();
    prompt.newId = "1A2B";
    EXPECT_EQ(console.ChangeLoginId(), OpResult::OK);
    ASSERT_EQ(prompt.messages.size(), 1u);
    EXPECT_EQ(prompt.messages[0].text, "Change Login ID OK");
    EXPECT_EQ(LogCount("RX <STX>P1A2B<CR>"), 1);
    EXPECT_EQ(console.szLoginID, "4826") << "the re-login ID stays the one given at connection";
    prompt.loginIds = {"4826", "1A2B"};
    prompt.messages.clear();
    EXPECT_EQ(console.OpenReader(sim->Link()), ConnectResult::Connected);
    EXPECT_EQ(prompt.MessageTexts(), QStringList{kInvalid});
}

TEST_F(ConsoleTest, ChangeLoginIdCancelledOrUnanswered) {
    Connect();
    prompt.newId.clear();
    EXPECT_EQ(console.ChangeLoginId(), OpResult::Cancelled);
    EXPECT_TRUE(prompt.messages.empty());
    sim->Stop();
    prompt.newId = "1234";
    EXPECT_EQ(console.ChangeLoginId(), OpResult::NoConnection);
    EXPECT_EQ(prompt.MessageTexts(),
              QStringList{"Change Login ID NG\r\nCan't connect to RFID Reader!"});
}

// --- erase timing under an injected clock -------------------------------------------------

namespace {
// A reader that holds 100 records and answers "E" with eraseAnswer (empty: not in time).
struct EraseTiming : ::testing::Test {
    std::atomic<int> erases{0};
    QByteArray eraseAnswer;
    ScriptedPeer peer{[this](const QByteArray& f) -> QByteArray {
        if (f.endsWith("\x02N\r")) return Reply("A0100"); // the reader's own four digits
        if (f.endsWith(QByteArray("\x02") + "E\r")) {
            ++erases;
            return eraseAnswer;
        }
        return {};
    }};
    LinkUnderTest lut;
    RecordingPrompt prompt;
    ReaderConsole console{&lut.link, prompt};
    void SetUp() override { ASSERT_TRUE(lut.Open(peer.Path())); }
};
} // namespace

TEST_F(EraseTiming, Erasing100RecordsWaits3900ms) {
    // Every 1 ms sleep of the wait moves the injected clock by 1 ms; nothing else does.
    FakeClock clock{50000};
    // 100 x 29 + 1000 ms, then the grace for a slow reader. Then the reply to "E" is owed: the
    // count after it goes out only once the line has stayed quiet for 5 s, which a helper
    // drives (1 ms a millisecond) from the end of the grace on.
    const uint32_t graceEnd = 50000 + 3900u + uint32_t(console.EraseGraceMs(3900));
    std::atomic<bool> done{false};
    std::atomic<uint32_t> endOfGrace{0};
    std::thread owedWait([&] {
        while (!done && clock.Now() < graceEnd)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        endOfGrace = clock.Now();
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            clock.Advance(1);
        }
    });
    const OpResult r = console.EraseWithProgress();
    done = true;
    owedWait.join();
    EXPECT_EQ(r, OpResult::NoConnection);
    EXPECT_EQ(endOfGrace, graceEnd) << "the erase's own wait, to the millisecond";
    EXPECT_GE(clock.Now() - graceEnd, uint32_t(dorlin::RnetLink::kLateReplyLimitMs))
        << "the count waited out the reply owed to \"E\"";
    // The record count exchanges: the one before and the one after, which still says 100.
    EXPECT_EQ(peer.Received().count("\x02N\r"), 2);
    EXPECT_EQ(prompt.notes.filter("still holds").join(""),
              "The reader did not answer the erase; it still holds 100 records.");
    EXPECT_TRUE(lvtest::waitFor([&] { return erases == 1; }, 3000));
    EXPECT_EQ(prompt.progressMax, 3901);
    EXPECT_EQ(prompt.progressValue, 3901);
    // The counter climbs from 0 to 100 of 100.
    ASSERT_FALSE(prompt.counters.isEmpty());
    EXPECT_EQ(prompt.counters.front(), "0 / 100");
    int last = -1;
    for (const QString& c : prompt.counters) {
        ASSERT_TRUE(c.endsWith(" / 100")) << c.toStdString();
        int n = c.section(' ', 0, 0).toInt();
        EXPECT_GT(n, last);
        last = n;
    }
    EXPECT_EQ(prompt.counters.back(), "100 / 100");
    EXPECT_EQ(prompt.counters.size(), 101) << "each value once";
    EXPECT_EQ(prompt.MessageTexts(),
              QStringList{"Can't ERASE records!\r\nCan't connect to RFID Reader!"});
}

TEST_F(EraseTiming, RefusedEraseEndsAtOnce) {
    eraseAnswer = Reply("N");
    EXPECT_EQ(console.EraseWithProgress(), OpResult::Refused);
    EXPECT_EQ(prompt.MessageTexts(), QStringList{"Can't ERASE records!"});
    EXPECT_LT(prompt.progressValues.at(prompt.progressValues.size() - 2), 3900)
        << "time was left when the refusal came";
}

TEST_F(EraseTiming, NotConfirmedSendsNothing) {
    prompt.yes = false;
    EXPECT_EQ(console.EraseWithProgress(), OpResult::Cancelled);
    EXPECT_TRUE(peer.Received().isEmpty());
    EXPECT_TRUE(prompt.messages.empty());
}
