#include "platform/comm/CommPort.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include <pthread.h>

namespace {

constexpr DWORD kDefaultQueue = 4096;
constexpr DWORD kLargestQueue = 64u << 20;
constexpr DWORD kValidEvents = 0x1FFF;

uintptr_t LoadStatus(OVERLAPPED* ov) {
    return std::atomic_ref<uintptr_t>(ov->Internal).load(std::memory_order_acquire);
}

void StoreStatus(OVERLAPPED* ov, uintptr_t status) {
    std::atomic_ref<uintptr_t>(ov->Internal).store(status, std::memory_order_release);
}

std::chrono::milliseconds Ms(uint64_t ms) {
    return std::chrono::milliseconds(ms);
}

} // namespace

TCommPort::TCommPort(std::unique_ptr<TLineBackend> backend)
    : FBackend(std::move(backend)), FRemoteFlow(FBackend->FlowControlIsRemote()) {
    FRx.resize(kDefaultQueue);
    FDcb.DCBlength = sizeof(DCB);
    FDcb.BaudRate = 9600;
    FDcb.fBinary = 1;
    FDcb.fDtrControl = DTR_CONTROL_ENABLE;
    FDcb.fRtsControl = RTS_CONTROL_ENABLE;
    FDcb.ByteSize = 8;
    FDcb.XonChar = 0x11;
    FDcb.XoffChar = 0x13;
    FDcb.XonLim = kDefaultQueue / 4;
    FDcb.XoffLim = kDefaultQueue / 4;
}

TCommPort::~TCommPort() {
    HandleClosed();
}

DWORD TCommPort::Start() {
    DWORD r = FBackend->Start(this);
    if (r != ERROR_SUCCESS) {
        FBackend->Stop();
        std::lock_guard lock(FMutex);
        FClosed = true;
        return r;
    }
    {
        std::lock_guard lock(FMutex);
        FStarted = true;
        FModem = FBackend->ModemLines() & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
        SetDtrLine(true);
        SetRtsLine(true);
    }
    FTimer = std::thread([this] { TimerLoop(); });
    pthread_setname_np(FTimer.native_handle(), "comm-timer");
    return ERROR_SUCCESS;
}

void TCommPort::HandleClosed() {
    bool started;
    {
        std::lock_guard lock(FMutex);
        if (FClosed && !FTimer.joinable()) return;
        FClosed = true;
        AbortAll(ERROR_OPERATION_ABORTED, true, true, true);
        FStopTimer = true;
        FTimerCv.notify_all();
        FDoneCv.notify_all();
        started = FStarted;
        FStarted = false;
    }
    if (FTimer.joinable()) FTimer.join();
    if (started) FBackend->Stop();
}

unsigned long TCommPort::TimerWakeups() const {
    std::lock_guard lock(FMutex);
    return FTimerWakeups;
}

DWORD TCommPort::Usable() const {
    if (FClosed) return ERROR_INVALID_HANDLE;
    return FGone;
}

void TCommPort::Complete(OVERLAPPED* ov, DWORD status, DWORD count) {
    std::atomic_ref<uintptr_t>(ov->InternalHigh).store(count, std::memory_order_relaxed);
    HANDLE ev = ov->hEvent;
    StoreStatus(ov, status);
    // After the status is published the OVERLAPPED may be reused by its owner; only the event
    // handle read before is used from here on.
    if (ev) SignalEventHandle(ev);
    FDoneCv.notify_all();
}

DWORD TCommPort::StartOverlapped(OVERLAPPED* ov) {
    // Starting an operation resets its event, also when the start then fails, so a caller that
    // waits on the event after a failed start sleeps instead of seeing a stale signal.
    if (ov && ov->hEvent) ResetEventHandle(ov->hEvent);
    return ERROR_SUCCESS;
}

DWORD TCommPort::WaitLocal(std::unique_lock<std::mutex>& lock, OVERLAPPED& ov, DWORD* done) {
    FDoneCv.wait(lock, [&] { return LoadStatus(&ov) != kPending; });
    if (done) *done = static_cast<DWORD>(ov.InternalHigh);
    return static_cast<DWORD>(ov.Internal);
}

// ---- configuration ----

bool TCommPort::ValidDcb(const DCB& d) {
    if (d.BaudRate == 0 || d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > SPACEPARITY ||
        d.StopBits > TWOSTOPBITS)
        return false;
    if (d.ByteSize == 5 && d.StopBits == TWOSTOPBITS) return false;
    if (d.StopBits == ONE5STOPBITS && d.ByteSize != 5) return false;
    if (d.fDtrControl > DTR_CONTROL_HANDSHAKE) return false;
    if ((d.fOutX || d.fInX) && d.XonChar == d.XoffChar) return false;
    return true;
}

DWORD TCommPort::SetupComm(DWORD inQueue, DWORD outQueue) {
    std::lock_guard lock(FMutex);
    if (DWORD u = Usable()) return u;
    if (inQueue == 0) return ERROR_INVALID_PARAMETER;
    if (inQueue > kLargestQueue || outQueue > kLargestQueue) return ERROR_NOT_ENOUGH_MEMORY;
    if (DWORD r = FBackend->ApplyQueueSizes(inQueue, outQueue)) return r;
    // A smaller queue keeps what it holds: the bytes beyond the new size wait in the spill, in
    // order, and enter the queue as it empties.
    std::string held(FRxCount, '\0');
    RingRead(reinterpret_cast<BYTE*>(held.data()), held.size());
    held += FRxSpill;
    std::vector<BYTE> ring(inQueue);
    const size_t keep = std::min<size_t>(held.size(), inQueue);
    std::memcpy(ring.data(), held.data(), keep);
    FRx.swap(ring);
    FRxHead = 0;
    FRxCount = keep;
    FRxSpill = held.substr(keep);
    FRx80 = FRxCount >= FRx.size() * 8 / 10;
    FOutQueueSize = outQueue;
    InputFlow();
    RoomAppeared();
    return ERROR_SUCCESS;
}

DWORD TCommPort::GetCommState(DCB* dcb) {
    std::lock_guard lock(FMutex);
    if (DWORD u = Usable()) return u;
    if (!dcb) return ERROR_INVALID_PARAMETER;
    *dcb = FDcb;
    return ERROR_SUCCESS;
}

DWORD TCommPort::SetCommState(const DCB& dcb) {
    std::lock_guard lock(FMutex);
    if (DWORD u = Usable()) return u;
    if (!ValidDcb(dcb)) return ERROR_INVALID_PARAMETER;
    if (DWORD r = FBackend->ApplyState(dcb)) return r;
    FDcb = dcb;
    FDcb.DCBlength = sizeof(DCB);
    if (!FDcb.fOutX && FXoffHold) {
        FXoffHold = false;
        FBackend->NoteXoffHold(false);
    }
    switch (FDcb.fDtrControl) {
    case DTR_CONTROL_DISABLE:
        SetDtrLine(false);
        break;
    case DTR_CONTROL_HANDSHAKE:
        SetDtrLine(!FFlowStopped);
        break;
    default:
        SetDtrLine(true);
    }
    switch (FDcb.fRtsControl) {
    case RTS_CONTROL_DISABLE:
        SetRtsLine(false);
        break;
    case RTS_CONTROL_HANDSHAKE:
        SetRtsLine(!FFlowStopped);
        break;
    case RTS_CONTROL_TOGGLE:
        SetRtsLine(FTxActive || !FWrites.empty());
        break;
    default:
        SetRtsLine(true);
    }
    InputFlow();
    Pump();
    return ERROR_SUCCESS;
}

DWORD TCommPort::GetCommTimeouts(COMMTIMEOUTS* t) {
    std::lock_guard lock(FMutex);
    if (DWORD u = Usable()) return u;
    if (!t) return ERROR_INVALID_PARAMETER;
    *t = FTimeouts;
    return ERROR_SUCCESS;
}

DWORD TCommPort::SetCommTimeouts(const COMMTIMEOUTS& t) {
    std::lock_guard lock(FMutex);
    if (DWORD u = Usable()) return u;
    // Both "any byte" markers with an unbounded constant would never end; the rule needs a bound.
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
        t.ReadTotalTimeoutConstant == MAXDWORD)
        return ERROR_INVALID_PARAMETER;
    if (DWORD r = FBackend->ApplyTimeouts(t)) return r;
    FTimeouts = t;
    return ERROR_SUCCESS;
}

// ---- events ----

DWORD TCommPort::GetCommMask(DWORD* mask) {
    std::lock_guard lock(FMutex);
    if (DWORD u = Usable()) return u;
    if (!mask) return ERROR_INVALID_PARAMETER;
    *mask = FMask;
    return ERROR_SUCCESS;
}

DWORD TCommPort::SetCommMask(DWORD mask) {
    std::lock_guard lock(FMutex);
    // Like purging, clearing the mask is part of shutting down and must work on a vanished device.
    if (FClosed) return ERROR_INVALID_HANDLE;
    if (mask & ~kValidEvents) return ERROR_INVALID_PARAMETER;
    if (FWaitOv) CompleteWait(0);
    FMask = mask;
    FHistory = 0;
    return ERROR_SUCCESS;
}

void TCommPort::CompleteWait(DWORD mask) {
    *FWaitMask = mask;
    OVERLAPPED* ov = FWaitOv;
    FWaitOv = nullptr;
    FWaitMask = nullptr;
    Complete(ov, ERROR_SUCCESS, sizeof(DWORD));
}

void TCommPort::RaiseEvents(DWORD ev) {
    ev &= FMask;
    if (!ev) return;
    if (FWaitOv)
        CompleteWait(ev);
    else
        FHistory |= ev;
}

DWORD TCommPort::WaitCommEvent(DWORD* mask, OVERLAPPED* ov) {
    StartOverlapped(ov);
    std::unique_lock lock(FMutex);
    if (DWORD u = Usable()) return u;
    if (!mask || FWaitOv || FMask == 0) return ERROR_INVALID_PARAMETER;
    OVERLAPPED local{};
    OVERLAPPED* target = ov ? ov : &local;
    if (FHistory & FMask) {
        *mask = FHistory & FMask;
        FHistory = 0;
        Complete(target, ERROR_SUCCESS, sizeof(DWORD));
        return ERROR_SUCCESS;
    }
    *mask = 0;
    target->InternalHigh = 0;
    StoreStatus(target, kPending);
    FWaitOv = target;
    FWaitMask = mask;
    if (ov) return ERROR_IO_PENDING;
    return WaitLocal(lock, local, nullptr);
}

// ---- receive ----

void TCommPort::RingRead(BYTE* dst, size_t n) {
    size_t first = std::min(n, FRx.size() - FRxHead);
    std::memcpy(dst, FRx.data() + FRxHead, first);
    if (n > first) std::memcpy(dst + first, FRx.data(), n - first);
    FRxHead = (FRxHead + n) % FRx.size();
    FRxCount -= n;
    if (FRxCount == 0) FRxHead = 0;
    if (FRx80 && FRxCount < FRx.size() * 8 / 10) FRx80 = false;
}

void TCommPort::Take(BYTE* dst, size_t n) {
    RingRead(dst, n);
    if (!FRxSpill.empty())
        FRxSpill.erase(0, AddToQueue(reinterpret_cast<const BYTE*>(FRxSpill.data()), FRxSpill.size()));
}

// A full queue is never overwritten: what does not fit stays with the caller (the backend holds
// it back and the device's own buffering throttles the sender).
size_t TCommPort::AddToQueue(const BYTE* p, size_t n) {
    n = std::min(n, FRx.size() - FRxCount);
    size_t tail = (FRxHead + FRxCount) % FRx.size();
    size_t first = std::min(n, FRx.size() - tail);
    std::memcpy(FRx.data() + tail, p, first);
    if (n > first) std::memcpy(FRx.data(), p + first, n - first);
    FRxCount += n;
    return n;
}

void TCommPort::RoomAppeared() {
    if (!FRxRefused || !FRxSpill.empty() || FRxCount >= FRx.size() || FClosed || FGone) return;
    FRxRefused = false;
    FBackend->RxSpace();
}

bool TCommPort::ServeHeadRead() {
    TRequest& r = FReads.front();
    const auto now = TClock::now();
    // Taking from the queue may move spilled bytes up into it, so take until the read is full or
    // the queue empty.
    size_t n = 0;
    for (size_t k; (k = std::min<size_t>(r.Count - r.Done, FRxCount)) != 0; n += k) {
        Take(r.Data + r.Done, k);
        r.Done += static_cast<DWORD>(k);
    }
    if (!r.Started) {
        r.Started = true;
        const COMMTIMEOUTS& t = FTimeouts;
        if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
            t.ReadTotalTimeoutConstant == 0)
            return true;
        if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
            t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD) {
            r.FirstByteReturns = true;
            r.HasTotal = true;
            r.Total = now + Ms(t.ReadTotalTimeoutConstant);
        } else {
            uint64_t total = uint64_t(t.ReadTotalTimeoutMultiplier) * r.Count + t.ReadTotalTimeoutConstant;
            if (total) {
                r.HasTotal = true;
                r.Total = now + Ms(total);
            }
            if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD) {
                r.HasInterval = true;
                r.IntervalLength = Ms(t.ReadIntervalTimeout);
            }
        }
    }
    if (r.Done == r.Count || (r.FirstByteReturns && r.Done > 0)) return true;
    if (r.HasTotal) ArmTimer(r.Total);
    if (n && r.HasInterval) {
        r.Interval = now + r.IntervalLength;
        ArmTimer(r.Interval);
    }
    return false;
}

void TCommPort::FeedReads() {
    while (!FReads.empty() && ServeHeadRead()) {
        TRequest r = FReads.front();
        FReads.pop_front();
        Complete(r.Ov, ERROR_SUCCESS, r.Done);
    }
    InputFlow();
    RoomAppeared();
}

size_t TCommPort::Absorb(const BYTE* p, size_t n) {
    // A pending read takes arriving bytes straight into its buffer; the queue holds only what no
    // read is waiting for (reads pend only while the queue is empty).
    size_t taken = 0;
    while (n && FRxCount == 0 && !FReads.empty()) {
        TRequest& r = FReads.front();
        size_t k = std::min<size_t>(n, r.Count - r.Done);
        std::memcpy(r.Data + r.Done, p, k);
        r.Done += static_cast<DWORD>(k);
        p += k;
        n -= k;
        taken += k;
        if (r.Done == r.Count || r.FirstByteReturns) {
            TRequest done = r;
            FReads.pop_front();
            Complete(done.Ov, ERROR_SUCCESS, done.Done);
            FeedReads();
        } else if (r.HasInterval) {
            r.Interval = TClock::now() + r.IntervalLength;
            ArmTimer(r.Interval);
        }
    }
    if (n) taken += AddToQueue(p, n);
    return taken;
}

size_t TCommPort::Accept(const BYTE* p, size_t n, DWORD& ev) {
    if (!n) return 0;
    const size_t k = Absorb(p, n);
    if (k) ev |= EV_RXCHAR;
    if (k && std::memchr(p, static_cast<BYTE>(FDcb.EvtChar), k)) ev |= EV_RXFLAG;
    return k;
}

// Flow characters and discarded NULs are consumed even when the queue is full; the scan stops at
// the first byte that finds no room.
size_t TCommPort::Incoming(const BYTE* p, size_t n, DWORD& ev) {
    if (FDcb.fDsrSensitivity && !(FModem & MS_DSR_ON)) return n;
    const bool outX = FDcb.fOutX && !FRemoteFlow;
    if (!FDcb.fNull && !outX) return Accept(p, n, ev);
    const BYTE xon = static_cast<BYTE>(FDcb.XonChar), xoff = static_cast<BYTE>(FDcb.XoffChar);
    const BYTE* run = p;
    for (const BYTE* q = p; q != p + n; ++q) {
        const BYTE c = *q;
        const bool flow = outX && (c == xon || c == xoff);
        if (!flow && !(FDcb.fNull && c == 0)) continue;
        const size_t len = static_cast<size_t>(q - run);
        const size_t k = Accept(run, len, ev);
        if (k < len) {
            Pump();
            return static_cast<size_t>(run - p) + k;
        }
        run = q + 1;
        if (flow && FXoffHold != (c == xoff)) {
            FXoffHold = c == xoff;
            FBackend->NoteXoffHold(FXoffHold);
        }
    }
    const size_t k = Accept(run, static_cast<size_t>(p + n - run), ev);
    Pump();
    return static_cast<size_t>(run - p) + k;
}

void TCommPort::NoteRx80(DWORD& ev) {
    if (!FRx80 && FRxCount >= FRx.size() * 8 / 10 && FRxCount) {
        FRx80 = true;
        ev |= EV_RX80FULL;
    }
}

size_t TCommPort::OnReceive(const BYTE* data, size_t n, uint64_t epoch) {
    std::lock_guard lock(FMutex);
    // Input of a closed or vanished port has nowhere to go; input read before a purge is void.
    if (FClosed || FGone || !n || epoch != FRxEpoch) return n;
    DWORD ev = 0;
    const size_t taken = FRxSpill.empty() ? Incoming(data, n, ev) : 0;
    if (taken < n) FRxRefused = true;
    NoteRx80(ev);
    InputFlow();
    RaiseEvents(ev);
    return taken;
}

bool TCommPort::OnLineError(DWORD flags, int byte, uint64_t epoch) {
    std::lock_guard lock(FMutex);
    if (FClosed || FGone || epoch != FRxEpoch) return true;
    DWORD ev = 0;
    BYTE b = static_cast<BYTE>(byte);
    bool hasByte = byte >= 0 && byte <= 0xFF && !(flags & CE_BREAK);
    // The error and its byte are taken together, so a byte without room leaves both for later.
    if (hasByte && (!FRxSpill.empty() || FRxCount >= FRx.size())) {
        FRxRefused = true;
        return false;
    }
    if (flags & CE_RXPARITY) {
        if (FDcb.fParity) {
            FErrors |= CE_RXPARITY;
            ev |= EV_ERR;
            if (FDcb.fErrorChar) b = static_cast<BYTE>(FDcb.ErrorChar);
        }
    }
    if (flags & CE_FRAME) {
        FErrors |= CE_FRAME;
        ev |= EV_ERR;
    }
    if (flags & CE_OVERRUN) {
        FErrors |= CE_OVERRUN;
        ev |= EV_ERR;
    }
    if (flags & CE_BREAK) {
        FErrors |= CE_BREAK;
        ev |= EV_BREAK;
    }
    // A setting the device could only be asked for later was refused.
    if (flags & CE_MODE) {
        FErrors |= CE_MODE;
        ev |= EV_ERR;
    }
    // The system's own buffer lost input: reported as an error a handler can act on.
    if (flags & CE_RXOVER) {
        FErrors |= CE_RXOVER;
        ev |= EV_ERR;
    }
    if (hasByte) Incoming(&b, 1, ev);
    NoteRx80(ev);
    if (FDcb.fAbortOnError && FErrors) AbortAll(ERROR_OPERATION_ABORTED, true, true, false);
    InputFlow();
    RaiseEvents(ev);
    return true;
}

void TCommPort::OnModemLines(DWORD status) {
    std::lock_guard lock(FMutex);
    if (FClosed || FGone) return;
    status &= MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON;
    const DWORD changed = FModem ^ status;
    FModem = status;
    DWORD ev = 0;
    if (changed & MS_CTS_ON) ev |= EV_CTS;
    if (changed & MS_DSR_ON) ev |= EV_DSR;
    if (changed & MS_RLSD_ON) ev |= EV_RLSD;
    if (changed & status & MS_RING_ON) ev |= EV_RING;
    RaiseEvents(ev);
    Pump();
}

void TCommPort::OnDeviceGone(DWORD code) {
    std::lock_guard lock(FMutex);
    if (FClosed || FGone) return;
    FGone = code ? code : ERROR_DEVICE_NOT_CONNECTED;
    AbortAll(FGone, true, true, true);
}

void TCommPort::AbortAll(DWORD status, bool reads, bool writes, bool wait) {
    if (reads) {
        auto pending = std::move(FReads);
        FReads.clear();
        for (TRequest& r : pending)
            Complete(r.Ov, status, r.Done);
    }
    if (writes) {
        auto pending = std::move(FWrites);
        FWrites.clear();
        bool head = true;
        for (TRequest& w : pending) {
            Complete(w.Ov, status, head ? static_cast<DWORD>(FWriteFed) : 0);
            head = false;
        }
        FWriteFed = 0;
    }
    if (wait && FWaitOv) {
        *FWaitMask = 0;
        OVERLAPPED* ov = FWaitOv;
        FWaitOv = nullptr;
        FWaitMask = nullptr;
        Complete(ov, status, 0);
    }
}

DWORD TCommPort::ReadFile(void* buf, DWORD count, DWORD* done, OVERLAPPED* ov) {
    return Transfer(FReads, &TCommPort::FeedReads, static_cast<BYTE*>(buf), count, done, ov);
}

// Reads and writes start alike: the checks, the completion record, the request queued (the
// first in its queue is started at once), then a blocking wait on a local record or the status
// of the caller's overlapped record. The caller's buffer stays valid until the operation ends.
DWORD TCommPort::Transfer(std::deque<TRequest>& queue, void (TCommPort::*start)(), BYTE* data, DWORD count,
                          DWORD* done, OVERLAPPED* ov) {
    StartOverlapped(ov);
    std::unique_lock lock(FMutex);
    if (done) *done = 0;
    if (DWORD u = Usable()) return u;
    if (count && !data) return ERROR_INVALID_PARAMETER;
    if (FDcb.fAbortOnError && FErrors) return ERROR_OPERATION_ABORTED;
    OVERLAPPED local{};
    OVERLAPPED* target = ov ? ov : &local;
    target->InternalHigh = 0;
    StoreStatus(target, kPending);
    if (count == 0) {
        Complete(target, ERROR_SUCCESS, 0);
        return ERROR_SUCCESS;
    }
    TRequest r{};
    r.Ov = target;
    r.Data = data;
    r.Count = count;
    queue.push_back(r);
    if (queue.size() == 1) (this->*start)();
    if (!ov) return WaitLocal(lock, local, done);
    if (LoadStatus(ov) != kPending) {
        if (done) *done = static_cast<DWORD>(ov->InternalHigh);
        return static_cast<DWORD>(ov->Internal);
    }
    return ERROR_IO_PENDING;
}

// ---- transmit ----

bool TCommPort::CtsHold() const {
    return !FRemoteFlow && FDcb.fOutxCtsFlow && !(FModem & MS_CTS_ON) && FBackend->HasModemLines();
}

bool TCommPort::DsrHold() const {
    return !FRemoteFlow && FDcb.fOutxDsrFlow && !(FModem & MS_DSR_ON) && FBackend->HasModemLines();
}

bool TCommPort::TxHeld() const {
    // A device that holds output on CTS itself needs no second hold here: the kernel (or the UART)
    // stops within a character, and the core's copy of CTS may lag behind the line.
    if (CtsHold() && !FBackend->HoldsOutputOnCts()) return true;
    if (DsrHold()) return true;
    if (FXoffHold || FBreak) return true;
    return FXoffSent && FDcb.fInX && !FDcb.fTXContinueOnXoff;
}

void TCommPort::Pump() {
    while (!FWrites.empty()) {
        TRequest& w = FWrites.front();
        if (!w.Started) {
            w.Started = true;
            uint64_t total = uint64_t(FTimeouts.WriteTotalTimeoutMultiplier) * w.Count +
                             FTimeouts.WriteTotalTimeoutConstant;
            if (total) {
                w.HasTotal = true;
                w.Total = TClock::now() + Ms(total);
            }
        }
        if (FWriteFed < w.Count) {
            // The timer is told only about writes that really wait, so a write the device takes
            // at once costs no timer wake-up.
            if (TxHeld()) {
                if (w.HasTotal) ArmTimer(w.Total);
                return;
            }
            if (FDcb.fRtsControl == RTS_CONTROL_TOGGLE && !FRts) SetRtsLine(true);
            size_t k = FBackend->Write(w.Data + FWriteFed, w.Count - FWriteFed);
            FWriteFed += k;
            if (k) FTxActive = true;
            if (FWriteFed < w.Count) {
                if (w.HasTotal) ArmTimer(w.Total);
                return;
            }
        }
        TRequest finished = w;
        FWrites.pop_front();
        FWriteFed = 0;
        Complete(finished.Ov, ERROR_SUCCESS, finished.Count);
    }
}

DWORD TCommPort::WriteFile(const void* buf, DWORD count, DWORD* done, OVERLAPPED* ov) {
    // The backend copies what it takes; the request only reads the caller's bytes.
    return Transfer(FWrites, &TCommPort::Pump, const_cast<BYTE*>(static_cast<const BYTE*>(buf)), count, done,
                    ov);
}

void TCommPort::OnTxSpace() {
    std::lock_guard lock(FMutex);
    if (FClosed || FGone) return;
    Pump();
}

void TCommPort::OnTxEmpty() {
    std::lock_guard lock(FMutex);
    if (FClosed || FGone) return;
    Pump();
    if (!FTxActive || !FWrites.empty() || FBackend->TxPending() != 0) return;
    FTxActive = false;
    if (FDcb.fRtsControl == RTS_CONTROL_TOGGLE) SetRtsLine(false);
    RaiseEvents(EV_TXEMPTY);
}

DWORD TCommPort::TransmitCommChar(char c) {
    std::lock_guard lock(FMutex);
    if (DWORD u = Usable()) return u;
    if (DWORD r = FBackend->SendUrgent(static_cast<BYTE>(c))) return r;
    FTxActive = true;
    return ERROR_SUCCESS;
}

// ---- lines and flow control ----

void TCommPort::SetDtrLine(bool on) {
    FDtr = on;
    FBackend->SetDtr(on);
}

void TCommPort::SetRtsLine(bool on) {
    FRts = on;
    FBackend->SetRts(on);
}

void TCommPort::InputFlow() {
    // Where the far end runs flow control itself, a filling queue stops the sender through the
    // backend's own throttling, not through requests to change lines.
    if (FRemoteFlow) return;
    const bool dtrHs = FDcb.fDtrControl == DTR_CONTROL_HANDSHAKE;
    const bool rtsHs = FDcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    const bool any = FDcb.fInX || dtrHs || rtsHs;
    const size_t size = FRx.size();
    const bool over = FRxCount >= size - std::min<size_t>(FDcb.XoffLim, size);
    const bool under = FRxCount <= FDcb.XonLim;
    if (!FFlowStopped && any && over) {
        FFlowStopped = true;
        if (FDcb.fInX && FBackend->SendUrgent(static_cast<BYTE>(FDcb.XoffChar)) == ERROR_SUCCESS) {
            FXoffSent = true;
            FTxActive = true;
            FBackend->NoteXoffSent(true);
        }
        if (dtrHs) SetDtrLine(false);
        if (rtsHs) SetRtsLine(false);
    } else if (FFlowStopped && (!any || (under && !over))) {
        FFlowStopped = false;
        if (FXoffSent) {
            FXoffSent = false;
            if (FDcb.fInX && FBackend->SendUrgent(static_cast<BYTE>(FDcb.XonChar)) == ERROR_SUCCESS)
                FTxActive = true;
            FBackend->NoteXoffSent(false);
        }
        if (dtrHs) SetDtrLine(true);
        if (rtsHs) SetRtsLine(true);
        Pump();
    }
}

DWORD TCommPort::EscapeCommFunction(DWORD func) {
    std::lock_guard lock(FMutex);
    if (DWORD u = Usable()) return u;
    switch (func) {
    case SETXOFF:
    case SETXON:
        FXoffHold = func == SETXOFF;
        FBackend->NoteXoffHold(FXoffHold);
        Pump();
        return ERROR_SUCCESS;
    case SETRTS:
    case CLRRTS:
        // Lines under handshake or toggle belong to the driver.
        if (FDcb.fRtsControl == RTS_CONTROL_HANDSHAKE || FDcb.fRtsControl == RTS_CONTROL_TOGGLE)
            return ERROR_INVALID_PARAMETER;
        FRts = func == SETRTS;
        return FBackend->SetRts(FRts);
    case SETDTR:
    case CLRDTR:
        if (FDcb.fDtrControl == DTR_CONTROL_HANDSHAKE) return ERROR_INVALID_PARAMETER;
        FDtr = func == SETDTR;
        return FBackend->SetDtr(FDtr);
    case SETBREAK:
    case CLRBREAK: {
        FBreak = func == SETBREAK;
        DWORD r = FBackend->SetBreak(FBreak);
        Pump();
        return r;
    }
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

// ---- status, purge ----

DWORD TCommPort::PurgeComm(DWORD flags) {
    std::lock_guard lock(FMutex);
    // Purging still works on a vanished device (nothing is pending any more): closing a port
    // aborts its transfers first, and a failure there would leave an unplugged port unclosable.
    if (FClosed) return ERROR_INVALID_HANDLE;
    if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        return ERROR_INVALID_PARAMETER;
    if (FGone) {
        if (flags & PURGE_RXCLEAR) {
            FRxHead = FRxCount = 0;
            FRxSpill.clear();
        }
        return ERROR_SUCCESS;
    }
    if (flags & PURGE_TXABORT) AbortAll(ERROR_OPERATION_ABORTED, false, true, false);
    if (flags & PURGE_RXABORT) AbortAll(ERROR_OPERATION_ABORTED, true, false, false);
    if (flags & PURGE_TXCLEAR) {
        FBackend->PurgeTx();
        if (FWrites.empty() && FBackend->TxPending() == 0) FTxActive = false;
    }
    if (flags & PURGE_RXCLEAR) {
        // Also what waits below the queue: the spill here, and what the backend holds back.
        FRxHead = FRxCount = 0;
        FRx80 = false;
        FRxSpill.clear();
        FBackend->PurgeRx(++FRxEpoch);
        InputFlow();
        RoomAppeared();
    }
    return ERROR_SUCCESS;
}

DWORD TCommPort::ClearCommError(DWORD* errors, COMSTAT* stat) {
    std::lock_guard lock(FMutex);
    if (DWORD u = Usable()) return u;
    if (errors) *errors = FErrors;
    FErrors = 0;
    if (stat) {
        *stat = COMSTAT{};
        stat->fCtsHold = CtsHold();
        stat->fDsrHold = DsrHold();
        stat->fXoffHold = FXoffHold;
        stat->fXoffSent = FXoffSent;
        stat->cbInQue = static_cast<DWORD>(FRxCount);
        size_t out = FBackend->TxPending();
        bool head = true;
        for (const TRequest& w : FWrites) {
            out += w.Count - (head ? FWriteFed : 0);
            head = false;
        }
        stat->cbOutQue = static_cast<DWORD>(std::min<size_t>(out, MAXDWORD));
    }
    return ERROR_SUCCESS;
}

DWORD TCommPort::GetCommModemStatus(DWORD* status) {
    std::lock_guard lock(FMutex);
    if (DWORD u = Usable()) return u;
    if (!status) return ERROR_INVALID_PARAMETER;
    *status = FModem;
    return ERROR_SUCCESS;
}

DWORD TCommPort::GetOverlappedResult(OVERLAPPED* ov, DWORD* done, bool wait) {
    if (!ov) return ERROR_INVALID_PARAMETER;
    std::unique_lock lock(FMutex);
    if (LoadStatus(ov) == kPending) {
        if (!wait) return ERROR_IO_INCOMPLETE;
        FDoneCv.wait(lock, [&] { return LoadStatus(ov) != kPending; });
    }
    if (done) *done = static_cast<DWORD>(ov->InternalHigh);
    return static_cast<DWORD>(ov->Internal);
}

// ---- deadlines ----

void TCommPort::ArmTimer(TClock::time_point when) {
    if (when < FTimerAt) FTimerCv.notify_one();
}

bool TCommPort::NextDeadline(TClock::time_point& when) const {
    bool any = false;
    auto consider = [&](TClock::time_point t) {
        if (!any || t < when) when = t;
        any = true;
    };
    if (!FReads.empty()) {
        const TRequest& r = FReads.front();
        if (r.HasTotal) consider(r.Total);
        if (r.HasInterval && r.Done > 0) consider(r.Interval);
    }
    if (!FWrites.empty() && FWrites.front().HasTotal) consider(FWrites.front().Total);
    return any;
}

void TCommPort::ExpireDeadlines(TClock::time_point now) {
    while (!FReads.empty()) {
        const TRequest& r = FReads.front();
        bool expired = (r.HasTotal && r.Total <= now) || (r.HasInterval && r.Done > 0 && r.Interval <= now);
        if (!expired) break;
        // A read that times out is not a failure: it ends with what has arrived.
        TRequest done = r;
        FReads.pop_front();
        Complete(done.Ov, ERROR_SUCCESS, done.Done);
        FeedReads();
    }
    while (!FWrites.empty() && FWrites.front().HasTotal && FWrites.front().Total <= now) {
        TRequest done = FWrites.front();
        FWrites.pop_front();
        Complete(done.Ov, ERROR_SUCCESS, static_cast<DWORD>(FWriteFed));
        FWriteFed = 0;
        Pump();
    }
}

void TCommPort::TimerLoop() {
    std::unique_lock lock(FMutex);
    while (!FStopTimer) {
        TClock::time_point when;
        if (NextDeadline(when)) {
            FTimerAt = when;
            FTimerCv.wait_until(lock, when);
        } else {
            FTimerAt = TClock::time_point::max();
            FTimerCv.wait(lock);
        }
        ++FTimerWakeups;
        if (FStopTimer) break;
        ExpireDeadlines(TClock::now());
    }
}
