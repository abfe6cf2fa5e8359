// The device behind a port name: "COMn" as the link control opens it (DORLIN_PORTS, then the
// numbers kept in the settings store, then a scan); a path is returned as it is; empty when
// the name is unknown.
#pragma once
#include <QString>

namespace dorlin {

QString ResolvePort(const QString& name);

} // namespace dorlin
