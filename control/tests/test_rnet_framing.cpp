// Frame building, checksum rules, reply collection and the protocol's number readings.
#include "dorlin/Rnet.h"

#include <gtest/gtest.h>

using namespace rnet;

TEST(RnetFraming, FrameWithoutChecksumIsStxTextCr) {
    EXPECT_EQ(BuildFrame("T", false), std::string("\x02T\r"));
}

TEST(RnetFraming, FrameWithChecksumAppendsTwoUpperHexDigits) {
    EXPECT_EQ(BuildFrame("T", true), std::string("\x02T54\r"));
    EXPECT_EQ(BuildFrame("abc", true), std::string("\x02"
                                                   "abc26\r"));
    EXPECT_EQ(CheckSumText(""), "00");
    EXPECT_EQ(CheckSumText("\xff\x01"), "00");
}

TEST(RnetFraming, ReplyChecksumIsCheckedAndRemoved) {
    struct Case {
        std::string in;
        bool ok;
        std::string out;
    };
    const Case cases[] = {
        {"A12340B", true, "A1234"}, // sum of A1234 is 0x10B
        {"A12340C", false, "A12340C"},
        {"A", true, "A"}, // one or two characters: no checksum
        {"A1", true, "A1"},
        {"N12", true, "N12"}, // refusals carry none
        {"A41", true, "A"},   // "A" alone with its sum
    };
    for (const auto& c : cases) {
        std::string r = c.in;
        EXPECT_EQ(StripReplyChecksum(r), c.ok) << c.in;
        EXPECT_EQ(r, c.out) << c.in;
    }
}

TEST(RnetFraming, CollectorDropsNoiseAndRestartsOnStx) {
    ReplyCollector rc;
    std::string in = "xx\x02"
                     "AB\x02"
                     "CD\rEF";
    size_t i = 0;
    bool done = false;
    for (; i < in.size() && !done; ++i)
        done = rc.Feed(in[i]);
    EXPECT_TRUE(done);
    EXPECT_EQ(rc.Text(), "CD");
    EXPECT_EQ(in.substr(i), "EF"); // bytes behind the CR are not taken
}

TEST(RnetFraming, CollectorEndsOnCrBeforeStxWithEmptyReply) {
    ReplyCollector rc;
    EXPECT_FALSE(rc.Feed('z'));
    EXPECT_TRUE(rc.Feed('\r'));
    EXPECT_EQ(rc.Text(), "");
    EXPECT_FALSE(rc.SeenStx());
}

TEST(RnetFraming, HexAndDecimalReadingsFollowTheProtocol) {
    EXPECT_EQ(HexReading("00FF"), 255);
    EXPECT_EQ(HexReading(""), 0);
    EXPECT_EQ(HexReading("7FFF"), 32767);
    EXPECT_EQ(HexReading("a"), 'a' - 55); // lower case is not rejected, it reads as 42
    EXPECT_EQ(DecReading("123"), 123);
    EXPECT_EQ(DecReading("70000"), int16_t(70000 & 0xFFFF));
}

TEST(RnetFraming, VisibleWritesControlBytes) {
    EXPECT_EQ(Visible(std::string("\x02T54\r\n\x7f\x01")), "<STX>T54<CR><LF><7F><01>");
}
