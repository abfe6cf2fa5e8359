// pelmar: the Lorvane reader console. With a command it runs headless; the windows come
// without one.
#include "PelmarCli.h"

#include "pelmar/ui/frmMain.h"
#include <lorvane/ProgramSupport.h>

#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {
// Reads one line from the controlling terminal, with echo off for secrets.
bool AskTerminal(const QString& prompt, bool secret, QString& line) {
    FILE* tty = std::fopen("/dev/tty", "r+");
    if (!tty) return false;
    int fd = fileno(tty);
    termios old{};
    bool restore = false;
    // Echo goes off before the prompt shows: what is typed as soon as it shows stays hidden.
    if (secret && tcgetattr(fd, &old) == 0) {
        termios t = old;
        t.c_lflag &= ~tcflag_t(ECHO);
        restore = tcsetattr(fd, TCSANOW, &t) == 0;
    }
    std::fputs(prompt.toLocal8Bit().constData(), tty);
    std::fflush(tty);
    char buf[256];
    bool ok = std::fgets(buf, sizeof buf, tty) != nullptr;
    if (restore) {
        tcsetattr(fd, TCSANOW, &old);
        std::fputs("\n", tty);
    }
    std::fclose(tty);
    if (!ok) return false;
    line = QString::fromLocal8Bit(buf).trimmed();
    return true;
}
} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::puts(lorvane::VersionLine(QStringLiteral("pelmar")).toLocal8Bit().constData());
        return 0;
    }
    lorvane::QuietDeveloperWarnings();
    // Without a command (or with --screenshot) the console's windows open.
    if (argc < 2 || std::string(argv[1]) == "--screenshot")
        return pelmar::ui::RunConsole(argc, argv);
    // The help covers the windows' pictures too, which the headless part does not know.
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h" ||
                      std::string(argv[1]) == "help")) {
        std::fputs((pelmar::cli::Usage() + pelmar::ui::ScreenshotUsage()).toLocal8Bit().constData(),
                   stdout);
        return 0;
    }
    if (argc < 2) {
        std::fputs(pelmar::cli::Usage().toLocal8Bit().constData(), stderr);
        return 2;
    }
    // Headless commands, the scan included, run without a window system: their links are no
    // widgets.
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Lorvane"));
    QStringList args = QCoreApplication::arguments().mid(1);
    QTextStream out(stdout), err(stderr);
    pelmar::cli::Io io{out, err, AskTerminal};
    int rc = pelmar::cli::Run(args, io);
    out.flush();
    err.flush();
    return rc;
}
