#include "platform/comm/WinComm.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

struct TEvent {
    HANDLE H;
    TEvent(bool manual, bool initial) : H(CreateEventA(nullptr, manual, initial, nullptr)) {}
    ~TEvent() { CloseHandle(H); }
};

TEST(ApiEvents, ManualResetStaysSignalledUntilResetAutoResetReleasesOneWait) {
    TEvent e(true, false), a(false, true);
    ASSERT_NE(e.H, nullptr);
    EXPECT_EQ(WaitForSingleObject(e.H, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(e.H));
    EXPECT_EQ(WaitForSingleObject(e.H, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e.H, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(e.H));
    EXPECT_EQ(WaitForSingleObject(e.H, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(a.H, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(a.H, 0), WAIT_TIMEOUT);
}

TEST(ApiEvents, WaitAllNeedsEveryEventAndConsumesAutoResetOnes) {
    TEvent manual(true, true), autoReset(false, false);
    HANDLE list[] = {manual.H, autoReset.H};
    EXPECT_EQ(WaitForMultipleObjects(2, list, TRUE, 10), WAIT_TIMEOUT);
    // A failed wait-all must not have consumed the manual event's signal.
    EXPECT_EQ(WaitForSingleObject(manual.H, 0), WAIT_OBJECT_0);
    SetEvent(autoReset.H);
    EXPECT_EQ(WaitForMultipleObjects(2, list, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoReset.H, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(manual.H, 0), WAIT_OBJECT_0);
}

TEST(ApiEvents, WaitAnyReportsLowestSignalledIndexAndWakesOnASetFromAnotherThread) {
    TEvent a(true, false), b(true, true), c(true, true);
    HANDLE list[] = {a.H, b.H, c.H};
    EXPECT_EQ(WaitForMultipleObjects(3, list, FALSE, 0), WAIT_OBJECT_0 + 1);
    TEvent stop(true, false), other(true, false);
    HANDLE two[] = {stop.H, other.H};
    std::thread t([&] { SetEvent(other.H); });
    EXPECT_EQ(WaitForMultipleObjects(2, two, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    t.join();
}

TEST(ApiEvents, BadWaitArgumentsFail) {
    TEvent e(true, false);
    HANDLE list[] = {e.H, e.H};
    EXPECT_EQ(WaitForMultipleObjects(0, list, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(2, list, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    HANDLE bogus = reinterpret_cast<HANDLE>(uintptr_t(0x7777));
    EXPECT_EQ(WaitForSingleObject(bogus, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(ApiHandles, ClosedHandleIsInvalidEverywhereAndItsValueIsNotReused) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(e));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(e));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(e));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    // Communication calls on something that is not an open port fail the same way.
    DWORD status = 0;
    EXPECT_FALSE(GetCommModemStatus(e, &status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(PurgeComm(INVALID_HANDLE_VALUE, PURGE_RXCLEAR));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(ev, e);
    EXPECT_FALSE(SetCommMask(ev, EV_RXCHAR)); // an event is not a port
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(ev);
}

TEST(ApiLastError, IsPerThread) {
    SetLastError(1234);
    DWORD seen = 0;
    std::thread t([&] {
        SetLastError(87);
        seen = GetLastError();
    });
    t.join();
    EXPECT_EQ(seen, 87u);
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(ApiDcb, FlagWordMatchesTheBitLayout) {
    DCB d{};
    d.fBinary = 1;
    d.fDtrControl = DTR_CONTROL_HANDSHAKE;
    d.fRtsControl = RTS_CONTROL_TOGGLE;
    d.fNull = 1;
    EXPECT_EQ(DcbFlags(d), 0x0001u | 0x0020u | 0x3000u | 0x0800u);

    DCB e{};
    SetDcbFlags(e, 0x0002 | 0x0004 | 0x0008 | 0x0040 | 0x0080 | 0x0100 | 0x0200 | 0x0400 | 0x4000 | 0x1010);
    EXPECT_TRUE(e.fParity && e.fOutxCtsFlow && e.fOutxDsrFlow && e.fDsrSensitivity && e.fTXContinueOnXoff);
    EXPECT_TRUE(e.fOutX && e.fInX && e.fErrorChar && e.fAbortOnError);
    EXPECT_EQ(e.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(e.fRtsControl, RTS_CONTROL_ENABLE);
    EXPECT_FALSE(e.fBinary || e.fNull);
    for (DWORD f : {0u, 0x7FFFu, 0x1234u, 0xFFFFFFFFu}) {
        SetDcbFlags(e, f);
        EXPECT_EQ(DcbFlags(e), f);
    }
}

} // namespace
