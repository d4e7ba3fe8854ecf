// The window against settings it cannot trust and devices that go away in the middle of a job.

#include "AppFixture.h"

#include "tools/devsim/DeviceSim.h"
#include "tools/devsim/PtyDevice.h"
#include "tools/devsim/VirtualDeviceSim.h"

#include <QPushButton>
#include <QTest>

#include <chrono>
#include <iostream>
#include <thread>

namespace {

std::string Image(size_t Size) {
    std::string s(Size, '\0');
    for (size_t i = 0; i < Size; ++i)
        s[i] = static_cast<char>((i * 37 + 5) & 0xFF);
    return s;
}

// The flash device behind COM1, as an in-process virtual device or a simulator on a real pty.
// It stops answering after StallAfter blocks, can be pulled out, and comes back answering fully.
class TDeviceUnderTest {
  public:
    TDeviceUnderTest(bool Pty, const std::string& Link, long StallAfter) : FPty(Pty), FLink(Link) {
        if (FPty) {
            SetDeviceMapOverride(std::vector<TDeviceMapEntry>{{"COM1", Link}});
            SetSystemPortListOverride(std::vector<TSystemPort>{{"COM1:", Link}});
        } else {
            SetSystemPortListOverride(std::vector<TSystemPort>{{"COM1:", "virtual:COM1"}});
            FVirtual = TVirtualDevice::Create("COM1");
        }
        Plug(StallAfter);
    }
    ~TDeviceUnderTest() { Unplug(); }

    void Plug(long StallAfter) {
        devsim::TDeviceOptions o;
        o.StallAfter = StallAfter;
        if (!FPty) {
            FVirtual->Restore();
            FSim = std::make_unique<devsim::TVirtualDeviceSim>(FVirtual, o);
            return;
        }
        devsim::TPtyOptions p;
        p.Device = o;
        p.Link = FLink;
        FPtySim = std::make_unique<devsim::TPtyDevice>(p);
        FPtySim->Open();
        FThread = std::thread([this] { FPtySim->Run([](const devsim::TJobReport&) {}); });
    }
    // The far end goes away: the virtual device is removed, the pty's master side closed.
    void Unplug() {
        if (!FPty) {
            FSim.reset();
            if (FVirtual) FVirtual->Remove();
            return;
        }
        if (!FPtySim) return;
        FPtySim->Stop();
        FThread.join();
        FPtySim.reset();
    }

  private:
    bool FPty;
    std::string FLink;
    std::shared_ptr<TVirtualDevice> FVirtual;
    std::unique_ptr<devsim::TVirtualDeviceSim> FSim;
    std::unique_ptr<devsim::TPtyDevice> FPtySim;
    std::thread FThread;
};

class DeviceRemoval : public AppTest, public testing::WithParamInterface<bool> {};

} // namespace

// A device unplugged after some blocks ends the job at once: the port's message in the status,
// one error display naming the port and the reason, the port closed (no event thread left), and a
// new job after the device is back (port window OK) writes the whole image.
TEST_P(DeviceRemoval, EndsTheJobAtOnceAndTheNextJobWorksAfterTheDeviceIsBack) {
    TDeviceUnderTest device(GetParam(), Dir.File("device"), 20);
    Start();
    ASSERT_TRUE(Form1->ComPort1->Connected()) << (Errors.empty() ? "" : Errors.front());
    Form1->LoadImage(QString::fromStdString(WriteFile("fw.flash", Image(50000))));
    QTest::mouseClick(Form1->Button1, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form1->ProgressBar1->Position() == 20; }, 10000));

    const auto pulled = std::chrono::steady_clock::now();
    device.Unplug();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Errors.empty(); }, 10000)) << "the window never noticed";
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - pulled).count();
    std::cout << "removal noticed after " << ms << " ms (" << (GetParam() ? "pty" : "virtual") << ")\n";
    QTest::qWait(100);
    EXPECT_EQ(Errors.size(), 1u);
    EXPECT_NE(Errors.front().find("COM1"), std::string::npos) << Errors.front();
    EXPECT_NE(Errors.front().find("the device was removed"), std::string::npos) << Errors.front();
    EXPECT_TRUE(Form1->StatusBar1->PanelText(2).startsWith("Status: WaitForEvent method failed"))
        << Form1->StatusBar1->PanelText(2).toStdString();
    EXPECT_FALSE(Form1->Engine().State().JobRunning);
    EXPECT_FALSE(Form1->ComPort1->Connected());
    EXPECT_FALSE(Form1->ComPort1->ThreadCreated());

    device.Plug(-1);
    Form2->show();
    QTest::mouseClick(Form2->Button1, Qt::LeftButton);
    ASSERT_TRUE(Form1->ComPort1->Connected()) << Errors.back();
    QTest::mouseClick(Form1->Button1, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form1->StatusBar1->PanelText(2) == "Status: OK"; }, 20000))
        << Form1->StatusBar1->PanelText(2).toStdString();
    EXPECT_EQ(Errors.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(VirtualAndPty, DeviceRemoval, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& i) { return i.param ? "Pty" : "Virtual"; });

// Settings the window cannot trust are told once and the port stays closed: it must not open COM1
// in place of a port nobody chose.
TEST_F(AppTest, UntrustedSettingsFileLeavesThePortClosed) {
    struct Case {
        const char* Contents; // null: a directory in the file's place
        const char* Expected;
    };
    for (const Case& c : {Case{"[ComPort1]\nPort=COM999\n", "Port=COM999"},
                          Case{"[ComPort1]\nPort=/etc/passwd\n", "Port=/etc/passwd"},
                          Case{nullptr, "cannot read the settings file"}}) {
        SCOPED_TRACE(c.Expected);
        Errors.clear();
        std::filesystem::remove_all(Dir.File("port.cfg"));
        if (c.Contents)
            WriteFile("port.cfg", c.Contents);
        else
            std::filesystem::create_directory(Dir.File("port.cfg"));
        Start({"COM1"});
        ASSERT_EQ(Errors.size(), 1u);
        EXPECT_NE(Errors.front().find(c.Expected), std::string::npos) << Errors.front();
        EXPECT_FALSE(Form1->ComPort1->Connected());
        EXPECT_FALSE(Devices.back()->IsOpen());
        Devices.clear();
    }
}

// The bar's range is the one of the job's image, even when another image is loaded meanwhile.
TEST_F(AppTest, ProgressRangeIsFixedWhenTheJobStarts) {
    Ports({"COM1"});
    devsim::TDeviceOptions o;
    o.StallAfter = 2;
    devsim::TVirtualDeviceSim sim(Devices[0], o);
    Start();
    Form1->LoadImage(QString::fromStdString(WriteFile("a.flash", Image(267 * 10))));
    QTest::mouseClick(Form1->Button1, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form1->ProgressBar1->Position() == 2; }, 5000));
    Form1->LoadImage(QString::fromStdString(WriteFile("b.flash", Image(267 * 40))));
    QCoreApplication::processEvents();
    EXPECT_EQ(Form1->ProgressBar1->Max(), 10);
}

// The settings file is fixed at start-up: a later change of the current directory (the directory
// outline makes one) does not move where OK stores the port's settings.
TEST_F(AppTest, SettingsFileStaysWhereItWasAtStart) {
    Start({"COM1"});
    const std::filesystem::path elsewhere = Dir.Path() / "elsewhere";
    std::filesystem::create_directory(elsewhere);
    std::filesystem::current_path(elsewhere);
    QTest::mouseClick(Form2->Button1, Qt::LeftButton);
    std::filesystem::current_path(Dir.Path());
    EXPECT_TRUE(std::filesystem::exists(Dir.File("port.cfg")));
    EXPECT_FALSE(std::filesystem::exists(elsewhere / "port.cfg"));
}
