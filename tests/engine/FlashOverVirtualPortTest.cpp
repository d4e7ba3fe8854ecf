// The engine on a real TComPort (smNone, OnRxChar on the event thread) against the simulated
// device on the far end of a virtual device.

#include "app/engine/FlashEngine.h"
#include "cport/ComPort.h"
#include "support/TempDir.h"
#include "tools/devsim/VirtualDeviceSim.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <mutex>

namespace {
std::string Image(std::size_t n, uint32_t seed) {
    std::string s(n, '\0');
    for (auto& c : s) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return s;
}

std::string Padded(const std::string& img) {
    const std::size_t blocks = img.empty() ? 1 : (img.size() + 266) / 267;
    return img + std::string(blocks * 267 - img.size(), '\0');
}

class FlashOverVirtualPort : public ::testing::Test {
  protected:
    void SetUp() override {
        name = "COM13";
        device = TVirtualDevice::Create(name);
        ASSERT_TRUE(device);
        port.SetPort(name);
        port.SetBaudRate(br38400);
        port.SetEvents(AllComEvents);
        port.SetSyncMethod(smNone);
        port.SetOnRxChar([this](TObject* s, int n) { engine.ComPort1RxChar(s, n); });
        engine.SetPort(&io);
        // The notices arrive on the event thread: queue them as a window would post them.
        engine.SetOnNotify([this](const TFlashNotice& n) {
            std::lock_guard<std::mutex> l(m);
            notices.push_back(n);
            cv.notify_all();
        });
    }
    void TearDown() override {
        port.Close();
        sim.reset();
    }
    void Load(const std::string& bytes) {
        const std::string p = dir.File("image.flash");
        std::ofstream(p, std::ios::binary) << bytes;
        ASSERT_TRUE(engine.LoadImageFile(p).Ok);
    }
    bool WaitFor(TFlashNoticeKind kind, int ms = 5000) {
        std::unique_lock<std::mutex> l(m);
        return cv.wait_for(l, std::chrono::milliseconds(ms), [&] {
            for (const auto& n : notices)
                if (n.Kind == kind) return true;
            return false;
        });
    }

    TempDir dir;
    std::string name;
    std::shared_ptr<TVirtualDevice> device;
    std::unique_ptr<devsim::TVirtualDeviceSim> sim;
    TComPort port{nullptr};
    TFlashEngine engine;
    TFlashPortOf<TComPort> io{port};
    std::mutex m;
    std::condition_variable cv;
    std::vector<TFlashNotice> notices;
};
} // namespace

TEST_F(FlashOverVirtualPort, WritesTheImageThroughTheEventThreadDespiteErrors) {
    devsim::TDeviceOptions o;
    o.CrcErrors = 0.1;
    o.VerifyErrors = 0.1;
    o.ErrorAt = {0, 5};
    sim = std::make_unique<devsim::TVirtualDeviceSim>(device, o);
    const std::string img = Image(20000, 9);
    Load(img);
    port.Open();
    engine.Button1Click();
    ASSERT_TRUE(WaitFor(fnJobDone));
    ASSERT_TRUE(sim->WaitJobs(1, 5000));
    const auto reports = sim->Reports();
    EXPECT_TRUE(reports[0].EndCommand);
    EXPECT_EQ(reports[0].Flash, Padded(img));
    const TFlashState s = engine.State();
    EXPECT_FALSE(s.JobRunning);
    EXPECT_EQ(static_cast<uint32_t>(s.CrcErrorCount + s.VerifyErrorCount), reports[0].Resends);
    EXPECT_GE(s.CrcErrorCount, 2);
    std::lock_guard<std::mutex> l(m);
    EXPECT_EQ(notices.back().Kind, fnJobDone);
    EXPECT_EQ(notices[notices.size() - 2].Text, "Status: OK");
}

TEST_F(FlashOverVirtualPort, SecondJobAfterTheFirstWritesTheNewImage) {
    sim = std::make_unique<devsim::TVirtualDeviceSim>(device);
    port.Open();
    Load(Image(1000, 1));
    engine.Button1Click();
    ASSERT_TRUE(WaitFor(fnJobDone));
    ASSERT_TRUE(sim->WaitJobs(1, 5000));
    {
        std::lock_guard<std::mutex> l(m);
        notices.clear();
    }
    Load(Image(300, 2));
    engine.Button1Click();
    ASSERT_TRUE(WaitFor(fnJobDone));
    ASSERT_TRUE(sim->WaitJobs(2, 5000));
    EXPECT_EQ(sim->Reports()[1].Flash, Padded(Image(300, 2))) << "no byte of the longer image in the tail";
}

TEST_F(FlashOverVirtualPort, StartOnAClosedPortRaisesAndSendsNothing) {
    sim = std::make_unique<devsim::TVirtualDeviceSim>(device);
    Load(Image(600, 4));
    EXPECT_THROW(engine.Button1Click(), EComPort);
    EXPECT_FALSE(engine.State().JobRunning);
    EXPECT_EQ(engine.State().Job, 0u) << "nothing was reset or started";
    EXPECT_EQ(device->ReadSent(), "");
}
