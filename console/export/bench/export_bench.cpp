// Times the record writers on 8,192 rows (the reader's whole record store) and adding a sheet
// to a large workbook; prints markdown rows "| figure | goal | measured | ratio |".
#include <pelexport/RecordWriter.h>
#include <pelexport/Workbook.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

using namespace pelmar;

namespace {

constexpr int kRows = 8192;

RecordTable Table(int track, int rows) {
    RecordTable t;
    t.iTrack = track;
    using M = RecordTableModel;
    if (track == 0)
        t.Show({M::ColNo, M::ColCardId, M::ColCardType, M::ColEvent, M::ColDate});
    else
        t.Show({M::ColNo, M::ColCardId, M::ColDate});
    for (int i = 1; i <= rows; ++i) {
        const QString id =
            QStringLiteral("%1").arg(0xA1B2C300u + i, 8, 16, QLatin1Char('0')).toUpper();
        const QString dt = QStringLiteral("2026/12/%1 %2:%3:%4")
                               .arg(1 + i % 28, 2, 10, QLatin1Char('0'))
                               .arg(i % 24, 2, 10, QLatin1Char('0'))
                               .arg(i % 60, 2, 10, QLatin1Char('0'))
                               .arg((i * 7) % 60, 2, 10, QLatin1Char('0'));
        t.rows << QStringList{QString::number(i),
                              track ? ";" + id + "?" : id,
                              "EM",
                              QString::number(i % 10),
                              dt + " Mon",
                              dt};
    }
    return t;
}

// Median of five runs, in milliseconds; prepare runs untimed before each run.
double Median(const std::function<void()>& prepare, const std::function<bool()>& run) {
    std::vector<double> ms;
    for (int i = 0; i < 5; ++i) {
        prepare();
        QElapsedTimer timer;
        timer.start();
        if (!run()) {
            std::fprintf(stderr, "export_bench: a save failed\n");
            return -1;
        }
        ms.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

void Row(const char* figure, double goalMs, double ms) {
    std::printf("| %s | ≤ %.0f ms | %.1f ms | %.2f |\n", figure, goalMs, ms, ms / goalMs);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const RecordTable none = Table(0, kRows);
    const RecordTable track = Table(2, kRows);
    ExportOptions o;
    o.szFormatFile = dir.filePath("none.ini"); // the default template
    o.IsAddMachineID = true;
    o.IsAddUserName = true;
    SaveHooks h;
    h.fetchMachineID = [](QString* s) {
        *s = "1";
        return true;
    };
    h.fetchUserName = [](QString* s) {
        *s = "Front door";
        return true;
    };
    auto fresh = [&](const QString& name) {
        return [&dir, name] { QFile::remove(dir.filePath(name)); };
    };
    auto save = [&](const QString& name, const RecordTable& t) {
        return [&, name] { return SaveRecords(dir.filePath(name), t, o, h).bOk; };
    };

    Row("TXT with the default template, 8,192 rows", 50,
        Median(fresh("a.txt"), save("a.txt", none)));
    Row("CSV, 8,192 rows", 50, Median(fresh("a.csv"), save("a.csv", none)));
    Row("ISO (TK2), 8,192 rows", 50, Median(fresh("a.iso"), save("a.iso", track)));
    Row("new workbook, 8,192 rows", 500, Median(fresh("a.xlsx"), save("a.xlsx", none)));

    // A workbook that already holds a 50,000-row sheet gains a sheet of 8,192 rows.
    const QString big = dir.filePath("big.xlsx");
    {
        ExcelWorkbook book;
        book.ExcelOpen(big);
        const RecordTable rows = Table(0, 50000);
        for (const QStringList& r : rows.rows)
            book.ExcelWriteFormattedRow({{r[1], kXlFmtText},
                                         {r[2], kXlFmtText},
                                         {r[3], kXlFmtText},
                                         {r[5], kXlFmtDateTime}});
        book.ExcelFinish();
        if (!book.ExcelSave()) {
            std::fprintf(stderr, "export_bench: %s\n", qPrintable(book.errorString()));
            return 1;
        }
    }
    const QString copy = dir.filePath("copy.xlsx");
    Row("add a sheet of 8,192 rows to a 50,000-row workbook", 2000,
        Median(
            [&] {
                QFile::remove(copy);
                QFile::copy(big, copy);
            },
            [&] { return SaveRecords(copy, none, o, h).bOk; }));
    return 0;
}
