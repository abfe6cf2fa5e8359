// The progress reporter of the long commands: the line it draws for each state, what reaches
// stderr in each mode (terminal, pipe, --quiet), the throttling of redraws and the clearing.
#include "lorvane/Progress.h"

#include <gtest/gtest.h>

namespace {

using lorvane::Progress;
using lorvane::ProgressLine;
using lorvane::ProgressState;

struct LineCase {
    const char* name;
    ProgressState state;
    int width;
    const char* line;
};
void PrintTo(const LineCase& c, std::ostream* os) {
    *os << c.name;
}

class ProgressLines : public testing::TestWithParam<LineCase> {};

TEST_P(ProgressLines, ReadAsTheJobStands) {
    EXPECT_EQ(ProgressLine(GetParam().state, GetParam().width).toStdString(), GetParam().line);
}

const QString kRecords = QStringLiteral("records");

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgressLines,
    testing::Values(LineCase{"NoRateInTheFirstSecond",
                             {"Downloading", 120, 400, kRecords, 999},
                             80,
                             "Downloading: 120 / 400 records (30 %)"},
                    LineCase{"RateAndTimeLeft",
                             {"Downloading", 100, 400, kRecords, 2000},
                             80,
                             "Downloading: 100 / 400 records (25 %), 50 records/s, 0:06 left"},
                    LineCase{"AllCountedRecordsRead",
                             {"Downloading", 400, 400, kRecords, 8000},
                             80,
                             "Downloading: 400 / 400 records (100 %), 50 records/s, 0:00 left"},
                    // The count is only a guide: no 105 %, no negative time left.
                    LineCase{"MoreRecordsThanTheCount",
                             {"Downloading", 420, 400, kRecords, 2000},
                             80,
                             "Downloading: 420 records, 210 records/s"},
                    LineCase{"CountNotKnown",
                             {"Receiving", 12, -1, "blocks", 4000},
                             80,
                             "Receiving: 12 blocks, 3.0 blocks/s"},
                    LineCase{"ZeroCountIsNotKnown",
                             {"Downloading", 0, 0, kRecords, 3000},
                             80,
                             "Downloading: 0 records"},
                    LineCase{"SlowJobHasHoursLeft",
                             {"Erasing", 3, 8000, kRecords, 2000},
                             80,
                             "Erasing: 3 / 8000 records (0 %), 1.5 records/s, 1:28:52 left"},
                    LineCase{"CutToTheTerminal",
                             {"Downloading", 100, 400, kRecords, 2000},
                             21,
                             "Downloading: 100 / 4"},
                    LineCase{"NoLabel", {"", 7, 9, "blocks", 0}, 80, "7 / 9 blocks (77 %)"},
                    LineCase{"StepThatCountsNothing",
                             {"Exporting 300 records", 0, -1, "", 5000},
                             80,
                             "Exporting 300 records"}),
    [](const testing::TestParamInfo<LineCase>& i) { return std::string(i.param.name); });

TEST(DurationText, MinutesAndHours) {
    EXPECT_EQ(lorvane::DurationText(0), "0:00");
    EXPECT_EQ(lorvane::DurationText(65), "1:05");
    EXPECT_EQ(lorvane::DurationText(3723), "1:02:03");
    EXPECT_EQ(lorvane::DurationText(-5), "0:00");
}

// A reporter with a clock the test moves, writing into a string.
struct Reporter {
    QString text;
    QTextStream stream{&text};
    qint64 now = 1000;
    Progress p;
    explicit Reporter(Progress::Mode mode, int width = 80)
        : p(stream, mode, width, [this] { return now; }) {}
};

TEST(ProgressOnATerminal, RedrawsInPlaceAtMostTenTimesASecondAndClearsAtTheEnd) {
    Reporter r(Progress::Mode::Terminal);
    r.p.Start("Downloading", 400);
    for (long n = 1; n <= 49; ++n) {
        r.now += 2; // 500 records a second: far more records than redraws
        r.p.Update(n);
    }
    r.now = 1100;
    r.p.Update(51);
    r.p.Update(52); // within the same tenth of a second: not drawn
    r.now = 2100;
    r.p.Update(60);
    r.p.Summary("60 records saved to records.csv");
    const QString last = "Downloading: 60 / 400 records (15 %), 54 records/s, 0:07 left";
    EXPECT_EQ(r.text, "\rDownloading: 0 / 400 records (0 %)"
                      "\rDownloading: 51 / 400 records (12 %)"
                      "\r" +
                          last + "\r" + QString(last.size(), ' ') + "\r" +
                          "60 records saved to records.csv\n");
    EXPECT_EQ(r.p.Frames(), 3);
    EXPECT_FALSE(r.p.Active());
}

TEST(ProgressOnATerminal, AShorterLineCoversTheLongerOneBeforeIt) {
    Reporter r(Progress::Mode::Terminal);
    r.p.Start("Erasing", 4000);
    r.p.SetLabel("Go");
    EXPECT_EQ(r.text, "\rErasing: 0 / 4000 records (0 %)"
                      "\rGo: 0 / 4000 records (0 %)"
                      "     ");
}

TEST(ProgressOnATerminal, WarningsTakeTheLineOffAndItComesBack) {
    Reporter r(Progress::Mode::Terminal);
    r.p.Start("Downloading", -1);
    r.p.Warning("Link lost after 3 records; reconnected, resuming at record 4.");
    r.p.Update(4); // redrawn at once: nothing is on the screen
    r.p.Finish();
    const QString frame = "Downloading: 0 records";
    const QString again = "Downloading: 4 records";
    EXPECT_EQ(r.text, "\r" + frame + "\r" + QString(frame.size(), ' ') + "\r" +
                          "Link lost after 3 records; reconnected, resuming at record 4.\n" + "\r" +
                          again + "\r" + QString(again.size(), ' ') + "\r");
}

TEST(ProgressModes, APipeGetsSummariesAndWarningsOnly) {
    Reporter r(Progress::Mode::Plain);
    r.p.Start("Downloading", 400);
    for (long n = 1; n <= 400; ++n) {
        r.now += 200;
        r.p.Update(n);
    }
    r.p.Warning("Warning: the reader counted 400 records; 399 were read.");
    r.p.Error("Can't connect to RFID Reader!");
    r.p.Summary("Erased 400 records");
    EXPECT_EQ(r.text, "Warning: the reader counted 400 records; 399 were read.\n"
                      "Can't connect to RFID Reader!\n"
                      "Erased 400 records\n");
    EXPECT_EQ(r.p.Frames(), 0);
}

TEST(ProgressModes, QuietKeepsOnlyErrors) {
    Reporter r(Progress::Mode::Quiet);
    r.p.Start("Downloading", 400);
    r.p.Update(20);
    r.p.Warning("a warning");
    r.p.Summary("20 records saved to x.csv");
    r.p.Error("the error");
    EXPECT_EQ(r.text, "the error\n");
}

TEST(ProgressModes, PrintedResultsDoNotTearTheLine) {
    Reporter r(Progress::Mode::Terminal);
    QString out;
    QTextStream outStream(&out);
    r.p.Start("Sending", 3, "blocks");
    r.p.Print(outStream, "TRUE");
    EXPECT_EQ(out, "TRUE\n");
    const QString frame = "Sending: 0 / 3 blocks (0 %)";
    EXPECT_EQ(r.text, "\r" + frame + "\r" + QString(frame.size(), ' ') + "\r");
}

TEST(ProgressRows, OneLineNamesTheRunningJobsAndEachEndsWithItsResultLine) {
    Reporter r(Progress::Mode::Terminal);
    QString out;
    QTextStream outStream(&out);
    r.p.StartRows("Collecting", {"Gate A", "Gate B", "Gate C"});
    r.now += 150;
    r.p.UpdateRow(0, 120, 400);
    r.now += 150;
    r.p.UpdateRow(2, 450, 400); // beyond its count: the count alone is not shown
    r.now += 1000;
    r.p.FinishRow(1, outStream, "40 new, 0 already archived");
    r.p.Finish();
    EXPECT_EQ(out, "Gate B: 40 new, 0 already archived\n");
    const QString f1 = "Collecting: 0 / 3 done, 0:00; Gate A, Gate B, Gate C";
    const QString f2 = "Collecting: 0 / 3 done, 0:00; Gate A 120 / 400, Gate B, Gate C";
    const QString f3 = "Collecting: 0 / 3 done, 0:00; Gate A 120 / 400, Gate B, Gate C 450";
    const QString f4 = "Collecting: 1 / 3 done, 0:01; Gate A 120 / 400, Gate C 450";
    EXPECT_EQ(r.text, "\r" + f1 + "\r" + f2 + "\r" + f3 + "\r" + QString(f3.size(), ' ') + "\r" +
                          "\r" + f4 + "\r" + QString(f4.size(), ' ') + "\r");
}

TEST(ProgressRows, NothingIsRedrawnOnceTheLastJobHasEnded) {
    Reporter r(Progress::Mode::Terminal);
    QString out;
    QTextStream outStream(&out);
    r.p.StartRows("Collecting", {"Gate A"});
    r.p.FinishRow(0, outStream, "failed: exit 4");
    r.p.FinishRow(7, outStream, "a line of no job");
    EXPECT_EQ(out, "Gate A: failed: exit 4\na line of no job\n");
    const QString f1 = "Collecting: 0 / 1 done, 0:00; Gate A";
    EXPECT_EQ(r.text, "\r" + f1 + "\r" + QString(f1.size(), ' ') + "\r");
}

} // namespace
