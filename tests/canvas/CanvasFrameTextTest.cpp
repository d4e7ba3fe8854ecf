#include "platform/toolkit/qt/Canvas.h"

#include <gtest/gtest.h>

#include <QImage>

namespace {

constexpr TColor Bg = 0x102030;

QImage Plain(int W, int H, TColor C = Bg) {
    QImage img(W, H, QImage::Format_RGB32);
    img.fill(ToQColor(C));
    return img;
}

TColor At(const QImage& Img, int X, int Y) {
    return FromQColor(QColor(Img.pixel(X, Y)));
}

int Count(const QImage& Img, TColor C) {
    int n = 0;
    for (int y = 0; y < Img.height(); ++y)
        for (int x = 0; x < Img.width(); ++x)
            n += At(Img, x, y) == C;
    return n;
}

} // namespace

TEST(CanvasFocusRect, InvertsEveryOtherOutlinePixelOnceAndAgainRemovesIt) {
    const TColor Inv = 0xFFFFFF & ~Bg;
    const struct {
        TRect R;
        int Inverted;
    } cases[] = {
        {Rect(2, 2, 12, 8), 14}, // 28 outline pixels, half of them on the checkerboard
        {Rect(4, 4, 5, 10), 3},  // one pixel wide: each pixel once, never inverted back
        {Rect(4, 4, 11, 5), 4},  // one pixel high
        {Rect(-5, -5, 3, 3), 3}, // cut to the surface: (2,0), (0,2) and (2,2)
        {Rect(6, 6, 6, 9), 0},   // empty
        {Rect(-2000000000, -2000000000, 2000000000, 2000000000), 0}, // outline lies off the surface
    };
    for (const auto& k : cases) {
        QImage img = Plain(20, 12);
        TCanvas c(img);
        c.DrawFocusRect(k.R);
        EXPECT_EQ(Count(img, Inv), k.Inverted) << k.R.Left << "," << k.R.Top;
        c.DrawFocusRect(k.R);
        EXPECT_EQ(img, Plain(20, 12)) << k.R.Left << "," << k.R.Top;
    }
    // A painter on the surface draws the same dots as the image canvas.
    QImage direct = Plain(20, 12), painted = Plain(20, 12);
    TCanvas(direct).DrawFocusRect(Rect(1, 1, 15, 10));
    {
        QPainter p(&painted);
        TCanvas(p).DrawFocusRect(Rect(1, 1, 15, 10));
    }
    EXPECT_EQ(direct, painted);
    EXPECT_EQ(At(direct, 1, 1), Inv);
    EXPECT_EQ(At(direct, 2, 1), Bg);
}

TEST(CanvasFrame3D, TopLeftAndBottomRightRingsShrinkTheRectangle) {
    QImage img = Plain(12, 10);
    TCanvas c(img);
    c.Pen().Color = clRed;
    c.Pen().Mode = pmXor;
    TRect r = Rect(1, 1, 11, 9);
    c.Frame3D(r, clGray, clWhite, 2);
    EXPECT_EQ(r, Rect(3, 3, 9, 7));
    EXPECT_EQ(c.Pen().Color, clRed) << "the pen is left as it was";
    EXPECT_EQ(c.Pen().Mode, pmXor);
    const struct {
        int X, Y;
        TColor C;
    } pixels[] = {
        {1, 1, clGray},   {5, 1, clGray},  {1, 5, clGray},   {2, 2, clGray},  {10, 1, clWhite}, // top-right
        {1, 8, clWhite},                                                                        // bottom-left
        {10, 5, clWhite}, {5, 8, clWhite}, {10, 8, clWhite}, {9, 7, clWhite}, {9, 2, clWhite},
        {2, 7, clWhite},  {3, 3, Bg},      {0, 0, Bg},       {11, 9, Bg},
    };
    for (const auto& p : pixels)
        EXPECT_EQ(At(img, p.X, p.Y), p.C) << p.X << "," << p.Y;
    EXPECT_EQ(Count(img, clGray) + Count(img, clWhite), 10 * 8 - 6 * 4);

    TRect tiny = Rect(0, 0, 2, 2);
    c.Frame3D(tiny, clGray, clWhite, 5); // nothing left inside after one ring
    EXPECT_EQ(tiny, Rect(5, 5, -3, -3));
    TRect far = Rect(INT32_MIN, 0, INT32_MAX, 4);
    c.Frame3D(far, clGray, clWhite, 0);
    EXPECT_EQ(far, Rect(INT32_MIN, 0, INT32_MAX, 4));
}

TEST(CanvasText, NonAntialiasedTextHasOnlyInkAndBackgroundAndInvertsExactly) {
    QImage img = Plain(120, 40, clBlack);
    TCanvas c(img);
    c.Font().Height = 16;
    c.Font().Quality = fqNonAntialiased;
    c.Font().Color = clWhite;
    c.Brush().Style = bsClear;
    c.TextOut(4, 4, "50% Wag");
    int ink = Count(img, clWhite);
    EXPECT_GT(ink, 20);
    EXPECT_EQ(ink + Count(img, clBlack), 120 * 40) << "no in-between shades";

    // XOR-ing the picture onto two colours inverts exactly the ink pixels.
    QImage target = Plain(120, 40, clRed);
    TCanvas t(target);
    t.SetCopyMode(cmSrcInvert);
    t.Draw(0, 0, img);
    EXPECT_EQ(Count(target, clRed ^ clWhite), ink);
    EXPECT_EQ(Count(target, clRed), 120 * 40 - ink);
}

TEST(CanvasText, CanvasFontTakesAWidgetFontsSizeInPointsOrPixels) {
    QFont points("DejaVu Sans");
    points.setPointSize(11);
    points.setBold(true);
    TCanvasFont a = CanvasFont(points);
    EXPECT_EQ(a.Name, "DejaVu Sans");
    EXPECT_EQ(a.Size, 11);
    EXPECT_EQ(a.Height, 0);
    EXPECT_TRUE(a.Bold);
    QFont pixels;
    pixels.setPixelSize(13);
    TCanvasFont b = CanvasFont(pixels);
    EXPECT_EQ(b.Height, 13);
    QImage img = Plain(10, 10);
    TCanvas c(img);
    c.Font() = b;
    EXPECT_EQ(c.TextHeight("x"), QFontMetrics(pixels).height());
}
