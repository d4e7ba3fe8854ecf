// tolvane-flash against tolvane-devsim over a real pseudo-terminal.

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

std::string ToolDir() {
    if (const char* b = std::getenv("TOLVANE_BUILD_DIR")) return std::string(b) + "/tools";
    // Run by hand from the build tree: the tools sit beside the tests folder.
    return (std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "tools").string();
}

// A child process with stdout and stderr in one file.
class Child {
  public:
    Child(const std::vector<std::string>& args, const std::string& log) {
        FPid = ::fork();
        if (FPid == 0) {
            const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            std::vector<char*> argv;
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~Child() {
        if (FPid > 0 && !FDone) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0);
        }
    }
    // The exit code (128 + signal for a killed process), or -1 when it did not end in time.
    int Wait(double seconds) {
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < end) {
            int st = 0;
            if (::waitpid(FPid, &st, WNOHANG) == FPid) {
                FDone = true;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }
    void Signal(int sig) { ::kill(FPid, sig); }

  private:
    pid_t FPid = -1;
    bool FDone = false;
};

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string Image(std::size_t n) {
    std::string s(n, '\0');
    uint32_t x = 0x12345678u + static_cast<uint32_t>(n);
    for (auto& c : s) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

class FlashEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(ToolDir() + "/tolvane-flash") ||
            !std::filesystem::exists(ToolDir() + "/tolvane-devsim"))
            GTEST_SKIP() << "tools not built in " << ToolDir();
    }
    // Starts the device and waits until its link exists.
    std::unique_ptr<Child> StartDevice(std::vector<std::string> extra) {
        std::vector<std::string> args = {ToolDir() + "/tolvane-devsim", "--link", Link(), "--output",
                                         Output()};
        args.insert(args.end(), extra.begin(), extra.end());
        auto child = std::make_unique<Child>(args, dir.File("devsim.log"));
        for (int i = 0; i < 400 && !std::filesystem::is_symlink(Link()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_TRUE(std::filesystem::is_symlink(Link())) << ReadFile(dir.File("devsim.log"));
        return child;
    }
    std::unique_ptr<Child> StartFlash(std::vector<std::string> args) {
        args.insert(args.begin(), ToolDir() + "/tolvane-flash");
        return std::make_unique<Child>(args, dir.File("flash.log"));
    }
    std::string WriteImage(const std::string& bytes) {
        const std::string p = dir.File("image.flash");
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }
    std::string Link() const { return dir.File("device"); }
    std::string Output() const { return dir.File("flash.bin"); }
    std::string FlashLog() const { return ReadFile(dir.File("flash.log")); }

    TempDir dir;
};
} // namespace

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
