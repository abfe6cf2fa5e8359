// SaveRecords for text, CSV and ISO track files: exact bytes for every layout, appending,
// the ISO merge, the reader look-ups, Stop, and every way a save can fail.
#include <gtest/gtest.h>

#include "ExportTestSupport.h"
#include "FailDevice.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <pelexport/FmtData.h>
#include <pelexport/RecordWriter.h>

using namespace pelmar;
using M = pelmar::RecordTableModel;
using exporttest::NoneTable;
using exporttest::ReadAll;
using exporttest::Row;
using exporttest::WriteAll;

namespace {

const QByteArray kIsoHeader3 =
    "[SETUP]\r\nCARDTYPE =0\r\nPARITY1 =1\r\nPARITY2 =1\r\nPARITY3 =1\r\n"
    "BPC1 =7\r\nBPC2 =5\r\nBPC3 =5\r\nSS1 =5\r\nSS2 =11\r\nSS3 =11\r\n"
    "ES1 =31\r\nES2 =15\r\nES3 =15\r\n\r\n[DATA]\r\n";

// Reader look-ups that count their calls and can fail a number of times first.
struct FakeReader {
    QString machineID = "7";
    QString userName = "Alice";
    int machineCalls = 0, userCalls = 0;
    int failuresLeft = 0;
    SaveHooks hooks() {
        SaveHooks h;
        h.fetchMachineID = [this](QString* out) {
            ++machineCalls;
            if (failuresLeft > 0) {
                --failuresLeft;
                return false;
            }
            *out = machineID;
            return true;
        };
        h.fetchUserName = [this](QString* out) {
            ++userCalls;
            *out = userName;
            return true;
        };
        return h;
    }
};

ExportOptions Plain() {
    ExportOptions o;
    o.SaveFormat.clear();
    return o;
}

// A track table as the window shows it in a magnetic mode.
RecordTable TrackTable(int track) {
    RecordTable t;
    t.iTrack = track;
    t.Show({M::ColNo, M::ColCardId, M::ColDate});
    const QString s = track == 4 ? QString(QChar(0x7F)) : QStringLiteral("?");
    const QString start = track == 1   ? "%"
                          : track == 2 ? ";"
                          : track == 3 ? "+"
                                       : QString(QChar(0x7F));
    t.rows << Row(1, start + "12345678" + s, "EM", "1", "2026/12/07 08:30:05")
           << Row(2, start + "00FF" + s, "EM", "0", "2026/12/08 17:04:59");
    return t;
}

class WriterFiles : public testing::Test {
protected:
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }
};

// ---- layouts, row by row --------------------------------------------------------------

struct LayoutCase {
    const char* name;
    FileKind kind;
    QList<RecordColumn> shown;
    bool machine, user, twoFields;
    const char* expected; // both rows
};

class TextAndCsvLayouts : public testing::TestWithParam<LayoutCase> {};

TEST_P(TextAndCsvLayouts, WriteTheTableRows) {
    const LayoutCase& c = GetParam();
    RecordTable t = NoneTable();
    t.Show(c.shown);
    ExportOptions o = Plain();
    o.IsAddMachineID = c.machine;
    o.IsAddUserName = c.user;
    o.IsSDTInTwoFields = c.twoFields;
    SaveTexts texts{"7", "Al\"ice", nullptr};
    const QByteArray got =
        RecordRowBytes(c.kind, t, 1, o, texts) + RecordRowBytes(c.kind, t, 2, o, texts);
    EXPECT_EQ(got, QByteArray(c.expected));
}

const QList<RecordColumn> kAll{M::ColNo, M::ColCardId, M::ColCardType, M::ColEvent, M::ColDate};
const QList<RecordColumn> kIdDate{M::ColNo, M::ColCardId, M::ColDate};
const QList<RecordColumn> kWeek{M::ColNo, M::ColCardId, M::ColCardType, M::ColEvent,
                                M::ColDateWeek};
const QList<RecordColumn> kNoId{M::ColNo, M::ColCardType, M::ColEvent, M::ColDate};

INSTANTIATE_TEST_SUITE_P(
    NoneMode, TextAndCsvLayouts,
    testing::Values(
        LayoutCase{"TextShownColumns", FileKind::Text, kAll, false, false, false,
                   "00A1B2C3,EM,1,2026/12/07 08:30:05\r\n0000FF01,1K,0,2026/12/08 17:04:59\r\n"},
        LayoutCase{"TextIdAndDateOnly", FileKind::Text, kIdDate, false, false, false,
                   "00A1B2C3,2026/12/07 08:30:05\r\n0000FF01,2026/12/08 17:04:59\r\n"},
        LayoutCase{"TextMachineAndUser", FileKind::Text, kAll, true, true, false,
                   "7,00A1B2C3,EM,1,2026/12/07 08:30:05,Al\"ice\r\n"
                   "7,0000FF01,1K,0,2026/12/08 17:04:59,Al\"ice\r\n"},
        LayoutCase{"TextTwoFields", FileKind::Text, kAll, false, false, true,
                   "00A1B2C3,EM,1,2026/12/07,08:30:05\r\n0000FF01,1K,0,2026/12/08,17:04:59\r\n"},
        LayoutCase{"TextWeekday", FileKind::Text, kWeek, false, false, false,
                   "00A1B2C3,EM,1,2026/12/07 08:30:05 Mon\r\n"
                   "0000FF01,1K,0,2026/12/08 17:04:59 Tue\r\n"},
        LayoutCase{"TextWeekdayTwoFieldsMovesWeekdayToDate", FileKind::Text, kWeek, false, false,
                   true,
                   "00A1B2C3,EM,1,2026/12/07 Mon,08:30:05\r\n"
                   "0000FF01,1K,0,2026/12/08 Tue,17:04:59\r\n"},
        LayoutCase{"TextIdHiddenStillWritesId", FileKind::Text, kNoId, false, false, false,
                   "00A1B2C3,EM,1,2026/12/07 08:30:05\r\n0000FF01,1K,0,2026/12/08 17:04:59\r\n"},
        LayoutCase{"CsvShownColumns", FileKind::Csv, kAll, false, false, false,
                   "\"00A1B2C3\",\"EM\",\"1\",2026/12/07 08:30:05\r\n"
                   "\"0000FF01\",\"1K\",\"0\",2026/12/08 17:04:59\r\n"},
        LayoutCase{"CsvMachineUserTwoFields", FileKind::Csv, kAll, true, true, true,
                   "7,\"00A1B2C3\",\"EM\",\"1\",2026/12/07,08:30:05,\"Al\"\"ice\"\r\n"
                   "7,\"0000FF01\",\"1K\",\"0\",2026/12/08,17:04:59,\"Al\"\"ice\"\r\n"},
        LayoutCase{"CsvWeekday", FileKind::Csv, kWeek, false, false, false,
                   "\"00A1B2C3\",\"EM\",\"1\",2026/12/07 08:30:05 Mon\r\n"
                   "\"0000FF01\",\"1K\",\"0\",2026/12/08 17:04:59 Tue\r\n"},
        LayoutCase{"CsvIdHiddenGivesEmptyLines", FileKind::Csv, kNoId, true, true, false,
                   "\r\n\r\n"}),
    [](const testing::TestParamInfo<LayoutCase>& i) { return std::string(i.param.name); });

TEST(RowLayouts, CsvDoublesQuotesInsideCells) {
    RecordTable t = NoneTable();
    t.rows[0][1] = "A\"B";
    t.rows[0][3] = "Lunch \"out\"";
    EXPECT_EQ(RecordRowBytes(FileKind::Csv, t, 1, Plain(), {}),
              QByteArray("\"A\"\"B\",\"EM\",\"Lunch \"\"out\"\"\",2026/12/07 08:30:05\r\n"));
}

// The one list of a row's fields the text, CSV and workbook writers share.
TEST(RowLayouts, RowFieldsFollowTheColumnsAndOptions) {
    using F = RowField;
    struct Case {
        const char* what;
        QList<RecordColumn> shown;
        bool machine, user, twoFields;
        QList<RowFieldValue> expected; // of the first row
    };
    const Case cases[] = {
        {"id and date",
         kIdDate,
         false,
         false,
         false,
         {{F::CardID, "00A1B2C3"}, {F::DateTime, "2026/12/07 08:30:05"}}},
        {"every option",
         kAll,
         true,
         true,
         true,
         {{F::MachineID, "7"},
          {F::CardID, "00A1B2C3"},
          {F::CardType, "EM"},
          {F::Event, "1"},
          {F::Date, "2026/12/07"},
          {F::Time, "08:30:05"},
          {F::UserName, "Al"}}},
        {"weekday",
         kWeek,
         false,
         false,
         false,
         {{F::CardID, "00A1B2C3"},
          {F::CardType, "EM"},
          {F::Event, "1"},
          {F::DateTime, "2026/12/07 08:30:05 Mon", true}}},
        {"weekday in two fields",
         kWeek,
         false,
         false,
         true,
         {{F::CardID, "00A1B2C3"},
          {F::CardType, "EM"},
          {F::Event, "1"},
          {F::Date, "2026/12/07 Mon", true},
          {F::Time, "08:30:05"}}},
        {"hidden id still listed",
         kNoId,
         false,
         false,
         false,
         {{F::CardID, "00A1B2C3"},
          {F::CardType, "EM"},
          {F::Event, "1"},
          {F::DateTime, "2026/12/07 08:30:05"}}},
    };
    for (const Case& c : cases) {
        RecordTable t = NoneTable();
        t.Show(c.shown);
        ExportOptions o = Plain();
        o.IsAddMachineID = c.machine;
        o.IsAddUserName = c.user;
        o.IsSDTInTwoFields = c.twoFields;
        const QList<RowFieldValue> got = RowFields(t, 1, o, SaveTexts{"7", "Al", nullptr});
        ASSERT_EQ(got.size(), c.expected.size()) << c.what;
        for (qsizetype i = 0; i < got.size(); ++i) {
            EXPECT_EQ(int(got[i].field), int(c.expected[i].field)) << c.what << " #" << i;
            EXPECT_EQ(got[i].text, c.expected[i].text) << c.what << " #" << i;
            EXPECT_EQ(got[i].weekday, c.expected[i].weekday) << c.what << " #" << i;
        }
    }
}

TEST(RowLayouts, TwoFieldsNeedABlank) {
    RecordTable t = NoneTable();
    t.rows[0][5] = "garbage";
    ExportOptions o = Plain();
    o.IsSDTInTwoFields = true;
    EXPECT_EQ(RecordRowBytes(FileKind::Text, t, 1, o, {}), QByteArray("00A1B2C3,EM,1,garbage\r\n"));
    EXPECT_EQ(RecordRowBytes(FileKind::Csv, t, 1, o, {}),
              QByteArray("\"00A1B2C3\",\"EM\",\"1\",garbage\r\n"));
}

TEST(RowLayouts, TextWithTemplateNumbersRecordsLikeTheTable) {
    FmtData f;
    ASSERT_TRUE(
        f.ParseFormat("{RecordNo}|{CardID}|{Date,'YYYYMMDD'}|{Time}|{MachineID}|{UserName}"));
    SaveTexts texts{"7", "Alice", &f};
    RecordTable t = NoneTable();
    t.Show(kWeek); // the date comes from the weekday column and is split off again
    EXPECT_EQ(RecordRowBytes(FileKind::Text, t, 1, Plain(), texts),
              QByteArray("1|00A1B2C3|20261207|08:30:05|7|Alice\r\n"));
    EXPECT_EQ(RecordRowBytes(FileKind::Text, t, 2, Plain(), texts),
              QByteArray("2|0000FF01|20261208|17:04:59|7|Alice\r\n"));
}

TEST(RowLayouts, TextMagneticModes) {
    const RecordTable t2 = TrackTable(2);
    EXPECT_EQ(RecordRowBytes(FileKind::Text, t2, 1, Plain(), {}),
              QByteArray("2026/12/07 08:30:05\r\n;12345678?\r\n\r\n"));
    const RecordTable t4 = TrackTable(4);
    EXPECT_EQ(RecordRowBytes(FileKind::Text, t4, 2, Plain(), {}),
              QByteArray("2026/12/08 17:04:59\r\n\x7f"
                         "00FF\x7f\r\n\r\n"));
    RecordTable noSentinel = TrackTable(2);
    noSentinel.rows[0][1] = "?12345678"; // only at the first character
    EXPECT_EQ(RecordRowBytes(FileKind::Text, noSentinel, 1, Plain(), {}),
              QByteArray("2026/12/07 08:30:05\r\n\r\n"));
    RecordTable hidden = TrackTable(1);
    hidden.SetShown(M::ColCardId, false);
    EXPECT_EQ(RecordRowBytes(FileKind::Text, hidden, 1, Plain(), {}),
              QByteArray("2026/12/07 08:30:05\r\n\r\n"));
}

TEST(RowLayouts, CsvMagneticModes) {
    EXPECT_EQ(RecordRowBytes(FileKind::Csv, TrackTable(2), 1, Plain(), {}),
              QByteArray(",\";12345678?\",,2026/12/07 08:30:05\r\n"));
    EXPECT_EQ(RecordRowBytes(FileKind::Csv, TrackTable(1), 1, Plain(), {}),
              QByteArray("\"%12345678?\",,,2026/12/07 08:30:05\r\n"));
    EXPECT_EQ(RecordRowBytes(FileKind::Csv, TrackTable(4), 1, Plain(), {}),
              QByteArray(",,,\"\x7f"
                         "12345678\x7f\",2026/12/07 08:30:05\r\n"));
    RecordTable noDate = TrackTable(3);
    noDate.SetShown(M::ColDate, false);
    EXPECT_EQ(RecordRowBytes(FileKind::Csv, noDate, 1, Plain(), {}),
              QByteArray(",,\"+12345678?\"\r\n"));
    RecordTable wrongSentinel = TrackTable(4);
    wrongSentinel.rows[0][1] = "\x7f"
                               "1234?";
    EXPECT_EQ(RecordRowBytes(FileKind::Csv, wrongSentinel, 1, Plain(), {}),
              QByteArray(",,,,2026/12/07 08:30:05\r\n"));
}

TEST(RowLayouts, IsoTrackLines) {
    EXPECT_EQ(RecordRowBytes(FileKind::Iso, TrackTable(2), 1, Plain(), {}),
              QByteArray("\x01\r\n\x02"
                         "12345678\r\n\x03\r\n\r\n"));
    EXPECT_EQ(RecordRowBytes(FileKind::Iso, TrackTable(4), 2, Plain(), {}),
              QByteArray("\x01\r\n\x02\r\n\x03\r\n\x04"
                         "00FF\r\n\r\n"));
    RecordTable shortId = TrackTable(3);
    shortId.rows[0][1] = "+?";
    EXPECT_EQ(RecordRowBytes(FileKind::Iso, shortId, 1, Plain(), {}),
              QByteArray("\x01\r\n\x02\r\n\x03\r\n\r\n"));
}

TEST(IsoHeader, TrackFourAddsItsLines) {
    EXPECT_EQ(IsoHeaderBytes(false), kIsoHeader3);
    EXPECT_EQ(IsoHeaderBytes(true),
              QByteArray("[SETUP]\r\nCARDTYPE =0\r\nPARITY1 =1\r\nPARITY2 =1\r\nPARITY3 =1\r\n"
                         "PARITY4 =2\r\nBPC1 =7\r\nBPC2 =5\r\nBPC3 =5\r\nBPC4 =8\r\nSS1 =5\r\n"
                         "SS2 =11\r\nSS3 =11\r\nSS4 =127\r\nES1 =31\r\nES2 =15\r\nES3 =15\r\n"
                         "ES4 =127\r\n\r\n[DATA]\r\n"));
}

TEST(Helpers, SplitDateTime) {
    QString d, t;
    EXPECT_TRUE(SplitDateTime("2026/12/07 08:30:05", &d, &t));
    EXPECT_EQ(d + "|" + t, "2026/12/07|08:30:05");
    EXPECT_TRUE(SplitDateTime("2026/12/07 08:30:05 Mon", &d, &t));
    EXPECT_EQ(d + "|" + t, "2026/12/07 Mon|08:30:05");
    EXPECT_TRUE(SplitDateTime("26/12/7 8:30 x", &d, &t)); // too short to move anything
    EXPECT_EQ(d + "|" + t, "26/12/7|8:30 x");
    EXPECT_FALSE(SplitDateTime("20261207", &d, &t));
    EXPECT_EQ(d + "|" + t, "20261207|");
}

TEST(Helpers, FileKindsAndNames) {
    EXPECT_EQ(FileKindOf("a.txt"), FileKind::Text);
    EXPECT_EQ(FileKindOf("A.CSV"), FileKind::Csv);
    EXPECT_EQ(FileKindOf("a.iso"), FileKind::Iso);
    EXPECT_EQ(FileKindOf("a.Xls"), FileKind::Workbook);
    EXPECT_EQ(FileKindOf("a.xlsx"), FileKind::Workbook);
    EXPECT_EQ(FileKindOf("a.dat"), FileKind::Text);
    EXPECT_EQ(FileKindOf("csv"), FileKind::Text);
    EXPECT_EQ(WorkbookFileName("/t/a.xls"), "/t/a.xlsx");
    EXPECT_EQ(WorkbookFileName("/t/A.XLS"), "/t/A.XLSX");
    EXPECT_EQ(WorkbookFileName("/t/a.xlsx"), "/t/a.xlsx");
    EXPECT_EQ(WorkbookFileName("/t/a.txt"), "/t/a.txt");
}

TEST(Helpers, SaveDialogFilter) {
    EXPECT_EQ(SaveDialogFilter(true),
              "Text (*.txt)|*.txt|ISO (*.ISO)|*.ISO|CSV (*.csv)|*.csv|Excel workbook "
              "(*.xlsx)|*.xlsx");
    EXPECT_EQ(SaveDialogFilter(false),
              "Text (*.txt)|*.txt|CSV (*.csv)|*.csv|Excel workbook (*.xlsx)|*.xlsx");
    EXPECT_EQ(SaveDialogFilter(false, false), "Text (*.txt)|*.txt|CSV (*.csv)|*.csv");
}

TEST(Helpers, ProgramDataFolder) {
    const QByteArray saved = qgetenv("LORVANE_HOME");
    qputenv("LORVANE_HOME", "/opt/lorvane-data");
    EXPECT_EQ(FormatFilePath(), "/opt/lorvane-data/Format.ini");
    qunsetenv("LORVANE_HOME");
    EXPECT_EQ(ProgramDataDir(),
              QDir::cleanPath(QCoreApplication::applicationDirPath() + "/../share/lorvane"));
    if (!saved.isEmpty()) qputenv("LORVANE_HOME", saved);
}

TEST_F(WriterFiles, FormatNamesLeaveOutGeneralAndEmptyNames) {
    ASSERT_TRUE(WriteAll(path("Format.ini"),
                         "[general]\r\nx=1\r\n[SiteA]\r\nFormat={CardID}\r\n[]\r\n[Site B]\r\n"));
    EXPECT_EQ(ReadFormatNames(path("Format.ini")), (QStringList{"SiteA", "Site B"}));
    EXPECT_TRUE(ReadFormatNames(path("missing.ini")).isEmpty());
    EXPECT_EQ(ReadFormatTemplate(path("Format.ini"), "SiteA"), "{CardID}");
    EXPECT_EQ(ReadFormatTemplate(path("Format.ini"), "Nope"), kDefaultFormat);
    EXPECT_EQ(ReadFormatTemplate(path("missing.ini"), "SiteA"), kDefaultFormat);
}

TEST_F(WriterFiles, FormatNamesFitA32KBuffer) {
    QByteArray ini;
    for (int i = 1; i <= 5000; ++i)
        ini += QStringLiteral("[Fmt%1]\r\n").arg(i, 5, 10, QLatin1Char('0')).toLatin1();
    ASSERT_TRUE(WriteAll(path("Format.ini"), ini));
    // Each name takes 8 bytes and its terminator: 3640 of them fit into 32767 bytes.
    const QStringList names = ReadFormatNames(path("Format.ini"));
    ASSERT_EQ(names.size(), 3640);
    EXPECT_EQ(names.last(), "Fmt03640");
}

// ---- whole saves -------------------------------------------------------------------------

TEST_F(WriterFiles, TextSavesAppend) {
    const QString f = path("r.txt");
    ASSERT_TRUE(WriteAll(f, "kept line\r\n"));
    for (int i = 0; i < 2; ++i) {
        const SaveResult r = SaveRecords(f, NoneTable(), Plain());
        ASSERT_TRUE(r.bOk) << r.szError.toStdString();
        EXPECT_EQ(r.szFileName, f);
        EXPECT_EQ(r.iRowsWritten, 2);
    }
    const QByteArray rows =
        "00A1B2C3,EM,1,2026/12/07 08:30:05\r\n0000FF01,1K,0,2026/12/08 17:04:59\r\n";
    EXPECT_EQ(ReadAll(f), "kept line\r\n" + rows + rows);
}

TEST_F(WriterFiles, OtherExtensionsAreText) {
    const QString f = path("r.dat");
    ASSERT_TRUE(SaveRecords(f, NoneTable(), Plain()).bOk);
    EXPECT_EQ(ReadAll(f),
              "00A1B2C3,EM,1,2026/12/07 08:30:05\r\n0000FF01,1K,0,2026/12/08 17:04:59\r\n");
}

TEST_F(WriterFiles, DefaultFormatWithoutFormatFileUsesDefaultTemplate) {
    FakeReader reader;
    ExportOptions o;                     // SaveFormat "(Default)"
    o.szFormatFile = path("Format.ini"); // does not exist
    const QString f = path("r.txt");
    ASSERT_TRUE(SaveRecords(f, NoneTable(), o, reader.hooks()).bOk);
    EXPECT_EQ(ReadAll(f),
              "7,00A1B2C3,1,2026/12/07,08:30:05\r\n7,0000FF01,0,2026/12/08,17:04:59\r\n");
    EXPECT_EQ(reader.machineCalls, 1);
    EXPECT_EQ(reader.userCalls, 1);
}

TEST_F(WriterFiles, NamedFormatFromFormatFile) {
    ASSERT_TRUE(WriteAll(path("Format.ini"),
                         "[GENERAL]\r\n[SiteA]\r\nFormat={RecordNo}\\T{UserName,'&6S'}|{Event,0=IN,"
                         "1=OUT}\r\n"));
    FakeReader reader;
    ExportOptions o;
    o.SaveFormat = "SiteA";
    o.szFormatFile = path("Format.ini");
    ASSERT_TRUE(SaveRecords(path("r.txt"), NoneTable(), o, reader.hooks()).bOk);
    EXPECT_EQ(ReadAll(path("r.txt")), "1\tAlice |OUT\r\n2\tAlice |IN\r\n");
}

TEST_F(WriterFiles, InvalidTemplateFallsBackToThePlainLayout) {
    ASSERT_TRUE(WriteAll(path("Format.ini"), "[Bad]\r\nFormat={Nope}\r\n"));
    FakeReader reader;
    ExportOptions o;
    o.SaveFormat = "Bad";
    o.szFormatFile = path("Format.ini");
    ASSERT_TRUE(SaveRecords(path("r.txt"), NoneTable(), o, reader.hooks()).bOk);
    EXPECT_EQ(ReadAll(path("r.txt")),
              "00A1B2C3,EM,1,2026/12/07 08:30:05\r\n0000FF01,1K,0,2026/12/08 17:04:59\r\n");
    EXPECT_EQ(reader.machineCalls, 0); // nothing to add, nothing asked
}

TEST_F(WriterFiles, CsvIgnoresTheFormat) {
    FakeReader reader;
    ExportOptions o; // "(Default)" would apply to text
    o.szFormatFile = path("Format.ini");
    ASSERT_TRUE(SaveRecords(path("r.csv"), NoneTable(), o, reader.hooks()).bOk);
    EXPECT_EQ(ReadAll(path("r.csv")), "\"00A1B2C3\",\"EM\",\"1\",2026/12/07 08:30:05\r\n"
                                      "\"0000FF01\",\"1K\",\"0\",2026/12/08 17:04:59\r\n");
    EXPECT_EQ(reader.machineCalls + reader.userCalls, 0);
}

TEST_F(WriterFiles, MagneticModeUsesNoFormat) {
    FakeReader reader;
    ExportOptions o;
    o.szFormatFile = path("Format.ini");
    o.IsAddMachineID = true;
    ASSERT_TRUE(SaveRecords(path("r.txt"), TrackTable(2), o, reader.hooks()).bOk);
    EXPECT_EQ(ReadAll(path("r.txt")), "2026/12/07 08:30:05\r\n;12345678?\r\n\r\n"
                                      "2026/12/08 17:04:59\r\n;00FF?\r\n\r\n");
    EXPECT_EQ(reader.machineCalls, 0);
}

TEST_F(WriterFiles, ReaderLookUpsAreRepeatedOnceAfterAFailure) {
    FakeReader reader;
    reader.failuresLeft = 1;
    ExportOptions o = Plain();
    o.IsAddMachineID = true;
    ASSERT_TRUE(SaveRecords(path("a.txt"), NoneTable(), o, reader.hooks()).bOk);
    EXPECT_EQ(reader.machineCalls, 2);
    EXPECT_TRUE(ReadAll(path("a.txt")).startsWith("7,00A1B2C3,"));

    FakeReader silent;
    silent.failuresLeft = 5;
    ASSERT_TRUE(SaveRecords(path("b.txt"), NoneTable(), o, silent.hooks()).bOk);
    EXPECT_EQ(silent.machineCalls, 2);
    EXPECT_TRUE(ReadAll(path("b.txt")).startsWith(",00A1B2C3,"));
}

TEST_F(WriterFiles, IsoNewFileThenMergedSecondSave) {
    const QString f = path("tracks.ISO");
    ASSERT_TRUE(SaveRecords(f, TrackTable(2), Plain()).bOk);
    const QByteArray rows = "\x01\r\n\x02"
                            "12345678\r\n\x03\r\n\r\n"
                            "\x01\r\n\x02"
                            "00FF\r\n\x03\r\n\r\n";
    EXPECT_EQ(ReadAll(f), kIsoHeader3 + rows);
    ASSERT_TRUE(SaveRecords(f, TrackTable(2), Plain()).bOk);
    EXPECT_EQ(ReadAll(f), kIsoHeader3 + rows + rows);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"tracks.ISO"});
}

TEST_F(WriterFiles, IsoMergeAddsABlankLineAfterAnUnfinishedRecord) {
    const QString f = path("t.iso");
    ASSERT_TRUE(WriteAll(f, "[SETUP]\nX=1\n  [ data ]  \n\x01\n\x02"
                            "99"));
    ASSERT_TRUE(SaveRecords(f, TrackTable(2), Plain()).bOk);
    EXPECT_EQ(ReadAll(f), kIsoHeader3 +
                              "\x01\r\n\x02"
                              "99\r\n\r\n" +
                              "\x01\r\n\x02"
                              "12345678\r\n\x03\r\n\r\n"
                              "\x01\r\n\x02"
                              "00FF\r\n\x03\r\n\r\n");
}

TEST_F(WriterFiles, IsoWithoutDataLineIsLeftAlone) {
    const QString f = path("t.iso");
    ASSERT_TRUE(WriteAll(f, "not a track file\r\n"));
    bool stop2 = true;
    SaveHooks h;
    h.blnStop2 = &stop2;
    const SaveResult r = SaveRecords(f, TrackTable(2), Plain(), h);
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(r.szError, "The file is not an ISO track file (it has no [DATA] line); please use "
                         "other file name and save again!");
    EXPECT_FALSE(stop2);
    EXPECT_EQ(ReadAll(f), "not a track file\r\n");
}

TEST_F(WriterFiles, IsoLeavesAnExistingTmpFileAlone) {
    const QString f = path("t.iso");
    ASSERT_TRUE(SaveRecords(f, TrackTable(2), Plain()).bOk);
    ASSERT_TRUE(WriteAll(path("t.tmp"), "someone's data"));
    ASSERT_TRUE(SaveRecords(f, TrackTable(2), Plain()).bOk);
    EXPECT_EQ(ReadAll(path("t.tmp")), "someone's data");
    EXPECT_TRUE(ReadAll(f).endsWith("\x01\r\n\x02"
                                    "00FF\r\n\x03\r\n\r\n"));
}

TEST_F(WriterFiles, ReplacedFilesKeepTheirPermissions) {
    const QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
    for (const QString& name : {QStringLiteral("p.iso"), QStringLiteral("p.xlsx")}) {
        const QString f = path(name);
        ASSERT_TRUE(SaveRecords(f, TrackTable(2), Plain()).bOk);
        ASSERT_TRUE(QFile::setPermissions(f, mode));
        ASSERT_TRUE(SaveRecords(f, TrackTable(2), Plain()).bOk);
        // Owner, group and others (the "user" bits only mirror the owner's for us).
        EXPECT_EQ(QFile::permissions(f) & 0x7077, mode & 0x7077) << name.toStdString();
    }
}

TEST_F(WriterFiles, ReadOnlyFileIsMadeWritableAndSaved) {
    const QString f = path("ro.txt");
    ASSERT_TRUE(WriteAll(f, "old\r\n"));
    ASSERT_TRUE(QFile::setPermissions(f, QFile::ReadOwner | QFile::ReadUser));
    const SaveResult r = SaveRecords(f, NoneTable(), Plain());
    ASSERT_TRUE(r.bOk) << r.szError.toStdString();
    EXPECT_TRUE(QFile::permissions(f) & QFile::WriteOwner);
    EXPECT_TRUE(ReadAll(f).startsWith("old\r\n00A1B2C3,"));
}

TEST_F(WriterFiles, FileThatCannotBeCreatedShowsTheInUseMessage) {
    const struct {
        const char* name;
        QString file;
    } cases[] = {{"missing folder", path("no/such/dir/r.txt")},
                 {"missing folder iso", path("no/such/dir/r.iso")},
                 {"a folder", path("folder.txt")},
                 {"a folder iso", path("folder.iso")}};
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder.txt"));
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder.iso"));
    for (const auto& c : cases) {
        bool stop2 = true;
        SaveHooks h;
        h.blnStop2 = &stop2;
        const SaveResult r = SaveRecords(c.file, TrackTable(2), Plain(), h);
        EXPECT_FALSE(r.bOk) << c.name;
        EXPECT_EQ(r.szError, kInUseMessage) << c.name;
        EXPECT_FALSE(stop2) << c.name;
        EXPECT_EQ(r.iRowsWritten, 0) << c.name;
    }
    EXPECT_FALSE(QFileInfo::exists(path("no")));
}

TEST_F(WriterFiles, InUseMessageCanBeTranslated) {
    QDir(dir.path()).mkdir("x.csv");
    SaveHooks h;
    h.szInUseMessage = "Datei ist belegt";
    EXPECT_EQ(SaveRecords(path("x.csv"), NoneTable(), Plain(), h).szError, "Datei ist belegt");
}

struct FullDiskCase {
    const char* name;
    const char* file;
    bool existing;
    int okWrites;
};

class FullDisk : public testing::TestWithParam<FullDiskCase> {};

// A disk that fills up mid-save leaves the file exactly as it was (or absent when it was).
TEST_P(FullDisk, LeavesTheFileAsItWas) {
    const FullDiskCase& c = GetParam();
    QTemporaryDir dir;
    const QString f = dir.filePath(c.file);
    const bool iso = FileKindOf(f) == FileKind::Iso;
    const RecordTable t = iso ? TrackTable(2) : NoneTable();
    QByteArray before;
    if (c.existing) {
        ASSERT_TRUE(SaveRecords(f, t, Plain()).bOk);
        before = ReadAll(f);
    }
    bool stop2 = true;
    SaveHooks h;
    h.blnStop2 = &stop2;
    int failedWrites = 0;
    h.wrapDevice = [&](QIODevice* inner) {
        auto dev = std::make_unique<FailDevice>(inner, c.okWrites, &failedWrites);
        return dev;
    };
    const SaveResult r = SaveRecords(f, t, Plain(), h);
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(r.szError, "The file could not be written (No space left on device); it was left "
                         "as it was before the save.");
    EXPECT_FALSE(stop2);
    if (c.existing)
        EXPECT_EQ(ReadAll(f), before);
    else
        EXPECT_FALSE(QFileInfo::exists(f));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), c.existing ? 1 : 0);
    EXPECT_EQ(failedWrites, 1); // the writer stopped at the first failure
}

INSTANTIATE_TEST_SUITE_P(Writers, FullDisk,
                         testing::Values(FullDiskCase{"NewText", "r.txt", false, 1},
                                         FullDiskCase{"ExistingText", "r.txt", true, 1},
                                         FullDiskCase{"ExistingTextFirstWrite", "r.txt", true, 0},
                                         FullDiskCase{"ExistingCsv", "r.csv", true, 1},
                                         FullDiskCase{"NewIso", "r.iso", false, 2},
                                         FullDiskCase{"ExistingIsoInHeader", "r.iso", true, 0},
                                         FullDiskCase{"ExistingIsoInCopy", "r.iso", true, 1},
                                         FullDiskCase{"ExistingIsoInRows", "r.iso", true, 3}),
                         [](const testing::TestParamInfo<FullDiskCase>& i) {
                             return std::string(i.param.name);
                         });

// The real thing: /dev/full accepts the open and fails the write with ENOSPC.
TEST(RealFullDevice, ReportsTheSystemReason) {
    if (!QFileInfo::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    const SaveResult r = SaveRecords("/dev/full", NoneTable(), Plain());
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(r.szError, "The file could not be written (No space left on device); it was left "
                         "as it was before the save.");
}

TEST_F(WriterFiles, StopEndsTheSaveAfterTheCurrentRow) {
    RecordTable t = NoneTable();
    t.rows << t.rows[0] << t.rows[1];
    bool stop2 = true;
    QList<std::pair<int, int>> seen;
    SaveHooks h;
    h.blnStop2 = &stop2;
    h.progress = [&](int row, int count) {
        seen.append({row, count});
        if (row == 1) stop2 = false; // the Stop button
    };
    const SaveResult r = SaveRecords(path("r.txt"), t, Plain(), h);
    EXPECT_TRUE(r.bOk);
    EXPECT_TRUE(r.blnStopped);
    EXPECT_FALSE(stop2);
    EXPECT_EQ(r.iRowsWritten, 1);
    EXPECT_EQ(ReadAll(path("r.txt")), "00A1B2C3,EM,1,2026/12/07 08:30:05\r\n");
    EXPECT_EQ(seen, (QList<std::pair<int, int>>{{1, 4}, {0, 4}}));
}

TEST_F(WriterFiles, ProgressCountsEveryRowThenResets) {
    bool stop2 = true;
    QList<int> rows;
    SaveHooks h;
    h.blnStop2 = &stop2;
    h.progress = [&](int row, int) { rows << row; };
    const SaveResult r = SaveRecords(path("r.iso"), TrackTable(1), Plain(), h);
    EXPECT_TRUE(r.bOk);
    EXPECT_FALSE(r.blnStopped);
    EXPECT_TRUE(stop2);
    EXPECT_EQ(rows, (QList<int>{1, 2, 0}));
}

} // namespace
