// Arbitrary baud rates through termios2 (BOTHER). Kept apart from the termios code because
// <asm/termbits.h> and <termios.h> define the same names.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace dorlin {

bool SetCustomBaud(int fd, long baud) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    t.c_cflag &= ~CBAUD;
    t.c_cflag |= BOTHER;
    t.c_ispeed = speed_t(baud);
    t.c_ospeed = speed_t(baud);
    t.c_cflag &= ~(CBAUD << IBSHIFT);
    t.c_cflag |= BOTHER << IBSHIFT;
    return ioctl(fd, TCSETS2, &t) == 0;
}

} // namespace dorlin
