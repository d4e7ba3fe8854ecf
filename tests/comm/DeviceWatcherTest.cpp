// The device watcher over a temporary folder: serial device names coming and going are reported
// once each, other names never, and a Wake ends a wait without changes.

#include "platform/ports/DeviceWatcher.h"
#include "platform/toolkit/Exception.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

TEST(DeviceWatcher, ReportsSerialDevicesComingAndGoing) {
    TempDir dir;
    std::ofstream(dir.File("ttyS0"));
    TDeviceWatcher w(dir.Path());
    EXPECT_EQ(w.Present(), std::vector<std::string>{dir.File("ttyS0")});

    std::ofstream(dir.File("ttyUSB0"));
    std::ofstream(dir.File("ttyUSBx")); // not a serial device name
    std::ofstream(dir.File("null"));
    std::filesystem::create_symlink("/nowhere", dir.File("ttyACM12"));
    std::vector<TDeviceEvent> e = w.Wait(2000);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].Change, dcAdded);
    EXPECT_EQ(e[0].Path, dir.File("ttyACM12"));
    EXPECT_EQ(e[1].Path, dir.File("ttyUSB0"));
    EXPECT_TRUE(w.Wait(0).empty()) << "each change once";

    std::filesystem::rename(dir.File("ttyUSB0"), dir.File("ttyUSB1"));
    std::filesystem::remove(dir.File("ttyS0"));
    e = w.Wait(2000);
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].Change, dcRemoved);
    EXPECT_EQ(e[0].Path, dir.File("ttyS0"));
    EXPECT_EQ(e[1].Change, dcRemoved);
    EXPECT_EQ(e[1].Path, dir.File("ttyUSB0"));
    EXPECT_EQ(e[2].Change, dcAdded);
    EXPECT_EQ(e[2].Path, dir.File("ttyUSB1"));

    std::thread waker([&] { w.Wake(); });
    EXPECT_TRUE(w.Wait(-1).empty());
    waker.join();
}

TEST(DeviceWatcher, ByIdNameFindsTheLinkToTheDevice) {
    TempDir dir;
    std::ofstream(dir.File("ttyUSB3"));
    std::filesystem::create_directories(dir.File("serial/by-id"));
    std::filesystem::create_symlink(dir.File("ttyUSB3"), dir.File("serial/by-id/usb-Acme_Board_42-if00"));
    EXPECT_EQ(ByIdName(dir.File("ttyUSB3"), dir.Path()), dir.File("serial/by-id/usb-Acme_Board_42-if00"));
    EXPECT_EQ(ByIdName(dir.File("ttyUSB4"), dir.Path()), "");
    EXPECT_THROW(TDeviceWatcher(dir.File("missing")), Exception);
}
