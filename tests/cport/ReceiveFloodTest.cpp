// A pseudo-terminal's far end writes as fast as the kernel takes it, far faster than the readers:
// every reader through the port gets every byte, in order, and a slow one slows the writer down.
// The far end stays open until the reader has everything (closing it hangs the line up and the
// kernel drops what it still holds).

#include "DispatchTestKit.h"
#include "PortTestSupport.h"
#include "comm/PtyFarEnd.h"
#include "cport/ComDataPacket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using dispatchkit::ServeUntil;

namespace {

// What a handler collected on whatever thread it runs.
struct TCollected {
    std::mutex Lock;
    std::string Bytes;
    void Add(const char* p, size_t n) {
        std::lock_guard g(Lock);
        Bytes.append(p, n);
    }
    size_t Size() {
        std::lock_guard g(Lock);
        return Bytes.size();
    }
};

class ReceiveFlood : public ::testing::Test {
  protected:
    void SetUp() override { Port.SetPort("COM13"); }
    // Serves the main thread's queued work (smThreadSync, smWindowSync) until n bytes are in.
    bool Arrived(TCollected& c, size_t n) {
        return ServeUntil([&] { return c.Size() >= n; }, 60s);
    }

    PtyPair Pty;
    TDeviceEnv Env{"COM13=" + Pty.Path};
    TComPort Port{nullptr};
};

// Every sync method gets all of a flood in order, and a handler that sleeps 50 ms an event still
// gets all of it: the writer is held up instead (it met a full kernel buffer every time).
TEST_F(ReceiveFlood, EveryByteArrivesInOrderWithEachSyncMethodAndASlowReader) {
    const struct {
        TSyncMethod Method;
        int InputSize;
        int SleepMs;
        size_t Bytes;
    } rows[] = {{smNone, 1024, 0, 3 << 20},
                {smThreadSync, 1024, 0, 3 << 20},
                {smWindowSync, 1024, 0, 3 << 20},
                {smNone, 16384, 50, 128 << 10}};
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "method " << int(r.Method) << " sleep " << r.SleepMs);
        TCollected Got;
        std::atomic<int> Errors{0};
        Port.SetSyncMethod(r.Method);
        Port.Buffer().SetInputSize(r.InputSize);
        Port.SetOnError([&](TObject*, TComErrors) { ++Errors; });
        Port.SetOnRxChar([&](TObject*, int Count) {
            std::this_thread::sleep_for(std::chrono::milliseconds(r.SleepMs));
            std::string b(static_cast<size_t>(Count), '\0');
            Got.Add(b.data(), static_cast<size_t>(Port.Read(b.data(), Count)));
        });
        Port.Open();
        TPtyFlood Far(Pty.Master, FloodPattern(r.Bytes));
        ASSERT_TRUE(Arrived(Got, Far.Data().size())) << Got.Size() << " of " << Far.Data().size();
        Port.Close();
        std::lock_guard g(Got.Lock);
        EXPECT_EQ(Got.Bytes.size(), Far.Data().size());
        EXPECT_TRUE(Got.Bytes == Far.Data()) << "the bytes differ";
        EXPECT_GT(Far.Full.load(), 0) << "the far end never had to wait: the row proves nothing";
        EXPECT_EQ(Errors.load(), 0);
    }
}

TEST_F(ReceiveFlood, TheFramerCutsEveryPacketOfAFlood) {
    Port.SetSyncMethod(smNone);
    TComDataPacket Framer(nullptr);
    Framer.SetStartString("<");
    Framer.SetStopString(">");
    Framer.SetComPort(&Port);
    TCollected Got;
    Framer.SetOnPacket([&](TObject*, const std::string& Packet) {
        const std::string line = Packet + "\n";
        Got.Add(line.data(), line.size());
    });
    std::string Stream, Expected;
    for (int i = 0; Stream.size() < (2u << 20); ++i) {
        const std::string n = std::to_string(i);
        Stream += "<" + n + ">noise";
        Expected += n + "\n";
    }
    Port.Open();
    TPtyFlood Far(Pty.Master, Stream);
    ASSERT_TRUE(Arrived(Got, Expected.size())) << Got.Size() << " of " << Expected.size();
    Port.Close();
    std::lock_guard g(Got.Lock);
    EXPECT_TRUE(Got.Bytes == Expected) << "packets lost or out of order";
}

// Nobody reads: the queue is full and the rest waits in the backend and the kernel. Unplugging the
// far end then is reported once, as always.
TEST_F(ReceiveFlood, RemovalWhileInputIsHeldBackIsReportedOnce) {
    Port.SetSyncMethod(smNone);
    TComLink Link;
    std::atomic<int> Removed{0};
    Link.OnRemoved = [&](TObject*, const EComPort&) { ++Removed; };
    Port.RegisterLink(&Link);
    Port.Open();
    const std::string Data = FloodPattern(256 << 10);
    size_t Sent = 0;
    for (int Quiet = 0; Quiet < 20 && Sent < Data.size();) {
        ssize_t n = ::write(Pty.Master, Data.data() + Sent, Data.size() - Sent);
        if (n > 0) {
            Sent += static_cast<size_t>(n);
            Quiet = 0;
        } else {
            ++Quiet;
            std::this_thread::sleep_for(10ms);
        }
    }
    EXPECT_LT(Sent, Data.size()) << "the writer was never held up";
    EXPECT_EQ(Port.InputCount(), Port.Buffer().InputSize());
    Pty.CloseMaster();
    ASSERT_TRUE(ServeUntil([&] { return Removed.load() > 0; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(Removed.load(), 1);
    Port.Close();
    Port.UnRegisterLink(&Link);
}

} // namespace
