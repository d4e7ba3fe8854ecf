// tolvane-flash never writes to a device nobody named, never waits for ever on a device that does
// not let the job go forward, and says what went wrong in words.

#include "FlashTools.h"

#include <atomic>
#include <poll.h>
#include <stdlib.h>

using namespace flashtools;

namespace {

// A device that answers the start command with Reply, again every 20 ms, for ever: a device that
// keeps complaining ('@', '$') or keeps saying it is ready ('>') without taking a block.
class TRepeatingDevice {
  public:
    TRepeatingDevice(const std::string& link, char reply) : FReply(reply) {
        FMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ::grantpt(FMaster);
        ::unlockpt(FMaster);
        // Held open so the slave side stays usable between the flasher's opens.
        FSlave = ::open(::ptsname(FMaster), O_RDWR | O_NOCTTY | O_CLOEXEC);
        std::filesystem::create_symlink(::ptsname(FMaster), link);
        FThread = std::thread([this] { Run(); });
    }
    ~TRepeatingDevice() {
        FStop = true;
        FThread.join();
        ::close(FSlave);
        ::close(FMaster);
    }

  private:
    void Run() {
        bool started = false;
        while (!FStop) {
            pollfd p{FMaster, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
                char buf[512];
                if (::read(FMaster, buf, sizeof buf) > 0) started = true;
            }
            if (started && ::write(FMaster, &FReply, 1) != 1) break;
        }
    }
    char FReply;
    int FMaster = -1, FSlave = -1;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

} // namespace

// The time-out runs from the job's last step forward: replies that do not advance the job do not
// restart it, and complaints before the first block count toward the resend limit.
TEST_F(FlashEndToEnd, DeviceThatNeverLetsTheJobAdvanceEndsIt) {
    struct Case {
        char Reply;
        std::vector<std::string> Options;
        int Exit;
        const char* Message;
    };
    for (const Case& c : {Case{'>', {"-t", "1"}, 4, "no reply from the device within 1 s after block 0"},
                          Case{'@', {"-t", "1", "--max-resends", "0"}, 4, "no reply from the device within 1 s"},
                          Case{'$', {"-t", "0", "--max-resends", "5"}, 5, "resent 5 times in a row"}}) {
        SCOPED_TRACE(c.Reply);
        std::filesystem::remove(Link());
        TRepeatingDevice device(Link(), c.Reply);
        std::vector<std::string> args = {"-p", Link()};
        args.insert(args.end(), c.Options.begin(), c.Options.end());
        args.push_back(WriteImage(Image(3000)));
        const auto t0 = Clock::now();
        auto flash = StartFlash(args);
        EXPECT_EQ(flash->Wait(20), c.Exit) << FlashLog();
        std::cout << "job ended " << std::chrono::duration<double>(Clock::now() - t0).count() << " s after start ('"
                  << c.Reply << "')\n";
        EXPECT_NE(FlashLog().find(c.Message), std::string::npos) << FlashLog();
    }
}

// A settings file the flasher cannot trust is refused before any port is opened.
TEST_F(FlashEndToEnd, UntrustedSettingsFileIsRefused) {
    auto device = StartDevice({"--jobs", "1"});
    const std::string cfg = dir.File("port.cfg");
    ::setenv("CPORT_DEVICES", ("COM1=" + Link()).c_str(), 1);
    struct Case {
        const char* Contents; // null: a directory in the file's place
        int Exit;
        const char* Message;
    };
    for (const Case& c : {Case{"[ComPort1]\nPort=COM999\n", 3, "Port=COM999"},
                          Case{"[ComPort1]\nPort=/etc/passwd\n", 3, "Port=/etc/passwd"},
                          Case{"[ComPort1]\nPort=\x01garbage\n", 3, "names no port"},
                          Case{nullptr, 1, "cannot read the settings file"}}) {
        SCOPED_TRACE(c.Message);
        std::filesystem::remove_all(cfg);
        if (c.Contents)
            std::ofstream(cfg) << c.Contents;
        else
            std::filesystem::create_directory(cfg);
        auto flash = StartFlash({"-c", cfg, "-t", "5", WriteImage(Image(600))});
        EXPECT_EQ(flash->Wait(10), c.Exit) << FlashLog();
        EXPECT_NE(FlashLog().find(c.Message), std::string::npos) << FlashLog();
        EXPECT_NE(FlashLog().find(cfg), std::string::npos) << FlashLog();
        EXPECT_EQ(FlashLog().find("flashing"), std::string::npos) << FlashLog();
    }
    ::unsetenv("CPORT_DEVICES");
    EXPECT_FALSE(std::filesystem::exists(Output())) << "nothing reached the device";
}

// Hardware flow control on a device without modem lines (a pty) must not hold output for ever;
// a reader that leaves the pipe must not kill the job.
TEST_F(FlashEndToEnd, HardwareFlowOnAPtyAndAClosedPipeStillWriteTheImage) {
    auto device = StartDevice({"--jobs", "2"});
    const std::string cfg = dir.File("port.cfg");
    std::ofstream(cfg) << "[ComPort1]\nFlowControl=Hardware\n";
    auto flash = StartFlash({"-c", cfg, "-p", Link(), "-t", "2", WriteImage(Image(2000))});
    ASSERT_EQ(flash->Wait(20), 0) << FlashLog();
    EXPECT_EQ(ReadFile(Output()), Image(2000) + std::string(8 * 267 - 2000, '\0'));

    std::filesystem::remove(Output());
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    ::close(pipeFds[0]); // the reader is gone before the first line
    flash = StartFlash({"-p", Link(), "-t", "5", WriteImage(Image(5000))}, pipeFds[1]);
    ::close(pipeFds[1]);
    EXPECT_EQ(flash->Wait(20), 0) << FlashLog();
    EXPECT_EQ(device->Wait(10), 0);
    EXPECT_EQ(ReadFile(Output()), Image(5000) + std::string(19 * 267 - 5000, '\0'));
}

// Port errors say which port, which device and why, in words.
TEST_F(FlashEndToEnd, PortErrorsNameThePortTheDeviceAndTheReason) {
    auto device = StartDevice({"--block-delay", "20"});
    auto first = StartFlash({"-p", Link(), WriteImage(Image(100000))});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto second = std::make_unique<Child>(
        std::vector<std::string>{ToolDir() + "/tolvane-flash", "-p", Link(), dir.File("image.flash")},
        dir.File("second.log"));
    EXPECT_EQ(second->Wait(10), 3);
    const std::string busy = ReadFile(dir.File("second.log"));
    EXPECT_NE(busy.find("COM1 (" + Link() + "): device is busy: another program has it open"), std::string::npos)
        << busy;

    device->Signal(SIGKILL);
    EXPECT_EQ(first->Wait(10), 3) << FlashLog();
    EXPECT_NE(FlashLog().find("the device was removed"), std::string::npos) << FlashLog();

    const std::string plain = dir.File("plain-file");
    std::ofstream(plain) << "not a tty";
    auto third = StartFlash({"-p", plain, dir.File("image.flash")});
    EXPECT_EQ(third->Wait(10), 3);
    EXPECT_NE(FlashLog().find("(" + plain + "): not a serial device"), std::string::npos) << FlashLog();
}

// The simulator refuses an output path it could never write at start, and leaves no temporary.
TEST_F(FlashEndToEnd, SimulatorRefusesAnUnusableOutputAtStart) {
    const std::string folder = dir.File("out");
    std::filesystem::create_directory(folder);
    for (const std::string& out : {folder, dir.File("missing/flash.bin")}) {
        SCOPED_TRACE(out);
        Child sim({ToolDir() + "/tolvane-devsim", "--link", Link(), "--output", out}, dir.File("devsim.log"));
        EXPECT_EQ(sim.Wait(10), 1);
        EXPECT_NE(ReadFile(dir.File("devsim.log")).find("cannot write"), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(out + ".tmp"));
        EXPECT_FALSE(std::filesystem::exists(Link()));
    }
}
