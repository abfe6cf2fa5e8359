#include "pelexport/RecordWriter.h"

#include "pelexport/FmtData.h"
#include "pelexport/Workbook.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <lvprofile/Profile.h>

namespace pelmar {

namespace {

const QLatin1String kCrLf("\r\n");

// Writes everything through an optional wrapping device and remembers the first failure.
class Output {
public:
    Output(QIODevice* inner, const SaveHooks& hooks) : inner_(inner) {
        if (hooks.wrapDevice) {
            wrapped_ = hooks.wrapDevice(inner);
            if (wrapped_ && !wrapped_->isOpen()) wrapped_->open(QIODevice::WriteOnly);
        }
    }
    QIODevice* device() { return wrapped_ ? wrapped_.get() : inner_; }
    bool write(const QByteArray& bytes) {
        if (failed_) return false;
        if (bytes.isEmpty()) return true;
        if (device()->write(bytes) != bytes.size()) {
            failed_ = true;
            reason_ = device()->errorString();
        }
        return !failed_;
    }
    // Pushes buffered bytes to the file; false when that fails (a full disk shows up here).
    bool finish() {
        if (failed_) return false;
        if (auto* f = qobject_cast<QFileDevice*>(inner_)) {
            if (!f->flush()) {
                failed_ = true;
                reason_ = f->errorString();
            }
        }
        return !failed_;
    }
    QString reason() const { return reason_; }

private:
    QIODevice* inner_;
    std::unique_ptr<QIODevice> wrapped_;
    bool failed_ = false;
    QString reason_;
};

QString Quoted(const QString& s) {
    QString q = s;
    q.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + q + QLatin1Char('"');
}

QString DateTimeText(const RecordTable& t, int r) {
    return t.Cell(r, t.IsShown(RecordTableModel::ColDateWeek) ? RecordTableModel::ColDateWeek
                                                              : RecordTableModel::ColDate);
}

// The ID carries its end sentinel ("?", or 0x7F in the track-4 mode) at or after its
// second character.
bool HasEndSentinel(const RecordTable& t, const QString& id) {
    const QChar sentinel = t.iTrack == 4 ? QChar(0x7F) : QLatin1Char('?');
    return id.indexOf(sentinel, 1) >= 0;
}

int TrackCount(const RecordTable& t) {
    return t.iTrack == 4 ? 4 : 3;
}

QString ErrorReason(const QFileDevice& f) {
    return f.errorString().isEmpty() ? QStringLiteral("Unknown error") : f.errorString();
}

// Makes an existing file writable, as the save did on its original platform (clearing the
// read-only attribute).
void ClearReadOnly(const QString& path) {
    QFileInfo fi(path);
    if (!fi.exists() || !fi.isFile()) return;
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::WriteOwner |
                                    QFileDevice::WriteUser);
}

bool FetchTwice(const std::function<bool(QString*)>& fetch, QString* out) {
    if (!fetch) return false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        QString v;
        if (fetch(&v)) {
            *out = v;
            return true;
        }
    }
    return false;
}

// The number format of a field in a workbook row: text for the names and numbers, a date,
// time or date-time format (with the weekday when the field carries one) for the rest.
const char* WorkbookFormat(const RowFieldValue& f) {
    switch (f.field) {
    case RowField::DateTime:
        return f.weekday ? kXlFmtDateTimeWeek : kXlFmtDateTime;
    case RowField::Date:
        return f.weekday ? kXlFmtDateWeek : kXlFmtDate;
    case RowField::Time:
        return kXlFmtTime;
    default:
        return kXlFmtText;
    }
}

} // namespace

FileKind FileKindOf(const QString& szFileName) {
    const QString up = szFileName.toUpper();
    if (up.endsWith(QLatin1String(".XLSX")) || up.endsWith(QLatin1String(".XLS")))
        return FileKind::Workbook;
    const QString ext = up.right(4);
    if (ext == QLatin1String(".ISO")) return FileKind::Iso;
    if (ext == QLatin1String(".CSV")) return FileKind::Csv;
    return FileKind::Text;
}

QString WorkbookFileName(const QString& szFileName) {
    if (szFileName.right(4).toUpper() != QLatin1String(".XLS")) return szFileName;
    return szFileName + (szFileName.back().isUpper() ? QLatin1Char('X') : QLatin1Char('x'));
}

QString ProgramDataDir() {
    const QByteArray home = qgetenv("LORVANE_HOME");
    if (!home.isEmpty()) return QString::fromLocal8Bit(home);
    return QDir::cleanPath(QCoreApplication::applicationDirPath() +
                           QLatin1String("/../share/lorvane"));
}

QString FormatFilePath() {
    return ProgramDataDir() + QLatin1String("/Format.ini");
}

QString ReadFormatTemplate(const QString& szFormatFile, const QString& szSection) {
    const std::string v =
        lvprofile::ReadProfileString(QFile::encodeName(szFormatFile).toStdString(),
                                     szSection.toStdString(), "Format", kDefaultFormat);
    return QString::fromStdString(v);
}

QStringList ReadFormatNames(const QString& szFormatFile) {
    // The names are read the way a 32768-byte section-name buffer holds them: each name and
    // its terminator must fit; a name that would not fit whole is left out with the rest.
    QStringList names;
    qsizetype used = 0;
    for (const std::string& n :
         lvprofile::ProfileSectionNames(QFile::encodeName(szFormatFile).toStdString())) {
        used += static_cast<qsizetype>(n.size()) + 1;
        if (used > 32767) break;
        const QString name = QString::fromStdString(n);
        if (name.isEmpty() || name.compare(QLatin1String("GENERAL"), Qt::CaseInsensitive) == 0)
            continue;
        names << name;
    }
    return names;
}

QString SaveDialogFilter(bool bMagneticMode, bool bWorkbookAvailable) {
    QString f = QStringLiteral("Text (*.txt)|*.txt|");
    if (bMagneticMode) f += QStringLiteral("ISO (*.ISO)|*.ISO|");
    f += QStringLiteral("CSV (*.csv)|*.csv");
    if (bWorkbookAvailable) f += QStringLiteral("|Excel workbook (*.xlsx)|*.xlsx");
    return f;
}

bool SplitDateTime(const QString& szDateTime, QString* szDate, QString* szTime) {
    const qsizetype blank = szDateTime.indexOf(QLatin1Char(' '));
    if (blank < 0) {
        *szDate = szDateTime;
        szTime->clear();
        return false;
    }
    *szDate = szDateTime.left(blank);
    *szTime = szDateTime.mid(blank + 1);
    const qsizetype more = szTime->indexOf(QLatin1Char(' '));
    if (szDate->size() >= 10 && szTime->size() >= 8 && more >= 0) {
        *szDate += szTime->mid(more);
        szTime->truncate(more);
    }
    return true;
}

QByteArray IsoHeaderBytes(bool bTrack4) {
    QStringList lines{QStringLiteral("[SETUP]"), QStringLiteral("CARDTYPE =0"),
                      QStringLiteral("PARITY1 =1"), QStringLiteral("PARITY2 =1"),
                      QStringLiteral("PARITY3 =1")};
    if (bTrack4) lines << QStringLiteral("PARITY4 =2");
    lines << QStringLiteral("BPC1 =7") << QStringLiteral("BPC2 =5") << QStringLiteral("BPC3 =5");
    if (bTrack4) lines << QStringLiteral("BPC4 =8");
    lines << QStringLiteral("SS1 =5") << QStringLiteral("SS2 =11") << QStringLiteral("SS3 =11");
    if (bTrack4) lines << QStringLiteral("SS4 =127");
    lines << QStringLiteral("ES1 =31") << QStringLiteral("ES2 =15") << QStringLiteral("ES3 =15");
    if (bTrack4) lines << QStringLiteral("ES4 =127");
    lines << QString() << QStringLiteral("[DATA]");
    return (lines.join(kCrLf) + kCrLf).toUtf8();
}

QList<RowFieldValue> RowFields(const RecordTable& t, int r, const ExportOptions& o,
                               const SaveTexts& texts) {
    using M = RecordTableModel;
    QList<RowFieldValue> fields;
    if (o.IsAddMachineID) fields.append({RowField::MachineID, texts.szMachineID});
    fields.append({RowField::CardID, t.Cell(r, M::ColCardId)});
    if (t.IsShown(M::ColCardType)) fields.append({RowField::CardType, t.Cell(r, M::ColCardType)});
    if (t.IsShown(M::ColEvent)) fields.append({RowField::Event, t.Cell(r, M::ColEvent)});
    QString date, time;
    const bool two = o.IsSDTInTwoFields && SplitDateTime(DateTimeText(t, r), &date, &time);
    for (RecordColumn c : {M::ColDateWeek, M::ColDate}) {
        if (!t.IsShown(c)) continue;
        // In two fields both date columns give the same date and time (the weekday's, when
        // shown); the weekday travels with the date.
        const bool weekday = t.IsShown(M::ColDateWeek);
        if (two) {
            fields.append({RowField::Date, date, weekday});
            fields.append({RowField::Time, time});
        } else {
            fields.append({RowField::DateTime, t.Cell(r, c), c == M::ColDateWeek});
        }
    }
    if (o.IsAddUserName) fields.append({RowField::UserName, texts.szUserName});
    return fields;
}

QByteArray RecordRowBytes(FileKind kind, const RecordTable& t, int r, const ExportOptions& o,
                          const SaveTexts& texts) {
    QString out;
    auto line = [&out](const QString& s) {
        out += s;
        out += kCrLf;
    };
    using M = RecordTableModel;
    const QString id = t.Cell(r, M::ColCardId);
    const bool idShown = t.IsShown(M::ColCardId);
    if (kind == FileKind::Iso) {
        for (int track = 1; track <= TrackCount(t); ++track) {
            QString s(1, QChar(track));
            if (track == t.iTrack && idShown && id.size() >= 3) s += id.mid(1, id.size() - 2);
            line(s);
        }
        line(QString());
        return out.toUtf8();
    }

    if (kind == FileKind::Csv) {
        QString s;
        if (t.iTrack != 0) {
            for (int track = 1; track <= TrackCount(t); ++track) {
                s += QLatin1Char(',');
                if (track == t.iTrack && idShown && HasEndSentinel(t, id)) s += Quoted(id);
            }
            if (t.IsShown(M::ColDate)) s += QLatin1Char(',') + t.Cell(r, M::ColDate);
            line(s.mid(1));
        } else if (idShown) {
            QStringList cells;
            for (const RowFieldValue& f : RowFields(t, r, o, texts)) {
                const bool quoted = f.field == RowField::CardID || f.field == RowField::CardType ||
                                    f.field == RowField::Event || f.field == RowField::UserName;
                cells << (quoted ? Quoted(f.text) : f.text);
            }
            line(cells.join(QLatin1Char(',')));
        } else {
            line(QString());
        }
        return out.toUtf8();
    }

    // Text files.
    if (t.iTrack != 0) {
        line(t.Cell(r, M::ColDate));
        if (idShown && HasEndSentinel(t, id)) line(id);
        line(QString());
    } else if (texts.pFormat) {
        // The template always gets the date and time apart; the record number is the one the
        // table's "No" column shows: the first record is 1.
        QString date, time;
        SplitDateTime(DateTimeText(t, r), &date, &time);
        const QStringList values{
            id,   t.Cell(r, M::ColCardType), t.Cell(r, M::ColEvent), date,
            time, QString::number(r),        texts.szMachineID,      texts.szUserName};
        line(texts.pFormat->ApplyFormat(values));
    } else {
        QStringList cells;
        for (const RowFieldValue& f : RowFields(t, r, o, texts))
            cells << f.text;
        line(cells.join(QLatin1Char(',')));
    }
    return out.toUtf8();
}

namespace {

struct SaveRun {
    const QString& szFileName;
    const RecordTable& t;
    const ExportOptions& o;
    const SaveHooks& hooks;
    SaveResult res;
    SaveTexts texts;
    FmtData format;

    bool stopRequested() const { return hooks.blnStop2 && !*hooks.blnStop2; }
    void progress(int row) const {
        if (hooks.progress) hooks.progress(row, static_cast<int>(t.rows.size()));
    }
    void fail(const QString& error, const QString& detail = QString()) {
        res.bOk = false;
        res.szError = error;
        res.szDetail = detail;
        if (hooks.blnStop2) *hooks.blnStop2 = false;
    }
    QString inUse() const {
        return hooks.szInUseMessage.isEmpty() ? QString::fromLatin1(kInUseMessage)
                                              : hooks.szInUseMessage;
    }
    void writeFailed(const QString& reason) {
        fail(QStringLiteral("The file could not be written (%1); it was left as it was before "
                            "the save.")
                 .arg(reason),
             reason);
    }

    void prepare(FileKind kind) {
        const bool none = t.iTrack == 0;
        if (none && (kind == FileKind::Text) && !o.SaveFormat.trimmed().isEmpty()) {
            const QString file = o.szFormatFile.isEmpty() ? FormatFilePath() : o.szFormatFile;
            if (format.ParseFormat(ReadFormatTemplate(file, o.SaveFormat), kFmtFieldList))
                texts.pFormat = &format;
        }
        const bool rows = kind != FileKind::Iso && none;
        if (rows && (o.IsAddMachineID || texts.pFormat))
            FetchTwice(hooks.fetchMachineID, &texts.szMachineID);
        if (rows && (o.IsAddUserName || texts.pFormat))
            FetchTwice(hooks.fetchUserName, &texts.szUserName);
    }

    // Writes rows 1.. to out until done or stopped; false on a write failure.
    bool writeRows(Output& out, FileKind kind) {
        const int count = static_cast<int>(t.rows.size());
        for (int r = 1; r <= count; ++r) {
            if (stopRequested()) {
                res.blnStopped = true;
                break;
            }
            if (!out.write(RecordRowBytes(kind, t, r, o, texts))) return false;
            res.iRowsWritten = r;
            progress(r);
        }
        return true;
    }

    void saveText(FileKind kind) {
        QFile file(szFileName);
        const qint64 before = QFileInfo::exists(szFileName) ? QFileInfo(szFileName).size() : -1;
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
            fail(inUse(), ErrorReason(file));
            return;
        }
        prepare(kind);
        bool ok;
        QString reason;
        {
            Output out(&file, hooks);
            ok = writeRows(out, kind) && out.finish();
            reason = out.reason();
        }
        file.close();
        if (!ok) {
            // Take back what this save appended, so the file holds what it held before.
            if (before >= 0)
                QFile::resize(szFileName, before);
            else
                QFile::remove(szFileName);
            writeFailed(reason);
            return;
        }
        res.bOk = true;
    }

    // The lines of an existing track file after its "[DATA]" line (CR LF, CR or LF ends a
    // line); false when it has no such line.
    static bool IsoDataLines(const QByteArray& bytes, QList<QByteArray>* lines) {
        QList<QByteArray> all;
        qsizetype start = 0;
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            if (bytes[i] == '\r' || bytes[i] == '\n') {
                all << bytes.mid(start, i - start);
                if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
                start = i + 1;
            }
        }
        if (start < bytes.size()) all << bytes.mid(start);
        for (qsizetype i = 0; i < all.size(); ++i) {
            QByteArray key = all[i].toUpper();
            key.replace(' ', QByteArray());
            if (key == "[DATA]") {
                *lines = all.mid(i + 1);
                return true;
            }
        }
        return false;
    }

    void saveIso() {
        // The old file stays untouched until the new one (header, the old records, the new
        // records) is complete and replaces it.
        QByteArray old;
        if (QFileInfo::exists(szFileName) && !QFileInfo(szFileName).isFile()) {
            fail(inUse());
            return;
        }
        if (QFileInfo(szFileName).isFile() && QFileInfo(szFileName).size() > 0) {
            QFile in(szFileName);
            if (!in.open(QIODevice::ReadOnly)) {
                fail(inUse(), ErrorReason(in));
                return;
            }
            old = in.readAll();
        }
        QList<QByteArray> oldLines;
        if (!old.isEmpty() && !IsoDataLines(old, &oldLines)) {
            fail(QStringLiteral("The file is not an ISO track file (it has no [DATA] line); "
                                "please use other file name and save again!"));
            return;
        }
        QSaveFile file(szFileName);
        if (!file.open(QIODevice::WriteOnly)) {
            fail(inUse(), ErrorReason(file));
            return;
        }
        prepare(FileKind::Iso);
        Output out(&file, hooks);
        bool ok = out.write(IsoHeaderBytes(t.iTrack == 4));
        if (ok && !oldLines.isEmpty()) {
            QByteArray copy;
            for (const QByteArray& l : oldLines)
                copy += l + "\r\n";
            if (!oldLines.last().trimmed().isEmpty()) copy += "\r\n";
            ok = out.write(copy);
        }
        ok = ok && writeRows(out, FileKind::Iso) && out.finish();
        if (!ok) {
            file.cancelWriting();
            writeFailed(out.reason());
            return;
        }
        if (!file.commit()) {
            writeFailed(ErrorReason(file));
            return;
        }
        res.bOk = true;
    }

    void saveWorkbook() {
        ExcelWorkbook book;
        if (!book.ExcelOpen(szFileName)) {
            fail(book.errorString());
            return;
        }
        prepare(FileKind::Workbook);
        const int count = static_cast<int>(t.rows.size());
        for (int r = 1; r <= count; ++r) {
            if (stopRequested()) {
                res.blnStopped = true;
                break;
            }
            using M = RecordTableModel;
            const QString id = t.Cell(r, M::ColCardId);
            if (t.iTrack != 0) {
                QList<QVariant> values;
                for (int track = 1; track <= TrackCount(t); ++track)
                    values << (track == t.iTrack && t.IsShown(M::ColCardId) && HasEndSentinel(t, id)
                                   ? QVariant(id)
                                   : QVariant(QString()));
                if (t.IsShown(M::ColDate)) {
                    FmtDateTime dt;
                    const QString s = t.Cell(r, M::ColDate);
                    if (ParseRecordDateTime(s, &dt) && dt.bHasDate && dt.bHasTime)
                        values << QDateTime(QDate(dt.year, dt.month, dt.day),
                                            QTime(dt.hour, dt.minute, dt.second));
                    else
                        values << s;
                }
                book.ExcelWriteRow(values);
            } else {
                QList<std::pair<QString, QString>> pairs;
                if (t.IsShown(M::ColCardId)) {
                    for (const RowFieldValue& f : RowFields(t, r, o, texts))
                        pairs.append({f.text, QString::fromLatin1(WorkbookFormat(f))});
                }
                book.ExcelWriteFormattedRow(pairs);
            }
            res.iRowsWritten = r;
            progress(r);
        }
        book.ExcelFinish();
        if (!book.ExcelSave(szFileName, hooks.wrapDevice)) {
            fail(book.errorString().startsWith(QLatin1String("The file is in use"))
                     ? inUse()
                     : book.errorString());
            return;
        }
        res.bOk = true;
    }
};

} // namespace

SaveResult SaveRecords(const QString& szFileName, const RecordTable& table,
                       const ExportOptions& options, const SaveHooks& hooks) {
    const FileKind kind = FileKindOf(szFileName);
    const QString name = kind == FileKind::Workbook ? WorkbookFileName(szFileName) : szFileName;
    SaveRun run{name, table, options, hooks, {}, {}, {}};
    run.res.szFileName = name;
    if (name.isEmpty()) {
        run.fail(run.inUse());
        return run.res;
    }
    ClearReadOnly(name);
    switch (kind) {
    case FileKind::Text:
    case FileKind::Csv:
        run.saveText(kind);
        break;
    case FileKind::Iso:
        run.saveIso();
        break;
    case FileKind::Workbook:
        run.saveWorkbook();
        break;
    }
    run.progress(0);
    if (run.res.blnStopped && hooks.blnStop2) *hooks.blnStop2 = false;
    return run.res;
}

} // namespace pelmar
