#include "comm/PtyFarEnd.h"
#include "cport/ComPort.h"
#include "cportui/CPortCtl.h"
#include "platform/comm/VirtualDevice.h"
#include "platform/profile/IniFiles.h"
#include "support/TempDir.h"
#include "platform/toolkit/qt/ToolkitQt.h"
#include "tools/term/TermWindow.h"
#include "term/TermTestUtil.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QWheelEvent>
#include <QTest>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

// Options as a user gives them with -p and -b, settings kept in Dir.
static TTermOptions OnPty(const PtyPair& Pty, const TempDir& Dir) {
    TTermOptions Options;
    Options.Port = Pty.Path;
    Options.Line.Baud = 115200;
    Options.SettingsFile = Dir.File("term.ini");
    return Options;
}

// The terminal on a pseudo-terminal, as a user runs it with -p and -b.
TEST(TermWindow, TypedKeysAndFarEndOutputAndTheActivityLeds) {
    // Data handed over from the port's event thread runs in the Qt event loop, as in the program.
    TToolkitQtHooks Hooks(false);
    TempDir Dir;
    PtyPair Pty;
    TTermOptions Options = OnPty(Pty, Dir);
    TTermWindow Window(Options);
    Window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Window));
    ASSERT_TRUE(Window.Port().Connected()) << Window.StatusText().toStdString();
    EXPECT_TRUE(Window.StatusText().contains("115200 8N1")) << Window.StatusText().toStdString();
    EXPECT_TRUE(Window.StatusText().contains(QString::fromStdString(Pty.Path)));

    bool RxLit = false, TxLit = false;
    Window.Led(4)->SetOnChange([&](TObject*, TLedState S) { RxLit = RxLit || S == lsOn; });
    Window.Led(5)->SetOnChange([&](TObject*, TLedState S) { TxLit = TxLit || S == lsOn; });

    Window.Terminal().setFocus();
    QTest::keyClicks(&Window.Terminal(), "hi\tx");
    QTest::keyClick(&Window.Terminal(), Qt::Key_Up);
    EXPECT_EQ(Pty.Receive(7), "hi\tx\x1b[A");

    Pty.Send("\x1b[2J\x1b[3;5Hfar \x1b[7mend\x1b[0m\r\n\tok");
    ASSERT_TRUE(Within([&] { return Row(Window.Terminal(), 4) == "ok"; })) << Row(Window.Terminal(), 3);
    EXPECT_EQ(Row(Window.Terminal(), 3), "far end");
    EXPECT_EQ(Window.Terminal().Buffer().GetChar(9, 3).BackColor, clWhite);
    EXPECT_EQ(Window.Terminal().CaretPos(), (TPoint{11, 4}));
    // The host asks where the caret is; the answer goes back on the line.
    Pty.Send("\x1b[6n");
    std::string Reply;
    Within([&] {
        Reply += Pty.Receive(7 - Reply.size(), 0);
        return Reply.size() >= 7;
    });
    EXPECT_EQ(Reply, "\x1b[4;11R");
    EXPECT_TRUE(Within([&] { return RxLit && TxLit; })) << "rx " << RxLit << " tx " << TxLit;

    // The far end goes away: the window says so and closes the port.
    Pty.CloseMaster();
    EXPECT_TRUE(Within([&] { return !Window.Port().Connected(); }));
    EXPECT_TRUE(Window.StatusText().contains("removed")) << Window.StatusText().toStdString();

    // Command-line choices are not saved; terminal settings are.
    Window.Terminal().SetColumns(100);
    Window.SaveSettings();
    TIniFile Ini(Options.SettingsFile);
    EXPECT_FALSE(Ini.SectionExists("ComPort1"));
    EXPECT_EQ(Ini.ReadInteger("Terminal", "Columns", 0), 100);
}

// Without a command line the saved port and terminal settings come back.
TEST(TermWindow, SavedSettingsComeBack) {
    TempDir Dir;
    TTermOptions Options;
    Options.SettingsFile = Dir.File("term.ini");
    {
        TTermWindow Window(Options);
        EXPECT_FALSE(Window.Port().Connected());
        Window.Port().SetPort("COM7");
        Window.Port().SetBaudRate(br57600);
        Window.Terminal().SetEmulation(teVT52);
        Window.Terminal().SetLocalEcho(true);
        Window.Terminal().SetRows(30);
        Window.SaveSettings();
    }
    TTermWindow Again(Options);
    EXPECT_EQ(Again.Port().Port(), "COM7");
    EXPECT_EQ(Again.Port().BaudRate(), br57600);
    EXPECT_EQ(Again.Terminal().Emulation(), teVT52);
    EXPECT_TRUE(Again.Terminal().LocalEcho());
    EXPECT_EQ(Again.Terminal().Rows(), 30);
}

// The far end prints faster than the window draws: the session log gets every byte in order, and a
// request at the end of a long line is still answered.
TEST(TermWindow, AFloodReachesTheLogWholeAndTheLastRequestIsAnswered) {
    TToolkitQtHooks Hooks(false);
    TempDir Dir;
    PtyPair Pty;
    TTermOptions Options = OnPty(Pty, Dir);
    Options.LogFile = Dir.File("flood.log");
    TTermWindow Window(Options);
    Window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Window));
    ASSERT_TRUE(Window.Port().Connected()) << Window.StatusText().toStdString();

    std::string Stream;
    for (int I = 0; Stream.size() < (2u << 20); ++I)
        Stream += "line " + std::to_string(I) + " of the boot log, as a board prints it\r\n";
    Stream += std::string(1500, 'x') + "\x1b[6n";
    const auto LogSize = [&] {
        std::error_code E;
        const auto N = std::filesystem::file_size(Options.LogFile, E);
        return E ? 0 : static_cast<size_t>(N);
    };
    std::string Reply;
    {
        TPtyFlood Far(Pty.Master, Stream);
        ASSERT_TRUE(Within([&] { return LogSize() >= Stream.size(); }, 120000))
            << LogSize() << " of " << Stream.size();
        EXPECT_GT(Far.Full.load(), 0) << "the far end never had to wait: the test proves nothing";
        Within([&] {
            Reply += Pty.Receive(1, 0);
            return !Reply.empty() && Reply.back() == 'R';
        });
    }
    EXPECT_EQ(Reply.rfind("\x1b[", 0), 0u) << Reply;
    EXPECT_EQ(Reply.back(), 'R') << Reply;
    const std::string Log = Slurp(Options.LogFile);
    EXPECT_EQ(Log.size(), Stream.size());
    EXPECT_TRUE(Log == Stream) << "the log differs from what was sent";
}

// Line control and line ends from the menus and the status strip, as the device sees them.
TEST(TermWindow, LineControlAndLineEndsReachTheDevice) {
    TToolkitQtHooks Hooks(false);
    TempDir Dir;
    auto Device = TVirtualDevice::Create("COM13");
    TTermOptions Options;
    Options.Port = "COM13";
    Options.SettingsFile = Dir.File("term.ini");
    TTermWindow Window(Options);
    Window.show();
    ASSERT_TRUE(Window.Port().Connected()) << Window.StatusText().toStdString();
    auto Action = [&](const QString& Text) {
        for (QAction* A : Window.findChildren<QAction*>())
            if (A->text() == Text) return A;
        ADD_FAILURE() << Text.toStdString();
        return new QAction(&Window);
    };
    Action("&DTR")->trigger();
    Action("&RTS")->trigger();
    EXPECT_FALSE(Device->DTR());
    EXPECT_FALSE(Device->RTS());
    Action("&DTR")->trigger();
    EXPECT_TRUE(Device->DTR());
    Action("Send &break")->trigger();
    EXPECT_TRUE(Device->BreakOn());
    EXPECT_TRUE(Within([&] { return !Device->BreakOn(); }));

    auto* Baud = Window.findChild<QComboBox*>();
    ASSERT_TRUE(Baud);
    Baud->setCurrentText("57600");
    emit Baud->activated(Baud->currentIndex());
    EXPECT_EQ(Window.Port().BaudRate(), br57600);
    EXPECT_TRUE(Window.StatusText().contains("57600")) << Window.StatusText().toStdString();

    Action("Received LF also returns the carriage")->trigger();
    Action("LF")->trigger(); // Enter sends LF
    Device->Deliver("a\nb");
    // The LF also returned the carriage: "b" starts its row.
    ASSERT_TRUE(Within([&] {
        for (int R = 0; R + 1 < 24; ++R)
            if (Row(Window.Terminal(), R) == "a" && Row(Window.Terminal(), R + 1) == "b") return true;
        return false;
    }));
    Window.Terminal().setFocus();
    QTest::keyClick(&Window.Terminal(), Qt::Key_Return);
    ASSERT_TRUE(Device->WaitSent(1, 2000));
    EXPECT_EQ(Device->ReadSent(), "\n");
    TIniFile Ini(Options.SettingsFile);
    EXPECT_TRUE(Ini.ReadBool("Terminal", "LfReturns", false));
    EXPECT_EQ(Ini.ReadString("Terminal", "Enter", ""), "LF");
}

// A run with -p forces VT100 and no local echo for that run only; the saved choices stay, and
// Clear screen works without an emulation.
TEST(TermWindow, CommandLineLeavesTheSavedTerminalSettingsAlone) {
    TToolkitQtHooks Hooks(false);
    TempDir Dir;
    const std::string File = Dir.File("term.ini");
    {
        TIniFile Ini(File);
        Ini.WriteInteger("Terminal", "Emulation", teNone);
        Ini.WriteBool("Terminal", "LocalEcho", true);
    }
    PtyPair Pty;
    {
        TTermWindow Window(OnPty(Pty, Dir));
        EXPECT_EQ(Window.Terminal().Emulation(), teVT100orANSI);
        EXPECT_FALSE(Window.Terminal().LocalEcho());
        Window.SaveSettings();
    }
    TIniFile Ini(File);
    EXPECT_EQ(Ini.ReadInteger("Terminal", "Emulation", -1), teNone);
    EXPECT_TRUE(Ini.ReadBool("Terminal", "LocalEcho", false));

    TTermOptions Saved;
    Saved.SettingsFile = File;
    TTermWindow Window(Saved);
    ASSERT_EQ(Window.Terminal().Emulation(), teNone);
    Window.Terminal().WriteStr("text");
    for (QAction* A : Window.findChildren<QAction*>())
        if (A->text() == "&Clear screen") A->trigger();
    EXPECT_EQ(Row(Window.Terminal(), 0), "");
}

// A shown window on a pseudo-terminal, as a user runs it with -p and -b.
class TermOnPty : public testing::Test {
  protected:
    TToolkitQtHooks Hooks{false};
    TempDir Dir;
    PtyPair Pty;
    TTermWindow Window{OnPty(Pty, Dir)};
    void SetUp() override { Window.show(); }
};

// tolvane-term's key table: End and F1 send their sequences, Ctrl+Shift+C and V send nothing,
// Ctrl+C still sends ^C.
TEST_F(TermOnPty, ExtraKeysAndWindowShortcuts) {
    ASSERT_TRUE(Window.Port().Connected());
    Window.Terminal().setFocus();
    QTest::keyClick(&Window.Terminal(), Qt::Key_End);
    QTest::keyClick(&Window.Terminal(), Qt::Key_F1);
    QTest::keyClick(&Window.Terminal(), Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    QTest::keyClick(&Window.Terminal(), Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    QTest::keyClick(&Window.Terminal(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(Pty.Receive(8), "\x1b[4~\x1bOP\x03");
}

// Scrollback in tolvane-term: the wheel and Shift+Page Up look back, typing returns to the live
// screen.
TEST_F(TermOnPty, ScrollbackByWheelAndKeys) {
    ASSERT_TRUE(Window.Port().Connected());
    TComTerminal& T = Window.Terminal();
    std::string Lines;
    for (int N = 1; N <= 60; ++N)
        Lines += "row " + std::to_string(N) + "\r\n";
    Pty.Send(Lines);
    ASSERT_TRUE(Within([&] { return T.History().Count() == 60 - T.Rows() + 1; })) << T.History().Count();
    auto Top = [&] {
        std::string S;
        for (int X = 1; X <= 8; ++X)
            if (char C = T.ViewChar(X, 1).CharCode) S += C;
        return S;
    };
    QWheelEvent Up(QPointF(10, 10), QPointF(10, 10), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                   Qt::NoScrollPhase, false);
    QApplication::sendEvent(T.viewport(), &Up);
    EXPECT_EQ(T.ViewBack(), 3);
    T.setFocus();
    QTest::keyClick(&T, Qt::Key_PageUp, Qt::ShiftModifier);
    EXPECT_EQ(T.ViewBack(), 3 + T.Rows() - 1);
    QTest::keyClick(&T, Qt::Key_Home, Qt::ShiftModifier);
    EXPECT_EQ(Top(), "row 1");
    QTest::keyClick(&T, Qt::Key_A);
    EXPECT_EQ(T.ViewBack(), 0) << "typing returns to the live screen";
    EXPECT_EQ(Pty.Receive(1), "a");
}

// tolvane-term decodes UTF-8 by default: a sensor's "°C" shows as two cells.
TEST_F(TermOnPty, Utf8ByDefault) {
    Pty.Send("21.5\xc2\xb0"
             "C \xe2\x82\xac \xe4\xb8\xad");
    TComTerminal& T = Window.Terminal();
    ASSERT_TRUE(Within([&] { return T.Buffer().GetChar(10, 1).Code == 0x4e2d; }));
    EXPECT_EQ(T.Buffer().GetChar(5, 1).Code, 0xB0u);
    EXPECT_EQ(T.Buffer().GetChar(6, 1).CharCode, 'C');
    EXPECT_EQ(T.Buffer().GetChar(8, 1).Code, 0x20ACu);
}
