// The save options dialog: event names, extra fields, and (when "Format.ini" exists) the
// output format and ID conversion. Edits a clsSaveOptions only when confirmed with OK.
#pragma once
#include <QDialog>
#include <QString>
#include <pelmar/SaveOptions.h>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace pelmar::dialogs {

class frmSaveOptions : public QDialog {
    Q_OBJECT
public:
    // formatFile: the "Format.ini" whose sections fill the format list (empty: the program
    // data folder's).
    explicit frmSaveOptions(const clsSaveOptions& options, const QString& formatFile = {},
                            QWidget* parent = nullptr);
    // Copies the controls into options (what OK does).
    void StoreInto(clsSaveOptions& options) const;

private:
    QLineEdit* txtEvents[clsSaveOptions::kEventCount];
    QCheckBox* chkAddMachineID;
    QCheckBox* chkAddUserName;
    QCheckBox* chkSDTInTwoFields;
    QComboBox* cboSaveFormat;
    QComboBox* cboConvertID;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;
};

// Shows the dialog modally, initialised from options; true when confirmed with OK (options
// updated), false on Cancel (options unchanged).
bool ShowOptions(clsSaveOptions& options, QWidget* parent = nullptr,
                 const QString& formatFile = {});

} // namespace pelmar::dialogs
