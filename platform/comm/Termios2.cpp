// termios2 lives in the kernel's headers, which redefine what <termios.h> declares; this file
// therefore includes nothing that pulls in <termios.h>.
#include "platform/comm/TtyBackend.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstdlib>
#include <sys/ioctl.h>

namespace {

tcflag_t SizeFlag(int bits) {
    switch (bits) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

} // namespace

int TtyApplyLineSettings(int fd, const TTtyLineSettings& s) {
    termios2 old{};
    if (::ioctl(fd, TCGETS2, &old) != 0) return errno;
    termios2 t = old;
    // Raw input: no line editing, signals, echo or translation. XON/XOFF bytes pass through as
    // data unless output flow on them is asked for: the kernel then acts on them even while its
    // input buffer is full. Errors and breaks are marked in-band.
    t.c_iflag = (s.MarkErrors ? INPCK | PARMRK : 0) | (s.XonXoffOutput ? IXON : 0);
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CREAD | CLOCAL | HUPCL | SizeFlag(s.ByteSize) | BOTHER | (BOTHER << IBSHIFT);
    if (s.Parity != 0) {
        t.c_cflag |= PARENB;
        if (s.Parity == 1) t.c_cflag |= PARODD;
        if (s.Parity == 3) t.c_cflag |= PARODD | CMSPAR; // mark: the parity bit is always 1
        if (s.Parity == 4) t.c_cflag |= CMSPAR;          // space: always 0
    }
    // With five data bits the UART turns CSTOPB into 1.5 stop bits.
    if (s.StopBits != 0) t.c_cflag |= CSTOPB;
    if (s.HardwareFlow) t.c_cflag |= CRTSCTS;
    t.c_ispeed = s.BaudRate;
    t.c_ospeed = s.BaudRate;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    t.c_cc[VSTART] = s.XonChar;
    t.c_cc[VSTOP] = s.XoffChar;
    if (::ioctl(fd, TCSETS2, &t) != 0) {
        int err = errno;
        ::ioctl(fd, TCSETS2, &old);
        return err;
    }
    termios2 now{};
    if (::ioctl(fd, TCGETS2, &now) != 0) return errno;
    uint64_t want = s.BaudRate, got = now.c_ospeed;
    uint64_t diff = want > got ? want - got : got - want;
    if (diff * 100 > want * 3) {
        ::ioctl(fd, TCSETS2, &old);
        return EINVAL;
    }
    return 0;
}

int TtyGetBaudRate(int fd, uint32_t* baud) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) return errno;
    *baud = t.c_ospeed;
    return 0;
}

int TtySetStopChar(int fd, BYTE c, BYTE* previous) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) return errno;
    *previous = t.c_cc[VSTOP];
    t.c_cc[VSTOP] = c;
    return ::ioctl(fd, TCSETS2, &t) != 0 ? errno : 0;
}
