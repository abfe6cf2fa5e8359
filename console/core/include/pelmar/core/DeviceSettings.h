// The reader's settings as one record, read in one sweep and written back field by field:
// only the fields that changed, in a fixed order, stopping at the first failure. The
// settings dialog and `pelmar settings` share it.
#pragma once
#include "pelmar/core/modKt9.h"

#include <QString>
#include <QStringList>
#include <cstdint>

namespace pelmar {

// Date-format register values. The day-first code is the one the settings list writes.
constexpr int16_t kDateModeMDY = 0, kDateModeYMD = 255, kDateModeDMY = 1;

struct DeviceSettings {
    QString MacID;
    QString UserName;
    int16_t PowerMode = 0;
    int32_t PowerOffTime = 0;
    bool Beep = false;
    int16_t DateMode = 0;
    int32_t LCDOffTime = 0;
    bool LargeFonts = false;
    uint8_t OptionsOfEvent = 0;
    uint8_t ScanMode = 0;
    bool IsLockDateTime = false;
    uint8_t RFIDScanTime = 0;

    bool operator==(const DeviceSettings&) const = default;

    // The twelve field names in record order.
    static QStringList FieldNames();
    // One field as text ("True"/"False" for the Boolean ones) / set from text. SetField
    // returns false with *error set for an unknown name or a value the field cannot take.
    QString Field(const QString& name) const;
    bool SetField(const QString& name, const QString& value, QString* error);
};

// Longest power-off time offered: 255 s, 1800 s for firmware "KRN-A0103".
int32_t MaxPowerOffTime(const QString& firmware);

struct SettingsOutcome {
    bool ok = true;
    QString item;              // the setting being read or written when it failed
    bool dateModeKept = false; // a date-format change was not written: the reader holds records
};

// Reads every setting in record order; stops at the first getter after which the link
// timed out (ok = false, item = its read label: "MacID", "User Name", ...).
SettingsOutcome ReadDeviceSettings(modKt9& kt9, DeviceSettings& out);
// Writes the fields of edited that differ from loaded, in the order Beep, Large Fonts, Date
// Format, Power Mode, LCD Off Time, Power Off Time, MAC ID, Options of event, Scan mode,
// Scan Time, Is Lock Time, User Name; the date format only while the reader holds no
// records. Stops at the first failed write (ok = false, item = its write label).
SettingsOutcome ApplyDeviceSettings(modKt9& kt9, const DeviceSettings& loaded,
                                    const DeviceSettings& edited);

} // namespace pelmar
