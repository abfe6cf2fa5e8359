// Simulated readers for the discovery tests: each readersim runs on its own pty (or TCP
// address) and is offered to the link control as a numbered port through DORLIN_PORTS.
#pragma once
#include "TestSupport.h"

#include <QFile>
#include <QRandomGenerator>
#include <QStringList>
#include <QTemporaryDir>
#include <dorlin/CDorlinCtrl.h>
#include <memory>
#include <ostream>
#include <pelmar/discovery/ScanEngine.h>
#include <vector>

namespace scantest {

// readersim on a pty; `Link()` is the path the control opens.
class Sim {
public:
    explicit Sim(const QStringList& args) {
        link_ = dir_.path() + QStringLiteral("/reader");
        log_ = dir_.path() + QStringLiteral("/wire.log");
        proc_ = std::make_unique<lvtest::ChildProcess>(lvtest::binPath(QStringLiteral("readersim")),
                                                       QStringList{"--pty", link_, "--log", log_} +
                                                           args);
        ok_ = proc_->started() && lvtest::waitForPath(link_, 10000);
    }
    bool ok() const { return ok_; }
    QString Link() const { return link_; }
    // Requests the reader received, as frames ("<STX>F<CR>").
    QStringList Requests() const {
        QFile f(log_);
        QStringList out;
        if (!f.open(QIODevice::ReadOnly)) return out;
        for (const QString& l : QString::fromLatin1(f.readAll()).split('\n'))
            if (l.startsWith(QStringLiteral("RX "))) out << l.mid(3);
        return out;
    }
    void Stop() { proc_->terminate(); }

private:
    QTemporaryDir dir_;
    QString link_, log_;
    std::unique_ptr<lvtest::ChildProcess> proc_;
    bool ok_ = false;
};

// readersim as a device server on port 1001 of a loopback address of its own.
class TcpSim {
public:
    explicit TcpSim(const QStringList& args = {}) {
        auto* r = QRandomGenerator::global();
        address_ = QStringLiteral("127.%1.%2.%3")
                       .arg(r->bounded(1, 250))
                       .arg(r->bounded(1, 250))
                       .arg(r->bounded(2, 250));
        proc_ = std::make_unique<lvtest::ChildProcess>(
            lvtest::binPath(QStringLiteral("readersim")),
            QStringList{"--tcp", "1001", "--bind", address_} + args);
        ok_ = proc_->started() &&
              lvtest::waitFor([this] { return proc_->readStdout().contains("tcp "); }, 10000);
    }
    bool ok() const { return ok_; }
    QString Address() const { return address_; }

private:
    QString address_;
    std::unique_ptr<lvtest::ChildProcess> proc_;
    bool ok_ = false;
};

// Offers the given ports (COMn = path) to every link control of this process.
inline void SetPorts(const std::vector<std::pair<int, QString>>& ports) {
    QStringList items;
    for (const auto& [n, path] : ports)
        items << QStringLiteral("COM%1=%2").arg(n).arg(path);
    qputenv("DORLIN_PORTS", items.join(',').toLocal8Bit());
}

// The row of a candidate ("COM41"), or -1. Other ports of the machine may be listed too.
inline int RowOf(const pelmar::discovery::ScanEngine& e, const QString& row) {
    for (int i = 0; i < e.Count(); ++i)
        if (e.RowText(i) == row) return i;
    return -1;
}

// Whether the link control can reach a device server yet (its network path).
inline bool ControlHasTcp(const QString& address) {
    CDorlinCtrl ctrl(nullptr, false);
    ctrl.SetCommPort(0);
    ctrl.SetiAddress(address);
    ctrl.SetiPort(1001);
    ctrl.SetPortOpen(true);
    const bool open = ctrl.PortOpen();
    ctrl.SetPortOpen(false);
    return open;
}

} // namespace scantest

// Readable QString values in test failures.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
QT_END_NAMESPACE
