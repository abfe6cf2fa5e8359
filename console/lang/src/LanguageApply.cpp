// The catalogue applied to windows and controls: the "lng" items of a control's tag string
// name a property (PropertyForKey) and a text id, the "fnt" items its font; a window keeps
// what it appended to its translated caption at run time (" - COM1").
#include <lvlang/clsLanguage.h>

#include "LanguageNumbers.h"
#include <lvlang/PropertyNames.h>

namespace lvlang {

using detail::ClampInt;
using detail::kLanguageSection;
using detail::NumberOr0;

namespace {
QString Upper(const QString& s) {
    return s.toUpper();
}
} // namespace

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
    const LanguageKey* found = nullptr;
    for (const LanguageKey& k : LanguageKeys())
        if (base == QLatin1String(k.key)) found = &k;
    // Any other key names a property by itself.
    if (!found) return open < 0 ? key.trimmed() : key.left(open).trimmed();
    const PropertyName& p = NameOf(found->property);
    const QString name = QString::fromLatin1(p.name);
    if (p.indexes == 0) return name;
    if (open < 0 || !idx.contains(QLatin1Char(')'))) return QString();
    const QString member = QString::fromLatin1(found->member);
    if (!member.contains(QLatin1String("%1"))) return name + idx + member;
    // BTMT(i,j): the menu entry j of button i; a single index names the button itself.
    const QString inner = idx.mid(1, idx.indexOf(QLatin1Char(')')) - 1);
    const qsizetype comma = inner.indexOf(QLatin1Char(','));
    if (comma < 0) return name + QStringLiteral("(") + inner + QStringLiteral(")");
    return name + QStringLiteral("(") + inner.left(comma) + QStringLiteral(")") +
           member.arg(inner.mid(comma + 1));
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

} // namespace lvlang
