// A plain client for the simulator's pseudo-terminal: opens the device the way a serial
// program does (raw termios) and exchanges bytes with bounded waits.
#pragma once
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace simtest {

class PtyClient {
public:
    explicit PtyClient(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0) return;
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~PtyClient() { Close(); }
    PtyClient(const PtyClient&) = delete;
    PtyClient& operator=(const PtyClient&) = delete;

    bool ok() const { return fd_ >= 0; }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool Write(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, 50);
                continue;
            }
            if (n < 0) return false;
            done += size_t(n);
        }
        return true;
    }
    // Reads until `until` ends the data, the device is gone or timeoutMs passed.
    std::string Read(int timeoutMs, const std::string& until = "\r") {
        std::string out;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            pollfd p{fd_, POLLIN, 0};
            int r = ::poll(&p, 1, 20);
            if (r > 0 && (p.revents & POLLIN)) {
                char buf[4096];
                ssize_t n = ::read(fd_, buf, sizeof buf);
                if (n > 0)
                    out.append(buf, size_t(n));
                else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    gone_ = true;
                    lastErrno_ = n == 0 ? 0 : errno;
                    break;
                }
            } else if (r > 0 && (p.revents & (POLLHUP | POLLERR))) {
                gone_ = true;
                char b;
                ssize_t n = ::read(fd_, &b, 1);
                lastErrno_ = n < 0 ? errno : 0;
                break;
            }
            if (!until.empty() && out.size() >= until.size() &&
                out.compare(out.size() - until.size(), until.size(), until) == 0)
                break;
        }
        return out;
    }
    // Like a real client: drops what is pending, sends, waits for the reply's CR.
    std::string Ask(const std::string& frame, int timeoutMs = 5000) {
        tcflush(fd_, TCIFLUSH);
        if (!Write(frame)) return {};
        return Read(timeoutMs);
    }
    bool Gone() const { return gone_; }
    int LastErrno() const { return lastErrno_; }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    bool gone_ = false;
    int lastErrno_ = 0;
};

} // namespace simtest
