#include "cportui/core/ComTermBuffer.h"

#include <algorithm>

void TComTermBuffer::Init() {
    int Columns = std::max(FOwner->Columns(), 0), Rows = std::max(FOwner->Rows(), 0);
    if (Columns == 0 || Rows == 0) Columns = Rows = 0;
    // Assign the new blocks before the size, so a failed allocation leaves the old grid whole.
    std::vector<TComTermChar> Cells(static_cast<std::size_t>(Columns) * static_cast<std::size_t>(Rows));
    std::vector<bool> Tabs(static_cast<std::size_t>(Columns), false);
    std::vector<TComTermRowInfo> Info(static_cast<std::size_t>(Rows));
    FCells.swap(Cells);
    FTabStops.swap(Tabs);
    FInfo.swap(Info);
    FColumns = Columns;
    FRows = Rows;
    for (int X = 1; X <= std::min(FColumns, 73); X += 8)
        FTabStops[static_cast<std::size_t>(X - 1)] = true;
}

void TComTermBuffer::SetChar(int X, int Y, const TComTermChar& Cell) {
    if (Inside(X, Y)) Row(Y)[X - 1] = Cell;
}

TComTermChar TComTermBuffer::GetChar(int X, int Y) const {
    if (!Inside(X, Y)) return {};
    return FCells[static_cast<std::size_t>(Y - 1) * FColumns + static_cast<std::size_t>(X - 1)];
}

void TComTermBuffer::ScrollDown() {
    if (FRows == 0) return;
    if (OnRowLeaves) OnRowLeaves(Row(1), FColumns, FInfo[0]);
    std::copy(Row(2), FCells.data() + FCells.size(), Row(1));
    std::copy(FInfo.begin() + 1, FInfo.end(), FInfo.begin());
    Clear(FRows, 1, FColumns);
    ScrollWindow(-1);
}

void TComTermBuffer::ScrollUp() {
    if (FRows == 0) return;
    std::copy_backward(Row(1), Row(FRows), FCells.data() + FCells.size());
    std::copy_backward(FInfo.begin(), FInfo.end() - 1, FInfo.end());
    Clear(1, 1, FColumns);
    ScrollWindow(1);
}

// Moves the window's pixels with the grid by Rows cell heights (negative is up), or repaints the
// whole control when it is double-buffered.
void TComTermBuffer::ScrollWindow(int Rows) {
    if (FOwner->DoubleBuffered()) {
        FOwner->Invalidate();
        return;
    }
    int W = std::min(FOwner->ClientWidth(), FColumns * FOwner->CharWidth());
    int H = std::min(FOwner->ClientHeight(), FRows * FOwner->CharHeight());
    FOwner->ScrollWindowPixels(0, Rows * FOwner->CharHeight(), Rect(0, 0, W, H));
}

void TComTermBuffer::Clear(int Y, int FromX, int ToX) {
    std::fill(Row(Y) + (FromX - 1), Row(Y) + ToX, TComTermChar{});
    TComTermRowInfo& Info = FInfo[static_cast<std::size_t>(Y - 1)];
    if (FromX == 1 && ToX == FColumns) Info = {};
    if (ToX == FColumns) Info.Continues = false; // its end is blank now: the text stops here
}

void TComTermBuffer::Resize(int Columns, int Rows, int Drop) {
    Columns = std::max(Columns, 0), Rows = std::max(Rows, 0);
    if (Columns == 0 || Rows == 0) Columns = Rows = 0;
    Drop = std::clamp(Drop, 0, FRows);
    std::vector<TComTermChar> Cells(static_cast<std::size_t>(Columns) * static_cast<std::size_t>(Rows));
    std::vector<bool> Tabs(static_cast<std::size_t>(Columns), false);
    std::vector<TComTermRowInfo> Info(static_cast<std::size_t>(Rows));
    for (int Y = 1; Y <= Drop; ++Y)
        if (OnRowLeaves) OnRowLeaves(Row(Y), FColumns, FInfo[static_cast<std::size_t>(Y - 1)]);
    const int Kept = std::min(Rows, FRows - Drop), Width = std::min(Columns, FColumns);
    for (int Y = 1; Y <= Kept; ++Y) {
        const TComTermChar* From = Row(Drop + Y);
        std::copy(From, From + Width, Cells.begin() + static_cast<std::ptrdiff_t>(Y - 1) * Columns);
        Info[static_cast<std::size_t>(Y - 1)] = FInfo[static_cast<std::size_t>(Drop + Y - 1)];
    }
    for (int X = 1; X <= Width; ++X)
        Tabs[static_cast<std::size_t>(X - 1)] = FTabStops[static_cast<std::size_t>(X - 1)];
    FCells.swap(Cells);
    FTabStops.swap(Tabs);
    FInfo.swap(Info);
    FColumns = Columns;
    FRows = Rows;
}

void TComTermBuffer::EraseLine(int X, int Y) {
    X = std::max(X, 1);
    if (Y < 1 || Y > FRows || X > FColumns) return;
    Clear(Y, X, FColumns);
    if (FOwner->DoubleBuffered())
        FOwner->Invalidate();
    else
        FOwner->InvalidatePortion(Rect(X, Y, FColumns, Y));
}

void TComTermBuffer::EraseScreen(int X, int Y) {
    // A start above the grid covers all of it; one right of the last column covers the rows below.
    if (Y < 1) X = Y = 1;
    X = std::clamp(X, 1, FColumns + 1);
    if (Y > FRows) return;
    if (X <= FColumns) Clear(Y, X, FColumns);
    for (int R = Y + 1; R <= FRows; ++R)
        Clear(R, 1, FColumns);
    if (X > FColumns && Y == FRows) return; // nothing was emptied
    if (FOwner->DoubleBuffered()) {
        FOwner->Invalidate();
        return;
    }
    if (X <= FColumns) FOwner->InvalidatePortion(Rect(X, Y, FColumns, Y));
    if (Y < FRows) FOwner->InvalidatePortion(Rect(1, Y + 1, FColumns, FRows));
}

bool TComTermBuffer::GetTab(int X) const {
    return X >= 1 && X <= FColumns && FTabStops[static_cast<std::size_t>(X - 1)];
}

void TComTermBuffer::SetTab(int X, bool Flag) {
    if (X >= 1 && X <= FColumns) FTabStops[static_cast<std::size_t>(X - 1)] = Flag;
}

int TComTermBuffer::NextTab(int X) const {
    for (X = std::max(X, 1); X <= FColumns; ++X)
        if (FTabStops[static_cast<std::size_t>(X - 1)]) return X;
    return 0;
}

void TComTermBuffer::ClearAllTabs() {
    std::fill(FTabStops.begin(), FTabStops.end(), false);
}
