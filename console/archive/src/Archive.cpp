#include "pelarchive/Archive.h"

#include "pelmar/RecordDecode.h"
#include "pelmar/RecordTableModel.h"

#include <QAtomicInteger>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringEncoder>
#include <QSysInfo>
#include <QThread>
#include <QUrl>
#include <QVariant>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

namespace pelarchive {

namespace {

constexpr const char* kTimeFormat = "yyyy-MM-dd HH:mm:ss";
// The rows a filing INSERT carries (11 values each: well within SQLite's and PostgreSQL's
// limits on bound values).
constexpr int kRowsPerInsert = 100;
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
        // The canonical punch (the rows are carried over by MigrateToCanonical) and the
        // export targets.
        {3,
         {
             "CREATE TABLE records_v3 (id %ID%, reader_id BIGINT NOT NULL REFERENCES readers(id), "
             "card_id TEXT NOT NULL, card_type TEXT NOT NULL, event TEXT NOT NULL, "
             "punch_time TEXT, raw_date TEXT, weekday INTEGER, record_text TEXT NOT NULL, "
             "occurrence INTEGER NOT NULL, download_id BIGINT NOT NULL REFERENCES downloads(id), "
             "archived_at TEXT NOT NULL, "
             "CHECK ((punch_time IS NULL) <> (raw_date IS NULL)))",
             "%CARRY%",
             "DROP TABLE records",
             "ALTER TABLE records_v3 RENAME TO records",
             "CREATE UNIQUE INDEX records_once ON records (reader_id, card_type, card_id, event, "
             "COALESCE(punch_time, raw_date), occurrence)",
             "CREATE INDEX records_punch ON records (punch_time)",
             "CREATE INDEX records_card ON records (card_id)",
             "CREATE TABLE export_targets (id %ID%, target TEXT NOT NULL UNIQUE, done_through "
             "BIGINT NOT NULL DEFAULT 0, pending_file TEXT, pending_length BIGINT, pending_backup "
             "TEXT, updated_at TEXT)",
             "CREATE TABLE export_sent (target_id BIGINT NOT NULL REFERENCES export_targets(id), "
             "record_id BIGINT NOT NULL, PRIMARY KEY (target_id, record_id))",
             "%MARKS%",
             "DROP TABLE export_marks",
         }},
        // The orders the punches pages read (newest day first, each card's punches together,
        // in time order), for all readers, one reader and one card, straight from an index
        // instead of a sort of the whole archive. `pelmar serve` made them itself at its first
        // start on an archive of version 3 (hence IF NOT EXISTS). The one on the card ID alone
        // goes: the card's page index begins with it.
        {4,
         {
             "CREATE INDEX IF NOT EXISTS records_day_card ON records "
             "((substr(punch_time, 1, 10)) DESC, card_id, punch_time, id)",
             "CREATE INDEX IF NOT EXISTS records_reader_day_card ON records "
             "(reader_id, (substr(punch_time, 1, 10)) DESC, card_id, punch_time, id)",
             "CREATE INDEX IF NOT EXISTS records_card_day ON records "
             "(card_id, (substr(punch_time, 1, 10)) DESC, punch_time, id)",
             "DROP INDEX IF EXISTS records_card",
         }},
    };
    return list;
}

// The date of a year-last text "aa/bb/yyyy" read month-first or day-first; invalid when it
// is no date.
QDate YearLastDate(QStringView d, bool monthFirst) {
    const int a = d.mid(0, 2).toInt(), b = d.mid(3, 2).toInt(), y = d.mid(6, 4).toInt();
    return monthFirst ? QDate(y, a, b) : QDate(y, b, a);
}

// Which way a year-last date reads: 1 month-first, 2 day-first, 0 when the text alone can't
// say (both or neither are dates; the weekday digit decides between two dates).
int YearLastOrder(QStringView d, int weekday) {
    const QDate mdy = YearLastDate(d, true), dmy = YearLastDate(d, false);
    if (mdy.isValid() != dmy.isValid()) return mdy.isValid() ? 1 : 2;
    if (!mdy.isValid() || mdy == dmy) return mdy.isValid() ? 1 : 0;
    if (weekday >= 0) {
        const bool m = mdy.dayOfWeek() % 7 == weekday, dd = dmy.dayOfWeek() % 7 == weekday;
        if (m != dd) return m ? 1 : 2;
    }
    return 0;
}

// Splits a record text; `order` says how a year-last date reads (1 month-first, 2 day-first,
// 0 by the text and its weekday, else month-first).
RecordParts Split(const QString& text, int order) {
    RecordParts p;
    const pelmar::RecordFields f = pelmar::SplitRecordFields(text);
    const QString& body = f.body;
    if (!body.isEmpty() && body[0] >= u'0' && body[0] <= u'6') p.weekday = body[0].unicode() - u'0';
    if (body.size() >= 2) p.cardType = pelmar::CardTypeText(body[1]);
    if (body.size() >= 3) p.event = QString(body[2]);
    p.cardId = body.mid(3).toUpper();
    const QString dt = f.dateTime.trimmed();
    // "yyyy/MM/dd HH:mm:ss" or "aa/bb/yyyy HH:mm:ss", checked digit by digit (no time-zone
    // look-ups).
    static const char yearFirst[] = "dddd/dd/dd dd:dd:dd";
    static const char yearLast[] = "dd/dd/dddd dd:dd:dd";
    auto fits = [&](const char* shape) {
        if (dt.size() != 19) return false;
        for (int i = 0; i < 19; ++i) {
            const QChar c = dt[i];
            if (shape[i] == 'd' ? !c.isDigit() : c != QLatin1Char(shape[i])) return false;
        }
        return true;
    };
    // Parts as numbers, digit by digit (no date formatting: a million of them cost seconds).
    auto num = [&](int at, int len) {
        int v = 0;
        for (int i = at; i < at + len; ++i)
            v = v * 10 + (dt[i].unicode() - u'0');
        return v;
    };
    int y = 0, m = 0, day = 0;
    bool shaped = false;
    if (fits(yearFirst)) {
        y = num(0, 4), m = num(5, 2), day = num(8, 2);
        shaped = true;
    } else if (fits(yearLast)) {
        const int way = order != 0 ? order : YearLastOrder(QStringView(dt).left(10), p.weekday);
        y = num(6, 4);
        m = way != 2 ? num(0, 2) : num(3, 2);
        day = way != 2 ? num(3, 2) : num(0, 2);
        shaped = true;
    }
    if (shaped && QDate::isValid(y, m, day) && QTime::isValid(num(11, 2), num(14, 2), num(17, 2))) {
        // "yyyy-MM-dd HH:mm:ss", written character by character.
        p.punchText = QString(19, Qt::Uninitialized);
        QChar* out = p.punchText.data();
        auto put = [&](int at, int v, int width) {
            for (int i = width - 1; i >= 0; --i, v /= 10)
                out[at + i] = QChar(u'0' + v % 10);
        };
        put(0, y, 4);
        out[4] = out[7] = QLatin1Char('-');
        put(5, m, 2);
        put(8, day, 2);
        out[10] = QLatin1Char(' ');
        for (int i = 11; i < 19; ++i)
            out[i] = dt[i];
        return p;
    }
    // No date: the reader's digits as they came.
    for (QChar c : dt)
        if (c.isDigit()) p.rawDate += c;
    if (p.rawDate.isEmpty()) p.rawDate = QStringLiteral("-");
    return p;
}

// The way a download's year-last dates read for its date-format register.
int OrderOfMode(int dateMode) {
    if (dateMode == 0) return 1;
    if (dateMode == 255) return 0;
    return 2;
}

// A punch within one reader as a hash key, for counting occurrences (exactly one of the
// punch time and the raw digits is set).
struct PunchRef {
    const RecordParts* p;
    bool operator==(const PunchRef& o) const {
        return p->cardId == o.p->cardId && p->punchText == o.p->punchText &&
               p->cardType == o.p->cardType && p->event == o.p->event && p->rawDate == o.p->rawDate;
    }
};
size_t qHash(const PunchRef& r, size_t seed = 0) {
    return qHashMulti(seed, r.p->cardId, r.p->punchText, r.p->cardType, r.p->event, r.p->rawDate);
}

// The key of a punch within one reader, for counting occurrences.
QString PunchKey(const RecordParts& p) {
    return p.cardType + QChar(1) + p.cardId + QChar(1) + p.event + QChar(1) +
           (p.punchText.isEmpty() ? QStringLiteral("raw:") + p.rawDate : p.punchText);
}

} // namespace

QString ReaderIdentity::Key() const {
    if (!name.trimmed().isEmpty()) return name.trimmed();
    return port + QLatin1Char('#') + machineId;
}

RecordParts SplitRecord(const QString& text, int dateMode) {
    return Split(text, OrderOfMode(dateMode));
}

QDateTime ArchivedRecord::Punch() const {
    return TimeFrom(punchText, Qt::LocalTime);
}
QDateTime ArchivedRecord::Archived() const {
    return TimeFrom(archivedText, Qt::UTC);
}

namespace {

// A download's records ready to insert.
struct Filing {
    qint64 readerId = 0, downloadId = 0;
    QString archivedAt;
    const QStringList* texts = nullptr;
    QList<RecordParts> parts;
    QList<int> occurrences;
};

constexpr const char* kInsertRecord =
    "INSERT INTO records (reader_id, card_id, card_type, event, punch_time, raw_date, weekday, "
    "record_text, occurrence, download_id, archived_at) VALUES ";
constexpr const char* kRecordValues = "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";

// SQLite's own handle under a Qt connection (null when the driver is not SQLite's).
sqlite3* SqliteHandle(const QSqlDatabase& db) {
    const QVariant v = db.driver()->handle();
    if (!v.isValid() || qstrcmp(v.typeName(), "sqlite3*") != 0) return nullptr;
    return *static_cast<sqlite3* const*>(v.constData());
}

} // namespace

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
    bool Select(const QString& sql, const QVariantList& binds, QList<ArchivedRecord>& rows,
                QString* error);
    // Version 3: the rows of the old records table re-keyed into records_v3 (rows that differ
    // only by their date text become one, keeping the earliest archived_at and its download),
    // and the old "--since last" marks as export targets.
    bool CarryRecords(QString* error);
    bool CarryMarks(QString* error);
    QHash<qint64, qint64> merged; // old record id -> the id it was merged into
    struct OldRow {
        qint64 id, reader;
        QString key, card, punch;
    };
    QList<OldRow> oldRows; // for carrying the marks: the old rows' reader, card and punch time
    // Export targets: the lock file and the target held.
    int lockFd = -1;
    qint64 heldLock = 0;
    bool held = false;
    // The reader's id, created or updated within the running transaction.
    bool UpsertReader(const ReaderIdentity& r, qint64* id, QString* error);
    // Inserts a download's records within the running transaction, counting in *added the
    // rows new to the archive: many rows per statement, on SQLite through its own interface
    // (Qt's binding costs more than the insert), elsewhere through Qt SQL.
    bool FileSqlite(const Filing& f, long* added, QString* error);
    bool FileMany(const Filing& f, long* added, QString* error);
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
            if (sql == QLatin1String("%CARRY%")) {
                if (version >= 1 && !CarryRecords(error)) return fail();
                continue;
            }
            if (sql == QLatin1String("%MARKS%")) {
                if (version >= 2 && !CarryMarks(error)) return fail();
                continue;
            }
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

bool Archive::Impl::CarryRecords(QString* error) {
    QSqlQuery q(Db());
    q.setForwardOnly(true);
    if (!Exec(q,
              QStringLiteral("SELECT r.id, r.reader_id, r.record_text, r.occurrence, "
                             "r.download_id, r.archived_at, r.card_id, r.punch_time, d.reader_key "
                             "FROM records r JOIN readers d ON d.id = r.reader_id ORDER BY r.id"),
              error))
        return false;
    struct Row {
        qint64 id, reader, download;
        QString text, archived;
        int occurrence;
        RecordParts parts;
        int order; // how its year-last date reads: 1, 2, or 0 not known from the text alone
    };
    QList<Row> rows;
    // How each download and each reader shows year-last dates, from the rows that say it.
    QHash<qint64, QPair<int, int>> byDownload, byReader; // month-first, day-first votes
    while (q.next()) {
        Row r{q.value(0).toLongLong(),
              q.value(1).toLongLong(),
              q.value(4).toLongLong(),
              q.value(2).toString(),
              q.value(5).toString(),
              q.value(3).toInt(),
              {},
              0};
        oldRows.append(
            {r.id, r.reader, q.value(8).toString(), q.value(6).toString(), q.value(7).toString()});
        const pelmar::RecordFields f = pelmar::SplitRecordFields(r.text);
        const QString dt = f.dateTime.trimmed();
        if (dt.size() == 19 && dt[2] == u'/' && dt[5] == u'/') {
            const int weekday = f.body.isEmpty() ? -1 : f.body[0].digitValue();
            r.order = YearLastOrder(QStringView(dt).left(10), weekday);
            if (r.order == 1) ++byDownload[r.download].first, ++byReader[r.reader].first;
            if (r.order == 2) ++byDownload[r.download].second, ++byReader[r.reader].second;
        }
        rows.append(r);
    }
    q.finish();
    auto vote = [](const QPair<int, int>& v) {
        return v.first > v.second ? 1 : v.second > v.first ? 2 : 0;
    };
    // Re-keyed; of the rows with one key the earliest archived (then the first) stays.
    QHash<QString, int> keep; // key -> index into rows
    QList<int> order;
    for (int i = 0; i < rows.size(); ++i) {
        Row& r = rows[i];
        int way = r.order;
        if (way == 0) way = vote(byDownload.value(r.download));
        if (way == 0) way = vote(byReader.value(r.reader));
        r.parts = Split(r.text, way);
        const QString key = QString::number(r.reader) + QChar(2) + PunchKey(r.parts) + QChar(2) +
                            QString::number(r.occurrence);
        auto it = keep.find(key);
        if (it == keep.end()) {
            keep.insert(key, i);
            order.append(i);
            continue;
        }
        Row& k = rows[*it];
        merged.insert(r.id, k.id);
        if (r.archived < k.archived) {
            k.archived = r.archived;
            k.download = r.download;
        }
    }
    QSqlQuery ins(Db());
    ins.prepare(QStringLiteral(
        "INSERT INTO records_v3 (id, reader_id, card_id, card_type, event, punch_time, raw_date, "
        "weekday, record_text, occurrence, download_id, archived_at) VALUES (?, ?, ?, ?, ?, ?, "
        "?, ?, ?, ?, ?, ?)"));
    for (int i : order) {
        const Row& r = rows[i];
        ins.bindValue(0, r.id);
        ins.bindValue(1, r.reader);
        ins.bindValue(2, r.parts.cardId);
        ins.bindValue(3, r.parts.cardType);
        ins.bindValue(4, r.parts.event);
        ins.bindValue(5, r.parts.punchText.isEmpty() ? QVariant(QMetaType::fromType<QString>())
                                                     : QVariant(r.parts.punchText));
        ins.bindValue(6, r.parts.punchText.isEmpty() ? QVariant(r.parts.rawDate)
                                                     : QVariant(QMetaType::fromType<QString>()));
        ins.bindValue(7, r.parts.weekday < 0 ? QVariant(QMetaType::fromType<int>())
                                             : QVariant(r.parts.weekday));
        ins.bindValue(8, r.text);
        ins.bindValue(9, r.occurrence);
        ins.bindValue(10, r.download);
        ins.bindValue(11, r.archived);
        if (!Exec(ins, error)) return false;
    }
    ins.finish();
    if (Postgres() && !order.isEmpty()) {
        QSqlQuery s(Db());
        if (!Exec(s,
                  QStringLiteral("SELECT setval(pg_get_serial_sequence('records_v3', 'id'), "
                                 "(SELECT MAX(id) FROM records_v3))"),
                  error))
            return false;
    }
    return true;
}

bool Archive::Impl::CarryMarks(QString* error) {
    QSqlQuery q(Db());
    if (!Exec(q, QStringLiteral("SELECT target, last_record_id FROM export_marks"), error))
        return false;
    // target -> (ids up to which everything went, ids that went beyond)
    QHash<QString, QPair<qint64, QSet<qint64>>> targets;
    static const QRegularExpression withFilters(QStringLiteral("^(.*) \\[(.*)\\]$"));
    auto kept = [&](qint64 id) { return merged.value(id, id); };
    while (q.next()) {
        QString target = q.value(0).toString();
        const qint64 mark = q.value(1).toLongLong();
        const QRegularExpressionMatch m = withFilters.match(target);
        auto& t = targets[m.hasMatch() ? m.captured(1) : target];
        if (!m.hasMatch()) {
            // Everything up to the mark went, merged rows included.
            t.first = qMax(t.first, mark);
            for (auto it = merged.cbegin(); it != merged.cend(); ++it)
                if (it.key() <= mark && it.value() > mark) t.second.insert(it.value());
            continue;
        }
        // A filtered mark: the rows up to it that matched its filters went.
        QString reader, card, until;
        for (const QString& f : m.captured(2).split(QStringLiteral(", "))) {
            if (f.startsWith(QLatin1String("reader="))) reader = f.mid(7);
            if (f.startsWith(QLatin1String("card="))) card = f.mid(5);
            if (f.startsWith(QLatin1String("until="))) until = f.mid(6);
        }
        for (const OldRow& r : oldRows) {
            if (r.id > mark) break;
            if ((!reader.isEmpty() && r.key != reader) || (!card.isEmpty() && r.card != card) ||
                (!until.isEmpty() && !(r.punch <= until && !r.punch.isEmpty())))
                continue;
            t.second.insert(kept(r.id));
        }
    }
    q.finish();
    QSqlQuery ins(Db()), sent(Db());
    for (auto it = targets.cbegin(); it != targets.cend(); ++it) {
        ins.prepare(QStringLiteral("INSERT INTO export_targets (target, done_through, updated_at) "
                                   "VALUES (?, ?, ?)"));
        ins.addBindValue(it.key());
        ins.addBindValue(it.value().first);
        ins.addBindValue(NowUtc());
        if (!Exec(ins, error)) return false;
        ins.prepare(QStringLiteral("SELECT id FROM export_targets WHERE target = ?"));
        ins.addBindValue(it.key());
        if (!Exec(ins, error) || !ins.next()) return false;
        const qint64 id = ins.value(0).toLongLong();
        ins.finish();
        sent.prepare(
            QStringLiteral("INSERT INTO export_sent (target_id, record_id) VALUES (?, ?)"));
        for (qint64 r : it.value().second) {
            if (r <= it.value().first) continue;
            sent.bindValue(0, id);
            sent.bindValue(1, r);
            if (!Exec(sent, error)) return false;
        }
    }
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

bool Archive::Impl::FileSqlite(const Filing& f, long* added, QString* error) {
    sqlite3* h = SqliteHandle(Db());
    if (!h) {
        if (error)
            *error = QStringLiteral("the SQLite driver gives no handle (archive %1)")
                         .arg(location.Display());
        return false;
    }
    auto why = [&] {
        if (error)
            *error = QString::fromUtf8(sqlite3_errmsg(h)) + QStringLiteral(" (archive ") +
                     location.Display() + QLatin1Char(')');
        return false;
    };
    // Many rows per statement: each run of a statement has its own cost (its cursors, its
    // constraint and foreign-key bookkeeping), shared by the rows it carries. Any conflict is
    // the one unique key: the punch is archived already, and the statement's count of changes
    // leaves it out.
    using Statement = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;
    auto prepare = [&](int rows) {
        QByteArray sql = kInsertRecord;
        for (int i = 0; i < rows; ++i)
            sql += QByteArray(i == 0 ? "" : ", ") + kRecordValues;
        sql += " ON CONFLICT DO NOTHING";
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v3(h, sql.constData(), int(sql.size()), SQLITE_PREPARE_PERSISTENT, &st,
                           nullptr);
        return Statement(st, sqlite3_finalize);
    };
    // The chunk's texts in UTF-8 (the archive's encoding) in one buffer, bound without a copy:
    // the buffer is filled before the first bind and outlives the steps (and the statements).
    QStringEncoder utf8(QStringEncoder::Utf8);
    QByteArray buffer;
    QList<int> ends; // where each text ends in the buffer, 5 per row
    const QByteArray archivedAt = f.archivedAt.toUtf8();
    Statement full(nullptr, sqlite3_finalize), rest(nullptr, sqlite3_finalize);
    auto textsOf = [&](qsizetype i, int k) -> const QString& {
        const RecordParts& p = f.parts[i];
        switch (k) {
        case 0:
            return p.cardId;
        case 1:
            return p.cardType;
        case 2:
            return p.event;
        case 3:
            return p.punchText.isEmpty() ? p.rawDate : p.punchText;
        default:
            return (*f.texts)[i];
        }
    };
    for (qsizetype at = 0; at < f.parts.size(); at += kRowsPerInsert) {
        const int rows = int(qMin<qsizetype>(kRowsPerInsert, f.parts.size() - at));
        Statement& st = rows == kRowsPerInsert ? full : rest;
        if (!st || sqlite3_bind_parameter_count(st.get()) != rows * 11) st = prepare(rows);
        if (!st) return why();
        qsizetype room = 0;
        for (qsizetype i = at; i < at + rows; ++i)
            for (int k = 0; k < 5; ++k)
                room += utf8.requiredSpace(textsOf(i, k).size());
        if (buffer.size() < room) buffer.resize(room);
        ends.resize(rows * 5);
        char* out = buffer.data();
        for (int i = 0; i < rows; ++i)
            for (int k = 0; k < 5; ++k) {
                out = utf8.appendToBuffer(out, textsOf(at + i, k));
                ends[i * 5 + k] = int(out - buffer.constData());
            }
        sqlite3_stmt* raw = st.get();
        int rc = SQLITE_OK;
        for (int i = 0; i < rows && rc == SQLITE_OK; ++i) {
            const RecordParts& p = f.parts[at + i];
            const bool dated = !p.punchText.isEmpty();
            const int c = i * 11; // the row's first parameter, less one
            auto text = [&](int column, int k) {
                const int from = i * 5 + k == 0 ? 0 : ends[i * 5 + k - 1];
                return sqlite3_bind_text(raw, c + column, buffer.constData() + from,
                                         ends[i * 5 + k] - from, SQLITE_STATIC);
            };
            rc = sqlite3_bind_int64(raw, c + 1, f.readerId);
            if (rc == SQLITE_OK) rc = text(2, 0);
            if (rc == SQLITE_OK) rc = text(3, 1);
            if (rc == SQLITE_OK) rc = text(4, 2);
            if (rc == SQLITE_OK) rc = dated ? text(5, 3) : sqlite3_bind_null(raw, c + 5);
            if (rc == SQLITE_OK) rc = dated ? sqlite3_bind_null(raw, c + 6) : text(6, 3);
            if (rc == SQLITE_OK)
                rc = p.weekday < 0 ? sqlite3_bind_null(raw, c + 7)
                                   : sqlite3_bind_int(raw, c + 7, p.weekday);
            if (rc == SQLITE_OK) rc = text(8, 4);
            if (rc == SQLITE_OK) rc = sqlite3_bind_int(raw, c + 9, f.occurrences[at + i]);
            if (rc == SQLITE_OK) rc = sqlite3_bind_int64(raw, c + 10, f.downloadId);
            if (rc == SQLITE_OK)
                rc = sqlite3_bind_text(raw, c + 11, archivedAt.constData(), int(archivedAt.size()),
                                       SQLITE_STATIC);
        }
        if (rc != SQLITE_OK) return why();
        if (sqlite3_step(raw) != SQLITE_DONE) return why();
        *added += sqlite3_changes(h);
        sqlite3_reset(raw);
    }
    return true;
}

bool Archive::Impl::FileMany(const Filing& f, long* added, QString* error) {
    QSqlQuery q(Db());
    // Many rows per statement: one round trip per chunk instead of per punch. Any conflict is
    // the one unique key: the punch is archived already, and the statement's count of rows
    // leaves it out.
    const QVariant noText(QMetaType::fromType<QString>()), noNumber(QMetaType::fromType<int>());
    int prepared = 0; // the rows of the prepared statement
    for (qsizetype at = 0; at < f.parts.size(); at += kRowsPerInsert) {
        const int rows = int(qMin<qsizetype>(kRowsPerInsert, f.parts.size() - at));
        if (rows != prepared) {
            QString sql = QLatin1String(kInsertRecord);
            for (int i = 0; i < rows; ++i)
                sql += (i == 0 ? QString() : QStringLiteral(", ")) + QLatin1String(kRecordValues);
            sql += QStringLiteral(" ON CONFLICT DO NOTHING");
            if (!q.prepare(sql)) {
                if (error) *error = Why(q.lastError());
                return false;
            }
            prepared = rows;
        }
        int k = 0;
        for (qsizetype i = at; i < at + rows; ++i) {
            const RecordParts& p = f.parts[i];
            const bool dated = !p.punchText.isEmpty();
            q.bindValue(k++, f.readerId);
            q.bindValue(k++, p.cardId);
            q.bindValue(k++, p.cardType);
            q.bindValue(k++, p.event);
            q.bindValue(k++, dated ? QVariant(p.punchText) : noText);
            q.bindValue(k++, dated ? noText : QVariant(p.rawDate));
            q.bindValue(k++, p.weekday < 0 ? noNumber : QVariant(p.weekday));
            q.bindValue(k++, (*f.texts)[i]);
            q.bindValue(k++, f.occurrences[i]);
            q.bindValue(k++, f.downloadId);
            q.bindValue(k++, f.archivedAt);
        }
        if (!Exec(q, error)) return false;
        *added += q.numRowsAffected();
    }
    return true;
}

Archive::Archive() : d(std::make_unique<Impl>()) {}

Archive::~Archive() {
    ReleaseTarget();
    if (d->lockFd >= 0) ::close(d->lockFd);
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
    return OpenAs(location, true, error);
}

bool Archive::OpenExisting(const ArchiveLocation& location, QString* error) {
    return OpenAs(location, false, error);
}

bool Archive::OpenAs(const ArchiveLocation& location, bool create, QString* error) {
    static QAtomicInteger<quint64> serial;
    bool readOnly = false;
    if (!create && location.kind == ArchiveLocation::Kind::Sqlite) {
        const QFileInfo file(location.path);
        if (!file.isFile() || file.size() == 0) {
            if (error) *error = QStringLiteral("no archive at %1").arg(location.path);
            return false;
        }
        // A file that can't be written (or whose folder can't take SQLite's shared-memory
        // file) is listed read-only.
        readOnly = !file.isWritable() || !QFileInfo(file.absolutePath()).isWritable();
    }
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
    } else if (readOnly) {
        // Read-only, as immutable when the folder can't take the shared-memory file either.
        const bool folderFixed = !QFileInfo(QFileInfo(location.path).absolutePath()).isWritable();
        QUrl uri = QUrl::fromLocalFile(QFileInfo(location.path).absoluteFilePath());
        uri.setScheme(QStringLiteral("file"));
        if (folderFixed) uri.setQuery(QStringLiteral("immutable=1"));
        db.setDatabaseName(uri.toString());
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI"));
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
    if (!create) {
        // Only an archive that is there: no tables are made.
        QSqlQuery q(db);
        const bool there =
            q.exec(pg ? QStringLiteral("SELECT to_regclass('schema_version') IS NOT NULL")
                      : QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' "
                                       "AND name = 'schema_version'")) &&
            q.next() && q.value(0).toBool();
        if (!there) {
            if (error)
                *error = q.lastError().isValid()
                             ? QStringLiteral("can't open the archive: ") + d->Why(q.lastError())
                             : QStringLiteral("no archive at %1").arg(location.Display());
            db.close();
            return false;
        }
        q.finish();
        if (readOnly) {
            if (!q.exec(QStringLiteral("SELECT version FROM schema_version")) || !q.next()) {
                if (error)
                    *error = QStringLiteral("can't open the archive: ") + d->Why(q.lastError());
                db.close();
                return false;
            }
            d->version = q.value(0).toInt();
            if (d->version != kSchemaVersion) {
                if (error)
                    *error = QStringLiteral("the archive %1 is read-only and has schema version "
                                            "%2; this program reads version %3 (open it once "
                                            "where it can be written)")
                                 .arg(location.Display())
                                 .arg(d->version)
                                 .arg(kSchemaVersion);
                db.close();
                return false;
            }
            return true;
        }
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
        r.added = r.already = r.undated = 0;
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

    // The records as the archive keys them, with each punch's occurrence in the reader's order.
    const int order = OrderOfMode(download.dateMode);
    Filing f;
    f.readerId = readerId;
    f.downloadId = r.downloadId;
    f.archivedAt = NowUtc();
    f.texts = &records;
    f.parts.reserve(records.size());
    f.occurrences.reserve(records.size());
    for (const QString& text : records)
        f.parts.append(Split(text, order));
    {
        QHash<PunchRef, int> seen;
        seen.reserve(records.size());
        for (const RecordParts& p : std::as_const(f.parts))
            f.occurrences.append(++seen[PunchRef{&p}]);
    }
    // Every row this download adds gets an id above the highest one now: stores are serialised
    // (SQLite's write lock, the advisory lock), so the rows above it are this download's.
    const bool anyUndated = std::any_of(f.parts.cbegin(), f.parts.cend(),
                                        [](const RecordParts& p) { return p.punchText.isEmpty(); });
    qint64 highestBefore = 0;
    if (anyUndated) {
        if (!d->Exec(q, QStringLiteral("SELECT COALESCE(MAX(id), 0) FROM records"), &r.error) ||
            !q.next())
            return fail();
        highestBefore = q.value(0).toLongLong();
        q.finish();
    }
    if (!(d->Postgres() ? d->FileMany(f, &r.added, &r.error)
                        : d->FileSqlite(f, &r.added, &r.error)))
        return fail();
    r.already = long(records.size()) - r.added;
    if (anyUndated && r.added > 0) {
        q.prepare(
            QStringLiteral("SELECT COUNT(*) FROM records WHERE id > ? AND raw_date IS NOT NULL"));
        q.addBindValue(highestBefore);
        if (!d->Exec(q, &r.error) || !q.next()) return fail();
        r.undated = q.value(0).toLongLong();
        q.finish();
    }
    if (!d->Commit(&r.error)) return fail();
    r.ok = true;
    return r;
}

namespace {
// The SQL that finds one punch of a reader: card type, card ID, event, punch time (or the raw
// digits) and occurrence.
const char* kFindPunch =
    "SELECT d.reader_key FROM records r JOIN readers d ON d.id = r.reader_id WHERE "
    "r.card_type = ? AND r.card_id = ? AND r.event = ? AND COALESCE(r.punch_time, r.raw_date) = ? "
    "AND r.occurrence = ?";

// Binds one punch (and the reader key) to a kFindPunch query.
void BindFindPunch(QSqlQuery& q, const RecordParts& p, int occurrence, const QString& readerKey) {
    q.bindValue(0, p.cardType);
    q.bindValue(1, p.cardId);
    q.bindValue(2, p.event);
    q.bindValue(3, p.punchText.isEmpty() ? p.rawDate : p.punchText);
    q.bindValue(4, occurrence);
    q.bindValue(5, readerKey);
}
} // namespace

bool Archive::CountHeld(const QString& readerKey, const QStringList& records, int dateMode,
                        long* held, QString* error) {
    *held = 0;
    QSqlQuery q(d->Db());
    q.prepare(QLatin1String(kFindPunch) + QStringLiteral(" AND d.reader_key = ?"));
    QHash<QString, int> seen;
    const int order = OrderOfMode(dateMode);
    for (const QString& text : records) {
        const RecordParts p = Split(text, order);
        BindFindPunch(q, p, ++seen[PunchKey(p)], readerKey);
        if (!d->Exec(q, error)) return false;
        if (q.next()) ++*held;
        q.finish();
    }
    return true;
}

bool Archive::HeldByOtherReader(const QString& readerKey, const QStringList& records, int dateMode,
                                int atLeast, QString* otherKey, QString* error) {
    otherKey->clear();
    if (records.size() < atLeast || atLeast < 1) return true;
    QSqlQuery q(d->Db());
    q.prepare(QLatin1String(kFindPunch) + QStringLiteral(" AND d.reader_key <> ?"));
    QHash<QString, int> seen;
    QString candidate;
    const int order = OrderOfMode(dateMode);
    for (int i = 0; i < atLeast; ++i) {
        const RecordParts p = Split(records[i], order);
        BindFindPunch(q, p, ++seen[PunchKey(p)], readerKey);
        if (!d->Exec(q, error)) return false;
        QStringList keys;
        while (q.next())
            keys << q.value(0).toString();
        q.finish();
        if (keys.isEmpty()) return true;
        if (i == 0) {
            candidate = keys.first();
        } else if (!keys.contains(candidate)) {
            return true;
        }
        if (!keys.contains(candidate)) return true;
    }
    *otherKey = candidate;
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

namespace {

// The records with their reader. A query for a card reads the card's index: "+r.reader_id"
// keeps the planner from walking all of a reader's records instead (SQLite has no statistics
// to tell that a card has few punches and a reader many).
QString SelectRecords(const RecordQuery& query) {
    return QStringLiteral(
               "SELECT r.id, d.reader_key, r.record_text, r.occurrence, r.card_id, r.card_type, "
               "r.event, r.weekday, r.punch_time, r.archived_at, r.raw_date FROM records r "
               "JOIN readers d ON d.id = %1r.reader_id WHERE 1 = 1")
        .arg(query.card.trimmed().isEmpty() ? QString() : QStringLiteral("+"));
}

// The conditions of a query's reader, card and punch-time bounds.
QString FilterSql(const RecordQuery& query, QVariantList& binds) {
    QString sql;
    if (!query.reader.isEmpty()) {
        sql += QStringLiteral(" AND d.reader_key = ?");
        binds << query.reader;
    }
    if (!query.card.trimmed().isEmpty()) {
        // Card IDs are kept in upper case: the index serves any spelling.
        sql += QStringLiteral(" AND r.card_id = ?");
        binds << query.card.trimmed().toUpper();
    }
    if (query.since.isValid()) {
        sql += QStringLiteral(" AND r.punch_time >= ?");
        binds << TimeText(query.since);
    }
    if (query.until.isValid()) {
        sql += QStringLiteral(" AND r.punch_time <= ?");
        binds << TimeText(query.until);
    }
    return sql;
}

} // namespace

bool Archive::Impl::Select(const QString& sql, const QVariantList& binds,
                           QList<ArchivedRecord>& rows, QString* error) {
    QSqlQuery q(Db());
    q.setForwardOnly(true);
    q.prepare(sql);
    for (const QVariant& v : binds)
        q.addBindValue(v);
    if (!Exec(q, error)) return false;
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
        a.rawDate = q.value(10).toString();
        rows.append(a);
    }
    return true;
}

bool Archive::Records(const RecordQuery& query, QList<ArchivedRecord>& rows, QString* error) {
    rows.clear();
    QString sql = SelectRecords(query);
    QVariantList binds;
    // Only when asked: a bound on the id would lead the planner past the other indexes.
    if (query.afterId > 0) {
        sql += QStringLiteral(" AND r.id > ?");
        binds << query.afterId;
    }
    sql += FilterSql(query, binds);
    sql += QStringLiteral(" ORDER BY r.id");
    if (query.limit > 0) sql += QStringLiteral(" LIMIT %1").arg(query.limit);
    return d->Select(sql, binds, rows, error);
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

namespace {
// The lock of one target: a number from its name (PostgreSQL's advisory locks, and the byte
// of the lock file beside an SQLite archive).
qint64 TargetLockNumber(const QString& name) {
    const QByteArray h = QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha1);
    quint32 v = 0;
    for (int i = 0; i < 4; ++i)
        v = (v << 8) | quint8(h[i]);
    return qint64(v & 0x3fffffff) + 1;
}
} // namespace

bool Archive::TakeTarget(const QString& name, int waitMs, TargetState* state, bool* busy,
                         QString* error) {
    *busy = false;
    ReleaseTarget();
    const qint64 number = TargetLockNumber(name);
    QElapsedTimer waited;
    waited.start();
    if (d->Postgres()) {
        // A session lock: it goes with the connection when the program dies.
        QSqlQuery q(d->Db());
        for (;;) {
            q.prepare(QStringLiteral("SELECT pg_try_advisory_lock(%1, ?)").arg(kStoreLock >> 32));
            q.addBindValue(number);
            if (!d->Exec(q, error) || !q.next()) return false;
            if (q.value(0).toBool()) break;
            if (waited.elapsed() >= waitMs) {
                *busy = true;
                break;
            }
            QThread::msleep(50);
        }
    } else {
        // One byte per target in a lock file beside the archive, taken through an open file
        // description of our own: it goes with the file (and the process) when we let go.
        if (d->lockFd < 0) {
            const QByteArray path = QFile::encodeName(d->location.path + QStringLiteral(".lock"));
            d->lockFd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            if (d->lockFd < 0) {
                if (error)
                    *error = QStringLiteral("can't open the lock file %1: %2")
                                 .arg(QFile::decodeName(path),
                                      QString::fromLocal8Bit(std::strerror(errno)));
                return false;
            }
        }
        for (;;) {
            struct flock fl {};
            fl.l_type = F_WRLCK;
            fl.l_whence = SEEK_SET;
            fl.l_start = number;
            fl.l_len = 1;
            if (::fcntl(d->lockFd, F_OFD_SETLK, &fl) == 0) break;
            if (errno != EAGAIN && errno != EACCES && errno != EINTR) {
                if (error)
                    *error = QStringLiteral("can't lock the export target %1: %2")
                                 .arg(name, QString::fromLocal8Bit(std::strerror(errno)));
                return false;
            }
            if (waited.elapsed() >= waitMs) {
                *busy = true;
                break;
            }
            QThread::msleep(50);
        }
    }
    if (*busy) {
        if (error)
            *error = QStringLiteral("another export to %1 is running; nothing was written (archive "
                                    "%2)")
                         .arg(name, d->location.Display());
        return false;
    }
    d->heldLock = number;
    d->held = true;
    // The target's row, made on its first export.
    QSqlQuery q(d->Db());
    q.prepare(QStringLiteral("INSERT INTO export_targets (target, done_through, updated_at) "
                             "VALUES (?, 0, ?) ON CONFLICT (target) DO NOTHING"));
    q.addBindValue(name);
    q.addBindValue(NowUtc());
    if (!d->Exec(q, error)) {
        ReleaseTarget();
        return false;
    }
    q.prepare(QStringLiteral("SELECT id, done_through, pending_file, pending_length, "
                             "pending_backup FROM export_targets WHERE target = ?"));
    q.addBindValue(name);
    if (!d->Exec(q, error) || !q.next()) {
        ReleaseTarget();
        return false;
    }
    state->id = q.value(0).toLongLong();
    state->name = name;
    state->doneThrough = q.value(1).toLongLong();
    state->pendingFile = q.value(2).toString();
    state->pendingLength = q.value(3).isNull() ? -1 : q.value(3).toLongLong();
    state->pendingBackup = q.value(4).toString();
    return true;
}

void Archive::ReleaseTarget() {
    if (!d->held) return;
    d->held = false;
    if (d->Postgres()) {
        QSqlQuery q(d->Db());
        q.exec(QStringLiteral("SELECT pg_advisory_unlock(%1, %2)")
                   .arg(kStoreLock >> 32)
                   .arg(d->heldLock));
    } else if (d->lockFd >= 0) {
        struct flock fl {};
        fl.l_type = F_UNLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = d->heldLock;
        fl.l_len = 1;
        ::fcntl(d->lockFd, F_OFD_SETLK, &fl);
    }
}

bool Archive::Unsent(const TargetState& target, const RecordQuery& filter,
                     QList<ArchivedRecord>& rows, QString* error) {
    rows.clear();
    QString sql = SelectRecords(filter) +
                  QStringLiteral(" AND r.id > ? AND NOT EXISTS (SELECT 1 FROM export_sent s "
                                 "WHERE s.target_id = ? AND s.record_id = r.id)");
    QVariantList binds{target.doneThrough, target.id};
    sql += FilterSql(filter, binds);
    sql += QStringLiteral(" ORDER BY r.id");
    return d->Select(sql, binds, rows, error);
}

bool Archive::SetPending(TargetState& target, const QString& file, qint64 length,
                         const QString& backup, QString* error) {
    QSqlQuery q(d->Db());
    q.prepare(QStringLiteral("UPDATE export_targets SET pending_file = ?, pending_length = ?, "
                             "pending_backup = ?, updated_at = ? WHERE id = ?"));
    const QVariant none(QMetaType::fromType<QString>());
    q.addBindValue(file.isEmpty() ? none : QVariant(file));
    q.addBindValue(file.isEmpty() ? QVariant(QMetaType::fromType<qint64>()) : QVariant(length));
    q.addBindValue(backup.isEmpty() ? none : QVariant(backup));
    q.addBindValue(NowUtc());
    q.addBindValue(target.id);
    if (!d->Exec(q, error)) return false;
    target.pendingFile = file;
    target.pendingLength = file.isEmpty() ? -1 : length;
    target.pendingBackup = backup;
    return true;
}

bool Archive::MarkSent(TargetState& target, const QList<qint64>& ids, QString* error) {
    if (!d->Begin(error)) return false;
    auto fail = [&] {
        d->Rollback();
        return false;
    };
    QSqlQuery q(d->Db());
    q.prepare(QStringLiteral("INSERT INTO export_sent (target_id, record_id) VALUES (?, ?) "
                             "ON CONFLICT DO NOTHING"));
    for (qint64 id : ids) {
        if (id <= target.doneThrough) continue;
        q.bindValue(0, target.id);
        q.bindValue(1, id);
        if (!d->Exec(q, error)) return fail();
    }
    // Everything up to the first record the target still lacks went: the list of single
    // records shrinks to those beyond it.
    q.prepare(QStringLiteral("SELECT MIN(r.id) FROM records r WHERE r.id > ? AND NOT EXISTS "
                             "(SELECT 1 FROM export_sent s WHERE s.target_id = ? AND "
                             "s.record_id = r.id)"));
    q.addBindValue(target.doneThrough);
    q.addBindValue(target.id);
    if (!d->Exec(q, error) || !q.next()) return fail();
    qint64 done = 0;
    if (!q.value(0).isNull()) {
        done = q.value(0).toLongLong() - 1;
    } else {
        q.finish();
        if (!d->Exec(q, QStringLiteral("SELECT MAX(id) FROM records"), error) || !q.next())
            return fail();
        done = q.value(0).toLongLong();
    }
    q.finish();
    done = qMax(done, target.doneThrough);
    q.prepare(QStringLiteral("DELETE FROM export_sent WHERE target_id = ? AND record_id <= ?"));
    q.addBindValue(target.id);
    q.addBindValue(done);
    if (!d->Exec(q, error)) return fail();
    q.prepare(QStringLiteral("UPDATE export_targets SET done_through = ?, pending_file = NULL, "
                             "pending_length = NULL, pending_backup = NULL, updated_at = ? "
                             "WHERE id = ?"));
    q.addBindValue(done);
    q.addBindValue(NowUtc());
    q.addBindValue(target.id);
    if (!d->Exec(q, error) || !d->Commit(error)) return fail();
    target.doneThrough = done;
    target.pendingFile.clear();
    target.pendingBackup.clear();
    target.pendingLength = -1;
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
