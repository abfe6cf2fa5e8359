#include "pelarchive/ReaderArchive.h"

#include "pelarchive/ArchiveExport.h"

#include <dorlin/PortNames.h>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QHostAddress>
#include <QRegularExpression>
#include <algorithm>
#include <arpa/inet.h>
#include <lvlang/modLanguage.h>

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

// Texts of the archive's messages in the current language, else English.
QString Text(int id, const char* english) {
    return lvlang::LangString(id, QString::fromUtf8(english));
}
template <typename... A> QString Format(int id, const char* english, const A&... params) {
    return lvlang::LangFormat(id, QString::fromUtf8(english), params...);
}

// Adds a filing of `records` records to what the job filed.
void NoteFiled(ArchiveJob& job, const StoreResult& r) {
    if (!r.ok) return;
    StoreResult& f = job.filed;
    f.ok = true;
    f.added += r.added;
    // Of the records this filing held, those not new in this job were there before it.
    f.already = std::max(0L, r.added + r.already - f.added);
    f.undated = r.undated;
    f.downloadId = r.downloadId;
}

QString Summary(const StoreResult& r) {
    QString s = lvlang::LangFormat(19307, QStringLiteral("%d new, %d already archived"), r.added,
                                   r.already);
    if (r.undated > 0)
        s += QStringLiteral("; %1 with date digits that are no date (kept as the reader's digits)")
                 .arg(r.undated);
    return s;
}

// The reader's first records already archived for another reader key: the same reader under
// another spelling or name. Says so and returns 1, unless the job files anyway.
constexpr int kFirstRecordsChecked = 5;
int CheckNotFiledElsewhere(ArchiveJob& job, const QStringList& records, const Say& say) {
    if (job.fileAnyway || records.isEmpty()) return 0;
    QString other, error;
    const int dateMode = job.console ? job.console->bytDateMode : 255;
    if (!job.archive->HeldByOtherReader(job.reader.Key(), records, dateMode,
                                        int(qMin<qsizetype>(records.size(), kFirstRecordsChecked)),
                                        &other, &error)) {
        say(true,
            QStringLiteral("Can't archive the %1 records read: ").arg(records.size()) + error);
        return 1;
    }
    if (other.isEmpty()) return 0;
    say(true, QStringLiteral("Not archived: these punches are already archived for reader %1; if "
                             "it is the same reader use --reader %1 (or --file-anyway to file "
                             "them for %2 all the same)")
                  .arg(other, job.reader.Key()));
    return 1;
}

int DateModeOf(const ArchiveJob& job) {
    return job.console ? job.console->bytDateMode : 255;
}

} // namespace

QString DeviceIdentity(const QString& port) {
    const QString p = port.trimmed();
    if (p.startsWith(QLatin1String("IP:"), Qt::CaseInsensitive)) {
        QString host = p.mid(3), number = QStringLiteral("1001");
        // "IP:[::1]:4001", "IP:10.0.0.5:4001", "IP:10.0.0.5"
        const qsizetype close = host.startsWith(u'[') ? host.indexOf(u']') : -1;
        const qsizetype colon = host.lastIndexOf(u':');
        if (close > 0) {
            if (colon > close) number = host.mid(colon + 1);
            host = host.mid(1, close - 1);
        } else if (colon >= 0 && host.indexOf(u':') == colon) {
            number = host.mid(colon + 1);
            host = host.left(colon);
        }
        bool ok = false;
        const uint n = number.toUInt(&ok);
        if (!ok || n == 0 || n > 65535) return p;
        QString address;
        in_addr v4{};
        // inet_aton takes the short forms of an IPv4 address too ("127.1").
        if (inet_aton(host.toLatin1().constData(), &v4) != 0) {
            address = QHostAddress(ntohl(v4.s_addr)).toString();
        } else {
            const QHostAddress a(host);
            address = a.isNull() ? host.toLower() : a.toString();
        }
        if (address.contains(u':')) address = u'[' + address + u']';
        return QStringLiteral("IP:%1:%2").arg(address).arg(n);
    }
    QString path = p;
    static const QRegularExpression com(QStringLiteral("^COM\\d{1,4}$"),
                                        QRegularExpression::CaseInsensitiveOption);
    if (com.match(p).hasMatch()) {
        path = dorlin::ResolvePort(p.toUpper());
        if (path.isEmpty()) return p.toUpper();
    }
    if (!path.startsWith(u'/')) return p;
    const QString real = QFileInfo(path).canonicalFilePath();
    if (real.isEmpty()) return QDir::cleanPath(path);
    // A USB adapter: its name by id, which stays with the adapter on any socket.
    QDirIterator byId(QStringLiteral("/dev/serial/by-id"), QDir::System | QDir::Files);
    while (byId.hasNext()) {
        const QString link = byId.next();
        if (QFileInfo(link).canonicalFilePath() == real) return link;
    }
    return real;
}

bool IsReaderName(const QString& name, QString* why) {
    auto no = [&](const QString& text) {
        if (why) *why = text;
        return false;
    };
    if (name.isEmpty()) return no(QStringLiteral("a reader name can't be empty"));
    if (name != name.trimmed())
        return no(QStringLiteral("a reader name can't start or end with a blank"));
    if (name.size() > 64) return no(QStringLiteral("a reader name has at most 64 characters"));
    for (QChar c : name) {
        if (c.category() == QChar::Other_Control)
            return no(QStringLiteral("a reader name can't hold a control character"));
        if (QStringLiteral("/\\#%[]=;\"").contains(c))
            return no(QStringLiteral("a reader name can't hold \"%1\"").arg(c));
    }
    return true;
}

int PrepareArchive(ReaderConsole& rc, ArchiveJob& job, const Say& say) {
    job.archive = std::make_unique<Archive>();
    job.console = &rc;
    QString error;
    if (!OpenArchiveUrl(job.url, *job.archive, &error)) {
        say(true, Format(19340, "Can't archive: %s", error));
        return 1;
    }
    modKt9& kt9 = rc.Kt9();
    job.reader = {};
    job.reader.name = job.readerName;
    // What the port is, not how it was spelled: one reader, one key.
    job.reader.port = DeviceIdentity(job.port);
    job.reader.firmware = rc.firmware;
    const QString mac = kt9.GetMacID();
    if (kt9.LastCallOK) job.reader.machineId = mac;
    const QString user = kt9.GetUserNameEx();
    if (kt9.LastCallOK) job.reader.userName = user.trimmed();
    if (job.readerName.trimmed().isEmpty() && job.reader.machineId.isEmpty()) {
        // Without its machine ID the reader would be filed under another name, and its
        // records a second time.
        say(true, Text(19341, "Can't archive: the reader's machine ID could not be read; give "
                              "the reader a name (--reader, or its section of a readers file)"));
        return 1;
    }
    // The clock drift, kept with the reader (not a reason to stop when it can't be read).
    kt9.LastCallOK = false;
    const QDateTime clock = kt9.ReadDeviceTime();
    if (kt9.LastCallOK && clock.isValid() &&
        !job.archive->SetDrift(job.reader, QDateTime::currentDateTime().secsTo(clock), &error)) {
        say(true, Format(19340, "Can't archive: %s", error));
        return 1;
    }
    return 0;
}

int ResumeDownload(ReaderConsole& rc, const QString& port, DownloadResult& result,
                   const ReaderConsole::RecordSink& sink, const Say& say,
                   const std::function<bool()>& stopRequested) {
    int resumes = 0;
    auto stopping = [&] { return stopRequested && stopRequested(); };
    // A new connection must not empty the records read so far.
    const auto clear = rc.onClearRecords;
    rc.onClearRecords = nullptr;
    for (int attempt = 1; attempt <= kResumeAttempts && result.linkLost && !result.stopped;
         ++attempt) {
        const long before = result.read;
        QElapsedTimer wait;
        wait.start();
        while (wait.elapsed() < 1000L << (attempt - 1) && !stopping())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        if (stopping()) {
            // Told to stop while the link was down: the records read so far are the result.
            result.stopped = true;
            result.outcome = pelmar::DownloadOutcome::Stopped;
            break;
        }
        rc.CloseLink();
        if (rc.OpenReader(port) != ConnectResult::Connected) continue;
        modKt9& kt9 = rc.Kt9();
        const long count = kt9.ReadRecordCount();
        if (!kt9.LastCallOK) continue;
        // A four-digit count stops at 9999: only a smaller one says records went away.
        if (count < result.read && count < 9999) {
            // Erased (or replaced) meanwhile: the numbers no longer lead on from the last one.
            say(true, Format(19342,
                             "Not resumed: the reader now holds %d records, fewer than "
                             "the %d read.",
                             count, result.read));
            break;
        }
        ++resumes;
        say(false, Format(19343, "Link lost after %d records; reconnected, resuming at record %d.",
                          result.read, long(result.next + 1)));
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
    // A resumed download that was then stopped is stopped, not the lost link it began as.
    if (resumes > 0) {
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
    d.dateMode = DateModeOf(job);
    if (int code = CheckNotFiledElsewhere(job, records, say)) return code;
    const StoreResult r = job.archive->StoreDownload(job.reader, d, records);
    NoteFiled(job, r);
    if (!r.ok) {
        say(true,
            Format(19344, "Can't archive the %d records read: %s", long(records.size()), r.error));
        return 1;
    }
    say(false, Summary(r));
    return 0;
}

QString FilingSummary(const StoreResult& r) {
    return Summary(r);
}

int SafeErase(ReaderConsole& rc, ArchiveJob& job, const Say& say) {
    if (int code = PrepareArchive(rc, job, say)) return code;
    const QString untouched = Text(19345, " The reader is untouched.");
    for (int round = 1; round <= kSafeEraseRounds; ++round) {
        QStringList records;
        const QDateTime started = QDateTime::currentDateTime();
        rc.blnStop1 = true;
        const ReaderConsole::RecordSink sink = [&](long, const QString& rec) {
            records << rec;
            if (job.stopRequested && job.stopRequested()) rc.Stop();
        };
        DownloadResult res = rc.UploadKt9Record(sink);
        ResumeDownload(rc, job.port, res, sink, say, job.stopRequested);
        if (CheckNotFiledElsewhere(job, records, say) != 0) {
            say(true, QStringLiteral("Not erased.") + untouched);
            return kSafeNotErased;
        }
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
            d.dateMode = rc.bytDateMode;
            const StoreResult kept = job.archive->StoreDownload(job.reader, d, records);
            NoteFiled(job, kept);
            if (!kept.ok)
                say(true, Format(19344, "Can't archive the %d records read: %s",
                                 long(records.size()), kept.error));
            // Stopped, with every record read in the archive.
            job.stopped = res.outcome == pelmar::DownloadOutcome::Stopped && kept.ok;
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
            switch (res.outcome) {
            case pelmar::DownloadOutcome::LinkLost:
                return kSafeLinkLost;
            case pelmar::DownloadOutcome::Refused:
                return kSafeReaderRefused;
            case pelmar::DownloadOutcome::Stopped:
                return kSafeNotErased;
            default:
                // Records that could not be read, or no end within the bound.
                return kSafeIncomplete;
            }
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
        d.dateMode = rc.bytDateMode;
        const StoreResult stored = job.archive->StoreDownload(job.reader, d, records);
        NoteFiled(job, stored);
        if (!stored.ok) {
            say(true, Format(19347, "Not erased: can't archive the records: %s.", stored.error) +
                          untouched);
            return 1;
        }
        long held = 0;
        QString error;
        if (!job.archive->CountHeld(job.reader.Key(), records, rc.bytDateMode, &held, &error)) {
            say(true, Format(19348, "Not erased: can't check the archive: %s.", error) + untouched);
            return 1;
        }
        if (held != records.size()) {
            say(true, Format(19349, "Not erased: the archive holds %d of the %d records read.",
                             held, long(records.size())) +
                          untouched);
            return 1;
        }
        say(false, Summary(stored));
        if (records.isEmpty()) {
            // The reader refused its first record: nothing to erase.
            say(false, Text(19351, "No records to erase."));
            return 0;
        }
        if (job.stopRequested && job.stopRequested()) {
            // Told to stop: every record is archived; the erase is left for the next run.
            job.stopped = true;
            say(true, QStringLiteral("Not erased: stopped before the erase.") + untouched);
            return kSafeNotErased;
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
            return kSafeLinkLost;
        }
        if (r == OpResult::Nothing) {
            say(false, Text(19351, "No records to erase."));
            return 0;
        }
        switch (r) {
        case OpResult::OK:
            job.erased = true;
            return kSafeErased;
        case OpResult::NoConnection:
            return kSafeLinkLost;
        case OpResult::Refused:
            return kSafeReaderRefused;
        default:
            return kSafeNotErased;
        }
    }
    say(true, Format(19352, "Not erased: the reader kept gaining records in %d rounds.",
                     kSafeEraseRounds) +
                  untouched);
    return 1;
}

} // namespace pelarchive
