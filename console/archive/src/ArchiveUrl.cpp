#include "pelarchive/ArchiveUrl.h"

#include <QDir>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QUrl>

namespace pelarchive {

namespace {

// A user or database name as the URL writes it: a character that would end its part or break
// the URL ("@", ":", "/", "%", spaces, control characters...) as %XX; letters, digits and the
// characters a URL takes plain stay as they are, so an ordinary name reads as typed.
QString Encoded(const QString& name) {
    static const QByteArray plain = QByteArrayLiteral("-._~!$&'()*+,;=");
    QString out;
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        const bool keep = u > 0x7F || (u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') ||
                          (u >= 'a' && u <= 'z') || plain.contains(static_cast<char>(u));
        if (keep)
            out += c;
        else
            out += QStringLiteral("%%1").arg(u, 2, 16, QLatin1Char('0')).toUpper();
    }
    return out;
}

} // namespace

QString ArchiveLocation::Display() const {
    if (kind == Kind::Sqlite) return path;
    // An IPv6 address goes in brackets, as in the URL: its colons are not the port's.
    const QString h =
        host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    // One pass over the pattern: a "%3" the user name brings along is not the port's place.
    return QStringLiteral("postgresql://%1@%2:%3/%4")
        .arg(Encoded(user), h, QString::number(port), Encoded(database));
}

QString DefaultArchivePath() {
    QString base = QProcessEnvironment::systemEnvironment().value(QStringLiteral("XDG_DATA_HOME"));
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/lorvane/archive.sqlite");
}

bool ParseArchiveUrl(const QString& text, ArchiveLocation& location, QString* error) {
    auto fail = [&](const QString& why) {
        if (error) *error = why;
        return false;
    };
    // The file system ends a name at a NUL: the archive would be another file than the one
    // named.
    auto sqliteFile = [&](const QString& path) {
        if (path.contains(QChar(0)))
            return fail(QStringLiteral("archive URL refused: the file name holds a NUL character"));
        location.path = QFileInfo(path).absoluteFilePath();
        return true;
    };
    const QString url = text.trimmed();
    location = ArchiveLocation();
    if (url.isEmpty()) {
        location.path = DefaultArchivePath();
        return true;
    }
    if (url.startsWith(QLatin1String("sqlite:"))) {
        QString path = url.mid(7);
        if (path.startsWith(QLatin1String("//"))) path = path.mid(2);
        if (path.isEmpty()) return fail(QStringLiteral("archive URL %1 names no file").arg(url));
        return sqliteFile(path);
    }
    static const QRegularExpression scheme(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*)://"));
    QRegularExpressionMatch m = scheme.match(url);
    if (!m.hasMatch()) return sqliteFile(url);
    const QString s = m.captured(1).toLower();
    if (s != QLatin1String("postgresql") && s != QLatin1String("postgres"))
        return fail(QStringLiteral("archive URL %1: unknown kind \"%2\" (use "
                                   "postgresql://user@host[:port]/db or an SQLite file)")
                        .arg(url, s));
    // The authority by hand first: a password must be refused even where QUrl would not
    // take the URL apart.
    const QString rest = url.mid(m.capturedLength());
    const QString authority = rest.left(rest.indexOf(QLatin1Char('/')));
    const qsizetype at = authority.lastIndexOf(QLatin1Char('@'));
    if (at >= 0 && authority.left(at).contains(QLatin1Char(':')))
        return fail(QStringLiteral("archive URL refused: it holds a password. Give the "
                                   "password through PGPASSWORD or ~/.pgpass, never in the URL."));
    QUrl u(url, QUrl::StrictMode);
    if (!u.isValid() || u.host().isEmpty())
        return fail(
            QStringLiteral("archive URL %1 is not postgresql://user@host[:port]/db").arg(url));
    if (!u.query().isEmpty() || !u.fragment().isEmpty())
        return fail(QStringLiteral("archive URL %1: no options after the database name").arg(url));
    QString db = u.path();
    if (db.startsWith(QLatin1Char('/'))) db = db.mid(1);
    if (db.isEmpty() || db.contains(QLatin1Char('/')))
        return fail(
            QStringLiteral("archive URL %1 names no database (postgresql://user@host[:port]/db)")
                .arg(url));
    if (u.userName().isEmpty())
        return fail(
            QStringLiteral("archive URL %1 names no user (postgresql://user@host[:port]/db)")
                .arg(url));
    // "%00" decodes to a NUL: the database client ends the user name there and would log in
    // as another user than the one named.
    if (u.userName().contains(QChar(0)))
        return fail(QStringLiteral("archive URL refused: the user name holds a NUL character"));
    if (u.port() == 0)
        return fail(QStringLiteral("archive URL %1: port 0 is not a port (1-65535)").arg(url));
    location.kind = ArchiveLocation::Kind::Postgres;
    location.user = u.userName();
    location.host = u.host();
    location.port = u.port(5432);
    location.database = db;
    return true;
}

} // namespace pelarchive
