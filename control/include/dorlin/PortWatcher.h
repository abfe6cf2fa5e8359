// Reports serial ports appearing and disappearing while the program runs (USB adapters
// plugged in or pulled), so a host can refresh its port list.
#pragma once
#include <QObject>
#include <QString>
#include <memory>

#include "dorlin/Rnet.h" // DORLIN_EXPORT

namespace dorlin {

class DORLIN_EXPORT PortWatcher : public QObject {
    Q_OBJECT
public:
    explicit PortWatcher(QObject* parent = nullptr);
    ~PortWatcher() override;
    // False when the system offers no device notifications (no udev daemon, for example).
    bool IsActive() const;

signals:
    // devicePath is the device node, e.g. "/dev/ttyUSB0".
    void PortArrived(const QString& devicePath);
    void PortRemoved(const QString& devicePath);

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

// The present serial ports as "COMn", device path and description (what EnumCommPort lists).
struct PortInfo {
    QString name;
    QString path;
    QString description;
};
DORLIN_EXPORT QList<PortInfo> SerialPorts();

} // namespace dorlin
