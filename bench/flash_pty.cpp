// End-to-end timing of one flash job over a pseudo-terminal: tolvane-flash (a separate process)
// against the simulated device running in this process.
//   bench_flash_pty                 unpaced: total time and per-block turnaround p50/p99
//   bench_flash_pty --paced RATE    paced at RATE bit/s (8N1): total time / wire time of the exchange
//   --size N                        image size (default 300000)

#include "tools/devsim/PtyDevice.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {
std::string FlashTool() {
    if (const char* b = std::getenv("TOLVANE_BUILD_DIR")) return std::string(b) + "/tools/tolvane-flash";
    return (std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "tools" /
            "tolvane-flash")
        .string();
}

int64_t Percentile(std::vector<int64_t> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}
} // namespace

int main(int argc, char** argv) {
    uint32_t rate = 0;
    std::size_t size = 300000;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--paced") && i + 1 < argc)
            rate = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        else if (!std::strcmp(argv[i], "--size") && i + 1 < argc)
            size = std::strtoul(argv[++i], nullptr, 10);
        else {
            std::fprintf(stderr, "usage: %s [--paced RATE] [--size N]\n", argv[0]);
            return 1;
        }
    }
    const std::string tool = FlashTool();
    if (access(tool.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "build tolvane-flash first (%s)\n", tool.c_str());
        return 1;
    }
    char tmpl[] = "/tmp/tolvane-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string dir = tmpl;
    const std::string image = dir + "/bench.flash";
    {
        std::string bytes(size, '\0');
        std::mt19937 gen(1);
        for (auto& c : bytes)
            c = static_cast<char>(gen());
        std::ofstream(image, std::ios::binary) << bytes;
    }

    devsim::TPtyOptions o;
    o.Jobs = 1;
    o.Pace = rate != 0;
    o.Baud = rate ? rate : 38400;
    devsim::TPtyDevice device(o);
    device.Open();
    bool ended = false;
    std::thread sim([&] { device.Run([&](const devsim::TJobReport& r) { ended = r.EndCommand; }); });

    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const std::string baud = std::to_string(o.Baud);
        execl(tool.c_str(), tool.c_str(), "-q", "-t", "30", "-p", device.SlavePath().c_str(), "-b",
              baud.c_str(), image.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    sim.join();
    std::filesystem::remove_all(dir);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0 || !ended) {
        std::fprintf(stderr, "the job failed (exit %d)\n", WIFEXITED(st) ? WEXITSTATUS(st) : -1);
        return 1;
    }

    const std::size_t blocks = size == 0 ? 1 : (std::min<std::size_t>(size, 300000) + 266) / 267;
    // start command, '>', '<', one '!' per block plus the last, the blocks, the end command
    const std::size_t wireBytes = 3 + 1 + 1 + (blocks + 1) + blocks * 267 + 4;
    const auto& t = device.Turnarounds();
    std::printf("image %zu bytes, %zu blocks, %zu bytes on the wire\n", size, blocks, wireBytes);
    std::printf("total %.3f s\n", total);
    std::printf("turnaround ('!' sent -> first block byte received): p50 %lld us, p99 %lld us, n %zu\n",
                static_cast<long long>(Percentile(t, 0.50)), static_cast<long long>(Percentile(t, 0.99)),
                t.size());
    if (rate) {
        const double wire = static_cast<double>(wireBytes) * 10.0 / rate;
        std::printf("paced at %u bit/s: wire time %.3f s, ratio %.4f (target <= 1.01)\n", rate, wire,
                    total / wire);
    }
    return 0;
}
