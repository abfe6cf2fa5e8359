#include <lvlang/DataDir.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace lvlang {

QString ProgramDataDir() {
    const QString home = qEnvironmentVariable("LORVANE_HOME");
    if (!home.isEmpty()) return QDir::cleanPath(home);
    QString exeDir;
    if (QCoreApplication::instance())
        exeDir = QCoreApplication::applicationDirPath();
    else
        exeDir = QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget()).path();
    return QDir::cleanPath(exeDir + QStringLiteral("/../share/lorvane"));
}

QString LanguageDir() {
    return ProgramDataDir() + QStringLiteral("/Language");
}

} // namespace lvlang
