// tolvane-flash over several simulated devices at once, and watch mode flashing devices as they
// appear in a watched folder.

#include "FlashTools.h"

#include <sys/file.h>

using namespace flashtools;

namespace {

class FactoryMode : public FlashEndToEnd {
  protected:
    // A simulated device linked as Link, writing what it received to Out.
    std::unique_ptr<Child> Device(const std::string& Link, const std::string& Out, std::vector<std::string> Extra,
                                  const std::string& Log) {
        std::vector<std::string> args = {ToolDir() + "/tolvane-devsim", "--link", Link, "--output", Out};
        args.insert(args.end(), Extra.begin(), Extra.end());
        auto child = std::make_unique<Child>(args, dir.File(Log));
        for (int i = 0; i < 400 && !std::filesystem::is_symlink(Link); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_TRUE(std::filesystem::is_symlink(Link)) << ReadFile(dir.File(Log));
        return child;
    }
    static std::string Padded(const std::string& Image) {
        const size_t blocks = Image.empty() ? 1 : (Image.size() + 266) / 267;
        return Image + std::string(blocks * 267 - Image.size(), '\0');
    }
    static size_t Lines(const std::string& Text) { return static_cast<size_t>(std::count(Text.begin(), Text.end(), '\n')); }
};

} // namespace

// Four devices in one run: each result is its own, a failing device never disturbs the others, and
// the exit code is the worst kind of failure (port before no reply).
TEST_F(FactoryMode, ParallelPortsEachGetTheirOwnResult) {
    const std::string image = Image(20000);
    auto clean = Device(dir.File("clean"), dir.File("clean.bin"), {"--jobs", "1"}, "d1.log");
    auto noisy = Device(dir.File("noisy"), dir.File("noisy.bin"),
                        {"--jobs", "1", "--crc-errors", "0.1", "--verify-errors", "0.1", "--seed", "3"}, "d2.log");
    auto gone = Device(dir.File("gone"), dir.File("gone.bin"), {"--block-delay", "20"}, "d3.log");
    auto stall = Device(dir.File("stall"), dir.File("stall.bin"), {"--stall-after", "3"}, "d4.log");
    auto flash = StartFlash({"-p", dir.File("clean") + "," + dir.File("noisy"), "-p", dir.File("gone"), "-p",
                             dir.File("stall"), "-t", "1", "--log", dir.File("jobs.tsv"), WriteImage(image)});
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    gone->Signal(SIGKILL);
    EXPECT_EQ(flash->Wait(30), 3) << FlashLog();
    EXPECT_EQ(clean->Wait(10), 0);
    EXPECT_EQ(noisy->Wait(10), 0);
    EXPECT_EQ(ReadFile(dir.File("clean.bin")), Padded(image));
    EXPECT_EQ(ReadFile(dir.File("noisy.bin")), Padded(image));

    const std::string log = FlashLog();
    for (const std::string& want :
         {dir.File("clean") + ": written: 20000 bytes", dir.File("noisy") + ": written: 20000 bytes",
          dir.File("gone") + ": failed: port error", dir.File("stall") + ": failed: no reply from the device within 1 s"})
        EXPECT_NE(log.find(want), std::string::npos) << want << "\n" << log;
    EXPECT_NE(log.find("port   device"), std::string::npos) << "summary table\n" << log;

    const std::string jobs = ReadFile(dir.File("jobs.tsv"));
    EXPECT_EQ(Lines(jobs), 4u) << jobs;
    // The image's SHA-256 as sha256sum prints it, so a production line can check it.
    std::string sum(64, '\0');
    FILE* p = ::popen(("sha256sum " + dir.File("image.flash")).c_str(), "r");
    ASSERT_NE(p, nullptr);
    sum.resize(std::fread(sum.data(), 1, sum.size(), p));
    ::pclose(p);
    EXPECT_NE(jobs.find("\t" + dir.File("image.flash") + "\t" + sum + "\t"), std::string::npos) << sum << "\n" << jobs;
}

// Interrupted while several jobs run: every port is released and the tally still printed.
TEST_F(FactoryMode, InterruptDuringParallelJobsReleasesEveryPort) {
    auto a = Device(dir.File("a"), dir.File("a.bin"), {"--block-delay", "20"}, "a.log");
    auto b = Device(dir.File("b"), dir.File("b.bin"), {"--block-delay", "20"}, "b.log");
    auto flash = StartFlash({"-p", dir.File("a") + "," + dir.File("b"), "--json", WriteImage(Image(50000))});
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    flash->Signal(SIGINT);
    EXPECT_EQ(flash->Wait(10), 130) << FlashLog();
    const std::string log = FlashLog();
    for (const char* name : {"a", "b"})
        EXPECT_NE(log.find("\"device\":\"" + dir.File(name) + "\",\"exit\":130"), std::string::npos) << log;
    auto again = StartFlash({"-p", dir.File("a") + "," + dir.File("b"), "-t", "5", WriteImage(Image(300))});
    EXPECT_EQ(again->Wait(20), 0) << FlashLog();
}

// Watch mode over a folder of links: a device present at start is left alone, each new one is
// flashed once (one of them busy for a while after it appears), and SIGINT ends with the tally.
TEST_F(FactoryMode, WatchFlashesEachDeviceAsItAppears) {
    const std::string devDir = dir.File("dev");
    std::filesystem::create_directory(devDir);
    ::setenv("CPORT_DEVICE_DIR", devDir.c_str(), 1);
    auto early = Device(devDir + "/ttyUSB9", dir.File("early.bin"), {}, "early.log");
    auto watch = StartFlash({"--watch", "--settle", "100", "--match", "*ttyUSB[0-8]", "--log", dir.File("jobs.tsv"),
                             "-t", "5", WriteImage(Image(3000))});
    ::unsetenv("CPORT_DEVICE_DIR");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    auto first = Device(devDir + "/ttyUSB0", dir.File("first.bin"), {"--jobs", "1"}, "first.log");
    EXPECT_EQ(first->Wait(20), 0) << FlashLog();

    // The second device is held by another opener when it appears; the flasher tries again.
    auto second = Device(dir.File("second-link"), dir.File("second.bin"), {"--jobs", "1"}, "second.log");
    const std::string pty = std::filesystem::read_symlink(dir.File("second-link")).string();
    const int holder = ::open(pty.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    std::filesystem::create_symlink(pty, devDir + "/ttyUSB1");
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    ::close(holder);
    EXPECT_EQ(second->Wait(20), 0) << FlashLog();

    watch->Signal(SIGINT);
    EXPECT_EQ(watch->Wait(10), 0) << FlashLog();
    EXPECT_EQ(ReadFile(dir.File("first.bin")), Padded(Image(3000)));
    EXPECT_EQ(ReadFile(dir.File("second.bin")), Padded(Image(3000)));
    EXPECT_FALSE(std::filesystem::exists(dir.File("early.bin"))) << "present at start: left alone";
    const std::string log = FlashLog();
    EXPECT_NE(log.find("watch ended: 2 passed, 0 failed"), std::string::npos) << log;
    EXPECT_EQ(Lines(ReadFile(dir.File("jobs.tsv"))), 2u);
}

// A glob picks devices whatever their names, in a folder of its own: a link named outside the
// serial families is flashed when it appears.
TEST_F(FactoryMode, WatchWithAGlobTakesAnyDeviceName) {
    const std::string links = dir.File("links");
    std::filesystem::create_directory(links);
    auto watch = StartFlash({"--watch", "--settle", "100", "--match", links + "/board-*", "-t", "5",
                             WriteImage(Image(1000))});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto board = Device(links + "/board-a", dir.File("board.bin"), {"--jobs", "1"}, "board.log");
    EXPECT_EQ(board->Wait(20), 0) << FlashLog();
    watch->Signal(SIGINT);
    EXPECT_EQ(watch->Wait(10), 0) << FlashLog();
    EXPECT_EQ(ReadFile(dir.File("board.bin")), Padded(Image(1000)));
}
