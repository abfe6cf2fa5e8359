// The register layer against the simulated reader (every getter and setter round trip, the
// user-name codings, clock, machine ID, record count and probes) and against a scripted
// reader for the replies a well-behaved simulator never gives.
#include "Harness.h"
#include "pelmar/core/modKt9.h"

#include <gtest/gtest.h>

using namespace pelmar;
using namespace pelmar::test;

namespace {

struct SimKt9 : ::testing::Test {
    virtual QStringList SimArgs() const { return {"--records", "25"}; }
    std::unique_ptr<SimReader> sim;
    LinkUnderTest lut;
    std::unique_ptr<ReaderSession> session;
    std::unique_ptr<modKt9> kt9;

    void SetUp() override {
        sim = std::make_unique<SimReader>(SimArgs());
        ASSERT_TRUE(sim->ok());
        ASSERT_TRUE(lut.Open(sim->Link()));
        session = std::make_unique<ReaderSession>(&lut.link);
        kt9 = std::make_unique<modKt9>(*session);
        ASSERT_TRUE(lut.ctrl.Login("4826"));
    }
    QString Reg(short r) { return lut.ctrl.GetRegister(r); }
};

} // namespace

TEST_F(SimKt9, PowerModeRoundTrip) {
    for (int mode : {1, 255, 0}) {
        ASSERT_TRUE(kt9->SetPowerMode(mode));
        EXPECT_EQ(kt9->GetPowerMode(), mode);
        EXPECT_TRUE(kt9->LastCallOK);
    }
    EXPECT_FALSE(kt9->SetPowerMode(-1)) << "a failed read is never written back";
}

TEST_F(SimKt9, PowerOffTimeIsLittleEndianInTwoRegisters) {
    ASSERT_TRUE(kt9->SetPowerOffTime(1800));
    EXPECT_EQ(Reg(16), "A08");
    EXPECT_EQ(Reg(17), "A07");
    EXPECT_EQ(kt9->GetPowerOffTime(), 1800);
    ASSERT_TRUE(kt9->SetPowerOffTime(3));
    EXPECT_EQ(kt9->GetPowerOffTime(), 3);
}

TEST_F(SimKt9, ByteRegistersRoundTrip) {
    ASSERT_TRUE(kt9->SetLCDOffTime(45));
    EXPECT_EQ(kt9->GetLCDOffTime(), 45);
    EXPECT_EQ(Reg(24), "A2D");
    for (int16_t m : {int16_t(0), int16_t(255), int16_t(1)}) {
        ASSERT_TRUE(kt9->SetDateMode(m));
        EXPECT_EQ(kt9->GetDateMode(), m);
    }
    ASSERT_TRUE(kt9->SetNumberOfEvent(255));
    EXPECT_EQ(kt9->GetNumberOfEvent(), 255);
    ASSERT_TRUE(kt9->SetNumberOfEvent(5));
    EXPECT_EQ(kt9->GetNumberOfEvent(), 5);
    ASSERT_TRUE(kt9->SetScanMode(255));
    EXPECT_EQ(kt9->GetScanMode(), 255);
    ASSERT_TRUE(kt9->SetScanMode(0));
    EXPECT_EQ(kt9->GetScanMode(), 0);
}

TEST_F(SimKt9, BooleanRegistersWriteFFOrZeroAndReadNonZeroAsOn) {
    ASSERT_TRUE(kt9->SetBeep(true));
    EXPECT_EQ(Reg(25), "AFF");
    EXPECT_TRUE(kt9->GetBeep());
    ASSERT_TRUE(kt9->SetBeep(false));
    EXPECT_EQ(Reg(25), "A00");
    EXPECT_FALSE(kt9->GetBeep());
    ASSERT_TRUE(lut.ctrl.SetRegister(25, "01"));
    EXPECT_TRUE(kt9->GetBeep());

    ASSERT_TRUE(kt9->SetLargeFonts(true));
    EXPECT_EQ(Reg(28), "AFF");
    EXPECT_TRUE(kt9->GetLargeFonts());
    ASSERT_TRUE(kt9->SetLargeFonts(false));
    EXPECT_FALSE(kt9->GetLargeFonts());
}

TEST_F(SimKt9, LockIsInvertedAndOnlyFFIsUnlocked) {
    ASSERT_TRUE(kt9->SetLockDateTime(true));
    EXPECT_EQ(Reg(80), "A00");
    EXPECT_TRUE(kt9->GetLockDateTime());
    ASSERT_TRUE(kt9->SetLockDateTime(false));
    EXPECT_EQ(Reg(80), "AFF");
    EXPECT_FALSE(kt9->GetLockDateTime());
    ASSERT_TRUE(lut.ctrl.SetRegister(80, "01"));
    EXPECT_TRUE(kt9->GetLockDateTime());
}

TEST_F(SimKt9, ScanTimeTenIsStoredAs255) {
    ASSERT_TRUE(kt9->SetRFIDScanTime(10));
    EXPECT_EQ(Reg(29), "AFF");
    EXPECT_EQ(kt9->GetRFIDScanTime(), 10);
    ASSERT_TRUE(kt9->SetRFIDScanTime(7));
    EXPECT_EQ(Reg(29), "A07");
    EXPECT_EQ(kt9->GetRFIDScanTime(), 7);
}

struct NameCase {
    const char* name;
    QString written;
    QString readBack;
    QString registers; // registers 32..47 as read, hex digits
};

class SimUserName : public SimKt9, public ::testing::WithParamInterface<NameCase> {};

TEST_P(SimUserName, WrittenRightAlignedAndReadBackBothWays) {
    const NameCase& c = GetParam();
    ASSERT_TRUE(kt9->SetUserName(c.written));
    QString regs;
    for (short r = 32; r <= 47; ++r)
        regs += Reg(r).mid(1);
    EXPECT_EQ(regs, c.registers);
    EXPECT_EQ(kt9->GetKt9UserName(), c.readBack);
    EXPECT_TRUE(kt9->LastCallOK);
    EXPECT_EQ(kt9->GetUserNameEx(), c.readBack);
    EXPECT_TRUE(kt9->LastCallOK);
}

INSTANTIATE_TEST_SUITE_P(
    Names, SimUserName,
    ::testing::Values(NameCase{"SixteenCharacters", "ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP",
                               "4142434445464748494A4B4C4D4E4F50"},
                      NameCase{"Empty", "", "", "00000000000000000000000000000000"},
                      NameCase{"Short", "  Door  ", "Door", "000000000000000000000000446F6F72"},
                      NameCase{"LongerKeepsTheLast16", "0123456789ABCDEFGHIJ", "456789ABCDEFGHIJ",
                               "3435363738394142434445464748494A"},
                      NameCase{"AnsiCodePage", QString::fromUtf8("Café €"),
                               QString::fromUtf8("Café €"), "00000000000000000000436166E92080"}),
    [](const auto& tpi) { return std::string(tpi.param.name); });

TEST_F(SimKt9, MachineIdGetsALeadingZero) {
    ASSERT_TRUE(kt9->SetMacID("7"));
    EXPECT_TRUE(sim->Log().contains("RX <STX>J07<CR>"));
    EXPECT_EQ(kt9->GetMacID(), "07");
    EXPECT_TRUE(kt9->LastCallOK);
    ASSERT_TRUE(kt9->SetMacID("1F"));
    EXPECT_EQ(kt9->GetMacID(), "1F");
}

TEST_F(SimKt9, RecordCountOfTheReader) {
    EXPECT_EQ(kt9->ReadRecordCount(), 25);
    EXPECT_TRUE(kt9->LastCallOK);
}

TEST_F(SimKt9, ClockWriteSendsDateTimeAndWeekdayAndReadsBack) {
    QDateTime when(QDate(2025, 1, 5), QTime(9, 3, 7));
    ASSERT_TRUE(kt9->WriteDeviceTime(when));
    EXPECT_TRUE(sim->Log().contains("RX <STX>S202501050903070<CR>"));
    QDateTime got = kt9->ReadDeviceTime();
    EXPECT_TRUE(kt9->LastCallOK);
    EXPECT_FALSE(kt9->LinkTimedOut());
    EXPECT_GE(got, when);
    EXPECT_LE(got, when.addSecs(30));
}

TEST_F(SimKt9, ProbesTellPresenceAndAccess) {
    EXPECT_TRUE(kt9->CheckReader());
    EXPECT_TRUE(kt9->CheckAccess());
    ASSERT_TRUE(lut.ctrl.Logout());
    EXPECT_TRUE(kt9->CheckReader());
    EXPECT_FALSE(kt9->CheckAccess()) << "the reader refuses commands until login";
}

TEST_F(SimKt9, ClosedPortReturnsFailureValuesAndSendsNothing) {
    lut.ctrl.SetPortOpen(false);
    int before = int(sim->Log().size());
    EXPECT_EQ(kt9->GetPowerMode(), 0);
    EXPECT_FALSE(kt9->LastCallOK);
    EXPECT_EQ(kt9->GetPowerOffTime(), 0);
    EXPECT_EQ(kt9->GetLCDOffTime(), 0);
    EXPECT_FALSE(kt9->GetBeep());
    EXPECT_EQ(kt9->GetDateMode(), 0);
    EXPECT_EQ(kt9->GetKt9UserName(), "");
    EXPECT_EQ(kt9->GetMacID(), "");
    EXPECT_EQ(kt9->ReadRecordCount(), 0);
    EXPECT_EQ(kt9->ReadDeviceTime(), modKt9::ZeroDate());
    EXPECT_FALSE(kt9->SetBeep(true));
    EXPECT_FALSE(kt9->SetUserName("x"));
    EXPECT_FALSE(kt9->WriteDeviceTime(QDateTime::currentDateTime()));
    EXPECT_FALSE(kt9->CheckReader());
    EXPECT_FALSE(kt9->CheckAccess());
    EXPECT_EQ(int(sim->Log().size()), before);
}

namespace {
struct SilentKt9 : SimKt9 {
    QStringList SimArgs() const override { return {"--unlocked", "--silent"}; }
    void SetUp() override {
        sim = std::make_unique<SimReader>(SimArgs());
        ASSERT_TRUE(sim->ok());
        ASSERT_TRUE(lut.Open(sim->Link()));
        lut.ctrl.SetRnetTimeout(150);
        session = std::make_unique<ReaderSession>(&lut.link);
        kt9 = std::make_unique<modKt9>(*session);
    }
};
} // namespace

TEST_F(SilentKt9, GetterOnASilentReaderReportsTheTimeout) {
    EXPECT_EQ(kt9->GetLCDOffTime(), 0);
    EXPECT_FALSE(kt9->LastCallOK);
    EXPECT_TRUE(kt9->LinkTimedOut());
    EXPECT_FALSE(kt9->CheckReader());
}

// --- replies only a scripted reader gives ---------------------------------------------

namespace {
struct ScriptedKt9 : ::testing::Test {
    std::function<QByteArray(const QByteArray&)> answer;
    ScriptedPeer peer{[this](const QByteArray& f) { return answer ? answer(f) : QByteArray(); }};
    LinkUnderTest lut;
    ReaderSession session{&lut.link};
    modKt9 kt9{session};
    void SetUp() override {
        ASSERT_TRUE(peer.ok());
        lut.ctrl.SetRnetTimeout(300);
        ASSERT_TRUE(lut.Open(peer.Path()));
    }
    int Frames(const QByteArray& text) {
        return int(peer.Received().count(QByteArray("\x02") + text + "\r"));
    }
};
} // namespace

TEST_F(ScriptedKt9, MachineIdOfOneDigitGetsALeadingZero) {
    answer = [](const QByteArray&) { return Reply("A5"); };
    EXPECT_EQ(kt9.GetMacID(), "05");
    answer = [](const QByteArray&) { return Reply("A1F"); };
    EXPECT_EQ(kt9.GetMacID(), "1F");
    answer = [](const QByteArray&) { return Reply("N"); };
    EXPECT_EQ(kt9.GetMacID(), "");
    EXPECT_FALSE(kt9.LastCallOK);
}

TEST_F(ScriptedKt9, RecordCountRetriesAShortReplyTwiceAndThenHasNone) {
    // Four characters are no count: asked three times, then a failed read (never 0x12).
    answer = [](const QByteArray&) { return Reply("A012"); };
    EXPECT_EQ(kt9.ReadRecordCount(), 0);
    EXPECT_EQ(Frames("N"), 3);
    EXPECT_FALSE(kt9.LastCallOK);
}

TEST_F(ScriptedKt9, RecordCountIsDecimalUnlessItsDigitsHoldAHexLetter) {
    struct Case {
        QByteArray reply;
        bool checksum;
        int32_t count;
        bool ok;
    };
    const Case cases[] = {
        {"A2000", false, 2000, true}, // the reader's own reply: four decimal digits
        {"A07D0", true, 2000, true},  // four hexadecimal digits with their checksum
        {"A07D0", false, 2000, true}, // a hex letter: hexadecimal, with or without checksum
        {"A0030", true, 30, true},    // decimal digits with their checksum stay decimal
        {"A0x30", false, 0, false},   // not digits
        {"N", false, 0, false},
    };
    for (const Case& c : cases) {
        peer.ClearReceived();
        answer = [&](const QByteArray&) { return Reply(c.reply, c.checksum); };
        EXPECT_EQ(kt9.ReadRecordCount(), c.count) << c.reply.toStdString();
        EXPECT_EQ(kt9.LastCallOK, c.ok) << c.reply.toStdString();
        EXPECT_EQ(Frames("N"), c.ok ? 1 : 3) << c.reply.toStdString();
    }
}

TEST_F(ScriptedKt9, RegisterReplyWithoutHexadecimalDigitsIsAFailedRead) {
    answer = [](const QByteArray&) { return Reply("AZZ", true); };
    EXPECT_EQ(kt9.GetLCDOffTime(), 0);
    EXPECT_FALSE(kt9.LastCallOK);
    EXPECT_EQ(Frames("B18"), 3);
}

TEST_F(ScriptedKt9, ALateAnswerToAnotherCommandIsNotTaken) {
    // The first read of register 24 gets the late "A" of an earlier probe, then its own
    // answer: the "A" is not a register value; the line is drained and it is asked again.
    int n = 0;
    answer = [&](const QByteArray& f) {
        if (!f.contains("B18")) return QByteArray();
        return ++n == 1 ? Reply("A") : Reply("A1E", true);
    };
    EXPECT_EQ(kt9.GetLCDOffTime(), 30);
    EXPECT_TRUE(kt9.LastCallOK);
    EXPECT_EQ(Frames("B18"), 2);
}

TEST_F(ScriptedKt9, PowerModeRefusedThreeTimesReadsMinusOne) {
    answer = [](const QByteArray&) { return Reply("N"); };
    EXPECT_EQ(kt9.GetPowerMode(), -1);
    EXPECT_FALSE(kt9.LastCallOK);
    EXPECT_EQ(Frames("B12"), 3);
}

TEST_F(ScriptedKt9, RegisterWriteIsTriedThreeTimes) {
    answer = [](const QByteArray&) { return Reply("N"); };
    EXPECT_FALSE(kt9.SetLCDOffTime(5));
    EXPECT_EQ(Frames("C18,053D"), 3) << peer.Received().toStdString();
}

TEST_F(ScriptedKt9, ClockReplyWithoutAValidDateGivesThePcClock) {
    answer = [](const QByteArray&) { return Reply("A20251332250000"); };
    QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    QDateTime got = kt9.ReadDeviceTime();
    EXPECT_FALSE(kt9.LastCallOK);
    EXPECT_FALSE(kt9.LinkTimedOut());
    EXPECT_GE(got, before);
    EXPECT_LE(got, QDateTime::currentDateTime().addSecs(1));
}

TEST_F(ScriptedKt9, ClockReplyTooShortIsRetriedAndGivesTheZeroDate) {
    answer = [](const QByteArray&) { return Reply("A2025"); };
    EXPECT_EQ(kt9.ReadDeviceTime(), modKt9::ZeroDate());
    EXPECT_EQ(Frames("T"), 3);
}

TEST_F(ScriptedKt9, ReaderProbeIgnoresAStrayCrBeforeTheReply) {
    answer = [](const QByteArray& f) {
        return f.contains("f") ? QByteArray("\r") + Reply("A") : QByteArray();
    };
    EXPECT_TRUE(kt9.CheckReader());
    EXPECT_EQ(peer.Received(), QByteArray("\x02"
                                          "f\r\n"));
}

TEST_F(ScriptedKt9, AccessProbeWantsStxA) {
    answer = [](const QByteArray&) { return Reply("N"); };
    EXPECT_FALSE(kt9.CheckAccess());
    EXPECT_EQ(Frames("B00"), 1) << "a complete answer ends the probe";
    answer = [](const QByteArray&) { return Reply("A00", true); };
    EXPECT_TRUE(kt9.CheckAccess());
}

TEST_F(ScriptedKt9, SilentReaderGetsTwoProbes) {
    EXPECT_FALSE(kt9.CheckReader());
    EXPECT_EQ(peer.Received(), QByteArray("\x02"
                                          "f\r\n\x02"
                                          "f\r\n"));
}
