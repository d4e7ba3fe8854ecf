#pragma once

#include <cstdint>
#include <string>

// The machine's processor time from the aggregate "cpu" line of /proc/stat, in clock ticks since
// boot. Plain C++: no Qt.
struct TCpuTimes {
    uint64_t User = 0, Nice = 0, System = 0, Idle = 0, IoWait = 0, Irq = 0, SoftIrq = 0, Steal = 0;
};

// Reads the aggregate line from the text of /proc/stat. False, with the reason in Error, for text
// that does not start with it or holds a field that is not a number.
bool ParseProcStat(const std::string& Text, TCpuTimes& Times, std::string& Error);

// Share of the time between two readings, in tenths of a per cent (0..1000): time spent in the
// kernel (system, interrupts), and all time not idle (kernel included).
struct TCpuLoad {
    int32_t Kernel = 0, Busy = 0;
};
// False when a counter went backwards (the readings do not belong together); no time passed
// counts as no load.
bool LoadBetween(const TCpuTimes& Before, const TCpuTimes& After, TCpuLoad& Load);

// Reads Path (normally /proc/stat) on each call and reports the load since the previous call.
class TCpuLoadReader {
  public:
    explicit TCpuLoadReader(std::string Path = "/proc/stat") : FPath(std::move(Path)) {}
    // The first successful call only takes the starting reading: false with an empty Error.
    bool Sample(TCpuLoad& Load, std::string& Error);

  private:
    std::string FPath;
    TCpuTimes FLast;
    bool FHaveLast = false;
};
