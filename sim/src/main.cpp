// readersim: one simulated reader on a pseudo-terminal or behind a simulated device server.
// The options are the table of CommandLine.cpp; exit codes as readersim/CommandLine.h says.
#include "readersim/CommandLine.h"
#include "readersim/Reader.h"
#include "readersim/Session.h"
#include "readersim/StateFile.h"
#include "readersim/Transport.h"

#include <lorvane/ProgramSupport.h>
#include <lorvane/Version.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>

using namespace readersim;

namespace {

int Fail(const QString& text) {
    std::fprintf(stderr, "readersim: %s\n", qPrintable(text));
    return ExitUsage;
}

// Serves until stopped; the exit code.
int Serve(const Config& cfg) {
    std::FILE* logFile = nullptr;
    if (!cfg.logPath.isEmpty()) {
        logFile = std::fopen(qPrintable(cfg.logPath), "w");
        if (!logFile) return Fail("cannot write " + cfg.logPath);
    }
    Session::LogFn log;
    if (logFile)
        log = [logFile](const std::string& line) {
            std::fprintf(logFile, "%s\n", line.c_str());
            std::fflush(logFile);
        };
    Reader reader(cfg.state, cfg.reader);
    InstallStopSignals();
    std::string error;
    const int rc = cfg.pty ? ServePty(reader, cfg.session, cfg.ptyOptions, log, stdout, &error)
                           : ServeTcp(reader, cfg.session, cfg.tcpOptions, log, stdout, &error);
    if (rc != 0) std::fprintf(stderr, "readersim: %s\n", error.c_str());
    int exitCode = rc;
    QString err;
    if (!cfg.statePath.isEmpty() && !SaveState(cfg.statePath, reader.State(), &err)) {
        std::fprintf(stderr, "readersim: %s\n", qPrintable(err));
        exitCode = rc ? rc : ExitTransport;
    }
    if (logFile) std::fclose(logFile);
    return exitCode;
}

} // namespace

int main(int argc, char** argv) {
    lorvane::QuietDeveloperWarnings();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("readersim");
    QCoreApplication::setApplicationVersion(LORVANE_VERSION);
    QCommandLineParser p;
    AddOptions(p);
    // An unknown option is a malformed command line like any other (exit 2), not Qt's 1.
    if (!p.parse(QCoreApplication::arguments())) return Fail(p.errorText());
    if (p.isSet("help")) p.showHelp(0);
    if (p.isSet("version")) p.showVersion();
    Config cfg;
    QString error;
    if (!ReadCommandLine(p, &cfg, &error)) return Fail(error);
    return Serve(cfg);
}
