// `pelmar serve`: the archive's readers and punches in a browser, and the JSON API behind the
// pages, on Qt HTTP Server in the program's own event loop.
//
// Safe by default: loopback only unless a users file exists; sessions in HttpOnly,
// SameSite=Strict cookies; every POST needs the session's CSRF token; viewers read,
// operators export and collect. Reader Login IDs never reach a page, an answer or the log.
#pragma once
#include "pelweb/Users.h"

#include <QAbstractHttpServer>
#include <QDateTime>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <functional>
#include <memory>

class QTcpSocket;

namespace pelweb {

// A reader of the readers file: its name and port, and how often it should be collected.
struct PlannedReader {
    QString name, port;
    qint64 intervalSeconds = 0; // 0: the server's default interval
};

// What a collect round tells as it goes: a reader started ("collecting") or ended
// ("collected", "failed", "stopped") with its status line.
struct CollectEvent {
    QString reader, state, text;
};
using CollectSink = std::function<void(const CollectEvent&)>;
// Runs one collect round, telling each reader's progress; keeps the event loop running.
using CollectRunner = std::function<void(const CollectSink&)>;

struct ServeOptions {
    QString archiveUrl; // "" = the setting Archive/Url, else the default file
    QHostAddress address = QHostAddress::LocalHost;
    quint16 port = 8470;
    QString usersFile; // the users file; its users must log in
    bool useUsers = false;
    QList<PlannedReader> readers;
    qint64 defaultIntervalSeconds = 15 * 60;
    CollectRunner collect; // empty: no readers file, no collecting
    qint64 maxRequestBytes = 64 * 1024;
    int pageSize = 100;
};

// Whether serve may listen there: loopback always; any other address only with users.
// Returns the reason when not.
QString RefuseListen(const QHostAddress& address, bool haveUsers);

// Parses "ADDR:PORT", "[v6]:PORT" or "PORT"; false with *error when not one.
bool ParseListen(const QString& text, QHostAddress* address, quint16* port, QString* error);

class WebServer : public QAbstractHttpServer {
    Q_OBJECT
public:
    explicit WebServer(QObject* parent = nullptr);
    ~WebServer() override;

    // Opens the archive, reads the users, listens. false with *error (the reason) when not.
    bool Start(const ServeOptions& options, QString* error);
    quint16 Port() const;
    // Log lines (requests refused, exports, collect rounds); never a Login ID.
    std::function<void(const QString&)> log;

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace pelweb
