#include "samples/Cgauges.h"

#include "platform/toolkit/Exception.h"

#include <gtest/gtest.h>

#include <climits>
#include <set>

using namespace GaugeGeometry;

namespace {

class TCountingGauge : public TCGauge {
  public:
    int Repaints = 0;

  protected:
    void Invalidate() override {
        ++Repaints;
        TCGauge::Invalidate();
    }
};

TColor At(const QImage& Img, int X, int Y) {
    return FromQColor(QColor(Img.pixel(X, Y)));
}

} // namespace

TEST(GaugeArithmetic, PercentagesAreExactIntegerFloors) {
    for (int i = 0; i <= 100; ++i) {
        EXPECT_EQ(PercentOfRange(i, 100), i) << i;
        EXPECT_EQ(PartOfSize(i, 100), i) << i; // 29 × 0.01 × 100 would give 28
    }
    const struct {
        int64_t X, Z;
        int Percent;
    } ranges[] = {
        {0, 0, 0},
        {5, 0, 0},
        {1, 3, 33},
        {2, 3, 66},
        {4294967295LL, 4294967295LL, 100}, // MinValue INT_MIN, MaxValue INT_MAX
        {2147483648LL, 4294967295LL, 50},
        {4294967294LL, 4294967295LL, 99},
    };
    for (const auto& r : ranges)
        EXPECT_EQ(PercentOfRange(r.X, r.Z), r.Percent) << r.X << "/" << r.Z;
    EXPECT_EQ(PartOfSize(50, 99), 49);
    EXPECT_EQ(PartOfSize(50, -1), -1) << "rounded toward minus infinity";
}

TEST(GaugeValues, SettersClampRaiseAndRepaintAsDescribed) {
    TCountingGauge g;
    EXPECT_EQ(g.PercentDone(), 0);
    g.SetProgress(150);
    EXPECT_EQ(g.Progress(), 100);
    g.SetProgress(-5);
    EXPECT_EQ(g.Progress(), 0);

    g.SetMaxValue(1000);
    g.SetProgress(10);
    int before = g.Repaints;
    g.SetProgress(11); // still 1 %
    EXPECT_EQ(g.Repaints, before);
    g.AddProgress(0);
    EXPECT_EQ(g.Repaints, before + 1) << "AddProgress repaints even without a change";
    g.SetProgress(20);
    EXPECT_EQ(g.Repaints, before + 2);

    g.SetMinValue(-10);
    g.SetMaxValue(0); // ignored
    EXPECT_EQ(g.MaxValue(), 1000);
    g.SetMaxValue(-10);
    EXPECT_EQ(g.Progress(), -10);
    EXPECT_EQ(g.PercentDone(), 0) << "MaxValue = MinValue";

    const struct {
        int32_t Min, Max;
        bool SetMin;
        int32_t Value;
        const char* Message;
    } errors[] = {
        {0, 100, true, 101, "Value must be between -2147483647 and 99"},
        {INT_MIN, INT_MIN, true, 0, "Value must be between -2147483647 and -2147483649"},
        {10, 100, false, 5, "Value must be between 11 and 2147483647"},
        {INT_MAX, INT_MAX, false, 5, "Value must be between 2147483648 and 2147483647"},
    };
    for (const auto& e : errors) {
        TCGauge h;
        h.SetMinValue(INT_MIN);
        h.SetMaxValue(e.Max);
        h.SetMinValue(e.Min);
        h.SetProgress(e.Max);
        try {
            e.SetMin ? h.SetMinValue(e.Value) : h.SetMaxValue(e.Value);
            ADD_FAILURE() << "no error for " << e.Value;
        } catch (const Exception& x) {
            EXPECT_EQ(x.Message(), e.Message);
        }
        EXPECT_EQ(h.MinValue(), e.Min);
        EXPECT_EQ(h.MaxValue(), e.Max);
        EXPECT_EQ(h.Progress(), e.Max);
    }

    TCGauge s;
    s.SetMinValue(INT_MIN);
    s.SetMaxValue(INT_MAX);
    s.SetProgress(INT_MAX - 1);
    s.AddProgress(INT_MAX);
    EXPECT_EQ(s.Progress(), INT_MAX) << "saturates";
    EXPECT_EQ(s.PercentDone(), 100);
    s.AddProgress(INT_MIN);
    s.AddProgress(INT_MIN);
    EXPECT_EQ(s.Progress(), INT_MIN);
    s.SetProgress(0);
    EXPECT_EQ(s.PercentDone(), 50);
}

TEST(GaugeGeometryTable, BarsPiesAndNeedleFor100x100WithABorder) {
    TRect r = PaintRect(100, 100, bsSingle);
    EXPECT_EQ(r, Rect(1, 1, 99, 99));
    EXPECT_EQ(PaintRect(100, 100, bsNone), Rect(0, 0, 100, 100));
    EXPECT_EQ(HorizontalBar(r, 50), Rect(1, 1, 49, 99));
    EXPECT_EQ(HorizontalBar(r, 0), TRect{});
    EXPECT_EQ(HorizontalBar(r, 100), Rect(1, 1, 99, 99));
    EXPECT_EQ(VerticalBar(r, 100), Rect(1, 1, 99, 99)) << "F stops at H - 1";
    EXPECT_EQ(VerticalBar(r, 29), Rect(1, 71, 99, 99));

    const struct {
        int Percent;
        bool Wedge;
        TPoint First;
    } pies[] = {{0, false, {}},
                {25, true, {98, 49}},
                {50, true, {49, 98}},
                {75, true, {0, 49}},
                {100, true, {49, 0}}};
    for (const auto& p : pies) {
        TPie pie = Pie(r, bsSingle, p.Percent);
        EXPECT_EQ(pie.Box, Rect(1, 1, 99, 99));
        EXPECT_EQ(pie.Wedge, p.Wedge) << p.Percent;
        if (p.Wedge) {
            EXPECT_EQ(pie.First, p.First) << p.Percent;
            EXPECT_EQ(pie.Second, (TPoint{49, 0}));
        }
    }

    TNeedle n = Needle(r, bsSingle, 100, 50);
    EXPECT_EQ(n.Box, Rect(1, 1, 99, 197));
    EXPECT_EQ(n.ArcFrom, (TPoint{100, 98}));
    EXPECT_EQ(n.ArcTo, (TPoint{1, 98}));
    EXPECT_EQ(n.BaseFrom, (TPoint{1, 99}));
    EXPECT_TRUE(n.Hand);
    EXPECT_EQ(n.HandFrom, (TPoint{50, 98}));
    EXPECT_EQ(n.HandTo, (TPoint{50, 0}));
    EXPECT_EQ(Needle(r, bsSingle, 100, 100).HandTo, (TPoint{100, 98}));
    EXPECT_FALSE(Needle(r, bsSingle, 100, 0).Hand);
    EXPECT_EQ(TextOrigin(r, 20, 11), (TPoint{39, 44}));
}

TEST(GaugePicture, EachKindPaintsItsShapeInForeAndBackColours) {
    constexpr TColor Fore = clRed, Back = clBlue, Ground = 0x00C0C0C0; // Color: button face
    const struct {
        TCGaugeKind Kind;
        int Percent;
        int X, Y;
        TColor Expected;
    } cases[] = {
        {gkText, 50, 20, 50, Back},          {gkHorizontalBar, 50, 48, 50, Fore},
        {gkHorizontalBar, 50, 49, 50, Back}, {gkHorizontalBar, 50, 0, 0, clBlack}, // the border
        {gkHorizontalBar, 0, 5, 5, Back},    {gkVerticalBar, 100, 50, 0, clBlack},
        {gkVerticalBar, 100, 50, 1, Fore},   {gkVerticalBar, 29, 50, 70, Back},
        {gkVerticalBar, 29, 50, 71, Fore},   {gkPie, 0, 75, 25, Back},
        {gkPie, 25, 75, 25, Fore},           {gkPie, 25, 25, 25, Back},
        {gkPie, 25, 75, 75, Back},           {gkPie, 50, 75, 75, Fore},
        {gkPie, 50, 25, 75, Back},           {gkPie, 50, 2, 2, Ground},
        {gkNeedle, 0, 50, 40, Back},         {gkNeedle, 50, 50, 40, Fore},
        {gkNeedle, 50, 2, 2, Ground},        {gkNeedle, 50, 30, 99, Fore}, // the base line
    };
    for (const auto& k : cases) {
        TCGauge g;
        g.SetShowText(false);
        g.SetForeColor(Fore);
        g.SetBackColor(Back);
        g.SetKind(k.Kind);
        g.SetProgress(k.Percent);
        QImage pic = g.Picture();
        ASSERT_EQ(pic.size(), QSize(100, 100));
        EXPECT_EQ(At(pic, k.X, k.Y), k.Expected)
            << int(k.Kind) << " " << k.Percent << " at " << k.X << "," << k.Y;
    }
}

TEST(GaugePicture, ThePercentageInvertsThePixelsUnderItOverBothHalves) {
    TCGauge g;
    g.SetForeColor(clRed);
    g.SetBackColor(clBlue);
    g.SetProgress(50);
    g.SetShowText(false);
    QImage plain = g.Picture();
    g.SetShowText(true);
    QImage text = g.Picture();
    int onFore = 0, onBack = 0;
    std::set<TColor> colours;
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x) {
            TColor before = At(plain, x, y), after = At(text, x, y);
            colours.insert(after);
            if (before == after) continue;
            EXPECT_EQ(after, before ^ clWhite) << x << "," << y;
            (before == clRed ? onFore : onBack)++;
        }
    EXPECT_GT(onFore, 5) << "letters over the filled half";
    EXPECT_GT(onBack, 5) << "letters over the empty half";
    EXPECT_EQ(colours, (std::set<TColor>{clBlack, clRed, clBlue, clRed ^ clWhite, clBlue ^ clWhite}))
        << "no in-between shades";
}
