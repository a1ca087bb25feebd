#include "windows/frm_about.h"

#include "tests/support/qt_app.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace {

TEST(FrmAbout, ShowsTheVersionItIsGiven) {
    testsupport::ensureApplication();
    FrmAbout about;
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About Velmarch"));
    about.TxtVersion->setText(QStringLiteral("Velmarch v1.1"));
    about.show();
    EXPECT_EQ(about.TxtVersion->text(), QStringLiteral("Velmarch v1.1"));
    // The version fits its small box once shown: the layout grows with it where it must.
    EXPECT_LE(about.TxtVersion->sizeHint().width(), about.TxtVersion->width());
    EXPECT_FALSE(about.windowIcon().isNull());
    ASSERT_FALSE(about.Image1->pixmap().isNull());
}

TEST(FrmAbout, OkAndTheCloseBoxBothCloseIt) {
    testsupport::ensureApplication();
    {
        FrmAbout about;
        about.show();
        QTest::mouseClick(about.OK, Qt::LeftButton);
        EXPECT_FALSE(about.isVisible());
    }
    {
        FrmAbout about;
        about.show();
        EXPECT_TRUE(about.close());
        EXPECT_FALSE(about.isVisible());
    }
    {
        FrmAbout about;
        about.show();
        about.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&about));
        QTest::keyClick(about.OK, Qt::Key_O, Qt::AltModifier);
        // A mnemonic presses the button visibly first, so the click comes a moment later.
        for (int i = 0; i < 50 && about.isVisible(); ++i)
            QTest::qWait(20);
        EXPECT_FALSE(about.isVisible()) << "Alt+O is the button's accelerator";
    }
}

TEST(FrmAbout, OnlyTheButtonTakesTheFocus) {
    testsupport::ensureApplication();
    FrmAbout about;
    for (QWidget* child : about.findChildren<QWidget*>()) {
        if (child != about.OK) {
            EXPECT_EQ(child->focusPolicy(), Qt::NoFocus) << child->metaObject()->className();
        }
    }
    EXPECT_NE(about.OK->focusPolicy(), Qt::NoFocus);
}

} // namespace
