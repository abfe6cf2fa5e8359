// pelmar collect: every reader of a readers file downloaded (or safely erased) into the
// archive at once by this one process (CollectRound: a thread per reader on its own port or
// device server), with one status line per reader and a summary; with --every, round after
// round until SIGTERM.
#include "ArchiveCli.h"
#include "CliOptions.h"
#include "CollectRound.h"
#include "PelmarCli.h"
#include "ReadersFile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>
#include <atomic>
#include <csignal>

namespace pelmar::cli {

namespace {

// The signal that asked collect to stop (0: none).
std::atomic<int> g_stop{0};
extern "C" void OnCollectStopSignal(int n) {
    g_stop = n;
}

// SIGTERM, Ctrl-C and SIGHUP ask collect to stop while it lives.
class StopHandlers {
public:
    StopHandlers() {
        g_stop = 0;
        for (int i = 0; i < 3; ++i)
            old_[i] = std::signal(kSignals[i], OnCollectStopSignal);
    }
    ~StopHandlers() {
        for (int i = 0; i < 3; ++i)
            std::signal(kSignals[i], old_[i]);
    }
    StopHandlers(const StopHandlers&) = delete;
    StopHandlers& operator=(const StopHandlers&) = delete;

private:
    static constexpr int kSignals[3] = {SIGTERM, SIGINT, SIGHUP};
    void (*old_[3])(int);
};

} // namespace

qint64 ParseInterval(const QString& text) {
    static const QRegularExpression re(QStringLiteral("^(\\d+)\\s*([smh]?)$"));
    const QRegularExpressionMatch m = re.match(text.trimmed().toLower());
    if (!m.hasMatch()) return 0;
    const qint64 n = m.captured(1).toLongLong();
    const QString unit = m.captured(2);
    return unit == QLatin1String("h") ? n * 3600 : unit == QLatin1String("m") ? n * 60 : n;
}

bool LoadReaders(const QString& path, QList<ReaderEntry>& readers, QString* error) {
    const QFileInfo info(path);
    if (!info.isFile() || !info.isReadable()) {
        *error = QStringLiteral("can't read the readers file %1").arg(path);
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("can't read the readers file %1").arg(path);
        return false;
    }
    bool holdsLogin = false;
    if (!ParseReaders(file.readAll(), path, qEnvironmentVariable("LORVANE_LOGIN"), readers,
                      &holdsLogin, error))
        return false;
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                            QFileDevice::ReadOther | QFileDevice::WriteOther;
    if (holdsLogin && (info.permissions() & others)) {
        *error = QStringLiteral("the readers file %1 holds Login IDs and others may read it: "
                                "make it readable by its owner only (chmod 600 %1)")
                     .arg(path);
        return false;
    }
    return true;
}

RoundResult CollectOnce(const QList<ReaderEntry>& readers, const QString& url, Io& io,
                        const CollectReport& report, const std::function<int()>& stop) {
    // A round started by another program (pelmar serve) reports through `report`; its own
    // stderr gets no progress line, only the readers' lines as a log would.
    lorvane::Progress* const outer = io.progress;
    lorvane::Progress plain(io.err, lorvane::Progress::Mode::Plain);
    if (!outer) io.progress = &plain;
    RoundOptions options;
    options.url = url;
    options.report = report;
    options.stopSignal = stop;
    const RoundResult round = RunCollectRound(readers, options, io);
    io.progress = outer;
    return round;
}

int CmdCollect(const QStringList& args, Io& io) {
    const Options o =
        Parse(GiveOptionalValue(args, "--archive"), OptionsOf(QStringLiteral("collect")));
    auto usage = [&](const QString& why) {
        io.err << "pelmar: " << why << Qt::endl << Usage();
        return 2;
    };
    if (!o.error.isEmpty()) return usage(o.error);
    if (o.Value("--readers").isEmpty())
        return usage(QStringLiteral("collect needs --readers FILE"));
    const qint64 every = o.Has("--every") ? ParseInterval(o.Value("--every")) : 0;
    // The handlers are in place before the archive or any reader is spoken to: a stop at any
    // moment ends each reader after its record in flight, with what it read filed.
    const StopHandlers handlers;
    QList<ReaderEntry> readers;
    QString error;
    if (!LoadReaders(o.Value("--readers"), readers, &error)) {
        io.err << "pelmar: " << error << Qt::endl;
        return 2;
    }
    // The archive is opened (made, migrated) once here, before each reader's thread opens a
    // connection of its own.
    {
        pelarchive::Archive archive;
        if (!OpenArchive(o.Value("--archive"), archive, &error)) {
            io.err << QStringLiteral("Can't archive: ") << error << Qt::endl;
            return 1;
        }
    }
    CommandProgress progress(io);
    RoundOptions options;
    options.url = o.Value("--archive");
    options.safeErase = o.Has("--safe-erase");
    options.stopSignal = [] { return int(g_stop); };
    int rc = 0;
    for (;;) {
        QElapsedTimer round;
        round.start();
        const RoundResult t = RunCollectRound(readers, options, io);
        io.out << t.SummaryLine(int(readers.size())) << Qt::endl;
        rc = t.failed ? kExitFailed : kExitOk;
        if (!every || g_stop != 0) break;
        while (g_stop == 0 && round.elapsed() < every * 1000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            QThread::msleep(50);
        }
        if (g_stop != 0) break;
    }
    // Stopped by a signal: 128 + its number, as every pelmar command.
    if (g_stop != 0) return 128 + g_stop;
    return rc;
}

} // namespace pelmar::cli
