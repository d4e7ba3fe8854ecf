#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// The thread that ran the program's static initialisation, i.e. the one that runs main().
std::thread::id MainThreadId();
bool IsMainThread();

// Runs the calls that worker threads queued for the main thread (Synchronize, Queue) and the
// messages sent to message targets the main thread owns. Call it on the main thread only; elsewhere
// it does nothing. Returns whether it ran anything.
bool CheckSynchronize();

// Called (from any thread) whenever work is queued for the main thread, so an event loop that is
// asleep can wake up and call CheckSynchronize. The Qt side installs one that posts a queued call.
// Pass an empty function to remove it.
void SetMainThreadWakeHook(std::function<void()> Hook);

namespace toolkit_detail {
struct TInbox;
std::shared_ptr<TInbox> CurrentInbox();
} // namespace toolkit_detail

// A thread with an overridable body. Execute runs on the new thread; everything else is called
// from the thread that owns the object (usually the main thread).
//
// Destroying the object terminates it and waits for Execute to return. Because the subclass part of
// the object is already gone when the base destructor runs, a subclass whose Execute uses its own
// members must call TerminateAndWait() in its own destructor. Never destroy it from its own thread.
class TThread {
  public:
    // The body never starts from this constructor: a base cannot run Execute before its subclass
    // is built. A thread "created running" calls Resume() as the last step of its own constructor;
    // CreateSuspended only documents the intent at the call site.
    explicit TThread(bool CreateSuspended = true);
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts a thread created suspended; does nothing once started.
    void Resume();
    // Asks Execute to end; Execute polls Terminated().
    void Terminate() { FTerminated.store(true); }
    bool Terminated() const { return FTerminated.load(); }
    // Whether Execute has returned (or the thread never started and cannot start any more).
    bool Finished() const { return FFinished.load(); }
    // Blocks until Execute has returned. While it waits, the calling thread keeps serving calls
    // queued for it (Synchronize calls when it is the main thread, messages sent to its targets),
    // so a worker blocked in Synchronize or SendMessage can finish. Returns at once for a thread
    // that was never started. Must not be called from the thread itself.
    void WaitFor();
    void TerminateAndWait() {
        Terminate();
        WaitFor();
    }
    std::thread::id ThreadId() const;
    // An exception that escaped Execute, or null.
    std::exception_ptr FatalException() const;

    // Runs Method on the main thread and waits for it; runs it directly when already there. An
    // exception it raises is raised again here with its own type.
    static void Synchronize(const std::function<void()>& Method);
    // Queues Method for the main thread without waiting (runs directly on the main thread).
    // An exception it raises there goes to ShowException.
    static void Queue(std::function<void()> Method);

  protected:
    virtual void Execute() = 0;

  private:
    void Run();

    std::thread FThread;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    std::atomic<bool> FStarted{false};
    mutable std::mutex FLock;
    std::exception_ptr FFatal;
    std::thread::id FId;
    std::vector<std::weak_ptr<toolkit_detail::TInbox>> FWaiters;
};
