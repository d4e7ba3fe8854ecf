#include "samples/Perfgrap.h"

#include <gtest/gtest.h>

#include <climits>

using namespace GraphGeometry;

namespace {

TColor At(const QImage& Img, int X, int Y) {
    return FromQColor(QColor(Img.pixel(X, Y)));
}

// Columns in [L, R) of the picture that hold colour C anywhere.
std::vector<int> ColumnsWith(const QImage& Img, TColor C, int L = 0, int R = INT_MAX) {
    std::vector<int> cols;
    for (int x = std::max(L, 0); x < std::min(R, Img.width()); ++x)
        for (int y = 0; y < Img.height(); ++y)
            if (At(Img, x, y) == C) {
                cols.push_back(x);
                break;
            }
    return cols;
}

// A graph ready for pixel checks: no grid, a scale that a sample up to 1000 keeps.
void Plain(TPerformanceGraph& G, TGraphKind Kind) {
    G.SetGridlines(false);
    G.SetGradient(1000);
    G.SetKind(Kind);
    G.SetPenWidth(1);
    G.Picture();
}

} // namespace

TEST(GraphHistory, TheRingWalksOldestFirstAndHoldsSixteenPointsASample) {
    TGraphHistory h(35);
    EXPECT_EQ(h.Current(), 0);
    EXPECT_EQ(h.Oldest(), 1);
    std::vector<int> walk;
    for (int i = h.FirstY(); i != -1; i = h.NextY(i))
        walk.push_back(i);
    ASSERT_EQ(walk.size(), 35u);
    EXPECT_EQ(walk.front(), 1);
    EXPECT_EQ(walk.back(), 0) << "the current sample comes last";
    EXPECT_EQ(h.LastY(0), 34);

    for (int i = 0; i < MaxGraphPoints; ++i)
        h.DataPoint(clRed, i * 10);
    EXPECT_THROW(h.DataPoint(clBlue, 5000), ERangeError);
    EXPECT_EQ(h.Entry(0).Count, 16);
    EXPECT_EQ(h.MaxValue(), 150);
    h.ShiftY();
    EXPECT_EQ(h.Current(), 1);
    EXPECT_EQ(h.Oldest(), 2);
    h.DataPoint(clBlue, -7);
    EXPECT_EQ(h.MaxValue(), 150);

    // Shrinking keeps the newest samples in order; widening keeps them all from index 0.
    const struct { int NewCount, Current, OldIndexAt0; } reallocs[] = {{4, 3, 34}, {40, 34, 2}};
    for (const auto& r : reallocs) {
        TGraphHistory g = h;
        g.Realloc(r.NewCount);
        EXPECT_EQ(g.Count(), r.NewCount);
        EXPECT_EQ(g.Current(), r.Current);
        EXPECT_EQ(g.Oldest(), 0);
        EXPECT_EQ(g.Entry(g.Current()).Values[0], -7) << r.NewCount;
        EXPECT_EQ(g.Entry(g.LastY(g.Current())).Count, 16) << r.NewCount;
    }
}

TEST(GraphArithmetic, RoundUpScaledPixelsAndStripPlacement) {
    const struct {
        int32_t Value, Gradient, Result;
    } rounds[] = {{1234, 100, 1300}, {1250, 100, 1300},       {1300, 100, 1300},      {5, 0, 5}, {0, 100, 0},
                  {-150, 100, 0},    {INT_MAX, 100, INT_MAX}, {INT_MIN, -1, INT_MIN}, {7, -5, 0}};
    for (const auto& r : rounds)
        EXPECT_EQ(RoundUp(r.Value, r.Gradient), r.Result) << r.Value << "/" << r.Gradient;

    EXPECT_EQ(BandCount(100, 3), 33);
    EXPECT_EQ(BandCount(2, 3), 0);
    EXPECT_EQ(BandCount(0, 3), 0);
    EXPECT_EQ(ScaledPixels(29, 100, 100), 29) << "integer, not 28.999…";
    EXPECT_GT(ScaledPixels(INT_MAX, 1, 100), 100000);
    EXPECT_LT(ScaledPixels(INT_MIN, 1, 100), -100000);

    const TRect full = Rect(0, 0, 100, 100), strip = Rect(97, 0, 100, 100);
    const struct {
        int32_t Base, Height, Scale;
        TRect Bar;
    } bars[] = {
        {0, 300, 1000, Rect(97, 69, 100, 100)},
        {300, 400, 1000, Rect(97, 29, 100, 70)},
        {0, 5, 1000, TRect{}}, // under one pixel
        {0, 300, 0, TRect{}},
        {0, 300, -10, TRect{}},
    };
    for (const auto& b : bars)
        EXPECT_EQ(BarRect(strip, full, b.Base, b.Height, b.Scale), b.Bar) << b.Base << "+" << b.Height;
    TPoint from, to;
    ASSERT_TRUE(LineSegment(strip, full, 0, 500, 1000, from, to));
    EXPECT_EQ(from, (TPoint{97, 100}));
    EXPECT_EQ(to, (TPoint{100, 50}));
    EXPECT_FALSE(LineSegment(strip, full, 0, 500, 0, from, to));
}

TEST(GraphArithmetic, GridLinesFollowTheScrollForAnyStep) {
    int offset = -1;
    EXPECT_EQ(GridColumns(0, 15, 100, offset), (std::vector<int>{0, 15, 30, 45, 60, 75, 90}));
    EXPECT_EQ(offset, 5);
    EXPECT_EQ(GridRows(15, 100), (std::vector<int>{15, 30, 45, 60, 75, 90}));
    EXPECT_EQ(GridRows(200, 100), std::vector<int>{});

    std::vector<int> Every2;
    for (int x = 0; x < 100; x += 2)
        Every2.push_back(x);
    const struct {
        int Offset, Step, Grid;
        std::vector<int> Lines;
        int After;
    } scrolls[] = {
        {5, 3, 15, {}, 2},
        {2, 3, 15, {99}, 14},
        {0, 40, 15, {60, 75, 90}, 5},                  // wider step than grid: every line due
        {0, 1000, 15, {0, 15, 30, 45, 60, 75, 90}, 5}, // only the lines on the picture
        {3, INT_MAX, 2, Every2, 0},                    // the new strip is the whole picture
    };
    for (const auto& s : scrolls) {
        int off = s.Offset;
        EXPECT_EQ(ScrolledGridColumns(off, s.Step, s.Grid, 100), s.Lines) << s.Step;
        EXPECT_EQ(off, s.After) << s.Step;
    }
}

TEST(PerformanceGraph, DefaultsSettersAndRescaling) {
    TPerformanceGraph g;
    g.Picture();
    EXPECT_EQ(g.History().Count(), 35);
    g.SetGridSize(1);
    EXPECT_EQ(g.GridSize(), 2);
    g.SetStepSize(0);
    EXPECT_EQ(g.StepSize(), 1);
    EXPECT_EQ(g.History().Count(), 102);
    g.SetStepSize(3);

    int scaleChanges = 0;
    g.SetOnScaleChange([&](TObject* Sender) {
        EXPECT_EQ(Sender, &g);
        ++scaleChanges;
    });
    g.DataPoint(clRed, 1234);
    g.Update();
    EXPECT_EQ(g.Scale(), 1300);
    EXPECT_EQ(scaleChanges, 1);
    g.DataPoint(clRed, 1250);
    g.Update();
    EXPECT_EQ(g.Scale(), 1300);
    EXPECT_EQ(scaleChanges, 1);
    g.SetScale(1201);
    EXPECT_EQ(g.Scale(), 1300) << "stored rounded up";
}

TEST(PerformanceGraph, BarsStackAndScrollLeftOneStepASample) {
    TPerformanceGraph g;
    Plain(g, pgBar);
    g.DataPoint(clRed, 300);
    g.DataPoint(clBlue, 700);
    g.Update();
    EXPECT_EQ(g.Scale(), 1000);
    QImage pic = g.Picture();
    const struct {
        int Y;
        TColor C;
    } column[] = {{99, clRed}, {70, clRed}, {69, clBlue}, {29, clBlue}, {28, clBlack}};
    for (const auto& p : column)
        EXPECT_EQ(At(pic, 98, p.Y), p.C) << p.Y;
    EXPECT_EQ(ColumnsWith(pic, clRed), (std::vector<int>{97, 98, 99}));

    g.Update(); // an empty sample
    pic = g.Picture();
    EXPECT_EQ(ColumnsWith(pic, clRed), (std::vector<int>{94, 95, 96}));
    EXPECT_EQ(ColumnsWith(pic, clBlue), (std::vector<int>{94, 95, 96}));
    EXPECT_EQ(At(pic, 95, 50), clBlue);
}

TEST(PerformanceGraph, LinesJoinTheSameColourAndStartFromTheBottomWithoutOne) {
    TPerformanceGraph g;
    Plain(g, pgLine);
    g.DataPoint(clRed, 500);
    g.Update();
    g.DataPoint(clRed, 500);
    g.Update();
    QImage pic = g.Picture();
    for (int x = 97; x < 100; ++x)
        EXPECT_EQ(At(pic, x, 50), clRed) << "level from the previous sample's point, x " << x;
    EXPECT_EQ(ColumnsWith(pic, clRed, 90, 97), (std::vector<int>{94, 95, 96}))
        << "the rising segment, one step left";

    g.DataPoint(clBlue, 200);
    g.Update();
    pic = g.Picture();
    EXPECT_EQ(ColumnsWith(pic, clRed, 97), std::vector<int>{}) << "no red point in the newest sample";
    EXPECT_EQ(ColumnsWith(pic, clBlue), (std::vector<int>{97, 98, 99}));
    int top = 100;
    for (int y = 0; y < 100; ++y)
        if (At(pic, 97, y) == clBlue) top = std::min(top, y);
    EXPECT_GE(top, 93) << "blue starts at the bottom";
}

TEST(PerformanceGraph, WideningKeepsTheNewestSamplesFromTheLeft) {
    TPerformanceGraph g;
    Plain(g, pgBar);
    const TColor colours[] = {clRed, clLime, clBlue, clYellow, clAqua};
    for (TColor c : colours) {
        g.DataPoint(c, 1000);
        g.Update();
    }
    EXPECT_EQ(ColumnsWith(g.Picture(), clAqua), (std::vector<int>{97, 98, 99}));
    g.resize(200, 100);
    QImage pic = g.Picture();
    ASSERT_EQ(pic.width(), 200);
    EXPECT_EQ(g.History().Count(), 68);
    // 200 mod 66 = 2: the 34 samples before the current one fill x 2 … 103 in order.
    EXPECT_EQ(ColumnsWith(pic, clAqua), (std::vector<int>{98, 99, 100}));
    EXPECT_EQ(ColumnsWith(pic, clRed), (std::vector<int>{86, 87, 88}));
    EXPECT_EQ(ColumnsWith(pic, clAqua, 101).size() + ColumnsWith(pic, clRed, 101).size(), 0u);
}

TEST(PerformanceGraph, NarrowZeroScaleAndHugeValuesDrawNothingWrong) {
    TPerformanceGraph g;
    g.resize(2, 50); // narrower than one step
    g.Picture();
    g.DataPoint(clRed, 10);
    g.Update();
    g.SetKind(pgBar);
    EXPECT_EQ(g.Picture().width(), 2);

    TPerformanceGraph z;
    z.Picture();
    for (int i = 0; i < 3; ++i)
        z.Update(); // only empty samples: the scale drops to 0
    EXPECT_EQ(z.Scale(), 0);
    z.DataPoint(clRed, 0);
    z.Update();
    EXPECT_EQ(ColumnsWith(z.Picture(), clRed), std::vector<int>{});

    TPerformanceGraph big;
    Plain(big, pgBar);
    big.SetGradient(0);
    big.SetScale(1);
    big.DataPoint(clRed, INT_MAX - 1);
    big.DataPoint(clBlue, INT_MAX);
    big.Update();
    EXPECT_EQ(big.Scale(), INT_MAX);
    big.DataPoint(clRed, INT_MIN);
    big.DataPoint(clBlue, INT_MAX);
    big.Update();
    QImage pic = big.Picture();
    EXPECT_EQ(ColumnsWith(pic, clBlue), (std::vector<int>{97, 98, 99})) << "the first blue is under a pixel";
    EXPECT_EQ(At(pic, 98, 0), clBlue) << "a bar from far below reaches the top";
    EXPECT_EQ(At(pic, 98, 99), clBlue) << "and the bottom";
    EXPECT_EQ(At(pic, 95, 1), clRed);

    TPerformanceGraph coarse; // the next grid line lies almost 2^31 pixels ahead after a scroll
    coarse.SetGridSize(INT_MAX);
    coarse.Picture();
    coarse.Update();
    coarse.SetKind(pgBar); // redraws the grid from that offset
    EXPECT_EQ(ColumnsWith(coarse.Picture(), clGreen), std::vector<int>{97});

    TPerformanceGraph wide;
    wide.SetStepSize(40);
    wide.Picture();
    for (int i = 0; i < 10; ++i) {
        wide.Update();
        EXPECT_GE(wide.GridOffset(), 0);
        EXPECT_LT(wide.GridOffset(), wide.GridSize());
    }
}

// Replaying after a setting change puts every strip back where it was, the newest ending at the
// right edge, whatever the width's remainder; a graph resized before its first picture keeps a
// history for the new width.
TEST(PerformanceGraph, ReplayKeepsTheStripsAndAnEarlyResizeKeepsTheWholeWidth) {
    TPerformanceGraph g;
    g.resize(420, 100);
    Plain(g, pgBar);
    g.SetStepSize(50);
    for (TColor c : {clRed, clBlue}) {
        g.DataPoint(c, 1000);
        g.Update();
    }
    const std::vector<int> red = ColumnsWith(g.Picture(), clRed), blue = ColumnsWith(g.Picture(), clBlue);
    ASSERT_EQ(blue.size(), 50u);
    EXPECT_EQ(blue.front(), 370);
    EXPECT_EQ(red.front(), 320);
    g.SetGradient(2000);
    EXPECT_EQ(ColumnsWith(g.Picture(), clBlue), blue);
    EXPECT_EQ(ColumnsWith(g.Picture(), clRed), red);

    TPerformanceGraph wide;
    wide.resize(300, 100);
    Plain(wide, pgBar);
    for (int i = 0; i < 100; ++i) {
        wide.DataPoint(clRed, 1000);
        wide.Update();
    }
    EXPECT_EQ(ColumnsWith(wide.Picture(), clRed).size(), 300u);
}
