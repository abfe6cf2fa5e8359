// readersim on a pseudo-terminal, driven by a client that opens the device like a serial port.
#include "SimClient.h"
#include "TestSupport.h"
#include "dorlin/Rnet.h"
#include "readersim/Reader.h"
#include "readersim/StateFile.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>
#include <random>

using namespace readersim;
using simtest::PtyClient;

namespace {

std::string Frame(const std::string& text) {
    return rnet::BuildFrame(text, false);
}
std::string Sum(const std::string& text) {
    return text + rnet::CheckSumText(text);
}
// A record asked for by number carries a checksum; the plain "G" reply does not.
std::string RecordFrame(const Record& r) {
    return Frame(Sum("A" + RecordText(r, 0xFF)));
}
std::string PlainRecordFrame(const Record& r) {
    return Frame("A" + RecordText(r, 0xFF));
}

struct PtySim : ::testing::Test {
    QTemporaryDir dir;
    QString link;
    std::unique_ptr<lvtest::ChildProcess> sim;

    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        link = dir.filePath("reader0");
    }
    void Start(QStringList args) {
        args.prepend(link);
        args.prepend("--pty");
        sim = std::make_unique<lvtest::ChildProcess>(lvtest::binPath("readersim"), args);
        ASSERT_TRUE(sim->started());
        ASSERT_TRUE(lvtest::waitForPath(link, 10000)) << "no pty link";
    }
    QString Log(const QString& name) {
        QFile f(dir.filePath(name));
        return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()) : QString();
    }
};

} // namespace

TEST_F(PtySim, PrintsTheDeviceAndAnswersWithExactBytes) {
    Start({"--records", "5", "--seed", "3"});
    ASSERT_TRUE(lvtest::waitFor([&] { return sim->readStdout().endsWith('\n'); }, 5000));
    QString device = QString::fromLatin1(sim->readStdout()).trimmed();
    EXPECT_TRUE(device.startsWith("/dev/pts/")) << device.toStdString();
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), device);

    PtyClient c(link.toStdString());
    ASSERT_TRUE(c.ok());
    auto recs = GenerateRecords(5, 3);
    EXPECT_EQ(c.Ask(Frame("O")), "\x02"
                                 "A\r");
    EXPECT_EQ(c.Ask(Frame("G")), Frame("N"));
    EXPECT_EQ(c.Ask(Frame("L1234")), "\x02"
                                     "I\r");
    EXPECT_EQ(c.Ask(Frame("L4826")), "\x02"
                                     "A\r");
    EXPECT_EQ(c.Ask(Frame("N")), Frame("A0005"));
    EXPECT_EQ(c.Ask(Frame("R")), Frame("A"));
    EXPECT_EQ(c.Ask(Frame("G")), PlainRecordFrame(recs[0]));
    EXPECT_EQ(c.Ask(Frame("G")), PlainRecordFrame(recs[1]));
    EXPECT_EQ(c.Ask(Frame("G0004")), RecordFrame(recs[4]));
    EXPECT_EQ(c.Ask(rnet::BuildFrame("C1A,00", true)), Frame("A"));
    EXPECT_EQ(c.Ask(Frame("G0004")), Frame(Sum("A" + RecordText(recs[4], 0))));
    EXPECT_EQ(c.Ask(Frame("F")), Frame("AKRN-A0102 V1.05"));
    EXPECT_EQ(c.Ask(Frame("what")), Frame("N"));
}

TEST_F(PtySim, ProbesWithLineFeedAreAnswered) {
    Start({});
    PtyClient c(link.toStdString());
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c.Ask("\x02"
                    "f\r\n"),
              Frame("A"));
    EXPECT_EQ(c.Ask("\x02"
                    "B00\r\n"),
              Frame("N")); // not logged in
    EXPECT_EQ(c.Ask(Frame("L4826")), Frame("A"));
    EXPECT_EQ(c.Ask("\x02"
                    "B00\r\n"),
              Frame(Sum("A00")));
}

TEST_F(PtySim, ClientMayCloseAndReopenTheDevice) {
    Start({});
    for (int round = 0; round < 3; ++round) {
        PtyClient c(link.toStdString());
        ASSERT_TRUE(c.ok());
        EXPECT_EQ(c.Ask(Frame("I")), round == 0 ? Frame("N") : Frame("A01")) << round;
        EXPECT_EQ(c.Ask(Frame("L4826")), Frame("A"));
    }
}

TEST_F(PtySim, StaleLinkIsReplacedButAFileIsNot) {
    ASSERT_TRUE(QFile::link("/nonexistent/pts/99", link));
    Start({});
    PtyClient c(link.toStdString());
    EXPECT_EQ(c.Ask(Frame("f")), Frame("A"));
    sim.reset();
    EXPECT_FALSE(QFileInfo::exists(link));

    QFile f(link);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("keep me");
    f.close();
    lvtest::ChildProcess p(lvtest::binPath("readersim"), {"--pty", link});
    EXPECT_EQ(p.wait(10000), 1);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "keep me");
}

TEST_F(PtySim, TerminateRemovesTheLinkAndWritesTheState) {
    QString state = dir.filePath("state.json");
    Start({"--state", state, "--records", "3", "--user-name", "Lobby"});
    {
        PtyClient c(link.toStdString());
        EXPECT_EQ(c.Ask(Frame("L4826")), Frame("A"));
        EXPECT_EQ(c.Ask(Frame("P1234")), Frame("A"));
        EXPECT_EQ(c.Ask(Frame("S203001020304054")), Frame("A"));
        EXPECT_EQ(c.Ask(Frame("E0000")), Frame("A"));
    }
    ::kill(sim->pid(), SIGTERM);
    EXPECT_EQ(sim->wait(10000), 0);
    EXPECT_FALSE(QFileInfo::exists(link));
    ReaderState st;
    QString err;
    ASSERT_TRUE(LoadState(state, st, &err)) << err.toStdString();
    EXPECT_EQ(st.loginId, "1234");
    EXPECT_EQ(st.UserName(), "Lobby");
    EXPECT_EQ(st.records.size(), 2u);
    EXPECT_EQ(st.erased.size(), 1u);
    EXPECT_GT(st.clockOffset, 90000000); // set to 2030

    // the next run carries on where this one stopped
    Start({"--state", state});
    PtyClient c(link.toStdString());
    EXPECT_EQ(c.Ask(Frame("L4826")), Frame("I"));
    EXPECT_EQ(c.Ask(Frame("L1234")), Frame("A"));
    EXPECT_EQ(c.Ask(Frame("N")), Frame("A0002"));
    std::string t = c.Ask(Frame("T"));
    EXPECT_EQ(t.substr(0, 6), "\x02"
                              "A2030");
}

TEST_F(PtySim, DropAfterMakesTheDeviceVanish) {
    Start({"--records", "10", "--drop-after", "2", "--log", dir.filePath("log.txt")});
    PtyClient c(link.toStdString());
    ASSERT_EQ(c.Ask(Frame("L4826")), Frame("A"));
    EXPECT_EQ(c.Ask(Frame("G")).substr(0, 2), "\x02"
                                              "A");
    EXPECT_EQ(c.Ask(Frame("G")).substr(0, 2), "\x02"
                                              "A"); // the second record reply still arrives
    c.Write(Frame("G"));
    std::string rest = c.Read(10000, "");
    EXPECT_EQ(rest, "");
    EXPECT_TRUE(c.Gone());
    EXPECT_TRUE(c.LastErrno() == EIO || c.LastErrno() == 0) << c.LastErrno();
    EXPECT_EQ(sim->wait(10000), 0);
    EXPECT_FALSE(QFileInfo::exists(link));
    EXPECT_TRUE(Log("log.txt").contains("DROP after 2 record replies\nPTY closed\n"));
}

TEST_F(PtySim, CorruptAndPartialFaults) {
    Start({"--records", "2", "--corrupt", "1", "--unlocked"});
    {
        PtyClient c(link.toStdString());
        std::string g = c.Ask(Frame("G0000"));
        ASSERT_GE(g.size(), 4u);
        std::string reply = g.substr(1, g.size() - 2);
        EXPECT_FALSE(rnet::StripReplyChecksum(reply)) << g;
    }
    sim.reset();
    Start({"--partial", "--unlocked"});
    PtyClient c(link.toStdString());
    c.Write(Frame("F"));
    EXPECT_EQ(c.Read(1500), "\x02"
                            "AKRN-A0102 V1.05"); // no CR comes
}

TEST_F(PtySim, LogHasEveryFrameOnItsOwnLine) {
    Start({"--log", dir.filePath("log.txt"), "--baud", "9600"});
    PtyClient c(link.toStdString());
    EXPECT_EQ(c.Ask(Frame("L4826")), Frame("A"));
    EXPECT_EQ(c.Ask(rnet::BuildFrame("PABCD", true)), Frame("A"));
    QString want = "RX <STX>L4826<CR>\nTX <STX>A<CR>\nRX <STX>PABCD" +
                   QString::fromStdString(rnet::CheckSumText("PABCD")) + "<CR>\nTX <STX>A<CR>\n";
    EXPECT_TRUE(lvtest::waitFor([&] { return Log("log.txt").endsWith(want); }, 5000))
        << Log("log.txt").toStdString();
}

TEST_F(PtySim, XmodemBothWaysWithLrzsz) {
    if (QFileInfo("/usr/bin/sx").isExecutable() == false ||
        QFileInfo("/usr/bin/rx").isExecutable() == false)
        GTEST_SKIP() << "lrzsz (sx, rx) is not installed";
    QString src = dir.filePath("src.bin");
    QFile f(src);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    QByteArray data;
    for (int i = 0; i < 1000; ++i)
        data += char((i * 7 + 3) & 0xFF);
    f.write(data);
    f.close();
    Start({"--unlocked", "--log", dir.filePath("log.txt")});
    PtyClient c(link.toStdString());
    ASSERT_EQ(c.Ask(Frame("ZXup.bin")), Frame("A"));
    {
        lvtest::ChildProcess sx("/bin/sh", {"-c", "cd '" + dir.path() +
                                                      "' && exec /usr/bin/sx -X -q src.bin <'" +
                                                      link + "' >'" + link + "'"});
        EXPECT_EQ(sx.wait(60000), 0);
    }
    ASSERT_TRUE(lvtest::waitFor(
        [&] { return Log("log.txt").contains("XMODEM received up.bin 1024 bytes"); }, 10000))
        << Log("log.txt").toStdString();
    EXPECT_EQ(c.Ask(Frame("FI0")), Frame(Sum("Aup.bin,1024")));

    ASSERT_EQ(c.Ask(Frame("UXup.bin")), Frame("A"));
    QString back = dir.filePath("back.bin");
    {
        // lrzsz refuses absolute names in its restricted mode, hence the cd
        lvtest::ChildProcess rx("/bin/sh", {"-c", "cd '" + dir.path() +
                                                      "' && exec /usr/bin/rx -X -c -q back.bin <'" +
                                                      link + "' >'" + link + "'"});
        EXPECT_EQ(rx.wait(60000), 0);
    }
    QFile b(back);
    ASSERT_TRUE(b.open(QIODevice::ReadOnly));
    QByteArray got = b.readAll();
    EXPECT_EQ(got.left(1000), data);
    EXPECT_TRUE(lvtest::waitFor(
        [&] { return Log("log.txt").contains("XMODEM sent up.bin in 8 blocks"); }, 10000))
        << Log("log.txt").toStdString();
    EXPECT_EQ(c.Ask(Frame("FN")), Frame("A1")); // Rnet again after the transfer
}

TEST_F(PtySim, RandomBytesDoNotUpsetTheReader) {
    Start({"--records", "20"});
    PtyClient c(link.toStdString());
    ASSERT_TRUE(c.ok());
    std::mt19937 rng(11);
    std::string junk;
    for (int i = 0; i < 200000; ++i) {
        unsigned r = rng() % 16;
        junk += r == 0 ? '\x02' : r == 1 ? '\r' : char(rng() & 0xFF);
    }
    std::string replies;
    for (size_t off = 0; off < junk.size(); off += 4096) {
        ASSERT_TRUE(c.Write(junk.substr(off, 4096)));
        replies += c.Read(1, ""); // keep the replies flowing
    }
    // A CR closes whatever frame the junk left open (answered "N" when there was one); then
    // the reader must still log in and count. Replies to the last junk may still be on their
    // way, so everything up to the count's reply is read, in order.
    const std::string count = Frame("A0020");
    ASSERT_TRUE(c.Write("\r" + Frame("L4826") + Frame("N")));
    replies += c.Read(30000, count);
    ASSERT_GE(replies.size(), 2 * Frame("A").size() + count.size()) << rnet::Visible(replies);
    EXPECT_EQ(replies.substr(replies.size() - count.size() - 3), Frame("A") + count);
    // every reply to the junk is a whole frame: a refusal, the answer to a probe it held,
    // "I" for a login with a wrong ID, or the version (asked without a login)
    const std::string version = Frame("AKRN-A0102 V1.05");
    size_t at = 0;
    while (at < replies.size() - count.size() - 3) {
        if (replies.compare(at, version.size(), version) == 0) {
            at += version.size();
            continue;
        }
        std::string reply = replies.substr(at, 3);
        EXPECT_TRUE(reply == Frame("N") || reply == Frame("A") || reply == Frame("I"))
            << "at " << at << ": " << rnet::Visible(replies.substr(at, 16));
        if (testing::Test::HasFailure()) break;
        at += 3;
    }
}
