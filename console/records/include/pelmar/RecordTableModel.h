// The record store and the record table: every downloaded record text, and one row of six
// cells per record built under the chosen display mode, field options and save options.
// The windows show it in a table view; the file writers and the command line read cells.
#pragma once
#include "pelmar/SaveOptions.h"

#include <QAbstractTableModel>
#include <QDateTime>
#include <QStringList>
#include <array>
#include <functional>
#include <vector>

class QFontMetrics;

namespace pelmar {

// The fields of a normalised record text: each starts after its control character 0x01 to
// 0x04 and ends at the next control character with a higher code.
struct RecordFields {
    QString body;     // field 1: weekday, card type, event, card ID
    QString field2;   // not produced by downloads
    QString field3;   // not produced by downloads
    QString dateTime; // field 4, cut before a trailing blank beyond 19 characters
};
RecordFields SplitRecordFields(const QString& szRecord);

// Display modes of the card ID ("Magnetic Compatible"), entries 0 to 6.
constexpr int kDisplayModeCount = 7;
// "None", "TK1 in Hex", "TK1 in Dec", "TK2 in Dec", "TK3 in Dec", "JIS2 in Hex", "JIS2 in Dec".
const QStringList& DisplayModeTexts();
// Track of an entry: 0 none, 1-3 magnetic tracks, 4 JIS2; 0 for an unknown entry.
int DisplayModeTrack(int entry);
// True for the entries that show the ID in decimal (0, 2, 3, 4, 6).
bool DisplayModeInDec(int entry);
// Entry whose text equals text (case ignored), or -1.
int DisplayModeFromText(const QString& text);
// First entry whose text contains saved (case ignored), or 0 when none does; this is how a
// stored mode is restored.
int DisplayModeContaining(const QString& saved);
// The entry a stored "General/MagneticCompatible" names. The store holds the English text
// ("TK2 in Dec"), which does not change with the language; older stores hold the list text
// of the language shown then ("SP2 dezimal"). Tried in turn: the English text exactly, the
// translations of any installed language (`translations(entry)`) exactly, then the first
// English text containing `saved`, then the first translation containing it; 0 when nothing
// matches. Case is ignored throughout.
int DisplayModeFromStored(const QString& saved,
                          const std::function<QStringList(int entry)>& translations);
// What is stored for an entry: its English text.
QString DisplayModeStoredText(int entry);

// Text ids and English texts of the table's headers and messages.
enum TextId {
    kIdNo = 11000,
    kIdCardId = 11001,
    kIdCardType = 11002,
    kIdEvent = 11003,
    kIdDate = 11004,
    kIdTrack1 = 11005,
    kIdTrack2 = 11006,
    kIdTrack3 = 11007,
    kIdJis2 = 11008,
    kIdCantHexToDec = 13524,
    kIdCantDecToHex = 13525,
};

class RecordTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { ColNo = 0, ColCardId, ColCardType, ColEvent, ColDateWeek, ColDate, kColumns };
    enum FieldOption { FieldCardType = 0, FieldEvent = 1, FieldWeek = 2 };
    // Looks up a text by id with its English fallback (the language layer's LangString).
    using TextSource = std::function<QString(int id, const QString& fallback)>;
    // Qt::UserRole on any cell gives the row's normalised record text.
    static constexpr int RecordTextRole = Qt::UserRole;

    explicit RecordTableModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // --- record store -------------------------------------------------------------------
    // Keeps the text; the store has no limit, so every record the reader sends is kept.
    void AddRecord(const QString& szRecord);
    // Empties the store and the table and clears the conversion error.
    void ClearRecords();
    // Appends one table row for a record text. lRecordNo is the reader's record number shown
    // in the "No" column (0 or less: the row's position). Always true.
    bool ShowRecord(long lRecordNo, const QString& szRecord);
    // AddRecord and ShowRecord in one (what the download does for each record). A record
    // the reader numbered keeps its number, so that a record skipped as unreadable leaves a
    // gap in the "No" column instead of renumbering the rows after it.
    void AppendRecord(const QString& szRecord, long lRecordNo = 0);
    // The "No" of row `row` (the reader's number, or the position when it had none).
    long RowNumber(int row) const;
    qsizetype RecordCount() const { return m_records.size(); }
    const QStringList& Records() const { return m_records; }

    // --- rows ---------------------------------------------------------------------------
    // Cell text of table row `row` (0 = first record) and column; empty when out of range.
    QString Cell(int row, int column) const;
    // The row's record text (what the row was built from).
    QString RowRecord(int row) const;

    // --- display ------------------------------------------------------------------------
    // Chooses a display mode entry (0-6; others count as "None" with track 0) and rebuilds
    // every row from the store. Returns ConvertError() afterwards.
    bool SetDisplayMode(int entry);
    int DisplayMode() const { return m_mode; }
    int Track() const { return m_iTrack; }
    // Rebuilds the table from the store under the current settings (after the save
    // options changed). Returns ConvertError().
    bool Rebuild();

    // Field options "Card Type", "Event", "Week"; they take effect only in mode "None".
    void SetFieldOption(int index, bool ticked);
    bool FieldOption(int index) const;
    bool FieldOptionsEnabled() const { return m_iTrack == 0; }
    // Whether a column is shown (non-zero width) under the current mode and options.
    bool IsColumnShown(int column) const;
    // Column widths measured with the table's font; 0 hides a column. now gives the
    // sample date and time.
    std::array<int, kColumns> ColumnWidths(const QFontMetrics& fm, const QDateTime& now) const;

    // The save options' ID conversion and event names used for new rows.
    void SetSaveOptions(const clsSaveOptions& options) { m_options = options; }
    const clsSaveOptions& SaveOptions() const { return m_options; }
    // The reader sends track IDs already in decimal (firmware KRN-A0101).
    void SetTrackDecimal(bool b) { m_blnTrackDecimal = b; }

    // An ID could not take the save options' conversion since the last clear or rebuild.
    bool ConvertError() const { return m_blnConvertError; }
    // Id and text of the message for ConvertError() (13524 or 13525); 0 / empty when none.
    int ConvertErrorMessageId() const;
    QString ConvertErrorMessage() const;

    // Header id of the card ID column under the current mode (11001, 11005-11008).
    int CardIdHeaderId() const { return m_cardIdHeaderId; }
    // Language tag of the table: "lng:{TTMx(0,0)=11000,TTMx(0,1)=<id>,...}".
    QString TableTag() const;
    void SetTextSource(TextSource source);
    // Header texts of the six columns through the text source.
    QString HeaderText(int column) const;

private:
    struct Row {
        std::array<QString, kColumns> cells;
        QString record;
    };
    Row BuildRow(int number, const QString& szRecord);
    QString Text(int id, const char* fallback) const;

    QStringList m_records;
    QList<long> m_numbers; // the reader's record number of each stored record
    std::vector<Row> m_rows;
    clsSaveOptions m_options;
    TextSource m_text;
    std::array<bool, 3> m_fields{true, true, true};
    std::array<QString, 7> m_weekdays; // abbreviated names, Sunday first
    int m_mode = 0;
    int m_iTrack = 0;
    bool m_blnTrackInDec = true;
    bool m_blnTrackDecimal = false;
    bool m_blnConvertError = false;
    int m_cardIdHeaderId = kIdCardId;
};

} // namespace pelmar
