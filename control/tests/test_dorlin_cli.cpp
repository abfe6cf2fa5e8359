// The dorlin command-line host, run as a real process against a scripted reader on a pty.
#include <csignal>
#include <sys/types.h>

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "PtyPeer.h"
#include "TestStore.h"
#include "TestSupport.h"

namespace {

struct CliRun {
    int exitCode = -1;
    QByteArray out, err;
};

// Starts bin/dorlin and keeps the event loop (and so the scripted reader) running until it
// ends.
CliRun Dorlin(const QStringList& args, const QString& ports = QString()) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DORLIN_PORTS", ports);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_CONFIG_HOME", IsolateSettings());
    p.setProcessEnvironment(env);
    p.start(lvtest::binPath("dorlin"), args);
    CliRun r;
    if (!p.waitForStarted(10000)) return r;
    lvtest::waitFor([&] { return p.state() == QProcess::NotRunning; }, 60000);
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished(5000);
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QString Slave(const lvtest::PtyPair& p) {
    return QString::fromStdString(p.slavePath());
}

} // namespace

TEST(DorlinCli, CallsMethodsAndPropertiesInOrderOnOnePort) {
    lvtest::PtyPair pty;
    PtyPeer peer(pty);
    peer.Answer([](const QByteArray& req) -> QByteArray {
        if (req == "\x02L4826\r")
            return "\x02"
                   "A\r";
        if (req == "\x02"
                   "F\r")
            return "\x02"
                   "AKRN V1.05\r";
        // 0x32 records; 0x41 + 0x30 + 0x30 + 0x33 + 0x32 = 0x106
        if (req == "\x02N\r")
            return "\x02"
                   "A003206\r";
        return "\x02N\r";
    });
    const CliRun r = Dorlin({"--port", Slave(pty), "call", "Login", "4826", "call", "GetVersion",
                             "call", "GetRecordCount", "call", "PortOpen", "call", "RxCount"});
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(r.out, "TRUE\nAKRN V1.05\n50\nTRUE\n0\n");
    EXPECT_EQ(peer.Requests(), QList<QByteArray>({"\x02L4826\r",
                                                  "\x02"
                                                  "F\r",
                                                  "\x02N\r"}));
}

TEST(DorlinCli, OpensComNamesFromDorlinPortsAndAppliesOptions) {
    lvtest::PtyPair pty;
    PtyPeer peer(pty);
    peer.Script({"\x02"
                 "A\x01\r"});
    const CliRun r = Dorlin({"--port",      "COM7",      "--baud",   "9600",      "--settings",
                             "E,7,1",       "--timeout", "2000",     "--monitor", "call",
                             "SendRnetCmd", "T",         "TRUE",     "FALSE",     "call",
                             "BaudRate",    "call",      "Settings", "call",      "RnetTimeout"},
                            "COM7=" + Slave(pty));
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(r.out, "A<01>\n9600\nE,7,1\n2000\n");
    EXPECT_TRUE(r.err.contains("MON 1 <STX>T54<CR>\n")) << r.err.constData();
    EXPECT_TRUE(r.err.contains("MON 2 A<01>\n")) << r.err.constData();
    EXPECT_EQ(peer.Received(), "\x02T54\r");
}

TEST(DorlinCli, ArgumentsCarryControlBytesWrittenAsTags) {
    lvtest::PtyPair pty;
    PtyPeer peer(pty);
    const CliRun r = Dorlin({"--port", Slave(pty), "set", "Text", "<STX>F<CR>", "call", "RxCount"});
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(r.out, "OK\n0\n");
    EXPECT_TRUE(lvtest::waitFor(
        [&] {
            return peer.Received() == "\x02"
                                      "F\r";
        },
        5000));
}

TEST(DorlinCli, TimeoutIsReportedOnTheMonitor) {
    lvtest::PtyPair pty;
    const CliRun r = Dorlin({"--port", Slave(pty), "--timeout", "200", "--monitor", "call",
                             "GetVersion", "call", "Logout"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "\nFALSE\n");
    EXPECT_EQ(r.err, "MON 1 <STX>F<CR>\nMON 0 $TIMEOUT\nMON 1 <STX>O<CR>\nMON 0 $TIMEOUT\n");
}

TEST(DorlinCli, FailedStepsPrintErrorAndExitOne) {
    const CliRun r = Dorlin({"set", "RxCount", "5", "call", "Settings", "call", "NoSuch", "call",
                             "Polling", "zz", "call", "Logout", "1"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "ERROR 383 CTL_E_SETNOTSUPPORTED\n"
                     "N,8,1\n"
                     "ERROR 0x80020003 DISP_E_UNKNOWNNAME\n"
                     "ERROR 0x80020005 DISP_E_TYPEMISMATCH (argument 1)\n"
                     "ERROR 0x8002000E DISP_E_BADPARAMCOUNT\n");
}

TEST(DorlinCli, PortThatWillNotOpenExitsOne) {
    const CliRun r = Dorlin({"--port", "/dev/does-not-exist-dorlin", "call", "GetVersion"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.isEmpty());
    EXPECT_TRUE(r.err.contains("cannot open /dev/does-not-exist-dorlin"));
    const CliRun r2 = Dorlin({"--port", "COM9", "call", "GetVersion"}, "COM8=/dev/null");
    EXPECT_EQ(r2.exitCode, 1);
}

TEST(DorlinCli, DispidsListsTheWholeTable) {
    const CliRun r = Dorlin({"dispids"});
    EXPECT_EQ(r.exitCode, 0);
    const QList<QByteArray> lines = r.out.split('\n');
    EXPECT_TRUE(lines.contains("1\tproperty\tBaudRate\tlong"));
    EXPECT_TRUE(lines.contains("15\tproperty\tRxCount\tshort"));
    EXPECT_TRUE(lines.contains(
        "35\tmethod\tSendRnetCmd\tstring(string sData, BOOL tChkSum, BOOL rChkSum)"));
    EXPECT_TRUE(lines.contains("-552\tmethod\tAboutBox\tvoid()"));
    EXPECT_TRUE(lines.contains("3\tevent\tRnetMonitor\tvoid(RNET_MONITOR Index, string Message)"));
    EXPECT_EQ(lines.size(), 31 + 31 + 1 + 4 + 1); // properties, methods, AboutBox, events, ""
}

TEST(DorlinCli, PortsListsDorlinPortsEntries) {
    const CliRun r = Dorlin({"ports"}, "COM17=/tmp/reader17");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.split('\n').contains("COM17\t/tmp/reader17\tDORLIN_PORTS"));
}

TEST(DorlinCli, MalformedCommandLinesExitTwo) {
    EXPECT_EQ(Dorlin({}).exitCode, 2);
    EXPECT_EQ(Dorlin({"fetch", "GetVersion"}).exitCode, 2);
    EXPECT_EQ(Dorlin({"call"}).exitCode, 2);
    EXPECT_EQ(Dorlin({"--baud"}).exitCode, 2);
}

TEST(DorlinCli, AboutBoxPrintsItsTextInsteadOfBlocking) {
    const CliRun r = Dorlin({"call", "AboutBox"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "About Dorlin Control: Dorlin Control, Version 1.0\n");
}

TEST(DorlinCli, SendsAndReceivesFilesWithProgressLines) {
    QTemporaryDir dir;
    const QString link = dir.filePath("reader0");
    lvtest::ChildProcess sim(lvtest::binPath("readersim"), {"--pty", link, "--unlocked"});
    ASSERT_TRUE(lvtest::waitForPath(link, 10000));
    QByteArray data;
    for (int i = 0; i < 300; ++i)
        data.append(char(i * 11));
    const QString src = dir.filePath("src.bin"), back = dir.filePath("back.bin");
    QFile f(src);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(data);
    f.close();
    CliRun r = Dorlin({"--port", link, "call", "SendFileReq", "up.bin", "0", "send-file", src,
                       "call", "RecvFileReq", "up.bin", "0", "recv-file", back});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "TRUE\nTRUE\nTRUE\nTRUE\n");
    EXPECT_EQ(r.err, "Send File: 3 blocks\n"
                     "Send File BLK:0001\nSend File BLK:0002\nSend File BLK:0003\n"
                     "Send File: end, 3 blocks\n"
                     "Recv File: waiting for the sender\n"
                     "Recv File BLK:0001\nRecv File BLK:0002\nRecv File BLK:0003\n"
                     "Recv File: end, 3 blocks\n");
    QFile b(back);
    ASSERT_TRUE(b.open(QIODevice::ReadOnly));
    EXPECT_EQ(b.readAll(), data + QByteArray(84, '\0'));
    // a missing file is refused and the step fails
    r = Dorlin({"--port", link, "send-file", dir.filePath("missing.bin")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "FALSE\n");
    // a step word needs exactly one path
    r = Dorlin({"--port", link, "send-file", src, "extra"});
    EXPECT_EQ(r.exitCode, 2);
}

// A transfer has no time limit of its own (a silent receiver is waited for until the user
// cancels); Ctrl+C or SIGTERM is the command line's Cancel button.
TEST(DorlinCli, InterruptCancelsATransferInFlight) {
    QTemporaryDir dir;
    const QString src = dir.filePath("src.bin");
    ASSERT_TRUE(lvtest::writeFile(src, QByteArray(1000, 'x')));
    const QByteArray cancel("\x18\x18\x18\x08\x08\x08", 6);
    struct Case {
        const char* name;
        QStringList step;
        int signal;
    } cases[] = {
        {"receive, SIGINT", {"recv-file", dir.filePath("in.bin")}, SIGINT},
        {"send, SIGTERM", {"send-file", src}, SIGTERM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        lvtest::PtyPair pty;
        ASSERT_TRUE(pty.ok());
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_CONFIG_HOME", IsolateSettings());
        p.setProcessEnvironment(env);
        p.start(lvtest::binPath("dorlin"), QStringList{"--port", Slave(pty)} + c.step);
        ASSERT_TRUE(p.waitForStarted(10000));
        QByteArray err;
        if (c.step[0] == "recv-file") {
            // the receiver asks for CRC blocks and then waits for a sender that never comes
            ASSERT_EQ(pty.read(10000, "C"), "C");
        } else {
            // once the sender is waiting, it answers the receiver's "C" with block 1 and
            // then waits for its ACK
            ASSERT_TRUE(lvtest::waitFor(
                [&] {
                    err += p.readAllStandardError();
                    return err.contains("Send File: 8 blocks");
                },
                10000))
                << err.toStdString();
            ASSERT_TRUE(pty.write("C"));
            QByteArray block("\x01\x01\xFE", 3);
            block += QByteArray(128, 'x');
            uint16_t crc = 0; // XMODEM-CRC, bit by bit
            for (int i = 3; i < block.size(); ++i) {
                crc ^= uint16_t(uint8_t(block[i]) << 8);
                for (int b = 0; b < 8; ++b)
                    crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
            }
            block += char(crc >> 8);
            block += char(crc & 0xFF);
            EXPECT_EQ(pty.read(10000, block), block);
        }
        ::kill(pid_t(p.processId()), c.signal);
        const QByteArray after = pty.read(10000, cancel);
        EXPECT_TRUE(after.endsWith(cancel)) << after.toHex().toStdString();
        ASSERT_TRUE(lvtest::waitFor([&] { return p.state() == QProcess::NotRunning; }, 20000));
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), 1);
        EXPECT_EQ(p.readAllStandardOutput(), "FALSE\n");
        EXPECT_TRUE(
            p.readAllStandardError().contains("dorlin: interrupted, cancelling the transfer"));
    }
}

TEST(DorlinCli, TalksToADeviceServerByAddress) {
    QTemporaryDir dir;
    lvtest::ChildProcess sim(lvtest::binPath("readersim"),
                             {"--tcp", "0", "--config-port", "0", "--unlocked"});
    ASSERT_TRUE(lvtest::waitFor([&] { return sim.readStdout().endsWith('\n'); }, 10000));
    const QStringList parts = QString::fromLatin1(sim.readStdout()).trimmed().split(' ');
    ASSERT_EQ(parts.size(), 4);
    const QString port = parts[1].section(':', 1);
    qputenv("DORLIN_CONFIG_PORT", parts[3].toLatin1());
    CliRun r = Dorlin({"--port", "COM0", "--address", "127.0.0.1", "--ip-port", port, "call",
                       "PortOpen", "call", "GetVersion", "set", "BaudRate", "9600"});
    qunsetenv("DORLIN_CONFIG_PORT");
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "TRUE\nAKRN-A0102 V1.05\nOK\n");
    r = Dorlin(
        {"--port", "COM0", "--address", "127.0.0.1", "--ip-port", "70000", "call", "PortOpen"});
    EXPECT_EQ(r.exitCode, 2);
}
