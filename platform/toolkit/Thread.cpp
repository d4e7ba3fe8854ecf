#include "platform/toolkit/Thread.h"

#include "platform/toolkit/Inbox.h"
#include "platform/toolkit/ShowException.h"

using toolkit_detail::TInbox;
using toolkit_detail::TWorkItem;

namespace {

std::thread::id& MainId() {
    static std::thread::id id = std::this_thread::get_id();
    return id;
}
// Taken while the program's static objects are built, i.e. on the thread that runs main().
[[maybe_unused]] const std::thread::id gMainIdAtStart = MainId();

// Closes a worker thread's inbox when the thread ends, so sends to its targets return at once.
struct TInboxHolder {
    std::shared_ptr<TInbox> Inbox;
    ~TInboxHolder() {
        if (Inbox) Inbox->Close();
    }
};

} // namespace

std::thread::id MainThreadId() {
    return MainId();
}
bool IsMainThread() {
    return std::this_thread::get_id() == MainId();
}

namespace toolkit_detail {

std::shared_ptr<TInbox> MainInbox() {
    static const std::shared_ptr<TInbox> inbox = std::make_shared<TInbox>();
    return inbox;
}

std::shared_ptr<TInbox> CurrentInbox() {
    if (IsMainThread()) return MainInbox();
    thread_local TInboxHolder holder;
    if (!holder.Inbox) holder.Inbox = std::make_shared<TInbox>();
    return holder.Inbox;
}

} // namespace toolkit_detail

bool CheckSynchronize() {
    if (!IsMainThread()) return false;
    return toolkit_detail::MainInbox()->Serve();
}

void SetMainThreadWakeHook(std::function<void()> Hook) {
    auto inbox = toolkit_detail::MainInbox();
    std::function<void()> wake;
    {
        std::lock_guard lk(inbox->Lock);
        inbox->WakeHook = std::move(Hook);
        if (!inbox->Queue.empty()) wake = inbox->WakeHook;
    }
    // Calls queued before the hook existed would otherwise wait for the next post.
    if (wake) wake();
}

TThread::TThread(bool) {}

TThread::~TThread() {
    TerminateAndWait();
}

void TThread::Resume() {
    std::lock_guard lk(FLock);
    if (FStarted.load() || FFinished.load()) return;
    FStarted.store(true);
    FThread = std::thread([this] { Run(); });
    FId = FThread.get_id();
}

void TThread::Run() {
    try {
        Execute();
    } catch (...) {
        std::lock_guard lk(FLock);
        FFatal = std::current_exception();
    }
    std::vector<std::weak_ptr<TInbox>> waiters;
    {
        std::lock_guard lk(FLock);
        FFinished.store(true);
        waiters.swap(FWaiters);
    }
    for (auto& w : waiters)
        if (auto inbox = w.lock()) inbox->Signal();
}

void TThread::WaitFor() {
    {
        std::lock_guard lk(FLock);
        if (!FStarted.load()) {
            // Never started: it cannot start any more once somebody waited for its end.
            FFinished.store(true);
            return;
        }
        if (std::this_thread::get_id() == FId) return; // waiting for oneself would never end
    }
    auto inbox = toolkit_detail::CurrentInbox();
    {
        std::lock_guard lk(FLock);
        FWaiters.push_back(inbox);
    }
    inbox->ServeUntil([this] { return FFinished.load(); });
    std::lock_guard lk(FLock);
    if (FThread.joinable()) FThread.join();
}

std::thread::id TThread::ThreadId() const {
    std::lock_guard lk(FLock);
    return FId;
}

std::exception_ptr TThread::FatalException() const {
    std::lock_guard lk(FLock);
    return FFatal;
}

void TThread::Synchronize(const std::function<void()>& Method) {
    if (IsMainThread()) {
        Method();
        return;
    }
    auto self = toolkit_detail::CurrentInbox();
    auto item = std::make_shared<TWorkItem>();
    item->Call = [&Method] { Method(); };
    item->Sender = self;
    toolkit_detail::MainInbox()->Post(item);
    self->ServeUntil([&] { return item->Done; });
    // Taken out of the record so the exception object is released on this thread only: the main
    // thread may drop its reference to the record at any moment.
    std::exception_ptr error;
    {
        std::lock_guard lk(self->Lock);
        error = std::move(item->Error);
    }
    if (error) std::rethrow_exception(error);
}

void TThread::Queue(std::function<void()> Method) {
    auto guarded = [m = std::move(Method)] {
        try {
            m();
        } catch (...) {
            ShowException(std::current_exception());
        }
    };
    if (IsMainThread()) {
        guarded();
        return;
    }
    auto item = std::make_shared<TWorkItem>();
    item->Call = std::move(guarded);
    toolkit_detail::MainInbox()->Post(std::move(item));
}
