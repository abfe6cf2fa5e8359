// The record archive: every punch a reader ever gave, kept exactly once, for SQLite and
// PostgreSQL alike (one schema, a version table and forward migrations).
//
// A record is keyed by what the punch is, not by how its date was shown: its reader, card
// type, card ID (upper case), event and punch time (decoded from the reader's date digits with
// the date-format register of that download), plus its occurrence: the k-th punch with that
// key in the reader's order. The display text is kept as data. Reading the same reader memory
// again adds nothing, whatever date format the reader shows; a punch the reader holds twice
// (same card, same second) is kept twice. Each download is stored in one transaction; stores
// are serialised (SQLite's write lock, an advisory lock on PostgreSQL), so record ids grow in
// commit order.
//
// Export targets (a file's canonical path, or a name) remember which records they received,
// so that each punch reaches each target once (see ExportTarget.h).
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
    int dateMode = 255;       // the reader's date-format register read at this download
};

struct StoreResult {
    bool ok = false;
    long added = 0;   // records new to the archive
    long already = 0; // records the archive held before
    long undated = 0; // records whose date digits are no date (kept as the reader's digits)
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
    // "yyyy-MM-dd HH:mm:ss" on the reader's clock; empty only when the reader's date digits
    // are no date, which rawDate then holds. Kept as text: turning a million of them into
    // local times costs seconds.
    QString punchText;
    QString rawDate;            // "ddddddddhhmmss" as the reader gave them, when undecodable
    QString archivedText;       // "yyyy-MM-dd HH:mm:ss" UTC
    QDateTime Punch() const;    // local time; invalid when punchText is empty
    QDateTime Archived() const; // UTC
};

struct RecordQuery {
    QString reader;     // reader key; empty: all
    QString card;       // card ID, letter case ignored; empty: all
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
    static constexpr int kSchemaVersion = 4;

    Archive();
    ~Archive();
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    // Opens (creating the file or the tables when needed) and migrates forward. A schema newer
    // than this program knows is refused.
    bool Open(const ArchiveLocation& location, QString* error);
    // Opens an existing archive to read it: never creates a file or tables ("no archive at
    // ..."), and lists a read-only SQLite file (an older schema is read as far as it goes
    // only when it can be migrated).
    bool OpenExisting(const ArchiveLocation& location, QString* error);
    bool IsOpen() const;
    int SchemaVersion() const;
    const ArchiveLocation& Location() const;

    // Files a download: the reader (created or updated, last seen = now), the download row
    // and every record not yet archived, in one transaction. records are the normalised texts
    // in the reader's order, starting with the reader's first record.
    StoreResult StoreDownload(const ReaderIdentity& reader, const DownloadOutcome& download,
                              const QStringList& records);
    // Counts how many of the records (as above, read with the date-format register
    // dateMode) the archive holds for the reader.
    bool CountHeld(const QString& readerKey, const QStringList& records, int dateMode, long* held,
                   QString* error);
    // The reader key under which the archive already holds the first of these records (in
    // order, at least `atLeast` of them) for another reader than `readerKey`; "" when none.
    bool HeldByOtherReader(const QString& readerKey, const QStringList& records, int dateMode,
                           int atLeast, QString* otherKey, QString* error);
    // Keeps the reader's last clock drift (reader minus host, seconds).
    bool SetDrift(const ReaderIdentity& reader, qint64 driftSeconds, QString* error);

    bool Records(const RecordQuery& query, QList<ArchivedRecord>& rows, QString* error);
    bool Readers(QList<ReaderRow>& rows, QString* error);

    // Export targets: what each target received. The target is held (TakeTarget, waiting up
    // to waitMs for another export to it to end; a crashed holder lets go with its process or
    // connection) while an export runs.
    struct TargetState {
        qint64 id = 0;
        QString name;
        qint64 doneThrough = 0; // every record up to this id reached the target
        // An export that wrote and did not record it: the file and its length before (-1: it
        // did not exist), or a copy of the file before (pendingBackup).
        QString pendingFile, pendingBackup;
        qint64 pendingLength = -1;
        bool HasPending() const { return !pendingFile.isEmpty(); }
    };
    bool TakeTarget(const QString& name, int waitMs, TargetState* state, bool* busy,
                    QString* error);
    void ReleaseTarget();
    // Records matching the filter (afterId and limit ignored) that the target has not received.
    bool Unsent(const TargetState& target, const RecordQuery& filter, QList<ArchivedRecord>& rows,
                QString* error);
    // Notes what an export is about to write (so that a crash can be undone), or clears it.
    bool SetPending(TargetState& target, const QString& file, qint64 length, const QString& backup,
                    QString* error);
    // The records reached the target: noted in one transaction with the pending note cleared.
    bool MarkSent(TargetState& target, const QList<qint64>& ids, QString* error);

    // For tests and the benchmark: SQLite's page limit (a full disk without filling one).
    bool LimitPagesForTest(int pages, QString* error);

private:
    bool OpenAs(const ArchiveLocation& location, bool create, QString* error);
    struct Impl;
    std::unique_ptr<Impl> d;
};

// The fields of a normalised record text as the archive stores them.
struct RecordParts {
    QString cardId; // upper case
    QString cardType, event;
    int weekday = -1;  // the reader's weekday digit, 0 Sunday ... 6 Saturday; -1 unknown
    QString punchText; // "yyyy-MM-dd HH:mm:ss"; empty when the date is not a real date and time
    QString rawDate;   // the reader's date and time digits when punchText is empty
};
// Splits a record text made by a download whose date-format register read dateMode: the
// date shown year-first is read as such; one shown year-last is month-first for register 0
// and day-first for the day-first codes (1, 254 and the other values); a year-last date under
// register 255 (a reader really set otherwise) is month-first unless only day-first makes it
// a date or its weekday says so.
RecordParts SplitRecord(const QString& text, int dateMode = 255);

} // namespace pelarchive
