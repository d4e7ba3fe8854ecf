#pragma once

#include "platform/toolkit/Object.h"
#include "platform/toolkit/qt/Canvas.h"

#include <QImage>
#include <QWidget>

#include <array>
#include <cstdint>
#include <vector>

enum TGraphKind : uint8_t { pgBar, pgLine };

constexpr int MaxGraphPoints = 16;

// One sample: up to 16 points (colour i, value i), expected in order of rising value.
struct TGraphEntry {
    int Count = 0;
    std::array<TColor, MaxGraphPoints> Colors{};
    std::array<int32_t, MaxGraphPoints> Values{};
};

// The samples the graph can show again after a resize: a ring in which Current receives points and
// Oldest is the oldest sample. Walking from FirstY with NextY visits every entry once, oldest first.
class TGraphHistory {
  public:
    explicit TGraphHistory(int Count);

    int Count() const { return static_cast<int>(FEntries.size()); }
    int Current() const { return FCurrent; }
    int Oldest() const { return FOldest; }
    const TGraphEntry& Entry(int Index) const { return FEntries[static_cast<size_t>(Index)]; }

    int FirstY() const { return FOldest; }
    int NextY(int Index) const; // -1 after the newest
    int LastY(int Index) const;

    // Adds a point to the current sample; a 17th raises ERangeError and changes nothing.
    void DataPoint(TColor Color, int32_t Value);
    // Starts a new, empty current sample over the oldest one.
    void ShiftY();
    // Resizes the ring to Count entries, keeping the newest samples in order from index 0.
    void Realloc(int Count);
    // The largest value of any point, at least 0.
    int32_t MaxValue() const;

  private:
    std::vector<TGraphEntry> FEntries;
    int FCurrent = 0, FOldest = 1;
};

// The graph's arithmetic and placement, apart from painting so it can be checked without pixels.
namespace GraphGeometry {

// Value rounded up to a multiple of Gradient (unchanged when Gradient is 0); saturates at the
// 32-bit limits instead of overflowing.
int32_t RoundUp(int32_t Value, int32_t Gradient);
// How many steps fit across the width (0 when not one does).
int BandCount(int Width, int StepSize);
// trunc(Value / Scale × Height) in integers, clamped far outside ±Height so far-off values still
// lie beyond the picture's edge without overflowing. Scale must be above 0.
int ScaledPixels(int64_t Value, int32_t Scale, int Height);
// The bar segment from Base up by Height in the strip NewRect of the picture Full; empty when it
// covers no pixel or Scale is not above 0.
TRect BarRect(const TRect& NewRect, const TRect& Full, int64_t Base, int64_t Height, int32_t Scale);
// The line segment across NewRect from Previous to Value; false when Scale is not above 0.
bool LineSegment(const TRect& NewRect, const TRect& Full, int32_t Previous, int32_t Value, int32_t Scale,
                 TPoint& From, TPoint& To);

// Rows of the horizontal grid lines: GridSize, 2 × GridSize … below Bottom.
std::vector<int> GridRows(int GridSize, int Bottom);
// Columns of the vertical grid lines of a fresh picture (Offset, Offset + GridSize … below
// Right), and the grid offset that follows: how far beyond Right the next line lies.
std::vector<int> GridColumns(int Offset, int GridSize, int Right, int& GridOffset);
// Columns of the vertical lines that enter the new strip when the picture moves Step pixels left,
// updating GridOffset. Every line due in the strip is drawn and the offset stays within
// 0..GridSize − 1, also when Step is wider than GridSize.
std::vector<int> ScrolledGridColumns(int& GridOffset, int Step, int GridSize, int Right);

} // namespace GraphGeometry

// The strip chart. The chart lives in an off-screen picture that scrolls as samples are committed;
// painting copies it. GUI thread only.
class TPerformanceGraph : public QWidget, public TObject {
  public:
    explicit TPerformanceGraph(QWidget* Parent = nullptr);
    std::string ClassName() const override { return "TPerformanceGraph"; }

    void DataPoint(TColor Color, int32_t Value);
    // Commits the current sample: scroll, rescale or draw it, start the next.
    void Update();

    TGraphKind Kind() const { return FKind; }
    void SetKind(TGraphKind Value);
    TColor ForeColor() const { return FForeColor; }
    void SetForeColor(TColor Value);
    TColor BackColor() const { return FBackColor; }
    void SetBackColor(TColor Value);
    int GridSize() const { return FGridSize; }
    void SetGridSize(int Value); // at least 2
    int StepSize() const { return FStepSize; }
    void SetStepSize(int Value); // at least 1
    int32_t Scale() const { return FScale; }
    void SetScale(int32_t Value); // stored rounded up to Gradient
    int32_t Gradient() const { return FGradient; }
    void SetGradient(int32_t Value);
    bool Gridlines() const { return FGridlines; }
    void SetGridlines(bool Value);
    int PenWidth() const { return FPenWidth; }
    void SetPenWidth(int Value);
    const TNotifyEvent& OnScaleChange() const { return FOnScaleChange; }
    void SetOnScaleChange(TNotifyEvent Value) { FOnScaleChange = std::move(Value); }

    const TGraphHistory& History() const { return FHistory; }
    int GridOffset() const { return FGridOffset; }
    // The chart at the control's size (brought up to date first, as painting does).
    const QImage& Picture();

    QSize sizeHint() const override { return QSize(100, 100); }

  protected:
    void paintEvent(QPaintEvent* Event) override;
    // Asks for a repaint; the one place every change that shows goes through.
    virtual void Invalidate();

  private:
    int GetBandCount() const { return GraphGeometry::BandCount(width(), FStepSize); }
    void Initialize(int Offset);
    void Replay();
    void ScrollGraph();
    void DisplayPoints(int Index);
    void PaintBar(TCanvas& Canvas, TColor Color, int64_t Base, int64_t Height);
    void PaintLine(TCanvas& Canvas, TColor Color, int32_t Previous, int32_t Value);
    void ReallocHistory();
    void SetRects();

    QImage FImage;
    QSize FImageSize{-1, -1}; // the size the picture was made for (a zero-sized one is a null image)
    int FHistoryWidth = 100;  // the width the history was sized for
    TRect FFullRect, FSourceRect, FDestRect, FNewRect;
    int FGridOffset = 0;
    TGraphHistory FHistory;

    TGraphKind FKind = pgLine;
    TColor FForeColor = clGreen, FBackColor = clBlack;
    int FGridSize = 15, FStepSize = 3;
    int32_t FScale = 1000, FGradient = 100;
    bool FGridlines = true;
    int FPenWidth = 2;
    TNotifyEvent FOnScaleChange;
};
