#include <lvlang/clsLanguage.h>

#include "ProfileCache.h"
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <cmath>
#include <lvlang/AnsiCodec.h>
#include <lvlang/DataDir.h>
#include <lvlang/LocaleInfo.h>
#include <lvlang/Settings.h>
#include <lvprofile/Profile.h>

namespace lvlang {

namespace {

const QString kLanguageSection = QStringLiteral("LANGUGAE");

// A number written with "." as decimal point (blanks around allowed); false otherwise.
bool NumberOf(const QString& text, double& out) {
    bool ok = false;
    const double v = QLocale::c().toDouble(text.trimmed(), &ok);
    if (!ok || !std::isfinite(v)) return false;
    out = v;
    return true;
}

// A number with "." or "," as decimal point ("1.0", "1,0"), as files saved under a locale
// with a decimal comma hold them.
bool NumberOfEitherPoint(const QString& text, double& out) {
    if (NumberOf(text, out)) return true;
    const QString t = text.trimmed();
    if (t.count(QLatin1Char(',')) != 1 || t.contains(QLatin1Char('.'))) return false;
    return NumberOf(QString(t).replace(QLatin1Char(','), QLatin1Char('.')), out);
}

double VersionNumber(const QString& text) {
    double v = 0;
    return NumberOfEitherPoint(text, v) ? v : 0;
}

double NumberOr0(const QString& text) {
    double v = 0;
    return NumberOf(text, v) ? v : 0;
}

std::int32_t ClampInt(double v) {
    if (!(v > -2147483648.0)) return INT32_MIN;
    if (v >= 2147483647.0) return INT32_MAX;
    return static_cast<std::int32_t>(std::lround(v));
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

QString Upper(const QString& s) {
    return s.toUpper();
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

QString clsLanguage::EncodeTagCaption(const QString& caption) {
    QString out;
    out.reserve(caption.size());
    for (const QChar c : caption) {
        switch (c.unicode()) {
        case '%':
            out += QStringLiteral("%%");
            break;
        case ' ':
        case ',':
        case '=':
        case '{':
        case '}':
        case ':':
            out += QLatin1Char('%') +
                   QStringLiteral("%1").arg(c.unicode(), 2, 16, QLatin1Char('0')).toUpper();
            break;
        default:
            out += c;
        }
    }
    return out;
}

QString clsLanguage::DecodeTagCaption(const QString& encoded) {
    QString out;
    out.reserve(encoded.size());
    for (qsizetype i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == QLatin1Char('%')) {
            if (i + 1 < encoded.size() && encoded[i + 1] == QLatin1Char('%')) {
                out += QLatin1Char('%');
                ++i;
                continue;
            }
            const QString code = encoded.mid(i + 1, 2);
            static const char* const kCodes[][2] = {{"20", " "}, {"2C", ","}, {"3D", "="},
                                                    {"7B", "{"}, {"7D", "}"}, {"3A", ":"}};
            bool done = false;
            for (const auto& kc : kCodes) {
                if (code == QLatin1String(kc[0])) {
                    out += QLatin1String(kc[1]);
                    i += 2;
                    done = true;
                    break;
                }
            }
            if (done) continue;
        }
        out += encoded[i];
    }
    return out;
}

QString clsLanguage::PropertyForKey(const QString& key) {
    const qsizetype open = key.indexOf(QLatin1Char('('));
    const QString base = Upper(open < 0 ? key : key.left(open)).trimmed();
    const QString idx = open < 0 ? QString() : key.mid(open);
    if (base == QLatin1String("CAP")) return QStringLiteral("Caption");
    if (base == QLatin1String("TIP")) return QStringLiteral("ToolTipText");
    if (base == QLatin1String("TXT")) return QStringLiteral("Text");
    if (base == QLatin1String("IMG")) return QStringLiteral("Image");
    if (base == QLatin1String("PIC")) return QStringLiteral("Picture");
    static const char* const kIndexed[] = {"LST",  "TBCP", "CLHT", "BTCP", "BTTP",
                                           "BTMT", "TBSC", "TBST", "TTMX"};
    bool indexed = false;
    for (const char* k : kIndexed)
        if (base == QLatin1String(k)) indexed = true;
    if (!indexed) return open < 0 ? key.trimmed() : key.left(open).trimmed();
    if (open < 0 || !idx.contains(QLatin1Char(')'))) return QString();
    if (base == QLatin1String("LST")) return QStringLiteral("List") + idx;
    if (base == QLatin1String("TBCP")) return QStringLiteral("TabCaption") + idx;
    if (base == QLatin1String("CLHT")) return QStringLiteral("ColumnHeaders") + idx + ".Text";
    if (base == QLatin1String("BTCP")) return QStringLiteral("Buttons") + idx + ".Caption";
    if (base == QLatin1String("BTTP")) return QStringLiteral("Buttons") + idx + ".ToolTipText";
    if (base == QLatin1String("TBSC")) return QStringLiteral("Tabs") + idx + ".Caption";
    if (base == QLatin1String("TBST")) return QStringLiteral("Tabs") + idx + ".ToolTipText";
    if (base == QLatin1String("TTMX")) return QStringLiteral("TextMatrix") + idx;
    // BTMT(i,j): the menu entry j of button i; a single index names the button itself.
    const QString inner = idx.mid(1, idx.indexOf(QLatin1Char(')')) - 1);
    const qsizetype comma = inner.indexOf(QLatin1Char(','));
    if (comma < 0) return QStringLiteral("Buttons(") + inner + ")";
    return QStringLiteral("Buttons(") + inner.left(comma) + ").ButtonMenus(" +
           inner.mid(comma + 1) + ").Text";
}

// ---- applying a language to windows and controls ----

bool clsLanguage::ReadDefaultFont(tessel::IPropertyHost& obj, DefaultFont& font) {
    tessel::Variant f;
    if (!obj.GetProperty("Font", {}, f) || !f.isObject() || !f.object()) return false;
    tessel::Variant name, size, charset;
    tessel_.GetProp(&obj, "Font.Name", name);
    tessel_.GetProp(&obj, "Font.Size", size);
    tessel_.GetProp(&obj, "Font.Charset", charset);
    double ownSize = 0, ownCharset = 0;
    size.toNumber(ownSize);
    charset.toNumber(ownCharset);
    const QString info = QStringLiteral("Info");
    font.name =
        GetKeyValue(QStringLiteral("Font.Name"), QString::fromStdString(name.toText()), info);
    font.size = NumberOr0(
        GetKeyValue(QStringLiteral("Font.Size"), QString::fromStdString(size.toText()), info));
    if (font.size < 4) font.size = ownSize;
    const QString cs =
        GetKeyValue(QStringLiteral("Font.Charset"), QString::fromStdString(charset.toText()), info);
    font.charset = cs.trimmed().compare(QLatin1String("DEFAULT_CHARSET"), Qt::CaseInsensitive) == 0
                       ? 1
                       : ClampInt(NumberOr0(cs));
    return true;
}

void clsLanguage::ProcessObject(tessel::IPropertyHost& obj, const DefaultFont& font) {
    tessel::Variant tagValue;
    tessel_.GetProp(&obj, "Tag", tagValue);
    const std::string tag = tagValue.toText();

    std::int32_t n = 0;
    std::vector<std::string> names, values;
    if (tessel_.EnumTagItems(tag, n, names, values, "LNG")) {
        for (std::int32_t i = 0; i < n; ++i) {
            const QString prop = PropertyForKey(QString::fromStdString(names[i]));
            if (prop.isEmpty()) continue;
            // A missing or empty translation leaves the control's current text alone.
            const std::optional<QString> raw =
                ReadRaw(currentFile_, kLanguageSection, QString::fromStdString(values[i]));
            if (!raw || raw->isEmpty()) continue;
            tessel_.LetProp(&obj, prop.toStdString(), ReadEscapes(*raw).toStdString());
        }
    }

    tessel::Variant f;
    if (!obj.GetProperty("Font", {}, f) || !f.isObject() || !f.object()) return;
    QString fontName = font.name;
    double fontSize = font.size;
    std::int32_t fontCharset = font.charset;
    std::vector<std::pair<std::string, tessel::Variant>> further;
    if (tessel_.EnumTagItems(tag, n, names, values, "FNT")) {
        for (std::int32_t i = 0; i < n; ++i) {
            const QString item = QString::fromStdString(names[i]);
            const QString up = Upper(item);
            const QString path =
                up.startsWith(QLatin1String("FONT")) ? item : QStringLiteral("Font.") + item;
            tessel::Variant cur;
            tessel_.GetProp(&obj, path.toStdString(), cur);
            const QString text =
                GetKeyValue(QString::fromStdString(values[i]), QString::fromStdString(cur.toText()),
                            QStringLiteral("FONT"));
            if (up == QLatin1String("NAME") || up == QLatin1String("FONT.NAME") ||
                up == QLatin1String("FONTNAME")) {
                fontName = text;
            } else if (up == QLatin1String("SIZE") || up == QLatin1String("FONT.SIZE") ||
                       up == QLatin1String("FONTSIZE")) {
                const double s = NumberOr0(text);
                if (s > 0) fontSize = s;
            } else if (up == QLatin1String("CHARSET") || up == QLatin1String("FONT.CHARSET") ||
                       up == QLatin1String("FONTCHARSET")) {
                fontCharset = ClampInt(NumberOr0(text));
            } else if (further.size() < 5) {
                further.emplace_back(path.toStdString(), cur.isText()
                                                             ? tessel::Variant(text.toStdString())
                                                             : tessel::Variant(NumberOr0(text)));
            }
        }
    }
    for (auto it = further.rbegin(); it != further.rend(); ++it)
        tessel_.LetProp(&obj, it->first, it->second);
    tessel_.LetProp(&obj, "Font.Name", fontName.toStdString());
    tessel_.LetProp(&obj, "Font.Size", fontSize);
    tessel_.LetProp(&obj, "Font.Charset", static_cast<int>(fontCharset));
}

bool clsLanguage::LoadFormStrings(ILanguageForm& window) {
    DefaultFont font;
    if (!ReadDefaultFont(window, font)) return false;

    // Text the window appended to its translated caption at run time (" - COM1").
    tessel::Variant tagValue, captionValue;
    tessel_.GetProp(&window, "Tag", tagValue);
    tessel_.GetProp(&window, "Caption", captionValue);
    QString suffix;
    std::string stored;
    if (tessel_.GetTagItem(tagValue.toText(), "Caption", stored, "AutoSave")) {
        const QString designed = DecodeTagCaption(QString::fromStdString(stored).trimmed());
        const QString caption = QString::fromStdString(captionValue.toText());
        if (!designed.isEmpty() && caption.startsWith(designed, Qt::CaseInsensitive))
            suffix = caption.mid(designed.size());
        // Take the suffix off first, so that a caption the language leaves alone does not
        // get it twice.
        if (!suffix.isEmpty())
            tessel_.LetProp(&window, "Caption", caption.left(designed.size()).toStdString());
    }

    ProcessObject(window, font);
    for (const tessel::PropertyHostPtr& c : window.Controls())
        if (c) ProcessObject(*c, font);

    tagValue = tessel::Variant();
    captionValue = tessel::Variant();
    tessel_.GetProp(&window, "Tag", tagValue);
    tessel_.GetProp(&window, "Caption", captionValue);
    std::string tag = tagValue.toText();
    const QString caption = QString::fromStdString(captionValue.toText());
    tessel_.SetTagItem(tag, "Caption", EncodeTagCaption(caption).toStdString(), "AutoSave");
    tessel_.LetProp(&window, "Tag", tag);
    if (!suffix.isEmpty()) tessel_.LetProp(&window, "Caption", (caption + suffix).toStdString());
    return true;
}

bool clsLanguage::LoadObjectStrings(tessel::IPropertyHost& object) {
    DefaultFont font;
    if (!ReadDefaultFont(object, font)) return false;
    ProcessObject(object, font);
    return true;
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
