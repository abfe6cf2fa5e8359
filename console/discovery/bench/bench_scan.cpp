// Scan figures: 16 simulated readers on pseudo-terminals at one baud rate, one of which
// answers. Measures the time from the start of the scan to its end and the processor time
// the console (all its threads) used meanwhile. Prints markdown table rows.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <pelmar/discovery/ScanEngine.h>
#include <pelmar/discovery/frmAutoScan.h>
#include <sys/resource.h>
#include <vector>

using namespace pelmar::discovery;

namespace {

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const QString sim = QCoreApplication::applicationDirPath() + "/../bin/readersim";
    const int kReaders = 16;
    QTemporaryDir dir;
    std::vector<std::unique_ptr<QProcess>> sims;
    QStringList ports;
    for (int i = 0; i < kReaders; ++i) {
        const QString link = dir.path() + QStringLiteral("/r%1").arg(i);
        auto p = std::make_unique<QProcess>();
        QStringList args{"--pty", link};
        args << (i == kReaders / 2 ? QStringList{"--unlocked"} : QStringList{"--silent"});
        p->start(sim, args);
        sims.push_back(std::move(p));
        ports << QStringLiteral("COM%1=%2").arg(301 + i).arg(link);
    }
    QElapsedTimer wait;
    wait.start();
    for (int i = 0; i < kReaders; ++i)
        while (!QFileInfo::exists(dir.path() + QStringLiteral("/r%1").arg(i)) &&
               wait.elapsed() < 20000) {
            QEventLoop l;
            QTimer::singleShot(10, &l, &QEventLoop::quit);
            l.exec();
        }
    qputenv("DORLIN_PORTS", ports.join(',').toLocal8Bit());

    ScanEngine engine(
        ScanParams{Kt9FirmwareList(), Kt9DeviceLabel(), Kt9ProbeCommand(), "19200", ""});
    QEventLoop loop;
    QObject::connect(&engine, &ScanEngine::ScanComplete, &loop, &QEventLoop::quit);
    qint64 foundAt = -1;
    QElapsedTimer clock;
    QObject::connect(&engine, &ScanEngine::RowChanged, [&](int row) {
        if (foundAt < 0 && engine.IsFound(row)) foundAt = clock.elapsed();
    });
    const double cpu0 = CpuSeconds();
    clock.start();
    engine.Refresh();
    loop.exec();
    const double wall = double(clock.elapsed()) / 1000.0;
    const double cpu = CpuSeconds() - cpu0;
    int ours = 0;
    for (int i = 0; i < engine.Count(); ++i)
        if (engine.RowText(i).mid(3).toInt() >= 301) ++ours;
    const double share = 100.0 * cpu / wall;
    std::printf("| scan of %d pty candidates (%d listed), one answers: start to end | <= 3.5 s | "
                "%.2f s | %.2f |\n",
                ours, engine.Count(), wall, wall / 3.5);
    std::printf("| console CPU during that scan (all threads) | <= 10 %% of one core | %.1f %% | "
                "%.2f |\n",
                share, share / 10.0);
    std::printf("| the answering reader shown as found | (info) | %.2f s | |\n",
                double(foundAt) / 1000.0);
    std::printf("| readers found | 1 | %d | |\n", engine.FoundCount());
    for (auto& p : sims) {
        p->terminate();
        p->waitForFinished(3000);
    }
    return engine.FoundCount() == 1 ? 0 : 1;
}
