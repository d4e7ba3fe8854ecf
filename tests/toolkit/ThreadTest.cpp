#include "platform/toolkit/Exception.h"
#include "platform/toolkit/Inbox.h"
#include "platform/toolkit/MessageTarget.h"
#include "platform/toolkit/ShowException.h"
#include "platform/toolkit/Thread.h"

#include "support/ShowExceptionRecorder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

using namespace std::chrono_literals;

namespace {

class EDeviceGone : public Exception {
  public:
    using Exception::Exception;
};

// A thread whose body is a function; stops itself in its destructor as a subclass must.
class TFnThread : public TThread {
  public:
    explicit TFnThread(std::function<void(TFnThread&)> Body) : TThread(true), FBody(std::move(Body)) {}
    ~TFnThread() override { TerminateAndWait(); }

  protected:
    void Execute() override { FBody(*this); }

  private:
    std::function<void(TFnThread&)> FBody;
};

// Waits until the calling thread's queue holds something (a send or call posted to it).
void WaitUntilQueued() {
    auto inbox = toolkit_detail::CurrentInbox();
    std::unique_lock lk(inbox->Lock);
    inbox->Wake.wait(lk, [&] { return !inbox->Queue.empty(); });
}

} // namespace

TEST(ThreadSynchronize, RunsOnTheMainThreadWhileItWaitsForTheWorker) {
    ASSERT_TRUE(IsMainThread());
    std::thread::id ranOn;
    int result = 0;
    TFnThread t([&](TFnThread&) {
        TThread::Synchronize([&] {
            ranOn = std::this_thread::get_id();
            result = 42;
        });
    });
    t.Resume();
    t.WaitFor(); // serves the call; without that it would never return
    EXPECT_EQ(ranOn, MainThreadId());
    EXPECT_EQ(result, 42);
    EXPECT_TRUE(t.Finished());
}

TEST(ThreadSynchronize, ReraisesTheErrorInTheCallingThreadWithItsOwnType) {
    std::string caught;
    TFnThread t([&](TFnThread&) {
        try {
            TThread::Synchronize([] { throw EDeviceGone("Unable to read from port"); });
        } catch (const EDeviceGone& e) {
            caught = "EDeviceGone: " + e.Message();
        } catch (...) {
            caught = "other";
        }
    });
    t.Resume();
    t.WaitFor();
    EXPECT_EQ(caught, "EDeviceGone: Unable to read from port");
}

TEST(ThreadSynchronize, OnTheMainThreadRunsDirectlyAndRaisesDirectly) {
    int calls = 0;
    TThread::Synchronize([&] { ++calls; });
    EXPECT_EQ(calls, 1);
    EXPECT_THROW(TThread::Synchronize([] { throw EDeviceGone("x"); }), EDeviceGone);
}

TEST(ThreadSynchronize, CheckSynchronizeServesQueuedCallsOnlyOnTheMainThread) {
    std::atomic<bool> posted{false};
    int ran = 0;
    bool workerCheck = true;
    std::thread worker([&] {
        workerCheck = CheckSynchronize();
        TThread::Queue([&] { ++ran; });
        posted = true;
    });
    worker.join();
    EXPECT_FALSE(workerCheck);
    EXPECT_EQ(ran, 0) << "a queued call waits for the main thread";
    EXPECT_TRUE(CheckSynchronize());
    EXPECT_EQ(ran, 1);
    EXPECT_FALSE(CheckSynchronize());
}

TEST(ThreadLifetime, DestroyingAThreadBlockedInSynchronizeDoesNotDeadlock) {
    std::atomic<int> loops{0};
    auto t = std::make_unique<TFnThread>([&](TFnThread& self) {
        while (!self.Terminated()) {
            TThread::Synchronize([&] { ++loops; });
        }
    });
    t->Resume();
    // Serve a few calls, then destroy it while it is (or soon will be) waiting in Synchronize.
    while (loops < 3)
        WaitForMessages(1000ms);
    t.reset();
    EXPECT_GE(loops.load(), 3);
}

TEST(ThreadLifetime, SuspendedThreadThatNeverStartsNeverRunsAndDestroysAtOnce) {
    std::atomic<bool> ran{false};
    {
        TFnThread t([&](TFnThread&) { ran = true; });
        t.WaitFor();
        t.Resume(); // too late: waiting for it ended it
    }
    EXPECT_FALSE(ran);
}

TEST(ThreadLifetime, AnErrorEscapingExecuteIsKeptNotFatal) {
    TFnThread t([](TFnThread&) { throw EDeviceGone("boom"); });
    t.Resume();
    t.WaitFor();
    ASSERT_TRUE(t.FatalException());
    EXPECT_THROW(std::rethrow_exception(t.FatalException()), EDeviceGone);
}

TEST(ThreadLifetime, TerminateIsSeenByTheBody) {
    std::atomic<bool> started{false};
    TFnThread t([&](TFnThread& self) {
        started = true;
        while (!self.Terminated())
            std::this_thread::yield();
    });
    t.Resume();
    while (!started)
        std::this_thread::yield();
    t.Terminate();
    t.WaitFor();
    EXPECT_TRUE(t.Finished());
    EXPECT_NE(t.ThreadId(), std::this_thread::get_id());
}

TEST(MessageTargets, SendFromAWorkerWhileTheOwnerIsJoiningThatWorker) {
    std::thread::id handledOn;
    TMessageTarget target([&](TMessage& m) {
        handledOn = std::this_thread::get_id();
        m.Result = static_cast<intptr_t>(m.WParam * 2 + static_cast<uintptr_t>(m.LParam));
    });
    intptr_t result = 0;
    TFnThread t([&](TFnThread&) { result = SendMessage(target, WM_USER + 1, 20, 2); });
    t.Resume();
    t.WaitFor(); // the close path: joining the event thread while it sends to us
    EXPECT_EQ(result, 42);
    EXPECT_EQ(handledOn, std::this_thread::get_id());
}

TEST(MessageTargets, SendOnTheOwningThreadCallsTheHandlerDirectly) {
    int calls = 0;
    TMessageTarget target([&](TMessage& m) {
        ++calls;
        m.Result = 7;
    });
    EXPECT_EQ(SendMessage(target, 1, 0, 0), 7);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(target.OwnerThreadId(), std::this_thread::get_id());
}

TEST(MessageTargets, TwoThreadsSendingToEachOtherDoNotDeadlock) {
    TMessageTarget mainTarget([](TMessage& m) { m.Result = 5; });
    std::promise<TMessageTarget*> workerTarget;
    std::atomic<bool> done{false};
    intptr_t workerGot = 0;
    TFnThread t([&](TFnThread&) {
        // The worker's target answers by asking the main thread something first.
        TMessageTarget mine([&](TMessage& m) { m.Result = SendMessage(mainTarget, 1, 0, 0) + 1; });
        workerTarget.set_value(&mine);
        while (!done)
            WaitForMessages(50ms);
        workerGot = 1;
    });
    t.Resume();
    TMessageTarget* w = workerTarget.get_future().get();
    EXPECT_EQ(SendMessage(*w, 1, 0, 0), 6);
    done = true;
    t.WaitFor();
    EXPECT_EQ(workerGot, 1);
}

TEST(MessageTargets, ADestroyedTargetReleasesThePendingSend) {
    std::promise<TMessageTarget*> made;
    std::atomic<bool> handled{false};
    TFnThread owner([&](TFnThread&) {
        auto target = std::make_unique<TMessageTarget>([&](TMessage&) { handled = true; });
        made.set_value(target.get());
        WaitUntilQueued(); // a send is pending now
        target.reset();
    });
    owner.Resume();
    TMessageTarget* target = made.get_future().get();
    EXPECT_EQ(SendMessage(*target, 1, 0, 0), 0);
    owner.WaitFor();
    EXPECT_FALSE(handled);
}

TEST(MessageTargets, SendToATargetWhoseThreadEndedReturnsAtOnce) {
    std::unique_ptr<TMessageTarget> orphan;
    TFnThread owner(
        [&](TFnThread&) { orphan = std::make_unique<TMessageTarget>([](TMessage& m) { m.Result = 1; }); });
    owner.Resume();
    owner.WaitFor();
    EXPECT_EQ(SendMessage(*orphan, 1, 0, 0), 0);
    // Destroyed on another thread than its owner: allowed once that thread is gone.
    orphan.reset();
}

TEST(MessageTargets, AHandlerErrorIsShownOnTheOwnerAndTheSendReturnsZero) {
    ShowExceptionRecorder shown;
    TMessageTarget target([](TMessage& m) {
        m.Result = 9;
        throw EDeviceGone("Handler failed");
    });
    intptr_t result = -1;
    TFnThread t([&](TFnThread&) { result = SendMessage(target, 1, 0, 0); });
    t.Resume();
    t.WaitFor();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(shown.Messages(), std::vector<std::string>{"Handler failed"});
}

TEST(ShowExceptionDisplay, FromAWorkerItIsQueuedToTheMainThreadWithoutBlocking) {
    ShowExceptionRecorder shown;
    std::thread worker([] { ShowException(EDeviceGone("Unable to open com port (win error code: 2)")); });
    worker.join(); // returned without anybody serving the main thread
    EXPECT_TRUE(shown.Messages().empty());
    CheckSynchronize();
    EXPECT_EQ(shown.Messages(), std::vector<std::string>{"Unable to open com port (win error code: 2)"});
}

TEST(ShowExceptionDisplay, OnTheMainThreadShowsAtOnceAndHandlesNonStandardErrors) {
    ShowExceptionRecorder shown;
    ShowException(EDeviceGone("one"));
    ShowException(std::make_exception_ptr(17));
    ShowException(std::exception_ptr());
    EXPECT_EQ(shown.Messages(), (std::vector<std::string>{"one", "Unknown error"}));
}
