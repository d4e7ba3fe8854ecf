#include "CoreFixture.h"

#include <chrono>

namespace {

using Virtual = CoreFixture;

TEST(VirtualRegistry, NamesAreUniqueWhileTheDeviceLives) {
    auto a = TVirtualDevice::Create("regname");
    ASSERT_TRUE(a);
    EXPECT_FALSE(TVirtualDevice::Create("regname"));
    EXPECT_FALSE(TVirtualDevice::Create(""));
    EXPECT_EQ(TVirtualDevice::Find("regname"), a);
    a.reset();
    EXPECT_FALSE(TVirtualDevice::Find("regname"));
    EXPECT_TRUE(TVirtualDevice::Create("regname"));
}

TEST_F(Virtual, CountsWhatThePortConfigured) {
    ASSERT_TRUE(SetupComm(Port, 2048, 1024));
    SetTimeouts(MAXDWORD, 0, 0, 100, 1000);
    DCB d = State();
    d.BaudRate = 38400;
    Apply(d);
    EXPECT_EQ(Device->SetupCommCount(), 1);
    EXPECT_EQ(Device->SetCommTimeoutsCount(), 1);
    EXPECT_EQ(Device->SetCommStateCount(), 1);
    EXPECT_EQ(Device->InQueueSize(), 2048u);
    EXPECT_EQ(Device->OutQueueSize(), 1024u);
    EXPECT_EQ(Device->LastTimeouts().WriteTotalTimeoutConstant, 1000u);
    EXPECT_EQ(Device->LastDCB().BaudRate, 38400u);
}

TEST_F(Virtual, FarEndCallbackCanAnswerInProcess) {
    Device->OnSent([dev = Device.get()](const std::string& bytes) {
        std::string reply = bytes;
        for (char& c : reply)
            c = static_cast<char>(c ^ 0x20);
        dev->Deliver(reply);
    });
    SetTimeouts(0, 0, 0);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(Port, "hello", 5, &n, nullptr));
    char buf[5];
    ASSERT_TRUE(ReadFile(Port, buf, 5, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "HELLO");
    Device->OnSent(nullptr);
}

TEST_F(Virtual, FailedOpenIsReportedOnce) {
    ASSERT_TRUE(CloseHandle(Port));
    Port = INVALID_HANDLE_VALUE;
    Device->FailNext(TVirtualDevice::foOpen, ERROR_GEN_FAILURE);
    const std::string path = "virtual:" + Name;
    EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    Port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(Port, INVALID_HANDLE_VALUE);
}

TEST_F(Virtual, RestoredDeviceOpensAgain) {
    Device->Remove();
    ASSERT_TRUE(CloseHandle(Port));
    Device->Restore();
    Port = CreateFileA(("virtual:" + Name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       0, nullptr);
    ASSERT_NE(Port, INVALID_HANDLE_VALUE);
    Device->Deliver("back");
    EXPECT_EQ(ReadQueued(), "back");
}

TEST_F(Virtual, DestroyingTheDeviceDisconnectsThePort) {
    SetTimeouts(0, 0, 0);
    char buf[2];
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(Port, buf, 2, &n, &Ov));
    Device.reset();
    EXPECT_FALSE(Result(Ov, &n));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(Virtual, PacingTakesTheLineTimeOfTheFraming) {
    DCB d = State();
    d.BaudRate = 9600; // 8N1: 10 bits a byte, about 1.04 ms
    Apply(d);
    Device->SetPacing(true);
    const auto start = std::chrono::steady_clock::now();
    DWORD n = 0;
    std::string block(96, 'p');
    ASSERT_TRUE(WriteFile(Port, block.data(), 96, &n, nullptr));
    ASSERT_TRUE(Device->WaitSent(96, kDue));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(95));
    EXPECT_EQ(Device->ReadSent(), block);
}

} // namespace
