#include "AppFixture.h"

#include "tools/devsim/DeviceSim.h"

#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <algorithm>
#include <thread>
#include <mutex>

namespace {

// The simulated device on the far end of a virtual port: what the port sends goes into the
// device's logic, and its answers come back as received bytes. Runs on the device's own thread.
class TSimulatedDevice {
  public:
    TSimulatedDevice(std::shared_ptr<TVirtualDevice> Device, devsim::TDeviceOptions Options)
        : FDevice(std::move(Device)), FSim(Options) {
        FDevice->OnSent([this](const std::string& Bytes) {
            std::string answer;
            {
                std::lock_guard<std::mutex> lock(FLock);
                answer = FSim.Receive(Bytes).Bytes;
                FAnswers += answer;
            }
            if (!answer.empty()) FDevice->Deliver(answer);
        });
    }
    ~TSimulatedDevice() { FDevice->OnSent({}); }
    // The line has gone quiet: the end command completes the job.
    std::vector<devsim::TJobReport> Finish() {
        std::lock_guard<std::mutex> lock(FLock);
        FSim.Silence();
        return FSim.TakeReports();
    }
    long Count(char C) {
        std::lock_guard<std::mutex> lock(FLock);
        return std::count(FAnswers.begin(), FAnswers.end(), C);
    }

  private:
    std::shared_ptr<TVirtualDevice> FDevice;
    std::mutex FLock;
    devsim::TDeviceSim FSim;
    std::string FAnswers;
};

std::string Image(size_t Size) {
    std::string s(Size, '\0');
    for (size_t i = 0; i < Size; ++i)
        s[i] = static_cast<char>((i * 131 + 7) & 0xFF);
    return s;
}

} // namespace

TEST_F(AppTest, WholeJobThroughTheButtonsAgainstTheSimulatedDevice) {
    Ports({"COM1"});
    devsim::TDeviceOptions options;
    options.ErrorAt = {1, 4};
    options.VerifyErrors = 0.2;
    options.Seed = 11;
    auto sim = std::make_unique<TSimulatedDevice>(Devices[0], options);
    Start();
    ASSERT_TRUE(Form1->ComPort1->Connected());

    const std::string image = Image(2000); // 8 blocks, the last one partly past the image
    std::string file = WriteFile("fw.flash", image);
    Form1->SetDialogRunner([&](QFileDialog& d) {
        d.selectFile(QString::fromStdString(file));
        return true;
    });
    QTest::mouseClick(Form1->Button2, Qt::LeftButton);
    ASSERT_EQ(Form1->Label4->text(), QString::fromUtf8("2000 bajtów"));

    QTest::mouseClick(Form1->Button1, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form1->StatusBar1->PanelText(2) == "Status: OK"; }, 5000))
        << Form1->StatusBar1->PanelText(2).toStdString();
    QCoreApplication::processEvents();

    EXPECT_EQ(Form1->ProgressBar1->Max(), 2000 / 267);
    EXPECT_EQ(Form1->ProgressBar1->Position(), 8); // one past the maximum: the bar stands full
    EXPECT_EQ(Form1->ProgressBar1->value(), Form1->ProgressBar1->maximum());
    long crc = sim->Count('@'), verify = sim->Count('$');
    EXPECT_GE(crc, 2);
    EXPECT_EQ(Form1->StatusBar1->PanelText(0).toStdString(), "CRC Error: " + std::to_string(crc));
    EXPECT_EQ(Form1->StatusBar1->PanelText(1).toStdString(), "Verify Error: " + std::to_string(verify));
    EXPECT_TRUE(Errors.empty()) << Errors.front();
    Form1->show();
    Form1->grab().save(qEnvironmentVariable("TOLVANE_BUILD_DIR", "/tmp") + "/main-window-after-job.png");

    auto reports = sim->Finish();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports[0].EndCommand);
    EXPECT_EQ(reports[0].Blocks, 8u);
    std::string padded = image + std::string(8 * 267 - image.size(), '\0');
    EXPECT_TRUE(reports[0].Flash == padded) << "the device's flash differs from the image";

    // A second job on the same window.
    QTest::mouseClick(Form1->Button1, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            TFlashState s = Form1->Engine().State();
            return s.Job == 2 && !s.JobRunning;
        },
        5000));
    QCoreApplication::processEvents();
    EXPECT_EQ(Form1->StatusBar1->PanelText(2), "Status: OK");
    reports = sim->Finish();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports[0].Flash == padded);
}

TEST_F(AppTest, DeviceGoneDuringAStalledJobMakesTheRestartShowThePortError) {
    Ports({"COM1"});
    devsim::TDeviceOptions options;
    options.StallAfter = 2;
    auto sim = std::make_unique<TSimulatedDevice>(Devices[0], options);
    Start();
    Form1->LoadImage(QString::fromStdString(WriteFile("fw.flash", Image(3000))));
    QTest::mouseClick(Form1->Button1, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form1->ProgressBar1->Position() == 2; }, 5000));
    // The stalled device is pulled out; the operator starts over and the port's error is shown.
    Devices[0]->Remove();
    QTest::mouseClick(Form1->Button1, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Errors.empty(); }, 5000));
    EXPECT_FALSE(Errors.front().empty());
}

TEST_F(AppTest, PortErrorInTheReplyHandlerEndsTheJobAndIsShownOnTheGuiThread) {
    Ports({"COM1"});
    devsim::TDeviceOptions options;
    options.StallAfter = 1;
    auto sim = std::make_unique<TSimulatedDevice>(Devices[0], options);
    Start();
    Form1->LoadImage(QString::fromStdString(WriteFile("fw.flash", Image(3000))));
    QTest::mouseClick(Form1->Button1, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form1->ProgressBar1->Position() == 1; }, 5000));
    // The port goes away under the stalled job; the next reply the handler sees cannot be read.
    // It runs on a thread of its own, as the port's event thread would run it.
    Form1->ComPort1->Close();
    std::thread replier([&] { Form1->ComPort1RxChar(Form1->ComPort1, 1); });
    replier.join();
    EXPECT_TRUE(Errors.empty()); // nothing is shown from the other thread itself
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Errors.empty(); }, 5000));
    EXPECT_EQ(Errors.size(), 1u);
    EXPECT_FALSE(Form1->Engine().State().JobRunning);
    QCoreApplication::processEvents();
    EXPECT_TRUE(Form1->StatusBar1->PanelText(2).startsWith("Status: "));
    EXPECT_NE(Form1->StatusBar1->PanelText(2), "Status: Wait...");
}
