#pragma once

// Plays a TDeviceSim on the master side of a pseudo-terminal, so a tool opens a real kernel tty.
// Single-threaded: one poll loop reads the line, times the end-command silence, paces the
// answers and writes them. Stop() may be called from a signal handler or another thread.

#include "tools/devsim/DeviceSim.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace devsim {

struct TPtyOptions {
    TDeviceOptions Device;
    std::string Link;          // symlink to the slave side; empty: none
    std::string Output;        // flash contents written here after each job; empty: none
    uint32_t Baud = 38400;     // line rate for the silence rule and for pacing
    bool Pace = false;         // no faster than the wire at Baud, 10 bits a byte
    uint32_t BlockDelayMs = 0; // programming time before the answer to a block
    long Jobs = -1;            // exit after this many jobs (-1: run until stopped)
};

class TPtyDevice {
  public:
    explicit TPtyDevice(TPtyOptions options);
    ~TPtyDevice();
    TPtyDevice(const TPtyDevice&) = delete;
    TPtyDevice& operator=(const TPtyDevice&) = delete;

    // Creates the pty and the link; throws std::runtime_error with the system's reason.
    void Open();
    const std::string& SlavePath() const { return FSlave; }
    // Runs until Stop() or the job count is reached; onJob is called once per finished job.
    void Run(const std::function<void(const TJobReport&)>& onJob);
    void Stop();

    // Why the flash contents could not be written to path after a job (a directory, a folder
    // that does not exist or cannot be written), or the empty text when they can.
    static std::string OutputProblem(const std::string& path);
    // The silence that completes an end command: 30 byte-times at the line rate, at least 20 ms.
    static int64_t SilenceMicros(uint32_t baud);
    static int64_t ByteMicros(uint32_t baud) { return (10'000'000LL + baud - 1) / baud; }
    // Time from each '!' written to the first byte of the answer read (µs); read after Run.
    const std::vector<int64_t>& Turnarounds() const { return FTurnarounds; }

  private:
    void WriteAll(const std::string& bytes);
    void Finish(const std::function<void(const TJobReport&)>& onJob, long& jobs);

    TPtyOptions FOptions;
    TDeviceSim FSim;
    int FMaster = -1;
    int FSlaveFd = -1;
    int FWake[2] = {-1, -1};
    std::string FSlave;
    std::atomic<bool> FStop{false};
    int64_t FTxFree = 0; // when the paced line is free to send the next byte (µs, monotonic)
    int64_t FRxFree = 0; // when the paced line has finished delivering what was read
    int64_t FBangAt = -1;
    std::vector<int64_t> FTurnarounds;
};

} // namespace devsim
