// Data transfer, status queries and line control. Every operation may run on any thread: each
// call hands the port's handle to the platform, which serves concurrent overlapped operations on
// one handle, and the synchronous forms keep their record on their own stack.

#include "cport/ComPort.h"
#include "cport/ComThread.h"

#include <climits>

namespace {

[[noreturn]] void RaiseWin(int Code, DWORD WinCode) {
    throw EComPort(Code, static_cast<int>(WinCode));
}
[[noreturn]] void RaiseLast(int Code) {
    RaiseWin(Code, GetLastError());
}

// A negative count would reach the platform as a huge unsigned length.
void CheckCount(int Count, int Code) {
    if (Count < 0) RaiseWin(Code, ERROR_INVALID_PARAMETER);
}

struct THandleCloser {
    HANDLE H;
    ~THandleCloser() {
        if (H != nullptr) CloseHandle(H);
    }
};

} // namespace

int TCustomComPort::WriteAsync(const void* Buffer, int Count, PAsync& AsyncPtr) {
    if (AsyncPtr == nullptr) throw EComPort(ErrInvalidAsync);
    CheckCount(Count, ErrWriteFile);
    AsyncPtr->Kind = okWrite;
    // Links hear Tx on before the write starts: a short write can end, and the event thread report
    // the transmit queue empty (Tx off), before WriteFile has even returned here, and an "on" that
    // came after that "off" would leave the Tx signal on for good. A start that fails takes it back.
    // A write of nothing puts nothing in the transmit queue, so no "off" would follow its "on".
    if (Count > 0) SendSignals(lsTx, true);
    DWORD done = 0;
    if (!WriteFile(Handle(), Buffer, static_cast<DWORD>(Count), &done, &AsyncPtr->Overlapped)) {
        const DWORD err = GetLastError();
        if (err != ERROR_IO_PENDING) {
            if (Count > 0) SendSignals(lsTx, false);
            RaiseWin(ErrWriteFile, err);
        }
        done = 0;
    }
    return static_cast<int>(done);
}

int TCustomComPort::Write(const void* Buffer, int Count) {
    TAsyncGuard a;
    WriteAsync(Buffer, Count, a.P);
    return WaitForAsync(a.P);
}

int TCustomComPort::WriteStrAsync(const std::string& Str, PAsync& AsyncPtr) {
    if (AsyncPtr == nullptr) throw EComPort(ErrInvalidAsync);
    if (Str.size() > static_cast<size_t>(INT_MAX)) RaiseWin(ErrWriteFile, ERROR_INVALID_PARAMETER);
    // The record keeps its own copy, so the caller may change or drop Str while the write runs.
    // Str may be the record's own copy (a rewrite of the same text): copy before assigning.
    std::string copy(Str);
    AsyncPtr->Data.swap(copy);
    return WriteAsync(AsyncPtr->Data.data(), static_cast<int>(AsyncPtr->Data.size()), AsyncPtr);
}

int TCustomComPort::WriteStr(const std::string& Str) {
    TAsyncGuard a;
    WriteStrAsync(Str, a.P);
    return WaitForAsync(a.P);
}

int TCustomComPort::ReadAsync(void* Buffer, int Count, PAsync& AsyncPtr) {
    if (AsyncPtr == nullptr) throw EComPort(ErrInvalidAsync);
    CheckCount(Count, ErrReadFile);
    AsyncPtr->Kind = okRead;
    DWORD done = 0;
    if (!ReadFile(Handle(), Buffer, static_cast<DWORD>(Count), &done, &AsyncPtr->Overlapped)) {
        const DWORD err = GetLastError();
        if (err != ERROR_IO_PENDING) RaiseWin(ErrReadFile, err);
        done = 0;
    }
    return static_cast<int>(done);
}

int TCustomComPort::Read(void* Buffer, int Count) {
    TAsyncGuard a;
    ReadAsync(Buffer, Count, a.P);
    return WaitForAsync(a.P);
}

int TCustomComPort::ReadStrAsync(std::string& Str, int Count, PAsync& AsyncPtr) {
    if (AsyncPtr == nullptr) throw EComPort(ErrInvalidAsync);
    CheckCount(Count, ErrReadFile);
    AsyncPtr->Kind = okRead;
    Str.resize(static_cast<size_t>(Count));
    return ReadAsync(Str.data(), Count, AsyncPtr);
}

int TCustomComPort::ReadStr(std::string& Str, int Count) {
    TAsyncGuard a;
    ReadStrAsync(Str, Count, a.P);
    const int n = WaitForAsync(a.P);
    Str.resize(static_cast<size_t>(n));
    return n;
}

int TCustomComPort::WaitForAsync(PAsync& AsyncPtr) {
    if (AsyncPtr == nullptr) throw EComPort(ErrInvalidAsync);
    OVERLAPPED& ov = AsyncPtr->Overlapped;
    DWORD done = 0;
    DWORD err = ERROR_SUCCESS;
    if (WaitForSingleObject(ov.hEvent, INFINITE) != WAIT_OBJECT_0)
        err = GetLastError();
    else if (!GetOverlappedResult(Handle(), &ov, &done, FALSE))
        err = GetLastError();
    if (AsyncPtr->Kind == okRead) {
        // Asked directly rather than through InputCount: a port closed under the read must report
        // the read's own failure, not a failed status query.
        DWORD errors = 0;
        COMSTAT stat{};
        if (ClearCommError(Handle(), &errors, &stat) && stat.cbInQue == 0) SendSignals(lsRx, false);
    }
    if (err != ERROR_SUCCESS) RaiseWin(AsyncPtr->Kind == okWrite ? ErrWriteFile : ErrReadFile, err);
    return static_cast<int>(done);
}

bool TCustomComPort::IsAsyncCompleted(PAsync AsyncPtr) {
    if (AsyncPtr == nullptr) throw EComPort(ErrInvalidAsync);
    DWORD done = 0;
    if (GetOverlappedResult(Handle(), &AsyncPtr->Overlapped, &done, FALSE)) return true;
    const DWORD err = GetLastError();
    if (err == ERROR_IO_INCOMPLETE || err == ERROR_IO_PENDING) return false;
    RaiseWin(ErrAsyncStatus, err);
}

void TCustomComPort::WaitForEvent(TComEvents& Events, int Timeout) {
    // The event thread owns the device's one event wait.
    if (ThreadCreated()) throw EComPort(ErrEventThreadRunning);
    const HANDLE h = Handle();
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (ov.hEvent == nullptr) RaiseLast(ErrWaitForEvent);
    THandleCloser closer{ov.hEvent};

    SetCommMask(h, EventsToMask(Events));
    DWORD mask = 0;
    DWORD err = ERROR_SUCCESS;
    if (!WaitCommEvent(h, &mask, &ov) && (err = GetLastError()) == ERROR_IO_PENDING) err = ERROR_SUCCESS;
    if (err == ERROR_SUCCESS) {
        const DWORD ms = Timeout < 0 ? INFINITE : static_cast<DWORD>(Timeout);
        const DWORD w = WaitForSingleObject(ov.hEvent, ms);
        DWORD done = 0;
        if (w == WAIT_TIMEOUT) {
            // Clearing the mask ends the pending wait. The platform still writes into ov and mask
            // when it does, so both must outlive it: wait for that end before leaving.
            SetCommMask(h, 0);
            if (!GetOverlappedResult(h, &ov, &done, TRUE)) mask = 0;
        } else if (w != WAIT_OBJECT_0) {
            err = GetLastError();
        } else if (!GetOverlappedResult(h, &ov, &done, FALSE)) {
            err = GetLastError();
        }
    }
    if (err != ERROR_SUCCESS) RaiseWin(ErrWaitForEvent, err);
    Events = MaskToEvents(mask);
}

void TCustomComPort::AbortAllAsync() {
    if (!PurgeComm(Handle(), PURGE_TXABORT | PURGE_RXABORT)) RaiseLast(ErrPurgeComm);
}

void TCustomComPort::ClearBuffer(bool Input, bool Output) {
    DWORD flags = 0;
    if (Input) flags |= PURGE_RXCLEAR;
    if (Output) flags |= PURGE_TXCLEAR;
    if (!PurgeComm(Handle(), flags)) RaiseLast(ErrPurgeComm);
}

namespace {

// One status query; it also clears the device's error flags.
COMSTAT QueryStatus(HANDLE h, DWORD* Errors = nullptr) {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(h, &errors, &stat)) RaiseLast(ErrClearCommError);
    if (Errors != nullptr) *Errors = errors;
    return stat;
}

} // namespace

int TCustomComPort::InputCount() {
    return static_cast<int>(QueryStatus(Handle()).cbInQue);
}

int TCustomComPort::OutputCount() {
    return static_cast<int>(QueryStatus(Handle()).cbOutQue);
}

TComStateFlags TCustomComPort::StateFlags() {
    const COMSTAT stat = QueryStatus(Handle());
    const unsigned bits = (stat.fCtsHold << 0) | (stat.fDsrHold << 1) | (stat.fRlsdHold << 2) |
                          (stat.fXoffHold << 3) | (stat.fXoffSent << 4) | (stat.fEof << 5) |
                          (stat.fTxim << 6);
    return TComStateFlags::FromBits(static_cast<uint8_t>(bits));
}

TComErrors TCustomComPort::LastErrors() {
    DWORD flags = 0;
    QueryStatus(Handle(), &flags);
    TComErrors result;
    if (flags & CE_FRAME) result.Include(ceFrame);
    if ((flags & CE_RXPARITY) && Parity().Check()) result.Include(ceRxParity);
    if (flags & CE_OVERRUN) result.Include(ceOverrun);
    if (flags & CE_RXOVER) result.Include(ceRxOver);
    if (flags & CE_TXFULL) result.Include(ceTxFull);
    if (flags & CE_BREAK) result.Include(ceBreak);
    if (flags & CE_IOE) result.Include(ceIO);
    if (flags & CE_MODE) result.Include(ceMode);
    return result;
}

TComSignals TCustomComPort::Signals() {
    DWORD status = 0;
    if (!GetCommModemStatus(Handle(), &status)) RaiseLast(ErrModemStatus);
    TComSignals result;
    if (status & MS_CTS_ON) result.Include(csCTS);
    if (status & MS_DSR_ON) result.Include(csDSR);
    if (status & MS_RING_ON) result.Include(csRing);
    if (status & MS_RLSD_ON) result.Include(csRLSD);
    return result;
}

namespace {

void Escape(HANDLE h, DWORD Func) {
    if (!EscapeCommFunction(h, Func)) RaiseLast(ErrEscapeComm);
}

} // namespace

void TCustomComPort::SetBreak(bool OnOff) {
    Escape(Handle(), OnOff ? SETBREAK : CLRBREAK);
}

void TCustomComPort::SetDTR(bool OnOff) {
    Escape(Handle(), OnOff ? SETDTR : CLRDTR);
}

void TCustomComPort::SetRTS(bool OnOff) {
    Escape(Handle(), OnOff ? SETRTS : CLRRTS);
}

void TCustomComPort::SetXonXoff(bool OnOff) {
    Escape(Handle(), OnOff ? SETXON : SETXOFF);
}

void TCustomComPort::TransmitChar(char Ch) {
    if (!TransmitCommChar(Handle(), Ch)) RaiseLast(ErrTransmitChar);
}
