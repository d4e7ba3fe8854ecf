// Network ports against the real ser2net, with the simulated flash device on a pseudo-terminal
// behind it.

#include "NetFixtures.h"
#include "cport/ComPort.h"
#include "cport/ComReconnect.h"
#include "platform/ports/DeviceMap.h"
#include "platform/toolkit/MessageTarget.h"

#include <termios.h>

using namespace flashtools;
using namespace nettest;

namespace {

class Ser2net : public FlashEndToEnd {
  protected:
    void SetUp() override {
        FlashEndToEnd::SetUp();
        if (IsSkipped()) return;
        if (!TSer2net::Available()) GTEST_SKIP() << "ser2net is not installed";
    }
    // The device first (ser2net opens it when a client connects), then the server.
    std::unique_ptr<Child> Start(std::vector<std::string> deviceArgs) {
        auto device = StartDevice(std::move(deviceArgs));
        server = std::make_unique<TSer2net>(Link(), dir.Path());
        EXPECT_TRUE(server->Start()) << ReadFile(dir.File("ser2net.log"));
        return device;
    }
    std::unique_ptr<TSer2net> server;
};

} // namespace

TEST_F(Ser2net, FlashesAnImageExactlyThroughBothKindsOfNetworkPort) {
    const std::string img = Image(300000);
    for (bool telnet : {true, false}) {
        SCOPED_TRACE(telnet ? "rfc2217" : "socket");
        auto device =
            Start({"--crc-errors", "0.02", "--verify-errors", "0.02", "--error-at", "0,3", "--jobs", "1"});
        auto flash = StartFlash(
            {"-p", telnet ? server->Rfc2217() : server->Raw(), "-b", "115200", "-t", "5", WriteImage(img)});
        ASSERT_EQ(flash->Wait(60), 0) << FlashLog();
        ASSERT_EQ(device->Wait(5), 0) << ReadFile(dir.File("devsim.log"));
        EXPECT_TRUE(ReadFile(Output()) == img + std::string(1124 * 267 - img.size(), '\0'));
        EXPECT_NE(FlashLog().find("CRC errors"), std::string::npos) << FlashLog();
        EXPECT_EQ(FlashLog().find(" 0 CRC errors"), std::string::npos) << "the injected errors were answered";
        server->Kill();
    }
}

TEST_F(Ser2net, LineSettingsReachTheDeviceBehindTheServer) {
    auto device = Start({});
    // Our own descriptor of the device shows the termios ser2net sets on it.
    const int tty = ::open(Link().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(tty, 0);
    HANDLE h = CreateFileA(server->Rfc2217().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << CommOpenErrorText();
    // A pseudo-terminal keeps CS8 and clears PARENB whatever is set (the kernel's pty driver), so
    // the byte size and whether parity is on show only in ser2net's answers (no mode error);
    // the rate, the stop bits and odd against even show in the termios.
    struct Row {
        DWORD baud;
        BYTE size, parity, stop;
        speed_t speed;
        tcflag_t odd, cstopb;
    };
    const Row rows[] = {{57600, 7, EVENPARITY, TWOSTOPBITS, B57600, 0, CSTOPB},
                        {19200, 8, ODDPARITY, ONESTOPBIT, B19200, PARODD, 0},
                        {115200, 6, EVENPARITY, ONESTOPBIT, B115200, 0, 0}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.baud);
        DCB dcb{};
        GetCommState(h, &dcb);
        dcb.BaudRate = r.baud;
        dcb.ByteSize = r.size;
        dcb.Parity = r.parity;
        dcb.StopBits = r.stop;
        ASSERT_TRUE(SetCommState(h, &dcb));
        termios t{};
        EXPECT_TRUE(WaitUntil([&] {
            ::tcgetattr(tty, &t);
            return cfgetospeed(&t) == r.speed && (t.c_cflag & PARODD) == r.odd &&
                   (t.c_cflag & CSTOPB) == r.cstopb;
        })) << std::hex
            << t.c_cflag;
        DWORD errors = 0;
        ClearCommError(h, &errors, nullptr);
        EXPECT_EQ(errors, 0u) << "ser2net took the setting";
    }
    CloseHandle(h);
    ::close(tty);
}

TEST_F(Ser2net, StoppedServerEndsTheJobAsAPortErrorAndTheTerminalReconnects) {
    auto device = Start({"--block-delay", "20"});
    const auto t0 = Clock::now();
    auto flash = StartFlash({"-p", server->Rfc2217(), "-t", "5", WriteImage(Image(100000))});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    server->Kill();
    EXPECT_EQ(flash->Wait(10), 3) << FlashLog();
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5)) << "must not wait for the reply time-out";
    EXPECT_NE(FlashLog().find("failed: port error"), std::string::npos) << FlashLog();

    // What the terminal does with its port: reopens it once the server accepts again.
    ASSERT_TRUE(server->Start());
    SetDeviceMapOverride(std::vector<TDeviceMapEntry>{{"COM7", server->Rfc2217()}});
    TComPort port(nullptr);
    port.SetPort("COM7");
    port.SetSyncMethod(smNone);
    port.Open();
    TComReconnect r(port, dir.Path());
    std::vector<std::string> texts;
    r.OnState = [&](TReconnectState, const std::string& text) { texts.push_back(text); };
    auto waitFor = [&](TReconnectState state) {
        return WaitUntil(
            [&] {
                ProcessMessages();
                r.Process(std::clamp(r.RetryInMs(), 0, 10));
                return r.State() == state;
            },
            std::chrono::milliseconds(10000));
    };
    server->Kill();
    ASSERT_TRUE(waitFor(rsDisconnected));
    EXPECT_GE(r.RetryInMs(), 0) << "a network port is tried again on its own";
    std::this_thread::sleep_for(std::chrono::milliseconds(600)); // a few tries find nobody
    ASSERT_TRUE(server->Start());
    ASSERT_TRUE(waitFor(rsConnected)) << texts.back();
    EXPECT_EQ(texts, (std::vector<std::string>{"disconnected: device removed", "reconnected"}));
    EXPECT_TRUE(port.Connected());
    SetDeviceMapOverride(std::nullopt);
}
