#include "CoreFixture.h"

#include "platform/ports/DeviceMap.h"

#include <cstring>
#include <thread>

namespace {

using Lines = CoreFixture;

HANDLE Open(const std::string& name) {
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

TEST_F(Lines, EscapeFunctionsAreVisibleAtTheFarEnd) {
    EXPECT_TRUE(Device->DTR()); // raised at open, as a tty does
    EXPECT_TRUE(Device->RTS());
    using TLine = bool (TVirtualDevice::*)() const;
    const struct {
        DWORD Function;
        TLine Line;
        bool On;
    } steps[] = {{CLRDTR, &TVirtualDevice::DTR, false},      {SETDTR, &TVirtualDevice::DTR, true},
                 {CLRRTS, &TVirtualDevice::RTS, false},      {SETRTS, &TVirtualDevice::RTS, true},
                 {SETBREAK, &TVirtualDevice::BreakOn, true}, {CLRBREAK, &TVirtualDevice::BreakOn, false},
                 {SETXOFF, &TVirtualDevice::XoffHeld, true}, {SETXON, &TVirtualDevice::XoffHeld, false}};
    for (const auto& step : steps) {
        ASSERT_TRUE(EscapeCommFunction(Port, step.Function)) << step.Function;
        EXPECT_EQ(((*Device).*step.Line)(), step.On) << step.Function;
        EXPECT_EQ(Stat().fXoffHold, step.Function == SETXOFF) << step.Function;
    }
    for (DWORD bad : {0u, 7u, 10u, 11u}) {
        EXPECT_FALSE(EscapeCommFunction(Port, bad)) << bad;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

TEST_F(Lines, XoffAndBreakHoldTransmissionUntilReleased) {
    const std::pair<DWORD, DWORD> holds[] = {{SETXOFF, SETXON}, {SETBREAK, CLRBREAK}};
    for (auto [hold, release] : holds) {
        SCOPED_TRACE(hold);
        ASSERT_TRUE(EscapeCommFunction(Port, hold));
        DWORD n = 0;
        EXPECT_FALSE(WriteFile(Port, "held", 4, &n, &Ov));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        EXPECT_EQ(Stat().cbOutQue, 4u);
        ASSERT_TRUE(EscapeCommFunction(Port, release));
        ASSERT_TRUE(Result(Ov, &n));
        EXPECT_EQ(n, 4u);
        ASSERT_TRUE(Device->WaitSent(4, kDue));
        EXPECT_EQ(Device->ReadSent(), "held");
        ResetEvent(Ov.hEvent);
    }
}

TEST_F(Lines, ControlModesSetTheLinesAndHandshakeLinesRefuseManualControl) {
    DCB d = State();
    for (bool on : {false, true}) {
        d.fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        d.fRtsControl = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        Apply(d);
        EXPECT_EQ(Device->DTR(), on);
        EXPECT_EQ(Device->RTS(), on);
    }
    d.fDtrControl = DTR_CONTROL_HANDSHAKE;
    d.fRtsControl = RTS_CONTROL_HANDSHAKE;
    Apply(d);
    for (DWORD manual : {CLRDTR, CLRRTS}) {
        EXPECT_FALSE(EscapeCommFunction(Port, manual)) << manual;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_TRUE(Device->DTR());
    EXPECT_TRUE(Device->RTS());
}

TEST_F(Lines, RtsToggleIsOnOnlyWhileTransmitting) {
    DCB d = State();
    d.fRtsControl = RTS_CONTROL_TOGGLE;
    Apply(d);
    EXPECT_FALSE(Device->RTS());
    ASSERT_TRUE(SetCommMask(Port, EV_TXEMPTY));
    Device->HoldTransmit(true);
    DWORD n = 0, mask = 0;
    ASSERT_TRUE(WriteFile(Port, "t", 1, &n, nullptr));
    EXPECT_TRUE(Device->RTS());
    EXPECT_FALSE(WaitCommEvent(Port, &mask, &Ov));
    Device->HoldTransmit(false);
    ASSERT_TRUE(Result(Ov, &n));
    EXPECT_FALSE(Device->RTS());
}

TEST_F(Lines, ReceivedXoffHoldsOutputAndXonReleasesIt) {
    DCB d = State();
    d.fOutX = 1;
    Apply(d);
    Device->Deliver("a\x13"
                    "b");
    DWORD n = 0;
    EXPECT_FALSE(WriteFile(Port, "out", 3, &n, &Ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_TRUE(Stat().fXoffHold);
    Device->Deliver("\x11");
    ASSERT_TRUE(Result(Ov, &n));
    ASSERT_TRUE(Device->WaitSent(3, kDue));
    EXPECT_EQ(Device->ReadSent(), "out");
    EXPECT_EQ(ReadQueued(), "ab"); // flow characters are not data
}

TEST_F(Lines, InputFlowSendsXoffNearFullAndXonWhenDrained) {
    ASSERT_TRUE(SetupComm(Port, 100, 100));
    DCB d = State();
    d.fInX = 1;
    d.XonLim = 25;
    d.XoffLim = 25;
    Apply(d);
    Device->Deliver(std::string(74, 'a'));
    EXPECT_FALSE(Device->XoffSent());
    Device->Deliver("b");
    ASSERT_TRUE(Device->WaitSent(1, kDue));
    EXPECT_EQ(Device->ReadSent(), "\x13");
    EXPECT_TRUE(Stat().fXoffSent);
    char buf[60];
    DWORD n = 0;
    SetTimeouts(MAXDWORD, 0, 0);
    ASSERT_TRUE(ReadFile(Port, buf, 49, &n, nullptr)); // 26 left: still above XonLim
    EXPECT_TRUE(Device->XoffSent());
    ASSERT_TRUE(ReadFile(Port, buf, 1, &n, nullptr));
    ASSERT_TRUE(Device->WaitSent(1, kDue));
    EXPECT_EQ(Device->ReadSent(), "\x11");
    EXPECT_FALSE(Stat().fXoffSent);
}

TEST_F(Lines, RtsHandshakeDropsRtsNearFull) {
    ASSERT_TRUE(SetupComm(Port, 100, 100));
    DCB d = State();
    d.fRtsControl = RTS_CONTROL_HANDSHAKE;
    d.XonLim = 10;
    d.XoffLim = 10;
    Apply(d);
    EXPECT_TRUE(Device->RTS());
    Device->Deliver(std::string(90, 'a'));
    EXPECT_FALSE(Device->RTS());
    ASSERT_TRUE(PurgeComm(Port, PURGE_RXCLEAR));
    EXPECT_TRUE(Device->RTS());
}

TEST_F(Lines, DsrSensitivityIgnoresInputWhileDsrIsOff) {
    DCB d = State();
    d.fDsrSensitivity = 1;
    Apply(d);
    Device->Deliver("lost");
    Device->SetDSR(true);
    Device->Deliver("kept");
    EXPECT_EQ(ReadQueued(), "kept");
}

TEST_F(Lines, UrgentCharacterGoesAheadOfHeldData) {
    Device->HoldTransmit(true);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(Port, "queued", 6, &n, nullptr));
    ASSERT_TRUE(TransmitCommChar(Port, '!'));
    Device->HoldTransmit(false);
    ASSERT_TRUE(Device->WaitSent(7, kDue));
    EXPECT_EQ(Device->ReadSent(), "!queued");
}

TEST_F(Lines, InvalidDcbIsRefusedAndChangesNothing) {
    DCB good = State();
    good.BaudRate = 38400;
    Apply(good);
    const int applied = Device->SetCommStateCount();

    auto refused = [&](const char* what, auto change) {
        DCB d = good;
        change(d);
        SetLastError(0);
        EXPECT_FALSE(SetCommState(Port, &d)) << what;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << what;
        DCB now = State();
        EXPECT_EQ(std::memcmp(&now, &good, sizeof(DCB)), 0) << what;
    };
    refused("5 bits, 2 stop bits", [](DCB& d) {
        d.ByteSize = 5;
        d.StopBits = TWOSTOPBITS;
    });
    refused("1.5 stop bits with 8 bits", [](DCB& d) { d.StopBits = ONE5STOPBITS; });
    refused("bit rate 0", [](DCB& d) { d.BaudRate = 0; });
    refused("byte size 9", [](DCB& d) { d.ByteSize = 9; });
    refused("byte size 4", [](DCB& d) { d.ByteSize = 4; });
    refused("parity 5", [](DCB& d) { d.Parity = 5; });
    refused("stop bits 3", [](DCB& d) { d.StopBits = 3; });
    refused("DTR control 3", [](DCB& d) { d.fDtrControl = 3; });
    refused("XON equals XOFF", [](DCB& d) {
        d.fOutX = 1;
        d.XoffChar = d.XonChar;
    });
    EXPECT_FALSE(SetCommState(Port, nullptr));
    EXPECT_EQ(Device->SetCommStateCount(), applied);

    DCB custom = good;
    custom.BaudRate = 123457; // any rate is accepted
    custom.ByteSize = 5;
    custom.StopBits = ONE5STOPBITS;
    custom.Parity = MARKPARITY;
    Apply(custom);
    EXPECT_EQ(Device->LastDCB().BaudRate, 123457u);
    EXPECT_EQ(Device->LastDCB().Parity, MARKPARITY);
}

TEST_F(Lines, DeviceRefusalKeepsThePreviousState) {
    DCB before = State();
    DCB d = before;
    d.BaudRate = 115200;
    Device->FailNext(TVirtualDevice::foSetCommState, ERROR_GEN_FAILURE);
    EXPECT_FALSE(SetCommState(Port, &d));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    EXPECT_EQ(State().BaudRate, before.BaudRate);
    Device->FailNext(TVirtualDevice::foSetupComm, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(SetupComm(Port, 64, 64));
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    Device->Deliver(std::string(100, 'k'));
    EXPECT_EQ(Stat().cbInQue, 100u); // the queue kept its old size
}

TEST_F(Lines, OpenIsExclusiveAndMissingDevicesAreNotFound) {
    EXPECT_EQ(Open("virtual:" + Name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Open("virtual:nosuchdevice"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(CloseHandle(Port));
    Port = Open("virtual:" + Name);
    EXPECT_NE(Port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Device->OpenCount(), 2);
}

TEST(LinesOpen, PortNamesReachRegisteredVirtualDevices) {
    auto device = TVirtualDevice::Create("COM9");
    ASSERT_TRUE(device);
    HANDLE h = Open("\\\\.\\COM9");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(device->IsOpen());
    EXPECT_EQ(Open("\\\\.\\COM9"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(h);
    EXPECT_FALSE(device->IsOpen());
}

TEST(LinesOpen, OpenArgumentsAreChecked) {
    auto device = TVirtualDevice::Create("argcheck");
    EXPECT_EQ(
        CreateFileA("virtual:argcheck", GENERIC_READ | GENERIC_WRITE, 1, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateFileA("virtual:argcheck", GENERIC_READ | GENERIC_WRITE, 0, nullptr, 2, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileA(nullptr, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_FALSE(device->IsOpen());
}

TEST(LinesOpen, DeviceMapEntriesReachVirtualDevices) {
    auto device = TVirtualDevice::Create("mapped12");
    SetDeviceMapOverride(std::vector<TDeviceMapEntry>{{"COM12", "virtual:mapped12"}});
    HANDLE h = Open("\\\\.\\COM12");
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(device->IsOpen());
    EXPECT_EQ(Open("\\\\.\\COM13"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    SetDeviceMapOverride(std::nullopt);
    CloseHandle(h);
}

TEST_F(Lines, AbortOnErrorStopsTransfersUntilTheErrorIsCleared) {
    DCB d = State();
    d.fAbortOnError = 1;
    Apply(d);
    SetTimeouts(0, 0, 0);
    char buf[4];
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(Port, buf, 4, &n, &Ov));
    Device->InjectFrame('f');
    EXPECT_FALSE(Result(Ov, &n));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(WriteFile(Port, "w", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    DWORD errors = 0;
    Stat(&errors);
    EXPECT_EQ(errors, CE_FRAME);
    EXPECT_TRUE(WriteFile(Port, "w", 1, &n, nullptr));
}

TEST_F(Lines, GrowingTheQueueKeepsQueuedBytes) {
    Device->Deliver("keep me");
    ASSERT_TRUE(SetupComm(Port, 8192, 8192));
    DWORD errors = 0;
    EXPECT_EQ(Stat(&errors).cbInQue, 7u);
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(ReadQueued(), "keep me");
}

TEST_F(Lines, BlockingEventWaitReturnsWhenTheLineChanges) {
    ASSERT_TRUE(SetCommMask(Port, EV_DSR));
    // Either order ends the wait: before it the change is latched, during it it completes it.
    std::thread far([&] { Device->SetDSR(true); });
    DWORD mask = 0;
    EXPECT_TRUE(WaitCommEvent(Port, &mask, nullptr));
    EXPECT_EQ(mask, EV_DSR);
    far.join();
}

} // namespace
