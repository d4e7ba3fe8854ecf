#include "platform/toolkit/qt/Canvas.h"

#include <gtest/gtest.h>

#include <QImage>

namespace {

constexpr TColor Bg = 0x102030;

QImage Blank(int W = 40, int H = 30, TColor C = Bg) {
    QImage img(W, H, QImage::Format_RGB32);
    img.fill(ToQColor(C));
    return img;
}

TColor At(const QImage& Img, int X, int Y) {
    return FromQColor(QColor(Img.pixel(X, Y)));
}

// Pixels of colour C inside the box [L,R) x [T,B) and outside it.
std::pair<int, int> CountIn(const QImage& Img, TColor C, int L, int T, int R, int B) {
    int in = 0, out = 0;
    for (int y = 0; y < Img.height(); ++y)
        for (int x = 0; x < Img.width(); ++x)
            if (At(Img, x, y) == C) (x >= L && x < R && y >= T && y < B ? in : out)++;
    return {in, out};
}

} // namespace

TEST(CanvasColours, SystemAndPlainColoursResolveToRgb) {
    EXPECT_EQ(ColorToRGB(clRed), 0x0000FFu);
    EXPECT_EQ(ColorToRGB(clBtnFace), clSilver);
    EXPECT_EQ(ToQColor(clRed), QColor(255, 0, 0));
    EXPECT_EQ(ToQColor(clBlue), QColor(0, 0, 255));
    EXPECT_EQ(FromQColor(QColor(1, 2, 3)), 0x030201u);
}

TEST(CanvasShapes, FillRectExcludesTheRightAndBottomEdge) {
    QImage img = Blank();
    TCanvas c(img);
    c.Brush().Color = clRed;
    c.FillRect(Rect(2, 3, 6, 8));
    EXPECT_EQ(CountIn(img, clRed, 2, 3, 6, 8), std::make_pair(4 * 5, 0));
    c.Brush().Style = bsClear;
    c.Brush().Color = clLime;
    c.FillRect(Rect(0, 0, 10, 10));
    EXPECT_EQ(CountIn(img, clLime, 0, 0, 40, 30).first, 0);
    c.Brush().Style = bsSolid;
    c.FillRect(Rect(5, 5, 5, 9));   // empty
    c.FillRect(Rect(-5, -5, 2, 2)); // partly outside: cut, no crash
    EXPECT_EQ(CountIn(img, clLime, 0, 0, 2, 2), std::make_pair(4, 0));
}

TEST(CanvasShapes, RectangleHasAPenBorderAndBrushInsideWithinItsBox) {
    QImage img = Blank();
    TCanvas c(img);
    c.Pen().Color = clBlue;
    c.Brush().Color = clYellow;
    c.Rectangle(5, 5, 15, 12);
    EXPECT_EQ(At(img, 5, 5), clBlue);
    EXPECT_EQ(At(img, 14, 11), clBlue);
    EXPECT_EQ(At(img, 14, 5), clBlue);
    EXPECT_EQ(At(img, 15, 8), Bg);
    EXPECT_EQ(At(img, 8, 12), Bg);
    EXPECT_EQ(At(img, 6, 6), clYellow);
    EXPECT_EQ(CountIn(img, clBlue, 5, 5, 15, 12), std::make_pair(2 * 10 + 2 * 5, 0));
    EXPECT_EQ(CountIn(img, clYellow, 6, 6, 14, 11), std::make_pair(8 * 5, 0));

    c.Pen().Width = 2;
    c.Brush().Style = bsClear;
    c.Pen().Color = clRed;
    c.Rectangle(20, 10, 30, 20);
    EXPECT_EQ(At(img, 21, 11), clRed);
    EXPECT_EQ(At(img, 22, 12), Bg) << "a clear brush leaves the inside alone";
    EXPECT_EQ(CountIn(img, clRed, 20, 10, 30, 20), std::make_pair(10 * 10 - 6 * 6, 0));
}

TEST(CanvasShapes, EllipseFillsItsBoxAndStaysInsideIt) {
    QImage img = Blank();
    TCanvas c(img);
    c.Pen().Color = clBlue;
    c.Brush().Color = clYellow;
    c.Ellipse(10, 5, 30, 25);
    EXPECT_EQ(At(img, 20, 15), clYellow);
    EXPECT_EQ(At(img, 10, 15), clBlue) << "leftmost pixel of the middle row is on the outline";
    EXPECT_EQ(At(img, 29, 15), clBlue);
    EXPECT_EQ(At(img, 20, 5), clBlue);
    EXPECT_EQ(At(img, 20, 24), clBlue);
    EXPECT_EQ(At(img, 10, 5), Bg) << "corners of the box are outside the ellipse";
    EXPECT_EQ(At(img, 29, 24), Bg);
    EXPECT_EQ(CountIn(img, clBlue, 10, 5, 30, 25).second, 0);
    EXPECT_EQ(CountIn(img, clYellow, 10, 5, 30, 25).second, 0);
    // Symmetric about the box centre: the outline in row 6 mirrors row 23.
    for (int x = 10; x < 30; ++x)
        EXPECT_EQ(At(img, x, 6), At(img, x, 23)) << x;
}

TEST(CanvasShapes, PieRunsCounterClockwiseFromTheFirstRadialToTheSecond) {
    // From 3 o'clock to 12 o'clock counter-clockwise: the top-right quarter; swapped radials: the
    // other three quarters.
    const struct {
        int X3, Y3, X4, Y4;
        bool TopRightOnly;
    } cases[] = {{40, 20, 20, 0, true}, {20, 0, 40, 20, false}};
    for (const auto& k : cases) {
        QImage img = Blank(41, 41);
        TCanvas c(img);
        c.Pen().Style = psClear;
        c.Brush().Color = clRed;
        c.Pie(0, 0, 40, 40, k.X3, k.Y3, k.X4, k.Y4);
        const TColor topRight = k.TopRightOnly ? clRed : Bg, rest = k.TopRightOnly ? Bg : clRed;
        EXPECT_EQ(At(img, 30, 10), topRight) << k.X3;
        EXPECT_EQ(At(img, 10, 10), rest) << k.X3;
        EXPECT_EQ(At(img, 10, 30), rest) << k.X3;
        EXPECT_EQ(At(img, 30, 30), rest) << k.X3;
    }
}

TEST(CanvasShapes, PieWithAnOutlineDrawsTheRadials) {
    QImage img = Blank(41, 41);
    TCanvas c(img);
    c.Pen().Color = clBlue;
    c.Brush().Color = clYellow;
    c.Pie(0, 0, 40, 40, 40, 20, 20, 0);
    EXPECT_EQ(At(img, 30, 10), clYellow);
    EXPECT_EQ(At(img, 30, 19), clBlue) << "the radial to 3 o'clock is outlined";
    EXPECT_EQ(At(img, 20, 5), clBlue) << "the radial to 12 o'clock is outlined";
    EXPECT_EQ(At(img, 10, 30), Bg);
}

TEST(CanvasLines, LineToLeavesOutItsEndPointAndMovesThePen) {
    QImage img = Blank();
    TCanvas c(img);
    c.Pen().Color = clRed;
    c.MoveTo(2, 4);
    c.LineTo(10, 4);
    EXPECT_EQ(CountIn(img, clRed, 2, 4, 10, 5), std::make_pair(8, 0));
    EXPECT_EQ(c.PenPos(), (TPoint{10, 4}));
    c.LineTo(10, 9);                                                    // continues from the pen position
    EXPECT_EQ(CountIn(img, clRed, 10, 4, 11, 9), std::make_pair(5, 8)); // the 8 outside: first line
    c.MoveTo(0, 20);
    c.LineTo(5, 25); // diagonal: one pixel per step
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(At(img, i, 20 + i), clRed) << i;
    EXPECT_EQ(At(img, 5, 25), Bg);
}

TEST(CanvasModes, XorPenTwiceRestoresTheImageAndNotInverts) {
    QImage img = Blank();
    TCanvas c(img);
    c.Brush().Color = clWhite;
    c.FillRect(Rect(0, 0, 20, 30));
    QImage before = img.copy();
    c.Pen().Mode = pmXor;
    c.Pen().Color = clRed;
    c.Brush().Color = clLime;
    for (int pass = 0; pass < 2; ++pass) {
        c.Rectangle(3, 3, 30, 20);
        c.Ellipse(5, 5, 25, 25);
        c.MoveTo(0, 0);
        c.LineTo(39, 29);
        if (pass == 0) {
            EXPECT_EQ(At(img, 3, 10), clWhite ^ clRed);
            EXPECT_EQ(At(img, 25, 10), Bg ^ clLime) << "brush xor background";
            EXPECT_EQ(At(img, 15, 15), clWhite) << "the ellipse's brush cancels the rectangle's";
        }
    }
    EXPECT_EQ(img, before);

    c.Pen().Mode = pmNot;
    c.Rectangle(0, 0, 4, 4);
    EXPECT_EQ(At(img, 0, 0), 0xFFFFFFu & ~clWhite);
    EXPECT_EQ(At(img, 1, 1), 0xFFFFFFu & ~clWhite);
    EXPECT_EQ(At(img, 4, 4), clWhite);
}

TEST(CanvasText, TextOutPaintsInsideItsMeasuredBoxOnTheBrush) {
    QImage img = Blank(200, 60);
    TCanvas c(img);
    c.Font().Color = clBlack;
    c.Brush().Color = clWhite;
    int w = c.TextWidth("Hello"), h = c.TextHeight("Hello");
    ASSERT_GT(w, 0);
    ASSERT_GT(h, 0);
    EXPECT_GT(c.TextWidth("Hello, world"), w);
    c.TextOut(10, 5, "Hello");
    auto white = CountIn(img, clWhite, 10, 5, 10 + w, 5 + h);
    EXPECT_GT(white.first, 0);
    EXPECT_EQ(white.second, 0) << "the background stays in the text box";
    int ink = 0, stray = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            TColor p = At(img, x, y);
            if (p == clWhite || p == Bg) continue;
            (x >= 10 && x < 10 + w && y >= 5 && y < 5 + h ? ink : stray)++;
        }
    EXPECT_GT(ink, 5);
    EXPECT_EQ(stray, 0);
    EXPECT_EQ(c.PenPos().X, 10 + w);
}

TEST(CanvasCopy, RasterOperationsCombineSourceAndDestination) {
    QImage src = Blank(4, 4, clRed);
    src.setPixel(1, 1, qRgb(0, 255, 0));
    QImage img = Blank(20, 20, clWhite);
    TCanvas c(img);

    c.CopyRect(Rect(0, 0, 4, 4), src, Rect(0, 0, 4, 4));
    EXPECT_EQ(At(img, 0, 0), clRed);
    EXPECT_EQ(At(img, 1, 1), clLime);
    EXPECT_EQ(At(img, 4, 0), clWhite);

    c.SetCopyMode(cmSrcInvert);
    c.CopyRect(Rect(0, 0, 4, 4), src, Rect(0, 0, 4, 4));
    EXPECT_EQ(At(img, 0, 0), clBlack) << "x xor x";
    c.Draw(10, 10, src);
    EXPECT_EQ(At(img, 10, 10), clWhite ^ clRed);
    EXPECT_EQ(At(img, 11, 11), clWhite ^ clLime);

    c.SetCopyMode(cmDstInvert);
    c.CopyRect(Rect(10, 10, 12, 12), src, Rect(0, 0, 4, 4));
    EXPECT_EQ(At(img, 10, 10), clRed);
    EXPECT_EQ(At(img, 12, 12), clWhite ^ clRed);

    c.SetCopyMode(cmBlackness);
    c.CopyRect(Rect(15, 15, 17, 17), src, Rect(0, 0, 1, 1));
    EXPECT_EQ(CountIn(img, clBlack, 15, 15, 17, 17).first, 4);
    c.SetCopyMode(cmWhiteness);
    c.CopyRect(Rect(15, 15, 16, 16), src, Rect(0, 0, 1, 1));
    EXPECT_EQ(At(img, 15, 15), clWhite);
    EXPECT_EQ(At(img, 16, 16), clBlack);
}

TEST(CanvasCopy, CopyRectScalesAndCanCopyWithinOneCanvas) {
    QImage img = Blank(20, 20, clWhite);
    TCanvas c(img);
    c.SetPixel(0, 0, clRed);
    c.SetPixel(1, 0, clBlue);
    c.CopyRect(Rect(10, 10, 14, 12), c, Rect(0, 0, 2, 1)); // each pixel becomes 2x2
    EXPECT_EQ(At(img, 10, 10), clRed);
    EXPECT_EQ(At(img, 11, 11), clRed);
    EXPECT_EQ(At(img, 12, 10), clBlue);
    EXPECT_EQ(At(img, 13, 11), clBlue);
    EXPECT_EQ(At(img, 14, 10), clWhite);
    EXPECT_EQ(c.Pixel(12, 11), clBlue);
}

TEST(CanvasPainter, AWidgetPainterCanvasDrawsThroughThePainter) {
    QImage img = Blank(20, 20, clWhite);
    {
        QPainter p(&img);
        TCanvas c(p);
        c.Brush().Color = clRed;
        c.FillRect(Rect(2, 2, 6, 6));
        c.Pen().Color = clBlue;
        c.MoveTo(0, 10);
        c.LineTo(10, 10);
        EXPECT_THROW(c.Pixel(0, 0), std::logic_error);
    }
    EXPECT_EQ(CountIn(img, clRed, 2, 2, 6, 6), std::make_pair(16, 0));
    EXPECT_EQ(At(img, 5, 10), clBlue);
}

TEST(CanvasLimits, FarAndHugeShapesAreCutToTheImageWithoutBlowingUp) {
    QImage img = Blank();
    TCanvas c(img);
    c.Pen().Color = clRed;
    c.MoveTo(-1000000000, 5);
    c.LineTo(1000000000, 5);
    EXPECT_EQ(CountIn(img, clRed, 0, 5, 40, 6), std::make_pair(40, 0));

    c.Brush().Color = clLime;
    c.Pen().Color = clBlue;
    c.Rectangle(-1000000000, -1000000000, 1000000000, 20);
    EXPECT_EQ(At(img, 39, 19), clBlue) << "the bottom edge lies on the image";
    EXPECT_EQ(At(img, 39, 18), clLime) << "cut sides are not outlined";
    EXPECT_EQ(At(img, 0, 0), clLime);
    EXPECT_EQ(At(img, 0, 20), Bg);

    c.Pen().Width = 1000000;
    c.Rectangle(0, 0, 40, 30);
    EXPECT_EQ(CountIn(img, clBlue, 0, 0, 40, 30), std::make_pair(40 * 30, 0))
        << "a pen wider than the box fills it";
}

TEST(CanvasShapes, FrameRectPolygonAndClippedText) {
    QImage img = Blank();
    TCanvas c(img);
    c.Brush().Color = clRed;
    c.FrameRect(Rect(2, 2, 8, 6)); // outline in the brush colour, inside untouched
    EXPECT_EQ(CountIn(img, clRed, 2, 2, 8, 6), std::make_pair(2 * 6 + 2 * 2, 0));
    EXPECT_EQ(At(img, 4, 4), Bg);

    c.Pen().Color = clBlue;
    c.Brush().Color = clYellow;
    c.Polygon({{20, 2}, {30, 2}, {30, 12}, {20, 12}}); // a square given by its corners
    EXPECT_EQ(At(img, 20, 2), clBlue);
    EXPECT_EQ(At(img, 30, 12), clBlue) << "polygon corners are points on the outline";
    EXPECT_EQ(At(img, 25, 7), clYellow);
    EXPECT_EQ(At(img, 31, 7), Bg);
    QImage before = img.copy();
    c.Pen().Mode = pmXor;
    c.Brush().Style = bsClear;
    for (int pass = 0; pass < 2; ++pass) {
        c.Polygon({{0, 0}, {39, 29}, {39, 0}, {0, 29}}); // crossing edges
        if (pass == 0) {
            EXPECT_EQ(At(img, 39, 0), Bg ^ clBlue) << "a vertex shared by two edges is drawn once";
            EXPECT_EQ(At(img, 39, 15), Bg ^ clBlue);
        }
    }
    EXPECT_EQ(img, before);

    QImage text = Blank(100, 40);
    TCanvas t(text);
    t.Brush().Color = clWhite;
    t.Font().Color = clBlack;
    t.TextRect(Rect(5, 5, 15, 25), 0, 5, "WWWWWWWWWW");
    int outside = 0;
    for (int y = 0; y < text.height(); ++y)
        for (int x = 0; x < text.width(); ++x)
            if (At(text, x, y) != Bg && !(x >= 5 && x < 15 && y >= 5 && y < 25)) ++outside;
    EXPECT_EQ(outside, 0) << "text is cut to its rectangle";
    EXPECT_GT(CountIn(text, clBlack, 5, 5, 15, 25).first, 0);
}
