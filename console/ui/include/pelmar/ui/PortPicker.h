// The main window's port choice ("Frame1"): the port list ("AUTO", "TCP/IP", then the
// serial ports by their "COMn" names) and the baud rate, kept up to date while adapters are
// plugged in and pulled. The list only lists; the window decides what a choice or a removed
// port means for the link.
#pragma once
#include <QGroupBox>
#include <QList>
#include <QString>
#include <QStringList>
#include <dorlin/PortWatcher.h>

class QComboBox;

namespace pelmar::ui {

class PortPicker : public QGroupBox {
    Q_OBJECT
public:
    // Item data role of a serial entry that holds its device path ("/dev/ttyUSB0").
    static constexpr int kPathRole = Qt::UserRole + 1;

    // Starts watching the system's serial ports when `watch` is true.
    explicit PortPicker(QWidget* parent = nullptr, bool watch = true);

    // Lists "AUTO", "TCP/IP" and every name of `comNames` that starts with "COM" (case
    // ignored), in that order, each with its number as item data and, from `ports`, its device
    // path and description; nothing is chosen afterwards.
    void Fill(const QStringList& comNames, const QList<dorlin::PortInfo>& ports);
    // An arrived port: appended with its path from `ports`. False when the name is no "COMn"
    // name or is listed already.
    bool Add(const QString& comName, const QList<dorlin::PortInfo>& ports);
    // Takes a listed port off the list; false when it is not listed.
    bool Remove(const QString& comName);
    // The listed name of a device path ("" when no entry has that path).
    QString NameOfPath(const QString& path) const;

    QComboBox* cboPort = nullptr;
    QComboBox* cboBaud = nullptr;
    dorlin::PortWatcher* SysInfo = nullptr;

signals:
    // The system reported a serial port coming or going, by its "COMn" name.
    void PortArrived(const QString& comName);
    void PortRemoved(const QString& comName);
};

} // namespace pelmar::ui
