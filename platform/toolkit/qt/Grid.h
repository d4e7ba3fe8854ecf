#pragma once

#include "platform/toolkit/Component.h"
#include "platform/toolkit/TSet.h"
#include "platform/toolkit/qt/Canvas.h"
#include "platform/toolkit/qt/Controls.h"

#include <QImage>
#include <QWidget>

#include <cstdint>

// A grid of equal cells with fixed (heading) rows and columns, a current cell the user moves with
// the mouse and the keys, and a picture painted cell by cell by the subclass. No scrolling: the
// controls built on it show all their cells. GUI thread only.

enum TGridOption : uint8_t {
    goFixedVertLine,
    goFixedHorzLine,
    goVertLine,
    goHorzLine,
    goRangeSelect,
    goDrawFocusSelected,
};
using TGridOptions = TSet<TGridOption, uint8_t>;

enum TGridDrawStateItem : uint8_t { gdSelected, gdFocused, gdFixed };
using TGridDrawState = TSet<TGridDrawStateItem, uint8_t>;

class TCustomGrid : public QWidget, public TComponent {
  public:
    TCustomGrid(QWidget* Parent, TComponent* AOwner);
    std::string ClassName() const override { return "TCustomGrid"; }

    // Counts below 1, and fixed counts that leave no ordinary cell, raise ERangeError.
    int ColCount() const { return FColCount; }
    void SetColCount(int Value);
    int RowCount() const { return FRowCount; }
    void SetRowCount(int Value);
    int FixedCols() const { return FFixedCols; }
    void SetFixedCols(int Value);
    int FixedRows() const { return FFixedRows; }
    void SetFixedRows(int Value);
    // Sizes in pixels; negative values count as 0.
    int DefaultColWidth() const { return FDefaultColWidth; }
    void SetDefaultColWidth(int Value);
    int DefaultRowHeight() const { return FDefaultRowHeight; }
    void SetDefaultRowHeight(int Value);
    int GridLineWidth() const { return FGridLineWidth; }
    void SetGridLineWidth(int Value);
    TGridOptions Options() const { return FOptions; }
    void SetOptions(TGridOptions Value);
    TBorderStyle BorderStyle() const { return FBorderStyle; }
    void SetBorderStyle(TBorderStyle Value);
    bool Ctl3D() const { return FCtl3D; }
    void SetCtl3D(bool Value);
    TColor Color() const { return FColor; }
    void SetColor(TColor Value);
    TColor FixedColor() const { return FFixedColor; }
    void SetFixedColor(TColor Value);
    bool TabStop() const { return focusPolicy() != Qt::NoFocus; }
    void SetTabStop(bool Value) { setFocusPolicy(Value ? Qt::StrongFocus : Qt::ClickFocus); }
    bool Enabled() const { return isEnabled(); }
    void SetEnabled(bool Value) { setEnabled(Value); }
    // Whether the control is meant to be shown (not hidden on purpose), whether or not its window is.
    bool Visible() const {
        return !(testAttribute(Qt::WA_WState_ExplicitShowHide) && testAttribute(Qt::WA_WState_Hidden));
    }
    void SetVisible(bool Value) { setVisible(Value); }

    // The current cell.
    int Col() const { return FCol; }
    int Row() const { return FRow; }
    void SetCol(int Value) { MoveColRow(Value, FRow); }
    void SetRow(int Value) { MoveColRow(FCol, Value); }
    // Moves the current cell as a program does: only when SelectCell allows it, without Click.
    // A cell outside the ordinary cells raises ERangeError.
    void MoveColRow(int ACol, int ARow);

    // The cell's rectangle in the control; empty for a cell outside the grid.
    TRect CellRect(int ACol, int ARow) const;
    // The cell under a point, false when there is none (the border, the space beyond the cells).
    bool MouseCoord(int X, int Y, int& ACol, int& ARow) const;
    // The area inside the border.
    TRect ClientRect() const;

    const TNotifyEvent& OnClick() const { return FOnClick; }
    void SetOnClick(TNotifyEvent Value) { FOnClick = std::move(Value); }
    const TNotifyEvent& OnDblClick() const { return FOnDblClick; }
    void SetOnDblClick(TNotifyEvent Value) { FOnDblClick = std::move(Value); }

    // The picture the control paints, Width × Height.
    QImage Picture() const;
    void PaintOn(TCanvas& Canvas) const;

  protected:
    // Moves the current cell as the user does: when SelectCell allows it, then Click.
    void FocusCell(int ACol, int ARow);
    // Whether the cell may become the current one. The base allows every ordinary cell.
    virtual bool SelectCell(int ACol, int ARow);
    // Draws one cell's content; the background is already filled and the font coloured for State.
    virtual void DrawCell(TCanvas& Canvas, int ACol, int ARow, const TRect& ARect,
                          TGridDrawState AState) const;
    // The user moved to or clicked a cell; the base raises OnClick.
    virtual void Click();
    virtual void DblClick();
    // The control's size changed (and on a change of the border).
    virtual void BoundsChanged() {}
    // Asks for a repaint; the one place every change that shows goes through.
    virtual void Invalidate();

    void paintEvent(QPaintEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseDoubleClickEvent(QMouseEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    void focusInEvent(QFocusEvent* Event) override;
    void focusOutEvent(QFocusEvent* Event) override;
    void changeEvent(QEvent* Event) override;

  private:
    int BorderWidth() const;
    bool IsFixed(int ACol, int ARow) const { return ACol < FFixedCols || ARow < FFixedRows; }
    void ClampCurrent();
    void DrawLines(TCanvas& Canvas) const;

    int FColCount = 5, FRowCount = 5, FFixedCols = 1, FFixedRows = 1;
    int FDefaultColWidth = 64, FDefaultRowHeight = 24, FGridLineWidth = 1;
    int FCol = 1, FRow = 1;
    TGridOptions FOptions{goFixedVertLine, goFixedHorzLine, goVertLine, goHorzLine};
    TBorderStyle FBorderStyle = bsSingle;
    bool FCtl3D = true;
    TColor FColor = clWindow, FFixedColor = clBtnFace;
    TNotifyEvent FOnClick, FOnDblClick;
};
