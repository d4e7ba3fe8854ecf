#include "samples/ColorGrid.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

namespace ColorGridGeometry {

TColor SquareColor(int Square) {
    const TPaletteEntry& e = DefaultPalette[static_cast<size_t>(PaletteIndex(std::clamp(Square, 0, 15)))];
    return static_cast<TColor>(e.Red) | static_cast<TColor>(e.Green) << 8 | static_cast<TColor>(e.Blue) << 16;
}

int Columns(TGridOrdering Ordering) {
    return 16 >> std::min<int>(Ordering, go1x16);
}

int Rows(TGridOrdering Ordering) {
    return 1 << std::min<int>(Ordering, go1x16);
}

TCells CellSize(int Width, int Height, int Columns, int Rows) {
    return TCells{std::max(Width / Columns, 1), std::max(Height / Rows, 1)};
}

TRect CellRect(int Index, int Columns, TCells Cells) {
    int left = Index % Columns * Cells.Width, top = Index / Columns * Cells.Height;
    return Rect(left, top, left + Cells.Width, top + Cells.Height);
}

int SquareFromPos(int X, int Y, int Width, int Height, int Columns, int Rows, TCells Cells) {
    X = std::clamp(X, 0, std::max(Width - 1, 0));
    Y = std::clamp(Y, 0, std::max(Height - 1, 0));
    int column = std::min(X / Cells.Width, Columns - 1), row = std::min(Y / Cells.Height, Rows - 1);
    return row * Columns + column;
}

int KeySelection(int Key, int S, int Columns, int Rows) {
    const int n = Columns * Rows, k = Columns;
    switch (Key) {
    case Qt::Key_Space:
    case Qt::Key_Right:
        return S == n - 1 ? 0 : S + 1;
    case Qt::Key_Home:
        return 0;
    case Qt::Key_End:
        return n - 1;
    case Qt::Key_Left:
        return S == 0 ? n - 1 : S - 1;
    case Qt::Key_Up:
        if (S >= k) return S - k;
        return S > 0 ? n - k + S - 1 : n - 1;
    case Qt::Key_Down:
        if (S + k < n) return S + k;
        return S == n - 1 ? 0 : S % k + 1;
    default:
        return -1;
    }
}

std::string Label(bool Foreground, int ForegroundIndex, int BackgroundIndex, bool ForegroundEnabled,
                  bool BackgroundEnabled) {
    bool otherEnabled = Foreground ? BackgroundEnabled : ForegroundEnabled;
    if (ForegroundIndex == BackgroundIndex && otherEnabled) return "FB";
    return Foreground ? "FG" : "BG";
}

TColor LabelColor(TColor Square) {
    TColor out = 0;
    for (int shift = 0; shift < 24; shift += 8)
        if (((Square >> shift) & 0xFF) < 128) out |= TColor(0xFF) << shift;
    return out;
}

} // namespace ColorGridGeometry

using namespace ColorGridGeometry;

namespace {
bool IsSquare(int Index) {
    return Index >= 0 && Index < ColorGridSquares;
}
} // namespace

TCColorGrid::TCColorGrid(QWidget* Parent) : QWidget(Parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::NoFocus);
    resize(100, 100);
}

void TCColorGrid::Invalidate() {
    update();
}

void TCColorGrid::Change() {
    if (FOnChange) FOnChange(this);
}

TColor TCColorGrid::ForegroundColor() const {
    return SquareColor(FForegroundIndex);
}

TColor TCColorGrid::BackgroundColor() const {
    return SquareColor(FBackgroundIndex);
}

int TCColorGrid::SquareFromPos(int X, int Y) const {
    return ColorGridGeometry::SquareFromPos(X, Y, width(), height(), FColumns, FRows, FCells);
}

void TCColorGrid::UpdateCellSizes(bool Redraw) {
    FCells = CellSize(width(), height(), FColumns, FRows);
    QSize fitted(FCells.Width * FColumns, FCells.Height * FRows);
    if (size() != fitted) resize(fitted);
    if (Redraw) Invalidate();
}

void TCColorGrid::SetGridOrdering(TGridOrdering Value) {
    if (Value == FGridOrdering || Value > go1x16) return;
    FGridOrdering = Value;
    FColumns = ColorGridGeometry::Columns(Value);
    FRows = ColorGridGeometry::Rows(Value);
    UpdateCellSizes(true);
}

void TCColorGrid::SetSelection(int Value) {
    if (!IsSquare(Value) || Value == FSelection) return;
    FSelection = Value;
    Invalidate();
}

void TCColorGrid::SetForegroundIndex(int Value) {
    if (!IsSquare(Value) || Value == FForegroundIndex || !FForegroundEnabled) return;
    FForegroundIndex = Value;
    Invalidate();
    Change();
}

void TCColorGrid::SetBackgroundIndex(int Value) {
    if (!IsSquare(Value) || Value == FBackgroundIndex || !FBackgroundEnabled) return;
    FBackgroundIndex = Value;
    Invalidate();
    Change();
}

void TCColorGrid::EnableForeground(bool Value) {
    if (Value == FForegroundEnabled) return;
    FForegroundEnabled = Value;
    Invalidate();
}

void TCColorGrid::EnableBackground(bool Value) {
    if (Value == FBackgroundEnabled) return;
    FBackgroundEnabled = Value;
    Invalidate();
}

void TCColorGrid::SetCtl3D(bool Value) {
    if (Value == FCtl3D) return;
    FCtl3D = Value;
    Invalidate();
}

void TCColorGrid::SetTabStop(bool Value) {
    FTabStop = Value;
    // Without a tab stop the grid still takes the focus when code gives it.
    setFocusPolicy(Value ? Qt::TabFocus : Qt::NoFocus);
}

void TCColorGrid::SetColor(TColor Value) {
    if (Value == FColor) return;
    FColor = Value;
    Invalidate();
}

void TCColorGrid::PickForeground(int Index) {
    if (!FForegroundEnabled && FClickEnablesColor) {
        FForegroundEnabled = true;
        // So the pick below counts as a change even on the square chosen before.
        FForegroundIndex = -1;
    }
    SetForegroundIndex(Index);
}

void TCColorGrid::PickBackground(int Index) {
    if (!FBackgroundEnabled && FClickEnablesColor) {
        FBackgroundEnabled = true;
        FBackgroundIndex = -1;
    }
    SetBackgroundIndex(Index);
}

void TCColorGrid::DrawSquare(TCanvas& C, int Index, bool Highlight) const {
    if (!IsSquare(Index)) return;
    TRect r = CellRect(Index, FColumns, FCells);
    C.Pen().Mode = pmCopy;
    if (FCtl3D) {
        C.Pen().Color = clBtnFace;
        C.Rectangle(r);
        r = Rect(r.Left + 1, r.Top + 1, r.Right - 1, r.Bottom - 1);
        C.Frame3D(r, clBtnShadow, clBtnHighlight, 2);
    } else {
        C.Pen().Color = clBlack;
    }
    C.Brush().Color = SquareColor(Index);
    if (FCtl3D) C.Pen().Color = C.Brush().Color;
    if (!Highlight) {
        C.Rectangle(r);
    } else if (FCtl3D) {
        C.Rectangle(r);
        C.DrawFocusRect(Rect(r.Left + 1, r.Top + 1, r.Right - 1, r.Bottom - 1));
    } else {
        C.Pen().Color = clBlack;
        C.Pen().Mode = pmNot;
        C.Rectangle(r);
        C.Pen().Mode = pmCopy;
        C.Rectangle(Rect(r.Left + 2, r.Top + 2, r.Right - 2, r.Bottom - 2));
    }
}

void TCColorGrid::DrawFgBg(TCanvas& C) const {
    TBrushStyle saved = C.Brush().Style;
    C.Brush().Style = bsClear;
    auto label = [&](bool Foreground) {
        int index = Foreground ? FForegroundIndex : FBackgroundIndex;
        if (!IsSquare(index)) return;
        std::string text =
            Label(Foreground, FForegroundIndex, FBackgroundIndex, FForegroundEnabled, FBackgroundEnabled);
        C.Font().Color = LabelColor(SquareColor(index));
        TRect cell = CellRect(index, FColumns, FCells);
        C.TextOut(cell.Left + (cell.Width() - C.TextWidth(text)) / 2,
                  cell.Top + (cell.Height() - C.TextHeight(text)) / 2, text);
    };
    if (FForegroundEnabled) label(true);
    if (FBackgroundEnabled) label(false);
    C.Brush().Style = saved;
}

QImage TCColorGrid::Picture() const {
    if (width() <= 0 || height() <= 0) return QImage();
    QImage img(width(), height(), QImage::Format_RGB32);
    TCanvas c(img);
    // Ground under any spare pixels a layout may have given the control beyond its squares.
    c.Brush().Color = FColor;
    c.FillRect(Rect(0, 0, width(), height()));
    c.Font() = CanvasFont(font());
    c.Font().Quality = fqNonAntialiased;
    for (int i = 0; i < ColorGridSquares; ++i)
        DrawSquare(c, i, false);
    if (FFocused) DrawSquare(c, FSelection, true);
    DrawFgBg(c);
    return img;
}

void TCColorGrid::paintEvent(QPaintEvent*) {
    QImage picture = Picture();
    QPainter painter(this);
    TCanvas canvas(painter);
    canvas.Draw(0, 0, picture);
}

void TCColorGrid::resizeEvent(QResizeEvent*) {
    UpdateCellSizes(false);
}

void TCColorGrid::keyPressEvent(QKeyEvent* Event) {
    int key = Event->key();
    int next = KeySelection(key, FSelection, FColumns, FRows);
    if (next >= 0) {
        SetSelection(next);
    } else if (key == Qt::Key_F || key == Qt::Key_B) {
        key == Qt::Key_F ? PickForeground(FSelection) : PickBackground(FSelection);
        if (FOnClick) FOnClick(this);
    } else {
        QWidget::keyPressEvent(Event);
        return;
    }
    Event->accept();
}

void TCColorGrid::mousePressEvent(QMouseEvent* Event) {
    // Qt keeps sending this widget the mouse until the button is released (its implicit grab), so
    // no capture is taken here and none can be left behind.
    FTracking = true;
    FTrackedButton = Event->button();
    QPoint at = Event->position().toPoint();
    int i = SquareFromPos(at.x(), at.y());
    FTrackedButton == Qt::LeftButton ? PickForeground(i) : PickBackground(i);
    SetSelection(i);
    if (FTabStop) setFocus(Qt::MouseFocusReason);
}

void TCColorGrid::mouseMoveEvent(QMouseEvent* Event) {
    if (!FTracking) return;
    QPoint at = Event->position().toPoint();
    int i = SquareFromPos(at.x(), at.y());
    FTrackedButton == Qt::LeftButton ? SetForegroundIndex(i) : SetBackgroundIndex(i);
    SetSelection(i);
}

void TCColorGrid::mouseReleaseEvent(QMouseEvent* Event) {
    bool click =
        FTracking && Event->button() == Qt::LeftButton && rect().contains(Event->position().toPoint());
    FTracking = false;
    if (click && FOnClick) FOnClick(this);
}

void TCColorGrid::focusInEvent(QFocusEvent*) {
    FFocused = true;
    Invalidate();
}

void TCColorGrid::focusOutEvent(QFocusEvent*) {
    FFocused = false;
    Invalidate();
}
