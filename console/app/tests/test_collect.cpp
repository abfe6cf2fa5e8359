// pelmar collect in one process: 16 simulated readers (8 on ptys, 8 device servers) at once
// into SQLite and a throwaway PostgreSQL with every punch once, each reader's outcome as values
// (code, counts, reason), a wrong Login ID, a reader that vanishes mid-round, the safe erase,
// and SIGTERM / Ctrl-C at several moments of a round with the archive checked against what
// each simulated reader sent.
#include "ArchiveCli.h"
#include "CliTestSupport.h"
#include "CollectRound.h"
#include "PgCluster.h"
#include "SimReader.h"
#include "TestSupport.h"
#include "pelarchive/Archive.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>
#include <iostream>
#include <memory>
#include <vector>

using lvtest::SimReader;
using pelmar::cli::ReaderEntry;
using pelmar::cli::ReaderOutcome;
using pelmar::cli::RoundResult;
using State = ReaderOutcome::State;

namespace {

// The records a simulated reader sent (their date and time digits, which differ between
// records), whether asked for in order or by number.
QSet<QString> SentRecords(const SimReader& sim) {
    static const QRegularExpression record(QStringLiteral("^TX <STX>A(\\d{14}) "));
    QSet<QString> sent;
    for (const QString& line : sim.Log()) {
        const QRegularExpressionMatch m = record.match(line);
        if (m.hasMatch()) sent.insert(m.captured(1));
    }
    return sent;
}

// Readers of their own: half on ptys, half device servers on loopback addresses of their own,
// each with its own records (seed) and count.
struct Readers {
    std::vector<std::unique_ptr<SimReader>> sims;
    QList<ReaderEntry> entries;
    QList<long> counts;

    bool Start(int n, const std::function<long(int)>& records, const QStringList& extra = {}) {
        for (int i = 0; i < n; ++i) {
            const bool tcp = i % 2 == 1;
            const QStringList args = QStringList{"--records", QString::number(records(i)), "--seed",
                                                 QString::number(100 + i)} +
                                     extra;
            sims.push_back(std::make_unique<SimReader>(args, tcp ? SimReader::Transport::Tcp
                                                                 : SimReader::Transport::Pty));
            if (!sims.back()->ok()) return false;
            ReaderEntry e;
            e.name = QStringLiteral("R%1").arg(i + 1, 2, 10, QLatin1Char('0'));
            e.port = tcp ? QStringLiteral("IP:") + sims.back()->Address() : sims.back()->Link();
            e.login = QStringLiteral("4826");
            entries << e;
            counts << records(i);
        }
        return true;
    }
    // The readers file of these readers (Login IDs from LORVANE_LOGIN).
    QString FileText(const QString& baud = {}) const {
        QString text;
        for (const ReaderEntry& e : entries)
            text +=
                QStringLiteral("[%1]\nPort=%2\n%3\n")
                    .arg(e.name, e.port,
                         baud.isEmpty() || e.port.startsWith("IP:") ? QString() : "Baud=" + baud);
        return text;
    }
};

struct CollectRound : ::testing::Test {
    QTemporaryDir dir;
    QString out, err;
    QTextStream outStream{&out}, errStream{&err};
    pelmar::cli::Io io{outStream, errStream, {}};
    QStringList told; // what the round reported: "R01 collecting", "R01 collected: ..."

    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    RoundResult Round(const QList<ReaderEntry>& readers, const QString& url, bool safeErase = false,
                      std::function<int()> stop = {}) {
        out.clear();
        told.clear();
        lorvane::Progress progress(errStream, lorvane::Progress::Mode::Plain);
        io.progress = &progress;
        pelmar::cli::RoundOptions options;
        options.url = url;
        options.safeErase = safeErase;
        options.stopSignal = std::move(stop);
        options.report = [this](const QString& reader, const QString& state, const QString& text) {
            told << reader + ' ' + state + (text.isEmpty() ? QString() : ": " + text);
        };
        const RoundResult r = pelmar::cli::RunCollectRound(readers, options, io);
        io.progress = nullptr;
        outStream.flush();
        return r;
    }
    static const ReaderOutcome* Of(const RoundResult& r, const QString& reader) {
        for (const ReaderOutcome& o : r.readers)
            if (o.reader == reader) return &o;
        return nullptr;
    }
    static QStringList Sorted(const QString& text) {
        QStringList l = text.split('\n', Qt::SkipEmptyParts);
        l.sort();
        return l;
    }
    // The archived records of one reader (all readers: "").
    static QList<pelarchive::ArchivedRecord> Archived(const QString& url, const QString& reader) {
        pelarchive::Archive a;
        pelarchive::ArchiveLocation l;
        QString error;
        EXPECT_TRUE(pelarchive::ParseArchiveUrl(url, l, &error)) << error.toStdString();
        EXPECT_TRUE(a.Open(l, &error)) << error.toStdString();
        pelarchive::RecordQuery q;
        q.reader = reader;
        QList<pelarchive::ArchivedRecord> rows;
        EXPECT_TRUE(a.Records(q, rows, &error)) << error.toStdString();
        return rows;
    }

    // 16 readers at once, twice: every punch once, each reader's outcome and line.
    void SixteenReadersEveryPunchOnce(const QString& url) {
        Readers readers;
        ASSERT_TRUE(readers.Start(16, [](int i) { return 60L + 7 * i; }));
        long total = 0;
        for (long n : readers.counts)
            total += n;
        for (int round = 1; round <= 2; ++round) {
            SCOPED_TRACE(round);
            const RoundResult r = Round(readers.entries, url);
            EXPECT_EQ(r.collected, 16);
            EXPECT_EQ(r.failed, 0);
            EXPECT_EQ(r.stopped, 0);
            EXPECT_EQ(r.added, round == 1 ? total : 0);
            EXPECT_EQ(r.already, round == 1 ? 0 : total);
            EXPECT_EQ(r.SummaryLine(16),
                      round == 1 ? QStringLiteral("16 readers: 16 collected, 0 failed; %1 new, 0 "
                                                  "already archived")
                                       .arg(total)
                                 : QStringLiteral("16 readers: 16 collected, 0 failed; 0 new, %1 "
                                                  "already archived")
                                       .arg(total));
            QStringList lines, events;
            for (int i = 0; i < 16; ++i) {
                const QString name = readers.entries[i].name;
                const long n = readers.counts[i];
                const ReaderOutcome* o = Of(r, name);
                ASSERT_NE(o, nullptr) << name.toStdString();
                EXPECT_EQ(o->state, State::Collected);
                EXPECT_EQ(o->code, 0);
                EXPECT_EQ(o->reason, "");
                EXPECT_EQ(o->read, n);
                EXPECT_TRUE(o->filed);
                EXPECT_EQ(o->added, round == 1 ? n : 0);
                EXPECT_EQ(o->already, round == 1 ? 0 : n);
                const QString line = round == 1
                                         ? QStringLiteral("%1 new, 0 already archived").arg(n)
                                         : QStringLiteral("0 new, %1 already archived").arg(n);
                lines << name + ": " + line;
                events << name + " collecting" << name + " collected: " + line;
            }
            lines.sort();
            events.sort();
            EXPECT_EQ(Sorted(out), lines);
            QStringList heard = told;
            heard.sort();
            EXPECT_EQ(heard, events);
        }
        // Every punch once, each under its own reader.
        const QList<pelarchive::ArchivedRecord> all = Archived(url, QString());
        EXPECT_EQ(all.size(), total);
        for (int i = 0; i < 16; ++i) {
            const QList<pelarchive::ArchivedRecord> rows = Archived(url, readers.entries[i].name);
            QSet<QString> punches;
            for (const auto& row : rows)
                punches.insert(row.punchText);
            EXPECT_EQ(rows.size(), readers.counts[i]);
            EXPECT_EQ(punches.size(), readers.counts[i]);
            // Each the reader's own: what its simulator sent, in its order.
            const auto want = readersim::GenerateRecords(size_t(readers.counts[i]), 100 + i);
            ASSERT_EQ(size_t(rows.size()), want.size());
            EXPECT_EQ(rows.first().punchText, want.front().date.toString("yyyy-MM-dd") + ' ' +
                                                  want.front().time.toString("HH:mm:ss"));
            EXPECT_EQ(rows.last().cardId, QString::fromStdString(want.back().card));
        }
    }
};

TEST_F(CollectRound, SixteenReadersAtOnceIntoSqliteEveryPunchOnce) {
    SixteenReadersEveryPunchOnce(dir.filePath("archive.sqlite"));
}

TEST_F(CollectRound, SixteenReadersAtOnceIntoPostgresEveryPunchOnce) {
    lvtest::PgCluster pg;
    if (pg.missing()) {
        std::cerr << "\n*** SKIPPED: no PostgreSQL server to test against: "
                  << pg.Why().toStdString() << " ***\n\n";
        GTEST_SKIP() << pg.Why().toStdString();
    }
    ASSERT_TRUE(pg.ok()) << pg.Why().toStdString();
    ASSERT_TRUE(pg.CreateDatabase("punches"));
    SixteenReadersEveryPunchOnce(pg.Url("punches"));
    EXPECT_EQ(pg.Value("SELECT COUNT(DISTINCT reader_id) FROM records", "punches"), "16");
}

// A wrong Login ID reads "Login ID refused" (code 5); a reader whose pty goes away after 40
// records fails with what it read filed (code 4); a device server no one listens on cannot be
// opened (code 3); a section without a Login ID fails at once (code 2); the others complete.
TEST_F(CollectRound, EachFailureIsItsReaderAloneWithItsCodeAndReason) {
    Readers readers;
    ASSERT_TRUE(readers.Start(4, [](int i) { return 30L + i; }));
    SimReader vanishing({"--records", "100", "--seed", "9", "--drop-after", "40"});
    ASSERT_TRUE(vanishing.ok());
    QList<ReaderEntry> entries = readers.entries;
    entries[1].login = "1111";
    ReaderEntry gone{"Vanishing", vanishing.Link(), {}, "4826", {}};
    ReaderEntry closed{"Closed", "IP:" + lvtest::RandomLoopbackAddress(), {}, "4826", {}};
    ReaderEntry noLogin{"No login",
                        readers.sims[2]->Link() + "-none",
                        {},
                        {},
                        "no Login ID (a Login key or LORVANE_LOGIN)"};
    entries << gone << closed << noLogin;
    const QString url = dir.filePath("archive.sqlite");
    const RoundResult r = Round(entries, url);
    EXPECT_EQ(r.collected, 3);
    EXPECT_EQ(r.failed, 4);
    EXPECT_EQ(r.stopped, 0);
    EXPECT_EQ(r.SummaryLine(int(entries.size())),
              "7 readers: 3 collected, 4 failed; 135 new, 0 already archived");
    struct Want {
        QString reader;
        State state;
        int code;
        QString line;
    };
    const Want wants[] = {
        {"R01", State::Collected, 0, "30 new, 0 already archived"},
        {"R02", State::Failed, 5, "failed: Login ID refused"},
        {"R03", State::Collected, 0, "32 new, 0 already archived"},
        {"R04", State::Collected, 0, "33 new, 0 already archived"},
        {"Vanishing", State::Failed, 4,
         "failed: The reader stopped answering after 40 records. (40 new, 0 already "
         "archived)"},
        {"No login", State::Failed, 2, "failed: no Login ID (a Login key or LORVANE_LOGIN)"},
    };
    for (const Want& w : wants) {
        SCOPED_TRACE(w.reader.toStdString());
        const ReaderOutcome* o = Of(r, w.reader);
        ASSERT_NE(o, nullptr);
        EXPECT_EQ(o->state, w.state);
        EXPECT_EQ(o->code, w.code);
        EXPECT_EQ(o->StatusLine(false), w.line);
        EXPECT_TRUE(out.contains(w.reader + ": " + w.line + "\n")) << out.toStdString();
    }
    const ReaderOutcome* c = Of(r, "Closed");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->state, State::Failed);
    EXPECT_EQ(c->code, 3);
    EXPECT_TRUE(c->reason.contains("Connection refused")) << c->reason.toStdString();
    EXPECT_EQ(Of(r, "Vanishing")->reason, "The reader stopped answering after 40 records.");
    EXPECT_EQ(Archived(url, "Vanishing").size(), 40);
    EXPECT_EQ(Archived(url, "R02").size(), 0);
    EXPECT_EQ(Archived(url, QString()).size(), 135);
}

// A download resumed after its device server dropped the connection and then stopped is
// stopped (128 + the signal) with what it read filed, not the lost link it began as.
TEST_F(CollectRound, AResumedDownloadThatIsThenStoppedIsStopped) {
    SimReader server({"--records", "3000", "--baud", "115200", "--drop-after", "30"},
                     SimReader::Transport::Tcp);
    ASSERT_TRUE(server.ok());
    const QList<ReaderEntry> entries = {{"Gate", "IP:" + server.Address(), {}, "4826", {}}};
    const QString url = dir.filePath("archive.sqlite");
    // The stop comes once the reader has been logged in again (a login sends the ID twice).
    const RoundResult r = Round(entries, url, false, [&] {
        return server.Requests().count("<STX>L4826<CR>") >= 3 ? SIGTERM : 0;
    });
    ASSERT_EQ(r.readers.size(), 1);
    const ReaderOutcome& o = r.readers[0];
    EXPECT_EQ(o.state, State::Stopped);
    EXPECT_EQ(o.code, 128 + SIGTERM);
    EXPECT_GT(o.read, 30);
    EXPECT_LT(o.read, 3000);
    EXPECT_EQ(o.StatusLine(false),
              QStringLiteral("stopped, %1 new, 0 already archived").arg(o.read));
    const QList<pelarchive::ArchivedRecord> rows = Archived(url, "Gate");
    EXPECT_EQ(rows.size(), o.read);
    EXPECT_EQ(SentRecords(server).size(), o.read);
}

// --safe-erase: each reader archived, checked and erased; an empty one has nothing to erase.
TEST_F(CollectRound, SafeEraseErasesEachReaderOnlyAfterItsRecordsAreArchived) {
    SimReader full({"--records", "25", "--seed", "4"});
    SimReader empty({"--records", "0"}, SimReader::Transport::Tcp);
    ASSERT_TRUE(full.ok() && empty.ok());
    const QList<ReaderEntry> entries = {{"Full", full.Link(), {}, "4826", {}},
                                        {"Empty", "IP:" + empty.Address(), {}, "4826", {}}};
    const QString url = dir.filePath("archive.sqlite");
    RoundResult r = Round(entries, url, true);
    EXPECT_EQ(Sorted(out), QStringList({"Empty: 0 new, 0 already archived, nothing to erase",
                                        "Full: 25 new, 0 already archived, erased"}));
    EXPECT_EQ(r.collected, 2);
    EXPECT_TRUE(Of(r, "Full")->erased);
    EXPECT_FALSE(Of(r, "Empty")->erased);
    EXPECT_EQ(Archived(url, "Full").size(), 25);
    // The reader holds nothing now: the next round archives and erases nothing.
    r = Round(entries, url, true);
    EXPECT_EQ(Sorted(out), QStringList({"Empty: 0 new, 0 already archived, nothing to erase",
                                        "Full: 0 new, 0 already archived, nothing to erase"}));
}

// SIGTERM (and Ctrl-C) at several moments of a round of 16 readers: as the first reader is
// spoken to, 0.1 s, 1 s and 2 s later. Each reader stops after its record in flight and files
// what it read; the round ends "16 stopped" with 128 + the signal. The archive then holds, for
// each reader, exactly the records its simulator sent.
TEST(CollectStop, SignalAtAnyMomentStopsEveryReaderWithWhatItReadFiled) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    Readers readers;
    ASSERT_TRUE(readers.Start(16, [](int) { return 2000L; }, {"--baud", "115200"}));
    const QString file = dir.filePath("readers.ini"), archive = dir.filePath("archive.sqlite");
    ASSERT_TRUE(lvtest::writeFile(file, readers.FileText("115200").toUtf8()));
    struct Moment {
        int signal, afterMs;
    };
    for (const Moment m :
         {Moment{SIGTERM, 0}, Moment{SIGTERM, 100}, Moment{SIGINT, 1000}, Moment{SIGTERM, 2000}}) {
        SCOPED_TRACE(testing::Message() << "signal " << m.signal << " at " << m.afterMs << " ms");
        qputenv("LORVANE_LOGIN", "4826");
        qputenv("XDG_CONFIG_HOME", dir.filePath("config").toLocal8Bit());
        const int before = readers.sims[0]->Log().size();
        lvtest::ChildProcess collect(lvtest::binPath("pelmar"),
                                     {"collect", "--readers", file, "--archive", archive});
        qunsetenv("LORVANE_LOGIN");
        ASSERT_TRUE(collect.started());
        ASSERT_TRUE(lvtest::waitFor([&] { return readers.sims[0]->Log().size() > before; }, 30000));
        QThread::msleep(m.afterMs);
        ::kill(collect.pid(), m.signal);
        EXPECT_EQ(collect.wait(60000), 128 + m.signal);
        const QString out = QString::fromUtf8(collect.readStdout());
        EXPECT_TRUE(QRegularExpression("\n16 readers: 0 collected, 0 failed, 16 stopped; \\d+ "
                                       "new, \\d+ already archived\n$")
                        .match(out)
                        .hasMatch())
            << out.toStdString();
        for (const ReaderEntry& e : readers.entries)
            EXPECT_TRUE(QRegularExpression("(^|\n)" + e.name +
                                           ": stopped(, \\d+ new, \\d+ already archived)?\n")
                            .match(out)
                            .hasMatch())
                << e.name.toStdString() << "\n"
                << out.toStdString();
        // What each reader sent is in the archive, once, and nothing else.
        pelarchive::Archive a;
        pelarchive::ArchiveLocation l;
        l.path = archive;
        int readersWithRecords = 0;
        QString error;
        ASSERT_TRUE(a.Open(l, &error)) << error.toStdString();
        for (int i = 0; i < 16; ++i) {
            pelarchive::RecordQuery q;
            q.reader = readers.entries[i].name;
            QList<pelarchive::ArchivedRecord> rows;
            ASSERT_TRUE(a.Records(q, rows, &error));
            QSet<QString> archived;
            for (const auto& row : rows)
                archived.insert(QString(row.punchText).remove(QRegularExpression("[- :]")));
            EXPECT_EQ(rows.size(), archived.size());
            EXPECT_EQ(archived, SentRecords(*readers.sims[size_t(i)]))
                << readers.entries[i].name.toStdString();
            EXPECT_LT(rows.size(), 2000);
            readersWithRecords += rows.isEmpty() ? 0 : 1;
        }
        // A second into the round readers are reading: the stop came in the middle of
        // downloads, not before them (how many had begun depends on the machine's speed).
        if (m.afterMs >= 1000) {
            EXPECT_GT(readersWithRecords, 0);
        }
    }
}

} // namespace
