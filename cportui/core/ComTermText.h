#pragma once

// The terminal's text as one column of lines, the scrollback above the grid, and what is read off
// it: a selection, copied text and matches of a search. A line is numbered once, when it first
// appears at the bottom of the grid, and keeps its number while it scrolls into the scrollback,
// so a selection stays on the text it covers while output goes on; lines that drop off the top
// of the scrollback (or leave a grid without one) take their numbers with them.

#include "cportui/core/ComTermBuffer.h"

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A place between cells (for a selection's ends) or a cell (X is then the cell's column), X from 1.
struct TTermTextPos {
    int64_t Line = 0;
    int X = 1;
    auto operator<=>(const TTermTextPos&) const = default;
};

// The lines as the terminal holds them.
class TTermLines {
  public:
    virtual ~TTermLines() = default;
    // The first line still held, and one past the last (the grid's bottom row).
    virtual int64_t FirstLine() const = 0;
    virtual int64_t EndLine() const = 0;
    // The cells a line has room for (a scrollback row may be wider than the grid is now).
    virtual int LineWidth(int64_t Line) const = 0;
    // The empty cell outside.
    virtual TComTermChar LineCell(int64_t Line, int X) const = 0;
    // The line's text goes on in the next line (it wrapped at the right margin).
    virtual bool LineContinues(int64_t) const { return false; }
};

// The character a cell shows; 0 for the empty cell.
char32_t CellCode(const TComTermChar& Cell);

// The text from From to To (places between cells, To excluded) as UTF-8: rows end with '\n', the
// blanks that end a row (empty cells and spaces) are left out, an empty cell inside a row reads as a
// space. A row that wrapped into the next joins it, as one line, blanks and all.
std::string LinesText(const TTermLines& Lines, TTermTextPos From, TTermTextPos To);

// The columns where Needle starts on Line (matches do not run over into the next line); empty for
// an empty Needle. Without MatchCase, ASCII letters match either case.
std::vector<int> LineMatches(const TTermLines& Lines, int64_t Line, const std::u32string& Needle,
                             bool MatchCase);

// The next match of Needle after At (Backward: the nearest before it), going round the ends of
// the text once; none when there is no match or Needle is empty.
std::optional<TTermTextPos> FindText(const TTermLines& Lines, const std::u32string& Needle, TTermTextPos At,
                                     bool Backward, bool MatchCase);

// A selection as the mouse makes it: by character (a drag), by word (a double click) or by line (a
// triple click). A word is a run of cells that are neither blank nor one of the brackets, quotes and
// separators around words (so a path, a number with its unit or an address is one word).
enum TSelectUnit : uint8_t { suChar, suWord, suLine };

class TComTermSelection {
  public:
    // Starts at Cell; RightHalf says the press was on the cell's right half (a character drag then
    // starts after it).
    void Begin(const TTermLines& Lines, TTermTextPos Cell, bool RightHalf, TSelectUnit Unit);
    // Moves the moving end; the unit that Begin took stays selected.
    void Extend(const TTermLines& Lines, TTermTextPos Cell, bool RightHalf);
    // Selects From..To (To excluded), as select-all and find do.
    void Set(TTermTextPos From, TTermTextPos To, TSelectUnit Unit = suChar);
    void Clear() { FFrom = FTo = FAnchorFrom = FAnchorTo = {}; }
    bool Empty() const { return FFrom == FTo; }
    TTermTextPos From() const { return FFrom; }
    TTermTextPos To() const { return FTo; }
    bool Contains(int64_t Line, int X) const;
    // Lines before First are gone: the selection keeps what is left of it.
    void Forget(int64_t First);

  private:
    // The stretch Unit covers around Cell.
    static void UnitAt(const TTermLines& Lines, TTermTextPos Cell, bool RightHalf, TSelectUnit Unit,
                       TTermTextPos& From, TTermTextPos& To);
    TSelectUnit FUnit = suChar;
    TTermTextPos FAnchorFrom, FAnchorTo; // what Begin selected
    TTermTextPos FFrom, FTo;
};
