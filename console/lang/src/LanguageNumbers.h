// Numbers and names as language files write them, shared by the catalogue (clsLanguage.cpp)
// and its application to windows (LanguageApply.cpp).
#pragma once
#include <QLocale>
#include <QString>
#include <cmath>
#include <cstdint>

namespace lvlang::detail {

// The section of the texts ("LANGUGAE", as the files spell it).
inline const QString kLanguageSection = QStringLiteral("LANGUGAE");

// A number written with "." as decimal point (blanks around allowed); false otherwise.
inline bool NumberOf(const QString& text, double& out) {
    bool ok = false;
    const double v = QLocale::c().toDouble(text.trimmed(), &ok);
    if (!ok || !std::isfinite(v)) return false;
    out = v;
    return true;
}

// A number with "." or "," as decimal point ("1.0", "1,0"), as files saved under a locale
// with a decimal comma hold them.
inline bool NumberOfEitherPoint(const QString& text, double& out) {
    if (NumberOf(text, out)) return true;
    const QString t = text.trimmed();
    if (t.count(QLatin1Char(',')) != 1 || t.contains(QLatin1Char('.'))) return false;
    return NumberOf(QString(t).replace(QLatin1Char(','), QLatin1Char('.')), out);
}

inline double NumberOr0(const QString& text) {
    double v = 0;
    return NumberOf(text, v) ? v : 0;
}

inline std::int32_t ClampInt(double v) {
    if (!(v > -2147483648.0)) return INT32_MIN;
    if (v >= 2147483647.0) return INT32_MAX;
    return static_cast<std::int32_t>(std::lround(v));
}

} // namespace lvlang::detail
