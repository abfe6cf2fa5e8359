// The "Auto Scan" window: lists every serial port and configured IP address, probes them all
// at once through the scan engine and lets the user (or the window itself, when exactly one
// reader answers) pick the entry the main window then connects to.
#pragma once
#include <QDialog>
#include <QString>
#include <memory>

class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace pelmar::discovery {

class ScanEngine;

// What the main window's "AUTO" entry passes: the firmware identifiers of the console's
// readers (separated by NUL characters), the name shown in their place, the version request,
// and the one baud rate to try.
QString Kt9FirmwareList();
inline QString Kt9DeviceLabel() {
    return QStringLiteral("Kt9/Kt7 ");
}
inline QString Kt9ProbeCommand() {
    return QStringLiteral("F");
}
inline QString Kt9BaudList() {
    return QStringLiteral("19200");
}

// Runs the scan in the modal window. szFirmware: identifiers separated by NUL characters;
// szDevice: text shown instead of the firmware list in a found reader's version; szCommand:
// the probe command (framed as STX command CR); szBaudList / szIPList: comma-separated.
// Returns true and writes the chosen row's text ("COM3", "IP:10.0.0.1:1001") to szResult
// when an entry was chosen; otherwise returns false and leaves szResult untouched.
bool ShowAutoScan(QWidget* parent, QString& szResult, const QString& szFirmware,
                  const QString& szDevice, const QString& szCommand, const QString& szBaudList,
                  const QString& szIPList);

class frmAutoScan : public QDialog {
    Q_OBJECT
public:
    frmAutoScan(ScanEngine& engine, QWidget* parent = nullptr);
    ~frmAutoScan() override;

    // Controls, named as the language service and the tests find them.
    QTreeWidget* lstView;
    QPushButton* cmdRefresh;
    QPushButton* cmdSelect;
    QPushButton* cmdCancel;

protected:
    void closeEvent(QCloseEvent* e) override;
    void reject() override;
    void resizeEvent(QResizeEvent* e) override;

private:
    void Rebuild();
    void ShowRow(int index);
    void SizeColumns();
    void lstView_Click();
    void cmdSelect_Click();

    ScanEngine& engine_;
    bool closing_ = false;
};

} // namespace pelmar::discovery
