#include "CollectRound.h"

#include "pelarchive/ReaderArchive.h"
#include "pelmar/core/ReaderConsole.h"
#include "pelmar/core/RnetReaderLink.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <lvlang/modLanguage.h>
#include <memory>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <vector>

namespace pelmar::cli {

QString ReaderOutcome::StateText() const {
    switch (state) {
    case State::Collected:
        return QStringLiteral("collected");
    case State::Stopped:
        return QStringLiteral("stopped");
    case State::Failed:
        break;
    }
    return QStringLiteral("failed");
}

QString ReaderOutcome::StatusLine(bool safeErase) const {
    pelarchive::StoreResult counts;
    counts.added = added;
    counts.already = already;
    counts.undated = undated;
    const QString filing = filed ? pelarchive::FilingSummary(counts) : QString();
    switch (state) {
    case State::Collected: {
        QString line = filed ? filing : QStringLiteral("done");
        if (safeErase)
            line += erased ? QStringLiteral(", erased") : QStringLiteral(", nothing to erase");
        return line;
    }
    case State::Stopped:
        return QStringLiteral("stopped") + (filed ? QStringLiteral(", ") + filing : QString());
    case State::Failed:
        break;
    }
    return QStringLiteral("failed: ") + reason +
           (filed ? QStringLiteral(" (") + filing + QLatin1Char(')') : QString());
}

QString RoundResult::SummaryLine(int readerCount) const {
    return QStringLiteral("%1 readers: %2 collected, %3 failed%4; %5 new, %6 already archived")
        .arg(readerCount)
        .arg(collected)
        .arg(failed)
        .arg(stopped ? QStringLiteral(", %1 stopped").arg(stopped) : QString())
        .arg(added)
        .arg(already);
}

namespace {

using pelarchive::ArchiveJob;

// A reader's count as its thread sees it, for the progress line the round's thread draws.
struct RowCount {
    std::atomic<long> done{-1}, expected{-1};
};

// What the reader operations ask and show, for a reader of the round: the section's Login ID
// once, yes to the safe erase's question (the round was asked to erase), the last failure
// message kept as the reason, and the record counter as the row's progress.
class RoundPrompt : public IUserPrompt {
public:
    RoundPrompt(QString login, RowCount& row) : login_(std::move(login)), row_(row) {}
    QString AskLoginId(int attempt) override { return attempt == 1 ? login_ : QString(); }
    QString AskNewLoginId() override { return QString(); }
    bool AskYesNo(const QString&) override { return true; }
    void ShowMessage(MsgKind kind, const QString& text, const QString&) override {
        if (kind == MsgKind::Critical || kind == MsgKind::Exclamation) lastFailure = text;
    }
    // "done / count" (a count of 0: not known).
    void SetCounter(const QString& text) override {
        const QStringList parts = text.split(QLatin1Char('/'));
        if (parts.size() != 2) return;
        const long done = parts[0].trimmed().toLong(), count = parts[1].trimmed().toLong();
        if (done == 0 && count == 0) return; // the record store emptied, not progress
        row_.expected = count > 0 ? count : -1;
        row_.done = done;
    }
    QString lastFailure;

private:
    QString login_;
    RowCount& row_;
};

// The exit code of how a download ended (a stopped one: 128 + the signal, given apart).
int DownloadCode(DownloadOutcome outcome) {
    struct Entry {
        DownloadOutcome outcome;
        int code;
    };
    static const Entry table[] = {
        {DownloadOutcome::Complete, kExitOk},        {DownloadOutcome::Incomplete, kExitIncomplete},
        {DownloadOutcome::Refused, kExitRefused},    {DownloadOutcome::LinkLost, kExitNoReader},
        {DownloadOutcome::Stopped, kExitSignalBase},
    };
    for (const Entry& e : table)
        if (e.outcome == outcome) return e.code;
    return kExitFailed;
}

QString NoReaderText(const QString& port) {
    return QStringLiteral("no reader answered on %1 (check the cable, the reader's power and "
                          "its baud rate)")
        .arg(port);
}

// A reader that did not connect: its code and reason.
void ConnectFailed(ReaderOutcome& o, ConnectResult r, const QString& port, IReaderLink& link) {
    switch (r) {
    case ConnectResult::Connected:
        return;
    case ConnectResult::NoPort:
        o.code = kExitUsage;
        o.reason = QStringLiteral("the port %1 is not COMn, a device path, IP:a.b.c.d or "
                                  "IP:a.b.c.d:port")
                       .arg(port);
        return;
    case ConnectResult::OpenFailed:
        o.code = kExitPortNotOpen;
        o.reason = link.PortErrorText();
        if (o.reason.isEmpty()) o.reason = QStringLiteral("can't open the port %1").arg(port);
        return;
    case ConnectResult::NoReader:
        o.code = kExitNoReader;
        o.reason = NoReaderText(port);
        return;
    case ConnectResult::Refused:
        o.code = kExitLoginRefused;
        o.reason = QStringLiteral("Login ID refused");
        return;
    case ConnectResult::Cancelled:
        o.code = kExitUsage;
        o.reason = QStringLiteral("no Login ID (a Login key or LORVANE_LOGIN)");
        return;
    }
}

void Stopped(ReaderOutcome& o, int signal) {
    o.state = ReaderOutcome::State::Stopped;
    o.code = kExitSignalBase + signal;
    o.reason.clear();
}

// One reader, start to end, in the calling thread: connect and log in, then the download
// with the archive (PrepareArchive, UploadKt9Record, ResumeDownload, ArchiveDownload) or the
// safe erase, as `pelmar download --archive` and `erase --safe` do; log out.
ReaderOutcome CollectReader(const ReaderEntry& r, const RoundOptions& options,
                            const std::atomic<int>& stop, RowCount& row) {
    ReaderOutcome o;
    o.reader = r.name;
    if (stop != 0) {
        Stopped(o, stop);
        return o;
    }
    RoundPrompt prompt(r.login, row);
    RnetReaderLink link;
    // A reader may take up to 1.5 s to answer (a slow line, a busy reader).
    link.SetRnetTimeout(kReplyTimeoutMs);
    if (!r.baud.isEmpty()) link.SetBaudRate(r.baud.toLong());
    ReaderConsole rc(&link, prompt);
    const ConnectResult connected = rc.OpenReader(r.port);
    if (connected != ConnectResult::Connected) {
        ConnectFailed(o, connected, r.port, link);
        return o;
    }
    // Logged out at the end, as the window does when it closes.
    struct LogOut {
        RnetReaderLink& link;
        ~LogOut() {
            if (link.PortOpen()) {
                link.Logout();
                link.SetPortOpen(false);
            }
        }
    } logOut{link};

    const auto stopping = [&stop] { return stop != 0; };
    ArchiveJob job{options.url, r.name, r.port, {}, {}};
    job.stopRequested = stopping;
    QString failure; // the last failure the archive side said
    const pelarchive::Say say = [&failure](bool failed, const QString& text) {
        if (failed) failure = text;
    };
    auto takeFiled = [&] {
        o.filed = job.filed.ok;
        o.added = job.filed.added;
        o.already = job.filed.already;
        o.undated = job.filed.undated;
    };
    auto fail = [&](int code, const QString& why) {
        o.state = ReaderOutcome::State::Failed;
        o.code = code;
        o.reason = why;
        return o;
    };

    if (stop != 0) {
        // Told to stop while connecting: nothing read, nothing to file.
        Stopped(o, stop);
        return o;
    }
    if (options.safeErase) {
        const int code = pelarchive::SafeErase(rc, job, say);
        takeFiled();
        o.read = job.filed.ok ? job.filed.added + job.filed.already : 0;
        o.erased = job.erased;
        if (code == pelarchive::kSafeErased) {
            o.state = ReaderOutcome::State::Collected;
            o.code = kExitOk;
            return o;
        }
        // Stopped (every record read is in the archive then).
        if (job.stopped && stop != 0) {
            Stopped(o, stop);
            return o;
        }
        return fail(code, failure.isEmpty() ? QStringLiteral("not erased") : failure);
    }

    if (pelarchive::PrepareArchive(rc, job, say) != 0) return fail(kExitFailed, failure);
    const QDateTime started = QDateTime::currentDateTime();
    QStringList records;
    rc.blnStop1 = true;
    const ReaderConsole::RecordSink sink = [&](long, const QString& rec) {
        records << rec;
        // Stops after this record, the one in flight.
        if (stop != 0) rc.Stop();
    };
    DownloadResult res = rc.UploadKt9Record(sink);
    const int resumes = pelarchive::ResumeDownload(rc, r.port, res, sink, say, stopping);
    o.read = long(records.size());
    const int archived = pelarchive::ArchiveDownload(job, res, started, records, say, resumes);
    takeFiled();
    // What was read and could not be filed fails the reader, however its download ended.
    if (archived != 0) return fail(kExitFailed, failure);
    switch (res.outcome) {
    case DownloadOutcome::Complete:
        o.state = ReaderOutcome::State::Collected;
        o.code = kExitOk;
        return o;
    case DownloadOutcome::Stopped:
        Stopped(o, stop != 0 ? int(stop) : SIGINT);
        return o;
    case DownloadOutcome::LinkLost:
        // "no reader answered" only when none did; a reader that went quiet part-way says so.
        return fail(kExitNoReader, res.read == 0 && res.next == 0 ? NoReaderText(r.port) : res.why);
    default:
        return fail(DownloadCode(res.outcome), res.why);
    }
}

// What the readers' threads hand to the round's thread: a reader started (no outcome) or
// ended.
struct Event {
    int row;
    std::optional<ReaderOutcome> outcome;
};

struct Shared {
    std::atomic<int> stop{0};
    std::atomic<int> next{0};
    std::mutex lock;
    std::condition_variable wake;
    std::vector<Event> events;

    int exited = 0; // readers' threads that are done with everything here

    // Notified under the lock: once the round's thread holds the lock again, the poster is
    // done with this object, so the round may end (and free it) as soon as it sees the last.
    void Post(Event e) {
        const std::lock_guard<std::mutex> hold(lock);
        events.push_back(std::move(e));
        wake.notify_one();
    }
    void Exit() {
        const std::lock_guard<std::mutex> hold(lock);
        ++exited;
        wake.notify_one();
    }
};

} // namespace

RoundResult RunCollectRound(const QList<ReaderEntry>& readers, const RoundOptions& options,
                            Io& io) {
    RoundResult result;
    auto tell = [&](const QString& reader, const QString& state, const QString& text) {
        if (options.report) options.report(reader, state, text);
    };
    auto count = [&](const ReaderOutcome& o) {
        switch (o.state) {
        case ReaderOutcome::State::Collected:
            ++result.collected;
            break;
        case ReaderOutcome::State::Stopped:
            ++result.stopped;
            break;
        case ReaderOutcome::State::Failed:
            ++result.failed;
            break;
        }
        if (o.filed) {
            result.added += o.added;
            result.already += o.already;
        }
        result.readers << o;
    };
    // Readers the file already says can't be collected: their line at once.
    QList<const ReaderEntry*> jobs;
    for (const ReaderEntry& r : readers) {
        if (r.problem.isEmpty()) {
            jobs << &r;
            continue;
        }
        ReaderOutcome o;
        o.reader = r.name;
        o.code = kExitUsage;
        o.reason = r.problem;
        const QString line = o.StatusLine(options.safeErase);
        io.out << r.name << QStringLiteral(": ") << line << Qt::endl;
        tell(r.name, o.StateText(), line);
        count(o);
    }
    lorvane::Progress& progress = *io.progress;
    QStringList names;
    for (const ReaderEntry* r : jobs)
        names << r->name;
    progress.StartRows(QStringLiteral("Collecting"), names, QStringLiteral("records"));

    Shared shared;
    std::unique_ptr<RowCount[]> rows(new RowCount[size_t(jobs.size()) + 1]);
    auto work = [&] {
        for (;;) {
            const int i = shared.next.fetch_add(1);
            if (i >= jobs.size()) return shared.Exit();
            shared.Post({i, std::nullopt});
            shared.Post({i, CollectReader(*jobs[i], options, shared.stop, rows[size_t(i)])});
        }
    };
    // The shared language texts are made here, on the program's thread (the readers' threads
    // then only look texts up, one at a time).
    lvlang::LanguageObject();
    // The stop signals go to this thread alone: the readers' threads (and the threads their
    // links start) are made with them blocked, and learn of a stop through `shared.stop`.
    sigset_t stopSignals, before;
    sigemptyset(&stopSignals);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stopSignals, s);
    pthread_sigmask(SIG_BLOCK, &stopSignals, &before);
    std::vector<std::unique_ptr<QThread>> threads;
    const int threadCount =
        int(std::min<qsizetype>(jobs.size(), std::max(1, options.readersAtOnce)));
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back(QThread::create(work));
        threads.back()->start();
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);

    std::vector<bool> ended(size_t(jobs.size()), false);
    std::vector<long> shown(size_t(jobs.size()), -2);
    qsizetype endedCount = 0;
    while (endedCount < jobs.size()) {
        if (options.stopSignal && shared.stop == 0)
            if (const int s = options.stopSignal()) shared.stop = s;
        std::vector<Event> events;
        {
            std::unique_lock<std::mutex> hold(shared.lock);
            shared.wake.wait_for(hold, std::chrono::milliseconds(20),
                                 [&] { return !shared.events.empty(); });
            events.swap(shared.events);
        }
        for (Event& e : events) {
            const QString& name = jobs[e.row]->name;
            if (!e.outcome) {
                tell(name, QStringLiteral("collecting"), QString());
                continue;
            }
            const ReaderOutcome& o = *e.outcome;
            const QString line = o.StatusLine(options.safeErase);
            progress.FinishRow(e.row, io.out, line);
            tell(name, o.StateText(), line);
            count(o);
            ended[size_t(e.row)] = true;
            ++endedCount;
        }
        for (qsizetype i = 0; i < jobs.size(); ++i) {
            const long done = rows[size_t(i)].done;
            if (ended[size_t(i)] || done == shown[size_t(i)]) continue;
            shown[size_t(i)] = done;
            progress.UpdateRow(int(i), done, rows[size_t(i)].expected);
        }
        if (endedCount < jobs.size()) progress.Update(0); // the time goes on
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    // Every thread says when it is done with the round's objects (under the lock, which
    // orders it for every checker of threads too); then the threads themselves end.
    {
        std::unique_lock<std::mutex> hold(shared.lock);
        shared.wake.wait(hold, [&] { return shared.exited == threadCount; });
    }
    for (auto& t : threads)
        t->wait();
    progress.Finish();
    return result;
}

} // namespace pelmar::cli
