// pelmar collect: every reader of a readers file downloaded (or safely erased) into the
// archive at once, each by its own `pelmar` process on its own port or device server, with
// one status line per reader and a summary; with --every, round after round until SIGTERM.
#include "ArchiveCli.h"
#include "CliOptions.h"
#include "ReadersFile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <memory>

namespace pelmar::cli {

namespace {

// The signal that asked collect to stop (0: none).
std::atomic<int> g_stop{0};
extern "C" void OnCollectStopSignal(int n) {
    g_stop = n;
}

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

namespace {

struct Tally {
    int ok = 0, failed = 0, stopped = 0;
    long added = 0, already = 0;
};

// One round: a process per reader, all at once. Prints a line per reader as it ends.
Tally CollectRound(const QList<ReaderEntry>& readers, const QString& url, bool safeErase, Io& io,
                   const CollectReport& report = {}) {
    Tally t;
    auto tell = [&](const ReaderEntry& r, const char* state, const QString& text) {
        if (report) report(r.name, QString::fromLatin1(state), text);
    };
    static const QRegularExpression summary(QStringLiteral("^(\\d+) new, (\\d+) already archived$"),
                                            QRegularExpression::MultilineOption);
    struct Job {
        const ReaderEntry* reader;
        std::unique_ptr<QProcess> proc;
        bool done = false;
    };
    std::vector<Job> jobs;
    for (const ReaderEntry& r : readers) {
        if (!r.problem.isEmpty()) {
            io.out << r.name << QStringLiteral(": failed: ") << r.problem << Qt::endl;
            tell(r, "failed", r.problem);
            ++t.failed;
            continue;
        }
        QStringList args =
            safeErase ? QStringList{"erase", "--safe", "--yes"} : QStringList{"download"};
        args << QStringLiteral("--archive=") + url << "--reader" << r.name << "--port" << r.port;
        if (!r.baud.isEmpty()) args << "--baud" << r.baud;
        auto p = std::make_unique<QProcess>();
        // The download ignores the stop word until its own handler is in place (it stops
        // after the record in flight and files what it read); the word is said again until
        // it ends.
        p->setChildProcessModifier([] { ::signal(SIGINT, SIG_IGN); });
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LORVANE_LOGIN"), r.login); // never on a command line
        p->setProcessEnvironment(env);
        p->start(QCoreApplication::applicationFilePath(), args);
        jobs.push_back({&r, std::move(p), false});
        tell(r, "collecting", QString());
    }
    // One progress line for the running readers; each reader's line as it ends.
    lorvane::Progress& progress = *io.progress;
    QStringList names;
    for (const Job& j : jobs)
        names << j.reader->name;
    progress.StartRows(QStringLiteral("Collecting"), names, QStringLiteral("records"));
    bool signalled = false;
    QElapsedTimer resend;
    for (;;) {
        bool running = false;
        for (size_t row = 0; row < jobs.size(); ++row) {
            Job& j = jobs[row];
            if (j.done) continue;
            if (j.proc->state() != QProcess::NotRunning) {
                running = true;
                continue;
            }
            j.done = true;
            const QString out = QString::fromLocal8Bit(j.proc->readAllStandardOutput());
            const QStringList errLines = QString::fromLocal8Bit(j.proc->readAllStandardError())
                                             .split('\n', Qt::SkipEmptyParts);
            const QRegularExpressionMatch m = summary.match(out);
            const bool started = j.proc->error() != QProcess::FailedToStart;
            const int code = j.proc->exitStatus() == QProcess::NormalExit ? j.proc->exitCode() : -1;
            if (m.hasMatch()) {
                t.added += m.captured(1).toLong();
                t.already += m.captured(2).toLong();
            }
            QString line;
            const char* state = "failed";
            if (started && code == 0) {
                state = "collected";
                ++t.ok;
                line += m.hasMatch() ? m.captured(0) : QStringLiteral("done");
                if (safeErase)
                    line += out.contains(QStringLiteral("No records to erase."))
                                ? QStringLiteral(", nothing to erase")
                                : QStringLiteral(", erased");
            } else if (started && code == 130 && signalled) {
                state = "stopped";
                ++t.stopped;
                line += QStringLiteral("stopped") +
                        (m.hasMatch() ? QStringLiteral(", ") + m.captured(0) : QString());
            } else {
                ++t.failed;
                line += QStringLiteral("failed: ") +
                        (!started    ? QStringLiteral("can't start %1").arg(j.proc->program())
                         : code == 5 ? QStringLiteral("Login ID refused")
                         : errLines.isEmpty() ? QStringLiteral("exit %1").arg(code)
                                              : errLines.last());
                if (m.hasMatch()) line += QStringLiteral(" (") + m.captured(0) + QLatin1Char(')');
            }
            progress.FinishRow(int(row), io.out, line);
            tell(*j.reader, state, line);
        }
        if (!running) break;
        progress.Update(0); // the time goes on
        if (g_stop != 0 && (!signalled || resend.hasExpired(200))) {
            // Each download stops after its record in flight and files what it read.
            signalled = true;
            resend.start();
            for (Job& j : jobs)
                if (!j.done && j.proc->processId() > 0) ::kill(pid_t(j.proc->processId()), SIGINT);
        }
        for (Job& j : jobs)
            if (!j.done) j.proc->waitForFinished(20);
        QCoreApplication::processEvents();
    }
    progress.Finish();
    return t;
}

} // namespace

int CollectOnce(const QList<ReaderEntry>& readers, const QString& url, Io& io,
                const CollectReport& report) {
    // A round started by another program (pelmar serve) reports through `report`; its own
    // stderr gets no progress line, only the readers' lines as a log would.
    lorvane::Progress* const outer = io.progress;
    lorvane::Progress plain(io.err, lorvane::Progress::Mode::Plain);
    if (!outer) io.progress = &plain;
    const int code = CollectRound(readers, url, false, io, report).failed ? 1 : 0;
    io.progress = outer;
    return code;
}

int CmdCollect(const QStringList& args, Io& io) {
    const Options o = Parse(GiveOptionalValue(args, "--archive"),
                            {"--readers", "--archive", "--every"}, {"--safe-erase"});
    auto usage = [&](const QString& why) {
        io.err << "pelmar: " << why << Qt::endl << Usage();
        return 2;
    };
    if (!o.error.isEmpty()) return usage(o.error);
    if (o.Value("--readers").isEmpty())
        return usage(QStringLiteral("collect needs --readers FILE"));
    qint64 every = 0;
    if (o.Has("--every")) {
        every = ParseInterval(o.Value("--every"));
        if (every < 1) return usage(QStringLiteral("--every: a time such as 90s, 15m or 1h"));
    }
    QList<ReaderEntry> readers;
    QString error;
    if (!LoadReaders(o.Value("--readers"), readers, &error)) {
        io.err << "pelmar: " << error << Qt::endl;
        return 2;
    }
    // The archive is opened (made, migrated) once here, before the readers' programs use it.
    {
        pelarchive::Archive archive;
        if (!OpenArchive(o.Value("--archive"), archive, &error)) {
            io.err << QStringLiteral("Can't archive: ") << error << Qt::endl;
            return 1;
        }
    }
    CommandProgress progress(io);
    g_stop = 0;
    auto oldTerm = std::signal(SIGTERM, OnCollectStopSignal);
    auto oldInt = std::signal(SIGINT, OnCollectStopSignal);
    int rc = 0;
    for (;;) {
        QElapsedTimer round;
        round.start();
        const Tally t = CollectRound(readers, o.Value("--archive"), o.Has("--safe-erase"), io);
        io.out << QStringLiteral(
                      "%1 readers: %2 collected, %3 failed%4; %5 new, %6 already archived")
                      .arg(readers.size())
                      .arg(t.ok)
                      .arg(t.failed)
                      .arg(t.stopped ? QStringLiteral(", %1 stopped").arg(t.stopped) : QString())
                      .arg(t.added)
                      .arg(t.already)
               << Qt::endl;
        rc = t.failed ? 1 : 0;
        if (!every || g_stop != 0) break;
        while (g_stop == 0 && round.elapsed() < every * 1000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            QThread::msleep(50);
        }
        if (g_stop != 0) break;
    }
    std::signal(SIGTERM, oldTerm);
    std::signal(SIGINT, oldInt);
    // Stopped by a signal: 128 + its number, as every pelmar command.
    if (g_stop != 0) return 128 + g_stop;
    return rc;
}

} // namespace pelmar::cli
