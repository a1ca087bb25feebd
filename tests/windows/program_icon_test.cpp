#include "windows/program_icon.h"

#include "tests/support/qt_app.h"

#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QSettings>

#include <gtest/gtest.h>

namespace {

// Docks match a window to its launcher by the window's class (the application name on
// X11) against the entry's StartupWMClass, and by the desktop file name against the
// entry's file name.
TEST(IdentifyProgram, TheWindowsAreKnownByTheDesktopEntrysNames) {
    testsupport::ensureApplication();
    identifyProgram();
    const QString entryPath = QStringLiteral(VELMARCH_DESKTOP_ENTRY);
    ASSERT_TRUE(QFile::exists(entryPath));
    QSettings entry(entryPath, QSettings::IniFormat);
    entry.beginGroup(QStringLiteral("Desktop Entry"));
    EXPECT_EQ(QGuiApplication::applicationName(), entry.value("StartupWMClass").toString());
    EXPECT_EQ(QGuiApplication::desktopFileName() + QStringLiteral(".desktop"),
              QFileInfo(entryPath).fileName());
    EXPECT_EQ(QGuiApplication::desktopFileName(), entry.value("Icon").toString());
    EXPECT_FALSE(QGuiApplication::windowIcon().isNull());
}

} // namespace
