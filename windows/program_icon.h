#pragma once

// The program's icon and logo, drawn from the SVGs in the resources, and the name and
// desktop entry its windows are known by.

#include <QIcon>
#include <QPixmap>
#include <QSize>

QIcon programIcon();
// The about window's logo at `size` logical pixels, sharp on high-density screens.
QPixmap programLogo(QSize size, qreal devicePixelRatio);

// Names the program for the desktop: the application name, which X11 window managers read
// as the windows' class and the desktop entry names as its StartupWMClass, and the entry's
// id, so that docks show the entry's icon and name for the windows and group them under
// its launcher. Call once the application exists, before the first window.
void identifyProgram();
