// The control's channel: a CJSocket that also moves files with XMODEM (CRC-16 or 8-bit
// checksum, 128-byte blocks) over whichever path is open. The protocol itself lives in the
// engines of XmodemCore.h; this class runs them against the receive queue and the file.
#pragma once
#include <atomic>

#include "CJSocket.h"

// What a host shows while a transfer runs (the control's progress window, or nothing).
class TransferView {
public:
    virtual ~TransferView() = default;
    // The transfer starts (after the file was opened): range 0..high.
    virtual void Begin(bool sending, int high) = 0;
    virtual void Progress(int pos, int high, int blocks) = 0;
    // True once when the user pressed Cancel since the last look.
    virtual bool TakeCancel() = 0;
    virtual void End() = 0;
};

class CJXmodem : public CJSocket {
public:
    CJXmodem() = default;
    ~CJXmodem() override;

    virtual void Init(QObject* owner, int timeoutMs);
    // PC to peer. TRUE when the peer acknowledged every block and the end of transmission.
    virtual bool SendFile(const QString& name);
    // Peer to PC, into a file created anew. TRUE when the sender ended the file with EOT. The
    // file is written beside the target and renamed over it only on success.
    virtual bool RecvFile(const QString& name);
    // CAN CAN CAN BS BS BS, each as a one-byte write (on an open port or connection). During a
    // transfer it ends the transfer loop, which sends the sequence once.
    virtual void SendCancel();
    // The transfer time-out has passed since the last byte arrived.
    virtual bool IsTimedOut() const;

    void SetTransferActive(bool on) {
        transferActive_ = on;
        muted_ = on;
    }
    void Notify(int code, long value, bool quiet = false) override;
    void SetView(TransferView* view) { view_ = view; }

protected:
    template <typename Engine> bool Run(Engine& engine, bool sending, class QFileDevice* out);
    void WireBytes(const std::string& bytes);

    int timeoutMs_ = 3000;
    uint32_t lastActivity_ = 0;
    std::atomic<bool> transferActive_{false};
    bool cancelRequested_ = false;
    TransferView* view_ = nullptr;
};
