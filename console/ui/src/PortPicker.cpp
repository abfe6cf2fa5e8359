#include "pelmar/ui/PortPicker.h"

#include "pelmar/ui/QtPropertyHost.h"

#include <QComboBox>
#include <QHBoxLayout>

namespace pelmar::ui {

namespace {
bool IsComName(const QString& name) {
    return name.startsWith(QLatin1String("COM"), Qt::CaseInsensitive);
}
} // namespace

PortPicker::PortPicker(QWidget* parent, bool watch)
    : QGroupBox(QStringLiteral("Comm  Port"), parent) {
    setObjectName(QStringLiteral("Frame1"));
    SetTag(this, QStringLiteral("lng:{cap=12000}"));
    cboPort = new QComboBox(this);
    cboPort->setObjectName(QStringLiteral("cboPort"));
    cboBaud = new QComboBox(this);
    cboBaud->setObjectName(QStringLiteral("cboBaud"));
    for (const char* b : {"9600", "19200", "38400", "57600", "115200"})
        cboBaud->addItem(QString::fromLatin1(b));
    cboBaud->setCurrentText(QStringLiteral("19200"));
    cboBaud->setToolTip(QStringLiteral("Baud rate"));
    auto* portRow = new QHBoxLayout(this);
    portRow->addWidget(cboPort, 3);
    portRow->addWidget(cboBaud, 2);
    if (!watch) return;

    // Serial ports that come and go.
    SysInfo = new dorlin::PortWatcher(this);
    connect(SysInfo, &dorlin::PortWatcher::PortArrived, this, [this](const QString& path) {
        for (const dorlin::PortInfo& p : dorlin::SerialPorts())
            if (p.path == path || p.name == path) emit PortArrived(p.name);
    });
    connect(SysInfo, &dorlin::PortWatcher::PortRemoved, this, [this](const QString& path) {
        // The port is gone from the system: its name is the listed entry's.
        const QString name = NameOfPath(path);
        if (!name.isEmpty()) emit PortRemoved(name);
    });
}

void PortPicker::Fill(const QStringList& comNames, const QList<dorlin::PortInfo>& ports) {
    cboPort->clear();
    cboPort->addItem(QStringLiteral("AUTO"));
    cboPort->addItem(QStringLiteral("TCP/IP"));
    for (const QString& name : comNames) {
        if (!IsComName(name)) continue;
        cboPort->addItem(name, name.mid(3).toInt());
        for (const dorlin::PortInfo& p : ports)
            if (p.name == name) {
                cboPort->setItemData(cboPort->count() - 1, p.path, kPathRole);
                cboPort->setItemData(cboPort->count() - 1, p.description, Qt::ToolTipRole);
            }
    }
    cboPort->setCurrentIndex(-1);
    SetTag(cboPort, QStringLiteral("lng:{lst(0)=12001, lst(1)=12002}"));
    ApplyObjectLanguage(cboPort);
}

bool PortPicker::Add(const QString& comName, const QList<dorlin::PortInfo>& ports) {
    if (!IsComName(comName)) return false;
    if (cboPort->findText(comName, Qt::MatchFixedString) >= 0) return false;
    cboPort->addItem(comName, comName.mid(3).toInt());
    for (const dorlin::PortInfo& p : ports)
        if (p.name == comName) cboPort->setItemData(cboPort->count() - 1, p.path, kPathRole);
    return true;
}

bool PortPicker::Remove(const QString& comName) {
    const int i = cboPort->findText(comName, Qt::MatchFixedString);
    if (i < 0) return false;
    cboPort->removeItem(i);
    return true;
}

QString PortPicker::NameOfPath(const QString& path) const {
    for (int i = 0; i < cboPort->count(); ++i)
        if (cboPort->itemData(i, kPathRole).toString() == path) return cboPort->itemText(i);
    return QString();
}

} // namespace pelmar::ui
