// pelmar serve's JSON API against real archives (SQLite, and a throwaway PostgreSQL): each
// page's data, filters and paging, the export of what is new (each punch once, also with two
// servers racing for one target), every refusal, users and sessions, and `pelmar serve`
// itself (listening refused, --add-user, collect now with a simulated reader).
#include "PgCluster.h"
#include "SimReader.h"
#include "TestSupport.h"

#include <pelarchive/Archive.h>
#include <pelarchive/ArchiveUrl.h>
#include <pelweb/ArchiveViews.h>
#include <pelweb/Users.h>
#include <pelweb/WebServer.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>

namespace {

lvtest::IsolatedFolders g_folders("webapi", {"LORVANE_LOGIN", "PGPASSWORD"});

using Punch = std::tuple<QString, QString, QString>; // reader, card, punch time

struct Answer {
    int status = 0;
    QByteArray body;
    QMap<QByteArray, QByteArray> headers; // lower-case names
    QJsonObject Object() const { return QJsonDocument::fromJson(body).object(); }
    QJsonArray Array() const { return QJsonDocument::fromJson(body).array(); }
    QString Why() const { return Object().value("error").toString(); }
};

// An HTTP client keeping one session: its cookie and its CSRF token.
class Client {
public:
    explicit Client(quint16 port) : base_(QStringLiteral("http://127.0.0.1:%1").arg(port)) {
        nam_.setProxy(QNetworkProxy::NoProxy);
    }
    QNetworkReply* Start(const QByteArray& method, const QString& path, const QByteArray& body = {},
                         bool withToken = true) {
        QNetworkRequest req(QUrl(base_ + path));
        req.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
        req.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
        if (!cookie.isEmpty()) req.setRawHeader("Cookie", cookie);
        if (withToken && method == "POST") req.setRawHeader("X-CSRF-Token", token);
        if (!body.isEmpty()) req.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        return nam_.sendCustomRequest(req, method, body);
    }
    Answer Finish(QNetworkReply* reply) {
        lvtest::waitFor([reply] { return reply->isFinished(); }, 60000);
        Answer a;
        a.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        a.body = reply->readAll();
        for (const auto& h : reply->rawHeaderPairs())
            a.headers[h.first.toLower()] = h.second;
        const QByteArray set = a.headers.value("set-cookie");
        if (set.startsWith("lorvane_session=")) cookie = set.left(set.indexOf(';'));
        reply->deleteLater();
        return a;
    }
    Answer Get(const QString& path) { return Finish(Start("GET", path)); }
    Answer Post(const QString& path, const QByteArray& body = {}, bool withToken = true) {
        return Finish(Start("POST", path, body, withToken));
    }
    // A session and its token.
    Answer Session() {
        Answer a = Get("/api/csrf");
        token = a.Object().value("token").toString().toLatin1();
        return a;
    }
    QByteArray cookie, token;

private:
    QString base_;
    QNetworkAccessManager nam_;
};

QString RecordText(const QString& card, const QString& when, char event) {
    const QDateTime t = QDateTime::fromString(when, "yyyy-MM-dd HH:mm:ss");
    return QStringLiteral("A0000,\x01") + QString::number(t.date().dayOfWeek() % 7) + '1' +
           QChar::fromLatin1(event) + card + QChar(4) + t.toString("yyyy/MM/dd HH:mm:ss");
}

bool Store(pelarchive::Archive& a, const QString& reader, const QString& port,
           const QStringList& records, qint64 drift, const QDateTime& ended) {
    pelarchive::ReaderIdentity id;
    id.name = reader;
    id.port = port;
    id.machineId = "7";
    id.firmware = "LV-2.1";
    pelarchive::DownloadOutcome d;
    d.started = ended.addSecs(-5);
    d.ended = ended;
    d.read = d.reported = records.size();
    d.outcome = "complete";
    QString error;
    return a.StoreDownload(id, d, records).ok && a.SetDrift(id, drift, &error);
}

lvtest::PgCluster& Pg() {
    static lvtest::PgCluster cluster;
    return cluster;
}

enum class Db { Sqlite, Postgres };

// The archive of the page tests: two readers, six punches.
struct Site {
    QTemporaryDir dir;
    QString url;
    pelarchive::Archive archive;
    QString skip;

    explicit Site(Db db) {
        static int serial = 0;
        if (db == Db::Postgres) {
            if (!Pg().ok()) {
                skip = Pg().missing() ? "PostgreSQL server binaries missing: " + Pg().Why()
                                      : QString();
                if (skip.isEmpty()) ADD_FAILURE() << Pg().Why().toStdString();
                return;
            }
            const QString name = QStringLiteral("web%1").arg(++serial);
            EXPECT_TRUE(Pg().CreateDatabase(name));
            url = Pg().Url(name);
        } else {
            url = dir.filePath("archive.sqlite");
        }
        pelarchive::ArchiveLocation l;
        QString error;
        EXPECT_TRUE(pelarchive::ParseArchiveUrl(url, l, &error) && archive.Open(l, &error))
            << error.toStdString();
        const QDateTime now = QDateTime::currentDateTime();
        EXPECT_TRUE(Store(archive, "Front door", "/dev/ttyUSB0",
                          {RecordText("3D9944821", "2026-03-02 07:58:10", '0'),
                           RecordText("00A1B2C3D", "2026-03-02 08:01:00", '0'),
                           RecordText("3D9944821", "2026-03-02 12:30:00", '1'),
                           RecordText("3D9944821", "2026-03-03 07:55:00", '0')},
                          -75, now));
        EXPECT_TRUE(Store(archive, "Warehouse", "IP:10.0.4.21",
                          {RecordText("3D9944821", "2026-03-02 17:05:00", '1'),
                           RecordText("7F0000001", "2026-03-03 09:00:00", '0')},
                          5, now.addSecs(-2 * 3600)));
    }
};

struct Server {
    pelweb::WebServer server;
    QStringList log;
    QString error;
    bool Start(pelweb::ServeOptions o) {
        o.port = 0;
        server.log = [this](const QString& line) { log << line; };
        return server.Start(o, &error);
    }
};

QList<Punch> Punches(const Answer& a) {
    QList<Punch> out;
    for (const QJsonValue v : a.Object().value("punches").toArray()) {
        const QJsonObject p = v.toObject();
        out << Punch{p["reader"].toString(), p["card"].toString(), p["time"].toString()};
    }
    return out;
}

// ------------------------------------------------------------------------------------------
// The pages' data, on SQLite and PostgreSQL alike.

class Pages : public ::testing::TestWithParam<Db> {
protected:
    void SetUp() override {
        site = std::make_unique<Site>(GetParam());
        if (!site->skip.isEmpty()) GTEST_SKIP() << site->skip.toStdString();
        ASSERT_FALSE(site->url.isEmpty());
        pelweb::ServeOptions o;
        o.archiveUrl = site->url;
        o.pageSize = 4;
        o.readers = {{"Warehouse", "IP:10.0.4.21", 3 * 3600}, {"Loading bay", "/dev/ttyS1", 0}};
        ASSERT_TRUE(server.Start(o)) << server.error.toStdString();
        client = std::make_unique<Client>(server.server.Port());
        ASSERT_EQ(client->Session().status, 200);
    }
    std::unique_ptr<Site> site;
    Server server;
    std::unique_ptr<Client> client;
};

TEST_P(Pages, ReadersWithLastCollectPunchesDriftAndOverdueMarks) {
    const Answer a = client->Get("/api/readers");
    ASSERT_EQ(a.status, 200) << a.body.toStdString();
    EXPECT_EQ(a.headers.value("content-type"), "application/json");
    const QJsonArray list = a.Array();
    ASSERT_EQ(list.size(), 3);
    struct Want {
        const char* name;
        const char* port;
        int punches;
        QJsonValue drift;
        bool driftWarning, overdue, inFile;
        qint64 interval;
        const char* outcome;
    };
    const Want want[] = {
        // Collected just now, but its clock is 75 s behind.
        {"Front door", "/dev/ttyUSB0", 4, -75, true, false, false, 900, "complete"},
        // Collected two hours ago, within its own interval of three hours.
        {"Warehouse", "IP:10.0.4.21", 2, 5, false, false, true, 3 * 3600, "complete"},
        // In the readers file, never collected.
        {"Loading bay", "/dev/ttyS1", 0, QJsonValue(), false, true, true, 900, ""},
    };
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(want[i].name);
        const QJsonObject r = list[i].toObject();
        EXPECT_EQ(r["name"].toString(), want[i].name);
        EXPECT_EQ(r["port"].toString(), want[i].port);
        EXPECT_EQ(r["punches"].toInt(), want[i].punches);
        EXPECT_EQ(r["drift"], want[i].drift);
        EXPECT_EQ(r["driftWarning"].toBool(), want[i].driftWarning);
        EXPECT_EQ(r["overdue"].toBool(), want[i].overdue);
        EXPECT_EQ(r["inReadersFile"].toBool(), want[i].inFile);
        EXPECT_EQ(r["interval"].toInteger(), want[i].interval);
        EXPECT_EQ(r["outcome"].toString(), want[i].outcome);
        EXPECT_EQ(r["firmware"].toString(), i < 2 ? "LV-2.1" : "");
        EXPECT_EQ(r["lastCollected"].isNull(), i == 2);
    }
    // The last collect is the download's end, in UTC.
    const QDateTime warehouse =
        QDateTime::fromString(list[1].toObject().value("lastCollected").toString(), Qt::ISODate);
    EXPECT_NEAR(double(warehouse.secsTo(QDateTime::currentDateTimeUtc())), 7200, 30);
}

TEST_P(Pages, PunchesNewestDayFirstEachCardsPunchesOfADayTogether) {
    const Answer a = client->Get("/api/punches");
    ASSERT_EQ(a.status, 200) << a.body.toStdString();
    EXPECT_EQ(Punches(a), (QList<Punch>{{"Front door", "3D9944821", "2026-03-03 07:55:00"},
                                        {"Warehouse", "7F0000001", "2026-03-03 09:00:00"},
                                        {"Front door", "00A1B2C3D", "2026-03-02 08:01:00"},
                                        {"Front door", "3D9944821", "2026-03-02 07:58:10"}}));
    EXPECT_EQ(a.Object().value("more").toBool(), true);
    EXPECT_EQ(a.Object().value("page").toInt(), 1);
    const QJsonObject first = a.Object().value("punches").toArray()[0].toObject();
    EXPECT_EQ(first["cardType"].toString(), "1K");
    EXPECT_EQ(first["event"].toString(), "0");
    EXPECT_EQ(first["day"].toString(), "2026-03-03");
    EXPECT_EQ(first["weekday"].toInt(), 2);

    const Answer two = client->Get("/api/punches?page=2");
    EXPECT_EQ(Punches(two), (QList<Punch>{{"Front door", "3D9944821", "2026-03-02 12:30:00"},
                                          {"Warehouse", "3D9944821", "2026-03-02 17:05:00"}}));
    EXPECT_EQ(two.Object().value("more").toBool(), false);
    const Answer three = client->Get("/api/punches?page=3");
    EXPECT_EQ(three.status, 200);
    EXPECT_TRUE(Punches(three).isEmpty());
    EXPECT_EQ(three.Object().value("more").toBool(), false);
}

TEST_P(Pages, PunchesFilteredByReaderCardIgnoringCaseAndDates) {
    struct Case {
        const char* query;
        QList<Punch> want;
    };
    const QList<Case> cases = {
        {"reader=Warehouse",
         {{"Warehouse", "7F0000001", "2026-03-03 09:00:00"},
          {"Warehouse", "3D9944821", "2026-03-02 17:05:00"}}},
        {"reader=Front+door&card=00a1b2c3d", // a space as browsers' forms send it
         {{"Front door", "00A1B2C3D", "2026-03-02 08:01:00"}}},
        {"reader=Front%20door&card=00a1b2c3d",
         {{"Front door", "00A1B2C3D", "2026-03-02 08:01:00"}}},
        {"card=3d9944821&from=2026-03-02T12:00&until=2026-03-02T17:05",
         {{"Front door", "3D9944821", "2026-03-02 12:30:00"},
          {"Warehouse", "3D9944821", "2026-03-02 17:05:00"}}},
        {"from=2026-03-03",
         {{"Front door", "3D9944821", "2026-03-03 07:55:00"},
          {"Warehouse", "7F0000001", "2026-03-03 09:00:00"}}},
        {"until=2026-03-02%2008:00:59&reader=Front%20door",
         {{"Front door", "3D9944821", "2026-03-02 07:58:10"}}},
        {"card=FFFFFFFFF", {}},
        {"reader=Nobody", {}},
        // Quotes and SQL reach the archive as bound values: they find nothing.
        {"reader=x'%20OR%20'1'='1", {}},
        {"card=1'OR'1'='1", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        const Answer a = client->Get(QStringLiteral("/api/punches?") + c.query);
        ASSERT_EQ(a.status, 200) << a.body.toStdString();
        EXPECT_EQ(Punches(a), c.want);
    }
}

TEST_P(Pages, ExportGivesEachNewPunchOnceThenOnlyWhatIsNew) {
    const Answer csv = client->Post("/api/export?target=payroll&format=csv");
    ASSERT_EQ(csv.status, 200) << csv.body.toStdString();
    EXPECT_EQ(csv.headers.value("x-lorvane-punches"), "6");
    EXPECT_EQ(csv.headers.value("content-type"), "text/csv; charset=utf-8");
    EXPECT_TRUE(
        csv.headers.value("content-disposition").startsWith("attachment; filename=\"payroll-"));
    // The record writers' CSV, in the order the punches were archived.
    EXPECT_EQ(QString::fromUtf8(csv.body).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts),
              QStringList({"\"3D9944821\",\"1K\",\"0\",2026/03/02 07:58:10 Mon",
                           "\"00A1B2C3D\",\"1K\",\"0\",2026/03/02 08:01:00 Mon",
                           "\"3D9944821\",\"1K\",\"1\",2026/03/02 12:30:00 Mon",
                           "\"3D9944821\",\"1K\",\"0\",2026/03/03 07:55:00 Tue",
                           "\"3D9944821\",\"1K\",\"1\",2026/03/02 17:05:00 Mon",
                           "\"7F0000001\",\"1K\",\"0\",2026/03/03 09:00:00 Tue"}));
    // Nothing new: no content.
    const Answer none = client->Post("/api/export?target=payroll&format=txt");
    EXPECT_EQ(none.status, 204);
    EXPECT_EQ(none.headers.value("x-lorvane-punches"), "0");
    EXPECT_TRUE(none.body.isEmpty());
    // Another target has its own punches to receive.
    EXPECT_EQ(
        client->Post("/api/export?target=audit&format=txt").headers.value("x-lorvane-punches"),
        "6");
    // A new punch reaches the next export of the target, alone.
    ASSERT_TRUE(Store(site->archive, "Warehouse", "IP:10.0.4.21",
                      {RecordText("3D9944821", "2026-03-02 17:05:00", '1'),
                       RecordText("7F0000001", "2026-03-03 09:00:00", '0'),
                       RecordText("7F0000001", "2026-03-03 17:30:00", '1')},
                      5, QDateTime::currentDateTime()));
    const Answer txt = client->Post("/api/export?target=payroll&format=txt");
    ASSERT_EQ(txt.status, 200);
    EXPECT_EQ(txt.headers.value("x-lorvane-punches"), "1");
    EXPECT_EQ(txt.headers.value("content-type"), "text/plain; charset=utf-8");
    EXPECT_TRUE(txt.body.contains("7F0000001")) << txt.body.toStdString();
    EXPECT_FALSE(txt.body.contains("3D9944821")) << txt.body.toStdString();
    // The target's history: the exports that carried punches, newest first.
    const QJsonObject h = client->Get("/api/exports?target=payroll").Object();
    EXPECT_EQ(h["target"].toString(), "payroll");
    const QJsonArray list = h["history"].toArray();
    ASSERT_EQ(list.size(), 2);
    EXPECT_EQ(list[0].toObject().value("punches").toInt(), 1);
    EXPECT_EQ(list[0].toObject().value("format").toString(), "txt");
    EXPECT_EQ(list[1].toObject().value("punches").toInt(), 6);
    EXPECT_EQ(list[1].toObject().value("format").toString(), "csv");
    EXPECT_EQ(h["punchesSent"].toInteger(), 7);
    EXPECT_FALSE(h["lastExport"].isNull());
}

TEST_P(Pages, WorkbookExportReadsBackWithOpenpyxl) {
    const Answer x = client->Post("/api/export?target=book&format=xlsx");
    ASSERT_EQ(x.status, 200) << x.body.toStdString();
    EXPECT_EQ(x.headers.value("content-type"),
              "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet");
    const QString file = site->dir.filePath("book.xlsx");
    ASSERT_TRUE(lvtest::writeFile(file, x.body));
    QProcess py;
    py.start("/usr/bin/python3", {"-c", // Debian's, with python3-openpyxl
                                  "import sys, openpyxl\n"
                                  "ws = openpyxl.load_workbook(sys.argv[1]).active\n"
                                  "for row in ws.iter_rows(values_only=True):\n"
                                  "    print('|'.join('' if v is None else str(v) for v in row))\n",
                                  file});
    ASSERT_TRUE(py.waitForFinished(60000));
    const QStringList rows =
        QString::fromUtf8(py.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(py.exitCode(), 0) << py.readAllStandardError().toStdString();
    ASSERT_EQ(rows.size(), 6) << rows.join('\n').toStdString();
    EXPECT_TRUE(rows[0].startsWith("3D9944821|1K|0|")) << rows[0].toStdString();
    EXPECT_TRUE(rows[5].startsWith("7F0000001|1K|0|")) << rows[5].toStdString();
}

INSTANTIATE_TEST_SUITE_P(Archives, Pages, ::testing::Values(Db::Sqlite, Db::Postgres),
                         [](const ::testing::TestParamInfo<Db>& p) {
                             return p.param == Db::Sqlite ? "Sqlite" : "Postgres";
                         });

// ------------------------------------------------------------------------------------------
// Refusals: each with its status and reason, and nothing changed.

struct Refusals : ::testing::Test {
    void SetUp() override {
        site = std::make_unique<Site>(Db::Sqlite);
        pelweb::ServeOptions o;
        o.archiveUrl = site->url;
        o.maxRequestBytes = 4096;
        ASSERT_TRUE(server.Start(o)) << server.error.toStdString();
        client = std::make_unique<Client>(server.server.Port());
        ASSERT_EQ(client->Session().status, 200);
    }
    std::unique_ptr<Site> site;
    Server server;
    std::unique_ptr<Client> client;
};

TEST_F(Refusals, BadInputGets400WithTheReason) {
    struct Case {
        const char* method;
        const char* path;
        int status;
        const char* why;
    };
    const Case cases[] = {
        {"GET", "/api/punches?page=0", 400, "page: a number from 1 to 999999"},
        {"GET", "/api/punches?page=-1", 400, "page: a number from 1 to 999999"},
        {"GET", "/api/punches?page=1000000", 400, "page: a number from 1 to 999999"},
        {"GET", "/api/punches?page=2x", 400, "page: a number from 1 to 999999"},
        {"GET", "/api/punches?from=2026-02-30", 400,
         "from: a date YYYY-MM-DD or YYYY-MM-DDThh:mm[:ss]"},
        {"GET", "/api/punches?until=yesterday", 400,
         "until: a date YYYY-MM-DD or YYYY-MM-DDThh:mm[:ss]"},
        {"GET", "/api/punches?from=2026-03-02T25:00", 400,
         "from: a date YYYY-MM-DD or YYYY-MM-DDThh:mm[:ss]"},
        {"GET", "/api/punches?from=2026-03-03&until=2026-03-02", 400, "from is after until"},
        {"GET", "/api/punches?card=3D%2099", 400,
         "card: at most 64 letters, digits or signs, no spaces"},
        {"GET", "/api/punches?sort=card", 400,
         "unknown parameter sort (known: reader, card, from, until, page)"},
        {"GET", "/api/punches?page=1&page=2", 400, "parameter page given twice"},
        {"GET", "/api/readers?x=1", 400, "unknown parameter x (known: none)"},
        {"GET", "/api/exports?target=", 400, "target: 1 to 64 letters, digits, '.', '_' or '-'"},
        {"POST", "/api/export?target=../pay&format=csv", 400,
         "target: 1 to 64 letters, digits, '.', '_' or '-'"},
        {"POST", "/api/export?format=csv", 400, "target: 1 to 64 letters, digits, '.', '_' or '-'"},
        {"POST", "/api/export?target=pay&format=pdf", 400, "format: csv, txt or xlsx"},
        {"POST", "/api/export?target=pay", 400, "format: csv, txt or xlsx"},
        {"POST", "/api/collect", 400, "no readers to collect: start serve with --readers FILE"},
        {"POST", "/api/login", 400, "this server has no users to log in"},
        {"GET", "/api/export?target=pay&format=csv", 405, "/api/export takes POST"},
        {"POST", "/api/readers", 405, "/api/readers takes GET"},
        {"GET", "/api/secrets", 404, "no such API: /api/secrets"},
        {"POST", "/index.html", 405, "pages are read by GET"},
        {"GET", "/../../etc/passwd", 404, "no such page"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const Answer a = c.method == QByteArray("GET") ? client->Get(c.path) : client->Post(c.path);
        EXPECT_EQ(a.status, c.status) << a.body.toStdString();
        EXPECT_EQ(a.Why(), c.why);
    }
    // None of them moved a mark.
    EXPECT_EQ(client->Get("/api/exports?target=pay").Object().value("punchesSent").toInt(), 0);
}

TEST_F(Refusals, EveryPostNeedsTheSessionsCsrfToken) {
    const QString why = "the request lacks the session's CSRF token (X-CSRF-Token; GET /api/csrf "
                        "gives it)";
    // No token, another session's token, and a token without its session's cookie.
    Answer a = client->Post("/api/export?target=pay&format=csv", {}, false);
    EXPECT_EQ(a.status, 403);
    EXPECT_EQ(a.Why(), why);
    Client other(server.server.Port());
    ASSERT_EQ(other.Session().status, 200);
    other.token = client->token;
    a = other.Post("/api/export?target=pay&format=csv");
    EXPECT_EQ(a.status, 403);
    EXPECT_EQ(a.Why(), why);
    Client stranger(server.server.Port());
    stranger.token = client->token;
    EXPECT_EQ(stranger.Post("/api/collect").status, 403);
    EXPECT_EQ(client->Post("/api/logout", {}, false).status, 403);
    EXPECT_EQ(client->Get("/api/exports?target=pay").Object().value("punchesSent").toInt(), 0);
    // With it, the export goes through.
    EXPECT_EQ(client->Post("/api/export?target=pay&format=csv").status, 200);
}

TEST_F(Refusals, RequestsBeyondTheSizeLimitAreRefused) {
    const Answer big = client->Post("/api/export?target=pay&format=csv", QByteArray(20000, 'x'));
    EXPECT_EQ(big.status, 413);
    const Answer longUrl = client->Get("/api/punches?card=" + QString(8000, 'A'));
    EXPECT_EQ(longUrl.status, 413);
    EXPECT_EQ(client->Get("/api/exports?target=pay").Object().value("punchesSent").toInt(), 0);
    // The server goes on serving.
    EXPECT_EQ(client->Get("/api/readers").status, 200);
}

TEST_F(Refusals, SessionCookieIsHttpOnlySameSiteStrictAndPagesCarryTheirGuards) {
    Client fresh(server.server.Port());
    const Answer a = fresh.Get("/api/csrf");
    const QByteArray cookie = a.headers.value("set-cookie");
    EXPECT_TRUE(
        QRegularExpression("^lorvane_session=[0-9a-f]{64}; Path=/; HttpOnly; SameSite=Strict$")
            .match(QString::fromLatin1(cookie))
            .hasMatch())
        << cookie.toStdString();
    EXPECT_EQ(a.Object().value("role").toString(), "operator"); // loopback without users
    EXPECT_EQ(a.Object().value("loginNeeded").toBool(), false);
    const Answer page = fresh.Get("/");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.headers.value("content-type"), "text/html; charset=utf-8");
    EXPECT_TRUE(page.body.contains("<script src=\"/app.js\" defer></script>"));
    EXPECT_EQ(page.headers.value("content-security-policy"),
              "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
    EXPECT_EQ(page.headers.value("x-frame-options"), "DENY");
    EXPECT_EQ(page.headers.value("cache-control"), "no-store");
    // Nothing is fetched from elsewhere.
    for (const char* p : {"/", "/app.js", "/app.css"})
        EXPECT_FALSE(fresh.Get(p).body.contains("http")) << p;
}

// ------------------------------------------------------------------------------------------
// Users: the file, logins, roles.

struct Users : ::testing::Test {
    QTemporaryDir dir;
    QString file() const { return dir.filePath("web-users"); }
    void SetUp() override {
        QString error;
        ASSERT_TRUE(pelweb::AddUser(file(), "clerk", pelweb::Role::Viewer, "clerk password 1", 1000,
                                    &error))
            << error.toStdString();
        ASSERT_TRUE(pelweb::AddUser(file(), "boss", pelweb::Role::Operator, "boss password 2", 1000,
                                    &error))
            << error.toStdString();
    }
    QByteArray Login(const char* user, const char* password) {
        return QJsonDocument(QJsonObject{{"user", user}, {"password", password}}).toJson();
    }
};

TEST_F(Users, FileKeepsSaltedSlowHashesReadableByItsOwnerOnly) {
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(file()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const QByteArray text = lvtest::readFile(file());
    EXPECT_FALSE(text.contains("password")) << text.toStdString();
    QList<pelweb::WebUser> users;
    QString error;
    ASSERT_TRUE(pelweb::LoadUsers(file(), users, &error)) << error.toStdString();
    ASSERT_EQ(users.size(), 2);
    EXPECT_EQ(users[0].name, "clerk");
    EXPECT_EQ(users[0].role, pelweb::Role::Viewer);
    EXPECT_EQ(users[0].iterations, 1000);
    EXPECT_EQ(users[0].salt.size(), 16);
    EXPECT_NE(users[0].salt, users[1].salt);
    EXPECT_TRUE(pelweb::CheckPassword(users[0], "clerk password 1"));
    EXPECT_FALSE(pelweb::CheckPassword(users[0], "clerk password 2"));
    EXPECT_FALSE(pelweb::CheckPassword(users[0], "boss password 2"));
    // PBKDF2-HMAC-SHA256 of RFC 7914's test vector, through the file's own format.
    pelweb::WebUser v{
        "v", pelweb::Role::Viewer, 1, "salt",
        QByteArray::fromHex("120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b")};
    EXPECT_TRUE(pelweb::CheckPassword(v, "password"));
    // A new role and password for a known user replace the old ones.
    ASSERT_TRUE(
        pelweb::AddUser(file(), "clerk", pelweb::Role::Operator, "new one here", 1000, &error));
    ASSERT_TRUE(pelweb::LoadUsers(file(), users, &error));
    ASSERT_EQ(users.size(), 2);
    EXPECT_EQ(users[0].role, pelweb::Role::Operator);
    EXPECT_TRUE(pelweb::CheckPassword(users[0], "new one here"));

    // Refusals.
    EXPECT_FALSE(pelweb::AddUser(file(), "a b", pelweb::Role::Viewer, "x", 1000, &error));
    EXPECT_EQ(error, "a user name is 1 to 64 letters, digits, '.', '_', '@' or '-'");
    QFile::setPermissions(file(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    EXPECT_FALSE(pelweb::LoadUsers(file(), users, &error));
    EXPECT_EQ(error, QStringLiteral("the users file %1 may be read or written by others: make it "
                                    "readable by its owner only (chmod 600 %1)")
                         .arg(file()));
    QFile::setPermissions(file(), QFile::ReadOwner | QFile::WriteOwner);
    ASSERT_TRUE(lvtest::writeFile(file(), "clerk:viewer:plain:secret\n"));
    EXPECT_FALSE(pelweb::LoadUsers(file(), users, &error));
    EXPECT_EQ(error, QStringLiteral("the users file %1, line 1: not a user (make users with pelmar "
                                    "serve --add-user NAME --role viewer|operator)")
                         .arg(file()));
}

TEST_F(Users, LoginRolesAndSlowedDownFailures) {
    Site site(Db::Sqlite);
    Server server;
    pelweb::ServeOptions o;
    o.archiveUrl = site.url;
    o.usersFile = file();
    o.useUsers = true;
    ASSERT_TRUE(server.Start(o)) << server.error.toStdString();
    Client c(server.server.Port());
    Answer a = c.Session();
    EXPECT_EQ(a.Object().value("role").toString(), "");
    EXPECT_EQ(a.Object().value("loginNeeded").toBool(), true);
    a = c.Get("/api/readers");
    EXPECT_EQ(a.status, 401);
    EXPECT_EQ(a.Why(), "log in first");
    EXPECT_EQ(c.Get("/api/punches").status, 401);
    EXPECT_EQ(c.Post("/api/export?target=pay&format=csv").status, 401);
    // The login needs the anonymous session's token too.
    EXPECT_EQ(c.Post("/api/login", Login("clerk", "clerk password 1"), false).status, 403);

    a = c.Post("/api/login", Login("clerk", "wrong"));
    EXPECT_EQ(a.status, 401);
    EXPECT_EQ(a.Why(), "wrong user name or password");
    // Right at once after a failure: refused until the wait is over, even with the password.
    a = c.Post("/api/login", Login("clerk", "clerk password 1"));
    EXPECT_EQ(a.status, 429);
    EXPECT_EQ(a.Why(), "too many failed logins: try again in 1 s");
    EXPECT_EQ(a.headers.value("retry-after"), "1");
    QThread::msleep(1100);
    const QByteArray before = c.cookie;
    a = c.Post("/api/login", Login("clerk", "clerk password 1"));
    ASSERT_EQ(a.status, 200) << a.body.toStdString();
    EXPECT_EQ(a.Object().value("role").toString(), "viewer");
    EXPECT_NE(c.cookie, before); // a new session id on login
    c.token = a.Object().value("token").toString().toLatin1();
    // The user name is in no answer and no log line.
    EXPECT_FALSE(a.body.contains("clerk"));
    EXPECT_EQ(c.Get("/api/readers").status, 200);
    EXPECT_EQ(c.Get("/api/punches").status, 200);
    for (const char* post : {"/api/export?target=pay&format=csv", "/api/collect"}) {
        a = c.Post(post);
        EXPECT_EQ(a.status, 403) << post;
        EXPECT_EQ(a.Why(), "only operators export and collect");
    }
    // The old session id is worth nothing.
    Client old(server.server.Port());
    old.cookie = before;
    EXPECT_EQ(old.Get("/api/readers").status, 401);

    Client boss(server.server.Port());
    boss.Session();
    a = boss.Post("/api/login", Login("boss", "boss password 2"));
    ASSERT_EQ(a.status, 200);
    boss.token = a.Object().value("token").toString().toLatin1();
    EXPECT_EQ(boss.Post("/api/export?target=pay&format=csv").headers.value("x-lorvane-punches"),
              "6");
    // Logging out ends the session.
    EXPECT_EQ(boss.Post("/api/logout").status, 200);
    EXPECT_EQ(boss.Get("/api/readers").status, 401);
    EXPECT_FALSE(server.log.join('\n').contains("clerk"));
    EXPECT_FALSE(server.log.join('\n').contains("boss"));
    EXPECT_TRUE(server.log.join('\n').contains("failed login from 127.0.0.1 (1 in a row)"));
}

TEST_F(Users, ListeningBeyondLoopbackNeedsUsers) {
    EXPECT_EQ(pelweb::RefuseListen(QHostAddress("0.0.0.0"), false),
              "refusing to listen on 0.0.0.0: other computers could reach the archive without a "
              "login. Make users first (pelmar serve --add-user NAME --role viewer|operator) or "
              "listen on 127.0.0.1");
    EXPECT_EQ(pelweb::RefuseListen(QHostAddress("192.168.4.7"), false).left(34),
              "refusing to listen on 192.168.4.7:");
    EXPECT_EQ(pelweb::RefuseListen(QHostAddress("0.0.0.0"), true), "");
    EXPECT_EQ(pelweb::RefuseListen(QHostAddress("127.0.0.1"), false), "");
    EXPECT_EQ(pelweb::RefuseListen(QHostAddress("::1"), false), "");
    Site site(Db::Sqlite);
    pelweb::WebServer server;
    pelweb::ServeOptions o;
    o.archiveUrl = site.url;
    o.address = QHostAddress::Any;
    QString error;
    EXPECT_FALSE(server.Start(o, &error));
    EXPECT_TRUE(error.startsWith("refusing to listen on 0.0.0.0")) << error.toStdString();
    EXPECT_EQ(server.Port(), 0);

    struct Case {
        const char* text;
        const char* address;
        int port;
    };
    const Case good[] = {{"127.0.0.1:8470", "127.0.0.1", 8470},
                         {"0.0.0.0:80", "0.0.0.0", 80},
                         {"[::1]:8470", "::1", 8470},
                         {"9000", "127.0.0.1", 9000}};
    for (const Case& c : good) {
        QHostAddress a;
        quint16 p = 0;
        EXPECT_TRUE(pelweb::ParseListen(c.text, &a, &p, &error)) << c.text;
        EXPECT_EQ(a, QHostAddress(c.address)) << c.text;
        EXPECT_EQ(p, c.port) << c.text;
    }
    for (const char* bad : {"localhost:8470", "127.0.0.1:70000", "127.0.0.1:", "1.2.3:80", ""}) {
        QHostAddress a;
        quint16 p = 0;
        EXPECT_FALSE(pelweb::ParseListen(bad, &a, &p, &error)) << bad;
    }
}

// ------------------------------------------------------------------------------------------
// `pelmar serve` as a program.

struct ServeProgram : ::testing::Test {
    QTemporaryDir dir;
    QString archive() const { return dir.filePath("archive.sqlite"); }
    // Starts serve and returns its port (0 when it did not say it serves).
    quint16 Start(lvtest::ChildProcess& p) {
        quint16 port = 0;
        lvtest::waitFor(
            [&] {
                const QRegularExpressionMatch m =
                    QRegularExpression("Serving http://127.0.0.1:(\\d+)/")
                        .match(QString::fromUtf8(p.readStdout()));
                if (m.hasMatch()) port = quint16(m.captured(1).toUInt());
                return port != 0;
            },
            30000);
        return port;
    }
    QProcess* Run(const QStringList& args, const QByteArray& input = {}) {
        auto* p = new QProcess;
        p->start(lvtest::binPath("pelmar"), args);
        p->waitForStarted();
        p->write(input);
        p->closeWriteChannel();
        p->waitForFinished(60000);
        return p;
    }
};

TEST_F(ServeProgram, RefusesToListenBeyondLoopbackWithoutUsersAndAddsUsers) {
    std::unique_ptr<QProcess> p(Run({"serve", "--archive", archive(), "--listen", "0.0.0.0:0",
                                     "--users", dir.filePath("none")}));
    EXPECT_EQ(p->exitCode(), 2);
    EXPECT_EQ(QString::fromUtf8(p->readAllStandardError()),
              QStringLiteral("pelmar: no users file %1 (make one with pelmar serve --add-user NAME "
                             "--role viewer|operator --users %1)\n")
                  .arg(dir.filePath("none")));
    // Without --users the default file is looked for (there is none in the test's settings).
    p.reset(Run({"serve", "--archive", archive(), "--listen", "0.0.0.0:0"}));
    EXPECT_EQ(p->exitCode(), 2);
    EXPECT_EQ(QString::fromUtf8(p->readAllStandardError()),
              "pelmar: refusing to listen on 0.0.0.0: other computers could reach the archive "
              "without a login. Make users first (pelmar serve --add-user NAME --role "
              "viewer|operator) or listen on 127.0.0.1\n");
    EXPECT_FALSE(QFile::exists(archive())); // refused before the archive was touched

    const QString users = dir.filePath("users");
    p.reset(Run({"serve", "--add-user", "clerk", "--role", "operator", "--users", users},
                "a long password\n"));
    EXPECT_EQ(p->exitCode(), 0) << p->readAllStandardError().toStdString();
    EXPECT_EQ(QString::fromUtf8(p->readAllStandardOutput()),
              QStringLiteral("clerk (operator) saved in %1\n").arg(users));
    QList<pelweb::WebUser> list;
    QString error;
    ASSERT_TRUE(pelweb::LoadUsers(users, list, &error)) << error.toStdString();
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list[0].iterations, pelweb::kDefaultIterations);
    EXPECT_TRUE(pelweb::CheckPassword(list[0], "a long password"));
    EXPECT_FALSE(lvtest::readFile(users).contains("a long password"));
    p.reset(Run({"serve", "--add-user", "clerk", "--role", "admin", "--users", users}, "x\n"));
    EXPECT_EQ(p->exitCode(), 2);
    EXPECT_TRUE(p->readAllStandardError().startsWith("pelmar: --role: viewer or operator\n"));
    p.reset(Run({"serve", "--add-user", "clerk", "--role", "viewer", "--users", users}, "short\n"));
    EXPECT_EQ(p->exitCode(), 2);
    EXPECT_EQ(p->readAllStandardError(), "pelmar: a password has at least 8 characters\n");
    // A users file others may read is refused.
    QFile::setPermissions(users, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    p.reset(Run({"serve", "--archive", archive(), "--listen", "127.0.0.1:0", "--users", users}));
    EXPECT_EQ(p->exitCode(), 2);
    EXPECT_TRUE(p->readAllStandardError().contains("may be read or written by others"));
}

TEST_F(ServeProgram, CollectNowShowsEachReadersOutcomeAndNeverTheLoginId) {
    // Enough records for the round to be seen in progress.
    lvtest::SimReader sim({"--records", "2000"}, lvtest::SimReader::Transport::Tcp);
    ASSERT_TRUE(sim.ok());
    const QString readers = dir.filePath("readers.ini");
    ASSERT_TRUE(lvtest::writeFile(readers, QStringLiteral("[Gate A]\nPort=IP:%1\nLogin=4826\n"
                                                          "Every=1h\n\n[Gate B]\nPort=IP:%2\n"
                                                          "Login=4826\n")
                                               .arg(sim.Address(), lvtest::RandomLoopbackAddress())
                                               .toUtf8()));
    QFile::setPermissions(readers, QFile::ReadOwner | QFile::WriteOwner);
    lvtest::ChildProcess serve(
        lvtest::binPath("pelmar"),
        {"serve", "--archive", archive(), "--readers", readers, "--listen", "127.0.0.1:0"});
    const quint16 port = Start(serve);
    ASSERT_NE(port, 0) << serve.readStdout().toStdString();
    Client c(port);
    ASSERT_EQ(c.Session().status, 200);
    Answer a = c.Get("/api/readers");
    ASSERT_EQ(a.Array().size(), 2);
    EXPECT_EQ(a.Array()[0].toObject().value("interval").toInt(), 3600);
    EXPECT_EQ(a.Array()[0].toObject().value("overdue").toBool(), true);
    a = c.Post("/api/collect");
    ASSERT_EQ(a.status, 202) << a.body.toStdString();
    EXPECT_EQ(a.Object().value("round").toInt(), 1);
    EXPECT_EQ(c.Post("/api/collect").status, 409); // one round at a time
    QSet<QString> seen;
    ASSERT_TRUE(lvtest::waitFor(
        [&] {
            const QJsonObject s = c.Get("/api/collect").Object();
            for (const QJsonValue r : s["readers"].toArray())
                seen.insert(r.toObject().value("name").toString() + ": " +
                            r.toObject().value("state").toString());
            return !s["running"].toBool();
        },
        120000));
    // Progress while it ran, then each reader's outcome.
    EXPECT_TRUE(seen.contains("Gate A: collecting"))
        << QStringList(seen.values()).join(", ").toStdString();
    const QJsonArray list = c.Get("/api/collect").Object().value("readers").toArray();
    ASSERT_EQ(list.size(), 2);
    EXPECT_EQ(list[0].toObject().value("state").toString(), "collected");
    EXPECT_EQ(list[0].toObject().value("text").toString(), "2000 new, 0 already archived");
    EXPECT_EQ(list[1].toObject().value("state").toString(), "failed");
    a = c.Get("/api/readers");
    EXPECT_EQ(a.Array()[0].toObject().value("punches").toInt(), 2000);
    EXPECT_EQ(a.Array()[0].toObject().value("overdue").toBool(), false);
    // The Login ID is in no page, answer or log line.
    QByteArray everything =
        a.body + c.Get("/api/collect").body + c.Get("/").body + c.Get("/api/punches").body;
    serve.terminate();
    everything += serve.readStdout();
    EXPECT_FALSE(everything.contains("4826"));
    EXPECT_TRUE(serve.readStdout().contains("Gate A: 2000 new, 0 already archived"));
}

// SIGTERM while a collect round runs: its reader stops after the record in flight with what it
// read filed (the round hears the signal too), and serve ends as on any SIGTERM.
TEST_F(ServeProgram, SigtermDuringACollectRoundStopsItsReaderWithWhatItReadFiled) {
    lvtest::SimReader sim({"--records", "3000", "--baud", "115200"},
                          lvtest::SimReader::Transport::Tcp);
    ASSERT_TRUE(sim.ok());
    const QString readers = dir.filePath("readers.ini");
    ASSERT_TRUE(lvtest::writeFile(
        readers, QStringLiteral("[Gate A]\nPort=IP:%1\nLogin=4826\n").arg(sim.Address()).toUtf8()));
    QFile::setPermissions(readers, QFile::ReadOwner | QFile::WriteOwner);
    lvtest::ChildProcess serve(
        lvtest::binPath("pelmar"),
        {"serve", "--archive", archive(), "--readers", readers, "--listen", "127.0.0.1:0"});
    const quint16 port = Start(serve);
    ASSERT_NE(port, 0) << serve.readStdout().toStdString();
    Client c(port);
    ASSERT_EQ(c.Session().status, 200);
    ASSERT_EQ(c.Post("/api/collect").status, 202);
    // Reading records (3000 take about 10 s at this speed).
    ASSERT_TRUE(lvtest::waitFor([&] { return sim.Requests().count("<STX>G<CR>") > 20; }, 30000));
    ::kill(serve.pid(), SIGTERM);
    EXPECT_EQ(serve.wait(30000), 0);
    const QString out = QString::fromUtf8(serve.readStdout());
    const QRegularExpressionMatch m =
        QRegularExpression("Gate A: stopped, (\\d+) new, 0 already archived\n").match(out);
    ASSERT_TRUE(m.hasMatch()) << out.toStdString();
    EXPECT_TRUE(out.endsWith("Stopped.\n")) << out.toStdString();
    const long filed = m.captured(1).toLong();
    EXPECT_GT(filed, 20);
    EXPECT_LT(filed, 3000);
    pelarchive::Archive a;
    pelarchive::ArchiveLocation l;
    l.path = archive();
    QString error;
    ASSERT_TRUE(a.Open(l, &error)) << error.toStdString();
    QList<pelarchive::ArchivedRecord> rows;
    ASSERT_TRUE(a.Records({}, rows, &error)) << error.toStdString();
    EXPECT_EQ(rows.size(), filed);
}

TEST_F(ServeProgram, ServersAndRecordsSinceLastRacingForOneTargetGiveEachPunchOnce) {
    pelarchive::Archive a;
    pelarchive::ArchiveLocation l;
    l.path = archive();
    QString error;
    ASSERT_TRUE(a.Open(l, &error)) << error.toStdString();
    lvtest::ChildProcess one(lvtest::binPath("pelmar"),
                             {"serve", "--archive", archive(), "--listen", "127.0.0.1:0"});
    lvtest::ChildProcess two(lvtest::binPath("pelmar"),
                             {"serve", "--archive", archive(), "--listen", "127.0.0.1:0"});
    const quint16 p1 = Start(one), p2 = Start(two);
    ASSERT_TRUE(p1 && p2);
    Client c1(p1), c2(p2);
    c1.Session();
    c2.Session();
    QStringList delivered;
    int stored = 0, busy = 0;
    const QDateTime base(QDate(2026, 4, 1), QTime(8, 0));
    const QString file = dir.filePath("pay.csv");
    for (int round = 0; round < 10; ++round) {
        QStringList records;
        for (int i = 0; i < 25; ++i, ++stored)
            records << RecordText(
                QStringLiteral("%1").arg(0x5A000000 + stored, 9, 16, QChar('0')).toUpper(),
                base.addSecs(stored * 60).toString("yyyy-MM-dd HH:mm:ss"), '0');
        ASSERT_TRUE(Store(a, "Gate", "IP:10.0.0.1", records, 0, QDateTime::currentDateTime()));
        // The command line's export to the same target, at the same moment.
        QProcess records_;
        records_.start(lvtest::binPath("pelmar"), {"records", "--archive", archive(), "--since",
                                                   "last", "--target", "pay", "--out", file});
        records_.waitForStarted();
        // The program needs a moment to start: the web exports come later and later.
        QThread::msleep(50 * (round % 5));
        QList<QPair<Client*, QNetworkReply*>> racing;
        for (int k = 0; k < 3; ++k) {
            racing << qMakePair(&c1, c1.Start("POST", "/api/export?target=pay&format=csv"));
            racing << qMakePair(&c2, c2.Start("POST", "/api/export?target=pay&format=csv"));
        }
        for (auto& r : racing) {
            const Answer ans = r.first->Finish(r.second);
            ASSERT_TRUE(ans.status == 200 || ans.status == 204 || ans.status == 409)
                << ans.status << ans.body.toStdString();
            if (ans.status == 409) {
                ++busy;
                EXPECT_TRUE(ans.Why().startsWith("another export to pay is running; nothing was "
                                                 "written"))
                    << ans.Why().toStdString();
                continue; // delivers nothing
            }
            delivered += QString::fromUtf8(ans.body).split("\r\n", Qt::SkipEmptyParts);
        }
        ASSERT_TRUE(
            lvtest::waitFor([&] { return records_.state() == QProcess::NotRunning; }, 60000));
        EXPECT_EQ(records_.exitCode(), 0) << records_.readAllStandardError().toStdString();
    }
    // What the races left is in the next export.
    delivered += QString::fromUtf8(c1.Post("/api/export?target=pay&format=csv").body)
                     .split("\r\n", Qt::SkipEmptyParts);
    const QStringList inFile =
        QString::fromUtf8(lvtest::readFile(file)).split("\r\n", Qt::SkipEmptyParts);
    delivered += inFile;
    EXPECT_EQ(delivered.size(), stored);
    EXPECT_EQ(QSet<QString>(delivered.begin(), delivered.end()).size(), stored);
    std::printf("[ info ] %d punches in 10 rounds of 6 web exports and one records --since "
                "last: %lld went to the file, %d web exports found the target busy\n",
                stored, static_cast<long long>(inFile.size()), busy);
}

} // namespace
