// The archive side of the `pelmar` commands: filing a download (download --archive), the safe
// erase (erase --safe), the reader's clock drift, listing and exporting archived records
// (records) and collecting from many readers (collect).
#pragma once
#include "PelmarCli.h"

#include "pelarchive/Archive.h"
#include "pelmar/core/ReaderConsole.h"

#include <QDateTime>
#include <memory>

namespace pelmar::cli {

// "--archive" may stand without its URL (the last argument, or followed by another option):
// it then means the setting Archive/Url, else the default SQLite file.
QStringList GiveOptionalValue(const QStringList& args, const QString& option);
// Opens the archive of a URL ("" = the setting Archive/Url, else the default file).
bool OpenArchive(const QString& url, pelarchive::Archive& archive, QString* error);

// The reader being archived and the archive it goes to. Prepare before the download: the
// archive must open and the reader be known (the name given with --reader, else port and
// machine ID) before a record is read, so that nothing is downloaded that cannot be filed.
struct ArchiveJob {
    QString url;
    QString readerName;
    QString port;
    std::unique_ptr<pelarchive::Archive> archive;
    pelarchive::ReaderIdentity reader;
};
// Opens the archive and identifies the reader (and keeps its clock drift). Returns 0, or 1
// with the reason on stderr.
int PrepareArchive(ReaderConsole& rc, ArchiveJob& job, Io& io);

// Files the records of a finished download (complete or not: every record read is a real
// punch); prints "N new, M already archived". Returns 0, or 1 with the reason on stderr when
// the archive could not take them.
int ArchiveDownload(ArchiveJob& job, const DownloadResult& result, const QDateTime& started,
                    const QStringList& records, Io& io, int resumes = 0);

// After a download whose link dropped: reconnects (at most kResumeAttempts times, waiting 1,
// 2, 4 s first) and reads on by number from the next record, handing each to sink (1-based
// number, text). Updates result (read, total, linkLost) and returns the number of resumes;
// says on stdout that it resumed.
constexpr int kResumeAttempts = 3;
int ResumeDownload(ReaderConsole& rc, const QString& port, DownloadResult& result,
                   const ReaderConsole::RecordSink& sink, Io& io);

// erase --safe: download, archive, commit, check that the archive holds every record the
// reader holds, read the count again (new punches: fetch, archive and check again, at most
// kSafeEraseRounds times), and only then erase. Anything failing before "E" leaves the reader
// untouched and says why. Returns the exit code (0 erased or nothing to erase, 1 not erased).
constexpr int kSafeEraseRounds = 3;
int SafeErase(ReaderConsole& rc, ArchiveJob& job, Io& io);

// The lines `time` shows after the reader's clock: the host's clock and the drift (reader
// minus host, seconds).
QString ClockReport(const QDateTime& reader, const QDateTime& host);

int CmdRecords(const QStringList& args, Io& io);
int CmdCollect(const QStringList& args, Io& io);

} // namespace pelmar::cli
