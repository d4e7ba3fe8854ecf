#pragma once

#include <QFont>
#include <QString>

class QWidget;

// The windows are laid out in pixels for an 8-point dialog font on a 96-dpi screen, whose characters
// are 11 pixels high. Linux has no such bitmap font, so the closest sans-serif face is asked for by
// pixel size, which keeps the text inside the fixed control sizes whatever the screen's dpi says.
QFont DialogFont();

// Makes a top-level widget a fixed-size dialog window: caption, client size, close box only,
// the dialog font and the button-face background. GUI thread only.
void MakeFixedDialog(QWidget* Form, const QString& Caption, int ClientWidth, int ClientHeight);

// Centres a top-level window on the screen it is about to appear on. GUI thread only.
void CentreOnScreen(QWidget* Form);
