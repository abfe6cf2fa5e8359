#include "ArchiveCli.h"

#include "CliOptions.h"
#include "pelarchive/ArchiveExport.h"
#include "pelarchive/ReaderArchive.h"
#include "pelexport/FromRecords.h"
#include "pelmar/RecordTableModel.h"
#include "pelmar/SaveOptions.h"

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

    CommandProgress progress(io);
    pelarchive::Archive archive;
    QString error;
    if (!OpenArchive(o.Value("--archive"), archive, &error)) {
        io.err << QStringLiteral("Can't open the archive: ") << error << Qt::endl;
        return 1;
    }
    // "--since last": the mark of this output (the file, or the terminal).
    // The filters belong to the mark: an export of one reader must not move the mark past
    // another reader's records for the same file.
    QString target = o.Has("--out") ? QFileInfo(o.Value("--out")).absoluteFilePath()
                                    : QStringLiteral("(standard output)");
    QStringList filters;
    if (!q.reader.isEmpty()) filters << QStringLiteral("reader=") + q.reader;
    if (!q.card.isEmpty()) filters << QStringLiteral("card=") + q.card;
    if (q.until.isValid())
        filters << QStringLiteral("until=") +
                       q.until.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (!filters.isEmpty())
        target += QStringLiteral(" [") + filters.join(QStringLiteral(", ")) + ']';
    qint64 mark = 0;
    if (sinceLast && !archive.Mark(target, &mark, &error)) {
        io.err << error << Qt::endl;
        return 1;
    }
    q.afterId = mark;
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
            const SaveResult saved = pelarchive::ExportArchived(archive, rows, o.Value("--out"), so,
                                                                model.DisplayMode());
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
    // The mark moves only once the records are out.
    if (sinceLast && !rows.isEmpty() && !archive.MoveMark(target, mark, rows.last().id, &error)) {
        io.err << error << Qt::endl;
        return 1;
    }
    if (o.Has("--out"))
        progress->Summary(
            QStringLiteral("%1 records saved to %2").arg(rows.size()).arg(o.Value("--out")));
    return 0;
}

} // namespace pelmar::cli
