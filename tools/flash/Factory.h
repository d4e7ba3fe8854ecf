#pragma once

// Factory use of tolvane-flash: one image into several ports at once, and watch mode, which
// flashes every serial device as it is plugged in.

#include "tools/flash/Output.h"

#include <atomic>
#include <optional>
#include <string>
#include <vector>

struct TOptions {
    std::vector<std::string> Ports; // -p, each COMn or a device path
    std::optional<uint32_t> Baud;
    std::string Config = "./port.cfg";
    double Timeout = 10;
    long MaxResends = 50;
    bool Json = false;
    bool Quiet = false;
    std::string Image;
    bool Watch = false;
    std::string Match;   // --match GLOB; empty: every serial device
    int SettleMs = 500;  // --settle
    bool IncludePresent = false;
    std::string LogFile; // --log
};

// SIGINT/SIGTERM seen (the signal number), for every job of the run.
extern std::atomic<int> gSignal;

// The port name and device each -p entry gets: COMn as mapped, a device path under a COMn of its
// own (the user's other mappings stay). Raises Exception for more than 16 ports or one given twice;
// installs the run's device map.
struct TPortChoice {
    std::string Port, Device;
};
std::vector<TPortChoice> ChoosePorts(const std::vector<std::string>& Given);

// Both return the run's exit code.
int RunParallel(const TOptions& Options, TJobLog& Log);
int RunWatch(const TOptions& Options, TJobLog& Log);

// Wakes a watch-mode wait from a signal handler.
void WakeWatch();
