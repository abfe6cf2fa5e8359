// Decoding of record replies into the normalised record text, and the date readings.
#include "pelmar/RecordDecode.h"

#include <gtest/gtest.h>

using namespace pelmar;

namespace {

const QString kSoh = QString(QChar(0x01));
const QString kEot = QString(QChar(0x04));

QString Normalised(const QString& body, const QString& dateTime) {
    return QStringLiteral("A0000,") + kSoh + body + kEot + dateTime;
}

struct DecodeCase {
    const char* name;
    QString reply;
    int dateMode;
    int year;
    bool ok;
    QString expected;
};

class DecodeReply : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeReply, GivesTheNormalisedText) {
    const DecodeCase& c = GetParam();
    QString text = QStringLiteral("stale");
    QString error;
    EXPECT_EQ(DecodeKt9Record(c.reply, c.dateMode, text, &error, c.year), c.ok);
    EXPECT_EQ(text, c.expected);
    EXPECT_EQ(error.isEmpty(), c.ok);
}

const DecodeCase kDecodeCases[] = {
    {"YearFirstRecord", "A20261207083005 1250012345678", 255, 2026, true,
     Normalised("1250012345678", "2026/12/07 08:30:05")},
    {"MonthFirstRecordKeepsItsOrder", "A12072026083005 0110000ABCD", 0, 2026, true,
     Normalised("0110000ABCD", "12/07/2026 08:30:05")},
    {"DayFirstRecordKeepsItsOrder", "A31122026235959 6A9FFFF", 1, 2026, true,
     Normalised("6A9FFFF", "31/12/2026 23:59:59")},
    {"YearLastRecordOnYearFirstReaderNearToday", "A07122026083005 1250012345678", 255, 2026, true,
     Normalised("1250012345678", "07/12/2026 08:30:05")},
    {"YearLastRecordOnYearFirstReaderWithin3Years", "A07122026083005 1250012345678", 255, 2029,
     true, Normalised("1250012345678", "07/12/2026 08:30:05")},
    {"YearLastRecordTooFarFromTodayStaysAsRead", "A07122026083005 1250012345678", 255, 2030, true,
     Normalised("1250012345678", "0712/20/26 08:30:05")},
    {"YearFirstRecordOnMonthFirstReaderNearToday", "A20261207083005 1250012345678", 0, 2026, true,
     Normalised("1250012345678", "2026/12/07 08:30:05")},
    {"BodyKeepsEverythingAfterTheFirstBlank", "A20261207083005 12 5 00 12", 255, 2026, true,
     Normalised("12 5 00 12", "2026/12/07 08:30:05")},
    {"EmptyReplyIsNoRecord", "", 255, 2026, false, ""},
    {"RefusalIsNoRecord", "N", 255, 2026, false, "N"},
    {"RefusalWithReasonIsNoRecord", "N01", 0, 2026, false, "N01"},
    {"LowerCaseAIsNoRecord", "a20261207083005 1250012345678", 255, 2026, false,
     "a20261207083005 1250012345678"},
    {"AcceptWithoutBlankIsKeptAsIs", "A", 255, 2026, true, "A"},
    {"AcceptWithDigitsButNoBlankIsKeptAsIs", "A20261207083005", 255, 2026, true, "A20261207083005"},
    {"BlankRightAfterTheAcceptGivesEmptyParts", "A ", 255, 2026, true, Normalised("", " // ::")},
    {"EarlyBlankTakesShortDateAndBodyDigitsAsTime", "A2026 1250012345678", 255, 2026, true,
     Normalised("1250012345678", "2026/ 1/25 00:12:34")},
    {"NonDigitDateIsShownAsRead", "A2O261207083005 1250012345678", 255, 2026, true,
     Normalised("1250012345678", "2O26/12/07 08:30:05")},
    {"ImpossibleDateIsShownAsRead", "A20260230083005 1250012345678", 255, 2026, true,
     Normalised("1250012345678", "2026/02/30 08:30:05")},
    {"MissingTimeDigits", "A20261207 1250012345678", 255, 2026, true,
     Normalised("1250012345678", "2026/12/07  1:25:00")},
};

INSTANTIATE_TEST_SUITE_P(Replies, DecodeReply, ::testing::ValuesIn(kDecodeCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(DecodeReply, HugeReplyKeepsTheWholeBody) {
    const QString body = QStringLiteral("125") + QString(9984, u'F');
    QString text;
    ASSERT_TRUE(
        DecodeKt9Record(QStringLiteral("A20261207083005 ") + body, 255, text, nullptr, 2026));
    EXPECT_EQ(text, Normalised(body, "2026/12/07 08:30:05"));
}

TEST(DecodeReply, RefusalWithoutErrorPointerStillFails) {
    QString text;
    EXPECT_FALSE(DecodeKt9Record(QStringLiteral("N"), 255, text));
    EXPECT_EQ(text, QStringLiteral("N"));
}

TEST(DecodeReply, ErrorTextNamesTheRefusal) {
    QString text, error;
    DecodeKt9Record(QStringLiteral("N01"), 255, text, &error, 2026);
    EXPECT_EQ(error, QStringLiteral("record refused: N01"));
    DecodeKt9Record(QString(), 255, text, &error, 2026);
    EXPECT_EQ(error, QStringLiteral("no record reply"));
}

struct ValidityCase {
    const char* name;
    QString text;
    DateOrder order;
    bool valid;
};

class DateReading : public ::testing::TestWithParam<ValidityCase> {};

TEST_P(DateReading, IsARealCalendarDateInItsOrder) {
    const ValidityCase& c = GetParam();
    EXPECT_EQ(IsValidDateReading(c.text, c.order), c.valid) << c.text.toStdString();
}

const ValidityCase kValidityCases[] = {
    {"YearFirstPlain", "2026/12/07", DateOrder::YearMonthDay, true},
    {"LeapDay2024", "2024/02/29", DateOrder::YearMonthDay, true},
    {"NoLeapDay2023", "2023/02/29", DateOrder::YearMonthDay, false},
    {"NoLeapDay1900", "1900/02/29", DateOrder::YearMonthDay, false},
    {"LeapDay2000", "2000/02/29", DateOrder::YearMonthDay, true},
    {"April31", "2026/04/31", DateOrder::YearMonthDay, false},
    {"December31", "2026/12/31", DateOrder::YearMonthDay, true},
    {"Month13", "2026/13/01", DateOrder::YearMonthDay, false},
    {"Month0", "2026/00/10", DateOrder::YearMonthDay, false},
    {"Day0", "2026/01/00", DateOrder::YearMonthDay, false},
    {"Year0", "0000/01/01", DateOrder::YearMonthDay, false},
    {"Year1", "0001/01/01", DateOrder::YearMonthDay, true},
    {"HexDigit", "2026/1a/10", DateOrder::YearMonthDay, false},
    {"Dashes", "2026-12-07", DateOrder::YearMonthDay, false},
    {"Sign", "+026/12/07", DateOrder::YearMonthDay, false},
    {"LeadingBlank", " 026/12/07", DateOrder::YearMonthDay, false},
    {"TooShort", "2026/12/7", DateOrder::YearMonthDay, false},
    {"Empty", "", DateOrder::YearMonthDay, false},
    {"YearLastShapeInYearFirstOrder", "07/12/2026", DateOrder::YearMonthDay, false},
    {"MonthFirst", "12/31/2026", DateOrder::MonthDayYear, true},
    {"MonthFirstRejectsDayFirst", "31/12/2026", DateOrder::MonthDayYear, false},
    {"DayFirst", "31/12/2026", DateOrder::DayMonthYear, true},
    {"DayFirstRejectsMonthFirst", "12/31/2026", DateOrder::DayMonthYear, false},
    {"DayFirstLeapDay", "29/02/2028", DateOrder::DayMonthYear, true},
    {"MonthFirstNoLeapDay", "02/29/2027", DateOrder::MonthDayYear, false},
    {"YearFirstShapeInYearLastOrder", "2026/12/07", DateOrder::MonthDayYear, false},
};

INSTANTIATE_TEST_SUITE_P(Readings, DateReading, ::testing::ValuesIn(kValidityCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(DateReading, WithoutSlashesReadsTheBareDigits) {
    EXPECT_TRUE(IsValidDateReading(QStringLiteral("20240229"), DateOrder::YearMonthDay, false));
    EXPECT_FALSE(IsValidDateReading(QStringLiteral("20230229"), DateOrder::YearMonthDay, false));
    EXPECT_TRUE(IsValidDateReading(QStringLiteral("31122026"), DateOrder::DayMonthYear, false));
    EXPECT_FALSE(IsValidDateReading(QStringLiteral("31122026"), DateOrder::MonthDayYear, false));
}

struct ChoiceCase {
    const char* name;
    QString digits;
    int dateMode;
    int year;
    QString expected;
};

class DateChoice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(DateChoice, PicksTheReadingNearestToday) {
    const ChoiceCase& c = GetParam();
    EXPECT_EQ(ChooseRecordDate(c.digits, c.dateMode, c.year), c.expected);
}

const ChoiceCase kChoiceCases[] = {
    // 1011/10/12 and 10/11/1012 are both dates: the one whose year is nearer wins.
    {"BothValidAlternativeNearerWins", "10111012", 255, 2026, "10/11/1012"},
    {"BothValidPrimaryNearerStays", "10111012", 0, 2026, "10/11/1012"},
    {"BothValidPrimaryNearerStaysYearFirst", "10111012", 255, 1000, "1011/10/12"},
    {"BothValidSameYearPrimaryStays", "12121212", 255, 2026, "1212/12/12"},
    {"BothValidSameYearPrimaryStaysYearLast", "12121212", 0, 2026, "12/12/1212"},
    {"PrimaryInvalidAlternative3YearsBack", "20261207", 0, 2029, "2026/12/07"},
    {"PrimaryInvalidAlternative3YearsAhead", "20261207", 0, 2023, "2026/12/07"},
    {"PrimaryInvalidAlternative4YearsAway", "20261207", 0, 2030, "20/26/1207"},
    {"PrimaryValidAlternativeNot", "12072026", 0, 2026, "12/07/2026"},
    {"NeitherValid", "99999999", 0, 2026, "99/99/9999"},
    {"DayFirstOnlyAcceptedOnYearFirstReader", "13022026", 255, 2026, "13/02/2026"},
    {"MonthFirstOnlyAcceptedOnYearFirstReader", "02132026", 255, 2026, "02/13/2026"},
    {"DayFirstReaderRejectsMonthFirstDigits", "02132026", 1, 2026, "02/13/2026"},
    {"ShortDigits", "202", 255, 2026, "202//"},
    {"NoDigits", "", 0, 2026, "//"},
};

INSTANTIATE_TEST_SUITE_P(Choices, DateChoice, ::testing::ValuesIn(kChoiceCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(CardType, EveryCodeHasItsText) {
    const std::pair<char16_t, const char*> table[] = {
        {u'1', "1K"},    {u'2', "4K"},    {u'3', "UL"},    {u'4', "DS"},    {u'5', "EM"},
        {u'6', "FL"},    {u'7', "HID26"}, {u'8', "HID34"}, {u'9', "HID35"}, {u'A', "HID37"},
        {u'a', "HID37"}, {u'0', "0"},     {u'B', "B"},     {u'G', "G"},     {u' ', " "},
    };
    for (const auto& [digit, text] : table)
        EXPECT_EQ(CardTypeText(QChar(digit)), QString::fromLatin1(text)) << static_cast<int>(digit);
}

} // namespace
