// A port that loses its device and gets it back: over pseudo-terminals linked in a temporary device
// folder (the same path again, or another path with the same by-id name) and over a virtual device.

#include "comm/PtyFarEnd.h"
#include "cport/ComPort.h"
#include "cport/ComReconnect.h"
#include "platform/comm/VirtualDevice.h"
#include "platform/ports/DeviceMap.h"
#include "platform/toolkit/MessageTarget.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <filesystem>
#include <iostream>
#include <memory>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

class Reconnect : public testing::Test {
  protected:
    void SetUp() override { SetDeviceMapOverride(std::vector<TDeviceMapEntry>{{"COM5", Dir.File("ttyUSB0")}}); }
    void TearDown() override { SetDeviceMapOverride(std::nullopt); }

    // A new far end whose slave appears in the device folder as Name (and as the by-id link when
    // ById is given).
    std::unique_ptr<PtyPair> Plug(const std::string& Name, const std::string& ById = "") {
        auto pty = std::make_unique<PtyPair>();
        fs::create_symlink(pty->Path, Dir.File(Name));
        if (!ById.empty()) {
            fs::create_directories(Dir.File("serial/by-id"));
            fs::create_symlink(Dir.File(Name), Dir.File("serial/by-id/" + ById));
        }
        return pty;
    }
    void Unplug(std::unique_ptr<PtyPair>& Pty, const std::string& Name, const std::string& ById = "") {
        Pty.reset();
        fs::remove(Dir.File(Name));
        if (!ById.empty()) fs::remove(Dir.File("serial/by-id/" + ById));
    }
    // Serves the removal notice handed to this thread, and the device folder, until State is reached.
    bool WaitFor(TComReconnect& R, TReconnectState State) {
        const auto end = Clock::now() + std::chrono::seconds(5);
        while (R.State() != State && Clock::now() < end) {
            WaitForMessages(std::chrono::milliseconds(10));
            ProcessMessages();
            R.Process(R.RetryInMs() >= 0 ? R.RetryInMs() : 10);
        }
        return R.State() == State;
    }
    void Open(TComPort& Port, const std::string& Name) {
        Port.SetPort(Name);
        Port.SetSyncMethod(smNone);
        Port.Open();
    }

    TempDir Dir;
    std::vector<std::string> Texts;
};

} // namespace

TEST_F(Reconnect, SamePathComesBackAndTheSamePortWorksAgain) {
    auto pty = Plug("ttyUSB0");
    TComPort port(nullptr);
    Open(port, "COM5");
    TComReconnect r(port, Dir.Path());
    r.OnState = [&](TReconnectState, const std::string& Text) { Texts.push_back(Text); };
    ASSERT_EQ(r.State(), rsConnected);

    Unplug(pty, "ttyUSB0");
    ASSERT_TRUE(WaitFor(r, rsDisconnected));
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(Texts, std::vector<std::string>{"disconnected: device removed"});

    const auto back = Clock::now();
    pty = Plug("ttyUSB0");
    ASSERT_TRUE(WaitFor(r, rsConnected));
    std::cout << "reopened " << std::chrono::duration<double, std::milli>(Clock::now() - back).count()
              << " ms after the device came back\n";
    EXPECT_EQ(Texts.back(), "reconnected");
    port.WriteStr("again");
    EXPECT_EQ(pty->Receive(5), "again");

    // Meanwhile the port's name came to mean another device (names given out in order shift as
    // adapters come and go): the device, back at its own path, takes the name back.
    Unplug(pty, "ttyUSB0");
    ASSERT_TRUE(WaitFor(r, rsDisconnected));
    auto stranger = Plug("ttyUSB1");
    SetDeviceMapOverride(std::vector<TDeviceMapEntry>{{"COM5", Dir.File("ttyUSB1")}});
    pty = Plug("ttyUSB0");
    ASSERT_TRUE(WaitFor(r, rsConnected));
    EXPECT_EQ(ResolvePortName("COM5"), Dir.File("ttyUSB0"));
    port.WriteStr("mine");
    EXPECT_EQ(pty->Receive(4), "mine");
}

TEST_F(Reconnect, AnyNameInAnyFolderComesBack) {
    // A link in a folder of its own (as socat makes) and a device name outside the serial families.
    TempDir other;
    for (const std::string& path : {other.File("mydevice"), Dir.File("ttyCH341USB0")}) {
        SCOPED_TRACE(path);
        auto pty = std::make_unique<PtyPair>();
        fs::create_symlink(pty->Path, path);
        SetDeviceMapOverride(std::vector<TDeviceMapEntry>{{"COM5", path}});
        TComPort port(nullptr);
        Open(port, "COM5");
        TComReconnect r(port, Dir.Path());
        pty.reset();
        fs::remove(path);
        ASSERT_TRUE(WaitFor(r, rsDisconnected));
        pty = std::make_unique<PtyPair>();
        fs::create_symlink(pty->Path, path);
        ASSERT_TRUE(WaitFor(r, rsConnected));
        port.WriteStr("back");
        EXPECT_EQ(pty->Receive(4), "back");
    }
}

TEST_F(Reconnect, SameByIdNameAtAnotherPathIsFollowedThere) {
    auto pty = Plug("ttyUSB0", "usb-Acme_Board_42-if00");
    TComPort port(nullptr);
    Open(port, "COM5");
    TComReconnect r(port, Dir.Path());
    EXPECT_EQ(r.ById(), Dir.File("serial/by-id/usb-Acme_Board_42-if00"));

    Unplug(pty, "ttyUSB0", "usb-Acme_Board_42-if00");
    ASSERT_TRUE(WaitFor(r, rsDisconnected));
    auto other = Plug("ttyACM0");          // another device: not ours
    pty = Plug("ttyUSB3", "usb-Acme_Board_42-if00"); // ours, renumbered
    ASSERT_TRUE(WaitFor(r, rsConnected));
    EXPECT_EQ(r.DevicePath(), Dir.File("ttyUSB3"));
    EXPECT_EQ(ResolvePortName("COM5"), Dir.File("ttyUSB3"));
    port.WriteStr("moved");
    EXPECT_EQ(pty->Receive(5), "moved");
}

// Turned off, a returning device is left alone; a virtual device, which no folder shows, is told
// of by its owner.
TEST_F(Reconnect, OffLeavesTheDeviceAloneAndAVirtualDeviceIsToldOf) {
    auto device = TVirtualDevice::Create("COM9");
    TComPort port(nullptr);
    Open(port, "COM9");
    TComReconnect r(port, Dir.Path());
    device->Remove();
    ASSERT_TRUE(WaitFor(r, rsDisconnected));

    r.SetEnabled(false);
    device->Restore();
    r.DeviceAppeared("COM9");
    EXPECT_EQ(r.State(), rsDisconnected);
    EXPECT_FALSE(port.Connected());

    r.SetEnabled(true);
    r.DeviceAppeared("COM9");
    EXPECT_EQ(r.State(), rsConnected);
    EXPECT_TRUE(port.Connected());
    port.WriteStr("v");
    EXPECT_TRUE(device->WaitSent(1, 2000));

    // Closed by its owner: a later removal is not its business.
    port.Close();
    r.Stopped();
    EXPECT_EQ(r.State(), rsStopped);
}

// The removal notice reaches links once, on the thread each SyncMethod names.
TEST(RemovalNotice, ArrivesOnceOnTheThreadOfEachSyncMethod) {
    for (TSyncMethod method : {smNone, smThreadSync, smWindowSync}) {
        SCOPED_TRACE(int(method));
        auto device = TVirtualDevice::Create("COM10");
        TComPort port(nullptr);
        port.SetPort("COM10");
        port.SetSyncMethod(method);
        std::atomic<int> notices{0};
        std::atomic<bool> onMain{false};
        const auto main = std::this_thread::get_id();
        TComLink link;
        link.OnRemoved = [&](TObject* Sender, const EComPort& Error) {
            EXPECT_EQ(Sender, &port);
            EXPECT_EQ(Error.WinCode(), 1167);
            onMain = std::this_thread::get_id() == main;
            ++notices;
        };
        port.RegisterLink(&link);
        port.Open();
        device->Remove();
        const auto end = Clock::now() + std::chrono::seconds(5);
        while (notices.load() == 0 && Clock::now() < end) {
            WaitForMessages(std::chrono::milliseconds(10));
            ProcessMessages();
        }
        ProcessMessages();
        EXPECT_EQ(notices.load(), 1);
        EXPECT_EQ(onMain.load(), method != smNone);
        port.Close();
        port.UnRegisterLink(&link);
    }
}
