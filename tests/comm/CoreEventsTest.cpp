#include "CoreFixture.h"

#include "platform/comm/CommPort.h"

#include <dirent.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace {

using Events = CoreFixture;

constexpr DWORD kAll = EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR |
                       EV_RING | EV_RX80FULL;

TEST_F(Events, DataBeforeTheWaitIsLatched) {
    ASSERT_TRUE(SetCommMask(Port, EV_RXCHAR));
    Device->Deliver("x");
    DWORD& mask = Mask;
    EXPECT_TRUE(WaitCommEvent(Port, &mask, &Ov)); // completes at once
    EXPECT_EQ(mask, EV_RXCHAR);
    EXPECT_TRUE(Signalled(Ov));
    // Consumed: the next wait pends.
    EXPECT_FALSE(WaitCommEvent(Port, &mask, &Ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(Signalled(Ov));
}

TEST_F(Events, UnmaskedEventsAreNotRemembered) {
    ASSERT_TRUE(SetCommMask(Port, EV_CTS));
    Device->Deliver("x");
    DWORD& mask = Mask;
    EXPECT_FALSE(WaitCommEvent(Port, &mask, &Ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    Device->SetCTS(true);
    DWORD n = 0;
    ASSERT_TRUE(Result(Ov, &n));
    EXPECT_EQ(mask, EV_CTS);
}

TEST_F(Events, PendingWaitCompletesOnArrival) {
    ASSERT_TRUE(SetCommMask(Port, kAll));
    DWORD& mask = Mask;
    DWORD n = 0;
    EXPECT_FALSE(WaitCommEvent(Port, &mask, &Ov));
    EXPECT_FALSE(GetOverlappedResult(Port, &Ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    Device->Deliver("q");
    ASSERT_TRUE(Signalled(Ov, kDue));
    ASSERT_TRUE(GetOverlappedResult(Port, &Ov, &n, FALSE));
    EXPECT_EQ(mask, EV_RXCHAR);
}

TEST_F(Events, OnlyOneWaitMayPend) {
    ASSERT_TRUE(SetCommMask(Port, EV_RXCHAR));
    DWORD& mask = Mask;
    DWORD other = 0;
    EXPECT_FALSE(WaitCommEvent(Port, &mask, &Ov));
    EXPECT_FALSE(WaitCommEvent(Port, &other, &Ov2));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(SetCommMask(Port, 0));
    EXPECT_FALSE(WaitCommEvent(Port, &other, &Ov2)); // an empty mask has nothing to wait for
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(Events, SetCommMaskFromAnotherThreadEndsTheWaitWithZero) {
    ASSERT_TRUE(SetCommMask(Port, EV_RXCHAR));
    DWORD& mask = Mask;
    mask = 0xDEAD;
    EXPECT_FALSE(WaitCommEvent(Port, &mask, &Ov));
    std::thread t([&] { EXPECT_TRUE(SetCommMask(Port, EV_RXCHAR)); });
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(Port, &Ov, &n, TRUE)); // sleeps until the other thread ends it
    EXPECT_EQ(mask, 0u);
    t.join();
}

TEST_F(Events, TxEmptyFollowsTheLastByteLeaving) {
    ASSERT_TRUE(SetCommMask(Port, EV_TXEMPTY));
    Device->HoldTransmit(true);
    DWORD n = 0, mask = 0;
    ASSERT_TRUE(WriteFile(Port, "abc", 3, &n, nullptr));
    EXPECT_FALSE(WaitCommEvent(Port, &mask, &Ov));
    EXPECT_EQ(WaitForSingleObject(Ov.hEvent, 30), WAIT_TIMEOUT); // still inside the device
    Device->HoldTransmit(false);
    ASSERT_TRUE(Result(Ov, &n));
    EXPECT_EQ(mask, EV_TXEMPTY);
    EXPECT_EQ(Stat().cbOutQue, 0u);
}

TEST_F(Events, EventCharacterRaisesRxFlag) {
    DCB d = State();
    d.EvtChar = '\n';
    Apply(d);
    ASSERT_TRUE(SetCommMask(Port, EV_RXCHAR | EV_RXFLAG));
    Device->Deliver("no newline");
    DWORD& mask = Mask;
    ASSERT_TRUE(WaitCommEvent(Port, &mask, &Ov));
    EXPECT_EQ(mask, EV_RXCHAR);
    Device->Deliver("line\n");
    ASSERT_TRUE(WaitCommEvent(Port, &mask, &Ov));
    EXPECT_EQ(mask, EV_RXCHAR | EV_RXFLAG);
}

TEST_F(Events, Rx80FullWhenTheQueueCrossesEightyPercent) {
    ASSERT_TRUE(SetupComm(Port, 100, 100));
    ASSERT_TRUE(SetCommMask(Port, EV_RX80FULL));
    Device->Deliver(std::string(79, 'a'));
    DWORD& mask = Mask;
    EXPECT_FALSE(WaitCommEvent(Port, &mask, &Ov));
    Device->Deliver("b");
    DWORD n = 0;
    ASSERT_TRUE(Result(Ov, &n));
    EXPECT_EQ(mask, EV_RX80FULL);
    // Only the crossing counts: more bytes above the mark raise nothing new.
    Device->Deliver("c");
    EXPECT_FALSE(WaitCommEvent(Port, &mask, &Ov));
    ASSERT_TRUE(SetCommMask(Port, 0));
}

TEST_F(Events, LineErrorsAreFlaggedOnceThenCleared) {
    DCB d = State();
    d.fParity = 1;
    d.Parity = EVENPARITY;
    Apply(d);
    ASSERT_TRUE(SetCommMask(Port, EV_ERR | EV_BREAK));
    Device->InjectParity('p');
    Device->InjectFrame('f');
    Device->InjectOverrun();
    DWORD& mask = Mask;
    ASSERT_TRUE(WaitCommEvent(Port, &mask, &Ov));
    EXPECT_EQ(mask, EV_ERR);
    DWORD errors = 0;
    Stat(&errors);
    EXPECT_EQ(errors, CE_RXPARITY | CE_FRAME | CE_OVERRUN);
    Stat(&errors);
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(ReadQueued(), "pf"); // the bytes themselves still arrive

    Device->InjectBreak();
    ASSERT_TRUE(WaitCommEvent(Port, &mask, &Ov));
    EXPECT_EQ(mask, EV_BREAK);
    Stat(&errors);
    EXPECT_EQ(errors, CE_BREAK);
    EXPECT_EQ(Stat().cbInQue, 0u);
}

TEST_F(Events, ParityErrorsAreIgnoredWithoutParityChecking) {
    Device->InjectParity('p');
    DWORD errors = 0;
    Stat(&errors);
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(ReadQueued(), "p");
}

TEST_F(Events, ErrorCharacterReplacesParityBytesAndNulsAreDiscarded) {
    DCB d = State();
    d.fParity = 1;
    d.fErrorChar = 1;
    d.ErrorChar = '?';
    d.fNull = 1;
    Apply(d);
    Device->Deliver(std::string("a\0b", 3));
    Device->InjectParity('X');
    Device->Deliver(std::string("\0\0c\0", 4));
    EXPECT_EQ(ReadQueued(), "ab?c");
}

TEST_F(Events, ModemLineChangesRaiseEventsAndShowInTheStatus) {
    ASSERT_TRUE(SetCommMask(Port, EV_CTS | EV_DSR | EV_RLSD | EV_RING));
    DWORD status = 0xFF;
    ASSERT_TRUE(GetCommModemStatus(Port, &status));
    EXPECT_EQ(status, 0u);
    Device->SetCTS(true);
    Device->SetRLSD(true);
    DWORD& mask = Mask;
    ASSERT_TRUE(WaitCommEvent(Port, &mask, &Ov));
    EXPECT_EQ(mask, EV_CTS | EV_RLSD);
    ASSERT_TRUE(GetCommModemStatus(Port, &status));
    EXPECT_EQ(status, MS_CTS_ON | MS_RLSD_ON);

    Device->SetDSR(true);
    Device->SetRing(true);
    ASSERT_TRUE(WaitCommEvent(Port, &mask, &Ov));
    EXPECT_EQ(mask, EV_DSR | EV_RING);
    Device->SetRing(false); // the end of a ring is no new ring
    EXPECT_FALSE(WaitCommEvent(Port, &mask, &Ov));
    Device->SetCTS(false);
    DWORD n = 0;
    ASSERT_TRUE(Result(Ov, &n));
    EXPECT_EQ(mask, EV_CTS);
    ASSERT_TRUE(GetCommModemStatus(Port, &status));
    EXPECT_EQ(status, MS_DSR_ON | MS_RLSD_ON);
}

TEST_F(Events, DeviceRemovalFailsPendingAndLaterOperations) {
    SetTimeouts(0, 0, 0);
    ASSERT_TRUE(SetCommMask(Port, EV_RXCHAR));
    char buf[4];
    DWORD n = 0, mask = 0;
    EXPECT_FALSE(ReadFile(Port, buf, 4, &n, &Ov));
    EXPECT_FALSE(WaitCommEvent(Port, &mask, &Ov2));
    Device->Remove();
    EXPECT_FALSE(Result(Ov, &n));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(Result(Ov2, &n));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);

    // A later wait fails at once and leaves its event reset, so a loop that waits on it sleeps.
    SetEvent(Ov2.hEvent);
    EXPECT_FALSE(WaitCommEvent(Port, &mask, &Ov2));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(Signalled(Ov2));
    EXPECT_FALSE(WriteFile(Port, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(ClearCommError(Port, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    // What closing a port does first still works, so an unplugged port can be closed cleanly.
    EXPECT_TRUE(SetCommMask(Port, 0));
    EXPECT_TRUE(PurgeComm(Port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
    EXPECT_TRUE(CloseHandle(Port));
    Port = INVALID_HANDLE_VALUE;

    EXPECT_EQ(CreateFileA(("virtual:" + Name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// Context switches of the communication threads (named "comm-…"); *threads counts them.
long ContextSwitches(int* threads) {
    long total = 0;
    *threads = 0;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return -1;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const std::string task = std::string("/proc/self/task/") + e->d_name;
        std::string comm;
        std::getline(std::ifstream(task + "/comm"), comm);
        if (comm.rfind("comm-", 0) != 0) continue;
        ++*threads;
        std::ifstream status(task + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                total += std::stol(line.substr(line.find(':') + 1));
    }
    closedir(dir);
    return total;
}

TEST_F(Events, AnIdleWaitMakesNoPeriodicWakeups) {
    ASSERT_TRUE(SetCommMask(Port, kAll));
    SetTimeouts(0, 0, 0);
    char buf[4];
    DWORD& mask = Mask;
    DWORD n = 0;
    EXPECT_FALSE(WaitCommEvent(Port, &mask, &Ov));
    EXPECT_FALSE(ReadFile(Port, buf, 4, &n, &Ov2));
    auto port = LookupHandleAs<TCommPort>(Port);
    ASSERT_TRUE(port);
    // Measured over up to three windows: threads still settling from the set-up (slow under a
    // sanitizer on a loaded machine) may wake in the first, a spinning or ticking thread wakes in
    // every one. The main thread's sleeps are the measuring intervals, not a synchronisation.
    long fewest = -1;
    unsigned long timerWakeups = 0;
    for (int window = 0; window < 3 && fewest != 0; ++window) {
        const unsigned long wakeups = port->TimerWakeups();
        int threads = 0;
        const long before = ContextSwitches(&threads);
        ASSERT_GE(threads, 2); // the port's timer and the device's transmit thread
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const long switches = ContextSwitches(&threads) - before;
        if (fewest < 0 || switches < fewest) {
            fewest = switches;
            timerWakeups = port->TimerWakeups() - wakeups;
        }
    }
    EXPECT_EQ(timerWakeups, 0u);
    EXPECT_LE(fewest, 2) << "threads of an idle port woke up";
    Device->Deliver("wake");
    ASSERT_TRUE(Result(Ov, &n));
    EXPECT_EQ(mask, EV_RXCHAR);
}

} // namespace
