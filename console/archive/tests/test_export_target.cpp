// Exactly-once exports on SQLite: a target is the file's canonical path or a name; filters only
// narrow a run; a punch archived late reaches the next run; two exports to one target never
// both write; a run killed at any moment never leaves a line twice.
#include "ArchiveTestRecords.h"
#include "TestSupport.h"
#include "pelarchive/ExportTarget.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>

using namespace pelarchive;
using archivetest::RecordText;

namespace {

lvtest::IsolatedFolders g_folders("test_export_target", {"LORVANE_LOGIN"});

// Punches of a month: one every 6 hours from the 1st, card IDs counting from `card`.
QStringList Month(int month, int n, int card) {
    QStringList out;
    for (int i = 0; i < n; ++i) {
        const QDateTime t = QDateTime(QDate(2026, month, 1), QTime(6, 0, 0)).addSecs(i * 6 * 3600);
        out << RecordText(t.date().dayOfWeek() % 7, '5', '0',
                          QStringLiteral("%1").arg(card + i, 8, 16, QLatin1Char('0')).toUpper(), t);
    }
    return out;
}

QStringList Lines(const QString& file) {
    QStringList l = QString::fromUtf8(lvtest::readFile(file)).split('\n', Qt::SkipEmptyParts);
    std::sort(l.begin(), l.end());
    return l;
}

struct ExportTargets : ::testing::Test {
    QTemporaryDir dir;
    ArchiveLocation where;
    Archive archive;

    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        where.path = dir.filePath("archive.sqlite");
        QString error;
        ASSERT_TRUE(archive.Open(where, &error)) << error.toStdString();
    }
    void Store(const QStringList& records, const QString& reader = "Gate 1", int dateMode = 255) {
        ReaderIdentity r;
        r.name = reader;
        DownloadOutcome d;
        d.outcome = "complete";
        d.dateMode = dateMode;
        const StoreResult s = archive.StoreDownload(r, d, records);
        ASSERT_TRUE(s.ok) << s.error.toStdString();
    }
    ExportResult Export(const QString& file, const RecordQuery& filter = {},
                        const QString& target = {}) {
        ExportRequest q;
        q.file = file;
        q.filter = filter;
        q.target = target;
        return ExportUnsent(archive, q);
    }
    // Every archived record once: what one export of everything to a fresh file writes.
    QStringList All() {
        const QString file = dir.filePath(QStringLiteral("all-%1.txt").arg(++alls));
        const ExportResult r = Export(file);
        EXPECT_TRUE(r.ok) << r.error.toStdString();
        return Lines(file);
    }
    int alls = 0;
};

TEST_F(ExportTargets, MonthlyRunsWithUntilWriteEachPunchOnce) {
    Store(Month(1, 60, 0x100) + Month(2, 60, 0x200));
    const QString pay = dir.filePath("pay.txt");
    RecordQuery jan;
    jan.until = QDateTime(QDate(2026, 1, 31), QTime(23, 59, 59));
    ExportResult r = Export(pay, jan);
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.written, 60);
    EXPECT_EQ(r.target, pay);
    // A January punch filed late, after the January run.
    Store(Month(1, 61, 0x100));
    RecordQuery feb;
    feb.until = QDateTime(QDate(2026, 2, 28), QTime(23, 59, 59));
    r = Export(pay, feb);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.written, 61); // February and the late January punch
    r = Export(pay, feb);
    EXPECT_EQ(r.written, 0);
    EXPECT_EQ(Lines(pay), All());
    EXPECT_EQ(Lines(pay).size(), 121);
}

TEST_F(ExportTargets, ReaderAndCardOnlyNarrowARun) {
    Store(Month(3, 10, 0x300), "Gate 1");
    Store(Month(3, 5, 0x400), "Gate 2");
    const QString pay = dir.filePath("pay.txt");
    RecordQuery gate2;
    gate2.reader = "Gate 2";
    EXPECT_EQ(Export(pay, gate2).written, 5);
    RecordQuery card;
    card.card = "00000302"; // any letter case: the card of Gate 1's third punch
    EXPECT_EQ(Export(pay, card).written, 1);
    EXPECT_EQ(Export(pay).written, 9); // the rest of Gate 1
    EXPECT_EQ(Lines(pay), All());
}

TEST_F(ExportTargets, OneFileIsOneTargetHoweverItIsNamed) {
    Store(Month(3, 10, 0x300));
    ASSERT_TRUE(QDir(dir.path()).mkdir("real"));
    ASSERT_TRUE(QFile::link(dir.filePath("real"), dir.filePath("linkdir")));
    const QString real = dir.filePath("real/rel.txt");
    EXPECT_EQ(Export(dir.filePath("linkdir/rel.txt")).written, 10);
    const QString old = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.filePath("real")));
    const ExportResult r = Export("./../real/rel.txt");
    QDir::setCurrent(old);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.written, 0);
    EXPECT_EQ(r.target, QFileInfo(real).canonicalFilePath());
    EXPECT_EQ(Lines(real).size(), 10);
    // A named target is another target for the same file.
    EXPECT_EQ(Export(real, {}, "payroll").written, 10);
}

TEST_F(ExportTargets, ADeviceTargetGetsTheWritersBytes) {
    Store(Month(3, 3, 0x300));
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    ExportRequest q;
    q.target = "web payroll";
    q.format = "csv";
    q.device = &out;
    ExportResult r = ExportUnsent(archive, q);
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.written, 3);
    // The bytes the csv writer gives for a file.
    const QString file = dir.filePath("same.csv");
    ASSERT_TRUE(Export(file).ok);
    EXPECT_EQ(out.data(), lvtest::readFile(file));
    r = ExportUnsent(archive, q);
    EXPECT_EQ(r.written, 0);
    q.device = nullptr;
    r = ExportUnsent(archive, q);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "an export needs a file or an output device");
    q.device = &out;
    q.format = "pdf";
    EXPECT_EQ(ExportUnsent(archive, q).error,
              "unknown export format \"pdf\" (txt, csv, iso, xlsx or list)");
}

TEST_F(ExportTargets, AFolderThatIsNotThereGivesTheSystemsReason) {
    const ExportResult r = Export("/nonexistent/dir/z.txt");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "can't write /nonexistent/dir/z.txt: No such file or directory");
}

TEST_F(ExportTargets, ABusyTargetFailsHavingWrittenNothing) {
    Store(Month(3, 4, 0x300));
    const QString pay = dir.filePath("pay.txt");
    Archive other;
    QString error;
    ASSERT_TRUE(other.Open(where, &error));
    Archive::TargetState held;
    bool busy = false;
    ASSERT_TRUE(other.TakeTarget(QFileInfo(dir.path()).canonicalFilePath() + "/pay.txt", 0, &held,
                                 &busy, &error))
        << error.toStdString();
    ExportRequest q;
    q.file = pay;
    q.waitMs = 200;
    ExportResult r = ExportUnsent(archive, q);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.busy);
    EXPECT_EQ(r.error.toStdString(), "another export to " + r.target.toStdString() +
                                         " is running; nothing was written (archive " +
                                         where.path.toStdString() + ")");
    EXPECT_FALSE(QFileInfo::exists(pay));
    other.ReleaseTarget();
    EXPECT_EQ(ExportUnsent(archive, q).written, 4);
}

// What a run that died between writing and noting left behind is cut off by the next run: the
// length before for an appended file, the copy before for a file rewritten whole.
TEST_F(ExportTargets, TheNextRunUndoesAnUnfinishedOne) {
    Store(Month(3, 4, 0x300));
    const QString pay = dir.filePath("pay.txt");
    ASSERT_TRUE(lvtest::writeFile(pay, "earlier\n"));
    const QString target = QFileInfo(pay).canonicalFilePath();
    {
        Archive::TargetState t;
        bool busy = false;
        QString error;
        ASSERT_TRUE(archive.TakeTarget(target, 0, &t, &busy, &error));
        ASSERT_TRUE(archive.SetPending(t, target, 8, {}, &error));
        archive.ReleaseTarget();
    }
    ASSERT_TRUE(lvtest::writeFile(pay, "earlier\nhalf a line of a dead run"));
    EXPECT_EQ(Export(pay).written, 4);
    const QStringList lines = QString::fromUtf8(lvtest::readFile(pay)).split('\n');
    EXPECT_EQ(lines[0], "earlier");
    EXPECT_EQ(lines.size(), 6); // earlier, 4 records, the end
    // A workbook (rewritten whole) comes back from its copy.
    const QString book = dir.filePath("pay.iso");
    ASSERT_TRUE(lvtest::writeFile(book, "before"));
    ASSERT_TRUE(lvtest::writeFile(book + ".keep", "before"));
    {
        Archive::TargetState t;
        bool busy = false;
        QString error;
        ASSERT_TRUE(archive.TakeTarget("iso target", 0, &t, &busy, &error));
        ASSERT_TRUE(archive.SetPending(t, book, 6, book + ".keep", &error));
        archive.ReleaseTarget();
    }
    ASSERT_TRUE(lvtest::writeFile(book, "rewritten by a dead run"));
    ExportRequest q;
    q.target = "iso target";
    q.file = book;
    const ExportResult r = ExportUnsent(archive, q);
    EXPECT_FALSE(r.ok); // "before" is no track file: refused, and the file is as it was
    EXPECT_EQ(lvtest::readFile(book), "before");
    EXPECT_FALSE(QFileInfo::exists(book + ".keep"));
}

// Two exporters to one file, round after round while punches arrive: every punch once.
TEST_F(ExportTargets, RacingExportsWriteEachPunchOnce) {
    const QString pay = dir.filePath("pay.txt");
    for (int round = 0; round < 12; ++round) {
        Store(Month(3, 20 * (round + 1), 0x300));
        QProcess a, b;
        const QStringList args{where.path, pay, round % 3 == 2 ? "0" : "20000"};
        a.start(lvtest::binPath("export_runner"), args);
        b.start(lvtest::binPath("export_runner"), args);
        ASSERT_TRUE(a.waitForFinished(60000));
        ASSERT_TRUE(b.waitForFinished(60000));
        // With no waiting the loser says so (exit 3) and has written nothing.
        for (QProcess* p : {&a, &b})
            ASSERT_TRUE(p->exitCode() == 0 || (p->exitCode() == 3 && args[2] == "0"))
                << p->readAllStandardError().toStdString();
        ASSERT_EQ(Lines(pay).size(), 20 * (round + 1)) << "round " << round;
    }
    EXPECT_EQ(Lines(pay), All());
}

// kill -9 of an exporter at many moments: the file never holds a punch twice, and the next
// whole run leaves it holding each punch once.
TEST_F(ExportTargets, AKilledExportNeverRepeatsALine) {
    const QString pay = dir.filePath("pay.txt");
    for (int round = 0; round < 16; ++round) {
        Store(Month(3, 400 * (round + 1), 0x1000));
        lvtest::ChildProcess runner(lvtest::binPath("export_runner"), {where.path, pay, "20000"});
        ASSERT_TRUE(runner.started());
        ::usleep(useconds_t(round * 9000));
        ::kill(runner.pid(), SIGKILL);
        runner.wait(10000);
        const QStringList lines = Lines(pay);
        EXPECT_EQ(std::adjacent_find(lines.begin(), lines.end()), lines.end()) << round;
    }
    QProcess last;
    last.start(lvtest::binPath("export_runner"), {where.path, pay, "20000"});
    ASSERT_TRUE(last.waitForFinished(60000));
    ASSERT_EQ(last.exitCode(), 0) << last.readAllStandardError().toStdString();
    EXPECT_EQ(Lines(pay), All());
    EXPECT_EQ(Lines(pay).size(), 6400);
}

} // namespace
