// The order of the run's system calls, seen from outside: what was extracted from an
// archive is on the disk before the archive goes, so a crash right after the deletion
// cannot lose both.

#include "tests/support/zip_builder.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

TEST(BatchSync, EachArchiveIsDeletedOnlyAfterASyncThatFollowsTheDeletionBefore) {
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    if (strace.isEmpty())
        GTEST_SKIP() << "strace is not installed";
    if (QProcess::execute(strace, {QStringLiteral("-o"), QStringLiteral("/dev/null"),
                                   QStringLiteral("/bin/true")}) != 0)
        GTEST_SKIP() << "strace cannot trace in this environment";
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString trace = root.filePath(QStringLiteral("trace"));
    const QString source = root.filePath(QStringLiteral("src"));
    for (const char* archive : {"a.zip", "deeper/b.zip"}) {
        const QString path = source + u'/' + QLatin1String(archive);
        QDir().mkpath(QFileInfo(path).path());
        testsupport::ZipBuilder()
            .addFile("entry.txt", "data of " + QByteArray(archive))
            .write(path);
    }

    QProcess process;
    // LeakSanitizer cannot run under a tracer; the sanitizer build's other checks still do.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       environment.value(QStringLiteral("ASAN_OPTIONS")) +
                           QStringLiteral(":detect_leaks=0"));
    process.setProcessEnvironment(environment);
    process.start(strace,
                  {QStringLiteral("-f"), QStringLiteral("-qq"), QStringLiteral("-o"), trace,
                   QStringLiteral("-e"), QStringLiteral("trace=syncfs,unlink,unlinkat"),
                   QStringLiteral(VELMARCH_BATCH_EXECUTABLE), source, QStringLiteral("--delete")});
    ASSERT_TRUE(process.waitForFinished(120000));
    ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    ASSERT_FALSE(QFile::exists(source + QStringLiteral("/a.zip")));
    ASSERT_FALSE(QFile::exists(source + QStringLiteral("/deeper/b.zip")));

    QFile file(trace);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList calls = QString::fromUtf8(file.readAll()).split(u'\n');
    // The first call from `from` on that matches `pattern`; -1 when none does.
    const auto find = [&calls](const QString& pattern, qsizetype from) -> qsizetype {
        const QRegularExpression expression(pattern);
        for (qsizetype i = from; i < calls.size(); ++i)
            if (expression.match(calls.at(i)).hasMatch())
                return i;
        return -1;
    };
    qsizetype since = 0;
    for (const char* archive : {"a.zip", "b.zip"}) {
        SCOPED_TRACE(archive);
        const qsizetype at = find(QStringLiteral("\\bunlink(at)?\\(.*[/\"]") +
                                      QRegularExpression::escape(QLatin1String(archive)) +
                                      QStringLiteral("\"[,)].*= 0$"),
                                  since);
        ASSERT_GE(at, 0) << qPrintable(calls.join(u'\n'));
        const qsizetype sync = find(QStringLiteral("\\bsyncfs\\(\\d+\\)\\s+= 0$"), since);
        EXPECT_TRUE(sync >= 0 && sync < at)
            << qPrintable(calls.mid(since, at - since + 1).join(u'\n'));
        since = at + 1;
    }
}

} // namespace
