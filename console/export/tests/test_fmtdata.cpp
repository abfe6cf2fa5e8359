// The output-format template language: parsing, every option kind, dates, the number
// conversions, and templates that try to break it.
#include <gtest/gtest.h>

#include <QStringList>
#include <pelexport/FmtData.h>
#include <pelexport/RecordWriter.h>

using pelmar::FmtData;

namespace {

// The eight field values in record order, joined by NUL.
QString Record(const QString& id = "00A1B2C3", const QString& type = "EM",
               const QString& event = "1", const QString& date = "2026/12/07",
               const QString& time = "08:30:05", const QString& no = "1",
               const QString& machine = "1", const QString& user = "Alice") {
    return QStringList{id, type, event, date, time, no, machine, user}.join(QChar(0));
}

QString Apply(const QString& tmpl, const QString& record) {
    FmtData f;
    f.ParseFormat(tmpl);
    return f.ApplyFormat(record);
}

struct Case {
    const char* name;
    const char* tmpl;
    QString record;
    const char* expected;
};

class TemplateLines : public testing::TestWithParam<Case> {};

TEST_P(TemplateLines, GiveTheExpectedLine) {
    const Case& c = GetParam();
    FmtData f;
    ASSERT_TRUE(f.ParseFormat(QString::fromUtf8(c.tmpl))) << c.tmpl;
    EXPECT_EQ(f.ApplyFormat(c.record), QString::fromUtf8(c.expected)) << c.tmpl;
}

INSTANTIATE_TEST_SUITE_P(
    Fields, TemplateLines,
    testing::Values(
        Case{"DefaultTemplate", pelmar::kDefaultFormat, Record(),
             "1,00A1B2C3,1,2026/12/07,08:30:05"},
        Case{"CardIdHexToDecimalWidth5", "{CardID,'&5D'}", Record("1A"), "00026"},
        Case{"EventDecimalToHexWidth2", "{Event,'&2H'}", Record("x", "EM", "10"), "0A"},
        Case{"EventToHexWithoutWidth", "{Event,\"&H\"}", Record("x", "EM", "255"), "FF"},
        Case{"CardIdToDecimalWidth10", "{CardID,'&10D'}", Record(), "0010597059"},
        Case{"ToHexOnLongOnlyCutsToWidth", "{CardID,'&4H'}", Record(), "B2C3"},
        Case{"ToHexOnStringIgnored", "{CardType,'&2H'}", Record(), "EM"},
        Case{"UnconvertibleValueKept", "{Event,'&3H'}", Record("x", "EM", "IN"), "0IN"},
        Case{"UserNameFilledWithBlanks", "{UserName,'&8S'}|", Record(), "Alice   |"},
        Case{"UserNameCutToPattern", "{UserName,'&8S'}|",
             Record("x", "EM", "1", "d", "t", "1", "1", "Christopher"), "Christop|"},
        Case{"NumberFilledFromPatternLeft", "{MachineID,'&3Z'}", Record(), "001"},
        Case{"NumberKeepsLastDigits", "{MachineID,'&3Z'}",
             Record("x", "EM", "1", "d", "t", "1", "12345"), "345"},
        Case{"DoubleQuotedZeros", "{CardID,\"&12Z\"}", Record(), "000000A1B2C3"},
        Case{"FillMarkersInsidePattern", "{CardType,'<&3S>'}", Record(), "EM  >"},
        Case{"BareFillMarkerRemoved", "{CardType,'ab&Scd'}", Record("x", "Z"), "Zbcd"},
        Case{"EmptyPatternIsPlain", "{CardID,''}", Record(), "00A1B2C3"},
        Case{"UnclosedPatternIsPlain", "{CardID,'abc}", Record(), "00A1B2C3"},
        Case{"MapFindsCode", "{Event,0=IN,1=OUT}", Record(), "OUT"},
        Case{"MapWithoutMatchWritesNothing", "[{Event,0=IN,1=OUT}]", Record("x", "EM", "2"), "[]"},
        Case{"MapMatchesWholeCode", "{Event,11=ELEVEN,1=ONE}", Record(), "ONE"},
        Case{"MapCodeMatchesAnyCase", "{CardType,em=Marin,1k=Mifare}", Record(), "Marin"},
        Case{"MapCodeAfterBlank", "{Event,0=IN, 1=OUT}", Record(), "OUT"},
        Case{"MapStartingWithEqualsIsPlain", "{Event,=IN}", Record(), "1"},
        Case{"MapWithEmptyTextIsPlain", "{Event,0= ,1=OUT}", Record(), "1"},
        Case{"ListPicksEntry", "{Event,IN,OUT}", Record("x", "EM", "1"), "OUT"},
        Case{"ListCountsRound", "{Event,IN,OUT}", Record("x", "EM", "2"), "IN"},
        Case{"ListZero", "{Event,IN,OUT}", Record("x", "EM", "0"), "IN"},
        Case{"ListNegative", "{Event,A,B,C}", Record("x", "EM", "-1"), "C"},
        Case{"ListHugeNumber", "{Event,A,B,C}", Record("x", "EM", "100000000000000000000001"), "C"},
        Case{"ListTextCountsAsZero", "{Event,A,B,C}", Record("x", "EM", "IN"), "A"},
        Case{"ListWithEmptyEntryIsPlain", "{Event,IN,,OUT}", Record(), "1"},
        Case{"ListWithTrailingCommaIsPlain", "{Event,IN,}", Record(), "1"},
        Case{"ListStartingWithCommaIsPlain", "{Event,,IN}", Record(), "1"},
        Case{"OtherOptionIsPlain", "{CardID,xyz}", Record(), "00A1B2C3"},
        Case{"TabEscapeUpper", "{CardID}\\T{Event}", Record(), "00A1B2C3\t1"},
        Case{"TabEscapeLower", "{CardID}\\t{Event}", Record(), "00A1B2C3\t1"},
        Case{"BackslashEscape", "a\\\\b{Event}", Record(), "a\\b1"},
        Case{"OtherBackslashStays", "a\\xb{Event}", Record(), "a\\xb1"},
        Case{"TrailingLiteral", "{CardID};", Record(), "00A1B2C3;"},
        Case{"UnknownFieldWritesNothing", "[{Nope}]{CardID}", Record(), "[]00A1B2C3"},
        Case{"NamesInAnyCase", "{cardid}/{EVENT}/{rEcOrDnO}", Record(), "00A1B2C3/1/1"},
        Case{"RecordNumber", "{RecordNo}", Record("x", "EM", "1", "d", "t", "17"), "17"},
        Case{"DatePattern", "{Date,'DD.MM.YY'}", Record(), "07.12.26"},
        Case{"DateNames", "{Date,'DDDD D MMMM YYYY'}", Record(), "Monday 7 December 2026"},
        Case{"DateShortNames", "{Date,'DDD MMM'}", Record(), "Mon Dec"},
        Case{"DateSingleLetters", "{Date,'M/D'}", Record(), "12/7"},
        Case{"DateLowerLetters", "{Date,'yyyy-mm-dd'}", Record(), "2026-12-07"},
        Case{"DateWithWeekdayAppended", "{Date,'YYYYMMDD'}",
             Record("x", "EM", "1", "2026/12/07 Mon"), "20261207"},
        Case{"DateBackslashLiteral", "{Date,'\\YYYYY'}", Record(), "Y2026"},
        Case{"TimeMinutesWithN", "{Time,'hhnnss'}", Record(), "083005"},
        Case{"TimeMinutesWithMAfterHour", "{Time,'hh:mm:ss'}", Record(), "08:30:05"},
        Case{"TimeTwelveHourMorning", "{Time,'h:nn AM/PM'}", Record(), "8:30 AM"},
        Case{"TimeTwelveHourEvening", "{Time,'hh:nn am/pm'}",
             Record("x", "EM", "1", "d", "17:04:59"), "05:04 pm"},
        Case{"TimeNoonIsTwelve", "{Time,'h A/P'}", Record("x", "EM", "1", "d", "12:00:00"), "12 P"},
        Case{"TimeSingleLetters", "{Time,'h:n:s'}", Record("x", "EM", "1", "d", "07:08:09"),
             "7:8:9"},
        Case{"TimeFieldAsDateIsDayZero", "{Time,'YYYY/MM/DD'}", Record(), "1899/12/30"},
        Case{"DateFieldHasMidnight", "{Date,'hh:nn'}", Record(), "00:00"},
        Case{"UnreadableDateKept", "{Date,'YYYY'}", Record("x", "EM", "1", "garbage"), "garbage"},
        Case{"ImpossibleDateKept", "{Date,'YYYY'}", Record("x", "EM", "1", "2026/02/30"),
             "2026/02/30"},
        Case{"ExtraClosingBraces", "{CardID}}}", Record(), "00A1B2C3"},
        Case{"UnclosedTrailingItemStillWritten", "{CardID}-{Event", Record(), "00A1B2C3-1"}),
    [](const testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

TEST(ParseFormat, RefusesTemplatesWithoutAKnownField) {
    const QStringList bad{"",       "   ",         "{CardID", "{{CardID}", "a{b{CardID}c}",
                          "{Nope}", "plain text}", "{}"};
    for (const QString& t : bad) {
        FmtData f;
        EXPECT_FALSE(f.ParseFormat(t)) << t.toStdString();
        EXPECT_FALSE(f.IsValid());
        EXPECT_TRUE(f.items().empty()) << t.toStdString();
    }
}

TEST(ParseFormat, RefusesAnEmptyFieldList) {
    FmtData f;
    EXPECT_FALSE(f.ParseFormat("{CardID}", "  "));
}

TEST(ParseFormat, ReadsFieldTypesFromTheLastCharacter) {
    FmtData f;
    ASSERT_TRUE(f.ParseFormat("{A}", "a#,b%,c&,d"));
    ASSERT_EQ(f.fields().size(), 4u);
    EXPECT_EQ(f.fields()[0].szName, "A");
    EXPECT_EQ(f.fields()[0].type, FmtData::FieldType::Date);
    EXPECT_EQ(f.fields()[1].type, FmtData::FieldType::Integer);
    EXPECT_EQ(f.fields()[2].type, FmtData::FieldType::Long);
    EXPECT_EQ(f.fields()[3].szName, "D");
    EXPECT_EQ(f.fields()[3].type, FmtData::FieldType::String);
}

TEST(ParseFormat, OtherDelimitersAndSeparator) {
    FmtData f;
    ASSERT_TRUE(
        f.ParseFormat("<B>-<A>", "A,B", QLatin1Char('|'), QLatin1Char('<'), QLatin1Char('>')));
    EXPECT_EQ(f.ApplyFormat("x|y"), "y-x");
}

TEST(ParseFormat, TellsWhichFieldsATemplateUses) {
    FmtData f;
    ASSERT_TRUE(f.ParseFormat("{CardID},{UserName}"));
    EXPECT_TRUE(f.UsesField("USERNAME"));
    EXPECT_FALSE(f.UsesField("MACHINEID"));
}

TEST(ApplyFormat, ReturnsTheRecordUnchangedWhenInvalidOrMiscounted) {
    FmtData invalid;
    invalid.ParseFormat("{Nope}");
    EXPECT_EQ(invalid.ApplyFormat(Record()), Record());
    FmtData f;
    ASSERT_TRUE(f.ParseFormat("{CardID}"));
    const QString seven = QStringList{"a", "b", "c", "d", "e", "f", "g"}.join(QChar(0));
    EXPECT_EQ(f.ApplyFormat(seven), seven);
    EXPECT_EQ(f.ApplyFormat(Record() + QChar(0) + "extra"), Record() + QChar(0) + "extra");
}

TEST(HostileTemplates, HugeWidthsAreCapped) {
    EXPECT_EQ(Apply("{CardID,'&99999999S'}", Record()).size(), pelmar::kFmtMaxWidth);
    EXPECT_EQ(Apply("{UserName,'&99999999999999999999999S'}", Record()),
              QString("Alice") + QString(pelmar::kFmtMaxWidth - 5, ' '));
    EXPECT_EQ(Apply("{CardID,'&99999999D'}", Record()),
              QString(pelmar::kFmtMaxWidth - 8, '0') + "10597059");
    EXPECT_EQ(Apply("{UserName,'&1000S&1000Z'}", Record()).size(), pelmar::kFmtMaxWidth);
}

TEST(HostileTemplates, ThousandsOfFields) {
    QString t;
    for (int i = 0; i < 1500; ++i)
        t += "{CardID}{Nope}{Event,0=IN,1=OUT},";
    FmtData f;
    ASSERT_TRUE(f.ParseFormat(t));
    const QString line = f.ApplyFormat(Record());
    EXPECT_EQ(line.size(), 1500 * 12);
    EXPECT_TRUE(line.startsWith("00A1B2C3OUT,00A1B2C3OUT,"));
}

TEST(HostileTemplates, OverlongTemplateRefused) {
    FmtData f;
    EXPECT_FALSE(f.ParseFormat(QString(pelmar::kFmtMaxTemplate, 'x') + "{CardID}"));
}

TEST(HostileTemplates, LongNumbersAreNotConverted) {
    const QString id(5000, 'F');
    EXPECT_EQ(Apply("{CardID,'&D'}", Record(id)), id);
}

TEST(NumberBases, HexToDec) {
    EXPECT_EQ(pelmar::FmtHexToDec("FFFFFFFF"), "4294967295");
    EXPECT_EQ(pelmar::FmtHexToDec("00ab"), "171");
    EXPECT_EQ(pelmar::FmtHexToDec("0"), "0");
    EXPECT_EQ(pelmar::FmtHexToDec(""), "");
    EXPECT_EQ(pelmar::FmtHexToDec("12G4"), "");
    EXPECT_EQ(pelmar::FmtHexToDec("0x1"), "");
    EXPECT_EQ(pelmar::FmtHexToDec(QString(20, 'F')), "1208925819614629174706175");
}

TEST(NumberBases, DecToHex) {
    EXPECT_EQ(pelmar::FmtDecToHex("4294967295"), "FFFFFFFF");
    EXPECT_EQ(pelmar::FmtDecToHex("255"), "FF");
    EXPECT_EQ(pelmar::FmtDecToHex("65536"), "10000");
    EXPECT_EQ(pelmar::FmtDecToHex("12A4"), "");
    EXPECT_EQ(pelmar::FmtDecToHex("1208925819614629174706175"), QString(20, 'F'));
}

TEST(RecordDateTime, ReadsTheFixedForms) {
    pelmar::FmtDateTime dt;
    ASSERT_TRUE(pelmar::ParseRecordDateTime("2026/12/07 08:30:05", &dt));
    EXPECT_TRUE(dt.bHasDate && dt.bHasTime);
    EXPECT_EQ(dt.year * 10000 + dt.month * 100 + dt.day, 20261207);
    EXPECT_EQ(dt.hour * 10000 + dt.minute * 100 + dt.second, 83005);
    ASSERT_TRUE(pelmar::ParseRecordDateTime("17:04:59", &dt));
    EXPECT_FALSE(dt.bHasDate);
    EXPECT_EQ(dt.hour, 17);
    EXPECT_FALSE(pelmar::ParseRecordDateTime("24:00:00", &dt));
    EXPECT_FALSE(pelmar::ParseRecordDateTime("2026-12-07", &dt));
    EXPECT_FALSE(pelmar::ParseRecordDateTime("", &dt));
}

// The examples in the shipped Format.ini produce the lines its comment block shows.
TEST(ShippedFormatFile, ExamplesMatchTheirComments) {
    const QString file = QStringLiteral(LORVANE_SOURCE_DIR "/console/export/data/Format.ini");
    EXPECT_EQ(pelmar::ReadFormatNames(file),
              (QStringList{"(Default)", "Payroll", "InOut", "Tabbed", "Readable"}));
    const struct {
        const char* section;
        const char* line;
    } examples[] = {
        {"(Default)", "1,00A1B2C3,1,2026/12/07,08:30:05"},
        {"Payroll", "00100105970590120261207083005"},
        {"InOut", "00A1B2C3,OUT,07/12/2026 08:30"},
        {"Tabbed", "1\t00A1B2C3\t1\t2026-12-07\t08:30:05"},
        {"Readable", "Monday, 7 December 2026 8:30 AM  card 00A1B2C3  OUT"},
    };
    for (const auto& e : examples) {
        FmtData f;
        ASSERT_TRUE(f.ParseFormat(pelmar::ReadFormatTemplate(file, e.section))) << e.section;
        EXPECT_EQ(f.ApplyFormat(Record()), QString::fromUtf8(e.line)) << e.section;
    }
}

} // namespace
