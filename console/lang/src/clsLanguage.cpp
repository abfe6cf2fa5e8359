// The language catalogue: the language files of the language folder, the choice of one by
// locale id or name, and texts by key or string id with their English fallbacks. Applying
// it to windows is LanguageApply.cpp.
#include <lvlang/clsLanguage.h>

#include "LanguageNumbers.h"
#include "ProfileCache.h"
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <lvlang/AnsiCodec.h>
#include <lvlang/DataDir.h>
#include <lvlang/LocaleInfo.h>
#include <lvlang/Settings.h>
#include <lvprofile/Profile.h>

namespace lvlang {

using detail::ClampInt;
using detail::kLanguageSection;
using detail::NumberOf;
using detail::NumberOfEitherPoint;

namespace {

double VersionNumber(const QString& text) {
    double v = 0;
    return NumberOfEitherPoint(text, v) ? v : 0;
}

// The leading number of a stored LCID: decimal, or hexadecimal after "&H"; 0 without one.
std::int32_t StoredLcid(const QString& text) {
    const QString s = text.trimmed();
    qint64 v = 0;
    if (s.startsWith(QLatin1String("&H"), Qt::CaseInsensitive)) {
        for (qsizetype i = 2; i < s.size(); ++i) {
            const int d = QString(s[i]).toInt(nullptr, 16);
            if (!isxdigit(s[i].toLatin1())) break;
            v = (v << 4 | d) & 0xFFFFFFFF;
        }
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
    }
    qsizetype i = 0;
    bool neg = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
    for (; i < s.size() && s[i].isDigit() && s[i].unicode() < 128; ++i) {
        v = v * 10 + (s[i].unicode() - '0');
        if (v > INT32_MAX) return neg ? INT32_MIN : INT32_MAX;
    }
    return static_cast<std::int32_t>(neg ? -v : v);
}

// LanguageID of a language file: decimal, or hexadecimal after "0x"; false for anything else.
bool ParseLanguageId(const QString& raw, std::int32_t& out) {
    QString s = raw;
    s.remove(QLatin1Char(' '));
    double d = 0;
    if (NumberOf(s, d)) {
        out = ClampInt(d);
        return true;
    }
    if (s.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        std::uint32_t v = 0;
        for (qsizetype i = 2; i < s.size() && s[i].unicode() < 128 && isxdigit(s[i].toLatin1());
             ++i)
            v = v << 4 | static_cast<std::uint32_t>(QString(s[i]).toUInt(nullptr, 16));
        out = static_cast<std::int32_t>(v);
        return true;
    }
    return false;
}

} // namespace

// ---- construction ----

clsLanguage::clsLanguage(const QString& languageDirectory) : cache_(new ProfileCache) {
    lcid_ = StoredLcid(GetSetting(QStringLiteral("Language"), QStringLiteral("DefaultLCID"),
                                  QStringLiteral("-1")));
    if (lcid_ < 0) lcid_ = SystemDefaultLCID();
    languageName_ = GetSetting(QStringLiteral("Language"), QStringLiteral("Language"),
                               EnglishLanguageName(lcid_))
                        .trimmed();
    if (languageName_.isEmpty()) languageName_ = QStringLiteral("English");
    setLanguageDirectory(languageDirectory.isEmpty() ? LanguageDir() : languageDirectory);
}

clsLanguage::~clsLanguage() {
    SaveSetting(QStringLiteral("Language"), QStringLiteral("DefaultLCID"), QString::number(lcid_));
    SaveSetting(QStringLiteral("Language"), QStringLiteral("Language"), languageName_);
}

std::int32_t clsLanguage::SystemDefaultLCID() const {
    return SystemDefaultLcid();
}

QString clsLanguage::SystemLanguageName() const {
    return EnglishLanguageName(SystemDefaultLcid());
}

// ---- the language list ----

void clsLanguage::UpdateLanguageBoxChange() {
    if (!box_) return;
    const int i = box_->ListIndex();
    if (i < 0 || i >= box_->ListCount()) return;
    lcid_ = box_->ItemData(i);
    languageName_ = box_->ItemText(i);
    ListRefresh(lcid_);
}

void clsLanguage::SetLanguageBox(ILanguageBox* box) {
    box_ = box;
    ListRefresh(lcid_);
}

void clsLanguage::setLanguageDirectory(const QString& dir) {
    languageDirectory_ = dir;
    ListRefresh(lcid_);
}

void clsLanguage::ListRefresh(std::int32_t& lcid) {
    QString dir = languageDirectory_.trimmed();
    if (!dir.endsWith(QLatin1Char('/'))) dir += QLatin1Char('/');
    const QFileInfoList files = QDir(dir).entryInfoList(
        QStringList{QStringLiteral("*.") + extension_}, QDir::Files | QDir::Hidden, QDir::Name);
    if (box_) box_->Clear();
    entries_.clear();
    const std::int32_t wanted = lcid == -1 ? SystemDefaultLCID() : lcid;
    QString nameToSelect = languageName_;
    bool found = false;
    for (const QFileInfo& fi : files) {
        LanguageEntry e;
        const QString path = fi.filePath();
        if (!ReadLanguageFile(e, path)) continue;
        if (e.Version < languageVersion_) continue;
        bool selectedNow = false;
        if (e.LanguageID == wanted) {
            currentFile_ = path;
            languageName_ = e.Language;
            nameToSelect = e.Language;
            found = selectedNow = true;
        } else if (!found && e.Language == languageName_) {
            currentFile_ = path;
            nameToSelect = e.Language;
            found = selectedNow = true;
        } else if (!found && e.LanguageID == 1033) {
            currentFile_ = path;
        }
        if (box_) {
            box_->AddItem(e.Language, e.LanguageID);
            const int idx = box_->ListCount() - 1;
            if (box_->ListIndex() < 0 || selectedNow) {
                if (e.Language.compare(nameToSelect, Qt::CaseInsensitive) == 0 ||
                    e.LanguageID == wanted)
                    box_->SetListIndex(idx);
            }
        }
        entries_.push_back(std::move(e));
    }
}

bool clsLanguage::ReadLanguageFile(LanguageEntry& entry, const QString& path) {
    lvprofile::Profile profile;
    const bool loaded = LoadLanguageProfile(path, &profile);
    return FillEntry(entry, loaded, profile, path);
}

bool clsLanguage::ReadLanguageBytes(LanguageEntry& entry, const QByteArray& bytes,
                                    const QString& path) {
    lvprofile::Profile profile;
    const bool loaded = ParseLanguageProfile(bytes, &profile);
    return FillEntry(entry, loaded, profile, path);
}

bool clsLanguage::FillEntry(LanguageEntry& entry, bool loaded, const lvprofile::Profile& profile,
                            const QString& path) {
    entry = LanguageEntry();
    static const char* const kKeys[] = {"Version",     "LanguageID", "Language", "CompanyName",
                                        "ProductName", "FontName",   "FontSize", "Charset"};
    for (const char* key : kKeys) {
        if (!loaded) break;
        const std::string raw = profile.GetString("INFO", key, "", lvprofile::kValueBufferSize);
        const QString value = ReadEscapes(DecodeValue(profile, raw)).trimmed();
        if (value.isEmpty()) continue;
        const QString k = QString::fromLatin1(key);
        if (k == QLatin1String("Version")) {
            entry.Version = VersionNumber(value);
        } else if (k == QLatin1String("LanguageID")) {
            if (!ParseLanguageId(value, entry.LanguageID)) return false;
        } else if (k == QLatin1String("Language")) {
            entry.Language = value;
        } else if (k == QLatin1String("CompanyName")) {
            entry.CompanyName = value;
        } else if (k == QLatin1String("ProductName")) {
            entry.ProductName = value;
        } else if (k == QLatin1String("FontName")) {
            entry.FontName = value;
        } else if (k == QLatin1String("FontSize")) {
            double d = 0;
            entry.FontSize = NumberOfEitherPoint(value, d) ? d : 8;
        } else if (k == QLatin1String("Charset")) {
            double d = 0;
            entry.Charset = NumberOf(value, d) ? ClampInt(d) : 1;
        }
    }
    if (entry.Language.trimmed().isEmpty()) {
        const QString name = QFileInfo(path).fileName();
        const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
        if (dot == 0)
            entry.Language = QStringLiteral("[Undefined]");
        else if (dot > 0)
            entry.Language = name.left(dot);
        else
            entry.Language = name;
    }
    entry.FileName = path;
    return true;
}

// ---- keys ----

bool clsLanguage::OpenFile(const QString& path) {
    currentFile_ = path;
    if (QFileInfo(path).isFile()) return true;
    QString dir = languageDirectory_;
    if (!dir.endsWith(QLatin1Char('/'))) dir += QLatin1Char('/');
    if (!path.isEmpty() && QFileInfo(dir + path).isFile()) {
        currentFile_ = dir + path;
        return true;
    }
    return false;
}

bool clsLanguage::OpenBytes(const QString& name, const QByteArray& bytes) {
    currentFile_ = name;
    auto profile = std::make_unique<lvprofile::Profile>();
    if (!ParseLanguageProfile(bytes, profile.get())) {
        cache_->Invalidate(name);
        return false;
    }
    cache_->PutMemory(name, std::move(profile));
    return true;
}

void clsLanguage::setSection(const QString& section) {
    section_ = section.isEmpty() ? QStringLiteral("General") : section;
}

std::optional<QString> clsLanguage::ReadRaw(const QString& file, const QString& section,
                                            const QString& key) {
    const lvprofile::Profile* p = cache_->Get(file);
    if (!p) return std::nullopt;
    std::optional<std::string> v = p->Value(EncodeValue(*p, section), EncodeValue(*p, key));
    if (!v) return std::nullopt;
    if (v->size() > lvprofile::kValueBufferSize - 1) {
        v->resize(lvprofile::kValueBufferSize - 1);
        // A UTF-8 character cut in two is dropped whole.
        if (p->HasUtf8Bom()) {
            std::size_t end = v->size();
            std::size_t lead = end;
            while (lead > 0 && (static_cast<unsigned char>((*v)[lead - 1]) & 0xC0) == 0x80)
                --lead;
            if (lead > 0) {
                const unsigned char c = static_cast<unsigned char>((*v)[lead - 1]);
                const std::size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
                if (end - (lead - 1) < need) v->resize(lead - 1);
            }
        }
    }
    return DecodeValue(*p, *v);
}

bool clsLanguage::GetKeyValueEx(QString& value, const QString& key, const QString& fallback,
                                const QString& section, const QString& file) {
    const QString sec = section.isEmpty() ? section_ : section;
    const QString f = file.trimmed();
    if (f.isEmpty() || !QFileInfo(f).isFile()) {
        value = fallback;
        return false;
    }
    const std::optional<QString> raw = ReadRaw(f, sec, key);
    QString text;
    if (raw && !raw->isEmpty())
        text = ReadEscapes(*raw);
    else
        text = raw ? fallback : ReadEscapes(fallback);
    if (text.isEmpty()) {
        value = fallback;
        return false;
    }
    value = text;
    return true;
}

QString clsLanguage::GetKeyValue(const QString& key, const QString& fallback,
                                 const QString& section) {
    const std::optional<QString> raw =
        ReadRaw(currentFile_, section.isEmpty() ? section_ : section, key);
    if (raw && !raw->isEmpty()) return ReadEscapes(*raw);
    if (raw) return fallback;
    return ReadEscapes(fallback);
}

bool clsLanguage::SetKeyValue(const QString& key, const QString& value, const QString& section) {
    if (currentFile_.isEmpty()) return false;
    cache_->Invalidate(currentFile_);
    return WriteLanguageValue(currentFile_, section.isEmpty() ? section_ : section, key,
                              WriteEscapes(value));
}

QString clsLanguage::GetString(const QString& id, const QString& fallback) {
    return GetKeyValue(id, fallback, kLanguageSection);
}

bool clsLanguage::SetString(const QString& id, const QString& text) {
    return SetKeyValue(id, text, kLanguageSection);
}

// ---- escapes and tag captions ----

QString clsLanguage::ReadEscapes(const QString& value) {
    if (!value.contains(QLatin1Char('\\'))) return value;
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == QLatin1Char('\\') && i + 1 < value.size()) {
            if (value[i + 1] == QLatin1Char('\\')) {
                out += QLatin1Char('\\');
                ++i;
                continue;
            }
            if (value[i + 1] == QLatin1Char('n')) {
                out += QStringLiteral("\r\n");
                ++i;
                continue;
            }
        }
        out += value[i];
    }
    return out;
}

QString clsLanguage::WriteEscapes(const QString& value) {
    QString out = value;
    out.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    out.replace(QStringLiteral("\r\n"), QStringLiteral("\\n"));
    return out;
}

// ---- clsLanguageString ----

bool clsLanguageString::TagLinkString(clsLanguage* language, const QString& tag,
                                      const QString& itemName, const QString& fallback) {
    language_ = nullptr;
    fallback_ = fallback;
    tessel::clsTessel t;
    std::string id;
    if (!t.GetTagItem(tag.toStdString(), itemName.toStdString(), id, "LNG")) return false;
    id_ = QString::fromStdString(id);
    language_ = language;
    return true;
}

void clsLanguageString::LinkString(clsLanguage* language, const QString& id,
                                   const QString& fallback) {
    language_ = language;
    id_ = id;
    fallback_ = fallback;
}

QString clsLanguageString::Text() const {
    return language_ ? language_->GetString(id_, fallback_) : fallback_;
}

} // namespace lvlang
