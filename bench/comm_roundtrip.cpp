// One turnaround of the flash protocol through the driver core over the virtual device: the far end
// sends one byte, the port's event wait completes, the port reads it and writes a 267-byte block,
// and the far end has the block. Reports p50/p99 in microseconds (the core's own share of the
// latency; a real line adds the tty's).

#include "platform/comm/VirtualDevice.h"
#include "platform/comm/WinComm.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(100, std::atoi(argv[1])) : 5000;
    auto device = TVirtualDevice::Create("bench_roundtrip");
    HANDLE port = CreateFileA("virtual:bench_roundtrip", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "open failed: %u\n", GetLastError());
        return 1;
    }
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 100, 1000};
    SetCommTimeouts(port, &t);
    SetCommMask(port, EV_RXCHAR);

    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // The event thread as the port object runs it: one wait, then read and answer on this thread.
    std::thread events([&] {
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        const HANDLE list[2] = {stop, ov.hEvent};
        const std::string block(267, 'B');
        for (;;) {
            DWORD mask = 0, n = 0;
            WaitCommEvent(port, &mask, &ov);
            if (WaitForMultipleObjects(2, list, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) break;
            if (!GetOverlappedResult(port, &ov, &n, FALSE) || !(mask & EV_RXCHAR)) continue;
            char in[16];
            ReadFile(port, in, sizeof in, &n, nullptr);
            if (n) WriteFile(port, block.data(), static_cast<DWORD>(block.size()), &n, nullptr);
        }
        SetCommMask(port, 0);
        DWORD n = 0;
        GetOverlappedResult(port, &ov, &n, TRUE);
        CloseHandle(ov.hEvent);
    });

    std::vector<double> us;
    us.reserve(rounds);
    for (int i = 0; i < rounds + 100; ++i) {
        const auto start = std::chrono::steady_clock::now();
        device->Deliver("!");
        if (!device->WaitSent(267, 5000)) {
            std::fprintf(stderr, "no answer in round %d\n", i);
            break;
        }
        const auto end = std::chrono::steady_clock::now();
        device->ReadSent();
        if (i >= 100) // warm-up rounds are not counted
            us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    SetEvent(stop);
    events.join();
    CloseHandle(stop);
    CloseHandle(port);
    if (us.empty()) return 1;
    std::sort(us.begin(), us.end());
    auto pct = [&](double p) { return us[std::min(us.size() - 1, static_cast<size_t>(p * us.size()))]; };
    std::printf("virtual turnaround over %zu rounds: p50 %.1f us, p99 %.1f us, max %.1f us\n", us.size(),
                pct(0.50), pct(0.99), us.back());
    return 0;
}
