#pragma once

#include "cport/ComTypes.h"
#include "platform/comm/WinComm.h"
#include "platform/toolkit/Thread.h"

#include <exception>
#include <mutex>
#include <vector>

class TCustomComPort;

// Between the port's event set and the platform's event mask. Mask bits with no event (EV_PERR and
// the rest) are dropped.
DWORD EventsToMask(TComEvents Events);
TComEvents MaskToEvents(DWORD Mask);

// Waits on the device for the events of an open port and hands each wake-up to the port on the
// thread its SyncMethod names. Made by the port's Open on the opening thread and destroyed by its
// Close on the same thread.
class TComThread : public TThread {
  public:
    // Sets the device's event mask from the port's Events on the calling thread, then starts the
    // thread, so no event that happens after Open returns can be missed.
    explicit TComThread(TCustomComPort* AComPort);
    // Stops the thread and waits until its body has returned, serving calls sent to this thread
    // meanwhile (a dispatch waiting for it can finish). Must not run on the event thread itself.
    ~TComThread() override;

    // Asks the thread to end; does not wait.
    void Stop();

  protected:
    void Execute() override;

  private:
    friend class TCustomComPort;

    void DispatchComMsg();
    void DoEvents();
    void SendEvents();
    // The device went away: the port's followers hear it on the thread the SyncMethod names.
    void DispatchRemoved(DWORD Code);
    // An error that escaped a handler or link during a dispatch is kept (on whichever thread the
    // dispatch ran) and reported by the event thread once the dispatch has returned, so the
    // display is queued for the main thread and never holds up the event thread.
    void Keep(std::exception_ptr E);
    void ReportKept();

    TCustomComPort* FComPort;
    HANDLE FStopEvent = nullptr;
    // Written by the event thread before each dispatch; read by DoEvents on the thread the dispatch
    // runs on, which is ordered after the write by Synchronize or SendMessage.
    TComEvents FEvents;
    std::mutex FErrorLock;
    std::vector<std::exception_ptr> FErrors;
};
