// Helpers for the language-layer tests: files in a temporary language folder, the isolated
// configuration folder of this test process.
#pragma once
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

namespace langtest {

// The configuration folder this process uses as XDG_CONFIG_HOME (fresh and empty at start).
QString ConfigHome();

// Writes bytes to dir/name; returns the path.
inline QString WriteFile(const QString& dir, const QString& name, const QByteArray& bytes) {
    const QString path = dir + "/" + name;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return QString();
    f.write(bytes);
    return path;
}

// A minimal language file: INFO with id, name and version, then the LANGUGAE lines.
inline QByteArray LangFile(const QByteArray& id, const QByteArray& name,
                           const QByteArray& lines = {}, const QByteArray& version = "1.0") {
    QByteArray b = "[INFO]\r\nVersion=" + version + "\r\n";
    if (!id.isNull()) b += "LanguageID=" + id + "\r\n";
    if (!name.isNull()) b += "Language=" + name + "\r\n";
    b += "[LANGUGAE]\r\n" + lines;
    return b;
}

} // namespace langtest

// Readable QString values in test failure messages.
#include <ostream>
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
