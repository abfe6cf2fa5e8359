// Times the record archive: on SQLite filing 100,000 records, filing them again (nothing new),
// and the record queries of `pelmar records` on 1,000,000 archived records; with the argument
// "postgres N" the same filing on a throwaway PostgreSQL server, then N million punches put
// straight into its schema (generate_series) and the queries on them. Prints markdown rows
// "| figure | goal | measured | ratio |".
#include "ArchiveTestRecords.h"
#include "pelarchive/Archive.h"
#include "pelarchive/ExportTarget.h"
#ifdef LORVANE_BENCH_POSTGRES
#include "PgCluster.h"
#endif

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
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

double MsSince(const QElapsedTimer& t) {
    return double(t.nsecsElapsed()) / 1e6;
}

// `records --since last --out FILE` for a target that received every record but the last
// `expect`: query, write, note.
bool SinceLast(Archive& a, const QString& file, const char* figure, long expect) {
    ExportRequest pay;
    pay.target = QStringLiteral("payroll");
    pay.file = file;
    QElapsedTimer t;
    t.start();
    const ExportResult sent = ExportUnsent(a, pay);
    const double ms = MsSince(t);
    if (!sent.ok || sent.written != expect) {
        std::fprintf(stderr, "%s: %s (%ld written)\n", figure, qPrintable(sent.error),
                     sent.written);
        return false;
    }
    Row(figure, 200, ms, QStringLiteral("%1 rows").arg(sent.written));
    return true;
}

#ifdef LORVANE_BENCH_POSTGRES
// One statement on a connection of the benchmark's own; false with the reason on stderr.
bool Sql(QSqlDatabase& db, const QString& sql) {
    QSqlQuery q(db);
    if (q.exec(sql)) return true;
    std::fprintf(stderr, "%s: %s\n", qPrintable(sql.left(120)), qPrintable(q.lastError().text()));
    return false;
}

int Postgres(int millions) {
    lvtest::PgCluster pg;
    if (!pg.ok()) {
        std::printf("| PostgreSQL figures | - | not measured: %s | - |\n", qPrintable(pg.Why()));
        return pg.missing() ? 0 : 1;
    }
    QString error;
    ArchiveLocation where;
    if (!pg.CreateDatabase(QStringLiteral("bench")) ||
        !ParseArchiveUrl(pg.Url(QStringLiteral("bench")), where, &error))
        return 1;
    Archive a;
    if (!a.Open(where, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const QStringList memory = archivetest::ReaderMemory(100000);
    QElapsedTimer t;
    t.start();
    double cpu = CpuMs();
    StoreResult r = Store(a, QStringLiteral("Gate 0"), memory);
    if (!r.ok || r.added != 100000) return 1;
    Row("PostgreSQL: archive 100,000 records (one download; the throwaway server runs with "
        "fsync off)",
        2000, MsSince(t), QStringLiteral("console CPU %1 ms").arg(CpuMs() - cpu, 0, 'f', 0));
    t.restart();
    cpu = CpuMs();
    r = Store(a, QStringLiteral("Gate 0"), memory);
    if (!r.ok || r.added != 0) return 1;
    Row("PostgreSQL: archive the same 100,000 again (0 rows added)", 2000, MsSince(t),
        QStringLiteral("console CPU %1 ms").arg(CpuMs() - cpu, 0, 'f', 0));

    // N million punches of ten readers straight into the schema: the indexes are set aside
    // for the load and made again from their own definitions.
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("gen"));
    db.setHostName(where.host);
    db.setPort(where.port);
    db.setUserName(where.user);
    db.setDatabaseName(where.database);
    if (!db.open()) return 1;
    QElapsedTimer load;
    load.start();
    QStringList indexes;
    {
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("SELECT indexdef FROM pg_indexes i WHERE tablename = 'records' "
                                   "AND NOT EXISTS (SELECT 1 FROM pg_constraint c WHERE "
                                   "c.conname = i.indexname)")))
            return 1;
        while (q.next())
            indexes << q.value(0).toString();
    }
    const qint64 total = qint64(millions) * 1000000;
    if (!Sql(db, "SET maintenance_work_mem = '512MB'") ||
        !Sql(db, "INSERT INTO readers (reader_key, port) SELECT 'Site ' || r, 'generated' FROM "
                 "generate_series(1, 10) r ORDER BY r") ||
        !Sql(db, "INSERT INTO downloads (reader_id, host, records_read, count_reported, "
                 "outcome) SELECT id, 'generated', 0, 0, 'complete' FROM readers WHERE "
                 "reader_key LIKE 'Site %' ORDER BY id"))
        return 1;
    for (const QString& def : std::as_const(indexes)) {
        const QString name = def.section(QLatin1Char(' '), 2, 2) == QLatin1String("INDEX")
                                 ? def.section(QLatin1Char(' '), 3, 3)
                                 : def.section(QLatin1Char(' '), 2, 2);
        if (!Sql(db, QStringLiteral("DROP INDEX ") + name)) return 1;
    }
    // Reader k of ten takes every tenth g; its punches are 7 s apart from 2026-03-02 07:00.
    const QString insert = QStringLiteral(
        "INSERT INTO records (reader_id, card_id, card_type, event, punch_time, raw_date, "
        "weekday, record_text, occurrence, download_id, archived_at) "
        "SELECT (SELECT MIN(id) FROM readers WHERE reader_key LIKE 'Site %') + g % 10, c.card, "
        "'1K', (g % 4)::text, to_char(c.t, 'YYYY-MM-DD HH24:MI:SS'), NULL, "
        "extract(dow FROM c.t)::int, 'A0000,' || chr(1) || extract(dow FROM c.t)::int || '1' || "
        "(g % 4) || c.card || chr(4) || to_char(c.t, 'YYYY/MM/DD HH24:MI:SS'), 1, "
        "(SELECT MIN(id) FROM downloads WHERE host = 'generated') + g % 10, "
        "'2026-12-10 00:00:00' FROM generate_series(%1, %2) g CROSS JOIN LATERAL (SELECT "
        "upper(to_hex(268435456 + g % 5000)) AS card, timestamp '2026-03-02 07:00:00' + "
        "(g / 10) * interval '7 seconds' AS t) c");
    for (qint64 from = 0; from < total; from += 1000000)
        if (!Sql(db, insert.arg(from).arg(qMin(total, from + 1000000) - 1))) return 1;
    const double loaded = MsSince(load);
    for (const QString& def : std::as_const(indexes))
        if (!Sql(db, def)) return 1;
    if (!Sql(db, "ANALYZE")) return 1;
    std::printf("| PostgreSQL: %d,000,000 punches put into the schema (generate_series), then its "
                "%lld indexes made | recorded | %.0f s + %.0f s | - |\n",
                millions, qint64(indexes.size()), loaded / 1e3, (MsSince(load) - loaded) / 1e3);
    // A payroll target that received everything, then 1,000 new punches.
    if (!Sql(db, "INSERT INTO export_targets (target, done_through, updated_at) SELECT "
                 "'payroll', MAX(id), '2026-12-10 00:00:00' FROM records"))
        return 1;
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("gen"));
    if (Store(a, QStringLiteral("Gate 0"), archivetest::ReaderMemory(101000)).added != 1000)
        return 1;
    QTemporaryDir dir;
    const QByteArray figure =
        QStringLiteral("PostgreSQL: records --since last --out FILE (1,000 new of %1,101,000: "
                       "query, write, note)")
            .arg(millions)
            .toUtf8();
    if (!SinceLast(a, dir.filePath(QStringLiteral("pay.txt")), figure.constData(), 1000)) return 1;
    QList<ArchivedRecord> rows;
    RecordQuery card;
    card.card = QStringLiteral("10000a7f");
    t.restart();
    if (!a.Records(card, rows, &error)) return 1;
    const QByteArray cardFigure =
        QStringLiteral("PostgreSQL: records --card ID (lower case) on %1,101,000 records")
            .arg(millions)
            .toUtf8();
    Row(cardFigure.constData(), 200, MsSince(t), QStringLiteral("%1 rows").arg(rows.size()));
    return 0;
}
#endif

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (app.arguments().value(1) == QLatin1String("postgres")) {
#ifdef LORVANE_BENCH_POSTGRES
        return Postgres(qMax(1, app.arguments().value(2, QStringLiteral("10")).toInt()));
#else
        std::printf("| PostgreSQL figures | - | not measured: built without the test support "
                    "| - |\n");
        return 0;
#endif
    }
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
            !a.TakeTarget(QStringLiteral("payroll"), 0, &target, &busy, &error))
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
    if (!SinceLast(a, dir.filePath(QStringLiteral("pay.txt")),
                   "records --since last --out FILE (1,000 new of 1,001,000: query, write, note)",
                   1000))
        return 1;
    // The same archive as version 3 (without the page indexes), brought to 4 by opening it.
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("back"));
        db.setDatabaseName(where.path);
        QSqlQuery q(db);
        if (!db.open() || !q.exec(QStringLiteral("DROP INDEX records_day_card")) ||
            !q.exec(QStringLiteral("DROP INDEX records_reader_day_card")) ||
            !q.exec(QStringLiteral("DROP INDEX records_card_day")) ||
            !q.exec(QStringLiteral("CREATE INDEX records_card ON records (card_id)")) ||
            !q.exec(QStringLiteral("UPDATE schema_version SET version = 3")))
            return 1;
        q.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("back"));
    Archive old;
    t.restart();
    if (!old.Open(where, &error) || old.SchemaVersion() != 4) return 1;
    std::printf("| migration 3 -> 4 (the punches pages' indexes) of 1,001,000 records on SQLite "
                "| recorded | %.1f s | - |\n",
                MsSince(t) / 1e3);
    return 0;
}
