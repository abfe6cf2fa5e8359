#include "CWinSock.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkProxy>
#include <QStringList>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

#include "CJSocket.h"
#include "ConfigReply.h"
#include "dorlin/Rnet.h"
#include "dorlin/TickSource.h"

namespace {

constexpr int kConnectWaitMs = 3000; // fixed; does not follow RnetTimeout
constexpr int kChunk = 512;
// What the data socket may hold beyond the receive queue: past this the peer is held back by
// TCP's own flow control instead of filling memory.
constexpr qint64 kSocketBuffer = 64 * 1024;
constexpr qint64 kQuickDropMs = 1000;
constexpr int kMaxQuickDrops = 3;

qint64 MonotonicMs() {
    static QElapsedTimer t = [] {
        QElapsedTimer e;
        e.start();
        return e;
    }();
    return t.elapsed();
}

int ErrnoOf(QAbstractSocket::SocketError e) {
    switch (e) {
    case QAbstractSocket::ConnectionRefusedError:
        return ECONNREFUSED;
    case QAbstractSocket::RemoteHostClosedError:
        return ECONNRESET;
    case QAbstractSocket::HostNotFoundError:
        return EHOSTUNREACH;
    case QAbstractSocket::SocketTimeoutError:
        return ETIMEDOUT;
    case QAbstractSocket::NetworkError:
        return ENETUNREACH;
    default:
        return EIO;
    }
}

// Releases a socket; one that is inside its own notification is deleted later.
template <typename T> void Drop(std::unique_ptr<T>& s, QObject* receiver, bool deferred) {
    if (!s) return;
    QObject::disconnect(s.get(), nullptr, receiver, nullptr);
    s->abort();
    if (deferred)
        s.release()->deleteLater();
    else
        s.reset();
}

} // namespace

CWinSock::CWinSock(CJSocket* owner) : owner_(owner) {
    connect(this, &CWinSock::ReconnectWanted, this, &CWinSock::Reconnect, Qt::QueuedConnection);
}

CWinSock::~CWinSock() {
    CloseAll();
}

int CWinSock::ConfigPort() {
    bool ok = false;
    const int p = qEnvironmentVariableIntValue("DORLIN_CONFIG_PORT", &ok);
    return ok && p > 0 && p < 65536 ? p : 65535;
}

void CWinSock::CloseAll() {
    reconnectQueued_ = false;
    connected_ = false;
    Drop(config_, this, false);
    Drop(data_, this, inHandler_ > 0);
}

bool CWinSock::ConnectImpl(bool automatic) {
    if (!automatic) quickDrops_ = 0;
    CloseAll();
    data_ = std::make_unique<QTcpSocket>();
    data_->setProxy(QNetworkProxy::NoProxy); // a device server is reached directly
    data_->setReadBufferSize(kSocketBuffer);
    QTcpSocket* s = data_.get();
    connect(s, &QTcpSocket::connected, this, [this] { OnConnect(0); });
    connect(s, &QTcpSocket::readyRead, this, [this] { OnReceive(0); });
    connect(s, &QTcpSocket::disconnected, this, [this] { OnClose(); });
    connect(s, &QTcpSocket::errorOccurred, this, [this] { OnSocketError(); });

    connectResult = 0;
    connecting_ = true;
    s->connectToHost(address, quint16(port));
    // Wait for the outcome, dispatching events; the notifications above end the wait.
    if (!connected_ && connectResult == 0 && data_) {
        QEventLoop loop;
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
        QTimer check; // the outcome may also come from a nested wait of someone else
        connect(&check, &QTimer::timeout, &loop, [&] {
            if (connected_ || connectResult != 0 || !data_) loop.quit();
        });
        connect(s, &QTcpSocket::connected, &loop, &QEventLoop::quit);
        connect(s, &QTcpSocket::errorOccurred, &loop, &QEventLoop::quit);
        guard.start(kConnectWaitMs);
        check.start(50);
        loop.exec();
    }
    connecting_ = false;
    if (!connected_) {
        if (connectResult == 0) connectResult = ETIMEDOUT;
        CloseAll();
    }
    return connected_;
}

void CWinSock::OnConnect(int errorCode) {
    connectResult = errorCode;
    if (errorCode != 0 || !data_) return;
    // The configuration socket talks to the same device server.
    config_ = std::make_unique<QUdpSocket>();
    config_->setProxy(QNetworkProxy::NoProxy);
    const QHostAddress peer = data_->peerAddress();
    const bool bound = config_->bind(peer.protocol() == QAbstractSocket::IPv6Protocol
                                         ? QHostAddress(QHostAddress::AnyIPv6)
                                         : QHostAddress(QHostAddress::AnyIPv4),
                                     0);
    if (bound) config_->connectToHost(peer, quint16(ConfigPort()));
    if (!bound || config_->state() != QAbstractSocket::ConnectedState) {
        connectResult = EADDRNOTAVAIL;
        Drop(config_, this, false);
        if (data_) data_->abort();
        return;
    }
    // The line settings are stored here and go to the device server when one of them
    // changes while connected (the setters send nothing before connected is set).
    SetLineParams(parity, dataBits, 1);
    SetBaud(baudRate);
    SetFlow(flowControl);
    if (owner_) owner_->NetFresh();
    connected_ = true;
    upSinceMs_ = MonotonicMs();
}

void CWinSock::OnReceive(int errorCode) {
    if (errorCode != 0 || !data_) return;
    ++inHandler_;
    Drain();
    --inHandler_;
}

int CWinSock::Drain() {
    int total = 0;
    uint8_t buf[kChunk];
    while (data_ && data_->bytesAvailable() > 0) {
        const qint64 r = data_->read(reinterpret_cast<char*>(buf), kChunk);
        if (r <= 0) break;
        if (owner_) owner_->NetReceived(buf, int(r));
        total += int(r);
    }
    return total;
}

void CWinSock::OnClose() {
    connected_ = false;
    if (config_) config_->close();
}

void CWinSock::OnSocketError() {
    if (!data_) return;
    const QAbstractSocket::SocketError e = data_->error();
    // A wait for data that ran out is the "would block" of a poll, not a failure.
    if (e == QAbstractSocket::SocketTimeoutError) return;
    if (connecting_ && !connected_) {
        connectResult = ErrnoOf(e);
        return;
    }
    // A receive error (the peer reset or closed the connection): connect again.
    if (owner_) owner_->NetError(ErrnoOf(e));
    connected_ = false;
    if (upSinceMs_ >= 0) { // the first notice of this connection's end
        quickDrops_ = MonotonicMs() - upSinceMs_ < kQuickDropMs ? quickDrops_ + 1 : 0;
        upSinceMs_ = -1;
    }
    if (quickDrops_ > kMaxQuickDrops) return; // stays closed
    if (!reconnectQueued_) {
        reconnectQueued_ = true;
        emit ReconnectWanted();
    }
}

void CWinSock::Reconnect() {
    if (!reconnectQueued_) return; // closed meanwhile
    reconnectQueued_ = false;
    ConnectImpl(true);
}

int CWinSock::Poll(int waitMs) {
    if (!data_ || !connected_) return 0;
    ++inHandler_;
    int n = Drain();
    if (n == 0 && waitMs >= 0 && data_ && data_->state() == QAbstractSocket::ConnectedState) {
        // Sleeps in the socket layer until bytes come (readyRead drains them) or waitMs passes;
        // with 0 it only looks, so a caller outside the event loop still sees what arrived.
        if (data_->waitForReadyRead(waitMs)) n = Drain();
    }
    --inHandler_;
    return n;
}

void CWinSock::DiscardPending() {
    if (data_ && data_->bytesAvailable() > 0) data_->skip(data_->bytesAvailable());
}

int CWinSock::Send(const uint8_t* bytes, int n) {
    if (!connected_ || !data_) return 0;
    const qint64 w = data_->write(reinterpret_cast<const char*>(bytes), n);
    if (w < 0) return -1;
    data_->flush();
    return int(w);
}

bool CWinSock::SendConfig(const QByteArray& text) {
    if (!connected_ || !config_) return false;
    QUdpSocket* s = config_.get();
    // A late answer to an earlier command must not pass for the answer to this one.
    while (s->hasPendingDatagrams())
        s->readDatagram(nullptr, 0);
    auto fail = [&](const QString& why) {
        lastConfigError = QStringLiteral("device server %1:%2 %3 %4")
                              .arg(address)
                              .arg(ConfigPort())
                              .arg(QString::fromLatin1(text), why);
        if (onNote) onNote(QStringLiteral("$CONFIG ") + QString::fromLatin1(text) + ' ' + why);
        return false;
    };
    if (s->write(text) < text.size()) return fail(QStringLiteral("could not be sent"));
    // The answer is read from the descriptor itself: a port where nothing listens answers with
    // an ICMP "port unreachable", which the kernel reports on this connected socket as
    // ECONNREFUSED at the next receive (Qt's look for pending datagrams would swallow it).
    const uint32_t start = dorlin::GetTickCount();
    while (int32_t(dorlin::GetTickCount() - start) < commandTimeout) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (config_.get() != s) return fail(QStringLiteral("lost: the connection closed"));
        const int fd = int(s->socketDescriptor());
        char buf[dorlin::kConfigReplyBytes];
        const ssize_t r = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT | MSG_TRUNC);
        if (r < 0 && errno == ECONNREFUSED)
            return fail(QStringLiteral("refused: nothing listens on the configuration port"));
        if (r > 0) {
            const long long got = std::min<long long>(r, sizeof buf);
            if (dorlin::ConfigReplyAccepts(buf, got)) {
                lastConfigError.clear();
                return true;
            }
            const QByteArray answer(buf, int(got));
            return fail(answer.startsWith('N') ? QStringLiteral("refused (N)")
                                               : QStringLiteral("answered \"%1\"")
                                                     .arg(QString::fromStdString(
                                                         rnet::Visible(answer.toStdString()))));
        }
        if (r == 0) continue; // an empty datagram is passed over
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 5);
    }
    return fail(QStringLiteral("unanswered within %1 ms").arg(commandTimeout));
}

bool CWinSock::SetLineParams(int parityIn, int dataBitsIn, int /*stopBits: not sent*/) {
    parity = parityIn;
    dataBits = dataBitsIn;
    if (!connected_) return false;
    // Parity first, then data bits; a field the device server has no command for, or that it
    // does not acknowledge, fails the whole setting and is named in lastConfigError.
    QStringList failed;
    // Even parity is "PPR1": the digit between none (0) and odd (2).
    static const char* const kParity[] = {"PPR0", "PPR2", "PPR1"};
    if (parity >= 0 && parity <= 2) {
        if (!SendConfig(kParity[parity])) failed << lastConfigError;
    } else {
        failed << QStringLiteral("the device server has no command for parity %1").arg(parity);
    }
    if (dataBits == 7 || dataBits == 8) {
        if (!SendConfig(dataBits == 7 ? "PBB0" : "PBB1")) failed << lastConfigError;
    } else {
        failed << QStringLiteral("the device server has no command for %1 data bits").arg(dataBits);
    }
    lastConfigError = failed.join(QStringLiteral("; "));
    return failed.isEmpty();
}

bool CWinSock::SetBaud(long rate) {
    baudRate = rate;
    if (!connected_) return false;
    static const long kRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 115200};
    for (int i = 0; i < 7; ++i)
        if (kRates[i] == rate) return SendConfig("PBR" + QByteArray::number(i));
    lastConfigError = QStringLiteral("the device server has no command for %1 bps").arg(rate);
    return false;
}

bool CWinSock::SetFlow(int flow) {
    flowControl = flow;
    if (!connected_) return false;
    if (flow == 0) return SendConfig("PFC0");
    if (flow == 2) return SendConfig("PFC1");
    lastConfigError =
        QStringLiteral("the device server has no command for flow control %1").arg(flow);
    return false;
}
