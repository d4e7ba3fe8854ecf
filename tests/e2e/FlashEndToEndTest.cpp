// tolvane-flash against tolvane-devsim over a real pseudo-terminal.

#include "FlashTools.h"

using namespace flashtools;

TEST_F(FlashEndToEnd, DeviceReceivesTheImagePaddedWithZerosDespiteErrors) {
    for (std::size_t size : {0u, 1u, 266u, 267u, 268u, 300000u, 400000u}) {
        SCOPED_TRACE(size);
        const std::string img = Image(size);
        auto device = StartDevice({"--crc-errors", "0.05", "--verify-errors", "0.05", "--error-at", "0",
                                   "--seed", std::to_string(size), "--jobs", "1"});
        auto flash = StartFlash({"-p", Link(), "-t", "5", WriteImage(img)});
        ASSERT_EQ(flash->Wait(30), 0) << FlashLog();
        ASSERT_EQ(device->Wait(5), 0) << ReadFile(dir.File("devsim.log"));
        const std::string kept = img.substr(0, 300000);
        const std::size_t blocks = kept.empty() ? 1 : (kept.size() + 266) / 267;
        EXPECT_EQ(ReadFile(Output()), kept + std::string(blocks * 267 - kept.size(), '\0'));
        const std::string log = FlashLog();
        EXPECT_NE(log.find("written: " + std::to_string(kept.size()) + " bytes"), std::string::npos) << log;
        EXPECT_NE(log.find("CRC Error: 1"), std::string::npos) << "block 0 is rejected once";
        if (size > 300000) {
            EXPECT_NE(log.find("only its first 300000 bytes"), std::string::npos) << log;
        }
        EXPECT_NE(ReadFile(dir.File("devsim.log")).find("end command received"), std::string::npos);
    }
}

TEST_F(FlashEndToEnd, StalledDeviceEndsWithNoReply) {
    auto device = StartDevice({"--stall-after", "3"});
    const auto t0 = Clock::now();
    auto flash = StartFlash({"-p", Link(), "-t", "0.5", WriteImage(Image(5000))});
    EXPECT_EQ(flash->Wait(10), 4) << FlashLog();
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
    EXPECT_NE(FlashLog().find("no reply from the device within 0.5 s after block 3"), std::string::npos)
        << FlashLog();
}

TEST_F(FlashEndToEnd, RepeatedResendsGiveUp) {
    auto device = StartDevice({"--verify-errors", "1"});
    auto flash = StartFlash({"-p", Link(), "--max-resends", "7", "--json", WriteImage(Image(1000))});
    EXPECT_EQ(flash->Wait(10), 5) << FlashLog();
    const std::string log = FlashLog();
    EXPECT_NE(log.find("resent 7 times in a row"), std::string::npos) << log;
    EXPECT_NE(log.find("{\"event\":\"end\",\"exit\":5"), std::string::npos) << log;
}

TEST_F(FlashEndToEnd, VanishingDeviceIsAPortErrorWithinTheTimeout) {
    auto device = StartDevice({"--block-delay", "20"});
    const auto t0 = Clock::now();
    auto flash = StartFlash({"-p", Link(), "-t", "5", WriteImage(Image(100000))});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    device->Signal(SIGKILL);
    EXPECT_EQ(flash->Wait(10), 3) << FlashLog();
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5)) << "must not wait for the reply time-out";
    EXPECT_NE(FlashLog().find("failed: port error"), std::string::npos) << FlashLog();
}

TEST_F(FlashEndToEnd, MissingPortAndBadInputExitWithTheirCodes) {
    const std::string img = WriteImage(Image(10));
    auto flash = StartFlash({"-p", dir.File("no-such-port"), img});
    EXPECT_EQ(flash->Wait(10), 3);
    EXPECT_NE(FlashLog().find("Unable to open com port (win error code: 2)"), std::string::npos)
        << FlashLog();

    flash = StartFlash({"-p", dir.File("no-such-port"), dir.File("no-such-image.flash")});
    EXPECT_EQ(flash->Wait(10), 2);
    EXPECT_NE(FlashLog().find("no-such-image.flash"), std::string::npos) << FlashLog();

    flash = StartFlash({"--timeout", "soon", img});
    EXPECT_EQ(flash->Wait(10), 1);
    flash = StartFlash({});
    EXPECT_EQ(flash->Wait(10), 1);
}

TEST_F(FlashEndToEnd, InterruptClosesThePortAndExits130) {
    auto device = StartDevice({"--block-delay", "20"});
    auto flash = StartFlash({"-p", Link(), WriteImage(Image(100000))});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    flash->Signal(SIGINT);
    EXPECT_EQ(flash->Wait(5), 130) << FlashLog();
    EXPECT_NE(FlashLog().find("interrupted"), std::string::npos);
    // The port is free again: a second run gets through to the (still running) device.
    auto again = StartFlash({"-p", Link(), "-t", "5", WriteImage(Image(300))});
    EXPECT_EQ(again->Wait(10), 0) << FlashLog();
}

// The settings file's section ComPort1 names the port and the rate; the device map resolves it.
TEST_F(FlashEndToEnd, PortAndRateComeFromTheSettingsFileThroughTheDeviceMap) {
    auto device = StartDevice({"--jobs", "1"});
    const std::string cfg = dir.File("port.cfg");
    std::ofstream(cfg) << "[ComPort1]\nPort=COM7\nBaudRate=115200\n";
    ::setenv("CPORT_DEVICES", ("COM7=" + Link()).c_str(), 1);
    auto flash = StartFlash({"-c", cfg, "-t", "5", WriteImage(Image(600))});
    const int rc = flash->Wait(10);
    auto list = StartFlash({"--list-ports"});
    const int listRc = list->Wait(10);
    const std::string listing = FlashLog();
    ::unsetenv("CPORT_DEVICES");
    EXPECT_EQ(listRc, 0);
    EXPECT_NE(listing.find("COM7   " + Link()), std::string::npos) << listing;
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(ReadFile(Output()), Image(600) + std::string(3 * 267 - 600, '\0'));
}

TEST_F(FlashEndToEnd, CommandLineOverridesTheSettingsFile) {
    auto device = StartDevice({"--jobs", "1"});
    const std::string cfg = dir.File("port.cfg");
    std::ofstream(cfg) << "[ComPort1]\nPort=COM7\nBaudRate=115200\n";
    auto flash = StartFlash({"-c", cfg, "-p", Link(), "-b", "250000", WriteImage(Image(10))});
    ASSERT_EQ(flash->Wait(10), 0) << FlashLog();
    EXPECT_NE(FlashLog().find("at 250000 bit/s"), std::string::npos) << FlashLog();
}
