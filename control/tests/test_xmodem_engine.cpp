// The XMODEM engines on their own: the exact bytes each side puts on the wire for a given
// input, and the two engines talking to each other through a line that loses or damages bytes.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "XmodemCore.h"

using namespace xmodem;

namespace {

std::string Pattern(int n) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += char((i * 7 + 3) & 0xFF);
    return s;
}

std::string Frame(int number, std::string data, bool crc) {
    data.resize(kBlock, '\0');
    std::string f;
    f += char(SOH);
    f += char(number & 0xFF);
    f += char(255 - (number & 0xFF));
    f += data;
    const auto* d = reinterpret_cast<const uint8_t*>(data.data());
    if (crc) {
        const uint16_t c = Crc16(d, kBlock);
        f += char(c >> 8);
        f += char(c & 0xFF);
    } else {
        f += char(Sum8(d, kBlock));
    }
    return f;
}

// A sender over an in-memory file.
struct MemSender {
    std::string file;
    size_t pos = 0;
    Sender s;
    explicit MemSender(std::string f)
        : file(std::move(f)), s(int64_t(file.size()), [this](uint8_t* d, int n) {
              const int k = int(std::min<size_t>(size_t(n), file.size() - pos));
              std::copy(file.begin() + long(pos), file.begin() + long(pos) + k, d);
              pos += size_t(k);
              return k;
          }) {}
};

std::string FeedAll(Receiver& r, const std::string& bytes, Step* total = nullptr) {
    std::string out;
    for (char c : bytes) {
        Step st;
        r.Feed(uint8_t(c), st);
        out += st.send;
        if (total) {
            total->data += st.data;
            total->msgs.insert(total->msgs.end(), st.msgs.begin(), st.msgs.end());
        }
    }
    return out;
}

std::string Answer(Sender& s, uint8_t b, Step* st = nullptr) {
    Step local;
    Step& x = st ? *st : local;
    s.Feed(b, x);
    return x.send;
}

} // namespace

TEST(XmodemCrc, KnownValues) {
    const std::string digits = "123456789";
    EXPECT_EQ(Crc16(reinterpret_cast<const uint8_t*>(digits.data()), digits.size()), 0x31C3);
    const uint8_t zeros[128] = {};
    EXPECT_EQ(Crc16(zeros, 128), 0x0000);
    EXPECT_EQ(Sum8(reinterpret_cast<const uint8_t*>("abc"), 3), 0x26);
    EXPECT_EQ(CancelSequence(), std::string("\x18\x18\x18\x08\x08\x08"));
}

// ---- sender ---------------------------------------------------------------------------------

TEST(XmodemSender, ThreeHundredBytesAreThreeBlocksThenEot) {
    const std::string file = Pattern(300);
    MemSender m(file);
    Step start;
    m.s.Start(start);
    ASSERT_EQ(start.msgs.size(), 1u);
    EXPECT_EQ(start.msgs[0], std::make_pair(int(MsgTxFile), 3L));
    EXPECT_EQ(m.s.TotalBlocks(), 3);
    EXPECT_EQ(Answer(m.s, 'C'), Frame(1, file.substr(0, 128), true));
    EXPECT_EQ(Answer(m.s, ACK), Frame(2, file.substr(128, 128), true));
    const std::string third = Answer(m.s, ACK);
    EXPECT_EQ(third, Frame(3, file.substr(256), true));
    EXPECT_EQ(third.substr(3 + 44, 84), std::string(84, '\0')); // 44 data bytes, 84 zeros
    EXPECT_EQ(Answer(m.s, ACK), std::string(1, char(EOT)));
    EXPECT_FALSE(m.s.Done());
    Step end;
    m.s.Feed(ACK, end);
    EXPECT_TRUE(m.s.Done());
    EXPECT_TRUE(m.s.Success());
    EXPECT_EQ(m.s.Acked(), 3);
    ASSERT_EQ(end.msgs.size(), 1u);
    EXPECT_EQ(end.msgs[0], std::make_pair(int(MsgEot), 3L));
}

TEST(XmodemSender, NakAtTheStartGivesChecksumFramesThroughout) {
    const std::string file = Pattern(200);
    MemSender m(file);
    const std::string b1 = Answer(m.s, NAK);
    EXPECT_EQ(b1.size(), 132u);
    EXPECT_EQ(b1, Frame(1, file.substr(0, 128), false));
    EXPECT_FALSE(m.s.CrcMode());
    EXPECT_EQ(Answer(m.s, NAK), b1); // a NAK now asks for the same block again
    EXPECT_EQ(Answer(m.s, ACK), Frame(2, file.substr(128), false));
}

TEST(XmodemSender, ExactMultipleEndsWithEotAndNoZeroBlock) {
    for (int len : {128, 256}) {
        MemSender m(Pattern(len));
        std::string wire = Answer(m.s, 'C');
        for (int i = 0; i < len / 128; ++i)
            wire = Answer(m.s, ACK);
        EXPECT_EQ(wire, std::string(1, char(EOT))) << len;
    }
}

TEST(XmodemSender, EmptyFileIsJustEot) {
    MemSender m("");
    EXPECT_EQ(Answer(m.s, 'C'), std::string(1, char(EOT)));
    EXPECT_EQ(Answer(m.s, NAK), std::string(1, char(EOT))); // a NAKed EOT is sent again
    Answer(m.s, ACK);
    EXPECT_TRUE(m.s.Success());
}

TEST(XmodemSender, ShortFileNeedsItsBlockAcknowledged) {
    MemSender m(Pattern(5));
    Answer(m.s, 'C');
    Step st;
    m.s.Cancel(st);
    EXPECT_TRUE(m.s.Done());
    EXPECT_FALSE(m.s.Success());
    EXPECT_EQ(st.send, CancelSequence());
}

TEST(XmodemSender, BlockNumbersWrapAfter255) {
    const std::string file = Pattern(128 * 257);
    MemSender m(file);
    std::string f = Answer(m.s, 'C');
    for (int i = 1; i <= 256; ++i)
        f = Answer(m.s, ACK);
    EXPECT_EQ(uint8_t(f[1]), 1); // block 257
    EXPECT_EQ(uint8_t(f[2]), 254);
    EXPECT_EQ(f, Frame(1, file.substr(256 * 128), true));
}

TEST(XmodemSender, OneCanIsIgnoredTwoCancel) {
    MemSender m(Pattern(300));
    Answer(m.s, 'C');
    Answer(m.s, CAN);
    EXPECT_FALSE(m.s.Done());
    EXPECT_EQ(Answer(m.s, ACK), Frame(2, Pattern(300).substr(128, 128), true));
    Answer(m.s, CAN);
    Step st;
    m.s.Feed(CAN, st);
    EXPECT_TRUE(m.s.Done());
    EXPECT_FALSE(m.s.Success());
    EXPECT_FALSE(m.s.CancelSent());
    ASSERT_EQ(st.msgs.size(), 1u);
    EXPECT_EQ(st.msgs[0].first, int(MsgCancel));
}

TEST(XmodemSender, OnlyTheEotIsRepeatedOnSilence) {
    MemSender m(Pattern(10));
    Step st;
    m.s.Timeout(st);
    EXPECT_EQ(st.send, ""); // no request yet: nothing to repeat
    Answer(m.s, 'C');
    m.s.Timeout(st);
    EXPECT_EQ(st.send, ""); // a data block waits for the receiver
    Answer(m.s, ACK);
    std::string eots;
    for (int i = 0; i < 12; ++i) {
        Step t;
        m.s.Timeout(t);
        eots += t.send;
    }
    EXPECT_EQ(eots, std::string(10, char(EOT)) + CancelSequence());
    EXPECT_TRUE(m.s.Done());
    EXPECT_FALSE(m.s.Success());
}

// ---- receiver -------------------------------------------------------------------------------

TEST(XmodemReceiver, AcceptsBlocksAndNeedsTwoEots) {
    Receiver r;
    Step st;
    r.Start(st);
    EXPECT_EQ(st.send, "C");
    Step total;
    const std::string data = Pattern(256);
    EXPECT_EQ(FeedAll(r, Frame(1, data.substr(0, 128), true), &total), std::string(1, char(ACK)));
    EXPECT_EQ(FeedAll(r, Frame(2, data.substr(128), true), &total), std::string(1, char(ACK)));
    EXPECT_EQ(FeedAll(r, std::string(1, char(EOT))), std::string(1, char(NAK)));
    EXPECT_FALSE(r.Done());
    EXPECT_EQ(FeedAll(r, std::string(1, char(EOT)), &total), std::string(1, char(ACK)));
    EXPECT_TRUE(r.Success());
    EXPECT_EQ(total.data, data);
    EXPECT_EQ(r.Blocks(), 2);
    ASSERT_EQ(total.msgs.size(), 3u);
    EXPECT_EQ(total.msgs[0], std::make_pair(int(MsgRxPack), 1L));
    EXPECT_EQ(total.msgs[1], std::make_pair(int(MsgRxPack), 2L));
    EXPECT_EQ(total.msgs[2], std::make_pair(int(MsgEot), 2L));
}

TEST(XmodemReceiver, DamagedBlocksAreRefused) {
    struct Case {
        const char* name;
        std::function<void(std::string&)> damage;
    };
    const Case cases[] = {
        {"data bit", [](std::string& f) { f[50] ^= 0x10; }},
        {"crc byte", [](std::string& f) { f[132] ^= 0x01; }},
        {"complement", [](std::string& f) { f[2] ^= 0x01; }},
    };
    for (const auto& c : cases) {
        Receiver r;
        Step st;
        r.Start(st);
        std::string f = Frame(1, Pattern(128), true);
        c.damage(f);
        Step total;
        EXPECT_EQ(FeedAll(r, f, &total), std::string(1, char(NAK))) << c.name;
        EXPECT_EQ(total.data, "") << c.name;
        ASSERT_EQ(total.msgs.size(), 1u) << c.name;
        EXPECT_EQ(total.msgs[0], std::make_pair(int(MsgCrcErr), 1L)) << c.name;
        // the good copy goes through
        EXPECT_EQ(FeedAll(r, Frame(1, Pattern(128), true), &total), std::string(1, char(ACK)));
        EXPECT_EQ(total.data, Pattern(128)) << c.name;
    }
}

TEST(XmodemReceiver, RepeatedBlockIsAcknowledgedAndDropped) {
    Receiver r;
    Step st;
    r.Start(st);
    Step total;
    FeedAll(r, Frame(1, "first", true), &total);
    EXPECT_EQ(FeedAll(r, Frame(1, "first", true), &total), std::string(1, char(ACK)));
    FeedAll(r, Frame(2, "second", true), &total);
    std::string want = "first";
    want.resize(128, '\0');
    std::string second = "second";
    second.resize(128, '\0');
    EXPECT_EQ(total.data, want + second);
    EXPECT_EQ(r.Blocks(), 2);
}

TEST(XmodemReceiver, OutOfSequenceCancels) {
    Receiver r;
    Step st;
    r.Start(st);
    FeedAll(r, Frame(1, "a", true));
    EXPECT_EQ(FeedAll(r, Frame(3, "c", true)), CancelSequence());
    EXPECT_TRUE(r.Done());
    EXPECT_FALSE(r.Success());
}

TEST(XmodemReceiver, OneCanIsNoiseTwoCancel) {
    Receiver r;
    Step st;
    r.Start(st);
    FeedAll(r, std::string(1, char(CAN)));
    EXPECT_FALSE(r.Done());
    EXPECT_EQ(FeedAll(r, Frame(1, "a", true)), std::string(1, char(ACK)));
    FeedAll(r, std::string(1, char(CAN)) + "x" + std::string(1, char(CAN)));
    EXPECT_FALSE(r.Done()); // not in a row
    FeedAll(r, std::string(2, char(ESC)));
    EXPECT_TRUE(r.Done());
    EXPECT_FALSE(r.Success());
}

TEST(XmodemReceiver, SilenceAsksAgainThenFallsBackToChecksum) {
    Receiver r;
    Step st;
    r.Start(st);
    std::string asks = st.send;
    for (int i = 0; i < 4; ++i) {
        Step t;
        r.Timeout(t);
        asks += t.send;
        ASSERT_EQ(t.msgs.size(), 1u);
        EXPECT_EQ(t.msgs[0].first, int(MsgTimeout));
    }
    EXPECT_EQ(asks, std::string("CCC") + char(NAK) + char(NAK));
    EXPECT_FALSE(r.CrcMode());
    Step total;
    EXPECT_EQ(FeedAll(r, Frame(1, "sum", false), &total), std::string(1, char(ACK)));
    EXPECT_EQ(total.data.substr(0, 3), "sum");
    // after a block, silence is answered with NAK
    Step t;
    r.Timeout(t);
    EXPECT_EQ(t.send, std::string(1, char(NAK)));
}

TEST(XmodemReceiver, PartialFrameIsForgottenOnTimeout) {
    Receiver r;
    Step st;
    r.Start(st);
    const std::string f = Frame(1, "x", true);
    FeedAll(r, f.substr(0, 60));
    EXPECT_EQ(r.FrameFill(), 60);
    Step t;
    r.Timeout(t);
    EXPECT_EQ(r.FrameFill(), 0);
    EXPECT_EQ(FeedAll(r, f), std::string(1, char(ACK)));
}

// ---- both engines over a faulty line ---------------------------------------------------------

namespace {
// Runs sender and receiver against each other; `fault` may change or drop bytes on the way
// (return false to drop). Returns the received data.
std::string Loop(const std::string& file, bool crcReceiver,
                 std::function<bool(bool toReceiver, int index, char& b)> fault, bool* ok) {
    MemSender m(file);
    Receiver r;
    Step st;
    r.Start(st);
    std::string toSender = st.send;
    if (!crcReceiver) toSender = std::string(1, char(NAK));
    std::string received;
    int nS = 0, nR = 0;
    for (int guard = 0; guard < 100000 && !(m.s.Done() && r.Done()); ++guard) {
        if (toSender.empty() && !r.Done()) { // the line went quiet: the receiver times out
            Step t;
            r.Timeout(t);
            toSender = t.send;
            if (toSender.empty()) break;
        }
        std::string toReceiver;
        for (char c : toSender) {
            if (!fault(false, nS++, c)) continue;
            Step s2;
            m.s.Feed(uint8_t(c), s2);
            toReceiver += s2.send;
        }
        toSender.clear();
        for (char c : toReceiver) {
            if (!fault(true, nR++, c)) continue;
            Step s3;
            r.Feed(uint8_t(c), s3);
            received += s3.data;
            toSender += s3.send;
        }
    }
    *ok = m.s.Success() && r.Success();
    return received;
}
} // namespace

TEST(XmodemLoop, FilesArriveWholeOverAFaultyLine) {
    struct Case {
        const char* name;
        int length;
        bool crc;
        std::function<bool(bool, int, char&)> fault;
    };
    const auto clean = [](bool, int, char&) { return true; };
    const Case cases[] = {
        {"clean crc", 1000, true, clean},
        {"clean checksum", 1000, false, clean},
        {"bit flipped in block 2", 700, true,
         [](bool toR, int i, char& b) {
             if (toR && i == 133 + 40) b ^= 0x04;
             return true;
         }},
        {"lost ACK gives a duplicate", 700, true,
         [](bool toR, int i, char&) { return toR || i != 2; }},
        {"bytes lost in a block", 500, false,
         [](bool toR, int i, char&) { return !(toR && i >= 10 && i < 20); }},
        {"past block 255", 128 * 300 + 7, true, clean},
    };
    for (const auto& c : cases) {
        bool ok = false;
        const std::string file = Pattern(c.length);
        const std::string got = Loop(file, c.crc, c.fault, &ok);
        EXPECT_TRUE(ok) << c.name;
        ASSERT_EQ(got.size() % 128, 0u) << c.name;
        EXPECT_EQ(got.substr(0, file.size()), file) << c.name;
        EXPECT_EQ(got.size(), size_t((c.length + 127) / 128 * 128)) << c.name;
    }
}
