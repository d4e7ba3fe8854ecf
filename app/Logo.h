#pragma once

class QPainter;

// The chip on a circuit board with a lightning stroke (writing into silicon): the main window's
// picture and the tools' icon. Paints into the 69 x 49 box at the origin; scale the painter for
// other sizes.
void PaintLogo(QPainter& P);
