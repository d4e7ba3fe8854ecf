#include "samples/PerformanceGraph.h"

#include <QPainter>

#include <algorithm>
#include <limits>

TGraphHistory::TGraphHistory(int Count) : FEntries(static_cast<size_t>(std::max(Count, 2))) {}

int TGraphHistory::NextY(int Index) const {
    int next = Index + 1 >= Count() ? 0 : Index + 1;
    return next == FOldest ? -1 : next;
}

int TGraphHistory::LastY(int Index) const {
    return Index == 0 ? Count() - 1 : Index - 1;
}

void TGraphHistory::DataPoint(TColor Color, int32_t Value) {
    TGraphEntry& e = FEntries[static_cast<size_t>(FCurrent)];
    if (e.Count >= MaxGraphPoints)
        throw ERangeError("A sample of the performance graph holds at most 16 data points");
    e.Colors[static_cast<size_t>(e.Count)] = Color;
    e.Values[static_cast<size_t>(e.Count)] = Value;
    ++e.Count;
}

void TGraphHistory::ShiftY() {
    FCurrent = FCurrent + 1 >= Count() ? 0 : FCurrent + 1;
    FEntries[static_cast<size_t>(FCurrent)].Count = 0;
    FOldest = FCurrent + 1 >= Count() ? 0 : FCurrent + 1;
}

void TGraphHistory::Realloc(int Count) {
    std::vector<TGraphEntry> ring(static_cast<size_t>(std::max(Count, 2)));
    int skip = std::max(0, this->Count() - static_cast<int>(ring.size()));
    size_t copied = 0;
    for (int i = FirstY(); i != -1; i = NextY(i)) {
        if (skip > 0) {
            --skip;
            continue;
        }
        ring[copied++] = FEntries[static_cast<size_t>(i)];
    }
    FEntries = std::move(ring);
    FCurrent = static_cast<int>(copied) - 1;
    FOldest = 0;
}

int32_t TGraphHistory::MaxValue() const {
    int32_t m = 0;
    for (int i = FirstY(); i != -1; i = NextY(i)) {
        const TGraphEntry& e = Entry(i);
        for (int k = 0; k < e.Count; ++k)
            m = std::max(m, e.Values[static_cast<size_t>(k)]);
    }
    return m;
}

namespace GraphGeometry {

namespace {
// Far enough outside any picture that a clamped coordinate is still off it, small enough that
// coordinates built from it cannot overflow.
constexpr int64_t FarPixels = int64_t(1) << 28;
} // namespace

int32_t RoundUp(int32_t Value, int32_t Gradient) {
    if (Gradient == 0) return Value;
    int64_t v = Value, g = Gradient;
    if (v % g == 0) return Value;
    return static_cast<int32_t>(std::clamp<int64_t>((v / g + 1) * g, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

int BandCount(int Width, int StepSize) {
    if (Width <= 0 || StepSize <= 0) return 0;
    return Width / StepSize;
}

int ScaledPixels(int64_t Value, int32_t Scale, int Height) {
    return static_cast<int>(std::clamp<int64_t>(Value * Height / Scale, -FarPixels, FarPixels));
}

TRect BarRect(const TRect& NewRect, const TRect& Full, int64_t Base, int64_t Height, int32_t Scale) {
    if (Height == 0 || Scale <= 0) return TRect{};
    int h = Full.Bottom - Full.Top;
    int hp = ScaledPixels(Height, Scale, h), bp = ScaledPixels(Base, Scale, h);
    if (hp == 0) return TRect{};
    return Rect(NewRect.Left, Full.Bottom - bp - hp - 1, NewRect.Right, Full.Bottom - bp);
}

bool LineSegment(const TRect& NewRect, const TRect& Full, int32_t Previous, int32_t Value, int32_t Scale,
                 TPoint& From, TPoint& To) {
    if (Scale <= 0) return false;
    int h = Full.Bottom - Full.Top;
    From = TPoint{NewRect.Left, Full.Bottom - ScaledPixels(Previous, Scale, h)};
    To = TPoint{NewRect.Right, Full.Bottom - ScaledPixels(Value, Scale, h)};
    return true;
}

std::vector<int> GridRows(int GridSize, int Bottom) {
    std::vector<int> rows;
    if (GridSize < 1) return rows;
    for (int64_t y = GridSize; y < Bottom; y += GridSize)
        rows.push_back(static_cast<int>(y));
    return rows;
}

std::vector<int> GridColumns(int Offset, int GridSize, int Right, int& GridOffset) {
    std::vector<int> columns;
    int64_t x = Offset;
    if (GridSize >= 1)
        for (; x < Right; x += GridSize)
            columns.push_back(static_cast<int>(x));
    GridOffset = static_cast<int>(std::clamp<int64_t>(x - Right, 0, std::numeric_limits<int>::max()));
    return columns;
}

std::vector<int> ScrolledGridColumns(int& GridOffset, int Step, int GridSize, int Right) {
    std::vector<int> columns;
    if (GridSize < 1) return columns;
    int64_t off = static_cast<int64_t>(GridOffset) - Step;
    if (off >= 0) {
        GridOffset = static_cast<int>(off);
        return columns;
    }
    // Lines at Right + off, Right + off + GridSize … while still left of Right; only those on the
    // picture are listed, so a huge step costs no more than a picture's width of lines.
    int64_t due = (-off + GridSize - 1) / GridSize;
    int64_t first = Right + off >= 0 ? 0 : (-(Right + off) + GridSize - 1) / GridSize;
    for (int64_t i = first; i < due; ++i)
        columns.push_back(static_cast<int>(Right + off + i * GridSize));
    GridOffset = static_cast<int>(off + due * GridSize);
    return columns;
}

} // namespace GraphGeometry

using namespace GraphGeometry;

TPerformanceGraph::TPerformanceGraph(QWidget* Parent) : QWidget(Parent), FHistory(BandCount(100, 3) + 2) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(100, 100);
}

void TPerformanceGraph::Invalidate() {
    update();
}

void TPerformanceGraph::DataPoint(TColor Color, int32_t Value) {
    FHistory.DataPoint(Color, Value);
}

void TPerformanceGraph::SetRects() {
    const TRect& f = FFullRect;
    FNewRect = Rect(f.Right - FStepSize, f.Top, f.Right, f.Bottom);
    FDestRect = Rect(f.Left, f.Top, f.Right - FStepSize, f.Bottom);
    FSourceRect = Rect(f.Left + FStepSize, f.Top, f.Right, f.Bottom);
}

void TPerformanceGraph::Initialize(int Offset) {
    int w = std::max(width(), 0), h = std::max(height(), 0);
    FImage = QImage(w, h, QImage::Format_RGB32);
    FImageSize = QSize(w, h);
    FFullRect = Rect(0, 0, w, h);
    if (!FImage.isNull()) {
        TCanvas c(FImage);
        c.Brush().Color = FBackColor;
        c.FillRect(FFullRect);
        if (FGridlines) {
            c.Pen().Color = FForeColor;
            for (int y : GridRows(FGridSize, FFullRect.Bottom)) {
                c.MoveTo(FFullRect.Left, y);
                c.LineTo(FFullRect.Right, y);
            }
            for (int x : GridColumns(Offset, FGridSize, FFullRect.Right, FGridOffset)) {
                c.MoveTo(x, 0);
                c.LineTo(x, FFullRect.Bottom);
            }
        }
    }
    SetRects();
}

void TPerformanceGraph::ScrollGraph() {
    if (FImage.isNull()) return;
    TCanvas c(FImage);
    c.CopyRect(FDestRect, c, FSourceRect);
    c.Brush().Color = FBackColor;
    c.FillRect(FNewRect);
    if (!FGridlines) return;
    c.Pen().Color = FForeColor;
    for (int y : GridRows(FGridSize, FNewRect.Bottom)) {
        c.MoveTo(FNewRect.Left, y);
        c.LineTo(FNewRect.Right, y);
    }
    for (int x : ScrolledGridColumns(FGridOffset, FStepSize, FGridSize, FFullRect.Right)) {
        c.MoveTo(x, FFullRect.Top);
        c.LineTo(x, FFullRect.Bottom);
    }
}

void TPerformanceGraph::PaintBar(TCanvas& C, TColor Color, int64_t Base, int64_t Height) {
    TRect r = BarRect(FNewRect, FFullRect, Base, Height, FScale);
    C.Brush().Color = Color;
    C.FillRect(r);
}

void TPerformanceGraph::PaintLine(TCanvas& C, TColor Color, int32_t Previous, int32_t Value) {
    TPoint from, to;
    if (!LineSegment(FNewRect, FFullRect, Previous, Value, FScale, from, to)) return;
    C.Pen().Color = Color;
    C.Pen().Width = FPenWidth;
    C.MoveTo(from.X, from.Y);
    C.LineTo(to.X, to.Y);
}

void TPerformanceGraph::DisplayPoints(int Index) {
    if (FImage.isNull()) return;
    TCanvas c(FImage);
    const TGraphEntry& e = FHistory.Entry(Index);
    const TGraphEntry& previous = FHistory.Entry(FHistory.LastY(Index));
    int32_t p = 0;
    for (int i = 0; i < e.Count; ++i) {
        TColor colour = e.Colors[static_cast<size_t>(i)];
        int32_t v = e.Values[static_cast<size_t>(i)];
        if (v == 0) continue;
        if (FKind == pgBar) {
            // In 64 bits: points of opposite signs can lie 2^32 apart.
            PaintBar(c, colour, p, static_cast<int64_t>(v) - p);
        } else {
            int32_t before = 0;
            for (int k = 0; k < previous.Count; ++k)
                if (previous.Colors[static_cast<size_t>(k)] == colour) {
                    before = previous.Values[static_cast<size_t>(k)];
                    break;
                }
            PaintLine(c, colour, before, v);
        }
        p = v;
    }
}

void TPerformanceGraph::Update() {
    ScrollGraph();
    FHistory.ShiftY();
    int32_t scale = RoundUp(FHistory.MaxValue(), FGradient);
    if (scale == FScale) {
        DisplayPoints(FHistory.LastY(FHistory.Current()));
        Invalidate();
    } else {
        SetScale(scale);
    }
}

void TPerformanceGraph::Replay() {
    // In 64 bits: a grid as wide as the 32-bit range leaves an offset just as large.
    Initialize(FGridSize > 0 ? static_cast<int>((static_cast<int64_t>(width()) + FGridOffset) % FGridSize)
                             : 0);
    TRect saved = FNewRect;
    // Narrower than one step: no strip fits, nothing is drawn for the data.
    int bands = GetBandCount();
    if (bands > 0) {
        // The newest strip ends at the right edge: what is left over is less than one step.
        int x = width() % FStepSize;
        for (int i = FHistory.NextY(FHistory.FirstY()); i != -1; i = FHistory.NextY(i)) {
            FNewRect.Left = x;
            x += FStepSize;
            FNewRect.Right = x;
            DisplayPoints(i);
        }
    }
    Invalidate();
    FNewRect = saved;
}

void TPerformanceGraph::ReallocHistory() {
    FHistory.Realloc(GetBandCount() + 2);
    FHistoryWidth = width();
}

// The history follows the width it was made for, not the picture's: a setter may have remade the
// picture at a new size before the first paint.
const QImage& TPerformanceGraph::Picture() {
    const bool widthChanged = FHistoryWidth != width();
    if (widthChanged) ReallocHistory();
    if (widthChanged || FImageSize != size()) Replay();
    return FImage;
}

void TPerformanceGraph::paintEvent(QPaintEvent*) {
    const QImage& picture = Picture();
    QPainter painter(this);
    TCanvas canvas(painter);
    canvas.Draw(0, 0, picture);
}

void TPerformanceGraph::SetKind(TGraphKind Value) {
    if (FKind == Value) return;
    FKind = Value;
    Replay();
}

void TPerformanceGraph::SetForeColor(TColor Value) {
    if (FForeColor == Value) return;
    FForeColor = Value;
    Replay();
}

void TPerformanceGraph::SetBackColor(TColor Value) {
    if (FBackColor == Value) return;
    FBackColor = Value;
    Replay();
}

void TPerformanceGraph::SetGradient(int32_t Value) {
    if (FGradient == Value) return;
    FGradient = Value;
    Replay();
}

void TPerformanceGraph::SetGridlines(bool Value) {
    if (FGridlines == Value) return;
    FGridlines = Value;
    Replay();
}

void TPerformanceGraph::SetGridSize(int Value) {
    if (FGridSize == Value) return;
    FGridSize = std::max(Value, 2);
    Replay();
}

void TPerformanceGraph::SetStepSize(int Value) {
    if (FStepSize == Value) return;
    FStepSize = std::max(Value, 1);
    ReallocHistory();
    Replay();
}

void TPerformanceGraph::SetPenWidth(int Value) {
    if (FPenWidth == Value) return;
    FPenWidth = Value;
    Replay();
}

void TPerformanceGraph::SetScale(int32_t Value) {
    if (FScale == Value) return;
    FScale = RoundUp(Value, FGradient);
    if (FOnScaleChange) FOnScaleChange(this);
    Replay();
}
