// Fills an archive for the browser tests and the benchmark: web_seed URL PUNCHES [READERS]
// files PUNCHES punches spread over READERS readers (default 4), 50 cards each punching
// several times a day, one download per reader; drifts of +3 s, -75 s, 0 s ... by reader.
#include <pelarchive/Archive.h>
#include <pelarchive/ArchiveUrl.h>

#include <QCoreApplication>
#include <QDateTime>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: web_seed ARCHIVE-URL PUNCHES [READERS]\n");
        return 2;
    }
    pelarchive::ArchiveLocation where;
    QString error;
    pelarchive::Archive a;
    if (!pelarchive::ParseArchiveUrl(QString::fromLocal8Bit(argv[1]), where, &error) ||
        !a.Open(where, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const long total = QByteArray(argv[2]).toLong();
    const int readers = argc > 3 ? QByteArray(argv[3]).toInt() : 4;
    const long each = total / readers;
    static const qint64 drifts[] = {3, -75, 0, 12};
    for (int r = 0; r < readers; ++r) {
        QStringList records;
        records.reserve(each);
        const QDateTime base(QDate(2026, 3, 2), QTime(6, 0, 0));
        for (long i = 0; i < each; ++i) {
            // 50 cards a reader; a card punches every 13 minutes or so, spread over days.
            const QDateTime t = base.addSecs(i * 61 + r * 7);
            const QString card =
                QStringLiteral("%1")
                    .arg(0x3D994000u + unsigned(r * 50 + i % 50), 9, 16, QLatin1Char('0'))
                    .toUpper();
            records << QStringLiteral("A0000,\x01") + QString::number(t.date().dayOfWeek() % 7) +
                           QChar(char16_t(u'1' + r % 9)) + QChar(char16_t(u'0' + i % 4)) + card +
                           QChar(4) + t.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss"));
        }
        pelarchive::ReaderIdentity id;
        id.name = QStringLiteral("Gate %1").arg(r + 1);
        id.port = QStringLiteral("IP:10.0.4.%1").arg(21 + r);
        id.machineId = QString::number(r + 1);
        id.firmware = QStringLiteral("LV-2.%1").arg(r);
        pelarchive::DownloadOutcome d;
        d.started = d.ended = QDateTime::currentDateTime();
        d.read = d.reported = records.size();
        d.outcome = QStringLiteral("complete");
        const pelarchive::StoreResult s = a.StoreDownload(id, d, records);
        if (!s.ok || !a.SetDrift(id, drifts[r % 4], &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(s.ok ? error : s.error));
            return 1;
        }
    }
    std::printf("%ld punches on %d readers\n", each * readers, readers);
    return 0;
}
