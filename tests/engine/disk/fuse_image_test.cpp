// The disk writer and the extraction tool on FAT and exFAT images mounted through FUSE,
// file systems without unnamed files, RENAME_NOREPLACE, hard links or (FAT) permission
// bits, which ignore letter case. Needs root, /dev/fuse and the file-system tools;
// skipped, saying what is missing, without them.

#include "disk/extract_target.h"
#include "disk/fs_traits.h"
#include "disk/leftovers.h"

#include "tests/support/test_drives.h"
#include "tests/support/zip_builder.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <ostream>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace archive_engine::disk;
using testsupport::readFile;
using testsupport::writeFile;
using testsupport::ZipBuilder;

namespace {

struct Image {
    const char* name;
    const char* mkfs;
    const char* mounter;
    // Mounted by root only from a block device: the image goes through a loop device.
    bool blockDevice;
};

const Image kImages[] = {
    {"fat", "mkfs.vfat", "fusefat", false},
    {"exfat", "mkfs.exfat", "mount.exfat-fuse", true},
};

void PrintTo(const Image& image, std::ostream* out) {
    *out << image.name;
}

QString findTool(const QString& name) {
    QString found = QStandardPaths::findExecutable(name);
    if (found.isEmpty()) {
        found = QStandardPaths::findExecutable(
            name, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"), QStringLiteral("/usr/bin"),
                   QStringLiteral("/bin")});
    }
    return found;
}

// Runs a tool to its end; its exit code, or -1 when it could not run or crashed.
int run(const QString& program, const QStringList& arguments, QByteArray* output = nullptr) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (output) {
        *output = process.readAllStandardOutput();
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QByteArray randomBytes(std::size_t size) {
    std::mt19937 random(7);
    QByteArray bytes(qsizetype(size), Qt::Uninitialized);
    for (char& c : bytes) {
        c = char(random());
    }
    return bytes;
}

// The pid of a process that has ended and been reaped.
pid_t gonePid() {
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

class FuseImageTest : public ::testing::TestWithParam<Image> {
protected:
    void SetUp() override {
        const Image& image = GetParam();
        if (!QFileInfo::exists(QStringLiteral("/dev/fuse"))) {
            GTEST_SKIP() << "no /dev/fuse";
        }
        if (::geteuid() != 0) {
            GTEST_SKIP() << "mounting an image needs root";
        }
        QStringList tools{QString::fromUtf8(image.mkfs), QString::fromUtf8(image.mounter),
                          QStringLiteral("fusermount")};
        if (image.blockDevice) {
            tools << QStringLiteral("losetup");
        }
        QStringList missing;
        for (const QString& tool : tools) {
            if (findTool(tool).isEmpty()) {
                missing << tool;
            }
        }
        if (!missing.isEmpty()) {
            GTEST_SKIP() << "missing: " << missing.join(' ').toStdString();
        }
        ASSERT_TRUE(m_tmp.isValid());
        const QString file = m_tmp.filePath(QStringLiteral("disk.img"));
        QFile img(file);
        ASSERT_TRUE(img.open(QIODevice::WriteOnly) && img.resize(256 << 20));
        img.close();
        ASSERT_EQ(run(findTool(QString::fromUtf8(image.mkfs)), {file}), 0);
        QString source = file;
        if (image.blockDevice) {
            QByteArray loop;
            if (run(findTool(QStringLiteral("losetup")),
                    {QStringLiteral("--find"), QStringLiteral("--show"), file}, &loop) != 0) {
                GTEST_SKIP() << "no free loop device";
            }
            m_loop = QString::fromUtf8(loop.trimmed());
            source = m_loop;
        }
        m_mount = m_tmp.filePath(QStringLiteral("mnt"));
        ASSERT_TRUE(QDir().mkpath(m_mount));
        QStringList arguments{source, m_mount};
        if (!image.blockDevice) {
            arguments.prepend(QStringLiteral("rw+"));
            arguments.prepend(QStringLiteral("-o"));
        }
        ASSERT_EQ(run(findTool(QString::fromUtf8(image.mounter)), arguments), 0);
        m_mounted = true;
        struct stat inner;
        struct stat outer;
        ASSERT_EQ(::stat(QFile::encodeName(m_mount).constData(), &inner), 0);
        ASSERT_EQ(::stat(QFile::encodeName(m_tmp.path()).constData(), &outer), 0);
        ASSERT_NE(inner.st_dev, outer.st_dev) << "the image is not mounted";
    }

    void TearDown() override {
        if (m_mounted) {
            EXPECT_EQ(run(findTool(QStringLiteral("fusermount")), {QStringLiteral("-u"), m_mount}),
                      0);
        }
        if (!m_loop.isEmpty()) {
            run(findTool(QStringLiteral("losetup")), {QStringLiteral("-d"), m_loop});
        }
    }

    // Every name below `folder` that is one of our temporaries.
    QStringList temporariesBelow(const QString& folder) const {
        QStringList found;
        QDirIterator it(folder,
                        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString name = it.next();
            if (name.endsWith(QStringLiteral(".part"))) {
                found << name;
            }
        }
        return found;
    }

    QTemporaryDir m_tmp;
    QString m_mount;
    QString m_loop;
    bool m_mounted = false;
};

TEST_P(FuseImageTest, TheDiskWriterPlacesFilesWithoutReplacingAny) {
    const QByteArray content = randomBytes(3 << 19);
    const QString folder = m_mount + QStringLiteral("/w");
    const QString leftover = folder + "/" + QFile::decodeName(temporaryName(gonePid(), 1, 0xabcd));
    writeFile(leftover, "partial");
    TargetStatus status;
    const TargetDir root = TargetDir::openRoot(m_mount, &status);
    ASSERT_EQ(status, TargetStatus::Ok);
    const TargetDir dir = root.openChild(QStringLiteral("w"), 0755, &status);
    ASSERT_EQ(status, TargetStatus::Ok);
    const auto make = [&dir](TempOutput& temp, const QByteArray& bytes) {
        ASSERT_EQ(temp.create(dir), TargetStatus::Ok);
        ASSERT_EQ(temp.write(bytes.constData(), std::size_t(bytes.size())), TargetStatus::Ok);
        ASSERT_EQ(temp.finish(0640, 1000000000), TargetStatus::Ok);
    };
    {
        TempOutput temp;
        make(temp, content);
        EXPECT_FALSE(QFileInfo::exists(leftover)) << "a killed run's temporary was kept";
        bool taken = true;
        ASSERT_EQ(temp.placeAs(QStringLiteral("Placed.bin"), &taken), TargetStatus::Ok);
        EXPECT_FALSE(taken);
    }
    EXPECT_TRUE(readFile(folder + "/Placed.bin") == content);
    {
        TempOutput same;
        make(same, content);
        EXPECT_TRUE(same.sameContentAs(QStringLiteral("Placed.bin")));
        TempOutput other;
        make(other, "other");
        EXPECT_FALSE(other.sameContentAs(QStringLiteral("Placed.bin")));
        // Another spelling of a held name is held too where letter case is ignored.
        for (const char* name : {"Placed.bin", "PLACED.BIN"}) {
            SCOPED_TRACE(name);
            bool taken = false;
            EXPECT_NE(other.placeAs(QString::fromUtf8(name), &taken), TargetStatus::Ok);
            EXPECT_TRUE(taken);
        }
    }
    EXPECT_TRUE(readFile(folder + "/Placed.bin") == content);
    EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("Placed.bin")});
    // Learned once for the file system, not tried again per file.
    EXPECT_FALSE(mayUse(root.fileSystem(), Feature::UnnamedFiles));
    EXPECT_FALSE(mayUse(root.fileSystem(), Feature::NoReplaceRename));
    EXPECT_FALSE(mayUse(root.fileSystem(), Feature::HardLinks));
}

TEST_P(FuseImageTest, TheToolExtractsAnArchiveAndNeverOverwrites) {
    const QByteArray big = randomBytes(3 << 20);
    const QString first = m_tmp.filePath(QStringLiteral("first.zip"));
    ZipBuilder()
        .addFile("a.txt", "alpha")
        .addFile("dir/b.bin", big)
        .addFile("dir/deeper/c.txt", "gamma", {ZipBuilder::Deflate, 1000000000, 0100755, {}})
        .addFile("empty.txt", QByteArray())
        .addDirectory("emptydir/")
        .write(first);
    const QString second = m_tmp.filePath(QStringLiteral("second.zip"));
    ZipBuilder().addFile("a.txt", "changed").write(second);
    const QString out = m_mount + QStringLiteral("/out");
    const QString tool = QStringLiteral(VELMARCH_EXTRACT_EXECUTABLE);
    const auto extract = [&](const QString& archive) {
        QByteArray printed;
        EXPECT_EQ(run(tool, {out, archive}, &printed), 0);
        return QString::fromUtf8(printed);
    };
    EXPECT_EQ(extract(first), "result\t0\t" + first + "\n");
    EXPECT_EQ(readFile(out + "/a.txt"), "alpha");
    EXPECT_TRUE(readFile(out + "/dir/b.bin") == big);
    EXPECT_EQ(readFile(out + "/dir/deeper/c.txt"), "gamma");
    EXPECT_TRUE(QFileInfo::exists(out + "/empty.txt"));
    EXPECT_TRUE(QFileInfo(out + "/emptydir").isDir());
    // The same content again is left alone; other content goes beside it.
    EXPECT_TRUE(extract(first).endsWith("result\t0\t" + first + "\n"));
    EXPECT_EQ(extract(second), "result\t0\t" + second + "\n");
    EXPECT_EQ(readFile(out + "/a.txt"), "alpha");
    EXPECT_EQ(readFile(out + "/a (2).txt"), "changed");
    EXPECT_EQ(
        QDir(out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
        (QStringList{"a (2).txt", "a.txt", "dir", "empty.txt", "emptydir"}));
    EXPECT_TRUE(temporariesBelow(out).isEmpty()) << temporariesBelow(out).join(' ').toStdString();
}

// A run killed in the middle of an entry leaves its named temporary (nothing can clean up
// after SIGKILL, and these file systems have no unnamed files); the next run into that
// folder removes it, and no final name ever held a partial file.
TEST_P(FuseImageTest, AKilledRunLeavesNothingAfterTheNextRun) {
    const QString big = m_tmp.filePath(QStringLiteral("big.zip"));
    // Long enough to write, even through the page cache, to be caught in the middle.
    ZipBuilder().addFile("big.bin", QByteArray(200 << 20, 'z')).write(big);
    const QString small = m_tmp.filePath(QStringLiteral("small.zip"));
    ZipBuilder().addFile("small.txt", "small").write(small);
    const QString out = m_mount + QStringLiteral("/out");
    const QString tool = QStringLiteral(VELMARCH_EXTRACT_EXECUTABLE);

    QProcess killed;
    killed.start(tool, {out, big});
    ASSERT_TRUE(killed.waitForStarted());
    // Killed once its temporary is there and growing: never before, never after the end.
    const QByteArray fds = "/proc/" + QByteArray::number(killed.processId()) + "/fd";
    bool growing = false;
    while (!growing && killed.state() == QProcess::Running) {
        for (const QString& fd :
             QDir(QFile::decodeName(fds)).entryList(QDir::AllEntries | QDir::System)) {
            const QString target = QFile::symLinkTarget(QFile::decodeName(fds) + "/" + fd);
            growing = growing || (target.endsWith(QStringLiteral(".part")) &&
                                  QFileInfo(QFile::decodeName(fds) + "/" + fd).size() > 0);
        }
        killed.waitForFinished(1);
    }
    ASSERT_TRUE(growing) << "the run ended before its temporary was seen growing";
    ASSERT_EQ(::kill(pid_t(killed.processId()), SIGKILL), 0);
    killed.waitForFinished();
    ASSERT_EQ(temporariesBelow(out).size(), 1);

    QByteArray printed;
    ASSERT_EQ(run(tool, {out, small}, &printed), 0);
    EXPECT_EQ(printed, "result\t0\t" + small.toUtf8() + "\n");
    EXPECT_EQ(QDir(out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("small.txt")});
}

INSTANTIATE_TEST_SUITE_P(Images, FuseImageTest, ::testing::ValuesIn(kImages),
                         [](const ::testing::TestParamInfo<Image>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
