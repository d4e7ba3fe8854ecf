// The twelve built-in LED pictures, drawn in code so they are part of the library and need no
// resource set-up: 15 x 15 pixels in colours of the 16-colour palette.

#include "cportui/ComLed.h"

#include <array>
#include <cmath>

namespace {

constexpr int Side = 15;

constexpr QRgb Black = qRgb(0, 0, 0), Grey = qRgb(128, 128, 128), Silver = qRgb(192, 192, 192),
               White = qRgb(255, 255, 255), Olive = qRgb(128, 128, 0), Purple = qRgb(128, 0, 128),
               Yellow = qRgb(255, 255, 0);

struct TLampColours {
    QRgb Full;
    QRgb Half;
    QRgb Surround;
};

TLampColours LampColours(TLedKind Kind) {
    switch (Kind) {
    case lkGreenLight:
        return {qRgb(0, 255, 0), qRgb(0, 128, 0), Olive};
    case lkBlueLight:
        return {qRgb(0, 0, 255), qRgb(0, 0, 128), Olive};
    case lkYellowLight:
        // Olive is this lamp's own half colour, so its surround is purple.
        return {Yellow, qRgb(128, 128, 0), Purple};
    case lkPurpleLight:
        return {qRgb(255, 0, 255), qRgb(128, 0, 128), Olive};
    default:
        return {qRgb(255, 0, 0), qRgb(128, 0, 0), Olive};
    }
}

double Distance(int X, int Y, double CX, double CY) {
    return std::hypot(X - CX, Y - CY);
}

// A round lamp 15 pixels across: black body, a rim grey towards the top left and silver towards the
// bottom right with white highlights at the top left, and a coloured centre. Lit: the full colour
// with a crescent of the half colour at the bottom right. Unlit: a smaller centre in the half colour.
QImage Lamp(TLedKind Kind, bool On) {
    const TLampColours c = LampColours(Kind);
    QImage image(Side, Side, QImage::Format_RGB32);
    const double centre = (Side - 1) / 2.0;
    for (int y = 0; y < Side; ++y)
        for (int x = 0; x < Side; ++x) {
            const double d = Distance(x, y, centre, centre);
            const bool topLeft = x + y < Side - 1;
            QRgb p = c.Surround;
            if (d > 7.5)
                p = c.Surround;
            else if (d > 6.5)
                p = Black;
            else if (d > 5.4)
                p = (x + y <= 5) ? White : topLeft ? Grey : Silver;
            else if (On ? d > 4.4 : d > 3.3)
                p = Black;
            else if (On)
                p = (d > 3.3 && !topLeft) ? c.Half : c.Full;
            else
                p = c.Half;
            image.setPixel(x, y, p);
        }
    return image;
}

// A small light bulb: round white glass with a black outline on a silver screw base. Lit: the glass
// speckled yellow and white, and short yellow and white rays all around.
QImage Bulb(bool On) {
    QImage image(Side, Side, QImage::Format_RGB32);
    image.fill(Olive);
    const double cx = 7, cy = 6;
    for (int y = 0; y < Side; ++y)
        for (int x = 0; x < Side; ++x) {
            const double d = Distance(x, y, cx, cy);
            if (y <= 9 && d <= 2.6)
                image.setPixel(x, y, On && ((x + y) % 2 == 0) ? Yellow : White);
            else if (y <= 9 && d <= 3.6)
                image.setPixel(x, y, Black);
        }
    // The base: rows 10 to 13 under the glass, outlined in black.
    for (int y = 10; y <= 13; ++y)
        for (int x = 5; x <= 9; ++x)
            image.setPixel(x, y, (x == 5 || x == 9 || y == 13) ? Black : Silver);
    if (On) {
        struct TRay {
            int X, Y;
            QRgb Colour;
        };
        static const std::array<TRay, 12> rays{{{7, 0, Yellow},
                                                {7, 1, White},
                                                {1, 6, White},
                                                {0, 6, Yellow},
                                                {13, 6, White},
                                                {14, 6, Yellow},
                                                {2, 1, Yellow},
                                                {3, 2, White},
                                                {12, 1, Yellow},
                                                {11, 2, White},
                                                {2, 11, Yellow},
                                                {12, 11, Yellow}}};
        for (const TRay& r : rays)
            image.setPixel(r.X, r.Y, r.Colour);
    }
    return image;
}

} // namespace

QImage LedPicture(TLedKind Kind, bool On) {
    switch (Kind) {
    case lkCustom:
        return {};
    case lkBulb:
        return Bulb(On);
    default:
        return Lamp(Kind, On);
    }
}
