// modExcel: writes record rows into an Office Open XML workbook (.xlsx). A new workbook is made
// when the file does not exist; an existing one gains one new worksheet and keeps every other
// part of its package (sheets, styles, formulas, shared strings) as it was.
#pragma once
#include <QByteArray>
#include <QDateTime>
#include <QIODevice>
#include <QList>
#include <QString>
#include <QVariant>
#include <functional>
#include <memory>
#include <utility>

namespace pelmar {

// The number formats the record writer hands over with each value.
inline constexpr const char* kXlFmtText = "@";
inline constexpr const char* kXlFmtDate = "YYYY/MM/DD";
inline constexpr const char* kXlFmtTime = "hh:mm:ss";
inline constexpr const char* kXlFmtDateTime = "YYYY/MM/DD hh:mm:ss";
// With "Week" on: the date shows the weekday after it (in the spreadsheet's language).
inline constexpr const char* kXlFmtDateWeek = "YYYY/MM/DD ddd";
inline constexpr const char* kXlFmtDateTimeWeek = "YYYY/MM/DD hh:mm:ss ddd";

// Always true: the workbook writer is part of the program.
bool ExcelAvailable();

class ExcelWorkbook {
public:
    ExcelWorkbook();
    ~ExcelWorkbook();
    ExcelWorkbook(const ExcelWorkbook&) = delete;
    ExcelWorkbook& operator=(const ExcelWorkbook&) = delete;

    // Reads the workbook file when it exists (a new one otherwise) and adds a worksheet named
    // sheetName (empty: the first free "SheetN"; a taken name gets " (2)", " (3)" ...).
    // False, with errorString(), when the file exists but is not a workbook that can be read.
    bool ExcelOpen(const QString& szFileName, const QString& szSheetName = QString());
    // The same from package bytes in memory (empty: a new workbook).
    bool OpenPackage(const QByteArray& package, const QString& szSheetName = QString());

    // One row of plain values: a QString is written as text, a QDate/QTime/QDateTime as a date.
    // Rows whose first three cells are not blank are skipped first.
    void ExcelWriteRow(const QList<QVariant>& values);
    // One row of (value, number format) pairs. Values under a date or time format that read
    // as "YYYY/MM/DD", "hh:mm:ss" or "YYYY/MM/DD hh:mm:ss" are stored as date serials, and so
    // are values under a weekday format that read as such a date followed by the date's own
    // weekday ("2026/12/08 17:04:59 Tue"); any other value as text.
    void ExcelWriteFormattedRow(const QList<std::pair<QString, QString>>& pairs);
    // Fits the sheet's column widths to their contents.
    void ExcelFinish();
    // Writes the workbook to a temporary file beside szFileName (empty: the opened name) and
    // moves it into place only when complete. wrap, when set, sits between the writer and the
    // temporary file (a test seam).
    bool ExcelSave(const QString& szFileName = QString(),
                   const std::function<std::unique_ptr<QIODevice>(QIODevice*)>& wrap = {});
    // The whole package as bytes (for the stream writer and the tests).
    bool WritePackage(QIODevice& out);
    // Forgets the workbook.
    void ExcelClose();

    QString errorString() const;
    QString sheetName() const;
    int rowCount() const; // rows used on the new sheet

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace pelmar
