// The console against a reader written from the protocol text alone, not from readersim's
// code: a plain "G" without a checksum, "G" + number with one (or, as readers in the field do,
// without), the count as four decimal digits (so never more than 9999), registers as two
// hexadecimal digits with a checksum. It also plays what readersim cannot: a reader that never
// ends its records, a record that stays damaged, replies that come late, a slow or refused
// erase. The safe erase is checked against the reader's memory afterwards.
#include "Harness.h"
#include "pelmar/core/ReaderConsole.h"

#include <pelarchive/ArchiveExport.h>
#include <pelarchive/ReaderArchive.h>

#include <QTemporaryDir>

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
    bool plainChecksums = false;   // the plain "G" reply carries a checksum too
    bool numberedChecksums = true; // the "G" + number reply carries one
    bool neverEnds = false;        // a plain "G" past the last record answers a record again
    std::set<size_t> damaged;      // records whose replies always come damaged
    std::set<size_t> damagedOnce;  // records whose first reply comes damaged
    QByteArray countReply;         // the reply to "N" ("" = four decimal digits, at most 9999)
    int recordDelayMs = 0;         // every reply to a "G" comes this late
    int hiccupAt = -1;             // the reply to this "G" request (0 = the first) ...
    int hiccupMs = 0;              // ... comes this late
    int eraseDelayMs = 0;          // "E" answers this late
    bool eraseSilent = false;      // "E" is never answered (the erase still happens)
    QByteArray eraseReply = "A";   // "NOT ERASED" for a refusal
    bool refuseRewind = false;     // "R" is refused
    int recordRequests = 0;        // "G" requests answered so far
    int silentAfter = -1;          // "G" requests after this many get no answer at all
    QByteArray loginId = "4826";   // the Login ID the reader takes
    int changeDelayMs = 0;         // "P" (change the Login ID) answers this late
    bool changeRefused = false;    // "P" is refused (the ID stays)
    bool cardDuringErase = false;  // a card is read just after the download (once)
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
    // What the reader's memory holds (read after the console is done).
    size_t Held() {
        std::lock_guard<std::mutex> lk(mu);
        return records.size();
    }
    std::mutex mu;
    std::set<QByteArray> staleFor;
};

// The first `n` records of a reader that has read one card every minute.
std::vector<StoredRecord> Many(size_t n) {
    std::vector<StoredRecord> v;
    v.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        StoredRecord r;
        const int minute = int(i % 60), hour = int(i / 60 % 24), day = int(i / 1440 % 28) + 1;
        const QByteArray id =
            QByteArray::number(qulonglong(i), 16).toUpper().rightJustified(8, '0');
        char stamp[16];
        std::snprintf(stamp, sizeof stamp, "%02d%02d%02d", hour, minute, 0);
        r.text = "202612" + QByteArray::number(day).rightJustified(2, '0') + stamp + " 115" + id;
        r.normalised = QStringLiteral("A0000,\x01") + QStringLiteral("115") +
                       QString::fromLatin1(id) + QChar(4) +
                       QStringLiteral("2026/12/%1 %2:%3:00")
                           .arg(day, 2, 10, QLatin1Char('0'))
                           .arg(hour, 2, 10, QLatin1Char('0'))
                           .arg(minute, 2, 10, QLatin1Char('0'));
        v.push_back(r);
    }
    return v;
}

class ProtocolTextReader {
public:
    explicit ProtocolTextReader(ReaderScript& s) : s_(s) {}

    QByteArray Answer(const QByteArray& frame) {
        const qsizetype stx = frame.lastIndexOf('\x02');
        if (stx < 0) return {};
        const QByteArray cmd = frame.mid(stx + 1, frame.size() - stx - 2);
        if (cmd.startsWith('G')) {
            if (s_.silentAfter >= 0 && s_.recordRequests >= s_.silentAfter) return {};
            int delay = s_.recordDelayMs;
            if (s_.recordRequests++ == s_.hiccupAt) delay = s_.hiccupMs;
            if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        }
        QByteArray out = Handle(cmd);
        if (!out.isEmpty() && s_.TakeStale(cmd)) out = Reply("A") + out;
        return out;
    }

private:
    QByteArray Record(size_t i, bool withChecksum) {
        QByteArray text = "A" + s_.records[i].text;
        if (s_.damaged.count(i) || s_.damagedOnce.erase(i)) {
            // The line spoilt it: a blank turned into a control byte, and a checksum that
            // does not fit.
            text.replace(' ', '\x7f');
            return Reply(text + (withChecksum ? "00" : ""));
        }
        return Reply(text, withChecksum);
    }

    QByteArray Handle(const QByteArray& cmd) {
        if (cmd == "O" || cmd == "f") return Reply("A");
        if (cmd == "L" + s_.loginId) return Reply("A");
        if (cmd.startsWith('L')) return Reply("I");
        if (cmd.startsWith('P') && cmd.size() == 5) {
            if (s_.changeDelayMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(s_.changeDelayMs));
            if (s_.changeRefused) return Reply("N");
            s_.loginId = cmd.mid(1);
            return Reply("A");
        }
        if (cmd == "F") return Reply("AKRN-A0102 V1.05");
        if (cmd == "N") {
            if (!s_.countReply.isEmpty()) return Reply(s_.countReply);
            // four decimal digits, no checksum: no more than 9999
            const qlonglong n = std::min<qlonglong>(qlonglong(s_.records.size()), 9999);
            return Reply("A" + QByteArray::number(n).rightJustified(4, '0'));
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
            if (n == s_.records.size() && s_.cardDuringErase) {
                // A card read between the download and the erase.
                s_.cardDuringErase = false;
                std::lock_guard<std::mutex> lk(s_.mu);
                s_.records.push_back(Rec(28, "1509999999"));
            }
            if (n >= s_.records.size()) return Reply("N");
            pointer_ = n + 1;
            return Record(n, s_.numberedChecksums);
        }
        if (cmd == "E") {
            if (s_.eraseDelayMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(s_.eraseDelayMs));
            if (s_.eraseReply.startsWith('A')) {
                std::lock_guard<std::mutex> lk(s_.mu);
                s_.records.clear();
            }
            if (s_.eraseSilent) return {};
            return Reply(s_.eraseReply);
        }
        return Reply("N");
    }

    ReaderScript& s_;
    size_t pointer_ = 0;
};

struct ProtocolReaderTest : ::testing::Test {
    ReaderScript script;
    ProtocolTextReader reader{script};
    ScriptedPeer peer{[this](const QByteArray& f) { return reader.Answer(f); }};
    LinkUnderTest lut;
    RecordingPrompt prompt;
    ReaderConsole console{&lut.link, prompt};
    QStringList notes;

    QTemporaryDir dir;

    void SetUp() override {
        ASSERT_TRUE(peer.ok());
        ASSERT_TRUE(dir.isValid());
        lut.ctrl.SetRnetTimeout(1000);
    }
    // pelmar erase --safe on this reader, into an archive file of the test; returns what it
    // said, failures first marked "!".
    int SafeErase(QStringList& said) {
        pelarchive::ArchiveJob job;
        job.url = dir.filePath(QStringLiteral("archive.db"));
        job.readerName = QStringLiteral("door");
        job.port = peer.Path();
        prompt.yes = true;
        return pelarchive::SafeErase(console, job, [&](bool failure, const QString& text) {
            said << (failure ? QStringLiteral("!") : QString()) + text;
        });
    }
    // The records the archive holds for the reader, as normalised texts.
    long Archived() {
        pelarchive::Archive a;
        QString error;
        if (!pelarchive::OpenArchiveUrl(dir.filePath(QStringLiteral("archive.db")), a, &error))
            return -1;
        QList<pelarchive::ArchivedRecord> rows;
        if (!a.Records({}, rows, &error)) return -1;
        return long(rows.size());
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

TEST_F(ProtocolReaderTest, PlainRecordsAreTakenWholeWithoutChecksum) {
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

TEST_F(ProtocolReaderTest, PlainRecordsWithTheirChecksumAreStripped) {
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

TEST_F(ProtocolReaderTest, ADamagedRecordIsSkippedAndReported) {
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

TEST_F(ProtocolReaderTest, AReaderThatNeverEndsMeetsTheBoundAndIsIncomplete) {
    EXPECT_EQ(console.maxDownloadRecords, 65536); // what "G%04X" can address
    script.records = {Rec(1, "1100000001"), Rec(2, "1100000002"), Rec(3, "1100000003"),
                      Rec(4, "1100000004")};
    script.neverEnds = true;
    console.maxDownloadRecords = 40; // the same loop, sooner
    Connect();
    DownloadResult res;
    const QStringList got = Download(res);
    EXPECT_EQ(got.size(), 40);
    EXPECT_EQ(got.mid(0, 4), Normalised({0, 1, 2, 3}));
    EXPECT_TRUE(res.bounded);
    EXPECT_FALSE(res.endedAtEnd);
    EXPECT_EQ(res.outcome, DownloadOutcome::Incomplete);
    EXPECT_EQ(res.why, "The reader did not end its records within 40 records.");
    // The count (4) did not end it: no second "N", every "G" a plain one.
    const QStringList req = Requests();
    EXPECT_EQ(req.count("N"), 1);
    EXPECT_EQ(req.count("G"), 40);
}

TEST_F(ProtocolReaderTest, LateRepliesAreNeverTakenAsAnswers) {
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

TEST_F(ProtocolReaderTest, ARefusedRewindIsSaidSo) {
    script.records = {Rec(1, "1100000001")};
    script.refuseRewind = true;
    Connect();
    DownloadResult res;
    EXPECT_TRUE(Download(res).isEmpty());
    EXPECT_EQ(res.outcome, DownloadOutcome::Refused);
    EXPECT_EQ(res.why, "The reader refused to go back to its first record (\"R\").");
}

TEST_F(ProtocolReaderTest, EraseOutcomes) {
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

// "E" answered after the console's wait and its grace: the reply is owed, so the count asked
// next goes out only once that late reply has come and been dropped, and the erase is reported
// as the reader's memory says, never on the late reply's word.
TEST_F(ProtocolReaderTest, AnEraseAnsweredAfterItsGraceIsNeverTakenAsTheCount) {
    struct Case {
        const char* name;
        QByteArray reply;
        OpResult result;
        QString message;
        QString note;
        size_t held; // records in the reader's memory afterwards
    };
    const Case cases[] = {
        {"erased, its reply late", "A", OpResult::OK, "ERASE records OK!",
         "The erase was confirmed late: the reader did not answer, but holds no records now.", 0},
        {"refused, its refusal late", "NOT ERASED", OpResult::NoConnection,
         "Can't ERASE records!\r\nCan't connect to RFID Reader!",
         "The reader did not answer the erase; it still holds 2 records.", 2},
    };
    // Two records: 2 x 29 + 1000 ms reckoned, then that again and 1500 ms more of grace; the
    // reply comes 1 s after both.
    console.eraseGraceExtraMs = 1500;
    for (const Case& c : cases) {
        script.records = {Rec(1, "1100000001"), Rec(2, "1100000002")};
        script.eraseReply = c.reply;
        script.eraseDelayMs = 2 * (2 * 29 + 1000) + 1500 + 1000;
        Connect();
        prompt.notes.clear();
        EXPECT_EQ(console.EraseWithProgress(), c.result) << c.name;
        EXPECT_EQ(prompt.MessageTexts(), QStringList({c.message})) << c.name;
        EXPECT_TRUE(prompt.notes.contains(c.note))
            << c.name << ": " << prompt.notes.join("|").toStdString();
        // One count after the erase: its first reply was its own, not the late one to "E".
        EXPECT_EQ(Requests(), QStringList({"N", "E", "N"})) << c.name;
        EXPECT_EQ(script.Held(), c.held) << c.name;
        console.CloseLink();
    }
}

TEST_F(ProtocolReaderTest, ARefusedLoginIdIsOneMessageAndItsOwnResult) {
    prompt.loginIds = {"1111"};
    EXPECT_EQ(console.OpenReader(peer.Path()), ConnectResult::Refused);
    EXPECT_EQ(prompt.MessageTexts(),
              QStringList({"The Login ID is invalid!\r\nPlease try again."}));
}

TEST_F(ProtocolReaderTest, TheCountNeverEndsTheDownloadAndTheSafeEraseEmptiesTheReader) {
    struct Case {
        const char* name;
        size_t records;
        QByteArray count; // "" = four decimal digits, at most 9999
        QString warning;  // "" = none
    };
    const Case cases[] = {
        {"10,050 records: the count says 9999", 10050, "",
         "Warning: the reader counted 9999 records; 10050 were read."},
        {"12,000 records", 12000, "", "Warning: the reader counted 9999 records; 12000 were read."},
        {"a hexadecimal count", 9000, "A2328",
         "Warning: the reader counted 2328 records; 9000 were read."},
        {"a short count", 30, "A0025", "Warning: the reader counted 25 records; 30 were read."},
        {"a long count", 30, "A0040", "Warning: the reader counted 40 records; 30 were read."},
        {"decimal digits with their checksum", 30, "A003004", ""},
    };
    for (const Case& c : cases) {
        script.records = Many(c.records);
        script.countReply = c.count;
        Connect();
        QStringList said;
        EXPECT_EQ(SafeErase(said), 0) << c.name;
        QStringList want;
        if (!c.warning.isEmpty()) want << c.warning;
        want << QStringLiteral("%1 new, 0 already archived").arg(c.records);
        EXPECT_EQ(said.mid(0, want.size()), want) << c.name;
        EXPECT_EQ(prompt.MessageTexts().last(), "ERASE records OK!") << c.name;
        EXPECT_EQ(Archived(), long(c.records)) << c.name;
        EXPECT_EQ(script.Held(), 0u) << c.name << ": the reader's memory after the erase";
        // Immediately before "E" the record after the last one was asked for, and refused.
        const QString probe = QString::asprintf("G%04X", unsigned(c.records));
        const QStringList req = Requests();
        EXPECT_EQ(req.mid(req.size() - 3), QStringList({"N", probe, "E"})) << c.name;
        console.CloseLink();
        QDir(dir.path()).remove(QStringLiteral("archive.db"));
    }
}

TEST_F(ProtocolReaderTest, ADamagedReplyIsReadAgainWithOrWithoutNumberedChecksums) {
    for (bool numbered : {true, false}) {
        script.records = {Rec(1, "1100000001"), Rec(2, "1100000002"), Rec(3, "1100000003"),
                          Rec(4, "1100000004"), Rec(5, "1100000005"), Rec(6, "1100000006")};
        script.damagedOnce = {2};
        script.numberedChecksums = numbered;
        Connect();
        DownloadResult res;
        std::vector<long> numbers;
        console.blnStop1 = true;
        QStringList got;
        res = console.UploadKt9Record([&](long n, const QString& rec) {
            numbers.push_back(n);
            got << rec;
        });
        EXPECT_EQ(got, Normalised({0, 1, 2, 3, 4, 5})) << numbered;
        EXPECT_EQ(numbers, std::vector<long>({1, 2, 3, 4, 5, 6})) << numbered;
        EXPECT_EQ(res.outcome, DownloadOutcome::Complete) << numbered;
        EXPECT_TRUE(res.endedAtEnd) << numbered;
        EXPECT_EQ(console.numberedRecordChecksum, numbered ? 1 : 0);
        const QStringList req = Requests();
        // Without a checksum the record is read twice by number: the same text twice is no
        // damage.
        EXPECT_EQ(req.count("G0002"), numbered ? 1 : 2) << numbered;
        EXPECT_EQ(req.mid(req.lastIndexOf("G0002") + 1),
                  QStringList({"G0003", "G0004", "G0005", "G0006"}))
            << numbered;
        console.CloseLink();
    }
}

TEST_F(ProtocolReaderTest, SkippedRecordsKeepTheReadersNumbersAndAreNotErased) {
    script.records = {Rec(1, "1100000001"), Rec(2, "1100000002"), Rec(3, "1100000003"),
                      Rec(4, "1100000004"), Rec(5, "1100000005")};
    script.damaged = {2};
    Connect();
    std::vector<long> numbers;
    console.blnStop1 = true;
    const DownloadResult res =
        console.UploadKt9Record([&](long n, const QString&) { numbers.push_back(n); });
    EXPECT_EQ(numbers, std::vector<long>({1, 2, 4, 5}));
    EXPECT_EQ(res.unread, QList<long>({3}));
    QStringList said;
    EXPECT_EQ(SafeErase(said), 6) << "pelmar's code for records that could not be read";
    EXPECT_EQ(said.last(),
              "!Not erased: records that could not be read: 3. The reader is untouched.");
    EXPECT_EQ(script.Held(), 5u);
    EXPECT_FALSE(Requests().contains("E"));
    EXPECT_EQ(Archived(), 4) << "what was read is archived all the same";
}

TEST_F(ProtocolReaderTest, TheSafeEraseLeavesTheReaderUnlessTheDownloadReachedItsEnd) {
    struct Case {
        const char* name;
        int silentAfter;
        bool neverEnds;
        int code; // pelmar's exit code table: 4 the link, 6 records not read to the end
        QString said;
    };
    const Case cases[] = {
        {"the reader stops answering", 3, false, 4,
         "!Not erased: the reader stopped answering after 3 records. The reader is untouched."},
        {"the reader never ends", -1, true, 6,
         "!Not erased: the reader did not end its records within 40 records. The reader is "
         "untouched."},
    };
    for (const Case& c : cases) {
        script.records = Many(6);
        script.silentAfter = c.silentAfter;
        script.neverEnds = c.neverEnds;
        script.recordRequests = 0;
        console.maxDownloadRecords = 40;
        Connect();
        QStringList said;
        EXPECT_EQ(SafeErase(said), c.code) << c.name;
        EXPECT_EQ(said.last(), c.said) << c.name;
        EXPECT_EQ(script.Held(), 6u) << c.name;
        EXPECT_FALSE(Requests().contains("E")) << c.name;
        console.CloseLink();
    }
}

TEST_F(ProtocolReaderTest, ACardReadBeforeTheEraseIsArchivedFirst) {
    script.records = Many(5);
    script.cardDuringErase = true;
    Connect();
    QStringList said;
    EXPECT_EQ(SafeErase(said), 0);
    EXPECT_TRUE(said.contains("The reader holds a record 6 now: archiving again."))
        << said.join("|").toStdString();
    EXPECT_TRUE(said.contains("1 new, 5 already archived")) << said.join("|").toStdString();
    EXPECT_EQ(Archived(), 6);
    EXPECT_EQ(script.Held(), 0u);
}

// Replies to "G" that come late by each of these: every record exactly once and in order (the
// archive holds each once, in the reader's order), and an erase only after that.
class LateReplies : public ProtocolReaderTest, public ::testing::WithParamInterface<int> {};

TEST_P(LateReplies, EveryRecordOnceAndInOrderThenTheErase) {
    const int delay = GetParam();
    script.records = {Rec(1, "1100000001"), Rec(2, "1100000002")};
    if (delay > 0) {
        script.recordDelayMs = delay;
    } else {
        // a single hiccup: the reply to the second "G" comes 4 s late
        script.hiccupAt = 1;
        script.hiccupMs = 4000;
    }
    // What the archive must hold, taken before the erase empties the reader.
    const QStringList expected = Normalised({0, 1});
    Connect();
    QStringList said;
    EXPECT_EQ(SafeErase(said), 0) << said.join("|").toStdString();
    pelarchive::Archive a;
    QString error;
    ASSERT_TRUE(pelarchive::OpenArchiveUrl(dir.filePath(QStringLiteral("archive.db")), a, &error));
    QList<pelarchive::ArchivedRecord> rows;
    ASSERT_TRUE(a.Records({}, rows, &error));
    QStringList texts;
    for (const auto& r : rows)
        texts << r.text;
    EXPECT_EQ(texts, expected);
    EXPECT_EQ(script.Held(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Delays, LateReplies, ::testing::Values(100, 400, 990, 1500, 1900, 2500, 0),
                         [](const ::testing::TestParamInfo<int>& p) {
                             return p.param ? QStringLiteral("Late%1ms").arg(p.param).toStdString()
                                            : std::string("OneHiccupOf4s");
                         });

TEST_F(ProtocolReaderTest, AChangedLoginIdWhoseReplyWasLostIsFoundByLoggingIn) {
    struct Case {
        const char* name;
        bool refused; // the reader keeps the old ID
        OpResult result;
        QString message;
        QString note;
    };
    // The reply to "P" comes 2.5 s late: after the console's wait.
    const Case cases[] = {
        {"the reader took the new ID", false, OpResult::OK, "Change Login ID OK",
         "The reader's reply was lost, but it takes the new Login ID: 1234 is in force."},
        {"the reader kept the old ID", true, OpResult::NoConnection,
         "Change Login ID NG\r\nCan't connect to RFID Reader!",
         "The reader's reply was lost; it still takes the old Login ID: 4826 is in force."},
    };
    for (const Case& c : cases) {
        script.loginId = "4826";
        script.changeDelayMs = 2500;
        script.changeRefused = c.refused;
        Connect();
        prompt.newId = QStringLiteral("1234");
        prompt.notes.clear();
        EXPECT_EQ(console.ChangeLoginId(), c.result) << c.name;
        EXPECT_EQ(prompt.MessageTexts(), QStringList({c.message})) << c.name;
        EXPECT_EQ(prompt.notes, QStringList({c.note})) << c.name;
        EXPECT_EQ(script.loginId, c.refused ? "4826" : "1234") << c.name;
        // The late "A" to "P" was not taken as the answer to the login after it.
        const QStringList req = Requests();
        EXPECT_EQ(req.mid(req.indexOf("P1234")), c.refused
                                                     ? QStringList({"P1234", "L1234", "L4826"})
                                                     : QStringList({"P1234", "L1234"}))
            << c.name;
        console.CloseLink();
    }
}
