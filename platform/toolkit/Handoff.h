#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <thread>

namespace toolkit_detail {
struct THandoffState;
}

// Hands calls from any thread to the thread that created the object (the control's thread), for
// controls that follow a port: link callbacks arrive on whatever thread the port delivers on.
//
// On the owner thread a call runs at once; from any other thread it is queued for the owner thread
// and the caller returns without waiting for it to run (but see the queue limit below). Waiting for
// the call would deadlock: unregistering a link waits for the callbacks in flight, so a callback
// blocked on the owner thread while the owner thread unregisters (unbinding, closing or destroying
// the port) would never end. Calls run in the order they were
// handed over: one made on the owner thread first runs whatever other threads queued before it.
//
// A queued call must own what it uses (copy the received bytes, not the port's buffer). Queued calls
// run when the owner thread serves its queued work (the Qt event loop on the GUI thread, or
// ProcessMessages / WaitForMessages); an exception a queued call raises goes to ShowException.
//
// Create and destroy the object on the owner thread. Close (or destruction) drops the queued calls
// and refuses later ones, so a control that owns one is never called once it is going away.
//
// A follower that hands on received data can bound what waits: with a queue limit, a call from
// another thread that carries Bytes waits while the queued calls already carry more than the limit
// allows, so a slow owner thread slows the port (and through it the sender) instead of filling
// memory. The wait ends when the owner has run enough calls, on Discard, on Close, and while a
// TNoWait scope is open: an owner that is about to wait for the callers (unregistering a link
// waits for its callbacks in flight) opens one first, or the two would wait for each other.
class TThreadHandoff {
  public:
    TThreadHandoff();
    ~TThreadHandoff();
    TThreadHandoff(const TThreadHandoff&) = delete;
    TThreadHandoff& operator=(const TThreadHandoff&) = delete;

    // Any thread. On the owner thread, raises what Call raises. Bytes is what the call carries,
    // counted against the queue limit.
    void Run(std::function<void()> Call, size_t Bytes = 0);
    // Owner thread, before calls come: the most bytes queued calls may carry before a caller
    // waits (0: no limit, the default).
    void SetQueueLimit(size_t Bytes);
    // Owner thread: drops the calls queued so far (they belong to a source the control has just
    // let go, such as the port it unbound from); later calls are taken as before.
    void Discard();
    // Owner thread: drops the queued calls; Run does nothing from now on, on any thread.
    void Close();

    std::thread::id OwnerThreadId() const;
    bool IsOwnerThread() const { return std::this_thread::get_id() == OwnerThreadId(); }
    // Calls queued and not yet run (any thread; a snapshot).
    int PendingCount() const;
    // Bytes the queued calls carry (any thread; a snapshot).
    size_t PendingBytes() const;

    // While one lives, no caller waits for room: the waiting ones queue their call and return.
    class TNoWait {
      public:
        explicit TNoWait(TThreadHandoff& Handoff);
        ~TNoWait();
        TNoWait(const TNoWait&) = delete;
        TNoWait& operator=(const TNoWait&) = delete;

      private:
        std::shared_ptr<toolkit_detail::THandoffState> FState;
    };

  private:
    std::shared_ptr<toolkit_detail::THandoffState> FState;
};
