// Renders the program's SVG icon to a square PNG for the icon theme's fixed sizes, at
// build time, so that no binary image is kept in the sources.
//
//   velmarch-render-icon ICON.svg SIDE OUT.png

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>

int main(int argc, char* argv[]) {
    if (argc != 4) {
        std::fputs("usage: velmarch-render-icon ICON.svg SIDE OUT.png\n", stderr);
        return 2;
    }
    // No display is needed for painting into an image.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QSvgRenderer renderer(QString::fromLocal8Bit(argv[1]));
    const int side = std::atoi(argv[2]);
    if (!renderer.isValid() || side <= 0) {
        std::fprintf(stderr, "velmarch-render-icon: cannot render %s at %s\n", argv[1], argv[2]);
        return 1;
    }
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter);
    painter.end();
    return image.save(QString::fromLocal8Bit(argv[3])) ? 0 : 1;
}
