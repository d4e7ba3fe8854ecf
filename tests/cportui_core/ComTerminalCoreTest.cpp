#include "cport/ComPort.h"
#include "cportui/core/ComTerminalCore.h"
#include "platform/comm/VirtualDevice.h"
#include "platform/toolkit/MessageTarget.h"

#include "cportui_core/ShowBytes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

const std::string E = "\x1b";
constexpr TColor Alt = 0xA6A6A6;

// The screen in short: rows joined by '|', an empty cell as '.', empty cells at a row's end and
// empty rows at the bottom left out.
std::string Screen(const TComTerminalCore& T) {
    std::vector<std::string> Rows;
    for (int Y = 1; Y <= T.Buffer().Rows(); ++Y) {
        std::string Row;
        for (int X = 1; X <= T.Buffer().Columns(); ++X) {
            char C = T.Buffer().GetChar(X, Y).CharCode;
            Row += C ? C : '.';
        }
        Row.erase(Row.find_last_not_of('.') + 1);
        Rows.push_back(Row);
    }
    while (!Rows.empty() && Rows.back().empty())
        Rows.pop_back();
    std::string S;
    for (std::size_t I = 0; I < Rows.size(); ++I)
        S += (I ? "|" : "") + Rows[I];
    return S;
}

// The cells written with anything but the font colour on the background, not underlined:
// "x,y:FB" with F and B each W (font colour), K (background) or A (AltColor), and u when underlined.
std::string Attrs(const TComTerminalCore& T) {
    auto Name = [](TColor C) { return C == clWhite ? 'W' : C == clBlack ? 'K' : C == Alt ? 'A' : '?'; };
    std::string S;
    for (int Y = 1; Y <= T.Buffer().Rows(); ++Y)
        for (int X = 1; X <= T.Buffer().Columns(); ++X) {
            TComTermChar C = T.Buffer().GetChar(X, Y);
            if (!C.CharCode || (C.ForeColor == clWhite && C.BackColor == clBlack && !C.Underlined)) continue;
            S += (S.empty() ? "" : " ") + std::to_string(X) + "," + std::to_string(Y) + ":" +
                 Name(C.ForeColor) + Name(C.BackColor) + (C.Underlined ? "u" : "");
        }
    return S;
}

std::string Caret(const TComTerminalCore& T) {
    return std::to_string(T.CaretPos().X) + "," + std::to_string(T.CaretPos().Y);
}

// A port on an in-process device, open without an event thread: what the terminal sends is read
// back from the device.
struct TLine {
    explicit TLine(const std::string& Name) : Dev(TVirtualDevice::Create(Name)), Port(nullptr) {
        Port.SetPort(Name);
        Port.SetEvents({});
        Port.Open();
    }
    // The bytes sent, once Count of them have left the port (they drain after the write returns).
    std::string Sent(std::size_t Count) {
        if (Count) {
            EXPECT_TRUE(Dev->WaitSent(Count, 2000)) << "fewer than " << Count << " bytes sent";
        }
        return Dev->ReadSent();
    }
    // Nothing else went out: called once at the end, so an unwanted reply shows up here at the latest.
    void ExpectQuiet() {
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(Dev->ReadSent(), "");
    }
    std::shared_ptr<TVirtualDevice> Dev;
    TComPort Port;
};

struct TScreenRow {
    std::string In;
    std::string Screen, Caret, Sent, Attrs;
    // Applied to a fresh terminal before the input (size, options); may be empty.
    std::function<void(TComTerminalCore&)> Setup = {};
    bool Connected = true;
};

// Each row is fed as received blocks (RxBuf), whole and cut at every byte into two, each time into a fresh
// terminal; the screen, caret, attributes and replies must come out the same.
void RunScreenTable(const std::vector<TScreenRow>& Rows) {
    TLine Line("COM13");
    TComPort Closed(nullptr);
    for (const TScreenRow& Row : Rows) {
        for (std::size_t Split = 0; Split <= Row.In.size(); ++Split) {
            TComTerminalCore T;
            if (Row.Setup) Row.Setup(T);
            T.SetComPort(Row.Connected ? static_cast<TCustomComPort*>(&Line.Port) : &Closed);
            T.RxBuf(nullptr, Row.In.data(), static_cast<int>(Split));
            T.RxBuf(nullptr, Row.In.data() + Split, static_cast<int>(Row.In.size() - Split));
            const std::string Where = "input " + Show(Row.In) + " cut at " + std::to_string(Split);
            ASSERT_EQ(Screen(T), Row.Screen) << Where;
            ASSERT_EQ(Caret(T), Row.Caret) << Where;
            ASSERT_EQ(Show(Line.Sent(Row.Sent.size())), Show(Row.Sent)) << Where;
            ASSERT_EQ(Attrs(T), Row.Attrs) << Where;
        }
    }
    Line.ExpectQuiet();
}

auto Size(int Columns, int Rows) {
    return [=](TComTerminalCore& T) { T.SetColumns(Columns), T.SetRows(Rows); };
}

} // namespace

TEST(ComTerminalCore, ReceivedTextAndEscapesOnTheScreen) {
    const std::string Full10 = "ABCDEFGHIJ", R = E + "[";
    const std::string Eighty(80, 'x');
    RunScreenTable({
        {"AB" + R + "2;5HC", "AB|....C", "6,2", "", ""},
        {"\r\n\r\nX" + R + "5A", "||X", "2,1", "", ""},
        {"\n\n" + R + "0A", "", "1,3", "", ""},
        // A count far outside the grid is clamped, never wrapped around.
        {R + "2147483647B" + R + "2147483647C" + R + "-2147483648A", "", "10,4", "", "", Size(10, 4)},
        {R + "5;99H" + R + "0;0f", "", "1,1", "", "", Size(10, 4)},
        // Without wrapping the last cell takes every further character.
        {Eighty + "yyyyY", std::string(79, 'x') + "Y", "80,1", "", ""},
        {Eighty + "Y", Eighty + "|Y", "2,2", "", "", [](TComTerminalCore& T) { T.SetWrapLines(true); }},
        {R + "?7h" + "\n\n\n" + Full10 + "Z", "|||" + Full10 + "|Z", "2,5", "", "", Size(10, 5)},
        {R + "?7h" + "\n\n\n" + Full10 + "Z", "||" + Full10 + "|Z", "2,4", "", "", Size(10, 4)},
        {R + "?7h" + R + "?7l" + Full10 + "Z", "ABCDEFGHIZ", "10,1", "", "",
         [](TComTerminalCore& T) { T.SetColumns(10), T.WriteStr("ABCDEFGHI"), T.MoveCaret(1, 1); }},
        // LF keeps the column; on the last row it scrolls.
        {"\n\nA\n\nB", "A||.B", "3,3", "", "", Size(10, 3)},
        {"\n\nA\r\nB", "|A|B", "2,3", "", "", Size(10, 3)},
        {"A\rB\fC\tD\bE", "B|.C......E", "10,2", "", ""},
        {"A\r\nB", "A||B", "2,3", "", "", [](TComTerminalCore& T) { T.SetAppendLF(true); }},
        {"A\rB", "A|B", "2,2", "", "", [](TComTerminalCore& T) { T.SetAppendLF(true); }},
        // 8-bit and other control bytes show nothing; with Force7Bit the high bit goes first.
        {"\xc8\x07\x7f\x01Q", "Q", "2,1", "", ""},
        {"\xc1\xc2\x8d\x8aZ", "AB|Z", "2,2", "", "", [](TComTerminalCore& T) { T.SetForce7Bit(true); }},
        {"\xc1\x8d\xc2", "A|B", "2,2", "", "",
         [](TComTerminalCore& T) { T.SetForce7Bit(true), T.SetAppendLF(true); }},
        // Tabs: every eighth column to 73, none after; set and clear at the caret.
        {"\tA\tB", "........A.......B", "18,1", "", ""},
        {R + "1;73H\tX", std::string(72, '.') + "X", "74,1", "", ""},
        {R + "1;75H\tX", std::string(74, '.') + "X", "76,1", "", ""},
        {R + "1;5H" + E + "H\r\tX" + R + "1;5H" + R + "g\r\tY", "....X...Y", "10,1", "", ""},
        {R + "3g\tX", "X", "2,1", "", ""},
        // Erasing.
        {"ABCDEF" + R + "1;3H" + R + "K", "AB", "3,1", "", ""},
        {"ABCDEF" + R + "1;3H" + R + "2K", "", "1,1", "", ""},
        {"AB\r\nCD\r\nEF" + R + "2;2H" + R + "J", "AB|C", "2,2", "", ""},
        {"AB\r\nCD" + R + "2J", "", "1,1", "", ""},
        {"AB\r\nCD" + R + "1J", "AB|CD", "3,2", "", ""},
        // Reverse line feed scrolls down at the top (VT52 ESC I).
        {"A" + E + "IB", ".B|A", "3,1", "", "", [](TComTerminalCore& T) { T.SetEmulation(teVT52); }},
        {"A\r\nB" + E + "I" + E + "IC", ".C|A|B", "3,1", "", "",
         [](TComTerminalCore& T) { T.SetEmulation(teVT52); }},
        {"A" + E + "Y" + "\x22\x24" + "B", "A||....B", "6,3", "", "",
         [](TComTerminalCore& T) { T.SetEmulation(teVT52); }},
        // Attributes: bright is AltColor, inverse swaps, underline marks; ESC c only resets them.
        {R + "1;7mX" + R + "0mY", "XY", "3,1", "", "1,1:AW"},
        {R + "7mX" + R + "4mY" + R + "27;1mZ" + R + "21;24mW", "XYZW", "5,1", "", "1,1:KW 2,1:KWu 3,1:AKu"},
        {"AB" + R + "4m" + E + "cC", "ABC", "4,1", "", ""},
        {R + "7;?;99m" + "X", "X", "2,1", "", "1,1:AW"},
        // Save and restore: caret with attributes (ESC 7/8) or the caret alone.
        {R + "2;3H" + R + "7m" + E + "7" + R + "0m" + R + "H" + E + "8X", "|..X", "4,2", "", "3,2:KW"},
        {R + "2;3H" + R + "s" + R + "7m" + R + "H" + R + "uX", "|..X", "4,2", "", "3,2:KW"},
        {R + "3;3H" + R + "uX", "X", "2,1", "", ""},
        // The screen test fills the grid and leaves the caret.
        {R + "2;2H" + E + "#8", "EEE|EEE", "2,2", "", "", Size(3, 2)},
        // Replies: identification, status and caret position; only while connected.
        {R + "3;7H" + R + "6n", "", "7,3", E + "[3;7R", ""},
        {R + "3;7H" + R + "6n" + R + "c" + R + "5n", "", "7,3", "", "", nullptr, false},
        {R + "c" + R + "0c" + R + "5n", "", "1,1", E + "[?1;2c" + E + "[?1;2c" + E + "[0n", ""},
        {E + "Z", "", "1,1", E + "/Z", "", [](TComTerminalCore& T) { T.SetEmulation(teVT52); }},
        // Unknown sequences draw nothing.
        {R + "1JA" + E + "#3" + E + "Ox", "A", "2,1", "", ""},
        // Without a parser an ESC shows nothing and the rest is text.
        {R + "2J", "[2J", "4,1", "", "", [](TComTerminalCore& T) { T.SetEmulation(teNone); }},
        // Application cursor codes move the caret like their normal counterparts.
        {R + "3;3H" + E + "OA" + E + "OD" + E + "OB" + E + "OB" + E + "OC" + E + "OC", "", "4,4", "", ""},
        // Switching to 132 columns and back empties the screen.
        {"AB" + R + "?3h" + R + "1;132HC", std::string(131, '.') + "C", "132,1", "", ""},
        {"AB" + R + "?3h" + R + "1;132H" + R + "?3lC", std::string(79, '.') + "C", "80,1", "", ""},
    });
}

TEST(ComTerminalCore, EventsSeeEveryCharacterAndEveryUnappliedCode) {
    TComTerminalCore T;
    std::string Chars, Codes;
    T.SetOnChar([&](TObject*, char Ch) { Chars += Ch; });
    T.SetOnUnhandledCode([&](TObject*, TEscapeCode Code, const std::string& Data) {
        Codes += EscapeCodeName(Code) + ":" + Show(Data) + " ";
    });
    T.SetOnStrRecieved([](TObject*, std::string& Str) {
        if (Str == "drop") Str = "k";
    });
    T.StringReceived("a\x07\xc8" + E + "[1J" + E + "[?1;2c" + E + "[0n");
    T.StringReceived("drop");
    EXPECT_EQ(Show(Chars), "a\\x07\\xc8k");
    EXPECT_EQ(Codes, "ecUnknown:[1J ecIdentResponse:[?1;2c ecReportDeviceOK:[0n ");
    EXPECT_EQ(Screen(T), "ak");
}

TEST(ComTerminalCore, ParserChoiceAndTheHandlersParser) {
    TComTerminalCore T;
    ASSERT_NE(dynamic_cast<TEscapeCodesVT100*>(T.EscapeCodes()), nullptr)
        << "a terminal made in code parses VT100";
    EXPECT_EQ(Screen(T), "");
    T.SetEmulation(teVT52);
    EXPECT_NE(dynamic_cast<TEscapeCodesVT52*>(T.EscapeCodes()), nullptr);
    T.SetEmulation(teNone);
    EXPECT_EQ(T.EscapeCodes(), nullptr);
    // Without a parser codes are neither applied nor sent.
    T.WriteEscCode(ecTest);
    EXPECT_EQ(Screen(T), "");
    T.SetOnGetEscapeCodes(
        [](TObject*, std::unique_ptr<TEscapeCodes>& P) { P = std::make_unique<TEscapeCodesVT52>(); });
    T.SetEmulation(teVT100orANSI);
    T.SetEmulation(teNone);
    ASSERT_NE(dynamic_cast<TEscapeCodesVT52*>(T.EscapeCodes()), nullptr);
    T.StringReceived(E + "Y" + "\x21\x23" + "X");
    EXPECT_EQ(Screen(T), "|...X");
    // Codes applied without a list use one of their own.
    T.SetEmulation(teVT100orANSI);
    T.StringReceived(E + "[7m");
    T.WriteEscCode(ecReset);
    T.WriteEscCode(ecQueryCursorPos);
    T.WriteEscCode(ecIdentify);
    EXPECT_EQ(T.Attributes(), TTermAttributes{});
    // A handler that replaces the parser in the middle of a received string.
    T.SetOnUnhandledCode([&](TObject*, TEscapeCode, const std::string&) { T.SetEmulation(teVT52); });
    T.StringReceived(E + "[1J" + E + "HZ");
    EXPECT_EQ(Caret(T), "2,1");
}

TEST(ComTerminalCore, DimensionsClampAndKeepTheCaretInsideTheGrid) {
    struct TRow {
        int Columns, Rows;
        int WantColumns, WantRows;
    } Rows[] = {{1, 0, 2, 2}, {500, 1000, 256, 100}, {-7, 2, 2, 2}, {2147483647, 50, 256, 50}};
    for (const TRow& R : Rows) {
        TComTerminalCore T;
        T.StringReceived(E + "[24;80H" + E + "[s" + E + "7");
        T.SetColumns(R.Columns);
        T.SetRows(R.Rows);
        EXPECT_EQ(T.Columns(), R.WantColumns);
        EXPECT_EQ(T.Rows(), R.WantRows);
        EXPECT_EQ(T.Buffer().Columns(), R.WantColumns);
        EXPECT_EQ(T.Buffer().Rows(), R.WantRows);
        const int CX = std::min(80, R.WantColumns), CY = std::min(24, R.WantRows);
        EXPECT_EQ(T.CaretPos(), (TPoint{CX, CY}));
        EXPECT_EQ(T.SavedCaretPos(), (TPoint{CX, CY}));
        // Writing at the clamped caret and restoring the saved one stays inside the cells.
        T.StringReceived("xyz" + E + "[u" + E + "8w\n\n\n" + E + "M");
        EXPECT_LE(T.CaretPos().X, T.Columns());
        EXPECT_LE(T.CaretPos().Y, T.Rows());
    }
}

TEST(ComTerminalCore, KeysPerEmulationAndMode) {
    struct TRow {
        TTermEmulation Emulation;
        std::string Mode; // received before the key
        TArrowKeys Arrows;
        uint16_t Key;
        std::string Sent, Caret; // caret starts at (5, 5)
    } Rows[] = {
        {teVT100orANSI, "", akTerminal, VK_HOME, "\x1b[H", "5,5"},
        {teVT100orANSI, "", akTerminal, VK_LEFT, "\x1b[D", "5,5"},
        {teVT100orANSI, "", akTerminal, VK_UP, "\x1b[A", "5,5"},
        {teVT100orANSI, "", akTerminal, VK_RIGHT, "\x1b[C", "5,5"},
        {teVT100orANSI, "", akTerminal, VK_DOWN, "\x1b[B", "5,5"},
        {teVT100orANSI, "", akTerminal, 0x41, "", "5,5"},
        {teVT100orANSI, "\x1b[?1h", akTerminal, VK_UP, "\x1bOA", "5,5"},
        {teVT100orANSI, "\x1b[?1h", akTerminal, VK_LEFT, "\x1bOD", "5,5"},
        {teVT100orANSI, "\x1b[?1h", akWindows, VK_RIGHT, "\x1bOC", "5,5"},
        {teVT100orANSI, "\x1b[?1h", akTerminal, VK_DOWN, "\x1bOB", "5,5"},
        {teVT100orANSI, "\x1b[?1h", akTerminal, VK_HOME, "", "5,5"},
        {teVT100orANSI, "\x1b[?1h\x1b[?1l", akTerminal, VK_UP, "\x1b[A", "5,5"},
        {teVT100orANSI, "", akWindows, VK_HOME, "", "1,1"},
        {teVT100orANSI, "", akWindows, VK_LEFT, "", "4,5"},
        {teVT100orANSI, "", akWindows, VK_UP, "", "5,4"},
        {teVT100orANSI, "", akWindows, VK_RIGHT, "", "6,5"},
        {teVT100orANSI, "", akWindows, VK_DOWN, "", "5,6"},
        {teVT52, "", akTerminal, VK_HOME,
         "\x1b"
         "H",
         "5,5"},
        {teVT52, "", akTerminal, VK_LEFT,
         "\x1b"
         "D",
         "5,5"},
        {teVT52, "", akTerminal, VK_UP,
         "\x1b"
         "A",
         "5,5"},
        {teVT52, "", akTerminal, VK_RIGHT,
         "\x1b"
         "C",
         "5,5"},
        {teVT52, "", akTerminal, VK_DOWN,
         "\x1b"
         "B",
         "5,5"},
        {teNone, "", akTerminal, VK_UP, "", "5,5"},
    };
    TLine Line("COM14");
    for (const TRow& R : Rows) {
        TComTerminalCore T;
        T.SetComPort(&Line.Port);
        T.StringReceived(R.Mode);
        T.SetEmulation(R.Emulation);
        T.SetArrowKeys(R.Arrows);
        T.MoveCaret(5, 5);
        T.KeyDown(R.Key);
        EXPECT_EQ(Show(Line.Sent(R.Sent.size())), Show(R.Sent))
            << R.Emulation << " " << Show(R.Mode) << " key " << R.Key;
        EXPECT_EQ(Caret(T), R.Caret) << R.Emulation << " " << Show(R.Mode) << " key " << R.Key;
    }
    // VT52 has no application-mode sequences: the key sends nothing at all.
    TComTerminalCore T;
    T.SetComPort(&Line.Port);
    T.StringReceived(E + "[?1h");
    T.SetEmulation(teVT52);
    T.SetLocalEcho(true);
    T.MoveCaret(3, 3);
    T.KeyDown(VK_UP);
    Line.ExpectQuiet();
    EXPECT_EQ(Caret(T), "3,2") << "the echoed code moves the caret";
}

TEST(ComTerminalCore, SendingWithEchoAndLineFeedsOnlyWhileConnected) {
    TLine Line("COM15");
    TComTerminalCore T;
    T.SetLocalEcho(true);
    T.SetSendLF(true);
    T.KeyPress('a'); // no port
    EXPECT_EQ(Screen(T), "");
    TComPort Closed(nullptr);
    T.SetComPort(&Closed);
    EXPECT_FALSE(T.Connected());
    T.KeyPress('a');
    T.SendCode(ecCursorDown);
    EXPECT_EQ(Caret(T), "1,1");
    T.SetComPort(&Line.Port);
    EXPECT_TRUE(T.Connected());
    T.KeyPress('h');
    T.KeyPress('\r');
    T.KeyPress('i');
    EXPECT_EQ(Line.Sent(4), "h\r\ni");
    EXPECT_EQ(Screen(T), "h|i");
    EXPECT_EQ(Caret(T), "2,2");
    TEscapeParams Move{"4", "6"};
    T.SendCode(ecCursorMove, &Move);
    EXPECT_EQ(Line.Sent(6), "\x1b[4;6f");
    EXPECT_EQ(Caret(T), "6,4");
    // Writing Connected goes to the port; without a port it does nothing.
    T.SetConnected(false);
    EXPECT_FALSE(Line.Port.Connected());
    T.SetComPort(nullptr);
    T.SetConnected(true);
    EXPECT_FALSE(T.Connected());
}

namespace {

// Records what the terminal asks of its window; the cell is 8 x 16 pixels, the client area holds
// the grid exactly unless a row says otherwise.
class TRecordingView : public TComTerminalView {
  public:
    bool FDoubleBuffered = false;
    int FClientWidth = 80, FClientHeight = 64; // 10 x 4 cells
    std::string Calls;

    bool ViewLoading() const override { return false; }
    bool ViewDesigning() const override { return false; }
    int ViewClientWidth() const override { return FClientWidth; }
    int ViewClientHeight() const override { return FClientHeight; }
    bool ViewDoubleBuffered() const override { return FDoubleBuffered; }
    void ViewInvalidate(const TRect& R) override { Add("paint " + Corners(R)); }
    void ViewScroll(int DX, int DY, const TRect& R) override {
        Add("scroll " + std::to_string(DX) + "," + std::to_string(DY) + " in " + Corners(R));
    }
    void ViewHideCaret() override { Add("hide"); }
    void ViewShowCaret() override { Add("show"); }
    void ViewCaretMoved() override { Add("caret"); }
    void ViewCaretShapeChanged() override { Add("shape"); }
    void ViewGridChanged() override { Add("grid"); }
    void ViewPortChanging(TCustomComPort*, TCustomComPort*) override { Add("port"); }

  private:
    static std::string Corners(const TRect& R) {
        return std::to_string(R.Left) + "," + std::to_string(R.Top) + "-" + std::to_string(R.Right) + "," +
               std::to_string(R.Bottom);
    }
    void Add(const std::string& Call) { Calls += (Calls.empty() ? "" : "; ") + Call; }
};

} // namespace

// A received block reaches the window as one pixel scroll and one repaint, whatever it held.
TEST(ComTerminalCore, OutputReachesTheWindowOncePerBlock) {
    struct TRow {
        std::string In;
        bool DoubleBuffered;
        std::string Calls;
    } Rows[] = {
        {"A", false, "hide; paint 0,0-8,16; caret; show"},
        {"AB\r\nC", false, "hide; paint 0,0-16,32; caret; show"},
        // Written, then moved up with the grid: the old and the new place are repainted.
        {"\x1b[4;1HAB\n", false, "hide; scroll 0,-16 in 0,0-80,64; paint 0,32-80,64; caret; show"},
        {"\x1b[4;1H\n\nX", false, "hide; scroll 0,-32 in 0,0-80,64; paint 0,32-80,64; caret; show"},
        // Moves that add up to the whole grid repaint it instead of moving anything.
        {"\x1b[4;1H\n\n\n\nX", false, "hide; paint 0,0-80,64; caret; show"},
        {"\x1b[4;1H\nX", true, "hide; paint 0,0-80,64; caret; show"},
        {"\x1b[2;3H\x1b[K", false, "hide; paint 16,16-80,32; caret; show"},
        {"\x1b[2;3H\x1b[J", true, "hide; paint 0,0-80,64; caret; show"},
        {"\x1bM", false, "hide; caret; show"},
    };
    for (const TRow& R : Rows) {
        TRecordingView View;
        View.FDoubleBuffered = R.DoubleBuffered;
        TComTerminalCore T(nullptr, &View);
        T.SetColumns(10);
        T.SetRows(4);
        View.Calls.clear();
        T.StringReceived(R.In);
        EXPECT_EQ(View.Calls, R.Calls) << Show(R.In);
    }
    // Outside a batch each change goes to the window at once.
    TRecordingView View;
    TComTerminalCore T(nullptr, &View);
    T.SetColumns(10);
    T.SetRows(4);
    View.Calls.clear();
    T.PutChar('x');
    T.SetCaret(tcUnderline);
    EXPECT_EQ(View.Calls, "paint 0,0-8,16; caret; shape");
}

TEST(ComTerminalCore, DisplayArithmetic) {
    TComTerminalCore T;
    T.SetCharSize(8, 16);
    T.SetTopLeft({3, 2});
    EXPECT_EQ(T.PortionPixels(Rect(3, 2, 3, 2)), Rect(0, 0, 8, 16));
    EXPECT_EQ(T.PortionPixels(Rect(1, 1, 80, 24)), Rect(0, 0, 624, 368));
    // The paint range never reaches past the grid, whatever the clip and origin.
    EXPECT_EQ(T.ViewCellsInClip(Rect(0, 0, 100000, 100000)), Rect(1, 1, 78, 23));
    EXPECT_EQ(T.ViewCellsInClip(Rect(9, 17, 16, 32)), Rect(2, 2, 2, 2));
    T.SetTopLeft({500, 500});
    EXPECT_EQ(T.TopLeft(), (TPoint{80, 24}));
    EXPECT_EQ(T.ViewCellsInClip(Rect(0, 0, 1000, 1000)), Rect(1, 1, 1, 1));
    T.SetTopLeft({1, 1});
    T.MoveCaret(3, 2);
    EXPECT_EQ(T.CaretHeight(), 16);
    EXPECT_EQ(T.CaretPixelPos(), (TPoint{16, 16}));
    T.SetCaret(tcUnderline);
    EXPECT_EQ(T.CaretHeight(), 2);
    EXPECT_EQ(T.CaretPixelPos(), (TPoint{16, 30}));
    T.SetCaret(tcNone);
    EXPECT_EQ(T.CaretHeight(), 0);
    // A font without size still gives a cell of one pixel.
    T.SetCharSize(0, -3);
    EXPECT_EQ(T.CharWidth(), 1);
    EXPECT_EQ(T.CharHeight(), 1);
    EXPECT_EQ(T.ViewCellsInClip(Rect(0, 0, 5, 5)), Rect(1, 1, 5, 5));
}

// A port that delivers on its event thread (smNone): the blocks reach the terminal on this thread,
// complete and in order, and nothing is touched after the terminal is gone.
TEST(ComTerminalCore, BlocksFromTheEventThreadArriveInOrderOnTheTerminalsThread) {
    auto Dev = TVirtualDevice::Create("COM16");
    TComPort Port(nullptr);
    Port.SetPort("COM16");
    Port.SetSyncMethod(smNone);
    Port.Open();
    const std::thread::id Me = std::this_thread::get_id();
    std::string Got;
    bool Elsewhere = false;
    {
        TComTerminalCore T;
        T.SetColumns(256);
        T.SetWrapLines(true);
        T.SetOnChar([&](TObject*, char Ch) {
            Elsewhere = Elsewhere || std::this_thread::get_id() != Me;
            Got += Ch;
        });
        T.SetComPort(&Port);
        std::string Want;
        for (int I = 0; I < 200; ++I) {
            std::string Part = std::to_string(I) + ",";
            Want += Part;
            Dev->Deliver(Part);
        }
        const auto Deadline = std::chrono::steady_clock::now() + 10s;
        while (Got.size() < Want.size() && std::chrono::steady_clock::now() < Deadline)
            WaitForMessages(5ms);
        EXPECT_EQ(Got, Want);
        EXPECT_FALSE(Elsewhere);
        // More data queued for a terminal that goes away is dropped with it.
        Dev->Deliver("late");
        std::this_thread::sleep_for(20ms);
    }
    const std::string Before = Got;
    ProcessMessages();
    EXPECT_EQ(Got, Before);
    Port.Close();
}

// Blocks still waiting from a port the terminal has let go of never show after it follows another.
TEST(ComTerminalCore, BlocksQueuedFromTheOldPortAreDroppedWhenItFollowsAnother) {
    auto DevA = TVirtualDevice::Create("COM14"), DevB = TVirtualDevice::Create("COM15");
    TComPort A(nullptr), B(nullptr);
    A.SetPort("COM14");
    B.SetPort("COM15");
    for (TComPort* P : {&A, &B}) {
        P->SetSyncMethod(smNone);
        P->Open();
    }
    std::string Got;
    TComTerminalCore T;
    T.SetOnChar([&](TObject*, char Ch) { Got += Ch; });
    T.SetComPort(&A);
    DevA->Deliver("old");
    const auto Deadline = std::chrono::steady_clock::now() + 5s;
    while (A.InputCount() > 0 && std::chrono::steady_clock::now() < Deadline)
        std::this_thread::sleep_for(1ms);
    T.SetComPort(&B);
    DevB->Deliver("new");
    while (Got.size() < 3 && std::chrono::steady_clock::now() < Deadline)
        WaitForMessages(5ms);
    ProcessMessages();
    EXPECT_EQ(Got, "new");
    T.SetComPort(nullptr);
}

// Scrollback on the 80x24 and 132x100 grids: rows leave the top into the history (bounded), a view
// that looks back stays on its rows while output goes on, escape codes keep to the live grid.
TEST(ComTerminalCore, ScrollbackKeepsRowsAndTheViewStaysPut) {
    for (auto [Columns, Rows] : {std::pair{80, 24}, std::pair{132, 100}}) {
        SCOPED_TRACE(Columns);
        TComTerminalCore T;
        T.SetColumns(Columns);
        T.SetRows(Rows);
        T.SetScrollbackRows(50);
        auto Line = [](int N) { return "line " + std::to_string(N); };
        auto Text = [&](int Y) {
            std::string S;
            for (int X = 1; X <= Columns; ++X)
                if (char C = T.ViewChar(X, Y).CharCode) S += C;
            return S;
        };
        for (int N = 1; N <= Rows + 9; ++N)
            T.WriteStr(Line(N) + "\r\n");
        // Rows + 9 lines and the empty caret row: ten rows left the top.
        ASSERT_EQ(T.History().Count(), 10);
        EXPECT_EQ(Text(1), Line(11));
        T.ScrollView(3);
        EXPECT_EQ(Text(1), Line(8));
        T.WriteStr("more\r\n");
        EXPECT_EQ(Text(1), Line(8)) << "output does not move a view that looks back";
        EXPECT_EQ(T.ViewBack(), 4);
        T.StringReceived(E + "[1;1HX");
        EXPECT_EQ(T.Buffer().GetChar(1, 1).CharCode, 'X') << "escape codes address the live grid";
        EXPECT_EQ(Text(1), Line(8));
        T.ScrollView(1000);
        EXPECT_EQ(T.ViewBack(), 11);
        EXPECT_EQ(Text(1), Line(1));
        for (int N = 0; N < Rows + 60; ++N) // the caret is on row 1 after the escape code
            T.WriteStr("x\r\n");
        EXPECT_EQ(T.History().Count(), 50) << "bounded";
        EXPECT_LE(T.ViewBack(), 50);
        T.ViewLive();
        EXPECT_EQ(T.ViewChar(1, 1).CharCode, T.Buffer().GetChar(1, 1).CharCode);
    }
}
