// SaveRecords: writes the rows of the record table to a text, CSV, ISO track or workbook file,
// chosen by the file name's extension. Text files are appended to; an ISO file keeps its one
// header and gains the new track records; a workbook gains a new worksheet.
#pragma once
#include <QByteArray>
#include <QIODevice>
#include <QList>
#include <QString>
#include <QStringList>
#include <array>
#include <functional>
#include <memory>
#include <pelmar/RecordTableModel.h>

namespace pelmar {

class FmtData;

// The record table's columns, as the window's table names them: ColNo, ColCardId,
// ColCardType, ColEvent, ColDateWeek (date-time and weekday), ColDate (date-time).
using RecordColumn = RecordTableModel::Column;
inline constexpr int kRecordColumns = RecordTableModel::kColumns;

// The record table as the window shows it at the moment of saving.
struct RecordTable {
    // Display mode: 0 "NONE", 1..3 the magnetic track, 4 JIS2 (the track-4 mode).
    int iTrack = 0;
    // Whether each column is shown, i.e. has a width of at least 1 (indexed by RecordColumn).
    std::array<bool, kRecordColumns> shown{true, true, false, false, false, true};
    // One entry per record row (table row 1 onwards), each with the six cell texts.
    QList<QStringList> rows;

    bool IsShown(RecordColumn c) const { return shown[static_cast<size_t>(c)]; }
    void SetShown(RecordColumn c, bool on) { shown[static_cast<size_t>(c)] = on; }
    // Shows exactly the given columns.
    void Show(const QList<RecordColumn>& columns) {
        shown.fill(false);
        for (RecordColumn c : columns)
            SetShown(c, true);
    }
    // The text of a column in table row r (1-based); empty past the row's end.
    QString Cell(int r, RecordColumn c) const {
        const QStringList& row = rows[r - 1];
        return c < row.size() ? row[c] : QString();
    }
};

// What the writers read of the save options (clsSaveOptions keeps and stores them).
struct ExportOptions {
    bool IsAddMachineID = false;
    bool IsAddUserName = false;
    bool IsSDTInTwoFields = false;
    QString SaveFormat = QStringLiteral("(Default)"); // section of "Format.ini"; empty: none
    QString szFormatFile; // path of "Format.ini"; empty: FormatFilePath()
};

// The window's side of a save: reader look-ups, progress, the Stop button.
struct SaveHooks {
    // Each asks the reader once; a failed attempt is repeated once. Unset means "no reader":
    // the text stays empty.
    std::function<bool(QString*)> fetchMachineID;
    std::function<bool(QString*)> fetchUserName;
    // Called after every row (row = 1 .. rowCount) and with (0, rowCount) at the end.
    std::function<void(int row, int rowCount)> progress;
    // The window's blnStop2: the loop stops when it is cleared (Stop); a failed save clears it.
    bool* blnStop2 = nullptr;
    // Test seam: every byte of the output goes through the returned device, which writes
    // through to `inner` (for example a device that fails after N writes).
    std::function<std::unique_ptr<QIODevice>(QIODevice* inner)> wrapDevice;
    // The text of the in-use message (language string 13522); empty: the English text.
    QString szInUseMessage;
};

struct SaveResult {
    bool bOk = false;        // everything (up to a Stop) was written
    bool blnStopped = false; // Stop cleared blnStop2 before the last row
    QString szFileName;      // the name written (a ".xls" name gets its "x")
    QString szError;         // the message for the user when bOk is false
    QString szDetail;        // the system's reason, when there is one
    int iRowsWritten = 0;
};

enum class FileKind { Text, Csv, Iso, Workbook };

inline constexpr int kInUseMessageId = 13522;
inline constexpr const char* kInUseMessage =
    "The file is in use, please close it or use other file name and save again!";

// The kind of a file name: ".TXT", ".CSV", ".ISO", ".XLS"/".XLSX" (any letter case); anything
// else is written as text.
FileKind FileKindOf(const QString& szFileName);
// The name a workbook is written under: "name.xls" becomes "name.xlsx"; others unchanged.
QString WorkbookFileName(const QString& szFileName);

// The program data folder ($LORVANE_HOME, else <executable dir>/../share/lorvane) and the
// "Format.ini" in it.
QString ProgramDataDir();
QString FormatFilePath();
// The template of the named output format, or the default template when the file, the
// section or its "Format" key is missing.
QString ReadFormatTemplate(const QString& szFormatFile, const QString& szSection);
// The named output formats of a format file in file order (empty names and "GENERAL" left out).
QStringList ReadFormatNames(const QString& szFormatFile);

// The save dialog's filter: magnetic modes offer ISO; the workbook entry when available.
QString SaveDialogFilter(bool bMagneticMode, bool bWorkbookAvailable = true);

// Writes the whole table to a file (see the header comment). Never throws.
SaveResult SaveRecords(const QString& szFileName, const RecordTable& table,
                       const ExportOptions& options, const SaveHooks& hooks = {});

// The reader texts and parsed template of one save, as SaveRecords prepares them.
struct SaveTexts {
    QString szMachineID;
    QString szUserName;
    const FmtData* pFormat = nullptr; // a valid template in use, or null
};

// What one field of a saved "NONE"-mode row holds.
enum class RowField { MachineID, CardID, CardType, Event, DateTime, Date, Time, UserName };

struct RowFieldValue {
    RowField field;
    QString text;
    bool weekday = false; // a DateTime or Date field that ends in the weekday ("Week" on)
    bool operator==(const RowFieldValue&) const = default;
};

// The fields of table row r (1-based) of a "NONE"-mode table as the text, CSV and workbook
// writers save them, in file order: the machine ID (IsAddMachineID), the card ID, the card
// type and the event (when shown), for each shown date column its date-time, or its date and
// time with IsSDTInTwoFields (the weekday going with the date), and the user name
// (IsAddUserName). The card ID is listed also when its column is hidden; the CSV and workbook
// writers leave such a row empty.
QList<RowFieldValue> RowFields(const RecordTable& table, int r, const ExportOptions& options,
                               const SaveTexts& texts);

// The bytes of one table row in the given kind of text file (every line ends in CR LF).
// Row r is 1-based. Not for workbooks.
QByteArray RecordRowBytes(FileKind kind, const RecordTable& table, int r,
                          const ExportOptions& options, const SaveTexts& texts);
// The header lines of an ISO track file up to and including "[DATA]".
QByteArray IsoHeaderBytes(bool bTrack4);

// Splits a table date-time text into its date and time fields; false (Date = whole text,
// Time empty) when it holds no blank.
bool SplitDateTime(const QString& szDateTime, QString* szDate, QString* szTime);

} // namespace pelmar
