#include "app/Logo.h"

#include <QPainter>

void PaintLogo(QPainter& p) {
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(QPen(QColor(0x80, 0x60, 0x20), 2));
    for (int i = 0; i < 5; ++i) {
        int x = 19 + i * 8;
        p.drawLine(x, 4, x, 10);
        p.drawLine(x, 39, x, 45);
    }
    p.setPen(QPen(QColor(0x20, 0x20, 0x20), 1));
    p.setBrush(QColor(0x30, 0x34, 0x3c));
    p.drawRoundedRect(QRectF(12.5, 10.5, 44, 28), 3, 3);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xff, 0xc8, 0x20));
    const QPointF bolt[] = {{38, 13}, {27, 26}, {33, 26}, {29, 36}, {42, 22}, {35, 22}};
    p.drawPolygon(bolt, 6);
    p.setBrush(QColor(0xe0, 0xe0, 0xe0));
    p.drawEllipse(QPointF(17, 15), 1.5, 1.5);
}
