// HexToDec and DecToHex: exact results on any length, empty results on bad digits.
#include "pelmar/NumberConvert.h"

#include <gtest/gtest.h>

using namespace pelmar;

namespace {

struct ConvertCase {
    const char* name;
    QString input;
    QString expected;
};

class HexToDecCase : public ::testing::TestWithParam<ConvertCase> {};
TEST_P(HexToDecCase, GivesExactDecimal) {
    EXPECT_EQ(HexToDec(GetParam().input), GetParam().expected);
}
const ConvertCase kHexToDec[] = {
    {"ThirtyTwoBitsAllSet", "FFFFFFFF", "4294967295"},
    {"LeadingZerosAndLowerCase", "00ab", "171"},
    {"Zero", "0", "0"},
    {"ManyZeros", "0000000", "0"},
    {"Empty", "", ""},
    {"BadDigit", "12G4", ""},
    {"BlankInside", "12 4", ""},
    {"Sign", "-1", ""},
    {"TwentyFs", "FFFFFFFFFFFFFFFFFFFF", "1208925819614629174706175"},
    {"CardId", "00BC614E", "12345678"},
    {"OneGroup", "FFF", "4095"},
    {"GroupBoundary", "1000", "4096"},
    {"LimbBoundary", "186A0", "100000"},
    {"LimbBoundaryMinusOne", "1869F", "99999"},
    {"InnerLimbZeros", "2540BE400", "10000000000"},
    {"SixtyFourBits", "FFFFFFFFFFFFFFFF", "18446744073709551615"},
    {"NonAsciiDigit", QString::fromUtf8("１２"), ""},
};
INSTANTIATE_TEST_SUITE_P(Values, HexToDecCase, ::testing::ValuesIn(kHexToDec),
                         [](const auto& p) { return std::string(p.param.name); });

class DecToHexCase : public ::testing::TestWithParam<ConvertCase> {};
TEST_P(DecToHexCase, GivesExactHex) {
    EXPECT_EQ(DecToHex(GetParam().input), GetParam().expected);
}
const ConvertCase kDecToHex[] = {
    {"ThirtyTwoBitsAllSet", "4294967295", "FFFFFFFF"},
    {"Byte", "255", "FF"},
    {"LimbBoundary", "65536", "10000"},
    {"LimbBoundaryMinusOne", "65535", "FFFF"},
    {"InnerLimbZeros", "4294967296", "100000000"},
    {"Zero", "0", "0"},
    {"ManyZeros", "000000", "0"},
    {"LeadingZeros", "0012345678", "BC614E"},
    {"Empty", "", ""},
    {"HexDigit", "12A4", ""},
    {"BlankInside", "12 4", ""},
    {"Sign", "+5", ""},
    {"TwentyFiveDigits", "1208925819614629174706175", "FFFFFFFFFFFFFFFFFFFF"},
    {"SixtyFourBits", "18446744073709551615", "FFFFFFFFFFFFFFFF"},
};
INSTANTIATE_TEST_SUITE_P(Values, DecToHexCase, ::testing::ValuesIn(kDecToHex),
                         [](const auto& p) { return std::string(p.param.name); });

// 16^250 = 2^1000, whose 302 decimal digits are well known.
TEST(HugeNumbers, TwoToTheThousandHasItsKnownDecimal) {
    const QString hex = QStringLiteral("1") + QString(250, u'0');
    const QString dec = HexToDec(hex);
    EXPECT_EQ(dec.size(), 302);
    EXPECT_EQ(
        dec, QStringLiteral("1071508607186267320948425049060001810561404811705533607443750388370351"
                            "0511249361224931983788156958581275946729175531468251871452856923140435"
                            "9845775746985748039345677748242309854210746050623711418779541821530464"
                            "7498358194126739876755916554394607706291457119647768654216766042983165"
                            "2624386837205668069376"));
    EXPECT_EQ(DecToHex(dec), hex);
}

TEST(HugeNumbers, ThousandDigitRoundTrips) {
    QString hex;
    for (int i = 0; i < 1000; ++i)
        hex += QChar(u"123456789ABCDEF0"[(i * 7) % 16]);
    const QString dec = HexToDec(hex);
    ASSERT_FALSE(dec.isEmpty());
    EXPECT_EQ(DecToHex(dec), hex);

    QString decIn = QStringLiteral("9");
    for (int i = 1; i < 1000; ++i)
        decIn += QChar(u'0' + (i * 3) % 10);
    const QString h = DecToHex(decIn);
    ASSERT_FALSE(h.isEmpty());
    EXPECT_EQ(HexToDec(h), decIn);
}

TEST(HugeNumbers, BadDigitAtTheVeryEndGivesEmpty) {
    EXPECT_EQ(HexToDec(QString(999, u'F') + u'X'), QString());
    EXPECT_EQ(DecToHex(QString(999, u'9') + u'A'), QString());
}

TEST(HugeNumbers, AllNinesIsOneBelowAPowerOfTen) {
    // 10^40 - 1 written in hex, cross-checked by converting back.
    const QString nines(40, u'9');
    const QString hex = DecToHex(nines);
    EXPECT_EQ(hex, QStringLiteral("1D6329F1C35CA4BFABB9F560FFFFFFFFFF"));
    EXPECT_EQ(HexToDec(hex), nines);
}

} // namespace
