// The language entry points every window calls. They create the shared language object and
// the shared Tessel object on first use; both live until ReleaseLanguageObject() (called at
// program end, and when the Qt application object is destroyed), which stores the choice.
#pragma once
#include <QLocale>
#include <QString>
#include <functional>
#include <lvlang/clsLanguage.h>
#include <string>
#include <type_traits>
#include <vector>

namespace lvlang {

std::int32_t LangSystemDefaultLCID();
QString LangSystemLanguageName();
clsLanguage& LanguageObject();
tessel::clsTessel& TesselObject();
// Destroys the shared language object (it stores "DefaultLCID" and "Language").
void ReleaseLanguageObject();

// The locale of the language in use (the LanguageID of the current language file), for texts
// the language file does not carry, such as weekday names; English without a language file
// or for an id no locale has.
QLocale LangLocale();

// The text of `id` in every installed language file that has one (empty texts left out), for
// recognising a text stored under an earlier language.
QStringList LangStringInAllLanguages(const QString& id);

QString LangString(const QString& id, const QString& fallback);
QString LangString(int id, const QString& fallback);
// GetString(id, fallback) formatted with the parameters ("%s", "%d", "\n" ...).
QString LangFormat(const QString& id, const QString& fallback,
                   const std::vector<tessel::Variant>& params);

inline tessel::Variant ToVariant(const QString& s) {
    return tessel::Variant(s.toStdString());
}
inline tessel::Variant ToVariant(const char* s) {
    return tessel::Variant(s);
}
template <typename T> tessel::Variant ToVariant(const T& v) {
    return tessel::Variant(v);
}
template <typename... A>
QString LangFormat(const QString& id, const QString& fallback, const A&... params) {
    return LangFormat(id, fallback, std::vector<tessel::Variant>{ToVariant(params)...});
}
template <typename... A> QString LangFormat(int id, const QString& fallback, const A&... params) {
    return LangFormat(QString::number(id), fallback,
                      std::vector<tessel::Variant>{ToVariant(params)...});
}

bool LoadFormLanguage(ILanguageForm& window);
// Applies the language to every loaded window, in the order the provider lists them.
void ReloadAllForms();
// The program's list of loaded windows, for ReloadAllForms.
void SetLoadedFormsProvider(std::function<std::vector<ILanguageForm*>()> provider);
bool LoadObjectLanguage(tessel::IPropertyHost& object);
void UpdateLanguageBox();
void AttachLanguageBox(ILanguageBox* box);

bool TagGetItem(const QString& tag, const QString& itemName, QString& itemValue,
                const QString& groupName);
bool TagSetItem(QString& tag, const QString& itemName, const QString& itemValue,
                const QString& groupName);
bool TagEnumItems(const QString& tag, std::int32_t& count, QStringList& itemNames,
                  QStringList& itemValues, const QString& groupName);
bool PropGet(tessel::IPropertyHost* object, const QString& path, tessel::Variant& value);
bool PropLet(tessel::IPropertyHost* object, const QString& path, const tessel::Variant& value);

} // namespace lvlang
