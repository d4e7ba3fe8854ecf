#include "cportui/core/ComTermText.h"
#include "cportui/core/Utf8.h"

#include <algorithm>

char32_t CellCode(const TComTermChar& Cell) {
    return Cell.Code ? Cell.Code : static_cast<unsigned char>(Cell.CharCode);
}

namespace {

bool IsBlank(char32_t C) {
    return C == 0 || C == ' ';
}

bool IsWordChar(char32_t C) {
    static const std::u32string Around = U"\t()[]{}<>\"'`,;|";
    return !IsBlank(C) && Around.find(C) == std::u32string::npos;
}

char32_t Folded(char32_t C, bool MatchCase) {
    return !MatchCase && C >= 'A' && C <= 'Z' ? C + ('a' - 'A') : C;
}

} // namespace

std::string LinesText(const TTermLines& Lines, TTermTextPos From, TTermTextPos To) {
    std::string Text;
    if (!(From < To)) return Text;
    const int64_t First = std::max(From.Line, Lines.FirstLine()),
                  Last = std::min(To.Line, Lines.EndLine() - 1);
    for (int64_t L = First; L <= Last; ++L) {
        const int Width = Lines.LineWidth(L);
        const int Start = L == From.Line ? std::max(From.X, 1) : 1;
        const int End = L == To.Line ? std::min(To.X, Width + 1) : Width + 1; // excluded
        std::string Row;
        std::size_t Kept = 0; // Row's length up to its last non-blank character
        for (int X = Start; X < End; ++X) {
            const char32_t C = CellCode(Lines.LineCell(L, X));
            AppendUtf8(Row, IsBlank(C) ? U' ' : C);
            if (!IsBlank(C)) Kept = Row.size();
        }
        const bool Joined = Lines.LineContinues(L) && L < To.Line;
        if (!Joined) Row.resize(Kept);
        Text += Row;
        if (L < To.Line && !Joined) Text += '\n';
    }
    return Text;
}

std::vector<int> LineMatches(const TTermLines& Lines, int64_t Line, const std::u32string& Needle,
                             bool MatchCase) {
    std::vector<int> Found;
    const int Width = Lines.LineWidth(Line), N = static_cast<int>(Needle.size());
    if (N == 0 || N > Width) return Found;
    std::u32string Row(static_cast<std::size_t>(Width), U' ');
    for (int X = 1; X <= Width; ++X) {
        const char32_t C = CellCode(Lines.LineCell(Line, X));
        Row[static_cast<std::size_t>(X - 1)] = Folded(IsBlank(C) ? U' ' : C, MatchCase);
    }
    std::u32string Want = Needle;
    for (char32_t& C : Want)
        C = Folded(C, MatchCase);
    for (std::size_t At = Row.find(Want); At != std::u32string::npos; At = Row.find(Want, At + 1))
        Found.push_back(static_cast<int>(At) + 1);
    return Found;
}

std::optional<TTermTextPos> FindText(const TTermLines& Lines, const std::u32string& Needle, TTermTextPos At,
                                     bool Backward, bool MatchCase) {
    const int64_t First = Lines.FirstLine(), End = Lines.EndLine(), Count = End - First;
    if (Needle.empty() || Count <= 0) return std::nullopt;
    const int64_t Start = std::clamp(At.Line, First, End - 1);
    // Every line once from At's own, then At's line again for the matches on its other side.
    for (int64_t Step = 0; Step <= Count; ++Step) {
        const int64_t L = First + ((Start - First + (Backward ? -Step : Step)) % Count + Count) % Count;
        std::vector<int> Xs = LineMatches(Lines, L, Needle, MatchCase);
        if (Backward) std::reverse(Xs.begin(), Xs.end());
        for (int X : Xs) {
            const TTermTextPos P{L, X};
            const bool Wrapped = Step == Count;
            if (Step == 0 && (Backward ? !(P < At) : !(At < P))) continue;
            if (Wrapped && (Backward ? P < At : At < P)) continue;
            return P;
        }
    }
    return std::nullopt;
}

void TComTermSelection::UnitAt(const TTermLines& Lines, TTermTextPos Cell, bool RightHalf, TSelectUnit Unit,
                               TTermTextPos& From, TTermTextPos& To) {
    switch (Unit) {
    case suChar:
        From = To = {Cell.Line, Cell.X + (RightHalf ? 1 : 0)};
        return;
    case suLine:
        From = {Cell.Line, 1};
        To = {Cell.Line + 1, 1};
        return;
    case suWord: {
        const auto Word = [&](int X) { return IsWordChar(CellCode(Lines.LineCell(Cell.Line, X))); };
        int Left = Cell.X, Right = Cell.X;
        if (Word(Cell.X)) {
            while (Left > 1 && Word(Left - 1))
                --Left;
            while (Right < Lines.LineWidth(Cell.Line) && Word(Right + 1))
                ++Right;
        }
        From = {Cell.Line, Left};
        To = {Cell.Line, Right + 1};
        return;
    }
    }
}

void TComTermSelection::Begin(const TTermLines& Lines, TTermTextPos Cell, bool RightHalf, TSelectUnit Unit) {
    FUnit = Unit;
    UnitAt(Lines, Cell, RightHalf, Unit, FAnchorFrom, FAnchorTo);
    FFrom = FAnchorFrom;
    FTo = FAnchorTo;
}

void TComTermSelection::Extend(const TTermLines& Lines, TTermTextPos Cell, bool RightHalf) {
    TTermTextPos From, To;
    UnitAt(Lines, Cell, RightHalf, FUnit, From, To);
    FFrom = std::min(FAnchorFrom, From);
    FTo = std::max(FAnchorTo, To);
}

void TComTermSelection::Set(TTermTextPos From, TTermTextPos To, TSelectUnit Unit) {
    FUnit = Unit;
    FFrom = FAnchorFrom = std::min(From, To);
    FTo = FAnchorTo = std::max(From, To);
}

bool TComTermSelection::Contains(int64_t Line, int X) const {
    const TTermTextPos P{Line, X};
    return !(P < FFrom) && P < FTo;
}

void TComTermSelection::Forget(int64_t First) {
    const TTermTextPos Top{First, 1};
    if (!(Top < FTo)) {
        Clear();
        return;
    }
    FFrom = std::max(FFrom, Top);
    FAnchorFrom = std::max(FAnchorFrom, Top);
    FAnchorTo = std::max(FAnchorTo, Top);
}
