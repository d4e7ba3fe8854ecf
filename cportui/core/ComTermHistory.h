#pragma once

// The rows that scrolled off the top of a terminal's grid, oldest first, at most Limit of them
// (memory is bounded by it: a row keeps its cells up to its last non-empty one).

#include "cportui/core/ComTermBuffer.h"

#include <cstdint>
#include <deque>
#include <vector>

class TComTermHistory {
  public:
    int Limit() const { return FLimit; }
    // A smaller limit drops the oldest rows at once; 0 keeps none.
    void SetLimit(int Value);
    int Count() const { return static_cast<int>(FRows.size()); }
    // Keeps a copy of Columns cells (the row leaving the grid) and its information; true when the oldest
    // row went.
    bool Push(const TComTermChar* Cells, int Columns, const TComTermRowInfo& Info = {});
    // A cell of row Index (0 oldest .. Count-1 newest), X from 1; the empty cell outside.
    TComTermChar Cell(int Index, int X) const;
    // The cells row Index keeps (up to its last non-empty one), and what it keeps beside them.
    int Width(int Index) const { return Inside(Index) ? static_cast<int>(Row(Index).Cells.size()) : 0; }
    TComTermRowInfo Info(int Index) const { return Inside(Index) ? Row(Index).Info : TComTermRowInfo{}; }
    void Clear() { FRows.clear(); }

  private:
    struct TRow {
        std::vector<TComTermChar> Cells;
        TComTermRowInfo Info;
    };
    bool Inside(int Index) const { return Index >= 0 && Index < Count(); }
    const TRow& Row(int Index) const { return FRows[static_cast<std::size_t>(Index)]; }
    std::deque<TRow> FRows;
    int FLimit = 0;
};
