// Address and baud-rate lists, and what each kind of reply shows in the "Device" column.
#include <gtest/gtest.h>
#include <pelmar/discovery/ScanEngine.h>
#include <pelmar/discovery/frmAutoScan.h>

using namespace pelmar::discovery;

namespace {

struct IpCase {
    const char* name;
    QString list;
    QStringList expected;
};

class IpListParsing : public ::testing::TestWithParam<IpCase> {};

TEST_P(IpListParsing, KeepsOnlyUsableAddresses) {
    EXPECT_EQ(ParseIpList(GetParam().list), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, IpListParsing,
    ::testing::Values(
        IpCase{"Plain", "192.168.1.20", {"192.168.1.20"}},
        IpCase{"LeadingZerosDropped", "010.000.000.001", {"10.0.0.1"}},
        IpCase{"FieldAbove255Ignored", "10.0.0.256,10.0.0.2", {"10.0.0.2"}},
        IpCase{"ThreeFieldsIgnored", "10.0.1", {}}, IpCase{"FiveFieldsIgnored", "10.0.0.1.5", {}},
        IpCase{"AllZeroIgnored", "0.0.0.0", {}}, IpCase{"BroadcastIgnored", "255.255.255.255", {}},
        IpCase{"ZerosWrittenLongIgnored", "000.00.0.000", {}},
        IpCase{"NonNumericIgnored", "10.0.x.1,10.0.-1.1,10.0.1e1.1", {}},
        IpCase{"EmptyFieldIgnored", "10..0.1", {}}, IpCase{"EmptyList", "", {}},
        IpCase{"BlanksAroundEntries", " 10.0.0.7 , 10.0.0.8", {"10.0.0.7", "10.0.0.8"}},
        IpCase{"LongZeroPaddedField", "10.0.0.0000000255", {"10.0.0.255"}},
        IpCase{"DuplicateKeptOnce", "10.0.0.1,010.0.0.1", {"10.0.0.1"}},
        IpCase{"OrderKept", "10.0.0.9,10.0.0.3", {"10.0.0.9", "10.0.0.3"}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(BaudList, TakesPositiveNumbersInOrder) {
    EXPECT_EQ(ParseBaudList("19200"), (QList<long>{19200}));
    EXPECT_EQ(ParseBaudList("9600, 19200,x,-5,0,115200"), (QList<long>{9600, 19200, 115200}));
    EXPECT_TRUE(ParseBaudList("").isEmpty());
}

struct ReplyCase {
    const char* name;
    QString reply;
    QString firmware;
    QString label;
    QString status;
    bool found;
};

class ReplyEvaluation : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyEvaluation, StatusText) {
    const ReplyCase& c = GetParam();
    const ScanParams p{c.firmware, c.label, "F", "19200", ""};
    const ReplyVerdict v = EvaluateReply(c.reply, p, 19200);
    EXPECT_EQ(v.status, c.status);
    EXPECT_EQ(v.found, c.found);
}

const QString kList = Kt9FirmwareList();

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyEvaluation,
    ::testing::Values(ReplyCase{"FirstIdentifierOfList", "AKRN-A0102 V1.05", kList, "Kt9/Kt7 ",
                                "Found: KRN-A0102 V1.05", true},
                      ReplyCase{"SecondIdentifierWithComma", "AKRN-A0101,V2", kList, "Kt9/Kt7 ",
                                "Found: KRN-A0101,V2", true},
                      ReplyCase{"SecondIdentifierWithoutCommaIsOther", "AKRN-A0101 V2", kList,
                                "Kt9/Kt7 ", "Other: KRN-A0101 V2", false},
                      ReplyCase{"SingleIdentifierReplacedByLabel", "AKRN-A0102 V1.05", "KRN-A0102",
                                "Kt9/Kt7 ", "Found: Kt9/Kt7  V1.05", true},
                      ReplyCase{"SingleIdentifierWithoutLabel", "AKRN-A0102 V1.05", "KRN-A0102", "",
                                "Found: KRN-A0102 V1.05", true},
                      ReplyCase{"ComparedWithCase", "Akrn-a0102 V1", kList, "",
                                "Other: krn-a0102 V1", false},
                      ReplyCase{"OtherFirmware", "AXYZ-1 V2", kList, "", "Other: XYZ-1 V2", false},
                      ReplyCase{"BareAccept", "A", kList, "", "Other: ", false},
                      ReplyCase{"RefusedWithReason", "N01", kList, "", "Error: 0x01", false},
                      ReplyCase{"RefusedBare", "N", kList, "", "Error: 0x", false},
                      ReplyCase{"InvalidId", "I", kList, "", "Unknown: I(19200bps)", false},
                      ReplyCase{"EmptyReply", "", kList, "", "Unknown: (19200bps)", false},
                      ReplyCase{"EmptyFirmwareListMatchesNothing", "AKRN-A0102", "", "",
                                "Other: KRN-A0102", false},
                      ReplyCase{"TrailingNulMatchesNothingExtra", "AXYZ", QString("KRN") + QChar(0),
                                "", "Other: XYZ", false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ReplyEvaluation, UsesTheLanguageTexts) {
    const ScanParams p{"KRN", "", "F", "19200", ""};
    auto german = [](const QString& id, const QString& fallback) {
        if (id == "AUTOSCAN007") return QString("Gefunden");
        if (id == "AUTOSCAN008") return QString("Andere");
        if (id == "AUTOSCAN009") return QString("Fehler");
        if (id == "AUTOSCAN010") return QString("Unbekannt");
        return fallback;
    };
    EXPECT_EQ(EvaluateReply("AKRN 1", p, 9600, german).status, "Gefunden: KRN 1");
    EXPECT_EQ(EvaluateReply("AX", p, 9600, german).status, "Andere: X");
    EXPECT_EQ(EvaluateReply("N2", p, 9600, german).status, "Fehler: 0x2");
    EXPECT_EQ(EvaluateReply("?", p, 9600, german).status, "Unbekannt: ?(9600bps)");
}

} // namespace
