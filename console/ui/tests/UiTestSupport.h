// Shared by the window tests: an isolated settings folder and program data folder for this
// test process (set before anything reads them), and readable QString failure output.
#pragma once
#include <QByteArray>
#include <QString>
#include <ostream>

namespace uitest {

// The program data folder used as LORVANE_HOME (holds "Language").
QString DataHome();
// Writes bytes to DataHome()/Language/name; returns the path.
QString WriteLanguageFile(const QString& name, const QByteArray& bytes);

} // namespace uitest

inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
