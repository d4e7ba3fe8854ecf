#include "platform/toolkit/Handoff.h"
#include "platform/toolkit/MessageTarget.h"
#include "platform/toolkit/ShowException.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// What the handed-over calls did; only the owner thread (the test's) appends, so it needs no lock.
struct TOwnerLog {
    std::vector<std::string> Items;
};

// Serves the calling thread's queue until Pred holds or the time runs out.
bool ServeUntil(const std::function<bool()>& Pred, std::chrono::milliseconds Limit = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + Limit;
    while (!Pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        WaitForMessages(2ms);
    }
    return true;
}

// Runs Fn on a new thread and waits for it without serving this thread's queue: a hand-off that
// waited for the owner thread would never return here.
bool RunElsewhere(const std::function<void()>& Fn) {
    auto done = std::async(std::launch::async, Fn);
    return done.wait_for(5s) == std::future_status::ready;
}

} // namespace

TEST(Handoff, RunsAtOnceOnTheOwnerThreadAndQueuesWithoutWaitingElsewhere) {
    TThreadHandoff handoff;
    TOwnerLog log;
    handoff.Run([&] { log.Items.push_back("direct"); });
    EXPECT_EQ(log.Items, std::vector<std::string>{"direct"});

    std::string payload = "bytes";
    ASSERT_TRUE(RunElsewhere([&] {
        EXPECT_FALSE(handoff.IsOwnerThread());
        // The call owns a copy: the source is gone before it runs.
        std::string local = payload;
        handoff.Run([&log, copy = local] { log.Items.push_back(copy); });
        local.assign(5, 'x');
    }));
    EXPECT_EQ(log.Items.size(), 1u) << "a queued call ran before the owner served its queue";
    EXPECT_EQ(handoff.PendingCount(), 1);
    ASSERT_TRUE(ServeUntil([&] { return log.Items.size() == 2; }));
    EXPECT_EQ(log.Items.back(), "bytes");
}

TEST(Handoff, KeepsTheOrderOfEveryThreadAndRunsQueuedCallsBeforeADirectOne) {
    TThreadHandoff handoff;
    TOwnerLog log;
    constexpr int PerThread = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < PerThread; ++i)
                handoff.Run(
                    [&log, t, i] { log.Items.push_back(std::to_string(t) + ":" + std::to_string(i)); });
        });
    for (auto& th : threads)
        th.join();
    // A call made on the owner thread now comes after everything queued before it.
    handoff.Run([&] { log.Items.push_back("direct"); });
    ASSERT_EQ(log.Items.size(), 3u * PerThread + 1);
    EXPECT_EQ(log.Items.back(), "direct");
    int next[3] = {0, 0, 0};
    for (size_t k = 0; k + 1 < log.Items.size(); ++k) {
        const std::string& s = log.Items[k];
        const int t = s[0] - '0';
        ASSERT_EQ(s, std::to_string(t) + ":" + std::to_string(next[t])) << "out of order at " << k;
        ++next[t];
    }
}

TEST(Handoff, DiscardedClosedOrDestroyedItNeverRunsAQueuedCall) {
    std::atomic<int> ran{0};
    {
        // Discard drops what is queued and keeps taking new calls.
        TThreadHandoff handoff;
        ASSERT_TRUE(RunElsewhere([&] { handoff.Run([&] { ran += 100; }); }));
        handoff.Discard();
        ASSERT_TRUE(RunElsewhere([&] { handoff.Run([&] { ++ran; }); }));
        ASSERT_TRUE(ServeUntil([&] { return ran.load() != 0; }));
        EXPECT_EQ(ran.exchange(0), 1);
    }
    {
        TThreadHandoff handoff;
        ASSERT_TRUE(RunElsewhere([&] { handoff.Run([&] { ++ran; }); }));
        handoff.Close();
        handoff.Run([&] { ++ran; }); // refused on the owner thread too
        ASSERT_TRUE(RunElsewhere([&] { handoff.Run([&] { ++ran; }); }));
        EXPECT_EQ(handoff.PendingCount(), 0);
    }
    {
        TThreadHandoff handoff;
        ASSERT_TRUE(RunElsewhere([&] { handoff.Run([&] { ++ran; }); }));
    } // destroyed with a call queued
    ServeUntil([] { return false; }, 50ms);
    EXPECT_EQ(ran.load(), 0);
}

TEST(Handoff, AQueuedCallsErrorIsShownAndADirectCallsErrorIsRaised) {
    std::vector<std::string> shown;
    auto previous = SetShowExceptionHandler([&](const std::string& text) { shown.push_back(text); });
    TThreadHandoff handoff;
    int after = 0;
    ASSERT_TRUE(RunElsewhere([&] {
        handoff.Run([] { throw std::runtime_error("queued failure"); });
        handoff.Run([&] { ++after; });
    }));
    ASSERT_TRUE(ServeUntil([&] { return after == 1; }));
    EXPECT_EQ(shown, std::vector<std::string>{"queued failure"});
    EXPECT_THROW(handoff.Run([] { throw std::runtime_error("direct failure"); }), std::runtime_error);
    SetShowExceptionHandler(previous);
}

// Producers hand calls over while the owner serves and then closes: no call runs after Close and
// nothing races (run under TSan).
TEST(Handoff, ManyProducersWhileTheOwnerServesAndCloses) {
    TThreadHandoff handoff;
    std::atomic<bool> closed{false};
    std::atomic<int> ranAfterClose{0};
    int ran = 0;
    std::vector<std::thread> producers;
    for (int t = 0; t < 3; ++t)
        producers.emplace_back([&] {
            for (int i = 0; i < 3000; ++i)
                handoff.Run([&] {
                    ++ran;
                    if (closed.load()) ++ranAfterClose;
                });
        });
    EXPECT_TRUE(ServeUntil([&] { return ran >= 500; }));
    handoff.Close();
    closed.store(true);
    for (auto& p : producers)
        p.join();
    ServeUntil([] { return false; }, 20ms);
    EXPECT_EQ(ranAfterClose.load(), 0);
    EXPECT_EQ(handoff.PendingCount(), 0);
}

// With a limit, a caller waits while the queued calls carry too much; serving, discarding, closing
// and a no-wait scope each end the wait. The first call always goes in, whatever its size.
TEST(Handoff, ABoundedQueueHoldsTheCallerUntilThereIsRoomOrTheWaitIsCalledOff) {
    enum { Serve, Discard, NoWait, Close };
    for (int How : {Serve, Discard, NoWait, Close}) {
        SCOPED_TRACE(How);
        TThreadHandoff H;
        H.SetQueueLimit(100);
        std::atomic<int> Ran{0};
        ASSERT_TRUE(RunElsewhere([&] { H.Run([&] { ++Ran; }, 150); }));
        std::atomic<bool> Returned{false};
        std::thread Caller([&] {
            H.Run([&] { ++Ran; }, 10);
            Returned = true;
        });
        std::this_thread::sleep_for(50ms);
        EXPECT_FALSE(Returned.load());
        EXPECT_EQ(H.PendingBytes(), 150u);
        std::optional<TThreadHandoff::TNoWait> Scope;
        if (How == Serve) {
            ASSERT_TRUE(ServeUntil([&] { return Ran.load() >= 1; }));
        }
        if (How == Discard) H.Discard();
        if (How == NoWait) Scope.emplace(H);
        if (How == Close) H.Close();
        Caller.join();
        EXPECT_TRUE(Returned.load());
        // Serving may run the second call as well once it is queued.
        if (How == Serve) {
            EXPECT_TRUE(H.PendingBytes() == 10u || Ran.load() == 2) << H.PendingBytes();
        } else {
            EXPECT_EQ(H.PendingBytes(), How == Close ? 0u : How == NoWait ? 160u : 10u);
        }
    }
}
