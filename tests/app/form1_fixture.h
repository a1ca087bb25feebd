#pragma once

// A main window on test drives with scripted dialogs:
//   t: source (fixed)   u: destination (fixed)   r: CD-ROM   n: no medium
//   l: 9,999,999 bytes free   e: 10,000,000 bytes free
// u:, l: and e: each hold an empty directory "dest".
// The current directory is t:\, the program directory a drive of its own.

#include "app/form1.h"
#include "common/module1.h"
#include "platform/controls.h"
#include "platform/dosfs.h"
#include "search/wd1.h"
#include "tests/app/worker_gate.h"
#include "tests/support/qt_app.h"
#include "tests/support/scripted_dialogs.h"
#include "tests/support/test_drives.h"
#include "tests/support/zip_builder.h"
#include "windows/frm_dir.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>

#include <gtest/gtest.h>

#include <memory>

class Form1Fixture : public ::testing::Test {
protected:
    static constexpr std::uint64_t kPlenty = 50'000'000'000ull;

    void SetUp() override {
        testsupport::ensureApplication();
        t = drives.addDrive('t', platform::DriveFixed, kPlenty);
        u = drives.addDrive('u', platform::DriveFixed, kPlenty);
        r = drives.addDrive('r', platform::DriveCdRom, kPlenty);
        drives.addDrive('n', platform::DriveRemovable, {}, false);
        l = drives.addDrive('l', platform::DriveFixed, 9'999'999);
        e = drives.addDrive('e', platform::DriveFixed, 10'000'000);
        // An empty drive root is not found by the existence test; runs extract into these.
        for (const QString& root : {u, l, e})
            QDir(root).mkpath(QStringLiteral("dest"));
        drives.install();
        wd1() = Wd1();
        AbortFlag = 0;
        ChosenDir.clear();
    }

    void TearDown() override {
        form.reset();
        wd1() = Wd1();
        AbortFlag = 0;
        ChosenDir.clear();
    }

    // The main window as the program starts it: about window first, then shown.
    Form1& start() {
        form = std::make_unique<Form1>();
        form->Form_Load();
        form->show();
        dialogs->clear();
        return *form;
    }

    // Checks Check3 and applies `dosPath` in the chooser that opens.
    void chooseDestination(const QString& dosPath) {
        dialogs->queueModalAction([dosPath](QWidget* window) {
            auto* chooser = qobject_cast<FrmDir*>(window);
            ASSERT_NE(chooser, nullptr);
            chooser->txtPath->setText(dosPath);
            chooser->Command1->click();
        });
        form->Check3->setChecked(true);
    }

    // Picks the source directory, each archive going to its own directory.
    void selectSource(const QString& dosPath) {
        form->Drive1->setDrive(dosPath.left(2));
        ASSERT_FALSE(form->Dir1->setPath(dosPath)) << qPrintable(dosPath);
    }

    // An archive of small text entries; each entry's content is its own name.
    static void makeArchive(const QString& hostPath, const QList<QByteArray>& entries) {
        testsupport::ZipBuilder builder;
        for (const QByteArray& name : entries)
            builder.addFile(name, "content of " + name);
        QDir().mkpath(QFileInfo(hostPath).path());
        builder.write(hostPath);
    }

    static QByteArray read(const QString& hostPath) {
        QFile file(hostPath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QStringList texts() {
        QStringList result;
        for (const auto& message : dialogs->messages())
            result << message.text;
        return result;
    }

    // Every line of the log list, as "Save log when done" writes it.
    QStringList fullLog() const {
        QStringList lines;
        for (int i = 0; i < form->List1->count(); ++i)
            lines << form->List1->item(i)->text();
        return lines;
    }
    // The archives' own lines: without the indented lines that explain them and without
    // the run's closing summary.
    QStringList logLines() const {
        QStringList lines;
        for (const QString& line : fullLog())
            if (!line.startsWith(u' ') && !line.startsWith(QStringLiteral("Run ended: ")))
                lines << line;
        return lines;
    }

    QString programHost(const QString& name) const {
        return QDir(drives.programHostDirectory()).filePath(name);
    }

    testsupport::TestDrives drives;
    testsupport::ScopedDialogs dialogs;
    std::unique_ptr<Form1> form;
    QString t, u, r, l, e;
};
