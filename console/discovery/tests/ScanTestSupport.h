// Support for the discovery tests: each simulated reader (testing/SimReader.h) runs on its
// own pty or TCP address and is offered to the links as a numbered port
// (lvtest::SetPorts).
#pragma once
#include "SimReader.h"
#include "TestSupport.h"

#include <QString>
#include <dorlin/RnetLink.h>
#include <ostream>
#include <pelmar/discovery/ScanEngine.h>

namespace scantest {

// The row of a candidate ("COM41"), or -1. Other ports of the machine may be listed too.
inline int RowOf(const pelmar::discovery::ScanEngine& e, const QString& row) {
    for (int i = 0; i < e.Count(); ++i)
        if (e.RowText(i) == row) return i;
    return -1;
}

// Whether the link can reach a device server yet (its network path).
inline bool LinkHasTcp(const QString& address) {
    dorlin::RnetLink link;
    link.SetTarget(address, lvtest::SimReader::kTcpPort);
    const bool open = link.Open(QStringLiteral("COM0"));
    link.Close();
    return open;
}

} // namespace scantest

// Readable QString values in test failures.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
QT_END_NAMESPACE
