// The serial ports of the system under stable "COMn" names. Numbers are kept in the settings
// store (group "Ports", key COMn, value the device path) so an adapter gets its old number back
// when it returns; DORLIN_PORTS ("COM7=/dev/pts/5,COM8=/tmp/reader0") adds or overrides entries.
#pragma once
#include <QList>
#include <QString>

namespace dorlin {

struct PortEntry {
    int number = 0;      // n of "COMn"
    QString name;        // "COMn"
    QString path;        // device path
    QString description; // what the system says about it
};

// A serial device the platform scan found.
struct FoundPort {
    QString path; // stable path to open (a /dev/serial/by-id link when there is one)
    QString node; // the device node (/dev/ttyUSB0)
    QString description;
};

// Platform scan (platform/PortScanUdev.cpp): the serial ports that have real hardware.
QList<FoundPort> ScanSerialPorts();

// The present ports, numbered, sorted by number. New devices get the lowest free number and
// it is written to the settings store.
QList<PortEntry> ListPorts();
// "COMn" -> device path (DORLIN_PORTS first, then the settings store); a path is returned as
// is; empty when unknown.
QString ResolvePort(const QString& name);

} // namespace dorlin
