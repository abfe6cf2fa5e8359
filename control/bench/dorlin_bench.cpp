// Benchmarks of the link control's Rnet exchange against an instant reader on a pty:
// latency from the reply's CR entering the pty to SendRnetCmd returning, CPU used while
// waiting for a reply that never comes, and back-to-back throughput. Prints markdown rows
// "| figure | goal | measured | ratio |".
#include <QApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "dorlin/CDorlinCtrl.h"

using Clock = std::chrono::steady_clock;

namespace {

// The reader: answers every frame at once with STX A CR and notes when the reply went in.
class InstantPeer {
public:
    explicit InstantPeer(int master) : master_(master) {
        thread_ = std::thread([this] { Run(); });
    }
    ~InstantPeer() {
        stop_ = true;
        thread_.join();
    }
    Clock::time_point LastReplyAt() const {
        return Clock::time_point(Clock::duration(lastReply_.load()));
    }
    void SetSilent(bool s) { silent_ = s; }

private:
    void Run() {
        char buf[256];
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            ssize_t n = ::read(master_, buf, sizeof buf);
            for (ssize_t i = 0; i < n; ++i) {
                if (buf[i] != '\r' || silent_) continue;
                lastReply_ = Clock::now().time_since_epoch().count();
                (void)!::write(master_,
                               "\x02"
                               "A\r",
                               3);
            }
        }
    }
    int master_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> silent_{false};
    std::atomic<Clock::rep> lastReply_{0};
};

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void Row(const char* figure, const char* goal, const std::string& measured,
         const std::string& ratio) {
    std::printf("| %s | %s | %s | %s |\n", figure, goal, measured.c_str(), ratio.c_str());
}

std::string Fmt(const char* f, double v) {
    char b[160];
    std::snprintf(b, sizeof b, f, v);
    return b;
}

// The same exchanges without the control: write the frame, read up to the CR, on raw fds.
double RawExchangesMs(int slave, int count) {
    char buf[64];
    const auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
        (void)!::write(slave, "\x02T\r", 3);
        for (bool done = false; !done;) {
            pollfd p{slave, POLLIN, 0};
            ::poll(&p, 1, 1000);
            ssize_t n = ::read(slave, buf, sizeof buf);
            for (ssize_t k = 0; k < n; ++k)
                done = done || buf[k] == '\r';
            if (n <= 0) break;
        }
    }
    return Ms(Clock::now() - t0);
}

// The same instant reader behind a TCP port on loopback (one client at a time).
class InstantTcpPeer {
public:
    InstantTcpPeer() {
        lsn_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(lsn_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(lsn_, 4);
        socklen_t l = sizeof a;
        ::getsockname(lsn_, reinterpret_cast<sockaddr*>(&a), &l);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~InstantTcpPeer() {
        stop_ = true;
        thread_.join();
        ::close(lsn_);
    }
    int Port() const { return port_; }
    void SetSilent(bool s) { silent_ = s; }

private:
    void Run() {
        int c = -1;
        char buf[256];
        while (!stop_) {
            pollfd p[2] = {{lsn_, POLLIN, 0}, {c, POLLIN, 0}};
            if (::poll(p, c >= 0 ? 2 : 1, 20) <= 0) continue;
            if (p[0].revents & POLLIN) {
                if (c >= 0) ::close(c);
                c = ::accept(lsn_, nullptr, nullptr);
                int one = 1;
                setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                continue;
            }
            ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0) {
                ::close(c);
                c = -1;
                continue;
            }
            for (ssize_t i = 0; i < n; ++i)
                if (buf[i] == '\r' && !silent_)
                    (void)!::send(c,
                                  "\x02"
                                  "A\r",
                                  3, MSG_NOSIGNAL);
        }
        if (c >= 0) ::close(c);
    }
    int lsn_ = -1, port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> silent_{false};
};

// Raw reference on a blocking loopback socket: send the frame, read up to the CR.
double RawTcpExchangesMs(int port, int count) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char buf[64];
    const auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
        (void)!::send(s, "\x02T\r", 3, MSG_NOSIGNAL);
        for (bool done = false; !done;) {
            ssize_t n = ::recv(s, buf, sizeof buf, 0);
            if (n <= 0) break;
            for (ssize_t k = 0; k < n; ++k)
                done = done || buf[k] == '\r';
        }
    }
    const double ms = Ms(Clock::now() - t0);
    ::close(s);
    return ms;
}

void TcpRows(int exchanges) {
    InstantTcpPeer peer;
    const double rawMs = RawTcpExchangesMs(peer.Port(), exchanges);
    setenv("DORLIN_CONFIG_PORT", "9", 1); // the instant peer has no configuration port
    CDorlinCtrl ctrl(nullptr, false);
    ctrl.SetCommPort(0);
    ctrl.SetiAddress("127.0.0.1");
    ctrl.SetiPort(short(uint16_t(peer.Port())));
    ctrl.SetPortOpen(true);
    if (!ctrl.PortOpen()) {
        Row("TCP exchanges", "-", "could not connect", "-");
        return;
    }
    std::vector<double> lat;
    for (int i = 0; i < 2000; ++i) {
        const auto t = Clock::now();
        if (ctrl.SendRnetCmd("T", false, false) == "A") lat.push_back(Ms(Clock::now() - t));
    }
    std::sort(lat.begin(), lat.end());
    Row("TCP loopback: exchange round trip through the control (median of 2000)", "recorded",
        Fmt("%.3f ms", lat.empty() ? -1.0 : lat[lat.size() / 2]), "-");
    int ok = 0;
    const auto t0 = Clock::now();
    for (int i = 0; i < exchanges; ++i)
        ok += ctrl.SendRnetCmd("T", false, false) == "A";
    const double ctrlMs = Ms(Clock::now() - t0);
    Row(Fmt("TCP loopback: %.0f exchanges back to back, control", exchanges).c_str(), "recorded",
        Fmt("%.0f ms", ctrlMs) + Fmt(" (%.0f/s", exchanges * 1000.0 / ctrlMs) +
            Fmt(", %.0f answered)", ok),
        Fmt("%.2f x raw socket", ctrlMs / rawMs));
    Row(Fmt("TCP loopback: %.0f exchanges, blocking socket send+recv (reference)", exchanges)
            .c_str(),
        "reference", Fmt("%.0f ms", rawMs), "1.00");
    peer.SetSilent(true);
    const double c0 = CpuSeconds();
    const auto w0 = Clock::now();
    ctrl.SendRnetCmd("T", false, false);
    const double wall = Ms(Clock::now() - w0) / 1000.0;
    const double pct = 100.0 * (CpuSeconds() - c0) / wall;
    Row("TCP: CPU while waiting 3000 ms for a reply that never comes", "<= 5 % of one core",
        Fmt("%.2f %%", pct), Fmt("%.2f", pct / 5.0));
    ctrl.SetPortOpen(false);
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const int exchanges = argc > 1 ? std::max(100, std::atoi(argv[1])) : 10000;

    int master = -1, slave = -1;
    char name[256] = {0};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "dorlin_bench: no pty\n");
        return 1;
    }
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);

    InstantPeer peer(master);
    int rawCount = exchanges;
    const double rawMs = RawExchangesMs(slave, rawCount);

    CDorlinCtrl ctrl(nullptr, false);
    ctrl.SetExtPort(QString::fromLatin1(name));
    ctrl.SetExtPortOpen(true);
    if (!ctrl.PortOpen()) {
        std::fprintf(stderr, "dorlin_bench: cannot open %s\n", name);
        return 1;
    }

    // Latency: CR written into the pty -> SendRnetCmd returns.
    std::vector<double> lat;
    for (int i = 0; i < 2000; ++i) {
        const QString r = ctrl.SendRnetCmd("T", false, false);
        const auto back = Clock::now();
        if (r != "A") continue;
        lat.push_back(Ms(back - peer.LastReplyAt()));
    }
    std::sort(lat.begin(), lat.end());
    const double median = lat.empty() ? -1 : lat[lat.size() / 2];
    const double p99 = lat.empty() ? -1 : lat[lat.size() * 99 / 100];
    Row("exchange latency, reply CR in -> SendRnetCmd returns (median of 2000)", "<= 2 ms",
        Fmt("%.3f ms", median), Fmt("%.2f", median / 2.0));
    Row("exchange latency, 99th percentile", "-", Fmt("%.3f ms", p99), "-");

    // Throughput, back to back.
    int ok = 0;
    const auto t0 = Clock::now();
    for (int i = 0; i < exchanges; ++i)
        ok += ctrl.SendRnetCmd("T", false, false) == "A";
    const double ctrlMs = Ms(Clock::now() - t0);
    Row(Fmt("%.0f exchanges back to back, control", exchanges).c_str(), "recorded",
        Fmt("%.0f ms", ctrlMs) + Fmt(" (%.0f/s", exchanges * 1000.0 / ctrlMs) +
            Fmt(", %.0f answered)", ok),
        Fmt("%.2f x raw pty", ctrlMs / rawMs));
    Row(Fmt("%.0f exchanges back to back, bare pty descriptors, poll+read (reference)", rawCount)
            .c_str(),
        "reference", Fmt("%.0f ms", rawMs), "1.00");

    // CPU while waiting for a reply that never comes.
    peer.SetSilent(true);
    ctrl.SetRnetTimeout(3000);
    const double c0 = CpuSeconds();
    const auto w0 = Clock::now();
    const QString none = ctrl.SendRnetCmd("T", false, false);
    const double wall = Ms(Clock::now() - w0) / 1000.0;
    const double cpu = CpuSeconds() - c0;
    const double pct = 100.0 * cpu / wall;
    Row("CPU while waiting 3000 ms for a reply that never comes", "<= 5 % of one core",
        Fmt("%.2f %%", pct) + (none.isEmpty() ? "" : " (got a reply!)"), Fmt("%.2f", pct / 5.0));

    ctrl.SetExtPortOpen(false);
    ::close(slave);
    ::close(master);
    TcpRows(exchanges);
    return 0;
}
