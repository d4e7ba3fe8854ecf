#include "tools/gallery/GalleryControls.h"

#include "samples/Cgrid.h"

#include <QComboBox>
#include <QLabel>
#include <QPixmap>

namespace {
const char* const Names[ColorGridSquares] = {"Black", "Maroon",  "Green", "Olive", "Navy", "Purple",
                                             "Teal",  "Silver",  "Gray",  "Red",   "Lime", "Yellow",
                                             "Blue",  "Fuchsia", "Aqua",  "White"};

QPixmap Chip(TColor Colour, int Size) {
    QPixmap chip(Size, Size);
    chip.fill(ToQColor(Colour));
    return chip;
}
} // namespace

QString ColourName(TColor Colour) {
    for (int i = 0; i < ColorGridSquares; ++i)
        if (ColorGridGeometry::SquareColor(i) == ColorToRGB(Colour)) return Names[i];
    return QString("#%1").arg(ToQColor(Colour).rgb() & 0xFFFFFF, 6, 16, QChar('0'));
}

QComboBox* NewColourCombo(QWidget* Parent, TColor Initial) {
    auto* combo = new QComboBox(Parent);
    for (int i = 0; i < ColorGridSquares; ++i) {
        TColor c = ColorGridGeometry::SquareColor(i);
        combo->addItem(QIcon(Chip(c, 12)), Names[i], QVariant::fromValue(static_cast<uint>(c)));
        if (c == ColorToRGB(Initial)) combo->setCurrentIndex(i);
    }
    return combo;
}

TColor ComboColour(const QComboBox* Combo) {
    return static_cast<TColor>(Combo->currentData().toUInt());
}

QLabel* NewSwatch(QWidget* Parent) {
    auto* swatch = new QLabel(Parent);
    swatch->setFixedSize(18, 18);
    swatch->setFrameShape(QFrame::Box);
    return swatch;
}

void SetSwatch(QLabel* Swatch, TColor Colour) {
    Swatch->setPixmap(Chip(Colour, 16));
}
