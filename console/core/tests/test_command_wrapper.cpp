// The console's own command exchange against a reader played by the test on a pty: the
// bytes on the wire, the reply checksum, STX handling, time-outs and the Login ID change.
#include "Harness.h"
#include "pelmar/core/ReaderSession.h"

#include "dorlin/Rnet.h"

#include <gtest/gtest.h>

using namespace pelmar;
using namespace pelmar::test;

namespace {

const QByteArray STX(1, '\x02');
const QByteArray CR(1, '\r');

struct WrapperTest : ::testing::Test {
    // What the reader answers to the next frame; empty = silence.
    QByteArray answer;
    ScriptedPeer peer{[this](const QByteArray&) { return answer; }};
    LinkUnderTest lut;
    ReaderSession session{&lut.link};

    void SetUp() override {
        ASSERT_TRUE(peer.ok());
        ASSERT_TRUE(lut.Open(peer.Path()));
    }
    QByteArray SentFrame() {
        lvtest::waitFor([&] { return peer.Received().endsWith('\r'); }, 3000);
        return peer.Received();
    }
};

} // namespace

TEST_F(WrapperTest, PlainCommandGoesOutAsStxTextCr) {
    answer = Reply("A");
    EXPECT_EQ(session.SendRnetCmd("G", false, false, 0, 1000), "A");
    EXPECT_EQ(SentFrame(), QByteArray("\x02G\r"));
    EXPECT_FALSE(session.blnTimeout);
    EXPECT_EQ(session.iCmdBusy, 0);
}

// The transmit checksum is the link's (rnet::CheckSum): the sum of the character codes
// modulo 256, as two upper-case hexadecimal digits.
struct TransmitChecksumCase {
    const char* name;
    QByteArray text;
    QByteArray checksum;
};

class TransmitChecksumTest : public WrapperTest,
                             public ::testing::WithParamInterface<TransmitChecksumCase> {};

TEST_P(TransmitChecksumTest, FollowsTheTextAsTheLinksCheckSum) {
    const TransmitChecksumCase& c = GetParam();
    EXPECT_EQ(QByteArray::fromStdString(
                  rnet::CheckSumText(std::string_view(c.text.constData(), size_t(c.text.size())))),
              c.checksum);
    answer = Reply("A");
    session.SendRnetCmd(QString::fromLatin1(c.text), true, false, 0, 1000);
    EXPECT_EQ(SentFrame(), STX + c.text + c.checksum + CR);
}

INSTANTIATE_TEST_SUITE_P(Texts, TransmitChecksumTest,
                         ::testing::Values(TransmitChecksumCase{"ThreeLetters", "abc", "26"},
                                           TransmitChecksumCase{"TwoLetters", "ab", "C3"},
                                           TransmitChecksumCase{"SumWrapsAt256", "\xff\x81", "80"},
                                           TransmitChecksumCase{"RegisterWrite", "C18,05", "3D"}),
                         [](const auto& tpi) { return std::string(tpi.param.name); });

TEST_F(WrapperTest, MatchingReplyChecksumIsRemoved) {
    answer = STX + "A12340B" + CR;
    EXPECT_EQ(session.SendRnetCmd("X", false, true, 0, 1000), "A1234");
    EXPECT_FALSE(session.blnTimeout);
}

TEST_F(WrapperTest, WrongReplyChecksumDropsTheReplyWithoutTimeout) {
    answer = STX + "A12340C" + CR;
    EXPECT_EQ(session.SendRnetCmd("X", false, true, 0, 1000), "");
    EXPECT_FALSE(session.blnTimeout);
}

TEST_F(WrapperTest, NonHexChecksumDigitsDropTheReply) {
    answer = STX + "A1234ZZ" + CR;
    EXPECT_EQ(session.SendRnetCmd("X", false, true, 0, 1000), "");
}

TEST_F(WrapperTest, ReplyTooShortForAChecksumIsDropped) {
    answer = STX + "A1" + CR;
    EXPECT_EQ(session.SendRnetCmd("X", false, true, 0, 1000), "");
    EXPECT_FALSE(session.blnTimeout);
}

TEST_F(WrapperTest, NoiseBeforeTheStxIsDiscarded) {
    answer = QByteArray("zz\x7f") + STX + "A42" + CR;
    EXPECT_EQ(session.SendRnetCmd("X", false, false, 0, 1000), "A42");
}

TEST_F(WrapperTest, CrBeforeAnyStxIsIgnored) {
    answer = CR + STX + "A7" + CR;
    EXPECT_EQ(session.SendRnetCmd("X", false, false, 0, 1000), "A7");
}

TEST_F(WrapperTest, SecondStxRestartsTheReplyUnlessKept) {
    answer = STX + "AB" + STX + "CD" + CR;
    EXPECT_EQ(session.SendRnetCmd("X", false, false, 0, 1000), "CD");
    answer = STX + "AB" + STX + "CD" + CR;
    EXPECT_EQ(session.SendRnetCmd("X", false, false, 1, 1000), "AB\x02"
                                                               "CD");
}

TEST_F(WrapperTest, SilenceEndsByTimeoutWithTheFlagSet) {
    answer.clear();
    EXPECT_EQ(session.SendRnetCmd("X", false, false, 0, 300), "");
    EXPECT_TRUE(session.blnTimeout);
    EXPECT_EQ(session.iCmdBusy, 0);
}

TEST_F(WrapperTest, StxWithoutCrIsNoReply) {
    answer = STX + "A123";
    EXPECT_EQ(session.SendRnetCmd("X", false, false, 0, 300), "");
    EXPECT_TRUE(session.blnTimeout);
}

TEST_F(WrapperTest, ATimeoutIsForgottenByTheNextGoodExchange) {
    answer.clear();
    session.SendRnetCmd("X", false, false, 0, 200);
    ASSERT_TRUE(session.blnTimeout);
    answer = Reply("A");
    EXPECT_EQ(session.SendRnetCmd("X", false, false, 0, 1000), "A");
    EXPECT_FALSE(session.blnTimeout);
}

// Every byte of the reply comes back as the character of the same code; a time-out of 0 is
// the link's RnetTimeout.
TEST_F(WrapperTest, ReplyBytesComeBackAsTheirCharactersAndZeroTakesTheLinksTimeout) {
    answer = STX + QByteArray("A\xff\x80", 3) + CR;
    EXPECT_EQ(session.SendRnetCmd("X", false, false, 0, 0).toLatin1(), QByteArray("A\xff\x80", 3));
    answer.clear();
    lut.ctrl.SetRnetTimeout(200);
    EXPECT_EQ(session.SendRnetCmd("X", false, false, 0, 0), "");
    EXPECT_TRUE(session.blnTimeout);
}

TEST_F(WrapperTest, ClosedLinkSendsNothingAndIsNoTimeout) {
    lut.ctrl.SetPortOpen(false);
    EXPECT_EQ(session.SendRnetCmd("G", false, false, 0, 1000), "");
    EXPECT_FALSE(session.blnTimeout);
    EXPECT_TRUE(peer.Received().isEmpty());
}

struct PasswordCase {
    const char* name;
    QByteArray reply;
    bool expected;
};

class SetPasswordTest : public WrapperTest, public ::testing::WithParamInterface<PasswordCase> {};

TEST_P(SetPasswordTest, SendsPAndTheIdWithoutChecksum) {
    answer = GetParam().reply;
    lut.ctrl.SetRnetTimeout(300);
    EXPECT_EQ(session.SetPassword("1A2B"), GetParam().expected);
    EXPECT_EQ(SentFrame(), STX + "P1A2B" + CR);
}

INSTANTIATE_TEST_SUITE_P(Replies, SetPasswordTest,
                         ::testing::Values(PasswordCase{"Accepted", Reply("A"), true},
                                           PasswordCase{"Refused", Reply("N"), false},
                                           PasswordCase{"RefusedWithReason", Reply("N01"), false},
                                           PasswordCase{"Silent", QByteArray(), false}),
                         [](const auto& tpi) { return std::string(tpi.param.name); });

TEST(RnetMonitorReport, TimeoutOfTheControlSetsBothFlags) {
    ReaderSession s(nullptr);
    s.OnRnetMonitor(2, "$TIMEOUT");
    EXPECT_FALSE(s.blnTimeout);
    s.OnRnetMonitor(0, "$CHKSUM ERROR");
    EXPECT_FALSE(s.LinkTimedOut);
    s.OnRnetMonitor(0, "$TIMEOUT");
    EXPECT_TRUE(s.blnTimeout);
    EXPECT_TRUE(s.LinkTimedOut);
}
