#pragma once

// The frame a window manager puts around a top-level window. Qt reads it once and keeps
// it, so a frame that the window manager adds after the window was shown can go unseen;
// this asks the window manager each time and reports each new frame it states.

#include <QMargins>

#include <functional>

class QWidget;

namespace layout {

// The frame around top-level `window` (left, top, right, bottom) as the window manager
// states it now; none before the window exists on the screen. Off X11, what Qt knows.
QMargins windowFrame(const QWidget* window);

// Calls `changed` (later, from the event loop) each time the window manager states a
// frame for `window`, for as long as the window lives.
void onFrameChange(QWidget* window, std::function<void()> changed);

} // namespace layout
