// tolvane-term across unplugging: a pseudo-terminal linked into a temporary device folder vanishes
// and comes back (at the same path, then at another path with the same by-id name); the screen,
// the log and the settings carry on. A file sent over a paced virtual device; nothing but the
// caret's blink wakes the program while it waits for a device.

#include "comm/PtyFarEnd.h"
#include "cport/ComPort.h"
#include "cport/ComReconnect.h"
#include "cportui/CPortCtl.h"
#include "platform/comm/VirtualDevice.h"
#include "platform/ports/DeviceMap.h"
#include "platform/profile/IniFiles.h"
#include "platform/toolkit/qt/ToolkitQt.h"
#include "support/TempDir.h"
#include "tools/term/TermWindow.h"
#include "term/TermTestUtil.h"

#include <QApplication>
#include <QEventLoop>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::string Status(TTermWindow& W) {
    return W.StatusText().toStdString();
}

// A window on a pseudo-terminal whose slave appears in a temporary device folder.
class TermSession : public testing::Test {
  protected:
    void TearDown() override { SetDeviceMapOverride(std::nullopt); }
    std::unique_ptr<PtyPair> Plug(const std::string& Name) {
        auto Pty = std::make_unique<PtyPair>();
        fs::create_directories(Dev.File("serial/by-id"));
        fs::create_symlink(Pty->Path, Dev.File(Name));
        fs::create_symlink(Dev.File(Name), Dev.File("serial/by-id/" + ById));
        return Pty;
    }
    void Unplug(std::unique_ptr<PtyPair>& Pty, const std::string& Name) {
        Pty.reset();
        fs::remove(Dev.File(Name));
        fs::remove(Dev.File("serial/by-id/" + ById));
    }
    TTermOptions Options(const std::string& Name) {
        TTermOptions O;
        O.Port = Dev.File(Name);
        O.Line.Baud = 115200;
        O.SettingsFile = Dir.File("term.ini");
        O.DeviceDir = Dev.Path().string();
        return O;
    }

    // Data handed over from the port's event thread runs in the Qt event loop, as in the program.
    TToolkitQtHooks Hooks{false};
    TempDir Dir, Dev;
    const std::string ById = "usb-Acme_Board_42-if00";
};

// Counts what wakes the GUI thread: timer events by receiver, and the context switches of every
// thread of the process (a thread that wakes on its own shows there even without Qt events).
class TWakeCounter : public QObject {
  public:
    std::map<QObject*, int> Timers;
    bool eventFilter(QObject* Watched, QEvent* Event) override {
        if (Event->type() == QEvent::Timer) ++Timers[Watched];
        return false;
    }
    static long Switches() {
        long Sum = 0;
        for (const auto& Task : fs::directory_iterator("/proc/self/task")) {
            std::ifstream In(Task.path() / "status");
            for (std::string Line; std::getline(In, Line);)
                if (Line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                    Line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                    Sum += std::stol(Line.substr(Line.find(':') + 1));
        }
        return Sum;
    }
};

} // namespace

TEST_F(TermSession, UnpluggedAndBackAtTheSamePathAndAtAnotherWithTheSameByIdName) {
    auto Pty = Plug("ttyUSB0");
    TTermOptions O = Options("ttyUSB0");
    O.LogFile = Dir.File("session.log");
    TTermWindow Window(O);
    Window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Window));
    ASSERT_TRUE(Window.Port().Connected()) << Status(Window);
    TComTerminal& T = Window.Terminal();

    Pty->Send("line one\r\n");
    ASSERT_TRUE(Within([&] { return Row(T, 1) == "line one"; }));
    // A line without its end reaches the log by the flush timer, which then stops.
    Pty->Send("half");
    EXPECT_TRUE(Within([&] { return Slurp(O.LogFile) == "line one\r\nhalf"; })) << Slurp(O.LogFile);
    EXPECT_TRUE(Within([&] { return !Window.LogFlushPending(); }));
    Pty->Send(" done\r\n");

    const struct {
        const char* Case;
        std::string Name; // where the device comes back
        std::string Line; // what it says then
    } Returns[] = {{"same path", "ttyUSB0", "line two"},
                   {"another path, same by-id name", "ttyUSB3", "line three"}};
    std::string Name = "ttyUSB0", Last = "half done";
    int Y = 3;
    for (const auto& R : Returns) {
        SCOPED_TRACE(R.Case);
        // What the device said last is on the screen before it goes (unread bytes go with it).
        ASSERT_TRUE(Within([&] { return Row(T, Y - 1) == Last; })) << Row(T, Y - 1);
        Unplug(Pty, Name);
        ASSERT_TRUE(Within([&] {
            return Status(Window).find("disconnected: device removed") != std::string::npos;
        })) << Status(Window);
        EXPECT_NE(Status(Window).find(Dev.File(Name)), std::string::npos) << Status(Window);
        EXPECT_FALSE(Window.Port().Connected());
        for (int I = 0; I < 6; ++I)
            EXPECT_EQ(Window.Led(I)->State(), lsOff) << "LED " << I;
        EXPECT_EQ(Row(T, 1), "line one");
        // Typing goes nowhere and is told of once, not once a key.
        T.setFocus();
        QTest::keyClicks(&T, "ab");
        const std::string Told = Status(Window);
        EXPECT_NE(Told.find("typing is not sent"), std::string::npos) << Told;
        QTest::keyClick(&T, Qt::Key_Up);
        EXPECT_EQ(Status(Window), Told);

        const auto Back = Clock::now();
        Pty = Plug(R.Name);
        ASSERT_TRUE(Within([&] { return Status(Window).find("reconnected") != std::string::npos; }, 10000))
            << Status(Window);
        std::cout << R.Case << ": reconnected "
                  << std::chrono::duration<double, std::milli>(Clock::now() - Back).count()
                  << " ms after the device appeared\n";
        Name = R.Name;
        EXPECT_NE(Status(Window).find(Dev.File(Name)), std::string::npos) << Status(Window);
        EXPECT_EQ(Status(Window).find("typing"), std::string::npos) << Status(Window);
        // Output continues on the same screen, typing reaches the device again.
        Pty->Send(R.Line + "\r\n");
        EXPECT_TRUE(Within([&] { return Row(T, Y) == R.Line; })) << Row(T, Y);
        EXPECT_EQ(Row(T, 1), "line one");
        QTest::keyClicks(&T, "k");
        EXPECT_EQ(Pty->Receive(1), "k");
        Last = R.Line;
        ++Y;
    }
    // The log runs on across both gaps, byte for byte.
    EXPECT_TRUE(Within([&] {
        return Slurp(O.LogFile) == "line one\r\nhalf done\r\nline two\r\nline three\r\n";
    })) << Slurp(O.LogFile);
}

TEST_F(TermSession, ReconnectTurnedOffWaitsForTheUserAndTheChoiceIsKept) {
    auto Pty = Plug("ttyUSB0");
    {
        TTermWindow Window(Options("ttyUSB0"));
        ASSERT_TRUE(Window.AutoReconnect());
        Window.SetAutoReconnect(false);
        Window.SaveSettings();
        Unplug(Pty, "ttyUSB0");
        ASSERT_TRUE(Within([&] { return !Window.Port().Connected(); }));
        Pty = Plug("ttyUSB0");
        QTest::qWait(300);
        EXPECT_FALSE(Window.Port().Connected());
        EXPECT_NE(Status(Window).find("disconnected: device removed"), std::string::npos) << Status(Window);
        // Turned on again, the device that is already back is taken at once.
        Window.SetAutoReconnect(true);
        EXPECT_TRUE(Within([&] { return Window.Port().Connected(); })) << Status(Window);
        Window.SetAutoReconnect(false);
        Window.SaveSettings();
    }
    EXPECT_FALSE(TIniFile(Dir.File("term.ini")).ReadBool("Terminal", "AutoReconnect", true));
    TTermWindow Again(Options("ttyUSB0"));
    EXPECT_FALSE(Again.AutoReconnect());
    ASSERT_TRUE(Again.Reconnect());
    EXPECT_FALSE(Again.Reconnect()->Enabled());
}

TEST_F(TermSession, AMebibyteSentOverAPacedDeviceArrivesWhole) {
    auto Device = TVirtualDevice::Create("COM12");
    ASSERT_TRUE(Device);
    Device->SetPacing(true);
    std::string Bytes(1 << 20, '\0');
    for (std::size_t I = 0; I < Bytes.size(); ++I)
        Bytes[I] = static_cast<char>((I * 131 + I / 4096) & 0xFF);
    Spit(Dir.File("image.bin"), Bytes);
    TTermOptions O = Options("ttyUSB0");
    O.Port = "COM12";
    O.Line.Baud = 8000000;
    TTermWindow Window(O);
    Window.show();
    ASSERT_TRUE(Window.Port().Connected()) << Status(Window);

    Window.SendFile(Dir.File("image.bin"));
    ASSERT_TRUE(Window.Sending()) << Status(Window);
    int Progress = 0;
    bool Monotonic = true;
    std::string Got;
    EXPECT_TRUE(Within(
        [&] {
            Got += Device->ReadSent();
            Monotonic = Monotonic && Window.SendProgress() >= Progress;
            Progress = Window.SendProgress();
            return !Window.Sending();
        },
        20000));
    while (Got.size() < Bytes.size() && Device->WaitSent(1, 1000))
        Got += Device->ReadSent();
    EXPECT_EQ(Got.size(), Bytes.size());
    EXPECT_TRUE(Got == Bytes);
    EXPECT_TRUE(Monotonic);
    EXPECT_EQ(Window.SendProgress(), 1000);
    EXPECT_NE(Status(Window).find("sent image.bin (1048576 bytes)"), std::string::npos) << Status(Window);
}

// While the device is away and nothing arrives, only the caret's blink runs, and nothing at all
// once the terminal has no focus: no retry timer, no log flush, no thread that wakes by itself.
TEST_F(TermSession, WhileDisconnectedAndIdleOnlyTheCaretBlinks) {
    auto Pty = Plug("ttyUSB0");
    TTermOptions O = Options("ttyUSB0");
    O.LogFile = Dir.File("idle.log");
    TTermWindow Window(O);
    Window.show();
    Window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Window));
    Window.Terminal().setFocus();
    Pty->Send("unfinished");
    Unplug(Pty, "ttyUSB0");
    ASSERT_TRUE(Within([&] { return !Window.Port().Connected() && !Window.LogFlushPending(); }));
    QTest::qWait(200);

    const struct {
        const char* Case;
        bool Focused;
        int MaxTimers; // in 1.5 s
    } Cases[] = {{"focused: the caret blinks", true, 4}, {"another window active: nothing", false, 0}};
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Case);
        // Another window takes the focus in the second case.
        QWidget Other;
        if (C.Focused) {
            Window.activateWindow();
            ASSERT_TRUE(QTest::qWaitForWindowActive(&Window));
            Window.Terminal().setFocus();
        } else {
            Other.show();
            Other.activateWindow();
            ASSERT_TRUE(QTest::qWaitForWindowActive(&Other));
        }
        QTest::qWait(100);
        TWakeCounter Counter;
        qApp->installEventFilter(&Counter);
        QEventLoop Loop;
        QTimer End;
        End.setSingleShot(true);
        QObject::connect(&End, &QTimer::timeout, &Loop, &QEventLoop::quit);
        const long Before = TWakeCounter::Switches();
        End.start(1500);
        Loop.exec();
        const long Switches = TWakeCounter::Switches() - Before;
        qApp->removeEventFilter(&Counter);
        Counter.Timers.erase(&End);

        int Woken = 0;
        for (const auto& [Receiver, Count] : Counter.Timers) {
            const bool Caret = Receiver->parent() == &Window.Terminal();
            EXPECT_TRUE(Caret) << Receiver->metaObject()->className() << " " << Count;
            Woken += Count;
        }
        EXPECT_LE(Woken, C.MaxTimers);
        if (C.Focused) {
            EXPECT_GE(Woken, 1);
        }
        // Each blink (and the end of the wait) is a wake-up or two, plus a few stray ones under a
        // sanitizer on a loaded machine; a poll every 100 ms would be 15 or more.
        EXPECT_LE(Switches, 2 * Woken + 6) << Woken << " blinks";
        std::cout << C.Case << ": " << Woken << " timer events, " << Switches
                  << " context switches in 1.5 s\n";
    }
}
