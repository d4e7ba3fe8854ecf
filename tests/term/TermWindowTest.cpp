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
#include <QCheckBox>
#include <QClipboard>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTimer>
#include <QComboBox>
#include <QWheelEvent>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
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
    // The far end prints "row 1" .. "row 60", each followed by Tail; true once all of it has
    // scrolled through (the rows above the caret's empty row are in the scrollback).
    bool SendRows(const std::string& Tail = {}) {
        std::string Lines;
        for (int N = 1; N <= 60; ++N)
            Lines += "row " + std::to_string(N) + Tail + "\r\n";
        Pty.Send(Lines);
        TComTerminal& T = Window.Terminal();
        return Within([&] { return T.History().Count() == 60 - T.Rows() + 1; });
    }
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
    ASSERT_TRUE(SendRows()) << T.History().Count();
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

namespace {

void Mouse(TComTerminal& T, QEvent::Type Type, Qt::MouseButton Button, QPoint At) {
    const Qt::MouseButtons Held =
        Type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(Button);
    QMouseEvent E(Type, QPointF(At), T.viewport()->mapToGlobal(QPointF(At)), Button, Held, Qt::NoModifier);
    QApplication::sendEvent(T.viewport(), &E);
}

// Waits for Count bytes at the far end while the window's event loop runs.
std::string ReceiveWithin(PtyPair& Pty, std::size_t Count, int Ms = 5000) {
    std::string Got;
    Within(
        [&] {
            Got += Pty.Receive(Count - Got.size(), 0);
            return Got.size() >= Count;
        },
        Ms);
    return Got;
}

// Pastes with Ctrl+Shift+V and answers the question that comes: Yes or No, and whether to stop
// asking. The window is active again afterwards, as the desktop makes it.
void PasteAnswering(TTermWindow& Window, bool Yes, bool DontAsk) {
    QTimer::singleShot(0, [=] {
        auto* Box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_TRUE(Box) << "no question was asked";
        Box->checkBox()->setChecked(DontAsk);
        Box->button(Yes ? QMessageBox::Yes : QMessageBox::No)->click();
    });
    QTest::keyClick(&Window.Terminal(), Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    Window.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&Window));
}

} // namespace

// Selecting with the mouse over the scrollback, copying, finding, and pasting to the far end as
// typed (CR line ends), asked first when the paste holds several lines.
TEST_F(TermOnPty, SelectCopyFindAndPaste) {
    ASSERT_TRUE(Window.Port().Connected());
    TComTerminal& T = Window.Terminal();
    ASSERT_TRUE(SendRows("   ")) << T.History().Count();
    T.ScrollView(2);
    // From the left half of row 1's second cell to the middle of row 2's fourth: the view shows
    // rows 60 - Rows and the one after it there.
    const int CW = T.CharWidth(), CH = T.CharHeight();
    Mouse(T, QEvent::MouseButtonPress, Qt::LeftButton, {CW + 1, CH / 2});
    Mouse(T, QEvent::MouseMove, Qt::LeftButton, {3 * CW + CW - 1, CH + CH / 2});
    Mouse(T, QEvent::MouseButtonRelease, Qt::LeftButton, {3 * CW + CW - 1, CH + CH / 2});
    const int First = 60 - T.Rows();
    EXPECT_EQ(T.SelectedText(), "ow " + std::to_string(First) + "\nrow");
    T.setFocus();
    QTest::keyClick(&T, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), "ow " + std::to_string(First) + "\nrow");
    // A double click takes the word, Ctrl+Shift+A everything.
    Mouse(T, QEvent::MouseButtonDblClick, Qt::LeftButton, {CW + 1, CH / 2});
    Mouse(T, QEvent::MouseButtonRelease, Qt::LeftButton, {CW + 1, CH / 2});
    EXPECT_EQ(T.SelectedText(), "row");
    QTest::keyClick(&T, Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
    QTest::keyClick(&T, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    std::string All;
    for (int N = 1; N <= 60; ++N)
        All += "row " + std::to_string(N) + (N < 60 ? "\n" : "");
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), All) << "trailing blanks left out";
    EXPECT_TRUE(Window.FindNext("ROW 7", false));
    EXPECT_EQ(T.SelectedText(), "row 7");
    EXPECT_GT(T.ViewBack(), 0) << "the match is shown";

    // A one-line paste goes at once, and one made while it runs follows it.
    QApplication::clipboard()->setText("status");
    QTest::keyClick(&T, Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    QTest::keyClick(&T, Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(ReceiveWithin(Pty, 12), "statusstatus");
    EXPECT_EQ(T.ViewBack(), 0) << "a paste returns to the live screen";
    QApplication::clipboard()->setText("echo 1\necho 2\n");
    PasteAnswering(Window, false, false);
    PasteAnswering(Window, true, true);
    EXPECT_EQ(ReceiveWithin(Pty, 14), "echo 1\recho 2\r") << "sent once: the first answer was No";
    EXPECT_FALSE(Window.ConfirmPaste());
    Window.SaveSettings();
    EXPECT_FALSE(TIniFile(Dir.File("term.ini")).ReadBool("Terminal", "ConfirmPaste", true));
    // A long paste goes whole from the sender's thread while the window goes on drawing.
    std::string Long;
    for (int N = 0; Long.size() < 100000; ++N)
        Long += "line " + std::to_string(N) + "\n";
    QApplication::clipboard()->setText(QString::fromStdString(Long));
    QTest::keyClick(&T, Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    const std::string Got = ReceiveWithin(Pty, Long.size(), 20000);
    std::replace(Long.begin(), Long.end(), '\n', '\r');
    EXPECT_TRUE(Got == Long) << Got.size() << " of " << Long.size();
    EXPECT_TRUE(Within([&] { return !Window.Sending(); }));
}

// The grid follows the window: a shorter window keeps the caret's row in view and sends the rows
// above it to the scrollback; the status strip shows the new size; the host's 132-column switch
// is ignored meanwhile.
TEST_F(TermOnPty, GridFollowsTheWindow) {
    TComTerminal& T = Window.Terminal();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Window));
    EXPECT_EQ(T.Columns(), T.viewport()->width() / T.CharWidth());
    EXPECT_EQ(T.Rows(), T.viewport()->height() / T.CharHeight());
    std::string Lines;
    for (int N = 1; N <= 40; ++N)
        Lines += "\r\nrow " + std::to_string(N);
    Pty.Send(Lines);
    ASSERT_TRUE(Within([&] { return Row(T, T.Rows()) == "row 40"; }));
    const int Before = T.History().Count(), Rows = T.Rows();
    Window.resize(Window.width() - 10 * T.CharWidth(), Window.height() - 6 * T.CharHeight());
    ASSERT_TRUE(Within([&] { return T.Rows() == Rows - 6; })) << T.Rows();
    EXPECT_EQ(T.Columns(), T.viewport()->width() / T.CharWidth());
    EXPECT_EQ(Row(T, T.Rows()), "row 40");
    EXPECT_EQ(T.CaretPos().Y, T.Rows());
    EXPECT_EQ(T.History().Count(), Before + 6);
    EXPECT_EQ(Window.statusBar()->currentMessage().toStdString(),
              std::to_string(T.Columns()) + " \u00d7 " + std::to_string(T.Rows()));
    const int Columns = T.Columns();
    Pty.Send("\x1b[?3hok");
    ASSERT_TRUE(Within([&] { return Row(T, T.Rows()) == "row 40ok"; }));
    EXPECT_EQ(T.Columns(), Columns);
    // The scroll bar covers the scrollback: at its top the view shows the oldest row.
    T.verticalScrollBar()->setValue(0);
    EXPECT_EQ(T.ViewBack(), T.History().Count());
    T.verticalScrollBar()->setValue(T.verticalScrollBar()->maximum());
    EXPECT_EQ(T.ViewBack(), 0);
}
