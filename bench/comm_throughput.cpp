// Bulk transfer through the driver core over the in-process virtual device: how many bytes a second
// the receive queue and the transmit path move (target: at least 50 MB/s each way).

#include "platform/comm/VirtualDevice.h"
#include "platform/comm/WinComm.h"

#include <benchmark/benchmark.h>

#include <string>
#include <thread>

namespace {

struct TBenchPort {
    std::shared_ptr<TVirtualDevice> Device;
    HANDLE Port = INVALID_HANDLE_VALUE;

    explicit TBenchPort(const char* name) : Device(TVirtualDevice::Create(name)) {
        Port = CreateFileA((std::string("virtual:") + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        SetupComm(Port, 1 << 20, 1 << 20);
        COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
        SetCommTimeouts(Port, &t);
    }
    ~TBenchPort() { CloseHandle(Port); }
};

// Far end delivers a chunk, the port reads it back out of its queue.
void BM_Receive(benchmark::State& state) {
    TBenchPort p("bench_rx");
    const size_t chunk = static_cast<size_t>(state.range(0));
    std::string data(chunk, 'r');
    std::string buf(chunk, '\0');
    for (auto _ : state) {
        p.Device->Deliver(data);
        DWORD n = 0;
        ReadFile(p.Port, buf.data(), static_cast<DWORD>(chunk), &n, nullptr);
        if (n != chunk) {
            state.SkipWithError("short read");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * chunk));
}
BENCHMARK(BM_Receive)->Arg(256)->Arg(4096)->Arg(65536)->UseRealTime();

// A reader on another thread while the far end delivers: the pending-read path (bytes go straight
// into the waiting buffer).
void BM_ReceivePendingRead(benchmark::State& state) {
    TBenchPort p("bench_rx_pending");
    COMMTIMEOUTS t{0, 0, 0, 0, 0};
    SetCommTimeouts(p.Port, &t);
    const size_t chunk = static_cast<size_t>(state.range(0));
    std::string data(chunk, 'p');
    std::string buf(chunk, '\0');
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (auto _ : state) {
        DWORD n = 0;
        ReadFile(p.Port, buf.data(), static_cast<DWORD>(chunk), &n, &ov);
        p.Device->Deliver(data);
        GetOverlappedResult(p.Port, &ov, &n, TRUE);
        if (n != chunk) {
            state.SkipWithError("short read");
            break;
        }
    }
    CloseHandle(ov.hEvent);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * chunk));
}
BENCHMARK(BM_ReceivePendingRead)->Arg(4096)->Arg(65536)->UseRealTime();

// The port writes, the device's transmit thread moves the bytes to the far end, which collects them.
void BM_Transmit(benchmark::State& state) {
    TBenchPort p("bench_tx");
    const size_t chunk = static_cast<size_t>(state.range(0));
    std::string data(chunk, 't');
    size_t collected = 0;
    for (auto _ : state) {
        DWORD n = 0;
        WriteFile(p.Port, data.data(), static_cast<DWORD>(chunk), &n, nullptr);
        collected += p.Device->ReadSent().size();
    }
    p.Device->WaitSent(0, 0);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * chunk));
    benchmark::DoNotOptimize(collected);
}
BENCHMARK(BM_Transmit)->Arg(4096)->Arg(65536)->Arg(1 << 20)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
