#include "PortTestSupport.h"

#include "platform/toolkit/FormData.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

// A window that places ports from its stored form data.
class TTestWindow : public TComponent {
  public:
    explicit TTestWindow(TComponent* AOwner) : TComponent(AOwner) { Register(); }
    std::string ClassName() const override { return "TTestWindow"; }

    static void Register() {
        static const TClassInfo& info = TPublished<TTestWindow>("TTestWindow", "TComponent").Register();
        (void)info;
    }
};

TComPort* PortOf(TComponent& owner, const std::string& name) {
    return dynamic_cast<TComPort*>(owner.FindComponent(name));
}

bool Has(const std::string& text, const std::string& line) {
    return text.find(line) != std::string::npos;
}

// Form data of a window holding one port, ComPort1, with the given property lines.
std::string Form(const std::string& lines) {
    return "Win: TTestWindow {\n  ComPort1: TComPort {\n" + lines + "  }\n}\n";
}

// The virtual port moved into the window as ComPort1, opened without an event thread.
TComPort* OpenInWindow(TVirtualPort& vp, TTestWindow& win) {
    TComPort* port = vp.Port.release();
    win.InsertComponent(port);
    port->SetName("ComPort1");
    port->SetEvents({});
    port->Open();
    return port;
}

TEST(PortFormData, DefaultsAreLeftOutAndTheRestWritten) {
    TTestWindow win(nullptr);
    auto* port = new TComPort(&win);
    port->SetName("ComPort1");
    std::string text = WriteComponent(win);
    EXPECT_TRUE(Has(text, "ComPort1: TComPort {")) << text;
    // Always stored.
    for (const char* line :
         {"BaudRate = br9600", "Port = \"COM1\"", "Parity.Bits = prNone", "StopBits = sbOneStopBit",
          "DataBits = dbEight", "FlowControl.OutCTSFlow = false", "FlowControl.ControlDTR = dtrDisable",
          "FlowControl.ControlRTS = rtsDisable", "FlowControl.XonXoffIn = false",
          "Events = [evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, "
          "evRLSD, evRx80Full]"})
        EXPECT_TRUE(Has(text, line)) << line << "\n" << text;
    // At their stored default, and the derived flow-control summary, never.
    for (const char* name : {"Connected", "DiscardNull", "EventChar", "SyncMethod", "Parity.Check",
                             "Parity.Replace", "Parity.ReplaceChar", "Buffer.InputSize", "Buffer.OutputSize",
                             "Timeouts.", "FlowControl.FlowControl", "FlowControl.XonChar",
                             "FlowControl.DSRSensitivity", "CustomBaudRate", "StoredProps"})
        EXPECT_FALSE(Has(text, std::string(name))) << name << "\n" << text;

    port->SetSyncMethod(smNone);
    port->Buffer().SetInputSize(4096);
    port->Timeouts().SetReadInterval(50);
    port->FlowControl().SetXonChar('a');
    port->Parity().SetCheck(true);
    text = WriteComponent(win);
    for (const char* line : {"SyncMethod = smNone", "Buffer.InputSize = 4096", "Timeouts.ReadInterval = 50",
                             "FlowControl.XonChar = 'a'", "Parity.Check = true"})
        EXPECT_TRUE(Has(text, line)) << line << "\n" << text;
}

TEST(PortFormData, SettingsSurviveAWriteAndARead) {
    TTestWindow first(nullptr);
    auto* port = new TComPort(&first);
    port->SetName("ComPort1");
    port->SetBaudRate(br38400);
    port->SetPort("COM4");
    port->SetEvents({evRxChar, evCTS});
    port->SetEventChar('\r');
    port->SetDiscardNull(true);
    port->Parity().SetBits(prSpace);
    port->Parity().SetReplace(true);
    port->Parity().SetReplaceChar(static_cast<char>(0xE9));
    port->FlowControl().SetFlowControl(fcHardware);
    port->FlowControl().SetControlDTR(dtrEnable);
    port->Timeouts().SetWriteTotalC(5000);
    port->Buffer().SetOutputSize(256);
    std::string text = WriteComponent(first);

    TTestWindow second(nullptr);
    ReadComponentData(second, text);
    TComPort* read = PortOf(second, "ComPort1");
    ASSERT_NE(read, nullptr);
    EXPECT_FALSE(read->Connected());
    // Every setting above is away from its default, so it is written; equal text means all came back.
    EXPECT_EQ(WriteComponent(second), text);
    EXPECT_EQ(read->Parity().ReplaceChar(), static_cast<char>(0xE9));
}

TEST(PortFormData, StoredConnectedOpensAfterLoadingWithTheLoadedSettings) {
    auto dev = TVirtualDevice::Create("COM9");
    ASSERT_NE(dev, nullptr);
    TShownErrors shown;
    TTestWindow win(nullptr);
    // Connected comes first: it only records the wish until every property has been read.
    ReadComponentData(win, Form("    Connected = true\n    BaudRate = br115200\n    Port = \"COM9\"\n"
                                "    Events = []\n    Parity.Bits = prOdd\n"));
    TComPort* port = PortOf(win, "ComPort1");
    ASSERT_NE(port, nullptr);
    EXPECT_TRUE(port->Connected());
    EXPECT_TRUE(dev->IsOpen());
    EXPECT_EQ(dev->OpenCount(), 1);
    EXPECT_EQ(CountsOf(*dev), (TApplyCounts{1, 1, 1}));
    EXPECT_EQ(dev->LastDCB().BaudRate, 115200u);
    EXPECT_EQ(dev->LastDCB().Parity, ODDPARITY);
    EXPECT_TRUE(shown.Texts.empty());
    EXPECT_FALSE(port->ComponentState().Contains(csLoading));
}

TEST(PortFormData, MissingDeviceIsShownOnceAndLoadingGoesOn) {
    auto missing = TVirtualDevice::Create("COM11");
    auto present = TVirtualDevice::Create("COM9");
    ASSERT_NE(missing, nullptr);
    ASSERT_NE(present, nullptr);
    missing->FailNext(TVirtualDevice::foOpen, ERROR_FILE_NOT_FOUND);
    TShownErrors shown;
    TTestWindow win(nullptr);
    ReadComponentData(win, "Win: TTestWindow {\n"
                           "  ComPort1: TComPort {\n"
                           "    Connected = true\n"
                           "    Port = \"COM11\"\n"
                           "    Events = []\n"
                           "  }\n"
                           "  ComPort2: TComPort {\n"
                           "    Connected = true\n"
                           "    Port = \"COM9\"\n"
                           "    BaudRate = br19200\n"
                           "    Events = []\n"
                           "  }\n"
                           "}\n");
    ASSERT_EQ(shown.Texts.size(), 1u);
    EXPECT_EQ(shown.Texts[0], "Unable to open com port (win error code: 2)");
    TComPort* first = PortOf(win, "ComPort1");
    TComPort* second = PortOf(win, "ComPort2");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_FALSE(first->Connected());
    EXPECT_EQ(first->Handle(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(second->Connected());
    EXPECT_EQ(present->LastDCB().BaudRate, 19200u);
}

TEST(PortFormData, RefusedSettingAtLoadIsShownAndThePortStaysClosed) {
    auto dev = TVirtualDevice::Create("COM9");
    ASSERT_NE(dev, nullptr);
    dev->FailNext(TVirtualDevice::foSetCommState, ERROR_INVALID_PARAMETER);
    TShownErrors shown;
    TTestWindow win(nullptr);
    ReadComponentData(win, Form("    Connected = true\n    Port = \"COM9\"\n"));
    ASSERT_EQ(shown.Texts.size(), 1u);
    EXPECT_EQ(shown.Texts[0], "SetCommState function failed (win error code: 87)");
    EXPECT_FALSE(PortOf(win, "ComPort1")->Connected());
    EXPECT_FALSE(dev->IsOpen());
}

// Reading form data into a window whose port is already open changes its settings while loading
// (nothing is applied then) and applies them once afterwards, without opening a second time.
TEST(PortFormData, ReadingIntoAnOpenPortAppliesOnceAndKeepsItsDevice) {
    TVirtualPort vp("COM9");
    TTestWindow win(nullptr);
    TComPort* port = OpenInWindow(vp, win);
    TApplyCounts before = CountsOf(*vp.Dev);
    TShownErrors shown;
    ReadComponentData(win, Form("    Connected = true\n    BaudRate = br57600\n    DataBits = dbSeven\n"));
    EXPECT_TRUE(shown.Texts.empty()) << shown.Texts.front();
    EXPECT_TRUE(port->Connected());
    EXPECT_EQ(vp.Dev->OpenCount(), 1);
    EXPECT_EQ(CountsOf(*vp.Dev), (TApplyCounts{before.Buffer + 1, before.State + 1, before.Timeouts + 1}));
    EXPECT_EQ(vp.Dev->LastDCB().BaudRate, 57600u);
    EXPECT_EQ(vp.Dev->LastDCB().ByteSize, 7);
}

TEST(PortFormData, ReadingAnotherPortNameIntoAnOpenPortMovesItThere) {
    TVirtualPort vp("COM9");
    auto other = TVirtualDevice::Create("COM10");
    ASSERT_NE(other, nullptr);
    TTestWindow win(nullptr);
    TComPort* port = OpenInWindow(vp, win);
    TShownErrors shown;
    ReadComponentData(win, Form("    Connected = true\n    Port = \"COM10\"\n"));
    EXPECT_TRUE(shown.Texts.empty()) << shown.Texts.front();
    EXPECT_TRUE(port->Connected());
    EXPECT_FALSE(vp.Dev->IsOpen());
    EXPECT_TRUE(other->IsOpen());
}

// While loading, an open port takes a new SyncMethod and restarts its event thread for it; outside
// loading the change is still refused. Connected = false read into an open port closes it.
TEST(PortFormData, LoadingAnOpenPortTakesSyncMethodAndConnected) {
    TVirtualPort vp("COM9");
    TTestWindow win(nullptr);
    TComPort* port = OpenInWindow(vp, win);
    TShownErrors shown;
    ReadComponentData(win, Form("    SyncMethod = smWindowSync\n"));
    EXPECT_TRUE(shown.Texts.empty()) << shown.Texts.front();
    EXPECT_EQ(port->SyncMethod(), smWindowSync);
    EXPECT_TRUE(port->Connected());
    EXPECT_TRUE(vp.Dev->IsOpen());
    EXPECT_THROW(port->SetSyncMethod(smNone), EComPort);

    ReadComponentData(win, Form("    Connected = false\n"));
    EXPECT_FALSE(port->Connected());
    EXPECT_FALSE(vp.Dev->IsOpen());
    EXPECT_EQ(port->Handle(), INVALID_HANDLE_VALUE);
}

} // namespace
