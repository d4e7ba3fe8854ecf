#include "platform/toolkit/Handoff.h"

#include "platform/toolkit/Inbox.h"
#include "platform/toolkit/ShowException.h"
#include "platform/toolkit/Thread.h"

#include <deque>
#include <mutex>

namespace toolkit_detail {

struct THandoffState {
    std::thread::id Owner;
    std::shared_ptr<TInbox> OwnerInbox;
    mutable std::mutex Lock;
    std::deque<std::function<void()>> Queue;
    bool Open = true;
    // A drain is waiting in the owner's inbox, so another thread's call need not post one more.
    bool DrainPosted = false;
};

} // namespace toolkit_detail

using toolkit_detail::THandoffState;

namespace {

// Owner thread: runs the queued calls in order until none is left or the hand-off is closed. A call
// may serve the owner's queue itself (a nested drain then takes the next calls, still in order).
void Drain(const std::shared_ptr<THandoffState>& State) {
    for (;;) {
        std::function<void()> call;
        {
            std::lock_guard lk(State->Lock);
            if (!State->Open || State->Queue.empty()) {
                State->DrainPosted = false;
                return;
            }
            call = std::move(State->Queue.front());
            State->Queue.pop_front();
        }
        // Nobody waits for a queued call, so its error is shown where the owner thread shows errors.
        try {
            call();
        } catch (...) {
            ShowException(std::current_exception());
        }
    }
}

bool IsOpen(const THandoffState& State) {
    std::lock_guard lk(State.Lock);
    return State.Open;
}

} // namespace

TThreadHandoff::TThreadHandoff() : FState(std::make_shared<THandoffState>()) {
    FState->Owner = std::this_thread::get_id();
    FState->OwnerInbox = toolkit_detail::CurrentInbox();
}

TThreadHandoff::~TThreadHandoff() {
    Close();
}

void TThreadHandoff::Run(std::function<void()> Call) {
    const std::shared_ptr<THandoffState>& state = FState;
    if (std::this_thread::get_id() == state->Owner) {
        if (!IsOpen(*state)) return;
        Drain(state);
        // A drained call may have closed the hand-off (its control is going away).
        if (IsOpen(*state)) Call();
        return;
    }
    bool post = false;
    {
        std::lock_guard lk(state->Lock);
        if (!state->Open) return;
        state->Queue.push_back(std::move(Call));
        if (!state->DrainPosted) state->DrainPosted = post = true;
    }
    if (!post) return;
    auto item = std::make_shared<toolkit_detail::TWorkItem>();
    item->Call = [state] { Drain(state); };
    item->Target = state.get();
    if (state->OwnerInbox->Post(std::move(item))) return;
    // The owner thread has ended: nothing will ever run these.
    std::deque<std::function<void()>> dropped;
    std::lock_guard lk(state->Lock);
    dropped.swap(state->Queue);
    state->DrainPosted = false;
}

void TThreadHandoff::Discard() {
    std::deque<std::function<void()>> dropped;
    std::lock_guard lk(FState->Lock);
    dropped.swap(FState->Queue);
    // A drain still waiting in the owner's inbox finds nothing, or the calls queued after this.
}

void TThreadHandoff::Close() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lk(FState->Lock);
        FState->Open = false;
        dropped.swap(FState->Queue);
        FState->DrainPosted = false;
    }
    FState->OwnerInbox->DropTarget(FState.get());
    // The dropped calls (and what they own) are released here, outside the lock.
}

std::thread::id TThreadHandoff::OwnerThreadId() const {
    return FState->Owner;
}

int TThreadHandoff::PendingCount() const {
    std::lock_guard lk(FState->Lock);
    return static_cast<int>(FState->Queue.size());
}
