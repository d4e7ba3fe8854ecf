// Transfers, status queries and line control over a virtual device, with no event thread unless a
// test asks for one.

#include "cport/DispatchTestKit.h"

#include "cport/ComThread.h"

#include <atomic>
#include <thread>

using namespace dispatchkit;

namespace {

class IOTransfer : public ::testing::Test {
  protected:
    void SetUp() override {
        P.Port->SetEvents(TComEvents{});
        P.Port->Open();
        ASSERT_TRUE(P.Port->Connected());
    }
    // Reads that wait until all bytes asked for have arrived (at most 5 s).
    void BlockingReads() {
        P.Port->Timeouts().SetReadInterval(0);
        P.Port->Timeouts().SetReadTotalC(5000);
    }
    TVirtualPort P;
    TComPort& Port() { return *P.Port; }
};

void ExpectCode(const std::function<void()>& Op, int Code, int WinCode) {
    try {
        Op();
        ADD_FAILURE() << "no EComPort raised, expected code " << Code;
    } catch (const EComPort& e) {
        EXPECT_EQ(e.Code(), Code) << e.what();
        EXPECT_EQ(e.WinCode(), WinCode) << e.what();
    }
}

} // namespace

TEST_F(IOTransfer, ReadsReturnWhatIsWaitingAtOnceAndReadStrTakesItsLength) {
    char buf[10] = {};
    EXPECT_EQ(Port().Read(buf, 10), 0);
    P.Dev->Deliver("abc");
    EXPECT_EQ(Port().InputCount(), 3);
    EXPECT_EQ(Port().Read(buf, 10), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");
    EXPECT_EQ(Port().InputCount(), 0);

    P.Dev->Deliver(std::string("a\0c", 3));
    std::string s = "previous text that is longer";
    EXPECT_EQ(Port().ReadStr(s, 10), 3);
    EXPECT_EQ(s, std::string("a\0c", 3));
    EXPECT_EQ(Port().ReadStr(s, 10), 0);
    EXPECT_TRUE(s.empty());
}

TEST_F(IOTransfer, OperationsOnAClosedPortNameTheirCodeAndInvalidHandle) {
    Port().Close();
    std::string s = "xy";
    ExpectCode([&] { Port().ReadStr(s, 10); }, ErrReadFile, ERROR_INVALID_HANDLE);
    EXPECT_EQ(s.size(), 10u) << "a failed ReadStr keeps the requested length";
    char c = 'x';
    ExpectCode([&] { Port().Write(&c, 1); }, ErrWriteFile, ERROR_INVALID_HANDLE);
    ExpectCode([&] { Port().WriteStr("abc"); }, ErrWriteFile, ERROR_INVALID_HANDLE);
    ExpectCode([&] { Port().Read(&c, 1); }, ErrReadFile, ERROR_INVALID_HANDLE);
    ExpectCode([&] { Port().InputCount(); }, ErrClearCommError, ERROR_INVALID_HANDLE);
    ExpectCode([&] { Port().OutputCount(); }, ErrClearCommError, ERROR_INVALID_HANDLE);
    ExpectCode([&] { Port().LastErrors(); }, ErrClearCommError, ERROR_INVALID_HANDLE);
    ExpectCode([&] { Port().Signals(); }, ErrModemStatus, ERROR_INVALID_HANDLE);
    ExpectCode([&] { Port().SetDTR(true); }, ErrEscapeComm, ERROR_INVALID_HANDLE);
    ExpectCode([&] { Port().TransmitChar('x'); }, ErrTransmitChar, ERROR_INVALID_HANDLE);
    ExpectCode([&] { Port().ClearBuffer(true, true); }, ErrPurgeComm, ERROR_INVALID_HANDLE);
    ExpectCode([&] { Port().AbortAllAsync(); }, ErrPurgeComm, ERROR_INVALID_HANDLE);
    TComEvents ev{evRxChar};
    ExpectCode([&] { Port().WaitForEvent(ev, 10); }, ErrWaitForEvent, ERROR_INVALID_HANDLE);
}

TEST_F(IOTransfer, BadArgumentsAreRefusedWithoutTouchingTheDevice) {
    PAsync none = nullptr;
    char c = 0;
    std::string s;
    ExpectCode([&] { Port().WaitForAsync(none); }, ErrInvalidAsync, -1);
    ExpectCode([&] { Port().IsAsyncCompleted(none); }, ErrInvalidAsync, -1);
    ExpectCode([&] { Port().WriteAsync(&c, 1, none); }, ErrInvalidAsync, -1);
    ExpectCode([&] { Port().ReadStrAsync(s, 1, none); }, ErrInvalidAsync, -1);
    ExpectCode([&] { Port().Write(&c, -1); }, ErrWriteFile, ERROR_INVALID_PARAMETER);
    ExpectCode([&] { Port().ReadStr(s, -5); }, ErrReadFile, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(P.Dev->ReadSent(), "");
}

TEST_F(IOTransfer, WritesReachTheFarEndInOrder) {
    EXPECT_EQ(Port().Write("hello", 5), 5);
    EXPECT_EQ(Port().WriteStr(std::string("\0\xff", 2)), 2);
    EXPECT_EQ(Port().WriteStr(""), 0);
    ASSERT_TRUE(P.Dev->WaitSent(7, 2000));
    EXPECT_EQ(P.Dev->ReadSent(), std::string("hello\0\xff", 7));
}

TEST_F(IOTransfer, WriteStrAsyncKeepsItsBytesWhateverTheCallerDoes) {
    // Held as if XOFF had been received, no byte leaves until the caller has changed its text.
    Port().SetXonXoff(false);
    PAsync a = nullptr;
    InitAsync(a);
    {
        auto text = std::make_unique<std::string>(300, 'q');
        Port().WriteStrAsync(*text, a);
        EXPECT_FALSE(Port().IsAsyncCompleted(a));
        text->assign(300, 'Z');
        text.reset();
        // The allocator hands the freed block to the next string of that size.
        std::string reuse(300, '#');
        Port().SetXonXoff(true);
        EXPECT_EQ(Port().WaitForAsync(a), 300);
    }
    DoneAsync(a);
    ASSERT_TRUE(P.Dev->WaitSent(300, 2000));
    EXPECT_EQ(P.Dev->ReadSent(), std::string(300, 'q'));
}

TEST_F(IOTransfer, PendingReadPollsFalseThenCompletes) {
    BlockingReads();
    PAsync a = nullptr;
    InitAsync(a);
    char buf[3] = {};
    EXPECT_EQ(Port().ReadAsync(buf, 3, a), 0);
    EXPECT_FALSE(Port().IsAsyncCompleted(a));
    P.Dev->Deliver("xyz");
    ASSERT_EQ(WaitForSingleObject(a->Overlapped.hEvent, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(Port().IsAsyncCompleted(a));
    EXPECT_EQ(Port().WaitForAsync(a), 3);
    EXPECT_EQ(std::string(buf, 3), "xyz");
    // The record serves a second operation after the first.
    Port().WriteAsync("ok", 2, a);
    EXPECT_EQ(a->Kind, okWrite);
    EXPECT_EQ(Port().WaitForAsync(a), 2);
    DoneAsync(a);
    EXPECT_EQ(a, nullptr);
}

TEST_F(IOTransfer, AbortFromAnotherThreadEndsAPendingWriteWithCode2) {
    // Held as if XOFF had been received, the write cannot end on its own.
    Port().SetXonXoff(false);
    std::atomic<int> code{0}, winCode{0};
    std::atomic<bool> started{false};
    std::thread writer([&] {
        try {
            started = true;
            const std::string block(64, 'w');
            Port().Write(block.data(), 64);
        } catch (const EComPort& e) {
            code = e.Code();
            winCode = e.WinCode();
        }
    });
    ASSERT_TRUE(ServeUntil([&] { return started.load() && Port().OutputCount() > 0; }));
    Port().AbortAllAsync();
    writer.join();
    EXPECT_EQ(code.load(), ErrWriteFile);
    EXPECT_EQ(winCode.load(), static_cast<int>(ERROR_OPERATION_ABORTED));
}

TEST_F(IOTransfer, AbortedPendingReadReportsCode3AndPollingRaises6) {
    BlockingReads();
    PAsync a = nullptr;
    InitAsync(a);
    char buf[4];
    Port().ReadAsync(buf, 4, a);
    Port().AbortAllAsync();
    ASSERT_EQ(WaitForSingleObject(a->Overlapped.hEvent, 5000), WAIT_OBJECT_0);
    ExpectCode([&] { Port().IsAsyncCompleted(a); }, ErrAsyncStatus, ERROR_OPERATION_ABORTED);
    ExpectCode([&] { Port().WaitForAsync(a); }, ErrReadFile, ERROR_OPERATION_ABORTED);
    DoneAsync(a);
}

TEST_F(IOTransfer, ParityErrorsCountOnlyWhenCheckedAndAnyQueryClearsThem) {
    P.Dev->InjectParity('p');
    EXPECT_TRUE(Port().LastErrors().Empty());
    EXPECT_TRUE(Port().LastErrors().Empty());

    Port().Parity().SetCheck(true);
    P.Dev->InjectParity('p');
    EXPECT_EQ(Port().LastErrors(), TComErrors{ceRxParity});
    EXPECT_TRUE(Port().LastErrors().Empty());

    // An error flagged while checking was on is not reported once checking is off, and is gone.
    P.Dev->InjectParity('p');
    Port().Parity().SetCheck(false);
    EXPECT_TRUE(Port().LastErrors().Empty());
    Port().Parity().SetCheck(true);
    EXPECT_TRUE(Port().LastErrors().Empty());

    P.Dev->InjectParity('p');
    P.Dev->InjectFrame('f');
    Port().InputCount();
    EXPECT_TRUE(Port().LastErrors().Empty());

    P.Dev->InjectFrame('f');
    P.Dev->InjectOverrun();
    P.Dev->Deliver("x");
    const TComErrors e = Port().LastErrors();
    EXPECT_TRUE(e.Contains(ceFrame));
    EXPECT_TRUE(e.Contains(ceOverrun));
    EXPECT_FALSE(e.Contains(ceRxParity));
}

TEST_F(IOTransfer, ClearBufferEmptiesOnlyTheQueuesAskedFor) {
    P.Dev->HoldTransmit(true);
    PAsync a = nullptr;
    InitAsync(a);
    Port().WriteAsync("12345", 5, a);
    P.Dev->Deliver("abc");
    ASSERT_TRUE(ServeUntil([&] { return Port().OutputCount() == 5; }));
    Port().ClearBuffer(true, false);
    EXPECT_EQ(Port().InputCount(), 0);
    EXPECT_EQ(Port().OutputCount(), 5);
    Port().ClearBuffer(false, false);
    EXPECT_EQ(Port().OutputCount(), 5);
    Port().ClearBuffer(false, true);
    EXPECT_EQ(Port().OutputCount(), 0);
    try {
        Port().WaitForAsync(a);
    } catch (const EComPort&) {
        // A cleared transmit queue may end the write as aborted; either way it has ended.
    }
    DoneAsync(a);
}

TEST_F(IOTransfer, LineControlsAndModemSignals) {
    Port().SetDTR(true);
    Port().SetRTS(true);
    EXPECT_TRUE(P.Dev->DTR());
    EXPECT_TRUE(P.Dev->RTS());
    Port().SetDTR(false);
    EXPECT_FALSE(P.Dev->DTR());
    EXPECT_TRUE(P.Dev->RTS());
    Port().SetBreak(true);
    EXPECT_TRUE(P.Dev->BreakOn());
    Port().SetBreak(false);
    EXPECT_FALSE(P.Dev->BreakOn());
    Port().SetXonXoff(false);
    EXPECT_TRUE(P.Dev->XoffHeld());
    EXPECT_TRUE(Port().StateFlags().Contains(sfXoffHold));
    Port().SetXonXoff(true);
    EXPECT_FALSE(P.Dev->XoffHeld());

    EXPECT_TRUE(Port().Signals().Empty());
    P.Dev->SetCTS(true);
    P.Dev->SetRLSD(true);
    EXPECT_EQ(Port().Signals(), (TComSignals{csCTS, csRLSD}));
    P.Dev->SetCTS(false);
    P.Dev->SetDSR(true);
    P.Dev->SetRing(true);
    EXPECT_EQ(Port().Signals(), (TComSignals{csDSR, csRing, csRLSD}));
}

TEST_F(IOTransfer, TransmitCharGoesAheadOfQueuedData) {
    P.Dev->HoldTransmit(true);
    PAsync a = nullptr;
    InitAsync(a);
    Port().WriteAsync("data", 4, a);
    Port().TransmitChar('!');
    P.Dev->HoldTransmit(false);
    Port().WaitForAsync(a);
    DoneAsync(a);
    ASSERT_TRUE(P.Dev->WaitSent(5, 2000));
    EXPECT_EQ(P.Dev->ReadSent(), "!data");
}

TEST_F(IOTransfer, WaitForEventTimesOutEmptyAndSeesArrivals) {
    TComEvents ev{evRxChar};
    const auto t0 = std::chrono::steady_clock::now();
    Port().WaitForEvent(ev, 100);
    EXPECT_TRUE(ev.Empty());
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 90ms);

    // Bytes that arrive before the wait has set its mask raise no event, so keep sending until
    // the wait has seen one.
    std::atomic<bool> seen{false};
    std::thread farEnd([&] {
        while (!seen) {
            P.Dev->Deliver("k");
            std::this_thread::sleep_for(2ms);
        }
    });
    ev = TComEvents{evRxChar, evCTS};
    Port().WaitForEvent(ev, 5000);
    seen = true;
    farEnd.join();
    EXPECT_EQ(ev, TComEvents{evRxChar});
}

TEST(IOEventWait, RefusedWhileTheEventThreadRuns) {
    TVirtualPort p;
    p.Port->Open();
    ASSERT_TRUE(p.Port->ThreadCreated());
    TComEvents ev{evRxChar};
    ExpectCode([&] { p.Port->WaitForEvent(ev, 100); }, ErrEventThreadRunning, -1);
    EXPECT_EQ(ev, TComEvents{evRxChar});
}

TEST_F(IOTransfer, LinksHearTxAtEveryWriteStartAndRxOffWhenAReadEmptiesTheQueue) {
    TLog log;
    TComLink link;
    LogEverything(link, log, "L", false);
    Port().RegisterLink(&link);
    Port().Write("ab", 2);
    EXPECT_EQ(log.Items(), std::vector<std::string>{"L tx on"});
    log.Clear();

    P.Dev->Deliver("12345");
    char buf[8];
    Port().Read(buf, 2);
    EXPECT_TRUE(log.Items().empty()) << "queue not empty yet";
    Port().Read(buf, 8);
    EXPECT_EQ(log.Items(), std::vector<std::string>{"L rx off"});
    log.Clear();

    // A write that cannot start leaves the Tx signal off.
    Port().Close();
    log.Clear();
    EXPECT_THROW(Port().Write("ab", 2), EComPort);
    EXPECT_EQ(log.Items(), (std::vector<std::string>{"L tx on", "L tx off"}));
    Port().UnRegisterLink(&link);
}

TEST(IOEventMask, ConversionFollowsTheTableAndDropsUnknownBits) {
    const struct {
        TComEvent Ev;
        DWORD Bit;
    } table[] = {{evRxChar, 0x0001}, {evTxEmpty, 0x0004}, {evRxFlag, 0x0002}, {evRing, 0x0100},
                 {evBreak, 0x0040},  {evCTS, 0x0008},     {evDSR, 0x0010},    {evError, 0x0080},
                 {evRLSD, 0x0020},   {evRx80Full, 0x0400}};
    for (const auto& row : table) {
        EXPECT_EQ(EventsToMask(TComEvents{row.Ev}), row.Bit) << int(row.Ev);
        EXPECT_EQ(MaskToEvents(row.Bit), TComEvents{row.Ev}) << int(row.Ev);
    }
    EXPECT_EQ(EventsToMask(AllComEvents), 0x05FFu);
    EXPECT_EQ(MaskToEvents(0xFFFFFFFFu), AllComEvents);
    EXPECT_TRUE(MaskToEvents(0x0200).Empty());
    EXPECT_EQ(EventsToMask(TComEvents{}), 0u);
}
