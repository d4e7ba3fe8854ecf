#pragma once

#include <QFont>
#include <QImage>
#include <QPainter>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Colours as 0x00BBGGRR; values with the top bit set name a system colour (ColorToRGB resolves it).
using TColor = uint32_t;
constexpr TColor clBlack = 0x000000, clMaroon = 0x000080, clGreen = 0x008000, clOlive = 0x008080,
                 clNavy = 0x800000, clPurple = 0x800080, clTeal = 0x808000, clGray = 0x808080,
                 clSilver = 0xC0C0C0, clRed = 0x0000FF, clLime = 0x00FF00, clYellow = 0x00FFFF,
                 clBlue = 0xFF0000, clFuchsia = 0xFF00FF, clAqua = 0xFFFF00, clWhite = 0xFFFFFF;
constexpr TColor clSystemColor = 0x80000000u;
constexpr TColor clScrollBar = clSystemColor | 0, clBackground = clSystemColor | 1,
                 clWindow = clSystemColor | 5, clWindowText = clSystemColor | 8,
                 clHighlight = clSystemColor | 13, clHighlightText = clSystemColor | 14,
                 clBtnFace = clSystemColor | 15, clBtnShadow = clSystemColor | 16,
                 clGrayText = clSystemColor | 17, clBtnText = clSystemColor | 18,
                 clBtnHighlight = clSystemColor | 20;

TColor ColorToRGB(TColor Color);
QColor ToQColor(TColor Color);
TColor FromQColor(const QColor& Color);

struct TPoint {
    int X = 0, Y = 0;
    bool operator==(const TPoint&) const = default;
};
// Right and Bottom lie just outside the rectangle.
struct TRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
    bool operator==(const TRect&) const = default;
};
inline TRect Rect(int Left, int Top, int Right, int Bottom) {
    return TRect{Left, Top, Right, Bottom};
}

enum TPenMode : uint8_t { pmCopy, pmXor, pmNot };
enum TPenStyle : uint8_t { psSolid, psClear };
enum TBrushStyle : uint8_t { bsSolid, bsClear };
// Raster operations of CopyRect/Draw: copy the source, XOR it onto the destination, invert the
// destination, clear to black, fill with white.
enum TCopyMode : uint8_t { cmSrcCopy, cmSrcInvert, cmDstInvert, cmBlackness, cmWhiteness };

struct TPen {
    TColor Color = clBlack;
    int Width = 1;
    TPenMode Mode = pmCopy;
    TPenStyle Style = psSolid;
};
struct TBrush {
    TColor Color = clWhite;
    TBrushStyle Style = bsSolid;
};
struct TCanvasFont {
    std::string Name;
    int Size = 8; // points
    TColor Color = clWindowText;
    bool Bold = false, Italic = false, Underline = false;
};

// Drawing with integer pixel semantics: no antialiasing, rectangles and ellipses exclude their right
// and bottom edge, lines exclude their end point. Use on the GUI thread (or on any one thread when
// the target is an image that no other thread touches).
class TCanvas {
  public:
    // Draws into Image (kept as Format_RGB32); the image must outlive the canvas.
    explicit TCanvas(QImage& Image);
    // Draws with a painter that is already active (a widget's paintEvent); image-only operations
    // (pixel reads, being a CopyRect source) are not available.
    explicit TCanvas(QPainter& Painter);
    ~TCanvas();
    TCanvas(const TCanvas&) = delete;
    TCanvas& operator=(const TCanvas&) = delete;

    TPen& Pen() { return FPen; }
    TBrush& Brush() { return FBrush; }
    TCanvasFont& Font() { return FFont; }
    TCopyMode CopyMode() const { return FCopyMode; }
    void SetCopyMode(TCopyMode Mode) { FCopyMode = Mode; }
    TPoint PenPos() const { return FPenPos; }
    QImage* Image() const { return FImage; }

    void FillRect(const TRect& R);
    void FrameRect(const TRect& R);
    void Rectangle(int X1, int Y1, int X2, int Y2);
    void Rectangle(const TRect& R) { Rectangle(R.Left, R.Top, R.Right, R.Bottom); }
    void Ellipse(int X1, int Y1, int X2, int Y2);
    // Pie of the ellipse in the box (X1,Y1)-(X2,Y2), counter-clockwise from the radial through
    // (X3,Y3) to the radial through (X4,Y4); equal radials give the whole ellipse.
    void Pie(int X1, int Y1, int X2, int Y2, int X3, int Y3, int X4, int Y4);
    void MoveTo(int X, int Y);
    void LineTo(int X, int Y);
    void Polyline(const std::vector<TPoint>& Points);
    void Polygon(const std::vector<TPoint>& Points);
    void TextOut(int X, int Y, const std::string& Text);
    void TextRect(const TRect& R, int X, int Y, const std::string& Text);
    int TextWidth(const std::string& Text);
    int TextHeight(const std::string& Text);
    // Copies Source's SourceRect into Dest (scaled when sizes differ) with the current CopyMode.
    void CopyRect(const TRect& Dest, TCanvas& Source, const TRect& SourceRect);
    void CopyRect(const TRect& Dest, const QImage& Source, const TRect& SourceRect);
    void Draw(int X, int Y, const QImage& Picture);
    TColor Pixel(int X, int Y) const;
    void SetPixel(int X, int Y, TColor Color);

    QPainter& Painter();

  private:
    QImage* FImage = nullptr;
    std::unique_ptr<QPainter> FOwnPainter;
    QPainter* FPainter = nullptr;
    TPen FPen;
    TBrush FBrush;
    TCanvasFont FFont;
    TCopyMode FCopyMode = cmSrcCopy;
    TPoint FPenPos;
};
