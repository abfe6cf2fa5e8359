#include "ArchiveCli.h"

#include "CliOptions.h"
#include "pelarchive/ArchiveExport.h"
#include "pelexport/FromRecords.h"
#include "pelmar/RecordTableModel.h"
#include "pelmar/SaveOptions.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>

namespace pelmar::cli {

namespace {

QString Outcome(const DownloadResult& r, int resumes = 0) {
    QString o = r.stopped    ? QStringLiteral("stopped")
                : r.linkLost ? QStringLiteral("link lost")
                             : QStringLiteral("complete");
    if (resumes > 0) o += QStringLiteral(", resumed %1x").arg(resumes);
    return o;
}

QString Summary(long added, long already) {
    return QStringLiteral("%1 new, %2 already archived").arg(added).arg(already);
}

// A date or date and time of the command line: "YYYY-MM-DD[ hh:mm[:ss]]" (also with "/" or
// "T"). A date alone means its first second, or its last one for an upper bound.
QDateTime ParseWhen(const QString& text, bool upper) {
    QString t = text.trimmed();
    t.replace(QLatin1Char('/'), QLatin1Char('-'));
    t.replace(QLatin1Char('T'), QLatin1Char(' '));
    for (const char* f : {"yyyy-MM-dd HH:mm:ss", "yyyy-MM-dd HH:mm"}) {
        QDateTime d = QDateTime::fromString(t, QLatin1String(f));
        if (d.isValid()) return d;
    }
    const QDate day = QDate::fromString(t, QStringLiteral("yyyy-MM-dd"));
    if (!day.isValid()) return {};
    return upper ? QDateTime(day, QTime(23, 59, 59)) : QDateTime(day, QTime(0, 0, 0));
}

int UsageFail(Io& io, const QString& why) {
    io.err << "pelmar: " << why << Qt::endl << Usage();
    return 2;
}

} // namespace

QStringList GiveOptionalValue(const QStringList& args, const QString& option) {
    QStringList out;
    for (int i = 0; i < args.size(); ++i) {
        const bool bare = args[i] == option &&
                          (i + 1 == args.size() || args[i + 1].startsWith(QLatin1String("--")));
        out << (bare ? option + QLatin1Char('=') : args[i]);
    }
    return out;
}

bool OpenArchive(const QString& url, pelarchive::Archive& archive, QString* error) {
    return pelarchive::OpenArchiveUrl(url, archive, error);
}

QString ClockReport(const QDateTime& reader, const QDateTime& host) {
    const qint64 drift = host.secsTo(reader);
    const QString how = drift == 0  ? QStringLiteral("in step")
                        : drift > 0 ? QStringLiteral("reader ahead of the host")
                                    : QStringLiteral("reader behind the host");
    return QStringLiteral("Host clock: %1\nDrift: %2%3 s (%4)\n")
        .arg(host.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")),
             drift > 0 ? QStringLiteral("+") : QString())
        .arg(drift)
        .arg(how);
}

int PrepareArchive(ReaderConsole& rc, ArchiveJob& job, Io& io) {
    job.archive = std::make_unique<pelarchive::Archive>();
    QString error;
    if (!OpenArchive(job.url, *job.archive, &error)) {
        io.err << QStringLiteral("Can't archive: ") << error << Qt::endl;
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
        io.err << QStringLiteral("Can't archive: the reader's machine ID could not be read; give "
                                 "the reader a name with --reader")
               << Qt::endl;
        return 1;
    }
    // The clock drift, kept with the reader (not a reason to stop when it can't be read).
    kt9.LastCallOK = false;
    const QDateTime clock = kt9.ReadDeviceTime();
    if (kt9.LastCallOK && clock.isValid() &&
        !job.archive->SetDrift(job.reader, QDateTime::currentDateTime().secsTo(clock), &error)) {
        io.err << QStringLiteral("Can't archive: ") << error << Qt::endl;
        return 1;
    }
    return 0;
}

int ResumeDownload(ReaderConsole& rc, const QString& port, DownloadResult& result,
                   const ReaderConsole::RecordSink& sink, Io& io) {
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
        if (count < result.read) {
            // Erased (or replaced) meanwhile: the numbers no longer lead on from the last one.
            io.err << QStringLiteral("Not resumed: the reader now holds %1 records, fewer than "
                                     "the %2 read.")
                          .arg(count)
                          .arg(result.read)
                   << Qt::endl;
            break;
        }
        ++resumes;
        io.out << QStringLiteral("Link lost after %1 records; reconnected, resuming at record %2.")
                      .arg(result.read)
                      .arg(result.read + 1)
               << Qt::endl;
        result.total = count;
        result.linkLost = false;
        while (result.read < count) {
            QString rec;
            bool got = false;
            for (int k = 0; k < 3 && !got && rc.Session().Link()->PortOpen(); ++k)
                got = rc.ReadRecordByNumber(result.read, rec);
            if (!got) {
                result.linkLost = true;
                break;
            }
            ++result.read;
            if (sink) sink(result.read, rec);
        }
        if (result.read > before) attempt = 0; // progress: the next drop has its own attempts
    }
    rc.onClearRecords = clear;
    return resumes;
}

int ArchiveDownload(ArchiveJob& job, const DownloadResult& result, const QDateTime& started,
                    const QStringList& records, Io& io, int resumes) {
    pelarchive::DownloadOutcome d;
    d.started = started;
    d.ended = QDateTime::currentDateTime();
    d.read = records.size();
    d.reported = result.total;
    d.outcome = Outcome(result, resumes);
    const pelarchive::StoreResult r = job.archive->StoreDownload(job.reader, d, records);
    if (!r.ok) {
        io.err << QStringLiteral("Can't archive the %1 records read: ").arg(records.size())
               << r.error << Qt::endl;
        return 1;
    }
    io.out << Summary(r.added, r.already) << Qt::endl;
    return 0;
}

int SafeErase(ReaderConsole& rc, ArchiveJob& job, Io& io) {
    if (int code = PrepareArchive(rc, job, io)) return code;
    const QString untouched = QStringLiteral(" The reader is untouched.");
    for (int round = 1; round <= kSafeEraseRounds; ++round) {
        QStringList records;
        const QDateTime started = QDateTime::currentDateTime();
        rc.blnStop1 = true;
        const ReaderConsole::RecordSink sink = [&](long, const QString& rec) { records << rec; };
        DownloadResult res = rc.UploadKt9Record(sink);
        ResumeDownload(rc, job.port, res, sink, io);
        if (res.stopped || res.linkLost || res.read != res.total) {
            // What was read is kept all the same.
            pelarchive::DownloadOutcome d;
            d.started = started;
            d.ended = QDateTime::currentDateTime();
            d.read = records.size();
            d.reported = res.total;
            d.outcome = Outcome(res);
            job.archive->StoreDownload(job.reader, d, records);
            io.err << QStringLiteral("Not erased: the download ended after %1 of %2 records.")
                          .arg(res.read)
                          .arg(res.total)
                   << untouched << Qt::endl;
            return 1;
        }
        pelarchive::DownloadOutcome d;
        d.started = started;
        d.ended = QDateTime::currentDateTime();
        d.read = records.size();
        d.reported = res.total;
        d.outcome = QStringLiteral("complete (safe erase)");
        const pelarchive::StoreResult stored = job.archive->StoreDownload(job.reader, d, records);
        if (!stored.ok) {
            io.err << QStringLiteral("Not erased: can't archive the records: ") << stored.error
                   << '.' << untouched << Qt::endl;
            return 1;
        }
        long held = 0;
        QString error;
        if (!job.archive->CountHeld(job.reader.Key(), records, &held, &error)) {
            io.err << QStringLiteral("Not erased: can't check the archive: ") << error << '.'
                   << untouched << Qt::endl;
            return 1;
        }
        if (held != records.size()) {
            io.err << QStringLiteral("Not erased: the archive holds %1 of the %2 records read.")
                          .arg(held)
                          .arg(records.size())
                   << untouched << Qt::endl;
            return 1;
        }
        io.out << Summary(stored.added, stored.already) << Qt::endl;
        // The erase reads the count once more just before "E"; only the count just checked
        // may be erased.
        long arrived = -1;
        rc.onBeforeErase = [&](long count) {
            if (count == long(records.size())) return true;
            arrived = count;
            return false;
        };
        const OpResult r = rc.EraseWithProgress();
        rc.onBeforeErase = nullptr;
        if (arrived >= 0) {
            io.out << QStringLiteral("The reader now holds %1 records, not %2: archiving again.")
                          .arg(arrived)
                          .arg(records.size())
                   << Qt::endl;
            continue;
        }
        if (r == OpResult::Nothing) {
            io.out << QStringLiteral("No records to erase.") << Qt::endl;
            return 0;
        }
        return r == OpResult::OK ? 0 : 1;
    }
    io.err << QStringLiteral("Not erased: the reader kept gaining records in %1 rounds.")
                  .arg(kSafeEraseRounds)
           << untouched << Qt::endl;
    return 1;
}

int CmdRecords(const QStringList& rawArgs, Io& io) {
    const Options o = Parse(
        rawArgs,
        {"--archive", "--reader", "--since", "--until", "--card", "--out", "--format", "--mode"},
        {});
    if (!o.error.isEmpty()) return UsageFail(io, o.error);
    pelarchive::RecordQuery q;
    q.reader = o.Value("--reader").trimmed();
    q.card = o.Value("--card").trimmed();
    const bool sinceLast = o.Value("--since").trimmed().toLower() == QLatin1String("last");
    if (o.Has("--since") && !sinceLast) {
        q.since = ParseWhen(o.Value("--since"), false);
        if (!q.since.isValid())
            return UsageFail(io, QStringLiteral("--since: last, YYYY-MM-DD or "
                                                "\"YYYY-MM-DD hh:mm:ss\""));
    }
    if (o.Has("--until")) {
        q.until = ParseWhen(o.Value("--until"), true);
        if (!q.until.isValid())
            return UsageFail(io, QStringLiteral("--until: YYYY-MM-DD or \"YYYY-MM-DD hh:mm:ss\""));
    }
    if (o.Has("--out") && o.Value("--out").trimmed().isEmpty())
        return UsageFail(io, QStringLiteral("--out needs a file name"));
    RecordTableModel model;
    clsSaveOptions so;
    LoadSaveOptions(so);
    so.SetIsFormatFileExist(QFileInfo::exists(FormatFilePath()));
    if (o.Has("--format")) {
        const QStringList names = ReadFormatNames(FormatFilePath());
        if (!names.contains(o.Value("--format")))
            return UsageFail(
                io, QStringLiteral("--format: one of the formats of %1: %2")
                        .arg(FormatFilePath(), names.isEmpty() ? QStringLiteral("(none)")
                                                               : names.join(QStringLiteral(", "))));
        so.SetSaveFormat(o.Value("--format"));
    }
    model.SetSaveOptions(so);
    if (o.Has("--mode")) {
        const int mode = DisplayModeFromText(o.Value("--mode"));
        if (mode < 0)
            return UsageFail(io, QStringLiteral("--mode: one of \"%1\"")
                                     .arg(DisplayModeTexts().join(QStringLiteral("\", \""))));
        model.SetDisplayMode(mode);
    }

    pelarchive::Archive archive;
    QString error;
    if (!OpenArchive(o.Value("--archive"), archive, &error)) {
        io.err << QStringLiteral("Can't open the archive: ") << error << Qt::endl;
        return 1;
    }
    // "--since last": the mark of this output (the file, or the terminal).
    const QString target = o.Has("--out") ? QFileInfo(o.Value("--out")).absoluteFilePath()
                                          : QStringLiteral("(standard output)");
    qint64 mark = 0;
    if (sinceLast && !archive.Mark(target, &mark, &error)) {
        io.err << error << Qt::endl;
        return 1;
    }
    q.afterId = mark;
    QList<pelarchive::ArchivedRecord> rows;
    if (!archive.Records(q, rows, &error)) {
        io.err << error << Qt::endl;
        return 1;
    }
    for (const auto& r : rows)
        model.AppendRecord(r.text);
    if (model.ConvertError()) io.err << model.ConvertErrorMessage() << Qt::endl;
    if (o.Has("--out")) {
        if (!rows.isEmpty()) {
            const SaveResult saved = pelarchive::ExportArchived(archive, rows, o.Value("--out"), so,
                                                                model.DisplayMode());
            if (!saved.bOk) {
                io.err << saved.szError;
                if (!saved.szDetail.isEmpty()) io.err << " (" << saved.szDetail << ")";
                io.err << Qt::endl;
                return 1;
            }
        }
        io.out << QStringLiteral("%1 records written to %2").arg(rows.size()).arg(o.Value("--out"))
               << Qt::endl;
    } else {
        QList<int> cols;
        for (int col = 0; col < RecordTableModel::kColumns; ++col)
            if (model.IsColumnShown(col)) cols << col;
        QStringList header{QStringLiteral("Reader")};
        for (int col : cols)
            header << model.HeaderText(col);
        io.out << header.join('\t') << '\n';
        for (int row = 0; row < model.rowCount(); ++row) {
            QStringList cells{rows[row].reader};
            for (int col : cols)
                cells << model.Cell(row, col);
            io.out << cells.join('\t') << '\n';
        }
        io.out.flush();
    }
    // The mark moves only once the records are out.
    if (sinceLast && !rows.isEmpty() && !archive.MoveMark(target, mark, rows.last().id, &error)) {
        io.err << error << Qt::endl;
        return 1;
    }
    return 0;
}

} // namespace pelmar::cli
