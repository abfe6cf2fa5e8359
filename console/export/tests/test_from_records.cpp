// The record table model and save options reach the writers as they are shown.
#include <gtest/gtest.h>

#include "ExportTestSupport.h"

#include <QTemporaryDir>
#include <pelexport/FromRecords.h>

using namespace pelmar;
using M = pelmar::RecordTableModel;

namespace {

// A normalised record as the download makes it: weekday, card type, event, card ID.
QString Record(const QString& body, const QString& dateTime) {
    return QStringLiteral("A0000,") + QChar(0x01) + body + QChar(0x04) + dateTime;
}

TEST(FromRecords, NoneModeRowsAndColumns) {
    RecordTableModel m;
    m.AppendRecord(Record("1250012345678", "2026/12/07 08:30:05"));
    m.AppendRecord(Record("2410000ABCD", "2026/12/08 17:04:59"));
    m.SetFieldOption(RecordTableModel::FieldCardType, false);
    const RecordTable t = RecordTableFromModel(m);
    EXPECT_EQ(t.iTrack, 0);
    for (RecordColumn c : {M::ColNo, M::ColCardId, M::ColEvent, M::ColDateWeek})
        EXPECT_TRUE(t.IsShown(c)) << c;
    for (RecordColumn c : {M::ColCardType, M::ColDate})
        EXPECT_FALSE(t.IsShown(c)) << c;
    ASSERT_EQ(t.rows.size(), 2);
    EXPECT_EQ(t.rows[0], (QStringList{"1", "0012345678", "4K", "5", "2026/12/07 08:30:05 Mon",
                                      "2026/12/07 08:30:05"}));
    EXPECT_EQ(t.rows[1][1], "0000ABCD");

    QTemporaryDir dir;
    ExportOptions o = ExportOptionsFrom(m.SaveOptions());
    o.SaveFormat.clear();
    ASSERT_TRUE(SaveRecords(dir.filePath("r.txt"), t, o).bOk);
    EXPECT_EQ(exporttest::ReadAll(dir.filePath("r.txt")),
              "0012345678,5,2026/12/07 08:30:05 Mon\r\n0000ABCD,1,2026/12/08 17:04:59 Tue\r\n");
}

TEST(FromRecords, MagneticModeTrack) {
    RecordTableModel m;
    m.AppendRecord(Record("1250012345678", "2026/12/07 08:30:05"));
    m.SetDisplayMode(3); // "TK2 in Dec"
    const RecordTable t = RecordTableFromModel(m);
    EXPECT_EQ(t.iTrack, 2);
    for (RecordColumn c : {M::ColNo, M::ColCardId, M::ColDate})
        EXPECT_TRUE(t.IsShown(c)) << c;
    for (RecordColumn c : {M::ColCardType, M::ColEvent, M::ColDateWeek})
        EXPECT_FALSE(t.IsShown(c)) << c;
    QTemporaryDir dir;
    ASSERT_TRUE(SaveRecords(dir.filePath("r.csv"), t, ExportOptionsFrom(m.SaveOptions())).bOk);
    EXPECT_EQ(exporttest::ReadAll(dir.filePath("r.csv")),
              ",\";305419896?\",,2026/12/07 08:30:05\r\n");
}

TEST(FromRecords, SaveFromTheModelWithItsOptions) {
    RecordTableModel m;
    m.AppendRecord(Record("1250012345678", "2026/12/07 08:30:05"));
    clsSaveOptions s;
    s.SetSaveFormat(QString()); // no template
    s.SetIsAddUserName(true);
    s.SetIsSDTInTwoFields(true);
    SaveHooks h;
    int asked = 0;
    h.fetchUserName = [&](QString* name) {
        ++asked;
        *name = "Gate";
        return true;
    };
    QTemporaryDir dir;
    const SaveResult r = SaveRecords(dir.filePath("r.txt"), m, s, h);
    ASSERT_TRUE(r.bOk);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(exporttest::ReadAll(dir.filePath("r.txt")),
              "0012345678,4K,5,2026/12/07 Mon,08:30:05,Gate\r\n");
}

TEST(FromRecords, SaveOptionsCarryOver) {
    clsSaveOptions s;
    s.SetIsAddMachineID(true);
    s.SetIsSDTInTwoFields(true);
    s.SetSaveFormat("SiteA");
    const ExportOptions o = ExportOptionsFrom(s);
    EXPECT_TRUE(o.IsAddMachineID);
    EXPECT_FALSE(o.IsAddUserName);
    EXPECT_TRUE(o.IsSDTInTwoFields);
    EXPECT_EQ(o.SaveFormat, "SiteA");
    EXPECT_TRUE(o.szFormatFile.isEmpty());
}

} // namespace
