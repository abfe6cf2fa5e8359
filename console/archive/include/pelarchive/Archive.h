// The record archive: every punch a reader ever gave, kept exactly once, for SQLite and
// PostgreSQL alike (one schema, a version table and forward migrations).
//
// A record is keyed by its reader, its normalised record text and its occurrence: the k-th
// identical text in the reader's order. Reading the same reader memory again adds nothing;
// a punch the reader holds twice (same card, same second) is kept twice. Each download is
// stored in one transaction; stores are serialised (SQLite's write lock, an advisory lock on
// PostgreSQL), so record ids grow in commit order and the "--since last" marks never skip a
// record a slower writer committed later.
//
// One Archive object belongs to the thread that opened it.
#pragma once
#include "pelarchive/ArchiveUrl.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <memory>

namespace pelarchive {

struct ReaderIdentity {
    QString name;      // the name the user gave; empty: port + machine ID
    QString port;      // "COM3", "/dev/ttyUSB0", "IP:10.0.0.5"
    QString machineId; // the reader's machine ID register, as text
    QString firmware;
    QString userName;
    // The name the archive files the reader under.
    QString Key() const;
};

struct DownloadOutcome {
    QDateTime started, ended; // host clock
    long read = 0;            // records taken from the reader
    long reported = 0;        // the reader's record count before the download
    QString outcome;          // "complete", "stopped", "link lost", "resumed"...
};

struct StoreResult {
    bool ok = false;
    long added = 0;   // records new to the archive
    long already = 0; // records the archive held before
    qint64 downloadId = 0;
    QString error;
};

// One archived record as listed or exported.
struct ArchivedRecord {
    qint64 id = 0;
    QString reader;
    QString text; // the normalised record text
    int occurrence = 1;
    QString cardId, cardType, event;
    int weekday = -1; // the reader's weekday digit, 0 Sunday ... 6 Saturday; -1 unknown
    // "yyyy-MM-dd HH:mm:ss" on the reader's clock; empty when the record's date did not read.
    // Kept as text: turning a million of them into local times costs seconds.
    QString punchText;
    QString archivedText;       // "yyyy-MM-dd HH:mm:ss" UTC
    QDateTime Punch() const;    // local time; invalid when punchText is empty
    QDateTime Archived() const; // UTC
};

struct RecordQuery {
    QString reader;     // reader key; empty: all
    QString card;       // card ID as read; empty: all
    QDateTime since;    // punch time from (inclusive); invalid: no bound
    QDateTime until;    // punch time up to (inclusive); invalid: no bound
    qint64 afterId = 0; // only records archived after this one ("--since last")
    qint64 limit = 0;   // 0: no limit
};

struct ReaderRow {
    QString key, port, machineId, firmware, userName;
    QDateTime lastSeen;
    bool hasDrift = false;
    qint64 drift = 0; // seconds, reader clock minus host clock
};

class Archive {
public:
    static constexpr int kSchemaVersion = 2;

    Archive();
    ~Archive();
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    // Opens (creating the file or the tables when needed) and migrates forward. A schema newer
    // than this program knows is refused.
    bool Open(const ArchiveLocation& location, QString* error);
    bool IsOpen() const;
    int SchemaVersion() const;
    const ArchiveLocation& Location() const;

    // Files a download: the reader (created or updated, last seen = now), the download row
    // and every record not yet archived, in one transaction. records are the normalised texts
    // in the reader's order, starting with the reader's first record.
    StoreResult StoreDownload(const ReaderIdentity& reader, const DownloadOutcome& download,
                              const QStringList& records);
    // Counts how many of the records (as above) the archive holds for the reader.
    bool CountHeld(const QString& readerKey, const QStringList& records, long* held,
                   QString* error);
    // Keeps the reader's last clock drift (reader minus host, seconds).
    bool SetDrift(const ReaderIdentity& reader, qint64 driftSeconds, QString* error);

    bool Records(const RecordQuery& query, QList<ArchivedRecord>& rows, QString* error);
    bool Readers(QList<ReaderRow>& rows, QString* error);

    // "--since last": the id of the last record exported to a target (0 when never), and the
    // move of the mark after an export was written. MoveMark refuses (false, error) when
    // another export moved the mark from `from` in the meantime.
    bool Mark(const QString& target, qint64* lastId, QString* error);
    bool MoveMark(const QString& target, qint64 from, qint64 to, QString* error);

    // For tests and the benchmark: SQLite's page limit (a full disk without filling one).
    bool LimitPagesForTest(int pages, QString* error);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// The fields of a normalised record text as the archive stores them.
struct RecordParts {
    QString cardId, cardType, event;
    int weekday = -1;  // the reader's weekday digit, 0 Sunday ... 6 Saturday; -1 unknown
    QString punchText; // "yyyy-MM-dd HH:mm:ss"; empty when the date is not a real date and time
};
RecordParts SplitRecord(const QString& text);

} // namespace pelarchive
