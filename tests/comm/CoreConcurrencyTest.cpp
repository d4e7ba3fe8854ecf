#include "CoreFixture.h"

#include <thread>

namespace {

using Concurrency = CoreFixture;

// The way the port object uses one handle: an event thread waits and reads, another thread
// writes, a third polls the status, while the far end echoes everything back. Every byte must
// come back once and in order; the sanitizer runs check the locking.
TEST_F(Concurrency, EventWaitReadsWritesAndStatusShareOneHandle) {
    Device->OnSent([dev = Device.get()](const std::string& bytes) { dev->Deliver(bytes); });
    ASSERT_TRUE(SetupComm(Port, 256 * 1024, 4096)); // room for everything: no overflow by design
    ASSERT_TRUE(SetCommMask(Port, EV_RXCHAR | EV_TXEMPTY));
    SetTimeouts(MAXDWORD, 0, 0, 100, 1000);

    constexpr size_t kTotal = 200000;
    std::string sent;
    for (size_t i = 0; i < kTotal; ++i)
        sent.push_back(static_cast<char>(i % 251));

    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::string received;
    std::thread events([&] {
        OVERLAPPED ov = NewOv();
        const HANDLE list[2] = {stop, ov.hEvent};
        char buf[4096];
        while (received.size() < kTotal) {
            DWORD mask = 0, n = 0;
            if (!WaitCommEvent(Port, &mask, &ov) && GetLastError() != ERROR_IO_PENDING) break;
            if (WaitForMultipleObjects(2, list, FALSE, kDue) != WAIT_OBJECT_0 + 1) break;
            if (!GetOverlappedResult(Port, &ov, &n, FALSE)) continue;
            do {
                OVERLAPPED rov = NewOv();
                ReadFile(Port, buf, sizeof buf, &n, &rov);
                WaitForSingleObject(rov.hEvent, kDue);
                GetOverlappedResult(Port, &rov, &n, FALSE);
                CloseHandle(rov.hEvent);
                received.append(buf, n);
            } while (n == sizeof buf);
        }
        SetCommMask(Port, 0);
        DWORD n = 0;
        GetOverlappedResult(Port, &ov, &n, TRUE);
        CloseHandle(ov.hEvent);
    });
    std::thread status([&] {
        while (WaitForSingleObject(stop, 0) == WAIT_TIMEOUT) {
            DWORD modem = 0;
            Stat();
            GetCommModemStatus(Port, &modem);
        }
    });
    for (size_t at = 0; at < kTotal; at += 267) {
        DWORD n = 0;
        const DWORD len = static_cast<DWORD>(std::min<size_t>(267, kTotal - at));
        ASSERT_TRUE(WriteFile(Port, sent.data() + at, len, &n, nullptr));
        ASSERT_EQ(n, len);
    }
    events.join();
    SetEvent(stop);
    status.join();
    CloseHandle(stop);
    Device->OnSent(nullptr);
    EXPECT_EQ(received.size(), kTotal);
    EXPECT_TRUE(received == sent);
}

} // namespace
