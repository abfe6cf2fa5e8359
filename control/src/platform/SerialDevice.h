// The small operating-system interface under the serial channel. The channel keeps every
// protocol and threading decision; a device only opens a port, applies line settings and
// moves bytes. SerialDevicePosix.cpp implements it on termios; tests may wrap it to show
// modem lines and error counters that a pseudo-terminal does not have.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace dorlin {

// Line settings, as the channel keeps them between calls.
struct LineConfig {
    long baud = 19200;
    int parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int dataBits = 8; // 5..8
    int stopBits = 1; // 1 one, 2 two, anything else one and a half (termios: two)
    bool xonXoff = false;
    bool rtsCts = false;
};

// The fields of a LineConfig, as bits of ApplyFields' result.
enum LineFields : int {
    LF_Baud = 1,
    LF_Parity = 2,
    LF_DataBits = 4,
    LF_StopBits = 8,
    LF_Flow = 16,
    LF_All = 31
};

// Modem status bits, same values the channel reports.
enum ModemBits : int { MS_CTS = 0x10, MS_DSR = 0x20, MS_RING = 0x40, MS_RLSD = 0x80 };

// Kernel line counters (TIOCGICOUNT); the channel diffs them into error and event bits.
struct LineCounters {
    uint32_t cts = 0, dsr = 0, rng = 0, dcd = 0;
    uint32_t frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
};

enum class WaitResult { Readable, Hangup, Timeout, Woken, Error };

class SerialDevice {
public:
    virtual ~SerialDevice() = default;
    // Opens the device exclusively (an exclusive flock, which every Lorvane program takes, and
    // TIOCEXCL), non-blocking, in raw mode. On failure returns false and sets *err to the
    // system error number (EBUSY when another process holds the port).
    virtual bool Open(const std::string& path, int* err) = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // After a successful Open: the port was already in exclusive mode (another open had set
    // TIOCEXCL, which does not keep root out). Whether someone still holds it that way is for
    // the caller to find out: the mode outlives its holder on a pseudo-terminal.
    virtual bool WasExclusive() const { return false; }
    // The system handle (a file descriptor), -1 when closed.
    virtual long Handle() const = 0;
    // Applies the whole line configuration; false when the system refuses (the old settings
    // stay in force).
    virtual bool Apply(const LineConfig& cfg) = 0;
    // Applies the configuration field by field where the whole is refused: every field the
    // port takes is in force afterwards. Returns the LineFields bits that were refused.
    virtual int ApplyFields(const LineConfig& cfg) { return Apply(cfg) ? 0 : LF_All; }
    virtual bool Purge(bool rx, bool tx) = 0;
    virtual bool SetBreak(bool on) = 0;
    virtual bool SetDtr(bool on) = 0;
    virtual bool SetRts(bool on) = 0;
    // ModemBits of the port, or -1 when the device has no modem lines (a pseudo-terminal).
    virtual int ModemStatus() = 0;
    // Bytes waiting in the driver's transmit buffer (0 when unknown).
    virtual int OutQueue() = 0;
    // Reads the kernel counters; false when the device keeps none.
    virtual bool Counters(LineCounters* out) = 0;
    // Non-blocking read/write: bytes moved, 0 when nothing could be moved now, -1 when the
    // device failed or went away (errno kept).
    virtual long Read(void* buf, size_t n) = 0;
    virtual long Write(const void* buf, size_t n) = 0;
    // Waits until the device is readable, hangs up, Wake() is called, or timeoutMs passes
    // (-1: no limit).
    virtual WaitResult WaitReadable(int timeoutMs) = 0;
    // Ends a WaitReadable of another thread at once (or the next one, if none is waiting).
    virtual void Wake() = 0;
    // Waits until the device accepts more output or timeoutMs passes.
    virtual bool WaitWritable(int timeoutMs) = 0;
};

// The device of this platform.
std::unique_ptr<SerialDevice> CreateSerialDevice();

} // namespace dorlin
