// The event thread under the three sync methods: where handlers run, closing while a delivery is in
// flight, handler errors, closing from a handler, and a device that goes away.

#include "cport/DispatchTestKit.h"

#include "platform/toolkit/Thread.h"

#include <sys/resource.h>

#include <atomic>
#include <future>
#include <thread>

using namespace dispatchkit;

namespace {

class ThreadSync : public ::testing::TestWithParam<TSyncMethod> {};

std::string Name(const ::testing::TestParamInfo<TSyncMethod>& Info) {
    switch (Info.param) {
    case smThreadSync:
        return "ThreadSync";
    case smWindowSync:
        return "WindowSync";
    case smNone:
        return "None";
    }
    return "Unknown";
}

// Notes when work is queued for the main thread, without serving it.
class TMainWorkWatch {
  public:
    TMainWorkWatch() {
        SetMainThreadWakeHook([this] {
            {
                std::lock_guard lock(FLock);
                FQueued = true;
            }
            FChanged.notify_all();
        });
    }
    ~TMainWorkWatch() { SetMainThreadWakeHook(nullptr); }
    bool WaitQueued(std::chrono::milliseconds Limit = 5000ms) {
        std::unique_lock lock(FLock);
        return FChanged.wait_for(lock, Limit, [&] { return FQueued; });
    }

  private:
    std::mutex FLock;
    std::condition_variable FChanged;
    bool FQueued = false;
};

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

TEST_P(ThreadSync, HandlersRunOnTheThreadTheMethodNames) {
    TVirtualPort p("COM9", GetParam());
    TComPort& port = *p.Port;
    TLog log;
    std::atomic<std::thread::id> where{};
    port.SetOnRxChar([&](TObject*, int Count) {
        where = std::this_thread::get_id();
        std::string s(static_cast<size_t>(Count), '\0');
        port.Read(s.data(), Count);
        log.Add("got " + s);
    });
    port.Open();
    p.Dev->Deliver("abc");
    ASSERT_TRUE(log.WaitFor("got abc"));
    port.Close();
    if (GetParam() == smNone)
        EXPECT_NE(where.load(), std::this_thread::get_id());
    else
        EXPECT_EQ(where.load(), std::this_thread::get_id());
}

TEST(ThreadWindowSync, HandlersRunOnTheOpeningThreadEvenWhenThatIsNotMain) {
    TVirtualPort p("COM9", smWindowSync);
    TComPort& port = *p.Port;
    std::atomic<std::thread::id> where{}, opener{};
    std::atomic<bool> done{false};
    port.SetOnRxChar([&](TObject*, int Count) {
        where = std::this_thread::get_id();
        std::string s(static_cast<size_t>(Count), '\0');
        port.Read(s.data(), Count);
        done = true;
    });
    std::thread worker([&] {
        opener = std::this_thread::get_id();
        port.Open();
        p.Dev->Deliver("q");
        ServeUntil([&] { return done.load(); });
        port.Close();
    });
    worker.join();
    EXPECT_TRUE(done.load());
    EXPECT_EQ(where.load(), opener.load());
}

TEST_P(ThreadSync, CloseWhileADeliveryIsInFlightDoesNotDeadlock) {
    TMainWorkWatch watch;
    TShownErrors shown;
    TVirtualPort p("COM9", GetParam());
    TComPort& port = *p.Port;
    TLog log;
    if (GetParam() == smNone) {
        // The handler sits in a read that only more data (or an abort) can end.
        port.Timeouts().SetReadInterval(0);
        port.Timeouts().SetReadTotalC(60000);
        port.SetOnRxChar([&](TObject*, int) {
            char buf[16];
            PAsync a = nullptr;
            InitAsync(a);
            try {
                port.ReadAsync(buf, sizeof buf, a);
                log.Add("reading");
                port.WaitForAsync(a);
                log.Add("read ended");
            } catch (...) {
                DoneAsync(a);
                throw;
            }
            DoneAsync(a);
        });
    } else {
        port.SetOnRxChar([&](TObject*, int Count) { log.Add("rxchar " + std::to_string(Count)); });
    }
    port.Open();
    p.Dev->Deliver("1");
    if (GetParam() == smNone) {
        ASSERT_TRUE(log.WaitFor("reading"));
    } else {
        // The event thread now waits for the main thread to run the delivery; close without
        // serving it first.
        ASSERT_TRUE(watch.WaitQueued());
    }
    port.Close();
    EXPECT_FALSE(port.Connected());
    EXPECT_FALSE(port.ThreadCreated());
    if (GetParam() == smThreadSync) {
        EXPECT_TRUE(log.Contains("rxchar 1")) << "Close serves the delivery it waits for";
    }
    if (GetParam() == smNone) {
        // Close aborted the handler's read; its error reaches the main thread.
        EXPECT_FALSE(log.Contains("read ended"));
        EXPECT_TRUE(shown.Log.WaitFor("ReadFile function failed (win error code: 995)"));
    }
}

TEST_P(ThreadSync, AFailingHandlerIsShownAndTheRestOfTheWakeUpStillComes) {
    TShownErrors shown;
    TVirtualPort p("COM9", GetParam());
    TComPort& port = *p.Port;
    TLog log;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    port.SetOnRing([&](TObject*) {
        log.Add("ring");
        if (GetParam() == smNone) released.wait();
    });
    port.SetOnRxChar([&](TObject*, int) { throw Exception("handler failed"); });
    port.SetOnCTSChange([&](TObject*, bool On) { log.Add(OnOff("cts", On)); });
    port.SetOnDSRChange([&](TObject*, bool On) { log.Add(OnOff("dsr", On)); });
    port.Open();
    log.Clear();
    if (GetParam() == smNone) {
        // Hold the event thread so that data and CTS arrive as one wake-up.
        p.Dev->SetRing(true);
        ASSERT_TRUE(log.WaitFor("ring"));
        p.Dev->Deliver("x");
        p.Dev->SetCTS(true);
        release.set_value();
    } else {
        // The main thread serves nothing until it waits below, so both are latched together.
        p.Dev->Deliver("x");
        p.Dev->SetCTS(true);
    }
    ASSERT_TRUE(log.WaitFor("cts on"));
    ASSERT_TRUE(shown.Log.WaitFor("handler failed"));
    // The thread survived: a later change still arrives.
    p.Dev->SetDSR(true);
    ASSERT_TRUE(log.WaitFor("dsr on"));
    port.Close();
}

TEST_P(ThreadSync, ClosingFromAHandlerIsRefusedClearlyAndThePortStaysUsable) {
    TShownErrors shown;
    TVirtualPort p("COM9", GetParam());
    TComPort& port = *p.Port;
    TLog log;
    port.SetOnRxChar([&](TObject*, int Count) {
        std::string s(static_cast<size_t>(Count), '\0');
        port.Read(s.data(), Count);
        try {
            port.Close();
            log.Add("closed");
        } catch (const EComPort&) {
            log.Add("EComPort");
        } catch (const Exception& e) {
            log.Add(std::string("refused: ") + e.what());
        }
        log.Add(port.Connected() ? "still open" : "not open");
    });
    port.SetOnBeforeClose([&](TObject*) { log.Add("before close"); });
    port.Open();
    p.Dev->Deliver("x");
    ASSERT_TRUE(log.WaitFor("still open"));
    const auto items = log.Items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].rfind("refused: Cannot close the com port from its own event handler", 0), 0u)
        << items[0];
    // The port still delivers and still closes from its owner.
    log.Clear();
    port.SetOnRxChar([&](TObject*, int) { log.Add("again"); });
    p.Dev->Deliver("y");
    ASSERT_TRUE(log.WaitFor("again"));
    port.Close();
    EXPECT_FALSE(port.Connected());
    EXPECT_TRUE(log.Contains("before close"));
}

INSTANTIATE_TEST_SUITE_P(AllMethods, ThreadSync, ::testing::Values(smThreadSync, smWindowSync, smNone), Name);

TEST(ThreadDevice, ARemovedDeviceEndsTheWaitWithoutSpinningAndCloseStillWorks) {
    TVirtualPort p;
    TComPort& port = *p.Port;
    port.Open();
    ASSERT_TRUE(port.ThreadCreated());
    p.Dev->Remove();
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(300ms);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;
    EXPECT_LT(cpu, wall / 4) << "a thread kept spinning on a failed wait";
    // Close aborts and purges a device that is gone; whatever that reports, the thread must end.
    try {
        port.Close();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.Code(), ErrPurgeComm);
        p.Port.reset();
    }
}
