#include "pelweb/ArchiveViews.h"

#include <pelarchive/ArchiveExport.h>
#include <pelexport/RecordWriter.h>
#include <pelmar/RecordTableModel.h>
#include <pelmar/SaveOptions.h>

#include <QAtomicInteger>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>

namespace pelweb {

namespace {

constexpr const char* kTimeFormat = "yyyy-MM-dd HH:mm:ss";

// The punches page's order (day, card, time) straight from an index instead of a sort of the
// whole archive. Made once when serve first opens an archive without it.
const char* kDayCardIndex = "CREATE INDEX IF NOT EXISTS records_day_card ON records "
                            "((substr(punch_time, 1, 10)) DESC, card_id, punch_time, id)";

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
    // The index first, on a connection that may write; then the pages' own read-only one.
    for (const bool readOnly : {false, true}) {
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
                db.setConnectOptions(readOnly ? QStringLiteral("QSQLITE_BUSY_TIMEOUT=30000;"
                                                               "QSQLITE_OPEN_READONLY")
                                              : QStringLiteral("QSQLITE_BUSY_TIMEOUT=30000"));
            }
            bool ok = db.open();
            QString why = ok ? QString() : d->Why(db.lastError());
            if (ok) {
                QSqlQuery q(db);
                const QString sql =
                    readOnly ? (pg ? QStringLiteral("SET SESSION CHARACTERISTICS AS TRANSACTION "
                                                    "READ ONLY")
                                   : QStringLiteral("PRAGMA query_only=ON"))
                             : QString::fromLatin1(kDayCardIndex);
                ok = q.exec(sql);
                if (!ok) why = d->Why(q.lastError());
            }
            if (!readOnly) db.close();
            if (!ok) {
                if (db.isOpen()) db.close();
                db = QSqlDatabase();
                QSqlDatabase::removeDatabase(name);
                if (error) *error = QStringLiteral("can't open the archive: ") + why;
                return false;
            }
        }
        if (readOnly)
            d->connection = name;
        else
            QSqlDatabase::removeDatabase(name);
    }
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
        "r.archived_at FROM records r JOIN readers d ON d.id = r.reader_id WHERE 1 = 1");
    QVariantList binds;
    if (!f.reader.isEmpty()) {
        sql += QStringLiteral(" AND d.reader_key = ?");
        binds << f.reader;
    }
    if (!f.card.isEmpty()) {
        // Card IDs are read as digits and hexadecimal letters: the upper- and lower-case
        // spellings (and the one given) find the card through its index whatever its case.
        sql += QStringLiteral(" AND r.card_id IN (?, ?, ?)");
        binds << f.card.toUpper() << f.card.toLower() << f.card;
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
        const QString time = q.value(5).toString();
        rows.append(QJsonObject{
            {"id", q.value(0).toLongLong()},
            {"reader", q.value(1).toString()},
            {"card", q.value(2).toString()},
            {"cardType", q.value(3).toString()},
            {"event", q.value(4).toString()},
            {"time", time},
            {"day", time.left(10)},
            {"weekday", q.value(6).isNull() ? -1 : q.value(6).toInt()},
            {"archived", q.value(7).toString()},
        });
    }
    q.finish();
    return true;
}

bool ArchiveViews::TargetMark(const QString& markKey, qint64* lastId, QString* movedAt,
                              QString* error) {
    *lastId = 0;
    movedAt->clear();
    QSqlQuery q(d->Db());
    q.prepare(QStringLiteral("SELECT last_record_id, moved_at FROM export_marks WHERE target = ?"));
    q.addBindValue(markKey);
    if (!d->Exec(q, error)) return false;
    if (q.next()) {
        *lastId = q.value(0).toLongLong();
        *movedAt = q.value(1).toString();
    }
    return true;
}

QString TargetMarkKey(const QString& target) {
    return QStringLiteral("target:") + target;
}

// The adapter to the archive's marks: the one place that knows how a target's punches are
// taken exactly once.
TargetExport ExportNewToTarget(pelarchive::Archive& archive, const QString& target,
                               const QString& format) {
    TargetExport r;
    static const QHash<QString, QString> extension{
        {QStringLiteral("csv"), QStringLiteral("csv")},
        {QStringLiteral("txt"), QStringLiteral("txt")},
        {QStringLiteral("xlsx"), QStringLiteral("xlsx")},
    };
    if (!extension.contains(format)) {
        r.error = QStringLiteral("format: csv, txt or xlsx");
        return r;
    }
    const QString key = TargetMarkKey(target);
    qint64 mark = 0;
    if (!archive.Mark(key, &mark, &r.error)) return r;
    pelarchive::RecordQuery query;
    query.afterId = mark;
    QList<pelarchive::ArchivedRecord> rows;
    if (!archive.Records(query, rows, &r.error)) return r;
    if (rows.isEmpty()) {
        r.ok = true;
        return r;
    }
    QTemporaryDir dir;
    if (!dir.isValid()) {
        r.error = QStringLiteral("can't make a temporary folder: ") + dir.errorString();
        return r;
    }
    clsSaveOptions options;
    pelmar::LoadSaveOptions(options);
    options.SetIsFormatFileExist(QFileInfo::exists(pelmar::FormatFilePath()));
    pelmar::RecordTableModel model;
    const QString file = dir.filePath(QStringLiteral("export.") + extension.value(format));
    const pelmar::SaveResult saved =
        pelarchive::ExportArchived(archive, rows, file, options, model.DisplayMode());
    if (!saved.bOk) {
        r.error =
            saved.szError +
            (saved.szDetail.isEmpty() ? QString() : QStringLiteral(" (") + saved.szDetail + ')');
        return r;
    }
    QFile in(saved.szFileName.isEmpty() ? file : saved.szFileName);
    if (!in.open(QIODevice::ReadOnly)) {
        r.error = QStringLiteral("can't read the export back: ") + in.errorString();
        return r;
    }
    const QByteArray bytes = in.readAll();
    // Only a complete file moves the mark; a mark moved meanwhile by another export of this
    // target means that export has these punches: this one hands out nothing.
    if (!archive.MoveMark(key, mark, rows.last().id, &r.error)) {
        r.conflict = r.error.contains(QLatin1String("ran at the same time"));
        return r;
    }
    r.ok = true;
    r.bytes = bytes;
    r.punches = rows.size();
    r.firstId = rows.first().id;
    r.lastId = rows.last().id;
    return r;
}

} // namespace pelweb
