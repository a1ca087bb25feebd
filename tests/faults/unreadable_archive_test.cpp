// Permission faults through the headless driver as its own process: an archive the user
// may not read, a destination the user may not write. Permission bits do not bind root,
// so as root the driver runs as "nobody" on a tree that user owns.

#include "fault_support.h"
#include "platform/volumes.h"
#include "tests/support/zip_builder.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

constexpr uid_t kNobody = 65534;

class PermissionFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        if (::geteuid() == 0) {
            setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
            if (setpriv.isEmpty())
                GTEST_SKIP() << "running as root and no setpriv to drop to an ordinary user";
        }
        src = root.filePath(QStringLiteral("src"));
        out = root.filePath(QStringLiteral("out"));
        home = root.filePath(QStringLiteral("home"));
        ASSERT_TRUE(QDir().mkpath(out));
        ASSERT_TRUE(QDir().mkpath(home));
    }

    void TearDown() override {
        // Root removes the tree whatever its bits; an ordinary user needs them back.
        QDirIterator it(root.path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            QFile::setPermissions(it.next(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    static void makeArchive(const QString& hostPath, const QByteArray& entry) {
        QDir().mkpath(QFileInfo(hostPath).path());
        testsupport::ZipBuilder().addFile(entry, "data of " + entry).write(hostPath);
    }

    // Runs the driver on src into out, deleting archives after success. Its output
    // lines, or an empty list with a failure recorded.
    QStringList runBatch() {
        QStringList arguments{src, QStringLiteral("--dest"), out, QStringLiteral("--delete")};
        QString program = QStringLiteral(VELMARCH_BATCH_EXECUTABLE);
        if (!setpriv.isEmpty()) {
            // chown keeps the permission bits the test set.
            QDirIterator it(root.path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                            QDirIterator::Subdirectories);
            EXPECT_EQ(::chown(QFile::encodeName(root.path()).constData(), kNobody, kNobody), 0);
            while (it.hasNext())
                EXPECT_EQ(::lchown(QFile::encodeName(it.next()).constData(), kNobody, kNobody), 0);
            arguments.prepend(program);
            arguments.prepend(QStringLiteral("--clear-groups"));
            arguments.prepend(QStringLiteral("--regid=%1").arg(kNobody));
            arguments.prepend(QStringLiteral("--reuid=%1").arg(kNobody));
            program = setpriv;
        }
        QProcess process;
        // The list file goes to the user's data directory when the driver's own is not
        // writable, as it is not for "nobody".
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), home);
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
        environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(environment);
        process.start(program, arguments);
        if (!process.waitForFinished(120000)) {
            ADD_FAILURE() << "the driver did not finish";
            process.kill();
            process.waitForFinished();
            return {};
        }
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().constData();
        return QString::fromUtf8(process.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    }

    QTemporaryDir root;
    QString setpriv;
    QString src, out, home;
};

TEST_F(PermissionFaultTest, AnUnreadableArchiveIsReportedKeptAndTheRunGoesOn) {
    makeArchive(src + QStringLiteral("/a.zip"), "a.txt");
    makeArchive(src + QStringLiteral("/b.zip"), "b.txt");
    makeArchive(src + QStringLiteral("/later/c.zip"), "c.txt");
    ASSERT_TRUE(QFile::setPermissions(src + QStringLiteral("/a.zip"), QFile::Permissions()));

    const QStringList lines = runBatch();
    EXPECT_EQ(lines, (QStringList{
                         QStringLiteral("msgbox\tVelmarch\tDone!"),
                         QStringLiteral("log\ta.zip Could not unzip :("),
                         QStringLiteral("log\t    could not open the archive: permission denied"),
                         QStringLiteral("log\tb.zip Unziped Fine"),
                         QStringLiteral("log\tc.zip Unziped Fine"),
                         QStringLiteral("log\tRun ended: 2 extracted, 1 failed, 0 kept, 0 folders "
                                        "passed over")}));
    EXPECT_TRUE(QFileInfo::exists(src + QStringLiteral("/a.zip")));
    EXPECT_FALSE(QFileInfo::exists(src + QStringLiteral("/b.zip")));
    EXPECT_FALSE(QFileInfo::exists(src + QStringLiteral("/later/c.zip")));
    EXPECT_EQ(faults::filesBelow(out),
              (QStringList{QStringLiteral("b.txt"), QStringLiteral("c.txt")}));
}

TEST_F(PermissionFaultTest, ADestinationWithoutWritePermissionFailsEveryArchiveAndKeepsThem) {
    makeArchive(src + QStringLiteral("/a.zip"), "a.txt");
    makeArchive(src + QStringLiteral("/b.zip"), "b.txt");
    ASSERT_TRUE(QFile::setPermissions(out, QFile::ReadOwner | QFile::ExeOwner));

    const QStringList lines = runBatch();
    const QString denied =
        QStringLiteral("log\t    cannot write to the destination folder: permission denied");
    EXPECT_EQ(lines, (QStringList{QStringLiteral("msgbox\tVelmarch\tDone!"),
                                  QStringLiteral("log\ta.zip Could not unzip :("), denied,
                                  QStringLiteral("log\tb.zip Could not unzip :("), denied,
                                  QStringLiteral("log\tRun ended: 0 extracted, 2 failed, 0 kept, 0 "
                                                 "folders passed over")}));
    EXPECT_TRUE(QFileInfo::exists(src + QStringLiteral("/a.zip")));
    EXPECT_TRUE(QFileInfo::exists(src + QStringLiteral("/b.zip")));
    EXPECT_TRUE(faults::filesBelow(out).isEmpty());
}

TEST_F(PermissionFaultTest, FoldersTheSearchCannotEnterOrReadAreNamedInTheLog) {
    makeArchive(src + QStringLiteral("/a.zip"), "a.txt");
    makeArchive(src + QStringLiteral("/private/b.zip"), "b.txt");
    makeArchive(src + QStringLiteral("/ro/c.zip"), "c.txt");
    const QString dos = platform::toDosPath(src);
    ASSERT_FALSE(dos.isEmpty());
    const QString denied = QStringLiteral(": Path/File access error");
    struct Case {
        const char* name;
        QString folder;
        QFile::Permissions permissions;
        QStringList shown;
    };
    const Case cases[] = {
        {"a subfolder the user may not read",
         src + QStringLiteral("/private"),
         QFile::WriteOwner | QFile::ExeOwner,
         {QStringLiteral("log\tSkipped folder ") + dos + QStringLiteral("\\private") + denied}},
        // On this host a folder the user may not write reads as read-only.
        {"a subfolder the user may not write",
         src + QStringLiteral("/ro"),
         QFile::ReadOwner | QFile::ExeOwner,
         {QStringLiteral("log\tNot searched: ") + dos + QStringLiteral("\\ro (read-only)")}},
        {"the source folder",
         src,
         QFile::WriteOwner | QFile::ExeOwner,
         {QStringLiteral("msgbox\tVelmarch\tPick a dir that has zips!"),
          QStringLiteral("log\tCould not read the source folder ") + dos + QStringLiteral("\\") +
              denied}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(QFile::setPermissions(c.folder, c.permissions));
        const QStringList lines = runBatch();
        ASSERT_TRUE(QFile::setPermissions(c.folder,
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        for (const QString& line : c.shown)
            EXPECT_TRUE(lines.contains(line)) << qPrintable(line + u'\n' + lines.join(u'\n'));
    }
}

} // namespace
