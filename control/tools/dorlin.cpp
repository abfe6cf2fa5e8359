// dorlin: scripts a reader through the link control's dispatch interface.
//
//   dorlin [OPTION...] STEP...      the steps, run by dorlin::ScriptRunner (libdorlin)
//   dorlin dispids | dorlin ports
//
// The options, their accepted values, the help and the exit codes are the tables of
// DorlinCommandLine.cpp; this file opens the port, shows file transfers on the terminal and
// turns Ctrl+C into the transfer's Cancel.
#include <QApplication>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QStringList>
#include <QTextStream>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "dorlin/CDorlinCtrl.h"
#include "dorlin/PortWatcher.h"
#include "dorlin/ScriptRunner.h"
#include "lorvane/ProgramSupport.h"
#include "lorvane/Progress.h"

#include "DorlinCommandLine.h"

namespace cli = dorlin::cli;

namespace {

// The progress line of a running file transfer, which every stderr line clears first.
lorvane::Progress* g_progress = nullptr;

void Out(const QByteArray& line) {
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Err(const QByteArray& line) {
    if (g_progress) g_progress->Clear();
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

// Ctrl+C and SIGTERM. They are blocked in every thread (threads inherit the mask of the main
// thread, which blocks them before it starts any), and the main thread takes them from a
// signalfd in its event loop: during a file transfer, whose loop keeps dispatching events, a
// signal is the Cancel a user would press in the progress window; at any other time it ends
// the program as it would have without us.
class StopSignals {
public:
    StopSignals() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    }
    // Needs the application object; call once it exists.
    void Watch() {
        fd_ = signalfd(-1, &set_, SFD_NONBLOCK | SFD_CLOEXEC);
        if (fd_ < 0) {
            pthread_sigmask(SIG_UNBLOCK, &set_, nullptr);
            return;
        }
        notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Take(); });
    }
    ~StopSignals() {
        notifier_.reset();
        if (fd_ >= 0) ::close(fd_);
    }
    // While set, a signal cancels this control's transfer.
    void SetTransfer(CDorlinCtrl* ctrl) { transfer_ = ctrl; }

private:
    void Take() {
        signalfd_siginfo si{};
        if (::read(fd_, &si, sizeof si) != ssize_t(sizeof si)) return;
        if (transfer_) {
            Err("dorlin: interrupted, cancelling the transfer");
            transfer_->Cancel();
            return;
        }
        const int sig = int(si.ssi_signo);
        std::signal(sig, SIG_DFL);
        pthread_sigmask(SIG_UNBLOCK, &set_, nullptr);
        std::raise(sig);
    }
    sigset_t set_;
    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    CDorlinCtrl* transfer_ = nullptr;
};

// Runs one transfer so that an interrupt cancels it cleanly: the cancel sequence goes out,
// the transfer returns FALSE and the port is closed as usual.
bool Transfer(StopSignals& stops, CDorlinCtrl& ctrl, bool send, const QString& path) {
    stops.SetTransfer(&ctrl);
    const bool ok = send ? ctrl.PostFile(path) : ctrl.RecvFile(path);
    stops.SetTransfer(nullptr);
    return ok;
}

// A file transfer as the person at the terminal follows it: the block counter of the progress
// window as a progress line, damaged blocks and time-outs as warnings, and one summary line.
class TransferReport {
public:
    explicit TransferReport(lorvane::Progress& progress) : progress_(progress) {}
    void Begin(const QString& path, bool send) {
        path_ = path;
        sending_ = send;
        blocks_ = 0;
    }
    void Message(short code, long value) {
        switch (code) {
        case dorlin::XMSG_TXFILE:
            progress_.Start(QStringLiteral("Sending ") + path_, value, QStringLiteral("blocks"));
            break;
        case dorlin::XMSG_RXFILE:
            progress_.Start(QStringLiteral("Receiving ") + path_, -1, QStringLiteral("blocks"));
            break;
        case dorlin::XMSG_TXPACK:
        case dorlin::XMSG_RXPACK:
            progress_.Update(value);
            break;
        case dorlin::XMSG_TIMEOUT:
            progress_.Warning(What() + QStringLiteral(": time-out, asking again"));
            break;
        case dorlin::XMSG_CRCERR:
            progress_.Warning(What() + QStringLiteral(": damaged block %1").arg(value));
            break;
        case dorlin::XMSG_CANCEL:
            progress_.Error(What() + QStringLiteral(": cancelled after %1 blocks").arg(value));
            break;
        case dorlin::XMSG_EOT:
            blocks_ = value;
            break;
        default:
            break;
        }
    }
    // After the transfer: "Sent up.bin (3 blocks)", "Received log.txt (3 blocks)".
    void End(bool ok) {
        if (!ok) {
            progress_.Finish();
            return;
        }
        progress_.Summary(
            QStringLiteral("%1 %2 (%3 blocks)")
                .arg(sending_ ? QStringLiteral("Sent") : QStringLiteral("Received"), path_)
                .arg(blocks_));
    }

private:
    QString What() const {
        return sending_ ? QStringLiteral("Send File") : QStringLiteral("Recv File");
    }
    lorvane::Progress& progress_;
    QString path_;
    long blocks_ = 0;
    bool sending_ = true;
};

int UsageError(const QString& why) {
    Err("dorlin: " + why.toLocal8Bit());
    Err("dorlin --help lists the steps, options and exit codes");
    return cli::ExitUsage;
}

int ListDispids() {
    for (const auto& d : CDorlinCtrl::DispatchTable())
        Out(QByteArray::number(d.dispid) + '\t' + d.kind.toLatin1() + '\t' + d.name.toLatin1() +
            '\t' + d.type.toLatin1());
    return cli::ExitOk;
}

int ListPorts() {
    for (const auto& p : dorlin::SerialPorts())
        Out(p.name.toLocal8Bit() + '\t' + p.path.toLocal8Bit() + '\t' +
            p.description.toLocal8Bit());
    return cli::ExitOk;
}

// The options that set a property of the control, in the order they are applied.
struct PropertyOption {
    const char* option;
    const char* property;
};
const PropertyOption kPropertyOptions[] = {
    {"--baud", "BaudRate"},    {"--settings", "Settings"}, {"--timeout", "RnetTimeout"},
    {"--address", "iAddress"}, {"--ip-port", "iPort"},
};

bool ApplyOptions(CDorlinCtrl& ctrl, const cli::CommandLine& line) {
    for (const PropertyOption& p : kPropertyOptions) {
        if (!line.Has(p.option)) continue;
        int code = 0;
        QString text;
        ctrl.InvokeByName(p.property, CDorlinCtrl::DispKind::Put, {line.Value(p.option)}, &code,
                          &text);
        if (code) {
            Err(QByteArray("dorlin: ") + p.option + ": " + dorlin::ErrorLine(code, text));
            return false;
        }
    }
    return true;
}

// COMn opens a numbered port (COM0: the device server), anything else a device path. The
// port's warnings (another program has it open, settings it refused) go to stderr.
bool OpenPort(CDorlinCtrl& ctrl, const QString& port, lorvane::Progress& progress) {
    static const QRegularExpression com(QStringLiteral("^COM(\\d+)$"),
                                        QRegularExpression::CaseInsensitiveOption);
    const auto m = com.match(port);
    if (m.hasMatch()) {
        ctrl.SetCommPort(short(m.captured(1).toInt()));
        ctrl.SetPortOpen(true);
    } else {
        ctrl.SetExtPort(port);
        ctrl.SetExtPortOpen(true);
    }
    if (!ctrl.PortOpen()) {
        Err("dorlin: cannot open " + ctrl.PortErrorText().toLocal8Bit());
        return false;
    }
    for (const QString& w : ctrl.PortWarning().split('\n', Qt::SkipEmptyParts))
        progress.Warning("dorlin: warning: " + w);
    return true;
}

int ExitCode(const dorlin::ScriptResult& r) {
    return r.linkFailed      ? cli::ExitLinkFailed
           : r.readerRefused ? cli::ExitReaderRefused
           : r.stepFailed    ? cli::ExitStepFailed
                             : cli::ExitOk;
}

} // namespace

int main(int argc, char** argv) {
    StopSignals stops; // before any thread exists
    // The control is a widget, but this host never shows one.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Qt's notes for developers would mix with the monitor lines on stderr.
    lorvane::QuietDeveloperWarnings();
    QApplication app(argc, argv);
    stops.Watch();

    const cli::CommandLine line = cli::Parse(QCoreApplication::arguments().mid(1));
    QList<dorlin::ScriptStep> steps;
    QString why;
    if (!line.error.isEmpty()) return UsageError(line.error);
    if (line.Has("--version")) {
        Out(lorvane::VersionLine(QStringLiteral("dorlin")).toLocal8Bit());
        return cli::ExitOk;
    }
    if (line.Has("--help")) {
        // Asked for, the help is the output (`dorlin --help | less`); a wrong command line
        // gets its hint on stderr.
        Out(cli::HelpText().trimmed().toLocal8Bit());
        return cli::ExitOk;
    }
    if (line.command == QLatin1String("dispids")) return ListDispids();
    if (line.command == QLatin1String("ports")) return ListPorts();
    if (!dorlin::ParseScript(line.steps, &steps, &why)) return UsageError(why);

    CDorlinCtrl ctrl(nullptr, false);
    if (!ApplyOptions(ctrl, line)) return cli::ExitUsage;
    QTextStream errStream(stderr);
    lorvane::Progress progress(errStream, lorvane::Progress::ModeForStderr(line.Has("--quiet")),
                               lorvane::StderrColumns());
    g_progress = &progress;
    TransferReport report(progress);
    QObject::connect(&ctrl, &CDorlinCtrl::OnTransfer,
                     [&report](short msg, long value) { report.Message(msg, value); });
    if (line.Has("--port") && !OpenPort(ctrl, line.Value("--port"), progress))
        return cli::ExitCannotOpen;

    const bool secrets = line.Has("--monitor-secrets");
    dorlin::ScriptRunner runner(ctrl, Out, Err, secrets || line.Has("--monitor"), secrets);
    runner.SetTransfer([&](bool send, const QString& path) {
        report.Begin(path, send);
        const bool ok = Transfer(stops, ctrl, send, path);
        report.End(ok);
        return ok;
    });
    const int code = ExitCode(runner.Run(steps));
    // Close before the control goes: it would otherwise send the transfer cancel sequence.
    ctrl.SetPortOpen(false);
    g_progress = nullptr;
    return code;
}
