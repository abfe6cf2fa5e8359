// Workbooks written by SaveRecords, read back by an independent reader (python3-openpyxl):
// sheets, cell values, number formats, dates, widths; a second save adds a sheet and keeps
// every other part of the package; failures leave the user's file as it was.
#include <gtest/gtest.h>

#include "ExportTestSupport.h"
#include "FailDevice.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <pelexport/RecordWriter.h>
#include <pelexport/Workbook.h>

using namespace pelmar;
using M = pelmar::RecordTableModel;
using exporttest::NoneTable;
using exporttest::ReadAll;
using exporttest::Row;
using exporttest::WriteAll;

// Readable QString values in test failure messages.
inline void PrintTo(const QString& v, std::ostream* os) {
    *os << '"' << v.toStdString() << '"';
}

namespace {

// Prints the workbook as JSON: sheet names, and per sheet every row as [value, format]
// pairs (values prefixed s: text, n: number, dt: date-time, t: time) and column widths.
const char* const kDumpScript = R"PY(
import datetime, json, sys, openpyxl
wb = openpyxl.load_workbook(sys.argv[1])
out = {"sheets": wb.sheetnames, "data": {}}
for ws in wb.worksheets:
    rows = []
    for row in ws.iter_rows():
        cells = []
        for c in row:
            v = c.value
            if v is None: s = None
            elif isinstance(v, datetime.datetime): s = "dt:" + v.isoformat()
            elif isinstance(v, datetime.time): s = "t:" + v.isoformat()
            elif isinstance(v, str): s = "s:" + v
            else: s = "n:" + repr(v)
            cells.append([s, c.number_format, bool(c.font.b)])
        rows.append(cells)
    widths = {k: d.width for k, d in ws.column_dimensions.items()}
    out["data"][ws.title] = {"rows": rows, "widths": widths}
print(json.dumps(out))
)PY";

// Lists every part of a zip package with the SHA-256 of its uncompressed bytes.
const char* const kPartsScript = R"PY(
import hashlib, json, sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
print(json.dumps({n: hashlib.sha256(z.read(n)).hexdigest() for n in z.namelist()}))
)PY";

// A workbook as a user might have it: two sheets, a formula, shared strings, a bold cell and
// a custom number format, document properties.
const char* const kUserBookScript = R"PY(
import sys, openpyxl
from openpyxl.styles import Font
wb = openpyxl.Workbook()
ws = wb.active
ws.title = "Payroll"
ws["A1"] = "Hours"; ws["A1"].font = Font(bold=True)
ws["A2"] = 7.5; ws["A3"] = 8.25
ws["A4"] = "=SUM(A2:A3)"
ws["B2"] = 0.25; ws["B2"].number_format = "0.0%"
wb.create_sheet("Notes")["A1"] = "keep me"
wb.save(sys.argv[1])
)PY";

class Workbooks : public testing::Test {
protected:
    static QString python() {
        static QString found = [] {
            for (const QString& p :
                 {QStringLiteral("/usr/bin/python3"), QStringLiteral("python3")}) {
                QProcess proc;
                proc.start(p, {"-c", "import openpyxl"});
                if (proc.waitForFinished(60000) && proc.exitStatus() == QProcess::NormalExit &&
                    proc.exitCode() == 0)
                    return p;
            }
            return QString();
        }();
        return found;
    }
    void SetUp() override {
        if (python().isEmpty()) GTEST_SKIP() << "python3 with openpyxl is not installed";
    }
    QByteArray runPython(const char* script, const QString& arg) {
        const QString file = dir.filePath("script.py");
        EXPECT_TRUE(WriteAll(file, script));
        QProcess proc;
        proc.start(python(), {file, arg});
        EXPECT_TRUE(proc.waitForFinished(120000));
        EXPECT_EQ(proc.exitCode(), 0) << proc.readAllStandardError().toStdString();
        return proc.readAllStandardOutput();
    }
    QJsonObject dump(const QString& file) {
        return QJsonDocument::fromJson(runPython(kDumpScript, file)).object();
    }
    QJsonObject parts(const QString& file) {
        return QJsonDocument::fromJson(runPython(kPartsScript, file)).object();
    }
    static QJsonArray rowsOf(const QJsonObject& d, const QString& sheet) {
        return d["data"].toObject()[sheet].toObject()["rows"].toArray();
    }
    // A row as "value|format" texts, "-" for an empty cell.
    static QStringList cells(const QJsonArray& rows, int i) {
        QStringList out;
        for (const auto& c : rows[i].toArray()) {
            const QJsonArray a = c.toArray();
            out << (a[0].isNull() ? QStringLiteral("-") : a[0].toString() + "|" + a[1].toString());
        }
        return out;
    }
    QString path(const QString& name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

ExportOptions AllFields(bool twoFields) {
    ExportOptions o;
    o.SaveFormat = "(Default)"; // workbooks do not use the template
    o.IsAddMachineID = true;
    o.IsAddUserName = true;
    o.IsSDTInTwoFields = twoFields;
    return o;
}

SaveHooks Reader() {
    SaveHooks h;
    h.fetchMachineID = [](QString* s) {
        *s = "7";
        return true;
    };
    h.fetchUserName = [](QString* s) {
        *s = "Alice";
        return true;
    };
    return h;
}

TEST_F(Workbooks, NewWorkbookHoldsOneRowPerRecord) {
    const SaveResult r = SaveRecords(path("r.xlsx"), NoneTable(), AllFields(false), Reader());
    ASSERT_TRUE(r.bOk) << r.szError.toStdString();
    EXPECT_EQ(r.szFileName, path("r.xlsx"));
    const QJsonObject d = dump(path("r.xlsx"));
    EXPECT_EQ(d["sheets"].toArray(), QJsonArray({"Sheet1"}));
    const QJsonArray rows = rowsOf(d, "Sheet1");
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(cells(rows, 0),
              (QStringList{"s:7|@", "s:00A1B2C3|@", "s:EM|@", "s:1|@",
                           "dt:2026-12-07T08:30:05|YYYY/MM/DD hh:mm:ss", "s:Alice|@"}));
    EXPECT_EQ(cells(rows, 1),
              (QStringList{"s:7|@", "s:0000FF01|@", "s:1K|@", "s:0|@",
                           "dt:2026-12-08T17:04:59|YYYY/MM/DD hh:mm:ss", "s:Alice|@"}));
    // Widths fit the longest text of each column (8 characters for the ID, 19 for the date).
    const QJsonObject widths = d["data"].toObject()["Sheet1"].toObject()["widths"].toObject();
    EXPECT_GT(widths["B"].toDouble(), 8.0);
    EXPECT_LT(widths["B"].toDouble(), 12.0);
    EXPECT_GT(widths["E"].toDouble(), 19.0);
    EXPECT_LT(widths["E"].toDouble(), 23.0);
}

TEST_F(Workbooks, DateAndTimeInTwoCells) {
    ASSERT_TRUE(SaveRecords(path("r.xlsx"), NoneTable(), AllFields(true), Reader()).bOk);
    const QJsonArray rows = rowsOf(dump(path("r.xlsx")), "Sheet1");
    EXPECT_EQ(cells(rows, 0), (QStringList{"s:7|@", "s:00A1B2C3|@", "s:EM|@", "s:1|@",
                                           "dt:2026-12-07T00:00:00|YYYY/MM/DD",
                                           "t:08:30:05|hh:mm:ss", "s:Alice|@"}));
}

// With "Week" on the dates are real date-times that a spreadsheet sorts and filters, under a
// number format that shows the weekday, in one field and in two. A weekday that disagrees with
// its date (a reader clock set wrong) or reads "Error" stays text as shown.
TEST_F(Workbooks, WeekdayDatesAreDatesWithAWeekdayFormat) {
    struct Case {
        const char* what;
        bool twoFields;
        QString weekday2; // the second row's weekday
        QStringList row2;
    };
    const Case cases[] = {
        {"one field",
         false,
         "Tue",
         {"s:7|@", "s:0000FF01|@", "dt:2026-12-08T17:04:59|YYYY/MM/DD hh:mm:ss ddd", "s:Alice|@"}},
        {"two fields",
         true,
         "Tue",
         {"s:7|@", "s:0000FF01|@", "dt:2026-12-08T00:00:00|YYYY/MM/DD ddd", "t:17:04:59|hh:mm:ss",
          "s:Alice|@"}},
        {"weekday of another day",
         false,
         "Wed",
         {"s:7|@", "s:0000FF01|@", "s:2026/12/08 17:04:59 Wed|YYYY/MM/DD hh:mm:ss ddd",
          "s:Alice|@"}},
        {"weekday the reader could not tell, two fields",
         true,
         "Error",
         {"s:7|@", "s:0000FF01|@", "s:2026/12/08 Error|YYYY/MM/DD ddd", "t:17:04:59|hh:mm:ss",
          "s:Alice|@"}},
    };
    for (const Case& c : cases) {
        RecordTable t = NoneTable();
        t.rows[1] = Row(2, "0000FF01", "1K", "0", "2026/12/08 17:04:59", c.weekday2);
        t.Show({M::ColNo, M::ColCardId, M::ColDateWeek});
        const QString file = path(QString("w%1.xlsx").arg(&c - cases));
        ASSERT_TRUE(SaveRecords(file, t, AllFields(c.twoFields), Reader()).bOk) << c.what;
        const QJsonArray rows = rowsOf(dump(file), "Sheet1");
        ASSERT_EQ(rows.size(), 2) << c.what;
        EXPECT_EQ(cells(rows, 1), c.row2) << c.what;
        EXPECT_EQ(cells(rows, 0)[2], c.twoFields ? "dt:2026-12-07T00:00:00|YYYY/MM/DD ddd"
                                                 : "dt:2026-12-07T08:30:05|YYYY/MM/DD hh:mm:ss ddd")
            << c.what << ": Monday's row";
    }
}

TEST_F(Workbooks, MagneticRowsHoldOneCellPerTrack) {
    RecordTable t;
    t.iTrack = 2;
    t.Show({M::ColNo, M::ColCardId, M::ColDate});
    t.rows << Row(1, ";12345678?", "EM", "1", "2026/12/07 08:30:05")
           << Row(2, ";00FF", "EM", "1", "2026/12/08 17:04:59"); // no end sentinel
    ASSERT_TRUE(SaveRecords(path("m.xlsx"), t, AllFields(false), Reader()).bOk);
    const QJsonArray rows = rowsOf(dump(path("m.xlsx")), "Sheet1");
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(cells(rows, 0), (QStringList{"-", "s:;12345678?|General", "-",
                                           "dt:2026-12-07T08:30:05|YYYY/MM/DD hh:mm:ss"}));
    EXPECT_EQ(cells(rows, 1),
              (QStringList{"-", "-", "-", "dt:2026-12-08T17:04:59|YYYY/MM/DD hh:mm:ss"}));
}

TEST_F(Workbooks, Jis2RowsKeepTheirSentinels) {
    RecordTable t;
    t.iTrack = 4;
    t.Show({M::ColNo, M::ColCardId, M::ColDate});
    t.rows << Row(1, QString(QChar(0x7F)) + "1A2B" + QChar(0x7F), "EM", "1", "2026/12/07 08:30:05");
    ASSERT_TRUE(SaveRecords(path("j.xlsx"), t, AllFields(false), Reader()).bOk);
    EXPECT_EQ(
        cells(rowsOf(dump(path("j.xlsx")), "Sheet1"), 0),
        (QStringList{"-", "-", "-", QString("s:") + QChar(0x7F) + "1A2B" + QChar(0x7F) + "|General",
                     "dt:2026-12-07T08:30:05|YYYY/MM/DD hh:mm:ss"}));
}

TEST_F(Workbooks, TextsThatNeedEscaping) {
    RecordTable t = NoneTable();
    t.rows[0][1] = " <A&B> ";
    t.rows[0][2] = QString("x") + QChar(1) + "_x0041_";
    t.rows[0][3] = QString::fromUtf8("Pause \xe2\x98\x95");
    ASSERT_TRUE(SaveRecords(path("e.xlsx"), t, AllFields(false), Reader()).bOk);
    // A character XML cannot hold is stored as _xHHHH_ and a literal "_x0041_" gets its "_"
    // escaped, as spreadsheet applications expect; openpyxl shows these escapes undecoded.
    EXPECT_EQ(cells(rowsOf(dump(path("e.xlsx")), "Sheet1"), 0).mid(1, 3),
              (QStringList{"s: <A&B> |@", "s:x_x0001__x005F_x0041_|@",
                           QString::fromUtf8("s:Pause \xe2\x98\x95|@")}));
}

TEST_F(Workbooks, SecondSaveAddsASheetAndKeepsTheFirst) {
    const QString f = path("twice.xlsx");
    ASSERT_TRUE(SaveRecords(f, NoneTable(), AllFields(false), Reader()).bOk);
    const QJsonObject before = parts(f);
    RecordTable t = NoneTable();
    t.rows.removeLast();
    ASSERT_TRUE(SaveRecords(f, t, AllFields(true), Reader()).bOk);
    const QJsonObject after = parts(f);
    EXPECT_EQ(after["xl/worksheets/sheet1.xml"], before["xl/worksheets/sheet1.xml"]);
    EXPECT_TRUE(after.contains("xl/worksheets/sheet2.xml"));
    const QJsonObject d = dump(f);
    EXPECT_EQ(d["sheets"].toArray(), QJsonArray({"Sheet1", "Sheet2"}));
    EXPECT_EQ(rowsOf(d, "Sheet1").size(), 2);
    const QJsonArray rows2 = rowsOf(d, "Sheet2");
    ASSERT_EQ(rows2.size(), 1);
    EXPECT_EQ(cells(rows2, 0)[4], "dt:2026-12-07T00:00:00|YYYY/MM/DD");
    EXPECT_EQ(cells(rowsOf(d, "Sheet1"), 0)[4], "dt:2026-12-07T08:30:05|YYYY/MM/DD hh:mm:ss");
}

TEST_F(Workbooks, UsersWorkbookKeepsEverything) {
    const QString f = path("user.xlsx");
    runPython(kUserBookScript, f);
    const QJsonObject before = parts(f);
    ASSERT_FALSE(before.isEmpty());
    ASSERT_TRUE(SaveRecords(f, NoneTable(), AllFields(true), Reader()).bOk);
    const QJsonObject after = parts(f);
    // Only the parts that list sheets and styles change; all others are the same bytes.
    const QStringList changed{"[Content_Types].xml", "xl/workbook.xml",
                              "xl/_rels/workbook.xml.rels", "xl/styles.xml", "docProps/app.xml"};
    for (const QString& part : before.keys()) {
        ASSERT_TRUE(after.contains(part)) << part.toStdString();
        if (changed.contains(part)) continue;
        EXPECT_EQ(after[part], before[part]) << part.toStdString();
    }
    EXPECT_EQ(after.size(), before.size() + 1);
    const QJsonObject d = dump(f);
    EXPECT_EQ(d["sheets"].toArray(), QJsonArray({"Payroll", "Notes", "Sheet3"}));
    const QJsonArray payroll = rowsOf(d, "Payroll");
    EXPECT_EQ(cells(payroll, 0)[0], "s:Hours|General");
    EXPECT_TRUE(payroll[0].toArray()[0].toArray()[2].toBool()); // still bold
    EXPECT_EQ(cells(payroll, 1), (QStringList{"n:7.5|General", "n:0.25|0.0%"}));
    EXPECT_EQ(cells(payroll, 3)[0], "s:=SUM(A2:A3)|General");
    EXPECT_EQ(cells(rowsOf(d, "Notes"), 0), QStringList{"s:keep me|General"});
    EXPECT_EQ(
        cells(rowsOf(d, "Sheet3"), 0),
        (QStringList{"s:7|@", "s:00A1B2C3|@", "s:EM|@", "s:1|@",
                     "dt:2026-12-07T00:00:00|YYYY/MM/DD", "t:08:30:05|hh:mm:ss", "s:Alice|@"}));
}

// Workbooks that count days from 1904 get their date serials counted the same way.
TEST_F(Workbooks, Dates1904) {
    const QString f = path("mac.xlsx");
    runPython("import sys, openpyxl\n"
              "from openpyxl.utils.datetime import CALENDAR_MAC_1904\n"
              "wb = openpyxl.Workbook(); wb.epoch = CALENDAR_MAC_1904; wb.save(sys.argv[1])\n",
              f);
    ASSERT_TRUE(SaveRecords(f, NoneTable(), AllFields(true), Reader()).bOk);
    const QJsonArray rows = rowsOf(dump(f), "Sheet2");
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(cells(rows, 1)[4], "dt:2026-12-08T00:00:00|YYYY/MM/DD");
}

TEST_F(Workbooks, XlsNameIsWrittenAsXlsx) {
    const SaveResult r = SaveRecords(path("old.xls"), NoneTable(), AllFields(false), Reader());
    ASSERT_TRUE(r.bOk);
    EXPECT_EQ(r.szFileName, path("old.xlsx"));
    EXPECT_FALSE(QFileInfo::exists(path("old.xls")));
    EXPECT_EQ(dump(path("old.xlsx"))["sheets"].toArray(), QJsonArray({"Sheet1"}));
}

TEST_F(Workbooks, HiddenIdColumnGivesEmptyRows) {
    RecordTable t = NoneTable();
    t.SetShown(M::ColCardId, false);
    ASSERT_TRUE(SaveRecords(path("h.xlsx"), t, AllFields(false), Reader()).bOk);
    const QJsonArray rows = rowsOf(dump(path("h.xlsx")), "Sheet1");
    for (int i = 0; i < rows.size(); ++i) {
        for (const QString& c : cells(rows, i)) {
            EXPECT_EQ(c, "-");
        }
    }
}

TEST_F(Workbooks, EmptyTableGivesAnEmptySheet) {
    RecordTable t = NoneTable();
    t.rows.clear();
    ASSERT_TRUE(SaveRecords(path("empty.xlsx"), t, AllFields(false), Reader()).bOk);
    const QJsonObject d = dump(path("empty.xlsx"));
    EXPECT_EQ(d["sheets"].toArray(), QJsonArray({"Sheet1"}));
    const QJsonArray rows = rowsOf(d, "Sheet1");
    for (int i = 0; i < rows.size(); ++i) {
        for (const QString& c : cells(rows, i)) {
            EXPECT_EQ(c, "-");
        }
    }
}

TEST_F(Workbooks, StopKeepsTheRowsWrittenSoFar) {
    bool stop2 = true;
    SaveHooks h = Reader();
    h.blnStop2 = &stop2;
    h.progress = [&](int row, int) {
        if (row == 1) stop2 = false;
    };
    const SaveResult r = SaveRecords(path("s.xlsx"), NoneTable(), AllFields(false), h);
    EXPECT_TRUE(r.bOk);
    EXPECT_TRUE(r.blnStopped);
    EXPECT_EQ(rowsOf(dump(path("s.xlsx")), "Sheet1").size(), 1);
}

TEST_F(Workbooks, NotAWorkbookIsLeftAlone) {
    const QString f = path("fake.xlsx");
    ASSERT_TRUE(WriteAll(f, "just text"));
    bool stop2 = true;
    SaveHooks h = Reader();
    h.blnStop2 = &stop2;
    const SaveResult r = SaveRecords(f, NoneTable(), AllFields(false), h);
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(r.szError, "The file is not a workbook this program can add a sheet to; please use "
                         "other file name and save again!");
    EXPECT_FALSE(stop2);
    EXPECT_EQ(ReadAll(f), "just text");
}

TEST_F(Workbooks, FullDiskLeavesTheWorkbookAsItWas) {
    const QString f = path("full.xlsx");
    ASSERT_TRUE(SaveRecords(f, NoneTable(), AllFields(false), Reader()).bOk);
    const QByteArray before = ReadAll(f);
    SaveHooks h = Reader();
    h.wrapDevice = [](QIODevice* inner) { return std::make_unique<FailDevice>(inner, 0); };
    const SaveResult r = SaveRecords(f, NoneTable(), AllFields(false), h);
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(r.szError, "The file could not be written (No space left on device); it was left "
                         "as it was before the save.");
    EXPECT_EQ(ReadAll(f), before);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"full.xlsx"});

    const SaveResult r2 = SaveRecords(path("new.xlsx"), NoneTable(), AllFields(false), h);
    EXPECT_FALSE(r2.bOk);
    EXPECT_FALSE(QFileInfo::exists(path("new.xlsx")));
}

TEST_F(Workbooks, CannotCreateShowsTheInUseMessage) {
    const SaveResult r =
        SaveRecords(path("no/dir/r.xlsx"), NoneTable(), AllFields(false), Reader());
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(r.szError, kInUseMessage);
}

// The module surface on its own: rows with used first cells are skipped, sheet names stay
// unique, and plain value rows take dates.
TEST_F(Workbooks, ModuleWritesRowsAndNamesSheets) {
    const QString f = path("mod.xlsx");
    {
        ExcelWorkbook book;
        ASSERT_TRUE(book.ExcelOpen(f, "Data"));
        EXPECT_EQ(book.sheetName(), "Data");
        book.ExcelWriteRow({QString("a"), QDate(2026, 1, 2), QTime(13, 14, 15)});
        book.ExcelWriteFormattedRow({{"12:00:00", kXlFmtTime},
                                     {"2026/01/02 03:04:05", kXlFmtDateTime},
                                     {"0042", kXlFmtText}});
        book.ExcelFinish();
        ASSERT_TRUE(book.ExcelSave());
        EXPECT_EQ(book.rowCount(), 2);
    }
    {
        ExcelWorkbook book;
        ASSERT_TRUE(book.ExcelOpen(f, "data"));
        EXPECT_EQ(book.sheetName(), "data (2)");
        book.ExcelWriteRow({QString("b")});
        ASSERT_TRUE(book.ExcelSave());
    }
    ExcelWorkbook third;
    ASSERT_TRUE(third.ExcelOpen(f, "bad:name/with*chars?"));
    EXPECT_EQ(third.sheetName(), "bad_name_with_chars_");
    const QJsonObject d = dump(f);
    EXPECT_EQ(d["sheets"].toArray(), QJsonArray({"Data", "data (2)"}));
    const QJsonArray rows = rowsOf(d, "Data");
    EXPECT_EQ(cells(rows, 0), (QStringList{"s:a|General", "dt:2026-01-02T00:00:00|YYYY/MM/DD",
                                           "t:13:14:15|hh:mm:ss"}));
    EXPECT_EQ(cells(rows, 1),
              (QStringList{"t:12:00:00|hh:mm:ss", "dt:2026-01-02T03:04:05|YYYY/MM/DD hh:mm:ss",
                           "s:0042|@"}));
}

TEST(WorkbookModule, IsAlwaysAvailable) {
    EXPECT_TRUE(ExcelAvailable());
}

} // namespace
