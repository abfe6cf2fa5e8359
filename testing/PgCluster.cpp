#include "PgCluster.h"

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <pwd.h>
#include <unistd.h>

namespace lvtest {

namespace {
// The newest server of the Debian packages, else initdb on the PATH.
QString FindServerBin() {
    QDir base(QStringLiteral("/usr/lib/postgresql"));
    QStringList versions = base.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(versions.begin(), versions.end(),
              [](const QString& a, const QString& b) { return a.toInt() > b.toInt(); });
    for (const QString& v : versions) {
        const QString bin = base.filePath(v + QStringLiteral("/bin"));
        if (QFile::exists(bin + QStringLiteral("/initdb")) &&
            QFile::exists(bin + QStringLiteral("/pg_ctl")))
            return bin;
    }
    for (const QString& dir : qEnvironmentVariable("PATH").split(QLatin1Char(':')))
        if (!dir.isEmpty() && QFile::exists(dir + QStringLiteral("/initdb")) &&
            QFile::exists(dir + QStringLiteral("/pg_ctl")))
            return dir;
    return QString();
}

int FreeLoopbackPort() {
    QTcpServer s;
    if (!s.listen(QHostAddress::LocalHost, 0)) return 0;
    return s.serverPort();
}
} // namespace

PgCluster::PgCluster() {
    bin_ = FindServerBin();
    if (bin_.isEmpty()) {
        missing_ = true;
        why_ = QStringLiteral("the PostgreSQL server binaries (initdb, pg_ctl) are missing: "
                              "install the Debian package postgresql");
        return;
    }
    if (!dir_.isValid()) {
        why_ = QStringLiteral("no temporary folder");
        return;
    }
    // The server refuses to run as root: as root, the cluster belongs to "postgres".
    if (geteuid() == 0) {
        const passwd* pw = getpwnam("postgres");
        if (!pw) {
            missing_ = true;
            why_ = QStringLiteral("running as root and there is no \"postgres\" account");
            return;
        }
        asPostgres_ = true;
        if (chown(dir_.path().toLocal8Bit().constData(), pw->pw_uid, pw->pw_gid) != 0) {
            why_ = QStringLiteral("can't hand %1 to postgres").arg(dir_.path());
            return;
        }
    }
    const QString data = dir_.filePath(QStringLiteral("data"));
    QString out;
    if (!Run(QStringLiteral("initdb"),
             {"-D", data, "-A", "trust", "-U", "postgres", "--no-sync", "-E", "UTF8", "--locale=C"},
             &out, 120000)) {
        why_ = QStringLiteral("initdb failed: ") + out;
        return;
    }
    const QByteArray hba = "local all all trust\n"
                           "host all clerk 127.0.0.1/32 scram-sha-256\n"
                           "host all all 127.0.0.1/32 trust\n";
    if (!writeFile(data + QStringLiteral("/pg_hba.conf"), hba)) {
        why_ = QStringLiteral("can't write pg_hba.conf");
        return;
    }
    for (int attempt = 0; attempt < 3 && !ok_; ++attempt) {
        port_ = FreeLoopbackPort();
        const QString options = QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1 "
                                               "-c fsync=off -c full_page_writes=off")
                                    .arg(port_)
                                    .arg(dir_.path());
        ok_ = Run(QStringLiteral("pg_ctl"),
                  {"-D", data, "-l", dir_.filePath("server.log"), "-w", "-t", "60", "-o", options,
                   "start"},
                  &out, 90000);
    }
    if (!ok_) {
        why_ = QStringLiteral("the server did not start: ") + out +
               QString::fromLocal8Bit(readFile(dir_.filePath("server.log")));
        return;
    }
    if (!Psql(QStringLiteral("CREATE ROLE clerk LOGIN PASSWORD 'punch-2026'"), "postgres", &out)) {
        ok_ = false;
        why_ = QStringLiteral("can't make the role clerk: ") + out;
    }
}

PgCluster::~PgCluster() {
    if (!bin_.isEmpty() && port_ && QFile::exists(dir_.filePath("data/postmaster.pid")))
        Run(QStringLiteral("pg_ctl"),
            {"-D", dir_.filePath("data"), "-m", "immediate", "-w", "-t", "30", "stop"}, nullptr,
            40000);
}

bool PgCluster::Run(const QString& tool, const QStringList& args, QString* output,
                    int timeoutMs) const {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.setWorkingDirectory(dir_.path());
    const QString program = bin_ + QLatin1Char('/') + tool;
    if (asPostgres_)
        p.start(QStringLiteral("runuser"), QStringList{"-u", "postgres", "--", program} + args);
    else
        p.start(program, args);
    const bool done = p.waitForFinished(timeoutMs);
    if (!done) p.kill(), p.waitForFinished(5000);
    if (output) *output = QString::fromLocal8Bit(p.readAll());
    return done && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

QString PgCluster::Url(const QString& db, const QString& user) const {
    return QStringLiteral("postgresql://%1@127.0.0.1:%2/%3").arg(user).arg(port_).arg(db);
}

bool PgCluster::Psql(const QString& sql, const QString& db, QString* output) const {
    return Run(QStringLiteral("psql"),
               {"-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", dir_.path(), "-p",
                QString::number(port_), "-U", "postgres", "-d", db, "-c", sql},
               output, 60000);
}

QString PgCluster::Value(const QString& sql, const QString& db) const {
    QString out;
    if (!Run(QStringLiteral("psql"),
             {"-X", "-q", "-t", "-A", "-v", "ON_ERROR_STOP=1", "-h", dir_.path(), "-p",
              QString::number(port_), "-U", "postgres", "-d", db, "-c", sql},
             &out, 60000))
        return QString();
    return out.trimmed();
}

bool PgCluster::CreateDatabase(const QString& db) const {
    return Psql(QStringLiteral("CREATE DATABASE \"%1\"").arg(db));
}

} // namespace lvtest
