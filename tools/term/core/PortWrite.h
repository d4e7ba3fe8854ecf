#pragma once

// What the file sender and the transfer relay share to write to a port from a thread of their own.

#include "cport/ComPort.h"
#include "platform/comm/WinComm.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

// About a tenth of a second of line time (10 bits a byte), so a cancel or a progress step is never
// far away, and large enough at high rates that the chunks cost nothing.
inline int LineChunk(const TCustomComPort& Port) {
    const int64_t Baud = Port.BaudRate() == brCustom ? Port.CustomBaudRate() : BaudRateValue(Port.BaudRate());
    return static_cast<int>(std::clamp<int64_t>(Baud / 100, 64, 32 * 1024));
}

// Writes Count bytes part after part as the port takes them; false when Cancel was set. A write
// time-out (the line held by flow control) is never the end: Pause waits a little (returning early
// on a cancel) and the write goes on. Written(N) hears of each part the port took.
template <class TPause, class TWritten>
bool WriteWhole(TCustomComPort& Port, const char* Data, int Count, const std::atomic<bool>& Cancel,
                TPause Pause, TWritten Written) {
    TAsyncGuard Async;
    int Done = 0;
    while (Done < Count) {
        if (Cancel.load()) return false;
        Port.WriteAsync(Data + Done, Count - Done, Async.P);
        // A Cancel between the check above and the start of this write purged before the write
        // was there to abort: abort it here.
        if (Cancel.load()) PurgeComm(Port.Handle(), PURGE_TXABORT | PURGE_TXCLEAR);
        const int Got = Port.WaitForAsync(Async.P);
        Done += Got;
        if (Got > 0)
            Written(Got);
        else
            Pause();
    }
    return true;
}
