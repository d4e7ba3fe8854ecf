#pragma once

// Kernel objects behind HANDLE values: the handle table, events and waits.
//
// A HANDLE is an opaque number that is never reused within a process, so a stale handle (closed,
// or never issued) is reliably ERROR_INVALID_HANDLE instead of reaching another object.

#include "platform/comm/WinComm.h"

#include <memory>

class TKernelObject {
  public:
    virtual ~TKernelObject() = default;
    // Called once when the last handle to the object is closed (before the table lets go of it).
    virtual void HandleClosed() {}
};

HANDLE InsertHandle(std::shared_ptr<TKernelObject> object);
std::shared_ptr<TKernelObject> LookupHandle(HANDLE h);
template <class T> std::shared_ptr<T> LookupHandleAs(HANDLE h) {
    return std::dynamic_pointer_cast<T>(LookupHandle(h));
}

// Sets or resets an event without touching the caller's last error; false when h is no event.
bool SignalEventHandle(HANDLE h);
bool ResetEventHandle(HANDLE h);
