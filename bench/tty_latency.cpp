// Round-trip latency and bulk throughput of the communications layer over a pseudo-terminal.
// The reference for each figure is the same work done on the bare pty descriptors in the same
// run, so the ratio tells what the layer costs on this machine.
//   bench_tty_latency [iterations]
#include "platform/comm/WinComm.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kBlock = 267;

struct TPty {
    int Master = -1, Slave = -1;
    char Name[256] = {};
    TPty() {
        if (::openpty(&Master, &Slave, Name, nullptr, nullptr) != 0) {
            std::perror("openpty");
            std::exit(1);
        }
    }
    ~TPty() {
        ::close(Master);
        ::close(Slave);
    }
};

void WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t k = ::write(fd, p, n);
        if (k > 0) {
            p += k, n -= static_cast<size_t>(k);
        } else if (k < 0 && errno != EAGAIN && errno != EINTR) {
            std::perror("write");
            std::exit(1);
        } else {
            pollfd pf{fd, POLLOUT, 0};
            ::poll(&pf, 1, -1);
        }
    }
}

bool ReadAll(int fd, char* p, size_t n) {
    while (n > 0) {
        ssize_t k = ::read(fd, p, n);
        if (k > 0) {
            p += k, n -= static_cast<size_t>(k);
        } else if (k == 0 || (errno != EAGAIN && errno != EINTR)) {
            return false;
        } else {
            pollfd pf{fd, POLLIN, 0};
            ::poll(&pf, 1, -1);
        }
    }
    return true;
}

void MakeRaw(int fd) {
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
}

HANDLE OpenPort(const char* path) {
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "open %s failed: %u\n", path, GetLastError());
        std::exit(1);
    }
    DCB d{};
    GetCommState(h, &d);
    d.BaudRate = 115200;
    SetCommState(h, &d);
    SetupComm(h, 1 << 20, 1 << 20);
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(h, &t);
    return h;
}

struct TPercentiles {
    double P50, P99, Max;
};

TPercentiles Summarise(std::vector<double>& us) {
    std::sort(us.begin(), us.end());
    auto at = [&](double q) { return us[std::min(us.size() - 1, static_cast<size_t>(q * us.size()))]; };
    return {at(0.50), at(0.99), us.back()};
}

// The device side as the flash tool runs it: wait for a character event, read what came, answer
// with one block. Runs until the far end sends 'q'.
void PortSide(HANDLE h) {
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetCommMask(h, EV_RXCHAR);
    std::string block(kBlock, 'B');
    char in[64];
    for (;;) {
        OVERLAPPED ov{};
        ov.hEvent = ev;
        ResetEvent(ev);
        DWORD mask = 0, done = 0;
        if (!WaitCommEvent(h, &mask, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(h, &ov, &done, TRUE)) break;
        }
        OVERLAPPED rov{};
        rov.hEvent = ev;
        ResetEvent(ev);
        if (!ReadFile(h, in, sizeof in, &done, &rov)) {
            if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(h, &rov, &done, TRUE)) break;
        }
        if (done == 0) continue;
        if (in[done - 1] == 'q') break;
        OVERLAPPED wov{};
        wov.hEvent = ev;
        ResetEvent(ev);
        if (!WriteFile(h, block.data(), kBlock, &done, &wov)) {
            if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(h, &wov, &done, TRUE)) break;
        }
    }
    CloseHandle(ev);
}

// The same exchange on the bare slave descriptor.
void RawSide(int fd) {
    std::string block(kBlock, 'B');
    char in[64];
    for (;;) {
        pollfd pf{fd, POLLIN, 0};
        ::poll(&pf, 1, -1);
        ssize_t n = ::read(fd, in, sizeof in);
        if (n <= 0) continue;
        if (in[n - 1] == 'q') break;
        WriteAll(fd, block.data(), kBlock);
    }
}

std::vector<double> RoundTrips(int far, int iterations) {
    std::vector<double> us;
    char reply[kBlock];
    for (int i = 0; i < iterations + 200; ++i) {
        auto t0 = Clock::now();
        WriteAll(far, "!", 1);
        if (!ReadAll(far, reply, kBlock)) {
            std::fprintf(stderr, "far end lost the device\n");
            std::exit(1);
        }
        auto t1 = Clock::now();
        if (i >= 200) us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    WriteAll(far, "q", 1);
    return us;
}

double MBps(size_t bytes, Clock::duration d) {
    return static_cast<double>(bytes) / 1e6 / std::chrono::duration<double>(d).count();
}

// Far end → port: the far end writes as fast as the kernel takes it, the port reads in large
// overlapped reads. The receive path holds back what does not fit, so nothing is lost however far
// the reader falls behind.
double ThroughputIn(size_t total) {
    TPty pty;
    MakeRaw(pty.Slave);
    HANDLE h = OpenPort(pty.Name);
    std::thread far([&] {
        std::string chunk(65536, 'x');
        for (size_t sent = 0; sent < total;) {
            size_t n = std::min(chunk.size(), total - sent);
            WriteAll(pty.Master, chunk.data(), n);
            sent += n;
        }
    });
    std::vector<char> buf(1 << 16);
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    COMMTIMEOUTS t{0, 0, 5000, 0, 0}; // a stall ends the run instead of hanging it
    SetCommTimeouts(h, &t);
    auto t0 = Clock::now();
    size_t got = 0;
    while (got < total) {
        OVERLAPPED ov{};
        ov.hEvent = ev;
        ResetEvent(ev);
        DWORD done = 0;
        DWORD want = static_cast<DWORD>(std::min(buf.size(), total - got));
        if (!ReadFile(h, buf.data(), want, &done, &ov) &&
            (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(h, &ov, &done, TRUE))) {
            std::fprintf(stderr, "read failed: %u\n", GetLastError());
            std::exit(1);
        }
        got += done;
        if (done < want) break;
    }
    auto d2 = Clock::now() - t0;
    far.join();
    DWORD errors = 0;
    COMSTAT st{};
    ClearCommError(h, &errors, &st);
    CloseHandle(ev);
    CloseHandle(h);
    if (got < total || errors != 0) {
        std::fprintf(stderr, "far end -> port: %zu of %zu bytes arrived, error flags 0x%x\n", got, total,
                     errors);
        std::exit(1);
    }
    return MBps(total, d2);
}

// Port → far end: overlapped writes of 64 KiB.
double ThroughputOut(size_t total) {
    TPty pty;
    HANDLE h = OpenPort(pty.Name);
    ::fcntl(pty.Master, F_SETFL, ::fcntl(pty.Master, F_GETFL) | O_NONBLOCK);
    std::thread far([&] {
        std::vector<char> buf(1 << 16);
        for (size_t got = 0; got < total;) {
            size_t want = std::min(buf.size(), total - got);
            if (!ReadAll(pty.Master, buf.data(), want)) break;
            got += want;
        }
    });
    std::string chunk(65536, 'y');
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    auto t0 = Clock::now();
    for (size_t sent = 0; sent < total; sent += chunk.size()) {
        OVERLAPPED ov{};
        ov.hEvent = ev;
        ResetEvent(ev);
        DWORD done = 0;
        if (!WriteFile(h, chunk.data(), static_cast<DWORD>(chunk.size()), &done, &ov) &&
            (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(h, &ov, &done, TRUE))) {
            std::fprintf(stderr, "write failed: %u\n", GetLastError());
            std::exit(1);
        }
    }
    far.join();
    auto d = Clock::now() - t0;
    CloseHandle(ev);
    CloseHandle(h);
    return MBps(total, d);
}

double RawThroughputIn(size_t total) {
    TPty pty;
    MakeRaw(pty.Slave);
    std::thread far([&] {
        std::string chunk(65536, 'x');
        for (size_t sent = 0; sent < total; sent += chunk.size())
            WriteAll(pty.Master, chunk.data(), chunk.size());
    });
    std::vector<char> buf(1 << 16);
    auto t0 = Clock::now();
    for (size_t got = 0; got < total;) {
        ssize_t n = ::read(pty.Slave, buf.data(), buf.size());
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    auto d = Clock::now() - t0;
    far.join();
    return MBps(total, d);
}

} // namespace

int main(int argc, char** argv) {
    int iterations = argc > 1 ? std::atoi(argv[1]) : 5000;
    if (iterations <= 0) {
        std::fprintf(stderr, "usage: %s [iterations > 0]\n", argv[0]);
        return 2;
    }

    TPercentiles port{}, raw{};
    {
        TPty pty;
        HANDLE h = OpenPort(pty.Name);
        ::fcntl(pty.Master, F_SETFL, ::fcntl(pty.Master, F_GETFL) | O_NONBLOCK);
        std::thread side(PortSide, h);
        auto us = RoundTrips(pty.Master, iterations);
        side.join();
        CloseHandle(h);
        port = Summarise(us);
    }
    {
        TPty pty;
        MakeRaw(pty.Slave);
        ::fcntl(pty.Master, F_SETFL, ::fcntl(pty.Master, F_GETFL) | O_NONBLOCK);
        std::thread side(RawSide, pty.Slave);
        auto us = RoundTrips(pty.Master, iterations);
        side.join();
        raw = Summarise(us);
    }
    std::printf("round trip (1 byte in, event, read, %zu bytes out), %d iterations\n", kBlock, iterations);
    std::printf("  port:     p50 %8.1f us  p99 %8.1f us  max %8.1f us\n", port.P50, port.P99, port.Max);
    std::printf("  bare pty: p50 %8.1f us  p99 %8.1f us  max %8.1f us\n", raw.P50, raw.P99, raw.Max);
    std::printf("  targets p50 < 100 us: %s, p99 < 1000 us: %s\n", port.P50 < 100 ? "met" : "MISSED",
                port.P99 < 1000 ? "met" : "MISSED");

    const size_t total = size_t(256) << 20;
    double in = ThroughputIn(total), out = ThroughputOut(total), rawIn = RawThroughputIn(total);
    std::printf("bulk throughput over a pty, %zu MiB each way\n", total >> 20);
    std::printf("  far end -> port: %8.1f MB/s  (bare pty %8.1f MB/s, ratio %.2f)\n", in, rawIn, in / rawIn);
    std::printf("  port -> far end: %8.1f MB/s\n", out);
    std::printf("  target >= 50 MB/s: %s\n", in >= 50 && out >= 50 ? "met" : "MISSED");
    return 0;
}
