// Times the console's main window: start-up to the window shown (the pelmar process
// rendering its main window), resident memory with 8,192 records shown, and a display-mode
// change with 8,192 records end to end (rebuild, headers, column widths, repaint). Prints
// markdown rows "| figure | goal | measured | ratio |" for docs/performance.md.
#include "pelmar/RecordDecode.h"
#include "pelmar/ui/frmMain.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTableView>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

using namespace pelmar;

namespace {

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void Row(const char* figure, const char* goal, double goalValue, double measured,
         const char* unit) {
    std::printf("| %s | %s | %.1f %s | %.3f |\n", figure, goal, measured, unit,
                measured / goalValue);
}

long ResidentKiB() {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

void Settle() {
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);

    // 1. Start-up: the program from exec to its main window rendered (and written as a PNG,
    // which the real start does not need: an upper bound).
    const QString pelmar =
        QCoreApplication::applicationDirPath() + QStringLiteral("/../bin/pelmar");
    QTemporaryDir dir;
    std::vector<double> starts;
    for (int i = 0; i < 7; ++i) {
        QProcess p;
        QElapsedTimer t;
        t.start();
        p.start(pelmar, {QStringLiteral("--screenshot"), dir.path() + QStringLiteral("/m.png")});
        if (!p.waitForFinished(20000) || p.exitCode() != 0) {
            std::printf("| start-up to main window shown | <= 500 ms | failed | |\n");
            starts.clear();
            break;
        }
        starts.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    if (!starts.empty())
        Row("start-up to main window shown (process, median of 7)", "<= 500 ms", 500,
            Median(starts), "ms");

    // 2. Memory with 8,192 records shown.
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
    ui::frmMain w;
    w.resize(1280, 800);
    w.show();
    Settle();
    for (const QString& t : texts)
        w.Records().AppendRecord(t);
    w.fgData->scrollToBottom();
    Settle();
    const double mib = double(ResidentKiB()) / 1024.0;
    Row("resident memory, main window with 8,192 records", "<= 150 MB", 150, mib, "MiB");

    // 3. Display-mode change, end to end: the click handler and the repaint that follows.
    std::vector<double> changes;
    for (int i = 0; i < 8; ++i) {
        const int entry = (i % 2) ? 0 : 3; // "None" <-> "TK2 in Dec"
        QElapsedTimer t;
        t.start();
        w.cboMagneticCompatible->setCurrentIndex(entry);
        emit w.cboMagneticCompatible->activated(entry);
        w.fgData->viewport()->repaint();
        Settle();
        changes.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    Row("display-mode change with 8,192 records (median of 8)", "<= 150 ms", 150, Median(changes),
        "ms");
    w.blnEnd = false;
    w.close();
    return 0;
}
