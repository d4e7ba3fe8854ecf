#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// Per-thread queue of calls other threads hand to this thread (Synchronize calls for the main
// thread, messages for the targets a thread owns), and the one condition a toolkit wait sleeps on.
namespace toolkit_detail {

struct TInbox;

struct TWorkItem {
    std::function<void()> Call;
    const void* Target = nullptr;   // the target state this message is for; null for calls
    std::shared_ptr<TInbox> Sender; // inbox woken on completion; null when nobody waits
    bool Done = false;              // guarded by Sender->Lock
    bool Ran = false;               // the call ran (false: dropped because its target went away)
    std::exception_ptr Error;
};

struct TInbox {
    std::mutex Lock;
    std::condition_variable Wake;
    std::deque<std::shared_ptr<TWorkItem>> Queue;
    bool Closed = false;
    std::function<void()> WakeHook;

    // Queues an item; false when the owning thread has ended.
    bool Post(std::shared_ptr<TWorkItem> Item);
    // Runs every queued item on the calling thread (the owner); returns whether any ran.
    bool Serve();
    // Wakes the owner so a toolkit wait re-checks its condition.
    void Signal();
    // Drops the queued items for Target and completes them unrun.
    void DropTarget(const void* Target);
    // Ends the inbox: completes everything still queued unrun; later posts fail.
    void Close();
    // Serves work until Ready() is true; Ready is evaluated with Lock held.
    void ServeUntil(const std::function<bool()>& Ready);
    // Serves work until Ready() or the deadline; returns whether anything ran.
    bool ServeFor(std::chrono::milliseconds Timeout);
};

void Complete(const std::shared_ptr<TWorkItem>& Item, bool Ran);
std::shared_ptr<TInbox> MainInbox();

} // namespace toolkit_detail
