#include "AnsiCodePage.h"

#include <lvlang/AnsiCodec.h>

namespace pelmar {

QByteArray ToAnsi(const QString& text) {
    return lvlang::AnsiCodec::fromUnicode(text);
}
QString FromAnsi(const QByteArray& bytes) {
    return lvlang::AnsiCodec::toUnicode(bytes);
}

} // namespace pelmar
