#include <lvlang/AnsiCodec.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>
#include <vector>

namespace lvlang {

namespace {

constexpr const char* kDefaultCodePage = "windows-1252";

// The one converter of the process. ICU converters keep state, so every use holds the lock.
struct Converter {
    std::mutex lock;
    UConverter* cnv = nullptr;
    QString name; // as chosen, e.g. "windows-1252"
    // The Windows code pages leave a few bytes of 0x80..0x9F undefined (0x81, 0x8D, 0x8F,
    // 0x90, 0x9D in windows-1252); ICU passes them through as C1 control characters.
    bool c1Undefined = false;

    UConverter* get() {
        if (!cnv) {
            const char* env = std::getenv("LORVANE_CODEPAGE");
            UErrorCode err = U_ZERO_ERROR;
            if (env && *env) {
                cnv = ucnv_open(env, &err);
                name = QString::fromLocal8Bit(env);
            }
            if (!cnv || U_FAILURE(err)) {
                err = U_ZERO_ERROR;
                cnv = ucnv_open(kDefaultCodePage, &err);
                name = QString::fromLatin1(kDefaultCodePage);
            }
            setSubstitute(cnv);
            c1Undefined = IsWindowsCodePage(cnv);
        }
        return cnv;
    }
    static bool IsWindowsCodePage(UConverter* c) {
        if (!c) return false;
        UErrorCode err = U_ZERO_ERROR;
        const char* canonical = ucnv_getName(c, &err);
        if (U_FAILURE(err) || !canonical) return false;
        // windows-1250 .. windows-1258 under any of their aliases.
        for (int cp = 1250; cp <= 1258; ++cp) {
            err = U_ZERO_ERROR;
            UConverter* probe = ucnv_open(("windows-" + std::to_string(cp)).c_str(), &err);
            if (!probe) continue;
            UErrorCode e2 = U_ZERO_ERROR;
            const char* probeName = ucnv_getName(probe, &e2);
            const bool same = U_SUCCESS(e2) && ucnv_compareNames(probeName, canonical) == 0;
            ucnv_close(probe);
            if (same) return true;
        }
        return false;
    }
    static void setSubstitute(UConverter* c) {
        if (!c) return;
        UErrorCode err = U_ZERO_ERROR;
        ucnv_setSubstChars(c, "?", 1, &err);
    }
};

Converter& conv() {
    static Converter c;
    return c;
}

QString Decode(UConverter* c, const char* data, int32_t len) {
    if (len <= 0 || !c) return QString();
    ucnv_resetToUnicode(c);
    std::vector<UChar> out(static_cast<size_t>(len) * 2 + 16);
    UErrorCode err = U_ZERO_ERROR;
    int32_t n = ucnv_toUChars(c, out.data(), static_cast<int32_t>(out.size()), data, len, &err);
    if (err == U_BUFFER_OVERFLOW_ERROR) {
        out.resize(static_cast<size_t>(n) + 1);
        err = U_ZERO_ERROR;
        n = ucnv_toUChars(c, out.data(), static_cast<int32_t>(out.size()), data, len, &err);
    }
    if (U_FAILURE(err)) return QString();
    return QString(reinterpret_cast<const QChar*>(out.data()), n);
}

QByteArray Encode(UConverter* c, const QString& text, bool* lossless) {
    if (lossless) *lossless = true;
    if (text.isEmpty() || !c) return QByteArray();
    ucnv_resetFromUnicode(c);
    const auto* src = reinterpret_cast<const UChar*>(text.utf16());
    const int32_t srcLen = static_cast<int32_t>(text.size());
    UErrorCode err = U_ZERO_ERROR;
    if (lossless) {
        // Stop at the first unmappable character instead of substituting it.
        ucnv_setFromUCallBack(c, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &err);
        err = U_ZERO_ERROR;
    }
    QByteArray out;
    out.resize(srcLen * ucnv_getMaxCharSize(c) + 16);
    int32_t n = ucnv_fromUChars(c, out.data(), static_cast<int32_t>(out.size()), src, srcLen, &err);
    if (lossless) {
        UErrorCode e2 = U_ZERO_ERROR;
        ucnv_setFromUCallBack(c, UCNV_FROM_U_CALLBACK_SUBSTITUTE, nullptr, nullptr, nullptr, &e2);
        if (U_FAILURE(err)) *lossless = false;
    }
    if (U_FAILURE(err)) return QByteArray();
    out.resize(n);
    return out;
}

} // namespace

QString AnsiCodec::toUnicode(const QByteArray& bytes) {
    Converter& c = conv();
    std::lock_guard<std::mutex> g(c.lock);
    QString text = Decode(c.get(), bytes.constData(), static_cast<int32_t>(bytes.size()));
    if (c.c1Undefined) {
        for (QChar& ch : text)
            if (ch.unicode() >= 0x80 && ch.unicode() <= 0x9F) ch = QChar(0xFFFD);
    }
    return text;
}

QByteArray AnsiCodec::fromUnicode(const QString& text) {
    Converter& c = conv();
    std::lock_guard<std::mutex> g(c.lock);
    return Encode(c.get(), text, nullptr);
}

std::string AnsiCodec::toUtf8(std::string_view bytes) {
    return toUnicode(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()))).toStdString();
}

std::string AnsiCodec::fromUtf8(std::string_view utf8) {
    return fromUnicode(QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())))
        .toStdString();
}

bool AnsiCodec::canEncode(const QString& text) {
    Converter& c = conv();
    std::lock_guard<std::mutex> g(c.lock);
    bool ok = true;
    Encode(c.get(), text, &ok);
    return ok;
}

bool AnsiCodec::setCodePage(const QString& name, QString* error) {
    UErrorCode err = U_ZERO_ERROR;
    const QByteArray n = name.trimmed().toLatin1();
    UConverter* fresh = n.isEmpty() ? nullptr : ucnv_open(n.constData(), &err);
    if (!fresh || U_FAILURE(err)) {
        if (fresh) ucnv_close(fresh);
        if (error) *error = QStringLiteral("Unknown code page \"%1\"").arg(name);
        return false;
    }
    Converter::setSubstitute(fresh);
    Converter& c = conv();
    std::lock_guard<std::mutex> g(c.lock);
    if (c.cnv) ucnv_close(c.cnv);
    c.cnv = fresh;
    c.name = name.trimmed();
    c.c1Undefined = Converter::IsWindowsCodePage(fresh);
    return true;
}

QString AnsiCodec::codePage() {
    Converter& c = conv();
    std::lock_guard<std::mutex> g(c.lock);
    return c.get() ? c.name : QString();
}

} // namespace lvlang
