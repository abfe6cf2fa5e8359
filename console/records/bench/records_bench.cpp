// Times the record table's row building and the ID conversions; prints markdown rows
// "| figure | goal | measured | ratio |" for docs/performance.md.
#include "pelmar/NumberConvert.h"
#include "pelmar/RecordDecode.h"
#include "pelmar/RecordTableModel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTableView>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

using namespace pelmar;

namespace {

// Best of `runs` timings in milliseconds.
double BestMs(int runs, const std::function<void()>& setup, const std::function<void()>& work) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        setup();
        QElapsedTimer t;
        t.start();
        work();
        best = std::min(best, static_cast<double>(t.nsecsElapsed()) / 1e6);
    }
    return best;
}

void Row(const char* figure, double goalMs, double ms) {
    std::printf("| %s | <= %.0f ms | %.2f ms | %.3f |\n", figure, goalMs, ms, ms / goalMs);
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const int n = 8192;
    QStringList texts;
    for (int i = 0; i < n; ++i) {
        const QString reply = QStringLiteral("A2026120708%1 %2%3%4%5")
                                  .arg(i % 10000, 4, 10, QChar(u'0'))
                                  .arg(i % 7)
                                  .arg(QChar(u"123456789A"[i % 10]))
                                  .arg(i % 10)
                                  .arg(static_cast<uint>(i) * 2654435761u, 8, 16, QChar(u'0'));
        QString text;
        DecodeKt9Record(reply.toUpper(), 255, text, nullptr, 2026);
        texts << text;
    }
    clsSaveOptions options;
    options.SetEventNames(1, QStringLiteral("IN"));

    RecordTableModel model;
    model.SetSaveOptions(options);
    const double build = BestMs(
        5, [&] { model.ClearRecords(); },
        [&] {
            for (int i = 0; i < n; ++i)
                model.AppendRecord(texts[i]);
        });
    Row("build 8,192 rows (store + row per record)", 100, build);

    int mode = 0;
    const double change = BestMs(
        7, [&] { mode = mode == 3 ? 0 : 3; }, [&] { model.SetDisplayMode(mode); });
    Row("display-mode change rebuilding 8,192 rows", 100, change);

    // The same with a table view attached, as the main window shows it.
    RecordTableModel shown;
    shown.SetSaveOptions(options);
    QTableView view;
    view.setModel(&shown);
    view.resize(800, 600);
    view.show();
    const double buildShown = BestMs(
        3,
        [&] {
            shown.ClearRecords();
            QCoreApplication::processEvents();
        },
        [&] {
            for (int i = 0; i < n; ++i)
                shown.AppendRecord(texts[i]);
            QCoreApplication::processEvents();
        });
    Row("build 8,192 rows into a shown table view", 100, buildShown);
    const double changeShown = BestMs(
        5, [&] { mode = mode == 3 ? 0 : 3; },
        [&] {
            shown.SetDisplayMode(mode);
            QCoreApplication::processEvents();
        });
    Row("display-mode change with a shown table view", 100, changeShown);

    QString hex, dec;
    for (int i = 0; i < 1000; ++i) {
        hex += QChar(u"0123456789ABCDEF"[(i * 7 + 3) % 16]);
        dec += QChar(u'0' + (i * 3 + 1) % 10);
    }
    QString out;
    const double h2d = BestMs(
        9, [] {}, [&] { out = HexToDec(hex); });
    Row("HexToDec of a 1,000-digit number", 10, h2d);
    const double d2h = BestMs(
        9, [] {}, [&] { out = DecToHex(dec); });
    Row("DecToHex of a 1,000-digit number", 10, d2h);
    return (model.rowCount() == n && !out.isEmpty()) ? 0 : 1;
}
