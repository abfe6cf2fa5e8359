// The ways a client reaches the simulated reader: a pseudo-terminal that looks like a serial
// port, or a TCP data port with the UDP configuration port of a serial device server. Both
// run until SIGTERM/SIGINT (or until the reader vanishes on purpose) and return an exit code.
#pragma once
#include "readersim/Session.h"

#include <cstdio>
#include <string>

namespace readersim {

// Blocks SIGTERM and SIGINT so that the serving loops see them only while they wait.
void InstallStopSignals();
bool StopRequested();

struct PtyOptions {
    std::string link; // symlink made to the slave device
};
// Prints the slave device path on `out`, then serves.
int ServePty(Reader& reader, const SessionOptions& session, const PtyOptions& pty,
             const Session::LogFn& log, std::FILE* out, std::string* error);

struct TcpOptions {
    std::string bind = "127.0.0.1";
    int port = 1001;        // data port (0: any free one)
    int configPort = 65535; // configuration datagrams (0: any free one)
};
// Prints "tcp ADDR:PORT config PORT" on `out`, then serves one client at a time.
int ServeTcp(Reader& reader, const SessionOptions& session, const TcpOptions& tcp,
             const Session::LogFn& log, std::FILE* out, std::string* error);

} // namespace readersim
