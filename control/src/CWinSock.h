// The network side of a channel: the data connection to a serial device server (TCP) and the
// datagram socket that carries the device server's configuration commands. Everything runs on
// the control's thread, driven by the socket notifications of its event loop.
#pragma once
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class QSocketNotifier;
class QUdpSocket;
class CJSocket;

class CWinSock : public QObject {
    Q_OBJECT
public:
    explicit CWinSock(CJSocket* owner);
    ~CWinSock() override;

    void SetOwner(CJSocket* owner) { owner_ = owner; }
    // Opens the data connection; waits (dispatching events) at most 3000 ms.
    bool Connect() { return ConnectImpl(false); }
    // Closes both sockets.
    void CloseAll();
    bool Connected() const { return connected_; }
    // One configuration exchange: the text as one datagram, then wait for "A".
    bool SendConfig(const QByteArray& text);
    // Store the setting; while connected send the matching command and return its result.
    bool SetLineParams(int parity, int dataBits, int stopBits);
    bool SetBaud(long rate);
    bool SetFlow(int flow);
    // Bytes on the data connection: count sent, or -1 on a socket error.
    int Send(const uint8_t* data, int n);
    // Takes what the data socket holds into the owner's queue; when nothing is there, waits for
    // it at most waitMs. Returns the number of bytes queued.
    int Poll(int waitMs);
    // Forgets what the data socket received but nobody has taken yet.
    void DiscardPending();

    QString address = QStringLiteral("127.0.0.1");
    int port = 1001;
    long baudRate = 19200;
    int flowControl = 0;
    int parity = 0;
    int dataBits = 8;
    int commandTimeout = 3000;
    int connectResult = 0;
    // Why the last configuration command failed ("device server 10.0.0.5:65535 PBR4 refused
    // (N)"); empty after an "A".
    QString lastConfigError;
    // Receives a monitor note for every failed configuration exchange ("$CONFIG PBR4 refused
    // (N)").
    std::function<void(const QString&)> onNote;
    // The device server's configuration port (65535; DORLIN_CONFIG_PORT overrides it).
    static int ConfigPort();

signals:
    // Posted by a receive error: the connection is made again from the event loop, never
    // from inside the socket's own notification.
    void ReconnectWanted();

private:
    void OnConnect(int errorCode);
    void Attach(int fd);
    void CloseData();
    // Takes what the data socket holds (into the owner's queue, or away when !keep); notices
    // the end of the connection.
    int Drain(bool keep = true);
    // The connection ended: closed by the device server (err 0) or failed (errno).
    void Lost(int err);
    void Reconnect();
    bool ConnectImpl(bool automatic);

    CJSocket* owner_;
    int fd_ = -1; // the data connection (a plain socket: one connect() per attempt)
    QSocketNotifier* readNote_ = nullptr;
    std::unique_ptr<QUdpSocket> config_;
    bool connected_ = false;
    bool reconnectQueued_ = false;
    // Automatic reconnections in a row whose connection died within a second: a server that
    // accepts and drops at once gets a few tries, not an endless storm.
    int quickDrops_ = 0;
    qint64 upSinceMs_ = -1; // when the current connection came up
    // A configuration command timed out and its answer may still come (sent at ...Since_);
    // the wait widened for a device server seen to answer late (0: not widened).
    bool configOwed_ = false;
    uint32_t configOwedSince_ = 0;
    int configWaitMs_ = 0;
};
