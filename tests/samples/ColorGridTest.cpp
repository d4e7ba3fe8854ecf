#include "samples/Cgrid.h"

#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <gtest/gtest.h>

using namespace ColorGridGeometry;

namespace {

TColor At(const QImage& Img, int X, int Y) {
    return FromQColor(QColor(Img.pixel(X, Y)));
}

int CountIn(const QImage& Img, TColor C, const TRect& R) {
    int n = 0;
    for (int y = R.Top; y < R.Bottom; ++y)
        for (int x = R.Left; x < R.Right; ++x)
            n += At(Img, x, y) == C;
    return n;
}

void Mouse(QWidget& W, QEvent::Type Type, Qt::MouseButton Button, QPoint At) {
    Qt::MouseButtons held = Type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(Button);
    QMouseEvent e(Type, QPointF(At), W.mapToGlobal(QPointF(At)),
                  Type == QEvent::MouseMove ? Qt::NoButton : Button, held, Qt::NoModifier);
    QApplication::sendEvent(&W, &e);
}

void Key(QWidget& W, int K) {
    QKeyEvent e(QEvent::KeyPress, K, Qt::NoModifier);
    QApplication::sendEvent(&W, &e);
}

void Focus(QWidget& W, bool In) {
    QFocusEvent e(In ? QEvent::FocusIn : QEvent::FocusOut);
    QApplication::sendEvent(&W, &e);
}

} // namespace

TEST(ColorGridGeometryTable, OrderingsCellsAndHitTesting) {
    const TGridOrdering orderings[] = {go16x1, go8x2, go4x4, go2x8, go1x16};
    for (TGridOrdering o : orderings) {
        int cols = Columns(o), rows = Rows(o);
        EXPECT_EQ(cols * rows, 16);
        TCells cells = CellSize(96, 96, cols, rows);
        // Every square's own centre hits it; points outside count as the nearest edge.
        for (int i = 0; i < 16; ++i) {
            TRect r = CellRect(i, cols, cells);
            EXPECT_EQ(
                SquareFromPos((r.Left + r.Right) / 2, (r.Top + r.Bottom) / 2, 96, 96, cols, rows, cells), i)
                << int(o) << " " << i;
        }
        EXPECT_EQ(SquareFromPos(-50, -50, 96, 96, cols, rows, cells), 0);
        EXPECT_EQ(SquareFromPos(500, 500, 96, 96, cols, rows, cells), 15);
        // Held wider than its squares: the spare pixels belong to the last column and row.
        EXPECT_EQ(SquareFromPos(99, 99, 100, 100, cols, rows, cells), 15) << int(o);
    }
    EXPECT_EQ(CellSize(100, 100, 4, 4).Width, 25);
    EXPECT_EQ(CellSize(100, 100, 16, 1).Width, 6);
    EXPECT_EQ(CellSize(3, 0, 4, 4).Width, 1) << "at least one pixel";
    EXPECT_EQ(CellSize(3, 0, 4, 4).Height, 1);
    EXPECT_EQ(CellRect(6, 4, TCells{25, 25}), Rect(50, 25, 75, 50));
}

TEST(ColorGridGeometryTable, MovementKeysWrap) {
    const struct {
        int Key, From, Columns, To;
    } keys[] = {
        {Qt::Key_Right, 15, 4, 0}, {Qt::Key_Space, 4, 4, 5}, {Qt::Key_Left, 0, 4, 15},
        {Qt::Key_Left, 9, 4, 8},   {Qt::Key_Home, 9, 4, 0},  {Qt::Key_End, 2, 4, 15},
        {Qt::Key_Up, 5, 4, 1},     {Qt::Key_Up, 2, 4, 13},   {Qt::Key_Up, 0, 4, 15},
        {Qt::Key_Down, 3, 4, 7},   {Qt::Key_Down, 15, 4, 0}, {Qt::Key_Down, 13, 4, 2},
        {Qt::Key_Up, 5, 16, 4},    {Qt::Key_Down, 5, 16, 6}, {Qt::Key_Down, 5, 1, 6},
        {Qt::Key_Up, 5, 1, 4},     {Qt::Key_Down, 7, 8, 15}, {Qt::Key_Down, 9, 8, 2},
        {Qt::Key_A, 3, 4, -1},
    };
    for (const auto& k : keys)
        EXPECT_EQ(KeySelection(k.Key, k.From, k.Columns, 16 / k.Columns), k.To)
            << k.Key << " from " << k.From;
}

TEST(ColorGridGeometryTable, PaletteLabelsAndTheirColours) {
    const TColor expected[16] = {clBlack, clMaroon, clGreen, clOlive,  clNavy, clPurple,  clTeal, clSilver,
                                 clGray,  clRed,    clLime,  clYellow, clBlue, clFuchsia, clAqua, clWhite};
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(SquareColor(i), expected[i]) << i;
    EXPECT_EQ(LabelColor(clBlack), clWhite);
    EXPECT_EQ(LabelColor(clGray), clBlack);
    EXPECT_EQ(LabelColor(clRed), clAqua);
    EXPECT_EQ(LabelColor(0x7F8000), 0xFF00FFu);
    EXPECT_EQ(Label(true, 3, 3, true, true), "FB");
    EXPECT_EQ(Label(false, 3, 3, true, true), "FB");
    EXPECT_EQ(Label(true, 3, 3, true, false), "FG");
    EXPECT_EQ(Label(false, 3, 3, false, true), "BG");
    EXPECT_EQ(Label(true, 3, 4, true, true), "FG");
}

TEST(ColorGrid, OrderingShrinksTheControlToWholeCells) {
    TCColorGrid g;
    g.show(); // a hidden widget hears of its resizes only once shown
    EXPECT_EQ(g.Cells().Width, 25);
    g.SetGridOrdering(go16x1);
    EXPECT_EQ(g.Columns(), 16);
    EXPECT_EQ(g.Cells().Width, 6);
    EXPECT_EQ(g.size(), QSize(96, 100));
    g.resize(3, 3);
    EXPECT_EQ(g.size(), QSize(16, 3)) << "one pixel a cell at least";
    EXPECT_EQ(g.SquareFromPos(15, 2), 15);
}

TEST(ColorGrid, MouseAndKeysPickColoursAndRaiseChange) {
    TCColorGrid g;
    int changes = 0, clicks = 0;
    g.SetOnChange([&](TObject*) { ++changes; });
    g.SetOnClick([&](TObject*) { ++clicks; });

    // A right-button drag moves the background square by square.
    Mouse(g, QEvent::MouseButtonPress, Qt::RightButton, {10, 10});
    Mouse(g, QEvent::MouseMove, Qt::RightButton, {35, 10});
    Mouse(g, QEvent::MouseMove, Qt::RightButton, {60, 10});
    Mouse(g, QEvent::MouseButtonRelease, Qt::RightButton, {60, 10});
    EXPECT_EQ(g.BackgroundIndex(), 2);
    EXPECT_EQ(g.ForegroundIndex(), 0);
    EXPECT_EQ(g.Selection(), 2);
    EXPECT_EQ(changes, 2);
    Mouse(g, QEvent::MouseMove, Qt::NoButton, {85, 85});
    EXPECT_EQ(g.Selection(), 2) << "no tracking after the release";

    // A disabled foreground: left clicks only move the selection, unless clicks enable it.
    g.EnableForeground(false);
    Mouse(g, QEvent::MouseButtonPress, Qt::LeftButton, {85, 85});
    Mouse(g, QEvent::MouseButtonRelease, Qt::LeftButton, {85, 85});
    EXPECT_EQ(g.Selection(), 15);
    EXPECT_EQ(g.ForegroundIndex(), 0);
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(clicks, 1);
    g.SetClickEnablesColor(true);
    Key(g, Qt::Key_Home);
    Key(g, Qt::Key_F); // square 0 was the foreground already: still a change
    EXPECT_TRUE(g.ForegroundEnabled());
    EXPECT_EQ(g.ForegroundIndex(), 0);
    EXPECT_EQ(changes, 3);
    EXPECT_EQ(clicks, 2);

    Key(g, Qt::Key_Down);
    Key(g, Qt::Key_Right);
    Key(g, Qt::Key_B);
    EXPECT_EQ(g.Selection(), 5);
    EXPECT_EQ(g.BackgroundIndex(), 5);
    EXPECT_EQ(g.BackgroundColor(), clPurple);

    for (int bad : {-1, 16, 1000}) {
        g.SetSelection(bad);
        g.SetForegroundIndex(bad);
        g.SetBackgroundIndex(bad);
    }
    EXPECT_EQ(g.Selection(), 5);
    EXPECT_EQ(g.ForegroundIndex(), 0);
    EXPECT_EQ(g.BackgroundIndex(), 5);
    EXPECT_EQ(changes, 4);
}

TEST(ColorGrid, LabelsAndTheFocusMarkArePainted) {
    TCColorGrid g;
    g.SetForegroundIndex(7); // silver: black letters
    g.SetBackgroundIndex(7);
    QImage fb = g.Picture();
    const TRect silver = CellRect(7, 4, TCells{25, 25});
    EXPECT_GT(CountIn(fb, clBlack, silver), 5);
    const struct {
        int Inset;
        TColor TopLeft, BottomRight;
    } rings[] = {{0, clSilver, clSilver}, {1, clGray, clWhite}, {2, clGray, clWhite}}; // face, then 3D frame
    for (const auto& r : rings) {
        EXPECT_EQ(At(fb, silver.Left + r.Inset, silver.Top + r.Inset), r.TopLeft) << r.Inset;
        EXPECT_EQ(At(fb, silver.Right - 1 - r.Inset, silver.Bottom - 1 - r.Inset), r.BottomRight) << r.Inset;
    }
    EXPECT_EQ(At(fb, silver.Left + 4, silver.Top + 4), clSilver);

    g.EnableBackground(false); // "FB" becomes "FG"
    QImage fg = g.Picture();
    EXPECT_NE(fg, fb);
    EXPECT_GT(CountIn(fg, clBlack, silver), 5);
    g.EnableForeground(false);
    EXPECT_EQ(CountIn(g.Picture(), clBlack, silver), 0) << "no label without a choice";

    g.SetSelection(0);
    QImage plain = g.Picture();
    Focus(g, true);
    QImage focused = g.Picture();
    const TRect black = CellRect(0, 4, TCells{25, 25});
    int differ = 0, outside = 0;
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x)
            if (plain.pixel(x, y) != focused.pixel(x, y))
                ++(x >= black.Left && x < black.Right && y >= black.Top && y < black.Bottom ? differ
                                                                                            : outside);
    EXPECT_GT(differ, 10) << "dotted focus frame on the selection";
    EXPECT_EQ(outside, 0);
    EXPECT_EQ(At(focused, 4, 4), clWhite) << "an inverted dot on black";
    Focus(g, false);
    EXPECT_EQ(g.Picture(), plain);

    g.SetCtl3D(false);
    Focus(g, true);
    QImage flat = g.Picture();
    EXPECT_EQ(At(flat, 0, 0), clWhite) << "the selection's black outline inverted";
    EXPECT_EQ(At(flat, 1, 1), clWhite) << "and its black inside";
    EXPECT_EQ(At(flat, 2, 2), clBlack) << "the square drawn again two pixels inside";
    EXPECT_EQ(At(flat, 25, 25), clBlack) << "plain squares have a black outline";
    EXPECT_EQ(At(flat, 26, 26), clPurple);
}
