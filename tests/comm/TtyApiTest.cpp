// The whole communications API over a pseudo-terminal: the port opens the slave through the
// device map, the test plays the far end on the master.
#include "PtyFarEnd.h"

#include "platform/comm/WinComm.h"
#include "platform/ports/DeviceMap.h"

#include <gtest/gtest.h>

#include <chrono>
#include <dirent.h>
#include <fstream>
#include <map>
#include <poll.h>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {

struct TOverlapped {
    OVERLAPPED Ov{};
    TOverlapped() { Ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~TOverlapped() { CloseHandle(Ov.hEvent); }
};

// Context switches per thread of the comm layer ("comm-…" threads) in this process: each wake-up of a
// sleeping thread is one. Test-runner and sanitizer threads (a sanitizer may start its own thread
// only when the port starts the first one) are never counted.
std::map<std::string, unsigned long> TaskSwitches() {
    std::map<std::string, unsigned long> out;
    DIR* d = ::opendir("/proc/self/task");
    if (!d) return out;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string name;
        std::getline(std::ifstream(std::string("/proc/self/task/") + e->d_name + "/comm"), name);
        if (name.rfind("comm-", 0) != 0) continue;
        std::ifstream in(std::string("/proc/self/task/") + e->d_name + "/status");
        std::string line;
        unsigned long n = 0;
        while (std::getline(in, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                n += std::stoul(line.substr(line.find(':') + 1));
        }
        out[e->d_name] = n;
    }
    ::closedir(d);
    return out;
}

// Wake-ups between two snapshots of the threads not in `others` (the threads the port started;
// the test thread, the test runner's and a sanitizer's own threads are left out). A thread that
// ended in between is not counted: it is not spinning.
unsigned long PortWakeups(const std::map<std::string, unsigned long>& others,
                          const std::map<std::string, unsigned long>& before,
                          const std::map<std::string, unsigned long>& after) {
    unsigned long n = 0;
    for (auto& [tid, count] : after) {
        if (others.count(tid)) continue;
        auto b = before.find(tid);
        n += count - (b == before.end() ? 0 : std::min(b->second, count));
    }
    return n;
}

class TtyApi : public ::testing::Test {
  protected:
    void SetUp() override {
        SetDeviceMapOverride(std::vector<TDeviceMapEntry>{{"COM7", Pty.Path}});
        Others = TaskSwitches();
        Port = Open();
        ASSERT_NE(Port, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override {
        if (Port != INVALID_HANDLE_VALUE) CloseHandle(Port);
        SetDeviceMapOverride(std::nullopt);
    }
    static HANDLE Open() {
        return CreateFileA("\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    }
    // Writes everything with an overlapped write and returns the count written.
    DWORD WriteAll(const std::string& s) {
        TOverlapped ov;
        DWORD done = 0;
        if (!WriteFile(Port, s.data(), static_cast<DWORD>(s.size()), &done, &ov.Ov)) {
            EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
            EXPECT_TRUE(GetOverlappedResult(Port, &ov.Ov, &done, TRUE));
        }
        return done;
    }
    // Reads exactly n bytes with overlapped reads.
    std::string ReadAll(size_t n) {
        std::string out(n, '\0');
        size_t got = 0;
        while (got < n) {
            TOverlapped ov;
            DWORD done = 0;
            if (!ReadFile(Port, out.data() + got, static_cast<DWORD>(n - got), &done, &ov.Ov)) {
                EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
                if (!GetOverlappedResult(Port, &ov.Ov, &done, TRUE)) {
                    ADD_FAILURE() << "read failed " << GetLastError();
                    break;
                }
            }
            got += done;
        }
        out.resize(got);
        return out;
    }
    // Waits until the input queue holds n bytes (a far end's burst has filled it).
    bool QueueFills(DWORD n) {
        COMSTAT st{};
        for (int i = 0; i < 200 && st.cbInQue < n; ++i) {
            std::this_thread::sleep_for(5ms);
            ClearCommError(Port, nullptr, &st);
        }
        return st.cbInQue == n;
    }
    void Configure(DWORD baud) {
        DCB d{};
        ASSERT_TRUE(GetCommState(Port, &d));
        d.BaudRate = baud;
        ASSERT_TRUE(SetCommState(Port, &d)) << GetLastError();
        COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(Port, &t));
    }

    PtyPair Pty;
    HANDLE Port = INVALID_HANDLE_VALUE;
    std::map<std::string, unsigned long> Others; // threads that ran before the port opened
};

} // namespace

TEST_F(TtyApi, EveryByteValueBothWaysThroughReadFileAndWriteFile) {
    Configure(115200);
    const std::string all = AllBytes() + AllBytes() + AllBytes() + AllBytes();
    Pty.Send(all);
    EXPECT_EQ(ReadAll(all.size()), all);

    EXPECT_EQ(WriteAll(all), all.size());
    EXPECT_EQ(Pty.Receive(all.size()), all);
    pollfd p{Pty.Master, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 50), 0) << "bytes added on the way out (output translation left on?)";
}

TEST_F(TtyApi, CustomBitRateIsAcceptedAndKept) {
    Configure(250000);
    DCB d{};
    ASSERT_TRUE(GetCommState(Port, &d));
    EXPECT_EQ(d.BaudRate, 250000u);
    d.BaudRate = 31250;
    d.Parity = MARKPARITY;
    d.ByteSize = 7;
    EXPECT_TRUE(SetCommState(Port, &d)) << GetLastError();
}

TEST_F(TtyApi, PtyHasNoModemLinesYetLineCallsSucceed) {
    DWORD status = 0xFFFF;
    ASSERT_TRUE(GetCommModemStatus(Port, &status));
    EXPECT_EQ(status, 0u);
    for (DWORD f : {SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK})
        EXPECT_TRUE(EscapeCommFunction(Port, f)) << f << " " << GetLastError();
    DWORD errors = 0xFFFF;
    COMSTAT st{};
    ASSERT_TRUE(ClearCommError(Port, &errors, &st));
    EXPECT_EQ(errors, 0u);
}

// Output flow on CTS or DSR asked for on a device that has no modem lines at all: nothing could
// ever release it, so it holds nothing (CTS flow with RTS handshake also goes to the kernel).
TEST_F(TtyApi, OutputFlowOnModemLinesNeverHoldsOnAPty) {
    for (DWORD rts : {DWORD(RTS_CONTROL_HANDSHAKE), DWORD(RTS_CONTROL_DISABLE)}) {
        SCOPED_TRACE(rts);
        Configure(38400);
        DCB d{};
        ASSERT_TRUE(GetCommState(Port, &d));
        d.fOutxCtsFlow = 1;
        d.fOutxDsrFlow = 1;
        d.fRtsControl = rts;
        ASSERT_TRUE(SetCommState(Port, &d)) << GetLastError();
        COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 2000}; // a held write ends short instead of hanging
        ASSERT_TRUE(SetCommTimeouts(Port, &t));
        COMSTAT st{};
        ASSERT_TRUE(ClearCommError(Port, nullptr, &st));
        EXPECT_FALSE(st.fCtsHold);
        EXPECT_FALSE(st.fDsrHold);
        EXPECT_EQ(WriteAll("flow"), 4u);
        EXPECT_EQ(Pty.Receive(4), "flow");
    }
}

TEST_F(TtyApi, SecondOpenIsRefusedUntilTheFirstCloses) {
    HANDLE second = Open();
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(CloseHandle(Port));
    Port = Open();
    EXPECT_NE(Port, INVALID_HANDLE_VALUE) << GetLastError();
}

TEST_F(TtyApi, WaitCompletesWithRxCharAndTxEmpty) {
    Configure(115200);
    ASSERT_TRUE(SetCommMask(Port, EV_RXCHAR | EV_TXEMPTY));
    TOverlapped ov;
    DWORD mask = 0, done = 0;
    ASSERT_FALSE(WaitCommEvent(Port, &mask, &ov.Ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    Pty.Send("!");
    ASSERT_TRUE(GetOverlappedResult(Port, &ov.Ov, &done, TRUE));
    EXPECT_EQ(mask, EV_RXCHAR);
    EXPECT_EQ(ReadAll(1), "!");

    ResetEvent(ov.Ov.hEvent);
    std::string block(267, 'b');
    EXPECT_EQ(WriteAll(block), 267u);
    EXPECT_EQ(Pty.Receive(267), block);
    mask = 0;
    if (!WaitCommEvent(Port, &mask, &ov.Ov)) {
        ASSERT_TRUE(GetOverlappedResult(Port, &ov.Ov, &done, TRUE));
    }
    EXPECT_EQ(mask, EV_TXEMPTY);
}

TEST_F(TtyApi, FarEndClosedFailsPendingAndLaterCallsWithoutSpinning) {
    Configure(115200);
    COMMTIMEOUTS t{0, 0, 0, 0, 0}; // wait for the full count
    ASSERT_TRUE(SetCommTimeouts(Port, &t));
    char buf[16];
    TOverlapped ov;
    DWORD done = 0;
    ASSERT_FALSE(ReadFile(Port, buf, sizeof buf, &done, &ov.Ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    Pty.Send("abc");
    Pty.CloseMaster();
    Pty.CloseSlave();
    EXPECT_FALSE(GetOverlappedResult(Port, &ov.Ov, &done, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);

    auto before = TaskSwitches();
    std::this_thread::sleep_for(300ms);
    // A spinning or polling thread switches dozens of times in 300 ms; a few are the machine's
    // (a preemption under load counts as a switch too).
    EXPECT_LE(PortWakeups(Others, before, TaskSwitches()), 6u);

    TOverlapped wov;
    EXPECT_FALSE(WriteFile(Port, "x", 1, &done, &wov.Ov) && done == 1);
    if (GetLastError() == ERROR_IO_PENDING) {
        EXPECT_FALSE(GetOverlappedResult(Port, &wov.Ov, &done, TRUE));
    }
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(CloseHandle(Port));
    Port = INVALID_HANDLE_VALUE;
}

TEST_F(TtyApi, PendingWaitOnAnIdleLineMakesNoPeriodicWakeups) {
    Configure(38400);
    ASSERT_TRUE(SetCommMask(Port, EV_RXCHAR | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_ERR |
                                      EV_BREAK | EV_RXFLAG | EV_RX80FULL));
    TOverlapped ov;
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(Port, &mask, &ov.Ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    std::this_thread::sleep_for(50ms); // start-up settles (the modem watcher finds no lines)
    auto before = TaskSwitches();
    EXPECT_EQ(WaitForSingleObject(ov.Ov.hEvent, 1000), WAIT_TIMEOUT);
    auto after = TaskSwitches();
    EXPECT_LE(PortWakeups(Others, before, after), 3u);
    // The count covers the port's threads: the reader, the writer and the core's timer at least.
    size_t portThreads = 0;
    for (auto& entry : after)
        portThreads += Others.count(entry.first) == 0;
    EXPECT_GE(portThreads, 3u);
    ASSERT_TRUE(SetCommMask(Port, 0)); // ends the wait
    DWORD done = 0;
    EXPECT_TRUE(GetOverlappedResult(Port, &ov.Ov, &done, TRUE));
}

// The queue is full and further input waits below it: an XOFF from the device still stops our
// output (the kernel acts on it), an XON resumes it, and the held input then arrives whole.
TEST_F(TtyApi, XoffStopsOutputWhileInputIsHeldBack) {
    Configure(115200);
    ASSERT_TRUE(SetupComm(Port, 16, 4096));
    DCB d{};
    ASSERT_TRUE(GetCommState(Port, &d));
    d.fOutX = 1;
    ASSERT_TRUE(SetCommState(Port, &d)) << GetLastError();
    std::string held;
    for (int i = 0; held.size() < 8000; ++i)
        held += static_cast<char>('a' + i % 17);
    Pty.Send(held);
    Pty.Send("\x13");
    ASSERT_TRUE(QueueFills(16));
    COMSTAT st{};
    DWORD errors = 0;
    TOverlapped wov;
    DWORD written = 0;
    if (!WriteFile(Port, "out", 3, &written, &wov.Ov)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    EXPECT_EQ(Pty.Receive(3, 300), "");
    Pty.Send("\x11");
    EXPECT_EQ(Pty.Receive(3), "out");
    EXPECT_TRUE(GetOverlappedResult(Port, &wov.Ov, &written, TRUE));
    COMMTIMEOUTS t{0, 0, 3000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(Port, &t));
    EXPECT_TRUE(ReadAll(held.size()) == held);
    ClearCommError(Port, &errors, &st);
    EXPECT_EQ(errors, 0u);
}

// A purge drops what waits below the queue too (the backend's and the kernel's), not what comes
// after it.
TEST_F(TtyApi, PurgeDropsInputHeldBackBelowTheQueue) {
    Configure(115200);
    ASSERT_TRUE(SetupComm(Port, 16, 4096));
    Pty.Send(std::string(8000, 'o'));
    ASSERT_TRUE(QueueFills(16));
    ASSERT_TRUE(PurgeComm(Port, PURGE_RXCLEAR));
    Pty.Send("fresh");
    COMMTIMEOUTS t{50, 0, 2000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(Port, &t));
    char buf[64];
    DWORD got = 0;
    TOverlapped ov;
    if (!ReadFile(Port, buf, sizeof buf, &got, &ov.Ov)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(GetOverlappedResult(Port, &ov.Ov, &got, TRUE));
    }
    EXPECT_EQ(std::string(buf, got), "fresh");
}
