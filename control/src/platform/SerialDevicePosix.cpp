#include "platform/SerialDevicePosix.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace dorlin {

std::unique_ptr<SerialDevice> CreateSerialDevice() {
    return std::make_unique<SerialDevicePosix>();
}

namespace {

speed_t StandardSpeed(long baud) {
    switch (baud) {
    case 50:
        return B50;
    case 75:
        return B75;
    case 110:
        return B110;
    case 134:
        return B134;
    case 150:
        return B150;
    case 200:
        return B200;
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 1800:
        return B1800;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 500000:
        return B500000;
    case 576000:
        return B576000;
    case 921600:
        return B921600;
    case 1000000:
        return B1000000;
    case 1152000:
        return B1152000;
    case 1500000:
        return B1500000;
    case 2000000:
        return B2000000;
    case 2500000:
        return B2500000;
    case 3000000:
        return B3000000;
    case 3500000:
        return B3500000;
    case 4000000:
        return B4000000;
    default:
        return B0;
    }
}

} // namespace

SerialDevicePosix::SerialDevicePosix() {
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

SerialDevicePosix::~SerialDevicePosix() {
    Close();
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool SerialDevicePosix::Open(const std::string& path, int* err) {
    Close();
    wasExclusive_ = false;
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (err) *err = errno;
        return false;
    }
    termios t{};
    if (tcgetattr(fd, &t) != 0) { // not a terminal
        if (err) *err = errno;
        ::close(fd);
        return false;
    }
    // Every Lorvane program takes this lock, so none of them shares a port with another,
    // root included (root ignores TIOCEXCL).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (err) *err = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        return false;
    }
    // Another program may have put the port in exclusive mode, which root's open passes.
    int excl = 0;
    wasExclusive_ = ioctl(fd, TIOCGEXCL, &excl) == 0 && excl != 0;
    // Nobody else may open the port while we hold it (programs that do not lock).
    if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY) {
        if (err) *err = errno;
        ::close(fd);
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
    fd_ = fd;
    return true;
}

void SerialDevicePosix::Close() {
    if (fd_ < 0) return;
    // Exclusive mode is the port's, not the descriptor's: leave it as we found it.
    if (!wasExclusive_) ioctl(fd_, TIOCNXCL);
    ::close(fd_);
    fd_ = -1;
}

namespace {

void RawMode(termios& t) {
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

bool SetSize(termios& t, int dataBits) {
    tcflag_t size = CS8;
    switch (dataBits) {
    case 5:
        size = CS5;
        break;
    case 6:
        size = CS6;
        break;
    case 7:
        size = CS7;
        break;
    case 8:
        size = CS8;
        break;
    default:
        return false;
    }
    t.c_cflag = (t.c_cflag & ~CSIZE) | size;
    return true;
}

bool SetParity(termios& t, int parity) {
    t.c_cflag &= ~(PARENB | PARODD | CMSPAR);
    t.c_iflag &= ~(INPCK | ISTRIP | PARMRK | IGNPAR);
    switch (parity) {
    case 0:
        break;
    case 1:
        t.c_cflag |= PARENB | PARODD;
        break;
    case 2:
        t.c_cflag |= PARENB;
        break;
    case 3:
        t.c_cflag |= PARENB | PARODD | CMSPAR;
        break; // mark: parity bit always 1
    case 4:
        t.c_cflag |= PARENB | CMSPAR;
        break; // space: parity bit always 0
    default:
        return false;
    }
    if (parity != 0) t.c_iflag |= INPCK;
    return true;
}

void SetStop(termios& t, int stopBits) {
    // termios has no one-and-a-half stop bits; the UART gives 1.5 for CSTOPB with 5 data bits.
    if (stopBits == 1)
        t.c_cflag &= ~CSTOPB;
    else
        t.c_cflag |= CSTOPB;
}

void SetFlow(termios& t, bool xonXoff, bool rtsCts) {
    if (xonXoff)
        t.c_iflag |= IXON | IXOFF;
    else
        t.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (rtsCts)
        t.c_cflag |= CRTSCTS;
    else
        t.c_cflag &= ~CRTSCTS;
}

} // namespace

bool MakeTermios(const LineConfig& cfg, termios* tp, bool* needCustom) {
    termios& t = *tp;
    RawMode(t);
    if (!SetSize(t, cfg.dataBits)) return false;
    if (!SetParity(t, cfg.parity)) return false;
    SetStop(t, cfg.stopBits);
    SetFlow(t, cfg.xonXoff, cfg.rtsCts);
    const speed_t sp = StandardSpeed(cfg.baud);
    *needCustom = sp == B0;
    if (sp != B0) {
        cfsetispeed(&t, sp);
        cfsetospeed(&t, sp);
    }
    return true;
}

int SerialDevicePosix::ApplyFields(const LineConfig& cfg) {
    if (fd_ < 0) return LF_All;
    if (Apply(cfg)) return 0;
    // Something was refused: apply what the port takes, one field at a time, so that one bad
    // value does not leave the others as the previous program set them.
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return LF_All;
    RawMode(t);
    tcsetattr(fd_, TCSANOW, &t);
    int refused = 0;
    auto field = [&](int bit, const auto& change) {
        termios n = t;
        if (!change(n) || tcsetattr(fd_, TCSANOW, &n) != 0) {
            tcsetattr(fd_, TCSANOW, &t);
            refused |= bit;
        }
        tcgetattr(fd_, &t); // the next field starts from what the port really holds
    };
    const speed_t sp = StandardSpeed(cfg.baud);
    if (sp != B0) {
        field(LF_Baud,
              [&](termios& n) { return cfsetispeed(&n, sp) == 0 && cfsetospeed(&n, sp) == 0; });
    } else if (cfg.baud <= 0 || !SetCustomBaud(fd_, cfg.baud)) {
        refused |= LF_Baud;
    } else {
        tcgetattr(fd_, &t); // the custom speed is part of the state now
    }
    field(LF_Parity, [&](termios& n) { return SetParity(n, cfg.parity); });
    field(LF_DataBits, [&](termios& n) { return SetSize(n, cfg.dataBits); });
    field(LF_StopBits, [&](termios& n) {
        SetStop(n, cfg.stopBits);
        return true;
    });
    field(LF_Flow, [&](termios& n) {
        SetFlow(n, cfg.xonXoff, cfg.rtsCts);
        return true;
    });
    return refused;
}

bool SerialDevicePosix::Apply(const LineConfig& cfg) {
    if (fd_ < 0) return false;
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return false;
    const termios old = t;
    bool custom = false;
    if (!MakeTermios(cfg, &t, &custom)) return false;
    if (custom && cfg.baud <= 0) return false;
    if (tcsetattr(fd_, TCSANOW, &t) != 0) {
        tcsetattr(fd_, TCSANOW, &old);
        return false;
    }
    if (custom && !SetCustomBaud(fd_, cfg.baud)) {
        tcsetattr(fd_, TCSANOW, &old);
        return false;
    }
    return true;
}

bool SerialDevicePosix::Purge(bool rx, bool tx) {
    if (fd_ < 0) return false;
    int what = rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH;
    return tcflush(fd_, what) == 0;
}

bool SerialDevicePosix::SetBreak(bool on) {
    if (fd_ < 0) return false;
    return ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) == 0;
}

bool SerialDevicePosix::SetDtr(bool on) {
    if (fd_ < 0) return false;
    int bit = TIOCM_DTR;
    return ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) == 0;
}

bool SerialDevicePosix::SetRts(bool on) {
    if (fd_ < 0) return false;
    int bit = TIOCM_RTS;
    return ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) == 0;
}

int SerialDevicePosix::ModemStatus() {
    if (fd_ < 0) return -1;
    int m = 0;
    if (ioctl(fd_, TIOCMGET, &m) != 0) return -1;
    int r = 0;
    if (m & TIOCM_CTS) r |= MS_CTS;
    if (m & TIOCM_DSR) r |= MS_DSR;
    if (m & TIOCM_RNG) r |= MS_RING;
    if (m & TIOCM_CAR) r |= MS_RLSD;
    return r;
}

int SerialDevicePosix::OutQueue() {
    if (fd_ < 0) return 0;
    int n = 0;
    if (ioctl(fd_, TIOCOUTQ, &n) != 0) return 0;
    return n;
}

bool SerialDevicePosix::Counters(LineCounters* out) {
    if (fd_ < 0) return false;
    serial_icounter_struct ic{};
    if (ioctl(fd_, TIOCGICOUNT, &ic) != 0) return false;
    out->cts = uint32_t(ic.cts);
    out->dsr = uint32_t(ic.dsr);
    out->rng = uint32_t(ic.rng);
    out->dcd = uint32_t(ic.dcd);
    out->frame = uint32_t(ic.frame);
    out->overrun = uint32_t(ic.overrun);
    out->parity = uint32_t(ic.parity);
    out->brk = uint32_t(ic.brk);
    out->bufOverrun = uint32_t(ic.buf_overrun);
    return true;
}

long SerialDevicePosix::Read(void* buf, size_t n) {
    if (fd_ < 0) return -1;
    for (;;) {
        ssize_t r = ::read(fd_, buf, n);
        if (r >= 0) return long(r);
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return 0;
        return -1;
    }
}

long SerialDevicePosix::Write(const void* buf, size_t n) {
    if (fd_ < 0) return -1;
    for (;;) {
        ssize_t r = ::write(fd_, buf, n);
        if (r >= 0) return long(r);
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return 0;
        return -1;
    }
}

WaitResult SerialDevicePosix::WaitReadable(int timeoutMs) {
    if (fd_ < 0) return WaitResult::Error;
    pollfd p[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    int r = ::poll(p, wakeFd_ >= 0 ? 2 : 1, timeoutMs);
    if (r < 0) return errno == EINTR ? WaitResult::Timeout : WaitResult::Error;
    if (r == 0) return WaitResult::Timeout;
    if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return WaitResult::Hangup;
    if (p[0].revents & POLLIN) return WaitResult::Readable;
    uint64_t v;
    while (wakeFd_ >= 0 && ::read(wakeFd_, &v, sizeof v) > 0) {
    }
    return WaitResult::Woken;
}

void SerialDevicePosix::Wake() {
    uint64_t one = 1;
    if (wakeFd_ >= 0) (void)!::write(wakeFd_, &one, sizeof one);
}

bool SerialDevicePosix::WaitWritable(int timeoutMs) {
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLOUT, 0};
    return ::poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLOUT);
}

} // namespace dorlin
