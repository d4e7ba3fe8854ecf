// No-loss flood: a pseudo-terminal's far end writes 16 MiB as fast as the kernel takes it into a
// port whose event handler reads what each event reports (smNone, as the command-line flasher and
// the terminal run their ports). Reports MB/s and the bytes lost, which must be 0, for a few input
// queue sizes; exits 1 when any byte is lost or out of order.
//   bench_rx_flood [MiB]

#include "cport/ComPort.h"
#include "tests/comm/PtyFarEnd.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <pty.h>
#include <string>
#include <thread>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

namespace {

struct TResult {
    double MBps;
    size_t Lost;
    bool InOrder;
    int WriterWaits;
};

TResult Flood(const std::string& data, int inputSize) {
    int master = -1, slave = -1;
    char name[256];
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        std::exit(1);
    }
    setenv("CPORT_DEVICES", (std::string("COM14=") + name).c_str(), 1);
    TComPort port(nullptr);
    port.SetPort("COM14");
    port.SetSyncMethod(smNone);
    port.Buffer().SetInputSize(inputSize);
    std::mutex lock;
    std::string got;
    got.reserve(data.size());
    std::atomic<size_t> count{0};
    port.SetOnRxChar([&](TObject*, int n) {
        std::string b(static_cast<size_t>(n), '\0');
        const int k = port.Read(b.data(), n);
        std::lock_guard g(lock);
        got.append(b.data(), static_cast<size_t>(k));
        count = got.size();
    });
    port.Open();
    const auto t0 = Clock::now();
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    auto far = std::make_unique<TPtyFlood>(master, data);
    // The far end stays open until everything is in (or nothing came for two seconds).
    size_t last = 0;
    auto quietSince = Clock::now();
    while (count.load() < data.size() && Clock::now() - quietSince < std::chrono::seconds(2)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (count.load() != last) last = count.load(), quietSince = Clock::now();
    }
    const auto t1 = Clock::now();
    const int waits = far->Full.load();
    far.reset();
    port.Close();
    ::close(master);
    ::close(slave);
    std::lock_guard g(lock);
    const double s = std::chrono::duration<double>(t1 - t0).count();
    return {static_cast<double>(got.size()) / 1e6 / s, data.size() - std::min(got.size(), data.size()),
            got == data, waits};
}

} // namespace

int main(int argc, char** argv) {
    const long mib = argc > 1 ? std::atol(argv[1]) : 16;
    if (mib <= 0) {
        std::fprintf(stderr, "usage: %s [MiB > 0]\n", argv[0]);
        return 2;
    }
    const std::string data = FloodPattern(static_cast<size_t>(mib) << 20);
    std::printf("no-loss flood over a pty, %ld MiB, OnRxChar reading Count (smNone)\n", mib);
    bool ok = true;
    for (int size : {1024, 16384, 65536}) {
        const TResult r = Flood(data, size);
        std::printf("  input queue %6d B: %8.1f MB/s  lost %zu bytes  %s  (writer waited %d times)\n", size,
                    r.MBps, r.Lost, r.InOrder ? "in order" : "CORRUPTED", r.WriterWaits);
        ok = ok && r.Lost == 0 && r.InOrder;
    }
    std::printf("  target: 0 bytes lost: %s\n", ok ? "met" : "MISSED");
    return ok ? 0 : 1;
}
