// The reader side of the archive, for the command line and the windows alike: identifying
// the reader before a download, filing a download, resuming one after a dropped link, and the
// safe erase. Messages go through `say` (failure: stderr or a critical box; else stdout or an
// information box).
#pragma once
#include "pelarchive/Archive.h"

#include <pelmar/core/ReaderConsole.h>

#include <QDateTime>
#include <functional>
#include <memory>

namespace pelarchive {

using Say = std::function<void(bool failure, const QString& text)>;

// What a port is, whatever its spelling, for the reader key of a reader without a name:
//   "COMn" and device paths: the device itself (symbolic links, "." and ".." resolved); a USB
//   adapter by its /dev/serial/by-id name (which holds its serial number) when it has one;
//   "IP:host[:port]": the device server's address and port as numbers ("IP:127.0.0.1:30120"
//   for "IP:127.1:030120"; port 1001 when none is given).
// A port that can't be read is returned trimmed as it is.
QString DeviceIdentity(const QString& port);

// Whether a name can be a reader key (a --reader value, a readers-file section): not empty,
// no blank at either end, at most 64 characters, none of / \ # % [ ] = ; " or a control
// character. Else false with *why.
bool IsReaderName(const QString& name, QString* why);

// The reader being archived and the archive it goes to. Prepare before the download: the
// archive must open and the reader be known (the name given, else port and machine ID) before
// a record is read, so that nothing is downloaded that cannot be filed.
struct ArchiveJob {
    QString url; // "" = the setting Archive/Url, else the default file
    QString readerName;
    QString port;
    std::unique_ptr<Archive> archive;
    ReaderIdentity reader;
    // The reader's console (set by PrepareArchive): its date-format register of the last
    // download reads the records' dates.
    pelmar::ReaderConsole* console = nullptr;
    // File the records even when their first ones are archived under another reader key.
    bool fileAnyway = false;
    // Asked after every record (and before the safe erase's "E"): true stops the download
    // after the record in flight; what was read is filed. Empty: never.
    std::function<bool()> stopRequested = {};

    // What the job did, as values: its filings together (ok once one was stored; added and
    // already as the last filing's records count them: new in this job, and held before it),
    // whether the safe erase erased, and whether it ended because stopRequested said so.
    StoreResult filed = {};
    bool erased = false;
    bool stopped = false;
};
// Opens the archive and identifies the reader (and keeps its clock drift). Returns 0, or 1
// having said why.
int PrepareArchive(pelmar::ReaderConsole& rc, ArchiveJob& job, const Say& say);

// Files the records of a finished download (complete or not: every record read is a real
// punch); says "N new, M already archived". Returns 0, or 1 having said why.
int ArchiveDownload(ArchiveJob& job, const pelmar::DownloadResult& result, const QDateTime& started,
                    const QStringList& records, const Say& say, int resumes = 0);

// After a download whose link dropped: reconnects (at most kResumeAttempts times, waiting 1,
// 2, 4 s first) and reads on by number from the next record, handing each to sink (1-based
// number, text). Updates result (read, total, linkLost) and returns the number of resumes;
// says that it resumed.
constexpr int kResumeAttempts = 3;
// stopRequested (when given) ends the waits between attempts early; the download counts as
// stopped then.
int ResumeDownload(pelmar::ReaderConsole& rc, const QString& port, pelmar::DownloadResult& result,
                   const pelmar::ReaderConsole::RecordSink& sink, const Say& say,
                   const std::function<bool()>& stopRequested = {});

// "400 new, 0 already archived" (and the records whose date digits are no date), as the
// filing says it.
QString FilingSummary(const StoreResult& r);

// The safe erase: download, archive, commit, check that the archive holds every record the
// reader holds, read the count again (new punches: fetch, archive and check again, at most
// kSafeEraseRounds times), and only then erase. Anything failing before "E" leaves the reader
// untouched and says why. Returns one of SafeEraseEnd, numbered as pelmar's exit codes.
constexpr int kSafeEraseRounds = 3;
enum SafeEraseEnd : int {
    kSafeErased = 0,        // erased, or nothing to erase
    kSafeNotErased = 1,     // not erased: the archive or its check failed
    kSafeLinkLost = 4,      // not erased (or the erase unconfirmed): the reader stopped answering
    kSafeIncomplete = 6,    // not erased: records could not be read
    kSafeReaderRefused = 7, // not erased: the reader refused
};
int SafeErase(pelmar::ReaderConsole& rc, ArchiveJob& job, const Say& say);

} // namespace pelarchive
