#pragma once

#include "platform/toolkit/Object.h"
#include "platform/toolkit/qt/Canvas.h"

#include <QImage>
#include <QWidget>

#include <array>
#include <cstdint>
#include <string>

enum TGridOrdering : uint8_t { go16x1, go8x2, go4x4, go2x8, go1x16 };

struct TPaletteEntry {
    uint8_t Red, Green, Blue, Flags;
};

// The first 20 entries of the system's default palette: the 16 colours shown are entries 0–7 and
// 12–19; 8–11 are the four the system may change, never shown.
constexpr std::array<TPaletteEntry, 20> DefaultPalette{{
    {0, 0, 0, 0},       {128, 0, 0, 0},     {0, 128, 0, 0},     {128, 128, 0, 0},   {0, 0, 128, 0},
    {128, 0, 128, 0},   {0, 128, 128, 0},   {192, 192, 192, 0}, {192, 220, 192, 0}, {166, 202, 240, 0},
    {255, 251, 240, 0}, {160, 160, 164, 0}, {128, 128, 128, 0}, {255, 0, 0, 0},     {0, 255, 0, 0},
    {255, 255, 0, 0},   {0, 0, 255, 0},     {255, 0, 255, 0},   {0, 255, 255, 0},   {255, 255, 255, 0},
}};

constexpr int ColorGridSquares = 16;

// The colour grid's arithmetic and placement, apart from painting so it can be checked without pixels.
namespace ColorGridGeometry {

constexpr int PaletteIndex(int Square) {
    return Square <= 7 ? Square : Square + 4;
}
// The colour of square 0..15.
TColor SquareColor(int Square);
int Columns(TGridOrdering Ordering); // 16 shr ordering
int Rows(TGridOrdering Ordering);    // 1 shl ordering

struct TCells {
    int Width = 1, Height = 1;
};
// Cell size for a control of Width × Height, at least one pixel, so a control narrower than its
// columns still has squares to hit.
TCells CellSize(int Width, int Height, int Columns, int Rows);
TRect CellRect(int Index, int Columns, TCells Cells);
// The square under (X, Y); points outside the control count as its nearest edge, and a control
// wider than its squares (held so by a layout) counts the spare pixels to the last column or row.
int SquareFromPos(int X, int Y, int Width, int Height, int Columns, int Rows, TCells Cells);
// The selection a movement key leads to (a Qt::Key), or -1 for a key that does not move it.
int KeySelection(int Key, int Selection, int Columns, int Rows);
// The label of the chosen square: "FB" when both choices (enabled) are that square.
std::string Label(bool Foreground, int ForegroundIndex, int BackgroundIndex, bool ForegroundEnabled,
                  bool BackgroundEnabled);
// Per component 0 where the square's is 128 or more, 255 otherwise: readable on the square.
TColor LabelColor(TColor Square);

} // namespace ColorGridGeometry

// The colour grid control. Paints from a picture of the whole control. GUI thread only.
class TCColorGrid : public QWidget, public TObject {
  public:
    explicit TCColorGrid(QWidget* Parent = nullptr);
    std::string ClassName() const override { return "TCColorGrid"; }

    TGridOrdering GridOrdering() const { return FGridOrdering; }
    void SetGridOrdering(TGridOrdering Value);
    int Selection() const { return FSelection; }
    void SetSelection(int Value); // values outside 0..15 are ignored
    int ForegroundIndex() const { return FForegroundIndex; }
    void SetForegroundIndex(int Value); // ignored outside 0..15 or while the foreground is disabled
    int BackgroundIndex() const { return FBackgroundIndex; }
    void SetBackgroundIndex(int Value);
    bool ForegroundEnabled() const { return FForegroundEnabled; }
    void EnableForeground(bool Value);
    bool BackgroundEnabled() const { return FBackgroundEnabled; }
    void EnableBackground(bool Value);
    bool ClickEnablesColor() const { return FClickEnablesColor; }
    void SetClickEnablesColor(bool Value) { FClickEnablesColor = Value; }
    bool Ctl3D() const { return FCtl3D; }
    void SetCtl3D(bool Value);
    bool TabStop() const { return FTabStop; }
    void SetTabStop(bool Value);
    TColor Color() const { return FColor; }
    void SetColor(TColor Value);
    TColor ForegroundColor() const;
    TColor BackgroundColor() const;
    bool Focused() const { return FFocused; }

    const TNotifyEvent& OnChange() const { return FOnChange; }
    void SetOnChange(TNotifyEvent Value) { FOnChange = std::move(Value); }
    const TNotifyEvent& OnClick() const { return FOnClick; }
    void SetOnClick(TNotifyEvent Value) { FOnClick = std::move(Value); }

    int Columns() const { return FColumns; }
    int Rows() const { return FRows; }
    ColorGridGeometry::TCells Cells() const { return FCells; }
    int SquareFromPos(int X, int Y) const;

    // The picture the control paints, Width × Height.
    QImage Picture() const;
    QSize sizeHint() const override { return QSize(100, 100); }

  protected:
    void paintEvent(QPaintEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void focusInEvent(QFocusEvent* Event) override;
    void focusOutEvent(QFocusEvent* Event) override;
    // Asks for a repaint; the one place every change that shows goes through.
    virtual void Invalidate();
    void Change();

  private:
    void UpdateCellSizes(bool Redraw);
    void DrawSquare(TCanvas& Canvas, int Index, bool Highlight) const;
    void DrawFgBg(TCanvas& Canvas) const;
    // A pick by click or key: a disabled choice is turned on first when clicks enable it.
    void PickForeground(int Index);
    void PickBackground(int Index);

    TGridOrdering FGridOrdering = go4x4;
    int FColumns = 4, FRows = 4;
    ColorGridGeometry::TCells FCells{25, 25};
    int FSelection = 0, FForegroundIndex = 0, FBackgroundIndex = 0;
    bool FForegroundEnabled = true, FBackgroundEnabled = true, FClickEnablesColor = false;
    bool FCtl3D = true, FTabStop = false, FFocused = false;
    bool FTracking = false;
    Qt::MouseButton FTrackedButton = Qt::NoButton;
    TColor FColor = clBtnFace;
    TNotifyEvent FOnChange, FOnClick;
};
