#pragma once

// A port opened on a fresh virtual device, with an overlapped record and its event.

#include "platform/comm/VirtualDevice.h"
#include "platform/comm/WinComm.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

// Long enough for any completion on a loaded machine; only ever waited for when the event is due.
constexpr DWORD kDue = 5000;

class CoreFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        static std::atomic<int> serial{0};
        Name = "core" + std::to_string(serial++);
        Device = TVirtualDevice::Create(Name);
        ASSERT_TRUE(Device);
        Port = CreateFileA(("virtual:" + Name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(Port, INVALID_HANDLE_VALUE) << GetLastError();
        Ov = NewOv();
        Ov2 = NewOv();
    }
    void TearDown() override {
        if (Port != INVALID_HANDLE_VALUE) CloseHandle(Port);
        CloseHandle(Ov.hEvent);
        CloseHandle(Ov2.hEvent);
    }

    // Where a wait reports its events. A wait still pending when a test ends completes at
    // TearDown, so the mask it writes must outlive the test body: tests use this one.
    DWORD Mask = 0;

    static OVERLAPPED NewOv() {
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        return ov;
    }

    void SetTimeouts(DWORD interval, DWORD mult, DWORD constant, DWORD wmult = 0, DWORD wconst = 0) {
        COMMTIMEOUTS t{interval, mult, constant, wmult, wconst};
        ASSERT_TRUE(SetCommTimeouts(Port, &t));
    }

    DCB State() {
        DCB d{};
        EXPECT_TRUE(GetCommState(Port, &d));
        return d;
    }

    void Apply(const DCB& d) { ASSERT_TRUE(SetCommState(Port, &d)) << GetLastError(); }

    COMSTAT Stat(DWORD* errors = nullptr) {
        COMSTAT s{};
        DWORD e = 0;
        EXPECT_TRUE(ClearCommError(Port, &e, &s));
        if (errors) *errors = e;
        return s;
    }

    // Reads exactly what is queued now.
    std::string ReadQueued() {
        SetTimeouts(MAXDWORD, 0, 0);
        char buf[4096];
        DWORD n = 0;
        EXPECT_TRUE(ReadFile(Port, buf, sizeof buf, &n, nullptr));
        return std::string(buf, n);
    }

    // The result of an operation that is due to end; a fault that leaves it pending fails the test
    // instead of hanging it.
    BOOL Result(OVERLAPPED& ov, DWORD* n) {
        if (WaitForSingleObject(ov.hEvent, kDue) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "the operation did not end";
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        return GetOverlappedResult(Port, &ov, n, FALSE);
    }

    bool Signalled(const OVERLAPPED& ov, DWORD ms = 0) {
        return WaitForSingleObject(ov.hEvent, ms) == WAIT_OBJECT_0;
    }

    std::string Name;
    std::shared_ptr<TVirtualDevice> Device;
    HANDLE Port = INVALID_HANDLE_VALUE;
    OVERLAPPED Ov{}, Ov2{};
};
