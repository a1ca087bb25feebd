#pragma once

// Window layouts are given in twips. Each control remembers the twips box it was placed
// in, so resize rules can compute in twips without losing the remainder of a pixel.

#include <QRect>

class QWidget;

namespace layout {

// Places `widget` at a box given in twips (15 twips make one pixel).
void place(QWidget* widget, int left, int top, int width, int height);
void place(QWidget* widget, const QRect& twipsBox);
// The twips box `widget` was last placed in; its pixel geometry times 15 when it was
// never placed.
QRect twipsBox(const QWidget* widget);

// Shrinks the font of a label, check box, push button, group box or text box in
// quarter points until its caption fits the box it was placed in; a caption that
// already fits keeps the default font. `visibleWidth` (pixels) narrows the room when
// another control covers the end of the box.
void fitText(QWidget* widget, int visibleWidth = -1);

} // namespace layout
