// Renders the tools' icon as PNG files of the sizes given: tolvane-icons OUTDIR SIZE...
// writes OUTDIR/SIZExSIZE/tolvane.png. Run at build time; needs no display.

#include "app/Logo.h"

#include <QDir>
#include <QImage>
#include <QPainter>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: tolvane-icons OUTDIR SIZE...\n");
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size < 8 || size > 1024) {
            std::fprintf(stderr, "tolvane-icons: bad size %s\n", argv[i]);
            return 1;
        }
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter p(&image);
        // The 69 x 49 picture, centred in the square with a small margin.
        const double scale = size * 0.96 / 69.0;
        p.translate((size - 69 * scale) / 2, (size - 49 * scale) / 2);
        p.scale(scale, scale);
        PaintLogo(p);
        p.end();
        const QString dir = QString("%1/%2x%2").arg(argv[1]).arg(size);
        QDir().mkpath(dir);
        if (!image.save(dir + "/tolvane.png")) {
            std::fprintf(stderr, "tolvane-icons: cannot write %s\n", qPrintable(dir));
            return 1;
        }
    }
    return 0;
}
