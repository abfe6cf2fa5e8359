// A throwaway PostgreSQL server for tests: initdb and pg_ctl of the Debian server packages
// (under the "postgres" account when the tests run as root), in a temporary folder, on a free
// loopback port, with fsync off; stopped and removed when the object goes.
// Host authentication: the superuser "postgres" is trusted; the role "clerk" must give a
// password (scram-sha-256), for the tests of the libpq password ways.
#pragma once
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace lvtest {

class PgCluster {
public:
    PgCluster();
    ~PgCluster();
    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    // False with Why() when the server binaries are missing or the server did not start.
    bool ok() const { return ok_; }
    // True when the binaries are missing (the tests skip, loudly); false when they are there
    // but failed (the tests fail).
    bool missing() const { return missing_; }
    QString Why() const { return why_; }
    int Port() const { return port_; }
    // "postgresql://USER@127.0.0.1:PORT/DB"
    QString Url(const QString& db, const QString& user = QStringLiteral("postgres")) const;
    // Runs SQL as the superuser in database db; false with *output holding psql's messages.
    bool Psql(const QString& sql, const QString& db = QStringLiteral("postgres"),
              QString* output = nullptr) const;
    // The first column of the first row of a query as text ("" when it failed).
    QString Value(const QString& sql, const QString& db) const;
    // A new empty database.
    bool CreateDatabase(const QString& db) const;

private:
    bool Run(const QString& tool, const QStringList& args, QString* output, int timeoutMs) const;
    QTemporaryDir dir_;
    QString bin_;
    int port_ = 0;
    bool ok_ = false, missing_ = false, asPostgres_ = false;
    QString why_;
};

} // namespace lvtest
