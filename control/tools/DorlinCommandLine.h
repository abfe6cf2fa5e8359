// The command line of `dorlin`: its options, the checks of their values, its help and its
// exit codes, each one table walked by one loop. dorlin(1), docs/dorlin.md and the bash
// completion are tested to agree with these tables.
#pragma once
#include <QMap>
#include <QString>
#include <QStringList>
#include <span>

namespace dorlin::cli {

enum Exit {
    ExitOk = 0,
    ExitStepFailed = 1,
    ExitUsage = 2,
    ExitCannotOpen = 3,
    ExitLinkFailed = 4,
    ExitReaderRefused = 5,
};

struct ExitRow {
    int code;
    const char* meaning;
};
// The one exit-code table (also in dorlin(1) and docs/dorlin.md).
std::span<const ExitRow> ExitTable();

// How an option's value is checked.
enum class Check {
    Flag,         // no value
    Text,         // any text that is not empty
    Port,         // COMn with n from 0 to 32767 (what CommPort holds), or a device path
    Range,        // a whole number from min to max
    LineSettings, // P,D,S: parity N, O, E, M or S, data bits 5 to 9, stop bits 1 or 2
};

struct OptionRow {
    const char* name;  // "--timeout"
    const char* alias; // "-h", or nullptr
    const char* value; // "MS" (nullptr for a flag)
    Check check;
    long min, max;        // Range
    const char* accepted; // the accepted values, as a usage error names them
    const char* help;     // one line of --help
};
std::span<const OptionRow> OptionTable();

// The commands that stand alone instead of steps.
struct CommandRow {
    const char* name;
    const char* help;
};
std::span<const CommandRow> CommandTable();

struct CommandLine {
    QMap<QString, QString> values; // option name -> value, checked
    QStringList flags;             // flags given, by name
    QString command;               // a command of CommandTable(), or ""
    QStringList steps;             // the words after the options
    QString error;                 // a usage error: "--timeout -5: accepted: ..."

    bool Has(const char* name) const {
        return values.contains(QLatin1String(name)) || flags.contains(QLatin1String(name));
    }
    QString Value(const char* name) const { return values.value(QLatin1String(name)); }
};

// Options come first, then the steps (or one command alone). A bad value is a usage error
// that names what is accepted.
CommandLine Parse(const QStringList& args);

// The --help text: usage, commands, options and the exit-code table.
QString HelpText();

} // namespace dorlin::cli
