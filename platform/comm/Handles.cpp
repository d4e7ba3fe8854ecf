#include "platform/comm/Handles.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

thread_local DWORD tLastError = ERROR_SUCCESS;

struct THandleTable {
    std::mutex Mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<TKernelObject>> Objects;
    uintptr_t Next = 0x1000;
};

THandleTable& Table() {
    static THandleTable table;
    return table;
}

// Every event state and every waiter list is guarded by this one lock, so a wait on several events
// sees a consistent picture and a SetEvent can never slip between a check and the sleep.
std::mutex gEventMutex;

struct TWaiter {
    std::condition_variable Cv;
};

class TEventObject : public TKernelObject {
  public:
    TEventObject(bool manual, bool initial) : FManual(manual), FSignalled(initial) {}
    bool FManual;
    bool FSignalled;
    std::vector<TWaiter*> FWaiters;

    void Set() {
        FSignalled = true;
        for (TWaiter* w : FWaiters)
            w->Cv.notify_one();
    }
};

using TClock = std::chrono::steady_clock;

} // namespace

HANDLE InsertHandle(std::shared_ptr<TKernelObject> object) {
    THandleTable& t = Table();
    std::lock_guard lock(t.Mutex);
    uintptr_t value = t.Next;
    t.Next += 4;
    t.Objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<TKernelObject> LookupHandle(HANDLE h) {
    THandleTable& t = Table();
    std::lock_guard lock(t.Mutex);
    auto it = t.Objects.find(reinterpret_cast<uintptr_t>(h));
    return it == t.Objects.end() ? nullptr : it->second;
}

BOOL CloseHandle(HANDLE h) {
    std::shared_ptr<TKernelObject> object;
    {
        THandleTable& t = Table();
        std::lock_guard lock(t.Mutex);
        auto it = t.Objects.find(reinterpret_cast<uintptr_t>(h));
        if (it != t.Objects.end()) {
            object = std::move(it->second);
            t.Objects.erase(it);
        }
    }
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Outside the table lock: closing a port stops its threads, which may look up event handles.
    object->HandleClosed();
    return TRUE;
}

bool SignalEventHandle(HANDLE h) {
    auto ev = LookupHandleAs<TEventObject>(h);
    if (!ev) return false;
    std::lock_guard lock(gEventMutex);
    ev->Set();
    return true;
}

bool ResetEventHandle(HANDLE h) {
    auto ev = LookupHandleAs<TEventObject>(h);
    if (!ev) return false;
    std::lock_guard lock(gEventMutex);
    ev->FSignalled = false;
    return true;
}

HANDLE CreateEventA(void* security, BOOL manualReset, BOOL initialState, LPCSTR name) {
    (void)security;
    if (name && *name) {
        // Named events would be shared between processes; nothing here needs them.
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return InsertHandle(std::make_shared<TEventObject>(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE h) {
    if (!SignalEventHandle(h)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL ResetEvent(HANDLE h) {
    if (!ResetEventHandle(h)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE h, DWORD ms) {
    return WaitForMultipleObjects(1, &h, FALSE, ms);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    // The references keep the events alive even if another thread closes a handle meanwhile.
    std::vector<std::shared_ptr<TEventObject>> events(count);
    for (DWORD i = 0; i < count; ++i) {
        events[i] = LookupHandleAs<TEventObject>(handles[i]);
        if (!events[i]) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (waitAll)
            for (DWORD j = 0; j < i; ++j)
                if (events[j] == events[i]) {
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return WAIT_FAILED;
                }
    }
    const bool forever = ms == INFINITE;
    const auto deadline = TClock::now() + std::chrono::milliseconds(forever ? 0 : ms);

    std::unique_lock lock(gEventMutex);
    auto ready = [&]() -> DWORD {
        if (waitAll) {
            for (auto& e : events)
                if (!e->FSignalled) return WAIT_TIMEOUT;
            for (auto& e : events)
                if (!e->FManual) e->FSignalled = false;
            return WAIT_OBJECT_0;
        }
        for (DWORD i = 0; i < count; ++i)
            if (events[i]->FSignalled) {
                if (!events[i]->FManual) events[i]->FSignalled = false;
                return WAIT_OBJECT_0 + i;
            }
        return WAIT_TIMEOUT;
    };
    DWORD r = ready();
    if (r != WAIT_TIMEOUT || ms == 0) return r;

    TWaiter waiter;
    for (auto& e : events)
        e->FWaiters.push_back(&waiter);
    for (;;) {
        if (forever) {
            waiter.Cv.wait(lock);
        } else if (waiter.Cv.wait_until(lock, deadline) == std::cv_status::timeout) {
            r = ready();
            break;
        }
        r = ready();
        if (r != WAIT_TIMEOUT) break;
    }
    for (auto& e : events)
        e->FWaiters.erase(std::find(e->FWaiters.begin(), e->FWaiters.end(), &waiter));
    return r;
}

DWORD GetLastError() {
    return tLastError;
}
void SetLastError(DWORD code) {
    tLastError = code;
}

DWORD ErrnoToWinError(int err) {
    switch (err) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
        // At open these mean "no such device" (a ttyS node without a UART gives ENXIO).
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY: // TIOCEXCL: another process has the tty open
#if EAGAIN != EWOULDBLOCK
    case EWOULDBLOCK:
#endif
    case EAGAIN: // flock(LOCK_NB): the device is locked by another opener
        return ERROR_ACCESS_DENIED;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
    case ENOBUFS:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
    case ERANGE:
        return ERROR_INVALID_PARAMETER;
    case ENOTTY:
    case ENOSYS:
    case EOPNOTSUPP:
        return ERROR_NOT_SUPPORTED;
    case ETIMEDOUT:
        return ERROR_SEM_TIMEOUT;
    case ECANCELED:
    case EINTR:
        return ERROR_OPERATION_ABORTED;
    case EIO:
    case EPIPE:
    case ESHUTDOWN:
        // On an open tty these mean the device went away (unplugged, far end of a pty closed).
        return ERROR_DEVICE_NOT_CONNECTED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

DWORD DcbFlags(const DCB& d) {
    // Bit-fields promote to int; widen first so the upper flag bits never shift into the sign.
    auto b = [](DWORD v, int at) { return v << at; };
    return b(d.fBinary, 0) | b(d.fParity, 1) | b(d.fOutxCtsFlow, 2) | b(d.fOutxDsrFlow, 3) |
           b(d.fDtrControl, 4) | b(d.fDsrSensitivity, 6) | b(d.fTXContinueOnXoff, 7) | b(d.fOutX, 8) |
           b(d.fInX, 9) | b(d.fErrorChar, 10) | b(d.fNull, 11) | b(d.fRtsControl, 12) |
           b(d.fAbortOnError, 14) | b(d.fDummy2, 15);
}

void SetDcbFlags(DCB& d, DWORD f) {
    d.fBinary = f & 1;
    d.fParity = f >> 1 & 1;
    d.fOutxCtsFlow = f >> 2 & 1;
    d.fOutxDsrFlow = f >> 3 & 1;
    d.fDtrControl = f >> 4 & 3;
    d.fDsrSensitivity = f >> 6 & 1;
    d.fTXContinueOnXoff = f >> 7 & 1;
    d.fOutX = f >> 8 & 1;
    d.fInX = f >> 9 & 1;
    d.fErrorChar = f >> 10 & 1;
    d.fNull = f >> 11 & 1;
    d.fRtsControl = f >> 12 & 3;
    d.fAbortOnError = f >> 14 & 1;
    d.fDummy2 = f >> 15;
}
