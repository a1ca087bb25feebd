#pragma once

// The program's icon and logo, drawn from the SVGs in the resources.

#include <QIcon>
#include <QPixmap>
#include <QSize>

QIcon programIcon();
// The about window's logo at `size` logical pixels, sharp on high-density screens.
QPixmap programLogo(QSize size, qreal devicePixelRatio);
