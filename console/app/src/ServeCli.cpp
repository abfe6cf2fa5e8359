// pelmar serve: the archive's readers and punches in a browser (pelweb::WebServer), and
// --add-user for the users file that lets it listen beyond the loopback address.
#include "ArchiveCli.h"
#include "CliOptions.h"

#include <pelweb/WebServer.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QSettings>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <unistd.h>

namespace pelmar::cli {

namespace {

std::atomic<int> g_serveSignal{0};
extern "C" void OnServeStopSignal(int sig) {
    g_serveSignal = sig;
}

int ServeUsage(Io& io, const QString& why) {
    io.err << "pelmar: " << why << Qt::endl
           << "usage: pelmar serve [--archive URL] [--readers FILE] [--listen ADDR:PORT] "
              "[--users FILE] [--every 15m]\n"
              "       pelmar serve --add-user NAME --role viewer|operator [--users FILE]\n";
    return kExitUsage;
}

// The password of a new user: from the terminal without echo (asked twice), else one line of
// standard input.
bool ReadPassword(Io& io, const QString& name, QString* password, QString* error) {
    if (::isatty(STDIN_FILENO)) {
        QString again;
        if (!io.ask(QStringLiteral("Password for %1: ").arg(name), true, *password) ||
            !io.ask(QStringLiteral("The same password again: "), true, again)) {
            *error = QStringLiteral("no terminal to ask the password on");
            return false;
        }
        if (again != *password) {
            *error = QStringLiteral("the two passwords differ");
            return false;
        }
        return true;
    }
    std::string line;
    if (!std::getline(std::cin, line)) {
        *error = QStringLiteral("no password on standard input");
        return false;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    *password = QString::fromStdString(line);
    return true;
}

int AddUserCommand(const Options& o, Io& io) {
    const pelweb::Role role = pelweb::RoleFromText(o.Value("--role"));
    if (role == pelweb::Role::None)
        return ServeUsage(io, QStringLiteral("--role: viewer or operator"));
    const QString name = o.Value("--add-user");
    if (const QString why = pelweb::CheckUserName(name); !why.isEmpty())
        return ServeUsage(io, QStringLiteral("--add-user: ") + why);
    const QString path = o.Has("--users") ? o.Value("--users") : pelweb::DefaultUsersPath();
    QString password, error;
    if (!ReadPassword(io, name, &password, &error)) {
        io.err << "pelmar: " << error << Qt::endl;
        return kExitUsage;
    }
    if (password.size() < 8) {
        io.err << "pelmar: a password has at least 8 characters" << Qt::endl;
        return kExitUsage;
    }
    if (!pelweb::AddUser(path, name, role, password, pelweb::kDefaultIterations, &error)) {
        io.err << "pelmar: " << error << Qt::endl;
        return kExitFailed;
    }
    io.out << QStringLiteral("%1 (%2) saved in %3").arg(name, pelweb::RoleText(role), path)
           << Qt::endl;
    return kExitOk;
}

} // namespace

int CmdServe(const QStringList& args, Io& io) {
    const Options o =
        Parse(GiveOptionalValue(args, "--archive"), OptionsOf(QStringLiteral("serve")));
    if (!o.error.isEmpty()) return ServeUsage(io, o.error);
    if (o.Has("--add-user")) return AddUserCommand(o, io);
    if (o.Has("--role")) return ServeUsage(io, QStringLiteral("--role goes with --add-user"));

    pelweb::ServeOptions options;
    options.archiveUrl = o.Value("--archive");
    QString error;
    if (o.Has("--listen") &&
        !pelweb::ParseListen(o.Value("--listen"), &options.address, &options.port, &error))
        return ServeUsage(io, error);
    // The command table has checked the interval (IsInterval).
    if (o.Has("--every")) options.defaultIntervalSeconds = ParseInterval(o.Value("--every"));
    options.usersFile = o.Has("--users") ? o.Value("--users") : pelweb::DefaultUsersPath();
    if (o.Has("--users") && !QFileInfo::exists(options.usersFile)) {
        io.err << QStringLiteral("pelmar: no users file %1 (make one with pelmar serve "
                                 "--add-user NAME --role viewer|operator --users %1)")
                      .arg(options.usersFile)
               << Qt::endl;
        return kExitUsage;
    }
    options.useUsers = QFileInfo::exists(options.usersFile);
    if (const QString why = pelweb::RefuseListen(options.address, options.useUsers);
        !why.isEmpty()) {
        io.err << "pelmar: " << why << Qt::endl;
        return kExitUsage;
    }
    QList<ReaderEntry> readers;
    if (o.Has("--readers")) {
        if (!LoadReaders(o.Value("--readers"), readers, &error)) {
            io.err << "pelmar: " << error << Qt::endl;
            return kExitUsage;
        }
        // A section's Every key: how often that reader should be collected.
        QSettings ini(o.Value("--readers"), QSettings::IniFormat);
        for (const ReaderEntry& r : readers) {
            pelweb::PlannedReader p{r.name, r.port, 0};
            const QString every = ini.value(r.name + QStringLiteral("/Every")).toString();
            if (!every.isEmpty() && (p.intervalSeconds = ParseInterval(every)) < 1) {
                io.err << QStringLiteral("pelmar: reader %1: Every: a time such as 90s, 15m or 1h")
                              .arg(r.name)
                       << Qt::endl;
                return kExitUsage;
            }
            options.readers << p;
        }
        const QString url = options.archiveUrl;
        options.collect = [readers, url, &io](const pelweb::CollectSink& sink) {
            // SIGTERM or Ctrl-C during a round stops its readers after their record in flight.
            CollectOnce(
                readers, url, io,
                [&sink](const QString& reader, const QString& state, const QString& text) {
                    sink({reader, state, text});
                },
                [] { return int(g_serveSignal); });
        };
    }
    pelweb::WebServer server;
    server.log = [&io](const QString& line) {
        io.out << QDateTime::currentDateTimeUtc().toString(Qt::ISODate) << ' ' << line << Qt::endl;
    };
    if (!server.Start(options, &error)) {
        io.err << QStringLiteral("pelmar: can't serve: ") << error << Qt::endl;
        return error.startsWith(QLatin1String("the users file")) ? kExitUsage : kExitFailed;
    }
    const QString host = options.address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + options.address.toString() + QLatin1Char(']')
                             : options.address.toString();
    io.out << QStringLiteral("Serving http://%1:%2/ (%3; %4)")
                  .arg(host)
                  .arg(server.Port())
                  .arg(options.useUsers ? QStringLiteral("users of %1").arg(options.usersFile)
                                        : QStringLiteral("no users file: loopback only"),
                       options.readers.isEmpty()
                           ? QStringLiteral("no readers file")
                           : QStringLiteral("%1 readers").arg(options.readers.size()))
           << Qt::endl;
    g_serveSignal = 0;
    auto oldTerm = std::signal(SIGTERM, OnServeStopSignal);
    auto oldInt = std::signal(SIGINT, OnServeStopSignal);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [] {
        if (g_serveSignal) QCoreApplication::quit();
    });
    poll.start(200);
    QCoreApplication::exec();
    std::signal(SIGTERM, oldTerm);
    std::signal(SIGINT, oldInt);
    io.out << QStringLiteral("Stopped.") << Qt::endl;
    return kExitOk;
}

} // namespace pelmar::cli
