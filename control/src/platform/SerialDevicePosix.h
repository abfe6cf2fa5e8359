// termios implementation of SerialDevice (Linux).
#pragma once
#include "platform/SerialDevice.h"

struct termios;

namespace dorlin {

class SerialDevicePosix : public SerialDevice {
public:
    SerialDevicePosix();
    ~SerialDevicePosix() override;
    bool Open(const std::string& path, int* err) override;
    void Close() override;
    bool IsOpen() const override { return fd_ >= 0; }
    bool WasExclusive() const override { return wasExclusive_; }
    long Handle() const override { return fd_; }
    bool Apply(const LineConfig& cfg) override;
    int ApplyFields(const LineConfig& cfg) override;
    bool Purge(bool rx, bool tx) override;
    bool SetBreak(bool on) override;
    bool SetDtr(bool on) override;
    bool SetRts(bool on) override;
    int ModemStatus() override;
    int OutQueue() override;
    bool Counters(LineCounters* out) override;
    long Read(void* buf, size_t n) override;
    long Write(const void* buf, size_t n) override;
    WaitResult WaitReadable(int timeoutMs) override;
    void Wake() override;
    bool WaitWritable(int timeoutMs) override;

private:
    int fd_ = -1;
    int wakeFd_ = -1; // eventfd that ends a wait early
    bool wasExclusive_ = false;
};

// Turns a line configuration into raw-mode termios flags on top of `t`; false for values the
// line cannot have (data bits outside 5..8, parity outside 0..4). Speeds without a Bxxx constant
// leave the speed alone and set *needCustom.
bool MakeTermios(const LineConfig& cfg, ::termios* t, bool* needCustom);

// Sets a baud rate that has no Bxxx constant (termios2/BOTHER). Lives in its own file
// because the kernel's termbits header clashes with <termios.h>.
bool SetCustomBaud(int fd, long baud);

} // namespace dorlin
