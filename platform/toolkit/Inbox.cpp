#include "platform/toolkit/Inbox.h"

#include "platform/toolkit/Thread.h"

#include <vector>

namespace toolkit_detail {

bool TInbox::Post(std::shared_ptr<TWorkItem> Item) {
    std::function<void()> hook;
    {
        std::lock_guard lk(Lock);
        if (Closed) return false;
        Queue.push_back(std::move(Item));
        hook = WakeHook;
    }
    Wake.notify_all();
    if (hook) hook();
    return true;
}

bool TInbox::Serve() {
    bool any = false;
    for (;;) {
        std::shared_ptr<TWorkItem> item;
        {
            std::lock_guard lk(Lock);
            if (Queue.empty()) break;
            item = std::move(Queue.front());
            Queue.pop_front();
        }
        any = true;
        try {
            item->Call();
        } catch (...) {
            item->Error = std::current_exception();
        }
        Complete(item, true);
    }
    return any;
}

void TInbox::Signal() {
    { std::lock_guard lk(Lock); }
    Wake.notify_all();
}

void TInbox::DropTarget(const void* Target) {
    std::vector<std::shared_ptr<TWorkItem>> dropped;
    {
        std::lock_guard lk(Lock);
        for (auto it = Queue.begin(); it != Queue.end();) {
            if ((*it)->Target == Target) {
                dropped.push_back(std::move(*it));
                it = Queue.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Completed outside our lock: completing takes the sender's lock.
    for (auto& item : dropped)
        Complete(item, false);
}

void TInbox::Close() {
    std::deque<std::shared_ptr<TWorkItem>> dropped;
    {
        std::lock_guard lk(Lock);
        Closed = true;
        dropped.swap(Queue);
    }
    for (auto& item : dropped)
        Complete(item, false);
}

void TInbox::ServeUntil(const std::function<bool()>& Ready) {
    std::unique_lock lk(Lock);
    while (!Ready()) {
        if (!Queue.empty()) {
            lk.unlock();
            Serve();
            lk.lock();
            continue;
        }
        Wake.wait(lk);
    }
}

bool TInbox::ServeFor(std::chrono::milliseconds Timeout) {
    auto deadline = std::chrono::steady_clock::now() + Timeout;
    {
        std::unique_lock lk(Lock);
        if (!Wake.wait_until(lk, deadline, [this] { return !Queue.empty(); })) return false;
    }
    return Serve();
}

void Complete(const std::shared_ptr<TWorkItem>& Item, bool Ran) {
    if (!Item->Sender) {
        Item->Ran = Ran;
        return;
    }
    {
        std::lock_guard lk(Item->Sender->Lock);
        Item->Ran = Ran;
        Item->Done = true;
    }
    Item->Sender->Wake.notify_all();
}

} // namespace toolkit_detail
