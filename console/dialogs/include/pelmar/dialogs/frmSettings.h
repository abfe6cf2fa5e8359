// The reader settings dialog: reads every setting before it shows, keeps the values as read
// beside the values as edited, and on OK writes only the changed ones (through the register
// layer, in its fixed order).
#pragma once
#include <QDialog>
#include <QString>
#include <QStringList>
#include <pelmar/core/DeviceSettings.h>
#include <pelmar/core/IReaderLink.h>
#include <pelmar/core/modKt9.h>

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QScrollBar;
class QTimeEdit;

namespace pelmar::dialogs {

class clsTextFMT;

class frmSettings : public QDialog {
    Q_OBJECT
public:
    frmSettings(modKt9& kt9, IReaderLink& link, QWidget* parent = nullptr);

    // Reads the firmware and every setting and fills the controls. False when the link timed
    // out during a read; CurrentItem() then names the setting.
    bool LoadFromReader();
    // Fills the controls from a settings record (Loaded and Edited become `s`).
    void Fill(const DeviceSettings& s);

    const DeviceSettings& Loaded() const { return Loaded_; }
    const DeviceSettings& Edited() const { return Edited_; }
    // The values the controls showed after Fill, and the fields (record names) whose reader
    // value lay outside what the control offers. Those are written only once the user changes
    // them or ticks "Write the values shown".
    const DeviceSettings& Shown() const { return Shown_; }
    QStringList Adjusted() const { return Adjusted_; }
    QString CurrentItem() const { return CurrentItem_; }
    bool Applied() const { return Applied_; }
    bool ApplyFailed() const { return ApplyFailed_; }
    int32_t MaxPowerOffTime() const { return MaxPowerOffTime_; }

public:
    // Cancel, Escape and the frame; refused while a write runs.
    void reject() override;

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    void Build();
    void BuildReaderFields();
    void BuildPowerMode();
    void BuildEventAndScanFields();
    QHBoxLayout* BuildColumns();
    QGroupBox* BuildAdjusted();
    QDialogButtonBox* BuildButtons();
    void ConnectChanges();
    void UpdateOK();
    void Touched(const char* field);
    void ShowAdjusted();
    QString FieldCaption(const QString& name) const;
    // A value of `s` in the units its control shows (a time as "mm:ss", a list code as the
    // list's entry; a code the list lacks as the number).
    QString ValueText(const QString& name, const DeviceSettings& s) const;
    void SelectByValue(QComboBox* box, int value);
    void SelectDateMode(int mode);
    void OnScanSpin(int value);
    void OnOK();

    modKt9& kt9_;
    IReaderLink& link_;
    DeviceSettings Loaded_, Edited_, Shown_;
    QStringList Adjusted_;
    bool filling_ = false;
    int32_t MaxPowerOffTime_ = 255;
    QString CurrentItem_;
    bool Applied_ = false, ApplyFailed_ = false;

    QLineEdit* txtMacID;
    QLineEdit* txtUserName;
    QCheckBox* chkOpSound;
    QComboBox* cboDateFormat;
    QTimeEdit* dtpLCDOffTime;
    QCheckBox* chkLargeFonts;
    QGroupBox* fraOption;
    QRadioButton* optPower[3];
    QTimeEdit* dtpPowerOffTime;
    QComboBox* cboNumberOfEvent;
    QComboBox* cboScanMode;
    QCheckBox* chkLockDateTime;
    QLineEdit* txtRFIDScanTime;
    QScrollBar* UpDownScanTime;
    QGroupBox* fraAdjusted;
    QLabel* labAdjusted;
    QCheckBox* chkWriteAdjusted;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;
    clsTextFMT* fmtMacID;
    clsTextFMT* fmtUserName;
    clsTextFMT* fmtScanTime;
};

// Reads the connected, logged-in reader's settings and shows them for editing. False when a
// setting failed to read (a message names it; no dialog) or a write failed (a message names
// it); true otherwise, also when the user cancelled. `link` is the console's link control
// (for the firmware version).
bool ShowSettings(modKt9& kt9, IReaderLink& link, QWidget* parent = nullptr);

} // namespace pelmar::dialogs
