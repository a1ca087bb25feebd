// The windows at the desktop's font: run once per logical DPI (ctest gives each run an
// offscreen screen of that DPI and says which in VELMARCH_EXPECT_DPI), each run trying the
// desktop font sizes of a user who reads small, larger and large print.

#include "app/form1.h"
#include "platform/controls.h"
#include "platform/dialogs.h"
#include "tests/support/qt_app.h"
#include "tests/support/scripted_dialogs.h"
#include "tests/support/test_drives.h"
#include "windows/frm_about.h"
#include "windows/frm_dir.h"
#include "windows/twips_layout.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOption>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

QString where(const QWidget* window, const QWidget* control) {
    return window->windowTitle() + QStringLiteral(": ") + control->metaObject()->className() +
           u' ' + control->objectName() + u' ';
}

// What a reader would find wrong in `window`, checked from what each control draws: a
// caption cut off at the right or the bottom, a font other than `points`, a control
// reaching outside the window.
void expectReadable(QWidget* window, qreal points) {
    const QRect inside = window->rect();
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(window))
            continue;
        const QRect box(w->mapTo(window, QPoint()), w->size());
        EXPECT_TRUE(inside.contains(box)) << qPrintable(where(window, w)) << " leaves the window";
        EXPECT_EQ(w->font().pointSizeF(), points) << qPrintable(where(window, w));

        QString text;
        int chrome = 0;
        int room = w->width();
        // The layout's row, not the box grown to show a whole check-box indicator.
        int height = layout::pixels(w, layout::twipsBox(w)).height();
        if (auto* elided = qobject_cast<platform::ElidedLabel*>(w)) {
            text = elided->shownText();
            chrome = 2 * elided->frameWidth();
        } else if (auto* label = qobject_cast<QLabel*>(w)) {
            if (label->pixmap().isNull())
                text = label->text();
            chrome = 2 * label->frameWidth();
        } else if (auto* check = qobject_cast<QCheckBox*>(w)) {
            text = check->text();
            chrome = check->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, check) +
                     check->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, check);
            // A sibling placed over the end of the box hides what lies under it.
            for (QWidget* sibling :
                 w->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
                if (sibling != w && sibling->isVisibleTo(window) &&
                    sibling->geometry().intersects(w->geometry()) && sibling->x() > w->x())
                    room = std::min(room, sibling->x() - w->x());
            }
        } else if (auto* button = qobject_cast<QPushButton*>(w)) {
            text = button->text().remove(u'&');
            chrome = 2 * button->style()->pixelMetric(QStyle::PM_ButtonMargin);
        } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
            text = group->title();
            height = QFontMetrics(w->font()).height();
        } else if (qobject_cast<QLineEdit*>(w)) {
            height -= 2 * w->style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
            text = QStringLiteral("Xg");
        }
        if (text.isEmpty())
            continue;
        const QFontMetrics metrics(w->font());
        EXPECT_LE(metrics.horizontalAdvance(text) + chrome, room)
            << qPrintable(where(window, w)) << qPrintable(text);
        EXPECT_LE(metrics.height(), height) << qPrintable(where(window, w)) << qPrintable(text);
    }
}

// The font size of the text a message box shows, read while it is open.
qreal messageBoxPoints() {
    qreal points = 0;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr)
            return;
        if (auto* text = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label")))
            points = text->font().pointSizeF();
        box->close();
    });
    platform::QtDialogs().msgBox(QStringLiteral("Done!"), platform::vbOKOnly, QString());
    return points;
}

class WindowLayout : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::ensureApplication();
        desktop = QApplication::font();
        drives.addDrive('t');
        drives.install();
    }
    void TearDown() override { QApplication::setFont(desktop); }

    static void useDesktopFont(qreal points) {
        QFont font = QApplication::font();
        font.setPointSizeF(points);
        QApplication::setFont(font);
    }

    std::unique_ptr<Form1> mainWindow() {
        auto form = std::make_unique<Form1>();
        form->Form_Load();
        form->show();
        return form;
    }

    QFont desktop;
    testsupport::TestDrives drives;
    testsupport::ScopedDialogs dialogs;
};

TEST_F(WindowLayout, RunsOnTheScreenItWasGiven) {
    const QByteArray expected = qgetenv("VELMARCH_EXPECT_DPI");
    if (expected.isEmpty())
        GTEST_SKIP() << "ctest runs this once per logical DPI";
    EXPECT_EQ(QGuiApplication::primaryScreen()->logicalDotsPerInch(), expected.toDouble());
}

TEST_F(WindowLayout, EveryWindowShowsTheDesktopFontWholeAndGrowsWithIt) {
    const qreal dpi = QGuiApplication::primaryScreen()->logicalDotsPerInch();
    const QSize screen = QGuiApplication::primaryScreen()->availableGeometry().size();
    QSize last[3];
    for (qreal points : {9.0, 12.0, 16.0}) {
        SCOPED_TRACE(testing::Message() << points << " pt at " << dpi << " dpi");
        useDesktopFont(points);

        auto form = mainWindow();
        expectReadable(form.get(), points);
        form->F1->hide();
        form->F2->show();
        form->F2->setTitle(QStringLiteral("Total Files: 12"));
        expectReadable(form.get(), points);
        form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
        EXPECT_EQ(messageBoxPoints(), points) << "message boxes in the windows' size";

        FrmDir chooser;
        chooser.show();
        expectReadable(&chooser, points);

        FrmAbout about;
        about.TxtVersion->setText(QStringLiteral("Velmarch v1.1"));
        about.show();
        expectReadable(&about, points);
        EXPECT_EQ(about.Image1->pixmap().deviceIndependentSize().toSize(), about.Image1->size())
            << "the logo fills its box";

        const QSize sizes[] = {form->size(), chooser.size(), about.size()};
        for (int i = 0; i < 3; ++i) {
            EXPECT_LE(sizes[i].width(), screen.width()) << i;
            EXPECT_LE(sizes[i].height(), screen.height()) << i;
            EXPECT_TRUE(sizes[i].width() >= last[i].width() &&
                        sizes[i].height() >= last[i].height())
                << "window " << i << " shrank from " << last[i].width() << " to "
                << sizes[i].width() << " px wide as the font grew";
            last[i] = sizes[i];
        }
    }
}

TEST_F(WindowLayout, TheChoosersResizeRuleHoldsAtEachScale) {
    for (qreal points : {9.0, 12.0, 16.0}) {
        SCOPED_TRACE(testing::Message() << points << " pt");
        useDesktopFont(points);
        FrmDir chooser;
        chooser.show();
        const QRect list = chooser.FileDir1->geometry();
        const QRect path = chooser.txtPath->geometry();
        const QRect apply = chooser.Command1->geometry();
        chooser.resize(chooser.width() + 40, chooser.height() + 20);
        QCoreApplication::processEvents();
        // Pixels grown are twips grown at the window's scale, whatever that is.
        EXPECT_EQ(chooser.FileDir1->geometry(), list.adjusted(0, 0, 40, 20));
        EXPECT_EQ(chooser.txtPath->geometry(), path.adjusted(0, 20, 40, 20));
        EXPECT_EQ(chooser.Command1->geometry(), apply.translated(40, 20));
        EXPECT_LT(chooser.Command2->geometry().bottom(), chooser.height());
    }
}

// Where the desktop's font fits the layout as drawn, the windows keep the sizes they were
// drawn at: 15 twips to the pixel.
TEST_F(WindowLayout, AFontThatFitsTheDrawnLayoutKeepsItsPixels) {
    useDesktopFont(6.0 * 96 / QGuiApplication::primaryScreen()->logicalDotsPerInch());
    auto form = mainWindow();
    EXPECT_EQ(form->size(), QSize(336, 352));
    EXPECT_EQ(form->Dir1->geometry(), QRect(12, 40, 313, 186));
    EXPECT_EQ(form->Check2->geometry().topLeft(), QPoint(12, 256));
    EXPECT_EQ(form->txtDesc->geometry(), QRect(154, 274, 173, 17));
    EXPECT_EQ(form->Command1->geometry(), QRect(250, 330, 81, 17));
    FrmDir chooser;
    EXPECT_EQ(chooser.size(), QSize(544, 127));
    EXPECT_EQ(chooser.Command1->geometry(), QRect(472, 104, 64, 17));
    FrmAbout about;
    about.show();
    EXPECT_EQ(about.size(), QSize(408, 222));
    EXPECT_EQ(about.Image1->pixmap().deviceIndependentSize().toSize(), QSize(192, 180));
}

// WCAG's contrast ratio of two colours: 1 for the same, 21 for black on white.
double contrast(const QColor& a, const QColor& b) {
    const auto luminance = [](const QColor& c) {
        const auto channel = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) +
               0.0722 * channel(c.blueF());
    };
    const double la = luminance(a) + 0.05;
    const double lb = luminance(b) + 0.05;
    return std::max(la, lb) / std::min(la, lb);
}

// The strongest contrast with `background` of any pixel of `area` in `control` as drawn.
double strongestContrast(QWidget* control, const QRect& area, const QColor& background) {
    const QImage shot = control->grab().toImage();
    double strongest = 1;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            strongest = std::max(strongest, contrast(shot.pixelColor(x, y), background));
    return strongest;
}

// On a dark palette as GTK's dark themes give it (a base barely darker than the window),
// an unchecked box and an empty text box still show their outline: at least the 3 to 1
// that WCAG asks of a control's boundary.
TEST_F(WindowLayout, UncheckedBoxesAndEmptyTextBoxesStandOutOnADarkPalette) {
    const QPalette before = QApplication::palette();
    QPalette dark = before;
    dark.setColor(QPalette::Window, QColor(0x35, 0x35, 0x35));
    dark.setColor(QPalette::Base, QColor(0x2d, 0x2d, 0x2d));
    dark.setColor(QPalette::Button, QColor(0x35, 0x35, 0x35));
    for (QPalette::ColorRole text : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        dark.setColor(text, QColor(0xee, 0xee, 0xec));
    QApplication::setPalette(dark);
    {
        auto form = mainWindow();
        ASSERT_FALSE(form->Check3->isChecked());
        ASSERT_TRUE(form->txtDesc->text().isEmpty());
        const QColor window = dark.color(QPalette::Window);
        QStyleOptionButton option;
        option.initFrom(form->Check3);
        const QRect indicator = form->Check3->style()->subElementRect(QStyle::SE_CheckBoxIndicator,
                                                                      &option, form->Check3);
        EXPECT_GE(strongestContrast(form->Check3, indicator, window), 3.0);
        EXPECT_GE(strongestContrast(form->txtDesc, form->txtDesc->rect(), window), 3.0);
    }
    QApplication::setPalette(before);
}

// A screen too small for the windows at the desktop's font: the layout shrinks to fit it
// first, and the font only as far as the captions then need.
TEST_F(WindowLayout, AWindowTooLargeForItsScreenFitsItWithTheLargestFontThatFits) {
    const QSize screen = QGuiApplication::primaryScreen()->availableGeometry().size();
    if (qgetenv("VELMARCH_SMALL_SCREEN").isEmpty())
        GTEST_SKIP() << "ctest runs this on a small screen";
    useDesktopFont(16);
    auto form = mainWindow();
    EXPECT_LE(form->height(), screen.height());
    EXPECT_GT(form->height(), screen.height() * 3 / 4) << "no smaller than it must be";
    const qreal shrunk = form->font().pointSizeF();
    EXPECT_LT(shrunk, 16);
    expectReadable(form.get(), shrunk);
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    EXPECT_EQ(messageBoxPoints(), shrunk) << "message boxes in the windows' size";
}

} // namespace
