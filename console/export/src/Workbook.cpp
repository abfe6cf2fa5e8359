// ExcelWorkbook: opens a workbook (or starts a new one), names the new sheet, collects its rows
// and saves. The parts of the file are made in WorkbookParts.h's units: the package edit, the
// styles, the sheet's XML.
#include "pelexport/Workbook.h"

#include "WorkbookParts.h"
#include "XlsxPackage.h"
#include "pelexport/FmtData.h"
#include "pelexport/RecordWriter.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>
#include <algorithm>
#include <vector>

namespace pelmar {

using namespace workbook;

namespace {

// Existing workbook files above this size are not read into memory.
constexpr qint64 kMaxWorkbookBytes = 1024ll * 1024 * 1024;

double DateSerial(const QDate& d, const QTime& t, bool date1904) {
    const QDate base = date1904 ? QDate(1904, 1, 1) : QDate(1899, 12, 30);
    double days = d.isValid() ? static_cast<double>(base.daysTo(d)) : 0.0;
    if (t.isValid()) days += (t.hour() * 3600 + t.minute() * 60 + t.second()) / 86400.0;
    return days;
}

// A table date "YYYY/MM/DD" (withTime: "YYYY/MM/DD hh:mm:ss") followed by a blank and the
// weekday the reader recorded. Taken as a date only when that weekday is the date's own in the
// program's language or in English: a weekday that disagrees (a reader clock set wrong, or
// "Error") is kept as it was shown, as text.
bool ParseWeekdayDate(const QString& value, bool withTime, FmtDateTime* out) {
    const QString s = value.trimmed();
    const qsizetype stampLength = withTime ? 19 : 10;
    if (s.size() < stampLength + 2 || s[stampLength] != QLatin1Char(' ')) return false;
    FmtDateTime dt;
    if (!ParseRecordDateTime(s.left(stampLength), &dt) || !dt.bHasDate || dt.bHasTime != withTime)
        return false;
    const QString weekday = s.mid(stampLength + 1).trimmed();
    const int day = QDate(dt.year, dt.month, dt.day).dayOfWeek();
    if (weekday.compare(QLocale().dayName(day, QLocale::ShortFormat), Qt::CaseInsensitive) != 0 &&
        weekday.compare(QLocale::c().dayName(day, QLocale::ShortFormat), Qt::CaseInsensitive) != 0)
        return false;
    *out = dt;
    return true;
}

} // namespace

bool ExcelAvailable() {
    return true;
}

struct ExcelWorkbook::Impl {
    QString fileName;
    QString error;
    QByteArray package; // the existing package, or empty for a new workbook
    bool opened = false;
    bool date1904 = false;
    QString sheetName;
    std::vector<std::vector<XCell>> rows;
    int nextRow = 1;
    std::vector<int> widths; // characters per column

    bool fail(const QString& e) {
        error = e;
        return false;
    }

    void setCell(int row, int col, XCell cell) {
        if (static_cast<int>(rows.size()) < row) rows.resize(row);
        auto& r = rows[row - 1];
        if (static_cast<int>(r.size()) < col) r.resize(col);
        r[col - 1] = std::move(cell);
    }

    // Rows whose first three cells hold something (after trimming) are never overwritten.
    void skipUsedRows() {
        while (nextRow <= static_cast<int>(rows.size())) {
            const auto& r = rows[nextRow - 1];
            bool blank = true;
            for (size_t c = 0; c < std::min<size_t>(3, r.size()); ++c)
                if (r[c].isSet && (r[c].isNumber || !r[c].text.trimmed().isEmpty())) blank = false;
            if (blank) break;
            ++nextRow;
        }
    }

    // The workbook package with the new sheet (WorkbookPackage.cpp).
    bool build(QByteArray* out) {
        return workbook::BuildPackage(package, sheetName, rows, widths, out, &error);
    }
};

ExcelWorkbook::ExcelWorkbook() : d(std::make_unique<Impl>()) {}
ExcelWorkbook::~ExcelWorkbook() = default;

QString ExcelWorkbook::errorString() const {
    return d->error;
}
QString ExcelWorkbook::sheetName() const {
    return d->sheetName;
}
int ExcelWorkbook::rowCount() const {
    return static_cast<int>(d->rows.size());
}

bool ExcelWorkbook::ExcelOpen(const QString& szFileName, const QString& szSheetName) {
    d->fileName = szFileName;
    QByteArray bytes;
    QFileInfo fi(szFileName);
    if (fi.exists()) {
        if (!fi.isFile()) return d->fail(QString::fromLatin1(kInUseMessage));
        if (fi.size() > kMaxWorkbookBytes)
            return d->fail(QStringLiteral("The workbook is too large to add a sheet to."));
        QFile f(szFileName);
        if (!f.open(QIODevice::ReadOnly)) return d->fail(QString::fromLatin1(kInUseMessage));
        bytes = f.readAll();
        if (bytes.isEmpty() && fi.size() > 0) return d->fail(QString::fromLatin1(kInUseMessage));
    }
    return OpenPackage(bytes, szSheetName);
}

bool ExcelWorkbook::OpenPackage(const QByteArray& package, const QString& szSheetName) {
    const QString fileName = d->fileName;
    d = std::make_unique<Impl>();
    d->fileName = fileName;
    d->package = package;
    QStringList taken;
    if (!package.isEmpty()) {
        const QString notBook =
            QStringLiteral("The file is not a workbook this program can add a sheet to; "
                           "please use other file name and save again!");
        xlsx::Package pkg;
        if (!pkg.open(package)) return d->fail(notBook);
        QByteArray rootRels, wbBytes;
        if (!pkg.read(QStringLiteral("_rels/.rels"), &rootRels)) return d->fail(notBook);
        XmlDoc rels(rootRels);
        QString wbPath;
        for (xmlNodePtr n : Children(rels.root(), "Relationship"))
            if (Attr(n, "Type") == QLatin1String(kRelOfficeDoc))
                wbPath = ResolveTarget(QString(), Attr(n, "Target"));
        if (wbPath.isEmpty() || !pkg.read(wbPath, &wbBytes)) return d->fail(notBook);
        XmlDoc wb(wbBytes);
        if (!Is(wb.root(), "workbook") || !Child(wb.root(), "sheets")) return d->fail(notBook);
        for (xmlNodePtr s : Children(Child(wb.root(), "sheets"), "sheet"))
            taken << Attr(s, "name").toUpper();
        const QString d1904 = Attr(Child(wb.root(), "workbookPr"), "date1904");
        d->date1904 = d1904 == QLatin1String("1") || d1904 == QLatin1String("true");
    }
    // The new sheet's name: sheet names are unique regardless of case, at most 31 characters
    // and without []:*?/\ .
    QString name;
    if (szSheetName.trimmed().isEmpty()) {
        for (int n = static_cast<int>(taken.size()) + 1;; ++n) {
            name = QStringLiteral("Sheet%1").arg(n);
            if (!taken.contains(name.toUpper())) break;
        }
    } else {
        QString base = szSheetName.trimmed();
        for (QChar& c : base)
            if (QStringLiteral("[]:*?/\\").contains(c) || c.unicode() < 0x20) c = QLatin1Char('_');
        base.truncate(31);
        name = base;
        for (int n = 2; taken.contains(name.toUpper()); ++n) {
            const QString suffix = QStringLiteral(" (%1)").arg(n);
            name = base.left(31 - suffix.size()) + suffix;
        }
    }
    d->sheetName = name;
    d->opened = true;
    return true;
}

void ExcelWorkbook::ExcelWriteRow(const QList<QVariant>& values) {
    if (!d->opened) return;
    d->skipUsedRows();
    int col = 1;
    for (const QVariant& v : values) {
        XCell cell;
        const int type = v.typeId();
        if (type == QMetaType::QDateTime || type == QMetaType::QDate || type == QMetaType::QTime) {
            const QDate date = type == QMetaType::QDateTime ? v.toDateTime().date()
                               : type == QMetaType::QDate   ? v.toDate()
                                                            : QDate();
            const QTime time = type == QMetaType::QDateTime ? v.toDateTime().time()
                               : type == QMetaType::QTime   ? v.toTime()
                                                            : QTime();
            cell.isSet = true;
            cell.isNumber = true;
            cell.number = DateSerial(date, time, d->date1904);
            cell.fmt = type == QMetaType::QDate   ? XfDate
                       : type == QMetaType::QTime ? XfTime
                                                  : XfDateTime;
            cell.shownLength = static_cast<int>(strlen(FormatCode(cell.fmt)));
        } else if (!v.isNull()) {
            cell.text = v.toString();
            cell.isSet = !cell.text.isEmpty();
            cell.shownLength = static_cast<int>(cell.text.size());
        }
        if (cell.isSet) d->setCell(d->nextRow, col, std::move(cell));
        ++col;
    }
    if (static_cast<int>(d->rows.size()) < d->nextRow) d->rows.resize(d->nextRow);
    ++d->nextRow;
}

void ExcelWorkbook::ExcelWriteFormattedRow(const QList<std::pair<QString, QString>>& pairs) {
    if (!d->opened) return;
    d->skipUsedRows();
    int col = 1;
    for (const auto& [value, format] : pairs) {
        XCell cell;
        cell.fmt = format == QLatin1String(kXlFmtText)           ? XfText
                   : format == QLatin1String(kXlFmtDate)         ? XfDate
                   : format == QLatin1String(kXlFmtTime)         ? XfTime
                   : format == QLatin1String(kXlFmtDateTime)     ? XfDateTime
                   : format == QLatin1String(kXlFmtDateWeek)     ? XfDateWeek
                   : format == QLatin1String(kXlFmtDateTimeWeek) ? XfDateTimeWeek
                                                                 : XfGeneral;
        FmtDateTime dt;
        const bool week = cell.fmt == XfDateWeek || cell.fmt == XfDateTimeWeek;
        const bool wantDate = cell.fmt == XfDate || cell.fmt == XfTime || cell.fmt == XfDateTime;
        if ((wantDate && ParseRecordDateTime(value, &dt) &&
             value.trimmed().size() == (dt.bHasDate && dt.bHasTime ? 19
                                        : dt.bHasDate              ? 10
                                                                   : 8)) ||
            (week && ParseWeekdayDate(value, cell.fmt == XfDateTimeWeek, &dt))) {
            cell.isNumber = true;
            cell.number = DateSerial(dt.bHasDate ? QDate(dt.year, dt.month, dt.day) : QDate(),
                                     dt.bHasTime ? QTime(dt.hour, dt.minute, dt.second) : QTime(),
                                     d->date1904);
            cell.shownLength = static_cast<int>(strlen(FormatCode(cell.fmt)));
            cell.isSet = true;
        } else {
            cell.text = value;
            cell.isSet = !value.isEmpty();
            cell.shownLength = static_cast<int>(value.size());
        }
        if (cell.isSet) d->setCell(d->nextRow, col, std::move(cell));
        ++col;
    }
    if (static_cast<int>(d->rows.size()) < d->nextRow) d->rows.resize(d->nextRow);
    ++d->nextRow;
}

void ExcelWorkbook::ExcelFinish() {
    d->widths.clear();
    for (const auto& r : d->rows) {
        if (d->widths.size() < r.size()) d->widths.resize(r.size(), 0);
        for (size_t c = 0; c < r.size(); ++c)
            if (r[c].isSet) d->widths[c] = std::max(d->widths[c], r[c].shownLength);
    }
}

void ExcelWorkbook::ExcelClose() {
    const QString fileName = d->fileName;
    d = std::make_unique<Impl>();
    d->fileName = fileName;
}

bool ExcelWorkbook::WritePackage(QIODevice& out) {
    if (!d->opened) return d->fail(QStringLiteral("No workbook is open."));
    QByteArray bytes;
    if (!d->build(&bytes)) return false;
    if (out.write(bytes) != bytes.size())
        return d->fail(QStringLiteral("The file could not be written (%1); it was left as it was "
                                      "before the save.")
                           .arg(out.errorString()));
    return true;
}

bool ExcelWorkbook::ExcelSave(const QString& szFileName,
                              const std::function<std::unique_ptr<QIODevice>(QIODevice*)>& wrap) {
    const QString name = szFileName.isEmpty() ? d->fileName : szFileName;
    if (!d->opened) return d->fail(QStringLiteral("No workbook is open."));
    QByteArray bytes;
    if (!d->build(&bytes)) return false;
    // The workbook goes to a temporary file beside the target and replaces it only once
    // complete, so a failure leaves the user's file as it was.
    QSaveFile file(name);
    if (!file.open(QIODevice::WriteOnly)) return d->fail(QString::fromLatin1(kInUseMessage));
    std::unique_ptr<QIODevice> wrapped = wrap ? wrap(&file) : nullptr;
    if (wrapped && !wrapped->isOpen()) wrapped->open(QIODevice::WriteOnly);
    QIODevice* dev = wrapped ? wrapped.get() : static_cast<QIODevice*>(&file);
    // Written in pieces so that a short write shows up as soon as it happens.
    constexpr qsizetype kChunk = 64 * 1024;
    for (qsizetype at = 0; at < bytes.size(); at += kChunk) {
        const qsizetype n = std::min(kChunk, bytes.size() - at);
        if (dev->write(bytes.constData() + at, n) != n) {
            const QString reason = dev->errorString();
            file.cancelWriting();
            return d->fail(QStringLiteral("The file could not be written (%1); it was left as it "
                                          "was before the save.")
                               .arg(reason));
        }
    }
    wrapped.reset();
    if (!file.commit())
        return d->fail(QStringLiteral("The file could not be written (%1); it was left as it was "
                                      "before the save.")
                           .arg(file.errorString()));
    return true;
}

} // namespace pelmar
