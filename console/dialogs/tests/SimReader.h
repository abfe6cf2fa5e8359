// readersim on a pty in a temporary folder, with its frame log, and the console's link
// control opened on it.
#pragma once
#include "TestSupport.h"

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <dorlin/CDorlinCtrl.h>
#include <memory>
#include <pelmar/core/DorlinLink.h>

namespace dlgtest {

class SimReader {
public:
    explicit SimReader(const QStringList& args) {
        link_ = dir_.path() + QStringLiteral("/reader");
        log_ = dir_.path() + QStringLiteral("/wire.log");
        proc_ = std::make_unique<lvtest::ChildProcess>(lvtest::binPath(QStringLiteral("readersim")),
                                                       QStringList{"--pty", link_, "--log", log_} +
                                                           args);
        ok_ = proc_->started() && lvtest::waitForPath(link_, 10000);
    }
    bool ok() const { return ok_; }
    QString Link() const { return link_; }
    // The frames the reader received and sent so far, one per line ("RX <STX>G<CR>").
    QStringList Log() const {
        QFile f(log_);
        if (!f.open(QIODevice::ReadOnly)) return {};
        return QString::fromLatin1(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    // Only the requests, as command texts without framing and checksum-free ("W1901").
    QStringList Requests() const {
        QStringList out;
        for (const QString& l : Log())
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

// The console's link control, opened on a device path.
struct Link {
    Link() : ctrl(nullptr, false), link(&ctrl) { ctrl.SetRnetTimeout(1000); }
    bool Open(const QString& path) {
        ctrl.SetExtPort(path);
        ctrl.SetExtPortOpen(true);
        return ctrl.PortOpen();
    }
    CDorlinCtrl ctrl;
    pelmar::DorlinLink link;
};

} // namespace dlgtest
