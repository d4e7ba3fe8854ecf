// tolvane-term on a real X server (Xvfb), driven as a user drives it (xdotool), with the X
// selections read and set by another client (xclip): a drag fills the primary selection,
// Ctrl+Shift+C the clipboard, and the middle button and Ctrl+Shift+V paste to the device.

#include "FlashTools.h"
#include "comm/PtyFarEnd.h"

#include <cstdio>
#include <functional>
#include <optional>

using namespace flashtools;

namespace {

// What a shell command prints (its first 64 KiB).
std::string Output(const std::string& Command) {
    std::string Out;
    if (FILE* P = ::popen(Command.c_str(), "r")) {
        char Buf[4096];
        for (size_t N; (N = std::fread(Buf, 1, sizeof Buf, P)) > 0 && Out.size() < 65536;)
            Out.append(Buf, N);
        ::pclose(P);
    }
    return Out;
}

// Polls Probe until it gives a non-empty answer or Seconds pass.
std::string Await(const std::function<std::string()>& Probe, double Seconds = 10) {
    const auto End = Clock::now() + std::chrono::duration<double>(Seconds);
    for (;;) {
        std::string S = Probe();
        if (!S.empty() || Clock::now() > End) return S;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Sets a variable of this process for one scope (the other tests of the binary run without it).
class ScopedEnv {
  public:
    ScopedEnv(const char* Name, const std::string& Value) : FName(Name) {
        if (const char* Old = std::getenv(Name)) FOld = Old;
        ::setenv(Name, Value.c_str(), 1);
    }
    ~ScopedEnv() { FOld ? (void)::setenv(FName, FOld->c_str(), 1) : (void)::unsetenv(FName); }

  private:
    const char* FName;
    std::optional<std::string> FOld;
};

bool Have(const char* Program) {
    return std::system((std::string("command -v ") + Program + " >/dev/null 2>&1").c_str()) == 0;
}

} // namespace

TEST(TermX11, SelectionsAndPastesOnARealDisplay) {
    const std::string Term = ToolDir() + "/term/tolvane-term";
    if (!std::filesystem::exists(Term)) GTEST_SKIP() << "tolvane-term not built";
    for (const char* P : {"Xvfb", "xdotool", "xclip"})
        if (!Have(P)) GTEST_SKIP() << P << " is not installed (scripts/setup-deps.sh installs it)";
    TempDir Dir;
    // The server picks a free display and writes its number.
    Child Server({Output("command -v Xvfb | tr -d '\\n'"), "-displayfd", "1", "-screen", "0", "1024x768x24",
                  "-nolisten", "tcp"},
                 Dir.File("display"));
    const std::string Display = Await([&] {
        const std::string S = ReadFile(Dir.File("display"));
        return S.find('\n') != std::string::npos ? S.substr(0, S.find('\n')) : std::string();
    });
    ASSERT_FALSE(Display.empty()) << "Xvfb did not start";
    ScopedEnv X("DISPLAY", ":" + Display), Platform("QT_QPA_PLATFORM", "xcb"),
        Config("XDG_CONFIG_HOME", Dir.Path());

    // Qt's X11 plugin talks to D-Bus, whose library keeps an allocation for the life of the
    // process: under the leak checker that is no leak of ours.
    std::ofstream(Dir.File("lsan.supp")) << "leak:libdbus-1.so\n";
    ScopedEnv Leaks("LSAN_OPTIONS", "suppressions=" + Dir.File("lsan.supp"));
    PtyPair Device;
    Child Window({Term, "-p", Device.Path, "-b", "115200", "--settings", Dir.File("term.ini")},
                 Dir.File("term.log"));
    const std::string Id = Await([] {
        const std::string S =
            Output("xdotool search --onlyvisible --name '^tolvane-term' 2>/dev/null | head -1");
        return S.substr(0, S.find('\n'));
    });
    ASSERT_FALSE(Id.empty()) << ReadFile(Dir.File("term.log"));
    std::string Lines, Shown;
    for (int N = 1; N <= 60; ++N) {
        Lines += "row " + std::to_string(N) + " of the boot log\r\n";
        Shown += "row " + std::to_string(N) + " of the boot log\n";
    }
    // The output ends with a cursor-position request: its answer says the terminal has taken
    // all of it, so the rows stay where they are while the mouse selects.
    Device.Send(Lines + "\x1b[6n");
    std::string Answer;
    while (Answer.empty() || Answer.back() != 'R') {
        const std::string C = Device.Receive(1, 10000);
        if (C.empty()) break;
        Answer += C;
    }
    ASSERT_EQ(Answer.rfind("\x1b[", 0), 0u) << Answer;

    // A drag over two rows near the top of the terminal (below the menu and the tool bar).
    const std::string Xdo = "xdotool mousemove --window " + Id + " ";
    std::system((Xdo + "5 70 mousedown 1 " + "mousemove --window " + Id + " 150 110 mouseup 1").c_str());
    const std::string Primary = Await([&] {
        const std::string S = Output("xclip -o -selection primary 2>/dev/null");
        return S.find("of the boot log\nrow ") != std::string::npos ? S : std::string();
    });
    ASSERT_FALSE(Primary.empty()) << "a drag did not fill the primary selection";
    EXPECT_NE(Shown.find(Primary), std::string::npos)
        << "copied as shown, without trailing blanks: " << Primary;
    // Copy, and look until the clipboard holds it (the owner answers the reader in its own time).
    std::system(("xdotool key --window " + Id + " ctrl+shift+c").c_str());
    std::string Clipboard;
    Await(
        [&] {
            Clipboard = Output("xclip -o -selection clipboard 2>/dev/null");
            return Clipboard == Primary ? Clipboard : std::string();
        },
        5);
    EXPECT_EQ(Clipboard, Primary);

    // Another client owns the selections now: the middle button and Ctrl+Shift+V paste them.
    std::system("printf 'from primary' | xclip -selection primary");
    std::system((Xdo + "300 200 click 2").c_str());
    EXPECT_EQ(Device.Receive(12, 5000), "from primary");
    std::system("printf 'echo a\\necho b\\n' | xclip -selection clipboard");
    std::system(("xdotool key --window " + Id + " ctrl+shift+v").c_str());
    // Two lines: the window asks first; Enter takes the default answer, Yes.
    const std::string Ask = Await([] {
        const std::string S = Output("xdotool search --onlyvisible --name '^Paste$' 2>/dev/null | head -1");
        return S.substr(0, S.find('\n'));
    });
    ASSERT_FALSE(Ask.empty()) << "no question before a paste of two lines";
    // (The key's release goes to a window already gone: xdotool's complaint is no failure.)
    std::system(("xdotool key --window " + Ask + " Return 2>/dev/null").c_str());
    EXPECT_EQ(Device.Receive(14, 5000), "echo a\recho b\r");

    // Without a window manager the focus goes back to the window by hand, as a click would.
    std::system(("xdotool windowfocus " + Id + " key --window " + Id + " ctrl+shift+q").c_str());
    EXPECT_EQ(Window.Wait(10), 0) << ReadFile(Dir.File("term.log"));
    Server.Signal(SIGTERM);
    Server.Wait(10);
}
