// Packet framer throughput per received byte, with a 1 KiB MaxBufferSize and a CR LF stop string:
//   Packets64In4KChunks:   64-byte packets arriving in 4 KiB chunks (many packets per chunk);
//   Packets1000In16Chunks: 1000-byte packets arriving in 16-byte chunks (most chunks complete
//                          nothing, so a chunk must cost only what it adds, not a rescan).
// The second should cost at most twice the first per byte; compare their bytes_per_second.

#include "cport/ComDataPacket.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

namespace {

class TFedPacket : public TComDataPacket {
  public:
    using TComDataPacket::TComDataPacket;
    void Feed(const char* Bytes, size_t Count) { RxBuf(nullptr, Bytes, static_cast<int>(Count)); }
};

// About 1 MiB of packets of PacketSize bytes each, the last two being CR LF.
std::string Stream(size_t PacketSize) {
    std::string out;
    const size_t packets = (1u << 20) / PacketSize;
    for (size_t p = 0; p < packets; ++p) {
        for (size_t i = 0; i + 2 < PacketSize; ++i)
            out += static_cast<char>('A' + (p * 7 + i) % 26);
        out += "\r\n";
    }
    return out;
}

void Frame(benchmark::State& State, size_t PacketSize, size_t ChunkSize) {
    const std::string stream = Stream(PacketSize);
    TFedPacket framer(nullptr);
    framer.SetStopString("\r\n");
    framer.SetMaxBufferSize(1024);
    size_t packets = 0, discards = 0, delivered = 0;
    framer.SetOnPacket([&](TObject*, const std::string& s) {
        ++packets;
        delivered += s.size();
    });
    framer.SetOnDiscard([&](TObject*, const std::string&) { ++discards; });
    for (auto _ : State) {
        for (size_t at = 0; at < stream.size(); at += ChunkSize)
            framer.Feed(stream.data() + at, std::min(ChunkSize, stream.size() - at));
        benchmark::DoNotOptimize(delivered);
    }
    if (discards != 0 || packets != State.iterations() * (stream.size() / PacketSize))
        State.SkipWithError("the framer lost or discarded packets");
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * stream.size()));
}

void Packets64In4KChunks(benchmark::State& State) {
    Frame(State, 64, 4096);
}
void Packets1000In16Chunks(benchmark::State& State) {
    Frame(State, 1000, 16);
}

} // namespace

BENCHMARK(Packets64In4KChunks)->Unit(benchmark::kMillisecond);
BENCHMARK(Packets1000In16Chunks)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
