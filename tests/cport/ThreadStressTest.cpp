// Load on the event thread: many open/close cycles under incoming data, and a long stream that must
// arrive through OnRxBuf complete, once and in order.

#include "cport/DispatchTestKit.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>

using namespace dispatchkit;

TEST(ThreadStress, ThousandOpenCloseCyclesWhileTheFarEndStreams) {
    TShownErrors shown;
    TVirtualPort p;
    TComPort& port = *p.Port;
    std::atomic<long> received{0};
    TComLink link;
    link.OnRxBuf = [&](TObject*, const char*, int Count) { received += Count; };
    port.RegisterLink(&link);
    std::atomic<bool> stop{false};
    std::thread farEnd([&] {
        const std::string chunk(61, 's');
        while (!stop.load()) {
            p.Dev->Deliver(chunk);
            p.Dev->SetCTS(true);
            p.Dev->SetCTS(false);
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 1000; ++i) {
        port.SetSyncMethod(i % 3 == 0 ? smThreadSync : (i % 3 == 1 ? smWindowSync : smNone));
        port.Open();
        ASSERT_TRUE(port.ThreadCreated());
        if (i % 10 == 0) ProcessMessages();
        port.Close();
        ASSERT_FALSE(port.Connected());
    }
    // The cycles may be too short on a loaded machine for any delivery to get through; one more
    // open shows the port still delivers after them (bounded wait, no timing asserted).
    port.Open();
    for (int i = 0; i < 500 && received.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    port.Close();
    stop = true;
    farEnd.join();
    port.UnRegisterLink(&link);
    EXPECT_GT(received.load(), 0);
    ProcessMessages();
    EXPECT_TRUE(shown.Log.Items().empty()) << shown.Log.Items().front();
}

TEST(ThreadStress, TenMegabytesInRandomChunksArriveOnceAndInOrder) {
    constexpr size_t Total = 10u << 20;
    constexpr size_t Window = 48u << 10;
    TVirtualPort p;
    TComPort& port = *p.Port;
    port.Buffer().SetInputSize(64 << 10);

    std::vector<uint8_t> got;
    got.reserve(Total);
    std::mutex lock;
    std::condition_variable progressed;
    size_t consumed = 0;
    TComLink link;
    link.OnRxBuf = [&](TObject*, const char* Buf, int Count) {
        got.insert(got.end(), Buf, Buf + Count);
        {
            std::lock_guard l(lock);
            consumed += static_cast<size_t>(Count);
        }
        progressed.notify_all();
    };
    port.RegisterLink(&link);
    port.Open();

    std::mt19937 rng(20261208);
    const auto byteAt = [](size_t i) { return static_cast<uint8_t>((i * 2654435761u) >> 11); };
    std::vector<uint8_t> chunk;
    size_t sent = 0;
    while (sent < Total) {
        const size_t n = std::min<size_t>(Total - sent, std::uniform_int_distribution<size_t>(1, 4096)(rng));
        {
            // The far end never has more than Window bytes in flight, so the receive queue cannot
            // overflow and every byte must arrive.
            std::unique_lock l(lock);
            ASSERT_TRUE(progressed.wait_for(l, 5s, [&] { return sent + n - consumed <= Window; }))
                << "stalled at " << consumed << " of " << sent;
        }
        chunk.resize(n);
        for (size_t i = 0; i < n; ++i)
            chunk[i] = byteAt(sent + i);
        p.Dev->Deliver(chunk.data(), n);
        sent += n;
    }
    {
        std::unique_lock l(lock);
        ASSERT_TRUE(progressed.wait_for(l, 5s, [&] { return consumed == Total; })) << consumed;
    }
    EXPECT_TRUE(port.LastErrors().Empty()) << "the receive queue overflowed";
    port.Close();
    port.UnRegisterLink(&link);
    ASSERT_EQ(got.size(), Total);
    size_t firstBad = Total;
    for (size_t i = 0; i < Total; ++i)
        if (got[i] != byteAt(i)) {
            firstBad = i;
            break;
        }
    EXPECT_EQ(firstBad, Total) << "first wrong byte";
}
