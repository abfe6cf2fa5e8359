#include "ProfileCache.h"

#include <QFile>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>
#include <atomic>
#include <lvlang/AnsiCodec.h>
#include <sys/stat.h>

namespace lvlang {

namespace {
std::atomic<bool> g_enabled{true};
const char kUtf8Bom[] = "\xEF\xBB\xBF";

FileEncoding EncodingOf(const QByteArray& b) {
    if (b.startsWith("\xFF\xFE")) return FileEncoding::Utf16LE;
    if (b.startsWith("\xFE\xFF")) return FileEncoding::Utf16BE;
    if (b.startsWith(kUtf8Bom)) return FileEncoding::Utf8;
    return FileEncoding::Ansi;
}

} // namespace

bool LoadLanguageProfile(const QString& path, lvprofile::Profile* profile, FileEncoding* encoding) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || f.size() > qint64(lvprofile::kMaxProfileBytes) * 2)
        return false;
    const QByteArray bytes = f.readAll();
    if (f.error() != QFileDevice::NoError) return false;
    return ParseLanguageProfile(bytes, profile, encoding);
}

bool ParseLanguageProfile(const QByteArray& bytes, lvprofile::Profile* profile,
                          FileEncoding* encoding) {
    if (bytes.size() > qsizetype(lvprofile::kMaxProfileBytes) * 2) return false;
    const FileEncoding enc = EncodingOf(bytes);
    if (encoding) *encoding = enc;
    if (enc != FileEncoding::Utf16LE && enc != FileEncoding::Utf16BE) {
        if (bytes.size() > qsizetype(lvprofile::kMaxProfileBytes)) return false;
        *profile = lvprofile::Profile(bytes.toStdString());
        return true;
    }
    QStringDecoder dec(enc == FileEncoding::Utf16LE ? QStringConverter::Utf16LE
                                                    : QStringConverter::Utf16BE,
                       QStringConverter::Flag::Stateless);
    const QString text = dec.decode(bytes.mid(2));
    if (dec.hasError()) return false;
    const QByteArray utf8 = QByteArray(kUtf8Bom) + text.toUtf8();
    if (utf8.size() > qsizetype(lvprofile::kMaxProfileBytes)) return false;
    *profile = lvprofile::Profile(utf8.toStdString());
    return true;
}

QString DecodeValue(const lvprofile::Profile& profile, const std::string& raw) {
    const QByteArray b = QByteArray::fromStdString(raw);
    return profile.HasUtf8Bom() ? QString::fromUtf8(b) : AnsiCodec::toUnicode(b);
}

std::string EncodeValue(const lvprofile::Profile& profile, const QString& text) {
    return profile.HasUtf8Bom() ? text.toUtf8().toStdString()
                                : AnsiCodec::fromUnicode(text).toStdString();
}

bool WriteLanguageValue(const QString& path, const QString& section, const QString& key,
                        const QString& value) {
    lvprofile::Profile p;
    FileEncoding enc = FileEncoding::Ansi;
    if (QFile::exists(path) && !LoadLanguageProfile(path, &p, &enc)) return false;
    if (!p.SetValue(EncodeValue(p, section), EncodeValue(p, key), EncodeValue(p, value)))
        return false;
    if (enc != FileEncoding::Utf16LE && enc != FileEncoding::Utf16BE)
        return lvprofile::SaveProfile(QFile::encodeName(path).toStdString(), p);
    // Back to UTF-16 with its mark, in the byte order the file had.
    const QString text = QString::fromUtf8(QByteArray::fromStdString(p.Bytes()).mid(3));
    QStringEncoder encode(enc == FileEncoding::Utf16LE ? QStringConverter::Utf16LE
                                                       : QStringConverter::Utf16BE);
    QSaveFile out(path);
    const QByteArray mark = enc == FileEncoding::Utf16LE ? "\xFF\xFE" : "\xFE\xFF";
    return out.open(QIODevice::WriteOnly) && out.write(mark + QByteArray(encode(text))) >= 0 &&
           out.commit();
}

void ProfileCache::SetEnabled(bool on) {
    g_enabled = on;
}
bool ProfileCache::Enabled() {
    return g_enabled;
}

void ProfileCache::Invalidate(const QString& path) {
    entries_.erase(path);
    if (path == memoryPath_) {
        memoryPath_.clear();
        memory_.reset();
    }
}

void ProfileCache::PutMemory(const QString& path, std::unique_ptr<lvprofile::Profile> profile) {
    memoryPath_ = path;
    memory_ = std::move(profile);
}

const lvprofile::Profile* ProfileCache::Get(const QString& path) {
    if (path.isEmpty()) return nullptr;
    if (memory_ && path == memoryPath_) return memory_.get();
    const std::string native = QFile::encodeName(path).toStdString();
    if (!g_enabled) {
        auto p = std::make_unique<lvprofile::Profile>();
        if (!LoadLanguageProfile(path, p.get())) return nullptr;
        uncached_ = std::move(p);
        return uncached_.get();
    }
    struct stat st {};
    if (::stat(native.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        entries_.erase(path);
        return nullptr;
    }
    const std::int64_t mtime =
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    auto it = entries_.find(path);
    if (it != entries_.end() && it->second.mtimeNs == mtime && it->second.size == st.st_size &&
        it->second.inode == st.st_ino)
        return it->second.profile.get();
    auto p = std::make_unique<lvprofile::Profile>();
    if (!LoadLanguageProfile(path, p.get())) {
        entries_.erase(path);
        return nullptr;
    }
    Entry& e = entries_[path];
    e.mtimeNs = mtime;
    e.size = st.st_size;
    e.inode = st.st_ino;
    e.profile = std::move(p);
    return e.profile.get();
}

} // namespace lvlang
