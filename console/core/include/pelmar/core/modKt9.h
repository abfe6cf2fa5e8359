// The reader's settings as typed values: every register getter and setter, the record
// count, the clock, the machine ID and the two raw link probes. Getters return ordinary
// values; LastCallOK and LinkTimedOut tell a failure from a real value.
#pragma once
#include "pelmar/core/ReaderSession.h"

#include <QDateTime>
#include <QString>
#include <cstdint>

namespace pelmar {

// Register numbers of the reader's register map.
namespace kt9reg {
constexpr short PowerOffTimeLow = 16, PowerOffTimeHigh = 17, PowerMode = 18, LCDOffTime = 24,
                Beep = 25, DateMode = 26, LargeFonts = 28, RFIDScanTime = 29, NumberOfEvent = 30,
                ScanMode = 31, UserNameFirst = 32, UserNameLast = 47, LockDateTime = 80;
}

class modKt9 {
public:
    explicit modKt9(ReaderSession& session) : s_(session) {}

    // The last getter (or clock / machine-ID command) completed with a valid reply.
    bool LastCallOK = false;
    // A reader command timed out since the flag was last cleared (kept by the session).
    bool LinkTimedOut() const { return s_.LinkTimedOut; }
    void SetLinkTimedOut(bool v) { s_.LinkTimedOut = v; }

    int32_t GetPowerMode();
    bool SetPowerMode(int32_t mode);
    int32_t GetPowerOffTime();
    bool SetPowerOffTime(int16_t seconds);
    int32_t GetLCDOffTime();
    bool SetLCDOffTime(int32_t seconds);
    bool GetBeep();
    bool SetBeep(bool on);
    int32_t GetDateMode();
    bool SetDateMode(int16_t mode);
    bool GetLargeFonts();
    bool SetLargeFonts(bool on);
    uint8_t GetRFIDScanTime();
    bool SetRFIDScanTime(uint8_t value);
    uint8_t GetNumberOfEvent();
    bool SetNumberOfEvent(uint8_t value);
    uint8_t GetScanMode();
    bool SetScanMode(uint8_t value);
    bool GetLockDateTime();
    bool SetLockDateTime(bool locked);

    // User name, 16 bytes in the ANSI code page in registers 32-47, right-aligned.
    QString GetKt9UserName();
    QString GetUserNameEx();
    bool SetUserName(const QString& name);

    QString GetMacID();
    bool SetMacID(const QString& id);
    int32_t ReadRecordCount();
    // The reply the last ReadRecordCount read its count from (its other reading, see
    // rnet::HexadecimalCountReading, may be the reader's).
    QString lastCountReply;
    // The zero date (1899-12-30 00:00:00) when unreadable; the PC's clock when the reply
    // holds no valid date.
    QDateTime ReadDeviceTime();
    bool WriteDeviceTime(const QDateTime& when);
    static QDateTime ZeroDate();

    // Raw probes: any reader answering / the reader accepts commands without login.
    bool CheckReader();
    bool CheckAccess();

    // Two upper-case hex digits of a byte value ("05", "FF").
    static QString RegText(int value);

private:
    bool Open();
    // One register read with up to three attempts; false after three refusals.
    bool ReadReg(short reg, int32_t& value);
    bool WriteReg(short reg, int value);
    bool WriteRegText(short reg, const QString& text);
    int32_t GetSimple(short reg);
    bool Probe(const QString& frame, bool access);

    ReaderSession& s_;
};

} // namespace pelmar
