#pragma once

#include "platform/toolkit/Graphics.h"

#include <QFont>
#include <QImage>
#include <QPainter>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

TColor ColorToRGB(TColor Color);
QColor ToQColor(TColor Color);
TColor FromQColor(const QColor& Color);

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
// Non-antialiased text has only ink and background pixels, so inverting or XOR-ing it is exact.
enum TFontQuality : uint8_t { fqDefault, fqNonAntialiased };
struct TCanvasFont {
    std::string Name;
    int Size = 8; // points
    TColor Color = clWindowText;
    bool Bold = false, Italic = false, Underline = false;
    int Height = 0; // pixels; when above 0 it is used instead of Size
    TFontQuality Quality = fqDefault;
};
// A widget's font as a canvas font (family, point or pixel size, style); colour and quality stay default.
TCanvasFont CanvasFont(const QFont& Font);

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
    // Draws Picture leaving out the pixels of its transparent colour, the colour of its bottom-left
    // pixel (and any pixel the picture itself marks fully transparent), so the background shows there.
    void DrawTransparent(int X, int Y, const QImage& Picture);
    // Inverts every other pixel of R's outline (a dotted frame); drawing it again removes it.
    void DrawFocusRect(const TRect& R);
    // Width rings inside R, top and left edges in TopColor, bottom and right edges (with the
    // top-right and bottom-left corners) in BottomColor; R shrinks by Width on every side. The pen
    // is left as it was.
    void Frame3D(TRect& R, TColor TopColor, TColor BottomColor, int Width);
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
