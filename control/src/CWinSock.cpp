#include "CWinSock.h"

#include "dorlin/RnetLink.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostInfo>
#include <QNetworkProxy>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "CJSocket.h"
#include "ConfigReply.h"
#include "dorlin/Rnet.h"
#include "dorlin/TickSource.h"

namespace {

constexpr int kConnectWaitMs = 3000; // fixed; does not follow RnetTimeout
constexpr int kChunk = 512;
// What one look at the data socket takes at most; a flooding peer waits for the next look.
constexpr int kDrainMax = 64 * 1024;
// The data socket's receive buffer (the kernel doubles the value asked for): past this the
// peer is held back by TCP's own flow control while the control's thread is busy elsewhere.
constexpr int kSocketBuffer = 32 * 1024;
constexpr int kSendWaitMs = 2000; // a peer that takes nothing does not hold a write longer
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

// Releases a socket; one that may be inside its own notification is deleted later.
template <typename T> void Drop(std::unique_ptr<T>& s, QObject* receiver, bool deferred) {
    if (!s) return;
    QObject::disconnect(s.get(), nullptr, receiver, nullptr);
    s->abort();
    if (deferred)
        s.release()->deleteLater();
    else
        s.reset();
}

// The addresses of a host name, looked up while events are dispatched. Empty when the name is
// unknown (*timedOut false) or the look-up took longer than waitMs (*timedOut true).
QList<QHostAddress> Resolve(const QString& name, int waitMs, bool* timedOut) {
    QHostAddress literal;
    if (literal.setAddress(name)) return {literal};
    QList<QHostAddress> out;
    bool done = false;
    QEventLoop loop;
    const int id = QHostInfo::lookupHost(name, &loop, [&](const QHostInfo& info) {
        if (info.error() == QHostInfo::NoError) out = info.addresses();
        done = true;
        loop.quit();
    });
    if (!done) {
        QTimer::singleShot(waitMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (!done) QHostInfo::abortHostLookup(id);
    *timedOut = !done;
    return out;
}

// One connection attempt: a single connect() on a non-blocking socket, its outcome waited for
// at most waitMs while events are dispatched. Returns the connected descriptor, or -1 with
// *err set. (Exactly one attempt: a socket whose connection was reset is never connected
// again behind our back.)
int ConnectOnce(const QHostAddress& a, quint16 port, int waitMs, int* err) {
    sockaddr_storage ss{};
    socklen_t len = 0;
    if (a.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* s6 = reinterpret_cast<sockaddr_in6*>(&ss);
        s6->sin6_family = AF_INET6;
        s6->sin6_port = htons(port);
        const Q_IPV6ADDR v6 = a.toIPv6Address();
        std::memcpy(&s6->sin6_addr, &v6, sizeof v6);
        s6->sin6_scope_id = a.scopeId().toUInt();
        len = sizeof *s6;
    } else {
        auto* s4 = reinterpret_cast<sockaddr_in*>(&ss);
        s4->sin_family = AF_INET;
        s4->sin_port = htons(port);
        s4->sin_addr.s_addr = htonl(a.toIPv4Address());
        len = sizeof *s4;
    }
    const int fd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    const int rcv = kSocketBuffer;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&ss), len) == 0) return fd;
    if (errno != EINPROGRESS) {
        *err = errno;
        ::close(fd);
        return -1;
    }
    bool done = false;
    {
        QEventLoop loop;
        QSocketNotifier note(fd, QSocketNotifier::Write);
        QObject::connect(&note, &QSocketNotifier::activated, &loop, [&] {
            done = true;
            note.setEnabled(false);
            loop.quit();
        });
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
        guard.start(waitMs);
        loop.exec();
        note.setEnabled(false);
    }
    pollfd p{fd, POLLOUT, 0};
    if (!done && ::poll(&p, 1, 0) > 0) done = true; // settled during someone else's wait
    int soErr = 0;
    socklen_t l = sizeof soErr;
    if (!done)
        soErr = ETIMEDOUT;
    else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &l) != 0)
        soErr = errno;
    if (soErr != 0) {
        *err = soErr;
        ::close(fd);
        return -1;
    }
    return fd;
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

void CWinSock::CloseData() {
    if (readNote_) {
        readNote_->setEnabled(false);
        readNote_->deleteLater(); // may be inside its own notification
        readNote_ = nullptr;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void CWinSock::CloseAll() {
    reconnectQueued_ = false;
    connected_ = false;
    Drop(config_, this, false);
    CloseData();
}

bool CWinSock::ConnectImpl(bool automatic) {
    if (!automatic) quickDrops_ = 0;
    CloseAll();
    connectResult = 0;
    QElapsedTimer clock;
    clock.start();
    bool timedOut = false;
    const QList<QHostAddress> targets = Resolve(address, kConnectWaitMs, &timedOut);
    connectResult = targets.isEmpty() ? (timedOut ? ETIMEDOUT : EHOSTUNREACH) : 0;
    // Every address of the name in turn, within the one fixed wait.
    for (const QHostAddress& a : targets) {
        const int left = kConnectWaitMs - int(clock.elapsed());
        if (left <= 0) {
            connectResult = ETIMEDOUT;
            break;
        }
        int err = 0;
        const int fd = ConnectOnce(a, quint16(port), left, &err);
        if (fd >= 0) {
            Attach(fd);
            break;
        }
        connectResult = err;
        if (err == ETIMEDOUT) break;
    }
    if (!connected_) {
        if (connectResult == 0) connectResult = ETIMEDOUT;
        CloseAll();
    }
    return connected_;
}

void CWinSock::Attach(int fd) {
    fd_ = fd;
    readNote_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(readNote_, &QSocketNotifier::activated, this, [this] { Drain(); });
    OnConnect(0);
}

void CWinSock::OnConnect(int errorCode) {
    connectResult = errorCode;
    if (errorCode != 0 || fd_ < 0) return;
    // The configuration socket talks to the same device server.
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    QHostAddress peer;
    if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&ss), &len) == 0)
        peer.setAddress(reinterpret_cast<sockaddr*>(&ss));
    config_ = std::make_unique<QUdpSocket>();
    config_->setProxy(QNetworkProxy::NoProxy);
    const bool bound =
        !peer.isNull() && config_->bind(peer.protocol() == QAbstractSocket::IPv6Protocol
                                            ? QHostAddress(QHostAddress::AnyIPv6)
                                            : QHostAddress(QHostAddress::AnyIPv4),
                                        0);
    if (bound) config_->connectToHost(peer, quint16(ConfigPort()));
    if (!bound || config_->state() != QAbstractSocket::ConnectedState) {
        connectResult = EADDRNOTAVAIL;
        Drop(config_, this, false);
        CloseData();
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

int CWinSock::Drain(bool keep) {
    int total = 0;
    uint8_t buf[kChunk];
    while (fd_ >= 0 && total < kDrainMax) {
        const ssize_t r = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (r > 0) {
            if (keep && owner_) owner_->NetReceived(buf, int(r));
            total += int(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        Lost(r == 0 ? 0 : errno); // 0: the device server closed the connection
        break;
    }
    return total;
}

void CWinSock::Lost(int err) {
    CloseData();
    // Deferred: a configuration exchange may be waiting on it (it sees it gone and fails).
    Drop(config_, this, true);
    connected_ = false;
    if (owner_) {
        owner_->NetError(err ? err : ECONNABORTED);
        owner_->NetLost(err == ECONNRESET || err == EPIPE ? CJComm::LinkReset : CJComm::LinkClosed);
    }
    if (upSinceMs_ >= 0) { // the first notice of this connection's end
        quickDrops_ = MonotonicMs() - upSinceMs_ < kQuickDropMs ? quickDrops_ + 1 : 0;
        upSinceMs_ = -1;
    }
    if (quickDrops_ > kMaxQuickDrops) return; // stays closed
    // Connect again from the event loop, never from inside the notification that saw the end.
    if (!reconnectQueued_) {
        reconnectQueued_ = true;
        emit ReconnectWanted();
    }
}

void CWinSock::Reconnect() {
    if (!reconnectQueued_) return; // closed meanwhile
    // Not under a running exchange or transfer: it ends first (it has seen the connection go
    // and takes what arrived before the end), then the new connection is made.
    if (owner_ && owner_->Exchanging()) {
        QTimer::singleShot(10, this, &CWinSock::Reconnect);
        return;
    }
    reconnectQueued_ = false;
    ConnectImpl(true);
}

int CWinSock::Poll(int waitMs) {
    if (fd_ < 0 || !connected_) return 0;
    int n = Drain();
    if (n == 0 && waitMs > 0 && fd_ >= 0) {
        // Sleeps until bytes come (or the connection ends) or waitMs passes; with 0 it only
        // looks, so a caller outside the event loop still sees what arrived.
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, waitMs) > 0) n = Drain();
    }
    return n;
}

void CWinSock::DiscardPending() {
    if (fd_ >= 0) Drain(false);
}

int CWinSock::Send(const uint8_t* bytes, int n) {
    if (!connected_ || fd_ < 0) return 0;
    int done = 0;
    const uint32_t start = dorlin::GetTickCount();
    while (done < n && fd_ >= 0) {
        const ssize_t w = ::send(fd_, bytes + done, size_t(n - done), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w > 0) {
            done += int(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (int32_t(dorlin::GetTickCount() - start) >= kSendWaitMs) break;
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 10);
            continue;
        }
        Lost(errno);
        return done > 0 ? done : -1;
    }
    return done;
}

bool CWinSock::SendConfig(const QByteArray& text) {
    if (!connected_ || !config_) return false;
    QUdpSocket* s = config_.get();
    // A late answer to an earlier command must not pass for the answer to this one. After a
    // time-out its answer is awaited first (the rule of the link's exchange, RnetLink.h):
    // until it comes, or until kLateReplyLimitMs after the command that timed out; a device
    // server seen to answer late gets that long and a quarter more for every later command.
    if (configOwed_) {
        configOwed_ = false;
        for (;;) {
            const uint32_t late = dorlin::GetTickCount() - configOwedSince_;
            if (s->hasPendingDatagrams()) {
                configWaitMs_ = std::min(dorlin::RnetLink::kMaxWaitMs,
                                         std::max(configWaitMs_, int(late + late / 4 + 100)));
                if (onNote) onNote(QStringLiteral("$LATE REPLY %1 ms (discarded)").arg(late));
                break;
            }
            if (late >= uint32_t(dorlin::RnetLink::kLateReplyLimitMs)) break;
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            if (config_.get() != s) return false;
            s->waitForReadyRead(5);
        }
    }
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
    const int wait = std::max(commandTimeout, configWaitMs_);
    while (int32_t(dorlin::GetTickCount() - start) < wait) {
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
    configOwed_ = true;
    configOwedSince_ = start;
    return fail(QStringLiteral("unanswered within %1 ms").arg(wait));
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
