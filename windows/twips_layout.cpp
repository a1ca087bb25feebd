#include "windows/twips_layout.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOption>
#include <QVariant>

#include <algorithm>
#include <cmath>

namespace layout {

namespace {

constexpr const char* kTwipsProperty = "twipsBox";
constexpr const char* kScaleProperty = "twipsPerPixel";
// Quarter points down to one point: a window shrunk to fit a small screen may need sizes
// far below what any desktop would use.
constexpr qreal kStep = 0.25;
constexpr qreal kSmallestPointSize = 1.0;

bool isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() <
           palette.color(QPalette::WindowText).lightness();
}

// Halfway between the window's colour and its text's: well apart from the background, and
// quieter than the text.
QColor contrastingOutline(const QPalette& palette) {
    const QColor back = palette.color(QPalette::Window);
    const QColor text = palette.color(QPalette::WindowText);
    return QColor((back.red() + text.red()) / 2, (back.green() + text.green()) / 2,
                  (back.blue() + text.blue()) / 2);
}

class WindowStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    int pixelMetric(PixelMetric metric, const QStyleOption* option,
                    const QWidget* widget) const override {
        const int value = QProxyStyle::pixelMetric(metric, option, widget);
        if (widget == nullptr || (metric != PM_IndicatorWidth && metric != PM_IndicatorHeight))
            return value;
        return std::min(value, pixels(widget, twipsBox(widget)).height());
    }

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        if (!isDark(option->palette) ||
            (element != PE_IndicatorCheckBox && element != PE_FrameLineEdit))
            return;
        // The style marks the focus with an outline of its own; that one stays.
        const bool focusShown =
            element == PE_FrameLineEdit
                ? bool(option->state & State_HasFocus)
                : (option->state & State_HasFocus) && (option->state & State_KeyboardFocusChange);
        if (focusShown)
            return;
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing, true);
        painter->translate(0.5, 0.5);
        painter->setPen(contrastingOutline(option->palette));
        painter->setBrush(Qt::NoBrush);
        const QRect outline = option->rect.adjusted(0, 0, -1, -1);
        if (element == PE_FrameLineEdit)
            painter->drawRoundedRect(outline, 2, 2);
        else
            painter->drawRect(outline);
        painter->restore();
    }
};

// The text a control shows, without the "&" that only marks its accelerator.
QString captionOf(const QWidget* widget) {
    QString text;
    if (auto* label = qobject_cast<const QLabel*>(widget))
        text = label->text();
    else if (auto* button = qobject_cast<const QAbstractButton*>(widget))
        text = button->text();
    else if (auto* group = qobject_cast<const QGroupBox*>(widget))
        text = group->title();
    else if (auto* edit = qobject_cast<const QLineEdit*>(widget))
        text = edit->text();
    text.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
    text.remove(u'&');
    text.replace(QChar(1), u'&');
    return text;
}

// Pixels around the caption that the control's own drawing takes in a box `rowHeight`
// pixels high.
QSizeF chromeOf(const QWidget* widget, int rowHeight) {
    const QStyle* style = widget->style();
    if (auto* label = qobject_cast<const QLabel*>(widget)) {
        const qreal frame = 2.0 * label->frameWidth() + 2.0 * label->margin();
        return {frame + label->indent() + 1, frame};
    }
    if (qobject_cast<const QCheckBox*>(widget)) {
        // The indicator as the style draws it, kept within the row at the scale tried.
        const int indicator =
            std::min(style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, nullptr), rowHeight);
        return {qreal(indicator +
                      style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, widget) + 2),
                0};
    }
    if (qobject_cast<const QPushButton*>(widget)) {
        const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth);
        return {qreal(2 * style->pixelMetric(QStyle::PM_ButtonMargin) + 2 * frame),
                qreal(2 * frame)};
    }
    if (qobject_cast<const QGroupBox*>(widget))
        return {24, 0};
    if (qobject_cast<const QLineEdit*>(widget)) {
        const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth);
        return {qreal(2 * frame + 4), qreal(2 * frame)};
    }
    return {0, 0};
}

QRect atScale(const QRect& twips, int twipsPerPixel) {
    return {twips.left() / twipsPerPixel, twips.top() / twipsPerPixel,
            twips.width() / twipsPerPixel, twips.height() / twipsPerPixel};
}

// Puts `widget` at its twips box at its window's scale. A check box lower than the
// style's indicator would cut the indicator's lower edge off; the rows leave a few pixels
// between them for it.
void applyBox(QWidget* widget, const QRect& box) {
    widget->setGeometry(pixels(widget, box));
    if (auto* check = qobject_cast<QCheckBox*>(widget)) {
        const int indicator =
            check->style()->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, check);
        if (check->height() < indicator + 2)
            check->resize(check->width(), indicator + 2);
    }
}

void useFontSize(QWidget* window, qreal size) {
    QFont font = window->font();
    font.setPointSizeF(size);
    window->setFont(font);
    for (QWidget* child : window->findChildren<QWidget*>()) {
        if (!child->testAttribute(Qt::WA_SetFont))
            continue;
        QFont own = child->font();
        own.setPointSizeF(size);
        child->setFont(own);
    }
}

} // namespace

int twipsPerPixel(const QWidget* widget) {
    for (const QWidget* w = widget; w != nullptr; w = w->parentWidget()) {
        const QVariant scale = w->property(kScaleProperty);
        if (scale.isValid())
            return scale.toInt();
    }
    return kTwipsPerPixelAt96Dpi;
}

QRect pixels(const QWidget* widget, const QRect& twips) {
    return atScale(twips, twipsPerPixel(widget));
}

int toTwips(const QWidget* widget, int pixels) {
    return pixels * twipsPerPixel(widget);
}

void place(QWidget* widget, int left, int top, int width, int height) {
    place(widget, QRect(left, top, width, height));
}

void place(QWidget* widget, const QRect& box) {
    widget->setProperty(kTwipsProperty, box);
    applyBox(widget, box);
}

QRect twipsBox(const QWidget* widget) {
    const QVariant stored = widget->property(kTwipsProperty);
    if (stored.isValid())
        return stored.toRect();
    const QRect g = widget->geometry();
    return {toTwips(widget, g.x()), toTwips(widget, g.y()), toTwips(widget, g.width()),
            toTwips(widget, g.height())};
}

bool fitsAt(const Caption& caption, qreal pointSize, int twipsPerPixel) {
    const QWidget* widget = caption.control;
    // The layout's box, not the widget's: a check box is grown to show its whole
    // indicator, but its caption must still fit the row the layout gives it.
    const QSize box = atScale(twipsBox(widget), twipsPerPixel).size();
    const QSizeF chrome = chromeOf(widget, box.height());
    const int width = caption.visibleTwips >= 0
                          ? std::min(caption.visibleTwips / twipsPerPixel, box.width())
                          : box.width();
    QFont font = widget->font();
    font.setPointSizeF(pointSize);
    const QFontMetricsF metrics(font);
    if (metrics.horizontalAdvance(captionOf(widget)) > width - chrome.width())
        return false;
    // A group box only needs its title to fit across; its height holds other controls.
    return qobject_cast<const QGroupBox*>(widget) ||
           metrics.height() <= box.height() - chrome.height();
}

namespace {
bool allFit(const QList<Caption>& captions, qreal pointSize, int twipsPerPixel) {
    return std::all_of(captions.begin(), captions.end(), [&](const Caption& caption) {
        return fitsAt(caption, pointSize, twipsPerPixel);
    });
}
} // namespace

int fittingScale(const QList<Caption>& captions, qreal pointSize) {
    int scale = kTwipsPerPixelAt96Dpi;
    while (scale > 1 && !allFit(captions, pointSize, scale))
        --scale;
    return scale;
}

qreal fittingPointSize(const QList<Caption>& captions, qreal largest, int twipsPerPixel) {
    if (allFit(captions, largest, twipsPerPixel))
        return largest;
    // Quarter points, so that the sizes tried are the same from whatever size one starts.
    qreal size = std::floor(largest / kStep) * kStep;
    while (size > kSmallestPointSize && !allFit(captions, size, twipsPerPixel))
        size -= kStep;
    return std::max(size, kSmallestPointSize);
}

Scale scaleToFont(QWidget* window, const QSize& clientTwips, const QList<Caption>& captions) {
    const qreal desktop = QApplication::font(window).pointSizeF();
    Scale scale;
    scale.twipsPerPixel = fittingScale(captions, desktop);
    // The screen's room less the frame the window manager puts around the window, as far as
    // it is known yet.
    const QRect frame = window->frameGeometry();
    const QRect inner = window->geometry();
    const QSize room = window->screen()->availableGeometry().size() -
                       QSize(frame.width() - inner.width(), frame.height() - inner.height());
    if (room.width() > 0 && room.height() > 0) {
        const int fitsScreen = std::max((clientTwips.width() + room.width() - 1) / room.width(),
                                        (clientTwips.height() + room.height() - 1) / room.height());
        scale.twipsPerPixel =
            std::min(std::max(scale.twipsPerPixel, fitsScreen), kTwipsPerPixelAt96Dpi);
    }
    window->setProperty(kScaleProperty, scale.twipsPerPixel);
    scale.pointSize = fittingPointSize(captions, desktop, scale.twipsPerPixel);
    useFontSize(window, scale.pointSize);

    for (QWidget* child : window->findChildren<QWidget*>()) {
        if (qobject_cast<QCheckBox*>(child) || qobject_cast<QLineEdit*>(child))
            useWindowStyle(child);
        const QVariant box = child->property(kTwipsProperty);
        if (box.isValid())
            applyBox(child, box.toRect());
    }
    return scale;
}

void useWindowStyle(QWidget* control) {
    // One proxy for every control of the process; the application deletes it at exit.
    static QStyle* const style = [] {
        auto* proxy = new WindowStyle;
        proxy->setParent(qApp);
        return proxy;
    }();
    control->setStyle(style);
}

} // namespace layout
