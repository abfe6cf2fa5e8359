// What the web pages read from the archive (readers with their last collect, punches by
// page), on a read-only connection of their own, and the "export what is new" of a target.
// Every value a client sends reaches SQL as a bound value only.
#pragma once
#include <pelarchive/Archive.h>

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <memory>

namespace pelweb {

struct PunchFilter {
    QString reader;      // reader key; empty: all
    QString card;        // card ID, case ignored; empty: all
    QString from, until; // "yyyy-MM-dd HH:mm:ss" on the reader's clock; empty: no bound
    int page = 1;        // 1-based
    int pageSize = 100;
};

// Reads a date bound of a request: "YYYY-MM-DD", "YYYY-MM-DD hh:mm[:ss]" or with "T"; a day
// alone is its first second (upper: its last). Returns "" when the text is not one.
QString ParseDateBound(const QString& text, bool upper);

class ArchiveViews {
public:
    ArchiveViews();
    ~ArchiveViews();
    ArchiveViews(const ArchiveViews&) = delete;
    ArchiveViews& operator=(const ArchiveViews&) = delete;

    // Opens a read-only connection to the archive of `location` (already opened and brought
    // forward by an Archive: its schema has the punches pages' indexes). The connection
    // belongs to the calling thread.
    bool Open(const pelarchive::ArchiveLocation& location, QString* error);

    // The readers of the archive: name, port, firmware, machine ID, last seen, drift, the
    // last download's end and outcome, and the punches archived.
    struct Reader {
        QString name, port, firmware, machineId;
        QDateTime lastSeen, lastCollected; // UTC; invalid: never
        QString outcome;
        bool hasDrift = false;
        qint64 drift = 0, punches = 0;
    };
    bool Readers(QList<Reader>& rows, QString* error);

    // One page of punches, newest day first; within a day each card's punches together, in
    // time order. *more tells whether a next page exists.
    bool Punches(const PunchFilter& filter, QJsonArray& rows, bool* more, QString* error);

    // An export target: how many punches it received, and when it last changed ("": never).
    bool Target(const QString& name, qint64* sent, QString* updated, QString* error);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// "Export what is new" for a named target: every punch the target has not received, written
// through the record writers in `format` ("csv", "txt", "xlsx"), through the archive's
// exactly-once export targets (the targets of `pelmar records --since last --target NAME`).
// The bytes are handed out only when the archive noted them as sent; another export holding
// the target for longer than waitMs gives *busy and nothing.
struct TargetExport {
    bool ok = false;
    bool busy = false;
    QByteArray bytes;
    qint64 punches = 0;
    QString error;
};
TargetExport ExportNewToTarget(pelarchive::Archive& archive, const QString& target,
                               const QString& format, int waitMs);

} // namespace pelweb
