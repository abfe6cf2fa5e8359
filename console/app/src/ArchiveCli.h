// The archive side of the `pelmar` commands: filing a download (download --archive), the safe
// erase (erase --safe), the reader's clock drift, listing and exporting archived records
// (records) and collecting from many readers (collect).
#pragma once
#include "CollectRound.h"
#include "PelmarCli.h"

#include "pelarchive/Archive.h"
#include "pelarchive/ReaderArchive.h"
#include "pelmar/core/ReaderConsole.h"

#include <QDateTime>
#include <functional>
#include <memory>

namespace pelmar::cli {

// "--archive" may stand without its URL (the last argument, or followed by another option):
// it then means the setting Archive/Url, else the default SQLite file.
QStringList GiveOptionalValue(const QStringList& args, const QString& option);
// Opens the archive of a URL ("" = the setting Archive/Url, else the default file); with
// mustExist only an archive that is there ("no archive at ...").
bool OpenArchive(const QString& url, pelarchive::Archive& archive, QString* error,
                 bool mustExist = false);

// The archive's reader side (pelarchive/ReaderArchive.h) with its messages on the terminal.
using pelarchive::ArchiveJob;
// Clears the progress line first; keeps the filing line ("N new, M already archived") in
// *filed when given.
pelarchive::Say SayTo(Io& io, QString* filed = nullptr);
// The summary of a filed download: "400 records archived (400 new, 0 already archived)";
// `read` counts when the filing line cannot be read.
QString ArchivedSummary(const QString& filed, long read);

// The lines `time` shows after the reader's clock: the host's clock and the drift (reader
// minus host, seconds).
QString ClockReport(const QDateTime& reader, const QDateTime& host);

int CmdRecords(const QStringList& args, Io& io);
int CmdCollect(const QStringList& args, Io& io);
int CmdServe(const QStringList& args, Io& io);

// "15m", "90s", "1h", "900" (seconds); 0 when not understood.
qint64 ParseInterval(const QString& text);
// Reads a readers file (pelmar collect --readers): refused when it cannot be read, does not
// parse, or holds Login IDs others may read.
bool LoadReaders(const QString& path, QList<ReaderEntry>& readers, QString* error);
// One collect round for another front end (pelmar serve): report hears each reader as it
// starts ("collecting", "") and ends ("collected", "failed" or "stopped", its status line);
// stop gives the signal that asks the round to stop (0: none). Returns each reader's outcome.
using CollectReport =
    std::function<void(const QString& reader, const QString& state, const QString& text)>;
RoundResult CollectOnce(const QList<ReaderEntry>& readers, const QString& url, Io& io,
                        const CollectReport& report, const std::function<int()>& stop = {});

} // namespace pelmar::cli
