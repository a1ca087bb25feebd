#include "windows/twips_layout.h"

#include "platform/controls.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QStyle>
#include <QVariant>

#include <algorithm>
#include <cmath>

namespace layout {

namespace {

constexpr const char* kTwipsProperty = "twipsBox";
// Quarter points down to one point: a font of 192 dpi on a box of 13 pixels needs
// sizes far below what a 96 dpi desktop would ever use.
constexpr qreal kStep = 0.25;
constexpr qreal kSmallestPointSize = 1.0;

// The application's style, with check box indicators no taller than the box's layout row.
class RowIndicatorStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    int pixelMetric(PixelMetric metric, const QStyleOption* option,
                    const QWidget* widget) const override {
        const int value = QProxyStyle::pixelMetric(metric, option, widget);
        if (widget == nullptr || (metric != PM_IndicatorWidth && metric != PM_IndicatorHeight))
            return value;
        return std::min(value, twipsBox(widget).height() / platform::kTwipsPerPixel);
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

// Pixels around the caption that the control's own drawing takes.
QSizeF chromeOf(const QWidget* widget) {
    const QStyle* style = widget->style();
    if (auto* label = qobject_cast<const QLabel*>(widget)) {
        const qreal frame = 2.0 * label->frameWidth() + 2.0 * label->margin();
        return {frame + label->indent() + 1, frame};
    }
    if (qobject_cast<const QCheckBox*>(widget)) {
        return {qreal(style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, widget) +
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

} // namespace

void place(QWidget* widget, int left, int top, int width, int height) {
    place(widget, QRect(left, top, width, height));
}

void place(QWidget* widget, const QRect& box) {
    widget->setProperty(kTwipsProperty, box);
    widget->setGeometry(platform::twips(box.left(), box.top(), box.width(), box.height()));
}

QRect twipsBox(const QWidget* widget) {
    const QVariant stored = widget->property(kTwipsProperty);
    if (stored.isValid())
        return stored.toRect();
    const QRect g = widget->geometry();
    return {platform::toTwips(g.x()), platform::toTwips(g.y()), platform::toTwips(g.width()),
            platform::toTwips(g.height())};
}

void keepIndicatorInRow(QCheckBox* check) {
    // One proxy for every box of the process; the application deletes it at exit.
    static QStyle* const style = [] {
        auto* proxy = new RowIndicatorStyle;
        proxy->setParent(qApp);
        return proxy;
    }();
    check->setStyle(style);
}

bool fitsAt(const Caption& caption, qreal pointSize) {
    const QWidget* widget = caption.control;
    // The layout's box, not the widget's: a check box is grown to show its whole
    // indicator, but its caption must still fit the row the layout gives it.
    const QRect box = twipsBox(widget);
    const QSize pixels = platform::twips(box.left(), box.top(), box.width(), box.height()).size();
    const QSizeF chrome = chromeOf(widget);
    const int width =
        caption.visibleWidth >= 0 ? std::min(caption.visibleWidth, pixels.width()) : pixels.width();
    QFont font = widget->font();
    font.setPointSizeF(pointSize);
    const QFontMetricsF metrics(font);
    if (metrics.horizontalAdvance(captionOf(widget)) > width - chrome.width())
        return false;
    // A group box only needs its title to fit across; its height holds other controls.
    return qobject_cast<const QGroupBox*>(widget) ||
           metrics.height() <= pixels.height() - chrome.height();
}

qreal fittingPointSize(const QList<Caption>& captions, qreal largest) {
    // Quarter points, so that the sizes tried are the same from whatever size one starts.
    qreal size = std::floor(largest / kStep) * kStep;
    for (; size > kSmallestPointSize; size -= kStep) {
        if (std::all_of(captions.begin(), captions.end(),
                        [size](const Caption& caption) { return fitsAt(caption, size); }))
            break;
    }
    return std::max(size, kSmallestPointSize);
}

qreal useOneFont(QWidget* window, const QList<Caption>& captions) {
    const qreal size = fittingPointSize(captions, QApplication::font(window).pointSizeF());
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
    return size;
}

} // namespace layout
