#include "cportui/core/ComTerminalCore.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string LineText(int N) {
    return "line " + std::to_string(N);
}

// The text of a line as copied, without its line end.
std::string Text(const TComTerminalCore& T, int64_t Line) {
    return LinesText(T, {Line, 1}, {Line, T.LineWidth(Line) + 1});
}

std::string GridRow(const TComTerminalCore& T, int Y) {
    return Text(T, T.EndLine() - T.Buffer().Rows() + Y - 1);
}

} // namespace

// A selection covers rows in the scrollback and on the grid, keeps its text while output pushes
// those rows further back, and keeps what is left when the oldest rows are dropped.
TEST(ComTermText, SelectionAcrossTheScrollbackToUtf8Text) {
    for (auto [Columns, Rows] : {std::pair{80, 24}, std::pair{132, 100}}) {
        SCOPED_TRACE(Columns);
        TComTerminalCore T;
        T.SetUtf8(true);
        T.SetColumns(Columns);
        T.SetRows(Rows);
        T.SetScrollbackRows(Rows + 20);
        for (int N = 1; N <= Rows + 9; ++N)
            T.WriteStr(LineText(N) +
                       (N == 3 ? " 21\xC2\xB0"
                                 "C \xF0\x9F\x98\x80   "
                               : "   ") +
                       "\r\n");
        // Rows + 9 lines and the caret's row: ten lines went into the scrollback.
        ASSERT_EQ(T.History().Count(), 10);
        const int64_t First = T.FirstLine();
        // From "ne 3" in the scrollback to "li" of the grid's second row (line 12).
        T.SelectBegin({First + 2, 3}, false, suChar);
        T.SelectExtend({First + 11, 2}, true);
        const std::string Want = "ne 3 21\xC2\xB0"
                                 "C \xF0\x9F\x98\x80\n" +
                                 [] {
                                     std::string S;
                                     for (int N = 4; N <= 11; ++N)
                                         S += LineText(N) + "\n";
                                     return S;
                                 }() +
                                 "li";
        EXPECT_EQ(T.SelectedText(), Want);
        for (int N = 0; N < 5; ++N)
            T.WriteStr("more\r\n");
        EXPECT_EQ(T.SelectedText(), Want) << "the selection stays on its text";
        // Dragging back above the anchor selects from there to the anchor.
        T.SelectExtend({First + 1, 6}, false);
        EXPECT_EQ(T.SelectedText(), "2\nli");
        T.SelectBegin({First + 2, 2}, false, suWord);
        EXPECT_EQ(T.SelectedText(), "line");
        T.SelectExtend({First + 2, 10}, false);
        EXPECT_EQ(T.SelectedText(), "line 3 21\xC2\xB0"
                                    "C");
        T.SelectBegin({First + 4, 9}, false, suLine);
        EXPECT_EQ(T.SelectedText(), LineText(5) + "\n");
        T.SelectAll();
        const std::string All = T.SelectedText();
        EXPECT_EQ(All.substr(0, 7), LineText(1) + "\n");
        EXPECT_EQ(All.substr(All.size() - 5), "\nmore") << "no empty rows after the last text";
        // The scrollback drops its oldest rows: the selection keeps the part still held.
        T.SelectBegin({First + 2, 1}, false, suChar);
        T.SelectExtend({First + 4, 1}, false);
        for (int N = 0; N < Rows + 8; ++N) // the scrollback holds Rows + 20: three lines go
            T.WriteStr("x\r\n");
        ASSERT_EQ(T.FirstLine(), First + 3);
        EXPECT_EQ(T.SelectedText(), LineText(4) + "\n");
        for (int N = 0; N < 2; ++N)
            T.WriteStr("x\r\n");
        EXPECT_TRUE(T.Selection().Empty());
    }
}

// The grid follows the window: rows above the caret go to the scrollback as it gets shorter, the
// text is cut or padded, and the host's column switch waits until the grid stops following.
TEST(ComTermText, FitGridKeepsTheTextAndTheCaretsRow) {
    TComTerminalCore T;
    T.SetScrollbackRows(100);
    T.SetFitToWindow(true);
    for (int N = 1; N <= 30; ++N)
        T.WriteStr((N > 1 ? "\r\n" : "") + LineText(N) + " " + std::string(60, '=') + "|");
    ASSERT_EQ(T.CaretPos(), (TPoint{70, 24}));
    ASSERT_EQ(T.History().Count(), 6);
    const int64_t Line29 = T.EndLine() - 2;
    T.SelectBegin({Line29, 1}, false, suLine);
    T.FitGrid(40, 10);
    EXPECT_EQ(T.Columns(), 40);
    EXPECT_EQ(T.Rows(), 10);
    EXPECT_EQ(T.History().Count(), 20);
    EXPECT_EQ(T.CaretPos(), (TPoint{40, 10}));
    EXPECT_EQ(GridRow(T, 10), LineText(30) + " " + std::string(32, '='));
    EXPECT_EQ(Text(T, T.FirstLine() + 19), LineText(20) + " " + std::string(60, '=') + "|")
        << "a row pushed back keeps its whole width";
    EXPECT_EQ(T.SelectedText(), LineText(29) + " " + std::string(32, '=') + "\n") << "line numbers stay";
    T.FitGrid(100, 12);
    EXPECT_EQ(GridRow(T, 10), LineText(30) + " " + std::string(32, '='));
    EXPECT_EQ(GridRow(T, 12), "");
    EXPECT_EQ(T.CaretPos(), (TPoint{40, 10}));
    T.StringReceived("\x1b[?3h");
    EXPECT_EQ(T.Columns(), 100) << "ignored while following the window";
    T.SetFitToWindow(false);
    T.StringReceived("\x1b[?3l");
    EXPECT_EQ(T.Columns(), 80);
    EXPECT_EQ(GridRow(T, 10), "") << "the setters still rebuild an empty grid";
}

// Find goes through the scrollback and the grid, forward and back, round the ends once.
TEST(ComTermText, FindSelectsTheNextMatchAndShowsIt) {
    TComTerminalCore T;
    T.SetScrollbackRows(100);
    for (int N = 1; N <= 60; ++N)
        T.WriteStr(LineText(N) + (N % 20 == 5 ? " Error: ERROR error" : "") + "\r\n");
    ASSERT_GT(T.History().Count(), 30);
    const auto At = [&] {
        const TTermTextPos P = T.Selection().From();
        return std::to_string(P.Line - T.FirstLine() + 1) + ":" + std::to_string(P.X);
    };
    // From the top of the live view (line 38) forward: line 45, then round to line 5.
    ASSERT_TRUE(T.Find(U"error", false, false));
    EXPECT_EQ(At(), "45:9");
    EXPECT_EQ(T.ViewBack(), 0) << "the live grid shows line 45";
    EXPECT_EQ(T.SelectedText(), "Error");
    ASSERT_TRUE(T.Find(U"error", false, false));
    EXPECT_EQ(At(), "45:16");
    ASSERT_TRUE(T.Find(U"error", false, true));
    EXPECT_EQ(At(), "45:22") << "matching case";
    ASSERT_TRUE(T.Find(U"error", false, true));
    EXPECT_EQ(At(), "5:21") << "round the end";
    EXPECT_GT(T.ViewBack(), 0) << "the view moved back to show it";
    EXPECT_EQ(T.ViewLine(1) <= T.Selection().From().Line &&
                  T.Selection().From().Line < T.ViewLine(T.Rows() + 1),
              true);
    ASSERT_TRUE(T.Find(U"ERROR", true, true));
    EXPECT_EQ(At(), "5:15");
    ASSERT_TRUE(T.Find(U"ERROR", true, true));
    EXPECT_EQ(At(), "45:16") << "backwards round the start";
    EXPECT_EQ(LineMatches(T, T.Selection().From().Line, U"error", false), (std::vector<int>{9, 16, 22}));
    EXPECT_FALSE(T.Find(U"warning", false, false));
    EXPECT_EQ(T.Highlight(), U"warning");
}

// Pasted text is sent as typing it would: each line end, whatever its form, as Enter.
TEST(ComTermText, PastedTextAsTyped) {
    const struct {
        std::string In;
        bool SendLF;
        TEnterSends Enter;
        std::string Out;
    } Rows[] = {
        {"ls -l\n", false, esAsTyped, "ls -l\r"},
        {"a\r\nb\rc\nd", false, esAsTyped, "a\rb\rc\rd"},
        {"a\n\nb", true, esAsTyped, "a\r\n\r\nb"},
        {"a\r\nb", false, esLF, "a\nb"},
        {"x\ty \xC2\xB0"
         "C\n",
         false, esCRLF,
         "x\ty \xC2\xB0"
         "C\r\n"},
    };
    for (const auto& R : Rows) {
        TComTerminalCore T;
        T.SetSendLF(R.SendLF);
        TLineMaps M;
        M.Enter = R.Enter;
        T.SetLineMaps(M);
        EXPECT_EQ(T.TypedText(R.In), R.Out) << R.In;
    }
}

// Each row keeps the time it was first written, into the scrollback too; an erased row starts again.
TEST(ComTermText, RowsKeepTheTimeTheyWereFirstWritten) {
    TComTerminalCore T;
    T.SetRows(3);
    T.SetScrollbackRows(10);
    T.SetTimestamps(true);
    int64_t Now = 1000;
    T.SetTimestampClock([&] { return Now; });
    T.WriteStr("a");
    Now = 2000;
    T.WriteStr("b\r\n\r\n");
    T.WriteStr("c");
    Now = 3000;
    T.WriteStr("\r\nd");
    const int64_t First = T.FirstLine();
    EXPECT_EQ(T.LineStamp(First), 1000) << "in the scrollback";
    EXPECT_EQ(T.LineStamp(First + 1), 0) << "never written";
    EXPECT_EQ(T.LineStamp(First + 2), 2000);
    EXPECT_EQ(T.LineStamp(First + 3), 3000);
    T.StringReceived("\x1b[2;1H\x1b[K");
    EXPECT_EQ(T.LineStamp(First + 2), 0);
}

// A row the caret wrapped out of copies as one line with the next, in the scrollback too; erasing
// its end breaks the line there.
TEST(ComTermText, WrappedRowsCopyAsOneLine) {
    TComTerminalCore T;
    T.SetColumns(10);
    T.SetRows(3);
    T.SetScrollbackRows(10);
    T.SetWrapLines(true);
    T.WriteStr("0123 5678 abcdef\r\nnext");
    T.SelectAll();
    EXPECT_EQ(T.SelectedText(), "0123 5678 abcdef\nnext");
    T.StringReceived("\x1b[1;5H\x1b[K");
    T.SelectAll();
    EXPECT_EQ(T.SelectedText(), "0123\nabcdef\nnext");
    T.StringReceived("\x1b[3;5H\r\n"
                     "9876543210wrapped\r\n\r\n\r\n");
    ASSERT_GT(T.History().Count(), 3);
    T.SelectAll();
    EXPECT_EQ(T.SelectedText(), "0123\nabcdef\nnext\n9876543210wrapped");
}
