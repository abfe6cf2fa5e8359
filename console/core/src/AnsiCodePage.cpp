#include "AnsiCodePage.h"

#include <unicode/ucnv.h>

#include <vector>

namespace pelmar {
namespace {
constexpr const char* kCodePage = "windows-1252";
}

QByteArray ToAnsi(const QString& text) {
    UErrorCode err = U_ZERO_ERROR;
    UConverter* cnv = ucnv_open(kCodePage, &err);
    if (U_FAILURE(err)) return text.toLatin1();
    ucnv_setSubstChars(cnv, "?", 1, &err);
    err = U_ZERO_ERROR;
    std::vector<char> out(size_t(text.size()) * 4 + 4);
    int32_t n =
        ucnv_fromUChars(cnv, out.data(), int32_t(out.size()),
                        reinterpret_cast<const UChar*>(text.utf16()), int32_t(text.size()), &err);
    ucnv_close(cnv);
    if (U_FAILURE(err)) return text.toLatin1();
    return QByteArray(out.data(), n);
}

QString FromAnsi(const QByteArray& bytes) {
    UErrorCode err = U_ZERO_ERROR;
    UConverter* cnv = ucnv_open(kCodePage, &err);
    if (U_FAILURE(err)) return QString::fromLatin1(bytes);
    std::vector<UChar> out(size_t(bytes.size()) * 2 + 2);
    int32_t n = ucnv_toUChars(cnv, out.data(), int32_t(out.size()), bytes.constData(),
                              int32_t(bytes.size()), &err);
    ucnv_close(cnv);
    if (U_FAILURE(err)) return QString::fromLatin1(bytes);
    return QString(reinterpret_cast<const QChar*>(out.data()), n);
}

} // namespace pelmar
