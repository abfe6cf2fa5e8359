#include "pelarchive/ReaderArchive.h"

#include "pelarchive/ArchiveExport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

namespace pelarchive {

using pelmar::ConnectResult;
using pelmar::DownloadResult;
using pelmar::modKt9;
using pelmar::OpResult;
using pelmar::ReaderConsole;

namespace {

QString Outcome(const DownloadResult& r, int resumes = 0) {
    QString o;
    switch (r.outcome) {
    case pelmar::DownloadOutcome::Complete:
        o = QStringLiteral("complete");
        break;
    case pelmar::DownloadOutcome::Incomplete:
        o = QStringLiteral("incomplete");
        break;
    case pelmar::DownloadOutcome::Refused:
        o = QStringLiteral("refused");
        break;
    case pelmar::DownloadOutcome::LinkLost:
        o = QStringLiteral("link lost");
        break;
    case pelmar::DownloadOutcome::Stopped:
        o = QStringLiteral("stopped");
        break;
    }
    if (resumes > 0) o += QStringLiteral(", resumed %1x").arg(resumes);
    return o;
}

QString Summary(long added, long already) {
    return QStringLiteral("%1 new, %2 already archived").arg(added).arg(already);
}

} // namespace

int PrepareArchive(ReaderConsole& rc, ArchiveJob& job, const Say& say) {
    job.archive = std::make_unique<Archive>();
    QString error;
    if (!OpenArchiveUrl(job.url, *job.archive, &error)) {
        say(true, QStringLiteral("Can't archive: ") + error);
        return 1;
    }
    modKt9& kt9 = rc.Kt9();
    job.reader = {};
    job.reader.name = job.readerName;
    job.reader.port = job.port;
    job.reader.firmware = rc.firmware;
    const QString mac = kt9.GetMacID();
    if (kt9.LastCallOK) job.reader.machineId = mac;
    const QString user = kt9.GetUserNameEx();
    if (kt9.LastCallOK) job.reader.userName = user.trimmed();
    if (job.readerName.trimmed().isEmpty() && job.reader.machineId.isEmpty()) {
        // Without its machine ID the reader would be filed under another name, and its
        // records a second time.
        say(true, QStringLiteral("Can't archive: the reader's machine ID could not be read; give "
                                 "the reader a name (--reader, or its section of a readers file)"));
        return 1;
    }
    // The clock drift, kept with the reader (not a reason to stop when it can't be read).
    kt9.LastCallOK = false;
    const QDateTime clock = kt9.ReadDeviceTime();
    if (kt9.LastCallOK && clock.isValid() &&
        !job.archive->SetDrift(job.reader, QDateTime::currentDateTime().secsTo(clock), &error)) {
        say(true, QStringLiteral("Can't archive: ") + error);
        return 1;
    }
    return 0;
}

int ResumeDownload(ReaderConsole& rc, const QString& port, DownloadResult& result,
                   const ReaderConsole::RecordSink& sink, const Say& say) {
    int resumes = 0;
    // A new connection must not empty the records read so far.
    const auto clear = rc.onClearRecords;
    rc.onClearRecords = nullptr;
    for (int attempt = 1; attempt <= kResumeAttempts && result.linkLost && !result.stopped;
         ++attempt) {
        const long before = result.read;
        QElapsedTimer wait;
        wait.start();
        while (wait.elapsed() < 1000L << (attempt - 1))
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        rc.CloseLink();
        if (rc.OpenReader(port) != ConnectResult::Connected) continue;
        modKt9& kt9 = rc.Kt9();
        const long count = kt9.ReadRecordCount();
        if (!kt9.LastCallOK) continue;
        // A four-digit count stops at 9999: only a smaller one says records went away.
        if (count < result.read && count < 9999) {
            // Erased (or replaced) meanwhile: the numbers no longer lead on from the last one.
            say(true, QStringLiteral("Not resumed: the reader now holds %1 records, fewer than "
                                     "the %2 read.")
                          .arg(count)
                          .arg(result.read));
            break;
        }
        ++resumes;
        say(false, QStringLiteral("Link lost after %1 records; reconnected, resuming at record %2.")
                       .arg(result.read)
                       .arg(result.next + 1));
        result.total = count;
        result.linkLost = false;
        // On by number up to the reader's end: its refusal of the next number.
        while (result.next < rc.maxDownloadRecords && !result.stopped) {
            QString rec;
            const pelmar::NextRecord got = rc.ReadRecordAt(result.next, rec);
            if (got == pelmar::NextRecord::None) {
                result.endedAtEnd = true;
                break;
            }
            if (got == pelmar::NextRecord::NoAnswer) {
                result.linkLost = true;
                break;
            }
            ++result.next;
            if (got == pelmar::NextRecord::Unreadable) {
                result.unread << result.next;
                continue;
            }
            ++result.read;
            if (sink) sink(result.next, rec);
            if (!rc.blnStop1) result.stopped = true;
        }
        if (result.next >= rc.maxDownloadRecords) result.bounded = true;
        if (result.read > before) attempt = 0; // progress: the next drop has its own attempts
    }
    rc.onClearRecords = clear;
    if (resumes > 0 && !result.stopped) {
        // The outcome follows the resumed download.
        using pelmar::DownloadOutcome;
        result.outcome = result.stopped    ? DownloadOutcome::Stopped
                         : result.linkLost ? DownloadOutcome::LinkLost
                         : result.unread.isEmpty() && result.endedAtEnd
                             ? DownloadOutcome::Complete
                             : DownloadOutcome::Incomplete;
        result.countKnown = true;
    }
    return resumes;
}

int ArchiveDownload(ArchiveJob& job, const DownloadResult& result, const QDateTime& started,
                    const QStringList& records, const Say& say, int resumes) {
    DownloadOutcome d;
    d.started = started;
    d.ended = QDateTime::currentDateTime();
    d.read = records.size();
    d.reported = result.total;
    d.outcome = Outcome(result, resumes);
    const StoreResult r = job.archive->StoreDownload(job.reader, d, records);
    if (!r.ok) {
        say(true,
            QStringLiteral("Can't archive the %1 records read: ").arg(records.size()) + r.error);
        return 1;
    }
    say(false, Summary(r.added, r.already));
    return 0;
}

int SafeErase(ReaderConsole& rc, ArchiveJob& job, const Say& say) {
    if (int code = PrepareArchive(rc, job, say)) return code;
    const QString untouched = QStringLiteral(" The reader is untouched.");
    for (int round = 1; round <= kSafeEraseRounds; ++round) {
        QStringList records;
        const QDateTime started = QDateTime::currentDateTime();
        rc.blnStop1 = true;
        const ReaderConsole::RecordSink sink = [&](long, const QString& rec) { records << rec; };
        DownloadResult res = rc.UploadKt9Record(sink);
        ResumeDownload(rc, job.port, res, sink, say);
        // Only a download that ended at the reader's own end of records proves that nothing
        // was left behind: not the bound, a time-out, a stop or a signal.
        if (res.outcome != pelmar::DownloadOutcome::Complete || !res.endedAtEnd) {
            // What was read is kept all the same.
            DownloadOutcome d;
            d.started = started;
            d.ended = QDateTime::currentDateTime();
            d.read = records.size();
            d.reported = res.total;
            d.outcome = Outcome(res);
            job.archive->StoreDownload(job.reader, d, records);
            QString why;
            switch (res.outcome) {
            case pelmar::DownloadOutcome::Stopped:
                why = QStringLiteral("the download was stopped after %1 records.").arg(res.read);
                break;
            case pelmar::DownloadOutcome::LinkLost:
                why = res.read == 0 ? QStringLiteral("no reader answered.")
                                    : QStringLiteral("the reader stopped answering after %1 "
                                                     "records.")
                                          .arg(res.read);
                break;
            default:
                why = res.why.isEmpty()
                          ? QStringLiteral("the download did not reach the reader's end.")
                          : res.why.left(1).toLower() + res.why.mid(1);
                break;
            }
            say(true, QStringLiteral("Not erased: ") + why + untouched);
            return 1;
        }
        if (!res.CountAgrees())
            say(false, QStringLiteral("Warning: the reader counted %1 records; %2 were read.")
                           .arg(res.total)
                           .arg(res.read));
        DownloadOutcome d;
        d.started = started;
        d.ended = QDateTime::currentDateTime();
        d.read = records.size();
        d.reported = res.total;
        d.outcome = QStringLiteral("complete (safe erase)");
        const StoreResult stored = job.archive->StoreDownload(job.reader, d, records);
        if (!stored.ok) {
            say(true, QStringLiteral("Not erased: can't archive the records: ") + stored.error +
                          QLatin1Char('.') + untouched);
            return 1;
        }
        long held = 0;
        QString error;
        if (!job.archive->CountHeld(job.reader.Key(), records, &held, &error)) {
            say(true, QStringLiteral("Not erased: can't check the archive: ") + error +
                          QLatin1Char('.') + untouched);
            return 1;
        }
        if (held != records.size()) {
            say(true, QStringLiteral("Not erased: the archive holds %1 of the %2 records read.")
                              .arg(held)
                              .arg(records.size()) +
                          untouched);
            return 1;
        }
        say(false, Summary(stored.added, stored.already));
        if (records.isEmpty()) {
            // The reader refused its first record: nothing to erase.
            say(false, QStringLiteral("No records to erase."));
            return 0;
        }
        // Immediately before "E": the record after the last one read must still be "no
        // record". One that is there now (a card read meanwhile) is archived in a new round;
        // no clear answer leaves the reader untouched.
        bool again = false, unproven = false;
        rc.eraseAtLeast = long(records.size());
        rc.onBeforeErase = [&](long) {
            switch (rc.ProbeRecord(res.next)) {
            case pelmar::NextRecord::None:
                return true;
            case pelmar::NextRecord::Record:
                again = true;
                return false;
            default:
                unproven = true;
                return false;
            }
        };
        const OpResult r = rc.EraseWithProgress();
        rc.onBeforeErase = nullptr;
        rc.eraseAtLeast = 0;
        if (again) {
            say(false, QStringLiteral("The reader holds a record %1 now: archiving again.")
                           .arg(res.next + 1));
            continue;
        }
        if (unproven) {
            say(true, QStringLiteral("Not erased: the reader did not answer whether a record %1 "
                                     "follows.")
                              .arg(res.next + 1) +
                          untouched);
            return 1;
        }
        if (r == OpResult::Nothing) {
            say(false, QStringLiteral("No records to erase."));
            return 0;
        }
        return r == OpResult::OK ? 0 : 1;
    }
    say(true, QStringLiteral("Not erased: the reader kept gaining records in %1 rounds.")
                      .arg(kSafeEraseRounds) +
                  untouched);
    return 1;
}

} // namespace pelarchive
