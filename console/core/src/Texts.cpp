#include "Texts.h"

namespace pelmar::texts {

QString Lang(int /*id*/, const char* fallback) {
    QString s = QString::fromUtf8(fallback);
    s.replace(QLatin1String("\\n"), QLatin1String("\n"));
    return s;
}

QString LangF(int id, const char* fallback, const QString& arg) {
    QString s = Lang(id, fallback);
    qsizetype at = s.indexOf(QLatin1String("%s"));
    if (at >= 0) s.replace(at, 2, arg);
    return s;
}

} // namespace pelmar::texts
