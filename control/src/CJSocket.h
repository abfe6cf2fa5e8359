// The channel class that chooses between a serial port and the TCP path to a serial device
// server (port name "COM0"). The network side slots in behind these virtuals; until it is
// built, opening "COM0" fails and everything runs over the serial port.
#pragma once
#include "CJComm.h"

class CJSocket : public CJComm {
public:
    CJSocket() = default;
    ~CJSocket() override;

    bool Open(const QString& name) override;
    void Close(bool keepHandle = false) override;
    bool IsOpen() const override;
    int Write(const uint8_t* data, int n) override;
    bool SetLineParams(int parity, int dataBits, int stopBits) override;
    bool SetBaud(long rate) override;
    bool SetHandshaking(int flags) override;

    // Closes the serial port or the network connection, whichever is open.
    virtual void CloseAny();
    // True while the network data connection is up.
    virtual bool NetConnected() const { return false; }
    // Takes received network data into the queue (the Rnet wait calls it when idle).
    virtual void PollNetwork() {}
    // Device-server address and data port, and the configuration command time-out.
    virtual void SetTarget(const QString& address, int port);
    virtual void SetCommandTimeout(int ms);

protected:
    // Opens the data connection to the device server.
    virtual bool Connect();

    QString address_ = QStringLiteral("127.0.0.1");
    int port_ = 1001;
    int commandTimeout_ = 3000;
};
