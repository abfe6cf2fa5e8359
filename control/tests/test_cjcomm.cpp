// The serial channel on a real pseudo-terminal: open and configure, bytes both ways, queue
// overflow, accumulated events, purge, device removal. Modem lines and error counters, which a
// pseudo-terminal lacks, go through a device that wraps the pty and adds them.
#include "CJXmodem.h"

#include <QCoreApplication>
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <termios.h>
#include <vector>

#include "ChannelEvent.h"
#include "TestSupport.h"
#include "dorlin/DispIds.h"
#include "platform/SerialDevicePosix.h"

using namespace dorlin;

namespace {

// Collects what the channel posts to its owner.
class Owner : public QObject {
public:
    bool event(QEvent* e) override {
        if (!ChannelEvent::Is(e)) return QObject::event(e);
        auto* c = static_cast<ChannelEvent*>(e);
        codes.push_back(c->Code());
        values.push_back(c->Value());
        quiet.push_back(c->Quiet());
        return true;
    }
    std::vector<int> codes;
    std::vector<long> values;
    std::vector<bool> quiet;
};

QByteArray Drain(CJComm& c) {
    QByteArray b(c.InCount(), '\0');
    b.resize(c.Read(reinterpret_cast<uint8_t*>(b.data()), int(b.size())));
    return b;
}

// A pty with modem lines and kernel counters that the test sets.
struct FakeLines {
    std::atomic<int> modem{0};
    std::mutex mu;
    LineCounters counters;
    std::vector<std::string> calls; // RTS/DTR/break changes, in order
};

class LinesDevice : public SerialDevicePosix {
public:
    explicit LinesDevice(FakeLines* f) : f_(f) {}
    int ModemStatus() override { return f_->modem.load(); }
    bool Counters(LineCounters* out) override {
        std::lock_guard<std::mutex> lk(f_->mu);
        *out = f_->counters;
        return true;
    }
    bool SetRts(bool on) override {
        Record(on ? "RTS+" : "RTS-");
        return SerialDevicePosix::SetRts(on);
    }
    bool SetDtr(bool on) override {
        Record(on ? "DTR+" : "DTR-");
        return SerialDevicePosix::SetDtr(on);
    }
    bool SetBreak(bool on) override {
        Record(on ? "BRK+" : "BRK-");
        SerialDevicePosix::SetBreak(on);
        return true; // a pty has no break state to set
    }

private:
    void Record(const char* s) {
        std::lock_guard<std::mutex> lk(f_->mu);
        f_->calls.push_back(s);
    }
    FakeLines* f_;
};

struct FakeDeviceScope {
    explicit FakeDeviceScope(FakeLines* f) {
        CJComm::SetDeviceFactory([f] { return std::make_unique<LinesDevice>(f); });
    }
    ~FakeDeviceScope() { CJComm::SetDeviceFactory(nullptr); }
};

QString Path(const lvtest::PtyPair& p) {
    return QString::fromStdString(p.slavePath());
}

} // namespace

TEST(CJComm, OpensByDevicePathAndMovesBytesBothWays) {
    lvtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    CJXmodem c;
    EXPECT_FALSE(c.IsOpen());
    EXPECT_EQ(c.Handle(), -1);
    ASSERT_TRUE(c.Open(Path(pty)));
    EXPECT_TRUE(c.IsOpen());
    EXPECT_GE(c.Handle(), 0);

    const uint8_t frame[] = {0x02, 'T', 0x0D};
    EXPECT_EQ(c.Write(frame, 3), 3);
    EXPECT_EQ(pty.read(5000, "\r"), QByteArray("\x02T\r"));

    ASSERT_TRUE(pty.write("\x02"
                          "A\r"));
    ASSERT_TRUE(lvtest::waitFor([&] { return c.InCount() == 3; }, 5000));
    EXPECT_EQ(Drain(c), QByteArray("\x02"
                                   "A\r"));
}

TEST(CJComm, OpenFailsForMissingDeviceAndKeepsTheError) {
    CJXmodem c;
    EXPECT_FALSE(c.Open("/dev/does-not-exist-dorlin"));
    EXPECT_FALSE(c.IsOpen());
    EXPECT_EQ(c.LastError(), ENOENT);
    EXPECT_FALSE(c.Open("COM0")); // no device server listens at 127.0.0.1:1001
    EXPECT_FALSE(c.IsOpen());
}

TEST(CJComm, SettersStoreWhileClosedAndApplyOnOpen) {
    lvtest::PtyPair pty;
    CJXmodem c;
    EXPECT_FALSE(c.SetBaud(9600));
    EXPECT_FALSE(c.SetLineParams(2, 7, 2));
    EXPECT_FALSE(c.SetHandshaking(FC_Both));
    ASSERT_TRUE(c.Open(Path(pty)));
    termios t{};
    ASSERT_EQ(tcgetattr(int(c.Handle()), &t), 0);
    // A pty keeps speed, stop bits and flow control (it forces 8 bits, no parity itself).
    EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_TRUE(t.c_iflag & IXOFF);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_FALSE(t.c_lflag & ECHO); // raw: nothing echoes back to the reader
    EXPECT_FALSE(t.c_lflag & ICANON);
    EXPECT_EQ(c.Handshaking(), FC_Both);
}

TEST(CJComm, LineSettingsMapToTermiosFlags) {
    struct Case {
        const char* what;
        LineConfig cfg;
        tcflag_t cset, cclear, iset, iclear;
    };
    auto cfg = [](int parity, int data, int stop, bool xon, bool rts) {
        LineConfig c;
        c.parity = parity;
        c.dataBits = data;
        c.stopBits = stop;
        c.xonXoff = xon;
        c.rtsCts = rts;
        return c;
    };
    const Case cases[] = {
        {"N,8,1", cfg(0, 8, 1, false, false), CS8, PARENB | CSTOPB | CRTSCTS, 0, INPCK | IXON},
        {"odd", cfg(1, 8, 1, false, false), PARENB | PARODD, CMSPAR, INPCK, 0},
        {"even", cfg(2, 7, 1, false, false), CS7 | PARENB, PARODD | CMSPAR, INPCK, 0},
        {"mark", cfg(3, 8, 1, false, false), PARENB | PARODD | CMSPAR, 0, INPCK, 0},
        {"space", cfg(4, 8, 1, false, false), PARENB | CMSPAR, PARODD, INPCK, 0},
        {"two stop", cfg(0, 8, 2, false, false), CSTOPB, 0, 0, 0},
        {"one and a half", cfg(0, 5, 3, false, false), CS5 | CSTOPB, 0, 0, 0},
        {"FC_Both", cfg(0, 8, 1, true, true), CRTSCTS, 0, IXON | IXOFF, 0},
    };
    for (const Case& k : cases) {
        termios t{};
        bool custom = true;
        ASSERT_TRUE(MakeTermios(k.cfg, &t, &custom)) << k.what;
        EXPECT_FALSE(custom) << k.what;
        EXPECT_EQ(t.c_cflag & k.cset, k.cset) << k.what;
        EXPECT_EQ(t.c_cflag & k.cclear, tcflag_t(0)) << k.what;
        EXPECT_EQ(t.c_iflag & k.iset, k.iset) << k.what;
        EXPECT_EQ(t.c_iflag & k.iclear, tcflag_t(0)) << k.what;
        EXPECT_EQ(cfgetospeed(&t), speed_t(B19200)) << k.what;
    }
    termios t{};
    bool custom = false;
    EXPECT_FALSE(MakeTermios(cfg(0, 9, 1, false, false), &t, &custom));
    EXPECT_FALSE(MakeTermios(cfg(7, 8, 1, false, false), &t, &custom));
    LineConfig odd = cfg(0, 8, 1, false, false);
    odd.baud = 250000;
    EXPECT_TRUE(MakeTermios(odd, &t, &custom));
    EXPECT_TRUE(custom);
}

TEST(CJComm, RefusedLineSettingsReturnFalseWhileOpen) {
    lvtest::PtyPair pty;
    CJXmodem c;
    ASSERT_TRUE(c.Open(Path(pty)));
    EXPECT_TRUE(c.SetLineParams(2, 7, 1));
    EXPECT_FALSE(c.SetLineParams(0, 9, 1));
    EXPECT_FALSE(c.SetLineParams(7, 8, 1));
}

TEST(CJComm, NonStandardBaudIsSetThroughBother) {
    lvtest::PtyPair pty;
    CJXmodem c;
    ASSERT_TRUE(c.Open(Path(pty)));
    EXPECT_TRUE(c.SetBaud(115200));
    termios t{};
    tcgetattr(int(c.Handle()), &t);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));
    // A pty takes any rate through termios2; the call must succeed, not fall back silently.
    EXPECT_TRUE(c.SetBaud(250000));
    EXPECT_FALSE(c.SetBaud(0));
}

TEST(CJComm, BurstLargerThanTheQueueKeepsTheFirstBytes) {
    lvtest::PtyPair pty;
    CJXmodem c;
    c.SetRxSize(256);
    ASSERT_TRUE(c.Open(Path(pty)));
    QByteArray burst;
    for (int i = 0; i < 300; ++i)
        burst.append(char(i & 0xFF));
    ASSERT_TRUE(pty.write(burst));
    ASSERT_TRUE(lvtest::waitFor([&] { return c.InCount() == 256; }, 5000));
    // Closing joins the reader thread: whatever it read is queued by now, and the surplus
    // must not be.
    c.Close();
    EXPECT_EQ(Drain(c), burst.left(256));
    EXPECT_EQ(c.Errors() & ERROR_RXOVER, ERROR_RXOVER);
    EXPECT_EQ(c.Errors(), 0); // read and cleared
}

TEST(CJComm, EventsAccumulateAndReadClears) {
    lvtest::PtyPair pty;
    CJXmodem c;
    Owner owner;
    c.SetOwner(&owner);
    c.SetEventMask(EVENT_RXCHAR);
    ASSERT_TRUE(c.Open(Path(pty)));
    pty.write("x");
    ASSERT_TRUE(lvtest::waitFor([&] { return !owner.codes.empty(); }, 5000));
    EXPECT_EQ(owner.codes[0], 0);
    EXPECT_EQ(owner.values[0] & EVENT_RXCHAR, EVENT_RXCHAR);
    EXPECT_FALSE(owner.quiet[0]);
    EXPECT_EQ(c.TakeEvents() & EVENT_RXCHAR, EVENT_RXCHAR);
    EXPECT_EQ(c.TakeEvents(), 0);
}

TEST(CJComm, QuietMarksNotificationsOfBytesThatArriveDuringAnExchange) {
    lvtest::PtyPair pty;
    CJXmodem c;
    Owner owner;
    c.SetOwner(&owner);
    c.SetEventMask(EVENT_RXCHAR);
    ASSERT_TRUE(c.Open(Path(pty)));
    c.SetQuiet(true);
    pty.write("q");
    ASSERT_TRUE(lvtest::waitFor([&] { return !owner.codes.empty(); }, 5000));
    EXPECT_TRUE(owner.quiet[0]);
    c.SetQuiet(false);
    Drain(c);
    pty.write("r");
    ASSERT_TRUE(lvtest::waitFor([&] { return owner.codes.size() >= 2; }, 5000));
    EXPECT_FALSE(owner.quiet.back());
}

TEST(CJComm, EventsOutsideTheMaskAreCollectedButNotPosted) {
    lvtest::PtyPair pty;
    CJXmodem c;
    Owner owner;
    c.SetOwner(&owner);
    c.SetEventMask(EVENT_CTS);
    ASSERT_TRUE(c.Open(Path(pty)));
    pty.write("x");
    ASSERT_TRUE(lvtest::waitFor([&] { return c.InCount() == 1; }, 5000));
    // The event bits land with the bytes; nothing was posted for them.
    ASSERT_TRUE(lvtest::waitFor([&] { return (c.TakeEvents() & EVENT_RXCHAR) != 0; }, 5000));
    QCoreApplication::sendPostedEvents(&owner);
    EXPECT_TRUE(owner.codes.empty());
}

TEST(CJComm, TransmitterEmptyIsReportedAfterAWrite) {
    lvtest::PtyPair pty;
    CJXmodem c;
    Owner owner;
    c.SetOwner(&owner);
    c.SetEventMask(EVENT_TXEMPTY);
    ASSERT_TRUE(c.Open(Path(pty)));
    const uint8_t b[] = {'o', 'k'};
    EXPECT_EQ(c.Write(b, 2), 2);
    EXPECT_EQ(pty.read(5000, "ok"), "ok"); // the peer took the bytes: the output queue is empty
    ASSERT_TRUE(lvtest::waitFor([&] { return !owner.codes.empty(); }, 5000));
    EXPECT_EQ(owner.codes[0], 0);
    EXPECT_EQ(owner.values[0], EVENT_TXEMPTY);
    EXPECT_FALSE(c.Busy());
}

TEST(CJComm, ClearRxEmptiesQueueAndDriver) {
    lvtest::PtyPair pty;
    CJXmodem c;
    ASSERT_TRUE(c.Open(Path(pty)));
    pty.write("stale");
    ASSERT_TRUE(lvtest::waitFor([&] { return c.InCount() == 5; }, 5000));
    c.ClearRx();
    EXPECT_EQ(c.InCount(), 0);
    c.ClearRx(); // closed or open, clearing twice is harmless
    EXPECT_EQ(c.InCount(), 0);
}

TEST(CJComm, MasterClosingMarksThePortClosedByItself) {
    lvtest::PtyPair pty;
    CJXmodem c;
    Owner owner;
    c.SetOwner(&owner);
    ASSERT_TRUE(c.Open(Path(pty)));
    pty.closeMaster();
    ASSERT_TRUE(lvtest::waitFor([&] { return !c.IsOpen(); }, 5000));
    EXPECT_EQ(c.Handle(), -1);
    ASSERT_TRUE(lvtest::waitFor(
        [&] {
            for (int code : owner.codes)
                if (code == ChannelEvent::CodePortGone) return true;
            return false;
        },
        5000));
    const uint8_t b = 'x';
    EXPECT_EQ(c.Write(&b, 1), 0); // writes to a vanished port do nothing
    c.Close();
}

TEST(CJComm, ClosedPortReportsNothing) {
    CJXmodem c;
    EXPECT_FALSE(c.CTS());
    EXPECT_FALSE(c.DSR());
    EXPECT_FALSE(c.RING());
    EXPECT_FALSE(c.RLSD());
    EXPECT_EQ(c.TxSpace(), 0);
    EXPECT_EQ(c.OutCount(), 0);
    EXPECT_FALSE(c.WriteByte('x'));
    EXPECT_FALSE(c.SetBreak());
    EXPECT_EQ(c.Errors(), 0);
}

TEST(CJComm, PseudoTerminalHasNoModemLinesOrCounters) {
    lvtest::PtyPair pty;
    CJXmodem c;
    ASSERT_TRUE(c.Open(Path(pty)));
    EXPECT_FALSE(c.CTS());
    EXPECT_FALSE(c.RLSD());
    EXPECT_EQ(c.Errors(), 0);
    EXPECT_EQ(c.TxSpace(), 1024);
}

TEST(CJCommLines, ModemLineChangesRaiseTheirEvents) {
    struct Case {
        int bit;
        int event;
    };
    const Case cases[] = {
        {MS_CTS, EVENT_CTS}, {MS_DSR, EVENT_DSR}, {MS_RLSD, EVENT_RLSD}, {MS_RING, EVENT_RING}};
    for (const Case& k : cases) {
        FakeLines lines;
        FakeDeviceScope scope(&lines);
        lvtest::PtyPair pty;
        CJXmodem c;
        Owner owner;
        c.SetOwner(&owner);
        c.SetEventMask(k.event);
        ASSERT_TRUE(c.Open(Path(pty)));
        lines.modem = k.bit;
        ASSERT_TRUE(lvtest::waitFor([&] { return !owner.codes.empty(); }, 5000)) << k.event;
        EXPECT_EQ(owner.values[0] & k.event, k.event);
        EXPECT_EQ(c.TakeEvents() & k.event, k.event);
        EXPECT_EQ(c.CTS(), k.bit == MS_CTS);
        EXPECT_EQ(c.DSR(), k.bit == MS_DSR);
        EXPECT_EQ(c.RLSD(), k.bit == MS_RLSD);
        EXPECT_EQ(c.RING(), k.bit == MS_RING);
    }
}

TEST(CJCommLines, SteadyLinesRaiseNoEvent) {
    FakeLines lines;
    lines.modem = MS_CTS | MS_DSR;
    FakeDeviceScope scope(&lines);
    lvtest::PtyPair pty;
    CJXmodem c;
    Owner owner;
    c.SetOwner(&owner);
    c.SetEventMask(EVENT_CTS | EVENT_DSR);
    ASSERT_TRUE(c.Open(Path(pty)));
    // Bytes prove the reader thread has looked at the lines at least once since open.
    pty.write("x");
    ASSERT_TRUE(lvtest::waitFor([&] { return c.InCount() == 1; }, 5000));
    pty.write("y");
    ASSERT_TRUE(lvtest::waitFor([&] { return c.InCount() == 2; }, 5000));
    EXPECT_EQ(c.TakeEvents() & (EVENT_CTS | EVENT_DSR), 0);
}

TEST(CJCommLines, KernelCountersBecomeErrorBits) {
    FakeLines lines;
    FakeDeviceScope scope(&lines);
    lvtest::PtyPair pty;
    CJXmodem c;
    ASSERT_TRUE(c.Open(Path(pty)));
    EXPECT_EQ(c.Errors(), 0);
    {
        std::lock_guard<std::mutex> lk(lines.mu);
        lines.counters.frame = 2;
        lines.counters.parity = 1;
        lines.counters.overrun = 5;
        lines.counters.bufOverrun = 1;
        lines.counters.brk = 1;
    }
    EXPECT_EQ(c.Errors(),
              ERROR_FRAME | ERROR_RXPARITY | ERROR_OVERRUN | ERROR_RXOVER | ERROR_BREAK);
    EXPECT_EQ(c.Errors(), 0);
    {
        std::lock_guard<std::mutex> lk(lines.mu);
        lines.counters.frame = 3;
    }
    EXPECT_EQ(c.Errors(), ERROR_FRAME);
}

TEST(CJCommLines, ShortPulseSeenThroughCountersStillRaisesTheEvent) {
    FakeLines lines;
    FakeDeviceScope scope(&lines);
    lvtest::PtyPair pty;
    CJXmodem c;
    Owner owner;
    c.SetOwner(&owner);
    c.SetEventMask(EVENT_RING);
    ASSERT_TRUE(c.Open(Path(pty)));
    {
        std::lock_guard<std::mutex> lk(lines.mu);
        lines.counters.rng = 1; // the line went up and down between two looks
    }
    ASSERT_TRUE(lvtest::waitFor([&] { return !owner.codes.empty(); }, 5000));
    EXPECT_EQ(owner.values[0] & EVENT_RING, EVENT_RING);
}

TEST(CJCommLines, OpenClearsBreakThenSetsDtrAndRtsAsTheHostLastAsked) {
    FakeLines lines;
    FakeDeviceScope scope(&lines);
    lvtest::PtyPair pty;
    CJXmodem c;
    c.SetDTR(false);
    ASSERT_TRUE(c.Open(Path(pty)));
    EXPECT_TRUE(c.SetBreak());
    EXPECT_TRUE(c.ClearBreak());
    std::lock_guard<std::mutex> lk(lines.mu);
    EXPECT_EQ(lines.calls, (std::vector<std::string>{"BRK-", "DTR-", "RTS+", "BRK+", "BRK-"}));
}

TEST(CJCommLines, Rs485LowersRtsForEachTransmission) {
    FakeLines lines;
    FakeDeviceScope scope(&lines);
    lvtest::PtyPair pty;
    CJXmodem c;
    c.SetHandshaking(FC_RS485);
    ASSERT_TRUE(c.Open(Path(pty)));
    {
        std::lock_guard<std::mutex> lk(lines.mu);
        lines.calls.clear();
    }
    const uint8_t frame[] = {0x02, 'F', 0x0D};
    EXPECT_EQ(c.Write(frame, 3), 3);
    EXPECT_EQ(pty.read(5000, "\r"), QByteArray("\x02"
                                               "F\r"));
    std::lock_guard<std::mutex> lk(lines.mu);
    EXPECT_EQ(lines.calls, (std::vector<std::string>{"RTS-", "RTS+"}));
    termios t{};
    tcgetattr(int(c.Handle()), &t);
    EXPECT_FALSE(t.c_cflag & CRTSCTS); // RS485 leaves the line settings alone
}
