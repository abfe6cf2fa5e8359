#include <lvlang/modLanguage.h>

#include <QCoreApplication>
#include <lvlang/LocaleInfo.h>
#include <memory>
#include <mutex>

namespace lvlang {

namespace {

// The texts are looked up from many threads at once (pelmar collect reads every reader in a
// thread of its own): the shared objects, their file cache and the formatting go one at a time.
std::recursive_mutex& TextLock() {
    static std::recursive_mutex m;
    return m;
}

std::unique_ptr<clsLanguage>& SharedLanguage() {
    static std::unique_ptr<clsLanguage> p;
    return p;
}

std::function<std::vector<ILanguageForm*>()>& FormsProvider() {
    static std::function<std::vector<ILanguageForm*>()> f;
    return f;
}

QStringList ToList(const std::vector<std::string>& v) {
    QStringList l;
    l.reserve(static_cast<qsizetype>(v.size()));
    for (const std::string& s : v)
        l << QString::fromStdString(s);
    return l;
}

} // namespace

clsLanguage& LanguageObject() {
    const std::lock_guard<std::recursive_mutex> hold(TextLock());
    auto& p = SharedLanguage();
    if (!p) {
        p = std::make_unique<clsLanguage>();
        // Store the choice while Qt is still alive, also when the program forgets to.
        if (QCoreApplication::instance()) qAddPostRoutine(&ReleaseLanguageObject);
    }
    return *p;
}

void ReleaseLanguageObject() {
    const std::lock_guard<std::recursive_mutex> hold(TextLock());
    SharedLanguage().reset();
}

tessel::clsTessel& TesselObject() {
    static tessel::clsTessel t;
    return t;
}

std::int32_t LangSystemDefaultLCID() {
    return LanguageObject().SystemDefaultLCID();
}
QString LangSystemLanguageName() {
    return LanguageObject().SystemLanguageName();
}

QLocale LangLocale() {
    clsLanguage& lang = LanguageObject();
    for (const LanguageEntry& e : lang.Languages()) {
        if (e.FileName != lang.CurrentFile()) continue;
        const QString name = LocaleForLcid(e.LanguageID);
        if (name.isEmpty()) break;
        const QLocale locale(name);
        if (locale.language() != QLocale::C) return locale;
        break;
    }
    return QLocale(QLocale::English, QLocale::UnitedStates);
}

QStringList LangStringInAllLanguages(const QString& id) {
    clsLanguage& lang = LanguageObject();
    QStringList texts;
    for (const LanguageEntry& e : lang.Languages()) {
        QString value;
        if (lang.GetKeyValueEx(value, id, QString(), QStringLiteral("LANGUGAE"), e.FileName) &&
            !value.isEmpty())
            texts << value;
    }
    return texts;
}

QString LangString(const QString& id, const QString& fallback) {
    const std::lock_guard<std::recursive_mutex> hold(TextLock());
    return LanguageObject().GetString(id, fallback);
}

QString LangString(int id, const QString& fallback) {
    return LangString(QString::number(id), fallback);
}

QString LangFormat(const QString& id, const QString& fallback,
                   const std::vector<tessel::Variant>& params) {
    const std::lock_guard<std::recursive_mutex> hold(TextLock());
    const std::string text = LanguageObject().GetString(id, fallback).toStdString();
    return QString::fromStdString(TesselObject().sprintf(text, params));
}

bool LoadFormLanguage(ILanguageForm& window) {
    return LanguageObject().LoadFormStrings(window);
}

void SetLoadedFormsProvider(std::function<std::vector<ILanguageForm*>()> provider) {
    FormsProvider() = std::move(provider);
}

void ReloadAllForms() {
    if (!FormsProvider()) return;
    for (ILanguageForm* f : FormsProvider()())
        if (f) LanguageObject().LoadFormStrings(*f);
}

bool LoadObjectLanguage(tessel::IPropertyHost& object) {
    return LanguageObject().LoadObjectStrings(object);
}

void UpdateLanguageBox() {
    LanguageObject().UpdateLanguageBoxChange();
}
void AttachLanguageBox(ILanguageBox* box) {
    LanguageObject().SetLanguageBox(box);
}

bool TagGetItem(const QString& tag, const QString& itemName, QString& itemValue,
                const QString& groupName) {
    std::string v;
    const bool ok = TesselObject().GetTagItem(tag.toStdString(), itemName.toStdString(), v,
                                              groupName.toStdString());
    itemValue = QString::fromStdString(v);
    return ok;
}

bool TagSetItem(QString& tag, const QString& itemName, const QString& itemValue,
                const QString& groupName) {
    std::string t = tag.toStdString();
    const bool ok = TesselObject().SetTagItem(t, itemName.toStdString(), itemValue.toStdString(),
                                              groupName.toStdString());
    tag = QString::fromStdString(t);
    return ok;
}

bool TagEnumItems(const QString& tag, std::int32_t& count, QStringList& itemNames,
                  QStringList& itemValues, const QString& groupName) {
    std::vector<std::string> n, v;
    const bool ok =
        TesselObject().EnumTagItems(tag.toStdString(), count, n, v, groupName.toStdString());
    itemNames = ToList(n);
    itemValues = ToList(v);
    return ok;
}

bool PropGet(tessel::IPropertyHost* object, const QString& path, tessel::Variant& value) {
    return TesselObject().GetProp(object, path.toStdString(), value);
}

bool PropLet(tessel::IPropertyHost* object, const QString& path, const tessel::Variant& value) {
    return TesselObject().LetProp(object, path.toStdString(), value);
}

} // namespace lvlang
