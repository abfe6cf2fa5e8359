#include "readersim/Transport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace readersim {
namespace {

volatile sig_atomic_t g_stop = 0;
sigset_t g_waitMask; // the mask while waiting: stop signals let through

void OnStopSignal(int) {
    g_stop = 1;
}

using Clock = Session::Clock;

// Waits for the descriptors or the session's next deadline, whichever comes first.
int WaitFor(std::vector<pollfd>& fds, Clock::time_point deadline) {
    timespec ts{};
    timespec* tsp = nullptr;
    if (deadline != Clock::time_point::max()) {
        auto left = deadline - Clock::now();
        if (left < Clock::duration::zero()) left = Clock::duration::zero();
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        ts.tv_sec = time_t(ns / 1'000'000'000);
        ts.tv_nsec = long(ns % 1'000'000'000);
        tsp = &ts;
    }
    return ppoll(fds.data(), fds.size(), tsp, &g_waitMask);
}

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// Writes as much of `pending` as the descriptor takes; false on a hard error.
bool Flush(int fd, std::string& pending, bool socket) {
    while (!pending.empty()) {
        ssize_t n = socket ? ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL)
                           : ::write(fd, pending.data(), pending.size());
        if (n > 0) {
            pending.erase(0, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        return false;
    }
    return true;
}

void SetNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

} // namespace

void InstallStopSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, &g_waitMask);
    sigdelset(&g_waitMask, SIGTERM);
    sigdelset(&g_waitMask, SIGINT);
}

bool StopRequested() {
    return g_stop != 0;
}

int ServePty(Reader& reader, const SessionOptions& so, const PtyOptions& pty,
             const Session::LogFn& log, std::FILE* out, std::string* error) {
    int master = -1, slave = -1;
    char name[256] = {0};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        *error = Errno("openpty");
        return 1;
    }
    // Raw, so that the line discipline neither echoes nor translates; the slave stays open
    // here so that the master keeps working while clients close and reopen the device.
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    SetNonBlocking(master);
    struct stat st {};
    if (lstat(pty.link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            *error = pty.link + ": exists and is not a symbolic link";
            close(master);
            close(slave);
            return 1;
        }
        unlink(pty.link.c_str()); // left behind by an earlier run
    }
    if (symlink(name, pty.link.c_str()) != 0) {
        *error = Errno("symlink " + pty.link);
        close(master);
        close(slave);
        return 1;
    }
    std::fprintf(out, "%s\n", name);
    std::fflush(out);
    if (log) log(std::string("PTY ") + name + " as " + pty.link);

    Session session(reader, so, log);
    std::string pending;
    int rc = 0;
    while (!StopRequested()) {
        pending += session.TakeDue(Clock::now());
        if (!Flush(master, pending, false)) {
            *error = Errno("write to the pty");
            rc = 1;
            break;
        }
        if (session.Vanish() && pending.empty()) {
            // Closing the master throws away what the client has not read yet; give it a
            // moment to take the last reply first.
            // The kernel moves written bytes to the slave's queue a little later, so an
            // empty queue counts only when it stays empty for a while.
            int emptyChecks = 0;
            for (int i = 0; i < 2000 && emptyChecks < 20; ++i) {
                int queued = 0;
                if (ioctl(slave, FIONREAD, &queued) != 0) break;
                emptyChecks = queued == 0 ? emptyChecks + 1 : 0;
                usleep(1000);
            }
            if (log) log("PTY closed");
            break;
        }
        std::vector<pollfd> fds{{master, short(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0}};
        int n = WaitFor(fds, pending.empty() ? session.NextDeadline() : Clock::time_point::max());
        if (n < 0 && errno != EINTR) {
            *error = Errno("ppoll");
            rc = 1;
            break;
        }
        if (n > 0 && (fds[0].revents & POLLIN)) {
            char buf[4096];
            ssize_t r = read(master, buf, sizeof buf);
            if (r > 0) session.Receive(std::string_view(buf, size_t(r)), Clock::now());
        }
    }
    close(master);
    close(slave);
    unlink(pty.link.c_str());
    return rc;
}

int ServeTcp(Reader& reader, const SessionOptions& soIn, const TcpOptions& tcp,
             const Session::LogFn& log, std::FILE* out, std::string* error) {
    SessionOptions so = soIn;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (inet_pton(AF_INET, tcp.bind.c_str(), &addr.sin_addr) != 1) {
        *error = "bad address " + tcp.bind;
        return 1;
    }
    int lsn = socket(AF_INET, SOCK_STREAM, 0);
    int udp = socket(AF_INET, SOCK_DGRAM, 0);
    int one = 1;
    setsockopt(lsn, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    addr.sin_port = htons(uint16_t(tcp.port));
    if (bind(lsn, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(lsn, 4) != 0) {
        *error = Errno("TCP port " + std::to_string(tcp.port));
        close(lsn);
        close(udp);
        return 1;
    }
    sockaddr_in uaddr = addr;
    uaddr.sin_port = htons(uint16_t(tcp.configPort));
    if (bind(udp, reinterpret_cast<sockaddr*>(&uaddr), sizeof uaddr) != 0) {
        *error = Errno("UDP port " + std::to_string(tcp.configPort));
        close(lsn);
        close(udp);
        return 1;
    }
    socklen_t len = sizeof addr;
    getsockname(lsn, reinterpret_cast<sockaddr*>(&addr), &len);
    len = sizeof uaddr;
    getsockname(udp, reinterpret_cast<sockaddr*>(&uaddr), &len);
    std::fprintf(out, "tcp %s:%d config %d\n", tcp.bind.c_str(), ntohs(addr.sin_port),
                 ntohs(uaddr.sin_port));
    std::fflush(out);
    SetNonBlocking(lsn);
    SetNonBlocking(udp);

    int client = -1;
    std::unique_ptr<Session> session;
    std::string pending;
    auto dropClient = [&](bool reset) {
        if (client < 0) return;
        if (reset) {
            // Let the last reply leave and reach the peer first: a reset discards both what
            // is still queued here and what the peer has not read yet.
            for (int i = 0; i < 2000; ++i) {
                int queued = 0;
                if (ioctl(client, TIOCOUTQ, &queued) != 0 || queued == 0) break;
                usleep(1000);
            }
            usleep(20000);
            linger lg{1, 0}; // close with RST: the peer sees the connection reset
            setsockopt(client, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        }
        close(client);
        client = -1;
        session.reset();
        pending.clear();
    };
    int rc = 0;
    while (!StopRequested()) {
        if (session) {
            pending += session->TakeDue(Clock::now());
            if (!Flush(client, pending, true)) {
                if (log) log("TCP peer gone");
                dropClient(false);
            } else if (session->Vanish() && pending.empty()) {
                if (log) log("TCP reset");
                dropClient(true);
                so.dropAfter = -1; // the reader vanishes once; the next client is served
            }
        }
        std::vector<pollfd> fds{{lsn, POLLIN, 0}, {udp, POLLIN, 0}};
        if (client >= 0)
            fds.push_back({client, short(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0});
        auto deadline =
            session && pending.empty() ? session->NextDeadline() : Clock::time_point::max();
        int n = WaitFor(fds, deadline);
        if (n < 0 && errno != EINTR) {
            *error = Errno("ppoll");
            rc = 1;
            break;
        }
        if (n <= 0) continue;
        if (fds[1].revents & POLLIN) {
            char buf[512];
            sockaddr_in from{};
            socklen_t fl = sizeof from;
            ssize_t r = recvfrom(udp, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
            if (r > 0) {
                std::string cmd(buf, size_t(r));
                bool ok = ApplyConfigCommand(cmd, reader.State().line);
                const char* answer = ok ? "A" : "N";
                sendto(udp, answer, 1, 0, reinterpret_cast<sockaddr*>(&from), fl);
                if (log) {
                    const LineSettings& l = reader.State().line;
                    log("CFG " + cmd + " -> " + answer + " (baud " + std::to_string(l.baud) +
                        ", flow " + std::to_string(l.flow) + ", parity " +
                        std::to_string(l.parity) + ", data bits " + std::to_string(l.dataBits) +
                        ")");
                }
            }
        }
        if (client >= 0 && fds.size() > 2 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            char buf[4096];
            ssize_t r = recv(client, buf, sizeof buf, 0);
            if (r > 0) {
                session->Receive(std::string_view(buf, size_t(r)), Clock::now());
            } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
                if (log) log("TCP disconnect");
                dropClient(false);
            }
        }
        if (fds[0].revents & POLLIN) {
            int c = accept(lsn, nullptr, nullptr);
            if (c >= 0) {
                // The newest client wins: a device server serves the host that connected last.
                if (client >= 0 && log) log("TCP client replaced");
                dropClient(false);
                SetNonBlocking(c);
                setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                client = c;
                session = std::make_unique<Session>(reader, so, log);
                if (log) log("TCP connect");
            }
        }
    }
    dropClient(false);
    close(lsn);
    close(udp);
    return rc;
}

} // namespace readersim
