#include "samples/Gauge.h"

#include "platform/toolkit/Exception.h"

#include <QPainter>

#include <algorithm>
#include <cmath>
#include <limits>

namespace GaugeGeometry {

namespace {

int64_t FloorDiv(int64_t A, int64_t B) {
    int64_t q = A / B;
    return (A % B != 0 && ((A < 0) != (B < 0))) ? q - 1 : q;
}

int ToInt(int64_t V) {
    return static_cast<int>(
        std::clamp<int64_t>(V, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

// floor() of a point on the circle: cos and sin of the exact angles (π, 1.5π …) come out a hair off
// 0 or ±1, which would move a radial meant for the middle of an edge one pixel over.
int FloorOnCircle(double V) {
    return ToInt(static_cast<int64_t>(std::floor(V + 1e-9)));
}

std::string RangeText(int64_t Low, int64_t High) {
    return "Value must be between " + std::to_string(Low) + " and " + std::to_string(High);
}

} // namespace

int PercentOfRange(int64_t X, int64_t Z) {
    if (Z == 0) return 0;
    return ToInt(FloorDiv(X * 100, Z));
}

int PartOfSize(int64_t Y, int64_t Z) {
    return ToInt(FloorDiv(Y * Z, 100));
}

TRect PaintRect(int Width, int Height, TBorderStyle Border) {
    if (Border == bsSingle) return Rect(1, 1, Width - 1, Height - 1);
    return Rect(0, 0, Width, Height);
}

TRect HorizontalBar(const TRect& R, int Percent) {
    int w = R.Right - R.Left + 1, h = R.Bottom - R.Top + 1;
    int f = std::min(PartOfSize(Percent, w), w);
    if (f <= 0) return TRect{};
    // The right edge is F itself and the bottom edge H: sizes used as coordinates.
    return Rect(R.Left, R.Top, f, h);
}

TRect VerticalBar(const TRect& R, int Percent) {
    int w = R.Right - R.Left + 1, h = R.Bottom - R.Top + 1;
    int f = PartOfSize(Percent, h);
    if (f >= h) f = h - 1;
    return Rect(R.Left, h - f, w, h);
}

namespace {
// Width and height of the round kinds: the paint rectangle's, one more with a border.
std::pair<int, int> RoundSize(const TRect& R, TBorderStyle Border) {
    int extra = Border == bsSingle ? 1 : 0;
    return {R.Right - R.Left + extra, R.Bottom - R.Top + extra};
}
} // namespace

TPie Pie(const TRect& R, TBorderStyle Border, int Percent) {
    auto [w, h] = RoundSize(R, Border);
    TPie p;
    p.Box = Rect(R.Left, R.Top, w, h);
    if (Percent <= 0) return p;
    int mx = w / 2, my = h / 2;
    double a = (Percent * 0.02 + 0.5) * M_PI;
    p.Wedge = true;
    p.First = TPoint{FloorOnCircle((1 - std::cos(a)) * mx), FloorOnCircle((1 - std::sin(a)) * my)};
    p.Second = TPoint{mx, 0};
    return p;
}

TNeedle Needle(const TRect& R, TBorderStyle Border, int ControlWidth, int Percent) {
    auto [w, h] = RoundSize(R, Border);
    TNeedle n;
    n.Box = Rect(R.Left, R.Top, w, 2 * h - 1);
    n.ArcFrom = TPoint{R.Left + w, R.Bottom - 1};
    n.ArcTo = TPoint{R.Left, R.Bottom - 1};
    n.BaseFrom = TPoint{R.Left, R.Bottom};
    n.BaseTo = TPoint{R.Left + w, R.Bottom};
    if (Percent <= 0) return n;
    int hw = ControlWidth / 2;
    double a = Percent * 0.01 * M_PI;
    n.Hand = true;
    n.HandFrom = TPoint{hw, R.Bottom - 1};
    n.HandTo =
        TPoint{FloorOnCircle((1 - std::cos(a)) * hw), FloorOnCircle((1 - std::sin(a)) * (R.Bottom - 1))};
    return n;
}

TPoint TextOrigin(const TRect& R, int TextWidth, int TextHeight) {
    return TPoint{(R.Right - R.Left + 1 - TextWidth) / 2, (R.Bottom - R.Top + 1 - TextHeight) / 2};
}

std::string MinValueRangeError(int32_t MaxValue) {
    return RangeText(-2147483647, static_cast<int64_t>(MaxValue) - 1);
}

std::string MaxValueRangeError(int32_t MinValue) {
    return RangeText(static_cast<int64_t>(MinValue) + 1, 2147483647);
}

} // namespace GaugeGeometry

using namespace GaugeGeometry;

TCGauge::TCGauge(QWidget* Parent) : QWidget(Parent) {
    // Every pixel comes from the picture: Qt need not clear the ground first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(100, 100);
}

int TCGauge::PercentDone() const {
    return PercentOfRange(static_cast<int64_t>(FProgress) - FMinValue,
                          static_cast<int64_t>(FMaxValue) - FMinValue);
}

void TCGauge::SetProgress(int32_t Value) {
    int before = PercentDone();
    Value = std::clamp(Value, FMinValue, std::max(FMinValue, FMaxValue));
    if (Value == FProgress) return;
    FProgress = Value;
    if (PercentDone() != before) Invalidate();
}

void TCGauge::AddProgress(int32_t Value) {
    int64_t sum = static_cast<int64_t>(FProgress) + Value;
    SetProgress(static_cast<int32_t>(
        std::clamp<int64_t>(sum, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max())));
    Invalidate();
}

void TCGauge::SetMinValue(int32_t Value) {
    if (Value == FMinValue) return;
    if (Value > FMaxValue) throw Exception(MinValueRangeError(FMaxValue));
    FMinValue = Value;
    if (FProgress < Value) FProgress = Value;
    Invalidate();
}

void TCGauge::SetMaxValue(int32_t Value) {
    if (Value == 0) return;
    if (Value < FMinValue) throw Exception(MaxValueRangeError(FMinValue));
    FMaxValue = Value;
    if (FProgress > Value) FProgress = Value;
    Invalidate();
}

void TCGauge::SetKind(TCGaugeKind Value) {
    if (FKind == Value) return;
    FKind = Value;
    Invalidate();
}

void TCGauge::SetShowText(bool Value) {
    if (FShowText == Value) return;
    FShowText = Value;
    Invalidate();
}

void TCGauge::SetBorderStyle(TBorderStyle Value) {
    if (FBorderStyle == Value) return;
    FBorderStyle = Value;
    Invalidate();
}

void TCGauge::SetForeColor(TColor Value) {
    if (FForeColor == Value) return;
    FForeColor = Value;
    Invalidate();
}

void TCGauge::SetBackColor(TColor Value) {
    if (FBackColor == Value) return;
    FBackColor = Value;
    Invalidate();
}

void TCGauge::SetColor(TColor Value) {
    if (FColor == Value) return;
    FColor = Value;
    Invalidate();
}

void TCGauge::Invalidate() {
    update();
}

void TCGauge::DrawKind(TCanvas& C, const TRect& R) const {
    int percent = PercentDone();
    switch (FKind) {
    case gkText:
        C.Brush().Color = FBackColor;
        C.FillRect(R);
        break;
    case gkHorizontalBar:
    case gkVerticalBar: {
        C.Brush().Color = FBackColor;
        C.FillRect(R);
        C.Pen().Color = FForeColor;
        C.Pen().Width = 1;
        C.Brush().Color = FForeColor;
        C.FillRect(FKind == gkHorizontalBar ? HorizontalBar(R, percent) : VerticalBar(R, percent));
        break;
    }
    case gkPie: {
        TPie p = Pie(R, FBorderStyle, percent);
        C.Brush().Color = FColor;
        C.FillRect(R);
        C.Brush().Color = FBackColor;
        C.Pen().Color = FForeColor;
        C.Pen().Width = 1;
        C.Ellipse(p.Box.Left, p.Box.Top, p.Box.Right, p.Box.Bottom);
        if (p.Wedge) {
            C.Brush().Color = FForeColor;
            C.Pie(p.Box.Left, p.Box.Top, p.Box.Right, p.Box.Bottom, p.First.X, p.First.Y, p.Second.X,
                  p.Second.Y);
        }
        break;
    }
    case gkNeedle: {
        TNeedle n = Needle(R, FBorderStyle, width(), percent);
        C.Brush().Color = FColor;
        C.FillRect(R);
        C.Brush().Color = FBackColor;
        C.Pen().Color = FForeColor;
        C.Pen().Width = 1;
        C.Pie(n.Box.Left, n.Box.Top, n.Box.Right, n.Box.Bottom, n.ArcFrom.X, n.ArcFrom.Y, n.ArcTo.X,
              n.ArcTo.Y);
        C.MoveTo(n.BaseFrom.X, n.BaseFrom.Y);
        C.LineTo(n.BaseTo.X, n.BaseTo.Y);
        if (n.Hand) {
            C.MoveTo(n.HandFrom.X, n.HandFrom.Y);
            C.LineTo(n.HandTo.X, n.HandTo.Y);
        }
        break;
    }
    }
}

void TCGauge::DrawText(TCanvas& C, const TRect& R) const {
    std::string s = std::to_string(PercentDone()) + "%";
    C.Brush().Style = bsClear;
    C.Font() = CanvasFont(font());
    C.Font().Color = clWhite;
    // Only ink and ground: inverting the pixels under anti-aliased letters would leave grey seams.
    C.Font().Quality = fqNonAntialiased;
    TPoint at = TextOrigin(R, C.TextWidth(s), C.TextHeight(s));
    C.TextRect(R, at.X, at.Y, s);
}

QImage TCGauge::Picture() const {
    int w = width(), h = height();
    if (w <= 0 || h <= 0) return QImage();
    TRect full = Rect(0, 0, w, h);
    TRect r = PaintRect(w, h, FBorderStyle);
    QImage a(w, h, QImage::Format_RGB32);
    a.fill(Qt::black);
    TCanvas ca(a);
    // Each layer is drawn on black and XOR-ed onto the picture: the shape lands as drawn, and the
    // white letters invert whatever lies under them.
    auto combine = [&](void (TCGauge::*Draw)(TCanvas&, const TRect&) const) {
        QImage layer(w, h, QImage::Format_RGB32);
        layer.fill(Qt::black);
        TCanvas cl(layer);
        (this->*Draw)(cl, r);
        ca.SetCopyMode(cmSrcInvert);
        ca.CopyRect(full, cl, full);
        ca.SetCopyMode(cmSrcCopy);
    };
    combine(&TCGauge::DrawKind);
    if (FShowText) combine(&TCGauge::DrawText);
    return a;
}

void TCGauge::paintEvent(QPaintEvent*) {
    QImage picture = Picture();
    QPainter painter(this);
    TCanvas canvas(painter);
    canvas.Draw(0, 0, picture);
}
