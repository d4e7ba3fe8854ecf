#include "cportui/core/ComTermHistory.h"

#include <algorithm>

void TComTermHistory::SetLimit(int Value) {
    FLimit = std::max(Value, 0);
    while (Count() > FLimit)
        FRows.pop_front();
}

bool TComTermHistory::Push(const TComTermChar* Cells, int Columns) {
    if (FLimit == 0) return false;
    int Used = Columns;
    while (Used > 0 && Cells[Used - 1] == TComTermChar{})
        --Used;
    const bool Dropped = Count() == FLimit;
    if (Dropped) FRows.pop_front();
    FRows.emplace_back(Cells, Cells + Used);
    return Dropped;
}

TComTermChar TComTermHistory::Cell(int Index, int X) const {
    if (Index < 0 || Index >= Count() || X < 1) return {};
    const std::vector<TComTermChar>& Row = FRows[static_cast<std::size_t>(Index)];
    return X <= static_cast<int>(Row.size()) ? Row[static_cast<std::size_t>(X - 1)] : TComTermChar{};
}
