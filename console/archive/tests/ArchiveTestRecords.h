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
    const QDateTime base(QDate(2026, 3, 2), QTime(7, 0, 0));
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
