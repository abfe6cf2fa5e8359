// Helpers shared by the record writer tests: tables, file contents, temporary folders.
#pragma once
#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <pelexport/RecordWriter.h>

namespace exporttest {

inline QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

inline bool WriteAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// A row as the table shows it in "NONE" mode without the "Week" option.
inline QStringList Row(int no, const QString& id, const QString& type, const QString& event,
                       const QString& dateTime, const QString& weekday = QStringLiteral("Mon")) {
    return {QString::number(no), id, type, event, dateTime + QLatin1Char(' ') + weekday, dateTime};
}

// Two records in "NONE" mode: card type and event shown, date without weekday.
inline pelmar::RecordTable NoneTable() {
    pelmar::RecordTable t;
    t.iTrack = 0;
    using M = pelmar::RecordTableModel;
    t.Show({M::ColNo, M::ColCardId, M::ColCardType, M::ColEvent, M::ColDate});
    t.rows << Row(1, "00A1B2C3", "EM", "1", "2026/12/07 08:30:05")
           << Row(2, "0000FF01", "1K", "0", "2026/12/08 17:04:59", "Tue");
    return t;
}

} // namespace exporttest
