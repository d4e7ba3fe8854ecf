// Sending a file to a port on a virtual device: whole and in order over a paced line, held while
// the far end holds CTS off, cancelled while held, failed when the device goes, and files or ports
// that cannot be used refused before anything is sent.

#include "cport/ComPort.h"
#include "platform/comm/VirtualDevice.h"
#include "support/TempDir.h"
#include "tools/term/core/FileSender.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

struct TOutcome {
    TSendResult Result;
    int64_t Sent;
    std::string Text;
};

class FileSender : public testing::Test {
  protected:
    void SetUp() override {
        Device = TVirtualDevice::Create("COM11");
        ASSERT_TRUE(Device);
        Port.SetPort("COM11");
        Port.SetSyncMethod(smNone);
        Port.SetCustomBaudRate(4000000);
        Port.SetBaudRate(brCustom);
        Sender.OnProgress = [this](int64_t Sent, int64_t Total) {
            if (Sent <= LastProgress.load() || Total != Sender.Total()) Monotonic = false;
            LastProgress = Sent;
        };
        Sender.OnDone = [this](TSendResult R, int64_t Sent, const std::string& Text) {
            Done.set_value({R, Sent, Text});
        };
    }
    std::string File(std::size_t Size) {
        std::string Bytes(Size, '\0');
        for (std::size_t I = 0; I < Size; ++I)
            Bytes[I] = static_cast<char>((I * 7 + I / 256) & 0xFF);
        Spit(Dir.File("image.bin"), Bytes);
        return Bytes;
    }
    // Everything the far end received until Want bytes have come or it stays quiet for a second.
    std::string Received(std::size_t Want) {
        std::string Got;
        while (Got.size() < Want && Device->WaitSent(1, 1000))
            Got += Device->ReadSent();
        return Got;
    }
    TOutcome Outcome() {
        auto F = Done.get_future();
        EXPECT_EQ(F.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        return F.get();
    }

    TempDir Dir;
    std::shared_ptr<TVirtualDevice> Device;
    TComPort Port{nullptr};
    TFileSender Sender{Port};
    std::atomic<int64_t> LastProgress{0};
    std::atomic<bool> Monotonic{true};
    std::promise<TOutcome> Done;
};

} // namespace

TEST_F(FileSender, AFileArrivesWholeOverAPacedLine) {
    Device->SetPacing(true);
    const std::string Bytes = File(256 * 1024 + 13);
    Port.Open();
    Sender.Start(Dir.File("image.bin"));
    EXPECT_EQ(Sender.Total(), static_cast<int64_t>(Bytes.size()));
    EXPECT_TRUE(Received(Bytes.size()) == Bytes);
    const TOutcome O = Outcome();
    EXPECT_EQ(O.Result, srDone) << O.Text;
    EXPECT_EQ(O.Sent, static_cast<int64_t>(Bytes.size()));
    EXPECT_EQ(LastProgress.load(), O.Sent);
    EXPECT_TRUE(Monotonic);
}

TEST_F(FileSender, HardwareFlowControlHoldsTheSendAndCancelEndsItWhileHeld) {
    Port.FlowControl().SetFlowControl(fcHardware);
    Port.SetCustomBaudRate(1000000);
    Device->SetPacing(true);
    Device->SetCTS(false);
    const std::string Bytes = File(300 * 1024);
    Port.Open();
    Sender.Start(Dir.File("image.bin"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Device->ReadSent(), "");
    EXPECT_TRUE(Sender.Running());
    // Released, the line carries on; held again, it stops part-way and Cancel ends the send.
    Device->SetCTS(true);
    EXPECT_TRUE(Device->WaitSent(64 * 1024, 5000));
    Device->SetCTS(false);
    const auto Before = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Sender.Cancel();
    const TOutcome O = Outcome();
    EXPECT_LT(std::chrono::steady_clock::now() - Before, std::chrono::seconds(3));
    EXPECT_EQ(O.Result, srCancelled) << O.Text;
    EXPECT_LT(O.Sent, static_cast<int64_t>(Bytes.size()));
    EXPECT_FALSE(Sender.Running());
    // The port works on after a cancel, once the bytes the device had already taken are out.
    Device->SetCTS(true);
    while (Device->WaitSent(1, 300))
        Device->ReadSent();
    Port.WriteStr("after");
    EXPECT_EQ(Received(5), "after");
}

TEST_F(FileSender, ADeviceThatGoesAwayFailsTheSend) {
    Device->SetPacing(true);
    Port.SetCustomBaudRate(115200);
    File(200 * 1024);
    Port.Open();
    Sender.Start(Dir.File("image.bin"));
    EXPECT_TRUE(Device->WaitSent(100, 5000));
    Device->Remove();
    const TOutcome O = Outcome();
    EXPECT_EQ(O.Result, srFailed);
    EXPECT_FALSE(O.Text.empty());
}

TEST_F(FileSender, FilesAndPortsThatCannotBeUsedAreRefusedBeforeAnything) {
    const struct {
        std::string File;
        bool Open;
        const char* Says;
    } Cases[] = {
        {"missing.bin", true, "No such file"},
        {".", true, "not a regular file"},
        {"image.bin", false, "not connected"},
    };
    File(10);
    for (const auto& C : Cases) {
        if (C.Open != Port.Connected()) C.Open ? Port.Open() : Port.Close();
        try {
            Sender.Start(Dir.File(C.File));
            ADD_FAILURE() << C.File << " started";
        } catch (const Exception& E) {
            EXPECT_NE(std::string(E.what()).find(C.Says), std::string::npos) << E.what();
        }
        EXPECT_FALSE(Sender.Running());
    }
    EXPECT_EQ(Device->ReadSent(), "");
}
