#pragma once

// A fresh wd1 over a test drive t: (a temporary directory), with scripted dialogs.

#include "search/wd1.h"

#include "tests/support/qt_app.h"
#include "tests/support/scripted_dialogs.h"
#include "tests/support/test_drives.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMetaObject>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>

// Readable failure messages for texts and lists of texts.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

class SearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::ensureApplication();
        tRoot = drives.addDrive('t');
        addDrives();
        drives.install();
        wd1() = Wd1();
    }
    void TearDown() override {
        // Nothing queued for one test may run in the next one's yields.
        QCoreApplication::processEvents();
        wd1() = Wd1();
    }

    // Fixtures that need more drives add them here, before the table is installed.
    virtual void addDrives() {}

    QString host(const QString& relative) const { return tRoot + QLatin1Char('/') + relative; }
    void makeDir(const QString& relative) const { ASSERT_TRUE(QDir().mkpath(host(relative))); }
    void makeFile(const QString& relative, const QByteArray& data = QByteArray()) const {
        testsupport::writeFile(host(relative), data);
    }
    bool exists(const QString& relative) const { return QFile::exists(host(relative)); }
    QByteArray bytes(const QString& relative) const {
        return testsupport::readFile(host(relative));
    }
    void makeReadOnly(const QString& relative) const {
        QFile::setPermissions(host(relative), QFile::ReadOwner | QFile::ReadGroup |
                                                  QFile::ReadOther | QFile::ExeOwner |
                                                  QFile::ExeGroup | QFile::ExeOther);
    }

    const std::vector<testsupport::ScriptedDialogs::MessageRecord>& messages() {
        return dialogs->messages();
    }

    // Runs `action` during the `n`th yield (DoEvents) from now, counting from 1. Each pass
    // re-posts itself, and an event posted during a yield waits for the next one. The chain
    // dies with the test.
    void atYield(int n, std::function<void()> action) {
        auto remaining = std::make_shared<int>(n);
        auto step = std::make_shared<std::function<void()>>();
        *step = [remaining, weakStep = std::weak_ptr(step), action = std::move(action)]() {
            const auto self = weakStep.lock();
            if (!self)
                return;
            if (--*remaining == 0) {
                action();
                return;
            }
            QMetaObject::invokeMethod(QCoreApplication::instance(), *self, Qt::QueuedConnection);
        };
        m_steps.push_back(step);
        QMetaObject::invokeMethod(QCoreApplication::instance(), *step, Qt::QueuedConnection);
    }

    testsupport::TestDrives drives;
    testsupport::ScopedDialogs dialogs;
    QString tRoot;

private:
    std::vector<std::shared_ptr<std::function<void()>>> m_steps;
};
