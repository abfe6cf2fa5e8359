// The options of one command line: "--name value" pairs (also "--name=value"), flags, and
// repeated "--set" values.
#pragma once
#include <QMap>
#include <QString>
#include <QStringList>
#include <span>

namespace pelmar::cli {

// Options of one command line: "--name value" pairs, flags, and repeated "--set" values.
struct Options {
    QString command;
    QMap<QString, QString> values;
    QStringList sets;
    QStringList flags;
    QString error;

    bool Has(const QString& n) const { return values.contains(n) || flags.contains(n); }
    QString Value(const QString& n) const { return values.value(n); }
};

Options Parse(const QStringList& args, const QStringList& valued, const QStringList& flagNames);

// One option of a command in its command's table: the name, the name of its value (none: a
// flag), the check of the value and one line of help.
struct OptionRow {
    const char* name;
    const char* value; // "RATE"; nullptr for a flag
    const char* help;  // one line of `pelmar CMD --help`
    long min = 0;      // with max > min: a whole number from min to max
    long max = 0;
    const char* accepted = nullptr;          // what a value out of range is told it may be
    bool optionalValue = false;              // may stand without its value (--archive)
    bool (*valid)(const QString&) = nullptr; // another check of the value
};

// Parses args (the command first) with a command's option rows: unknown options, missing
// values and values out of range or refused by the row's check are errors ("--baud 0: accepted:
// 50 to 4000000 (bits per second)"). "--set" may be repeated.
Options Parse(const QStringList& args, std::span<const OptionRow> rows);

} // namespace pelmar::cli
