#include "platform/ports/DeviceMap.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

void WriteFile(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

// A fake /sys/class/tty and /dev so numbering can be tested without touching the machine.
struct FakeMachine {
    TempDir Dir;
    TDeviceMapSources Sources;
    FakeMachine() {
        Sources.SysClassTty = (Dir.Path() / "sys").string();
        Sources.Dev = (Dir.Path() / "dev").string();
        fs::create_directories(Sources.SysClassTty);
        fs::create_directories(Sources.Dev);
    }
    // type: the sysfs port type text, or empty for no type attribute; withDevice: a bound driver.
    void Add(const std::string& name, bool withDevice = true, const std::string& type = "") {
        fs::path sys = fs::path(Sources.SysClassTty) / name;
        fs::create_directories(sys);
        if (withDevice) fs::create_directories(sys / "device");
        if (!type.empty()) WriteFile(sys / "type", type);
        WriteFile(fs::path(Sources.Dev) / name, "");
    }
    std::string DevPath(const std::string& name) const { return (fs::path(Sources.Dev) / name).string(); }
};

// Restores an environment variable at scope end.
struct EnvGuard {
    std::string Name;
    std::optional<std::string> Old;
    explicit EnvGuard(std::string name) : Name(std::move(name)) {
        if (const char* v = std::getenv(Name.c_str())) Old = v;
    }
    ~EnvGuard() {
        if (Old)
            ::setenv(Name.c_str(), Old->c_str(), 1);
        else
            ::unsetenv(Name.c_str());
    }
};

} // namespace

TEST(PortsNames, ComPortNumberAcceptsOnlyComOneToSixteen) {
    EXPECT_EQ(ComPortNumber("COM1"), 1);
    EXPECT_EQ(ComPortNumber("COM16"), 16);
    EXPECT_EQ(ComPortNumber("com3"), 3);
    EXPECT_EQ(ComPortNumber("\\\\.\\COM7"), 7);
    for (const char* bad :
         {"COM0", "COM17", "COM03", "COM3:", "COM", "LPT1", "COM1x", "", "\\\\.\\", "CO1", "COM999999999999"})
        EXPECT_EQ(ComPortNumber(bad), 0) << bad;
}

TEST(PortsEntries, EnvironmentEntriesTrimmedFirstWinsProblemsReported) {
    TDeviceMap m;
    ParseDeviceEntries(" COM1 = /dev/ttyUSB0 ;com3=/tmp/sim;;COM1=/dev/other;COM17=/x;junk;COM2=;", ';',
                       "CPORT_DEVICES", m);
    std::vector<TDeviceMapEntry> want = {{"COM1", "/dev/ttyUSB0"}, {"COM3", "/tmp/sim"}};
    EXPECT_EQ(m.Entries, want);
    ASSERT_EQ(m.Problems.size(), 4u);
    EXPECT_NE(m.Problems[0].find("COM1 is already mapped"), std::string::npos) << m.Problems[0];
    EXPECT_NE(m.Problems[1].find("COM17"), std::string::npos) << m.Problems[1];
    EXPECT_NE(m.Problems[2].find("expected COMn=path"), std::string::npos) << m.Problems[2];
    EXPECT_NE(m.Problems[3].find("no device path for COM2"), std::string::npos) << m.Problems[3];
}

TEST(PortsEntries, ConfigFileCommentsBlanksCrlfAndLineNumbers) {
    TDeviceMap m;
    ParseDeviceEntries(
        "# my ports\r\n\r\n  COM2=/dev/ttyACM0\r\nCOM4 = virtual:dev one \r\n\x01oops\nCOM5=/a=b", '\n',
        "devices.conf", m);
    std::vector<TDeviceMapEntry> want = {
        {"COM2", "/dev/ttyACM0"}, {"COM4", "virtual:dev one"}, {"COM5", "/a=b"}};
    EXPECT_EQ(m.Entries, want);
    ASSERT_EQ(m.Problems.size(), 1u);
    // Control bytes are shown escaped and the line number is the file's own.
    EXPECT_NE(m.Problems[0].find("devices.conf line 5"), std::string::npos) << m.Problems[0];
    EXPECT_NE(m.Problems[0].find("\\x01oops"), std::string::npos) << m.Problems[0];
}

TEST(PortsScan, OnlyRealUartsThenUsbAcmAmaInNaturalOrder) {
    FakeMachine fm;
    fm.Add("ttyS0", true, "4\n"); // a 16550A
    fm.Add("ttyS1", true, "0\n"); // a reserved slot with no UART behind it
    fm.Add("ttyS2", false);       // no device at all
    fm.Add("ttyS10", true, "4");
    fm.Add("ttyS3", true); // a driver without a type attribute
    fm.Add("ttyUSB10");
    fm.Add("ttyUSB2");
    fm.Add("ttyAMA0");
    fm.Add("ttyACM0");
    fm.Add("tty0");
    fm.Add("ttyUSBx");
    fs::create_directories(fs::path(fm.Sources.SysClassTty) / "ttyUSB7"); // no /dev node
    std::vector<std::string> want = {fm.DevPath("ttyS0"),   fm.DevPath("ttyS3"),    fm.DevPath("ttyS10"),
                                     fm.DevPath("ttyUSB2"), fm.DevPath("ttyUSB10"), fm.DevPath("ttyACM0"),
                                     fm.DevPath("ttyAMA0")};
    EXPECT_EQ(ScanSerialDevices(fm.Sources), want);
}

TEST(PortsBuild, ExplicitEntriesFirstThenLowestFreeNumbersSkippingNamedDevices) {
    FakeMachine fm;
    fm.Add("ttyUSB0");
    fm.Add("ttyUSB1");
    fm.Add("ttyACM0");
    // The environment names ttyUSB1 through a symlink; it must not get a second number.
    fs::create_symlink(fm.DevPath("ttyUSB1"), fm.Dir.Path() / "by-id");
    fm.Sources.Environment = "COM2=" + (fm.Dir.Path() / "by-id").string();
    fm.Sources.ConfigFile = fm.Dir.File("devices.conf");
    WriteFile(fm.Sources.ConfigFile, "COM2=/ignored\nCOM1=virtual:sim\n");
    TDeviceMap m = BuildDeviceMap(fm.Sources);
    std::vector<TDeviceMapEntry> want = {{"COM1", "virtual:sim"},
                                         {"COM2", (fm.Dir.Path() / "by-id").string()},
                                         {"COM3", fm.DevPath("ttyUSB0")},
                                         {"COM4", fm.DevPath("ttyACM0")}};
    EXPECT_EQ(m.Entries, want);
    ASSERT_EQ(m.Problems.size(), 1u); // the file's COM2 lost against the environment
}

TEST(PortsBuild, MoreDevicesThanNamesAreReportedNotDropped) {
    FakeMachine fm;
    for (int i = 0; i < 18; ++i)
        fm.Add("ttyUSB" + std::to_string(i));
    TDeviceMap m = BuildDeviceMap(fm.Sources);
    ASSERT_EQ(m.Entries.size(), 16u);
    EXPECT_EQ(m.Entries.back(), (TDeviceMapEntry{"COM16", fm.DevPath("ttyUSB15")}));
    ASSERT_EQ(m.Problems.size(), 2u);
    EXPECT_NE(m.Problems[0].find("ttyUSB16"), std::string::npos);
}

TEST(PortsBuild, MissingConfigFileIsNoProblemUnreadableOneIs) {
    FakeMachine fm;
    fm.Sources.ConfigFile = fm.Dir.File("nope/devices.conf");
    EXPECT_TRUE(BuildDeviceMap(fm.Sources).Problems.empty());
    fm.Sources.ConfigFile = fm.Dir.Path().string(); // a directory cannot be read as a file
    TDeviceMap m = BuildDeviceMap(fm.Sources);
    EXPECT_TRUE(m.Entries.empty());
    EXPECT_EQ(m.Problems.size(), 1u);
    // A FIFO in the file's place would block a plain open forever.
    ASSERT_EQ(::mkfifo(fm.Dir.File("fifo").c_str(), 0600), 0);
    fm.Sources.ConfigFile = fm.Dir.File("fifo");
    EXPECT_EQ(BuildDeviceMap(fm.Sources).Problems.size(), 1u);
}

TEST(PortsEnvironment, ConfigPathFollowsXdgConfigHomeElseHome) {
    EnvGuard g1("XDG_CONFIG_HOME"), g2("HOME");
    ::setenv("XDG_CONFIG_HOME", "/x/cfg", 1);
    EXPECT_EQ(DeviceConfigPath(), "/x/cfg/cport/devices.conf");
    ::setenv("HOME", "/home/u", 1);
    ::setenv("XDG_CONFIG_HOME", "relative", 1); // relative values are to be ignored
    EXPECT_EQ(DeviceConfigPath(), "/home/u/.config/cport/devices.conf");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(DeviceConfigPath(), "/home/u/.config/cport/devices.conf");
}

TEST(PortsEnvironment, ResolveReadsEnvironmentAndConfigFile) {
    EnvGuard g1("XDG_CONFIG_HOME"), g2("CPORT_DEVICES");
    TempDir dir;
    ::setenv("XDG_CONFIG_HOME", dir.Path().c_str(), 1);
    WriteFile(dir.Path() / "cport" / "devices.conf", "COM9=/tmp/from-file\nCOM5=/tmp/loses\n");
    ::setenv("CPORT_DEVICES", "COM5=/tmp/from-env", 1);
    EXPECT_EQ(ResolvePortName("COM9"), "/tmp/from-file");
    EXPECT_EQ(ResolvePortName("\\\\.\\COM5"), "/tmp/from-env");
    EXPECT_EQ(ResolvePortName("COM5:"), std::nullopt);
}

TEST(PortsOverride, OverrideReplacesMapAndFeedsPortList) {
    SetDeviceMapOverride(std::vector<TDeviceMapEntry>{{"COM2", "virtual:a"}, {"COM12", "/tmp/pty"}});
    EXPECT_EQ(ResolvePortName("com12"), "/tmp/pty");
    EXPECT_EQ(ResolvePortName("COM1"), std::nullopt);
    std::vector<TSystemPort> want = {{"COM2:", "virtual:a"}, {"COM12:", "/tmp/pty"}};
    EXPECT_EQ(SystemPortList(), want);

    std::vector<TSystemPort> raw = {{"LPT1:", ""}, {"com3:", ""}, {"COM1:", "/dev/ttyS0"}};
    SetSystemPortListOverride(raw);
    EXPECT_EQ(SystemPortList(), raw);
    SetSystemPortListOverride(std::nullopt);
    EXPECT_EQ(SystemPortList(), want);
    SetDeviceMapOverride(std::nullopt);
}
