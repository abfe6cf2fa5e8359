// Archive URLs from arbitrary bytes. Besides memory errors it checks what the archive relies
// on: a URL holding a password is always refused, a refusal says why, a PostgreSQL location
// names a user, a host, one database and a port in 1-65535 and reads back from its own
// display text as the same location, and an SQLite location is an absolute file path.
#include <pelarchive/ArchiveUrl.h>

#include <QDir>
#include <QString>
#include <QUrl>
#include <cstdint>
#include <cstdlib>

using pelarchive::ArchiveLocation;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// The user part of the authority ("user:secret@host") holds a ':' : a password, even an
// empty one. Looked at independently of the parser: every '@' of the authority counts.
bool HoldsPassword(const QString& url) {
    const qsizetype scheme = url.indexOf(QLatin1String("://"));
    if (scheme < 0) return false;
    const QString rest = url.mid(scheme + 3);
    const QString authority = rest.left(rest.indexOf(QLatin1Char('/')));
    const qsizetype at = authority.lastIndexOf(QLatin1Char('@'));
    return at >= 0 && authority.left(at).contains(QLatin1Char(':'));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qputenv("XDG_DATA_HOME", "/nonexistent-lorvane-fuzz");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    const QString url =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    ArchiveLocation l;
    QString error;
    const bool ok = pelarchive::ParseArchiveUrl(url, l, &error);
    if (!ok) {
        Check(!error.isEmpty());
        return 0;
    }
    if (l.kind == ArchiveLocation::Kind::Sqlite) {
        Check(!l.path.isEmpty() && QDir::isAbsolutePath(l.path));
        return 0;
    }
    const QString trimmed = url.trimmed();
    Check(!HoldsPassword(trimmed));
    Check(QUrl(trimmed).password().isEmpty());
    Check(!l.user.isEmpty() && !l.host.isEmpty() && !l.database.isEmpty());
    Check(!l.database.contains(QLatin1Char('/')));
    Check(l.port >= 1 && l.port <= 65535);
    ArchiveLocation again;
    QString againError;
    Check(pelarchive::ParseArchiveUrl(l.Display(), again, &againError));
    Check(again.kind == ArchiveLocation::Kind::Postgres && again.user == l.user &&
          again.host == l.host && again.port == l.port && again.database == l.database);
    return 0;
}
