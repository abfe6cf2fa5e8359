// The reader's settings as typed values: every register getter and setter, the record
// count, the clock, the machine ID and the two raw link probes. Getters return ordinary
// values; LastCallOK and LinkTimedOut tell a failure from a real value.
#pragma once
#include "pelmar/core/ReaderSession.h"

#include <QDateTime>
#include <QString>
#include <cstdint>

namespace pelmar {

class modKt9 {
public:
    explicit modKt9(ReaderSession& session) : s_(session) {}

    // The last getter (or clock / machine-ID command) completed with a valid reply.
    bool LastCallOK = false;
    // A reader command timed out since the flag was last cleared (kept by the session).
    bool LinkTimedOut() const { return s_.LinkTimedOut; }

    // The register settings; each sits in its register as the table in modKt9.cpp says.
    enum class Setting {
        PowerMode,
        PowerOffTime,
        LCDOffTime,
        Beep,
        DateMode,
        LargeFonts,
        RFIDScanTime,
        NumberOfEvent,
        ScanMode,
        LockDateTime,
        Count
    };
    // A setting's value (a flag as 1 or 0) / written; LastCallOK tells a read value from
    // the failure value (0, and -1 for the power mode, which is never written back).
    int32_t Get(Setting setting);
    bool Set(Setting setting, int32_t value);

    int32_t GetPowerMode() { return Get(Setting::PowerMode); }
    bool SetPowerMode(int32_t mode) { return Set(Setting::PowerMode, mode); }
    int32_t GetPowerOffTime() { return Get(Setting::PowerOffTime); }
    bool SetPowerOffTime(int16_t seconds) { return Set(Setting::PowerOffTime, seconds); }
    int32_t GetLCDOffTime() { return Get(Setting::LCDOffTime); }
    bool SetLCDOffTime(int32_t seconds) { return Set(Setting::LCDOffTime, seconds); }
    bool GetBeep() { return Get(Setting::Beep) != 0; }
    bool SetBeep(bool on) { return Set(Setting::Beep, on); }
    int32_t GetDateMode() { return Get(Setting::DateMode); }
    bool SetDateMode(int16_t mode) { return Set(Setting::DateMode, mode); }
    bool GetLargeFonts() { return Get(Setting::LargeFonts) != 0; }
    bool SetLargeFonts(bool on) { return Set(Setting::LargeFonts, on); }
    uint8_t GetRFIDScanTime() { return uint8_t(Get(Setting::RFIDScanTime)); }
    bool SetRFIDScanTime(uint8_t value) { return Set(Setting::RFIDScanTime, value); }
    uint8_t GetNumberOfEvent() { return uint8_t(Get(Setting::NumberOfEvent)); }
    bool SetNumberOfEvent(uint8_t value) { return Set(Setting::NumberOfEvent, value); }
    uint8_t GetScanMode() { return uint8_t(Get(Setting::ScanMode)); }
    bool SetScanMode(uint8_t value) { return Set(Setting::ScanMode, value); }
    bool GetLockDateTime() { return Get(Setting::LockDateTime) != 0; }
    bool SetLockDateTime(bool locked) { return Set(Setting::LockDateTime, locked); }

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

private:
    // Two upper-case hex digits of a byte value ("05", "FF").
    static QString RegText(int value);
    bool Open();
    // One register read with up to three attempts; false after three refusals.
    bool ReadReg(short reg, int32_t& value);
    bool WriteReg(short reg, int value);
    bool WriteRegText(short reg, const QString& text);
    bool Probe(const QString& frame, bool access);

    ReaderSession& s_;
};

} // namespace pelmar
