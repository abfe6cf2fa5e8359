// The headless commands of the `pelmar` program. Each connects the way the main window does
// (probe, login), runs the operation of the window it stands for under the same rules, and
// prints the same message texts. Returns the process exit code of the table below (the
// same table `pelmar --help` prints).
#pragma once
#include "CliOptions.h"
#include "ReadersFile.h"
#include <QString>
#include <QStringList>
#include <QTextStream>
#include <functional>
#include <lorvane/Progress.h>
#include <span>

namespace pelmar::cli {

// How long the commands wait for a reply (the link control's RnetTimeout): a reader that
// answers later counts as no reader.
constexpr long kReplyTimeoutMs = 1500;

struct Io {
    QTextStream& out; // results and information messages
    QTextStream& err; // failures, warnings, questions
    // Reads a line from the terminal; echo off for secrets. Returns false when there is no
    // terminal to ask.
    std::function<bool(const QString& prompt, bool secret, QString& line)> ask;
    // --quiet: only errors on stderr (no progress, summaries, warnings or notes).
    bool quiet = false;
    // The progress line of the running command, which every message clears first.
    lorvane::Progress* progress = nullptr;
};

// The progress reporter of one command on stderr (a progress line only when stderr is a
// terminal), known to the command's messages through io.progress while it lives.
class CommandProgress {
public:
    explicit CommandProgress(Io& io)
        : io_(io),
          progress_(io.err, lorvane::Progress::ModeForStderr(io.quiet), lorvane::StderrColumns()) {
        io_.progress = &progress_;
    }
    ~CommandProgress() {
        progress_.Finish();
        io_.progress = nullptr;
    }
    CommandProgress(const CommandProgress&) = delete;
    CommandProgress& operator=(const CommandProgress&) = delete;
    lorvane::Progress* operator->() { return &progress_; }
    lorvane::Progress& operator*() { return progress_; }

private:
    Io& io_;
    lorvane::Progress progress_;
};

// Exit codes of every pelmar command.
enum ExitCode : int {
    kExitOk = 0,           // done: the whole result
    kExitFailed = 1,       // another failure: the output file could not be written
    kExitUsage = 2,        // wrong command line, or a value the reader does not take
    kExitPortNotOpen = 3,  // the port would not open
    kExitNoReader = 4,     // no reader answered, or the reader stopped answering
    kExitLoginRefused = 5, // the reader refused the Login ID
    kExitIncomplete = 6,   // download: some records read, not all the reader holds
    kExitRefused = 7,      // the reader refused the operation
    kExitSeveralFound = 8, // scan: more than one reader found
    kExitSignalBase = 128, // download ended by signal n (records kept): 128 + n
};

int Run(const QStringList& args, Io& io);
QString Usage();

// One command of the table Run walks: its usage line and help, its options, and how it runs.
// A command that talks to one reader has run: its command line is parsed with PortOptions()
// and its own rows first. The others parse their own (runArgs).
struct CommandRow {
    const char* name;
    const char* usage; // its line of the usage
    const char* text;  // what it does
    std::span<const OptionRow> options;
    int (*run)(const Options&, Io&) = nullptr;
    int (*runArgs)(const QStringList&, Io&) = nullptr;
};
std::span<const CommandRow> Commands();
// The option rows of one command (records and serve parse their command lines with them).
std::span<const OptionRow> OptionsOf(const QString& command);
// --port, --login and --baud, which every command with a reader takes.
std::span<const OptionRow> PortOptions();

} // namespace pelmar::cli
