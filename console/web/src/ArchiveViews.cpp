#include "pelweb/ArchiveViews.h"

#include <pelarchive/ArchiveExport.h>
#include <pelarchive/ExportTarget.h>
#include <pelexport/RecordWriter.h>
#include <pelmar/RecordTableModel.h>
#include <pelmar/SaveOptions.h>

#include <QAtomicInteger>
#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace pelweb {

namespace {

constexpr const char* kTimeFormat = "yyyy-MM-dd HH:mm:ss";

} // namespace

QString ParseDateBound(const QString& text, bool upper) {
    QString t = text.trimmed();
    t.replace(QLatin1Char('T'), QLatin1Char(' '));
    if (t.size() > 19) return {};
    for (const char* f : {"yyyy-MM-dd HH:mm:ss", "yyyy-MM-dd HH:mm"}) {
        const QDateTime d = QDateTime::fromString(t, QLatin1String(f));
        if (d.isValid()) {
            QDateTime u(d.date(), d.time(), Qt::UTC);
            if (upper && t.size() == 16) u = u.addSecs(59);
            return u.toString(QLatin1String(kTimeFormat));
        }
    }
    const QDate day = QDate::fromString(t, QStringLiteral("yyyy-MM-dd"));
    if (!day.isValid() || t.size() != 10) return {};
    return day.toString(QStringLiteral("yyyy-MM-dd")) +
           (upper ? QStringLiteral(" 23:59:59") : QStringLiteral(" 00:00:00"));
}

struct ArchiveViews::Impl {
    QString connection;
    pelarchive::ArchiveLocation location;
    QSqlDatabase Db() const { return QSqlDatabase::database(connection, false); }
    QString Why(const QSqlError& e) const {
        return e.text().trimmed() + QStringLiteral(" (archive ") + location.Display() +
               QLatin1Char(')');
    }
    bool Exec(QSqlQuery& q, QString* error) const {
        if (q.exec()) return true;
        if (error) *error = Why(q.lastError());
        return false;
    }
};

ArchiveViews::ArchiveViews() : d(std::make_unique<Impl>()) {}

ArchiveViews::~ArchiveViews() {
    if (d->connection.isEmpty()) return;
    {
        QSqlDatabase db = d->Db();
        if (db.isOpen()) db.close();
    }
    QSqlDatabase::removeDatabase(d->connection);
}

bool ArchiveViews::Open(const pelarchive::ArchiveLocation& location, QString* error) {
    static QAtomicInteger<quint64> serial;
    d->location = location;
    const bool pg = location.kind == pelarchive::ArchiveLocation::Kind::Postgres;
    // The pages read in the orders of the archive's page indexes (schema 4): nothing is made
    // here, the connection only reads.
    const QString name = QStringLiteral("lorvane-web-%1").arg(serial.fetchAndAddOrdered(1));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(
            pg ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"), name);
        if (pg) {
            db.setHostName(location.host);
            db.setPort(location.port);
            db.setUserName(location.user);
            db.setDatabaseName(location.database);
            db.setConnectOptions(QStringLiteral("connect_timeout=10"));
        } else {
            db.setDatabaseName(location.path);
            db.setConnectOptions(
                QStringLiteral("QSQLITE_BUSY_TIMEOUT=30000;QSQLITE_OPEN_READONLY"));
        }
        bool ok = db.open();
        QString why = ok ? QString() : d->Why(db.lastError());
        if (ok) {
            QSqlQuery q(db);
            ok = q.exec(pg ? QStringLiteral("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY")
                           : QStringLiteral("PRAGMA query_only=ON"));
            if (!ok) why = d->Why(q.lastError());
        }
        if (!ok) {
            if (db.isOpen()) db.close();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(name);
            if (error) *error = QStringLiteral("can't open the archive: ") + why;
            return false;
        }
    }
    d->connection = name;
    return true;
}

bool ArchiveViews::Readers(QList<Reader>& rows, QString* error) {
    rows.clear();
    QSqlQuery q(d->Db());
    q.setForwardOnly(true);
    // The last download of each reader by the highest id (downloads are numbered in order).
    q.prepare(QStringLiteral(
        "SELECT d.reader_key, d.port, d.firmware, d.machine_id, d.last_seen, d.last_drift, "
        "(SELECT COUNT(*) FROM records r WHERE r.reader_id = d.id), "
        "w.ended, w.outcome FROM readers d "
        "LEFT JOIN downloads w ON w.id = (SELECT MAX(x.id) FROM downloads x "
        "WHERE x.reader_id = d.id) ORDER BY d.reader_key"));
    if (!d->Exec(q, error)) return false;
    auto utc = [](const QVariant& v) {
        QDateTime t = QDateTime::fromString(v.toString(), QLatin1String(kTimeFormat));
        if (t.isValid()) t.setTimeSpec(Qt::UTC);
        return t;
    };
    while (q.next()) {
        Reader r;
        r.name = q.value(0).toString();
        r.port = q.value(1).toString();
        r.firmware = q.value(2).toString();
        r.machineId = q.value(3).toString();
        r.lastSeen = utc(q.value(4));
        r.hasDrift = !q.value(5).isNull();
        r.drift = q.value(5).toLongLong();
        r.punches = q.value(6).toLongLong();
        r.lastCollected = utc(q.value(7));
        r.outcome = q.value(8).toString();
        rows.append(r);
    }
    return true;
}

bool ArchiveViews::Punches(const PunchFilter& f, QJsonArray& rows, bool* more, QString* error) {
    rows = QJsonArray();
    *more = false;
    QString sql = QStringLiteral(
        "SELECT r.id, d.reader_key, r.card_id, r.card_type, r.event, r.punch_time, r.weekday, "
        "r.archived_at, r.raw_date FROM records r JOIN readers d ON d.id = r.reader_id WHERE 1 = "
        "1");
    QVariantList binds;
    if (!f.reader.isEmpty()) {
        sql += QStringLiteral(" AND d.reader_key = ?");
        binds << f.reader;
    }
    if (!f.card.isEmpty()) {
        // The archive keeps card IDs in upper case: any case given finds the card.
        sql += QStringLiteral(" AND r.card_id = ?");
        binds << f.card.toUpper();
    }
    if (!f.from.isEmpty()) {
        sql += QStringLiteral(" AND substr(r.punch_time, 1, 10) >= ? AND r.punch_time >= ?");
        binds << f.from.left(10) << f.from;
    }
    if (!f.until.isEmpty()) {
        sql += QStringLiteral(" AND substr(r.punch_time, 1, 10) <= ? AND r.punch_time <= ?");
        binds << f.until.left(10) << f.until;
    }
    sql += QStringLiteral(" ORDER BY substr(r.punch_time, 1, 10) DESC, r.card_id, r.punch_time, "
                          "r.id LIMIT ? OFFSET ?");
    binds << qint64(f.pageSize) + 1 << qint64(f.page - 1) * f.pageSize;
    QSqlQuery q(d->Db());
    q.setForwardOnly(true);
    if (!q.prepare(sql)) {
        if (error) *error = d->Why(q.lastError());
        return false;
    }
    for (const QVariant& v : binds)
        q.addBindValue(v);
    if (!d->Exec(q, error)) return false;
    while (q.next()) {
        if (rows.size() == f.pageSize) {
            *more = true;
            break;
        }
        // A date the reader gave that is no date is shown as the reader's digits, dayless.
        const QString time = q.value(5).isNull() ? q.value(8).toString() : q.value(5).toString();
        const QString day = q.value(5).isNull() ? QString() : time.left(10);
        rows.append(QJsonObject{
            {"id", q.value(0).toLongLong()},
            {"reader", q.value(1).toString()},
            {"card", q.value(2).toString()},
            {"cardType", q.value(3).toString()},
            {"event", q.value(4).toString()},
            {"time", time},
            {"day", day},
            {"weekday", q.value(6).isNull() ? -1 : q.value(6).toInt()},
            {"archived", q.value(7).toString()},
        });
    }
    q.finish();
    return true;
}

bool ArchiveViews::Target(const QString& name, qint64* sent, QString* updated, QString* error) {
    *sent = 0;
    updated->clear();
    QSqlQuery q(d->Db());
    // Every record up to done_through reached the target; those after it are listed one by one.
    q.prepare(QStringLiteral(
        "SELECT t.updated_at, (SELECT COUNT(*) FROM records r WHERE r.id <= t.done_through) + "
        "(SELECT COUNT(*) FROM export_sent s WHERE s.target_id = t.id AND s.record_id > "
        "t.done_through) FROM export_targets t WHERE t.target = ?"));
    q.addBindValue(name);
    if (!d->Exec(q, error)) return false;
    if (q.next()) {
        *updated = q.value(0).toString();
        *sent = q.value(1).toLongLong();
    }
    return true;
}

// The archive's exactly-once export to a named target, into memory: the same targets as
// `pelmar records --since last --target NAME`.
TargetExport ExportNewToTarget(pelarchive::Archive& archive, const QString& target,
                               const QString& format, int waitMs) {
    TargetExport r;
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    pelarchive::ExportRequest request;
    request.target = target;
    request.format = format;
    request.device = &out;
    pelmar::LoadSaveOptions(request.options);
    request.options.SetIsFormatFileExist(QFileInfo::exists(pelmar::FormatFilePath()));
    request.displayMode = pelmar::RecordTableModel().DisplayMode();
    request.waitMs = waitMs;
    const pelarchive::ExportResult e = pelarchive::ExportUnsent(archive, request);
    if (!e.ok) {
        // Nothing of a failed run is handed out: the archive has not noted it as sent.
        r.busy = e.busy;
        r.error = e.error;
        return r;
    }
    r.ok = true;
    r.punches = e.written;
    if (e.written > 0) r.bytes = out.data();
    return r;
}

} // namespace pelweb
