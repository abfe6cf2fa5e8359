// The TCP path: the control against readersim's device server (Rnet on TCP, configuration
// datagrams on UDP), against ser2net in front of a simulated reader on a pty, and against small
// in-test servers for the edge cases (unsolicited data, a flood, nobody listening).
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>
#include <arpa/inet.h>
#include <cerrno>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "CJXmodem.h"
#include "TestSupport.h"
#include "dorlin/CDorlinCtrl.h"

using namespace dorlin;

namespace {

QStringList ReadLines(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromLatin1(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

// The configuration commands the simulated device server saw, in order.
QStringList ConfigCommands(const QString& log) {
    QStringList out;
    for (const QString& l : ReadLines(log))
        if (l.startsWith("CFG ")) out << l.mid(4, l.indexOf(" -> ") - 4);
    return out;
}

int Count(const QStringList& lines, const QString& what) {
    int n = 0;
    for (const QString& l : lines)
        n += l == what;
    return n;
}

// readersim as a device server on a free loopback port, its configuration port free as well.
struct TcpSim {
    std::unique_ptr<lvtest::ChildProcess> proc;
    QString address;
    int port = 0, configPort = 0;
    QString log;

    bool Start(const QString& logPath, QStringList args) {
        log = logPath;
        args = QStringList{"--tcp", "0", "--config-port", "0", "--log", log} + args;
        proc = std::make_unique<lvtest::ChildProcess>(lvtest::binPath("readersim"), args);
        if (!proc->started()) return false;
        if (!lvtest::waitFor([&] { return proc->readStdout().endsWith('\n'); }, 10000))
            return false;
        static const QRegularExpression re("^tcp ([0-9.]+):(\\d+) config (\\d+)\n$");
        const auto m = re.match(QString::fromLatin1(proc->readStdout()));
        if (!m.hasMatch()) return false;
        address = m.captured(1);
        port = m.captured(2).toInt();
        configPort = m.captured(3).toInt();
        // The control sends its configuration datagrams there.
        qputenv("DORLIN_CONFIG_PORT", QByteArray::number(configPort));
        return true;
    }
};

// A UDP port on the loopback where nothing listens (taken and given back).
int FreeUdpPort() {
    QUdpSocket probe;
    if (!probe.bind(QHostAddress::LocalHost, 0)) return -1;
    const int port = probe.localPort();
    probe.close();
    return port;
}

// iPort is a 16-bit signed property: ports above 32767 go in as their bit pattern.
short PortValue(int port) {
    return short(uint16_t(port));
}

std::unique_ptr<CDorlinCtrl> TcpControl(const QString& address, int port) {
    auto c = std::make_unique<CDorlinCtrl>(nullptr, false);
    c->SetCommPort(0);
    c->SetiAddress(address);
    c->SetiPort(PortValue(port));
    return c;
}

struct Tcp : ::testing::Test {
    QTemporaryDir dir;
    TcpSim sim;
    // The test's own sockets go direct, as the control's do: a proxy look-up would run
    // libproxy on a thread of its own, inside Qt's buffers.
    void SetUp() override { QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy); }
    void TearDown() override { qunsetenv("DORLIN_CONFIG_PORT"); }
};

} // namespace

TEST_F(Tcp, RnetCommandsThroughTheDeviceServer) {
    ASSERT_TRUE(sim.Start(dir.filePath("sim.log"), {"--records", "20"}));
    auto c = TcpControl(sim.address, sim.port);
    QStringList monitor;
    QObject::connect(c.get(), &CDorlinCtrl::RnetMonitor,
                     [&](short i, const QString& m) { monitor << QString::number(i) + " " + m; });
    c->SetPortOpen(true);
    ASSERT_TRUE(c->PortOpen());
    EXPECT_FALSE(c->ExtPortOpen()); // no serial port is open
    EXPECT_TRUE(c->Login("4826"));
    EXPECT_EQ(c->GetVersion(), "AKRN-A0102 V1.05");
    EXPECT_EQ(c->GetRecordCount(), 20);
    EXPECT_TRUE(c->GetRecord(3).startsWith("A2025"));
    EXPECT_EQ(c->GetRegister(0x19), "AFF");
    EXPECT_EQ(monitor.mid(0, 2), (QStringList{"1 \x02L4826\r", "2 A"}));
    c->SetPortOpen(false);
    EXPECT_FALSE(c->PortOpen());
    ASSERT_TRUE(
        lvtest::waitFor([&] { return ReadLines(sim.log).contains("TCP disconnect"); }, 10000));
    // nothing was configured just for connecting
    EXPECT_EQ(ConfigCommands(sim.log), QStringList());
}

TEST_F(Tcp, LineSettingsBecomeConfigurationCommands) {
    ASSERT_TRUE(sim.Start(dir.filePath("sim.log"), {}));
    CJXmodem ch;
    ch.SetTarget(sim.address, sim.port);
    ch.SetCommandTimeout(3000);
    EXPECT_FALSE(ch.SetBaud(115200)); // not connected: stored, nothing sent
    ASSERT_TRUE(ch.Open("COM0"));
    EXPECT_TRUE(ch.IsOpen());
    struct Step {
        const char* name;
        std::function<bool()> set;
        bool result;
        QStringList sent;
    };
    const Step steps[] = {
        {"115200", [&] { return ch.SetBaud(115200); }, true, {"PBR6"}},
        {"1200", [&] { return ch.SetBaud(1200); }, true, {"PBR0"}},
        {"57600 has no command", [&] { return ch.SetBaud(57600); }, false, {}},
        {"even", [&] { return ch.SetLineParams(2, 8, 1); }, true, {"PPR1", "PBB1"}},
        {"odd 7", [&] { return ch.SetLineParams(1, 7, 2); }, true, {"PPR2", "PBB0"}},
        {"none", [&] { return ch.SetLineParams(0, 8, 1); }, true, {"PPR0", "PBB1"}},
        // mark has no command: the data bits still go out, and the setting fails
        {"mark: data bits only", [&] { return ch.SetLineParams(3, 8, 1); }, false, {"PBB1"}},
        {"space 6: nothing", [&] { return ch.SetLineParams(4, 6, 1); }, false, {}},
        {"XON/XOFF has no command", [&] { return ch.SetHandshaking(1); }, false, {}},
        {"RTS/CTS", [&] { return ch.SetHandshaking(2); }, true, {"PFC1"}},
        {"none", [&] { return ch.SetHandshaking(0); }, true, {"PFC0"}},
    };
    QStringList want;
    for (const auto& s : steps) {
        EXPECT_EQ(s.set(), s.result) << s.name;
        want += s.sent;
        // the simulated server logs each command as it answers it
        EXPECT_TRUE(lvtest::waitFor([&] { return ConfigCommands(sim.log) == want; }, 5000))
            << s.name << ": " << ConfigCommands(sim.log).join(',').toStdString();
    }
    EXPECT_TRUE(ch.IsOpen()); // the data connection stays up throughout
}

TEST_F(Tcp, ControlPropertiesReachTheDeviceServer) {
    ASSERT_TRUE(sim.Start(dir.filePath("sim.log"), {}));
    auto c = TcpControl(sim.address, sim.port);
    c->SetPortOpen(true);
    ASSERT_TRUE(c->PortOpen());
    c->SetBaudRate(38400);
    c->SetBaudRate(57600);
    c->SetSettings("E,8,1");
    c->SetHandshaking(1);
    c->SetHandshaking(2);
    const QStringList want{"PBR5", "PPR1", "PBB1", "PFC1"};
    EXPECT_TRUE(lvtest::waitFor([&] { return ConfigCommands(sim.log) == want; }, 5000))
        << ConfigCommands(sim.log).join(',').toStdString();
    EXPECT_EQ(c->BaudRate(), 57600); // stored all the same
}

TEST_F(Tcp, NoAnswerToAConfigurationCommandIsFalseAndTheLinkStays) {
    // An in-test server with no configuration port behind it.
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    qputenv("DORLIN_CONFIG_PORT", "9"); // discard: nobody answers
    CJXmodem ch;
    ch.SetTarget("127.0.0.1", server.serverPort());
    ch.SetCommandTimeout(300);
    ASSERT_TRUE(ch.Open("COM0"));
    EXPECT_FALSE(ch.SetBaud(9600));
    EXPECT_TRUE(ch.IsOpen());
}

// A device server whose configuration port answers after the control's wait: its late "A" to
// one command must not confirm the next, which the server refuses.
TEST_F(Tcp, ALateConfigurationAnswerNeverConfirmsTheNextCommand) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    QUdpSocket config;
    ASSERT_TRUE(config.bind(QHostAddress::LocalHost, 0));
    qputenv("DORLIN_CONFIG_PORT", QByteArray::number(config.localPort()));
    struct Answer {
        QByteArray text;
        int delayMs;
    };
    QList<Answer> answers = {{"A", 450}, {"N", 200}}; // the "A" comes while "PBR4" waits
    QStringList commands;
    QObject::connect(&config, &QUdpSocket::readyRead, [&] {
        while (config.hasPendingDatagrams()) {
            QHostAddress from;
            quint16 port = 0;
            QByteArray d(int(config.pendingDatagramSize()), '\0');
            config.readDatagram(d.data(), d.size(), &from, &port);
            commands << QString::fromLatin1(d);
            if (answers.isEmpty()) continue;
            const Answer a = answers.takeFirst();
            QTimer::singleShot(a.delayMs, &config, [&config, a, from, port] {
                config.writeDatagram(a.text, from, port);
            });
        }
    });
    auto c = TcpControl("127.0.0.1", server.serverPort());
    c->SetRnetTimeout(300);
    QStringList monitor;
    QObject::connect(c.get(), &CDorlinCtrl::RnetMonitor,
                     [&](short i, const QString& m) { monitor << QString::number(i) + " " + m; });
    c->SetPortOpen(true);
    ASSERT_TRUE(c->PortOpen());
    const QString where = QStringLiteral("device server 127.0.0.1:%1 ").arg(config.localPort());
    c->SetBaudRate(9600);
    EXPECT_TRUE(c->SettingError().contains(where + "PBR3 unanswered within 300 ms"))
        << c->SettingError().toStdString();
    c->SetBaudRate(19200);
    EXPECT_TRUE(c->SettingError().contains(where + "PBR4 refused (N)"))
        << c->SettingError().toStdString();
    EXPECT_EQ(commands, QStringList({"PBR3", "PBR4"}));
    EXPECT_EQ(monitor.filter("$LATE REPLY").size(), 1) << monitor.join('|').toStdString();
}

// The configuration port played by the test, answering each command as told.
TEST_F(Tcp, ConfigurationRepliesOtherThanAFailThePutAndShowOnTheMonitor) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    QUdpSocket config;
    ASSERT_TRUE(config.bind(QHostAddress::LocalHost, 0));
    qputenv("DORLIN_CONFIG_PORT", QByteArray::number(config.localPort()));
    QList<QByteArray> answers; // one per command; empty: stay silent
    QByteArray stale;          // sent after the answer, as a late duplicate would come
    QStringList commands;
    QObject::connect(&config, &QUdpSocket::readyRead, [&] {
        while (config.hasPendingDatagrams()) {
            QHostAddress from;
            quint16 port = 0;
            QByteArray d(int(config.pendingDatagramSize()), '\0');
            config.readDatagram(d.data(), d.size(), &from, &port);
            commands << QString::fromLatin1(d);
            const QByteArray a = answers.isEmpty() ? QByteArray() : answers.takeFirst();
            if (!a.isEmpty()) config.writeDatagram(a, from, port);
            if (!stale.isEmpty()) config.writeDatagram(stale, from, port);
            stale.clear();
        }
    });
    auto c = TcpControl("127.0.0.1", server.serverPort());
    c->SetRnetTimeout(300);
    QStringList monitor;
    QObject::connect(c.get(), &CDorlinCtrl::RnetMonitor,
                     [&](short i, const QString& m) { monitor << QString::number(i) + " " + m; });
    c->SetPortOpen(true);
    ASSERT_TRUE(c->PortOpen());
    const QString where = QStringLiteral("device server 127.0.0.1:%1 ").arg(config.localPort());
    struct Case {
        const char* name;
        QList<QByteArray> answers;
        QByteArray stale;
        QString put, value;
        QString error;   // empty: the put succeeds
        QStringList mon; // monitor notes
    } cases[] = {
        {"A", {"A"}, {}, "BaudRate", "9600", {}, {}},
        {"N", {"N"}, {}, "BaudRate", "9600", "PBR3 refused (N)", {"0 $CONFIG PBR3 refused (N)"}},
        {"garbage",
         {"?x"},
         {},
         "Handshaking",
         "2",
         "PFC1 answered \"?x\"",
         {"0 $CONFIG PFC1 answered \"?x\""}},
        {"nothing",
         {{}},
         {},
         "BaudRate",
         "1200",
         "PBR0 unanswered within 300 ms",
         {"0 $CONFIG PBR0 unanswered within 300 ms"}},
        // a late "A" to an earlier command must not answer the next one
        {"A, then a stale A", {"A"}, "A", "BaudRate", "2400", {}, {}},
        {"after the stale A: nothing",
         {{}},
         {},
         "BaudRate",
         "4800",
         "PBR2 unanswered within 300 ms",
         {"0 $CONFIG PBR2 unanswered within 300 ms"}},
        {"parity refused, data bits taken",
         {"N", "A"},
         {},
         "Settings",
         "E,8,1",
         "PPR1 refused (N)",
         {"0 $CONFIG PPR1 refused (N)"}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        answers = k.answers;
        stale = k.stale;
        monitor.clear();
        int code = 0;
        QString text;
        c->InvokeByName(k.put, CDorlinCtrl::DispKind::Put, {k.value}, &code, &text);
        if (k.error.isEmpty()) {
            EXPECT_EQ(code, 0) << text.toStdString();
        } else {
            EXPECT_EQ(code, CTL_E_INVALIDPROPERTYVALUE);
            EXPECT_EQ(text, "CTL_E_INVALIDPROPERTYVALUE: " + where + k.error);
        }
        EXPECT_EQ(monitor, k.mon);
        if (k.stale.size()) {
            ASSERT_TRUE(lvtest::waitFor([&] { return config.bytesToWrite() == 0; }, 1000));
        }
    }
    EXPECT_EQ(commands,
              (QStringList{"PBR3", "PBR3", "PFC1", "PBR0", "PBR1", "PBR2", "PPR1", "PBB1"}));
    EXPECT_TRUE(c->PortOpen()); // the data connection stays up throughout
}

TEST_F(Tcp, NobodyListeningFailsTheOpen) {
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const int port = probe.serverPort();
    probe.close(); // the port is free now: connections are refused
    auto c = TcpControl("127.0.0.1", port);
    QElapsedTimer t;
    t.start();
    c->SetPortOpen(true);
    EXPECT_FALSE(c->PortOpen());
    EXPECT_EQ(c->PortErrorCode(), ECONNREFUSED);
    EXPECT_EQ(c->PortErrorText(),
              QStringLiteral("COM0 (device server 127.0.0.1:%1): Connection refused").arg(port));
    EXPECT_LT(t.elapsed(), 20000); // bounded (the wait itself gives up after 3000 ms)
    EXPECT_EQ(c->SendRnetCmd("F", false, false), ""); // the exchange times out, nothing breaks
    // an address that does not resolve fails the same way
    c->SetiAddress("no-such-host.invalid");
    c->SetPortOpen(true);
    EXPECT_FALSE(c->PortOpen());
    EXPECT_EQ(c->PortErrorText(),
              QStringLiteral("COM0 (device server no-such-host.invalid:%1): host not found or "
                             "unreachable")
                  .arg(port));
    // a server that never accepts and whose queue is full lets a new connection hang: the
    // fixed wait gives up
    const int full = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(full, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(::bind(full, reinterpret_cast<sockaddr*>(&sa), len), 0);
    ASSERT_EQ(::listen(full, 0), 0);
    ASSERT_EQ(::getsockname(full, reinterpret_cast<sockaddr*>(&sa), &len), 0);
    const int fullPort = ntohs(sa.sin_port);
    QTcpSocket waiting[2];
    for (QTcpSocket& w : waiting)
        w.connectToHost(QHostAddress::LocalHost, quint16(fullPort));
    lvtest::waitFor([] { return false; }, 200);
    c->SetiAddress("127.0.0.1");
    c->SetiPort(PortValue(fullPort));
    t.restart();
    c->SetPortOpen(true);
    EXPECT_FALSE(c->PortOpen());
    EXPECT_EQ(c->PortErrorText(),
              QStringLiteral("COM0 (device server 127.0.0.1:%1): no answer within 3000 ms")
                  .arg(fullPort));
    EXPECT_LT(t.elapsed(), 20000);
    ::close(full);
}

TEST_F(Tcp, AReceiveErrorReconnectsByItself) {
    ASSERT_TRUE(sim.Start(dir.filePath("sim.log"), {"--records", "5", "--drop-after", "2"}));
    auto c = TcpControl(sim.address, sim.port);
    c->SetPortOpen(true);
    ASSERT_TRUE(c->PortOpen());
    ASSERT_TRUE(c->Login("4826"));
    EXPECT_TRUE(c->GetRecord(0).startsWith("A2025"));
    EXPECT_TRUE(c->GetRecord(1).startsWith("A2025"));
    // the reader vanishes (connection reset) and the control connects again on its own
    EXPECT_TRUE(lvtest::waitFor(
        [&] { return Count(ReadLines(sim.log), "TCP connect") == 2 && c->PortOpen(); }, 15000))
        << ReadLines(sim.log).join('|').toStdString();
    // a new connection is a new session: log in again, then records flow
    EXPECT_TRUE(c->Login("4826"));
    EXPECT_TRUE(c->GetRecord(2).startsWith("A2025"));
}

TEST_F(Tcp, ServerGoneMidExchangeEndsItAndALaterOpenWorks) {
    ASSERT_TRUE(sim.Start(dir.filePath("sim.log"), {"--silent"}));
    auto c = TcpControl(sim.address, sim.port);
    c->SetRnetTimeout(60000);
    c->SetPortOpen(true);
    ASSERT_TRUE(c->PortOpen());
    QStringList monitor;
    QObject::connect(c.get(), &CDorlinCtrl::RnetMonitor,
                     [&](short i, const QString& m) { monitor << QString::number(i) + m; });
    // the device server goes away while the control waits for the reply
    QTimer::singleShot(100, [&] { sim.proc->terminate(); });
    EXPECT_EQ(c->SendRnetCmd("F", false, false), "");
    EXPECT_EQ(monitor, QStringList({"1\x02"
                                    "F\r",
                                    "0$PORT CLOSED"}));
    EXPECT_TRUE(lvtest::waitFor([&] { return !c->PortOpen(); }, 10000));
    TcpSim again;
    ASSERT_TRUE(again.Start(dir.filePath("sim2.log"), {"--unlocked"}));
    c->SetiPort(PortValue(again.port));
    c->SetPortOpen(true);
    ASSERT_TRUE(c->PortOpen());
    EXPECT_EQ(c->GetVersion(), "AKRN-A0102 V1.05");
}

namespace {
// A device server played by the test: accepts one client and hands it over.
struct OnePeer {
    QTcpServer server;
    QTcpSocket* peer = nullptr;
    bool Listen() {
        QObject::connect(&server, &QTcpServer::newConnection,
                         [this] { peer = server.nextPendingConnection(); });
        return server.listen(QHostAddress::LocalHost);
    }
};
} // namespace

TEST_F(Tcp, ReceivePropertiesSeeNetworkBytesWithoutTheEventLoop) {
    // The reader probes write a raw frame through Text and poll RxCount between short sleeps;
    // the reply must show up there even though no event is dispatched meanwhile.
    ASSERT_TRUE(sim.Start(dir.filePath("sim.log"), {}));
    auto c = TcpControl(sim.address, sim.port);
    c->SetPortOpen(true);
    ASSERT_TRUE(c->PortOpen());
    c->SetText(QStringLiteral("\x02"
                              "f\r\n"));
    QElapsedTimer t;
    t.start();
    while (c->RxCount() < 3 && t.elapsed() < 5000)
        QThread::msleep(1);
    EXPECT_EQ(c->Text(), QStringLiteral("\x02"
                                        "A\r"));
    EXPECT_EQ(c->RxCount(), 0);
    c->SetPortOpen(false);
}

TEST_F(Tcp, DataOutsideACommandStaysQueuedUntilTheNextCommand) {
    OnePeer p;
    ASSERT_TRUE(p.Listen());
    qputenv("DORLIN_CONFIG_PORT", "9");
    auto c = TcpControl("127.0.0.1", p.server.serverPort());
    int onComm = 0;
    QObject::connect(c.get(), &CDorlinCtrl::OnComm, [&] { ++onComm; });
    c->SetPortOpen(true);
    ASSERT_TRUE(c->PortOpen());
    ASSERT_TRUE(lvtest::waitFor([&] { return p.peer != nullptr; }, 5000));
    p.peer->write("hello");
    ASSERT_TRUE(lvtest::waitFor([&] { return c->RxCount() == 5; }, 5000));
    EXPECT_EQ(c->Text(), "hello");
    p.peer->write("stale");
    ASSERT_TRUE(lvtest::waitFor([&] { return c->RxCount() == 5; }, 5000));
    QObject::connect(p.peer, &QTcpSocket::readyRead, [&] {
        if (p.peer->readAll() == "\x02"
                                 "F\r")
            p.peer->write("\x02"
                          "AV1\r"
                          "tail");
    });
    EXPECT_EQ(c->SendRnetCmd("F", false, false), "AV1"); // the stale bytes were cleared first
    ASSERT_TRUE(lvtest::waitFor([&] { return c->RxCount() == 4; }, 5000));
    EXPECT_EQ(c->Text(), "tail"); // what follows the reply stays queued
    EXPECT_EQ(onComm, 0);         // network data raises no OnComm
}

// The device server sends the reply and closes the connection behind it: the reply counts.
TEST_F(Tcp, AReplyAheadOfTheCloseIsTaken) {
    OnePeer p;
    ASSERT_TRUE(p.Listen());
    qputenv("DORLIN_CONFIG_PORT", "9");
    auto c = TcpControl("127.0.0.1", p.server.serverPort());
    c->SetRnetTimeout(60000);
    c->SetPortOpen(true);
    ASSERT_TRUE(c->PortOpen());
    ASSERT_TRUE(lvtest::waitFor([&] { return p.peer != nullptr; }, 5000));
    QTcpSocket* peer = p.peer;
    QObject::connect(peer, &QTcpSocket::readyRead, [peer] {
        if (peer->readAll() != "\x02"
                               "F\r")
            return;
        peer->write("\x02"
                    "AV1\r");
        peer->disconnectFromHost(); // the reply goes out first, then the close
    });
    QStringList monitor;
    QObject::connect(c.get(), &CDorlinCtrl::RnetMonitor,
                     [&](short i, const QString& m) { monitor << QString::number(i) + " " + m; });
    EXPECT_EQ(c->SendRnetCmd("F", false, false), "AV1");
    EXPECT_EQ(monitor, QStringList({"1 \x02"
                                    "F\r",
                                    "2 AV1"}));
}

TEST_F(Tcp, AServerThatDropsEveryConnectionGetsAFewTriesOnly) {
    QTcpServer server;
    int accepted = 0;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* s = server.nextPendingConnection()) {
            ++accepted;
            s->abort(); // reset at once
            s->deleteLater();
        }
    });
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    qputenv("DORLIN_CONFIG_PORT", "9");
    auto c = TcpControl("127.0.0.1", server.serverPort());
    c->SetPortOpen(true);
    // the first connection and three automatic ones, then the port stays closed
    EXPECT_TRUE(lvtest::waitFor([&] { return accepted >= 4 && !c->PortOpen(); }, 15000))
        << accepted;
    EXPECT_FALSE(lvtest::waitFor([&] { return accepted > 4; }, 1500)) << accepted;
    EXPECT_FALSE(c->PortOpen());
    // the host opening again starts afresh
    c->SetPortOpen(true);
    EXPECT_TRUE(lvtest::waitFor([&] { return accepted >= 5; }, 5000)) << accepted;
}

TEST_F(Tcp, AFloodStaysWithinTheReceiveQueue) {
    OnePeer p;
    ASSERT_TRUE(p.Listen());
    qputenv("DORLIN_CONFIG_PORT", "9");
    auto c = TcpControl("127.0.0.1", p.server.serverPort());
    c->SetPortOpen(true);
    ASSERT_TRUE(c->PortOpen());
    ASSERT_TRUE(lvtest::waitFor([&] { return p.peer != nullptr; }, 5000));
    QByteArray flood;
    for (int i = 0; i < 200000; ++i)
        flood.append(char('a' + i % 26));
    p.peer->write(flood);
    ASSERT_TRUE(lvtest::waitFor([&] { return p.peer->bytesToWrite() == 0; }, 10000));
    ASSERT_TRUE(lvtest::waitFor([&] { return c->RxCount() == 256; }, 5000));
    EXPECT_TRUE(c->CommError() & ERROR_RXOVER);
    EXPECT_EQ(c->Text(), QString::fromLatin1(flood.left(256)));
}

TEST_F(Tcp, AReplyTakenWhileTheQueueOverflowedIsThrownAway) {
    OnePeer p;
    ASSERT_TRUE(p.Listen());
    qputenv("DORLIN_CONFIG_PORT", "9");
    auto c = TcpControl("127.0.0.1", p.server.serverPort());
    c->SetRxQueue(16);
    c->SetPortOpen(true);
    ASSERT_TRUE(c->PortOpen());
    ASSERT_TRUE(lvtest::waitFor([&] { return p.peer != nullptr; }, 5000));
    QObject::connect(p.peer, &QTcpSocket::readyRead, [&] {
        if (!p.peer->readAll().endsWith('\r')) return;
        p.peer->write("\x02"
                      "A" +
                      QByteArray(300, 'x'));
        p.peer->flush();
        QTimer::singleShot(200, [&] {
            p.peer->write("tail\r");
            p.peer->flush();
        });
    });
    QStringList monitor;
    QObject::connect(c.get(), &CDorlinCtrl::RnetMonitor,
                     [&](short i, const QString& m) { monitor << QString::number(i) + " " + m; });
    (void)c->CommError();
    EXPECT_EQ(c->SendRnetCmd("T", false, false), "");
    EXPECT_EQ(monitor, QStringList({"1 \x02T\r", "0 $OVERRUN"}));
    EXPECT_EQ(c->CommError() & ERROR_RXOVER, ERROR_RXOVER);
}

TEST_F(Tcp, FilesBothWaysThroughTheDeviceServer) {
    ASSERT_TRUE(sim.Start(dir.filePath("sim.log"), {"--unlocked"}));
    QByteArray data;
    for (int i = 0; i < 40000; ++i)
        data.append(char((i * 31 + 7) & 0xFF));
    const QString src = dir.filePath("src.bin"), back = dir.filePath("back.bin");
    ASSERT_TRUE(lvtest::writeFile(src, data));
    auto c = TcpControl(sim.address, sim.port);
    c->SetPortOpen(true);
    ASSERT_TRUE(c->PortOpen());
    ASSERT_TRUE(c->SendFileReq("up.bin", RNET_FILE_XMODEM));
    EXPECT_TRUE(c->PostFile(src));
    EXPECT_EQ(c->GetFileInfo(0), "Aup.bin,40064"); // 313 blocks of 128 bytes
    ASSERT_TRUE(c->RecvFileReq("up.bin", RNET_FILE_XMODEM));
    EXPECT_TRUE(c->RecvFile(back, false));
    QFile b(back);
    ASSERT_TRUE(b.open(QIODevice::ReadOnly));
    const QByteArray got = b.readAll();
    EXPECT_EQ(got.size(), 40064);
    EXPECT_EQ(got.left(40000), data);
    EXPECT_EQ(got.mid(40000), QByteArray(64, '\0'));
}

TEST_F(Tcp, AReaderAskingForChecksumBlocksGetsThem) {
    ASSERT_TRUE(sim.Start(dir.filePath("sim.log"), {"--unlocked", "--xmodem-checksum"}));
    QByteArray data(300, 'x');
    const QString src = dir.filePath("src.bin");
    ASSERT_TRUE(lvtest::writeFile(src, data));
    auto c = TcpControl(sim.address, sim.port);
    c->SetPortOpen(true);
    ASSERT_TRUE(c->PortOpen());
    ASSERT_TRUE(c->SendFileReq("sum.bin", RNET_FILE_XMODEM));
    EXPECT_TRUE(c->PostFile(src));
    EXPECT_EQ(c->GetFileInfo(0), "Asum.bin,384");
    EXPECT_TRUE(ReadLines(sim.log).contains("XMODEM received sum.bin 384 bytes in 3 blocks"))
        << ReadLines(sim.log).join('|').toStdString();
}

// ---- ser2net in front of a simulated reader on a pty -----------------------------------------

namespace {
// ser2net bridging a free TCP port on the loopback to a simulated reader on a pty.
struct Ser2netFront {
    QTemporaryDir dir;
    std::unique_ptr<lvtest::ChildProcess> sim, ser2net;
    int port = 0;
    // Empty when up; otherwise why not (the test is skipped).
    QString Start(const QStringList& simArgs) {
        if (!QFileInfo("/usr/sbin/ser2net").isExecutable()) return "ser2net is not installed";
        const QString link = dir.filePath("reader0");
        sim = std::make_unique<lvtest::ChildProcess>(lvtest::binPath("readersim"),
                                                     QStringList{"--pty", link} + simArgs);
        if (!lvtest::waitForPath(link, 10000)) return "readersim did not start";
        const QString dev = QFileInfo(link).symLinkTarget();
        QTcpServer probe; // a free port for ser2net
        if (!probe.listen(QHostAddress::LocalHost)) return "no free port";
        port = probe.serverPort();
        probe.close();
        const QString cfg = dir.filePath("ser2net.yaml");
        if (!lvtest::writeFile(cfg, QString("connection: &con0\n"
                                            "  accepter: tcp,127.0.0.1,%1\n"
                                            "  connector: serialdev,%2,19200n81,local\n"
                                            "  options:\n"
                                            "    kickolduser: true\n")
                                        .arg(port)
                                        .arg(dev)
                                        .toLatin1()))
            return "cannot write the configuration";
        ser2net = std::make_unique<lvtest::ChildProcess>(
            "/usr/sbin/ser2net", QStringList{"-n", "-d", "-c", cfg, "-P", dir.filePath("s.pid")});
        // ser2net is up once its port takes connections
        const bool up = lvtest::waitFor(
            [&] {
                QTcpSocket s;
                s.connectToHost(QHostAddress::LocalHost, quint16(port));
                const bool ok = s.waitForConnected(200);
                s.abort();
                return ok;
            },
            10000);
        return up ? QString() : "ser2net did not start: " + ser2net->readStdout();
    }
};
} // namespace

TEST(Ser2net, RnetThroughARealDeviceServer) {
    Ser2netFront front;
    const QString why = front.Start({"--records", "7"});
    if (!why.isEmpty()) GTEST_SKIP() << why.toStdString();
    const int port = front.port;
    // ser2net has no configuration port: nothing listens there
    const int configPort = FreeUdpPort();
    ASSERT_GT(configPort, 0);
    qputenv("DORLIN_CONFIG_PORT", QByteArray::number(configPort));
    auto c = TcpControl("127.0.0.1", port);
    c->SetRnetTimeout(3000);
    c->SetPortOpen(true);
    ASSERT_TRUE(c->PortOpen());
    EXPECT_TRUE(c->Login("4826"));
    EXPECT_EQ(c->GetVersion(), "AKRN-A0102 V1.05");
    EXPECT_EQ(c->GetRecordCount(), 7);
    EXPECT_TRUE(c->GetRecord(6).startsWith("A2025"));
    EXPECT_EQ(c->GetRecord(7), "N");
    // A line setting fails on the kernel's word that nothing listens there (a wait for the
    // command time-out would say "unanswered within 60000 ms"), and the data link stays.
    c->SetRnetTimeout(60000);
    QStringList monitor;
    QObject::connect(c.get(), &CDorlinCtrl::RnetMonitor,
                     [&](short i, const QString& m) { monitor << QString::number(i) + " " + m; });
    int code = 0;
    QString text;
    c->InvokeByName("BaudRate", CDorlinCtrl::DispKind::Put, {"9600"}, &code, &text);
    EXPECT_EQ(code, CTL_E_INVALIDPROPERTYVALUE);
    EXPECT_EQ(text, QStringLiteral("CTL_E_INVALIDPROPERTYVALUE: device server 127.0.0.1:%1 PBR3 "
                                   "refused: nothing listens on the configuration port")
                        .arg(configPort));
    EXPECT_EQ(monitor,
              QStringList{"0 $CONFIG PBR3 refused: nothing listens on the configuration port"});
    EXPECT_EQ(c->GetVersion(), "AKRN-A0102 V1.05");
    c->SetPortOpen(false);
    qunsetenv("DORLIN_CONFIG_PORT");
}

// The reader behind ser2net vanishes while the control waits for its reply: ser2net closes the
// connection, and the exchange ends with it instead of waiting out its time-out.
TEST(Ser2net, AReaderVanishingBehindItEndsTheExchangeAtOnce) {
    Ser2netFront front;
    const QString why = front.Start({"--unlocked", "--records", "5", "--drop-after", "1"});
    if (!why.isEmpty()) GTEST_SKIP() << why.toStdString();
    qputenv("DORLIN_CONFIG_PORT", QByteArray::number(FreeUdpPort()));
    auto c = TcpControl("127.0.0.1", front.port);
    c->SetRnetTimeout(60000);
    QStringList monitor;
    QObject::connect(c.get(), &CDorlinCtrl::RnetMonitor,
                     [&](short i, const QString& m) { monitor << QString::number(i) + " " + m; });
    c->SetPortOpen(true);
    ASSERT_TRUE(c->PortOpen());
    EXPECT_EQ(c->GetRecord(0), "A20250106073000 1781C56B6C");
    EXPECT_EQ(c->GetRecord(1), "");
    EXPECT_EQ(monitor, QStringList({"1 \x02G0000\r", "2 A20250106073000 1781C56B6C55",
                                    "1 \x02G0001\r", "0 $PORT CLOSED"}));
    qunsetenv("DORLIN_CONFIG_PORT");
}
