#include "app/engine/FlashEngine.h"
#include "support/TempDir.h"
#include "tools/devsim/DeviceSim.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {
const std::string StartCmd("\xFF\x01\x78", 3);
const std::string EndCmd("\xFF\xFF\xFF\xFF", 4);

// A port double: what the engine writes is collected, what the device "sent" waits in Input.
class FakePort : public TFlashPortIO {
  public:
    void ClearBuffer(bool, bool) override {
        std::lock_guard<std::mutex> l(M);
        if (FailClear) throw Exception(FailClear);
        Input.clear();
        ++Clears;
    }
    int Write(const void* b, int n) override {
        std::lock_guard<std::mutex> l(M);
        if (FailWrite) throw Exception(FailWrite);
        Sent.append(static_cast<const char*>(b), static_cast<std::size_t>(n));
        return n;
    }
    int Read(void* b, int n) override {
        std::lock_guard<std::mutex> l(M);
        const int k = std::min<int>(n, static_cast<int>(Input.size()));
        Input.copy(static_cast<char*>(b), static_cast<std::size_t>(k));
        Input.erase(0, static_cast<std::size_t>(k));
        return k;
    }
    std::string Take() {
        std::lock_guard<std::mutex> l(M);
        std::string s;
        s.swap(Sent);
        return s;
    }
    std::mutex M;
    std::string Input, Sent;
    const char* FailClear = nullptr;
    const char* FailWrite = nullptr;
    int Clears = 0;
};

class FlashEngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        engine.SetPort(&port);
        engine.SetOnNotify([this](const TFlashNotice& n) { notices.push_back(n); });
    }
    // The device sends bytes; the event thread raises OnRxChar with the count waiting.
    std::string Reply(const std::string& bytes) {
        port.Input += bytes;
        engine.ComPort1RxChar(nullptr, static_cast<int>(port.Input.size()));
        return port.Take();
    }
    std::string Panel(int i) const {
        for (auto it = notices.rbegin(); it != notices.rend(); ++it)
            if (it->Kind == fnPanel && it->Panel == i) return it->Text;
        return "";
    }
    std::string WriteImage(const std::string& name, const std::string& bytes) {
        const std::string path = dir.File(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    void Load(const std::string& bytes) {
        ASSERT_TRUE(engine.LoadImageFile(WriteImage("img.flash", bytes)).Ok);
    }
    // Loads the image and starts a job; the start command is taken off the line.
    void Start(const std::string& bytes) {
        Load(bytes);
        engine.Button1Click();
        port.Take();
    }
    static std::string Pattern(std::size_t n, int seed = 0) {
        std::string s(n, '\0');
        for (std::size_t i = 0; i < n; ++i)
            s[i] = static_cast<char>((i * 7 + static_cast<std::size_t>(seed) * 13 + 1) % 251 + 1);
        return s;
    }

    TempDir dir;
    FakePort port;
    TFlashEngine engine;
    std::vector<TFlashNotice> notices;
};
} // namespace

TEST_F(FlashEngineTest, WorkedExchangeOfThreeBlocks) {
    const std::string img = Pattern(600);
    Load(img);
    engine.Button1Click();
    EXPECT_EQ(port.Take(), StartCmd);
    EXPECT_EQ(Panel(0), "CRC Error: 0");
    EXPECT_EQ(Panel(1), "Verify Error: 0");
    EXPECT_EQ(Panel(2), "Status: Wait...");
    EXPECT_EQ(engine.State().ProgressMax(), 2u);

    EXPECT_EQ(Reply(">"), "<");
    EXPECT_EQ(Panel(2), "Status: Flashing...");
    EXPECT_EQ(Reply("!"), img.substr(0, 267));
    EXPECT_EQ(Reply("!"), img.substr(267, 267));
    EXPECT_EQ(engine.State().ProgressPosition(), 2u);
    EXPECT_EQ(Reply("@"), img.substr(267, 267));
    EXPECT_EQ(Panel(0), "CRC Error: 1");
    const std::string last = img.substr(534) + std::string(201, '\0');
    EXPECT_EQ(Reply("!"), last);
    EXPECT_TRUE(engine.State().LastBlockSent);
    EXPECT_EQ(engine.State().ProgressPosition(), 3u);
    EXPECT_EQ(Reply("$"), last);
    EXPECT_EQ(Panel(1), "Verify Error: 1");
    EXPECT_EQ(Panel(0), "CRC Error: 1");
    EXPECT_EQ(Reply("!"), EndCmd);
    EXPECT_EQ(Panel(2), "Status: OK");
    EXPECT_FALSE(engine.State().JobRunning);
    EXPECT_EQ(notices.back().Kind, fnJobDone);
}

TEST_F(FlashEngineTest, BlockCountsAtTheEdges) {
    struct Case {
        std::size_t size;
        int blocks;
        uint32_t max;
    };
    for (Case c : {Case{0, 1, 0}, Case{1, 1, 0}, Case{267, 1, 1}, Case{268, 2, 1}, Case{534, 2, 2}}) {
        SCOPED_TRACE(c.size);
        Start(Pattern(c.size));
        EXPECT_EQ(engine.State().ProgressMax(), c.max);
        std::string got;
        for (int b = 0; b < c.blocks; ++b) {
            const std::string blk = Reply("!");
            ASSERT_EQ(blk.size(), 267u);
            got += blk;
        }
        EXPECT_EQ(got, Pattern(c.size) + std::string(c.blocks * 267 - c.size, '\0'));
        EXPECT_EQ(engine.State().ProgressPosition(), static_cast<uint32_t>(c.blocks));
        EXPECT_EQ(Reply("!"), EndCmd);
        EXPECT_EQ(Panel(2), "Status: OK");
    }
}

TEST_F(FlashEngineTest, ResendAfterLastBlockThenEnd) {
    Start(Pattern(267));
    EXPECT_EQ(Reply("!"), Pattern(267));
    EXPECT_EQ(Reply("@"), Pattern(267));
    EXPECT_EQ(Reply("!"), EndCmd);
}

TEST_F(FlashEngineTest, MidJobReadyIsAcknowledgedWithoutMoving) {
    Start(Pattern(1000));
    Reply("!");
    notices.clear();
    EXPECT_EQ(Reply(">"), "<");
    EXPECT_EQ(Panel(2), "Status: Flashing...");
    EXPECT_EQ(engine.State().SendPosition, 267u);
    EXPECT_EQ(Reply("!"), Pattern(1000).substr(267, 267));
}

TEST_F(FlashEngineTest, SeveralWaitingBytesCountAsTheFirstOnly) {
    Start(Pattern(1000));
    EXPECT_EQ(Reply("!!"), Pattern(1000).substr(0, 267));
    EXPECT_TRUE(port.Input.empty()) << "all waiting bytes are taken out";
    EXPECT_EQ(Reply("x!"), "") << "an unknown first byte hides the reply behind it";
    EXPECT_EQ(engine.State().SendPosition, 267u);
}

TEST_F(FlashEngineTest, RepliesWhileIdleStayUnreadUntilTheNextStart) {
    Load(Pattern(10));
    EXPECT_EQ(Reply("!"), "") << "no job yet";
    EXPECT_EQ(port.Input, "!");
    engine.Button1Click();
    EXPECT_TRUE(port.Input.empty()) << "the start discards what waited";
    Reply("!");
    Reply("!");
    EXPECT_EQ(Panel(2), "Status: OK");
    EXPECT_EQ(Reply("@"), "");
    EXPECT_EQ(port.Input, "@");
    EXPECT_EQ(engine.State().CrcErrorCount, 0);
    engine.Button1Click();
    EXPECT_EQ(port.Take(), StartCmd);
    EXPECT_TRUE(port.Input.empty());
}

TEST_F(FlashEngineTest, ErrorRepliesBeforeTheFirstBlockAreCountedButSendNothing) {
    Start(Pattern(600));
    EXPECT_EQ(Reply("@"), "");
    EXPECT_EQ(Reply("$"), "");
    EXPECT_EQ(Panel(0), "CRC Error: 1");
    EXPECT_EQ(Panel(1), "Verify Error: 1");
    EXPECT_EQ(Reply("!"), Pattern(600).substr(0, 267)) << "the job goes on normally";
}

TEST_F(FlashEngineTest, StartOverMidJobBeginsAgainWithZeroCounts) {
    Start(Pattern(1000));
    Reply("!");
    Reply("@");
    Reply("!");
    engine.Button1Click();
    EXPECT_EQ(port.Take(), StartCmd);
    const TFlashState s = engine.State();
    EXPECT_EQ(s.SendPosition, 0u);
    EXPECT_EQ(s.CrcErrorCount, 0);
    EXPECT_FALSE(s.LastBlockSent);
    EXPECT_EQ(Panel(0), "CRC Error: 0");
    EXPECT_EQ(Reply("!"), Pattern(1000).substr(0, 267));
}

TEST_F(FlashEngineTest, LoadUnderARunningJobGoesOnFromItsPosition) {
    Start(Pattern(1000, 1));
    Reply("!");
    Load(Pattern(600, 2));
    EXPECT_TRUE(engine.State().JobRunning);
    EXPECT_EQ(Reply("!"), Pattern(600, 2).substr(267, 267));
    EXPECT_EQ(Reply("!"), Pattern(600, 2).substr(534) + std::string(201, '\0'));
    EXPECT_EQ(Reply("!"), EndCmd);
}

TEST_F(FlashEngineTest, ShorterImageNeverCarriesBytesOfTheEarlierOne) {
    Load(Pattern(1000, 1));
    Start(Pattern(100, 2));
    EXPECT_EQ(Reply("!"), Pattern(100, 2) + std::string(167, '\0'));
}

TEST_F(FlashEngineTest, OversizedFileLoadsItsLimitWithAWarningAndZeroTail) {
    const std::string big = Pattern(400000);
    const TLoadResult r = engine.LoadImageFile(WriteImage("big.flash", big));
    ASSERT_TRUE(r.Ok);
    EXPECT_EQ(r.Size, 300000u);
    EXPECT_NE(r.Warning.find("300000"), std::string::npos);
    EXPECT_NE(r.Warning.find("big.flash"), std::string::npos);
    EXPECT_EQ(ImageSizeText(r.Size), "300000 bajt\xC3\xB3w");
    engine.Button1Click();
    port.Take();
    std::string all;
    for (int b = 0; b < 1124; ++b)
        all += Reply("!");
    EXPECT_EQ(all.size(), 1124u * 267);
    EXPECT_EQ(all.substr(0, 300000), big.substr(0, 300000));
    EXPECT_EQ(all.substr(300000), std::string(108, '\0'));
    EXPECT_EQ(Reply("!"), EndCmd);

    const TLoadResult exact = engine.LoadImageFile(WriteImage("exact.flash", big.substr(0, 300000)));
    EXPECT_TRUE(exact.Ok);
    EXPECT_TRUE(exact.Warning.empty());
}

TEST_F(FlashEngineTest, UnreadableFilesAreReportedAndChangeNothing) {
    Load(Pattern(500));
    const std::string missing = dir.File("nope.flash");
    TLoadResult r = engine.LoadImageFile(missing);
    EXPECT_FALSE(r.Ok);
    EXPECT_NE(r.Error.find(missing), std::string::npos);
    EXPECT_NE(r.Error.find("No such file"), std::string::npos);

    r = engine.LoadImageFile(dir.Path().string());
    EXPECT_FALSE(r.Ok);
    EXPECT_NE(r.Error.find("directory"), std::string::npos);

    const std::string fifo = dir.File("pipe.flash");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    r = engine.LoadImageFile(fifo); // must return, not wait for a writer
    EXPECT_FALSE(r.Ok);
    EXPECT_NE(r.Error.find("not a regular file"), std::string::npos);

    EXPECT_EQ(engine.State().ImageSize, 500u);
    EXPECT_EQ(engine.FileName(), dir.File("img.flash"));
    engine.Button1Click();
    port.Take();
    EXPECT_EQ(Reply("!"), Pattern(500).substr(0, 267));
}

TEST_F(FlashEngineTest, PortErrorInTheHandlerEndsTheJobAndIsReported) {
    Start(Pattern(1000));
    Reply("!");
    port.FailWrite = "Write error";
    Reply("!");
    const TFlashState s = engine.State();
    EXPECT_FALSE(s.JobRunning);
    EXPECT_EQ(Panel(2), "Status: Write error");
    ASSERT_EQ(notices.back().Kind, fnPortError);
    EXPECT_EQ(notices.back().Text, "Write error");
    port.FailWrite = nullptr;
    EXPECT_EQ(Reply("!"), "") << "nothing is left running";
}

TEST_F(FlashEngineTest, FailingStartChangesNothingOrLeavesNoJobRunning) {
    Start(Pattern(1000));
    Reply("!");
    Reply("@");
    port.FailClear = "Clear buffer error";
    EXPECT_THROW(engine.Button1Click(), Exception);
    EXPECT_EQ(engine.State().SendPosition, 267u) << "nothing is reset when the port refuses";
    EXPECT_EQ(engine.State().CrcErrorCount, 1);
    EXPECT_EQ(port.Take(), "");
    port.FailClear = nullptr;
    port.FailWrite = "Write error";
    EXPECT_THROW(engine.Button1Click(), Exception);
    EXPECT_FALSE(engine.State().JobRunning);
    EXPECT_EQ(Panel(2), "Status: Write error");
}

TEST_F(FlashEngineTest, ResendsInARowCountPerBlock) {
    Start(Pattern(1000));
    Reply("!");
    Reply("@");
    Reply("$");
    EXPECT_EQ(engine.State().ResendsInRow, 2u);
    Reply("!");
    EXPECT_EQ(engine.State().ResendsInRow, 0u);
}

// The engine against the simulated device, byte for byte, with injected errors: what the device
// keeps is the image padded with zeros to whole blocks.
TEST_F(FlashEngineTest, RoundTripThroughTheSimulatedDevice) {
    for (std::size_t size : {0u, 1u, 266u, 267u, 268u, 5000u}) {
        SCOPED_TRACE(size);
        devsim::TDeviceOptions o;
        o.CrcErrors = 0.15;
        o.VerifyErrors = 0.15;
        o.ErrorAt = {0};
        o.Seed = size + 3;
        devsim::TDeviceSim sim(o);
        const std::string img = Pattern(size);
        Load(img);
        engine.Button1Click();
        for (int guard = 0; guard < 10000; ++guard) {
            const auto r = sim.Receive(port.Take());
            if (sim.AwaitingSilence()) sim.Silence();
            if (r.Bytes.empty()) break;
            port.Input += r.Bytes;
            engine.ComPort1RxChar(nullptr, static_cast<int>(port.Input.size()));
        }
        const auto reports = sim.TakeReports();
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_TRUE(reports[0].EndCommand);
        const std::size_t blocks = size == 0 ? 1 : (size + 266) / 267;
        EXPECT_EQ(reports[0].Flash, img + std::string(blocks * 267 - size, '\0'));
        const TFlashState s = engine.State();
        EXPECT_EQ(static_cast<uint32_t>(s.CrcErrorCount + s.VerifyErrorCount), reports[0].Resends);
        EXPECT_GE(s.CrcErrorCount, 1);
        EXPECT_FALSE(s.JobRunning);
    }
}

// Loads and starts on this thread while the "event thread" answers a device: every state change
// is made under the engine's lock (run under TSan), and the last job still completes.
TEST_F(FlashEngineTest, StartsAndLoadsRaceSafelyWithTheReplyHandler) {
    const std::string a = WriteImage("a.flash", Pattern(3000, 1));
    const std::string b = WriteImage("b.flash", Pattern(700, 2));
    std::atomic<bool> stop{false};
    std::thread device([&] {
        while (!stop.load()) {
            {
                std::lock_guard<std::mutex> l(port.M);
                if (port.Input.empty()) port.Input = "!";
            }
            int n;
            {
                std::lock_guard<std::mutex> l(port.M);
                n = static_cast<int>(port.Input.size());
            }
            engine.ComPort1RxChar(nullptr, n);
        }
    });
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(engine.LoadImageFile(i % 2 ? a : b).Ok);
        engine.Button1Click();
    }
    stop = true;
    device.join();
    const TFlashState s = engine.State();
    EXPECT_EQ(s.Job, 200u);
    EXPECT_EQ(s.SendPosition % 267, 0u);
    EXPECT_EQ(s.ImageSize, 3000u);
    EXPECT_LE(s.SendPosition, 12u * 267) << "never past the last block of the image";
}
