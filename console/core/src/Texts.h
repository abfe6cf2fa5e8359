// Message texts of the console's reader operations: string id and English fallback, looked
// up through the language layer.
#pragma once
#include <QString>

namespace pelmar::texts {

// The text with the given id in the current language, or the fallback; "\n" (two
// characters) becomes a line break.
QString Lang(int id, const char* fallback);
// The same with "%s" replaced by arg.
QString LangF(int id, const char* fallback, const QString& arg);

// "RFID Reader", the name every "Can't connect to %s!" message carries.
inline QString ReaderName() {
    return QStringLiteral("RFID Reader");
}
inline QString Title() {
    return Lang(10000, "Lorvane");
}

} // namespace pelmar::texts
