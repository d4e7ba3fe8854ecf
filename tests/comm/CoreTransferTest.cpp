#include "CoreFixture.h"
#include "PtyFarEnd.h"

#include "platform/comm/CommPort.h"

#include <chrono>
#include <thread>

namespace {

using Transfer = CoreFixture;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

TEST_F(Transfer, EveryByteValueTravelsBothWaysUnchanged) {
    const std::string all = AllBytes();
    Device->Deliver(all);
    EXPECT_EQ(ReadQueued(), all);

    DWORD n = 0;
    ASSERT_TRUE(WriteFile(Port, all.data(), 256, &n, nullptr));
    EXPECT_EQ(n, 256u);
    ASSERT_TRUE(Device->WaitSent(256, kDue));
    EXPECT_EQ(Device->ReadSent(), all);
}

TEST_F(Transfer, QueueCountsFollowTheData) {
    Device->Deliver(std::string(100, 'x'));
    EXPECT_EQ(Stat().cbInQue, 100u);
    char buf[30];
    DWORD n = 0;
    SetTimeouts(MAXDWORD, 0, 0);
    ASSERT_TRUE(ReadFile(Port, buf, 30, &n, nullptr));
    EXPECT_EQ(n, 30u);
    EXPECT_EQ(Stat().cbInQue, 70u);

    Device->HoldTransmit(true);
    ASSERT_TRUE(WriteFile(Port, buf, 30, &n, nullptr));
    EXPECT_EQ(Stat().cbOutQue, 30u);
    Device->HoldTransmit(false);
    ASSERT_TRUE(Device->WaitSent(30, kDue));
}

// A burst larger than the queue waits in the device, in order with the errors behind it, and moves
// up as the queue empties; nothing is lost and nothing is flagged.
TEST_F(Transfer, ABurstLargerThanTheQueueIsHeldBackAndArrivesWhole) {
    ASSERT_TRUE(SetupComm(Port, 16, 16));
    Device->Deliver("0123456789abcdefXYZ");
    Device->InjectFrame('!');
    DWORD errors = 0;
    EXPECT_EQ(Stat(&errors).cbInQue, 16u);
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(Device->HeldBack(), 4u);
    EXPECT_EQ(ReadQueued(), "0123456789abcdef");
    ASSERT_TRUE(Device->WaitDelivered(kDue));
    EXPECT_EQ(ReadQueued(), "XYZ!");
    Stat(&errors);
    EXPECT_EQ(errors, static_cast<DWORD>(CE_FRAME));

    // A pending read takes its share straight from the burst; the queue fills behind it.
    char buf[8];
    DWORD n = 0;
    SetTimeouts(0, 0, 0);
    ASSERT_FALSE(ReadFile(Port, buf, sizeof buf, &n, &Ov));
    Device->Deliver(std::string(100, 'p'));
    ASSERT_TRUE(Result(Ov, &n));
    EXPECT_EQ(n, 8u);
    EXPECT_EQ(Stat().cbInQue, 16u);
    EXPECT_EQ(Device->HeldBack(), 76u);
}

// A smaller queue keeps what the larger one held: the excess enters as it empties, in order.
TEST_F(Transfer, ShrinkingTheQueueKeepsWhatItHeld) {
    std::string all;
    for (int i = 0; i < 100; ++i)
        all += static_cast<char>('A' + i % 26);
    Device->Deliver(all);
    ASSERT_TRUE(SetupComm(Port, 16, 16));
    DWORD errors = 0;
    EXPECT_EQ(Stat(&errors).cbInQue, 16u);
    EXPECT_EQ(errors, 0u);
    std::string got;
    for (int i = 0; i < 20 && got.size() < all.size(); ++i)
        got += ReadQueued();
    EXPECT_EQ(got, all);
}

// Purging the receive side drops what is held back below the queue too; later bytes arrive.
// Closing with bytes held back neither hangs nor hands them to the next opener.
TEST_F(Transfer, PurgeAndCloseDropWhatIsHeldBack) {
    ASSERT_TRUE(SetupComm(Port, 16, 16));
    Device->Deliver(std::string(40, 'o'));
    Device->InjectParity('x');
    ASSERT_TRUE(PurgeComm(Port, PURGE_RXCLEAR));
    EXPECT_EQ(Stat().cbInQue, 0u);
    EXPECT_EQ(Device->HeldBack(), 0u);
    Device->Deliver("new");
    EXPECT_EQ(ReadQueued(), "new");

    Device->Deliver(std::string(40, 'c'));
    ASSERT_TRUE(CloseHandle(Port));
    Port = CreateFileA(("virtual:" + Name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(Port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Device->HeldBack(), 0u);
    EXPECT_EQ(ReadQueued(), "");
}

// Only a loss the device reports makes the rx-over flag, and it raises an error event.
TEST_F(Transfer, ALossTheDeviceReportsIsRxOverWithAnErrorEvent) {
    ASSERT_TRUE(SetCommMask(Port, EV_ERR));
    Device->Deliver("ab");
    Device->InjectRxOver();
    DWORD mask = 0;
    ASSERT_TRUE(WaitCommEvent(Port, &mask, nullptr));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_ERR));
    DWORD errors = 0;
    EXPECT_EQ(Stat(&errors).cbInQue, 2u);
    EXPECT_EQ(errors, static_cast<DWORD>(CE_RXOVER));
}

TEST_F(Transfer, ImmediateReadReturnsWhatIsQueuedEvenNothing) {
    SetTimeouts(MAXDWORD, 0, 0);
    char buf[8];
    DWORD n = 99;
    EXPECT_TRUE(ReadFile(Port, buf, 8, &n, &Ov));
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(Signalled(Ov));
    Device->Deliver("ab");
    EXPECT_TRUE(ReadFile(Port, buf, 8, &n, &Ov));
    EXPECT_EQ(std::string(buf, n), "ab");
}

TEST_F(Transfer, TotalTimeoutEndsAReadWithWhatArrivedCountingTheMultiplierPerByte) {
    const struct {
        DWORD Multiplier, Constant;
        const char* Arrived;
        DWORD Asked;
        int AtLeastMs;
    } cases[] = {{0, 60, "abc", 10, 55}, {20, 0, "", 4, 75}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.AtLeastMs);
        SetTimeouts(0, c.Multiplier, c.Constant);
        if (*c.Arrived) Device->Deliver(c.Arrived);
        char buf[10];
        DWORD n = 0;
        const auto start = Clock::now();
        ASSERT_TRUE(ReadFile(Port, buf, c.Asked, &n, nullptr)); // a timeout is not a failure
        EXPECT_GE(Clock::now() - start, milliseconds(c.AtLeastMs));
        EXPECT_EQ(std::string(buf, n), c.Arrived);
    }
}

TEST_F(Transfer, IntervalTimeoutStartsAtTheFirstByte) {
    SetTimeouts(30, 0, 0);
    char buf[10];
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(Port, buf, 10, &n, &Ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    // Without any byte the interval never runs out.
    EXPECT_EQ(WaitForSingleObject(Ov.hEvent, 80), WAIT_TIMEOUT);
    Device->Deliver("hi");
    ASSERT_TRUE(Signalled(Ov, kDue));
    ASSERT_TRUE(GetOverlappedResult(Port, &Ov, &n, FALSE));
    EXPECT_EQ(std::string(buf, n), "hi");
}

TEST_F(Transfer, AnyByteRuleReturnsOnTheFirstArrivalOrTimesOutEmpty) {
    SetTimeouts(MAXDWORD, MAXDWORD, 40);
    char buf[10];
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(Port, buf, 10, &n, &Ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    Device->Deliver("z");
    ASSERT_TRUE(Signalled(Ov, kDue));
    ASSERT_TRUE(GetOverlappedResult(Port, &Ov, &n, FALSE));
    EXPECT_EQ(std::string(buf, n), "z");

    ASSERT_TRUE(ReadFile(Port, buf, 10, &n, nullptr));
    EXPECT_EQ(n, 0u);
}

TEST_F(Transfer, PendingReadIsIncompleteUntilFilled) {
    SetTimeouts(0, 0, 0);
    char buf[4];
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(Port, buf, 4, &n, &Ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(GetOverlappedResult(Port, &Ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    Device->Deliver("ab");
    EXPECT_FALSE(GetOverlappedResult(Port, &Ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    EXPECT_FALSE(Signalled(Ov));
    Device->Deliver("cdEF");
    ASSERT_TRUE(Result(Ov, &n));
    EXPECT_EQ(std::string(buf, n), "abcd");
    EXPECT_TRUE(Signalled(Ov));
    EXPECT_EQ(Stat().cbInQue, 2u); // the rest stays queued
}

TEST_F(Transfer, ReadsCompleteInTheOrderTheyWereStarted) {
    SetTimeouts(0, 0, 0);
    char a[3], b[3];
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(Port, a, 3, &n, &Ov));
    EXPECT_FALSE(ReadFile(Port, b, 3, &n, &Ov2));
    Device->Deliver("123456");
    ASSERT_TRUE(Result(Ov, &n));
    ASSERT_TRUE(Result(Ov2, &n));
    EXPECT_EQ(std::string(a, 3), "123");
    EXPECT_EQ(std::string(b, 3), "456");
}

TEST_F(Transfer, BlockingReadWaitsForAnotherThreadsData) {
    SetTimeouts(0, 0, 0);
    std::thread far([&] {
        ASSERT_TRUE(Device->WaitOpen(true, kDue));
        Device->Deliver("ping");
    });
    char buf[4];
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(Port, buf, 4, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "ping");
    far.join();
}

TEST_F(Transfer, PurgeAbortsPendingOperationsWithAbortedAndClearEmptiesTheQueue) {
    SetTimeouts(0, 0, 0);
    char buf[4];
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(Port, buf, 4, &n, &Ov));
    Device->Deliver("a");
    ASSERT_TRUE(PurgeComm(Port, PURGE_RXABORT));
    EXPECT_TRUE(Signalled(Ov));
    EXPECT_FALSE(Result(Ov, &n));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(n, 1u); // what had arrived is accounted for

    DCB d = State();
    d.fOutxCtsFlow = 1; // CTS is off: the write waits
    Apply(d);
    EXPECT_FALSE(WriteFile(Port, "xyz", 3, &n, &Ov2));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(Stat().cbOutQue, 3u);
    ASSERT_TRUE(PurgeComm(Port, PURGE_TXABORT));
    EXPECT_FALSE(Result(Ov2, &n));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(Stat().cbOutQue, 0u);

    Device->Deliver("stale");
    ASSERT_TRUE(PurgeComm(Port, PURGE_RXCLEAR | PURGE_TXCLEAR));
    EXPECT_EQ(Stat().cbInQue, 0u);
    EXPECT_FALSE(PurgeComm(Port, 0x10));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(Transfer, WriteTimeoutIsMultiplierTimesCountPlusConstant) {
    DCB d = State();
    d.fOutxCtsFlow = 1;
    Apply(d);
    SetTimeouts(0, 0, 0, 10, 20); // 3 bytes: 50 ms
    DWORD n = 99;
    const auto start = Clock::now();
    EXPECT_TRUE(WriteFile(Port, "abc", 3, &n, nullptr));
    EXPECT_GE(Clock::now() - start, milliseconds(45));
    EXPECT_EQ(n, 0u);
}

TEST_F(Transfer, HeldWriteGoesOutWhenCtsComesOn) {
    DCB d = State();
    d.fOutxCtsFlow = 1;
    Apply(d);
    DWORD n = 0;
    EXPECT_FALSE(WriteFile(Port, "data", 4, &n, &Ov));
    COMSTAT s = Stat();
    EXPECT_TRUE(s.fCtsHold);
    Device->SetCTS(true);
    ASSERT_TRUE(Result(Ov, &n));
    EXPECT_EQ(n, 4u);
    ASSERT_TRUE(Device->WaitSent(4, kDue));
    EXPECT_EQ(Device->ReadSent(), "data");
}

TEST_F(Transfer, LargeWriteIsFedThroughTheDeviceInPieces) {
    std::string big(300000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + i / 251);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(Port, big.data(), static_cast<DWORD>(big.size()), &n, nullptr));
    EXPECT_EQ(n, big.size());
    ASSERT_TRUE(Device->WaitSent(big.size(), kDue));
    EXPECT_EQ(Device->ReadSent(), big);
}

TEST_F(Transfer, ClosingAbortsPendingOperations) {
    SetTimeouts(0, 0, 0);
    char buf[4];
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(Port, buf, 4, &n, &Ov));
    ASSERT_TRUE(CloseHandle(Port));
    HANDLE closed = Port;
    Port = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(Signalled(Ov));
    EXPECT_EQ(Ov.Internal, ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(ReadFile(closed, buf, 4, &n, &Ov));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(Device->IsOpen());
}

TEST_F(Transfer, OperationsThatEndAtOnceDoNotWakeTheTimer) {
    auto port = LookupHandleAs<TCommPort>(Port);
    ASSERT_TRUE(port);
    SetTimeouts(MAXDWORD, 0, 0, 100, 1000);
    const unsigned long before = port->TimerWakeups();
    char buf[16];
    DWORD n = 0;
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(WriteFile(Port, "0123456789", 10, &n, nullptr));
        Device->Deliver("x");
        ASSERT_TRUE(ReadFile(Port, buf, sizeof buf, &n, nullptr));
    }
    // A wake-up the operations caused would happen within this interval (a measurement, not a wait).
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(port->TimerWakeups(), before);
}

TEST_F(Transfer, BadArgumentsAreRefusedWithoutSideEffects) {
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(Port, nullptr, 4, &n, &Ov));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(WriteFile(Port, nullptr, 4, &n, &Ov));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(SetupComm(Port, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(GetOverlappedResult(Port, nullptr, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(WriteFile(Port, "", 0, &n, &Ov));
    EXPECT_EQ(n, 0u);
}

} // namespace
