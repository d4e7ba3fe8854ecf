// 4 MiB of mixed VT100 output through a virtual device into a shown terminal (offscreen): MB/s,
// paint events and pixels scrolled. Painting is coalesced, so paint events are bounded by the
// event loop's turns, not by the bytes. The target is at least a third of the headless rate
// (bench_terminal_throughput). The everyday setting of tolvane-term (10000 rows of scrollback and
// UTF-8 decoding) runs beside the default one; the target for it is at least 0.8 of the rate
// without them.

#include "bench/TerminalStream.h"
#include "cport/ComPort.h"
#include "cportui/ComTerminal.h"
#include "platform/comm/VirtualDevice.h"
#include "bench/QtBenchMain.h"
#include "platform/toolkit/qt/ToolkitQt.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QTest>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

void BM_ShownTerminal(benchmark::State& State, bool DoubleBuffered, bool Everyday = false) {
    const std::string& Stream = MixedVt100Stream();
    auto Dev = TVirtualDevice::Create("COM16");
    TComPort Port(nullptr);
    Port.SetPort("COM16");
    Port.SetSyncMethod(smNone); // blocks reach the GUI thread through the terminal's hand-off
    Port.Buffer().SetInputSize(1 << 20);
    Port.Open();
    TComTerminal T(nullptr);
    T.SetDoubleBuffered(DoubleBuffered);
    if (Everyday) {
        T.SetScrollbackRows(10000);
        T.SetUtf8(true);
    }
    T.resize(800, 500);
    T.show();
    (void)QTest::qWaitForWindowExposed(&T);
    std::atomic<std::size_t> Consumed{0};
    T.SetOnStrRecieved([&](TObject*, std::string& Str) { Consumed += Str.size(); });
    int Turns = 0;
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake,
                     [&] { ++Turns; });
    T.SetComPort(&Port);
    for (auto _ : State) {
        Consumed = 0;
        const int Paints0 = T.PaintCount(), Turns0 = Turns;
        const int64_t Scrolled0 = T.ScrolledPixels();
        // The far end writes in 4 KiB pieces, never more than 256 KiB ahead of the screen, so the
        // device's input queue never overflows.
        std::thread Far([&] {
            for (std::size_t At = 0; At < Stream.size(); At += 4096) {
                while (At - Consumed.load() > (256u << 10))
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                Dev->Deliver(std::string_view(Stream).substr(At, 4096));
            }
        });
        while (Consumed.load() < Stream.size())
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        Far.join();
        QApplication::processEvents();
        State.counters["paints"] = T.PaintCount() - Paints0;
        State.counters["loop_turns"] = Turns - Turns0;
        State.counters["scrolled_Mpx"] = static_cast<double>(T.ScrolledPixels() - Scrolled0) / 1e6;
    }
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(Stream.size()));
    T.SetComPort(nullptr);
    Port.Close();
}
BENCHMARK_CAPTURE(BM_ShownTerminal, pixel_scroll, false)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_ShownTerminal, double_buffered, true)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_ShownTerminal, pixel_scroll_scrollback_utf8, false, true)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    return RunQtBenchmarks(argc, argv);
}
