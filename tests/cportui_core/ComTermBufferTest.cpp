#include "cportui/core/ComTermBuffer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

// Records what the buffer asks of its window.
class TRecordingOwner : public TComTermBufferOwner {
  public:
    int FColumns = 80, FRows = 24, FClientWidth = 1000, FClientHeight = 1000;
    bool FDoubleBuffered = false;
    std::string Calls;

    int Columns() const override { return FColumns; }
    int Rows() const override { return FRows; }
    int CharWidth() const override { return 8; }
    int CharHeight() const override { return 16; }
    int ClientWidth() const override { return FClientWidth; }
    int ClientHeight() const override { return FClientHeight; }
    bool DoubleBuffered() const override { return FDoubleBuffered; }
    void Invalidate() override { Record("Invalidate"); }
    void InvalidatePortion(const TRect& R) override { Record("Cells " + Corners(R)); }
    void ScrollWindowPixels(int DX, int DY, const TRect& R) override {
        Record("Scroll " + std::to_string(DX) + "," + std::to_string(DY) + " in " + Corners(R));
    }

  private:
    static std::string Corners(const TRect& R) {
        return std::to_string(R.Left) + "," + std::to_string(R.Top) + "-" + std::to_string(R.Right) + "," +
               std::to_string(R.Bottom);
    }
    void Record(const std::string& Call) { Calls += (Calls.empty() ? "" : "; ") + Call; }
};

// Every cell of the grid tells where it was written: row in BackColor, column in ForeColor.
TComTermChar Pattern(int X, int Y) {
    return {static_cast<char>('!' + Y % 90), static_cast<TColor>(X), static_cast<TColor>(Y), true};
}

void Fill(TComTermBuffer& B) {
    for (int Y = 1; Y <= B.Rows(); ++Y)
        for (int X = 1; X <= B.Columns(); ++X)
            B.SetChar(X, Y, Pattern(X, Y));
}

// The grid in short, one token per row: "k" the original row k whole, "_" empty, "k:1-a" row k
// kept up to column a and empty after it, "?" anything else. Runs collapse: "2-24", "_x21".
std::string Shape(const TComTermBuffer& B) {
    std::vector<std::string> Tokens;
    std::vector<int> Whole; // the original row of each token, 0 when not whole
    for (int Y = 1; Y <= B.Rows(); ++Y) {
        int From = static_cast<int>(B.GetChar(1, Y).BackColor), Kept = 0;
        while (Kept < B.Columns() && B.GetChar(Kept + 1, Y) == Pattern(Kept + 1, From))
            ++Kept;
        bool RestEmpty = true;
        for (int X = Kept + 1; X <= B.Columns(); ++X)
            RestEmpty = RestEmpty && B.GetChar(X, Y) == TComTermChar{};
        std::string T = !RestEmpty            ? "?"
                        : Kept == 0           ? "_"
                        : Kept == B.Columns() ? std::to_string(From)
                                              : std::to_string(From) + ":1-" + std::to_string(Kept);
        Whole.push_back(Kept == B.Columns() ? From : 0);
        Tokens.push_back(T);
    }
    std::string Out;
    for (std::size_t I = 0; I < Tokens.size();) {
        std::size_t J = I + 1;
        while (J < Tokens.size() &&
               ((Whole[I] && Whole[J] == Whole[I] + int(J - I)) || (Tokens[I] == "_" && Tokens[J] == "_")))
            ++J;
        std::string T = Tokens[I];
        if (J - I > 1) T = Whole[I] ? T + "-" + Tokens[J - 1] : "_x" + std::to_string(J - I);
        Out += (Out.empty() ? "" : " ") + T;
        I = J;
    }
    return Out;
}

struct TOpRow {
    int Columns, Rows;
    bool DoubleBuffered;
    std::function<void(TComTermBuffer&, TRecordingOwner&)> Op;
    std::string Shape, Calls;
};

TEST(ComTermBuffer, OperationsAgainstTheWindow) {
    using B = TComTermBuffer;
    using O = TRecordingOwner;
    const TOpRow Rows[] = {
        {80, 24, false, [](B& b, O&) { b.ScrollDown(); }, "2-24 _", "Scroll 0,-16 in 0,0-640,384"},
        {80, 24, false, [](B& b, O& o) { o.FClientWidth = 500, o.FClientHeight = 300, b.ScrollUp(); },
         "_ 1-23", "Scroll 0,16 in 0,0-500,300"},
        {80, 24, true, [](B& b, O&) { b.ScrollDown(); }, "2-24 _", "Invalidate"},
        {80, 24, false, [](B& b, O&) { b.EraseLine(1, 5); }, "1-4 _ 6-24", "Cells 1,5-80,5"},
        {80, 24, false, [](B& b, O&) { b.EraseLine(80, 5); }, "1-4 5:1-79 6-24", "Cells 80,5-80,5"},
        {80, 24, true, [](B& b, O&) { b.EraseLine(30, 5); }, "1-4 5:1-29 6-24", "Invalidate"},
        {80, 24, false, [](B& b, O&) { b.EraseScreen(1, 1); }, "_x24", "Cells 1,1-80,1; Cells 1,2-80,24"},
        {80, 24, false, [](B& b, O&) { b.EraseScreen(5, 3); }, "1-2 3:1-4 _x21",
         "Cells 5,3-80,3; Cells 1,4-80,24"},
        {80, 24, true, [](B& b, O&) { b.EraseScreen(5, 3); }, "1-2 3:1-4 _x21", "Invalidate"},
        {80, 24, false, [](B& b, O&) { b.EraseScreen(80, 24); }, "1-23 24:1-79", "Cells 80,24-80,24"},
        // Outside the grid: nothing written, nothing emptied, nothing repainted.
        {80, 24, false,
         [](B& b, O&) {
             for (auto [X, Y] : {std::pair{0, 1}, {81, 1}, {1, 0}, {1, 25}})
                 b.SetChar(X, Y, {'x', 1, 1, false});
             b.EraseLine(81, 5), b.EraseLine(1, 25), b.EraseScreen(81, 24), b.EraseScreen(1, 25);
         },
         "1-24", ""},
        {80, 24, false, [](B& b, O&) { b.EraseScreen(81, 23); }, "1-23 _", "Cells 1,24-80,24"},
        {80, 24, false, [](B& b, O&) { b.EraseLine(-5, 2); }, "1 _ 3-24", "Cells 1,2-80,2"},
        // The owner's size changed without a new Init: the buffer keeps to its own grid.
        {80, 24, false,
         [](B& b, O& o) {
             o.FColumns = 132, o.FRows = 100;
             b.ScrollDown(), b.EraseLine(100, 24), b.SetChar(132, 100, {'x', 1, 1, false});
         },
         "2-24 _", "Scroll 0,-16 in 0,0-640,384"},
        {80, 24, false,
         [](B& b, O& o) {
             o.FColumns = 40, o.FRows = 10;
             b.EraseScreen(50, 20);
         },
         "1-19 20:1-49 _x4", "Cells 50,20-80,20; Cells 1,21-80,24"},
        {132, 24, false, [](B& b, O&) { b.ScrollDown(); }, "2-24 _", "Scroll 0,-16 in 0,0-1000,384"},
        {132, 24, false, [](B& b, O&) { b.EraseScreen(100, 24); }, "1-23 24:1-99", "Cells 100,24-132,24"},
        {132, 24, false, [](B& b, O&) { b.ScrollUp(), b.ScrollUp(); }, "_x2 1-22",
         "Scroll 0,16 in 0,0-1000,384; Scroll 0,16 in 0,0-1000,384"},
        {40, 10, false, [](B& b, O&) { b.ScrollUp(); }, "_ 1-9", "Scroll 0,16 in 0,0-320,160"},
        {40, 10, false, [](B& b, O&) { b.ScrollDown(), b.ScrollUp(); }, "_ 2-10",
         "Scroll 0,-16 in 0,0-320,160; Scroll 0,16 in 0,0-320,160"},
        {40, 10, false, [](B& b, O&) { b.EraseLine(1, 10); }, "1-9 _", "Cells 1,10-40,10"},
        {40, 10, true, [](B& b, O&) { b.EraseScreen(40, 10); }, "1-9 10:1-39", "Invalidate"},
    };
    for (const TOpRow& Row : Rows) {
        TRecordingOwner Owner;
        Owner.FColumns = Row.Columns, Owner.FRows = Row.Rows, Owner.FDoubleBuffered = Row.DoubleBuffered;
        TComTermBuffer Buffer(&Owner);
        Buffer.Init();
        Fill(Buffer);
        ASSERT_EQ(Shape(Buffer), "1-" + std::to_string(Row.Rows));
        Row.Op(Buffer, Owner);
        EXPECT_EQ(Shape(Buffer), Row.Shape) << Row.Columns << "x" << Row.Rows << " " << Row.Calls;
        EXPECT_EQ(Owner.Calls, Row.Calls) << Row.Columns << "x" << Row.Rows << " " << Row.Shape;
    }
}

TEST(ComTermBuffer, TabStops) {
    struct {
        int Columns;
        std::vector<int> Stops;
    } Rows[] = {{80, {1, 9, 17, 25, 33, 41, 49, 57, 65, 73}},
                {132, {1, 9, 17, 25, 33, 41, 49, 57, 65, 73}},
                {40, {1, 9, 17, 25, 33}},
                {2, {1}}};
    for (const auto& Row : Rows) {
        TRecordingOwner Owner;
        Owner.FColumns = Row.Columns;
        TComTermBuffer Buffer(&Owner);
        Buffer.Init();
        std::vector<int> Stops;
        for (int X = -1; X <= Row.Columns + 2; ++X) {
            if (Buffer.GetTab(X)) Stops.push_back(X);
            // NextTab gives the first stop at or after X, 0 past the last one.
            int Next = 0;
            for (int S : Row.Stops)
                if (!Next && S >= X) Next = S;
            EXPECT_EQ(Buffer.NextTab(X), Next) << Row.Columns << " columns, X " << X;
        }
        EXPECT_EQ(Stops, Row.Stops) << Row.Columns << " columns";

        Buffer.SetTab(9, false);
        Buffer.SetTab(Row.Columns, true);
        Buffer.SetTab(Row.Columns + 1, true); // outside: ignored
        EXPECT_EQ(Buffer.NextTab(2), Row.Columns < 17 ? Row.Columns : 17);
        EXPECT_EQ(Buffer.NextTab(Row.Columns + 1), 0);
        Buffer.ClearAllTabs();
        for (int X = 0; X <= Row.Columns + 1; ++X)
            EXPECT_EQ(Buffer.NextTab(X), 0);
        EXPECT_EQ(Owner.Calls, "");
    }
}

TEST(ComTermBuffer, InitStartsEmptyAtTheOwnersSize) {
    TRecordingOwner Owner;
    TComTermBuffer Buffer(&Owner);
    // Before the first Init nothing is there and nothing happens.
    Buffer.SetChar(1, 1, {'x', 1, 1, false});
    Buffer.ScrollDown(), Buffer.ScrollUp(), Buffer.EraseLine(1, 1), Buffer.EraseScreen(1, 1);
    Buffer.SetTab(1, true), Buffer.ClearAllTabs();
    EXPECT_EQ(Buffer.GetChar(1, 1), TComTermChar{});
    EXPECT_FALSE(Buffer.GetTab(1));
    EXPECT_EQ(Buffer.NextTab(1), 0);
    EXPECT_EQ(Owner.Calls, "");

    Buffer.Init();
    Fill(Buffer);
    Buffer.ClearAllTabs();
    Owner.FColumns = 132;
    Buffer.Init();
    EXPECT_EQ(Buffer.Columns(), 132);
    EXPECT_EQ(Shape(Buffer), "_x24");
    EXPECT_EQ(Buffer.NextTab(2), 9);

    // A size of nothing gives a grid of nothing, not a crash.
    Owner.FColumns = 0;
    Buffer.Init();
    Buffer.ScrollDown(), Buffer.EraseScreen(1, 1);
    EXPECT_EQ(Buffer.Rows(), 0);
    EXPECT_EQ(Owner.Calls, "");
}

} // namespace
