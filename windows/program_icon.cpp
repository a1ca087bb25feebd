#include "windows/program_icon.h"

#include <QGuiApplication>
#include <QPainter>
#include <QSvgRenderer>

// The resources live in a static library; without this their registration would be
// dropped by the linker. Kept outside any namespace, as the registration function is.
static void ensureResources() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(velmarch);
        return true;
    }();
    (void)registered;
}

namespace {

QPixmap render(const QString& resource, QSize size, qreal ratio) {
    ensureResources();
    QSvgRenderer renderer(resource);
    QPixmap pixmap(size * ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}

} // namespace

QIcon programIcon() {
    // Rendered once at the sizes window managers ask for, so no icon-engine plugin is needed.
    static const QIcon icon = [] {
        QIcon result;
        for (int side : {16, 24, 32, 48, 64, 128, 256})
            result.addPixmap(render(QStringLiteral(":/velmarch.svg"), QSize(side, side), 1.0));
        return result;
    }();
    return icon;
}

QPixmap programLogo(QSize size, qreal devicePixelRatio) {
    return render(QStringLiteral(":/velmarch_logo.svg"), size, devicePixelRatio);
}

void identifyProgram() {
    QGuiApplication::setApplicationName(QStringLiteral("Velmarch"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.example.Velmarch"));
    QGuiApplication::setWindowIcon(programIcon());
}
