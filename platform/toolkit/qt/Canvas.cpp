#include "platform/toolkit/qt/Canvas.h"

#include <QFontMetrics>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

// Windows-classic values of the system colours the painted controls use.
TColor SystemColor(unsigned Index) {
    switch (Index) {
    case 0:
        return 0xC8C8C8; // scroll bar
    case 1:
        return 0x808000; // desktop
    case 5:
        return clWhite; // window
    case 8:
        return clBlack; // window text
    case 13:
        return 0x6A240A; // highlight (10, 36, 106)
    case 14:
        return clWhite; // highlight text
    case 15:
        return clSilver; // button face
    case 16:
        return clGray; // button shadow
    case 17:
        return clGray; // grey text
    case 18:
        return clBlack; // button text
    case 20:
        return clWhite; // button highlight
    default:
        return clBlack;
    }
}

constexpr int MaxLineWidth = 4096;

QRgb ToRgb(TColor c) {
    c = ColorToRGB(c);
    return qRgb(static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF),
                static_cast<int>((c >> 16) & 0xFF));
}

TColor FromRgb(QRgb p) {
    return static_cast<TColor>(qRed(p)) | static_cast<TColor>(qGreen(p)) << 8 |
           static_cast<TColor>(qBlue(p)) << 16;
}

QRgb Combine(TPenMode Mode, QRgb Colour, QRgb Dest) {
    switch (Mode) {
    case pmCopy:
        return Colour | 0xFF000000u;
    case pmXor:
        return ((Colour ^ Dest) & 0x00FFFFFFu) | 0xFF000000u;
    case pmNot:
        return (~Dest & 0x00FFFFFFu) | 0xFF000000u;
    }
    return Dest;
}

QPainter::CompositionMode ToComposition(TPenMode Mode) {
    switch (Mode) {
    case pmXor:
        return QPainter::RasterOp_SourceXorDestination;
    case pmNot:
        return QPainter::RasterOp_NotDestination;
    default:
        return QPainter::CompositionMode_SourceOver;
    }
}

QRect Normalised(int X1, int Y1, int X2, int Y2) {
    return QRect(QPoint(std::min(X1, X2), std::min(Y1, Y2)),
                 QPoint(std::max(X1, X2) - 1, std::max(Y1, Y2) - 1));
}

// Which pixels a filled shape covers, over an area that may have been cut to the image.
struct TMask {
    QRect Area;                  // pixels covered by Bits
    bool CutL, CutT, CutR, CutB; // sides where the shape went on beyond Area
    std::vector<uint8_t> Bits;

    bool At(int X, int Y) const {
        if (X < Area.left()) return CutL;
        if (X > Area.right()) return CutR;
        if (Y < Area.top()) return CutT;
        if (Y > Area.bottom()) return CutB;
        return Bits[static_cast<size_t>((Y - Area.top()) * Area.width() + (X - Area.left()))] != 0;
    }
};

// Fills Path (aliased: a pixel is in when its centre is) over Bounds, cut to Limit.
TMask Rasterise(const QPainterPath& Path, const QRect& Bounds, const QRect& Limit) {
    TMask m{};
    m.Area = Bounds.intersected(Limit);
    m.CutL = m.Area.left() > Bounds.left();
    m.CutT = m.Area.top() > Bounds.top();
    m.CutR = m.Area.right() < Bounds.right();
    m.CutB = m.Area.bottom() < Bounds.bottom();
    if (m.Area.isEmpty()) return m;
    QImage img(m.Area.size(), QImage::Format_ARGB32);
    img.fill(0);
    {
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing, false);
        p.translate(-m.Area.left(), -m.Area.top());
        p.fillPath(Path, QColor(255, 255, 255));
    }
    m.Bits.resize(static_cast<size_t>(m.Area.width()) * static_cast<size_t>(m.Area.height()));
    for (int y = 0; y < m.Area.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(img.constScanLine(y));
        for (int x = 0; x < m.Area.width(); ++x)
            m.Bits[static_cast<size_t>(y * m.Area.width() + x)] = qAlpha(line[x]) != 0;
    }
    return m;
}

// Shrinks the mask by one pixel (a pixel stays when its four neighbours are in too).
TMask Erode(const TMask& In) {
    TMask out = In;
    for (int y = In.Area.top(); y <= In.Area.bottom(); ++y)
        for (int x = In.Area.left(); x <= In.Area.right(); ++x) {
            size_t i = static_cast<size_t>((y - In.Area.top()) * In.Area.width() + (x - In.Area.left()));
            out.Bits[i] =
                In.Bits[i] && In.At(x - 1, y) && In.At(x + 1, y) && In.At(x, y - 1) && In.At(x, y + 1);
        }
    return out;
}

// Bresenham from (X0,Y0) towards (X1,Y1), end point excluded, each pixel once (so XOR lines are
// exact); a wider pen spreads across the line's minor axis.
template <class F> void WalkLine(int X0, int Y0, int X1, int Y1, int W, F Put) {
    int dx = std::abs(X1 - X0), dy = -std::abs(Y1 - Y0);
    int sx = X0 < X1 ? 1 : -1, sy = Y0 < Y1 ? 1 : -1;
    int err = dx + dy, x = X0, y = Y0;
    int lo = -(W - 1) / 2, hi = W / 2;
    bool steep = -dy > dx;
    while (x != X1 || y != Y1) {
        for (int k = lo; k <= hi; ++k)
            Put(steep ? x + k : x, steep ? y : y + k);
        int e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y += sy;
        }
    }
}

} // namespace

TColor ColorToRGB(TColor Color) {
    if (Color & clSystemColor) return SystemColor(Color & 0xFF);
    return Color & 0xFFFFFF;
}

QColor ToQColor(TColor Color) {
    return QColor::fromRgb(ToRgb(Color));
}

TColor FromQColor(const QColor& Color) {
    return FromRgb(Color.rgb());
}

TCanvas::TCanvas(QImage& Image) : FImage(&Image) {
    if (Image.format() != QImage::Format_RGB32) Image = Image.convertToFormat(QImage::Format_RGB32);
}

TCanvas::TCanvas(QPainter& Painter) : FPainter(&Painter) {}

TCanvas::~TCanvas() {
    if (FOwnPainter && FOwnPainter->isActive()) FOwnPainter->end();
}

QPainter& TCanvas::Painter() {
    if (FPainter) return *FPainter;
    if (!FOwnPainter) FOwnPainter = std::make_unique<QPainter>();
    if (!FOwnPainter->isActive()) FOwnPainter->begin(FImage);
    return *FOwnPainter;
}

// Direct pixel work on the image needs the image to itself; a painter left open by Painter() ends.
static void EndOwnPainter(std::unique_ptr<QPainter>& P) {
    if (P && P->isActive()) P->end();
}

namespace {

// Paints a shape: pen pixels are the outer ring PenWidth wide, brush pixels the rest.
void PaintShape(QImage& Img, const QPainterPath& Path, const QRect& Bounds, const TPen& Pen,
                const TBrush& Brush) {
    int w = Pen.Style == psClear ? 0 : std::max(1, Pen.Width);
    TMask outer = Rasterise(Path, Bounds, Img.rect().adjusted(-w, -w, w, w));
    if (outer.Area.isEmpty()) return;
    TMask inner = outer;
    // Past half the larger side nothing is left to erode; a huge pen width costs no more than that.
    int steps = std::min(w, std::max(outer.Area.width(), outer.Area.height()) / 2 + 1);
    for (int i = 0; i < steps; ++i)
        inner = Erode(inner);
    QRgb pen = ToRgb(Pen.Color), brush = ToRgb(Brush.Color);
    QRect area = outer.Area.intersected(Img.rect());
    for (int y = area.top(); y <= area.bottom(); ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(Img.scanLine(y));
        for (int x = area.left(); x <= area.right(); ++x) {
            if (!outer.At(x, y)) continue;
            if (inner.At(x, y)) {
                if (Brush.Style == bsSolid) line[x] = Combine(Pen.Mode, brush, line[x]);
            } else {
                line[x] = Combine(Pen.Mode, pen, line[x]);
            }
        }
    }
}

QPainterPath PiePath(const QRectF& R, int X3, int Y3, int X4, int Y4) {
    double cx = R.center().x(), cy = R.center().y();
    double a = R.width() / 2, b = R.height() / 2;
    // The radials give true angles; the arc is drawn by the ellipse's own parameter.
    auto param = [&](int px, int py) {
        double dx = px - cx, dy = cy - py;
        return std::atan2(a * dy, b * dx) * 180.0 / M_PI;
    };
    double start = param(X3, Y3), end = param(X4, Y4);
    double sweep = end - start;
    while (sweep <= 0)
        sweep += 360.0;
    QPainterPath path;
    path.moveTo(R.center());
    path.arcTo(R, start, sweep);
    path.closeSubpath();
    return path;
}

} // namespace

void TCanvas::FillRect(const TRect& R) {
    if (FBrush.Style == bsClear) return;
    QRect r = Normalised(R.Left, R.Top, R.Right, R.Bottom);
    if (R.Right <= R.Left || R.Bottom <= R.Top) return;
    if (!FImage) {
        Painter().setCompositionMode(QPainter::CompositionMode_SourceOver);
        Painter().fillRect(r, ToQColor(FBrush.Color));
        return;
    }
    EndOwnPainter(FOwnPainter);
    r = r.intersected(FImage->rect());
    QRgb c = ToRgb(FBrush.Color);
    for (int y = r.top(); y <= r.bottom(); ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(FImage->scanLine(y));
        std::fill(line + r.left(), line + r.right() + 1, c);
    }
}

void TCanvas::FrameRect(const TRect& R) {
    if (R.Right <= R.Left || R.Bottom <= R.Top) return;
    TPen pen;
    pen.Color = FBrush.Color;
    TBrush clear;
    clear.Style = bsClear;
    QRect r = Normalised(R.Left, R.Top, R.Right, R.Bottom);
    if (!FImage) {
        QPainter& p = Painter();
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        p.setPen(ToQColor(pen.Color));
        p.setBrush(Qt::NoBrush);
        p.drawRect(r.adjusted(0, 0, -1, -1));
        return;
    }
    EndOwnPainter(FOwnPainter);
    QPainterPath path;
    path.addRect(QRectF(r.left(), r.top(), r.width(), r.height()));
    PaintShape(*FImage, path, r, pen, clear);
}

void TCanvas::Rectangle(int X1, int Y1, int X2, int Y2) {
    if (X1 == X2 || Y1 == Y2) return;
    QRect r = Normalised(X1, Y1, X2, Y2);
    if (!FImage) {
        QPainter& p = Painter();
        p.setRenderHint(QPainter::Antialiasing, false);
        p.setCompositionMode(ToComposition(FPen.Mode));
        p.setPen(FPen.Style == psClear ? QPen(Qt::NoPen) : QPen(ToQColor(FPen.Color), 0));
        p.setBrush(FBrush.Style == bsClear ? QBrush(Qt::NoBrush) : QBrush(ToQColor(FBrush.Color)));
        p.drawRect(r.adjusted(0, 0, -1, -1));
        return;
    }
    EndOwnPainter(FOwnPainter);
    QPainterPath path;
    path.addRect(QRectF(r.left(), r.top(), r.width(), r.height()));
    PaintShape(*FImage, path, r, FPen, FBrush);
}

void TCanvas::Ellipse(int X1, int Y1, int X2, int Y2) {
    if (X1 == X2 || Y1 == Y2) return;
    QRect r = Normalised(X1, Y1, X2, Y2);
    QRectF rf(r.left(), r.top(), r.width(), r.height());
    if (!FImage) {
        QPainter& p = Painter();
        p.setRenderHint(QPainter::Antialiasing, false);
        p.setCompositionMode(ToComposition(FPen.Mode));
        p.setPen(FPen.Style == psClear ? QPen(Qt::NoPen) : QPen(ToQColor(FPen.Color), 0));
        p.setBrush(FBrush.Style == bsClear ? QBrush(Qt::NoBrush) : QBrush(ToQColor(FBrush.Color)));
        p.drawEllipse(r.adjusted(0, 0, -1, -1));
        return;
    }
    EndOwnPainter(FOwnPainter);
    QPainterPath path;
    path.addEllipse(rf);
    PaintShape(*FImage, path, r, FPen, FBrush);
}

void TCanvas::Pie(int X1, int Y1, int X2, int Y2, int X3, int Y3, int X4, int Y4) {
    if (X1 == X2 || Y1 == Y2) return;
    QRect r = Normalised(X1, Y1, X2, Y2);
    QRectF rf(r.left(), r.top(), r.width(), r.height());
    QPainterPath path = PiePath(rf, X3, Y3, X4, Y4);
    if (!FImage) {
        QPainter& p = Painter();
        p.setRenderHint(QPainter::Antialiasing, false);
        p.setCompositionMode(ToComposition(FPen.Mode));
        p.setPen(FPen.Style == psClear ? QPen(Qt::NoPen) : QPen(ToQColor(FPen.Color), 0));
        p.setBrush(FBrush.Style == bsClear ? QBrush(Qt::NoBrush) : QBrush(ToQColor(FBrush.Color)));
        p.drawPath(path);
        return;
    }
    EndOwnPainter(FOwnPainter);
    PaintShape(*FImage, path, r, FPen, FBrush);
}

void TCanvas::MoveTo(int X, int Y) {
    FPenPos = TPoint{X, Y};
}

void TCanvas::LineTo(int X, int Y) {
    TPoint from = FPenPos;
    FPenPos = TPoint{X, Y};
    if (FPen.Style == psClear || (from.X == X && from.Y == Y)) return;
    int w = std::clamp(FPen.Width, 1, MaxLineWidth);
    // A line reaching far beyond the image is left to the painter's own clipping rather than
    // walked pixel by pixel.
    bool farOut =
        FImage && (std::abs(static_cast<int64_t>(X) - from.X) + std::abs(static_cast<int64_t>(Y) - from.Y) >
                   4 * static_cast<int64_t>(FImage->width() + FImage->height()) + 16);
    if (!FImage || farOut) {
        QPainter& p = Painter();
        p.setRenderHint(QPainter::Antialiasing, false);
        p.setCompositionMode(ToComposition(FPen.Mode));
        p.setPen(QPen(ToQColor(FPen.Color), w > 1 ? w : 0));
        p.drawLine(from.X, from.Y, X, Y);
        if (FImage) EndOwnPainter(FOwnPainter);
        return;
    }
    EndOwnPainter(FOwnPainter);
    QRgb c = ToRgb(FPen.Color);
    QRect img = FImage->rect();
    WalkLine(from.X, from.Y, X, Y, w, [&](int px, int py) {
        if (img.contains(px, py)) {
            QRgb* line = reinterpret_cast<QRgb*>(FImage->scanLine(py));
            line[px] = Combine(FPen.Mode, c, line[px]);
        }
    });
}

void TCanvas::Polyline(const std::vector<TPoint>& Points) {
    if (Points.empty()) return;
    MoveTo(Points[0].X, Points[0].Y);
    for (size_t i = 1; i < Points.size(); ++i)
        LineTo(Points[i].X, Points[i].Y);
}

void TCanvas::Polygon(const std::vector<TPoint>& Points) {
    if (Points.size() < 2) return;
    QPolygonF poly;
    int l = Points[0].X, t = Points[0].Y, r = l, b = t;
    for (const TPoint& p : Points) {
        poly << QPointF(p.X + 0.5, p.Y + 0.5);
        l = std::min(l, p.X), t = std::min(t, p.Y), r = std::max(r, p.X), b = std::max(b, p.Y);
    }
    if (!FImage) {
        QPainter& p = Painter();
        p.setRenderHint(QPainter::Antialiasing, false);
        p.setCompositionMode(ToComposition(FPen.Mode));
        p.setPen(FPen.Style == psClear ? QPen(Qt::NoPen) : QPen(ToQColor(FPen.Color), 0));
        p.setBrush(FBrush.Style == bsClear ? QBrush(Qt::NoBrush) : QBrush(ToQColor(FBrush.Color)));
        p.drawPolygon(poly);
        return;
    }
    EndOwnPainter(FOwnPainter);
    QPainterPath path;
    path.addPolygon(poly);
    path.closeSubpath();
    QRect bounds(QPoint(l, t), QPoint(r, b));
    int64_t reach = 4 * static_cast<int64_t>(FImage->width() + FImage->height()) + 16;
    if (static_cast<int64_t>(r) - l > reach || static_cast<int64_t>(b) - t > reach || std::abs(l) > reach ||
        std::abs(t) > reach) {
        // Far beyond the image: the outline is not walked pixel by pixel.
        PaintShape(*FImage, path, bounds, FPen, FBrush);
        return;
    }
    // The outline runs through the vertices (each edge leaves out its end, which starts the next);
    // the brush fills the pixels whose centres lie inside, except those of the outline.
    int w = std::clamp(FPen.Width, 1, MaxLineWidth);
    QRect area = bounds.adjusted(-w, -w, w, w).intersected(FImage->rect());
    if (area.isEmpty()) return;
    std::vector<uint8_t> outline(static_cast<size_t>(area.width()) * static_cast<size_t>(area.height()));
    auto index = [&](int x, int y) {
        return static_cast<size_t>((y - area.top()) * area.width() + (x - area.left()));
    };
    if (FPen.Style != psClear)
        for (size_t i = 0; i < Points.size(); ++i) {
            const TPoint& a = Points[i];
            const TPoint& e = Points[(i + 1) % Points.size()];
            WalkLine(a.X, a.Y, e.X, e.Y, w, [&](int x, int y) {
                if (area.contains(x, y)) outline[index(x, y)] = 1;
            });
        }
    TMask fill = Rasterise(path, bounds, FImage->rect());
    QRgb pen = ToRgb(FPen.Color), brush = ToRgb(FBrush.Color);
    for (int y = area.top(); y <= area.bottom(); ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(FImage->scanLine(y));
        for (int x = area.left(); x <= area.right(); ++x) {
            if (outline[index(x, y)])
                line[x] = Combine(FPen.Mode, pen, line[x]);
            else if (FBrush.Style == bsSolid && fill.Area.contains(x, y) && fill.At(x, y))
                line[x] = Combine(FPen.Mode, brush, line[x]);
        }
    }
}

namespace {
QFont MakeFont(const TCanvasFont& F) {
    QFont f;
    if (!F.Name.empty()) f.setFamily(QString::fromStdString(F.Name));
    if (F.Height > 0)
        f.setPixelSize(F.Height);
    else if (F.Size > 0)
        f.setPointSize(F.Size);
    if (F.Quality == fqNonAntialiased) f.setStyleStrategy(QFont::NoAntialias);
    f.setBold(F.Bold);
    f.setItalic(F.Italic);
    f.setUnderline(F.Underline);
    return f;
}
} // namespace

TCanvasFont CanvasFont(const QFont& Font) {
    TCanvasFont f;
    f.Name = Font.family().toStdString();
    if (Font.pointSize() > 0)
        f.Size = Font.pointSize();
    else
        f.Height = Font.pixelSize();
    f.Bold = Font.bold();
    f.Italic = Font.italic();
    f.Underline = Font.underline();
    return f;
}

void TCanvas::TextOut(int X, int Y, const std::string& Text) {
    QString s = QString::fromUtf8(Text.data(), static_cast<qsizetype>(Text.size()));
    QFont font = MakeFont(FFont);
    QFontMetrics fm(font);
    int w = fm.horizontalAdvance(s), h = fm.height();
    if (FBrush.Style == bsSolid) FillRect(TRect{X, Y, X + w, Y + h});
    QPainter& p = Painter();
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p.setRenderHint(QPainter::TextAntialiasing, FFont.Quality != fqNonAntialiased);
    p.setFont(font);
    p.setPen(ToQColor(FFont.Color));
    p.drawText(X, Y + fm.ascent(), s);
    if (FImage) EndOwnPainter(FOwnPainter);
    FPenPos = TPoint{X + w, Y};
}

void TCanvas::TextRect(const TRect& R, int X, int Y, const std::string& Text) {
    QRect clip = Normalised(R.Left, R.Top, R.Right, R.Bottom);
    if (R.Right <= R.Left || R.Bottom <= R.Top) return;
    QString s = QString::fromUtf8(Text.data(), static_cast<qsizetype>(Text.size()));
    QFont font = MakeFont(FFont);
    QFontMetrics fm(font);
    if (FBrush.Style == bsSolid) FillRect(R);
    QPainter& p = Painter();
    p.save();
    p.setClipRect(clip);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p.setRenderHint(QPainter::TextAntialiasing, FFont.Quality != fqNonAntialiased);
    p.setFont(font);
    p.setPen(ToQColor(FFont.Color));
    p.drawText(X, Y + fm.ascent(), s);
    p.restore();
    if (FImage) EndOwnPainter(FOwnPainter);
}

int TCanvas::TextWidth(const std::string& Text) {
    return QFontMetrics(MakeFont(FFont))
        .horizontalAdvance(QString::fromUtf8(Text.data(), static_cast<qsizetype>(Text.size())));
}

int TCanvas::TextHeight(const std::string&) {
    return QFontMetrics(MakeFont(FFont)).height();
}

void TCanvas::CopyRect(const TRect& Dest, TCanvas& Source, const TRect& SourceRect) {
    if (!Source.FImage)
        throw std::invalid_argument("CopyRect needs a source canvas that draws into an image");
    EndOwnPainter(Source.FOwnPainter);
    // Copy first: the source may be this very canvas.
    QImage src = Source.FImage->copy();
    CopyRect(Dest, src, SourceRect);
}

void TCanvas::CopyRect(const TRect& Dest, const QImage& Source, const TRect& SourceRect) {
    if (Dest.Right <= Dest.Left || Dest.Bottom <= Dest.Top) return;
    QRect d = Normalised(Dest.Left, Dest.Top, Dest.Right, Dest.Bottom);
    QImage piece;
    if (FCopyMode == cmSrcCopy || FCopyMode == cmSrcInvert) {
        if (SourceRect.Right <= SourceRect.Left || SourceRect.Bottom <= SourceRect.Top) return;
        QRect s = Normalised(SourceRect.Left, SourceRect.Top, SourceRect.Right, SourceRect.Bottom);
        // Outside the source reads as black, the way a copy past a bitmap's edge does.
        piece = QImage(s.size(), QImage::Format_RGB32);
        piece.fill(Qt::black);
        {
            QPainter p(&piece);
            p.setCompositionMode(QPainter::CompositionMode_Source);
            p.drawImage(QPoint(0, 0), Source.convertToFormat(QImage::Format_RGB32), s);
        }
        if (piece.size() != d.size())
            piece = piece.scaled(d.size(), Qt::IgnoreAspectRatio, Qt::FastTransformation);
    }
    if (!FImage) {
        QPainter& p = Painter();
        switch (FCopyMode) {
        case cmSrcCopy:
            p.setCompositionMode(QPainter::CompositionMode_Source);
            p.drawImage(d.topLeft(), piece);
            break;
        case cmSrcInvert:
            p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
            p.drawImage(d.topLeft(), piece);
            break;
        case cmDstInvert:
            p.setCompositionMode(QPainter::RasterOp_NotDestination);
            p.fillRect(d, Qt::black);
            break;
        case cmBlackness:
            p.fillRect(d, Qt::black);
            break;
        case cmWhiteness:
            p.fillRect(d, Qt::white);
            break;
        }
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        return;
    }
    EndOwnPainter(FOwnPainter);
    QRect area = d.intersected(FImage->rect());
    for (int y = area.top(); y <= area.bottom(); ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(FImage->scanLine(y));
        const QRgb* src =
            piece.isNull() ? nullptr : reinterpret_cast<const QRgb*>(piece.constScanLine(y - d.top()));
        for (int x = area.left(); x <= area.right(); ++x) {
            QRgb& px = line[x];
            switch (FCopyMode) {
            case cmSrcCopy:
                px = src[x - d.left()] | 0xFF000000u;
                break;
            case cmSrcInvert:
                px = ((src[x - d.left()] ^ px) & 0x00FFFFFFu) | 0xFF000000u;
                break;
            case cmDstInvert:
                px = (~px & 0x00FFFFFFu) | 0xFF000000u;
                break;
            case cmBlackness:
                px = 0xFF000000u;
                break;
            case cmWhiteness:
                px = 0xFFFFFFFFu;
                break;
            }
        }
    }
}

void TCanvas::Draw(int X, int Y, const QImage& Picture) {
    CopyRect(TRect{X, Y, X + Picture.width(), Y + Picture.height()}, Picture,
             TRect{0, 0, Picture.width(), Picture.height()});
}

void TCanvas::DrawTransparent(int X, int Y, const QImage& Picture) {
    if (Picture.isNull()) return;
    QImage src = Picture.convertToFormat(QImage::Format_ARGB32);
    const QRgb key = src.pixel(0, src.height() - 1) & 0x00FFFFFFu;
    for (int y = 0; y < src.height(); ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(src.scanLine(y));
        for (int x = 0; x < src.width(); ++x)
            line[x] = (qAlpha(line[x]) == 0 || (line[x] & 0x00FFFFFFu) == key) ? 0u : (line[x] | 0xFF000000u);
    }
    if (!FImage) {
        QPainter& p = Painter();
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        p.drawImage(QPoint(X, Y), src);
        return;
    }
    EndOwnPainter(FOwnPainter);
    const QRect area = QRect(X, Y, src.width(), src.height()).intersected(FImage->rect());
    for (int y = area.top(); y <= area.bottom(); ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(FImage->scanLine(y));
        const QRgb* from = reinterpret_cast<const QRgb*>(src.constScanLine(y - Y));
        for (int x = area.left(); x <= area.right(); ++x)
            if (from[x - X] != 0u) line[x] = from[x - X];
    }
}

TColor TCanvas::Pixel(int X, int Y) const {
    if (!FImage) throw std::logic_error("Pixel needs a canvas that draws into an image");
    if (!FImage->rect().contains(X, Y)) return clBlack;
    if (FOwnPainter && FOwnPainter->isActive()) const_cast<TCanvas*>(this)->FOwnPainter->end();
    return FromRgb(FImage->pixel(X, Y));
}

void TCanvas::SetPixel(int X, int Y, TColor Color) {
    if (!FImage) {
        Painter().setCompositionMode(QPainter::CompositionMode_SourceOver);
        Painter().fillRect(X, Y, 1, 1, ToQColor(Color));
        return;
    }
    EndOwnPainter(FOwnPainter);
    if (FImage->rect().contains(X, Y)) FImage->setPixel(X, Y, ToRgb(Color));
}

void TCanvas::DrawFocusRect(const TRect& R) {
    if (R.Right <= R.Left || R.Bottom <= R.Top) return;
    QRect r = Normalised(R.Left, R.Top, R.Right, R.Bottom);
    QRect limit = FImage
                      ? FImage->rect()
                      : QRect(QPoint(0, 0), QSize(Painter().device()->width(), Painter().device()->height()));
    QRect area = r.intersected(limit);
    if (area.isEmpty()) return;
    if (FImage) EndOwnPainter(FOwnPainter);
    // The dots lie on a checkerboard of the whole surface, so two frames that share an edge match.
    auto put = [&](int x, int y) {
        if (((x + y) & 1) != 0 || !area.contains(x, y)) return;
        if (FImage) {
            QRgb& px = reinterpret_cast<QRgb*>(FImage->scanLine(y))[x];
            px = (~px & 0x00FFFFFFu) | 0xFF000000u;
        } else {
            Painter().fillRect(x, y, 1, 1, Qt::black);
        }
    };
    if (!FImage) Painter().setCompositionMode(QPainter::RasterOp_NotDestination);
    // Each outline pixel once, so a frame one pixel thin or wide is not inverted back.
    for (int x = area.left(); x <= area.right(); ++x) {
        put(x, r.top());
        if (r.bottom() != r.top()) put(x, r.bottom());
    }
    for (int y = std::max(r.top() + 1, area.top()); y <= std::min(r.bottom() - 1, area.bottom()); ++y) {
        put(r.left(), y);
        if (r.right() != r.left()) put(r.right(), y);
    }
    if (!FImage) Painter().setCompositionMode(QPainter::CompositionMode_SourceOver);
}

void TCanvas::Frame3D(TRect& R, TColor TopColor, TColor BottomColor, int Width) {
    TPen saved = FPen;
    FPen = TPen{};
    TRect ring = R;
    // Rings stop once nothing is left inside; R still shrinks by the whole Width.
    for (int i = 0; i < Width && ring.Right > ring.Left && ring.Bottom > ring.Top; ++i) {
        int l = ring.Left, t = ring.Top, r = ring.Right - 1, b = ring.Bottom - 1;
        FPen.Color = TopColor;
        MoveTo(l, b);
        LineTo(l, t);
        LineTo(r, t);
        FPen.Color = BottomColor;
        MoveTo(r, t);
        LineTo(r, b);
        LineTo(l - 1, b);
        ring = TRect{ring.Left + 1, ring.Top + 1, ring.Right - 1, ring.Bottom - 1};
    }
    FPen = saved;
    auto shift = [&](int V, int By) {
        return static_cast<int>(std::clamp<int64_t>(static_cast<int64_t>(V) + By, INT32_MIN, INT32_MAX));
    };
    int w = std::max(Width, 0);
    R = TRect{shift(R.Left, w), shift(R.Top, w), shift(R.Right, -w), shift(R.Bottom, -w)};
}
