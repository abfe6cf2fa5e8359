// readersim, the simulated reader, started by a test as a real peer: on a pseudo-terminal
// (a device link the link control opens like a serial port) or as a device server on TCP,
// with its frame log in a temporary folder of its own.
#pragma once
#include "TestSupport.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <utility>
#include <vector>

namespace lvtest {

class SimReader {
public:
    enum class Transport { Pty, Tcp };
    // The port a device server serves Rnet on (the link control's default).
    static constexpr int kTcpPort = 1001;

    // Starts readersim with `args` added to its transport and log options, and waits (with a
    // bound) until it serves: the device link exists, or the TCP port is listening.
    explicit SimReader(const QStringList& args, Transport transport = Transport::Pty);
    ~SimReader();
    SimReader(const SimReader&) = delete;
    SimReader& operator=(const SimReader&) = delete;

    bool ok() const { return ok_; }
    // Pty: the device link to open ("<folder>/reader").
    QString Link() const { return link_; }
    // Tcp: the loopback address of its own that serves Rnet on kTcpPort.
    QString Address() const { return address_; }
    // Its temporary folder (removed with the simulator), for files a test hands it.
    QString Folder() const { return dir_.path(); }
    QString LogPath() const { return log_; }
    // The frames the reader received and sent so far, one per line ("RX <STX>G<CR>").
    QStringList Log() const;
    // Only the frames it received ("<STX>F<CR>").
    QStringList Requests() const;
    // What readersim printed on standard output so far.
    QByteArray Output() const;
    // Ends it (SIGTERM, then SIGKILL) and waits for it; the link goes away with it.
    void Stop();

private:
    QTemporaryDir dir_;
    QString link_, address_, log_;
    std::unique_ptr<ChildProcess> proc_;
    bool ok_ = false;
};

// Offers ports to every link control of this process through DORLIN_PORTS: COMn opens the
// path given for n. An empty list offers none.
void SetPorts(const std::vector<std::pair<int, QString>>& ports);

// A loopback address (127.x.y.z, never 127.0.0.1) for a test server, so that servers of tests
// running at the same time can all listen on the same port number.
QString RandomLoopbackAddress();

} // namespace lvtest
