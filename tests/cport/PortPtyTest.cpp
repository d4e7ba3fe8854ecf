// The port over the real tty backend: a pseudo-terminal named through the device map.
// <termios.h> is left out on purpose: the line settings are read back with TCGETS2 from the
// kernel's own header, which reports any bit rate.

#include "PortTestSupport.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace {

class TPty {
  public:
    TPty() {
        FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0) return;
        const char* name = ptsname(FMaster);
        if (name != nullptr) FSlave = name;
    }
    ~TPty() {
        if (FMaster >= 0) close(FMaster);
    }
    TPty(const TPty&) = delete;
    TPty& operator=(const TPty&) = delete;

    bool Ok() const { return !FSlave.empty(); }
    const std::string& SlavePath() const { return FSlave; }
    // The line settings of the slave (termios requests on the master reach the slave).
    termios2 Settings() const {
        termios2 t{};
        EXPECT_EQ(ioctl(FMaster, TCGETS2, &t), 0);
        return t;
    }

  private:
    int FMaster = -1;
    std::string FSlave;
};

// A port without an event thread named COM13, which the device map points at a pseudo-terminal.
class PortPty : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Ok()) << "no pseudo-terminal";
        port.SetPort("COM13");
        port.SetEvents({});
    }
    TPty pty;
    TDeviceEnv env{"COM13=" + pty.SlavePath()};
    TComPort port{nullptr};
};

TEST_F(PortPty, OpensThroughTheDeviceMapAndSetsTheLine) {
    port.SetBaudRate(br38400);
    port.Open();
    ASSERT_TRUE(port.Connected());
    termios2 t = pty.Settings();
    EXPECT_EQ(t.c_ospeed, 38400u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);

    port.BeginUpdate();
    port.SetCustomBaudRate(31250);
    port.SetBaudRate(brCustom);
    port.SetDataBits(dbSeven);
    port.SetStopBits(sbTwoStopBits);
    port.Parity().SetBits(prOdd);
    port.EndUpdate();
    // One batch, one change of the line. A pseudo-terminal always keeps 8 bits without parity
    // generation (the kernel forces CS8 and clears PARENB), so the byte size is not visible here.
    t = pty.Settings();
    EXPECT_EQ(t.c_ospeed, 31250u);
    EXPECT_NE(t.c_cflag & PARODD, 0u);
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);

    port.Close();
    EXPECT_FALSE(port.Connected());
    // Free again for the next opener.
    port.Open();
    EXPECT_TRUE(port.Connected());
}

TEST_F(PortPty, ZeroRateNeverReachesTheTty) {
    port.SetBaudRate(br19200);
    port.Open();
    port.SetCustomBaudRate(0);
    ExpectComError([&] { port.SetBaudRate(brCustom); }, ErrSetCommState, 87);
    EXPECT_EQ(pty.Settings().c_ospeed, 19200u);
    EXPECT_TRUE(port.Connected());
}

TEST(PortDeviceMap, MappedPathThatDoesNotExistIsCodeOneWithFileNotFound) {
    TDeviceEnv env("COM13=/nonexistent-tolvane-device/tty0");
    TComPort port(nullptr);
    port.SetPort("COM13");
    ExpectComError([&] { port.Open(); }, ErrOpenPort, static_cast<int>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(port.Connected());
}

} // namespace
