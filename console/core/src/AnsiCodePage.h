// Conversion between text and the bytes of the "ANSI code page" the reader's user-name
// registers hold.
#pragma once
#include <QByteArray>
#include <QString>

namespace pelmar {
QByteArray ToAnsi(const QString& text);
QString FromAnsi(const QByteArray& bytes);
} // namespace pelmar
