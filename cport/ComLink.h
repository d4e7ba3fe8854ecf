#pragma once

#include "cport/ComTypes.h"
#include "platform/toolkit/Object.h"

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

// Handlers of the port's events. Sender is always the port.
using TRxCharEvent = std::function<void(TObject* Sender, int Count)>;
using TRxBufEvent = std::function<void(TObject* Sender, const char* Buffer, int Count)>;
using TComSignalEvent = std::function<void(TObject* Sender, bool OnOff)>;
using TComErrorEvent = std::function<void(TObject* Sender, TComErrors Errors)>;
// The port's device went away while the port was open (unplugged, far end closed). Error says so
// in the port's words (its Code names the failed wait, its WinCode the platform's reason).
using TComRemovedEvent = std::function<void(TObject* Sender, const EComPort& Error)>;

// What a component that follows a port (framer, signal LED, terminal) hears of it. The component
// owns its link and registers it with the port; the port only keeps a reference.
class TComLink : public TObject {
  public:
    std::string ClassName() const override { return "TComLink"; }

    TRxBufEvent OnRxBuf;
    TComSignalEvent OnCTSChange;
    TComSignalEvent OnDSRChange;
    TComSignalEvent OnRLSDChange;
    TNotifyEvent OnRing;
    TComSignalEvent OnTxSignal;
    TComSignalEvent OnRxSignal;
    // Once per open, on the thread the port's SyncMethod names, after the event thread has ended
    // its waits: the port stays open (Connected) until its owner closes it.
    TComRemovedEvent OnRemoved;
};

class TComponent;
class TCustomComPort;

// How a follower (framer, LED, terminal) keeps its link registered with exactly the port it follows
// (ComFollow.cpp). Bind expects Current to be empty; Current is set only once the link is registered
// and the follower hears of the port's end, so a failure leaves the follower without a port.
void BindLink(TComponent& Follower, TComLink& Link, TCustomComPort*& Current, TCustomComPort* Value);
// Unregisters the link (waiting for its callbacks in flight on other threads) and stops hearing of
// the port; Current is empty afterwards. Nothing happens without a port.
void UnbindLink(TComponent& Follower, TComLink& Link, TCustomComPort*& Current);

// The port's ordered list of registered links. Links are registered and unregistered on the
// caller's thread while the event thread (or a writer thread sending the Tx signal) walks the list,
// so the list is guarded; a walk re-checks each link just before calling it, and Remove waits until
// no other thread is inside a callback of the link, so once Remove has returned the link is never
// called again and its owner may destroy it.
class TComLinkList {
  public:
    TComLinkList() = default;
    TComLinkList(const TComLinkList&) = delete;
    TComLinkList& operator=(const TComLinkList&) = delete;

    // False when the link is already registered (or null).
    bool Add(TComLink* Link);
    // False when the link is not registered. Waits for callbacks of Link running on other threads.
    bool Remove(TComLink* Link);
    bool Contains(TComLink* Link) const;
    int Count() const;
    // True when some registered link takes received blocks (has OnRxBuf set).
    bool AnyTakesRxBuf() const;

    // Calls Fn(link) for each link registered when the walk starts, in registration order, skipping
    // links unregistered meanwhile. Fn runs without the lock held, so it may register, unregister or
    // walk again; an exception from Fn ends the walk and passes on.
    template <typename F> void ForEach(F&& Fn) {
        for (TComLink* link : Snapshot()) {
            if (!Enter(link)) continue;
            struct Leaver {
                TComLinkList* List;
                TComLink* Link;
                ~Leaver() { List->Leave(Link); }
            } leaver{this, link};
            Fn(link);
        }
    }

  private:
    std::vector<TComLink*> Snapshot() const;
    bool Enter(TComLink* Link);
    void Leave(TComLink* Link);

    mutable std::mutex FLock;
    std::condition_variable FIdle;
    std::vector<TComLink*> FLinks;
    // One entry per callback in progress: which link, on which thread.
    std::vector<std::pair<TComLink*, std::thread::id>> FActive;
};
