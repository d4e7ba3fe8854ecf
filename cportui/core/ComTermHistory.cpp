#include "cportui/core/ComTermHistory.h"

#include <algorithm>

void TComTermHistory::SetLimit(int Value) {
    FLimit = std::max(Value, 0);
    while (Count() > FLimit)
        FRows.pop_front();
}

bool TComTermHistory::Push(const TComTermChar* Cells, int Columns, const TComTermRowInfo& Info) {
    if (FLimit == 0) return false;
    int Used = Columns;
    while (Used > 0 && Cells[Used - 1] == TComTermChar{})
        --Used;
    const bool Dropped = Count() == FLimit;
    if (Dropped) FRows.pop_front();
    FRows.push_back({std::vector<TComTermChar>(Cells, Cells + Used), Info});
    return Dropped;
}

TComTermChar TComTermHistory::Cell(int Index, int X) const {
    if (!Inside(Index) || X < 1) return {};
    const std::vector<TComTermChar>& Cells = Row(Index).Cells;
    return X <= static_cast<int>(Cells.size()) ? Cells[static_cast<std::size_t>(X - 1)] : TComTermChar{};
}
