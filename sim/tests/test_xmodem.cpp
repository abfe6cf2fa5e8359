// The reader's XMODEM ends, byte by byte.
#include "readersim/Xmodem.h"

#include <gtest/gtest.h>
#include <random>

using namespace readersim::xmodem;

namespace {

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b)
        s += char(c);
    return s;
}

std::string RandomData(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = char(rng() & 0xFF);
    return s;
}

} // namespace

TEST(XmodemCheck, CrcAndSumOfKnownData) {
    EXPECT_EQ(Crc16("123456789"), 0x31C3);
    EXPECT_EQ(Crc16(""), 0);
    EXPECT_EQ(Sum8("abc"), 0x26);
}

TEST(XmodemCheck, BlockLayout) {
    std::string b = Block(1, "hello", true);
    ASSERT_EQ(b.size(), 133u);
    EXPECT_EQ(b.substr(0, 3), Bytes({0x01, 0x01, 0xFE}));
    std::string payload = std::string("hello") + std::string(123, '\0');
    EXPECT_EQ(b.substr(3, 128), payload);
    uint16_t crc = Crc16(payload);
    EXPECT_EQ(uint8_t(b[131]), crc >> 8);
    EXPECT_EQ(uint8_t(b[132]), crc & 0xFF);
    std::string c = Block(255, "hello", false);
    ASSERT_EQ(c.size(), 132u);
    EXPECT_EQ(c.substr(0, 3), Bytes({0x01, 0xFF, 0x00}));
    EXPECT_EQ(uint8_t(c[131]), Sum8(payload));
}

TEST(XmodemReceiver, TakesBlocksUntilEot) {
    Receiver r(true);
    EXPECT_EQ(r.Poke(), "C");
    std::string data = RandomData(300, 1);
    EXPECT_EQ(r.Feed(Block(1, data.substr(0, 128), true)), Bytes({ACK}));
    EXPECT_EQ(r.Feed(Block(2, data.substr(128, 128), true)), Bytes({ACK}));
    // the last block arrives in pieces
    std::string last = Block(3, data.substr(256), true);
    EXPECT_EQ(r.Feed(last.substr(0, 50)), "");
    EXPECT_EQ(r.Feed(last.substr(50)), Bytes({ACK}));
    EXPECT_FALSE(r.Done());
    EXPECT_EQ(r.Feed(Bytes({EOT})), Bytes({ACK}));
    EXPECT_TRUE(r.Done());
    EXPECT_EQ(r.Data(), data + std::string(84, '\0')); // whole blocks, as sent
    EXPECT_EQ(r.Blocks(), 3);
}

TEST(XmodemReceiver, RefusesDamagedBlocksAndAcknowledgesRepeats) {
    Receiver r(true);
    std::string b1 = Block(1, "one", true);
    std::string bad = b1;
    bad[10] ^= 0x40;
    EXPECT_EQ(r.Feed(bad), Bytes({NAK}));
    std::string badNumber = b1;
    badNumber[2] = 0x00; // complement does not match
    EXPECT_EQ(r.Feed(badNumber), Bytes({NAK}));
    EXPECT_EQ(r.Feed(b1), Bytes({ACK}));
    EXPECT_EQ(r.Feed(b1), Bytes({ACK})); // the host missed our ACK: acknowledged, not stored again
    EXPECT_EQ(r.Blocks(), 1);
    EXPECT_EQ(r.Feed(Block(3, "three", true)), Bytes({CAN, CAN})); // a block went missing
    EXPECT_TRUE(r.Failed());
}

TEST(XmodemReceiver, ChecksumModeAsksWithNak) {
    Receiver r(false);
    EXPECT_EQ(r.Poke(), Bytes({NAK}));
    std::string data = RandomData(128, 2);
    EXPECT_EQ(r.Feed(Block(1, data, false)), Bytes({ACK}));
    EXPECT_EQ(r.Feed(Bytes({EOT})), Bytes({ACK}));
    EXPECT_EQ(r.Data(), data);
}

TEST(XmodemReceiver, BlockNumbersWrapAround) {
    Receiver r(true);
    std::string all;
    for (int i = 1; i <= 300; ++i) {
        std::string chunk = RandomData(128, unsigned(i));
        all += chunk;
        ASSERT_EQ(r.Feed(Block(uint8_t(i), chunk, true)), Bytes({ACK})) << i;
    }
    r.Feed(Bytes({EOT}));
    EXPECT_EQ(r.Data(), all);
}

TEST(XmodemReceiver, GivesUpAfterTenSilentPokesAndOnCancel) {
    Receiver r(true);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(r.Poke(), "C");
    EXPECT_EQ(r.Poke(), Bytes({CAN, CAN}));
    EXPECT_TRUE(r.Failed());
    Receiver c(true);
    c.Feed(Bytes({CAN}));
    EXPECT_FALSE(c.Failed());
    c.Feed(Bytes({CAN}));
    EXPECT_TRUE(c.Failed());
}

TEST(XmodemReceiver, PokeAfterStallDropsTheHalfBlockAndAsksWithNak) {
    Receiver r(true);
    r.Feed(Block(1, "a", true));
    r.Feed(Block(2, "b", true).substr(0, 40));
    EXPECT_EQ(r.Poke(), Bytes({NAK}));
    EXPECT_EQ(r.Feed(Block(2, "b", true)), Bytes({ACK}));
    EXPECT_EQ(r.Blocks(), 2);
}

TEST(XmodemSender, SendsBlocksThenEot) {
    std::string data = RandomData(300, 3);
    Sender s(data);
    EXPECT_EQ(s.Feed(Bytes({ACK})), ""); // nothing before the receiver asks
    EXPECT_EQ(s.Feed("C"), Block(1, data.substr(0, 128), true));
    EXPECT_EQ(s.Feed(Bytes({NAK})), Block(1, data.substr(0, 128), true));
    EXPECT_EQ(s.Feed(Bytes({ACK})), Block(2, data.substr(128, 128), true));
    EXPECT_EQ(s.Feed(Bytes({ACK})), Block(3, data.substr(256), true));
    EXPECT_EQ(s.Feed(Bytes({ACK})), Bytes({EOT}));
    EXPECT_EQ(s.Feed(Bytes({NAK})), Bytes({EOT})); // the receiver asks for the EOT twice
    EXPECT_FALSE(s.Done());
    EXPECT_EQ(s.Feed(Bytes({ACK})), "");
    EXPECT_TRUE(s.Done());
    EXPECT_EQ(s.BlocksAcked(), 3);
}

TEST(XmodemSender, ChecksumModeWhenStartedWithNak) {
    Sender s(RandomData(128, 4));
    std::string b = s.Feed(Bytes({NAK}));
    EXPECT_EQ(b.size(), 132u);
    EXPECT_EQ(s.Feed(Bytes({ACK})), Bytes({EOT})); // an exact multiple of 128: EOT at once
}

TEST(XmodemSender, EmptyFileIsOnlyEotAndCancelStops) {
    Sender e("");
    EXPECT_EQ(e.Feed("C"), Bytes({EOT}));
    EXPECT_EQ(e.Feed(Bytes({ACK})), "");
    EXPECT_TRUE(e.Done());
    Sender c("abc");
    c.Feed("C");
    c.Feed(Bytes({CAN, CAN}));
    EXPECT_TRUE(c.Failed());
}

TEST(XmodemPair, SenderAndReceiverAgree) {
    for (bool crc : {true, false}) {
        std::string data = RandomData(1000, 5);
        Sender s(data);
        Receiver r(crc);
        std::string toSender = r.Poke();
        for (int i = 0; i < 100 && !r.Done(); ++i)
            toSender = r.Feed(s.Feed(toSender));
        s.Feed(toSender);
        EXPECT_TRUE(r.Done());
        EXPECT_TRUE(s.Done());
        EXPECT_EQ(r.Data().substr(0, 1000), data);
        EXPECT_EQ(r.Data().size(), 1024u);
    }
}

TEST(XmodemReceiver, RefusesFilesBeyondTheStoreSize) {
    Receiver r(true);
    std::string chunk(128, 'z');
    int accepted = 0;
    for (int i = 1; i <= 131073 && !r.Failed(); ++i) {
        if (r.Feed(Block(uint8_t(i), chunk, true)) == Bytes({ACK})) ++accepted;
    }
    EXPECT_TRUE(r.Failed());
    EXPECT_EQ(accepted, 131072); // 16 MiB
    EXPECT_EQ(r.Data().size(), 16u << 20);
}
