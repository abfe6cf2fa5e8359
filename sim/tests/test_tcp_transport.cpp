// readersim behind its simulated device server: Rnet on TCP, configuration on UDP.
#include "SimReader.h"
#include "TestSupport.h"
#include "dorlin/Rnet.h"
#include "readersim/Reader.h"
#include "readersim/StateFile.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace readersim;

namespace {

QByteArray Frame(const std::string& text) {
    return QByteArray::fromStdString(rnet::BuildFrame(text, false));
}
std::string Sum(const std::string& text) {
    return text + rnet::CheckSumText(text);
}

struct TcpSim {
    std::unique_ptr<lvtest::ChildProcess> proc;
    QString address;
    quint16 port = 0, configPort = 0;

    bool Start(QStringList args) {
        proc = std::make_unique<lvtest::ChildProcess>(lvtest::binPath("readersim"), args);
        if (!proc->started()) return false;
        if (!lvtest::waitFor([&] { return proc->readStdout().endsWith('\n'); }, 10000))
            return false;
        QRegularExpression re("^tcp ([0-9.]+):(\\d+) config (\\d+)\n$");
        auto m = re.match(QString::fromLatin1(proc->readStdout()));
        if (!m.hasMatch()) return false;
        address = m.captured(1);
        port = quint16(m.captured(2).toUInt());
        configPort = quint16(m.captured(3).toUInt());
        return true;
    }
};

QByteArray Ask(QTcpSocket& s, const QByteArray& frame) {
    QByteArray got;
    s.write(frame);
    lvtest::waitFor(
        [&] {
            got += s.readAll();
            return got.endsWith('\r') || s.state() != QAbstractSocket::ConnectedState;
        },
        5000);
    return got;
}

QByteArray Config(QUdpSocket& u, const TcpSim& sim, const QByteArray& cmd) {
    u.writeDatagram(cmd, QHostAddress(sim.address), sim.configPort);
    QByteArray answer;
    lvtest::waitFor(
        [&] {
            if (!u.hasPendingDatagrams()) return false;
            answer.resize(int(u.pendingDatagramSize()));
            u.readDatagram(answer.data(), answer.size());
            return true;
        },
        5000);
    return answer;
}

// The simulator is on this machine: its sockets go there directly. A socket left to the
// default proxy asks the desktop's proxy settings first (on a thread of the proxy library).
template <typename Socket> Socket& Direct(Socket& s) {
    s.setProxy(QNetworkProxy::NoProxy);
    return s;
}

bool Connect(QTcpSocket& s, const TcpSim& sim) {
    Direct(s).connectToHost(sim.address, sim.port);
    return lvtest::waitFor([&] { return s.state() == QAbstractSocket::ConnectedState; }, 5000);
}

} // namespace

TEST(TcpSim, ServesRnetAndKeepsTheLineSettingsItIsGiven) {
    QTemporaryDir dir;
    QString state = dir.filePath("state.json"), log = dir.filePath("log.txt");
    TcpSim sim;
    ASSERT_TRUE(sim.Start(
        {"--tcp", "0", "--config-port", "0", "--records", "4", "--state", state, "--log", log}));
    QTcpSocket s;
    ASSERT_TRUE(Connect(s, sim));
    auto recs = GenerateRecords(4, 1);
    EXPECT_EQ(Ask(s, Frame("L4826")), Frame("A"));
    EXPECT_EQ(Ask(s, Frame("N")), Frame("A0004"));
    EXPECT_EQ(Ask(s, Frame("G0003")), Frame(Sum("A" + RecordText(recs[3], 0xFF))));

    QUdpSocket u;
    ASSERT_TRUE(Direct(u).bind(QHostAddress::LocalHost, 0));
    struct Case {
        const char* cmd;
        const char* answer;
    } cases[] = {{"PBR6", "A"}, {"PFC1", "A"}, {"PPR2", "A"},
                 {"PBB0", "A"}, {"PBR9", "N"}, {"hello", "N"}};
    for (const Case& c : cases)
        EXPECT_EQ(Config(u, sim, c.cmd), QByteArray(c.answer)) << c.cmd;

    ::kill(sim.proc->pid(), SIGTERM);
    EXPECT_EQ(sim.proc->wait(10000), 0);
    ReaderState st;
    QString err;
    ASSERT_TRUE(LoadState(state, st, &err)) << err.toStdString();
    EXPECT_EQ(st.line, (LineSettings{115200, 2, 1, 7}));
    QFile lf(log);
    ASSERT_TRUE(lf.open(QIODevice::ReadOnly));
    QByteArray text = lf.readAll();
    EXPECT_TRUE(text.contains("RX <STX>L4826<CR>\nTX <STX>A<CR>\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("CFG PBB0 -> A (baud 115200, flow 2, parity 1, data bits 7)\n"));
    EXPECT_TRUE(text.contains("CFG PBR9 -> N"));
}

TEST(TcpSim, DropAfterResetsThePeerAndTheNextClientIsServed) {
    TcpSim sim;
    ASSERT_TRUE(
        sim.Start({"--tcp", "0", "--config-port", "0", "--records", "6", "--drop-after", "2"}));
    // a plain socket, to see exactly how the connection ends
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(sim.port);
    inet_pton(AF_INET, qPrintable(sim.address), &addr.sin_addr);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    auto ask = [&](const QByteArray& frame) {
        ::send(fd, frame.constData(), size_t(frame.size()), MSG_NOSIGNAL);
        QByteArray got;
        char buf[512];
        while (!got.endsWith('\r')) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) break;
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return QByteArray("ERRNO ") + QByteArray::number(n < 0 ? errno : 0);
            got.append(buf, int(n));
        }
        return got;
    };
    ASSERT_EQ(ask(Frame("L4826")), Frame("A"));
    EXPECT_TRUE(ask(Frame("G"))
                    .startsWith("\x02"
                                "A"));
    EXPECT_TRUE(ask(Frame("G"))
                    .startsWith("\x02"
                                "A"));
    EXPECT_EQ(ask(Frame("G")), "ERRNO " + QByteArray::number(ECONNRESET));
    ::close(fd);

    QTcpSocket again;
    ASSERT_TRUE(Connect(again, sim));
    EXPECT_EQ(Ask(again, Frame("G")), Frame("A" + RecordText(GenerateRecords(6, 1)[2], 0xFF)));
    EXPECT_TRUE(Ask(again, Frame("G"))
                    .startsWith("\x02"
                                "A")); // dropped once only
}

TEST(TcpSim, TheNewestClientWins) {
    TcpSim sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0", "--config-port", "0", "--unlocked"}));
    QTcpSocket first, second;
    ASSERT_TRUE(Connect(first, sim));
    EXPECT_EQ(Ask(first, Frame("I")), Frame("A01"));
    ASSERT_TRUE(Connect(second, sim));
    EXPECT_EQ(Ask(second, Frame("I")), Frame("A01"));
    EXPECT_TRUE(
        lvtest::waitFor([&] { return first.state() == QAbstractSocket::UnconnectedState; }, 5000));
}

TEST(TcpSim, SeveralSimulatorsOnTheirOwnAddressesShareTheDefaultConfigPort) {
    TcpSim a, b;
    QString addrA = lvtest::RandomLoopbackAddress(), addrB = lvtest::RandomLoopbackAddress();
    ASSERT_TRUE(a.Start({"--tcp", "0", "--bind", addrA, "--unlocked", "--machine-id", "7"}));
    ASSERT_TRUE(b.Start({"--tcp", "0", "--bind", addrB, "--unlocked", "--machine-id", "9"}));
    EXPECT_EQ(a.configPort, 65535);
    EXPECT_EQ(b.configPort, 65535);
    QTcpSocket sa, sb;
    ASSERT_TRUE(Connect(sa, a));
    ASSERT_TRUE(Connect(sb, b));
    EXPECT_EQ(Ask(sa, Frame("I")), Frame("A07"));
    EXPECT_EQ(Ask(sb, Frame("I")), Frame("A09"));
    QUdpSocket u;
    ASSERT_TRUE(Direct(u).bind(QHostAddress::AnyIPv4, 0));
    EXPECT_EQ(Config(u, a, "PBR3"), "A");
    EXPECT_EQ(Config(u, b, "PBR4"), "A");
}

TEST(TcpSim, PortInUseIsReported) {
    TcpSim a;
    ASSERT_TRUE(a.Start({"--tcp", "0", "--config-port", "0"}));
    lvtest::ChildProcess b(lvtest::binPath("readersim"),
                           {"--tcp", QString::number(a.port), "--config-port", "0"});
    EXPECT_EQ(b.wait(10000), 1);
}
