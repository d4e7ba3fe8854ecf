#include "PortTestSupport.h"

#include "cport/SetupHook.h"

#include <gtest/gtest.h>

#include <cstdint>

#include <string>
#include <vector>

namespace {

// The open/close notifications in the order they were raised.
struct TNotices {
    explicit TNotices(TComPort& port) : Port(port) {
        port.SetOnBeforeOpen([this](TObject*) { Log.push_back("BeforeOpen"); });
        port.SetOnAfterOpen([this](TObject*) { Log.push_back("AfterOpen"); });
        port.SetOnBeforeClose([this](TObject*) { Log.push_back("BeforeClose"); });
        port.SetOnAfterClose([this](TObject*) { Log.push_back("AfterClose"); });
    }
    // The port may outlive the log (and close later): it must not call into a dead one.
    ~TNotices() {
        Port.SetOnBeforeOpen(nullptr);
        Port.SetOnAfterOpen(nullptr);
        Port.SetOnBeforeClose(nullptr);
        Port.SetOnAfterClose(nullptr);
    }
    TComPort& Port;
    std::vector<std::string> Log;
};

TEST(PortLifecycle, ConstructionValues) {
    TComPort port(nullptr);
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Handle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(port.Port(), "COM1");
    EXPECT_EQ(port.CustomBaudRate(), 9600);
    EXPECT_EQ(port.Events().Bits(), 0x3FF);
    EXPECT_EQ(port.SyncMethod(), smThreadSync);
    EXPECT_EQ(port.StoredProps(), TStoredProps{spBasic});
    EXPECT_EQ(port.Parity().ComPort(), &port);
    EXPECT_EQ(port.Buffer().ComPort(), &port);
}

TEST(PortLifecycle, OpenAndCloseEachNotifyOnceAndTwiceDoesNothing) {
    TVirtualPort vp;
    vp.Port->SetEvents({});
    TNotices n(*vp.Port);
    vp.Port->Open();
    EXPECT_TRUE(vp.Port->Connected());
    EXPECT_NE(vp.Port->Handle(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(vp.Dev->IsOpen());
    vp.Port->Open();
    EXPECT_EQ(vp.Dev->OpenCount(), 1);
    vp.Port->Close();
    EXPECT_FALSE(vp.Port->Connected());
    EXPECT_EQ(vp.Port->Handle(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(vp.Dev->IsOpen());
    vp.Port->Close();
    EXPECT_EQ(n.Log, (std::vector<std::string>{"BeforeOpen", "AfterOpen", "BeforeClose", "AfterClose"}));
}

TEST(PortLifecycle, MissingDeviceRaisesCodeOneWithThePlatformCode) {
    TVirtualPort vp;
    TNotices n(*vp.Port);
    vp.Dev->FailNext(TVirtualDevice::foOpen, ERROR_FILE_NOT_FOUND);
    ExpectComError([&] { vp.Port->Open(); }, ErrOpenPort, 2, "Unable to open com port (win error code: 2)");
    EXPECT_FALSE(vp.Port->Connected());
    EXPECT_EQ(vp.Port->Handle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(n.Log, std::vector<std::string>{"BeforeOpen"});
}

TEST(PortLifecycle, DeviceInUseRaisesCodeOne) {
    TVirtualPort a("COM9");
    a.OpenQuiet();
    TComPort second(nullptr);
    second.SetPort("COM9");
    second.SetEvents({});
    ExpectComError([&] { second.Open(); }, ErrOpenPort, static_cast<int>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(second.Connected());
    EXPECT_TRUE(a.Port->Connected());
}

// A group the device refuses while opening closes the device again; the groups are tried in the
// order buffer, state, timeouts, so a refused buffer size leaves the other two untried.
TEST(PortLifecycle, RefusedSettingDuringOpenClosesTheDeviceAgain) {
    struct Case {
        TVirtualDevice::TFailOp Op;
        int Code;
        TApplyCounts Reached;
    };
    for (const Case& c : {Case{TVirtualDevice::foSetupComm, ErrSetupComm, {0, 0, 0}},
                          Case{TVirtualDevice::foSetCommState, ErrSetCommState, {1, 0, 0}},
                          Case{TVirtualDevice::foSetCommTimeouts, ErrSetCommTimeouts, {1, 1, 0}}}) {
        SCOPED_TRACE(c.Code);
        TVirtualPort vp;
        TNotices n(*vp.Port);
        vp.Dev->FailNext(c.Op, ERROR_INVALID_PARAMETER);
        ExpectComError([&] { vp.Port->Open(); }, c.Code, 87);
        EXPECT_EQ(CountsOf(*vp.Dev), c.Reached);
        EXPECT_FALSE(vp.Port->Connected());
        EXPECT_FALSE(vp.Port->ThreadCreated());
        EXPECT_EQ(vp.Port->Handle(), INVALID_HANDLE_VALUE);
        EXPECT_FALSE(vp.Dev->IsOpen());
        EXPECT_EQ(n.Log, std::vector<std::string>{"BeforeOpen"});
        // Nothing is left behind: the next open works.
        vp.Port->Open();
        EXPECT_TRUE(vp.Port->Connected());
    }
}

TEST(PortLifecycle, ZeroOrNegativeCustomRateIsRefusedAndNeverReachesTheDevice) {
    TVirtualPort vp;
    vp.Port->SetEvents({});
    vp.Port->SetBaudRate(brCustom);
    for (int32_t rate : {0, -1, INT32_MIN}) {
        vp.Port->SetCustomBaudRate(rate);
        ExpectComError([&] { vp.Port->Open(); }, ErrSetCommState, 87);
        EXPECT_EQ(vp.Dev->SetCommStateCount(), 0);
        EXPECT_FALSE(vp.Port->Connected());
    }

    vp.Port->SetCustomBaudRate(12345);
    vp.Port->Open();
    EXPECT_EQ(vp.Dev->LastDCB().BaudRate, 12345u);
    EXPECT_THROW(vp.Port->SetCustomBaudRate(0), EComPort);
    EXPECT_EQ(vp.Port->CustomBaudRate(), 0); // stored all the same
    EXPECT_TRUE(vp.Port->Connected());
    EXPECT_EQ(vp.Dev->LastDCB().BaudRate, 12345u);
}

TEST(PortLifecycle, RefusedSettingOnAnOpenPortKeepsTheValueAndThePortOpen) {
    TVirtualPort vp;
    vp.OpenQuiet();
    vp.Dev->FailNext(TVirtualDevice::foSetCommState, ERROR_INVALID_PARAMETER);
    EXPECT_THROW(vp.Port->SetBaudRate(br115200), EComPort);
    EXPECT_EQ(vp.Port->BaudRate(), br115200);
    EXPECT_TRUE(vp.Port->Connected());
    EXPECT_EQ(vp.Dev->LastDCB().BaudRate, 9600u);
}

TEST(PortLifecycle, EventThreadOnlyWithEventsAndDecidedAtOpen) {
    TVirtualPort vp;
    vp.Port->SetSyncMethod(smWindowSync);
    vp.OpenQuiet();
    EXPECT_FALSE(vp.Port->ThreadCreated());
    vp.Port->SetEvents({evRxChar});
    EXPECT_FALSE(vp.Port->ThreadCreated());
    vp.Port->Close();

    vp.Port->SetSyncMethod(smNone);
    vp.Port->Open();
    EXPECT_TRUE(vp.Port->ThreadCreated());
    vp.Port->SetEvents({});
    EXPECT_TRUE(vp.Port->ThreadCreated());
    vp.Port->Close();
    EXPECT_FALSE(vp.Port->ThreadCreated());
    EXPECT_FALSE(vp.Dev->IsOpen());
}

TEST(PortLifecycle, SyncMethodIsRefusedWhileOpen) {
    TVirtualPort vp;
    vp.Port->SetEvents({});
    vp.Port->SetSyncMethod(smNone);
    EXPECT_EQ(vp.Port->SyncMethod(), smNone);
    vp.Port->Open();
    ExpectComError([&] { vp.Port->SetSyncMethod(smThreadSync); }, ErrSyncMethodConnected, -1,
                   "Cannot set SyncMethod while connected");
    EXPECT_EQ(vp.Port->SyncMethod(), smNone);
    vp.Port->SetSyncMethod(smNone); // the same value is no change
    vp.Port->Close();
    vp.Port->SetSyncMethod(smWindowSync);
    EXPECT_EQ(vp.Port->SyncMethod(), smWindowSync);
}

TEST(PortLifecycle, PortNameIsNormalisedAndASameNameDoesNotReopen) {
    TComPort port(nullptr);
    port.SetPort("com3");
    EXPECT_EQ(port.Port(), "COM3");
    for (const char* bad : {"COM17", "LPT1", ""}) {
        port.SetPort("COM3");
        port.SetPort(bad);
        EXPECT_EQ(port.Port(), "COM1") << bad;
    }

    TVirtualPort vp("COM9");
    vp.OpenQuiet();
    TNotices n(*vp.Port);
    vp.Port->SetPort("com9");
    vp.Port->SetPort("9");
    EXPECT_EQ(vp.Dev->OpenCount(), 1);
    EXPECT_TRUE(n.Log.empty());
}

TEST(PortLifecycle, PortChangeReopensOnTheNewDevice) {
    TVirtualPort vp("COM9");
    auto other = TVirtualDevice::Create("COM10");
    ASSERT_NE(other, nullptr);
    vp.OpenQuiet();
    TNotices n(*vp.Port);
    vp.Port->SetPort("COM10");
    EXPECT_EQ(vp.Port->Port(), "COM10");
    EXPECT_TRUE(vp.Port->Connected());
    EXPECT_FALSE(vp.Dev->IsOpen());
    EXPECT_TRUE(other->IsOpen());
    EXPECT_EQ(CountsOf(*other), (TApplyCounts{1, 1, 1}));
    EXPECT_EQ(n.Log, (std::vector<std::string>{"BeforeClose", "AfterClose", "BeforeOpen", "AfterOpen"}));

    // A closed port only stores the name.
    vp.Port->Close();
    vp.Port->SetPort("COM9");
    EXPECT_FALSE(vp.Dev->IsOpen());
    EXPECT_FALSE(vp.Port->Connected());

    // A change to a device that cannot be opened leaves the port closed with the new name.
    vp.Port->Open();
    other->FailNext(TVirtualDevice::foOpen, ERROR_FILE_NOT_FOUND);
    EXPECT_THROW(vp.Port->SetPort("COM10"), EComPort);
    EXPECT_EQ(vp.Port->Port(), "COM10");
    EXPECT_FALSE(vp.Port->Connected());
    EXPECT_FALSE(vp.Dev->IsOpen());
}

TEST(PortLifecycle, DestructionClosesTheDeviceAndTheThread) {
    auto dev = TVirtualDevice::Create("COM9");
    ASSERT_NE(dev, nullptr);
    {
        TComPort port(nullptr);
        port.SetPort("COM9");
        port.SetSyncMethod(smNone);
        port.Open();
        EXPECT_TRUE(port.ThreadCreated());
        EXPECT_TRUE(dev->IsOpen());
    }
    EXPECT_FALSE(dev->IsOpen());

    // An owner deletes the port it owns, which closes it.
    auto* owner = new TComponent(nullptr);
    auto* port = new TComPort(owner);
    port->SetPort("COM9");
    port->SetEvents({});
    port->Open();
    delete owner;
    EXPECT_FALSE(dev->IsOpen());
}

// A component that follows a port the way a signal LED or a terminal does: it owns a link and
// unregisters it when told the port is going away.
class TFollower : public TComponent {
  public:
    explicit TFollower(TComPort* port) : TComponent(nullptr), Port(port) {
        Port->RegisterLink(&Link);
        Port->FreeNotification(this);
    }
    void Notification(TComponent* AComponent, TOperation Operation) override {
        TComponent::Notification(AComponent, Operation);
        if (AComponent == Port && Operation == opRemove) {
            Port->UnRegisterLink(&Link);
            Port = nullptr;
            ++RemovalsHeard;
        }
    }
    TComPort* Port;
    TComLink Link;
    int RemovalsHeard = 0;
};

TEST(PortLifecycle, FollowersUnregisterFromAWholePortWhenItIsDestroyed) {
    auto dev = TVirtualDevice::Create("COM9");
    ASSERT_NE(dev, nullptr);
    auto* port = new TComPort(nullptr);
    port->SetPort("COM9");
    port->Open();
    TFollower follower(port);
    delete port; // under ASan, a notice sent after the port's members were gone would be caught here
    EXPECT_EQ(follower.RemovalsHeard, 1);
    EXPECT_EQ(follower.Port, nullptr);
    EXPECT_FALSE(dev->IsOpen());
}

TEST(PortLifecycle, DesigningNeverOpens) {
    TVirtualPort vp;
    vp.Port->SetDesigning(true);
    vp.Port->Open();
    EXPECT_FALSE(vp.Port->Connected());
    vp.Port->SetConnected(true);
    EXPECT_TRUE(vp.Port->Connected()); // only the stored wish
    EXPECT_FALSE(vp.Dev->IsOpen());
    EXPECT_EQ(vp.Dev->OpenCount(), 0);
    vp.Port->SetSyncMethod(smNone); // not refused: nothing is open
    EXPECT_EQ(vp.Port->SyncMethod(), smNone);
}

TEST(PortLifecycle, SetupDialogGoesThroughTheInstalledHook) {
    TComPort port(nullptr);
    EXPECT_THROW(port.ShowSetupDialog(), Exception);
    TCustomComPort* shown = nullptr;
    SetSetupDialogHook([&](TCustomComPort& p) { shown = &p; });
    port.ShowSetupDialog();
    EXPECT_EQ(shown, &port);
    SetSetupDialogHook(nullptr);
    EXPECT_THROW(port.ShowSetupDialog(), Exception);
}

} // namespace
