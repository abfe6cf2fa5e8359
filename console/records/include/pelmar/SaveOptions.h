// The options that shape saved record files (event names, extra fields, format section, ID
// conversion) and their storage in the per-user settings store, section "SaveOptions".
#pragma once
#include <QString>
#include <array>

// Property bag held by the main window and edited by the save options dialog.
class clsSaveOptions {
public:
    static constexpr int kEventCount = 10;
    // ConvertIDMethod values.
    enum { ConvertNone = 0, ConvertHexToDec = 1, ConvertDecToHex = 2 };

    // "Format.ini" exists in the program's data folder (set by the main window).
    bool IsFormatFileExist() const { return m_formatFileExist; }
    void SetIsFormatFileExist(bool b) { m_formatFileExist = b; }

    // Name of event code Index (0-9); assigning trims it. Other indexes read empty and
    // assignments to them are ignored.
    QString EventNames(int Index) const;
    void SetEventNames(int Index, const QString& szName);
    // True when EventNames(Index) is not empty.
    bool EventEnableds(int Index) const;

    bool IsAddMachineID() const { return m_addMachineID; }
    void SetIsAddMachineID(bool b) { m_addMachineID = b; }
    bool IsAddUserName() const { return m_addUserName; }
    void SetIsAddUserName(bool b) { m_addUserName = b; }
    bool IsSDTInTwoFields() const { return m_sdtInTwoFields; }
    void SetIsSDTInTwoFields(bool b) { m_sdtInTwoFields = b; }

    // Section name of "Format.ini" to write with.
    QString SaveFormat() const { return m_saveFormat; }
    void SetSaveFormat(const QString& sz) { m_saveFormat = sz; }

    // 0 none, 1 HEX to DEC, 2 DEC to HEX (other values show no card ID at all).
    long ConvertIDMethod() const { return m_convertIDMethod; }
    void SetConvertIDMethod(long l) { m_convertIDMethod = l; }

    bool operator==(const clsSaveOptions&) const = default;

private:
    bool m_formatFileExist = false;
    std::array<QString, kEventCount> m_eventNames;
    bool m_addMachineID = false;
    bool m_addUserName = false;
    bool m_sdtInTwoFields = false;
    QString m_saveFormat = QStringLiteral("(Default)");
    long m_convertIDMethod = 0;
};

namespace pelmar {

// Reads every key of section "SaveOptions" into options (missing keys take their
// defaults; IsFormatFileExist is left alone).
void LoadSaveOptions(clsSaveOptions& options);
// Writes every key of section "SaveOptions".
void StoreSaveOptions(const clsSaveOptions& options);

} // namespace pelmar
