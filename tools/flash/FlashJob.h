#pragma once

// One flash job of tolvane-flash: one port object set up as the main window's ComPort1, one engine,
// run to its end on the calling thread. The single-port run, the parallel run and watch mode all
// run their jobs through here; several jobs may run at once on different threads, each with its own
// port and engine.

#include "app/engine/FlashEngine.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

enum TExit {
    exOk = 0,
    exUsage = 1,
    exImage = 2,
    exPort = 3,
    exNoReply = 4,
    exResends = 5,
    exInterrupted = 130
};

// The worse of two results by the order a run reports them: interrupted, port, no reply, resends,
// image; success last.
TExit WorseExit(TExit a, TExit b);

struct TJobSpec {
    std::string Port;   // "COM3": the port name the port object opens (mapped to Device)
    std::string Where;  // how lines name the place ("/dev/ttyUSB0" or "COM3 (/dev/ttyUSB0)")
    std::string Config; // settings file, section ComPort1 (already checked by the caller)
    std::optional<uint32_t> Baud;
    double Timeout = 10; // seconds without the job going forward; 0 = never
    long MaxResends = 50;
    std::string Image;
    int OpenRetryMs = 0; // a busy device or an I/O error at open is tried again for this long
};

struct TJobResult {
    TExit Code = exOk;
    std::string Message; // the last line: "written: …" or "failed: …"
    TFlashState Last;
    uint32_t Rate = 0;
    double Seconds = 0;
};

// What a job tells while it runs; called on the job's thread.
class TJobObserver {
  public:
    virtual ~TJobObserver() = default;
    // The port is open and the job about to start.
    virtual void Started(const TJobSpec& Spec, uint32_t ImageSize, uint32_t Rate) = 0;
    virtual void Notice(const TFlashNotice& Notice) = 0;
};

// Runs one job to its end. Stop (a signal number, 0 while none) ends it as interrupted.
TJobResult RunFlashJob(const TJobSpec& Spec, TJobObserver& Observer, const std::atomic<int>& Stop);

// "written: 300000 bytes in 1124 blocks, 2 CRC errors, 0 verify errors"
std::string WrittenText(uint32_t Size, const TFlashState& Last);
