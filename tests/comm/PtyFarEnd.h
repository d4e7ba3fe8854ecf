#pragma once

// A pty pair: the port opens the slave by path, the test plays the far end on the master.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>

struct PtyPair {
    int Master = -1, Slave = -1;
    std::string Path;
    PtyPair() {
        char name[256];
        if (::openpty(&Master, &Slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
        Path = name;
        ::fcntl(Master, F_SETFL, ::fcntl(Master, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair() {
        CloseMaster();
        CloseSlave();
    }
    void CloseMaster() {
        if (Master >= 0) ::close(Master);
        Master = -1;
    }
    void CloseSlave() {
        if (Slave >= 0) ::close(Slave);
        Slave = -1;
    }
    void Send(const std::string& s) const {
        size_t off = 0;
        while (off < s.size()) {
            ssize_t n = ::write(Master, s.data() + off, s.size() - off);
            if (n > 0)
                off += static_cast<size_t>(n);
            else {
                pollfd p{Master, POLLOUT, 0};
                ::poll(&p, 1, 1000);
            }
        }
    }
    // Reads until want bytes have come or the far end stays silent for quietMs.
    std::string Receive(size_t want, int quietMs = 2000) const {
        std::string out;
        char buf[4096];
        while (out.size() < want) {
            pollfd p{Master, POLLIN, 0};
            if (::poll(&p, 1, quietMs) <= 0) break;
            ssize_t n = ::read(Master, buf, std::min(sizeof buf, want - out.size()));
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }
};

// Every byte value once, in order.
inline std::string AllBytes() {
    std::string s;
    for (int i = 0; i < 256; ++i)
        s += static_cast<char>(i);
    return s;
}

// Every byte value, in an order that does not repeat with any short period (flood data).
inline std::string FloodPattern(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 2463534242u;
    for (char& c : s) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

// Writes Data to the far end from its own thread as fast as the kernel takes it, and counts the
// times the kernel was full.
class TPtyFlood {
  public:
    TPtyFlood(int Fd, std::string Data) : FData(std::move(Data)) {
        FThread = std::thread([this, Fd] {
            for (size_t off = 0; off < FData.size();) {
                ssize_t n = ::write(Fd, FData.data() + off, std::min<size_t>(65536, FData.size() - off));
                if (n > 0) {
                    off += static_cast<size_t>(n);
                } else if (n < 0 && errno == EAGAIN) {
                    ++Full;
                    pollfd p{Fd, POLLOUT, 0};
                    ::poll(&p, 1, 1000);
                } else if (n < 0 && errno != EINTR) {
                    return;
                }
            }
        });
    }
    ~TPtyFlood() { FThread.join(); }
    const std::string& Data() const { return FData; }
    std::atomic<int> Full{0};

  private:
    std::string FData;
    std::thread FThread;
};
