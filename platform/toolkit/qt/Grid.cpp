#include "platform/toolkit/qt/Grid.h"

#include "platform/toolkit/ShowException.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <climits>

namespace {

// Sizes are kept far below the point where a cell's position could overflow.
constexpr int MaxCellSize = 1 << 16;
constexpr int MaxCellCount = 1 << 12;

int ClampToInt(int64_t V) {
    return static_cast<int>(std::clamp<int64_t>(V, INT_MIN, INT_MAX));
}

} // namespace

TCustomGrid::TCustomGrid(QWidget* Parent, TComponent* AOwner)
    : QWidget(Parent), TComponent(AOwner, coDeletedElsewhere) {
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(320, 120);
}

void TCustomGrid::SetColCount(int Value) {
    if (Value < 1 || Value > MaxCellCount) throw ERangeError("Grid column count out of range");
    if (Value <= FFixedCols) throw ERangeError("Fixed column count must be less than column count");
    if (Value == FColCount) return;
    FColCount = Value;
    ClampCurrent();
}

void TCustomGrid::SetRowCount(int Value) {
    if (Value < 1 || Value > MaxCellCount) throw ERangeError("Grid row count out of range");
    if (Value <= FFixedRows) throw ERangeError("Fixed row count must be less than row count");
    if (Value == FRowCount) return;
    FRowCount = Value;
    ClampCurrent();
}

void TCustomGrid::SetFixedCols(int Value) {
    if (Value < 0) throw ERangeError("Grid fixed column count out of range");
    if (Value >= FColCount) throw ERangeError("Fixed column count must be less than column count");
    if (Value == FFixedCols) return;
    FFixedCols = Value;
    ClampCurrent();
}

void TCustomGrid::SetFixedRows(int Value) {
    if (Value < 0) throw ERangeError("Grid fixed row count out of range");
    if (Value >= FRowCount) throw ERangeError("Fixed row count must be less than row count");
    if (Value == FFixedRows) return;
    FFixedRows = Value;
    ClampCurrent();
}

void TCustomGrid::ClampCurrent() {
    FCol = std::clamp(FCol, FFixedCols, FColCount - 1);
    FRow = std::clamp(FRow, FFixedRows, FRowCount - 1);
    Invalidate();
}

void TCustomGrid::SetDefaultColWidth(int Value) {
    Value = std::clamp(Value, 0, MaxCellSize);
    if (Value == FDefaultColWidth) return;
    FDefaultColWidth = Value;
    Invalidate();
}

void TCustomGrid::SetDefaultRowHeight(int Value) {
    Value = std::clamp(Value, 0, MaxCellSize);
    if (Value == FDefaultRowHeight) return;
    FDefaultRowHeight = Value;
    Invalidate();
}

void TCustomGrid::SetGridLineWidth(int Value) {
    Value = std::clamp(Value, 0, MaxCellSize);
    if (Value == FGridLineWidth) return;
    FGridLineWidth = Value;
    // Controls that size their cells to the control size them again for the new lines.
    BoundsChanged();
    Invalidate();
}

void TCustomGrid::SetOptions(TGridOptions Value) {
    if (Value == FOptions) return;
    FOptions = Value;
    Invalidate();
}

void TCustomGrid::SetBorderStyle(TBorderStyle Value) {
    if (Value == FBorderStyle) return;
    FBorderStyle = Value;
    BoundsChanged();
    Invalidate();
}

void TCustomGrid::SetCtl3D(bool Value) {
    if (Value == FCtl3D) return;
    FCtl3D = Value;
    BoundsChanged();
    Invalidate();
}

void TCustomGrid::SetColor(TColor Value) {
    if (Value == FColor) return;
    FColor = Value;
    Invalidate();
}

void TCustomGrid::SetFixedColor(TColor Value) {
    if (Value == FFixedColor) return;
    FFixedColor = Value;
    Invalidate();
}

void TCustomGrid::MoveColRow(int ACol, int ARow) {
    if (ACol < FFixedCols || ACol >= FColCount || ARow < FFixedRows || ARow >= FRowCount)
        throw ERangeError("Grid index out of range");
    if (!SelectCell(ACol, ARow)) return;
    if (ACol == FCol && ARow == FRow) return;
    FCol = ACol;
    FRow = ARow;
    Invalidate();
}

void TCustomGrid::FocusCell(int ACol, int ARow) {
    if (ACol < FFixedCols || ACol >= FColCount || ARow < FFixedRows || ARow >= FRowCount) return;
    if (!SelectCell(ACol, ARow)) return;
    if (ACol != FCol || ARow != FRow) {
        FCol = ACol;
        FRow = ARow;
        Invalidate();
    }
    Click();
}

bool TCustomGrid::SelectCell(int, int) {
    return true;
}

void TCustomGrid::DrawCell(TCanvas&, int, int, const TRect&, TGridDrawState) const {}

void TCustomGrid::Click() {
    if (FOnClick) FOnClick(this);
}

void TCustomGrid::DblClick() {
    if (FOnDblClick) FOnDblClick(this);
}

void TCustomGrid::Invalidate() {
    update();
}

int TCustomGrid::BorderWidth() const {
    return FBorderStyle == bsSingle ? (FCtl3D ? 2 : 1) : 0;
}

TRect TCustomGrid::ClientRect() const {
    const int b = BorderWidth();
    return Rect(b, b, std::max(b, width() - b), std::max(b, height() - b));
}

TRect TCustomGrid::CellRect(int ACol, int ARow) const {
    if (ACol < 0 || ACol >= FColCount || ARow < 0 || ARow >= FRowCount) return TRect{};
    const int b = BorderWidth();
    int64_t left = b + int64_t{ACol} * (FDefaultColWidth + FGridLineWidth);
    int64_t top = b + int64_t{ARow} * (FDefaultRowHeight + FGridLineWidth);
    return Rect(ClampToInt(left), ClampToInt(top), ClampToInt(left + FDefaultColWidth),
                ClampToInt(top + FDefaultRowHeight));
}

bool TCustomGrid::MouseCoord(int X, int Y, int& ACol, int& ARow) const {
    const TRect client = ClientRect();
    const int stepX = FDefaultColWidth + FGridLineWidth, stepY = FDefaultRowHeight + FGridLineWidth;
    if (stepX <= 0 || stepY <= 0 || X < client.Left || Y < client.Top || X >= client.Right ||
        Y >= client.Bottom)
        return false;
    // A point on a grid line belongs to the cell before it.
    int64_t c = (int64_t{X} - client.Left) / stepX, r = (int64_t{Y} - client.Top) / stepY;
    if (c >= FColCount || r >= FRowCount) return false;
    ACol = static_cast<int>(c);
    ARow = static_cast<int>(r);
    return true;
}

QImage TCustomGrid::Picture() const {
    if (width() <= 0 || height() <= 0) return QImage();
    QImage img(width(), height(), QImage::Format_RGB32);
    TCanvas c(img);
    PaintOn(c);
    return img;
}

void TCustomGrid::PaintOn(TCanvas& Canvas) const {
    const TRect client = ClientRect();
    Canvas.Pen() = TPen{};
    Canvas.Brush() = TBrush{FColor, bsSolid};
    Canvas.FillRect(client);
    const bool focused = hasFocus();
    for (int r = 0; r < FRowCount; ++r) {
        for (int c = 0; c < FColCount; ++c) {
            TRect cell = CellRect(c, r);
            if (cell.Left >= client.Right || cell.Top >= client.Bottom) continue;
            TGridDrawState state;
            const bool current = c == FCol && r == FRow;
            if (IsFixed(c, r)) state.Include(gdFixed);
            if (current && !IsFixed(c, r) && (FOptions.Contains(goDrawFocusSelected) || !focused))
                state.Include(gdSelected);
            if (current && focused) state.Include(gdFocused);
            Canvas.Brush() = TBrush{state.Contains(gdFixed)      ? FFixedColor
                                    : state.Contains(gdSelected) ? clHighlight
                                                                 : FColor,
                                    bsSolid};
            Canvas.FillRect(cell);
            Canvas.Font() = CanvasFont(font());
            Canvas.Font().Color = state.Contains(gdSelected) ? clHighlightText : clWindowText;
            DrawCell(Canvas, c, r, cell, state);
            if (state.Contains(gdFixed) && FCtl3D) {
                TRect edge = cell;
                Canvas.Frame3D(edge, clBtnHighlight, clBtnShadow, 1);
            }
            if (state.Contains(gdFocused)) Canvas.DrawFocusRect(cell);
        }
    }
    DrawLines(Canvas);
    if (BorderWidth() > 0) {
        TRect r = Rect(0, 0, width(), height());
        if (FCtl3D) {
            Canvas.Frame3D(r, clBtnShadow, clBtnHighlight, 1);
            Canvas.Frame3D(r, clBlack, clBtnFace, 1);
        } else {
            Canvas.Frame3D(r, clBlack, clBlack, 1);
        }
    }
}

void TCustomGrid::DrawLines(TCanvas& Canvas) const {
    if (FGridLineWidth <= 0) return;
    const TRect client = ClientRect();
    auto lineColor = [&](bool Fixed) { return Fixed && !FCtl3D ? clBlack : clBtnFace; };
    // The line after each column runs down the fixed rows and then down the ordinary ones.
    for (int c = 0; c < FColCount; ++c) {
        TRect cell = CellRect(c, 0);
        const bool fixedCol = c < FFixedCols;
        TRect fixedPart = CellRect(c, FFixedRows - 1), last = CellRect(c, FRowCount - 1);
        const int x = cell.Right;
        if (x >= client.Right) break;
        if (FFixedRows > 0 && FOptions.Contains(goFixedVertLine)) {
            Canvas.Brush() = TBrush{lineColor(true), bsSolid};
            Canvas.FillRect(Rect(x, client.Top, x + FGridLineWidth, fixedPart.Bottom + FGridLineWidth));
        }
        if (FOptions.Contains(fixedCol ? goFixedVertLine : goVertLine)) {
            Canvas.Brush() = TBrush{lineColor(fixedCol), bsSolid};
            int top = FFixedRows > 0 ? fixedPart.Bottom + FGridLineWidth : client.Top;
            Canvas.FillRect(Rect(x, top, x + FGridLineWidth, last.Bottom + FGridLineWidth));
        }
    }
    for (int r = 0; r < FRowCount; ++r) {
        TRect cell = CellRect(0, r), last = CellRect(FColCount - 1, r);
        const bool fixedRow = r < FFixedRows;
        const int y = cell.Bottom;
        if (y >= client.Bottom) break;
        if (FOptions.Contains(fixedRow ? goFixedHorzLine : goHorzLine)) {
            Canvas.Brush() = TBrush{lineColor(fixedRow), bsSolid};
            Canvas.FillRect(Rect(client.Left, y, last.Right + FGridLineWidth, y + FGridLineWidth));
        }
    }
}

void TCustomGrid::paintEvent(QPaintEvent*) {
    QImage picture = Picture();
    QPainter painter(this);
    TCanvas canvas(painter);
    canvas.Draw(0, 0, picture);
}

void TCustomGrid::resizeEvent(QResizeEvent*) {
    BoundsChanged();
}

void TCustomGrid::mousePressEvent(QMouseEvent* Event) {
    if (Event->button() != Qt::LeftButton) return;
    if (focusPolicy() != Qt::NoFocus) setFocus(Qt::MouseFocusReason);
    int c = 0, r = 0;
    const QPoint p = Event->position().toPoint();
    if (!MouseCoord(p.x(), p.y(), c, r)) return;
    // Runs in Qt's event handling: an error of a handler is shown and the grid carries on.
    try {
        FocusCell(c, r);
    } catch (...) {
        ShowException(std::current_exception());
    }
}

void TCustomGrid::mouseDoubleClickEvent(QMouseEvent* Event) {
    if (Event->button() != Qt::LeftButton) return;
    try {
        DblClick();
    } catch (...) {
        ShowException(std::current_exception());
    }
}

void TCustomGrid::keyPressEvent(QKeyEvent* Event) {
    const bool ctrl = Event->modifiers().testFlag(Qt::ControlModifier);
    int c = FCol, r = FRow;
    switch (Event->key()) {
    case Qt::Key_Left:
        --c;
        break;
    case Qt::Key_Right:
        ++c;
        break;
    case Qt::Key_Up:
        --r;
        break;
    case Qt::Key_Down:
        ++r;
        break;
    case Qt::Key_Home:
        c = FFixedCols;
        if (ctrl) r = FFixedRows;
        break;
    case Qt::Key_End:
        c = FColCount - 1;
        if (ctrl) r = FRowCount - 1;
        break;
    case Qt::Key_PageUp:
        r = FFixedRows;
        break;
    case Qt::Key_PageDown:
        r = FRowCount - 1;
        break;
    default:
        QWidget::keyPressEvent(Event);
        return;
    }
    if (c == FCol && r == FRow) return;
    try {
        FocusCell(c, r);
    } catch (...) {
        ShowException(std::current_exception());
    }
}

void TCustomGrid::focusInEvent(QFocusEvent*) {
    Invalidate();
}

void TCustomGrid::focusOutEvent(QFocusEvent*) {
    Invalidate();
}

void TCustomGrid::changeEvent(QEvent* Event) {
    if (Event->type() == QEvent::FontChange || Event->type() == QEvent::LocaleChange ||
        Event->type() == QEvent::EnabledChange)
        Invalidate();
    QWidget::changeEvent(Event);
}
