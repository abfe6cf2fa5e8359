// dorlin: scripts a reader through the link control's dispatch interface.
//
//   dorlin [--port COM7|/dev/ttyUSB0|COM0] [--address ADDR] [--ip-port N] [--baud N]
//          [--settings N,8,1] [--timeout MS] [--monitor] [--monitor-secrets] [--quiet] STEP...
//   dorlin dispids
//   dorlin ports
//
// A STEP is "call NAME [ARG...]" (a method, or a property get when NAME is a property) or
// "set NAME VALUE" (a property put), or "send-file PATH" / "recv-file PATH" (PostFile and
// RecvFile on the open port, with a progress line on stderr when it is a terminal and a
// summary line at the end); a step's arguments run up to the next step word. --quiet keeps
// only the errors on stderr. COM0 is the serial device server at --address:--ip-port.
// Each step prints one line: the result, or "ERROR <code> <text>". A step whose exchange with
// the reader failed (no reply, a reply that failed its checksum or was lost to a receive-queue
// overflow, a closed port) also writes "dorlin: step N (...): why" on stderr; once the port
// has closed, later steps fail at once. --monitor masks the Login IDs in "L" and "P" frames
// unless --monitor-secrets is given.
//
// Exit status (docs/dorlin.md):
//   0  every step ran and succeeded
//   1  a step was refused (an ERROR line) or a file transfer failed or was cancelled
//   2  malformed command line
//   3  the port could not be opened (the reason is on stderr)
//   4  the reader link failed in a step: no reply, bad checksum, overrun, port closed or
//      connection reset
//   5  the reader refused a step's command (its reply did not start with "A")
#include <QApplication>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QStringList>
#include <QTextStream>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <pthread.h>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>

#include "dorlin/CDorlinCtrl.h"
#include "dorlin/PortWatcher.h"
#include "lorvane/ProgramSupport.h"
#include "lorvane/Progress.h"

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

QByteArray Visible(const QString& s) {
    const QByteArray b = s.toLatin1();
    return QByteArray::fromStdString(rnet::Visible(std::string_view(b.constData(), b.size())));
}

// Command-line text to wire characters: <STX>, <CR>, <LF> and <xx> (two hex digits) stand for
// the byte; everything else is taken as typed.
QString Wire(const char* arg) {
    const QString in = QString::fromLocal8Bit(arg);
    QString out;
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] == '<') {
            const qsizetype close = in.indexOf('>', i);
            if (close > i) {
                const QString tag = in.mid(i + 1, close - i - 1);
                int byte = -1;
                if (tag == "STX")
                    byte = 0x02;
                else if (tag == "CR")
                    byte = 0x0D;
                else if (tag == "LF")
                    byte = 0x0A;
                else if (tag.size() == 2) {
                    bool ok = false;
                    const int v = tag.toInt(&ok, 16);
                    if (ok) byte = v;
                }
                if (byte >= 0) {
                    out += QChar(byte);
                    i = close;
                    continue;
                }
            }
        }
        out += in[i];
    }
    return out;
}

QByteArray Format(const QVariant& v) {
    switch (v.typeId()) {
    case QMetaType::Bool:
        return v.toBool() ? "TRUE" : "FALSE";
    case QMetaType::QString:
        return Visible(v.toString());
    case QMetaType::UnknownType:
        return QByteArray();
    default:
        return QByteArray::number(v.toLongLong());
    }
}

QByteArray ErrorLine(int code, const QString& text) {
    const QByteArray c =
        code < 0 ? "0x" + QByteArray::number(uint(code), 16).toUpper() : QByteArray::number(code);
    return "ERROR " + c + " " + text.toLocal8Bit();
}

enum Exit {
    ExitOk = 0,
    ExitStepFailed = 1,
    ExitUsage = 2,
    ExitCannotOpen = 3,
    ExitLinkFailed = 4,
    ExitReaderRefused = 5,
};

// The one exit-code table (also in dorlin(1) and docs/dorlin.md).
const char* const kExitTable =
    "exit status:\n"
    "  0  every step ran and succeeded\n"
    "  1  a step was turned down (an ERROR line), or a file transfer failed or was cancelled\n"
    "  2  malformed command line\n"
    "  3  the port could not be opened (the reason is on stderr)\n"
    "  4  the reader link failed in a step: no reply, bad checksum, overrun, port closed,\n"
    "     connection reset\n"
    "  5  the reader refused a step's command (its reply did not start with \"A\")";

int Usage() {
    Err("usage: dorlin [--port COMn|PATH] [--address ADDR] [--ip-port N] [--baud N] "
        "[--settings P,D,S] [--timeout MS] [--monitor] [--monitor-secrets] [--quiet] STEP...\n"
        "       STEP: call NAME [ARG...] | set NAME VALUE | send-file PATH | recv-file PATH\n"
        "       dorlin dispids | dorlin ports | dorlin --version");
    Err(kExitTable);
    return ExitUsage;
}

// A request frame with its Login IDs hidden, wherever a reader would read one.
QString MaskSecrets(const QString& frame) {
    const QByteArray b = frame.toLatin1();
    const std::string masked =
        rnet::MaskLoginIds(std::string_view(b.constData(), size_t(b.size())));
    return QString::fromLatin1(masked.data(), qsizetype(masked.size()));
}

// Steps that talk to the reader (and so need the port).
bool NeedsPort(const QString& verb, const QString& name) {
    if (verb == "send-file" || verb == "recv-file") return true;
    if (verb == "set")
        return name.compare("Text", Qt::CaseInsensitive) == 0 ||
               name.compare("Char", Qt::CaseInsensitive) == 0;
    bool isProperty = false;
    const int id = CDorlinCtrl::DispIdOf(name, &isProperty);
    return id != 0 && !isProperty && id != dorlin::DISPID_AboutBox &&
           id != dorlin::DISPID_EnumCommPort;
}

bool IsStepWord(const char* a) {
    return std::strcmp(a, "call") == 0 || std::strcmp(a, "set") == 0 ||
           std::strcmp(a, "send-file") == 0 || std::strcmp(a, "recv-file") == 0;
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

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        Out(lorvane::VersionLine(QStringLiteral("dorlin")).toLocal8Bit());
        return 0;
    }
    StopSignals stops; // before any thread exists
    // The control is a widget, but this host never shows one.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Qt's notes for developers would mix with the monitor lines on stderr.
    lorvane::QuietDeveloperWarnings();
    QApplication app(argc, argv);
    stops.Watch();

    if (argc == 2 && std::strcmp(argv[1], "dispids") == 0) {
        for (const auto& d : CDorlinCtrl::DispatchTable())
            Out(QByteArray::number(d.dispid) + '\t' + d.kind.toLatin1() + '\t' + d.name.toLatin1() +
                '\t' + d.type.toLatin1());
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "ports") == 0) {
        for (const auto& p : dorlin::SerialPorts())
            Out(p.name.toLocal8Bit() + '\t' + p.path.toLocal8Bit() + '\t' +
                p.description.toLocal8Bit());
        return 0;
    }

    QString port;
    QString baud, settings, timeout, address, ipPort;
    bool monitor = false, secrets = false, quiet = false;
    int i = 1;
    for (; i < argc; ++i) {
        const QByteArray a(argv[i]);
        auto next = [&](QString* dst) {
            if (i + 1 >= argc) return false;
            *dst = QString::fromLocal8Bit(argv[++i]);
            return true;
        };
        if (a == "--port") {
            if (!next(&port)) return Usage();
        } else if (a == "--address") {
            if (!next(&address)) return Usage();
        } else if (a == "--ip-port") {
            if (!next(&ipPort)) return Usage();
        } else if (a == "--baud") {
            if (!next(&baud)) return Usage();
        } else if (a == "--settings") {
            if (!next(&settings)) return Usage();
        } else if (a == "--timeout") {
            if (!next(&timeout)) return Usage();
        } else if (a == "--monitor") {
            monitor = true;
        } else if (a == "--monitor-secrets") {
            monitor = secrets = true;
        } else if (a == "--quiet") {
            quiet = true;
        } else if (a == "--help" || a == "-h") {
            Usage();
            return 0;
        } else {
            break;
        }
    }
    if (i >= argc && port.isEmpty()) return Usage();

    CDorlinCtrl ctrl(nullptr, false);
    QString aboutText;
    CDorlinCtrl::SetAboutBoxHook(
        [&](const QString& caption, const QString& text) { aboutText = caption + ": " + text; });
    if (monitor)
        QObject::connect(&ctrl, &CDorlinCtrl::RnetMonitor,
                         [secrets](short idx, const QString& msg) {
                             const QString shown =
                                 idx == dorlin::RNET_MSG_APP && !secrets ? MaskSecrets(msg) : msg;
                             Err("MON " + QByteArray::number(idx) + " " + Visible(shown));
                         });
    // What went wrong with the reader link during the current step, and the last reply the
    // reader gave in it.
    QString linkTrouble, lastReply;
    QObject::connect(&ctrl, &CDorlinCtrl::RnetMonitor, [&lastReply](short idx, const QString& msg) {
        if (idx == dorlin::RNET_MSG_DEV) lastReply = msg;
    });
    QObject::connect(
        &ctrl, &CDorlinCtrl::RnetMonitor, [&linkTrouble, &ctrl](short idx, const QString& msg) {
            if (idx != dorlin::RNET_MSG_DRV || !linkTrouble.isEmpty()) return;
            if (msg == "$TIMEOUT")
                linkTrouble = QStringLiteral("no reply within %1 ms").arg(ctrl.RnetTimeout());
            else if (msg == "$CHKSUM ERROR")
                linkTrouble = QStringLiteral("the reply failed its checksum");
            else if (msg == "$OVERRUN")
                linkTrouble = QStringLiteral("the reply was lost: the receive queue overflowed");
            else if (msg == "$PORT CLOSED")
                linkTrouble = QStringLiteral("the port closed");
            else if (msg == "$CONNECTION RESET")
                linkTrouble = QStringLiteral("the connection was reset");
        });

    int code = 0;
    QString text;
    auto put = [&](const char* name, const QString& value) {
        ctrl.InvokeByName(name, CDorlinCtrl::DispKind::Put, {value}, &code, &text);
        if (code) Err(QByteArray("dorlin: --") + name + ": " + ErrorLine(code, text));
        return code == 0;
    };
    if (!baud.isEmpty() && !put("BaudRate", baud)) return ExitUsage;
    if (!settings.isEmpty() && !put("Settings", settings)) return ExitUsage;
    if (!timeout.isEmpty() && !put("RnetTimeout", timeout)) return ExitUsage;
    if (!address.isEmpty() && !put("iAddress", address)) return ExitUsage;
    if (!ipPort.isEmpty()) {
        bool ok = false;
        const int p = ipPort.toInt(&ok);
        if (!ok || p <= 0 || p > 65535) return Usage();
        if (!put("iPort", ipPort)) return ExitUsage;
    }
    QTextStream errStream(stderr);
    lorvane::Progress progress(errStream, lorvane::Progress::ModeForStderr(quiet),
                               lorvane::StderrColumns());
    g_progress = &progress;
    TransferReport report(progress);
    QObject::connect(&ctrl, &CDorlinCtrl::OnTransfer,
                     [&report](short msg, long value) { report.Message(msg, value); });

    if (!port.isEmpty()) {
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
            return ExitCannotOpen;
        }
        for (const QString& w : ctrl.PortWarning().split('\n', Qt::SkipEmptyParts))
            progress.Warning("dorlin: warning: " + w);
    }

    bool failed = false, linkFailed = false, readerRefused = false, everOpen = ctrl.PortOpen();
    int step = 0;
    while (i < argc) {
        const int first = i;
        const QByteArray verb(argv[i++]);
        if (!IsStepWord(verb.constData()) || i >= argc) return Usage();
        ++step;
        // A closed connection may be reopening (the network path does that by itself, from
        // the event loop: the posted request to connect again is delivered here too); the
        // port's going away is noticed here as well.
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents();
        const bool openBefore = ctrl.PortOpen();
        everOpen = everOpen || openBefore;
        const QString name = QString::fromLocal8Bit(argv[i]);
        const bool needsPort = NeedsPort(QString::fromLatin1(verb), name);
        const long timeoutMs = ctrl.RnetTimeout();
        // With no port an exchange could only wait out its time-out: fail it at once.
        if (needsPort && !openBefore) ctrl.SetRnetTimeout(0);
        linkTrouble.clear();
        lastReply.clear();
        // refused: the dispatch turned the step down before anything reached the port.
        // ok: the step's own result (a file transfer's); a closed port fails only a step that
        // did not get its work done.
        auto stepDone = [&](bool refused, bool ok) {
            if (needsPort && !openBefore) ctrl.SetRnetTimeout(timeoutMs);
            if (refused) return;
            QString why = linkTrouble;
            if (needsPort && !openBefore)
                why = everOpen ? QStringLiteral("the port has closed")
                               : QStringLiteral("no port is open");
            else if (needsPort && !ctrl.PortOpen() && (!why.isEmpty() || !ok) &&
                     why != QLatin1String("the connection was reset"))
                why = QStringLiteral("the port closed");
            // A reply that is no "A" is the reader's refusal: a failure as much as no reply
            // (FALSE or 0 alone cannot tell a refusal from an empty reader).
            const bool refusal = why.isEmpty() && !lastReply.isEmpty() && lastReply[0] != 'A';
            if (refusal)
                why = QStringLiteral("the reader refused it (%1)")
                          .arg(QString::fromLatin1(Visible(lastReply)));
            if (why.isEmpty()) return;
            QStringList words;
            for (int k = first; k < i; ++k)
                words << QString::fromLocal8Bit(argv[k]);
            Err(QStringLiteral("dorlin: step %1 (%2): %3")
                    .arg(step)
                    .arg(words.join(' '), why)
                    .toLocal8Bit());
            (refusal ? readerRefused : linkFailed) = true;
        };
        if (verb == "send-file" || verb == "recv-file") {
            const QString path = QString::fromLocal8Bit(argv[i++]);
            if (i < argc && !IsStepWord(argv[i])) return Usage();
            report.Begin(path, verb == "send-file");
            const bool ok = Transfer(stops, ctrl, verb == "send-file", path);
            report.End(ok);
            Out(ok ? "TRUE" : "FALSE");
            if (!ok) failed = true;
            stepDone(false, ok);
            continue;
        }
        ++i;
        QVariantList args;
        while (i < argc && !IsStepWord(argv[i]))
            args << Wire(argv[i++]);

        bool isProperty = false;
        const int id = CDorlinCtrl::DispIdOf(name, &isProperty);
        CDorlinCtrl::DispKind kind = CDorlinCtrl::DispKind::Method;
        if (verb == "set")
            kind = CDorlinCtrl::DispKind::Put;
        else if (isProperty)
            kind = CDorlinCtrl::DispKind::Get;
        aboutText.clear();
        const QVariant r = id ? ctrl.Invoke(id, kind, args, &code, &text)
                              : ctrl.InvokeByName(name, kind, args, &code, &text);
        if (code) {
            Out(ErrorLine(code, text));
            failed = true;
        } else if (kind == CDorlinCtrl::DispKind::Put) {
            Out("OK");
        } else if (!aboutText.isEmpty()) {
            Out(aboutText.toLocal8Bit());
        } else {
            Out(Format(r));
        }
        stepDone(code != 0, true);
    }
    // Close before the control goes: it would otherwise send the transfer cancel sequence.
    ctrl.SetPortOpen(false);
    g_progress = nullptr;
    return linkFailed      ? ExitLinkFailed
           : readerRefused ? ExitReaderRefused
           : failed        ? ExitStepFailed
                           : ExitOk;
}
