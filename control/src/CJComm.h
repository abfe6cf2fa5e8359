// The serial channel: owns one serial port, its reader thread and the receive queue. The
// reader thread moves bytes into the queue, accumulates line events and posts notifications
// (ChannelEvent) to the owner; everything else runs on the owner's thread.
#pragma once
#include <QObject>
#include <QPointer>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "CJQueue.h"
#include "platform/SerialDevice.h"

class CJComm {
public:
    CJComm();
    virtual ~CJComm();
    CJComm(const CJComm&) = delete;
    CJComm& operator=(const CJComm&) = delete;

    // Name of the index-th serial port of the system, empty past the last.
    virtual QString EnumPort(int index);
    virtual bool IsOpen() const;
    // The object that receives ChannelEvent notifications.
    virtual void SetOwner(QObject* owner);
    virtual bool SetLineParams(int parity, int dataBits, int stopBits);
    virtual bool SetBaud(long rate);
    virtual bool SetHandshaking(int flags);
    // Resizes the receive queue; queued bytes are lost.
    virtual bool SetRxSize(int n);
    virtual bool SetTxSize(int n);
    virtual void SetEventMask(int mask);
    // RS485 turn-around: lower RTS before sending, raise it once the transmitter is empty.
    virtual void BeginSend();
    virtual void EndSend();
    // Opens a port by "COMn" name or device path.
    virtual bool Open(const QString& name);
    virtual void Close(bool keepHandle = false);
    virtual void ClearTx();
    virtual void ClearRx();
    virtual int Read(uint8_t* dest, int n);
    virtual int Write(const uint8_t* data, int n);
    virtual int InCount();
    virtual int OutCount();
    virtual int TxSpace();
    // Posts a notification to the owner (only while the port is open).
    virtual void Notify(int code, long value, bool quiet = false);

    bool SetRTS(bool on);
    bool SetDTR(bool on);
    bool SetBreak();
    bool ClearBreak();
    bool CTS();
    bool DSR();
    bool RING();
    bool RLSD();
    // Reads and clears the communication-error bits (COMERROR).
    int Errors();
    // Returns the accumulated line events and clears them.
    int TakeEvents();
    bool WriteByte(uint8_t b);

    // What the last Open of a serial port found. After a failure: the system error (EBUSY for
    // a port another process holds), whether the name was an unknown "COMn", the path tried and
    // who holds a busy port. After a success: err 0, and the processes that have the port open
    // without a lock (they may read our replies), if any.
    struct OpenReport {
        int err = 0;
        bool unknownName = false;
        QString name;
        QString path;
        QString holders;
        QString sharedWith;
    };
    const OpenReport& LastOpen() const { return report_; }
    // LineFields bits the open port refused at the last apply (0 when all were taken), and the
    // same as text ("speed 12345, 9 data bits").
    int RefusedFields() const { return refused_; }
    QString RefusedText() const;

    long Handle() const;
    int LastError() const { return lastError_; }
    bool Busy() const { return busy_.load() > 0; }
    int Handshaking() const { return handshake_; }
    long Baud() const { return cfg_.baud; }

    // While set, notifications of bytes that arrive are marked quiet (an Rnet exchange takes
    // them); the mark is decided under the same lock as the push, so no reply byte escapes it.
    void SetQuiet(bool on);
    bool Quiet();
    // An Rnet exchange or a file transfer is running on the channel.
    bool Exchanging();
    // Waits until new bytes are queued, the port goes away, or timeoutMs passes.
    bool WaitForRx(uint64_t seenSeq, int timeoutMs);
    uint64_t RxSeq() const { return queue_.PushSeq(); }
    // Times received bytes were dropped because the receive queue was full (wraps).
    uint32_t RxDrops() const { return rxDrops_.load(); }

    // How the line was lost under an open port: the device went away or the peer closed the
    // connection (LinkClosed), or the peer reset it (LinkReset). LossCount counts the losses
    // (wrapping), so that a wait can tell one during its own time; a Close is no loss.
    // LastLoss is the last one since the port was opened or closed by the host (0: none).
    enum LinkLoss { LinkClosed = 1, LinkReset = 2 };
    uint32_t LossCount() const { return losses_.load(); }
    int LastLoss() const { return lastLoss_.load(); }

    // Test seam: the devices this channel opens come from this factory (nullptr: the
    // platform's own).
    using DeviceFactory = std::function<std::unique_ptr<dorlin::SerialDevice>()>;
    static void SetDeviceFactory(DeviceFactory f);

protected:
    bool OpenSerial(const QString& name);
    bool SerialOpen() const;
    void ReaderLoop(int lastModem, dorlin::LineCounters lastCnt, bool haveCnt);
    void PostToOwner(int code, long value, bool quiet);
    // Applies the whole line configuration, field by field where needed; false when a field
    // in `mine` (LineFields) was refused.
    bool ApplyLine(int mine);
    // What the peer sent before our first write after an open is kept for whoever reads it
    // without asking first (an XMODEM send takes the receiver's waiting "C"); the first write
    // discards what is still unread, as nothing there can answer what we are about to ask.
    void KeepUnasked() { unasked_ = true; }
    void DiscardUnasked() {
        if (unasked_.exchange(false)) ClearRx();
    }
    // The line was lost (LinkLoss); any thread.
    void NoteLoss(int why) {
        lastLoss_ = why;
        losses_.fetch_add(1);
        queue_.Wake(); // a wait for bytes ends at once
    }

    std::unique_ptr<dorlin::SerialDevice> dev_;
    std::atomic<QObject*> owner_{nullptr};
    dorlin::LineConfig cfg_;
    int handshake_ = 0;
    std::atomic<int> eventMask_{33};
    std::atomic<int> events_{0};
    int lastError_ = 0;
    OpenReport report_;
    int refused_ = 0;
    CJQueue queue_{1024};
    int rxSize_ = 1024;
    int txSize_ = 1024;
    std::atomic<int> busy_{0};
    bool wantDtr_ = true;
    bool wantRts_ = true;

    // reader thread
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> running_{false};
    std::atomic<bool> gone_{false};      // the device went away under the open port
    std::atomic<bool> txPending_{false}; // a write waits to be reported as EVENT_TXEMPTY
    std::atomic<bool> unasked_{false};   // nothing written since the open
    std::atomic<int> extraErrors_{0};    // queue overflow and line errors seen by the thread
    std::atomic<uint32_t> rxDrops_{0};
    std::atomic<uint32_t> losses_{0};
    std::atomic<int> lastLoss_{0};
    // Set while a file transfer reads the queue itself: the reader thread posts no line events.
    // (The thread never calls virtuals: a derived part may be mid-destruction.)
    std::atomic<bool> muted_{false};
    std::mutex rxMu_; // read+push against purge, and the quiet mark
    bool quiet_ = false;
    std::mutex errMu_;
    dorlin::LineCounters errBase_;
    bool errBaseValid_ = false;
};
