#include "ProfileCache.h"

#include <QFile>
#include <atomic>
#include <sys/stat.h>

namespace lvlang {

namespace {
std::atomic<bool> g_enabled{true};
} // namespace

void ProfileCache::SetEnabled(bool on) {
    g_enabled = on;
}
bool ProfileCache::Enabled() {
    return g_enabled;
}

void ProfileCache::Invalidate(const QString& path) {
    entries_.erase(path);
}

const lvprofile::Profile* ProfileCache::Get(const QString& path) {
    if (path.isEmpty()) return nullptr;
    const std::string native = QFile::encodeName(path).toStdString();
    if (!g_enabled) {
        auto p = std::make_unique<lvprofile::Profile>();
        if (!lvprofile::LoadProfile(native, p.get())) return nullptr;
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
    if (!lvprofile::LoadProfile(native, p.get())) {
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
