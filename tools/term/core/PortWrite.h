#pragma once

// What the file sender and the transfer relay share to write to a port from a thread of their own.

#include "cport/ComPort.h"

#include <algorithm>
#include <cstdint>

// One overlapped write record for the life of a writer.
struct TAsyncRecord {
    PAsync P = nullptr;
    TAsyncRecord() { InitAsync(P); }
    ~TAsyncRecord() { DoneAsync(P); }
    TAsyncRecord(const TAsyncRecord&) = delete;
    TAsyncRecord& operator=(const TAsyncRecord&) = delete;
};

// About a tenth of a second of line time (10 bits a byte), so a cancel or a progress step is never
// far away, and large enough at high rates that the chunks cost nothing.
inline int LineChunk(const TCustomComPort& Port) {
    const int64_t Baud = Port.BaudRate() == brCustom ? Port.CustomBaudRate() : BaudRateValue(Port.BaudRate());
    return static_cast<int>(std::clamp<int64_t>(Baud / 100, 64, 32 * 1024));
}
