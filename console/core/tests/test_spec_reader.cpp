// The console against a reader played by the test that answers exactly as the reader's own
// description has it (a plain "G" without a checksum, "G" + number with one, the count as
// four decimal digits, registers as two hexadecimal digits with a checksum), and against the
// misbehaviour readersim cannot play: a reader that never ends its records, a record that
// stays damaged, late replies, a slow or refused erase.
#include "Harness.h"
#include "pelmar/core/ReaderConsole.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <set>
#include <thread>

using namespace pelmar;
using namespace pelmar::test;

namespace {

// One stored record as the reader writes it after the "A": date and time digits, a blank,
// weekday, card type, event and card ID.
struct StoredRecord {
    QByteArray text;
    QString normalised; // what the download must make of it (year-first dates)
};

StoredRecord Rec(int day, const char* body) {
    const QByteArray date = QByteArray("202612") + QByteArray::number(day).rightJustified(2, '0');
    StoredRecord r;
    r.text = date + "083005 " + body;
    r.normalised = QStringLiteral("A0000,\x01") + QString::fromLatin1(body) + QChar(4) +
                   QStringLiteral("2026/12/%1 08:30:05").arg(day, 2, 10, QLatin1Char('0'));
    return r;
}

// The reader's behaviour, set by each test before it connects.
struct ReaderScript {
    std::vector<StoredRecord> records;
    bool plainChecksums = false; // the plain "G" reply carries a checksum too
    bool neverEnds = false;      // a plain "G" past the last record answers a record again
    std::set<size_t> damaged;    // records whose replies always come damaged
    int eraseDelayMs = 0;        // "E" answers this late
    bool eraseSilent = false;    // "E" is never answered (the erase still happens)
    QByteArray eraseReply = "A"; // "NOT ERASED" for a refusal
    bool refuseRewind = false;   // "R" is refused
    // The first reply to each of these commands is preceded by a late "A" (the answer to
    // something asked long before).
    void StaleFor(std::set<QByteArray> commands) {
        std::lock_guard<std::mutex> lk(mu);
        staleFor = std::move(commands);
    }
    bool TakeStale(const QByteArray& cmd) {
        std::lock_guard<std::mutex> lk(mu);
        return staleFor.erase(cmd) > 0;
    }
    std::mutex mu;
    std::set<QByteArray> staleFor;
};

class SpecReader {
public:
    explicit SpecReader(ReaderScript& s) : s_(s) {}

    QByteArray Answer(const QByteArray& frame) {
        const qsizetype stx = frame.lastIndexOf('\x02');
        if (stx < 0) return {};
        const QByteArray cmd = frame.mid(stx + 1, frame.size() - stx - 2);
        QByteArray out = Handle(cmd);
        if (!out.isEmpty() && s_.TakeStale(cmd)) out = Reply("A") + out;
        return out;
    }

private:
    QByteArray Record(size_t i, bool withChecksum) {
        QByteArray text = "A" + s_.records[i].text;
        if (s_.damaged.count(i)) {
            // The line spoilt it: a blank turned into a control byte, and a checksum that
            // does not fit.
            text.replace(' ', '\x7f');
            return Reply(text + (withChecksum ? "00" : ""));
        }
        return Reply(text, withChecksum);
    }

    QByteArray Handle(const QByteArray& cmd) {
        if (cmd == "O" || cmd == "f") return Reply("A");
        if (cmd == "L4826") return Reply("A");
        if (cmd.startsWith('L')) return Reply("I");
        if (cmd == "F") return Reply("AKRN-A0102 V1.05");
        if (cmd == "N") {
            // four decimal digits, no checksum
            return Reply("A" +
                         QByteArray::number(qlonglong(s_.records.size())).rightJustified(4, '0'));
        }
        if (cmd == "R") {
            if (s_.refuseRewind) return Reply("N");
            pointer_ = 0;
            return Reply("A");
        }
        if (cmd.startsWith('B') && cmd.size() == 3) {
            const int reg = cmd.mid(1).toInt(nullptr, 16);
            const char* value = reg == 0x1A ? "FF" : reg == 0x2F ? "41" : "00";
            return Reply(QByteArray("A") + value, true);
        }
        if (cmd == "G") {
            if (pointer_ >= s_.records.size()) {
                if (!s_.neverEnds || s_.records.empty()) return Reply("N");
                return Record(s_.records.size() - 1, s_.plainChecksums);
            }
            return Record(pointer_++, s_.plainChecksums);
        }
        if (cmd.startsWith('G') && cmd.size() == 5) {
            const size_t n = size_t(cmd.mid(1).toInt(nullptr, 16));
            if (n >= s_.records.size()) return Reply("N");
            pointer_ = n + 1;
            return Record(n, true);
        }
        if (cmd == "E") {
            if (s_.eraseDelayMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(s_.eraseDelayMs));
            if (s_.eraseReply.startsWith('A')) s_.records.clear();
            if (s_.eraseSilent) return {};
            return Reply(s_.eraseReply);
        }
        return Reply("N");
    }

    ReaderScript& s_;
    size_t pointer_ = 0;
};

struct SpecReaderTest : ::testing::Test {
    ReaderScript script;
    SpecReader reader{script};
    ScriptedPeer peer{[this](const QByteArray& f) { return reader.Answer(f); }};
    LinkUnderTest lut;
    RecordingPrompt prompt;
    ReaderConsole console{&lut.link, prompt};
    QStringList notes;

    void SetUp() override {
        ASSERT_TRUE(peer.ok());
        lut.ctrl.SetRnetTimeout(1000);
    }
    void Connect() {
        prompt.loginIds = {"4826"};
        ASSERT_EQ(console.OpenReader(peer.Path()), ConnectResult::Connected);
        prompt.messages.clear();
        peer.ClearReceived();
    }
    QStringList Download(DownloadResult& res) {
        QStringList got;
        console.blnStop1 = true;
        res = console.UploadKt9Record([&](long, const QString& rec) { got << rec; });
        return got;
    }
    QStringList Normalised(std::initializer_list<size_t> which) {
        QStringList l;
        for (size_t i : which)
            l << script.records[i].normalised;
        return l;
    }
    // The request frames the reader received, in order ("N", "R", "G" ...).
    QStringList Requests() {
        QStringList out;
        for (const QByteArray& f : peer.Received().split('\r')) {
            const qsizetype stx = f.lastIndexOf('\x02');
            if (stx >= 0) out << QString::fromLatin1(f.mid(stx + 1));
        }
        return out;
    }
};

} // namespace

TEST_F(SpecReaderTest, PlainRecordsAreTakenWholeWithoutChecksum) {
    // The body 1250012345678 reads card ID 0012345678: no two characters are cut off.
    script.records = {Rec(7, "1250012345678"), Rec(8, "2A01FFFFFFFFF"), Rec(9, "3310AB"),
                      Rec(10, "4420C0FFEE")};
    Connect();
    DownloadResult res;
    EXPECT_EQ(Download(res), Normalised({0, 1, 2, 3}));
    EXPECT_EQ(res.outcome, DownloadOutcome::Complete);
    EXPECT_EQ(res.total, 4);
    EXPECT_TRUE(res.countKnown);
    EXPECT_TRUE(res.CountAgrees());
    EXPECT_EQ(console.plainRecordChecksum, 0);
    EXPECT_EQ(Requests(), QStringList({"N", "R", "B1A", "G", "G", "G", "G", "G"}));
}

TEST_F(SpecReaderTest, PlainRecordsWithTheirChecksumAreStripped) {
    struct Case {
        const char* name;
        std::vector<StoredRecord> records;
        QStringList requests; // after N, R, B1A
    };
    const Case cases[] = {
        {"three or more: the first three settle it",
         {Rec(7, "1250012345678"), Rec(8, "2A01FFFFFFFFF"), Rec(9, "3310AB"), Rec(10, "44201")},
         {"G", "G", "G", "G", "G"}},
        // With fewer than three the first record, asked for by number, settles it exactly.
        {"two: record 1 asked for by number",
         {Rec(7, "1250012345678"), Rec(8, "2A01FFFFFFFFF")},
         {"G", "G", "G", "G0000"}},
    };
    for (const Case& c : cases) {
        script.records = c.records;
        script.plainChecksums = true;
        Connect();
        DownloadResult res;
        QStringList want;
        for (const auto& r : c.records)
            want << r.normalised;
        EXPECT_EQ(Download(res), want) << c.name;
        EXPECT_EQ(res.outcome, DownloadOutcome::Complete) << c.name;
        EXPECT_EQ(console.plainRecordChecksum, 1) << c.name;
        EXPECT_EQ(Requests(), QStringList({"N", "R", "B1A"}) + c.requests) << c.name;
        console.CloseLink();
    }
}

TEST_F(SpecReaderTest, ADamagedRecordIsSkippedAndReported) {
    script.records = {Rec(1, "1100000001"), Rec(2, "1100000002"), Rec(3, "1100000003"),
                      Rec(4, "1100000004"), Rec(5, "1100000005"), Rec(6, "1100000006")};
    script.damaged = {2};
    Connect();
    DownloadResult res;
    EXPECT_EQ(Download(res), Normalised({0, 1, 3, 4, 5}));
    EXPECT_EQ(res.outcome, DownloadOutcome::Incomplete);
    EXPECT_EQ(res.unread, QList<long>({3}));
    EXPECT_EQ(res.why, "Records that could not be read: 3.");
    // Record 3 was asked for by its number three times; the rest went on by number.
    const QStringList req = Requests();
    EXPECT_EQ(req.count("G0002"), 3);
    EXPECT_EQ(req.mid(req.indexOf("G0002") + 3), QStringList({"G0003", "G0004", "G0005", "G0006"}));
}

TEST_F(SpecReaderTest, AReaderThatNeverEndsIsReadUpToItsCount) {
    script.records = {Rec(1, "1100000001"), Rec(2, "1100000002"), Rec(3, "1100000003"),
                      Rec(4, "1100000004")};
    script.neverEnds = true;
    Connect();
    DownloadResult res;
    EXPECT_EQ(Download(res), Normalised({0, 1, 2, 3}));
    EXPECT_TRUE(res.bounded);
    EXPECT_EQ(res.read, 4);
    EXPECT_EQ(res.outcome, DownloadOutcome::Complete);
    // Passing the count, the count is read once more before the download stops.
    EXPECT_EQ(Requests(), QStringList({"N", "R", "B1A", "G", "G", "G", "G", "G", "N"}));
}

TEST_F(SpecReaderTest, LateRepliesAreNeverTakenAsAnswers) {
    script.records = {Rec(1, "1100000001"), Rec(2, "1100000002"), Rec(3, "1100000003")};
    Connect();
    // A late "A" arrives in front of the count, the date register and the first record: none
    // is taken for what it is not (a count of nothing, a register 0, a blank record).
    script.StaleFor({"N", "B1A", "G"});
    DownloadResult res;
    EXPECT_EQ(Download(res), Normalised({0, 1, 2}));
    EXPECT_EQ(res.outcome, DownloadOutcome::Complete);
    EXPECT_EQ(res.total, 3);
    EXPECT_EQ(Requests().count("N"), 2);
    EXPECT_EQ(Requests().count("B1A"), 2);
    EXPECT_TRUE(Requests().contains("G0000")) << "the first record asked for by number";
    // And in front of the version: not "V".
    script.StaleFor({"F"});
    QString shown;
    EXPECT_EQ(console.ShowVersion(&shown), OpResult::OK);
    EXPECT_EQ(shown, "KRN-A0102 V1.05");
}

TEST_F(SpecReaderTest, ARefusedRewindIsSaidSo) {
    script.records = {Rec(1, "1100000001")};
    script.refuseRewind = true;
    Connect();
    DownloadResult res;
    EXPECT_TRUE(Download(res).isEmpty());
    EXPECT_EQ(res.outcome, DownloadOutcome::Refused);
    EXPECT_EQ(res.why, "The reader refused to go back to its first record (\"R\").");
}

TEST_F(SpecReaderTest, EraseOutcomes) {
    struct Case {
        const char* name;
        QByteArray reply;
        int delayMs;
        bool silent;
        OpResult result;
        QString message;
        bool lateNote;
    };
    // Two records: the console reckons 2 x 29 + 1000 ms.
    const Case cases[] = {
        {"accepted at once", "A", 0, false, OpResult::OK, "ERASE records OK!", false},
        {"NOT ERASED is a refusal", "NOT ERASED", 0, false, OpResult::Refused,
         "Can't ERASE records!", false},
        {"answered after its time, within the grace", "A", 1800, false, OpResult::OK,
         "ERASE records OK!", false},
        {"never answered, but the count is 0", "A", 0, true, OpResult::OK, "ERASE records OK!",
         true},
    };
    console.eraseGraceExtraMs = 1500; // a short grace for the test
    for (const Case& c : cases) {
        script.records = {Rec(1, "1100000001"), Rec(2, "1100000002")};
        script.eraseReply = c.reply;
        script.eraseDelayMs = c.delayMs;
        script.eraseSilent = c.silent;
        Connect();
        prompt.notes.clear();
        EXPECT_EQ(console.EraseWithProgress(), c.result) << c.name;
        EXPECT_EQ(prompt.MessageTexts(), QStringList({c.message})) << c.name;
        EXPECT_EQ(prompt.notes.contains("The erase was confirmed late: the reader did not "
                                        "answer, but holds no records now."),
                  c.lateNote)
            << c.name;
        console.CloseLink();
    }
}

TEST_F(SpecReaderTest, ARefusedLoginIdIsOneMessageAndItsOwnResult) {
    prompt.loginIds = {"1111"};
    EXPECT_EQ(console.OpenReader(peer.Path()), ConnectResult::Refused);
    EXPECT_EQ(prompt.MessageTexts(),
              QStringList({"The Login ID is invalid!\r\nPlease try again."}));
}
