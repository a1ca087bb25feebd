#include "windows/twips_layout.h"

#include "platform/controls.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QVariant>

namespace layout {

namespace {

constexpr const char* kTwipsProperty = "twipsBox";
constexpr qreal kSmallestPointSize = 6.0;

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
        return {qreal(style->pixelMetric(QStyle::PM_IndicatorWidth) +
                      style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing) + 2),
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

bool fits(const QFont& font, const QString& text, const QSizeF& room) {
    const QFontMetricsF metrics(font);
    return metrics.horizontalAdvance(text) <= room.width() && metrics.height() <= room.height();
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

void fitText(QWidget* widget, int visibleWidth) {
    const QString text = captionOf(widget);
    if (text.isEmpty())
        return;
    const QSizeF chrome = chromeOf(widget);
    // A group box only needs its title to fit across; its height holds other controls.
    const qreal height =
        qobject_cast<QGroupBox*>(widget) ? 1e6 : widget->height() - chrome.height();
    const int width = visibleWidth >= 0 ? visibleWidth : widget->width();
    const QSizeF room(width - chrome.width(), height);
    QFont font = widget->font();
    if (fits(font, text, room))
        return;
    qreal size = font.pointSizeF();
    while (size - 0.25 >= kSmallestPointSize) {
        size -= 0.25;
        font.setPointSizeF(size);
        if (fits(font, text, room))
            break;
    }
    widget->setFont(font);
}

} // namespace layout
