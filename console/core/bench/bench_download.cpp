// Download figures: the record download from the simulated reader at a given line rate,
// timed from the record count to the last record. Prints markdown rows
// "| figure | goal | measured | ratio |".
//   bench_core_download READERSIM [RECORDS] [BAUD]
#include "pelmar/core/DorlinLink.h"
#include "pelmar/core/ReaderConsole.h"

#include "dorlin/CDorlinCtrl.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <sys/resource.h>

namespace {

struct Quiet : pelmar::IUserPrompt {
    QString AskLoginId(int attempt) override { return attempt == 1 ? "4826" : QString(); }
    QString AskNewLoginId() override { return {}; }
    bool AskYesNo(const QString&) override { return false; }
    void ShowMessage(pelmar::MsgKind, const QString& text, const QString&) override {
        std::fprintf(stderr, "%s\n", qPrintable(text));
    }
};

double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Bytes of the frames in the simulator's log lines ("RX <STX>G<CR>"): each <..> token is
// one byte on the wire, every other character one byte.
long FrameBytes(const QStringList& lines) {
    long n = 0;
    for (const QString& l : lines) {
        if (!l.startsWith("RX ") && !l.startsWith("TX ")) continue;
        QString f = l.mid(3);
        for (int i = 0; i < f.size(); ++i) {
            if (f[i] == '<') {
                int close = int(f.indexOf('>', i));
                if (close > i) i = close;
            }
            ++n;
        }
    }
    return n;
}

QStringList ReadLog(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromLatin1(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_core_download READERSIM [RECORDS] [BAUD]\n");
        return 2;
    }
    const QString sim = argv[1];
    const int records = argc > 2 ? atoi(argv[2]) : 2000;
    const int baud = argc > 3 ? atoi(argv[3]) : 115200;
    QTemporaryDir dir;
    const QString link = dir.path() + "/reader", log = dir.path() + "/wire.log";
    QProcess reader;
    reader.start(sim, {"--pty", link, "--records", QString::number(records), "--baud",
                       QString::number(baud), "--log", log});
    for (int i = 0; i < 500 && !QFileInfo::exists(link); ++i)
        QThread::msleep(10);

    CDorlinCtrl ctrl(nullptr, false);
    pelmar::DorlinLink dl(&ctrl);
    Quiet prompt;
    pelmar::ReaderConsole console(&dl, prompt);
    ctrl.SetRnetTimeout(1000);
    ctrl.SetBaudRate(baud);
    if (console.OpenReader(link) != pelmar::ConnectResult::Connected) {
        std::printf("| download of %d records | - | no reader | - |\n", records);
        return 1;
    }
    const qsizetype logBefore = ReadLog(log).size();
    console.blnStop1 = true;
    long got = 0;
    QElapsedTimer wall;
    const double cpu0 = CpuSeconds();
    wall.start();
    pelmar::DownloadResult res = console.UploadKt9Record([&](long, const QString&) { ++got; });
    const double secs = double(wall.nsecsElapsed()) / 1e9;
    const double cpu = CpuSeconds() - cpu0;
    ctrl.SetPortOpen(false);
    reader.terminate();
    reader.waitForFinished(3000);

    QStringList lines = ReadLog(log).mid(logBefore);
    const long bytes = FrameBytes(lines);
    const double lineSecs = double(bytes) * 10.0 / double(baud);
    if (got != records || res.outcome != pelmar::DownloadOutcome::Complete) {
        std::printf("| download of %d records | - | only %ld read | - |\n", records, got);
        return 1;
    }
    std::printf("| download of %d records at %d baud: wall time / line-rate time of the %ld "
                "bytes exchanged | <= 1.05 | %.2f s / %.2f s | %.2f |\n",
                records, baud, bytes, secs, lineSecs, secs / lineSecs);
    std::printf("| download of %d records: console CPU time / wall time | <= 10 %% | %.2f s / "
                "%.2f s = %.1f %% | %.2f |\n",
                records, cpu, secs, 100.0 * cpu / secs, (cpu / secs) / 0.10);
    return 0;
}
