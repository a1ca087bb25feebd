// The headless driver runs the real window on the host's drives.

#include "tests/support/zip_builder.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct BatchResult {
    int exitCode = -1;
    QStringList lines;
};

BatchResult runBatch(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral(VELMARCH_BATCH_EXECUTABLE), arguments);
    BatchResult result;
    if (!process.waitForFinished(120000))
        return result;
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.lines =
        QString::fromUtf8(process.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    return result;
}

void makeArchive(const QString& hostPath, const QByteArray& entry) {
    QDir().mkpath(QFileInfo(hostPath).path());
    testsupport::ZipBuilder().addFile(entry, "data of " + entry).write(hostPath);
}

TEST(BatchTool, RunsATreeIntoANewDestinationAndReportsWhatItShowed) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString source = root.filePath(QStringLiteral("src"));
    const QString dest = root.filePath(QStringLiteral("out/new"));
    // The log of runs before this one is no concern of this test.
    const QString program = root.filePath(QStringLiteral("program"));
    ASSERT_TRUE(QDir().mkpath(program));
    makeArchive(source + QStringLiteral("/a.zip"), "a.txt");
    makeArchive(source + QStringLiteral("/deeper/b.zip"), "b.txt");

    const BatchResult result =
        runBatch({source, QStringLiteral("--dest"), dest, QStringLiteral("--create"),
                  QStringLiteral("yes"), QStringLiteral("--save-log"), QStringLiteral("--delete"),
                  QStringLiteral("--program-dir"), program});
    ASSERT_EQ(result.exitCode, 0);
    ASSERT_EQ(result.lines.size(), 6) << qPrintable(result.lines.join(u'\n'));
    EXPECT_EQ(result.lines.at(0),
              QStringLiteral("msgbox\tCreate Directory\tVelmarch can not find that directory!  "
                             "Create It?"));
    EXPECT_EQ(result.lines.at(1), QStringLiteral("msgbox\tVelmarch\tDone!"));
    EXPECT_EQ(result.lines.at(2), QStringLiteral("log\ta.zip Unziped Fine"));
    EXPECT_EQ(result.lines.at(3), QStringLiteral("log\tb.zip Unziped Fine"));
    const QByteArray summary = "Run ended: 2 extracted, 0 failed, 0 kept, 0 folders passed over";
    EXPECT_EQ(result.lines.at(4), QStringLiteral("log\t") + QString::fromLatin1(summary));
    ASSERT_TRUE(result.lines.at(5).startsWith(QStringLiteral("logfile\t")));
    const QString logFile = result.lines.at(5).section(u'\t', 1);
    EXPECT_EQ(logFile, program + QStringLiteral("/velmarch.log"));
    QFile log(logFile);
    ASSERT_TRUE(log.open(QIODevice::ReadOnly)) << qPrintable(logFile);
    EXPECT_EQ(log.readAll(), "a.zip Unziped Fine\r\nb.zip Unziped Fine\r\n" + summary + "\r\n");

    EXPECT_TRUE(QFile::exists(dest + QStringLiteral("/a.txt")));
    EXPECT_TRUE(QFile::exists(dest + QStringLiteral("/b.txt")));
    EXPECT_FALSE(QFile::exists(source + QStringLiteral("/a.zip"))) << "--delete";
}

TEST(BatchTool, ExtractsInPlaceWithoutADestinationAndStopsOnLowSpace) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    makeArchive(root.filePath(QStringLiteral("a.zip")), "a.txt");

    BatchResult result = runBatch({root.path()});
    ASSERT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.lines,
              (QStringList{QStringLiteral("msgbox\tVelmarch\tDone!"),
                           QStringLiteral("log\ta.zip Unziped Fine"),
                           QStringLiteral("log\tRun ended: 1 extracted, 0 failed, 0 kept, 0 "
                                          "folders passed over")}));
    EXPECT_TRUE(QFile::exists(root.filePath(QStringLiteral("a.txt"))));
    EXPECT_TRUE(QFile::exists(root.filePath(QStringLiteral("a.zip")))) << "kept without --delete";

    // No disk has a hundred million megabytes free.
    result = runBatch({root.path(), QStringLiteral("--guard"), QStringLiteral("100000000"),
                       QStringLiteral("--low-space"), QStringLiteral("no")});
    ASSERT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.lines,
              QStringList{QStringLiteral(
                  "msgbox\tYou Need More Megs Free!!\tDiskspace Under 100000000 Megs")});
}

TEST(BatchTool, RefusesBadArguments) {
    EXPECT_EQ(runBatch({}).exitCode, 2);
    EXPECT_EQ(runBatch({QStringLiteral("/no/such/directory/anywhere")}).exitCode, 2);
    EXPECT_EQ(
        runBatch({QStringLiteral("/tmp"), QStringLiteral("--create"), QStringLiteral("maybe")})
            .exitCode,
        2);
}

// An archive whose local header names another file than its central entry is refused
// whole, and so is kept although --delete removes the good one beside it.
TEST(BatchTool, KeepsAnArchiveThatContradictsItself) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString source = root.filePath(QStringLiteral("src"));
    makeArchive(source + QStringLiteral("/good.zip"), "good.txt");
    testsupport::RawZip::Entry lying = testsupport::RawZip::stored("bad.txt", "data");
    lying.local.name = "other.txt";
    testsupport::RawZip().add(lying).write(source + QStringLiteral("/bad.zip"));

    const BatchResult result = runBatch({source, QStringLiteral("--delete")});
    ASSERT_EQ(result.exitCode, 0);
    const qsizetype failed =
        result.lines.indexOf(QStringLiteral("log\tbad.zip Could not unzip :("));
    ASSERT_GE(failed, 0) << qPrintable(result.lines.join(u'\n'));
    EXPECT_EQ(result.lines.value(failed + 1),
              QStringLiteral("log\t    damaged: an entry's header contradicts the directory"));
    EXPECT_TRUE(QFile::exists(source + QStringLiteral("/bad.zip")));
    EXPECT_FALSE(QFile::exists(source + QStringLiteral("/bad.txt")));
    EXPECT_FALSE(QFile::exists(source + QStringLiteral("/good.zip")));
}

} // namespace
