#pragma once

// Window layouts are given in twips, 1/1440 inch. The layouts were drawn for 15 twips to
// the pixel (96 dots per inch), where the desktop fonts of their day fitted them; today's
// desktop fonts are larger and follow the screen's font setting. Each window therefore
// works out how many twips a pixel stands for, from the desktop's font: the largest number
// (never more than 15) at which every caption fits its box, so the whole layout grows with
// the font and the text keeps the desktop's size. Only a window that would then not fit
// the screen is laid out smaller, and only below that does its font shrink.
//
// Each control remembers the twips box it was placed in, so a window can be laid out again
// at another scale, and resize rules can compute in twips without losing the remainder of
// a pixel.

#include <QList>
#include <QRect>

class QCheckBox;
class QWidget;

namespace layout {

// Twips per pixel at 96 dots per inch: the scale the layouts were drawn at, and the
// smallest any window is shown at.
constexpr int kTwipsPerPixelAt96Dpi = 15;

// Twips per pixel of the window `widget` is in: the scale of the nearest of `widget` and
// its ancestors that was given one, 15 where none was.
int twipsPerPixel(const QWidget* widget);
// A twips box as pixels at the scale of `widget`'s window.
QRect pixels(const QWidget* widget, const QRect& twips);
// Pixels as twips at the scale of `widget`'s window.
int toTwips(const QWidget* widget, int pixels);

// Places `widget` at a box given in twips, at the scale of its window.
void place(QWidget* widget, int left, int top, int width, int height);
void place(QWidget* widget, const QRect& twipsBox);
// The twips box `widget` was last placed in; its pixel geometry in twips when it was
// never placed.
QRect twipsBox(const QWidget* widget);

// A control whose caption must be readable whole: a label, check box, push button, group
// box or text box. `visibleTwips` (from the box's left) narrows the room when another
// control covers the end of the box.
struct Caption {
    QWidget* control = nullptr;
    int visibleTwips = -1;
};

// Whether `caption` fits the box its control was placed in when drawn at `pointSize` in
// its control's font family and style, with `twipsPerPixel` twips to a pixel.
bool fitsAt(const Caption& caption, qreal pointSize, int twipsPerPixel);

// The most twips per pixel, not above 15, at which every caption fits at `pointSize`;
// 1 when even that is too few.
int fittingScale(const QList<Caption>& captions, qreal pointSize);

// The largest size, in quarter points and not above `largest`, at which every caption fits
// with `twipsPerPixel` twips to a pixel.
qreal fittingPointSize(const QList<Caption>& captions, qreal largest, int twipsPerPixel);

struct Scale {
    int twipsPerPixel = kTwipsPerPixelAt96Dpi;
    qreal pointSize = 0;
};

// Lays `window` out at the scale at which the desktop's font fits every caption, made
// smaller where a client area of `clientTwips` would then not fit the available part of
// the window's screen, and gives it the desktop's font (smaller only where the captions
// still do not fit): one size for every control in it (controls with a face of their own
// keep the face and take the size). Places every control again, gives its check boxes and
// text boxes the window style below, and returns the scale; sizing the window is the
// caller's, from pixels(window, ...).
Scale scaleToFont(QWidget* window, const QSize& clientTwips, const QList<Caption>& captions);

// The application's style with two changes for the check boxes and text boxes of a window
// layout. A check box's indicator stays within the row the layout gave the box, where the
// style would draw it taller (a window made smaller to fit its screen). And on a dark
// palette, where the style outlines an unchecked box or an empty text box in a shade of the
// window's own colour that nearly vanishes against it, the outline is drawn halfway
// between the window's colour and its text's.
void useWindowStyle(QWidget* control);

} // namespace layout
