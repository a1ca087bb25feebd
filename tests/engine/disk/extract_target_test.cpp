// The extraction target on its own, without archives: which links may be made below a
// destination, and temporary output that has no name until it is placed.

#include "disk/extract_target.h"

#include "tests/support/test_drives.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

using namespace archive_engine::disk;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

class ExtractTargetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_tmp.isValid());
        m_root = m_tmp.filePath(QStringLiteral("out"));
        ASSERT_TRUE(QDir().mkpath(m_root));
    }

    TargetDir openRoot() const {
        TargetStatus status;
        TargetDir root = TargetDir::openRoot(m_root, &status);
        EXPECT_EQ(status, TargetStatus::Ok);
        return root;
    }

    void link(const QString& path, const QByteArray& target) const {
        const QString host = m_root + "/" + path;
        ASSERT_EQ(::symlink(target.constData(), QFile::encodeName(host).constData()), 0)
            << path.toStdString();
    }

    QStringList entries() const {
        return QDir(m_root).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                      QDir::NoDotAndDotDot);
    }

    QTemporaryDir m_tmp;
    QString m_root;
};

TEST_F(ExtractTargetTest, LinksResolvedThroughTheDestinationAsItStands) {
    QDir().mkpath(m_root + "/d");
    QDir().mkpath(m_root + "/e");
    QDir().mkpath(m_root + "/share/doc");
    QDir().mkpath(m_root + "/sub/sibling");
    writeFile(m_root + "/file", "x");
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

TEST_F(ExtractTargetTest, LinksBeyondTheExpansionBoundAreRefused) {
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
TEST_F(ExtractTargetTest, AcceptedLinksNeverResolveOutsideTogether) {
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

bool hostHasUnnamedFiles(const QString& dir) {
    const int fd = ::open(QFile::encodeName(dir).constData(), O_TMPFILE | O_RDWR, 0600);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

TEST_F(ExtractTargetTest, OutputHasNoNameUntilPlaced) {
    const TargetDir root = openRoot();
    TempOutput temp;
    ASSERT_EQ(temp.create(root), TargetStatus::Ok);
    ASSERT_EQ(temp.write("content", 7), TargetStatus::Ok);
    ASSERT_EQ(temp.finish(0640, 1000000000), TargetStatus::Ok);
    if (hostHasUnnamedFiles(m_root)) {
        EXPECT_TRUE(entries().isEmpty()) << entries().join(' ').toStdString();
    }
    bool taken = true;
    ASSERT_EQ(temp.placeAs(QStringLiteral("placed.txt"), &taken), TargetStatus::Ok);
    EXPECT_FALSE(taken);
    EXPECT_EQ(entries(), QStringList{QStringLiteral("placed.txt")});
    EXPECT_EQ(readFile(m_root + "/placed.txt"), "content");
    struct stat st;
    ASSERT_EQ(::stat(QFile::encodeName(m_root + "/placed.txt").constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(st.st_mtime, 1000000000);
    EXPECT_EQ(st.st_nlink, 1u);
}

TEST_F(ExtractTargetTest, HeldNamesAreRefusedAndComparedByContent) {
    writeFile(m_root + "/same.txt", "content");
    writeFile(m_root + "/other.txt", "CONTENT");
    writeFile(m_root + "/longer.txt", "content and more");
    QDir().mkpath(m_root + "/folder");
    link("link", "same.txt");
    const TargetDir root = openRoot();
    TempOutput temp;
    ASSERT_EQ(temp.create(root), TargetStatus::Ok);
    ASSERT_EQ(temp.write("con", 3), TargetStatus::Ok);
    ASSERT_EQ(temp.write("tent", 4), TargetStatus::Ok);
    ASSERT_EQ(temp.finish(-1, std::nullopt), TargetStatus::Ok);
    EXPECT_TRUE(temp.sameContentAs(QStringLiteral("same.txt")));
    for (const char* name : {"other.txt", "longer.txt", "folder", "link", "missing"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(temp.sameContentAs(QString::fromUtf8(name)));
    }
    for (const char* name : {"same.txt", "other.txt", "folder", "link"}) {
        SCOPED_TRACE(name);
        bool taken = false;
        EXPECT_NE(temp.placeAs(QString::fromUtf8(name), &taken), TargetStatus::Ok);
        EXPECT_TRUE(taken);
    }
    EXPECT_EQ(readFile(m_root + "/other.txt"), "CONTENT");
    bool taken = true;
    ASSERT_EQ(temp.placeAs(QStringLiteral("free.txt"), &taken), TargetStatus::Ok);
    EXPECT_EQ(readFile(m_root + "/free.txt"), "content");
    EXPECT_EQ(entries().size(), 6);
}

TEST_F(ExtractTargetTest, DiscardedOutputLeavesNothing) {
    const TargetDir root = openRoot();
    {
        TempOutput temp;
        ASSERT_EQ(temp.create(root), TargetStatus::Ok);
        ASSERT_EQ(temp.write("lost", 4), TargetStatus::Ok);
    }
    TempOutput finished;
    ASSERT_EQ(finished.create(root), TargetStatus::Ok);
    ASSERT_EQ(finished.finish(-1, std::nullopt), TargetStatus::Ok);
    finished.discard();
    EXPECT_TRUE(entries().isEmpty()) << entries().join(' ').toStdString();
}

} // namespace
