#pragma once

#include "platform/toolkit/qt/Canvas.h"
#include "platform/toolkit/qt/Controls.h"

#include <QImage>
#include <QWidget>

#include <cstdint>
#include <string>

enum TCGaugeKind : uint8_t { gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle };

// The gauge's arithmetic and geometry, apart from painting so it can be checked without pixels.
// Differences of two 32-bit values and their products with 100 need 64 bits.
namespace GaugeGeometry {

// floor(X * 100 / Z); 0 when Z is 0.
int PercentOfRange(int64_t X, int64_t Z);
// floor(Y * Z / 100), in integers: the same product in floating point is 28 for 29 % of 100.
int PartOfSize(int64_t Y, int64_t Z);

// The rectangle the kinds are drawn in: the client area, one pixel inside it with a single border.
TRect PaintRect(int Width, int Height, TBorderStyle Border);
// The filled part of a bar (empty when nothing is filled).
TRect HorizontalBar(const TRect& R, int Percent);
TRect VerticalBar(const TRect& R, int Percent);

struct TPie {
    TRect Box;            // the ellipse
    bool Wedge = false;   // whether a wedge is drawn at all
    TPoint First, Second; // its radials, counter-clockwise from First to Second
};
TPie Pie(const TRect& R, TBorderStyle Border, int Percent);

struct TNeedle {
    TRect Box;               // the half ellipse is the upper half of this box
    TPoint ArcFrom, ArcTo;   // its radials
    TPoint BaseFrom, BaseTo; // the base line under it
    bool Hand = false;       // whether the needle is drawn
    TPoint HandFrom, HandTo;
};
TNeedle Needle(const TRect& R, TBorderStyle Border, int ControlWidth, int Percent);

// Where a text of the given size is centred: relative to 0, not to R's corner.
TPoint TextOrigin(const TRect& R, int TextWidth, int TextHeight);

// The range errors' texts; the bounds are worked out in 64 bits, so MaxValue − 1 of the smallest
// value and MinValue + 1 of the largest are printed as the numbers they are.
std::string MinValueRangeError(int32_t MaxValue);
std::string MaxValueRangeError(int32_t MinValue);

} // namespace GaugeGeometry

// A progress gauge. Draws off screen into a picture and copies it onto the widget. GUI thread only.
class TCGauge : public QWidget {
  public:
    explicit TCGauge(QWidget* Parent = nullptr);

    int32_t MinValue() const { return FMinValue; }
    void SetMinValue(int32_t Value); // raises Exception when Value > MaxValue
    int32_t MaxValue() const { return FMaxValue; }
    void SetMaxValue(int32_t Value); // 0 is ignored; raises Exception when Value < MinValue
    int32_t Progress() const { return FProgress; }
    void SetProgress(int32_t Value); // clamped to MinValue..MaxValue
    TCGaugeKind Kind() const { return FKind; }
    void SetKind(TCGaugeKind Value);
    bool ShowText() const { return FShowText; }
    void SetShowText(bool Value);
    TBorderStyle BorderStyle() const { return FBorderStyle; }
    void SetBorderStyle(TBorderStyle Value);
    TColor ForeColor() const { return FForeColor; }
    void SetForeColor(TColor Value);
    TColor BackColor() const { return FBackColor; }
    void SetBackColor(TColor Value);
    // The control's own colour: the ground of the pie and the needle.
    TColor Color() const { return FColor; }
    void SetColor(TColor Value);

    int PercentDone() const;
    // Adds Value (saturating at the 32-bit limits, then clamped) and repaints even when nothing changed.
    void AddProgress(int32_t Value);

    // The picture the gauge paints, Width × Height.
    QImage Picture() const;

    QSize sizeHint() const override { return QSize(100, 100); }

  protected:
    void paintEvent(QPaintEvent* Event) override;
    // Asks for a repaint; the one place every change that shows goes through.
    virtual void Invalidate();

  private:
    void DrawKind(TCanvas& Canvas, const TRect& R) const;
    void DrawText(TCanvas& Canvas, const TRect& R) const;

    int32_t FMinValue = 0, FMaxValue = 100, FProgress = 0;
    TCGaugeKind FKind = gkHorizontalBar;
    bool FShowText = true;
    TBorderStyle FBorderStyle = bsSingle;
    TColor FForeColor = clBlack, FBackColor = clWhite, FColor = clBtnFace;
};
