// Times the record archive on SQLite: filing 100,000 records, filing them again (nothing new),
// and the record queries of `pelmar records` on 1,000,000 archived records; prints markdown
// rows "| figure | goal | measured | ratio |".
#include "ArchiveTestRecords.h"
#include "pelarchive/Archive.h"
#include "pelarchive/ExportTarget.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cstdio>
#include <ctime>

using namespace pelarchive;

namespace {

void Row(const char* figure, double goalMs, double ms, const QString& note = {}) {
    std::printf("| %s | ≤ %.0f ms | %.0f ms%s | %.2f |\n", figure, goalMs, ms,
                note.isEmpty() ? "" : qPrintable(" (" + note + ")"), ms / goalMs);
}

// The process's CPU time: on the shared machine the wall time carries the other builds' load.
double CpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

StoreResult Store(Archive& a, const QString& reader, const QStringList& records) {
    ReaderIdentity r;
    r.name = reader;
    DownloadOutcome d;
    d.started = d.ended = QDateTime::currentDateTime();
    d.read = d.reported = records.size();
    d.outcome = QStringLiteral("complete");
    return a.StoreDownload(r, d, records);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    ArchiveLocation where;
    where.path = dir.filePath(QStringLiteral("archive.sqlite"));
    Archive a;
    QString error;
    if (!a.Open(where, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    // "archive_bench filing N": the filing of N records alone (for profiling).
    const bool filingOnly = app.arguments().value(1) == QLatin1String("filing");
    const int n = filingOnly && app.arguments().size() > 2 ? app.arguments()[2].toInt() : 100000;
    const QStringList memory = archivetest::ReaderMemory(n);
    QElapsedTimer t;
    t.start();
    double cpu = CpuMs();
    StoreResult r = Store(a, QStringLiteral("Gate 0"), memory);
    const double first = double(t.nsecsElapsed()) / 1e6;
    if (!r.ok || r.added != n) return 1;
    Row("archive 100,000 records into SQLite (one download, WAL, synchronous=FULL)", 2000, first,
        QStringLiteral("CPU %1 ms").arg(CpuMs() - cpu, 0, 'f', 0));
    t.restart();
    cpu = CpuMs();
    r = Store(a, QStringLiteral("Gate 0"), memory);
    const double again = double(t.nsecsElapsed()) / 1e6;
    if (!r.ok || r.added != 0) return 1;
    Row("archive the same 100,000 again (0 rows added)", 2000, again,
        QStringLiteral("%1 added, CPU %2 ms").arg(r.added).arg(CpuMs() - cpu, 0, 'f', 0));
    if (filingOnly) return 0;

    // 1,000,000 records: ten readers of 100,000 each.
    for (int k = 1; k < 10; ++k)
        if (!Store(a, QStringLiteral("Gate %1").arg(k), memory).ok) return 1;
    QList<ArchivedRecord> rows;
    RecordQuery hour;
    hour.since = QDateTime(QDate(2026, 3, 4), QTime(8, 0, 0));
    hour.until = QDateTime(QDate(2026, 3, 4), QTime(8, 59, 59));
    t.restart();
    if (!a.Records(hour, rows, &error)) return 1;
    Row("records --since DATE --until DATE (one hour, ten readers) on 1,000,000 records", 200,
        double(t.nsecsElapsed()) / 1e6, QStringLiteral("%1 rows").arg(rows.size()));
    // A whole day here is an eighth of the archive: recorded, no goal.
    RecordQuery day;
    day.since = QDateTime(QDate(2026, 3, 4), QTime(0, 0, 0));
    day.until = QDateTime(QDate(2026, 3, 4), QTime(23, 59, 59));
    t.restart();
    if (!a.Records(day, rows, &error)) return 1;
    std::printf("| records --since DATE --until DATE (one day: %lld rows of 1,000,000) | recorded "
                "| %.0f ms | - |\n",
                qint64(rows.size()), double(t.nsecsElapsed()) / 1e6);
    RecordQuery card;
    card.card = QStringLiteral("10000007");
    card.reader = QStringLiteral("Gate 3");
    t.restart();
    if (!a.Records(card, rows, &error)) return 1;
    Row("records --reader NAME --card ID on 1,000,000 records", 200, double(t.nsecsElapsed()) / 1e6,
        QStringLiteral("%1 rows").arg(rows.size()));
    // Every reader, the card in lower case (the search ignores the case).
    card.card = QStringLiteral("10000a7f");
    card.reader.clear();
    t.restart();
    if (!a.Records(card, rows, &error)) return 1;
    Row("records --card ID (lower case, ten readers) on 1,000,000 records", 200,
        double(t.nsecsElapsed()) / 1e6, QStringLiteral("%1 rows").arg(rows.size()));
    // Last: noting a million records as sent churns the file (the queries above run on it as
    // it was filed).
    // A payroll target that received all 1,000,000, then 1,000 new punches.
    {
        Archive::TargetState target;
        bool busy = false;
        RecordQuery all;
        if (!a.Records(all, rows, &error) ||
            !a.TakeTarget(dir.filePath("pay.txt"), 0, &target, &busy, &error))
            return 1;
        QList<qint64> ids;
        ids.reserve(rows.size());
        for (const ArchivedRecord& row : rows)
            ids << row.id;
        if (!a.MarkSent(target, ids, &error)) return 1;
        a.ReleaseTarget();
    }
    const QStringList more = archivetest::ReaderMemory(101000);
    if (Store(a, QStringLiteral("Gate 9"), more).added != 1000) return 1;
    ExportRequest pay;
    pay.file = dir.filePath(QStringLiteral("pay.txt"));
    t.restart();
    const ExportResult sent = ExportUnsent(a, pay);
    if (!sent.ok) {
        std::fprintf(stderr, "%s\n", qPrintable(sent.error));
        return 1;
    }
    Row("records --since last --out FILE (1,000 new of 1,001,000: query, write, note)", 200,
        double(t.nsecsElapsed()) / 1e6, QStringLiteral("%1 rows").arg(sent.written));
    return 0;
}
