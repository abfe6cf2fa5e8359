// The part of the reader link control that the console's reader logic uses. The console
// talks to the reader only through this, so the same logic runs inside the windows and in
// the command-line program. Strings carry wire bytes as Latin-1 characters (U+0000-U+00FF).
#pragma once
#include <QString>
#include <cstdint>

#include "dorlin/RnetLink.h"
#include <functional>

namespace pelmar {

class IReaderLink {
public:
    virtual ~IReaderLink() = default;

    // Channel choice and state.
    virtual bool PortOpen() = 0;
    virtual void SetPortOpen(bool open) = 0;
    virtual void SetCommPort(short port) = 0;       // n of "COMn"; 0 = TCP device server
    virtual void SetiAddress(const QString& a) = 0; // TCP device server address
    virtual void SetiPort(short port) = 0;          // TCP device server port
    virtual void SetExtPort(const QString& path) = 0;
    virtual void SetExtPortOpen(bool open) = 0;
    // Why the last open failed: the port, the system's reason and a hint ("COM7
    // (/dev/ttyUSB0): Permission denied: /dev/ttyUSB0 belongs to the group ..."); empty when
    // unknown.
    virtual QString PortErrorText() { return QString(); }
    // What the last successful open found worth a warning, one line each ("/dev/ttyUSB0 is
    // also open in cat (pid 907), which may take replies meant for us"); empty when nothing.
    virtual QString PortWarning() { return QString(); }
    virtual void SetRTSEnable(bool) {}
    virtual void SetDTREnable(bool) {}
    virtual long RnetTimeout() = 0;
    virtual void SetRnetTimeout(long ms) = 0;
    virtual QString EnumCommPort(short index) = 0;

    // Raw stream.
    virtual QString Text() = 0;                   // removes and returns what has arrived
    virtual void SetText(const QString& raw) = 0; // writes the bytes as they are
    virtual int RxCount() = 0;
    virtual bool ClearRxBuffer() = 0;
    // One step of a polling wait: returns after at most ms milliseconds, earlier when
    // received bytes are waiting. The default just sleeps.
    virtual void WaitForRx(uint32_t ms);

    // The one exchange of the link (dorlin::RnetLink): every request whose reply is waited
    // for goes through it, so that a late reply never answers another request.
    virtual dorlin::RnetResult Exchange(const dorlin::RnetRequest& request) = 0;
    // Waits out a late reply still owed before a raw write (the probes and the erase write
    // their frames themselves); Owe notes a raw request whose reply was not taken.
    virtual void Settle() {}
    virtual void Owe(uint32_t /*sentAt*/) {}

    // The control's own Rnet exchange and command methods.
    virtual QString SendRnetCmd(const QString& sData, bool tChkSum, bool rChkSum) = 0;
    virtual bool Login(const QString& password) = 0;
    virtual bool Logout() = 0;
    virtual QString GetVersion() = 0;
    virtual QString GetRegister(short addr) = 0;
    virtual bool SetRegister(short addr, const QString& param) = 0;
    virtual bool EraseRecord(short number) = 0;

    // The control's RnetMonitor event (index 0 = its own notes such as "$TIMEOUT").
    using Monitor = std::function<void(short index, const QString& message)>;
    virtual void SetMonitor(Monitor m) = 0;
};

} // namespace pelmar
