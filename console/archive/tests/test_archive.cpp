// The record archive on SQLite, in temporary folders: URLs, exactly-once filing, the record
// fields, queries and export marks, forward migrations, and the faults (two writers at once,
// kill -9 in the middle of the stores, a full disk).
#include "ArchiveTestRecords.h"
#include "FilingCheck.h"
#include "ReleaseArchiveCheck.h"
#include "TestSupport.h"
#include "pelarchive/Archive.h"

#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>

using namespace pelarchive;
using archivetest::ReaderMemory;

namespace {

struct UrlCase {
    const char* name;
    const char* url;
    bool ok;
    ArchiveLocation::Kind kind;
    const char* expect; // Display() when ok, the error when not
};

class ArchiveUrl : public ::testing::TestWithParam<UrlCase> {};

TEST_P(ArchiveUrl, ReadsOrRefusesWithAReason) {
    const UrlCase& c = GetParam();
    ArchiveLocation l;
    QString error;
    const bool ok = ParseArchiveUrl(QString::fromUtf8(c.url), l, &error);
    ASSERT_EQ(ok, c.ok) << error.toStdString();
    if (ok) {
        EXPECT_EQ(l.kind, c.kind);
        EXPECT_EQ(l.Display().toStdString(), c.expect);
    } else {
        EXPECT_EQ(error.toStdString(), c.expect);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Urls, ArchiveUrl,
    ::testing::Values(
        UrlCase{"PostgresWithPort", "postgresql://clerk@db.example:6543/punches", true,
                ArchiveLocation::Kind::Postgres, "postgresql://clerk@db.example:6543/punches"},
        UrlCase{"PostgresDefaultPort", "postgres://clerk@10.0.0.9/punches", true,
                ArchiveLocation::Kind::Postgres, "postgresql://clerk@10.0.0.9:5432/punches"},
        // The display text names the IPv6 host in brackets: it reads back as the same place.
        UrlCase{"PostgresIpv6Host", "postgresql://clerk@[::1]:5433/punches", true,
                ArchiveLocation::Kind::Postgres, "postgresql://clerk@[::1]:5433/punches"},
        // Port 0 is no TCP port: the archive could never be reached there.
        UrlCase{"PortZero", "postgresql://clerk@db:0/punches", false, ArchiveLocation::Kind::Sqlite,
                "archive URL postgresql://clerk@db:0/punches: port 0 is not a port (1-65535)"},
        UrlCase{"SqliteUrl", "sqlite:///var/lib/a.sqlite", true, ArchiveLocation::Kind::Sqlite,
                "/var/lib/a.sqlite"},
        UrlCase{"PlainPath", "/srv/punch.sqlite", true, ArchiveLocation::Kind::Sqlite,
                "/srv/punch.sqlite"},
        UrlCase{"PasswordRefused", "postgresql://clerk:s3cret@db/punches", false,
                ArchiveLocation::Kind::Sqlite,
                "archive URL refused: it holds a password. Give the password through PGPASSWORD "
                "or ~/.pgpass, never in the URL."},
        UrlCase{"EmptyPasswordRefused", "postgresql://clerk:@db/punches", false,
                ArchiveLocation::Kind::Sqlite,
                "archive URL refused: it holds a password. Give the password through PGPASSWORD "
                "or ~/.pgpass, never in the URL."},
        UrlCase{"NoDatabase", "postgresql://clerk@db", false, ArchiveLocation::Kind::Sqlite,
                "archive URL postgresql://clerk@db names no database "
                "(postgresql://user@host[:port]/db)"},
        UrlCase{"NoUser", "postgresql://db/punches", false, ArchiveLocation::Kind::Sqlite,
                "archive URL postgresql://db/punches names no user "
                "(postgresql://user@host[:port]/db)"},
        UrlCase{"Options", "postgresql://clerk@db/punches?sslmode=disable", false,
                ArchiveLocation::Kind::Sqlite,
                "archive URL postgresql://clerk@db/punches?sslmode=disable: no options after the "
                "database name"},
        UrlCase{"UnknownKind", "mysql://clerk@db/punches", false, ArchiveLocation::Kind::Sqlite,
                "archive URL mysql://clerk@db/punches: unknown kind \"mysql\" (use "
                "postgresql://user@host[:port]/db or an SQLite file)"}),
    [](const auto& i) { return std::string(i.param.name); });

// A NUL in a file name cut it short: "/srv/a\0b.sqlite" became "/srv/a" (and "sqlite:a\0b" the
// relative "a"), so the records went to another file than the one named.
TEST(ArchiveUrlNul, FileNameHoldingANulIsRefused) {
    for (const QByteArray& url :
         {QByteArray("/srv/a\0b.sqlite", 15), QByteArray("sqlite:a\0b.sqlite", 17),
          QByteArray("sqlite:///srv/a\0b.sqlite", 24)}) {
        ArchiveLocation l;
        QString error;
        EXPECT_FALSE(ParseArchiveUrl(QString::fromUtf8(url), l, &error)) << l.path.toStdString();
        EXPECT_EQ(error.toStdString(), "archive URL refused: the file name holds a NUL character");
    }
}

// A user name decoded from "%00" held a NUL: the database client ends the name there and would
// log in as another user ("c000" instead of the name given), and the display text did not read
// back. The first URL is the input fuzz_archive_url found (kept in
// console/archive/fuzz/regressions/fuzz_archive_url/).
TEST(ArchiveUrlNul, UserNameHoldingANulIsRefused) {
    const QByteArray found = QByteArray::fromBase64(
        "cG9zdGdyZXNxbDovL2MwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAw"
        "MDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMCUwMDAwMDAwMDAw"
        "MDEzMjA4MTMzNjlAWzo6XS+S");
    ASSERT_EQ(found.size(), 150);
    for (const QByteArray& url : {found, QByteArray("postgresql://cl%00erk@db/punches"),
                                  QByteArray("postgresql://%00@db.example:6543/punches")}) {
        ArchiveLocation l;
        QString error;
        EXPECT_FALSE(ParseArchiveUrl(QString::fromUtf8(url), l, &error))
            << l.Display().toStdString();
        EXPECT_EQ(error.toStdString(), "archive URL refused: the user name holds a NUL character");
    }
}

// A user name may hold "@", ":" or "/" written as %40, %3A, %2F. The display text wrote them
// plain, so it named another user and host ("clerk@site@db"), or a password. It keeps them
// encoded and reads back as the same place (the second input is one fuzz_archive_url found).
TEST(ArchiveUrlUser, EncodedCharactersStayEncodedInTheDisplayText) {
    struct Case {
        const char* url;
        const char* user;
        const char* display;
    };
    const Case cases[] = {
        {"postgresql://clerk%40site@db/punches", "clerk@site",
         "postgresql://clerk%40site@db:5432/punches"},
        {"postgres://k22%409710364@5/s", "k22@9710364",
         "postgresql://k22%409710364@0.0.0.5:5432/s"},
        {"postgresql://a%3Ab@db/punches", "a:b", "postgresql://a%3Ab@db:5432/punches"},
        {"postgresql://a%2Fb%25@db/punches", "a/b%", "postgresql://a%2Fb%25@db:5432/punches"},
        {"postgresql://cl%C3%A9rk@db/punches", "cl\xC3\xA9rk",
         "postgresql://cl\xC3\xA9rk@db:5432/punches"},
    };
    for (const Case& c : cases) {
        ArchiveLocation l;
        QString error;
        ASSERT_TRUE(ParseArchiveUrl(QString::fromUtf8(c.url), l, &error)) << error.toStdString();
        EXPECT_EQ(l.user.toStdString(), c.user);
        EXPECT_EQ(l.Display().toStdString(), c.display);
        ArchiveLocation again;
        ASSERT_TRUE(ParseArchiveUrl(l.Display(), again, &error)) << error.toStdString();
        EXPECT_EQ(again.user, l.user);
        EXPECT_EQ(again.host, l.host);
        EXPECT_EQ(again.database, l.database);
    }
}

// "%25" in the database name decodes to "%": the display text wrote it plain ("pun%ches"), which
// is no URL (fuzz_archive_url found it, kept in console/archive/fuzz/regressions/).
TEST(ArchiveUrlDatabase, EncodedCharactersStayEncodedInTheDisplayText) {
    struct Case {
        const char* url;
        const char* database;
        const char* display;
    };
    const Case cases[] = {
        {"postgresql://clerk@db/pun%25ches", "pun%ches", "postgresql://clerk@db:5432/pun%25ches"},
        {"postgresql://clerk@db/a%25c@[:x", "a%c@[:x",
         "postgresql://clerk@db:5432/a%25c%40%5B%3Ax"},
        {"postgresql://clerk@db/punches", "punches", "postgresql://clerk@db:5432/punches"},
    };
    for (const Case& c : cases) {
        ArchiveLocation l;
        QString error;
        ASSERT_TRUE(ParseArchiveUrl(QString::fromUtf8(c.url), l, &error)) << error.toStdString();
        EXPECT_EQ(l.database.toStdString(), c.database);
        EXPECT_EQ(l.Display().toStdString(), c.display);
        ArchiveLocation again;
        EXPECT_TRUE(ParseArchiveUrl(l.Display(), again, &error)) << error.toStdString();
        EXPECT_EQ(again.database, l.database);
    }
}

TEST(ArchiveUrlDefault, IsTheSqliteFileInTheDataFolder) {
    const QByteArray old = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", "/tmp/xdg-data");
    ArchiveLocation l;
    ASSERT_TRUE(ParseArchiveUrl("", l, nullptr));
    EXPECT_EQ(l.kind, ArchiveLocation::Kind::Sqlite);
    EXPECT_EQ(l.path, "/tmp/xdg-data/lorvane/archive.sqlite");
    qputenv("XDG_DATA_HOME", old);
}

struct SqliteArchive : ::testing::Test {
    QTemporaryDir dir;
    ArchiveLocation where;
    Archive archive;
    ReaderIdentity gate;

    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        where.path = dir.filePath("sub/archive.sqlite"); // the folder is made on open
        QString error;
        ASSERT_TRUE(archive.Open(where, &error)) << error.toStdString();
        gate.name = "Gate 1";
        gate.port = "COM3";
        gate.machineId = "0001";
        gate.firmware = "KRN-A0101";
    }
    StoreResult Store(const QStringList& records, const ReaderIdentity& r) {
        DownloadOutcome d;
        d.started = d.ended = QDateTime::currentDateTime();
        d.read = d.reported = records.size();
        d.outcome = "complete";
        return archive.StoreDownload(r, d, records);
    }
    StoreResult Store(const QStringList& records) { return Store(records, gate); }
    long Count(const QString& sql = "SELECT COUNT(*) FROM records") {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "peek");
        long n = -1;
        {
            db.setDatabaseName(where.path);
            if (db.open()) {
                QSqlQuery q(db);
                if (q.exec(sql) && q.next()) n = q.value(0).toLongLong();
            }
            db.close();
        }
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("peek");
        return n;
    }
};

TEST_F(SqliteArchive, OpensInWalWithTheCurrentSchema) {
    EXPECT_EQ(archive.SchemaVersion(), Archive::kSchemaVersion);
    EXPECT_EQ(Count("SELECT version FROM schema_version"), Archive::kSchemaVersion);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM schema_version"), 1);
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "wal");
    {
        db.setDatabaseName(where.path);
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        ASSERT_TRUE(q.exec("PRAGMA journal_mode") && q.next());
        EXPECT_EQ(q.value(0).toString(), "wal");
        db.close();
    }
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase("wal");
}

TEST_F(SqliteArchive, ReadingTheSameMemoryAgainAddsNothing) {
    const QStringList memory = ReaderMemory(1000); // holds 10 twin punches
    StoreResult r = Store(memory);
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.added, 1000);
    EXPECT_EQ(r.already, 0);
    r = Store(memory);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.added, 0);
    EXPECT_EQ(r.already, 1000);
    // The memory grew by 500 punches: only those are new.
    r = Store(ReaderMemory(1500));
    EXPECT_EQ(r.added, 500);
    EXPECT_EQ(r.already, 1000);
    EXPECT_EQ(Count(), 1500);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM downloads"), 3);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM records WHERE occurrence = 2"), 15);
}

TEST_F(SqliteArchive, TwinPunchesAreKeptTwiceAndOtherReadersApart) {
    const QString punch = archivetest::RecordText(1, '5', '0', "00A1B2C3",
                                                  QDateTime(QDate(2026, 3, 2), QTime(8, 0, 0)));
    EXPECT_EQ(Store({punch, punch}).added, 2);
    EXPECT_EQ(Store({punch}).added, 0);
    EXPECT_EQ(Store({punch, punch, punch}).added, 1); // a third one arrived
    ReaderIdentity other;
    other.port = "IP:10.0.0.5";
    other.machineId = "0002";
    EXPECT_EQ(other.Key(), "IP:10.0.0.5#0002");
    EXPECT_EQ(Store({punch}, other).added, 1);
    EXPECT_EQ(Count(), 4);
    long held = 0;
    QString error;
    ASSERT_TRUE(archive.CountHeld("Gate 1", {punch, punch, punch, punch}, 255, &held, &error));
    EXPECT_EQ(held, 3);
}

TEST_F(SqliteArchive, StoresTheFieldsOfEachRecord) {
    const QString text = archivetest::RecordText(3, 'A', '2', "1234567890",
                                                 QDateTime(QDate(2026, 12, 2), QTime(17, 45, 9)));
    ASSERT_TRUE(Store({text}).ok);
    QList<ArchivedRecord> rows;
    QString error;
    ASSERT_TRUE(archive.Records({}, rows, &error)) << error.toStdString();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].reader, "Gate 1");
    EXPECT_EQ(rows[0].text, text);
    EXPECT_EQ(rows[0].occurrence, 1);
    EXPECT_EQ(rows[0].cardId, "1234567890");
    EXPECT_EQ(rows[0].cardType, "HID37");
    EXPECT_EQ(rows[0].event, "2");
    EXPECT_EQ(rows[0].weekday, 3);
    EXPECT_EQ(rows[0].punchText, "2026-12-02 17:45:09");
    EXPECT_EQ(rows[0].Punch(), QDateTime(QDate(2026, 12, 2), QTime(17, 45, 9)));
    EXPECT_LE(qAbs(rows[0].Archived().secsTo(QDateTime::currentDateTimeUtc())), 60);
    QList<ReaderRow> readers;
    ASSERT_TRUE(archive.Readers(readers, &error));
    ASSERT_EQ(readers.size(), 1);
    EXPECT_EQ(readers[0].firmware, "KRN-A0101");
    EXPECT_FALSE(readers[0].hasDrift);
    ASSERT_TRUE(archive.SetDrift(gate, -42, &error));
    ASSERT_TRUE(archive.Readers(readers, &error));
    EXPECT_TRUE(readers[0].hasDrift);
    EXPECT_EQ(readers[0].drift, -42);
}

struct SplitCase {
    const char* name;
    const char* text;
    const char* card;
    const char* type;
    const char* event;
    int weekday;
    const char* punch;
};

class SplitRecordText : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitRecordText, GivesTheStoredFields) {
    const SplitCase& c = GetParam();
    const RecordParts p = SplitRecord(QString::fromLatin1(c.text));
    EXPECT_EQ(p.cardId, c.card);
    EXPECT_EQ(p.cardType, c.type);
    EXPECT_EQ(p.event, c.event);
    EXPECT_EQ(p.weekday, c.weekday);
    EXPECT_EQ(p.punchText, c.punch);
}

INSTANTIATE_TEST_SUITE_P(Texts, SplitRecordText,
                         ::testing::Values(SplitCase{"Plain",
                                                     "A0000,\x01"
                                                     "0506A7B8C\x04"
                                                     "2026/03/01 23:59:59",
                                                     "6A7B8C", "EM", "0", 0, "2026-03-01 23:59:59"},
                                           SplitCase{"LeapDay",
                                                     "A0000,\x01"
                                                     "6110\x04"
                                                     "2028/02/29 00:00:00",
                                                     "0", "1K", "1", 6, "2028-02-29 00:00:00"},
                                           SplitCase{"NoSuchDay",
                                                     "A0000,\x01"
                                                     "6110\x04"
                                                     "2026/02/29 00:00:00",
                                                     "0", "1K", "1", 6, ""},
                                           SplitCase{"NoSuchHour",
                                                     "A0000,\x01"
                                                     "6110\x04"
                                                     "2026/02/28 24:00:00",
                                                     "0", "1K", "1", 6, ""},
                                           SplitCase{"ShortDate",
                                                     "A0000,\x01"
                                                     "9Z\x04"
                                                     "2026/2/8 7:00:00",
                                                     "", "Z", "", -1, ""},
                                           SplitCase{"NoFields", "A0000", "", "", "", -1, ""}),
                         [](const auto& i) { return std::string(i.param.name); });

struct PunchCase {
    const char* name;
    int dateMode;     // the reader's date-format register at the download
    const char* date; // the record's date text as the download chose it
    int weekday;
    const char* punch; // the punch time stored, "" when none
    const char* raw;   // the reader's digits kept instead
};

class PunchTime : public ::testing::TestWithParam<PunchCase> {};

TEST_P(PunchTime, IsDecodedByTheDateFormatRegister) {
    const PunchCase& c = GetParam();
    const QString text = QStringLiteral("A0000,\x01") + QString::number(c.weekday) +
                         QStringLiteral("113d9944821\x04") + QString::fromLatin1(c.date) +
                         QStringLiteral(" 08:30:05");
    const RecordParts p = SplitRecord(text, c.dateMode);
    EXPECT_EQ(p.punchText, c.punch);
    EXPECT_EQ(p.rawDate, c.raw);
    EXPECT_EQ(p.cardId, "3D9944821");
}

INSTANTIATE_TEST_SUITE_P(
    Registers, PunchTime,
    ::testing::Values(
        PunchCase{"YearFirst", 255, "2026/12/07", 1, "2026-12-07 08:30:05", ""},
        PunchCase{"MonthFirst", 0, "12/07/2026", 1, "2026-12-07 08:30:05", ""},
        PunchCase{"DayFirstCodeOne", 1, "07/12/2026", 1, "2026-12-07 08:30:05", ""},
        PunchCase{"DayFirstCode254", 254, "07/12/2026", 1, "2026-12-07 08:30:05", ""},
        // A year-first register with a year-last record: the weekday settles the order.
        PunchCase{"YearLastUnderYearFirstByWeekday", 255, "07/12/2026", 1, "2026-12-07 08:30:05",
                  ""},
        PunchCase{"YearLastUnderYearFirstMonthFirst", 255, "07/12/2026", 5, "2026-07-12 08:30:05",
                  ""},
        PunchCase{"OnlyDayFirstIsADate", 255, "25/12/2026", 9, "2026-12-25 08:30:05", ""},
        // A year-first date shown by a month-first reader (the download took the alternative).
        PunchCase{"AlternativeTaken", 0, "2026/12/07", 1, "2026-12-07 08:30:05", ""},
        PunchCase{"NoDate", 0, "99/99/9999", 1, "", "99999999083005"},
        PunchCase{"NoDayInMonth", 255, "2026/02/30", 1, "", "20260230083005"}),
    [](const auto& i) { return std::string(i.param.name); });

// A month-first reader, then the same reader switched to year-first (after an erase the
// memory is the same punches only in tests, but a switch must never file a punch twice).
TEST_F(SqliteArchive, AReadersDateFormatDoesNotMakeNewPunches) {
    QStringList yearFirst, monthFirst, dayFirst;
    for (int i = 0; i < 50; ++i) {
        const QDateTime t = QDateTime(QDate(2026, 1, 5), QTime(8, 0, 0)).addSecs(i * 86400 / 2);
        const QString ymd = archivetest::RecordText(t.date().dayOfWeek() % 7, '1', '0',
                                                    QStringLiteral("3d99%1").arg(i), t);
        yearFirst << ymd;
        monthFirst << QString(ymd).replace(t.toString("yyyy/MM/dd"), t.toString("MM/dd/yyyy"));
        dayFirst << QString(ymd).replace(t.toString("yyyy/MM/dd"), t.toString("dd/MM/yyyy"));
    }
    auto store = [&](const QStringList& r, int mode) {
        DownloadOutcome d;
        d.outcome = "complete";
        d.dateMode = mode;
        return archive.StoreDownload(gate, d, r);
    };
    StoreResult r = store(monthFirst, 0);
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.added, 50);
    EXPECT_EQ(store(yearFirst, 255).added, 0);
    EXPECT_EQ(store(dayFirst, 1).added, 0);
    EXPECT_EQ(Count(), 50);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM records WHERE punch_time IS NULL"), 0);
    // The month-first punches are found by their time, and by their card in any case.
    QList<ArchivedRecord> rows;
    QString error;
    RecordQuery q;
    q.since = QDateTime(QDate(2026, 1, 1), QTime(0, 0, 0));
    ASSERT_TRUE(archive.Records(q, rows, &error));
    EXPECT_EQ(rows.size(), 50);
    EXPECT_EQ(rows[1].punchText, "2026-01-05 20:00:00");
    q = {};
    q.card = "3d997";
    ASSERT_TRUE(archive.Records(q, rows, &error));
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].cardId, "3D997");
    long held = 0;
    ASSERT_TRUE(archive.CountHeld("Gate 1", dayFirst, 1, &held, &error));
    EXPECT_EQ(held, 50);
}

TEST_F(SqliteArchive, ManyRowsPerStatementKeepTheCountsExact) {
    archivetest::ExpectExactCountsAcrossStatements(
        archive, [&](const char* sql) { return Count(QString::fromLatin1(sql)); });
}

TEST_F(SqliteArchive, UndecodableDatesAreKeptAsDigitsAndCounted) {
    const QString bad = "A0000,\x01"
                        "1110001\x04"
                        "99/99/9999 08:30:05";
    DownloadOutcome d;
    d.outcome = "complete";
    d.dateMode = 0;
    StoreResult r = archive.StoreDownload(gate, d, {bad, bad});
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.added, 2);
    EXPECT_EQ(r.undated, 2);
    r = archive.StoreDownload(gate, d, {bad, bad});
    EXPECT_EQ(r.added, 0);
    EXPECT_EQ(r.undated, 0);
    QList<ArchivedRecord> rows;
    QString error;
    ASSERT_TRUE(archive.Records({}, rows, &error));
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[1].rawDate, "99999999083005");
    EXPECT_EQ(rows[1].punchText, "");
    EXPECT_EQ(rows[1].occurrence, 2);
}

// Reading never makes an archive; a read-only one is listed.
TEST_F(SqliteArchive, OpeningToReadNeverMakesAnArchive) {
    Archive a;
    ArchiveLocation typo;
    typo.path = dir.filePath("typo.sqlite");
    QString error;
    EXPECT_FALSE(a.OpenExisting(typo, &error));
    EXPECT_EQ(error, "no archive at " + typo.path);
    EXPECT_FALSE(QFileInfo::exists(typo.path));
    ASSERT_TRUE(Store(ReaderMemory(5)).ok);
    Archive existing;
    ASSERT_TRUE(existing.OpenExisting(where, &error)) << error.toStdString();
    QList<ArchivedRecord> rows;
    ASSERT_TRUE(existing.Records({}, rows, &error));
    EXPECT_EQ(rows.size(), 5);
}

TEST_F(SqliteArchive, QueriesFilterByReaderCardAndPunchTime) {
    ASSERT_TRUE(Store(ReaderMemory(300)).ok);
    ReaderIdentity other;
    other.name = "Gate 2";
    ASSERT_TRUE(Store(ReaderMemory(50), other).ok);
    QList<ArchivedRecord> rows;
    QString error;
    RecordQuery q;
    q.reader = "Gate 2";
    ASSERT_TRUE(archive.Records(q, rows, &error));
    EXPECT_EQ(rows.size(), 50);
    q = {};
    q.card = "10000007";
    ASSERT_TRUE(archive.Records(q, rows, &error));
    ASSERT_EQ(rows.size(), 2); // once per reader
    EXPECT_EQ(rows[0].reader, "Gate 1");
    EXPECT_EQ(rows[1].reader, "Gate 2");
    // Records 0..299 are 7 s apart from 07:00:00; 07:01:10 is record 10, 07:02:20 record 20.
    q = {};
    q.reader = "Gate 1";
    q.since = QDateTime(QDate(2026, 3, 2), QTime(7, 1, 10));
    q.until = QDateTime(QDate(2026, 3, 2), QTime(7, 2, 20));
    ASSERT_TRUE(archive.Records(q, rows, &error));
    ASSERT_EQ(rows.size(), 11);
    EXPECT_EQ(rows.first().Punch().time(), QTime(7, 1, 10));
    EXPECT_EQ(rows.last().Punch().time(), QTime(7, 2, 20));
}

TEST_F(SqliteArchive, MigratesAReleaseArchiveForward) {
    const QString path = dir.filePath("release.sqlite");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "release");
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        for (QString sql : archivetest::ReleaseArchiveSql()) {
            sql.replace("%ID%", "INTEGER PRIMARY KEY AUTOINCREMENT");
            ASSERT_TRUE(q.exec(sql)) << sql.toStdString() << q.lastError().text().toStdString();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase("release");
    ArchiveLocation l;
    l.path = path;
    Archive a;
    QString error;
    ASSERT_TRUE(a.Open(l, &error)) << error.toStdString();
    EXPECT_EQ(a.SchemaVersion(), Archive::kSchemaVersion);
    archivetest::ExpectReleaseArchiveCarried(a);
}

// An archive of the release with schema 3, with or without the page indexes its `pelmar
// serve` made: brought to 4 by the archive itself.
TEST_F(SqliteArchive, MigratesARelease3ArchiveForward) {
    for (const bool pageIndexes : {false, true}) {
        const QString path = dir.filePath(QStringLiteral("release3-%1.sqlite").arg(pageIndexes));
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "release3");
            db.setDatabaseName(path);
            ASSERT_TRUE(db.open());
            QSqlQuery q(db);
            for (QString sql : archivetest::Release3ArchiveSql(pageIndexes)) {
                sql.replace("%ID%", "INTEGER PRIMARY KEY AUTOINCREMENT");
                ASSERT_TRUE(q.exec(sql)) << sql.toStdString() << q.lastError().text().toStdString();
            }
            db.close();
        }
        QSqlDatabase::removeDatabase("release3");
        ArchiveLocation l;
        l.path = path;
        Archive a;
        QString error;
        ASSERT_TRUE(a.Open(l, &error)) << error.toStdString();
        const QString saved = where.path;
        where.path = path; // Count() reads this archive
        archivetest::ExpectRelease3ArchiveCarried(a, [&](const char* name) {
            return Count(QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' "
                                        "AND name = '%1'")
                             .arg(QLatin1String(name)));
        });
        EXPECT_EQ(Count("SELECT version FROM schema_version"), 4);
        where.path = saved;
        // Opened again: nothing left to do.
        Archive again;
        ASSERT_TRUE(again.Open(l, &error)) << error.toStdString();
        EXPECT_EQ(again.SchemaVersion(), 4);
    }
}

TEST_F(SqliteArchive, RefusesANewerSchema) {
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "new");
        db.setDatabaseName(where.path);
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        ASSERT_TRUE(q.exec("UPDATE schema_version SET version = 9"));
        db.close();
    }
    QSqlDatabase::removeDatabase("new");
    Archive newer;
    QString error;
    EXPECT_FALSE(newer.Open(where, &error));
    EXPECT_EQ(error, "the archive " + where.path +
                         " has schema version 9; this program knows up to 4 (update the program)");
}

TEST_F(SqliteArchive, AFullDiskFailsTheWholeDownloadWithAClearError) {
    ASSERT_TRUE(Store(ReaderMemory(100)).ok);
    QString error;
    const long pages = Count("PRAGMA page_count");
    ASSERT_GT(pages, 0);
    ASSERT_TRUE(archive.LimitPagesForTest(int(pages) + 2, &error)) << error.toStdString();
    StoreResult r = Store(ReaderMemory(20000));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.added, 0);
    EXPECT_EQ(r.error, "database or disk is full (archive " + where.path + ")");
    EXPECT_EQ(Count(), 100);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM downloads"), 1);
    // Room again: the same download goes in whole.
    ASSERT_TRUE(archive.LimitPagesForTest(1 << 30, &error));
    r = Store(ReaderMemory(20000));
    EXPECT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.added, 19900);
    EXPECT_EQ(Count(), 20000);
}

TEST_F(SqliteArchive, AnArchiveThatCannotBeMadeSaysWhere) {
    Archive a;
    ArchiveLocation l;
    l.path = dir.filePath("file/archive.sqlite");
    ASSERT_TRUE(lvtest::writeFile(dir.filePath("file"), "not a folder"));
    QString error;
    EXPECT_FALSE(a.Open(l, &error));
    EXPECT_EQ(error, "can't make the archive folder " + dir.filePath("file"));
}

// Two programs archiving the same reader at the same moment: each record once, and between
// them every record counted new exactly once.
TEST_F(SqliteArchive, TwoWritersAtOnceNeverDuplicate) {
    QProcess a, b;
    const QStringList args{where.path, "Gate 1", "20000", "20000"};
    a.start(lvtest::binPath("archive_writer"), args);
    b.start(lvtest::binPath("archive_writer"), args);
    ASSERT_TRUE(a.waitForFinished(60000));
    ASSERT_TRUE(b.waitForFinished(60000));
    ASSERT_EQ(a.exitCode(), 0) << a.readAllStandardError().toStdString();
    ASSERT_EQ(b.exitCode(), 0) << b.readAllStandardError().toStdString();
    const QString outA = a.readAllStandardOutput(), outB = b.readAllStandardOutput();
    const bool aFirst = outA == "stored 20000 added 20000 already 0\n";
    EXPECT_EQ(aFirst ? outB : outA, "stored 20000 added 0 already 20000\n") << outA.toStdString();
    EXPECT_EQ(aFirst ? outA : outB, "stored 20000 added 20000 already 0\n") << outB.toStdString();
    EXPECT_EQ(Count(), 20000);
}

// kill -9 while a writer is storing: the archive stays whole (only committed downloads in
// it), and the next run files the rest exactly.
TEST_F(SqliteArchive, KillDuringTheStoresLeavesTheArchiveWhole) {
    lvtest::ChildProcess writer(lvtest::binPath("archive_writer"),
                                {where.path, "Gate 1", "40000", "4000"});
    ASSERT_TRUE(writer.started());
    // Kill it once it committed its third download, while it is in the fourth or later.
    ASSERT_TRUE(lvtest::waitFor([&] { return writer.readStdout().count('\n') >= 3; }, 60000));
    ::kill(writer.pid(), SIGKILL);
    EXPECT_EQ(writer.wait(10000), 128 + SIGKILL);
    const QList<QByteArray> lines = writer.readStdout().trimmed().split('\n');
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "check");
        db.setDatabaseName(where.path);
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        ASSERT_TRUE(q.exec("PRAGMA integrity_check") && q.next());
        EXPECT_EQ(q.value(0).toString(), "ok");
        db.close();
    }
    QSqlDatabase::removeDatabase("check");
    // Every committed download is there whole; one that was printed is never missing.
    const long held = Count();
    EXPECT_EQ(held % 4000, 0);
    EXPECT_GE(held, 4000L * lines.size());
    EXPECT_LE(held, 4000L * (lines.size() + 1));
    EXPECT_EQ(Count("SELECT COUNT(*) FROM downloads"), held / 4000);
    StoreResult r = Store(ReaderMemory(40000));
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.added, 40000 - held);
    EXPECT_EQ(Count(), 40000);
}

} // namespace
