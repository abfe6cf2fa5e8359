#include "pelmar/RecordTableModel.h"

#include "pelmar/NumberConvert.h"
#include "pelmar/RecordDecode.h"

#include <QFontMetrics>
#include <QLocale>
#include <algorithm>

namespace pelmar {
namespace {

struct ModeEntry {
    const char* text;
    int track;
    bool inDec;
};
constexpr ModeEntry kModes[kDisplayModeCount] = {
    {"None", 0, true},        {"TK1 in Hex", 1, false}, {"TK1 in Dec", 1, true},
    {"TK2 in Dec", 2, true},  {"TK3 in Dec", 3, true},  {"JIS2 in Hex", 4, false},
    {"JIS2 in Dec", 4, true},
};

bool IsDecimalDigits(const QString& s) {
    if (s.isEmpty()) return false;
    return std::all_of(s.begin(), s.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

QString Framed(int track, const QString& id) {
    switch (track) {
    case 1:
        return u'%' + id + u'?';
    case 2:
        return u';' + id + u'?';
    case 3:
        return u'+' + id + u'?';
    default:
        return QChar(0x7F) + id + QChar(0x7F);
    }
}

// Header id of the card ID column for an entry: by the entry's first word.
int CardIdHeaderFor(int entry) {
    if (entry < 0 || entry >= kDisplayModeCount) return kIdCardId;
    const QString word = QString::fromLatin1(kModes[entry].text).section(u' ', 0, 0).toUpper();
    if (word == u"TK1") return kIdTrack1;
    if (word == u"TK2") return kIdTrack2;
    if (word == u"TK3") return kIdTrack3;
    if (word == u"JIS2") return kIdJis2;
    return kIdCardId;
}

const char* HeaderFallback(int id) {
    switch (id) {
    case kIdNo:
        return "No";
    case kIdCardId:
        return "Card ID";
    case kIdCardType:
        return "Card Type";
    case kIdEvent:
        return "Event";
    case kIdDate:
        return "Date";
    case kIdTrack1:
        return "Track1";
    case kIdTrack2:
        return "Track2";
    case kIdTrack3:
        return "Track3";
    case kIdJis2:
        return "JIS2";
    default:
        return "";
    }
}

} // namespace

RecordFields SplitRecordFields(const QString& szRecord) {
    const QString text = szRecord + QChar(0x05);
    std::array<QString, 4> fields;
    for (int k = 1; k <= 4; ++k) {
        const qsizetype start = text.indexOf(QChar(k));
        if (start < 0) continue;
        qsizetype end = -1;
        for (int next = k + 1; next <= 5 && end < 0; ++next)
            end = text.indexOf(QChar(next), start + 1);
        fields[static_cast<size_t>(k - 1)] = text.mid(start + 1, end - start - 1);
    }
    QString& dateTime = fields[3];
    const qsizetype lastBlank = dateTime.lastIndexOf(u' ');
    if (lastBlank + 1 > 19) dateTime.truncate(lastBlank);
    return RecordFields{fields[0], fields[1], fields[2], dateTime};
}

const QStringList& DisplayModeTexts() {
    static const QStringList texts = [] {
        QStringList l;
        for (const ModeEntry& m : kModes)
            l << QString::fromLatin1(m.text);
        return l;
    }();
    return texts;
}

int DisplayModeTrack(int entry) {
    return (entry >= 0 && entry < kDisplayModeCount) ? kModes[entry].track : 0;
}

bool DisplayModeInDec(int entry) {
    return (entry >= 0 && entry < kDisplayModeCount) ? kModes[entry].inDec : false;
}

int DisplayModeFromText(const QString& text) {
    const QStringList& texts = DisplayModeTexts();
    for (int i = 0; i < texts.size(); ++i)
        if (texts[i].compare(text.trimmed(), Qt::CaseInsensitive) == 0) return i;
    return -1;
}

int DisplayModeContaining(const QString& saved) {
    const QStringList& texts = DisplayModeTexts();
    for (int i = 0; i < texts.size(); ++i)
        if (texts[i].contains(saved, Qt::CaseInsensitive)) return i;
    return 0;
}

int DisplayModeFromStored(const QString& saved,
                          const std::function<QStringList(int entry)>& translations) {
    const QString s = saved.trimmed();
    const int english = DisplayModeFromText(s);
    if (english >= 0) return english;
    std::vector<QStringList> translated(kDisplayModeCount);
    if (translations)
        for (int i = 0; i < kDisplayModeCount; ++i)
            translated[static_cast<size_t>(i)] = translations(i);
    for (int i = 0; i < kDisplayModeCount; ++i)
        for (const QString& t : translated[static_cast<size_t>(i)])
            if (t.trimmed().compare(s, Qt::CaseInsensitive) == 0) return i;
    const QStringList& texts = DisplayModeTexts();
    for (int i = 0; i < texts.size(); ++i)
        if (texts[i].contains(saved, Qt::CaseInsensitive)) return i;
    for (int i = 0; i < kDisplayModeCount; ++i)
        for (const QString& t : translated[static_cast<size_t>(i)])
            if (t.contains(saved, Qt::CaseInsensitive)) return i;
    return 0;
}

QString DisplayModeStoredText(int entry) {
    const QStringList& texts = DisplayModeTexts();
    return (entry >= 0 && entry < texts.size()) ? texts[entry] : texts[0];
}

RecordTableModel::RecordTableModel(QObject* parent) : QAbstractTableModel(parent) {
    const QLocale locale;
    for (int i = 0; i < 7; ++i) // Qt counts Monday as 1 and Sunday as 7
        m_weekdays[static_cast<size_t>(i)] = locale.dayName(i == 0 ? 7 : i, QLocale::ShortFormat);
}

int RecordTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int RecordTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QVariant RecordTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(m_rows.size()) ||
        index.column() >= kColumns)
        return QVariant();
    const Row& row = m_rows[static_cast<size_t>(index.row())];
    if (role == Qt::DisplayRole) return row.cells[static_cast<size_t>(index.column())];
    if (role == RecordTextRole) return row.record;
    return QVariant();
}

QVariant RecordTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < kColumns)
        return HeaderText(section);
    return QAbstractTableModel::headerData(section, orientation, role);
}

void RecordTableModel::AddRecord(const QString& szRecord) {
    m_records.append(szRecord);
    m_numbers.append(static_cast<long>(m_records.size()));
}

long RecordTableModel::RowNumber(int row) const {
    return row >= 0 && row < m_numbers.size() ? m_numbers[row] : long(row) + 1;
}

void RecordTableModel::ClearRecords() {
    beginResetModel();
    m_records.clear();
    m_numbers.clear();
    m_rows.clear();
    m_blnConvertError = false;
    endResetModel();
}

bool RecordTableModel::ShowRecord(long lRecordNo, const QString& szRecord) {
    const int r = static_cast<int>(m_rows.size());
    beginInsertRows(QModelIndex(), r, r);
    m_rows.push_back(BuildRow(lRecordNo > 0 ? int(lRecordNo) : r + 1, szRecord));
    endInsertRows();
    return true;
}

void RecordTableModel::AppendRecord(const QString& szRecord, long lRecordNo) {
    AddRecord(szRecord);
    if (lRecordNo > 0) m_numbers.back() = lRecordNo;
    ShowRecord(m_numbers.back(), szRecord);
}

RecordTableModel::Row RecordTableModel::BuildRow(int number, const QString& szRecord) {
    Row row;
    row.record = szRecord;
    const RecordFields f = SplitRecordFields(szRecord);
    const QString& body = f.body;

    QString weekday;
    if (!body.isEmpty()) {
        const QChar c = body[0];
        const int w = (c >= u'0' && c <= u'9') ? c.unicode() - u'0' + 1 : 0;
        weekday =
            (w >= 1 && w <= 7) ? m_weekdays[static_cast<size_t>(w - 1)] : QStringLiteral("Error");
    }
    const QString cardType = body.size() >= 2 ? CardTypeText(body[1]) : QString();
    const QString event = body.size() >= 3 ? QString(body[2]) : QString();
    const QString id = body.mid(3);

    QString idCell;
    if (m_iTrack == 0) {
        switch (m_options.ConvertIDMethod()) {
        case clsSaveOptions::ConvertNone:
            idCell = id;
            break;
        case clsSaveOptions::ConvertHexToDec:
            if (IsDecimalDigits(id)) {
                idCell = id;
                m_blnConvertError = true;
            } else {
                idCell = HexToDec(id);
            }
            break;
        case clsSaveOptions::ConvertDecToHex:
            if (!IsDecimalDigits(id)) {
                idCell = id;
                m_blnConvertError = true;
            } else {
                idCell = DecToHex(id);
            }
            break;
        default:
            break;
        }
    } else {
        idCell = Framed(m_iTrack, (m_blnTrackInDec && !m_blnTrackDecimal) ? HexToDec(id) : id);
    }

    QString eventCell = event;
    if (event.size() == 1 && event[0] >= u'0' && event[0] <= u'9') {
        const int e = event[0].unicode() - u'0';
        if (m_options.EventEnableds(e)) eventCell = m_options.EventNames(e);
    }

    row.cells[ColNo] = QString::number(number);
    row.cells[ColCardId] = idCell;
    row.cells[ColCardType] = cardType;
    row.cells[ColEvent] = eventCell;
    row.cells[ColDateWeek] = weekday.isEmpty() ? f.dateTime : f.dateTime + u' ' + weekday;
    row.cells[ColDate] = f.dateTime;
    return row;
}

QString RecordTableModel::Cell(int row, int column) const {
    if (row < 0 || row >= static_cast<int>(m_rows.size()) || column < 0 || column >= kColumns)
        return QString();
    return m_rows[static_cast<size_t>(row)].cells[static_cast<size_t>(column)];
}

QString RecordTableModel::RowRecord(int row) const {
    if (row < 0 || row >= static_cast<int>(m_rows.size())) return QString();
    return m_rows[static_cast<size_t>(row)].record;
}

bool RecordTableModel::SetDisplayMode(int entry) {
    m_mode = (entry >= 0 && entry < kDisplayModeCount) ? entry : 0;
    m_cardIdHeaderId = CardIdHeaderFor(entry);
    m_iTrack = DisplayModeTrack(entry);
    m_blnTrackInDec = entry < 0 || entry >= kDisplayModeCount || DisplayModeInDec(entry);
    emit headerDataChanged(Qt::Horizontal, ColCardId, ColCardId);
    return Rebuild();
}

bool RecordTableModel::Rebuild() {
    beginResetModel();
    m_blnConvertError = false;
    m_rows.clear();
    m_rows.reserve(static_cast<size_t>(m_records.size()));
    for (qsizetype i = 0; i < m_records.size(); ++i)
        m_rows.push_back(BuildRow(int(RowNumber(int(i))), m_records[i]));
    endResetModel();
    return m_blnConvertError;
}

void RecordTableModel::SetFieldOption(int index, bool ticked) {
    if (index >= 0 && index < 3) m_fields[static_cast<size_t>(index)] = ticked;
}

bool RecordTableModel::FieldOption(int index) const {
    return index >= 0 && index < 3 && m_fields[static_cast<size_t>(index)];
}

bool RecordTableModel::IsColumnShown(int column) const {
    const bool none = m_iTrack == 0;
    switch (column) {
    case ColNo:
    case ColCardId:
        return true;
    case ColCardType:
        return none && m_fields[FieldCardType];
    case ColEvent:
        return none && m_fields[FieldEvent];
    case ColDateWeek:
        return none && m_fields[FieldWeek];
    case ColDate:
        return !(none && m_fields[FieldWeek]);
    default:
        return false;
    }
}

std::array<int, RecordTableModel::kColumns>
RecordTableModel::ColumnWidths(const QFontMetrics& fm, const QDateTime& now) const {
    std::array<int, kColumns> w{};
    w[ColNo] = fm.horizontalAdvance(QString(5, u'W'));
    w[ColCardId] = fm.horizontalAdvance(QString(18, u'W'));
    const int w8 = fm.horizontalAdvance(QStringLiteral("8"));
    int widestEvent = w8;
    for (int i = 0; i < clsSaveOptions::kEventCount; ++i)
        widestEvent = std::max(widestEvent, fm.horizontalAdvance(m_options.EventNames(i)));
    widestEvent += w8;
    if (IsColumnShown(ColCardType))
        w[ColCardType] = fm.horizontalAdvance(u'[' + HeaderText(ColCardType) + u']');
    if (IsColumnShown(ColEvent))
        w[ColEvent] =
            std::max(fm.horizontalAdvance(u'[' + HeaderText(ColEvent) + u']'), widestEvent);
    const QString stamp = now.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss"));
    if (IsColumnShown(ColDateWeek))
        w[ColDateWeek] = fm.horizontalAdvance(stamp + u' ' + m_weekdays[0] + QStringLiteral("W]"));
    else
        w[ColDate] = fm.horizontalAdvance(stamp + QStringLiteral("W]"));
    return w;
}

int RecordTableModel::ConvertErrorMessageId() const {
    if (!m_blnConvertError) return 0;
    switch (m_options.ConvertIDMethod()) {
    case clsSaveOptions::ConvertHexToDec:
        return kIdCantHexToDec;
    case clsSaveOptions::ConvertDecToHex:
        return kIdCantDecToHex;
    default:
        return 0;
    }
}

QString RecordTableModel::ConvertErrorMessage() const {
    switch (ConvertErrorMessageId()) {
    case kIdCantHexToDec:
        return Text(kIdCantHexToDec, "Can't convert HEX ID to DEC ID");
    case kIdCantDecToHex:
        return Text(kIdCantDecToHex, "Can't convert DEC ID to HEX ID");
    default:
        return QString();
    }
}

QString RecordTableModel::TableTag() const {
    return QStringLiteral("lng:{TTMx(0,0)=11000,TTMx(0,1)=") + QString::number(m_cardIdHeaderId) +
           QStringLiteral(",TTMx(0,2)=11002,TTMx(0,3)=11003,TTMx(0,4)=11004,TTMx(0,5)=11004}");
}

void RecordTableModel::SetTextSource(TextSource source) {
    m_text = std::move(source);
    emit headerDataChanged(Qt::Horizontal, 0, kColumns - 1);
}

QString RecordTableModel::HeaderText(int column) const {
    static constexpr int kIds[kColumns] = {kIdNo,    kIdCardId, kIdCardType,
                                           kIdEvent, kIdDate,   kIdDate};
    if (column < 0 || column >= kColumns) return QString();
    const int id = column == ColCardId ? m_cardIdHeaderId : kIds[column];
    return Text(id, HeaderFallback(id));
}

QString RecordTableModel::Text(int id, const char* fallback) const {
    const QString english = QString::fromLatin1(fallback);
    return m_text ? m_text(id, english) : english;
}

} // namespace pelmar
