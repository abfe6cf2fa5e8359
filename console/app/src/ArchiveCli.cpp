#include "ArchiveCli.h"

#include "CliOptions.h"
#include "pelarchive/ArchiveExport.h"
#include "pelarchive/ExportTarget.h"
#include "pelarchive/ReaderArchive.h"
#include "pelexport/FromRecords.h"
#include "pelmar/RecordTableModel.h"
#include "pelmar/SaveOptions.h"

#include <QBuffer>
#include <QFileInfo>
#include <QRegularExpression>

namespace pelmar::cli {

namespace {

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

namespace {
const QRegularExpression& FiledLine() {
    static const QRegularExpression re(QStringLiteral("^(\\d+) new, (\\d+) already archived$"));
    return re;
}
} // namespace

pelarchive::Say SayTo(Io& io, QString* filed) {
    return [&io, filed](bool failure, const QString& text) {
        if (io.progress) io.progress->Clear();
        (failure ? io.err : io.out) << text << Qt::endl;
        if (filed && !failure && FiledLine().match(text).hasMatch()) *filed = text;
    };
}

QString ArchivedSummary(const QString& filed, long read) {
    const QRegularExpressionMatch m = FiledLine().match(filed);
    if (!m.hasMatch()) return QStringLiteral("%1 records archived").arg(read);
    return QStringLiteral("%1 records archived (%2)")
        .arg(m.captured(1).toLongLong() + m.captured(2).toLongLong())
        .arg(filed);
}

QStringList GiveOptionalValue(const QStringList& args, const QString& option) {
    QStringList out;
    for (int i = 0; i < args.size(); ++i) {
        const bool bare = args[i] == option &&
                          (i + 1 == args.size() || args[i + 1].startsWith(QLatin1String("--")));
        out << (bare ? option + QLatin1Char('=') : args[i]);
    }
    return out;
}

bool OpenArchive(const QString& url, pelarchive::Archive& archive, QString* error, bool mustExist) {
    return pelarchive::OpenArchiveUrl(url, archive, error, mustExist);
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

int CmdRecords(const QStringList& rawArgs, Io& io) {
    const Options o = Parse(rawArgs, OptionsOf(QStringLiteral("records")));
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

    if (o.Has("--target") && !sinceLast)
        return UsageFail(io, QStringLiteral("--target names where a --since last export goes: give "
                                            "--since last"));
    if (o.Has("--target") && o.Value("--target").trimmed().isEmpty())
        return UsageFail(io, QStringLiteral("--target needs a name"));
    CommandProgress progress(io);
    QString error;
    QString outFile;
    if (o.Has("--out") && !pelarchive::CanonicalOutputPath(o.Value("--out"), &outFile, &error)) {
        io.err << error << Qt::endl;
        return 1;
    }
    pelarchive::Archive archive;
    // Reading never makes an archive: a mistyped --archive says so.
    if (!OpenArchive(o.Value("--archive"), archive, &error, true)) {
        io.err << QStringLiteral("Can't open the archive: ") << error << Qt::endl;
        return 1;
    }
    if (sinceLast) {
        // Each record once per target: the file's canonical path, a --target name, or the
        // terminal.
        pelarchive::ExportRequest request;
        request.target = o.Has("--target") ? o.Value("--target")
                         : o.Has("--out")  ? QString()
                                           : QStringLiteral("(standard output)");
        request.filter = q;
        request.file = o.Value("--out");
        QBuffer listing;
        listing.open(QIODevice::WriteOnly);
        if (!o.Has("--out")) request.device = &listing;
        request.options = so;
        request.displayMode = model.DisplayMode();
        const pelarchive::ExportResult r = pelarchive::ExportUnsent(archive, request);
        if (!r.convertError.isEmpty()) io.err << r.convertError << Qt::endl;
        if (!r.ok) {
            io.err << r.error << Qt::endl;
            return 1;
        }
        if (o.Has("--out")) {
            io.out
                << QStringLiteral("%1 records written to %2").arg(r.written).arg(o.Value("--out"))
                << Qt::endl;
            progress->Summary(
                QStringLiteral("%1 records saved to %2").arg(r.written).arg(o.Value("--out")));
        } else {
            if (r.written == 0) {
                // The listing's header all the same.
                io.out << QString::fromUtf8(
                    pelarchive::ExportListing({}, so, model.DisplayMode(), nullptr));
            }
            io.out << QString::fromUtf8(listing.data());
            io.out.flush();
        }
        return 0;
    }
    QList<pelarchive::ArchivedRecord> rows;
    progress->Start(QStringLiteral("Reading the archive"), -1, QString());
    if (!archive.Records(q, rows, &error)) {
        progress->Error(error);
        return 1;
    }
    progress->Finish();
    for (const auto& r : rows)
        model.AppendRecord(r.text);
    if (model.ConvertError()) io.err << model.ConvertErrorMessage() << Qt::endl;
    if (o.Has("--out")) {
        if (!rows.isEmpty()) {
            progress->Start(QStringLiteral("Exporting %1 records").arg(rows.size()), -1, QString());
            const SaveResult saved =
                pelarchive::ExportArchived(archive, rows, outFile, so, model.DisplayMode());
            progress->Finish();
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
    if (o.Has("--out"))
        progress->Summary(
            QStringLiteral("%1 records saved to %2").arg(rows.size()).arg(o.Value("--out")));
    return 0;
}

} // namespace pelmar::cli
