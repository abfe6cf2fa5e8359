#include "Texts.h"

#include <lvlang/modLanguage.h>

namespace pelmar::texts {

QString Lang(int id, const char* fallback) {
    return lvlang::LangString(id, QString::fromUtf8(fallback));
}

QString LangF(int id, const char* fallback, const QString& arg) {
    return lvlang::LangFormat(id, QString::fromUtf8(fallback), arg);
}

} // namespace pelmar::texts
