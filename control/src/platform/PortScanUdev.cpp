// Serial port scan with libudev: every tty with a parent device, except the placeholder
// ttyS ports the 8250 driver registers whether or not a UART is there.
#include <QFile>
#include <fcntl.h>
#include <libudev.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "PortRegistry.h"

namespace dorlin {
namespace {

// A ttyS port of the platform 8250 driver is real only when the UART answered the probe.
bool UartPresent(const char* node) {
    int fd = ::open(node, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    serial_struct ss{};
    const bool ok = ioctl(fd, TIOCGSERIAL, &ss) == 0 && ss.type != PORT_UNKNOWN;
    ::close(fd);
    return ok;
}

QString Prop(udev_device* d, const char* name) {
    const char* v = udev_device_get_property_value(d, name);
    return v ? QString::fromUtf8(v) : QString();
}

} // namespace

QList<FoundPort> ScanSerialPorts() {
    QList<FoundPort> out;
    udev* u = udev_new();
    if (!u) return out;
    udev_enumerate* en = udev_enumerate_new(u);
    udev_enumerate_add_match_subsystem(en, "tty");
    udev_enumerate_scan_devices(en);
    udev_list_entry* e;
    udev_list_entry_foreach(e, udev_enumerate_get_list_entry(en)) {
        udev_device* d = udev_device_new_from_syspath(u, udev_list_entry_get_name(e));
        if (!d) continue;
        const char* node = udev_device_get_devnode(d);
        udev_device* parent = udev_device_get_parent(d);
        // Newer kernels put serial-core "port"/"ctrl" devices between the tty and the UART's
        // own device: look past them for the driver that owns the hardware.
        const char* driver = nullptr;
        bool platform8250 = false;
        for (udev_device* a = parent; a; a = udev_device_get_parent(a)) {
            const char* drv = udev_device_get_driver(a);
            if (!drv) continue;
            const QByteArray dn(drv);
            if (dn == "serial8250") platform8250 = true;
            if (!driver && dn != "port" && dn != "ctrl") driver = drv;
        }
        const QByteArray sysname = udev_device_get_sysname(d);
        // rfcomm links are virtual ttys without a parent device, yet real serial lines.
        bool real = node && ((parent && driver) || sysname.startsWith("rfcomm"));
        if (real && platform8250) real = UartPresent(node);
        if (real) {
            FoundPort f;
            f.node = QString::fromUtf8(node);
            f.path = f.node;
            // Prefer the by-id link: it names the adapter, not the order it was plugged in.
            udev_list_entry* l;
            udev_list_entry_foreach(l, udev_device_get_devlinks_list_entry(d)) {
                const QString link = QString::fromUtf8(udev_list_entry_get_name(l));
                if (link.startsWith("/dev/serial/by-id/") && QFile::exists(link)) {
                    f.path = link;
                    break;
                }
            }
            QString model = Prop(d, "ID_MODEL_FROM_DATABASE");
            if (model.isEmpty()) model = Prop(d, "ID_MODEL");
            QString vendor = Prop(d, "ID_VENDOR_FROM_DATABASE");
            if (vendor.isEmpty()) vendor = Prop(d, "ID_VENDOR");
            f.description = (vendor + ' ' + model).trimmed();
            if (f.description.isEmpty())
                f.description = QStringLiteral("%1 (%2)").arg(
                    QString::fromUtf8(sysname), driver ? QString::fromUtf8(driver) : "virtual");
            out << f;
        }
        udev_device_unref(d);
    }
    udev_enumerate_unref(en);
    udev_unref(u);
    return out;
}

} // namespace dorlin
