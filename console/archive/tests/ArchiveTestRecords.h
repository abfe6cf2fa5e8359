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

} // namespace archivetest
