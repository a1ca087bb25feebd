// An extraction killed in the middle of an entry: nothing can clean up after SIGKILL, so
// the entry's output must have had no name in the destination while it was written.

#include "tests/support/zip_builder.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// The size of a file the process `pid` holds open below `dir`, or -1 while it holds none.
qint64 openOutputSize(pid_t pid, const QByteArray& dir) {
    const QByteArray fds = "/proc/" + QByteArray::number(pid) + "/fd";
    for (const QString& fd : QDir(QFile::decodeName(fds)).entryList(QDir::System | QDir::Files)) {
        const QByteArray path = fds + "/" + QFile::encodeName(fd);
        char target[4096];
        const ssize_t n = ::readlink(path.constData(), target, sizeof target);
        struct stat st;
        if (n > 0 && QByteArray(target, n).startsWith(dir + "/") &&
            ::stat(path.constData(), &st) == 0 && S_ISREG(st.st_mode)) {
            return qint64(st.st_size);
        }
    }
    return -1;
}

TEST(KilledExtraction, LeavesNothingInTheDestination) {
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString root = QDir(tmp.path()).canonicalPath();
    const QString archive = root + "/big.zip";
    const QString destination = root + "/out";
    ASSERT_TRUE(QDir().mkpath(destination));
    {
        // Stored, so that writing it takes as long as the disk needs and no less.
        QByteArray block(1 << 20, '\0');
        for (int i = 0; i < block.size(); ++i) {
            block[i] = char((std::uint32_t(i) * 7919u) >> 3);
        }
        QByteArray content;
        content.reserve(300 * block.size());
        for (int i = 0; i < 300; ++i) {
            content += block;
        }
        testsupport::RawZip().add(testsupport::RawZip::stored("big.bin", content)).write(archive);
    }

    const QByteArray program = VELMARCH_EXTRACT_EXECUTABLE;
    const QByteArray dest = QFile::encodeName(destination);
    const QByteArray zip = QFile::encodeName(archive);
    char* const argv[] = {const_cast<char*>(program.constData()),
                          const_cast<char*>(dest.constData()), const_cast<char*>(zip.constData()),
                          nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program.constData(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);

    // Kill it once its output has begun to grow; never before, never after it finished.
    int status = 0;
    bool killed = false;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (!killed && openOutputSize(pid, dest) > 0) {
            ASSERT_EQ(::kill(pid, SIGKILL), 0);
            killed = true;
        }
        ::usleep(1000);
    }
    ASSERT_TRUE(killed) << "the extraction finished before its output was seen growing";
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    const QStringList left =
        QDir(destination)
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    EXPECT_TRUE(left.isEmpty()) << left.join(' ').toStdString();
}

} // namespace
