// Which links may be made below a destination: the walk through the destination as it
// stands, on its own, without archives.

#include "tests/engine/disk/disk_fixture.h"

#include "disk/fd.h"

#include "tests/support/test_drives.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace archive_engine::disk;
using testsupport::writeFile;

namespace {

class LinkWalkTest : public disktest::DiskTest {};

TEST_F(LinkWalkTest, LinksResolvedThroughTheDestinationAsItStands) {
    QDir().mkpath(path("d"));
    QDir().mkpath(path("e"));
    QDir().mkpath(path("share/doc"));
    QDir().mkpath(path("sub/sibling"));
    writeFile(path("file"), "x");
    link("dot", ".");
    link("e/up", "..");
    link("d/x", "../e/up");
    link("loop1", "loop2");
    link("loop2", "loop1");
    link("abs", "/tmp");
    link("dangling", "nowhere/deeper");
    link("s", "sub");
    link("c0", ".");
    for (int i = 1; i < 10; ++i) {
        link(QStringLiteral("c%1").arg(i), QStringLiteral("c%1").arg(i - 1).toUtf8());
    }
    struct Case {
        QStringList folder;
        QByteArray target;
        bool inside;
    };
    const Case cases[] = {
        {{}, "lib.so.1", true},
        {{}, "share/doc", true},
        {{"sub", "new"}, "../sibling", true},
        {{"sub"}, "../sub/./sibling//", true},
        {{}, "dot", true},
        {{}, "dot/..", false},
        {{}, "dot/dot/dot/file", true},
        {{}, "c9", true},
        {{}, "c9/..", false},
        {{}, "c9/sub/..", true},
        {{}, "c9/sub/../..", false},
        {{}, "d/x", true},
        {{}, "d/x/..", false},
        {{"d"}, "x/e", true},
        {{"d"}, "x/e/../..", false},
        {{}, "missing/..", false},
        {{}, "missing/../file", false},
        {{}, "missing/deeper", true},
        {{}, "file/..", false},
        {{}, "dangling", true},
        {{}, "dangling/..", false},
        {{}, "loop1", false},
        {{}, "abs", false},
        {{}, "abs/..", false},
        {{}, "s/sibling/../..", true},
        {{}, "s/sibling/../../..", false},
        {{"new", "deeper"}, "../../file", true},
        {{"new"}, "../../file", false},
        {{"s"}, "sibling", false},
        {{"file"}, "x", false},
        {{}, "..", false},
        {{}, "/etc/passwd", false},
        {{}, "", false},
        {{}, QByteArray("a\0b", 3), false},
        {{}, "..\\outside", false},
        {{}, "x\\..\\..\\outside", false},
        {{}, "\\abs", false},
        {{}, "back\\slash", true},
    };
    const TargetDir root = openRoot();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder.join('/').toStdString() + " -> " + c.target.toStdString());
        EXPECT_EQ(linkStaysInside(root, c.folder, c.target), c.inside);
    }
}

TEST_F(LinkWalkTest, LinksBeyondTheExpansionBoundAreRefused) {
    link("c0", ".");
    for (int i = 1; i <= 40; ++i) {
        link(QStringLiteral("c%1").arg(i), QStringLiteral("c%1").arg(i - 1).toUtf8());
    }
    const TargetDir root = openRoot();
    EXPECT_TRUE(linkStaysInside(root, {}, "c39"));
    EXPECT_FALSE(linkStaysInside(root, {}, "c40"));
}

// Links offered in random order, each made only when accepted, the way the engine makes
// them: afterwards no link may resolve outside, whatever was made before or after it.
TEST_F(LinkWalkTest, AcceptedLinksNeverResolveOutsideTogether) {
    const char* const names[] = {"a", "b", "c", "d", "..", ".", ".."};
    const QStringList folders[] = {{}, {"a"}, {"b", "c"}, {"d"}};
    std::mt19937 random(20240611u);
    int made = 0;
    for (int round = 0; round < 100; ++round) {
        QTemporaryDir tmp;
        ASSERT_TRUE(tmp.isValid());
        const QString base = tmp.filePath(QStringLiteral("out"));
        QDir().mkpath(base);
        TargetStatus status;
        const TargetDir root = TargetDir::openRoot(base, &status);
        std::vector<QString> links;
        for (int i = 0; i < 10; ++i) {
            const QStringList& folder = folders[random() % std::size(folders)];
            QByteArray target;
            for (unsigned n = 1 + random() % 4; n > 0; --n) {
                target += QByteArray(names[random() % std::size(names)]) + "/";
            }
            target.chop(1);
            const char* name = names[random() % 4];
            if (!linkStaysInside(root, folder, target)) {
                continue;
            }
            // Folders of the link's path are made as real folders, as the engine does.
            const QString dir = base + (folder.isEmpty() ? QString() : "/" + folder.join('/'));
            if (!QDir().mkpath(dir)) {
                continue;
            }
            const QString path = dir + "/" + name;
            if (::symlink(target.constData(), QFile::encodeName(path).constData()) == 0) {
                links.push_back(path);
            }
        }
        const QByteArray inside = QFile::encodeName(QDir(base).canonicalPath());
        for (const QString& path : links) {
            ++made;
            char resolved[PATH_MAX];
            if (::realpath(QFile::encodeName(path).constData(), resolved) == nullptr) {
                continue; // dangling or a loop: leads nowhere
            }
            const QByteArray where(resolved);
            EXPECT_TRUE(where == inside || where.startsWith(inside + "/"))
                << path.toStdString() << " resolves to " << where.toStdString();
        }
    }
    EXPECT_GT(made, 100);
}

// A chain of `depth` folders "d" below `dirFd`, made one level at a time: deeper than a
// path the kernel takes in one call.
void makeChain(int dirFd, int depth) {
    Fd at(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    for (int level = 0; level < depth; ++level) {
        ASSERT_EQ(::mkdirat(at.get(), "d", 0755), 0) << level;
        at = Fd(::openat(at.get(), "d", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        ASSERT_TRUE(at) << level;
    }
}

// Removes such a chain from the bottom up, for the same reason.
void removeChain(int dirFd, int depth) {
    Fd at(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    for (int level = 0; level < depth; ++level) {
        at = Fd(::openat(at.get(), "d", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        ASSERT_TRUE(at) << level;
    }
    for (int level = depth; level > 0; --level) {
        at = Fd(::openat(at.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(at) << level;
        ASSERT_EQ(::unlinkat(at.get(), "d", AT_REMOVEDIR), 0) << level;
    }
}

// Descriptors open now: with the limit set this many above, no more can be opened.
int openDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                   .size()) -
           1;
}

TEST_F(LinkWalkTest, DeepFoldersAreWalkedWithFewDescriptors) {
    constexpr int kDepth = 1000;
    constexpr int kSpareDescriptors = 32;
    const TargetDir root = openRoot();
    makeChain(root.fd(), kDepth);
    writeFile(path("file"), "x");
    struct Case {
        QByteArray target;
        bool inside;
    };
    QByteArray up;
    for (int i = 0; i < kDepth; ++i) {
        up += "../";
    }
    const Case cases[] = {
        {up + "file", true},
        {up + "d/d/../../file", true},
        {up + "../file", false},
        {"../../sibling", true},
    };
    const QStringList folder(kDepth, QStringLiteral("d"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target.left(40).toStdString());
        // In a child of its own, whose descriptor limit the walk cannot raise: one kept
        // open per level would run out long before the bottom.
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const rlimit limit{rlim_t(openDescriptors() + kSpareDescriptors),
                               rlim_t(openDescriptors() + kSpareDescriptors)};
            if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
                ::_exit(2);
            }
            ::_exit(linkStaysInside(root, folder, c.target) ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.inside ? 1 : 0);
    }
    removeChain(root.fd(), kDepth);
}

} // namespace
