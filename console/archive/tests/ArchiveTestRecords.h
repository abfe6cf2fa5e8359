// Record texts for the archive tests and the writer they run as a child process: normalised
// record texts as a download makes them, with a punch the reader holds twice every 100th
// record (same card, same second).
#pragma once
#include <QChar>
#include <QDateTime>
#include <QString>
#include <QStringList>

namespace archivetest {

inline QString RecordText(int weekday, QChar type, QChar event, const QString& card,
                          const QDateTime& t) {
    return QStringLiteral("A0000,\x01") + QString::number(weekday) + type + event + card +
           QChar(4) + t.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss"));
}

// The reader's first n records.
inline QStringList ReaderMemory(int n) {
    QStringList out;
    out.reserve(n);
    // UTC: the same texts as local time on a machine without daylight saving, without a
    // time-zone look-up per record (a million of them for the benchmark).
    const QDateTime base(QDate(2026, 3, 2), QTime(7, 0, 0), Qt::UTC);
    for (int i = 0; i < n; ++i) {
        const int k = (i % 100 == 99) ? i - 1 : i; // the twin of the record before
        const QDateTime t = base.addSecs(k * 7);
        out << RecordText(t.date().dayOfWeek() % 7, QChar(u'1' + k % 9), QChar(u'0' + k % 4),
                          QStringLiteral("%1")
                              .arg(0x10000000u + unsigned(k % 5000), 8, 16, QLatin1Char('0'))
                              .toUpper(),
                          t);
    }
    return out;
}

} // namespace archivetest

namespace archivetest {

// An archive as the release before the canonical punch wrote it (schema version 2): the
// tables and rows as SQL, %ID% standing for the dialect's auto-numbered key column. Gate 1
// was read twice: first while it showed month-first dates (punch_time left empty), then
// year-first (the same three punches again, ids 4-6); then a day-first download whose
// ambiguous date only its weekday digit settles (Thursday: 05/03/2026 is 5 March). A card ID
// came in lower case. Two "--since last" marks: /pay/a.txt after the first download, and
// /pay/b.txt with an --until filter.
inline QStringList ReleaseArchiveSql() {
    const QString text = QStringLiteral("'A0000,' || char(1) || '%1' || char(4) || '%2'");
    QStringList sql = {
        "CREATE TABLE schema_version (version INTEGER NOT NULL)",
        "INSERT INTO schema_version (version) VALUES (2)",
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
        "CREATE TABLE export_marks (target TEXT PRIMARY KEY, last_record_id BIGINT NOT NULL, "
        "moved_at TEXT NOT NULL)",
        "INSERT INTO readers (reader_key, port) VALUES ('Gate 1', 'COM3')",
        "INSERT INTO downloads (reader_id, host, records_read, count_reported, outcome) VALUES "
        "(1, 'h', 3, 3, 'complete')",
        "INSERT INTO downloads (reader_id, host, records_read, count_reported, outcome) VALUES "
        "(1, 'h', 3, 3, 'complete')",
        "INSERT INTO downloads (reader_id, host, records_read, count_reported, outcome) VALUES "
        "(1, 'h', 1, 1, 'complete')",
    };
    struct Row {
        const char* body;
        const char* date;
        const char* punch;
        int download;
        const char* archived;
    };
    const Row rows[] = {
        {"1113d9944821", "03/02/2026 07:00:00", "", 1, "2026-03-03 10:00:00"},
        {"1210000001", "03/02/2026 07:00:07", "", 1, "2026-03-03 10:00:00"},
        {"1310000002", "03/02/2026 07:00:14", "", 1, "2026-03-03 10:00:00"},
        {"1113D9944821", "2026/03/02 07:00:00", "2026-03-02 07:00:00", 2, "2026-03-04 10:00:00"},
        {"1210000001", "2026/03/02 07:00:07", "2026-03-02 07:00:07", 2, "2026-03-04 10:00:00"},
        {"1310000002", "2026/03/02 07:00:14", "2026-03-02 07:00:14", 2, "2026-03-04 10:00:00"},
        {"4510000009", "05/03/2026 09:15:00", "", 3, "2026-03-06 10:00:00"},
    };
    for (const Row& r : rows)
        sql << QStringLiteral("INSERT INTO records (reader_id, card_id, card_type, event, "
                              "punch_time, weekday, record_text, occurrence, download_id, "
                              "archived_at) VALUES (1, '%1', 'x', 'x', '%2', %3, %4, 1, %5, '%6')")
                   .arg(QString::fromLatin1(r.body).mid(3), QString::fromLatin1(r.punch))
                   .arg(QString(QChar::fromLatin1(r.body[0])))
                   .arg(text.arg(QString::fromLatin1(r.body), QString::fromLatin1(r.date)))
                   .arg(r.download)
                   .arg(QString::fromLatin1(r.archived));
    sql << "INSERT INTO export_marks VALUES ('/pay/a.txt', 3, '2026-03-03 11:00:00')"
        << "INSERT INTO export_marks VALUES ('/pay/b.txt [until=2026-03-02 07:00:00]', 6, "
           "'2026-03-04 11:00:00')";
    return sql;
}

// An archive as the release with the canonical punch wrote it (schema version 3), frozen
// here: Gate 1 with a twin punch (occurrences 1 and 2), Gate 2 with one punch and one whose
// date digits are no date; the target /pay/a.txt received records 1 and 3. With
// pageIndexes, also the indexes `pelmar serve` of that release made at its first start.
inline QStringList Release3ArchiveSql(bool pageIndexes) {
    const QString text = QStringLiteral("'A0000,' || char(1) || '%1' || char(4) || '%2'");
    QStringList sql = {
        "CREATE TABLE schema_version (version INTEGER NOT NULL)",
        "INSERT INTO schema_version (version) VALUES (3)",
        "CREATE TABLE readers (id %ID%, reader_key TEXT NOT NULL UNIQUE, port TEXT, "
        "machine_id TEXT, firmware TEXT, user_name TEXT, last_seen TEXT, last_drift BIGINT)",
        "CREATE TABLE downloads (id %ID%, reader_id BIGINT NOT NULL REFERENCES readers(id), "
        "host TEXT NOT NULL, started TEXT, ended TEXT, records_read BIGINT NOT NULL, "
        "count_reported BIGINT NOT NULL, outcome TEXT NOT NULL)",
        "CREATE TABLE records (id %ID%, reader_id BIGINT NOT NULL REFERENCES readers(id), "
        "card_id TEXT NOT NULL, card_type TEXT NOT NULL, event TEXT NOT NULL, "
        "punch_time TEXT, raw_date TEXT, weekday INTEGER, record_text TEXT NOT NULL, "
        "occurrence INTEGER NOT NULL, download_id BIGINT NOT NULL REFERENCES downloads(id), "
        "archived_at TEXT NOT NULL, CHECK ((punch_time IS NULL) <> (raw_date IS NULL)))",
        "CREATE UNIQUE INDEX records_once ON records (reader_id, card_type, card_id, event, "
        "COALESCE(punch_time, raw_date), occurrence)",
        "CREATE INDEX records_punch ON records (punch_time)",
        "CREATE INDEX records_card ON records (card_id)",
        "CREATE TABLE export_targets (id %ID%, target TEXT NOT NULL UNIQUE, done_through "
        "BIGINT NOT NULL DEFAULT 0, pending_file TEXT, pending_length BIGINT, pending_backup "
        "TEXT, updated_at TEXT)",
        "CREATE TABLE export_sent (target_id BIGINT NOT NULL REFERENCES export_targets(id), "
        "record_id BIGINT NOT NULL, PRIMARY KEY (target_id, record_id))",
        "INSERT INTO readers (reader_key, port) VALUES ('Gate 1', 'COM3')",
        "INSERT INTO readers (reader_key, port) VALUES ('Gate 2', 'COM4')",
        "INSERT INTO downloads (reader_id, host, records_read, count_reported, outcome) VALUES "
        "(1, 'h', 2, 2, 'complete')",
        "INSERT INTO downloads (reader_id, host, records_read, count_reported, outcome) VALUES "
        "(2, 'h', 2, 2, 'complete')",
    };
    struct Row {
        int reader;
        const char* body;
        const char* date;
        const char* type;
        const char* punch; // "NULL" or quoted
        const char* raw;   // "NULL" or quoted
        int occurrence;
    };
    const Row rows[] = {
        {1, "1113D9944821", "2026/03/02 07:00:00", "1K", "'2026-03-02 07:00:00'", "NULL", 1},
        {1, "1113D9944821", "2026/03/02 07:00:00", "1K", "'2026-03-02 07:00:00'", "NULL", 2},
        {2, "4510000009", "2026/03/05 09:15:00", "EM", "'2026-03-05 09:15:00'", "NULL", 1},
        {2, "1510000010", "99/99/9999 08:30:05", "EM", "NULL", "'99999999083005'", 1},
    };
    for (const Row& r : rows) {
        const QString body = QString::fromLatin1(r.body);
        sql << QStringLiteral("INSERT INTO records (reader_id, card_id, card_type, event, "
                              "punch_time, raw_date, weekday, record_text, occurrence, "
                              "download_id, archived_at) VALUES (%1, '%2', '%3', '%4', %5, %6, "
                              "%7, %8, %9, %1, '2026-03-06 10:00:00')")
                   .arg(r.reader)
                   .arg(body.mid(3), QString::fromLatin1(r.type), body.mid(2, 1),
                        QString::fromLatin1(r.punch), QString::fromLatin1(r.raw), body.left(1),
                        text.arg(body, QString::fromLatin1(r.date)))
                   .arg(r.occurrence);
    }
    sql << "INSERT INTO export_targets (target, done_through, updated_at) VALUES ('/pay/a.txt', "
           "1, '2026-03-06 11:00:00')"
        << "INSERT INTO export_sent (target_id, record_id) VALUES (1, 3)";
    if (pageIndexes)
        sql << "CREATE INDEX IF NOT EXISTS records_day_card ON records "
               "((substr(punch_time, 1, 10)) DESC, card_id, punch_time, id)"
            << "CREATE INDEX IF NOT EXISTS records_reader_day_card ON records "
               "(reader_id, (substr(punch_time, 1, 10)) DESC, card_id, punch_time, id)"
            << "CREATE INDEX IF NOT EXISTS records_card_day ON records "
               "(card_id, (substr(punch_time, 1, 10)) DESC, punch_time, id)";
    return sql;
}

} // namespace archivetest
