#pragma once

// Window layouts are given in twips. Each control remembers the twips box it was placed
// in, so resize rules can compute in twips without losing the remainder of a pixel, and
// so a window's font can be chosen to fit the boxes of the layout rather than the other
// way round.

#include <QList>
#include <QRect>

class QCheckBox;
class QWidget;

namespace layout {

// Places `widget` at a box given in twips (15 twips make one pixel).
void place(QWidget* widget, int left, int top, int width, int height);
void place(QWidget* widget, const QRect& twipsBox);
// The twips box `widget` was last placed in; its pixel geometry times 15 when it was
// never placed.
QRect twipsBox(const QWidget* widget);

// Keeps a check box's indicator within the row the layout placed the box in, where the
// style would draw it larger (styles size it by the font's dots per inch, the layout's
// rows do not grow with it). Call after placing the box.
void keepIndicatorInRow(QCheckBox* check);

// A control whose caption must be readable whole: a label, check box, push button, group
// box or text box. `visibleWidth` (pixels, from the box's left) narrows the room when
// another control covers the end of the box.
struct Caption {
    QWidget* control = nullptr;
    int visibleWidth = -1;
};

// Whether `caption` fits the box its control was placed in when drawn at `pointSize` in
// its control's font family and style.
bool fitsAt(const Caption& caption, qreal pointSize);

// The largest size, in quarter points and not above `largest`, at which every caption fits.
qreal fittingPointSize(const QList<Caption>& captions, qreal largest);

// Gives `window` the desktop's font at the largest size at which every caption fits, one
// size for every control in it (controls with a face of their own keep the face and take
// the size). Returns that size.
qreal useOneFont(QWidget* window, const QList<Caption>& captions);

} // namespace layout
