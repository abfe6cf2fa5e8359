// The channel class that chooses between a serial port and the TCP path to a serial device
// server: the port name "COM0" opens the data connection to iAddress:iPort, every other name a
// serial port. The receive queue is the same for both.
#pragma once
#include <memory>

#include "CJComm.h"

class CWinSock;

class CJSocket : public CJComm {
public:
    CJSocket();
    ~CJSocket() override;

    bool Open(const QString& name) override;
    void Close(bool keepHandle = false) override;
    bool IsOpen() const override;
    int Write(const uint8_t* data, int n) override;
    void ClearRx() override;
    bool SetLineParams(int parity, int dataBits, int stopBits) override;
    bool SetBaud(long rate) override;
    bool SetHandshaking(int flags) override;

    // Why the last line setting was not applied on the open path: the fields the serial port
    // refused, or the device server's failed configuration exchange. Empty when it was.
    QString SettingFailure() const;
    // Closes the serial port or the network connection, whichever is open.
    virtual void CloseAny();
    // True while the network data connection is up.
    virtual bool NetConnected() const;
    // Takes received network data into the queue; when there is none, waits for it at most
    // waitMs (the Rnet wait calls it when the queue is empty).
    virtual int PollNetwork(int waitMs = 0);
    // Device-server address and data port, and the configuration command time-out.
    virtual void SetTarget(const QString& address, int port);
    virtual void SetCommandTimeout(int ms);
    // Waits at most ms for received bytes beyond `seenSeq`, whichever path is open.
    void WaitRx(uint64_t seenSeq, int ms);

    // Called by the network side. NetFresh: a new connection is up.
    void NetFresh();
    void NetReceived(const uint8_t* data, int n);
    void NetError(int err) { lastError_ = err; }
    void NetLost(int why) { NoteLoss(why); }
    CWinSock& Net() { return *net_; }

protected:
    // Opens the data connection to the device server.
    virtual bool Connect();

    std::unique_ptr<CWinSock> net_;
};
