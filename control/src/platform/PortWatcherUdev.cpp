// Port arrival and removal from the udev monitor, read on the owner's thread through a
// socket notifier.
#include <QSocketNotifier>
#include <libudev.h>

#include "PortRegistry.h"
#include "dorlin/PortWatcher.h"

namespace dorlin {

struct PortWatcher::Impl {
    udev* u = nullptr;
    udev_monitor* mon = nullptr;
    std::unique_ptr<QSocketNotifier> notifier;
    ~Impl() {
        notifier.reset();
        if (mon) udev_monitor_unref(mon);
        if (u) udev_unref(u);
    }
};

PortWatcher::PortWatcher(QObject* parent) : QObject(parent), d_(std::make_unique<Impl>()) {
    d_->u = udev_new();
    if (!d_->u) return;
    d_->mon = udev_monitor_new_from_netlink(d_->u, "udev");
    if (!d_->mon) return;
    udev_monitor_filter_add_match_subsystem_devtype(d_->mon, "tty", nullptr);
    if (udev_monitor_enable_receiving(d_->mon) != 0) {
        udev_monitor_unref(d_->mon);
        d_->mon = nullptr;
        return;
    }
    d_->notifier =
        std::make_unique<QSocketNotifier>(udev_monitor_get_fd(d_->mon), QSocketNotifier::Read);
    connect(d_->notifier.get(), &QSocketNotifier::activated, this, [this] {
        udev_device* dev = udev_monitor_receive_device(d_->mon);
        if (!dev) return;
        const char* action = udev_device_get_action(dev);
        const char* node = udev_device_get_devnode(dev);
        if (action && node) {
            const QByteArray a(action);
            if (a == "add")
                emit PortArrived(QString::fromUtf8(node));
            else if (a == "remove")
                emit PortRemoved(QString::fromUtf8(node));
        }
        udev_device_unref(dev);
    });
}

PortWatcher::~PortWatcher() = default;

bool PortWatcher::IsActive() const {
    return d_->mon != nullptr;
}

QList<PortInfo> SerialPorts() {
    QList<PortInfo> out;
    for (const PortEntry& e : ListPorts())
        out << PortInfo{e.name, e.path, e.description};
    return out;
}

} // namespace dorlin
