#pragma once

// The driver core: one open communications device behind a HANDLE. It owns the receive queue, the
// queue of pending writes, the event engine and the timeouts, and drives a TLineBackend.
//
// Threads: API calls come from any thread; backend upcalls from the backend's threads; one timer
// thread per port completes reads and writes whose deadline passes (it sleeps without a time
// limit while no deadline is set). All state is guarded by one mutex; completion events are set
// while it is held so a stale completion can never signal an operation that reuses an OVERLAPPED.

#include "platform/comm/Handles.h"
#include "platform/comm/LineBackend.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TCommPort : public TKernelObject, private TLineSink {
  public:
    explicit TCommPort(std::unique_ptr<TLineBackend> backend);
    ~TCommPort() override;

    // Starts the backend and the timer thread; ERROR_SUCCESS or the backend's error.
    DWORD Start();
    void HandleClosed() override;

    // Each returns ERROR_SUCCESS or the error to report; the API layer turns that into BOOL.
    DWORD SetupComm(DWORD inQueue, DWORD outQueue);
    DWORD GetCommState(DCB* dcb);
    DWORD SetCommState(const DCB& dcb);
    DWORD GetCommTimeouts(COMMTIMEOUTS* t);
    DWORD SetCommTimeouts(const COMMTIMEOUTS& t);
    DWORD GetCommMask(DWORD* mask);
    DWORD SetCommMask(DWORD mask);
    DWORD WaitCommEvent(DWORD* mask, OVERLAPPED* ov);
    DWORD ReadFile(void* buf, DWORD count, DWORD* done, OVERLAPPED* ov);
    DWORD WriteFile(const void* buf, DWORD count, DWORD* done, OVERLAPPED* ov);
    DWORD GetOverlappedResult(OVERLAPPED* ov, DWORD* done, bool wait);
    DWORD PurgeComm(DWORD flags);
    DWORD ClearCommError(DWORD* errors, COMSTAT* stat);
    DWORD GetCommModemStatus(DWORD* status);
    DWORD EscapeCommFunction(DWORD func);
    DWORD TransmitCommChar(char c);

    // Checks a DCB the way SetCommState does (exposed for tests of the rules).
    static bool ValidDcb(const DCB& dcb);

    // Times the timer thread has woken (idle ports must not wake).
    unsigned long TimerWakeups() const;

  private:
    using TClock = std::chrono::steady_clock;
    static constexpr uintptr_t kPending = 0x103;

    struct TRequest {
        OVERLAPPED* Ov;
        BYTE* Data;     // read target / write source
        DWORD Count;    // requested
        DWORD Done = 0; // transferred so far
        bool Started = false;
        bool HasTotal = false;
        bool HasInterval = false;
        bool FirstByteReturns = false; // the "any byte, or time out" read rule
        TClock::time_point Total{};
        TClock::time_point Interval{};
        TClock::duration IntervalLength{};
    };

    // TLineSink (backend threads).
    size_t OnReceive(const BYTE* data, size_t n, uint64_t epoch) override;
    bool OnLineError(DWORD flags, int byte, uint64_t epoch) override;
    void OnModemLines(DWORD status) override;
    void OnTxSpace() override;
    void OnTxEmpty() override;
    void OnDeviceGone(DWORD code) override;

    // All below run with FMutex held.
    DWORD Usable() const;
    void Complete(OVERLAPPED* ov, DWORD status, DWORD count);
    void RaiseEvents(DWORD ev);
    void CompleteWait(DWORD mask);
    void AbortAll(DWORD status, bool reads, bool writes, bool wait);
    // Each takes what fits and returns how many of the bytes it consumed.
    size_t AddToQueue(const BYTE* p, size_t n);
    size_t Absorb(const BYTE* p, size_t n);
    size_t Incoming(const BYTE* p, size_t n, DWORD& ev);
    size_t Accept(const BYTE* p, size_t n, DWORD& ev);
    void NoteRx80(DWORD& ev);
    // Room appeared in the receive queue: refills it from the spill and tells the backend when it
    // was refused input.
    void RoomAppeared();
    void FeedReads();
    bool ServeHeadRead();
    void ArmTimer(TClock::time_point when);
    DWORD WaitLocal(std::unique_lock<std::mutex>& lock, OVERLAPPED& ov, DWORD* done);
    DWORD Transfer(std::deque<TRequest>& queue, void (TCommPort::*start)(), BYTE* data, DWORD count,
                   DWORD* done, OVERLAPPED* ov);
    bool TxHeld() const;
    // Output flow on CTS / DSR asked for, the line off, and the device has modem lines at all.
    bool CtsHold() const;
    bool DsrHold() const;
    void Pump();
    void InputFlow();
    void SetDtrLine(bool on);
    void SetRtsLine(bool on);
    size_t QueueCount() const { return FRxCount; }
    void RingRead(BYTE* dst, size_t n);
    void Take(BYTE* dst, size_t n); // RingRead, then the spill moves up
    void TimerLoop();
    bool NextDeadline(TClock::time_point& when) const;
    void ExpireDeadlines(TClock::time_point now);
    DWORD StartOverlapped(OVERLAPPED* ov);

    std::unique_ptr<TLineBackend> FBackend;
    const bool FRemoteFlow; // the backend's device runs flow control; the core emulates none
    mutable std::mutex FMutex;
    std::condition_variable FTimerCv;
    std::condition_variable FDoneCv; // any completion (GetOverlappedResult waits here)
    std::thread FTimer;
    bool FStopTimer = false;
    bool FClosed = false;
    bool FStarted = false;
    DWORD FGone = ERROR_SUCCESS;
    unsigned long FTimerWakeups = 0;

    DCB FDcb{};
    COMMTIMEOUTS FTimeouts{};
    DWORD FOutQueueSize = 4096;

    std::vector<BYTE> FRx; // ring buffer sized by SetupComm
    size_t FRxHead = 0;
    size_t FRxCount = 0;
    bool FRx80 = false;
    // Bytes already received (events raised) that a SetupComm shrinking the queue left without
    // room; they go into the queue first as room appears and count as held back, not queued.
    std::string FRxSpill;
    bool FRxRefused = false; // a receive upcall took less than offered; RxSpace is owed
    uint64_t FRxEpoch = 0;   // purges of the receive side so far

    DWORD FErrors = 0;
    DWORD FMask = 0;
    DWORD FHistory = 0;
    OVERLAPPED* FWaitOv = nullptr;
    DWORD* FWaitMask = nullptr;

    std::deque<TRequest> FReads;
    std::deque<TRequest> FWrites;
    size_t FWriteFed = 0; // bytes of the head write handed to the backend

    DWORD FModem = 0;
    bool FDtr = false;
    bool FRts = false;
    bool FBreak = false;
    bool FXoffHold = false;    // transmission held by a received XOFF or SETXOFF
    bool FXoffSent = false;    // input flow control has asked the far end to stop
    bool FTxActive = false;    // bytes are in the backend and EV_TXEMPTY is owed
    bool FFlowStopped = false; // input flow control has stopped the far end
    TClock::time_point FTimerAt = TClock::time_point::max();
};
