#include "platform/toolkit/Handoff.h"

#include "platform/toolkit/Inbox.h"
#include "platform/toolkit/ShowException.h"
#include "platform/toolkit/Thread.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

namespace toolkit_detail {

struct THandoffState {
    std::thread::id Owner;
    std::shared_ptr<TInbox> OwnerInbox;
    mutable std::mutex Lock;
    std::condition_variable Room; // queued bytes went down, or waiting was called off
    std::deque<std::pair<std::function<void()>, size_t>> Queue;
    size_t Limit = 0, Queued = 0;
    int NoWait = 0;
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
            call = std::move(State->Queue.front().first);
            State->Queued -= State->Queue.front().second;
            State->Queue.pop_front();
            State->Room.notify_all();
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

void TThreadHandoff::Run(std::function<void()> Call, size_t Bytes) {
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
        std::unique_lock lk(state->Lock);
        if (state->Limit && Bytes)
            state->Room.wait(lk, [&] {
                return !state->Open || state->NoWait > 0 || state->Queued == 0 ||
                       state->Queued + Bytes <= state->Limit;
            });
        if (!state->Open) return;
        state->Queue.emplace_back(std::move(Call), Bytes);
        state->Queued += Bytes;
        if (!state->DrainPosted) state->DrainPosted = post = true;
    }
    if (!post) return;
    auto item = std::make_shared<toolkit_detail::TWorkItem>();
    item->Call = [state] { Drain(state); };
    item->Target = state.get();
    if (state->OwnerInbox->Post(std::move(item))) return;
    // The owner thread has ended: nothing will ever run these.
    decltype(state->Queue) dropped;
    std::lock_guard lk(state->Lock);
    dropped.swap(state->Queue);
    state->Queued = 0;
    state->DrainPosted = false;
    state->Room.notify_all();
}

void TThreadHandoff::SetQueueLimit(size_t Bytes) {
    std::lock_guard lk(FState->Lock);
    FState->Limit = Bytes;
    FState->Room.notify_all();
}

void TThreadHandoff::Discard() {
    decltype(FState->Queue) dropped;
    std::lock_guard lk(FState->Lock);
    dropped.swap(FState->Queue);
    FState->Queued = 0;
    FState->Room.notify_all();
    // A drain still waiting in the owner's inbox finds nothing, or the calls queued after this.
}

void TThreadHandoff::Close() {
    decltype(FState->Queue) dropped;
    {
        std::lock_guard lk(FState->Lock);
        FState->Open = false;
        dropped.swap(FState->Queue);
        FState->Queued = 0;
        FState->DrainPosted = false;
        FState->Room.notify_all();
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

size_t TThreadHandoff::PendingBytes() const {
    std::lock_guard lk(FState->Lock);
    return FState->Queued;
}

TThreadHandoff::TNoWait::TNoWait(TThreadHandoff& Handoff) : FState(Handoff.FState) {
    std::lock_guard lk(FState->Lock);
    ++FState->NoWait;
    FState->Room.notify_all();
}

TThreadHandoff::TNoWait::~TNoWait() {
    std::lock_guard lk(FState->Lock);
    --FState->NoWait;
}
