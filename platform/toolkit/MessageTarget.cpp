#include "platform/toolkit/MessageTarget.h"

#include "platform/toolkit/Inbox.h"
#include "platform/toolkit/ShowException.h"
#include "platform/toolkit/Thread.h"

#include <atomic>

namespace toolkit_detail {

struct TTargetState {
    std::function<void(TMessage&)> Handler;
    std::thread::id Owner;
    std::shared_ptr<TInbox> OwnerInbox;
    std::atomic<bool> Alive{true};
};

} // namespace toolkit_detail

namespace {

// Runs the handler the way a window procedure runs: an error stops at the dispatcher and is shown.
void Dispatch(toolkit_detail::TTargetState& State, TMessage& M) {
    if (!State.Alive.load() || !State.Handler) return;
    try {
        State.Handler(M);
    } catch (...) {
        M.Result = 0;
        ShowException(std::current_exception());
    }
}

} // namespace

TMessageTarget::TMessageTarget(std::function<void(TMessage&)> Handler)
    : FState(std::make_shared<toolkit_detail::TTargetState>()) {
    FState->Handler = std::move(Handler);
    FState->Owner = std::this_thread::get_id();
    FState->OwnerInbox = toolkit_detail::CurrentInbox();
}

TMessageTarget::~TMessageTarget() {
    FState->Alive.store(false);
    FState->OwnerInbox->DropTarget(FState.get());
}

std::thread::id TMessageTarget::OwnerThreadId() const {
    return FState->Owner;
}

intptr_t SendMessage(const TMessageTarget& Target, uint32_t Msg, uintptr_t WParam, intptr_t LParam) {
    std::shared_ptr<toolkit_detail::TTargetState> state = Target.State();
    TMessage m{Msg, WParam, LParam, 0};
    if (state->Owner == std::this_thread::get_id()) {
        Dispatch(*state, m);
        return m.Result;
    }
    auto self = toolkit_detail::CurrentInbox();
    auto item = std::make_shared<toolkit_detail::TWorkItem>();
    item->Call = [state, &m] { Dispatch(*state, m); };
    item->Target = state.get();
    item->Sender = self;
    if (!state->Alive.load() || !state->OwnerInbox->Post(item)) return 0;
    self->ServeUntil([&] { return item->Done; });
    return item->Ran ? m.Result : 0;
}

bool ProcessMessages() {
    return toolkit_detail::CurrentInbox()->Serve();
}

bool WaitForMessages(std::chrono::milliseconds Timeout) {
    return toolkit_detail::CurrentInbox()->ServeFor(Timeout);
}
