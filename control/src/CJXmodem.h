// The control's channel: a CJSocket that can also move files with XMODEM. The transfer
// itself is not available yet; the cancel sequence is.
#pragma once
#include "CJSocket.h"

class CJXmodem : public CJSocket {
public:
    CJXmodem() = default;
    ~CJXmodem() override;

    virtual void Init(QObject* owner, int timeoutMs);
    virtual bool SendFile(const QString& name);
    virtual bool RecvFile(const QString& name);
    // CAN CAN CAN BS BS BS, each as a one-byte write (serial port only).
    virtual void SendCancel();
    bool TransferActive() const { return transferActive_; }
    void SetTransferActive(bool on) {
        transferActive_ = on;
        muted_ = on;
    }
    void Notify(int code, long value, bool quiet = false) override;

protected:
    int timeoutMs_ = 3000;
    std::atomic<bool> transferActive_{false};
};
