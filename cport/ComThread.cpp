#include "cport/ComThread.h"

#include "cport/ComPort.h"
#include "platform/toolkit/ShowException.h"

#include <algorithm>
#include <thread>
#include <utility>

namespace {

struct TEventBit {
    TComEvent Event;
    DWORD Mask;
};

constexpr TEventBit EventBits[] = {
    {evRxChar, EV_RXCHAR}, {evTxEmpty, EV_TXEMPTY},   {evRxFlag, EV_RXFLAG}, {evRing, EV_RING},
    {evBreak, EV_BREAK},   {evCTS, EV_CTS},           {evDSR, EV_DSR},       {evError, EV_ERR},
    {evRLSD, EV_RLSD},     {evRx80Full, EV_RX80FULL},
};

// A wait that keeps failing (a device in trouble) is retried after a pause that grows from the
// first to the last value, sleeping on the stop event so a close still ends the thread at once.
constexpr DWORD FirstBackOffMs = 10;
constexpr DWORD LastBackOffMs = 1000;

} // namespace

DWORD EventsToMask(TComEvents Events) {
    DWORD mask = 0;
    for (const TEventBit& b : EventBits)
        if (Events.Contains(b.Event)) mask |= b.Mask;
    return mask;
}

TComEvents MaskToEvents(DWORD Mask) {
    TComEvents events;
    for (const TEventBit& b : EventBits)
        if (Mask & b.Mask) events.Include(b.Event);
    return events;
}

TComThread::TComThread(TCustomComPort* AComPort) : TThread(true), FComPort(AComPort) {
    FStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (FStopEvent == nullptr)
        throw Exception(
            "Unable to create the event thread (win error code: " + std::to_string(GetLastError()) + ")");
    SetCommMask(FComPort->Handle(), EventsToMask(FComPort->Events()));
    Resume();
}

TComThread::~TComThread() {
    Stop();
    WaitFor();
    // Closed here rather than by the thread body: Stop may still be signalling it after a body
    // that ended on its own (device removed).
    CloseHandle(FStopEvent);
}

void TComThread::Stop() {
    SetEvent(FStopEvent);
    std::this_thread::yield();
}

void TComThread::Execute() {
    // The handle stays valid while the thread runs: Close destroys the thread before the handle.
    const HANDLE h = FComPort->Handle();
    OVERLAPPED ov{};
    DWORD mask = 0;
    ov.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (ov.hEvent == nullptr) {
        Keep(std::make_exception_ptr(Exception("The event thread cannot wait for events (win error code: " +
                                               std::to_string(GetLastError()) + ")")));
        ReportKept();
        return;
    }
    const HANDLE waitList[2] = {FStopEvent, ov.hEvent};
    // A wait is pending from its start until its completion has been collected; the platform
    // writes into ov and mask until then, so the body must not return before.
    bool pending = false;
    DWORD backOff = 0;
    DWORD removed = ERROR_SUCCESS;
    for (;;) {
        DWORD failure = ERROR_SUCCESS;
        if (WaitCommEvent(h, &mask, &ov) || GetLastError() == ERROR_IO_PENDING) {
            pending = true;
            const DWORD r = WaitForMultipleObjects(2, waitList, FALSE, INFINITE);
            if (r != WAIT_OBJECT_0 + 1) break;
            DWORD done = 0;
            pending = false;
            if (GetOverlappedResult(h, &ov, &done, FALSE)) {
                backOff = 0;
                FEvents = MaskToEvents(mask);
                try {
                    DispatchComMsg();
                } catch (...) {
                    Keep(std::current_exception());
                }
                ReportKept();
                continue;
            }
            failure = GetLastError();
        } else {
            failure = GetLastError();
        }
        if (failure == ERROR_DEVICE_NOT_CONNECTED || failure == ERROR_INVALID_HANDLE) {
            if (failure == ERROR_DEVICE_NOT_CONNECTED) removed = failure;
            break;
        }
        backOff = backOff == 0 ? FirstBackOffMs : std::min(backOff * 2, LastBackOffMs);
        if (WaitForSingleObject(FStopEvent, backOff) != WAIT_TIMEOUT) break;
    }
    SetCommMask(h, 0);
    if (pending) {
        // Clearing the mask ends the pending wait; collect it before ov and mask go away.
        DWORD done = 0;
        GetOverlappedResult(h, &ov, &done, TRUE);
    }
    PurgeComm(h, PURGE_TXCLEAR | PURGE_RXCLEAR);
    CloseHandle(ov.hEvent);
    // Not told when a close asked the thread to stop meanwhile: its owner is already on the way.
    if (removed != ERROR_SUCCESS && WaitForSingleObject(FStopEvent, 0) == WAIT_TIMEOUT) {
        DispatchRemoved(removed);
        ReportKept();
    }
}

void TComThread::Keep(std::exception_ptr E) {
    std::lock_guard lock(FErrorLock);
    FErrors.push_back(std::move(E));
}

void TComThread::ReportKept() {
    std::vector<std::exception_ptr> errors;
    {
        std::lock_guard lock(FErrorLock);
        errors.swap(FErrors);
    }
    // On the event thread ShowException only queues the display for the main thread.
    for (const std::exception_ptr& e : errors)
        ShowException(e);
}
