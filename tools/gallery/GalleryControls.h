#pragma once

#include "platform/toolkit/qt/Canvas.h"

#include <QString>

class QComboBox;
class QWidget;
class QLabel;

// Small pieces the gallery pages share. GUI thread only.

// The name of one of the 16 standard colours ("Navy"), or its hex value for any other colour.
QString ColourName(TColor Colour);
// A drop-down list of the 16 standard colours, each with a swatch, Initial chosen.
QComboBox* NewColourCombo(QWidget* Parent, TColor Initial);
TColor ComboColour(const QComboBox* Combo);
// A small square label filled with a colour.
QLabel* NewSwatch(QWidget* Parent);
void SetSwatch(QLabel* Swatch, TColor Colour);
