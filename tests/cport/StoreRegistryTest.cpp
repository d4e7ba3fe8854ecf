#include "PortTestSupport.h"

#include "platform/profile/Registry.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

class StoreRegistry : public ::testing::Test {
  protected:
    void SetUp() override {
        SetRegistryDirectoryOverride(FDir.File("reg"));
        FPort = std::make_unique<TComPort>(nullptr);
        FPort->SetName("ComPort1");
        FPort->SetBaudRate(br38400);
    }
    void TearDown() override { SetRegistryDirectoryOverride(std::nullopt); }
    std::string File(const char* root) const { return FDir.File(std::string("reg/") + root + ".reg"); }
    int Code(const std::function<void()>& f) {
        try {
            f();
        } catch (const EComPort& e) {
            return e.Code();
        }
        return 0;
    }

    TempDir FDir;
    std::unique_ptr<TComPort> FPort;
};

} // namespace

TEST_F(StoreRegistry, MachineRootLocationWritesBelowThePathAndPortName) {
    FPort->StoreSettings(stRegistry, "hkey_local_machine\\Software\\Tolvane");
    EXPECT_EQ(Slurp(File("HKEY_LOCAL_MACHINE")), "[Software\\\\Tolvane\\\\ComPort1]\n"
                                                 "\"Port\"=sz:\"COM1\"\n\"BaudRate\"=sz:\"38400\"\n"
                                                 "\"StopBits\"=sz:\"1\"\n\"DataBits\"=sz:\"8\"\n"
                                                 "\"Parity\"=sz:\"None\"\n\"FlowControl\"=sz:\"None\"\n");
    EXPECT_FALSE(std::filesystem::exists(File("HKEY_CURRENT_USER")));

    auto other = std::make_unique<TComPort>(nullptr);
    other->SetName("ComPort1");
    other->LoadSettings(stRegistry, "HKEY_LOCAL_MACHINE\\software\\tolvane\\");
    EXPECT_EQ(other->BaudRate(), br38400);
}

TEST_F(StoreRegistry, FirstComponentIsAlwaysTakenAsTheRootName) {
    FPort->SetPort("COM4");
    FPort->StoreSettings(stRegistry, "Software\\Tolvane\\Ports");
    TRegistry reg;
    EXPECT_FALSE(reg.KeyExists("\\Software"));
    ASSERT_TRUE(reg.OpenKey("\\Tolvane\\Ports\\ComPort1", false));
    EXPECT_EQ(reg.ReadString("Port"), "COM4");
    EXPECT_FALSE(std::filesystem::exists(File("HKEY_LOCAL_MACHINE")));
}

TEST_F(StoreRegistry, IntegersAreDwordsAndEveryGroupRoundTrips) {
    FPort->SetStoredProps({spBasic, spBuffer, spTimeouts, spOthers, spParity, spFlowControl});
    FPort->SetBaudRate(brCustom);
    FPort->SetCustomBaudRate(250000);
    FPort->Timeouts().SetReadInterval(-1);
    FPort->Buffer().SetInputSize(8192);
    FPort->SetEventChar('\n');
    FPort->FlowControl().SetFlowControl(fcSoftware);
    FPort->StoreSettings(stRegistry, "HKEY_CURRENT_USER\\Software\\T");
    std::string text = Slurp(File("HKEY_CURRENT_USER"));
    EXPECT_NE(text.find("\"CustomBaudRate\"=dword:0003d090\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Timeouts.ReadInterval\"=dword:ffffffff\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"EventChar\"=sz:\"#10\"\n"), std::string::npos) << text;

    auto b = std::make_unique<TComPort>(nullptr);
    b->SetName("ComPort1");
    b->SetStoredProps(FPort->StoredProps());
    b->LoadSettings(stRegistry, "HKEY_CURRENT_USER\\Software\\T");
    // Stored again under another root, what was read gives the same entries.
    b->StoreSettings(stRegistry, "HKEY_LOCAL_MACHINE\\Software\\T");
    EXPECT_EQ(Slurp(File("HKEY_LOCAL_MACHINE")), text);
}

TEST_F(StoreRegistry, MissingIntegerFailsWith17AfterEarlierValuesWereAssigned) {
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("Software\\T\\ComPort1", true));
        reg.WriteString("Port", "COM3");
        reg.WriteString("BaudRate", "2400");
        reg.WriteString("Parity", "Odd");
        reg.WriteInteger("Buffer.OutputSize", 100);
    }
    FPort->SetStoredProps({spBasic, spBuffer});
    EXPECT_EQ(Code([&] { FPort->LoadSettings(stRegistry, "HKEY_CURRENT_USER\\Software\\T"); }),
              ErrLoadSettings);
    EXPECT_EQ(FPort->Port(), "COM3");
    EXPECT_EQ(FPort->BaudRate(), br2400);
    EXPECT_EQ(FPort->Parity().Bits(), prOdd);
    EXPECT_EQ(FPort->StopBits(), sbOneStopBit); // missing text decodes to its fallback
    EXPECT_EQ(FPort->Buffer().OutputSize(), 100);
    EXPECT_EQ(FPort->UpdateCount(), 0);
}

TEST_F(StoreRegistry, TextOfAnotherTypeFailsLoading) {
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("Software\\T\\ComPort1", true));
        reg.WriteInteger("Port", 3);
    }
    EXPECT_EQ(Code([&] { FPort->LoadSettings(stRegistry, "HKEY_CURRENT_USER\\Software\\T"); }),
              ErrLoadSettings);
}

TEST_F(StoreRegistry, LocationsWithoutAKeyPath) {
    // Nothing after the backslash: fails before touching anything.
    EXPECT_EQ(Code([&] { FPort->StoreSettings(stRegistry, "HKEY_CURRENT_USER\\"); }), ErrStoreSettings);
    EXPECT_EQ(Code([&] { FPort->LoadSettings(stRegistry, "HKEY_CURRENT_USER\\"); }), ErrLoadSettings);
    EXPECT_FALSE(std::filesystem::exists(FDir.File("reg")));
    EXPECT_EQ(FPort->UpdateCount(), 0);

    // No backslash: no key is opened, so writes fail and texts read empty.
    EXPECT_EQ(Code([&] { FPort->StoreSettings(stRegistry, "HKEY_CURRENT_USER"); }), ErrStoreSettings);
    FPort->SetPort("COM6");
    EXPECT_EQ(Code([&] { FPort->LoadSettings(stRegistry, "Software"); }), 0);
    EXPECT_EQ(FPort->Port(), "COM1");
    EXPECT_EQ(FPort->BaudRate(), br9600);
}

TEST_F(StoreRegistry, UnwritableRegistryDirectoryRaises16) {
    std::ofstream(FDir.File("blocker")) << "x";
    SetRegistryDirectoryOverride(FDir.File("blocker/reg"));
    EXPECT_EQ(Code([&] { FPort->StoreSettings(stRegistry, "HKEY_CURRENT_USER\\Software\\T"); }),
              ErrStoreSettings);
}
