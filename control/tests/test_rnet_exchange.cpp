// Rnet exchanges of the control against a scripted reader on a pseudo-terminal: the frames on
// the wire byte for byte, reply collection, checksums, time-outs, monitor events and the
// command methods' results.
#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include "TestStore.h"

#include "PtyPeer.h"
#include "TestSupport.h"
#include "dorlin/CDorlinCtrl.h"

using namespace dorlin;

namespace {

struct Monitor {
    explicit Monitor(CDorlinCtrl& c) {
        QObject::connect(&c, &CDorlinCtrl::RnetMonitor, [this](short i, const QString& m) {
            events << QStringLiteral("%1 %2").arg(i).arg(m);
        });
    }
    QStringList events;
};

class RnetExchange : public ::testing::Test {
protected:
    void SetUp() override {
        IsolateSettings();
        ASSERT_TRUE(pty.ok());
        ctrl.SetRnetTimeout(3000);
        ctrl.SetExtPort(QString::fromStdString(pty.slavePath()));
        ctrl.SetExtPortOpen(true);
        ASSERT_TRUE(ctrl.PortOpen());
    }
    lvtest::PtyPair pty;
    PtyPeer peer{pty};
    CDorlinCtrl ctrl{nullptr, false};
};

QByteArray Frame(const QByteArray& text) {
    return "\x02" + text + "\r";
}

} // namespace

TEST_F(RnetExchange, EveryCommandSendsItsExactFrame) {
    struct Case {
        const char* what;
        std::function<void(CDorlinCtrl&)> call;
        QByteArray wire;
    };
    const Case cases[] = {
        {"T plain", [](CDorlinCtrl& c) { c.SendRnetCmd("T", false, false); }, "\x02T\r"},
        {"T with checksum", [](CDorlinCtrl& c) { c.SendRnetCmd("T", true, false); }, "\x02T54\r"},
        {"abc with checksum", [](CDorlinCtrl& c) { c.SendRnetCmd("abc", true, false); },
         "\x02"
         "abc26\r"},
        {"Polling", [](CDorlinCtrl& c) { c.Polling(10); }, Frame("D0A")},
        {"SetID", [](CDorlinCtrl& c) { c.SetID(255); }, Frame("IFF")},
        {"Login", [](CDorlinCtrl& c) { c.Login("4826"); }, Frame("L4826")},
        {"Logout", [](CDorlinCtrl& c) { c.Logout(); }, Frame("O")},
        // 0x50 + 0x31 + 0x32 + 0x33 + 0x34 = 0x11A
        {"SetPassword", [](CDorlinCtrl& c) { c.SetPassword("1234"); }, Frame("P12341A")},
        {"GetTime", [](CDorlinCtrl& c) { c.GetTime(); }, Frame("T")},
        {"SetTime", [](CDorlinCtrl& c) { c.SetTime(2024, 3, 9, 7, 5, 1, 6); },
         Frame("S202403090705016")},
        {"GetVersion", [](CDorlinCtrl& c) { c.GetVersion(); }, Frame("F")},
        {"Reset", [](CDorlinCtrl& c) { c.Reset(); }, Frame("R")},
        {"GetRecord", [](CDorlinCtrl& c) { c.GetRecord(26); }, Frame("G001A")},
        {"GetRecordCount", [](CDorlinCtrl& c) { c.GetRecordCount(); }, Frame("N")},
        {"EraseRecord all", [](CDorlinCtrl& c) { c.EraseRecord(-1); }, Frame("E")},
        {"EraseRecord 26", [](CDorlinCtrl& c) { c.EraseRecord(26); }, Frame("E001A")},
        // lower-case hex; 0x57 + 0x30 + 0x30 + 0x31 + 0x61 + 0x2C + 0x58 = 0x1CD
        {"WriteRecord", [](CDorlinCtrl& c) { c.WriteRecord(26, "X"); }, Frame("W001a,XCD")},
        {"GetRegister", [](CDorlinCtrl& c) { c.GetRegister(0x1F); }, Frame("B1F")},
        // 0x43 + 0x30 + 0x33 + 0x2C + 0x46 + 0x46 = 0x15E
        {"SetRegister", [](CDorlinCtrl& c) { c.SetRegister(3, "FF"); }, Frame("C03,FF5E")},
        {"GetFileInfo", [](CDorlinCtrl& c) { c.GetFileInfo(12); }, Frame("FI12")},
        {"GetFileCount", [](CDorlinCtrl& c) { c.GetFileCount("/a"); }, Frame("FN/a")},
        {"SendFileReq X", [](CDorlinCtrl& c) { c.SendFileReq("f.bin", 0); }, Frame("ZXf.bin")},
        {"SendFileReq Y", [](CDorlinCtrl& c) { c.SendFileReq("f.bin", 1); }, Frame("ZYf.bin")},
        {"RecvFileReq X", [](CDorlinCtrl& c) { c.RecvFileReq("f.bin", 0); }, Frame("UXf.bin")},
        {"RecvFileReq Y", [](CDorlinCtrl& c) { c.RecvFileReq("f.bin", 1); }, Frame("UYf.bin")},
        {"DelFile", [](CDorlinCtrl& c) { c.DelFile("f.bin"); }, Frame("FDf.bin")},
        {"MkDir", [](CDorlinCtrl& c) { c.MkDir("d"); }, Frame("FMd")},
        {"DelDir", [](CDorlinCtrl& c) { c.DelDir("d"); }, Frame("FXd")},
    };
    for (const Case& k : cases) {
        peer.Clear();
        peer.Script({"\x02"
                     "A\r"});
        k.call(ctrl);
        EXPECT_EQ(peer.Received(), k.wire) << k.what;
    }
}

TEST_F(RnetExchange, FileRequestsWithUnknownProtocolSendNothing) {
    ctrl.SetRnetTimeout(200);
    EXPECT_FALSE(ctrl.SendFileReq("f", 2));
    EXPECT_FALSE(ctrl.RecvFileReq("f", -1));
    EXPECT_TRUE(peer.Received().isEmpty());
}

TEST_F(RnetExchange, BooleanCommandsAreTrueOnlyOnA) {
    peer.Script({"\x02"
                 "A\r",
                 "\x02N\r",
                 "\x02"
                 "ABC\r",
                 "\x02"
                 "NA\r"});
    EXPECT_TRUE(ctrl.Logout());
    EXPECT_FALSE(ctrl.Logout());
    EXPECT_TRUE(ctrl.Reset());
    EXPECT_FALSE(ctrl.Reset());
}

TEST_F(RnetExchange, ReplyChecksumIsCheckedRemovedAndReported) {
    Monitor mon(ctrl);
    peer.Script({"\x02"
                 "A12340B\r"});
    EXPECT_EQ(ctrl.SendRnetCmd("G0001", false, true), "A1234");
    EXPECT_EQ(mon.events, QStringList({"1 \x02G0001\r", "2 A12340B"}));

    mon.events.clear();
    peer.Script({"\x02"
                 "A12340C\r"});
    EXPECT_EQ(ctrl.SendRnetCmd("G0001", false, true), "");
    EXPECT_EQ(mon.events, QStringList({"1 \x02G0001\r", "2 A12340C", "0 $CHKSUM ERROR"}));

    // Without rChkSum the same reply comes back whole.
    peer.Script({"\x02"
                 "A12340C\r"});
    EXPECT_EQ(ctrl.SendRnetCmd("G0001", false, false), "A12340C");
}

TEST_F(RnetExchange, ShortAndRefusedRepliesSkipTheChecksumTest) {
    peer.Script({"\x02"
                 "A\r",
                 "\x02"
                 "A1\r",
                 "\x02N12\r"});
    EXPECT_EQ(ctrl.SendRnetCmd("x", false, true), "A");
    EXPECT_EQ(ctrl.SendRnetCmd("x", false, true), "A1");
    EXPECT_EQ(ctrl.SendRnetCmd("x", false, true), "N12");
}

TEST_F(RnetExchange, NoiseBeforeStxIsDroppedAndASecondStxRestarts) {
    peer.Script({"zz\x01\x02"
                 "AB\x02"
                 "CD\r"});
    EXPECT_EQ(ctrl.SendRnetCmd("x", false, false), "CD");
}

TEST_F(RnetExchange, BytesAfterTheCrStayQueuedUntilTheNextExchange) {
    peer.Script({"\x02"
                 "A1\rtail",
                 "\x02"
                 "A2\r"});
    EXPECT_EQ(ctrl.SendRnetCmd("x", false, false), "A1");
    EXPECT_TRUE(lvtest::waitFor([&] { return ctrl.RxCount() == 4; }, 5000));
    EXPECT_EQ(ctrl.SendRnetCmd("y", false, false), "A2"); // the stale tail was cleared
    EXPECT_EQ(ctrl.RxCount(), 0);
}

TEST_F(RnetExchange, CrBeforeAnyStxEndsTheWaitWithAnEmptyReply) {
    Monitor mon(ctrl);
    ctrl.SetRnetTimeout(60000);
    // A proper reply follows much later; the wait must already be over by then.
    QTimer late;
    late.setSingleShot(true);
    QObject::connect(&late, &QTimer::timeout, [&] {
        pty.write("\x02"
                  "ALATE\r");
    });
    peer.Answer([&](const QByteArray&) {
        late.start(3000);
        return QByteArray("noise\r");
    });
    EXPECT_EQ(ctrl.SendRnetCmd("x", false, false), "");
    EXPECT_EQ(mon.events.last(), "0 $TIMEOUT");
}

TEST_F(RnetExchange, SilenceTimesOutWithAnEmptyReply) {
    Monitor mon(ctrl);
    ctrl.SetRnetTimeout(300);
    EXPECT_EQ(ctrl.SendRnetCmd("T", false, false), "");
    EXPECT_EQ(mon.events, QStringList({"1 \x02T\r", "0 $TIMEOUT"}));
    EXPECT_EQ(ctrl.GetRecordCount(), 0);
    EXPECT_FALSE(ctrl.Login("4826"));
    EXPECT_EQ(ctrl.GetVersion(), "");
}

TEST_F(RnetExchange, ReplyWithoutCrTimesOut) {
    Monitor mon(ctrl);
    ctrl.SetRnetTimeout(300);
    peer.Script({"\x02"
                 "A1234"});
    EXPECT_EQ(ctrl.SendRnetCmd("T", false, false), "");
    EXPECT_EQ(mon.events, QStringList({"1 \x02T\r", "0 $TIMEOUT"}));
}

TEST_F(RnetExchange, FloodLargerThanTheQueueWithoutCrTimesOut) {
    ctrl.SetRnetTimeout(500);
    ctrl.SetRxQueue(256);
    peer.Script({"\x02" + QByteArray(5000, 'x')});
    EXPECT_EQ(ctrl.SendRnetCmd("T", false, false), "");
    // The next exchange works normally again.
    peer.Script({"\x02"
                 "A\r"});
    ctrl.SetRnetTimeout(3000);
    EXPECT_EQ(ctrl.SendRnetCmd("T", false, false), "A");
}

// A reply whose middle was dropped by a full queue would come out stitched from the head of
// one frame and the tail of another: it is thrown away, the monitor says why and CommError
// keeps the overflow.
TEST_F(RnetExchange, AReplyTakenWhileTheQueueOverflowedIsThrownAway) {
    Monitor mon(ctrl);
    ctrl.SetRnetTimeout(3000);
    ctrl.SetRxQueue(16);
    (void)ctrl.CommError();
    peer.Answer([&](const QByteArray&) {
        QTimer::singleShot(200, [&] { pty.write("tail\r"); });
        return "\x02"
               "A" +
               QByteArray(500, 'x');
    });
    EXPECT_EQ(ctrl.SendRnetCmd("T", false, false), "");
    EXPECT_EQ(mon.events, QStringList({"1 \x02T\r", "0 $OVERRUN"}));
    EXPECT_EQ(ctrl.CommError() & ERROR_RXOVER, ERROR_RXOVER);
    // the next exchange is whole again
    peer.Answer([](const QByteArray&) {
        return QByteArray("\x02"
                          "A1\r");
    });
    EXPECT_EQ(ctrl.SendRnetCmd("T", false, false), "A1");
}

// The reader goes away while the control waits for its reply: the wait ends with the hang-up,
// not with the time-out, and says so.
TEST_F(RnetExchange, PortVanishingMidExchangeEndsItAtOnceAndClosesThePort) {
    Monitor mon(ctrl);
    ctrl.SetRnetTimeout(60000);
    peer.Answer([&](const QByteArray&) {
        pty.closeMaster();
        return QByteArray();
    });
    EXPECT_EQ(ctrl.SendRnetCmd("T", false, false), "");
    EXPECT_EQ(mon.events, QStringList({"1 \x02T\r", "0 $PORT CLOSED"}));
    EXPECT_TRUE(lvtest::waitFor([&] { return !ctrl.PortOpen(); }, 5000));
    // Afterwards nothing is sent, nor shown as sent.
    mon.events.clear();
    EXPECT_FALSE(ctrl.Logout());
    EXPECT_EQ(mon.events, QStringList({"0 $PORT CLOSED"}));
}

TEST_F(RnetExchange, ClosedPortSendsNothingAndEndsAtOnce) {
    ctrl.SetPortOpen(false);
    ctrl.SetRnetTimeout(60000);
    Monitor mon(ctrl);
    EXPECT_EQ(ctrl.SendRnetCmd("T", false, false), "");
    EXPECT_EQ(mon.events, QStringList({"0 $PORT CLOSED"}));
    EXPECT_TRUE(peer.Received().isEmpty());
}

TEST_F(RnetExchange, NumbersAreReadFromTheReplies) {
    Monitor mon(ctrl);
    // The count is read by its length: "A" + four decimal digits, or "A" + four hexadecimal
    // digits + their checksum ("A00FF": 0x41+0x30+0x30+0x46+0x46 = 0x12D).
    peer.Script({"\x02"
                 "A00FF2D\r",
                 "\x02"
                 "A0012\r",
                 "\x02"
                 "A0030\r",
                 "\x02N\r",
                 "\x02"
                 "A7\r",
                 "\x02"
                 "A00FF2C\r",
                 "\x02"
                 "A00F\r",
                 "\x02"
                 "A00FF\r"});
    EXPECT_EQ(ctrl.GetRecordCount(), 255);
    EXPECT_EQ(ctrl.GetFileCount("/"), 12);
    EXPECT_EQ(ctrl.GetRecordCount(), 30);  // five characters: decimal
    EXPECT_EQ(ctrl.GetRecordCount(), 0);   // refusal
    EXPECT_EQ(ctrl.GetRecordCount(), 0);   // two characters: no count
    EXPECT_EQ(ctrl.GetRecordCount(), 0);   // seven characters whose checksum is wrong
    EXPECT_EQ(ctrl.GetRecordCount(), 0);   // four characters
    EXPECT_EQ(ctrl.GetRecordCount(), 255); // four digits holding a hex letter: hexadecimal
    // The count's reply is taken as it came: no checksum test, so no "$CHKSUM ERROR".
    EXPECT_FALSE(mon.events.contains("0 $CHKSUM ERROR"));
}

TEST_F(RnetExchange, StringCommandsReturnTheReplyText) {
    peer.Script({"\x02"
                 "AV1.23\r",
                 "\x02N01\r",
                 "\x02"
                 "A2024030907050106\r"});
    EXPECT_EQ(ctrl.GetVersion(), "AV1.23");
    EXPECT_EQ(ctrl.Polling(1), "N01");
    EXPECT_EQ(ctrl.GetTime(), "A2024030907050106");
}

TEST_F(RnetExchange, LoginXAnswersTheChallenge) {
    peer.Script({"\x02N1234\r", "\x02"
                                "A\r"});
    EXPECT_TRUE(ctrl.LoginX("4826", 0x10, 0x0F));
    // h = 0x12 - 0x10 = 0x02, l = 0x34 ^ 0x0F = 0x3B
    EXPECT_EQ(ctrl.LastPassword(), "023B");
    EXPECT_EQ(peer.Requests(), QList<QByteArray>({Frame("L4826"), Frame("L023B")}));
}

TEST_F(RnetExchange, LoginXWrapsBelowZeroAndKeepsTheLastPassword) {
    peer.Script({"\x02N05FF\r", "\x02N\r",
                 "\x02"
                 "A\r"});
    EXPECT_FALSE(ctrl.LoginX("0000", 0x10, 0xFF));
    EXPECT_EQ(ctrl.LastPassword(), "F500"); // 0x05 - 0x10 wraps to 0xF5; 0xFF ^ 0xFF = 0
    EXPECT_TRUE(ctrl.LoginX("4826", 0, 0));
    EXPECT_EQ(ctrl.LastPassword(), "F500"); // accepted at once: no new challenge
}

TEST_F(RnetExchange, OnCommIsSuppressedDuringAnExchangeButEventsAreKept) {
    int onComm = 0;
    QObject::connect(&ctrl, &CDorlinCtrl::OnComm, [&] { ++onComm; });
    ctrl.SetEventMask(1);
    peer.Script({"\x02"
                 "A\r"});
    EXPECT_EQ(ctrl.SendRnetCmd("T", false, false), "A");
    // Closing joins the reader thread, so every notification of the reply is posted by now;
    // deliver them all.
    ctrl.SetExtPortOpen(false);
    QCoreApplication::sendPostedEvents(&ctrl);
    EXPECT_EQ(onComm, 0);
    EXPECT_EQ(ctrl.CommEvent() & 1, 1);
    EXPECT_EQ(ctrl.CommEvent(), 0);

    ctrl.SetExtPortOpen(true);
    ASSERT_TRUE(ctrl.PortOpen());
    pty.write("unasked");
    EXPECT_TRUE(lvtest::waitFor([&] { return onComm > 0; }, 5000));
    EXPECT_EQ(ctrl.Text(), "unasked");
    EXPECT_EQ(ctrl.Text(), "");
}

TEST_F(RnetExchange, RandomRepliesReadAsTheProtocolSays) {
    // Random streams of printable bytes, STX and CR (no CR ahead of the first STX, so the
    // reading does not depend on how the bytes are split into reads). The reply is the text
    // between the last STX and the first CR after an STX; what follows stays queued.
    ctrl.SetRnetTimeout(400);
    uint32_t seed = 12345;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7FFF;
    };
    for (int round = 0; round < 150; ++round) {
        QByteArray stream;
        const int len = 1 + int(next() % 40);
        bool seenStx = false;
        for (int i = 0; i < len; ++i) {
            const unsigned r = next() % 10;
            char c = char(0x20 + next() % 0x5F);
            if (r == 0)
                c = 0x02;
            else if (r == 1 && seenStx)
                c = 0x0D;
            if (c == 0x02) seenStx = true;
            stream.append(c);
        }
        if (next() % 8 != 0) stream.append('\r'); // now and then no end at all
        QByteArray expect;
        qsizetype rest = -1;
        bool stx = false;
        for (qsizetype i = 0; i < stream.size(); ++i) {
            if (stream[i] == 0x02) {
                stx = true;
                expect.clear();
            } else if (stream[i] == 0x0D && stx) {
                rest = stream.size() - i - 1;
                break;
            } else if (stx) {
                expect.append(stream[i]);
            }
        }
        if (rest < 0) expect.clear(); // no complete reply: time-out
        peer.Clear();
        peer.Script({stream});
        const QString got = ctrl.SendRnetCmd("T", false, false);
        ASSERT_EQ(got.toLatin1(), expect)
            << "round " << round << ": " << stream.toHex().constData();
        if (rest >= 0) {
            EXPECT_TRUE(lvtest::waitFor([&] { return ctrl.RxCount() == rest; }, 5000))
                << "round " << round;
        }
    }
}

TEST_F(RnetExchange, DispatchReachesTheCommands) {
    peer.Script({"\x02"
                 "AV9\r",
                 "\x02"
                 "A\r"});
    int err = -1;
    EXPECT_EQ(ctrl.InvokeByName("GetVersion", CDorlinCtrl::DispKind::Method, {}, &err),
              QVariant("AV9"));
    EXPECT_EQ(err, 0);
    EXPECT_EQ(
        ctrl.Invoke(DISPID_SendRnetCmd, CDorlinCtrl::DispKind::Method, {"abc", "TRUE", "0"}, &err),
        QVariant("A"));
    EXPECT_EQ(peer.Requests().last(), "\x02"
                                      "abc26\r");
}

TEST(RnetBitFlips, EverySingleBitFlipOfAChecksummedReplyIsRejected) {
    // A record reply as the reader sends it; every one of its bits, framing included, is
    // flipped once. The control must never hand back record data from a damaged reply:
    // the result is empty (checksum error or no complete frame) or a refusal.
    IsolateSettings();
    lvtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    PtyPeer peer{pty};
    CDorlinCtrl ctrl{nullptr, false};
    ctrl.SetRnetTimeout(200); // a flipped STX or CR ends in a time-out
    ctrl.SetExtPort(QString::fromStdString(pty.slavePath()));
    ctrl.SetExtPortOpen(true);
    ASSERT_TRUE(ctrl.PortOpen());

    const QByteArray body = "A20250106073000 1345ABCDEF0123";
    const QByteArray frame = Frame(body + QByteArray::fromStdString(rnet::CheckSumText(
                                              std::string_view(body.constData(), body.size()))));
    QByteArray damaged;
    peer.Answer([&](const QByteArray&) { return damaged; });

    damaged = frame;
    ASSERT_EQ(ctrl.GetRecord(1), QString::fromLatin1(body)); // the intact reply is taken

    int flips = 0;
    for (int pos = 0; pos < frame.size(); ++pos) {
        for (int bit = 0; bit < 8; ++bit) {
            damaged = frame;
            damaged[pos] = char(uint8_t(damaged[pos]) ^ (1u << bit));
            const QString got = ctrl.GetRecord(1);
            EXPECT_TRUE(got.isEmpty() || !got.startsWith(QLatin1Char('A')))
                << "byte " << pos << " bit " << bit << " gave " << got.toStdString();
            ++flips;
        }
    }
    EXPECT_EQ(flips, frame.size() * 8);
}
