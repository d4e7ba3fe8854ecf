#pragma once

// The rows that scrolled off the top of a terminal's grid, oldest first, at most Limit of them
// (memory is bounded by it: a row keeps its cells up to its last non-empty one).

#include "cportui/core/ComTermBuffer.h"

#include <deque>
#include <vector>

class TComTermHistory {
  public:
    int Limit() const { return FLimit; }
    // A smaller limit drops the oldest rows at once; 0 keeps none.
    void SetLimit(int Value);
    int Count() const { return static_cast<int>(FRows.size()); }
    // Keeps a copy of Columns cells (the row leaving the grid); true when the oldest row went.
    bool Push(const TComTermChar* Cells, int Columns);
    // A cell of row Index (0 oldest .. Count-1 newest), X from 1; the empty cell outside.
    TComTermChar Cell(int Index, int X) const;
    void Clear() { FRows.clear(); }

  private:
    std::deque<std::vector<TComTermChar>> FRows;
    int FLimit = 0;
};
