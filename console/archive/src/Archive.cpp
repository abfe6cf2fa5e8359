#include "pelarchive/Archive.h"

#include "pelmar/RecordDecode.h"
#include "pelmar/RecordTableModel.h"

#include <QAtomicInteger>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSysInfo>
#include <QVariant>

namespace pelarchive {

namespace {

constexpr const char* kTimeFormat = "yyyy-MM-dd HH:mm:ss";
// The advisory lock every PostgreSQL store takes, so that stores commit one after another.
constexpr qint64 kStoreLock = 0x4c6f7276616e65; // "Lorvane"

QString TimeText(const QDateTime& t) {
    return t.isValid() ? t.toString(QLatin1String(kTimeFormat)) : QString();
}
QDateTime TimeFrom(const QVariant& v, Qt::TimeSpec spec) {
    QDateTime t = QDateTime::fromString(v.toString(), QLatin1String(kTimeFormat));
    if (t.isValid()) t.setTimeSpec(spec);
    return t;
}
QString NowUtc() {
    return TimeText(QDateTime::currentDateTimeUtc());
}

// One migration: the statements that take the schema from version `to - 1` to `to`. The
// token %ID% stands for the dialect's auto-numbered key column.
struct Migration {
    int to;
    QStringList statements;
};

const QList<Migration>& Migrations() {
    static const QList<Migration> list = {
        {1,
         {
             "CREATE TABLE readers (id %ID%, reader_key TEXT NOT NULL UNIQUE, port TEXT, "
             "machine_id TEXT, firmware TEXT, user_name TEXT, last_seen TEXT, last_drift BIGINT)",
             "CREATE TABLE downloads (id %ID%, reader_id BIGINT NOT NULL REFERENCES readers(id), "
             "host TEXT NOT NULL, started TEXT, ended TEXT, records_read BIGINT NOT NULL, "
             "count_reported BIGINT NOT NULL, outcome TEXT NOT NULL)",
             "CREATE TABLE records (id %ID%, reader_id BIGINT NOT NULL REFERENCES readers(id), "
             "card_id TEXT, card_type TEXT, event TEXT, punch_time TEXT, weekday INTEGER, "
             "record_text TEXT NOT NULL, occurrence INTEGER NOT NULL, "
             "download_id BIGINT NOT NULL REFERENCES downloads(id), archived_at TEXT NOT NULL, "
             "CONSTRAINT records_once UNIQUE (reader_id, record_text, occurrence))",
             "CREATE INDEX records_punch ON records (punch_time)",
             "CREATE INDEX records_card ON records (card_id)",
         }},
        {2,
         {
             "CREATE TABLE export_marks (target TEXT PRIMARY KEY, last_record_id BIGINT NOT "
             "NULL, moved_at TEXT NOT NULL)",
         }},
    };
    return list;
}

} // namespace

QString ReaderIdentity::Key() const {
    if (!name.trimmed().isEmpty()) return name.trimmed();
    return port + QLatin1Char('#') + machineId;
}

RecordParts SplitRecord(const QString& text) {
    RecordParts p;
    const pelmar::RecordFields f = pelmar::SplitRecordFields(text);
    const QString& body = f.body;
    if (!body.isEmpty() && body[0] >= u'0' && body[0] <= u'6') p.weekday = body[0].unicode() - u'0';
    if (body.size() >= 2) p.cardType = pelmar::CardTypeText(body[1]);
    if (body.size() >= 3) p.event = QString(body[2]);
    p.cardId = body.mid(3);
    // "yyyy/MM/dd HH:mm:ss", checked digit by digit (no time-zone look-ups).
    const QString dt = f.dateTime.trimmed();
    static const char shape[] = "dddd/dd/dd dd:dd:dd";
    if (dt.size() != 19) return p;
    for (int i = 0; i < 19; ++i) {
        const QChar c = dt[i];
        if (shape[i] == 'd' ? !c.isDigit() : c != QLatin1Char(shape[i])) return p;
    }
    auto num = [&](int at, int len) { return QStringView(dt).mid(at, len).toInt(); };
    if (!QDate(num(0, 4), num(5, 2), num(8, 2)).isValid() ||
        !QTime(num(11, 2), num(14, 2), num(17, 2)).isValid())
        return p;
    p.punchText = dt;
    p.punchText[4] = p.punchText[7] = QLatin1Char('-');
    return p;
}

QDateTime ArchivedRecord::Punch() const {
    return TimeFrom(punchText, Qt::LocalTime);
}
QDateTime ArchivedRecord::Archived() const {
    return TimeFrom(archivedText, Qt::UTC);
}

struct Archive::Impl {
    ArchiveLocation location;
    QString connection;
    int version = 0;

    QSqlDatabase Db() const { return QSqlDatabase::database(connection, false); }
    bool Postgres() const { return location.kind == ArchiveLocation::Kind::Postgres; }

    QString Why(const QSqlError& e) const {
        QString t = e.text().trimmed();
        if (t.isEmpty()) t = QStringLiteral("unknown database error");
        return t + QStringLiteral(" (archive ") + location.Display() + QLatin1Char(')');
    }
    bool Exec(QSqlQuery& q, const QString& sql, QString* error) const {
        if (q.exec(sql)) return true;
        if (error) *error = Why(q.lastError());
        return false;
    }
    bool Exec(QSqlQuery& q, QString* error) const {
        if (q.exec()) return true;
        if (error) *error = Why(q.lastError());
        return false;
    }
    bool Begin(QString* error) const {
        QSqlQuery q(Db());
        if (Postgres())
            return Exec(q, QStringLiteral("BEGIN"), error) &&
                   Exec(q, QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(kStoreLock),
                        error);
        // Take the write lock at once: a second writer waits (busy time-out) instead of
        // failing when it would upgrade a read lock.
        return Exec(q, QStringLiteral("BEGIN IMMEDIATE"), error);
    }
    bool Commit(QString* error) const {
        QSqlQuery q(Db());
        return Exec(q, QStringLiteral("COMMIT"), error);
    }
    void Rollback() const {
        QSqlQuery q(Db());
        q.exec(QStringLiteral("ROLLBACK"));
    }
    bool Migrate(QString* error);
    // The reader's id, created or updated within the running transaction.
    bool UpsertReader(const ReaderIdentity& r, qint64* id, QString* error);
};

bool Archive::Impl::Migrate(QString* error) {
    QSqlQuery q(Db());
    // Under the store lock, so that two programs opening a new archive at once do not both
    // create it.
    if (!Begin(error)) return false;
    auto fail = [&] {
        Rollback();
        return false;
    };
    if (!Exec(
            q,
            QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)"),
            error) ||
        !Exec(q, QStringLiteral("SELECT version FROM schema_version"), error))
        return fail();
    const bool hasRow = q.next();
    version = hasRow ? q.value(0).toInt() : 0;
    q.finish();
    if (version > kSchemaVersion) {
        if (error)
            *error = QStringLiteral("the archive %1 has schema version %2; this program knows "
                                    "up to %3 (update the program)")
                         .arg(location.Display())
                         .arg(version)
                         .arg(kSchemaVersion);
        return fail();
    }
    const QString idColumn = Postgres() ? QStringLiteral("BIGSERIAL PRIMARY KEY")
                                        : QStringLiteral("INTEGER PRIMARY KEY AUTOINCREMENT");
    for (const Migration& m : Migrations()) {
        if (m.to <= version) continue;
        for (QString sql : m.statements) {
            sql.replace(QLatin1String("%ID%"), idColumn);
            if (!Exec(q, sql, error)) return fail();
        }
    }
    if (version < kSchemaVersion) {
        const QString sql =
            hasRow ? QStringLiteral("UPDATE schema_version SET version = %1")
                   : QStringLiteral("INSERT INTO schema_version (version) VALUES (%1)");
        if (!Exec(q, sql.arg(kSchemaVersion), error)) return fail();
    }
    if (!Commit(error)) return fail();
    version = kSchemaVersion;
    return true;
}

bool Archive::Impl::UpsertReader(const ReaderIdentity& r, qint64* id, QString* error) {
    QSqlQuery q(Db());
    q.prepare(QStringLiteral("INSERT INTO readers (reader_key, port, machine_id, firmware, "
                             "user_name, last_seen) VALUES (?, ?, ?, ?, ?, ?) "
                             "ON CONFLICT (reader_key) DO UPDATE SET port = excluded.port, "
                             "machine_id = excluded.machine_id, firmware = excluded.firmware, "
                             "user_name = excluded.user_name, last_seen = excluded.last_seen"));
    q.addBindValue(r.Key());
    q.addBindValue(r.port);
    q.addBindValue(r.machineId);
    q.addBindValue(r.firmware);
    q.addBindValue(r.userName);
    q.addBindValue(NowUtc());
    if (!Exec(q, error)) return false;
    q.prepare(QStringLiteral("SELECT id FROM readers WHERE reader_key = ?"));
    q.addBindValue(r.Key());
    if (!Exec(q, error)) return false;
    if (!q.next()) {
        if (error)
            *error = QStringLiteral("the reader row vanished (archive %1)").arg(location.Display());
        return false;
    }
    *id = q.value(0).toLongLong();
    return true;
}

Archive::Archive() : d(std::make_unique<Impl>()) {}

Archive::~Archive() {
    if (!d->connection.isEmpty()) {
        {
            QSqlDatabase db = d->Db();
            if (db.isOpen()) db.close();
        }
        QSqlDatabase::removeDatabase(d->connection);
    }
}

bool Archive::IsOpen() const {
    return !d->connection.isEmpty() && d->Db().isOpen();
}
int Archive::SchemaVersion() const {
    return d->version;
}
const ArchiveLocation& Archive::Location() const {
    return d->location;
}

bool Archive::Open(const ArchiveLocation& location, QString* error) {
    static QAtomicInteger<quint64> serial;
    d->location = location;
    d->connection = QStringLiteral("lorvane-archive-%1").arg(serial.fetchAndAddOrdered(1));
    const bool pg = location.kind == ArchiveLocation::Kind::Postgres;
    const QString driver = pg ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE");
    QSqlDatabase db = QSqlDatabase::addDatabase(driver, d->connection);
    if (!db.isValid()) {
        if (error)
            *error = QStringLiteral("the Qt %1 driver is missing (install %2)")
                         .arg(pg ? "PostgreSQL" : "SQLite",
                              pg ? "libqt6sql6-psql" : "libqt6sql6-sqlite");
        return false;
    }
    if (pg) {
        db.setHostName(location.host);
        db.setPort(location.port);
        db.setUserName(location.user);
        db.setDatabaseName(location.database);
        // No password here: libpq reads PGPASSWORD or ~/.pgpass itself.
        db.setConnectOptions(QStringLiteral("connect_timeout=10"));
    } else {
        const QFileInfo file(location.path);
        if (!QDir().mkpath(file.absolutePath())) {
            if (error)
                *error =
                    QStringLiteral("can't make the archive folder %1").arg(file.absolutePath());
            return false;
        }
        db.setDatabaseName(location.path);
        // Another program storing at the same moment makes this one wait, not fail.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=30000"));
    }
    if (!db.open()) {
        if (error) *error = QStringLiteral("can't open the archive: ") + d->Why(db.lastError());
        return false;
    }
    if (pg) {
        QSqlQuery q(db);
        // "already exists, skipping" and the like are no news for the user.
        if (!d->Exec(q, QStringLiteral("SET client_min_messages TO warning"), error)) {
            if (error) *error = QStringLiteral("can't open the archive: ") + *error;
            db.close();
            return false;
        }
    } else {
        QSqlQuery q(db);
        // Write-ahead log, and every commit on the disk before it counts.
        if (!d->Exec(q, QStringLiteral("PRAGMA journal_mode=WAL"), error) ||
            !d->Exec(q, QStringLiteral("PRAGMA synchronous=FULL"), error) ||
            // A download of a whole reader memory fits the page cache (64 MiB at most).
            !d->Exec(q, QStringLiteral("PRAGMA cache_size=-65536"), error) ||
            !d->Exec(q, QStringLiteral("PRAGMA foreign_keys=ON"), error)) {
            if (error) *error = QStringLiteral("can't open the archive: ") + *error;
            db.close();
            return false;
        }
    }
    if (!d->Migrate(error)) {
        db.close();
        return false;
    }
    return true;
}

StoreResult Archive::StoreDownload(const ReaderIdentity& reader, const DownloadOutcome& download,
                                   const QStringList& records) {
    StoreResult r;
    if (!IsOpen()) {
        r.error = QStringLiteral("the archive is not open");
        return r;
    }
    if (!d->Begin(&r.error)) return r;
    auto fail = [&] {
        d->Rollback();
        r.ok = false;
        r.added = r.already = 0;
        return r;
    };
    qint64 readerId = 0;
    if (!d->UpsertReader(reader, &readerId, &r.error)) return fail();
    QSqlDatabase db = d->Db();
    QSqlQuery q(db);
    const QString insertDownload =
        QStringLiteral("INSERT INTO downloads (reader_id, host, started, ended, records_read, "
                       "count_reported, outcome) VALUES (?, ?, ?, ?, ?, ?, ?)") +
        (d->Postgres() ? QStringLiteral(" RETURNING id") : QString());
    q.prepare(insertDownload);
    q.addBindValue(readerId);
    q.addBindValue(QSysInfo::machineHostName());
    q.addBindValue(TimeText(download.started.toUTC()));
    q.addBindValue(TimeText(download.ended.toUTC()));
    q.addBindValue(qint64(download.read));
    q.addBindValue(qint64(download.reported));
    q.addBindValue(download.outcome);
    if (!d->Exec(q, &r.error)) return fail();
    if (d->Postgres()) {
        if (!q.next()) {
            r.error = d->Why(q.lastError());
            return fail();
        }
        r.downloadId = q.value(0).toLongLong();
    } else {
        r.downloadId = q.lastInsertId().toLongLong();
    }
    q.finish();

    QSqlQuery ins(db);
    ins.prepare(QStringLiteral(
        "INSERT INTO records (reader_id, card_id, card_type, event, punch_time, weekday, "
        "record_text, occurrence, download_id, archived_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
        "ON CONFLICT (reader_id, record_text, occurrence) DO NOTHING"));
    const QString now = NowUtc();
    QHash<QString, int> seen;
    seen.reserve(records.size());
    for (const QString& text : records) {
        const int occurrence = ++seen[text];
        const RecordParts p = SplitRecord(text);
        ins.bindValue(0, readerId);
        ins.bindValue(1, p.cardId);
        ins.bindValue(2, p.cardType);
        ins.bindValue(3, p.event);
        ins.bindValue(4, p.punchText);
        ins.bindValue(5, p.weekday);
        ins.bindValue(6, text);
        ins.bindValue(7, occurrence);
        ins.bindValue(8, r.downloadId);
        ins.bindValue(9, now);
        if (!d->Exec(ins, &r.error)) return fail();
        if (ins.numRowsAffected() > 0)
            ++r.added;
        else
            ++r.already;
    }
    ins.finish();
    if (!d->Commit(&r.error)) return fail();
    r.ok = true;
    return r;
}

bool Archive::CountHeld(const QString& readerKey, const QStringList& records, long* held,
                        QString* error) {
    *held = 0;
    QSqlQuery q(d->Db());
    q.prepare(QStringLiteral("SELECT COUNT(*) FROM records r JOIN readers d ON d.id = r.reader_id "
                             "WHERE d.reader_key = ? AND r.record_text = ? AND r.occurrence = ?"));
    QHash<QString, int> seen;
    for (const QString& text : records) {
        q.bindValue(0, readerKey);
        q.bindValue(1, text);
        q.bindValue(2, ++seen[text]);
        if (!d->Exec(q, error)) return false;
        if (q.next() && q.value(0).toLongLong() == 1) ++*held;
        q.finish();
    }
    return true;
}

bool Archive::SetDrift(const ReaderIdentity& reader, qint64 driftSeconds, QString* error) {
    if (!d->Begin(error)) return false;
    qint64 id = 0;
    QSqlQuery q(d->Db());
    if (!d->UpsertReader(reader, &id, error)) {
        d->Rollback();
        return false;
    }
    q.prepare(QStringLiteral("UPDATE readers SET last_drift = ? WHERE id = ?"));
    q.addBindValue(driftSeconds);
    q.addBindValue(id);
    if (!d->Exec(q, error) || !d->Commit(error)) {
        d->Rollback();
        return false;
    }
    return true;
}

bool Archive::Records(const RecordQuery& query, QList<ArchivedRecord>& rows, QString* error) {
    rows.clear();
    QString sql = QStringLiteral(
        "SELECT r.id, d.reader_key, r.record_text, r.occurrence, r.card_id, r.card_type, "
        "r.event, r.weekday, r.punch_time, r.archived_at FROM records r "
        "JOIN readers d ON d.id = r.reader_id WHERE 1 = 1");
    QVariantList binds;
    // Only when asked: a bound on the id would lead the planner past the other indexes.
    if (query.afterId > 0) {
        sql += QStringLiteral(" AND r.id > ?");
        binds << query.afterId;
    }
    if (!query.reader.isEmpty()) {
        sql += QStringLiteral(" AND d.reader_key = ?");
        binds << query.reader;
    }
    if (!query.card.isEmpty()) {
        sql += QStringLiteral(" AND r.card_id = ?");
        binds << query.card;
    }
    if (query.since.isValid()) {
        sql += QStringLiteral(" AND r.punch_time >= ?");
        binds << TimeText(query.since);
    }
    if (query.until.isValid()) {
        sql += QStringLiteral(" AND r.punch_time <= ?");
        binds << TimeText(query.until);
    }
    sql += QStringLiteral(" ORDER BY r.id");
    if (query.limit > 0) sql += QStringLiteral(" LIMIT %1").arg(query.limit);
    QSqlQuery q(d->Db());
    q.setForwardOnly(true);
    q.prepare(sql);
    for (const QVariant& v : binds)
        q.addBindValue(v);
    if (!d->Exec(q, error)) return false;
    while (q.next()) {
        ArchivedRecord a;
        a.id = q.value(0).toLongLong();
        a.reader = q.value(1).toString();
        a.text = q.value(2).toString();
        a.occurrence = q.value(3).toInt();
        a.cardId = q.value(4).toString();
        a.cardType = q.value(5).toString();
        a.event = q.value(6).toString();
        a.weekday = q.value(7).isNull() ? -1 : q.value(7).toInt();
        a.punchText = q.value(8).toString();
        a.archivedText = q.value(9).toString();
        rows.append(a);
    }
    return true;
}

bool Archive::Readers(QList<ReaderRow>& rows, QString* error) {
    rows.clear();
    QSqlQuery q(d->Db());
    if (!d->Exec(q,
                 QStringLiteral("SELECT reader_key, port, machine_id, firmware, user_name, "
                                "last_seen, last_drift FROM readers ORDER BY reader_key"),
                 error))
        return false;
    while (q.next()) {
        ReaderRow r;
        r.key = q.value(0).toString();
        r.port = q.value(1).toString();
        r.machineId = q.value(2).toString();
        r.firmware = q.value(3).toString();
        r.userName = q.value(4).toString();
        r.lastSeen = TimeFrom(q.value(5), Qt::UTC);
        r.hasDrift = !q.value(6).isNull();
        r.drift = q.value(6).toLongLong();
        rows.append(r);
    }
    return true;
}

bool Archive::Mark(const QString& target, qint64* lastId, QString* error) {
    *lastId = 0;
    QSqlQuery q(d->Db());
    q.prepare(QStringLiteral("SELECT last_record_id FROM export_marks WHERE target = ?"));
    q.addBindValue(target);
    if (!d->Exec(q, error)) return false;
    if (q.next()) *lastId = q.value(0).toLongLong();
    return true;
}

bool Archive::MoveMark(const QString& target, qint64 from, qint64 to, QString* error) {
    QSqlQuery q(d->Db());
    if (from == 0) {
        q.prepare(QStringLiteral("INSERT INTO export_marks (target, last_record_id, moved_at) "
                                 "VALUES (?, ?, ?) ON CONFLICT (target) DO UPDATE SET "
                                 "last_record_id = excluded.last_record_id, moved_at = "
                                 "excluded.moved_at WHERE export_marks.last_record_id = 0"));
        q.addBindValue(target);
        q.addBindValue(to);
        q.addBindValue(NowUtc());
    } else {
        q.prepare(QStringLiteral("UPDATE export_marks SET last_record_id = ?, moved_at = ? "
                                 "WHERE target = ? AND last_record_id = ?"));
        q.addBindValue(to);
        q.addBindValue(NowUtc());
        q.addBindValue(target);
        q.addBindValue(from);
    }
    if (!d->Exec(q, error)) return false;
    if (q.numRowsAffected() != 1) {
        if (error)
            *error = QStringLiteral("another export to %1 ran at the same time; its mark stays "
                                    "(archive %2)")
                         .arg(target, d->location.Display());
        return false;
    }
    return true;
}

bool Archive::LimitPagesForTest(int pages, QString* error) {
    if (d->Postgres()) {
        if (error) *error = QStringLiteral("page limits are SQLite's");
        return false;
    }
    QSqlQuery q(d->Db());
    return d->Exec(q, QStringLiteral("PRAGMA max_page_count=%1").arg(pages), error);
}

} // namespace pelarchive
