// The record archive on a real PostgreSQL server the test starts itself (a throwaway cluster
// on a loopback port): the same schema and exactly-once filing as on SQLite, two writers at
// once, and passwords only the libpq way.
#include "ArchiveTestRecords.h"
#include "FilingCheck.h"
#include "PgCluster.h"
#include "ReleaseArchiveCheck.h"
#include "TestSupport.h"
#include "pelarchive/Archive.h"
#include "pelarchive/ExportTarget.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <gtest/gtest.h>
#include <iostream>

using namespace pelarchive;
using archivetest::ReaderMemory;

namespace {

lvtest::PgCluster* g_cluster = nullptr;

struct PostgresArchive : ::testing::Test {
    static void SetUpTestSuite() {
        if (!g_cluster) g_cluster = new lvtest::PgCluster;
    }
    static void TearDownTestSuite() {
        delete g_cluster;
        g_cluster = nullptr;
    }
    QString db;
    ArchiveLocation where;

    void SetUp() override {
        if (g_cluster->missing()) {
            std::cerr << "\n*** SKIPPED: no PostgreSQL server to test against: "
                      << g_cluster->Why().toStdString() << " ***\n\n";
            GTEST_SKIP() << g_cluster->Why().toStdString();
        }
        ASSERT_TRUE(g_cluster->ok()) << g_cluster->Why().toStdString();
        static int n = 0;
        db = QStringLiteral("archive%1").arg(++n);
        ASSERT_TRUE(g_cluster->CreateDatabase(db));
        QString error;
        ASSERT_TRUE(ParseArchiveUrl(g_cluster->Url(db), where, &error)) << error.toStdString();
    }
    long Count(const QString& sql = "SELECT COUNT(*) FROM records") {
        bool ok = false;
        const long n = g_cluster->Value(sql, db).toLong(&ok);
        return ok ? n : -1;
    }
};

StoreResult Store(Archive& a, const QStringList& records, const QString& name = "Gate 1") {
    ReaderIdentity r;
    r.name = name;
    DownloadOutcome d;
    d.started = d.ended = QDateTime::currentDateTime();
    d.read = d.reported = records.size();
    d.outcome = "complete";
    return a.StoreDownload(r, d, records);
}

TEST_F(PostgresArchive, FilesEachPunchOnceWithTheSameSchema) {
    Archive a;
    QString error;
    ASSERT_TRUE(a.Open(where, &error)) << error.toStdString();
    EXPECT_EQ(a.SchemaVersion(), Archive::kSchemaVersion);
    StoreResult r = Store(a, ReaderMemory(1000));
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.added, 1000);
    r = Store(a, ReaderMemory(1200));
    EXPECT_EQ(r.added, 200);
    EXPECT_EQ(r.already, 1000);
    EXPECT_EQ(Count(), 1200);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM records WHERE occurrence = 2"), 12);
    EXPECT_EQ(Count("SELECT version FROM schema_version"), Archive::kSchemaVersion);
    // The same rows as SQLite gives for the same downloads.
    QTemporaryDir dir;
    Archive lite;
    ArchiveLocation l;
    l.path = dir.filePath("a.sqlite");
    ASSERT_TRUE(lite.Open(l, &error));
    ASSERT_TRUE(Store(lite, ReaderMemory(1000)).ok);
    ASSERT_TRUE(Store(lite, ReaderMemory(1200)).ok);
    QList<ArchivedRecord> pg, sq;
    ASSERT_TRUE(a.Records({}, pg, &error)) << error.toStdString();
    ASSERT_TRUE(lite.Records({}, sq, &error));
    ASSERT_EQ(pg.size(), sq.size());
    for (int i = 0; i < pg.size(); ++i) {
        EXPECT_EQ(pg[i].text, sq[i].text);
        EXPECT_EQ(pg[i].occurrence, sq[i].occurrence);
        EXPECT_EQ(pg[i].cardId, sq[i].cardId);
        EXPECT_EQ(pg[i].cardType, sq[i].cardType);
        EXPECT_EQ(pg[i].punchText, sq[i].punchText);
        EXPECT_EQ(pg[i].weekday, sq[i].weekday);
    }
}

TEST_F(PostgresArchive, ManyRowsPerStatementKeepTheCountsExact) {
    Archive a;
    QString error;
    ASSERT_TRUE(a.Open(where, &error)) << error.toStdString();
    archivetest::ExpectExactCountsAcrossStatements(
        a, [&](const char* sql) { return Count(QString::fromLatin1(sql)); });
}

TEST_F(PostgresArchive, MigratesAReleaseArchiveForward) {
    for (QString sql : archivetest::ReleaseArchiveSql()) {
        sql.replace("%ID%", "BIGSERIAL PRIMARY KEY").replace("char(", "chr(");
        ASSERT_TRUE(g_cluster->Psql(sql, db)) << sql.toStdString();
    }
    Archive a;
    QString error;
    ASSERT_TRUE(a.Open(where, &error)) << error.toStdString();
    EXPECT_EQ(a.SchemaVersion(), Archive::kSchemaVersion);
    archivetest::ExpectReleaseArchiveCarried(a);
    // New records number on after the carried ones (a refused insert takes a number too).
    const StoreResult r = Store(a, ReaderMemory(2));
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.added, 2);
    EXPECT_GT(Count("SELECT MIN(id) FROM records WHERE download_id = 5"), 7);
}

TEST_F(PostgresArchive, MigratesARelease3ArchiveForward) {
    for (const bool pageIndexes : {false, true}) {
        if (pageIndexes) {
            db += "i";
            ASSERT_TRUE(g_cluster->CreateDatabase(db));
            QString error;
            ASSERT_TRUE(ParseArchiveUrl(g_cluster->Url(db), where, &error));
        }
        for (QString sql : archivetest::Release3ArchiveSql(pageIndexes)) {
            sql.replace("%ID%", "BIGSERIAL PRIMARY KEY").replace("char(", "chr(");
            ASSERT_TRUE(g_cluster->Psql(sql, db)) << sql.toStdString();
        }
        Archive a;
        QString error;
        ASSERT_TRUE(a.Open(where, &error)) << error.toStdString();
        archivetest::ExpectRelease3ArchiveCarried(a, [&](const char* name) {
            return Count(
                QStringLiteral("SELECT COUNT(*) FROM pg_indexes WHERE indexname = '%1'").arg(name));
        });
        EXPECT_EQ(Count("SELECT version FROM schema_version"), 4);
    }
}

TEST_F(PostgresArchive, RefusesANewerSchema) {
    {
        Archive a;
        QString error;
        ASSERT_TRUE(a.Open(where, &error)) << error.toStdString();
    }
    ASSERT_TRUE(g_cluster->Psql("UPDATE schema_version SET version = 5", db));
    Archive newer;
    QString error;
    EXPECT_FALSE(newer.Open(where, &error));
    EXPECT_EQ(error, "the archive " + where.Display() +
                         " has schema version 5; this program knows up to 4 (update the program)");
    EXPECT_FALSE(newer.OpenExisting(where, &error));
    EXPECT_EQ(error, "the archive " + where.Display() +
                         " has schema version 5; this program knows up to 4 (update the program)");
}

// Two exporters to one file on PostgreSQL (the target held by an advisory lock of the
// session), round after round while punches arrive: every punch once.
TEST_F(PostgresArchive, RacingExportsWriteEachPunchOnce) {
    Archive a;
    QString error;
    ASSERT_TRUE(a.Open(where, &error)) << error.toStdString();
    QTemporaryDir dir;
    const QString pay = dir.filePath("pay.txt");
    auto lines = [&](const QString& file) {
        QStringList l = QString::fromUtf8(lvtest::readFile(file)).split('\n', Qt::SkipEmptyParts);
        std::sort(l.begin(), l.end());
        return l;
    };
    for (int round = 1; round <= 6; ++round) {
        ASSERT_TRUE(Store(a, ReaderMemory(50 * round)).ok);
        QProcess x, y;
        const QStringList args{g_cluster->Url(db), pay, "20000"};
        x.start(lvtest::binPath("export_runner"), args);
        y.start(lvtest::binPath("export_runner"), args);
        ASSERT_TRUE(x.waitForFinished(60000));
        ASSERT_TRUE(y.waitForFinished(60000));
        ASSERT_EQ(x.exitCode(), 0) << x.readAllStandardError().toStdString();
        ASSERT_EQ(y.exitCode(), 0) << y.readAllStandardError().toStdString();
        ASSERT_EQ(lines(pay).size(), 50 * round);
    }
    // The same lines as one export of everything (the reader's twin punches twice).
    ExportRequest all;
    all.file = dir.filePath("all.txt");
    ASSERT_TRUE(ExportUnsent(a, all).ok);
    EXPECT_EQ(lines(pay), lines(all.file));
}

// Two collectors filing the same reader into one database at the same moment.
TEST_F(PostgresArchive, TwoWritersAtOnceNeverDuplicate) {
    {
        Archive a; // the schema first, so both writers race on the records only
        QString error;
        ASSERT_TRUE(a.Open(where, &error)) << error.toStdString();
    }
    QProcess w1, w2;
    const QStringList args{g_cluster->Url(db), "Gate 1", "6000", "2000"};
    w1.start(lvtest::binPath("archive_writer"), args);
    w2.start(lvtest::binPath("archive_writer"), args);
    ASSERT_TRUE(w1.waitForFinished(120000));
    ASSERT_TRUE(w2.waitForFinished(120000));
    ASSERT_EQ(w1.exitCode(), 0) << w1.readAllStandardError().toStdString();
    ASSERT_EQ(w2.exitCode(), 0) << w2.readAllStandardError().toStdString();
    // Between them each record counted new exactly once.
    long added = 0;
    for (QProcess* w : {&w1, &w2})
        for (const QByteArray& line : w->readAllStandardOutput().split('\n'))
            if (line.startsWith("stored")) added += line.split(' ')[3].toLong();
    EXPECT_EQ(added, 6000);
    EXPECT_EQ(Count(), 6000);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM downloads"), 6);
}

TEST_F(PostgresArchive, PasswordsComeTheLibpqWayOnly) {
    ASSERT_TRUE(g_cluster->Psql("GRANT ALL ON SCHEMA public TO clerk", db));
    ArchiveLocation clerk;
    QString error;
    ASSERT_TRUE(ParseArchiveUrl(g_cluster->Url(db, "clerk"), clerk, &error));
    const QByteArray oldPw = qgetenv("PGPASSWORD"), oldFile = qgetenv("PGPASSFILE");
    QTemporaryDir home;
    const QString passFile = home.filePath("pgpass");
    qputenv("PGPASSFILE", passFile.toLocal8Bit()); // none yet
    qunsetenv("PGPASSWORD");
    {
        Archive a;
        EXPECT_FALSE(a.Open(clerk, &error));
        EXPECT_TRUE(error.startsWith("can't open the archive: ")) << error.toStdString();
        EXPECT_TRUE(error.contains("no password supplied")) << error.toStdString();
        EXPECT_TRUE(error.endsWith("(archive " + clerk.Display() + ")")) << error.toStdString();
    }
    qputenv("PGPASSWORD", "wrong");
    {
        Archive a;
        EXPECT_FALSE(a.Open(clerk, &error));
        EXPECT_TRUE(error.contains("password authentication failed for user \"clerk\""))
            << error.toStdString();
    }
    qputenv("PGPASSWORD", "punch-2026");
    {
        Archive a;
        ASSERT_TRUE(a.Open(clerk, &error)) << error.toStdString();
        EXPECT_EQ(Store(a, ReaderMemory(10)).added, 10);
    }
    qunsetenv("PGPASSWORD");
    ASSERT_TRUE(lvtest::writeFile(passFile, QStringLiteral("127.0.0.1:%1:%2:clerk:punch-2026\n")
                                                .arg(g_cluster->Port())
                                                .arg(db)
                                                .toUtf8()));
    QFile::setPermissions(passFile, QFile::ReadOwner | QFile::WriteOwner);
    {
        Archive a;
        ASSERT_TRUE(a.Open(clerk, &error)) << error.toStdString();
        EXPECT_EQ(Store(a, ReaderMemory(20)).added, 10);
    }
    qputenv("PGPASSWORD", oldPw);
    if (oldPw.isNull()) qunsetenv("PGPASSWORD");
    qputenv("PGPASSFILE", oldFile);
    if (oldFile.isNull()) qunsetenv("PGPASSFILE");
}

TEST_F(PostgresArchive, AServerThatIsNotThereIsAClearError) {
    ArchiveLocation nowhere = where;
    nowhere.port = g_cluster->Port() == 1 ? 2 : 1; // nothing listens on port 1
    Archive a;
    QString error;
    EXPECT_FALSE(a.Open(nowhere, &error));
    EXPECT_TRUE(error.startsWith("can't open the archive: ")) << error.toStdString();
    EXPECT_TRUE(error.contains("Connection refused")) << error.toStdString();
    EXPECT_TRUE(error.endsWith("(archive postgresql://postgres@127.0.0.1:" +
                               QString::number(nowhere.port) + "/" + db + ")"))
        << error.toStdString();
}

} // namespace
