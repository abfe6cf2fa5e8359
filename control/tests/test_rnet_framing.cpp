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

TEST(RnetFraming, CollectorOptionsNameWhatTheLoopsDoDifferently) {
    struct Case {
        const char* name;
        CollectorOptions options;
        std::string in;
        bool ended;       // the last byte ended the wait
        bool complete;    // a whole reply came
        std::string text; // what was collected
        bool overflow;
    };
    CollectorOptions console;
    console.crBeforeStxEnds = false;
    CollectorOptions keepStx = console;
    keepStx.keepInnerStx = true;
    CollectorOptions request = console;
    request.maxLength = 4;
    const std::string stx(1, STX);
    const Case cases[] = {
        {"link control: a CR before the STX ends the wait", {}, "\r", true, false, "", false},
        {"console: a CR before the STX is noise", console, "\r", false, false, "", false},
        {"console: the reply after it still comes", console, "\rx" + stx + "AB\r", true, true, "AB",
         false},
        {"an inner STX restarts the reply", console, stx + "AB" + stx + "CD\r", true, true, "CD",
         false},
        {"lSkipSTXCount > 0 keeps it as data", keepStx, stx + "AB" + stx + "CD\r", true, true,
         "AB" + stx + "CD", false},
        {"a request longer than the limit is cut and marked", request, stx + "ABCDEF\r", true, true,
         "ABCD", true},
        {"a new STX clears the mark", request, stx + "ABCDEF" + stx + "G\r", true, true, "G",
         false},
    };
    for (const auto& c : cases) {
        ReplyCollector rc(c.options);
        bool ended = false;
        for (char ch : c.in)
            ended = rc.Feed(ch);
        EXPECT_EQ(ended, c.ended) << c.name;
        EXPECT_EQ(rc.Complete(), c.complete) << c.name;
        EXPECT_EQ(rc.Text(), c.text) << c.name;
        EXPECT_EQ(rc.Overflowed(), c.overflow) << c.name;
    }
    // After a whole reply the next bytes start afresh.
    ReplyCollector rc(console);
    for (char ch : stx + "AB\rzz" + stx + "C\r")
        rc.Feed(ch);
    EXPECT_EQ(rc.Text(), "C");
}

TEST(RnetFraming, RecordCountIsFourDigitsDecimalUnlessTheyHoldAHexLetter) {
    struct Case {
        const char* reply;
        long count; // -1: no count
    };
    const Case cases[] = {
        {"A0030", 30},
        {"A9999", 9999},
        {"A00FF2D", 255}, // hex + checksum of A00FF
        {"A003004", 30},  // decimal digits + their checksum: still decimal, not 0x30
        {"A00FF", 255},
        {"A2328", 2328},
        {"A7FFF", 32767},
        {"A00FF2C", -1},
        {"A003", -1},
        {"A00300", -1},
        {"N0030", -1},
        {"", -1},
        {"A0x30", -1},
        {"A00ff", -1},
        {"A7FFFFA", -1}, // 0x41+0x37+0x46+0x46+0x46 = 0x14A:
                         // checksum 4A, not FA
        {"A7FFF4A", 32767},
    };
    for (const auto& c : cases) {
        auto n = RecordCountFromReply(c.reply);
        EXPECT_EQ(n.has_value() ? *n : -1, c.count) << c.reply;
    }
    // The other reading of an ambiguous count: only four decimal digits with their checksum.
    EXPECT_EQ(HexadecimalCountReading("A003206").value_or(-1), 0x32);
    EXPECT_FALSE(HexadecimalCountReading("A0032").has_value());
    EXPECT_FALSE(HexadecimalCountReading("A00FF2D").has_value()); // hexadecimal already
    EXPECT_FALSE(HexadecimalCountReading("A003207").has_value()); // wrong checksum
    EXPECT_TRUE(TrailingChecksumOk("A12340B"));
    EXPECT_FALSE(TrailingChecksumOk("A12340b"));
    EXPECT_TRUE(TrailingChecksumOk("A12340b", true)); // the console reads either case
    EXPECT_FALSE(TrailingChecksumOk("0B"));           // nothing before the checksum
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

// Wherever a reader would read a login or change-ID frame, the ID is hidden: the frames the
// command methods build, and the same texts sent through SendRnetCmd with STX written in.
TEST(RnetFraming, MaskLoginIdsHidesEveryIdAReaderWouldRead) {
    const struct {
        const char* name;
        std::string in, out;
    } cases[] = {
        {"login", "\x02L4826\r", "\x02L****\r"},
        {"change ID with checksum", "\x02P12341A\r", "\x02P******\r"},
        {"STX written into the text", "\x02\x02L4826\r", "\x02\x02L****\r"},
        {"two frames, the second a login", "\x02T\r\x02L4826\r", "\x02T\r\x02L****\r"},
        {"a second STX ends the masked part", "\x02L48\x02T\r", "\x02L**\x02T\r"},
        {"other commands stay", "\x02G0001\r", "\x02G0001\r"},
        {"no STX: not a frame a reader reads", "L4826\r", "L4826\r"},
        {"letter not at the start", "\x02xL4826\r", "\x02xL4826\r"},
        {"bare L", "\x02L\r", "\x02L\r"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MaskLoginIds(c.in), c.out) << c.name;
}
