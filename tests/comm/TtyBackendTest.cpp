#include "PtyFarEnd.h"

#include "platform/comm/TtyBackend.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Records upcalls; tests wait on conditions with a deadline.
class TRecordingSink final : public TLineSink {
  public:
    size_t OnReceive(const BYTE* d, size_t n, uint64_t) override {
        Add([&] { Data.append(reinterpret_cast<const char*>(d), n); });
        return n;
    }
    bool OnLineError(DWORD f, int b, uint64_t) override {
        Add([&] { Errors.push_back({f, b}); });
        return true;
    }
    void OnModemLines(DWORD s) override {
        Add([&] { Lines.push_back(s); });
    }
    void OnTxSpace() override {
        Add([&] { ++TxSpace; });
    }
    void OnTxEmpty() override {
        Add([&] { ++TxEmpty; });
    }
    void OnDeviceGone(DWORD code) override {
        Add([&] { ++Gone, GoneCode = code; });
    }

    template <class P> bool WaitFor(P pred, std::chrono::milliseconds limit = 3000ms) {
        std::unique_lock lk(M);
        return Cv.wait_for(lk, limit, [&] { return pred(); });
    }
    template <class F> auto Locked(F f) {
        std::lock_guard g(M);
        return f();
    }

    std::mutex M;
    std::condition_variable Cv;
    std::string Data;
    std::vector<std::pair<DWORD, int>> Errors;
    std::vector<DWORD> Lines;
    int TxSpace = 0, TxEmpty = 0, Gone = 0;
    DWORD GoneCode = 0;

  private:
    template <class F> void Add(F f) {
        std::lock_guard g(M);
        f();
        Cv.notify_all();
    }
};

std::unique_ptr<TTtyBackend> OpenOk(const std::string& path, bool markAlways = false) {
    DWORD err = 0;
    auto b = TTtyBackend::Open(path, &err, markAlways);
    EXPECT_TRUE(b) << "open failed with " << err;
    return b;
}

DCB Dcb(DWORD baud, BYTE size = 8, BYTE parity = NOPARITY, BYTE stop = ONESTOPBIT) {
    DCB d{};
    d.DCBlength = sizeof d;
    d.BaudRate = baud;
    d.fBinary = 1;
    d.ByteSize = size;
    d.Parity = parity;
    d.StopBits = stop;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    return d;
}

// Collects decoder output as text: data bytes as they are, marks as "<Mxx>".
struct TDecodeLog final : TParmrkDecoder::TOutput {
    std::string Text;
    void Data(const BYTE* p, size_t n) override { Text.append(reinterpret_cast<const char*>(p), n); }
    void Mark(BYTE x) override {
        char b[8];
        std::snprintf(b, sizeof b, "<M%02X>", x);
        Text += b;
    }
};

} // namespace

TEST(TtyDecoder, MarksAndEscapedFfDecodeTheSameAtEverySplit) {
    const std::string in = std::string("A\xFF\xFF", 3) + "B" + std::string("\xFF\x00\x00", 3) + "C" +
                           std::string("\xFF\x00\x41\xFF\xFF\xFF\xFF", 7) + "end";
    const std::string want = "A\xFF"
                             "B<M00>C<M41>\xFF\xFF"
                             "end";
    for (size_t cut1 = 0; cut1 <= in.size(); ++cut1) {
        for (size_t cut2 = cut1; cut2 <= in.size(); ++cut2) {
            TParmrkDecoder d;
            TDecodeLog log;
            auto feed = [&](size_t a, size_t b) {
                d.Feed(reinterpret_cast<const BYTE*>(in.data()) + a, b - a, log);
            };
            feed(0, cut1);
            feed(cut1, cut2);
            feed(cut2, in.size());
            ASSERT_EQ(log.Text, want) << "split at " << cut1 << "," << cut2;
        }
    }
}

TEST(TtyDecoder, StrayByteAfterFfIsKeptAsDataAndResetDropsAHalfMark) {
    TParmrkDecoder d;
    TDecodeLog log;
    const BYTE odd[] = {0xFF, 'x', 'y'};
    d.Feed(odd, 3, log);
    EXPECT_EQ(log.Text, "\xFFxy");
    const BYTE half[] = {'a', 0xFF, 0x00};
    d.Feed(half, 3, log);
    d.Reset(); // a purge drops the half-read mark with the data it belonged to
    const BYTE next[] = {'b'};
    d.Feed(next, 1, log);
    EXPECT_EQ(log.Text, "\xFFxyab");
}

TEST(TtyErrorTally, CountersDecideTheKindElseTheByteAndParityDo) {
    TLineErrorTally t;
    // Without counters.
    EXPECT_EQ(t.Classify(0x00, true), CE_BREAK);
    EXPECT_EQ(t.Classify('A', true), CE_RXPARITY);
    EXPECT_EQ(t.Classify('A', false), CE_FRAME);
    // One break and one frame error counted: the 0 is the break, 'A' the frame error, whatever
    // the parity setting says.
    t.Add(1, 0, 1);
    EXPECT_EQ(t.Classify(0x00, true), CE_BREAK);
    EXPECT_EQ(t.Classify('A', true), CE_FRAME);
    // A 0 received with a parity error while no break was counted.
    t.Add(0, 1, 0);
    EXPECT_EQ(t.Classify(0x00, false), CE_RXPARITY);
    // Counted errors are used up one each, then the defaults apply again.
    t.Add(0, 2, 0);
    EXPECT_EQ(t.Classify('x', false), CE_RXPARITY);
    EXPECT_EQ(t.Classify('y', false), CE_RXPARITY);
    EXPECT_EQ(t.Classify('z', false), CE_FRAME);
    // A frame error on a 0 byte with no break counted stays a frame error.
    t.Add(1, 0, 0);
    EXPECT_EQ(t.Classify(0x00, true), CE_FRAME);
    // A counter that went backwards (driver reset) adds nothing.
    t.Add(-5, -5, -5);
    EXPECT_EQ(t.Classify('q', false), CE_FRAME);
}

TEST(TtyOpen, MissingNonTtyAndBusyDevicesAreRefused) {
    DWORD err = 0;
    EXPECT_FALSE(TTtyBackend::Open("/nonexistent/ttyX", &err));
    EXPECT_EQ(err, ERROR_FILE_NOT_FOUND);
    TempDir dir;
    std::ofstream(dir.File("plain")) << "x";
    EXPECT_FALSE(TTtyBackend::Open(dir.File("plain"), &err));
    EXPECT_EQ(err, ERROR_FILE_NOT_FOUND);

    PtyPair pty;
    {
        auto first = OpenOk(pty.Path);
        ASSERT_TRUE(first);
        EXPECT_FALSE(TTtyBackend::Open(pty.Path, &err));
        EXPECT_EQ(err, ERROR_ACCESS_DENIED);
    }
    // Closing gives the device back even though the far end still holds the tty open.
    auto again = OpenOk(pty.Path);
    ASSERT_TRUE(again);
    // Stop frees it too, while the backend object still exists (a handle closed while another
    // thread still holds the port).
    again->Stop();
    again->Stop();
    EXPECT_EQ(again->Fd(), -1);
    auto third = OpenOk(pty.Path);
    EXPECT_TRUE(third);
}

class TtyPty : public ::testing::Test {
  protected:
    void SetUp() override {
        Backend = OpenOk(Pty.Path, MarkAlways);
        ASSERT_TRUE(Backend);
        ASSERT_EQ(Backend->Start(&Sink), ERROR_SUCCESS);
    }
    void TearDown() override {
        if (Backend) Backend->Stop();
    }
    bool MarkAlways = false;
    PtyPair Pty;
    TRecordingSink Sink;
    std::unique_ptr<TTtyBackend> Backend;
};

// Line errors are marked in-band on real ports; a pty has none, so it runs unmarked. Here the
// marked path runs over a pty: every data 0xFF comes doubled from the kernel and must come out once.
class TtyMarked : public TtyPty {
  protected:
    TtyMarked() { MarkAlways = true; }
};

TEST_F(TtyMarked, EveryByteValueSurvivesErrorMarking) {
    std::string all = AllBytes() + std::string(3000, '\xFF') + std::string("\xFF\x00\x00", 3) + AllBytes();
    Pty.Send(all);
    ASSERT_TRUE(Sink.WaitFor([&] { return Sink.Data.size() >= all.size(); }));
    EXPECT_EQ(Sink.Locked([&] { return Sink.Data; }), all);
    EXPECT_TRUE(Sink.Locked([&] { return Sink.Errors.empty(); }));
}

TEST_F(TtyPty, AnyBitRateAndEveryFramingIsAccepted) {
    for (DWORD baud : {123457u, 300u, 9600u, 3000000u}) {
        ASSERT_EQ(Backend->ApplyState(Dcb(baud)), ERROR_SUCCESS) << baud;
        uint32_t now = 0;
        ASSERT_EQ(TtyGetBaudRate(Backend->Fd(), &now), 0);
        EXPECT_EQ(now, baud);
    }
    EXPECT_EQ(Backend->ApplyState(Dcb(19200, 7, MARKPARITY, ONESTOPBIT)), ERROR_SUCCESS);
    EXPECT_EQ(Backend->ApplyState(Dcb(19200, 8, SPACEPARITY, TWOSTOPBITS)), ERROR_SUCCESS);
    EXPECT_EQ(Backend->ApplyState(Dcb(19200, 5, ODDPARITY, ONE5STOPBITS)), ERROR_SUCCESS);
    // Data still passes raw after the changes.
    ASSERT_EQ(Backend->ApplyState(Dcb(115200)), ERROR_SUCCESS);
    Pty.Send(std::string("\x03\x11\x13\xFF", 4));
    ASSERT_TRUE(Sink.WaitFor([&] { return Sink.Data.size() >= 4; }));
    EXPECT_EQ(Sink.Locked([&] { return Sink.Data; }), std::string("\x03\x11\x13\xFF", 4));
}

TEST_F(TtyPty, WithoutModemLinesTheyReadOffAndSettingThemIsNoError) {
    EXPECT_EQ(Backend->ModemLines(), 0u);
    EXPECT_EQ(Backend->SetDtr(true), ERROR_SUCCESS);
    EXPECT_EQ(Backend->SetRts(false), ERROR_SUCCESS);
    EXPECT_EQ(Backend->SetBreak(true), ERROR_SUCCESS);
    EXPECT_EQ(Backend->SetBreak(false), ERROR_SUCCESS);
    // The watcher finds no modem lines and ends instead of retrying.
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (!Backend->ModemWatchEnded() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(Backend->ModemWatchEnded());
    EXPECT_TRUE(Sink.Locked([&] { return Sink.Lines.empty() && Sink.Gone == 0; }));
}

TEST_F(TtyPty, UrgentBytesReachTheFarEndAndCountForTxEmpty) {
    ASSERT_EQ(Backend->SendUrgent(0x13), ERROR_SUCCESS); // the XOFF character
    ASSERT_EQ(Backend->SendUrgent('Z'), ERROR_SUCCESS);  // any other character
    ASSERT_EQ(Backend->SendUrgent(0x11), ERROR_SUCCESS);
    EXPECT_EQ(Pty.Receive(3), "\x13Z\x11");
    // Each urgent byte counts until it has left; the last drain ends with a transmit-empty.
    EXPECT_TRUE(Sink.WaitFor([&] { return Sink.TxEmpty >= 1 && Backend->TxPending() == 0; }));
    // The stop character is restored after sending 'Z': XOFF still goes out as XOFF.
    ASSERT_EQ(Backend->SendUrgent(0x13), ERROR_SUCCESS);
    EXPECT_EQ(Pty.Receive(1), "\x13");
}

TEST_F(TtyPty, FullDeviceTakesPartOfAWriteThenReportsSpace) {
    std::string big(1 << 20, 'q');
    size_t taken = Backend->Write(reinterpret_cast<const BYTE*>(big.data()), big.size());
    ASSERT_LT(taken, big.size());
    EXPECT_EQ(Pty.Receive(taken), std::string(taken, 'q'));
    EXPECT_TRUE(Sink.WaitFor([&] { return Sink.TxSpace >= 1; }));
}

TEST_F(TtyPty, FarEndClosingIsReportedOnceAndNothingSpins) {
    Pty.Send("ab");
    ASSERT_TRUE(Sink.WaitFor([&] { return Sink.Data == "ab"; }));
    Pty.CloseMaster();
    Pty.CloseSlave();
    ASSERT_TRUE(Sink.WaitFor([&] { return Sink.Gone >= 1; }));
    EXPECT_EQ(Sink.Locked([&] { return Sink.GoneCode; }), ERROR_DEVICE_NOT_CONNECTED);
    uint64_t wakes = Backend->WakeCount();
    std::this_thread::sleep_for(200ms);
    EXPECT_LE(Backend->WakeCount() - wakes, 2u);
    EXPECT_EQ(Sink.Locked([&] { return Sink.Gone; }), 1);
    // Writes after removal take nothing and raise nothing further.
    const BYTE x = 'x';
    EXPECT_EQ(Backend->Write(&x, 1), 0u);
    Backend->Stop();
    EXPECT_EQ(Sink.Locked([&] { return Sink.Gone; }), 1);
}
