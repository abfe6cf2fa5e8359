// Locale services by Windows locale id (LCID), backed by ICU.
#pragma once
#include <QString>
#include <cstdint>

namespace lvlang {

// The LCID of an ICU/POSIX locale name ("de_DE" gives 1031); 0 when there is none.
std::int32_t LcidForLocale(const QString& locale);
// The ICU locale name of an LCID (1041 gives "ja_JP"); empty when unknown.
QString LocaleForLcid(std::int32_t lcid);
// The LCID of the process's default locale (from LC_ALL / LC_MESSAGES / LANG); 1033 when
// the locale has none (the C and POSIX locales).
std::int32_t SystemDefaultLcid();
// The English name of the LCID's language ("German"), at most 63 characters; empty when the
// LCID is unknown.
QString EnglishLanguageName(std::int32_t lcid);

} // namespace lvlang
