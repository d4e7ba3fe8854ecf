// tolvane-term --console in a pseudo-terminal of its own, with a pseudo-terminal for the device:
// keys pass through, received bytes show, and the host terminal is restored after SIGTERM.

#include "FlashTools.h"
#include "comm/PtyFarEnd.h"

#include <pty.h>
#include <termios.h>

using namespace flashtools;

TEST(ConsoleMode, PassesKeysAndBytesAndRestoresTheTerminalOnSigterm) {
    const std::string term = ToolDir() + "/term/tolvane-term";
    if (!std::filesystem::exists(term)) GTEST_SKIP() << "tolvane-term not built";
    TempDir dir;
    PtyPair device;
    int host = -1;
    const pid_t pid = ::forkpty(&host, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::setenv("XDG_CONFIG_HOME", dir.Path().c_str(), 1);
        ::execl(term.c_str(), term.c_str(), "--console", "-p", device.Path.c_str(), "-b", "115200",
                "--settings", dir.File("term.ini").c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const int slave = ::open(::ptsname(host), O_RDWR | O_NOCTTY); // the host terminal's own side
    auto shown = [&, all = std::string()](const std::string& want) mutable {
        for (int i = 0; i < 300 && all.find(want) == std::string::npos; ++i) {
            char buf[4096];
            pollfd p{host, POLLIN, 0};
            if (::poll(&p, 1, 10) > 0) {
                const ssize_t n = ::read(host, buf, sizeof buf);
                if (n > 0) all.append(buf, static_cast<size_t>(n));
            }
        }
        return all.find(want) != std::string::npos ? want : all;
    };
    EXPECT_EQ(shown("[tolvane-term] connected to"), "[tolvane-term] connected to");
    termios t{};
    ::tcgetattr(slave, &t);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u) << "raw while it runs";
    [[maybe_unused]] ssize_t w = ::write(host, "hello\x03", 6);
    EXPECT_EQ(device.Receive(6), "hello\x03") << "Ctrl+C goes to the device";
    device.Send("world");
    EXPECT_EQ(shown("world"), "world");
    ::kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 500 && ::waitpid(pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (::waitpid(pid, &status, WNOHANG) == 0 && !WIFEXITED(status)) {
        ::kill(pid, SIGKILL); // it did not end: fail, but leave nothing behind
        ::waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM) << status;
    ::tcgetattr(slave, &t);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO)) << "restored";
    ::close(slave);
    ::close(host);
}

// The windowed tools answer --help without a display, as command-line tools do.
TEST(ConsoleMode, WindowedToolsAnswerHelpWithoutADisplay) {
    const std::string build = std::filesystem::path(ToolDir()).parent_path().string();
    TempDir dir;
    const std::string saved = std::getenv("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
    ::unsetenv("QT_QPA_PLATFORM");
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    for (const std::string& tool : {build + "/app/tolvane", build + "/tools/term/tolvane-term",
                                    build + "/tools/gallery/tolvane-gallery"}) {
        if (!std::filesystem::exists(tool)) continue;
        SCOPED_TRACE(tool);
        Child help({tool, "--help"}, dir.File("help.txt"));
        EXPECT_EQ(help.Wait(10), 0);
        EXPECT_NE(ReadFile(dir.File("help.txt")).find("--version"), std::string::npos) << ReadFile(dir.File("help.txt"));
    }
    if (!saved.empty()) ::setenv("QT_QPA_PLATFORM", saved.c_str(), 1);
}
