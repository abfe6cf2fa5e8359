// The scan against simulated readers on pseudo-terminals, all probed at once: every row ends
// with the status its reader earns, and the outcome follows the number of readers found.
#include "ScanTestSupport.h"

#include <QSignalSpy>
#include <gtest/gtest.h>
#include <pelmar/discovery/ScanEngine.h>
#include <pelmar/discovery/frmAutoScan.h>

using namespace pelmar::discovery;
using lvtest::SimReader;
using scantest::RowOf;

namespace {

ScanParams Kt9(const QString& ips = {}) {
    return ScanParams{Kt9FirmwareList(), Kt9DeviceLabel(), Kt9ProbeCommand(), Kt9BaudList(), ips};
}

bool WaitComplete(ScanEngine& e) {
    return lvtest::waitFor([&] { return e.IsComplete(); }, 20000);
}

const QString kProbe = QString(QChar(0x02)) + "F" + QChar(0x0D);

TEST(ScanEngine, EveryKindOfPortEndsWithItsOwnStatus) {
    SimReader match({"--unlocked"});
    SimReader other({"--unlocked", "--firmware", "XYZ-7 V3.2"});
    SimReader refusing({"--refuse-version"}); // the probe is refused with "N"
    SimReader silent({"--silent"});
    SimReader partial({"--unlocked", "--partial"});
    SimReader vanishing({"--silent"});
    SimReader held({"--unlocked"});
    ASSERT_TRUE(match.ok() && other.ok() && refusing.ok() && silent.ok() && partial.ok() &&
                vanishing.ok() && held.ok());
    // a port another program (here: another link) holds is in use, not "no reader"
    dorlin::RnetLink holder;
    ASSERT_TRUE(holder.Open(held.Link()));
    lvtest::SetPorts({{41, match.Link()},
                      {42, other.Link()},
                      {43, refusing.Link()},
                      {44, silent.Link()},
                      {45, partial.Link()},
                      {46, vanishing.Link()},
                      {47, "/nonexistent/reader"},
                      {48, held.Link()}});

    ScanEngine e(Kt9());
    QSignalSpy complete(&e, &ScanEngine::ScanComplete);
    QSignalSpy close(&e, &ScanEngine::CloseRequested);
    e.Refresh();
    const int gone = RowOf(e, "COM46");
    ASSERT_GE(gone, 0);
    for (const char* row : {"COM41", "COM42", "COM43", "COM44", "COM45", "COM47", "COM48"})
        EXPECT_GE(RowOf(e, row), 0) << row;
    EXPECT_EQ(e.Status(RowOf(e, "COM41")), "Checking...");

    // The vanishing reader is pulled once its probe went out.
    ASSERT_TRUE(lvtest::waitFor([&] { return e.Status(gone) == "Check in 19200bps"; }, 10000));
    vanishing.Stop();
    ASSERT_TRUE(WaitComplete(e));

    EXPECT_EQ(e.Status(RowOf(e, "COM41")), "Found: KRN-A0102 V1.05");
    EXPECT_EQ(e.Status(RowOf(e, "COM42")), "Other: XYZ-7 V3.2");
    EXPECT_EQ(e.Status(RowOf(e, "COM43")), "Error: 0x");
    EXPECT_EQ(e.Status(RowOf(e, "COM44")), "Timeout");
    EXPECT_EQ(e.Status(RowOf(e, "COM45")), "Unknown Error");
    EXPECT_EQ(e.Status(gone), "COM46 is removed!");
    EXPECT_EQ(e.Status(RowOf(e, "COM47")), "Can't open COM47");
    EXPECT_EQ(e.Status(RowOf(e, "COM48")), "COM48 is in use");
    EXPECT_TRUE(held.Requests().isEmpty());

    // Each reachable reader got the bare version request; the silent one got all three bursts.
    EXPECT_EQ(match.Requests().value(0), "<STX>F<CR>");
    EXPECT_EQ(silent.Requests(), QStringList({"<STX>F<CR>", "<STX>F<CR>", "<STX>F<CR>"}));

    // One reader found: it is chosen as if Select had been pressed.
    ASSERT_EQ(complete.size(), 1);
    EXPECT_EQ(complete[0][0].toInt(), 1);
    ASSERT_TRUE(lvtest::waitFor([&] { return close.size() == 1; }, 5000));
    EXPECT_TRUE(e.HasResult());
    EXPECT_EQ(e.Result(), "COM41");
}

TEST(ScanEngine, NothingFoundClosesByItselfWithoutAChoice) {
    SimReader silent({"--silent"});
    SimReader refusing({"--refuse-version"});
    ASSERT_TRUE(silent.ok() && refusing.ok());
    lvtest::SetPorts({{51, silent.Link()}, {52, refusing.Link()}});

    ScanEngine e(Kt9());
    QSignalSpy close(&e, &ScanEngine::CloseRequested);
    int closesAtCompletion = -1;
    QObject::connect(&e, &ScanEngine::ScanComplete,
                     [&] { closesAtCompletion = int(close.size()); });
    e.Refresh();
    ASSERT_TRUE(WaitComplete(e));
    EXPECT_EQ(e.FoundCount(), 0);
    EXPECT_EQ(e.Status(RowOf(e, "COM51")), "Timeout");
    EXPECT_EQ(e.Status(RowOf(e, "COM52")), "Error: 0x");
    // The close follows a moment after the scan, not with it.
    EXPECT_EQ(closesAtCompletion, 0);
    ASSERT_TRUE(lvtest::waitFor([&] { return close.size() == 1; }, 5000));
    EXPECT_FALSE(e.HasResult());
    EXPECT_EQ(e.Result(), "");
}

TEST(ScanEngine, TwoReadersWaitForTheUser) {
    SimReader a({"--unlocked"});
    SimReader b({"--unlocked", "--firmware", "KRN-A0101,V2.00"});
    ASSERT_TRUE(a.ok() && b.ok());
    lvtest::SetPorts({{61, a.Link()}, {62, b.Link()}});

    ScanEngine e(Kt9());
    QSignalSpy close(&e, &ScanEngine::CloseRequested);
    e.Refresh();
    ASSERT_TRUE(WaitComplete(e));
    const int ra = RowOf(e, "COM61"), rb = RowOf(e, "COM62");
    EXPECT_EQ(e.Status(ra), "Found: KRN-A0102 V1.05");
    EXPECT_EQ(e.Status(rb), "Found: KRN-A0101,V2.00");
    EXPECT_EQ(e.FoundCount(), 2);
    // No choice is made while the user has not picked one.
    lvtest::waitFor([&] { return close.size() > 0; }, 1500);
    EXPECT_EQ(close.size(), 0);
    EXPECT_FALSE(e.Select(-1));
    EXPECT_FALSE(e.HasResult());
    EXPECT_FALSE(e.CanSelect(-1));
    EXPECT_TRUE(e.CanSelect(rb));
    EXPECT_TRUE(e.Select(rb));
    EXPECT_EQ(close.size(), 1);
    EXPECT_EQ(e.Result(), "COM62");
}

TEST(ScanEngine, RemovalNoticeMarksTheRowAtTheNextTick) {
    SimReader silent({"--silent"});
    SimReader match({"--unlocked"});
    ASSERT_TRUE(silent.ok() && match.ok());
    lvtest::SetPorts({{71, silent.Link()}, {72, match.Link()}});

    ScanEngine e(Kt9());
    e.Refresh();
    const int r = RowOf(e, "COM71");
    ASSERT_TRUE(lvtest::waitFor([&] { return e.Status(r) == "Check in 19200bps"; }, 10000));
    e.PortRemoved("COM71");
    EXPECT_EQ(e.Status(r), "Check in 19200bps"); // handled by the tick, not on the spot
    ASSERT_TRUE(lvtest::waitFor([&] { return e.IsDone(r); }, 5000));
    EXPECT_EQ(e.Status(r), "COM71 is removed!");
    EXPECT_FALSE(e.Link(r)->IsOpen());
    ASSERT_TRUE(WaitComplete(e));
    EXPECT_EQ(e.Status(RowOf(e, "COM72")), "Found: KRN-A0102 V1.05");
}

TEST(ScanEngine, RemovalNoticeByDevicePath) {
    SimReader silent({"--silent"});
    ASSERT_TRUE(silent.ok());
    lvtest::SetPorts({{73, silent.Link()}});
    ScanEngine e(Kt9());
    e.Refresh();
    const int r = RowOf(e, "COM73");
    ASSERT_TRUE(lvtest::waitFor([&] { return e.Status(r) == "Check in 19200bps"; }, 10000));
    e.PortRemoved("/dev/ttyUSB77"); // not one of ours
    e.PortRemoved(silent.Link());
    ASSERT_TRUE(lvtest::waitFor([&] { return e.IsDone(r); }, 5000));
    EXPECT_EQ(e.Status(r), "COM73 is removed!");
}

TEST(ScanEngine, PortArrivalAfterTheScanStartsAFreshOne) {
    SimReader match({"--unlocked"});
    ASSERT_TRUE(match.ok());
    lvtest::SetPorts({{75, match.Link()}});
    ScanEngine e(Kt9());
    QSignalSpy reset(&e, &ScanEngine::ListReset);
    e.Refresh();
    e.PortArrived("/dev/ttyUSB5"); // during the scan: the running scan goes on
    ASSERT_TRUE(WaitComplete(e));
    EXPECT_EQ(reset.size(), 1);
    EXPECT_EQ(e.Result(), "COM75");

    SimReader second({"--unlocked", "--firmware", "KRN-A0102 V7"});
    ASSERT_TRUE(second.ok());
    lvtest::SetPorts({{75, match.Link()}, {76, second.Link()}});
    e.PortArrived("/dev/ttyUSB5");
    ASSERT_TRUE(lvtest::waitFor([&] { return reset.size() == 2; }, 5000));
    EXPECT_GE(RowOf(e, "COM76"), 0);
    ASSERT_TRUE(WaitComplete(e));
    EXPECT_EQ(e.Status(RowOf(e, "COM75")), "Found: KRN-A0102 V1.05");
    EXPECT_EQ(e.Status(RowOf(e, "COM76")), "Found: KRN-A0102 V7");
    EXPECT_EQ(e.FoundCount(), 2);
}

TEST(ScanEngine, EveryBaudRateOfTheListIsTried) {
    SimReader silent({"--silent"});
    ASSERT_TRUE(silent.ok());
    lvtest::SetPorts({{81, silent.Link()}});
    ScanParams p = Kt9();
    p.baudList = "9600,19200";
    ScanEngine e(p);
    e.Refresh();
    const int r = RowOf(e, "COM81");
    ASSERT_TRUE(lvtest::waitFor([&] { return e.Status(r) == "Check in 9600bps"; }, 10000));
    EXPECT_EQ(e.Link(r)->Baud(), 9600);
    ASSERT_TRUE(lvtest::waitFor([&] { return e.Status(r) == "Check in 19200bps"; }, 10000));
    EXPECT_EQ(e.Link(r)->Baud(), 19200);
    ASSERT_TRUE(lvtest::waitFor([&] { return e.IsComplete(); }, 20000));
    EXPECT_EQ(e.Status(r), "Timeout");
    EXPECT_EQ(silent.Requests().size(), 6);
}

TEST(ScanEngine, RefreshRebuildsTheListAndScansAgain) {
    SimReader match({"--unlocked"});
    ASSERT_TRUE(match.ok());
    lvtest::SetPorts({{91, match.Link()}});
    ScanParams p = Kt9("10.0.0.300,192.0.2.1");
    ScanEngine e(p);
    QSignalSpy reset(&e, &ScanEngine::ListReset);
    e.Refresh();
    ASSERT_TRUE(WaitComplete(e));
    EXPECT_EQ(e.Status(RowOf(e, "COM91")), "Found: KRN-A0102 V1.05");
    // The address list gives one network row, after the serial ones, on the server's port.
    EXPECT_EQ(e.RowText(e.Count() - 1), "IP:192.0.2.1:1001");

    lvtest::SetPorts({{91, match.Link()}, {92, "/nonexistent/second"}});
    e.Refresh();
    EXPECT_EQ(reset.size(), 2);
    EXPECT_FALSE(e.IsComplete());
    EXPECT_EQ(e.Status(RowOf(e, "COM91")), "Checking...");
    EXPECT_EQ(e.FoundCount(), 0);
    ASSERT_TRUE(WaitComplete(e));
    EXPECT_EQ(e.Status(RowOf(e, "COM91")), "Found: KRN-A0102 V1.05");
    EXPECT_EQ(e.Status(RowOf(e, "COM92")), "Can't open COM92");
}

TEST(ScanEngine, DeviceServerCandidate) {
    lvtest::SimReader server({"--unlocked"}, lvtest::SimReader::Transport::Tcp);
    ASSERT_TRUE(server.ok());
    if (!scantest::LinkHasTcp(server.Address()))
        GTEST_SKIP() << "the link cannot open COM0 (network path) yet";
    SimReader silent({"--silent"});
    ASSERT_TRUE(silent.ok());
    lvtest::SetPorts({{101, silent.Link()}});
    ScanEngine e(Kt9(server.Address() + ",127.0.0.1"));
    e.Refresh();
    ASSERT_TRUE(WaitComplete(e));
    const QString row = "IP:" + server.Address() + ":1001";
    ASSERT_GE(RowOf(e, row), 0);
    EXPECT_EQ(e.Status(RowOf(e, row)), "Found: KRN-A0102 V1.05");
    EXPECT_EQ(e.Status(RowOf(e, "IP:127.0.0.1:1001")), "Can't open IP: 127.0.0.1:1001");
    EXPECT_EQ(e.Status(RowOf(e, "COM101")), "Timeout");
    EXPECT_EQ(e.Result(), row);
}

TEST(ScanEngine, ClosingWhileIdleClosesEveryPort) {
    SimReader match({"--unlocked"});
    SimReader two({"--unlocked", "--firmware", "KRN-A0102 V9"});
    ASSERT_TRUE(match.ok() && two.ok());
    lvtest::SetPorts({{111, match.Link()}, {112, two.Link()}});
    ScanEngine e(Kt9());
    QSignalSpy closed(&e, &ScanEngine::Closed);
    e.Refresh();
    ASSERT_TRUE(WaitComplete(e));
    ASSERT_TRUE(e.Link(RowOf(e, "COM111"))->IsOpen());
    EXPECT_TRUE(e.RequestClose());
    e.Shutdown();
    ASSERT_TRUE(lvtest::waitFor([&] { return closed.size() == 1; }, 5000));
    EXPECT_EQ(e.Count(), 0);
}

} // namespace
