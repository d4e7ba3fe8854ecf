#include "tools/gallery/CpuLoad.h"

#include <charconv>
#include <fstream>

bool ParseProcStat(const std::string& Text, TCpuTimes& Times, std::string& Error) {
    std::string line = Text.substr(0, Text.find('\n'));
    if (line.compare(0, 4, "cpu ") != 0) {
        Error = "the first line of /proc/stat is not the processor total";
        return false;
    }
    uint64_t* fields[] = {&Times.User,   &Times.Nice, &Times.System,  &Times.Idle,
                          &Times.IoWait, &Times.Irq,  &Times.SoftIrq, &Times.Steal};
    Times = TCpuTimes{};
    const char* p = line.data() + 4;
    const char* end = line.data() + line.size();
    size_t read = 0;
    // Older kernels give fewer columns and newer ones more (guest time, already inside user).
    for (uint64_t* f : fields) {
        while (p < end && *p == ' ')
            ++p;
        if (p == end) break;
        auto [next, ec] = std::from_chars(p, end, *f);
        if (ec != std::errc() || (next < end && *next != ' ')) {
            Error = "a processor time in /proc/stat is not a number: " + line;
            return false;
        }
        p = next;
        ++read;
    }
    if (read < 4) {
        Error = "the processor total in /proc/stat has fewer than four columns: " + line;
        return false;
    }
    return true;
}

bool LoadBetween(const TCpuTimes& Before, const TCpuTimes& After, TCpuLoad& Load) {
    const uint64_t TCpuTimes::*fields[] = {&TCpuTimes::User,    &TCpuTimes::Nice,   &TCpuTimes::System,
                                           &TCpuTimes::Idle,    &TCpuTimes::IoWait, &TCpuTimes::Irq,
                                           &TCpuTimes::SoftIrq, &TCpuTimes::Steal};
    uint64_t total = 0;
    for (auto f : fields) {
        uint64_t d = After.*f - Before.*f;
        // Counters that went backwards, or a sum past 64 bits: not two readings of one machine.
        if (After.*f < Before.*f || total + d < total) return false;
        total += d;
    }
    if (total == 0) {
        Load = TCpuLoad{};
        return true;
    }
    // Each part is at most the total, so these sums cannot overflow; the ratios are taken in floating
    // point because part × 1000 could.
    uint64_t idle = (After.Idle - Before.Idle) + (After.IoWait - Before.IoWait);
    uint64_t kernel =
        (After.System - Before.System) + (After.Irq - Before.Irq) + (After.SoftIrq - Before.SoftIrq);
    auto perMille = [&](uint64_t Part) {
        return static_cast<int32_t>(static_cast<long double>(Part) * 1000 / static_cast<long double>(total));
    };
    Load.Busy = perMille(total - idle);
    Load.Kernel = perMille(kernel);
    return true;
}

bool TCpuLoadReader::Sample(TCpuLoad& Load, std::string& Error) {
    Error.clear();
    std::ifstream in(FPath);
    std::string line;
    if (!in || !std::getline(in, line)) {
        Error = "cannot read " + FPath;
        return false;
    }
    TCpuTimes now;
    if (!ParseProcStat(line, now, Error)) return false;
    bool had = FHaveLast;
    TCpuTimes before = FLast;
    FLast = now;
    FHaveLast = true;
    if (!had) return false;
    if (!LoadBetween(before, now, Load)) {
        Error = "the processor times in " + FPath + " went backwards";
        return false;
    }
    return true;
}
