#include "PortTestSupport.h"

#include "platform/ports/DeviceMap.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <linux/fs.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The port of the main window as designed.
std::unique_ptr<TComPort> DesignedPort() {
    auto port = std::make_unique<TComPort>(nullptr);
    port->SetName("ComPort1");
    port->SetBaudRate(br38400);
    return port;
}

const TStoredProps AllGroups{spBasic, spFlowControl, spBuffer, spTimeouts, spParity, spOthers};

// Sets every stored setting away from its default.
void SetEverything(TCustomComPort& p) {
    p.SetPort("COM7");
    p.SetBaudRate(br115200);
    p.SetStopBits(sbTwoStopBits);
    p.SetDataBits(dbSeven);
    p.Parity().SetBits(prMark);
    p.SetEventChar(' ');
    p.SetDiscardNull(true);
    p.Parity().SetCheck(true);
    p.Parity().SetReplace(true);
    p.Parity().SetReplaceChar('?');
    p.Buffer().SetOutputSize(2048);
    p.Buffer().SetInputSize(4096);
    p.Timeouts().SetReadInterval(5);
    p.Timeouts().SetReadTotalC(6);
    p.Timeouts().SetReadTotalM(7);
    p.Timeouts().SetWriteTotalC(8);
    p.Timeouts().SetWriteTotalM(-9);
    TComFlowControl& f = p.FlowControl();
    f.SetControlRTS(rtsToggle);
    f.SetControlDTR(dtrHandshake);
    f.SetDSRSensitivity(true);
    f.SetOutCTSFlow(true);
    f.SetOutDSRFlow(true);
    f.SetTxContinueOnXoff(true);
    f.SetXonXoffIn(true);
    f.SetXonXoffOut(false);
    f.SetXoffChar('\x93');
    f.SetXonChar('\0');
}

} // namespace

TEST(StoreIni, DesignedPortWritesExactlyTheSixBasicKeys) {
    TempDir dir;
    auto port = DesignedPort();
    port->StoreSettings(stIniFile, dir.File("port.cfg"));
    EXPECT_EQ(Slurp(dir.File("port.cfg")), "[ComPort1]\nPort=COM1\nBaudRate=38400\nStopBits=1\nDataBits=8\n"
                                           "Parity=None\nFlowControl=None\n");
}

TEST(StoreIni, EveryGroupRoundTripsInGroupAndKeyOrder) {
    TempDir dir;
    std::string file = dir.File("all.cfg");
    auto a = DesignedPort();
    a->SetStoredProps(AllGroups);
    SetEverything(*a);
    a->StoreSettings(stIniFile, file);
    EXPECT_EQ(Slurp(file), "[ComPort1]\nPort=COM7\nBaudRate=115200\nStopBits=2\nDataBits=7\nParity=Mark\n"
                           "FlowControl=Custom\nEventChar=#32\nDiscardNull=Yes\nParity.Check=Yes\n"
                           "Parity.Replace=Yes\nParity.ReplaceChar=?\nBuffer.OutputSize=2048\n"
                           "Buffer.InputSize=4096\nTimeouts.ReadInterval=5\nTimeouts.ReadTotalConstant=6\n"
                           "Timeouts.ReadTotalMultiplier=7\nTimeouts.WriteTotalConstant=8\n"
                           "Timeouts.WriteTotalMultiplier=-9\nFlowControl.ControlRTS=Toggle\n"
                           "FlowControl.ControlDTR=Handshake\nFlowControl.DSRSensitivity=Yes\n"
                           "FlowControl.OutCTSFlow=Yes\nFlowControl.OutDSRFlow=Yes\n"
                           "FlowControl.TxContinueOnXoff=Yes\nFlowControl.XonXoffIn=Yes\n"
                           "FlowControl.XonXoffOut=No\nFlowControl.XoffChar=#147\nFlowControl.XonChar=#0\n");

    // Every value above is away from its default (XonXoffOut, written No, is checked apart), so a
    // port that loads the file and stores it again writes the same bytes only if it read them all.
    auto b = std::make_unique<TComPort>(nullptr);
    b->SetName("ComPort1");
    b->SetStoredProps(AllGroups);
    b->FlowControl().SetXonXoffOut(true);
    b->LoadSettings(stIniFile, file);
    EXPECT_FALSE(b->FlowControl().XonXoffOut());
    b->StoreSettings(stIniFile, dir.File("again.cfg"));
    EXPECT_EQ(Slurp(dir.File("again.cfg")), Slurp(file));
    EXPECT_EQ(b->UpdateCount(), 0);
}

TEST(StoreIni, CustomBaudRateKeyRule) {
    TempDir dir;
    std::string file = dir.File("c.cfg");
    auto a = DesignedPort();
    a->SetBaudRate(brCustom);
    a->SetCustomBaudRate(31250);
    a->StoreSettings(stIniFile, file);
    EXPECT_NE(Slurp(file).find("BaudRate=Custom\nCustomBaudRate=31250\nStopBits=1\n"), std::string::npos);

    auto b = DesignedPort();
    b->LoadSettings(stIniFile, file);
    EXPECT_EQ(b->BaudRate(), brCustom);
    EXPECT_EQ(b->CustomBaudRate(), 31250);

    // Storing a standard rate later leaves the old custom key in place.
    a->SetBaudRate(br1200);
    a->StoreSettings(stIniFile, file);
    EXPECT_NE(Slurp(file).find("BaudRate=1200\nCustomBaudRate=31250\n"), std::string::npos);

    // Custom without its key reads 9600, not the port's current custom rate.
    Spit(file, "[ComPort1]\nBaudRate=custom\n");
    auto c = DesignedPort();
    c->SetCustomBaudRate(777);
    c->LoadSettings(stIniFile, file);
    EXPECT_EQ(c->BaudRate(), brCustom);
    EXPECT_EQ(c->CustomBaudRate(), 9600);
}

TEST(StoreIni, OtherSectionsAndKeysKeptByteForByte) {
    TempDir dir;
    std::string file = dir.File("port.cfg");
    Spit(file, "; settings\r\n[Tool]\r\n  Colour = red \r\n\r\n[comport1]\r\nNote = keep me\r\n"
               "BAUDRATE = 9600\r\nParity.Check=Yes\r\n\r\n[Last]\r\nx=1");
    DesignedPort()->StoreSettings(stIniFile, file);
    EXPECT_EQ(Slurp(file), "; settings\r\n[Tool]\r\n  Colour = red \r\n\r\n[comport1]\r\nNote = keep me\r\n"
                           "BAUDRATE=38400\r\nParity.Check=Yes\r\nPort=COM1\r\nStopBits=1\r\nDataBits=8\r\n"
                           "Parity=None\r\nFlowControl=None\r\n\r\n[Last]\r\nx=1");
}

TEST(StoreIni, MissingKeysKeepCurrentValues) {
    TempDir dir;
    std::string file = dir.File("p.cfg");
    Spit(file, "[ComPort1]\nTimeouts.ReadTotalConstant=11\nTimeouts.ReadTotalMultiplier=12\n"
               "Timeouts.WriteTotalConstant=13\nTimeouts.WriteTotalMultiplier=14\n");
    auto p = DesignedPort();
    p->SetStoredProps(AllGroups);
    SetEverything(*p);
    p->LoadSettings(stIniFile, file);
    EXPECT_EQ(p->Timeouts().ReadInterval(), 5);
    EXPECT_EQ(p->Timeouts().ReadTotalConstant(), 11);
    EXPECT_EQ(p->Timeouts().WriteTotalMultiplier(), 14);
    EXPECT_EQ(p->Port(), "COM7");
    EXPECT_EQ(p->BaudRate(), br115200);
    EXPECT_EQ(p->FlowControl().ControlRTS(), rtsToggle);
    EXPECT_EQ(p->FlowControl().XoffChar(), '\x93');
    EXPECT_EQ(p->EventChar(), ' ');

    // A file that does not exist changes nothing at all.
    p->LoadSettings(stIniFile, dir.File("absent.cfg"));
    EXPECT_EQ(p->Timeouts().ReadTotalConstant(), 11);
    EXPECT_EQ(p->Parity().ReplaceChar(), '?');
}

TEST(StoreIni, ValueEncodingsAndFallbacks) {
    TempDir dir;
    std::string file = dir.File("e.cfg");
    auto load = [&](const std::string& body) {
        Spit(file, "[ComPort1]\n" + body);
        auto p = DesignedPort();
        p->SetStoredProps(AllGroups);
        p->Buffer().SetOutputSize(512);
        p->LoadSettings(stIniFile, file);
        return p;
    };
    EXPECT_EQ(load("Buffer.InputSize=0x1000\n")->Buffer().InputSize(), 4096);
    EXPECT_EQ(load("Buffer.InputSize=0X200\nBuffer.OutputSize=lots\n")->Buffer().OutputSize(), 512);
    EXPECT_EQ(load("BaudRate=31337\n")->BaudRate(), br9600);
    EXPECT_EQ(load("StopBits=1.5\nDataBits=5\nParity=even\n")->StopBits(), sbOne5StopBits);
    EXPECT_EQ(load("Parity=SPACE\n")->Parity().Bits(), prSpace);
    EXPECT_TRUE(load("Parity.Check=yes\n")->Parity().Check());
    EXPECT_TRUE(load("Parity.Check=YES\n")->Parity().Check());
    EXPECT_FALSE(load("Parity.Check=1\n")->Parity().Check());
    EXPECT_FALSE(load("Parity.Check=true\n")->Parity().Check());
    EXPECT_EQ(load("EventChar=#65\n")->EventChar(), 'A');
    EXPECT_EQ(load("EventChar=#ab\n")->EventChar(), '\0');
    EXPECT_EQ(load("EventChar=#\n")->EventChar(), '#');
    EXPECT_EQ(load("EventChar=xyz\n")->EventChar(), 'x');
    EXPECT_EQ(load("EventChar=\n")->EventChar(), '\0');
    EXPECT_EQ(load("FlowControl.ControlRTS=handshake\n")->FlowControl().ControlRTS(), rtsHandshake);
    EXPECT_EQ(load("FlowControl.ControlDTR=bogus\n")->FlowControl().ControlDTR(), dtrDisable);
    // The preset applies first; the detailed keys, read last, refine it.
    auto p = load("FlowControl=Hardware\nFlowControl.OutCTSFlow=No\n");
    EXPECT_EQ(p->FlowControl().ControlRTS(), rtsHandshake);
    EXPECT_FALSE(p->FlowControl().OutCTSFlow());

    auto w = DesignedPort();
    w->SetStoredProps(TStoredProps{spOthers});
    w->SetEventChar('A');
    w->StoreSettings(stIniFile, dir.File("chars.cfg"));
    w->SetEventChar(19);
    w->StoreSettings(stIniFile, dir.File("chars2.cfg"));
    EXPECT_EQ(Slurp(dir.File("chars.cfg")), "[ComPort1]\nEventChar=A\nDiscardNull=No\n");
    EXPECT_EQ(Slurp(dir.File("chars2.cfg")), "[ComPort1]\nEventChar=#19\nDiscardNull=No\n");
}

TEST(StoreIni, CorruptFilesLoadWithoutHarm) {
    TempDir dir;
    std::string file = dir.File("bad.cfg");
    std::string garbage;
    for (int i = 0; i < 4096; ++i)
        garbage += static_cast<char>((i * 131 + 7) & 0xFF);
    const std::string bodies[] = {
        garbage,
        "[ComPort1]\nPort=" + std::string(1 << 20, 'Z') + "\nBaudRate=4800\n",
        "[ComPort1]\nBaudRate=4800",
        "[ComPort1]\rBaudRate=4800\rStopBits=2\r",
        std::string("[ComPort1]\nBaudRate=48\0"
                    "00\n[",
                    27),
    };
    const TBaudRate expected[] = {br38400, br4800, br4800, br4800, br9600};
    for (std::size_t i = 0; i < std::size(bodies); ++i) {
        Spit(file, bodies[i]);
        auto p = DesignedPort();
        EXPECT_NO_THROW(p->LoadSettings(stIniFile, file)) << i;
        EXPECT_EQ(p->BaudRate(), expected[i]) << i;
        EXPECT_EQ(p->UpdateCount(), 0);
    }
}

TEST(StoreIni, FailedStoreRaises16AndKeepsTheOldFile) {
    TempDir dir;
    std::string blocker = dir.File("blocker");
    Spit(blocker, "x");
    ExpectComError([&] { DesignedPort()->StoreSettings(stIniFile, blocker + "/port.cfg"); }, ErrStoreSettings,
                   -1, "Failed to store settings");

    // A directory that refuses new files (immutable even for root, else read-only) with an
    // existing settings file in it.
    std::string locked = dir.File("locked");
    ASSERT_EQ(::mkdir(locked.c_str(), 0755), 0);
    std::string file = locked + "/port.cfg";
    Spit(file, "[ComPort1]\nPort=COM2\n");
    int fd = ::open(locked.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    int flags = 0;
    bool immutable = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                     (flags |= FS_IMMUTABLE_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    if (!immutable && ::geteuid() != 0) ::chmod(locked.c_str(), 0555);
    if (!immutable && ::geteuid() == 0) {
        ::close(fd);
        GTEST_SKIP() << "cannot make a directory unwritable for root here";
    }
    EXPECT_THROW(DesignedPort()->StoreSettings(stIniFile, file), EComPort);
    EXPECT_EQ(Slurp(file), "[ComPort1]\nPort=COM2\n");
    if (immutable) {
        flags &= ~FS_IMMUTABLE_FL;
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    ::chmod(locked.c_str(), 0755);
    ::close(fd);
}

TEST(StoreIni, LoadFailureRaises17KeepsEarlierValuesAndBalancesUpdates) {
    SetDeviceMapOverride(std::vector<TDeviceMapEntry>{});
    TVirtualPort vp("COM9");
    vp.Port->SetName("ComPort1");
    vp.OpenQuiet();
    TempDir dir;
    std::string file = dir.File("p.cfg");
    Spit(file, "[ComPort1]\nPort=COM5\nBaudRate=1200\n");
    ExpectComError([&] { vp.Port->LoadSettings(stIniFile, file); }, ErrLoadSettings, -1,
                   "Failed to load settings");
    EXPECT_EQ(vp.Port->Port(), "COM5");
    EXPECT_EQ(vp.Port->BaudRate(), br9600); // never reached
    EXPECT_EQ(vp.Port->UpdateCount(), 0);
    SetDeviceMapOverride(std::nullopt);
}
