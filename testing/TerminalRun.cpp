#include "TerminalRun.h"

#include "TestSupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace lvtest {

TerminalRun runWithStderrOnTerminal(const QString& program, const QStringList& args,
                                    const QProcessEnvironment& env, int limitMs, int columns) {
    TerminalRun r;
    PtyPair pty;
    if (!pty.ok()) return r;
    winsize ws{};
    ws.ws_row = 24;
    ws.ws_col = (unsigned short)columns;
    ::ioctl(pty.master(), TIOCSWINSZ, &ws);
    const std::string slave = pty.slavePath();
    QProcess p;
    p.setProcessEnvironment(env);
    // After the standard channels are set up: stderr becomes the terminal (never the
    // controlling one, so nothing can be asked on it).
    p.setChildProcessModifier([slave] {
        ::setsid();
        const int fd = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
        if (fd >= 0) {
            ::dup2(fd, STDERR_FILENO);
            ::close(fd);
        }
    });
    p.start(program, args);
    if (!p.waitForStarted(10000)) return r;
    QElapsedTimer t;
    t.start();
    // The terminal is read while the program runs, so that it never blocks on a full one.
    while (p.state() != QProcess::NotRunning && t.elapsed() < limitMs) {
        r.err += pty.read(20);
        r.out += p.readAllStandardOutput();
        p.waitForFinished(5);
    }
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished(10000);
    } else {
        r.finished = p.exitStatus() == QProcess::NormalExit;
        r.code = p.exitCode();
    }
    r.out += p.readAllStandardOutput();
    r.err += pty.read(50);
    return r;
}

TerminalText readTerminal(const QByteArray& bytes) {
    TerminalText t;
    const QStringList parts = QString::fromUtf8(bytes).split(QLatin1Char('\r'));
    t.text = parts[0];
    qsizetype shown = 0; // visible characters of the line on the screen
    for (qsizetype i = 1; i < parts.size(); ++i) {
        const QString& p = parts[i];
        if (shown > 0 && p.size() >= shown && p.trimmed().isEmpty()) {
            shown = 0; // a clear: "\r", spaces over the line, "\r"
            if (i + 1 < parts.size()) t.text += parts[++i];
            continue;
        }
        if (p.size() < shown) t.covered = false;
        QString frame = p;
        while (frame.endsWith(QLatin1Char(' ')))
            frame.chop(1);
        t.frames << frame;
        shown = frame.size();
    }
    t.endsCleared = parts.size() > 1 && shown == 0;
    return t;
}

} // namespace lvtest
