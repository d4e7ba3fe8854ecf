// Event latency of the port: the far end sends one byte, the port's OnRxChar handler (smNone, on the
// event thread) reads it and answers with a 267-byte block, and the far end has the whole block.
// Measured over the in-process virtual device and over a pseudo-terminal; the pty figure is set
// against a bare-descriptor echo of the same exchange in the same run. Then the idle cost: an open
// port with all ten events and no traffic must not wake its threads at all.
//   bench_event_latency [iterations]

#include "cport/ComPort.h"
#include "platform/comm/VirtualDevice.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kBlock = 267;
constexpr double kTargetP50Us = 100.0;

struct TStats {
    double P50 = 0, P99 = 0;
};

TStats Summarise(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    if (us.empty()) return {};
    return {us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)]};
}

// The port side of every run: answer each received byte with one block, on the event thread.
void Answering(TComPort& Port) {
    Port.SetSyncMethod(smNone);
    Port.SetOnRxChar([&Port](TObject*, int Count) {
        char in[64];
        while (Count > 0) {
            const int n = Port.Read(in, std::min<int>(Count, sizeof in));
            if (n <= 0) break;
            Count -= n;
            static const std::string block(kBlock, 'B');
            for (int i = 0; i < n; ++i)
                Port.Write(block.data(), kBlock);
        }
    });
}

TStats VirtualRun(int Iterations) {
    auto dev = TVirtualDevice::Create("COM15");
    TComPort port(nullptr);
    port.SetPort("COM15");
    Answering(port);
    port.Open();
    std::vector<double> us;
    for (int i = 0; i < Iterations; ++i) {
        const auto t0 = Clock::now();
        dev->Deliver("!");
        if (!dev->WaitSent(kBlock, 5000)) {
            std::fprintf(stderr, "virtual: no answer\n");
            std::exit(1);
        }
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        dev->ReadSent();
    }
    port.Close();
    return Summarise(us);
}

void MakeRaw(int fd) {
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
}

// Reads exactly n bytes from fd (blocking through poll).
bool ReadExactly(int fd, int n) {
    char buf[512];
    while (n > 0) {
        pollfd pf{fd, POLLIN, 0};
        if (poll(&pf, 1, 5000) <= 0) return false;
        const ssize_t k = read(fd, buf, std::min<size_t>(sizeof buf, static_cast<size_t>(n)));
        if (k <= 0) return false;
        n -= static_cast<int>(k);
    }
    return true;
}

std::vector<double> PtyRoundTrips(int Master, int Iterations) {
    std::vector<double> us;
    for (int i = 0; i < Iterations; ++i) {
        const auto t0 = Clock::now();
        if (write(Master, "!", 1) != 1 || !ReadExactly(Master, kBlock)) {
            std::fprintf(stderr, "pty: no answer\n");
            std::exit(1);
        }
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    return us;
}

// The same exchange answered by a plain thread on the bare slave descriptor.
TStats PtyReference(int Iterations) {
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) std::exit(1);
    MakeRaw(master);
    MakeRaw(slave);
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        const std::string block(kBlock, 'B');
        char c;
        while (!stop) {
            pollfd pf{slave, POLLIN, 0};
            if (poll(&pf, 1, 100) <= 0) continue;
            if (read(slave, &c, 1) == 1)
                for (size_t off = 0; off < block.size();) {
                    const ssize_t k = write(slave, block.data() + off, block.size() - off);
                    if (k > 0) off += static_cast<size_t>(k);
                }
        }
    });
    auto us = PtyRoundTrips(master, Iterations);
    stop = true;
    echo.join();
    close(master);
    close(slave);
    return Summarise(us);
}

TStats PtyRun(int Iterations) {
    int master = -1, slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) std::exit(1);
    MakeRaw(master);
    setenv("CPORT_DEVICES", (std::string("COM14=") + name).c_str(), 1);
    TComPort port(nullptr);
    port.SetPort("COM14");
    Answering(port);
    port.Open();
    auto us = PtyRoundTrips(master, Iterations);
    port.Close();
    close(master);
    close(slave);
    return Summarise(us);
}

// Context switches (voluntary and not) of each thread of this process, by thread id.
std::map<int, long> Switches() {
    std::map<int, long> result;
    DIR* d = opendir("/proc/self/task");
    if (!d) return result;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/status");
        std::string line;
        long n = 0;
        while (std::getline(f, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                n += std::stol(line.substr(line.find(':') + 1));
        result[std::atoi(e->d_name)] = n;
    }
    closedir(d);
    return result;
}

// Wake-ups per second of the threads the open port added, over Seconds of silence.
double IdleWakeUps(TComPort& Port, double Seconds) {
    const auto before = Switches();
    Port.Open();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto start = Switches();
    std::set<int> added;
    for (const auto& [tid, n] : start)
        if (!before.count(tid)) added.insert(tid);
    std::this_thread::sleep_for(std::chrono::duration<double>(Seconds));
    const auto end = Switches();
    long total = 0;
    for (int tid : added)
        if (end.count(tid)) total += end.at(tid) - start.at(tid);
    Port.Close();
    std::printf("  (%zu threads added by the open port)\n", added.size());
    return double(total) / Seconds;
}

} // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
    std::printf("event latency: 1 byte in -> OnRxChar (smNone) -> Write %d bytes -> far end has them\n",
                kBlock);

    const TStats v = VirtualRun(iterations);
    std::printf("virtual device   p50 %8.1f us  p99 %8.1f us   p50/target %.2f\n", v.P50, v.P99,
                v.P50 / kTargetP50Us);
    const TStats ref = PtyReference(iterations);
    const TStats pty = PtyRun(iterations);
    std::printf("pty, bare echo   p50 %8.1f us  p99 %8.1f us   (reference)\n", ref.P50, ref.P99);
    std::printf("pty, port        p50 %8.1f us  p99 %8.1f us   p50/target %.2f  p50/reference %.2f\n",
                pty.P50, pty.P99, pty.P50 / kTargetP50Us, ref.P50 > 0 ? pty.P50 / ref.P50 : 0.0);

    std::printf("idle, all ten events, no traffic (target 0 wake-ups/s):\n");
    {
        auto dev = TVirtualDevice::Create("COM15");
        TComPort port(nullptr);
        port.SetPort("COM15");
        port.SetSyncMethod(smNone);
        std::printf("virtual device   %.1f wake-ups/s\n", IdleWakeUps(port, 2.0));
    }
    {
        int master = -1, slave = -1;
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return 1;
        setenv("CPORT_DEVICES", (std::string("COM14=") + name).c_str(), 1);
        TComPort port(nullptr);
        port.SetPort("COM14");
        port.SetSyncMethod(smNone);
        std::printf("pty              %.1f wake-ups/s\n", IdleWakeUps(port, 2.0));
        close(master);
        close(slave);
    }
    const bool ok = v.P50 < kTargetP50Us && pty.P50 < kTargetP50Us;
    std::printf("%s\n", ok ? "p50 targets met" : "p50 target missed");
    return 0;
}
