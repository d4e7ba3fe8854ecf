// The terminal's receive side without a window: how many bytes a second the escape parsers
// classify on a mixed stream (text with attribute changes, cursor moves and erases, about a tenth
// escape bytes), and how many one-row scrolls a second the screen buffer makes on a full grid.
// Throughput is also given as a multiple of a 3 Mbit/s line (300000 bytes a second with 8N1),
// the fastest rate the port selectors offer: above 1 the parser keeps up with any line.

#include "cportui/core/CPortEsc.h"
#include "cportui/core/ComTermBuffer.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <type_traits>

namespace {

constexpr double LineBytesPerSecond = 300000.0;

// Deterministic lines of text between sequences, like a device's status screen.
std::string MixedStream(bool VT52, std::size_t Size) {
    const std::string E = "\x1b";
    const char* Words[] = {"pressure ", "ok ",      "temperature ", "21.5 ",
                           "flow ",     "reading ", "channel ",     "idle "};
    std::string S;
    for (unsigned Line = 0; S.size() < Size; ++Line) {
        if (VT52) {
            S += E + "Y" + static_cast<char>(32 + Line % 24) + static_cast<char>(32 + Line % 7);
        } else {
            S += E + "[" + std::to_string(1 + Line % 24) + ";" + std::to_string(1 + Line % 7) + "H";
            if (Line % 3 == 0) S += E + "[1;7m";
            if (Line % 3 == 1) S += E + "[0m";
        }
        if (VT52 || Line % 2 == 0) S += VT52 ? E + "K" : E + "[K";
        for (unsigned W = 0; W < (VT52 ? 11u : 14u); ++W)
            S += Words[(Line * 7 + W * 3) % 8];
        S += "\r\n";
        if (Line % 48 == 47) S += VT52 ? E + "H" + E + "J" : E + "[2J";
    }
    return S;
}

double EscapeShare(const std::string& S, bool VT52) {
    // Counts the bytes inside sequences with the parser itself, so the share is what it sees.
    std::size_t Taken = 0;
    TEscapeCodesVT52 P52;
    TEscapeCodesVT100 P100;
    TEscapeCodes& P = VT52 ? static_cast<TEscapeCodes&>(P52) : P100;
    for (char Ch : S)
        if (P.ProcessChar(Ch) != erChar) ++Taken;
    return static_cast<double>(Taken) / static_cast<double>(S.size());
}

template <typename TParser> void BM_Parse(benchmark::State& State) {
    constexpr bool VT52 = std::is_same_v<TParser, TEscapeCodesVT52>;
    const std::string Stream = MixedStream(VT52, 1 << 20);
    TParser Parser;
    std::size_t Chars = 0, Codes = 0;
    for (auto _ : State) {
        for (char Ch : Stream) {
            switch (Parser.ProcessChar(Ch)) {
            case erChar:
                ++Chars;
                break;
            case erCode:
                ++Codes;
                Parser.Parameters().clear(); // as the terminal does after each code
                break;
            case erNothing:
                break;
            }
        }
        benchmark::DoNotOptimize(Chars);
        benchmark::DoNotOptimize(Codes);
    }
    double Bytes = static_cast<double>(State.iterations()) * static_cast<double>(Stream.size());
    State.SetBytesProcessed(static_cast<int64_t>(Bytes));
    State.counters["lineMultiple"] =
        benchmark::Counter(Bytes / LineBytesPerSecond, benchmark::Counter::kIsRate);
    State.counters["escShare"] = EscapeShare(Stream, VT52);
}
BENCHMARK(BM_Parse<TEscapeCodesVT100>)->Name("BM_ParseVT100")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Parse<TEscapeCodesVT52>)->Name("BM_ParseVT52")->Unit(benchmark::kMillisecond);

// A window that moves its pixels (not double-buffered) and does nothing else: only the buffer's
// own cost is measured.
class TQuietOwner : public TComTermBufferOwner {
  public:
    TQuietOwner(int Columns, int Rows) : FColumns(Columns), FRows(Rows) {}
    int Columns() const override { return FColumns; }
    int Rows() const override { return FRows; }
    int CharWidth() const override { return 8; }
    int CharHeight() const override { return 16; }
    int ClientWidth() const override { return FColumns * 8; }
    int ClientHeight() const override { return FRows * 16; }
    bool DoubleBuffered() const override { return false; }
    void Invalidate() override {}
    void InvalidatePortion(const TRect&) override {}
    void ScrollWindowPixels(int, int, const TRect&) override {}

  private:
    int FColumns, FRows;
};

void BM_Scroll(benchmark::State& State) {
    const int Columns = static_cast<int>(State.range(0)), Rows = static_cast<int>(State.range(1));
    TQuietOwner Owner(Columns, Rows);
    TComTermBuffer Buffer(&Owner);
    Buffer.Init();
    for (int Y = 1; Y <= Rows; ++Y)
        for (int X = 1; X <= Columns; ++X)
            Buffer.SetChar(X, Y, {static_cast<char>('A' + (X + Y) % 26), 0xFFFFFF, 0, false});
    bool Down = State.range(2) != 0;
    for (auto _ : State) {
        if (Down)
            Buffer.ScrollDown();
        else
            Buffer.ScrollUp();
        benchmark::ClobberMemory();
    }
    State.SetItemsProcessed(static_cast<int64_t>(State.iterations()));
    State.SetLabel(std::to_string(Columns) + "x" + std::to_string(Rows) + (Down ? " down" : " up"));
}
BENCHMARK(BM_Scroll)->Args({80, 24, 1})->Args({80, 24, 0})->Args({132, 100, 1})->Args({132, 100, 0});

} // namespace

BENCHMARK_MAIN();
