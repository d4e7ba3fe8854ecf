#include "tools/flash/TtyLine.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {
std::string Reason(int err) {
    return std::strerror(err);
}
} // namespace

TTtyLine::~TTtyLine() {
    Close();
}

void TTtyLine::Open(const std::string& path, uint32_t baud) {
    FPath = path;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw Exception("Unable to open com port " + path + ": " + Reason(errno));
    auto fail = [&](const std::string& what) {
        const int err = errno;
        ::close(fd);
        throw Exception(what + " " + path + ": " + Reason(err));
    };
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) fail("Port in use:");
    termios t{};
    if (::tcgetattr(fd, &t) != 0) fail("Not a serial port:");
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &t) != 0) fail("Unable to configure com port");
    if (!SetTtySpeed(fd, baud)) fail("Unable to set the bit rate " + std::to_string(baud) + " on");
    ::ioctl(fd, TIOCEXCL); // best effort: keeps a second opener away
    if (::pipe2(FWake, O_CLOEXEC | O_NONBLOCK) != 0) fail("Unable to create a pipe for");
    FFd = fd;
}

void TTtyLine::Start(std::function<void(int)> onRx, std::function<void(const std::string&)> onGone) {
    FOnRx = std::move(onRx);
    FOnGone = std::move(onGone);
    FReader = std::thread([this] { ReaderLoop(); });
}

void TTtyLine::Close() {
    if (FReader.joinable()) {
        const char c = 0;
        [[maybe_unused]] ssize_t n = ::write(FWake[1], &c, 1);
        FReader.join();
    }
    // Exclusive mode outlives our descriptor while another one (a simulator's) holds the tty.
    if (FFd >= 0) ::ioctl(FFd, TIOCNXCL);
    for (int* fd : {&FFd, &FWake[0], &FWake[1]}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

// Reader thread: sleeps in one poll until bytes wait, the device goes away or Close wakes it.
void TTtyLine::ReaderLoop() {
    bool idle = false; // the handler left the bytes waiting (no job): wait without POLLIN
    for (;;) {
        pollfd fds[2] = {{FFd, static_cast<short>(idle ? 0 : POLLIN), 0}, {FWake[0], POLLIN, 0}};
        const int rc = ::poll(fds, 2, idle ? 20 : -1);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0 || fds[1].revents) return;
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            if (FOnGone) FOnGone("The device " + FPath + " is gone (hang-up)");
            return;
        }
        int count = 0;
        if (::ioctl(FFd, FIONREAD, &count) != 0) {
            if (FOnGone) FOnGone("The device " + FPath + " is gone: " + Reason(errno));
            return;
        }
        if (count < 1) {
            idle = false;
            continue;
        }
        if (FOnRx) FOnRx(count);
        int after = 0;
        idle = ::ioctl(FFd, FIONREAD, &after) == 0 && after >= count;
    }
}

void TTtyLine::ClearBuffer(bool Input, bool Output) {
    const int which = Input && Output ? TCIOFLUSH : Input ? TCIFLUSH : TCOFLUSH;
    if ((Input || Output) && ::tcflush(FFd, which) != 0)
        throw Exception("Clear buffer error on " + FPath + ": " + Reason(errno));
}

int TTtyLine::Write(const void* Buffer, int Count) {
    const char* p = static_cast<const char*>(Buffer);
    int done = 0;
    while (done < Count) {
        const ssize_t n = ::write(FFd, p + done, static_cast<std::size_t>(Count - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd pf{FFd, POLLOUT, 0};
            if (::poll(&pf, 1, 5000) == 0)
                throw Exception("Write error on " + FPath + ": the device takes no data");
            if (pf.revents & (POLLHUP | POLLERR))
                throw Exception("Write error on " + FPath + ": the device is gone");
            continue;
        }
        throw Exception("Write error on " + FPath + ": " + Reason(n < 0 ? errno : EIO));
    }
    return done;
}

int TTtyLine::Read(void* Buffer, int Count) {
    for (;;) {
        const ssize_t n = ::read(FFd, Buffer, static_cast<std::size_t>(Count));
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return 0;
        throw Exception("Read error on " + FPath + ": " + Reason(errno));
    }
}
