// Where the record archive lives: an SQLite file (the default, one per user) or a PostgreSQL
// database shared by several sites. Passwords never travel in the URL: libpq takes them from
// PGPASSWORD or ~/.pgpass.
#pragma once
#include <QString>

namespace pelarchive {

struct ArchiveLocation {
    enum class Kind { Sqlite, Postgres };
    Kind kind = Kind::Sqlite;
    QString path; // Sqlite: the database file
    QString user, host, database;
    int port = 5432;
    // A short text for messages: the file, or "postgresql://user@host:port/db".
    QString Display() const;
};

// $XDG_DATA_HOME/lorvane/archive.sqlite (~/.local/share/lorvane/archive.sqlite).
QString DefaultArchivePath();

// Reads an archive URL:
//   ""                                  the default SQLite file
//   "sqlite:///abs/path", "sqlite:rel", a path   an SQLite file
//   "postgresql://user@host[:port]/db" (also "postgres://")
// Returns false with *error set on anything else; a password in a PostgreSQL URL is refused.
bool ParseArchiveUrl(const QString& url, ArchiveLocation& location, QString* error);

} // namespace pelarchive
