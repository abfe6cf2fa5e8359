// File transfer through the control over a pseudo-terminal: lrzsz's rx and sx on the other end
// (started by socat, which bridges the pty to them), a scripted peer for the faults, the
// progress window and the cancel paths.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <memory>
#include <thread>

#include "CJXmodem.h"
#include "TestSupport.h"
#include "TransferDialog.h"
#include "XmodemCore.h"
#include "dorlin/CDorlinCtrl.h"

using namespace dorlin;

namespace {

QByteArray Pattern(int n, int seed = 1) {
    QByteArray b;
    b.reserve(n);
    uint32_t x = uint32_t(seed) * 2654435761u;
    for (int i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        b.append(char(x >> 24));
    }
    return b;
}

QByteArray Padded(const QByteArray& data, char pad) {
    QByteArray b = data;
    while (b.size() % 128)
        b.append(pad);
    return b;
}

bool HaveLrzsz() {
    return QFileInfo(QStringLiteral("/usr/bin/rx")).isExecutable() &&
           QFileInfo(QStringLiteral("/usr/bin/sx")).isExecutable() &&
           QFileInfo(QStringLiteral("/usr/bin/socat")).isExecutable();
}

// lrzsz behind a pty: socat makes the pty (a link in the temp dir) for the control and runs the
// program in the temp dir (env -C: lrzsz refuses paths with a slash) with its standard input and
// output on pipes (a program on a pty slave
// may lose its last ACK when it exits). rx starts at once and asks for the first block before the
// control has the port open: that request is kept for the sender. sx starts a second later, so
// that the control's receiver is waiting when its first block comes.
struct LrzszPeer {
    QTemporaryDir& dir;
    QString link;
    std::unique_ptr<lvtest::ChildProcess> socat;

    LrzszPeer(QTemporaryDir& d, const QString& command) : dir(d) {
        link = dir.filePath("lrzsz-pty");
        socat = std::make_unique<lvtest::ChildProcess>(
            "/usr/bin/socat", QStringList{"PTY,link=" + link + ",raw,echo=0",
                                          "EXEC:/usr/bin/env -C " + dir.path() + " " +
                                              command.simplified() + ",pipes"});
    }
    bool Ready() { return lvtest::waitForPath(link, 10000); }
    int Wait() { return socat->wait(30000); }
};

struct Xfer : ::testing::Test {
    QTemporaryDir dir;
    void SetUp() override {
        if (!HaveLrzsz()) GTEST_SKIP() << "lrzsz or socat is not installed";
    }
    std::unique_ptr<CDorlinCtrl> Open(const QString& port) {
        auto c = std::make_unique<CDorlinCtrl>(nullptr, false);
        c->SetExtPort(port);
        c->SetExtPortOpen(true);
        EXPECT_TRUE(c->PortOpen());
        return c;
    }
};

struct Case {
    const char* name;
    int length;
    bool crc;
};

std::string CaseName(const ::testing::TestParamInfo<Case>& i) {
    return i.param.name;
}

const Case kCases[] = {
    {"Empty_Crc", 0, true},
    {"Empty_Checksum", 0, false},
    {"One_Crc", 1, true},
    {"One_Checksum", 1, false},
    {"Len127_Crc", 127, true},
    {"Len127_Checksum", 127, false},
    {"Len128_Crc", 128, true},
    {"Len128_Checksum", 128, false},
    {"Len129_Crc", 129, true},
    {"Len129_Checksum", 129, false},
    {"PastBlock255_Crc", 32773, true},
    {"PastBlock255_Checksum", 32773, false},
    {"Len1024_Crc", 1024, true},
    {"Len50000_Checksum", 50000, false},
};

struct PostToRx : Xfer, ::testing::WithParamInterface<Case> {};
struct RecvFromSx : Xfer, ::testing::WithParamInterface<Case> {};

} // namespace

TEST_P(PostToRx, ArrivesWholeWithZeroPadding) {
    const Case c = GetParam();
    const QByteArray data = Pattern(c.length, c.length + 3);
    const QString src = dir.filePath("src.bin");
    ASSERT_TRUE(lvtest::writeFile(src, data));
    LrzszPeer rx(dir, QString("/usr/bin/rx -q -b %1 out.bin").arg(c.crc ? "-c" : ""));
    ASSERT_TRUE(rx.Ready());
    auto ctrl = Open(rx.link);
    QList<QPair<short, long>> msgs;
    QObject::connect(ctrl.get(), &CDorlinCtrl::OnTransfer, [&](short code, long value) {
        msgs.append({code, value});
    });
    EXPECT_TRUE(ctrl->PostFile(src));
    ctrl->SetExtPortOpen(false);
    EXPECT_EQ(rx.Wait(), 0);
    const int blocks = (c.length + 127) / 128;
    EXPECT_EQ(lvtest::readFile(dir.filePath("out.bin")), Padded(data, '\0'));
    // one message per block sent, framed by the start and the end
    ASSERT_EQ(msgs.size(), blocks + 2);
    EXPECT_EQ(msgs.first(), qMakePair(short(XMSG_TXFILE), long(blocks)));
    for (int i = 1; i <= blocks; ++i)
        EXPECT_EQ(msgs[i], qMakePair(short(XMSG_TXPACK), long(i)));
    EXPECT_EQ(msgs.last(), qMakePair(short(XMSG_EOT), long(blocks)));
}

INSTANTIATE_TEST_SUITE_P(Lrzsz, PostToRx, ::testing::ValuesIn(kCases), CaseName);

TEST_P(RecvFromSx, ArrivesWholeWithSendersPadding) {
    const Case c = GetParam();
    const QByteArray data = Pattern(c.length, c.length + 7);
    ASSERT_TRUE(lvtest::writeFile(dir.filePath("src.bin"), data));
    LrzszPeer sx(dir, "/usr/bin/sx --delay-startup 1 -q -b src.bin");
    ASSERT_TRUE(sx.Ready());
    auto ctrl = Open(sx.link);
    int packs = 0;
    QObject::connect(ctrl.get(), &CDorlinCtrl::OnTransfer, [&](short code, long) {
        if (code == XMSG_RXPACK) ++packs;
    });
    const QString back = dir.filePath("back.bin");
    ASSERT_TRUE(lvtest::writeFile(back, "the previous contents, longer than some of the files"));
    EXPECT_TRUE(ctrl->RecvFile(back, false));
    ctrl->SetExtPortOpen(false);
    sx.Wait();
    // sx fills the last block with CP/M end-of-file bytes; the old file is replaced whole
    EXPECT_EQ(lvtest::readFile(back), Padded(data, '\x1A'));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).filter("back"), QStringList{"back.bin"});
    EXPECT_EQ(packs, (c.length + 127) / 128);
}

// sx answers the CRC request the control always makes first; the receiver's checksum fallback
// is covered by the engine tests.
const Case kCrcCases[] = {{"Empty_Crc", 0, true},      {"One_Crc", 1, true},
                          {"Len127_Crc", 127, true},   {"Len128_Crc", 128, true},
                          {"Len129_Crc", 129, true},   {"PastBlock255_Crc", 32773, true},
                          {"Len1024_Crc", 1024, true}, {"Len50000_Crc", 50000, true}};
INSTANTIATE_TEST_SUITE_P(Lrzsz, RecvFromSx, ::testing::ValuesIn(kCrcCases), CaseName);

// ---- a scripted receiver on the pty master ---------------------------------------------------

namespace {
// Reads exactly n bytes from the master, at most 10 s (the peer runs on its own thread, so the
// sender's loop keeps going).
QByteArray Take(lvtest::PtyPair& pty, QByteArray& buf, int n) {
    for (int i = 0; i < 100 && buf.size() < n; ++i)
        buf += pty.read(100);
    QByteArray head = buf.left(n);
    buf.remove(0, n);
    return head;
}
} // namespace

TEST(XferScripted, NakedBlockIsSentAgainAndTheFileStillArrives) {
    lvtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    QTemporaryDir dir;
    const QByteArray data = Pattern(200, 5);
    const QString src = dir.filePath("s.bin");
    ASSERT_TRUE(lvtest::writeFile(src, data));
    CJXmodem ch;
    ch.Init(nullptr, 3000);
    ASSERT_TRUE(ch.Open(QString::fromStdString(pty.slavePath())));

    QByteArray buf, seen;
    bool peerOk = false;
    std::thread peer([&] {
        pty.write("C");
        const QByteArray b1 = Take(pty, buf, 133);
        pty.write("\x15"); // pretend it came damaged
        const QByteArray again = Take(pty, buf, 133);
        pty.write("\x06");
        const QByteArray b2 = Take(pty, buf, 133);
        pty.write("\x18"); // one CAN is line noise
        pty.write("\x06");
        const QByteArray eot = Take(pty, buf, 1);
        pty.write("\x06");
        peerOk = b1.size() == 133 && b1 == again && uint8_t(b1[1]) == 1 && b2.size() == 133 &&
                 uint8_t(b2[1]) == 2 && eot == "\x04";
        seen = b1.mid(3, 128) + b2.mid(3, 128);
    });
    EXPECT_TRUE(ch.SendFile(src));
    peer.join();
    EXPECT_TRUE(peerOk);
    EXPECT_EQ(seen, Padded(data, '\0'));
}

// A receiver started before the port was opened has already asked for the first block: that
// "C" is answered, not thrown away with the open (the sender would wait for the receiver's
// next request, seconds later). A raw first write, though, discards what was waiting.
TEST(XferScripted, AReceiverThatAskedBeforeTheOpenIsAnsweredAtOnce) {
    lvtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    QTemporaryDir dir;
    const QByteArray data = Pattern(200, 9);
    const QString src = dir.filePath("s.bin");
    ASSERT_TRUE(lvtest::writeFile(src, data));
    ASSERT_TRUE(pty.write("C")); // before the open
    CJXmodem ch;
    ch.Init(nullptr, 3000);
    ASSERT_TRUE(ch.Open(QString::fromStdString(pty.slavePath())));

    QByteArray buf, seen, eot;
    std::thread peer([&] {
        const QByteArray b1 = Take(pty, buf, 133);
        if (b1.size() < 133) { // never asked again: the old "C" must do; end the sender
            pty.write("\x18\x18");
            return;
        }
        pty.write("\x06");
        const QByteArray b2 = Take(pty, buf, 133);
        pty.write("\x06");
        eot = Take(pty, buf, 1);
        pty.write("\x06");
        seen = b1.mid(3, 128) + b2.mid(3, 128);
    });
    EXPECT_TRUE(ch.SendFile(src));
    peer.join();
    EXPECT_EQ(seen, Padded(data, '\0'));
    EXPECT_EQ(eot, "\x04");

    // The same port opened again with a stale reply waiting: the first raw write drops it.
    ch.Close();
    ASSERT_TRUE(pty.write("\x02"
                          "Astale\r"));
    ASSERT_TRUE(ch.Open(QString::fromStdString(pty.slavePath())));
    ASSERT_TRUE(lvtest::waitFor([&] { return ch.InCount() == 8; }, 5000)) << ch.InCount();
    const uint8_t probe[] = {0x02, 'O', 0x0D};
    EXPECT_EQ(ch.Write(probe, 3), 3);
    EXPECT_EQ(ch.InCount(), 0);
    EXPECT_EQ(pty.read(5000, "\r"), QByteArray("\x02O\r"));
    ASSERT_TRUE(pty.write("\x02N\r"));
    ASSERT_TRUE(lvtest::waitFor([&] { return ch.InCount() == 3; }, 5000));
    uint8_t got[8] = {};
    EXPECT_EQ(ch.Read(got, 8), 3);
    EXPECT_EQ(QByteArray(reinterpret_cast<char*>(got), 3), "\x02N\r");
}

TEST(XferScripted, SilentSenderIsAskedAgainEveryTimeout) {
    lvtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    QTemporaryDir dir;
    ASSERT_TRUE(lvtest::writeFile(dir.filePath("r.bin"), "kept"));
    CJXmodem ch;
    ch.Init(nullptr, 150);
    ASSERT_TRUE(ch.Open(QString::fromStdString(pty.slavePath())));
    QByteArray got;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        got += pty.read(1);
        if (got.size() >= 6) ch.SendCancel(); // the user gives up
    });
    poll.start(20);
    EXPECT_FALSE(ch.RecvFile(dir.filePath("r.bin")));
    poll.stop();
    got += pty.read(200);
    // three CRC requests, then the checksum fallback, then the cancel sequence
    ASSERT_GE(got.size(), 6);
    EXPECT_EQ(got.left(4), QByteArray("CCC\x15"));
    EXPECT_TRUE(got.endsWith(QByteArray::fromStdString(xmodem::CancelSequence())))
        << got.toHex().toStdString();
    // a failed transfer leaves the file it would have replaced as it was, and nothing beside it
    EXPECT_EQ(lvtest::readFile(dir.filePath("r.bin")), QByteArray("kept"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"r.bin"});
}

TEST(XferScripted, UnopenableFileSendsTheCancelSequenceAndNoWindow) {
    lvtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    QWidget host;
    host.show();
    CDorlinCtrl ctrl(&host, false);
    ctrl.SetExtPort(QString::fromStdString(pty.slavePath()));
    ctrl.SetExtPortOpen(true);
    ASSERT_TRUE(ctrl.PortOpen());
    EXPECT_FALSE(ctrl.PostFile("/nonexistent/dir/file.bin"));
    EXPECT_FALSE(ctrl.RecvFile("/nonexistent/dir/file.bin", false));
    const QByteArray cancel = QByteArray::fromStdString(xmodem::CancelSequence());
    EXPECT_EQ(pty.read(2000, cancel + cancel), cancel + cancel);
    EXPECT_TRUE(ctrl.isEnabled());
}

TEST(XferScripted, HostCancelEndsTheWaitForASilentReceiver) {
    lvtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    QTemporaryDir dir;
    const QString src = dir.filePath("s.bin");
    ASSERT_TRUE(lvtest::writeFile(src, Pattern(1000)));
    CDorlinCtrl ctrl(nullptr, false); // no host window: no progress window either
    ctrl.SetExtPort(QString::fromStdString(pty.slavePath()));
    ctrl.SetExtPortOpen(true);
    ASSERT_TRUE(ctrl.PortOpen());
    QList<short> codes;
    QObject::connect(&ctrl, &CDorlinCtrl::OnTransfer, [&](short c, long) { codes << c; });
    // the receiver asks once, takes nothing more; the host gives up a little later
    pty.write("C");
    QTimer::singleShot(400, [&] { ctrl.Cancel(); });
    EXPECT_FALSE(ctrl.PostFile(src));
    const QByteArray wire = pty.read(500);
    const QByteArray cancel = QByteArray::fromStdString(xmodem::CancelSequence());
    ASSERT_EQ(wire.size(), 133 + 6) << wire.toHex().toStdString(); // block 1, one sequence
    EXPECT_EQ(uint8_t(wire[1]), 1);
    EXPECT_EQ(wire.mid(133), cancel);
    EXPECT_EQ(codes, (QList<short>{XMSG_TXFILE, XMSG_TXPACK, XMSG_CANCEL}));
    for (QWidget* w : QApplication::topLevelWidgets())
        EXPECT_NE(w->objectName(), "dorlinTransfer");
}

// ---- the progress window ---------------------------------------------------------------------

TEST(XferWindow, ShowsBlocksAndCancelEndsASilentReceiversWait) {
    lvtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    QTemporaryDir dir;
    const QString src = dir.filePath("s.bin");
    ASSERT_TRUE(lvtest::writeFile(src, Pattern(300)));
    QWidget host;
    host.show();
    CDorlinCtrl ctrl(&host, false);
    ctrl.SetExtPort(QString::fromStdString(pty.slavePath()));
    ctrl.SetExtPortOpen(true);
    ASSERT_TRUE(ctrl.PortOpen());

    QString caption, status, percent;
    bool ctrlDisabled = false, acked = false;
    QByteArray wire;
    QTimer t;
    QObject::connect(&t, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* d = qobject_cast<QDialog*>(w);
            if (!d || d->objectName() != "dorlinTransfer" || !d->isVisible()) continue;
            // the receiver asks once, takes block 1 and then never answers again
            if (caption.isEmpty()) {
                caption = d->windowTitle();
                pty.write("C");
                return;
            }
            wire += pty.read(5);
            if (!acked && wire.size() >= 133) {
                acked = true;
                pty.write("\x06");
            }
            status = d->findChild<QLabel*>("labStatus")->text();
            percent = d->findChild<QLabel*>("labPercent")->text();
            if (status == "Send File BLK:0002") {
                ctrlDisabled = !ctrl.isEnabled();
                d->findChild<QPushButton*>("cmdCancel")->click();
            }
        }
    });
    t.start(50);
    EXPECT_FALSE(ctrl.PostFile(src));
    t.stop();
    EXPECT_EQ(caption, "Send File...");
    EXPECT_EQ(status, "Send File BLK:0002");
    EXPECT_EQ(percent, "33%");
    EXPECT_TRUE(ctrlDisabled);
    EXPECT_TRUE(ctrl.isEnabled());
    // the window is gone and the receiver got the cancel sequence after block 2
    for (QWidget* w : QApplication::topLevelWidgets())
        EXPECT_FALSE(w->objectName() == "dorlinTransfer" && w->isVisible());
    const QByteArray rest = pty.read(2000, QByteArray::fromStdString(xmodem::CancelSequence()));
    EXPECT_TRUE(rest.endsWith(QByteArray::fromStdString(xmodem::CancelSequence())));
}

TEST(XferWindow, PercentText) {
    struct {
        int pos, low, high;
        const char* want;
    } cases[] = {{0, 0, 3, "0%"},      {1, 0, 3, "33%"},     {3, 0, 3, "100%"},
                 {150, 0, 100, "50%"}, {250, 0, 200, "25%"}, {0, 0, 0, "100%"}};
    for (const auto& c : cases)
        EXPECT_EQ(TransferDialog::PercentText(c.pos, c.low, c.high), QString(c.want))
            << c.pos << "/" << c.high;
}
