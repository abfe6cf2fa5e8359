// The record store and the rows of the record table: field split, weekday, card type,
// event names, every display mode and ID conversion, headers, column visibility.
#include "pelmar/RecordTableModel.h"

#include "pelmar/RecordDecode.h"

#include <QFont>
#include <QFontMetrics>
#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace pelmar;
using Col = RecordTableModel::Column;

namespace {

const QChar kDel(0x7F);

// A normalised record as the download makes it.
QString Record(const QString& body, const QString& dateTime = "2026/12/07 08:30:05") {
    return QStringLiteral("A0000,") + QChar(0x01) + body + QChar(0x04) + dateTime;
}

QStringList RowCells(const RecordTableModel& m, int row) {
    QStringList cells;
    for (int c = 0; c < RecordTableModel::kColumns; ++c)
        cells << m.Cell(row, c);
    return cells;
}

TEST(RecordRow, DownloadedRecordBecomesItsRow) {
    QString text;
    ASSERT_TRUE(
        DecodeKt9Record(QStringLiteral("A20261207083005 1250012345678"), 255, text, nullptr, 2026));
    RecordTableModel m;
    m.AppendRecord(text);
    ASSERT_EQ(m.rowCount(), 1);
    EXPECT_EQ(RowCells(m, 0), (QStringList{"1", "0012345678", "4K", "5", "2026/12/07 08:30:05 Mon",
                                           "2026/12/07 08:30:05"}));
    EXPECT_EQ(m.data(m.index(0, Col::ColCardId)).toString(), QStringLiteral("0012345678"));
    EXPECT_EQ(m.data(m.index(0, Col::ColDate), RecordTableModel::RecordTextRole).toString(), text);
    EXPECT_EQ(m.RowRecord(0), text);
}

TEST(RecordRow, NumbersRowsFromOne) {
    RecordTableModel m;
    for (int i = 0; i < 3; ++i)
        m.AppendRecord(Record("1250012345678"));
    EXPECT_EQ(m.Cell(0, Col::ColNo), QStringLiteral("1"));
    EXPECT_EQ(m.Cell(2, Col::ColNo), QStringLiteral("3"));
}

TEST(RecordRow, AReaderNumberedRecordKeepsItsNumberAfterASkippedOne) {
    // Record 3 stayed unreadable: the rows are 1, 2, 4, 5, also after a rebuild.
    RecordTableModel m;
    for (long n : {1, 2, 4, 5})
        m.AppendRecord(Record("1250012345678"), n);
    QStringList numbers;
    for (int r = 0; r < m.rowCount(); ++r)
        numbers << m.Cell(r, Col::ColNo);
    EXPECT_EQ(numbers, QStringList({"1", "2", "4", "5"}));
    m.SetDisplayMode(2);
    EXPECT_EQ(m.Cell(2, Col::ColNo), QStringLiteral("4"));
    EXPECT_EQ(m.RowNumber(3), 5);
    m.ClearRecords();
    m.AppendRecord(Record("1250012345678"));
    EXPECT_EQ(m.Cell(0, Col::ColNo), QStringLiteral("1")) << "no number: the row's position";
}

struct WeekdayCase {
    const char* name;
    QString body;
    QString weekCell;
};
class Weekday : public ::testing::TestWithParam<WeekdayCase> {};
TEST_P(Weekday, FollowsTheDateInTheWeekColumn) {
    RecordTableModel m;
    m.AppendRecord(Record(GetParam().body));
    EXPECT_EQ(m.Cell(0, Col::ColDateWeek), GetParam().weekCell);
    EXPECT_EQ(m.Cell(0, Col::ColDate), QStringLiteral("2026/12/07 08:30:05"));
}
const WeekdayCase kWeekdays[] = {
    {"Sunday", "0250001", "2026/12/07 08:30:05 Sun"},
    {"Monday", "1250001", "2026/12/07 08:30:05 Mon"},
    {"Tuesday", "2250001", "2026/12/07 08:30:05 Tue"},
    {"Wednesday", "3250001", "2026/12/07 08:30:05 Wed"},
    {"Thursday", "4250001", "2026/12/07 08:30:05 Thu"},
    {"Friday", "5250001", "2026/12/07 08:30:05 Fri"},
    {"Saturday", "6250001", "2026/12/07 08:30:05 Sat"},
    {"SevenIsAnError", "7250001", "2026/12/07 08:30:05 Error"},
    {"NineIsAnError", "9250001", "2026/12/07 08:30:05 Error"},
    {"LetterIsAnError", "X250001", "2026/12/07 08:30:05 Error"},
    {"EmptyBodyHasNoWeekday", "", "2026/12/07 08:30:05"},
};
INSTANTIATE_TEST_SUITE_P(Days, Weekday, ::testing::ValuesIn(kWeekdays),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(RecordRow, EveryCardTypeAndShortBodies) {
    const std::pair<const char*, const char*> types[] = {
        {"1", "1K"},    {"2", "4K"},    {"3", "UL"},    {"4", "DS"},    {"5", "EM"}, {"6", "FL"},
        {"7", "HID26"}, {"8", "HID34"}, {"9", "HID35"}, {"A", "HID37"}, {"0", "0"},  {"F", "F"},
    };
    RecordTableModel m;
    for (const auto& [digit, text] : types) {
        m.ClearRecords();
        m.AppendRecord(Record(QStringLiteral("1") + digit + QStringLiteral("0ABCD")));
        EXPECT_EQ(m.Cell(0, Col::ColCardType), QString::fromLatin1(text)) << digit;
        EXPECT_EQ(m.Cell(0, Col::ColCardId), QStringLiteral("ABCD"));
    }
    m.ClearRecords();
    m.AppendRecord(Record("1"));
    m.AppendRecord(Record("12"));
    m.AppendRecord(Record("125"));
    EXPECT_EQ(RowCells(m, 0).mid(1, 3), (QStringList{"", "", ""}));
    EXPECT_EQ(RowCells(m, 1).mid(1, 3), (QStringList{"", "4K", ""}));
    EXPECT_EQ(RowCells(m, 2).mid(1, 3), (QStringList{"", "4K", "5"}));
}

TEST(RecordRow, EveryEventWithAndWithoutNames) {
    clsSaveOptions options;
    options.SetEventNames(1, QStringLiteral("  IN "));
    options.SetEventNames(2, QStringLiteral("OUT"));
    options.SetEventNames(9, QStringLiteral("Break"));
    RecordTableModel m;
    m.SetSaveOptions(options);
    const char* expected[10] = {"0", "IN", "OUT", "3", "4", "5", "6", "7", "8", "Break"};
    for (int e = 0; e < 10; ++e)
        m.AppendRecord(Record(QStringLiteral("12") + QChar(u'0' + e) + QStringLiteral("77")));
    m.AppendRecord(Record("12X77"));
    for (int e = 0; e < 10; ++e)
        EXPECT_EQ(m.Cell(e, Col::ColEvent), QString::fromLatin1(expected[e])) << e;
    EXPECT_EQ(m.Cell(10, Col::ColEvent), QStringLiteral("X"));
}

struct SplitCase {
    const char* name;
    QString record;
    RecordFields fields;
};
class FieldSplit : public ::testing::TestWithParam<SplitCase> {};
TEST_P(FieldSplit, FindsEachField) {
    const RecordFields f = SplitRecordFields(GetParam().record);
    EXPECT_EQ(f.body, GetParam().fields.body);
    EXPECT_EQ(f.field2, GetParam().fields.field2);
    EXPECT_EQ(f.field3, GetParam().fields.field3);
    EXPECT_EQ(f.dateTime, GetParam().fields.dateTime);
}
const QString S1(QChar(1)), S2(QChar(2)), S3(QChar(3)), S4(QChar(4)), S5(QChar(5));
const SplitCase kSplits[] = {
    {"Download",
     "A0000," + S1 + "125" + S4 + "2026/12/07 08:30:05",
     {"125", "", "", "2026/12/07 08:30:05"}},
    {"AllFour", "x" + S1 + "b" + S2 + "two" + S3 + "three" + S4 + "d", {"b", "two", "three", "d"}},
    {"BodyEndsAtNextHigherCode", S1 + "b" + S3 + "three", {"b", "", "three", ""}},
    {"DateCutBeforeTrailingWord",
     S1 + "1" + S4 + "2026/12/07 08:30:05 Mon",
     {"1", "", "", "2026/12/07 08:30:05"}},
    {"DateOf19KeptWhole", S4 + "2026/12/07  8:30:05", {"", "", "", "2026/12/07  8:30:05"}},
    {"ShortDateKeepsBlank", S4 + "07/12 8:30", {"", "", "", "07/12 8:30"}},
    {"Nothing", "A", {"", "", "", ""}},
    {"DateBeforeBodyRunsToTheEnd",
     S4 + "date" + S1 + "body",
     {"body", "", "", "date" + S1 + "body"}},
    {"ExplicitEndCode", S1 + "body" + S5 + "rest", {"body", "", "", ""}},
    {"LowerCodeInsideIsData", S2 + "x" + S1 + "y", {"y", "x" + S1 + "y", "", ""}},
};
INSTANTIATE_TEST_SUITE_P(Records, FieldSplit, ::testing::ValuesIn(kSplits),
                         [](const auto& p) { return std::string(p.param.name); });

struct ModeCase {
    const char* name;
    int entry;
    bool trackDecimal;
    QString idCell;
    int headerId;
    QString header;
};
class DisplayModeRow : public ::testing::TestWithParam<ModeCase> {};
TEST_P(DisplayModeRow, ShowsTheIdAsTheTrackCarriesIt) {
    const ModeCase& c = GetParam();
    RecordTableModel m;
    m.SetTrackDecimal(c.trackDecimal);
    m.AppendRecord(Record("13000BC614E"));
    EXPECT_FALSE(m.SetDisplayMode(c.entry));
    ASSERT_EQ(m.rowCount(), 1);
    EXPECT_EQ(m.Cell(0, Col::ColCardId), c.idCell);
    EXPECT_EQ(m.CardIdHeaderId(), c.headerId);
    EXPECT_EQ(m.headerData(Col::ColCardId, Qt::Horizontal).toString(), c.header);
    EXPECT_EQ(m.FieldOptionsEnabled(), c.headerId == 11001);
}
const ModeCase kModes[] = {
    {"None", 0, false, "00BC614E", 11001, "Card ID"},
    {"Tk1InHex", 1, false, "%00BC614E?", 11005, "Track1"},
    {"Tk1InDec", 2, false, "%12345678?", 11005, "Track1"},
    {"Tk2InDec", 3, false, ";12345678?", 11006, "Track2"},
    {"Tk3InDec", 4, false, "+12345678?", 11007, "Track3"},
    {"Jis2InHex", 5, false, kDel + QStringLiteral("00BC614E") + kDel, 11008, "JIS2"},
    {"Jis2InDec", 6, false, kDel + QStringLiteral("12345678") + kDel, 11008, "JIS2"},
    {"Tk2InDecDecimalReader", 3, true, ";00BC614E?", 11006, "Track2"},
    {"Tk1InDecDecimalReader", 2, true, "%00BC614E?", 11005, "Track1"},
    {"Jis2InDecDecimalReader", 6, true, kDel + QStringLiteral("00BC614E") + kDel, 11008, "JIS2"},
    {"UnknownEntryIsNone", 9, false, "00BC614E", 11001, "Card ID"},
};
INSTANTIATE_TEST_SUITE_P(Modes, DisplayModeRow, ::testing::ValuesIn(kModes),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(DisplayModeRow, BadHexInDecimalTrackLeavesTheTrackEmpty) {
    RecordTableModel m;
    m.AppendRecord(Record("13012G4"));
    m.SetDisplayMode(3);
    EXPECT_EQ(m.Cell(0, Col::ColCardId), QStringLiteral(";?"));
    m.SetDisplayMode(1);
    EXPECT_EQ(m.Cell(0, Col::ColCardId), QStringLiteral("%12G4?"));
}

TEST(DisplayModeTexts, AreTheSevenEntries) {
    EXPECT_EQ(DisplayModeTexts(), (QStringList{"None", "TK1 in Hex", "TK1 in Dec", "TK2 in Dec",
                                               "TK3 in Dec", "JIS2 in Hex", "JIS2 in Dec"}));
    EXPECT_EQ(DisplayModeFromText(QStringLiteral("jis2 in dec")), 6);
    EXPECT_EQ(DisplayModeFromText(QStringLiteral("TK2")), -1);
    EXPECT_EQ(DisplayModeContaining(QStringLiteral("tk2")), 3);
    EXPECT_EQ(DisplayModeContaining(QStringLiteral("in hex")), 1);
    EXPECT_EQ(DisplayModeContaining(QStringLiteral("xyz")), 0);
    EXPECT_EQ(DisplayModeContaining(QString()), 0);
    const int tracks[] = {0, 1, 1, 2, 3, 4, 4};
    const bool inDec[] = {true, false, true, true, true, false, true};
    for (int i = 0; i < kDisplayModeCount; ++i) {
        EXPECT_EQ(DisplayModeTrack(i), tracks[i]);
        EXPECT_EQ(DisplayModeInDec(i), inDec[i]);
    }
}

struct ConvertCase {
    const char* name;
    long method;
    QString id;
    QString cell;
    bool error;
    int messageId;
    QString message;
};
class IdConversion : public ::testing::TestWithParam<ConvertCase> {};
TEST_P(IdConversion, FollowsTheSaveOption) {
    const ConvertCase& c = GetParam();
    clsSaveOptions options;
    options.SetConvertIDMethod(c.method);
    RecordTableModel m;
    m.SetSaveOptions(options);
    m.AppendRecord(Record(QStringLiteral("125") + c.id));
    EXPECT_EQ(m.Cell(0, Col::ColCardId), c.cell);
    EXPECT_EQ(m.ConvertError(), c.error);
    EXPECT_EQ(m.ConvertErrorMessageId(), c.messageId);
    EXPECT_EQ(m.ConvertErrorMessage(), c.message);
    EXPECT_EQ(m.Rebuild(), c.error);
    EXPECT_EQ(m.Cell(0, Col::ColCardId), c.cell);
}
const ConvertCase kConversions[] = {
    {"NoneKeepsId", 0, "00ABCDEF", "00ABCDEF", false, 0, ""},
    {"HexToDec", 1, "00ABCDEF", "11259375", false, 0, ""},
    {"HexToDecOnDigitsOnlyReports", 1, "12345678", "12345678", true, 13524,
     "Can't convert HEX ID to DEC ID"},
    {"HexToDecOnBadHexGivesEmpty", 1, "12G4", "", false, 0, ""},
    {"HexToDecOnEmptyId", 1, "", "", false, 0, ""},
    {"DecToHex", 2, "255", "FF", false, 0, ""},
    {"DecToHexOnHexReports", 2, "12A4", "12A4", true, 13525, "Can't convert DEC ID to HEX ID"},
    {"DecToHexOnEmptyIdReports", 2, "", "", true, 13525, "Can't convert DEC ID to HEX ID"},
    {"UnknownMethodShowsNothing", 3, "12345678", "", false, 0, ""},
    {"NegativeMethodShowsNothing", -1, "12345678", "", false, 0, ""},
};
INSTANTIATE_TEST_SUITE_P(Methods, IdConversion, ::testing::ValuesIn(kConversions),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(IdConversion, MagneticModesIgnoreTheSaveOption) {
    clsSaveOptions options;
    options.SetConvertIDMethod(2);
    RecordTableModel m;
    m.SetSaveOptions(options);
    m.AppendRecord(Record("125ZZ"));
    EXPECT_TRUE(m.ConvertError());
    EXPECT_FALSE(m.SetDisplayMode(1));
    EXPECT_EQ(m.Cell(0, Col::ColCardId), QStringLiteral("%ZZ?"));
    EXPECT_TRUE(m.SetDisplayMode(0));
    EXPECT_EQ(m.ConvertErrorMessageId(), 13525);
}

TEST(RecordStore, ModeChangeRebuildsExactlyTheStoredRecords) {
    RecordTableModel m;
    for (int i = 0; i < 10; ++i)
        m.AppendRecord(Record(QStringLiteral("125") + QString::number(i)));
    QSignalSpy resets(&m, &QAbstractItemModel::modelReset);
    m.SetDisplayMode(2);
    EXPECT_EQ(resets.count(), 1);
    ASSERT_EQ(m.rowCount(), 10);
    EXPECT_EQ(m.Cell(9, Col::ColNo), QStringLiteral("10"));
    EXPECT_EQ(m.Cell(9, Col::ColCardId), QStringLiteral("%9?"));
}

TEST(RecordStore, KeepsEveryRecordBeyond8192) {
    RecordTableModel m;
    const int n = 32767;
    for (int i = 0; i < n; ++i)
        m.AppendRecord(Record(QStringLiteral("125") + QString::number(i)));
    EXPECT_EQ(m.RecordCount(), n);
    EXPECT_EQ(m.rowCount(), n);
    m.SetDisplayMode(0);
    ASSERT_EQ(m.rowCount(), n);
    EXPECT_EQ(m.Cell(8192, Col::ColNo), QStringLiteral("8193"));
    EXPECT_EQ(m.Cell(8192, Col::ColCardId), QStringLiteral("8192"));
    EXPECT_EQ(m.Cell(n - 1, Col::ColCardId), QString::number(n - 1));
    EXPECT_EQ(m.Records().back(), Record(QStringLiteral("125") + QString::number(n - 1)));
}

TEST(RecordStore, ShowWithoutAddIsNotRebuilt) {
    RecordTableModel m;
    m.AddRecord(Record("1251"));
    m.ShowRecord(1, Record("1251"));
    EXPECT_TRUE(m.ShowRecord(2, Record("1252")));
    EXPECT_EQ(m.rowCount(), 2);
    EXPECT_EQ(m.RecordCount(), 1);
    m.Rebuild();
    EXPECT_EQ(m.rowCount(), 1);
}

TEST(RecordStore, ClearEmptiesStoreRowsAndError) {
    clsSaveOptions options;
    options.SetConvertIDMethod(1);
    RecordTableModel m;
    m.SetSaveOptions(options);
    m.AppendRecord(Record("1251234"));
    ASSERT_TRUE(m.ConvertError());
    QSignalSpy resets(&m, &QAbstractItemModel::modelReset);
    m.ClearRecords();
    EXPECT_EQ(resets.count(), 1);
    EXPECT_EQ(m.rowCount(), 0);
    EXPECT_EQ(m.RecordCount(), 0);
    EXPECT_FALSE(m.ConvertError());
    EXPECT_EQ(m.Cell(0, 0), QString());
}

TEST(RecordStore, ShowRecordAnnouncesEachRow) {
    RecordTableModel m;
    QSignalSpy inserted(&m, &QAbstractItemModel::rowsInserted);
    m.AppendRecord(Record("1251"));
    m.AppendRecord(Record("1252"));
    ASSERT_EQ(inserted.count(), 2);
    EXPECT_EQ(inserted.at(1).at(1).toInt(), 1);
    EXPECT_EQ(inserted.at(1).at(2).toInt(), 1);
}

TEST(Headers, DefaultTextsAndTag) {
    RecordTableModel m;
    EXPECT_EQ(m.columnCount(), 6);
    QStringList headers;
    for (int c = 0; c < 6; ++c)
        headers << m.headerData(c, Qt::Horizontal).toString();
    EXPECT_EQ(headers, (QStringList{"No", "Card ID", "Card Type", "Event", "Date", "Date"}));
    EXPECT_EQ(m.TableTag(), QStringLiteral("lng:{TTMx(0,0)=11000,TTMx(0,1)=11001,TTMx(0,2)=11002,"
                                           "TTMx(0,3)=11003,TTMx(0,4)=11004,TTMx(0,5)=11004}"));
    m.SetDisplayMode(4);
    EXPECT_EQ(m.TableTag(), QStringLiteral("lng:{TTMx(0,0)=11000,TTMx(0,1)=11007,TTMx(0,2)=11002,"
                                           "TTMx(0,3)=11003,TTMx(0,4)=11004,TTMx(0,5)=11004}"));
}

TEST(Headers, ComeFromTheTextSource) {
    RecordTableModel m;
    QSignalSpy changed(&m, &QAbstractItemModel::headerDataChanged);
    m.SetTextSource([](int id, const QString& fallback) {
        return id == 11003 ? QStringLiteral("Ereignis") : QStringLiteral("<") + fallback + u'>';
    });
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(m.HeaderText(Col::ColEvent), QStringLiteral("Ereignis"));
    EXPECT_EQ(m.HeaderText(Col::ColNo), QStringLiteral("<No>"));
    m.SetDisplayMode(5);
    EXPECT_EQ(m.HeaderText(Col::ColCardId), QStringLiteral("<JIS2>"));
    clsSaveOptions options;
    options.SetConvertIDMethod(1);
    m.SetSaveOptions(options);
    m.SetDisplayMode(0);
    m.AppendRecord(Record("1251234"));
    EXPECT_EQ(m.ConvertErrorMessage(), QStringLiteral("<Can't convert HEX ID to DEC ID>"));
}

struct ColumnCase {
    const char* name;
    int entry;
    bool cardType, event, week;
    bool shown[6];
};
class Columns : public ::testing::TestWithParam<ColumnCase> {};
TEST_P(Columns, FollowFieldOptionsOnlyInModeNone) {
    const ColumnCase& c = GetParam();
    RecordTableModel m;
    m.SetFieldOption(RecordTableModel::FieldCardType, c.cardType);
    m.SetFieldOption(RecordTableModel::FieldEvent, c.event);
    m.SetFieldOption(RecordTableModel::FieldWeek, c.week);
    m.SetDisplayMode(c.entry);
    for (int col = 0; col < 6; ++col)
        EXPECT_EQ(m.IsColumnShown(col), c.shown[col]) << col;

    const QFontMetrics fm(QFont(QStringLiteral("Sans"), 10));
    const QDateTime now(QDate(2026, 12, 7), QTime(8, 30, 5));
    const auto w = m.ColumnWidths(fm, now);
    EXPECT_EQ(w[0], fm.horizontalAdvance(QStringLiteral("WWWWW")));
    EXPECT_EQ(w[1], fm.horizontalAdvance(QString(18, u'W')));
    EXPECT_EQ(w[2], c.shown[2] ? fm.horizontalAdvance(QStringLiteral("[Card Type]")) : 0);
    EXPECT_EQ(w[4],
              c.shown[4] ? fm.horizontalAdvance(QStringLiteral("2026/12/07 08:30:05 SunW]")) : 0);
    EXPECT_EQ(w[5], c.shown[5] ? fm.horizontalAdvance(QStringLiteral("2026/12/07 08:30:05W]")) : 0);
    EXPECT_EQ(w[3] != 0, c.shown[3]);
}
const ColumnCase kColumnCases[] = {
    {"AllTicked", 0, true, true, true, {true, true, true, true, true, false}},
    {"NoneTicked", 0, false, false, false, {true, true, false, false, false, true}},
    {"OnlyWeek", 0, false, false, true, {true, true, false, false, true, false}},
    {"MagneticHidesOptions", 3, true, true, true, {true, true, false, false, false, true}},
};
INSTANTIATE_TEST_SUITE_P(Options, Columns, ::testing::ValuesIn(kColumnCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(Columns, EventWidthTakesTheWidestName) {
    clsSaveOptions options;
    options.SetEventNames(4, QStringLiteral("A very long event name indeed"));
    RecordTableModel m;
    m.SetSaveOptions(options);
    const QFontMetrics fm(QFont(QStringLiteral("Sans"), 10));
    const auto w = m.ColumnWidths(fm, QDateTime(QDate(2026, 1, 1), QTime(0, 0)));
    EXPECT_EQ(w[3], fm.horizontalAdvance(QStringLiteral("A very long event name indeed")) +
                        fm.horizontalAdvance(QStringLiteral("8")));
}

TEST(Columns, FieldOptionsOutOfRangeAreIgnored) {
    RecordTableModel m;
    m.SetFieldOption(3, false);
    m.SetFieldOption(-1, false);
    EXPECT_TRUE(m.FieldOption(0));
    EXPECT_FALSE(m.FieldOption(3));
    EXPECT_FALSE(m.IsColumnShown(6));
}

TEST(DisplayModes, StoredTextsAreRecognisedInAnyLanguage) {
    // Two installed languages' list texts per entry.
    const QStringList german = {"Keine",       "SP1 hex",  "SP1 dezimal", "SP2 dezimal",
                                "SP3 dezimal", "JIS2 hex", "JIS2 dezimal"};
    const QStringList french = {"Aucun",       "P1 hex",   "P1 d\u00e9c",  "P2 d\u00e9c",
                                "P3 d\u00e9c", "JIS2 hex", "JIS2 d\u00e9c"};
    auto translations = [&](int entry) { return QStringList{german[entry], french[entry]}; };
    struct Case {
        const char* saved;
        int entry;
    };
    for (const Case& c :
         {Case{"TK2 in Dec", 3}, Case{"tk2 in dec", 3}, Case{"None", 0}, Case{"SP2 dezimal", 3},
          Case{"  JIS2 dezimal ", 6}, Case{"JIS2 hex", 5}, Case{"P3 d\u00e9c", 4}, Case{"tk3", 4},
          Case{"in Hex", 1}, Case{"dezimal", 2}, Case{"Spur 9", 0}}) {
        EXPECT_EQ(DisplayModeFromStored(QString::fromUtf8(c.saved), translations), c.entry)
            << c.saved;
    }
    EXPECT_EQ(DisplayModeFromStored("SP2 dezimal", {}), 0) << "no language files";
    EXPECT_EQ(DisplayModeStoredText(3), "TK2 in Dec");
    EXPECT_EQ(DisplayModeStoredText(-1), "None");
}

} // namespace
