#include "pelweb/WebServer.h"

#include "pelweb/ArchiveViews.h"

#include <pelarchive/ArchiveExport.h>

#include <QFile>
#include <QFileInfo>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUrlQuery>

namespace pelweb {

namespace {

using Status = QHttpServerResponder::StatusCode;
constexpr const char* kCookie = "lorvane_session";
constexpr qint64 kSessionIdleSeconds = 12 * 3600;
constexpr qint64 kDriftWarnSeconds = 60;

// A TCP server that refuses a client sending more than a request may hold before the HTTP
// server has buffered it: the byte count since the client's last complete request.
class GuardedTcpServer : public QTcpServer {
public:
    GuardedTcpServer(qint64 limit, QObject* parent) : QTcpServer(parent), limit_(limit) {}
    static void RequestDone(QTcpSocket* socket) { socket->setProperty("lvBytes", 0); }

protected:
    void incomingConnection(qintptr handle) override {
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(handle)) {
            delete socket;
            return;
        }
        // Connected before the HTTP server's own reader: sees every chunk before it is read.
        connect(socket, &QTcpSocket::readyRead, socket, [socket, limit = limit_] {
            const qint64 seen = socket->property("lvBytes").toLongLong() + socket->bytesAvailable();
            socket->setProperty("lvBytes", seen);
            if (seen <= limit) return;
            socket->write(
                "HTTP/1.1 413 Payload Too Large\r\nContent-Type: text/plain\r\n"
                "Connection: close\r\nContent-Length: 30\r\n\r\nthe request is too large.\r\n\r\n");
            socket->flush();
            socket->disconnectFromHost();
            socket->readAll();
        });
        addPendingConnection(socket);
    }

private:
    qint64 limit_;
};

QString RandomToken() {
    quint32 words[8];
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex());
}

QString IsoUtc(const QDateTime& t) {
    return t.isValid() ? t.toUTC().toString(Qt::ISODate) : QString();
}

struct Session {
    Role role = Role::None;
    QString csrf;
    QDateTime lastUsed;
};

struct Reply {
    Status status = Status::Ok;
    QByteArray mime = "application/json";
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    // A punches page to read on the worker threads (checked, allowed) rather than this answer.
    bool deferred = false;
    PunchFilter filter;
};

Reply Json(const QJsonValue& v, Status status = Status::Ok) {
    Reply r;
    r.status = status;
    r.body = v.isArray() ? QJsonDocument(v.toArray()).toJson(QJsonDocument::Compact)
                         : QJsonDocument(v.toObject()).toJson(QJsonDocument::Compact);
    return r;
}
Reply Error(Status status, const QString& why) {
    return Json(QJsonObject{{"error", why}}, status);
}

// A punches page read on a connection of the calling thread.
Reply PunchesPage(ArchiveViews& views, const PunchFilter& f) {
    QJsonArray rows;
    bool more = false;
    QString error;
    if (!views.Punches(f, rows, &more, &error)) return Error(Status::InternalServerError, error);
    return Json(
        QJsonObject{{"page", f.page}, {"pageSize", f.pageSize}, {"more", more}, {"punches", rows}});
}

// Sends an answer with the headers every answer carries; logs refusals ("what" says the
// request: method, path and client).
void Send(const Reply& r, const QString& setCookie, QHttpServerResponder&& responder,
          const QString& what, const std::function<void(const QString&)>& log) {
    QHttpServerResponse response(r.mime, r.body, r.status);
    response.addHeader("Cache-Control", "no-store");
    response.addHeader("X-Content-Type-Options", "nosniff");
    response.addHeader("X-Frame-Options", "DENY");
    response.addHeader("Referrer-Policy", "no-referrer");
    response.addHeader("Content-Security-Policy",
                       "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
    for (const auto& h : r.headers)
        response.addHeader(h.first, h.second);
    if (!setCookie.isEmpty()) response.addHeader("Set-Cookie", setCookie.toLatin1());
    if (int(r.status) >= 400 && log) log(what.arg(int(r.status)));
    response.write(std::move(responder));
}

} // namespace

QString RefuseListen(const QHostAddress& address, bool haveUsers) {
    if (address.isLoopback() || haveUsers) return {};
    return QStringLiteral("refusing to listen on %1: other computers could reach the archive "
                          "without a login. Make users first (pelmar serve --add-user NAME "
                          "--role viewer|operator) or listen on 127.0.0.1")
        .arg(address.toString());
}

bool ParseListen(const QString& text, QHostAddress* address, quint16* port, QString* error) {
    static const QRegularExpression portOnly(QStringLiteral("^(\\d{1,5})$"));
    static const QRegularExpression v6(QStringLiteral("^\\[([0-9A-Fa-f:.]+)\\]:(\\d{1,5})$"));
    static const QRegularExpression v4(
        QStringLiteral("^(\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}):(\\d{1,5})$"));
    const QString t = text.trimmed();
    QString host = QStringLiteral("127.0.0.1"), number;
    if (const auto m = portOnly.match(t); m.hasMatch()) {
        number = m.captured(1);
    } else if (const auto m6 = v6.match(t); m6.hasMatch()) {
        host = m6.captured(1);
        number = m6.captured(2);
    } else if (const auto m4 = v4.match(t); m4.hasMatch()) {
        host = m4.captured(1);
        number = m4.captured(2);
    }
    const QHostAddress a(host);
    const uint p = number.toUInt();
    if (number.isEmpty() || p > 65535 || a.isNull()) {
        *error = QStringLiteral("--listen: ADDRESS:PORT, e.g. 127.0.0.1:8470 or [::1]:8470 "
                                "(an address, not a host name)");
        return false;
    }
    *address = a;
    *port = quint16(p);
    return true;
}

struct WebServer::Impl {
    ServeOptions options;
    pelarchive::Archive archive;
    ArchiveViews views;
    QList<WebUser> users;
    QHash<QString, Session> sessions;
    struct Failures {
        int count = 0;
        QDateTime nextTry;
    };
    QHash<QString, Failures> failures;  // by client address
    QHash<QString, QJsonArray> history; // target: this run's exports
    GuardedTcpServer* tcp = nullptr;
    // The collect round in progress or last run.
    bool collecting = false;
    int round = 0;
    QDateTime roundStarted, roundEnded;
    QList<CollectEvent> progress;
    WebServer* self = nullptr;
    // The punches pages: worker threads, each with its own read-only connection (opened,
    // used and closed in that thread), taking requests in turn.
    struct Worker {
        QThread thread;
        QObject* context = nullptr; // lives in the thread; its connection's owner
        std::unique_ptr<ArchiveViews> views;
        QString error;
    };
    std::vector<std::unique_ptr<Worker>> workers;
    size_t next = 0;
    void StopWorkers();
    void Log(const QString& line) const {
        if (self && self->log) self->log(line);
    }

    Reply Handle(const QHttpServerRequest& req, QString* setCookie);
    Reply Static(const QString& path);
    Reply Readers();
    Reply Punches(const QUrlQuery& q);
    Reply Exports(const QUrlQuery& q);
    Reply Export(const QUrlQuery& q);
    Reply CollectStatus();
    Reply StartCollect();
    Reply Login(const QHttpServerRequest& req, QString* sessionId);
};

namespace {

// The query's parameters, each at most once and only the known ones.
bool CheckParameters(const QUrlQuery& q, const QStringList& known, QString* why) {
    QStringList seen;
    for (const auto& item : q.queryItems(QUrl::FullyDecoded)) {
        if (!known.contains(item.first)) {
            *why =
                QStringLiteral("unknown parameter %1 (known: %2)")
                    .arg(item.first.left(40), known.isEmpty() ? QStringLiteral("none")
                                                              : known.join(QStringLiteral(", ")));
            return false;
        }
        if (seen.contains(item.first)) {
            *why = QStringLiteral("parameter %1 given twice").arg(item.first);
            return false;
        }
        seen << item.first;
    }
    return true;
}

// A query value as browsers send it: percent-encoded, a space as "+".
QString Param(const QUrlQuery& q, const QString& name) {
    QString v = q.queryItemValue(name, QUrl::FullyEncoded);
    v.replace(QLatin1Char('+'), QLatin1String("%20"));
    return QUrl::fromPercentEncoding(v.toUtf8());
}

QString TargetProblem(const QString& target) {
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9._-]{1,64}$"));
    if (re.match(target).hasMatch()) return {};
    return QStringLiteral("target: 1 to 64 letters, digits, '.', '_' or '-'");
}

} // namespace

Reply WebServer::Impl::Static(const QString& path) {
    static const QHash<QString, QPair<QString, QByteArray>> files{
        {"/", {":/pelweb/index.html", "text/html; charset=utf-8"}},
        {"/index.html", {":/pelweb/index.html", "text/html; charset=utf-8"}},
        {"/app.css", {":/pelweb/app.css", "text/css; charset=utf-8"}},
        {"/app.js", {":/pelweb/app.js", "text/javascript; charset=utf-8"}},
    };
    if (!files.contains(path)) return Error(Status::NotFound, QStringLiteral("no such page"));
    QFile f(files.value(path).first);
    Reply r;
    if (!f.open(QIODevice::ReadOnly))
        return Error(Status::InternalServerError, QStringLiteral("the page is missing"));
    r.body = f.readAll();
    r.mime = files.value(path).second;
    return r;
}

Reply WebServer::Impl::Readers() {
    QList<ArchiveViews::Reader> rows;
    QString error;
    if (!views.Readers(rows, &error)) return Error(Status::InternalServerError, error);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QJsonArray out;
    auto entry = [&](const QString& name, const ArchiveViews::Reader* r,
                     const PlannedReader* plan) {
        const qint64 interval = plan && plan->intervalSeconds > 0 ? plan->intervalSeconds
                                                                  : options.defaultIntervalSeconds;
        const QDateTime last = r ? r->lastCollected : QDateTime();
        QJsonObject o{
            {"name", name},
            {"port", plan ? plan->port : r->port},
            {"firmware", r ? r->firmware : QString()},
            {"machineId", r ? r->machineId : QString()},
            {"lastCollected", last.isValid() ? QJsonValue(IsoUtc(last)) : QJsonValue()},
            {"outcome", r ? r->outcome : QString()},
            {"punches", r ? r->punches : 0},
            {"drift", r && r->hasDrift ? QJsonValue(r->drift) : QJsonValue()},
            {"driftWarning", r && r->hasDrift && qAbs(r->drift) > kDriftWarnSeconds},
            {"interval", interval},
            {"overdue", !last.isValid() || last.secsTo(now) > interval},
            {"inReadersFile", plan != nullptr},
        };
        out.append(o);
    };
    QStringList done;
    for (const ArchiveViews::Reader& r : rows) {
        const PlannedReader* plan = nullptr;
        for (const PlannedReader& p : options.readers)
            if (p.name == r.name) plan = &p;
        entry(r.name, &r, plan);
        done << r.name;
    }
    for (const PlannedReader& p : options.readers)
        if (!done.contains(p.name)) entry(p.name, nullptr, &p);
    return Json(out);
}

Reply WebServer::Impl::Punches(const QUrlQuery& q) {
    QString why;
    if (!CheckParameters(q, {"reader", "card", "from", "until", "page"}, &why))
        return Error(Status::BadRequest, why);
    PunchFilter f;
    f.pageSize = options.pageSize;
    f.reader = Param(q, "reader");
    f.card = Param(q, "card").trimmed();
    static const QRegularExpression card(QStringLiteral("^[\\x21-\\x7e]{0,64}$"));
    if (f.reader.size() > 200)
        return Error(Status::BadRequest, QStringLiteral("reader: at most 200 characters"));
    if (!card.match(f.card).hasMatch())
        return Error(Status::BadRequest,
                     QStringLiteral("card: at most 64 letters, digits or signs, no spaces"));
    for (const char* bound : {"from", "until"}) {
        const QString text = Param(q, QLatin1String(bound));
        if (text.isEmpty()) continue;
        const QString v = ParseDateBound(text, bound[0] == 'u');
        if (v.isEmpty())
            return Error(
                Status::BadRequest,
                QStringLiteral("%1: a date YYYY-MM-DD or YYYY-MM-DDThh:mm[:ss]").arg(bound));
        (bound[0] == 'u' ? f.until : f.from) = v;
    }
    if (!f.from.isEmpty() && !f.until.isEmpty() && f.from > f.until)
        return Error(Status::BadRequest, QStringLiteral("from is after until"));
    if (q.hasQueryItem("page")) {
        static const QRegularExpression number(QStringLiteral("^[1-9][0-9]{0,5}$"));
        const QString page = Param(q, "page");
        if (!number.match(page).hasMatch())
            return Error(Status::BadRequest, QStringLiteral("page: a number from 1 to 999999"));
        f.page = page.toInt();
    }
    Reply r;
    r.deferred = true;
    r.filter = f;
    return r;
}

Reply WebServer::Impl::Exports(const QUrlQuery& q) {
    QString why;
    if (!CheckParameters(q, {"target"}, &why)) return Error(Status::BadRequest, why);
    const QString target = Param(q, "target");
    if (const QString p = TargetProblem(target); !p.isEmpty()) return Error(Status::BadRequest, p);
    qint64 sent = 0;
    QString updated, error;
    if (!views.Target(target, &sent, &updated, &error))
        return Error(Status::InternalServerError, error);
    return Json(QJsonObject{
        {"target", target},
        {"punchesSent", sent},
        {"lastExport", updated.isEmpty() ? QJsonValue() : QJsonValue(updated)},
        {"history", history.value(target)},
    });
}

Reply WebServer::Impl::Export(const QUrlQuery& q) {
    QString why;
    if (!CheckParameters(q, {"target", "format"}, &why)) return Error(Status::BadRequest, why);
    const QString target = Param(q, "target");
    if (const QString p = TargetProblem(target); !p.isEmpty()) return Error(Status::BadRequest, p);
    const QString format = Param(q, "format");
    static const QHash<QString, QByteArray> mime{
        {"csv", "text/csv; charset=utf-8"},
        {"txt", "text/plain; charset=utf-8"},
        {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    };
    if (!mime.contains(format))
        return Error(Status::BadRequest, QStringLiteral("format: csv, txt or xlsx"));
    // The server waits for another program's export to the target a few seconds at most.
    const TargetExport e = ExportNewToTarget(archive, target, format, 3000);
    if (e.busy) return Error(Status::Conflict, e.error);
    if (!e.ok) return Error(Status::InternalServerError, e.error);
    const QString at = IsoUtc(QDateTime::currentDateTimeUtc());
    if (e.punches > 0) {
        QJsonArray& h = history[target];
        h.prepend(QJsonObject{{"at", at}, {"format", format}, {"punches", e.punches}});
        while (h.size() > 100)
            h.removeLast();
    }
    Log(QStringLiteral("export to %1 (%2): %3 punches").arg(target, format).arg(e.punches));
    Reply r;
    r.status = e.punches ? Status::Ok : Status::NoContent;
    r.mime = mime.value(format);
    r.body = e.bytes;
    r.headers << qMakePair(QByteArray("X-Lorvane-Punches"), QByteArray::number(e.punches));
    if (e.punches)
        r.headers << qMakePair(
            QByteArray("Content-Disposition"),
            QStringLiteral("attachment; filename=\"%1-%2.%3\"")
                .arg(target,
                     QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss")),
                     format)
                .toLatin1());
    return r;
}

Reply WebServer::Impl::CollectStatus() {
    QJsonArray readers;
    for (const CollectEvent& e : progress)
        readers.append(QJsonObject{{"name", e.reader}, {"state", e.state}, {"text", e.text}});
    return Json(QJsonObject{
        {"available", bool(options.collect)},
        {"running", collecting},
        {"round", round},
        {"started", roundStarted.isValid() ? QJsonValue(IsoUtc(roundStarted)) : QJsonValue()},
        {"ended", roundEnded.isValid() ? QJsonValue(IsoUtc(roundEnded)) : QJsonValue()},
        {"readers", readers},
    });
}

Reply WebServer::Impl::StartCollect() {
    if (!options.collect)
        return Error(Status::BadRequest,
                     QStringLiteral("no readers to collect: start serve with --readers FILE"));
    if (collecting)
        return Error(Status::Conflict, QStringLiteral("a collect round is running already"));
    collecting = true;
    ++round;
    roundStarted = QDateTime::currentDateTimeUtc();
    roundEnded = QDateTime();
    progress.clear();
    for (const PlannedReader& p : options.readers)
        progress.append({p.name, QStringLiteral("waiting"), QString()});
    QPointer<WebServer> guard(self);
    QTimer::singleShot(0, self, [this, guard] {
        Log(QStringLiteral("collect round %1 started").arg(round));
        options.collect([this, guard](const CollectEvent& e) {
            if (!guard) return;
            bool found = false;
            for (CollectEvent& p : progress)
                if (p.reader == e.reader) {
                    p = e;
                    found = true;
                }
            if (!found) progress.append(e);
        });
        if (!guard) return;
        collecting = false;
        roundEnded = QDateTime::currentDateTimeUtc();
        Log(QStringLiteral("collect round %1 ended").arg(round));
    });
    return Json(QJsonObject{{"round", round}, {"running", true}}, Status::Accepted);
}

Reply WebServer::Impl::Login(const QHttpServerRequest& req, QString* sessionId) {
    const QString client = req.remoteAddress().toString();
    Failures& f = failures[client];
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (f.nextTry.isValid() && now < f.nextTry) {
        Reply r = Error(Status::TooManyRequests,
                        QStringLiteral("too many failed logins: try again in %1 s")
                            .arg(qMax<qint64>(1, now.secsTo(f.nextTry))));
        r.headers << qMakePair(QByteArray("Retry-After"),
                               QByteArray::number(qMax<qint64>(1, now.secsTo(f.nextTry))));
        return r;
    }
    QJsonParseError perr{};
    const QJsonDocument doc = QJsonDocument::fromJson(req.body(), &perr);
    if (perr.error != QJsonParseError::NoError || !doc.isObject() ||
        !doc.object().value("user").isString() || !doc.object().value("password").isString())
        return Error(Status::BadRequest,
                     QStringLiteral("a login is a JSON object {\"user\": …, \"password\": …}"));
    const QString name = doc.object().value("user").toString();
    const QString password = doc.object().value("password").toString();
    const WebUser* user = nullptr;
    for (const WebUser& u : users)
        if (u.name == name) user = &u;
    // An unknown name costs the same derivation as a known one.
    static const WebUser nobody{QString(), Role::None, kDefaultIterations, QByteArray(16, 'x'),
                                QByteArray(32, 'y')};
    const bool ok = CheckPassword(user ? *user : nobody, password) && user;
    if (!ok) {
        ++f.count;
        // 1, 2, 4 ... 60 s before the next try from this address.
        f.nextTry = now.addSecs(qMin<qint64>(60, qint64(1) << qMin(f.count - 1, 6)));
        Log(QStringLiteral("failed login from %1 (%2 in a row)").arg(client).arg(f.count));
        return Error(Status::Unauthorized, QStringLiteral("wrong user name or password"));
    }
    failures.remove(client);
    // A new session id on login: a session id known before the login is worth nothing.
    sessions.remove(*sessionId);
    *sessionId = RandomToken();
    const Session s{user->role, RandomToken(), now};
    sessions.insert(*sessionId, s);
    Log(QStringLiteral("login from %1 as %2").arg(client, RoleText(user->role)));
    return Json(QJsonObject{{"token", s.csrf}, {"role", RoleText(s.role)}});
}

Reply WebServer::Impl::Handle(const QHttpServerRequest& req, QString* setCookie) {
    const QString path = req.url().path();
    const bool isGet = req.method() == QHttpServerRequest::Method::Get;
    const bool isPost = req.method() == QHttpServerRequest::Method::Post;
    const QUrlQuery query(req.url());
    if (!path.startsWith(QLatin1String("/api/"))) {
        if (!isGet) return Error(Status::MethodNotAllowed, QStringLiteral("pages are read by GET"));
        return Static(path);
    }
    // The session of the cookie; a new one (anonymous, or operator on an unguarded loopback
    // server) when there is none.
    QString sid;
    for (const QByteArray& part : req.value("Cookie").split(';')) {
        const QByteArray t = part.trimmed();
        if (t.startsWith(QByteArray(kCookie) + '='))
            sid = QString::fromLatin1(t.mid(qstrlen(kCookie) + 1));
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    auto it = sessions.find(sid);
    if (it != sessions.end() && it->lastUsed.secsTo(now) > kSessionIdleSeconds) {
        sessions.erase(it);
        it = sessions.end();
    }
    const QString before = sid;
    if (it == sessions.end()) {
        sid = RandomToken();
        it = sessions.insert(
            sid, Session{options.useUsers ? Role::None : Role::Operator, RandomToken(), now});
    }
    it->lastUsed = now;
    Session& s = *it;
    Reply r;
    static const QStringList gets{"/api/csrf", "/api/readers", "/api/punches", "/api/exports",
                                  "/api/collect"};
    static const QStringList posts{"/api/login", "/api/logout", "/api/export", "/api/collect"};
    if (!(isGet && gets.contains(path)) && !(isPost && posts.contains(path))) {
        r = gets.contains(path) || posts.contains(path)
                ? Error(Status::MethodNotAllowed,
                        QStringLiteral("%1 takes %2")
                            .arg(path, posts.contains(path) && !gets.contains(path)
                                           ? QStringLiteral("POST")
                                           : QStringLiteral("GET")))
                : Error(Status::NotFound, QStringLiteral("no such API: %1").arg(path.left(80)));
    } else if (isPost && req.value("X-CSRF-Token") != s.csrf.toLatin1()) {
        r = Error(Status::Forbidden,
                  QStringLiteral("the request lacks the session's CSRF token (X-CSRF-Token; GET "
                                 "/api/csrf gives it)"));
    } else if (path == QLatin1String("/api/csrf")) {
        r = Json(QJsonObject{{"token", s.csrf},
                             {"role", RoleText(s.role)},
                             {"users", options.useUsers},
                             {"loginNeeded", options.useUsers && s.role == Role::None}});
    } else if (path == QLatin1String("/api/login")) {
        if (!options.useUsers)
            r = Error(Status::BadRequest, QStringLiteral("this server has no users to log in"));
        else
            r = Login(req, &sid); // replaces the session: s is gone
    } else if (path == QLatin1String("/api/logout")) {
        sessions.remove(sid);
        sid.clear();
        r = Json(QJsonObject{{"role", QString()}});
        *setCookie = QStringLiteral("%1=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0")
                         .arg(QLatin1String(kCookie));
        return r;
    } else if (s.role == Role::None) {
        r = Error(Status::Unauthorized, QStringLiteral("log in first"));
    } else if (isPost && s.role != Role::Operator) {
        r = Error(Status::Forbidden, QStringLiteral("only operators export and collect"));
    } else if (path == QLatin1String("/api/readers")) {
        QString why;
        r = CheckParameters(query, {}, &why) ? Readers() : Error(Status::BadRequest, why);
    } else if (path == QLatin1String("/api/punches")) {
        r = Punches(query);
    } else if (path == QLatin1String("/api/exports")) {
        r = Exports(query);
    } else if (path == QLatin1String("/api/export")) {
        r = Export(query);
    } else if (isGet) { // /api/collect
        QString why;
        r = CheckParameters(query, {}, &why) ? CollectStatus() : Error(Status::BadRequest, why);
    } else {
        QString why;
        r = CheckParameters(query, {}, &why) ? StartCollect() : Error(Status::BadRequest, why);
    }
    if (sid != before && !sid.isEmpty())
        *setCookie = QStringLiteral("%1=%2; Path=/; HttpOnly; SameSite=Strict")
                         .arg(QLatin1String(kCookie), sid);
    return r;
}

WebServer::WebServer(QObject* parent) : QAbstractHttpServer(parent), d(std::make_unique<Impl>()) {
    d->self = this;
    for (int i = 0; i < qBound(2, QThread::idealThreadCount(), 4); ++i) {
        auto w = std::make_unique<Impl::Worker>();
        w->context = new QObject;
        w->context->moveToThread(&w->thread);
        w->thread.start();
        d->workers.push_back(std::move(w));
    }
}

void WebServer::Impl::StopWorkers() {
    for (auto& w : workers) {
        // The connection closes in its own thread, after the pages asked before.
        Worker* worker = w.get();
        QMetaObject::invokeMethod(
            worker->context, [worker] { worker->views.reset(); }, Qt::BlockingQueuedConnection);
        w->thread.quit();
        w->thread.wait();
        delete w->context; // its thread has ended
        w->context = nullptr;
    }
    workers.clear();
}

WebServer::~WebServer() {
    // No worker may post an answer to a server that is going (answers posted before are
    // dropped with this object).
    d->StopWorkers();
}

bool WebServer::Start(const ServeOptions& options, QString* error) {
    d->options = options;
    if (const QString why = RefuseListen(options.address, options.useUsers); !why.isEmpty()) {
        *error = why;
        return false;
    }
    if (options.useUsers) {
        if (!LoadUsers(options.usersFile, d->users, error)) return false;
        if (d->users.isEmpty()) {
            *error = QStringLiteral("the users file %1 holds no user").arg(options.usersFile);
            return false;
        }
    }
    // Only a server that collects may make the archive; one that shows it needs it there.
    if (!pelarchive::OpenArchiveUrl(options.archiveUrl, d->archive, error, !options.collect))
        return false;
    if (!d->views.Open(d->archive.Location(), error)) return false;
    d->tcp = new GuardedTcpServer(options.maxRequestBytes, this);
    if (!d->tcp->listen(options.address, options.port)) {
        *error = QStringLiteral("can't listen on %1:%2: %3")
                     .arg(options.address.toString())
                     .arg(options.port)
                     .arg(d->tcp->errorString());
        return false;
    }
    bind(d->tcp);
    return true;
}

quint16 WebServer::Port() const {
    return d->tcp ? d->tcp->serverPort() : 0;
}

bool WebServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    GuardedTcpServer::RequestDone(socket);
    Reply r;
    QString setCookie;
    if (request.body().size() > d->options.maxRequestBytes)
        r = Error(Status::PayloadTooLarge, QStringLiteral("the request is too large"));
    else
        r = d->Handle(request, &setCookie);
    const QString what =
        QStringLiteral("%1 %2 %3 from %4")
            .arg(request.method() == QHttpServerRequest::Method::Post ? QStringLiteral("POST")
                                                                      : QStringLiteral("GET"),
                 request.url().path().left(80), QStringLiteral("%1"),
                 request.remoteAddress().toString());
    if (!r.deferred) {
        Send(r, setCookie, makeResponder(request, socket), what, log);
        return true;
    }
    // The punches page on a worker thread with a read-only connection of its own; the answer
    // goes out from this thread. A client gone meanwhile gets nothing (its responder is left
    // alone: the socket it would write to is gone).
    auto* responder = new QHttpServerResponder(makeResponder(request, socket));
    QPointer<QTcpSocket> alive(socket);
    const pelarchive::ArchiveLocation where = d->archive.Location();
    const PunchFilter filter = r.filter;
    Impl::Worker* w = d->workers[d->next++ % d->workers.size()].get();
    QMetaObject::invokeMethod(
        w->context,
        [this, w, responder, alive, where, filter, setCookie, what] {
            if (!w->views) {
                auto v = std::make_unique<ArchiveViews>();
                if (v->Open(where, &w->error)) w->views = std::move(v);
            }
            const Reply page = w->views ? PunchesPage(*w->views, filter)
                                        : Error(Status::InternalServerError, w->error);
            QMetaObject::invokeMethod(
                this,
                [this, responder, alive, page, setCookie, what] {
                    if (!alive) return;
                    Send(page, setCookie, std::move(*responder), what, log);
                    delete responder;
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
    return true;
}

void WebServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    QHttpServerResponse(QByteArray("no such page"), Status::NotFound)
        .write(makeResponder(request, socket));
}

} // namespace pelweb
