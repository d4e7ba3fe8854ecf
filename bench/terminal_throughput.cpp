// Bytes per second through the terminal's receive path (parser and screen, no window) on a mixed
// VT100 stream, and, when the reference library is installed, the same stream through its parser
// and screen in the same run. The target is at least the reference's rate.

#include "bench/TerminalStream.h"
#include "cportui/core/ComTerminalCore.h"

#include <benchmark/benchmark.h>

#ifdef TOLVANE_HAVE_VTERM
#include <vterm.h>
#endif

#include <algorithm>
#include <string>

namespace {

constexpr std::size_t Chunk = 4096; // a typical received block

void BM_Terminal(benchmark::State& State) {
    const std::string& Stream = MixedVt100Stream();
    TComTerminalCore T;
    for (auto _ : State) {
        for (std::size_t At = 0; At < Stream.size(); At += Chunk)
            T.RxBuf(nullptr, Stream.data() + At, static_cast<int>(std::min(Chunk, Stream.size() - At)));
        benchmark::DoNotOptimize(T.Buffer().GetChar(1, 1));
    }
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(Stream.size()));
}
BENCHMARK(BM_Terminal)->Unit(benchmark::kMillisecond);

#ifdef TOLVANE_HAVE_VTERM
void BM_Reference(benchmark::State& State) {
    const std::string& Stream = MixedVt100Stream();
    VTerm* Vt = vterm_new(24, 80);
    vterm_set_utf8(Vt, 0);
    VTermScreen* Screen = vterm_obtain_screen(Vt);
    vterm_screen_reset(Screen, 1);
    for (auto _ : State) {
        for (std::size_t At = 0; At < Stream.size(); At += Chunk)
            vterm_input_write(Vt, Stream.data() + At, std::min(Chunk, Stream.size() - At));
        VTermScreenCell Cell;
        vterm_screen_get_cell(Screen, VTermPos{0, 0}, &Cell);
        benchmark::DoNotOptimize(Cell);
    }
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations()) * static_cast<int64_t>(Stream.size()));
    vterm_free(Vt);
}
BENCHMARK(BM_Reference)->Unit(benchmark::kMillisecond);
#endif

} // namespace

BENCHMARK_MAIN();
