#include "pelmar/core/DeviceSettings.h"

#include <algorithm>
#include <functional>

namespace pelmar {
namespace {
bool ParseBool(const QString& v, bool& out) {
    QString u = v.trimmed().toUpper();
    if (u == "TRUE" || u == "T" || u == "YES" || u == "Y" || u == "1" || u == "ON") {
        out = true;
        return true;
    }
    if (u == "FALSE" || u == "F" || u == "NO" || u == "N" || u == "0" || u == "OFF") {
        out = false;
        return true;
    }
    return false;
}

bool ParseInt(const QString& v, long lo, long hi, long& out) {
    bool ok = false;
    long n = v.trimmed().toLong(&ok);
    if (!ok || n < lo || n > hi) return false;
    out = n;
    return true;
}

QString BoolText(bool b) {
    return b ? QStringLiteral("True") : QStringLiteral("False");
}
} // namespace

QStringList DeviceSettings::FieldNames() {
    return {"MacID",          "UserName", "PowerMode",      "PowerOffTime",
            "Beep",           "DateMode", "LCDOffTime",     "LargeFonts",
            "OptionsOfEvent", "ScanMode", "IsLockDateTime", "RFIDScanTime"};
}

QString DeviceSettings::Field(const QString& name) const {
    if (name == "MacID") return MacID;
    if (name == "UserName") return UserName;
    if (name == "PowerMode") return QString::number(PowerMode);
    if (name == "PowerOffTime") return QString::number(PowerOffTime);
    if (name == "Beep") return BoolText(Beep);
    if (name == "DateMode") return QString::number(DateMode);
    if (name == "LCDOffTime") return QString::number(LCDOffTime);
    if (name == "LargeFonts") return BoolText(LargeFonts);
    // 10 event options are stored as 255; shown as the value a user would set.
    if (name == "OptionsOfEvent")
        return QString::number(OptionsOfEvent == 255 ? 10 : OptionsOfEvent);
    if (name == "ScanMode") return QString::number(ScanMode);
    if (name == "IsLockDateTime") return BoolText(IsLockDateTime);
    if (name == "RFIDScanTime") return QString::number(RFIDScanTime);
    return QString();
}

bool DeviceSettings::SetField(const QString& name, const QString& value, QString* error) {
    auto fail = [&](const QString& why) {
        if (error) *error = name + QStringLiteral(": ") + why;
        return false;
    };
    long n = 0;
    bool b = false;
    if (name == "MacID") {
        QString v = value.trimmed().toUpper();
        static const QString hex = QStringLiteral("0123456789ABCDEF");
        if (v.isEmpty() || v.size() > 2 ||
            !std::all_of(v.begin(), v.end(), [](QChar c) { return hex.contains(c); }))
            return fail(QStringLiteral("one or two hexadecimal digits"));
        MacID = v;
    } else if (name == "UserName") {
        if (value.size() > 16) return fail(QStringLiteral("at most 16 characters"));
        UserName = value;
    } else if (name == "PowerMode") {
        if (!ParseInt(value, 0, 255, n) || (n != 0 && n != 1 && n != 255))
            return fail(
                QStringLiteral("0 (auto power off), 1 (real control) or 255 (switch control)"));
        PowerMode = int16_t(n);
    } else if (name == "PowerOffTime") {
        // The longest time depends on the firmware (MaxPowerOffTime); checked once known.
        if (!ParseInt(value, 3, 1800, n))
            return fail(QStringLiteral("3 to 1800 seconds (at most 255 on most firmware)"));
        PowerOffTime = int32_t(n);
    } else if (name == "LCDOffTime") {
        if (!ParseInt(value, 3, 255, n)) return fail(QStringLiteral("3 to 255 seconds"));
        LCDOffTime = int32_t(n);
    } else if (name == "DateMode") {
        QString v = value.trimmed().toUpper();
        if (v == "MM/DD/YYYY")
            n = kDateModeMDY;
        else if (v == "YYYY/MM/DD")
            n = kDateModeYMD;
        else if (v == "DD/MM/YYYY")
            n = kDateModeDMY;
        else if (!ParseInt(value, 0, 255, n) || (n != 0 && n != 1 && n != 255))
            return fail(QStringLiteral("MM/DD/YYYY (0), YYYY/MM/DD (255) or DD/MM/YYYY (1)"));
        DateMode = int16_t(n);
    } else if (name == "OptionsOfEvent") {
        if (!ParseInt(value, 1, 255, n) || (n > 10 && n != 255))
            return fail(QStringLiteral("1 to 10"));
        OptionsOfEvent = uint8_t(n == 10 ? 255 : n);
    } else if (name == "ScanMode") {
        if (!ParseInt(value, 0, 255, n) || (n != 0 && n != 255))
            return fail(QStringLiteral("0 (continuous) or 255 (button)"));
        ScanMode = uint8_t(n);
    } else if (name == "RFIDScanTime") {
        if (!ParseInt(value, 5, 254, n)) return fail(QStringLiteral("5 to 254"));
        RFIDScanTime = uint8_t(n);
    } else if (name == "Beep" || name == "LargeFonts" || name == "IsLockDateTime") {
        if (!ParseBool(value, b)) return fail(QStringLiteral("True or False"));
        (name == "Beep" ? Beep : name == "LargeFonts" ? LargeFonts : IsLockDateTime) = b;
    } else {
        if (error) *error = QStringLiteral("unknown setting: ") + name;
        return false;
    }
    return true;
}

int32_t MaxPowerOffTime(const QString& firmware) {
    return firmware.contains(QLatin1String("KRN-A0103")) ? 1800 : 255;
}

SettingsOutcome ReadDeviceSettings(modKt9& kt9, DeviceSettings& s) {
    SettingsOutcome out;
    struct Step {
        const char* label;
        std::function<void()> read;
    };
    const Step steps[] = {
        {"MacID", [&] { s.MacID = kt9.GetMacID(); }},
        {"User Name", [&] { s.UserName = kt9.GetKt9UserName(); }},
        {"Power Mode", [&] { s.PowerMode = int16_t(kt9.GetPowerMode()); }},
        {"Power off time", [&] { s.PowerOffTime = kt9.GetPowerOffTime(); }},
        {"Beep", [&] { s.Beep = kt9.GetBeep(); }},
        {"Date Mode", [&] { s.DateMode = int16_t(kt9.GetDateMode()); }},
        {"LCD Off time", [&] { s.LCDOffTime = kt9.GetLCDOffTime(); }},
        {"Large Fonts", [&] { s.LargeFonts = kt9.GetLargeFonts(); }},
        {"Options of event", [&] { s.OptionsOfEvent = kt9.GetNumberOfEvent(); }},
        {"Scan mode", [&] { s.ScanMode = kt9.GetScanMode(); }},
        {"IsLockDateTime", [&] { s.IsLockDateTime = kt9.GetLockDateTime(); }},
        {"RFID Scan Time", [&] { s.RFIDScanTime = kt9.GetRFIDScanTime(); }},
    };
    for (const Step& st : steps) {
        out.item = QString::fromLatin1(st.label);
        st.read();
        // A reply that never came whole (time-out, or damaged however often it was asked
        // for) leaves the getter's failure value: that is no setting of the reader.
        if (kt9.LinkTimedOut() || !kt9.LastCallOK) {
            out.ok = false;
            return out;
        }
    }
    out.item.clear();
    return out;
}

SettingsOutcome ApplyDeviceSettings(modKt9& kt9, const DeviceSettings& L, const DeviceSettings& E) {
    SettingsOutcome out;
    struct Step {
        const char* label;
        bool changed;
        std::function<bool()> write;
    };
    const Step steps[] = {
        {"Beep", E.Beep != L.Beep, [&] { return kt9.SetBeep(E.Beep); }},
        {"Large Fonts", E.LargeFonts != L.LargeFonts,
         [&] { return kt9.SetLargeFonts(E.LargeFonts); }},
        {"Date Format", E.DateMode != L.DateMode,
         [&] {
             // The date format of stored records must not change under them.
             if (kt9.ReadRecordCount() != 0) {
                 out.dateModeKept = true;
                 return true;
             }
             return kt9.SetDateMode(E.DateMode);
         }},
        {"Power Mode", E.PowerMode != L.PowerMode, [&] { return kt9.SetPowerMode(E.PowerMode); }},
        {"LCD Off Time", E.LCDOffTime != L.LCDOffTime,
         [&] { return kt9.SetLCDOffTime(E.LCDOffTime); }},
        {"Power Off Time", E.PowerOffTime != L.PowerOffTime,
         [&] { return kt9.SetPowerOffTime(int16_t(E.PowerOffTime)); }},
        {"MAC ID", E.MacID != L.MacID, [&] { return kt9.SetMacID(E.MacID); }},
        {"Options of event", E.OptionsOfEvent != L.OptionsOfEvent,
         [&] { return kt9.SetNumberOfEvent(E.OptionsOfEvent); }},
        {"Scan mode", E.ScanMode != L.ScanMode, [&] { return kt9.SetScanMode(E.ScanMode); }},
        {"Scan Time", E.RFIDScanTime != L.RFIDScanTime,
         [&] { return kt9.SetRFIDScanTime(E.RFIDScanTime); }},
        {"Is Lock Time", E.IsLockDateTime != L.IsLockDateTime,
         [&] { return kt9.SetLockDateTime(E.IsLockDateTime); }},
        {"User Name", E.UserName != L.UserName, [&] { return kt9.SetUserName(E.UserName); }},
    };
    for (const Step& st : steps) {
        if (!st.changed) continue;
        out.item = QString::fromLatin1(st.label);
        if (!st.write()) {
            out.ok = false;
            return out;
        }
    }
    out.item.clear();
    return out;
}

} // namespace pelmar
