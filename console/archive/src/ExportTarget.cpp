#include "pelarchive/ExportTarget.h"

#include "pelarchive/ArchiveExport.h"

#include <pelexport/RecordWriter.h>
#include <pelmar/RecordTableModel.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace pelarchive {

namespace {

QString SystemReason(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

// The writers' kinds by name; "list" is the listing.
struct FormatName {
    const char* name;
    pelmar::FileKind kind;
    const char* extension;
};
constexpr FormatName kFormats[] = {
    {"txt", pelmar::FileKind::Text, "txt"},       {"text", pelmar::FileKind::Text, "txt"},
    {"csv", pelmar::FileKind::Csv, "csv"},        {"iso", pelmar::FileKind::Iso, "iso"},
    {"xlsx", pelmar::FileKind::Workbook, "xlsx"}, {"xls", pelmar::FileKind::Workbook, "xlsx"},
};
const FormatName* FindFormat(const QString& name) {
    for (const FormatName& f : kFormats)
        if (name.compare(QLatin1String(f.name), Qt::CaseInsensitive) == 0) return &f;
    return nullptr;
}

bool Rewritten(pelmar::FileKind kind) {
    return kind == pelmar::FileKind::Iso || kind == pelmar::FileKind::Workbook;
}

} // namespace

QByteArray ExportListing(const QList<ArchivedRecord>& rows, const clsSaveOptions& options,
                         int displayMode, QString* convertError) {
    pelmar::RecordTableModel model;
    model.SetSaveOptions(options);
    model.SetDisplayMode(displayMode);
    for (const ArchivedRecord& r : rows)
        model.AppendRecord(r.text);
    if (convertError)
        *convertError = model.ConvertError() ? model.ConvertErrorMessage() : QString();
    QList<int> cols;
    for (int col = 0; col < pelmar::RecordTableModel::kColumns; ++col)
        if (model.IsColumnShown(col)) cols << col;
    QStringList header{QStringLiteral("Reader")};
    for (int col : cols)
        header << model.HeaderText(col);
    QString out = header.join(QLatin1Char('\t')) + QLatin1Char('\n');
    for (int row = 0; row < model.rowCount(); ++row) {
        QStringList cells{rows[row].reader};
        for (int col : cols)
            cells << model.Cell(row, col);
        out += cells.join(QLatin1Char('\t')) + QLatin1Char('\n');
    }
    return out.toUtf8();
}

namespace {

// Takes back what an export wrote to its file and did not note as sent: the file's length
// before, its copy before, or no file when there was none.
bool Undo(const Archive::TargetState& t, QString* error) {
    const QString& file = t.pendingFile;
    if (!t.pendingBackup.isEmpty() && QFileInfo::exists(t.pendingBackup)) {
        if (std::rename(QFile::encodeName(t.pendingBackup).constData(),
                        QFile::encodeName(file).constData()) != 0) {
            *error = QStringLiteral("can't put back %1 from %2: %3")
                         .arg(file, t.pendingBackup, SystemReason(errno));
            return false;
        }
        return true;
    }
    if (!t.pendingBackup.isEmpty()) return true; // put back already
    const QFileInfo info(file);
    if (t.pendingLength < 0) {
        if (info.exists() && !QFile::remove(file)) {
            *error =
                QStringLiteral("can't remove %1, left by an export that did not end").arg(file);
            return false;
        }
        return true;
    }
    if (info.exists() && info.size() > t.pendingLength && !QFile::resize(file, t.pendingLength)) {
        *error = QStringLiteral("can't cut %1 back to the %2 bytes it held before an export that "
                                "did not end")
                     .arg(file)
                     .arg(t.pendingLength);
        return false;
    }
    return true;
}

bool WriteAll(QIODevice* device, const QByteArray& bytes, QString* error) {
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 n = device->write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0) {
            *error = QStringLiteral("can't write the export: ") + device->errorString();
            return false;
        }
        done += n;
    }
    return true;
}

QString SaveError(const pelmar::SaveResult& saved) {
    return saved.szDetail.isEmpty() ? saved.szError
                                    : saved.szError + QStringLiteral(" (") + saved.szDetail + ')';
}

} // namespace

bool CanonicalOutputPath(const QString& file, QString* canonical, QString* error) {
    const QFileInfo info(file);
    if (info.exists()) {
        *canonical = info.canonicalFilePath();
        return true;
    }
    const QString folder = info.absolutePath();
    const QString real = QFileInfo(folder).canonicalFilePath();
    if (real.isEmpty() || !QFileInfo(real).isDir()) {
        *error = QStringLiteral("can't write %1: %2").arg(file, SystemReason(ENOENT));
        return false;
    }
    *canonical = QDir(real).filePath(info.fileName());
    return true;
}

ExportResult ExportUnsent(Archive& archive, const ExportRequest& request) {
    ExportResult res;
    // What is written, and how.
    const bool toFile = !request.file.isEmpty();
    bool listing = request.format.compare(QLatin1String("list"), Qt::CaseInsensitive) == 0 ||
                   (request.format.isEmpty() && !toFile);
    const FormatName* format = nullptr;
    if (!listing && !request.format.isEmpty()) {
        format = FindFormat(request.format);
        if (!format) {
            res.error = QStringLiteral("unknown export format \"%1\" (txt, csv, iso, xlsx or list)")
                            .arg(request.format);
            return res;
        }
    }
    if (!toFile && !request.device) {
        res.error = QStringLiteral("an export needs a file or an output device");
        return res;
    }
    pelmar::FileKind kind = pelmar::FileKind::Text;
    if (toFile) {
        QString canonical;
        if (!CanonicalOutputPath(request.file, &canonical, &res.error)) return res;
        kind = pelmar::FileKindOf(canonical);
        if (format && !listing && format->kind != kind) {
            res.error = QStringLiteral("the format \"%1\" does not fit the file %2 (its extension "
                                       "picks the writer)")
                            .arg(request.format, request.file);
            return res;
        }
        res.file =
            kind == pelmar::FileKind::Workbook ? pelmar::WorkbookFileName(canonical) : canonical;
    } else if (format) {
        kind = format->kind;
    }
    res.target = request.target.trimmed().isEmpty() ? res.file : request.target.trimmed();
    if (res.target.isEmpty()) {
        res.error = QStringLiteral("an export to a device needs a target name");
        return res;
    }

    Archive::TargetState target;
    if (!archive.TakeTarget(res.target, request.waitMs, &target, &res.busy, &res.error)) return res;
    struct Release {
        Archive& a;
        ~Release() { a.ReleaseTarget(); }
    } release{archive};

    // A run that died after writing: its lines go before anything else happens.
    if (target.HasPending()) {
        if (!Undo(target, &res.error)) return res;
        if (!archive.SetPending(target, QString(), -1, QString(), &res.error)) return res;
    }
    QList<ArchivedRecord> rows;
    if (!archive.Unsent(target, request.filter, rows, &res.error)) return res;
    if (rows.isEmpty()) {
        res.ok = true;
        return res;
    }
    QList<qint64> ids;
    ids.reserve(rows.size());
    for (const ArchivedRecord& r : rows)
        ids << r.id;

    if (toFile) {
        // What the file held, noted before a byte is written.
        const QFileInfo before(res.file);
        const qint64 length = before.exists() ? before.size() : -1;
        QString backup;
        if (length >= 0 && !listing && Rewritten(kind)) {
            backup = res.file + QStringLiteral(".pelmar-undo");
            QFile::remove(backup);
            if (!QFile::copy(res.file, backup)) {
                res.error = QStringLiteral("can't keep a copy of %1 before the export (%2)")
                                .arg(res.file, backup);
                return res;
            }
        }
        if (!archive.SetPending(target, res.file, length, backup, &res.error)) {
            if (!backup.isEmpty()) QFile::remove(backup);
            return res;
        }
        bool written = false;
        if (listing) {
            QFile out(res.file);
            if (!out.open(QIODevice::WriteOnly | QIODevice::Append)) {
                res.error = QStringLiteral("can't write %1: %2")
                                .arg(request.file, SystemReason(errno ? errno : EACCES));
            } else {
                written = WriteAll(&out,
                                   ExportListing(rows, request.options, request.displayMode,
                                                 &res.convertError),
                                   &res.error) &&
                          out.flush();
                out.close();
            }
        } else {
            const pelmar::SaveResult saved = ExportArchived(
                archive, rows, res.file, request.options, request.displayMode, &res.convertError);
            written = saved.bOk;
            if (!written) res.error = SaveError(saved);
        }
        if (!written) {
            QString undoError;
            if (Undo(target, &undoError))
                archive.SetPending(target, QString(), -1, QString(), nullptr);
            if (!undoError.isEmpty()) res.error += QStringLiteral("; ") + undoError;
            return res;
        }
        if (!archive.MarkSent(target, ids, &res.error)) {
            // Not noted: the lines go again (and the next run would cut them back anyway).
            QString undoError;
            if (Undo(target, &undoError))
                archive.SetPending(target, QString(), -1, QString(), nullptr);
            return res;
        }
        if (!backup.isEmpty()) QFile::remove(backup);
    } else {
        QByteArray bytes;
        if (listing) {
            bytes = ExportListing(rows, request.options, request.displayMode, &res.convertError);
        } else {
            // Through the record writers into a file of our own, then onto the device.
            QTemporaryDir dir;
            const QString name = dir.filePath(QStringLiteral("export.") +
                                              QLatin1String(format ? format->extension : "txt"));
            const pelmar::SaveResult saved = ExportArchived(archive, rows, name, request.options,
                                                            request.displayMode, &res.convertError);
            if (!saved.bOk) {
                res.error = SaveError(saved);
                return res;
            }
            QFile f(saved.szFileName.isEmpty() ? name : saved.szFileName);
            if (!f.open(QIODevice::ReadOnly)) {
                res.error = QStringLiteral("can't read back the export: ") + f.errorString();
                return res;
            }
            bytes = f.readAll();
        }
        if (!WriteAll(request.device, bytes, &res.error)) return res;
        if (!archive.MarkSent(target, ids, &res.error)) return res;
    }
    res.written = rows.size();
    res.ok = true;
    return res;
}

} // namespace pelarchive
