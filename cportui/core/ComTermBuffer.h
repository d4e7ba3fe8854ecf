#pragma once

#include "platform/toolkit/Graphics.h"
#include "platform/toolkit/Object.h"

#include <cstdint>
#include <functional>
#include <vector>

// One terminal screen cell, copied by value. All fields zero is the empty cell, which is not
// drawn (the control's background shows).
struct TComTermChar {
    char CharCode = 0;
    TColor ForeColor = 0;
    TColor BackColor = 0;
    bool Underlined = false;
    // The code point the cell shows when it came from UTF-8 beyond ASCII (CharCode is then '?');
    // 0 for a cell that shows CharCode.
    char32_t Code = 0;
    // Written while the bright attribute was on (drawn in AltColor; a view may also draw it bold).
    bool Bold = false;
    bool operator==(const TComTermChar&) const = default;
};

// What a row keeps beside its cells, moving with it into the scrollback.
struct TComTermRowInfo {
    int64_t Stamp = 0;      // a number the owner keeps (the time the row was first written); 0: none
    bool Continues = false; // the row's text goes on in the next row (the caret wrapped there)
};

// What the screen buffer needs of the terminal that shows it. Called on the thread that owns the
// terminal's window.
class TComTermBufferOwner {
  public:
    virtual ~TComTermBufferOwner() = default;
    // The grid size the next Init allocates.
    virtual int Columns() const = 0;
    virtual int Rows() const = 0;
    // One cell in pixels.
    virtual int CharWidth() const = 0;
    virtual int CharHeight() const = 0;
    virtual int ClientWidth() const = 0;
    virtual int ClientHeight() const = 0;
    // A double-buffered window repaints whole instead of moving its pixels.
    virtual bool DoubleBuffered() const = 0;
    // Repaints the whole control.
    virtual void Invalidate() = 0;
    // Repaints the cells of Cells: grid coordinates from 1, Right and Bottom included.
    virtual void InvalidatePortion(const TRect& Cells) = 0;
    // Moves the window's pixels inside Clip (pixels, Right and Bottom excluded) by (DX, DY) and
    // invalidates, with background erase, the strip the move uncovers.
    virtual void ScrollWindowPixels(int DX, int DY, const TRect& Clip) = 0;
};

// The grid of cells a terminal shows, with one tab-stop flag per column. Coordinates are from 1:
// column 1..Columns, row 1..Rows. The grid keeps the size of its latest Init: access outside it
// is ignored (a read gives the empty cell), and before the first Init every operation does
// nothing. Scrolling and erasing bring the owner's window up to date.
class TComTermBuffer : public TObject {
  public:
    explicit TComTermBuffer(TComTermBufferOwner* Owner) : FOwner(Owner) {}
    std::string ClassName() const override { return "TComTermBuffer"; }

    // (Re)creates the grid at the owner's current Columns and Rows, all cells empty, with tab
    // stops at 1, 9, ..., 73 (none further right, however wide the grid).
    void Init();
    void SetChar(int X, int Y, const TComTermChar& Cell);
    TComTermChar GetChar(int X, int Y) const;
    // The grid moves up one row; the bottom row comes in empty. OnRowLeaves, when set, sees the
    // top row first (a scrollback keeps it), with its row information.
    void ScrollDown();
    std::function<void(const TComTermChar* Cells, int Columns, const TComTermRowInfo& Info)> OnRowLeaves;
    // The grid moves down one row; the top row comes in empty.
    void ScrollUp();
    // Empties row Y from column X to its end.
    void EraseLine(int X, int Y);
    // Empties from column X of row Y to the end of the grid.
    void EraseScreen(int X, int Y);
    // Makes the grid Columns x Rows keeping its text: the top Drop rows leave as ScrollDown's do,
    // the rows below them follow from the top, cut or padded at the right and the bottom. Tab
    // stops stay on their columns; new columns have none. The owner repaints.
    void Resize(int Columns, int Rows, int Drop);
    // What row Y keeps beside its cells; a new or wholly erased row has none. Outside the grid
    // a read gives none and a write is ignored.
    TComTermRowInfo RowInfo(int Y) const {
        return Y >= 1 && Y <= FRows ? FInfo[static_cast<std::size_t>(Y - 1)] : TComTermRowInfo{};
    }
    int64_t RowStamp(int Y) const { return RowInfo(Y).Stamp; }
    void SetRowStamp(int Y, int64_t Stamp) {
        if (Y >= 1 && Y <= FRows) FInfo[static_cast<std::size_t>(Y - 1)].Stamp = Stamp;
    }
    void SetRowContinues(int Y, bool Value) {
        if (Y >= 1 && Y <= FRows) FInfo[static_cast<std::size_t>(Y - 1)].Continues = Value;
    }
    bool GetTab(int X) const;
    void SetTab(int X, bool Flag);
    // The first column at or after X with a tab stop; 0 when there is none.
    int NextTab(int X) const;
    void ClearAllTabs();

    // The grid size of the latest Init (0 before it).
    int Columns() const { return FColumns; }
    int Rows() const { return FRows; }

  private:
    bool Inside(int X, int Y) const { return X >= 1 && X <= FColumns && Y >= 1 && Y <= FRows; }
    TComTermChar* Row(int Y) { return FCells.data() + static_cast<std::size_t>(Y - 1) * FColumns; }
    void ScrollWindow(int Rows);
    void Clear(int Y, int FromX, int ToX);

    TComTermBufferOwner* FOwner; // not owned
    std::vector<TComTermChar> FCells;
    std::vector<bool> FTabStops;
    std::vector<TComTermRowInfo> FInfo;
    int FColumns = 0, FRows = 0;
};
