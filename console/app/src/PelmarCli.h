// The headless commands of the `pelmar` program. Each connects the way the main window does
// (probe, login), runs the operation of the window it stands for under the same rules, and
// prints the same message texts. Returns the process exit code: 0 success, 1 failure,
// 2 wrong usage.
#pragma once
#include <QString>
#include <QStringList>
#include <QTextStream>
#include <functional>

namespace pelmar::cli {

struct Io {
    QTextStream& out; // results and information messages
    QTextStream& err; // failures, warnings, questions
    // Reads a line from the terminal; echo off for secrets. Returns false when there is no
    // terminal to ask.
    std::function<bool(const QString& prompt, bool secret, QString& line)> ask;
};

int Run(const QStringList& args, Io& io);
QString Usage();

// A Login ID as the login dialog accepts it: four characters 0-9 / A-F (lower case is
// taken as upper case). Returns "" when text is not one.
QString NormaliseLoginId(const QString& text);

} // namespace pelmar::cli
