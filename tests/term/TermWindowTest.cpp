#include "comm/PtyFarEnd.h"
#include "cport/ComPort.h"
#include "cportui/CPortCtl.h"
#include "platform/profile/IniFiles.h"
#include "support/TempDir.h"
#include "platform/toolkit/qt/ToolkitQt.h"
#include "tools/term/TermWindow.h"
#include "term/TermTestUtil.h"

#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

// The terminal on a pseudo-terminal, as a user runs it with -p and -b.
TEST(TermWindow, TypedKeysAndFarEndOutputAndTheActivityLeds) {
    // Data handed over from the port's event thread runs in the Qt event loop, as in the program.
    TToolkitQtHooks Hooks(false);
    TempDir Dir;
    PtyPair Pty;
    TTermOptions Options;
    Options.Port = Pty.Path;
    Options.Baud = 115200;
    Options.SettingsFile = Dir.File("term.ini");
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
