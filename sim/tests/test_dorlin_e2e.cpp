// readersim driven end to end by the real link control through its command-line host.
#include "SimReader.h"
#include "TestSupport.h"
#include "readersim/Reader.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace readersim;

namespace {

struct E2E : ::testing::Test {
    QTemporaryDir dir;
    QString link;
    std::unique_ptr<lvtest::ChildProcess> sim;

    void SetUp() override {
        if (!QFileInfo(lvtest::binPath("dorlin")).isExecutable())
            GTEST_SKIP() << "the dorlin command-line host is not built";
        link = dir.filePath("reader0");
        qputenv("XDG_CONFIG_HOME", dir.filePath("config").toLocal8Bit());
        qputenv("DORLIN_PORTS", ("COM5=" + link).toLocal8Bit());
    }
    void StartSim(QStringList args) {
        args.prepend(link);
        args.prepend("--pty");
        sim = std::make_unique<lvtest::ChildProcess>(lvtest::binPath("readersim"), args);
        ASSERT_TRUE(lvtest::waitForPath(link, 10000));
    }
    // Runs dorlin with the steps and returns its output lines.
    QStringList Dorlin(QStringList steps, bool withPort = true) {
        if (withPort) steps = QStringList{"--port", "COM5"} + steps;
        lvtest::ChildProcess d(lvtest::binPath("dorlin"), steps);
        int rc = d.wait(60000);
        EXPECT_NE(rc, -1) << "dorlin hung";
        QString out = QString::fromLatin1(d.readStdout());
        if (out.endsWith('\n')) out.chop(1);
        return out.split('\n');
    }
};

} // namespace

TEST_F(E2E, LoginVersionRecordsRegistersClockAndErase) {
    StartSim({"--records", "500"});
    auto recs = GenerateRecords(500, 1);
    QStringList out = Dorlin({"call",
                              "Login",
                              "4826",
                              "call",
                              "GetVersion",
                              "call",
                              "GetRecordCount",
                              "call",
                              "GetRecord",
                              "3",
                              "call",
                              "GetRegister",
                              "26",
                              "call",
                              "SetRegister",
                              "24",
                              "0A",
                              "call",
                              "GetRegister",
                              "24",
                              "call",
                              "SetTime",
                              "2025",
                              "1",
                              "5",
                              "9",
                              "3",
                              "7",
                              "0",
                              "call",
                              "EraseRecord",
                              "3",
                              "call",
                              "GetRecordCount",
                              "call",
                              "GetTime"});
    ASSERT_EQ(out.size(), 11) << out.join('|').toStdString();
    EXPECT_EQ(out[0], "TRUE");
    EXPECT_EQ(out[1], "AKRN-A0102 V1.05");
    EXPECT_EQ(out[2], "500");
    EXPECT_EQ(out[3].toStdString(), "A" + RecordText(recs[3], 0xFF));
    EXPECT_EQ(out[4], "AFF");
    EXPECT_EQ(out[5], "TRUE");
    EXPECT_EQ(out[6], "A0A");
    EXPECT_EQ(out[7], "TRUE");
    EXPECT_EQ(out[8], "TRUE");
    EXPECT_EQ(out[9], "499");
    EXPECT_TRUE(out[10].startsWith("A20250105090")) << out[10].toStdString();
}

TEST_F(E2E, RefusedBeforeLoginAndWithAWrongId) {
    StartSim({"--records", "5"});
    // The version needs no login (discovery asks for it); the count does.
    QStringList out = Dorlin({"call", "GetVersion", "call", "GetRecordCount", "call", "Login",
                              "1111", "call", "SetPassword", "1234"});
    EXPECT_EQ(out, (QStringList{"AKRN-A0102 V1.05", "0", "FALSE", "FALSE"}));
    // the link control's SetPassword carries a checksum, which the reader checks
    out = Dorlin({"call", "Login", "4826", "call", "SetPassword", "1234", "call", "Logout", "call",
                  "Login", "4826", "call", "Login", "1234"});
    EXPECT_EQ(out, (QStringList{"TRUE", "TRUE", "TRUE", "FALSE", "TRUE"}));
}

TEST_F(E2E, LoginXAnswersTheChallenge) {
    StartSim({"--challenge", "--hicode", "0x12", "--locode", "0x34"});
    QStringList out = Dorlin(
        {"call", "LoginX", "4826", "18", "52", "call", "LastPassword", "call", "GetVersion"});
    ASSERT_EQ(out.size(), 3);
    EXPECT_EQ(out[0], "TRUE");
    EXPECT_EQ(out[1].size(), 4);
    EXPECT_EQ(out[2], "AKRN-A0102 V1.05");
    out = Dorlin({"call", "Logout", "call", "LoginX", "4826", "1", "2", "call", "GetRecordCount"});
    EXPECT_EQ(out, (QStringList{"TRUE", "FALSE", "0"}));
}

TEST_F(E2E, CorruptChecksumsAndADroppedReader) {
    StartSim({"--records", "5", "--corrupt", "1"});
    QStringList out =
        Dorlin({"call", "Login", "4826", "call", "GetRecord", "0", "call", "GetVersion"});
    EXPECT_EQ(out, (QStringList{"TRUE", "", "AKRN-A0102 V1.05"}));
    sim.reset();

    StartSim({"--records", "5", "--drop-after", "2"});
    out = Dorlin({"call", "Login", "4826", "call", "GetRecord", "0", "call", "GetRecord", "1",
                  "call", "GetRecord", "2"});
    ASSERT_EQ(out.size(), 4);
    EXPECT_TRUE(out[2].startsWith("A2025")) << out[2].toStdString();
    EXPECT_EQ(out[3], "");
    EXPECT_EQ(sim->wait(10000), 0);
}

TEST_F(E2E, OverTcpThroughTheDeviceServer) {
    // iPort is a 16-bit signed property: pick a port below 32768
    quint16 port = quint16(QRandomGenerator::global()->bounded(20000, 32000));
    QString addr = lvtest::RandomLoopbackAddress();
    sim = std::make_unique<lvtest::ChildProcess>(
        lvtest::binPath("readersim"), QStringList{"--tcp", QString::number(port), "--bind", addr});
    ASSERT_TRUE(lvtest::waitFor([&] { return sim->readStdout().endsWith('\n'); }, 10000));
    QStringList out = Dorlin({"set", "CommPort", "0", "set", "iAddress", addr, "set", "iPort",
                              QString::number(port), "set", "PortOpen", "TRUE", "call", "PortOpen",
                              "call", "Login", "4826", "call", "GetVersion"},
                             false);
    ASSERT_EQ(out.size(), 7) << out.join('|').toStdString();
    ASSERT_EQ(out[4], "TRUE") << "the link control did not connect to the device server";
    EXPECT_EQ(out[5], "TRUE");
    EXPECT_EQ(out[6], "AKRN-A0102 V1.05");
}

TEST_F(E2E, FilesBothWaysByXmodem) {
    StartSim({"--unlocked"});
    QByteArray data;
    for (int i = 0; i < 300; ++i)
        data += char((i * 13 + 5) & 0xFF);
    QString src = dir.filePath("src.bin"), back = dir.filePath("back.bin");
    QFile f(src);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(data);
    f.close();
    QStringList out = Dorlin({"call", "SendFileReq", "up.bin", "0", "call", "PostFile", src});
    ASSERT_EQ(out.size(), 2) << out.join('|').toStdString();
    EXPECT_EQ(out[0], "TRUE");
    ASSERT_EQ(out[1], "TRUE") << "PostFile failed";
    out = Dorlin({"call", "GetFileInfo", "0", "call", "GetFileCount", "", "call", "RecvFileReq",
                  "up.bin", "0", "call", "RecvFile", back, "FALSE"});
    // three blocks of 128 bytes: 300 data bytes and the padding of the last block
    EXPECT_EQ(out, (QStringList{"Aup.bin,384", "1", "TRUE", "TRUE"}));
    QFile b(back);
    ASSERT_TRUE(b.open(QIODevice::ReadOnly));
    QByteArray got = b.readAll();
    EXPECT_EQ(got.size(), 384);
    EXPECT_EQ(got.left(300), data);
}
