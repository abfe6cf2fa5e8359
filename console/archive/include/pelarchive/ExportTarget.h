// Exactly-once exports: each archived punch reaches each export target once, however often
// the export runs, whatever it is narrowed to, and whoever else exports to the target at the
// same moment. A target is the canonical absolute path of the file written, or a name for
// exports that go elsewhere (a web download, a payroll upload).
//
// The archive remembers per target which records it received. A run takes the records that
// match its filter and that the target has not received; the filter only narrows the run, so
// a record left out (another reader, after --until) or archived late reaches the next run.
//
// Runs to one target are serialised before a byte is written: the second waits (up to
// waitMs) or fails having written nothing. Before writing to a file the run notes the file's
// length (or a copy of a file that is rewritten whole); a run that dies between writing and
// noting what it sent leaves that note, and the next run to the target cuts the file back
// first, so that a crash never repeats a line.
#pragma once
#include "pelarchive/Archive.h"

#include <pelmar/SaveOptions.h>

#include <QIODevice>
#include <QString>

namespace pelarchive {

struct ExportRequest {
    QString target;     // the target's name; empty: the canonical absolute path of `file`
    RecordQuery filter; // reader, card, since, until narrow what this run writes
    // "txt", "csv", "iso", "xlsx" (the record writers, as Save writes them) or "list" (one
    // tab-separated line per record with a Reader column, as `pelmar records` lists them).
    // Empty: the file's extension says ("list" when there is no file).
    QString format;
    QString file;                // the file written (appended to as Save does); empty: `device`
    QIODevice* device = nullptr; // the output when there is no file (open for writing)
    clsSaveOptions options;      // the save options (machine ID, user name, Format.ini section)
    int displayMode = 0;         // the card ID's display mode (RecordTableModel)
    int waitMs = 30000;          // how long to wait for another export to the same target
};

struct ExportResult {
    bool ok = false;
    long written = 0;     // records written by this run
    QString target;       // the target as the archive keeps it
    QString file;         // the file written (a ".xls" name gets its "x"); empty for a device
    QString error;        // why not, when !ok: nothing of this run is left in the output
    QString convertError; // an ID conversion that did not apply (written all the same)
    bool busy = false;    // another export to the target held it for waitMs
};

// Writes the records of the filter that the target has not received, and notes them as
// received once they are out. Never throws; on failure the output holds what it held before.
ExportResult ExportUnsent(Archive& archive, const ExportRequest& request);

// The canonical absolute path a file is written to (symbolic links and "." / ".." resolved;
// the file itself need not exist, its folder must). False with the system's reason when the
// folder is not there.
bool CanonicalOutputPath(const QString& file, QString* canonical, QString* error);

} // namespace pelarchive
