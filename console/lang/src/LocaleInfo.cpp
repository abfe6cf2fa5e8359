#include <lvlang/LocaleInfo.h>

#include <algorithm>
#include <cstdio>
#include <unicode/uloc.h>

namespace lvlang {

std::int32_t LcidForLocale(const QString& locale) {
    const QByteArray n = locale.toLatin1();
    if (n.isEmpty()) return 0;
    return static_cast<std::int32_t>(uloc_getLCID(n.constData()));
}

QString LocaleForLcid(std::int32_t lcid) {
    if (lcid <= 0) return QString();
    char buf[ULOC_FULLNAME_CAPACITY] = {};
    UErrorCode err = U_ZERO_ERROR;
    const int32_t n = uloc_getLocaleForLCID(static_cast<uint32_t>(lcid), buf, sizeof buf, &err);
    // ICU answers "root" for ids it does not know.
    if (U_FAILURE(err) || n <= 0 || qstrcmp(buf, "root") == 0) return QString();
    return QString::fromLatin1(buf, n);
}

std::int32_t SystemDefaultLcid() {
    // ICU's default locale follows the process locale variables.
    const char* def = uloc_getDefault();
    std::int32_t id = def ? static_cast<std::int32_t>(uloc_getLCID(def)) : 0;
    if (id == 0 && def) {
        // "en_US_POSIX" and friends: try the language and country alone.
        char base[ULOC_FULLNAME_CAPACITY] = {};
        UErrorCode err = U_ZERO_ERROR;
        char lang[ULOC_LANG_CAPACITY] = {}, country[ULOC_COUNTRY_CAPACITY] = {};
        uloc_getLanguage(def, lang, sizeof lang, &err);
        uloc_getCountry(def, country, sizeof country, &err);
        if (U_SUCCESS(err) && lang[0]) {
            snprintf(base, sizeof base, "%s%s%s", lang, country[0] ? "_" : "", country);
            id = static_cast<std::int32_t>(uloc_getLCID(base));
        }
    }
    // The C and POSIX locales map to the invariant id 0x7F, which names no language.
    return id != 0 && id != 0x7F ? id : 1033;
}

QString EnglishLanguageName(std::int32_t lcid) {
    const QString loc = LocaleForLcid(lcid);
    if (loc.isEmpty()) return QString();
    UChar buf[64] = {};
    UErrorCode err = U_ZERO_ERROR;
    const QByteArray l = loc.toLatin1();
    const int32_t n = uloc_getDisplayLanguage(l.constData(), "en", buf, 63, &err);
    if (U_FAILURE(err) || n <= 0) return QString();
    return QString(reinterpret_cast<const QChar*>(buf), std::min<int32_t>(n, 63));
}

} // namespace lvlang
