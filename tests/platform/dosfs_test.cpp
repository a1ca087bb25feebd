#include "platform/dosfs.h"

#include "platform/folder_read.h"
#include "platform/folder_walk.h"
#include "platform/volumes.h"
#include "tests/support/test_drives.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace platform;
using testsupport::readFile;
using testsupport::TestDrives;
using testsupport::writeFile;

namespace {

QStringList listAll(const QString& spec, int attributes, FsError* error = nullptr) {
    QStringList names;
    DirListing listing(spec, attributes);
    if (error)
        *error = listing.error();
    for (; !listing.atEnd(); listing.next())
        names.append(listing.name());
    EXPECT_TRUE(listing.name().isEmpty());
    return names;
}

mode_t modeOf(const QString& hostPath) {
    struct stat st {};
    EXPECT_EQ(::stat(QFile::encodeName(hostPath).constData(), &st), 0);
    return st.st_mode & 07777;
}

void setMode(const QString& hostPath, mode_t mode) {
    ASSERT_EQ(::chmod(QFile::encodeName(hostPath).constData(), mode), 0);
}

TEST(Wildcards, MatchLikeDos) {
    struct Case {
        const char* name;
        const char* pattern;
        bool matches;
    };
    const std::vector<Case> cases = {
        {"A.ZIP", "*.zip", true},     {"b.Zip", "*.ZIP", true}, {"a.zip.txt", "*.zip", false},
        {"a.zipx", "*.zip", false},   {"abc", "a?c", true},     {"ac", "a?c", false},
        {"abbc", "a?c", false},       {"readme", "*.*", true},  {"readme", "readme.*", true},
        {"readme", "*.", true},       {"a.b", "*.", false},     {"x", "", true},
        {"aXbXc", "a*b*c", true},     {"abcabd", "*abd", true}, {"abcabe", "*abd", false},
        {"ÜBER.txt", "über.*", true}, {".hidden", "*", true},   {"zip", "*.zip", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " ~ " + c.pattern);
        EXPECT_EQ(matchesPattern(QString::fromUtf8(c.name), QString::fromUtf8(c.pattern)),
                  c.matches);
    }
}

class DosFs : public ::testing::Test {
protected:
    void SetUp() override {
        t = drives.addDrive('t');
        drives.addDrive('n', DriveCdRom, {}, false);
        d = t + QStringLiteral("/d");
        // Names holding a backslash or a control character have no DOS path: never listed.
        for (const char* name : {"b.zip", "A.ZIP", "c.txt", ".hidden.zip", "ro.zip",
                                 "back\\slash.zip", "line\nbreak.zip", "car\rriage.zip",
                                 "tab\t.zip", "ctl\x01.zip", "us\x1f.zip", "del\x7f.zip"})
            writeFile(d + QLatin1Char('/') + QString::fromUtf8(name), "x");
        setMode(d + QStringLiteral("/ro.zip"), 0444);
        QDir(d).mkpath(QStringLiteral("Sub"));
        QDir(d).mkpath(QStringLiteral("Line\nDir"));
        QDir(d).mkpath(QStringLiteral(".hdir"));
        // Not valid UTF-8: no DOS path text could name it again.
        const QByteArray undecodable = QFile::encodeName(d) + "/bad\xff.zip";
        std::FILE* raw = std::fopen(undecodable.constData(), "w");
        ASSERT_NE(raw, nullptr);
        std::fclose(raw);
        undecodablePath = undecodable;
        ASSERT_EQ(::mkfifo(QFile::encodeName(d + QStringLiteral("/pipe.zip")).constData(), 0644),
                  0);
        QFile::link(d + QStringLiteral("/gone"), d + QStringLiteral("/dead.zip"));
        QFile::link(d + QStringLiteral("/b.zip"), d + QStringLiteral("/link.zip"));
        QFile::link(d + QStringLiteral("/Sub"), d + QStringLiteral("/LinkDir"));
        drives.install();
    }

    // The temporary directory cannot remove a name it cannot spell.
    void TearDown() override { ::unlink(undecodablePath.constData()); }

    TestDrives drives;
    QString t, d;
    QByteArray undecodablePath;
};

TEST_F(DosFs, ListingFiltersByPatternAndAttributes) {
    struct Case {
        const char* spec;
        int attributes;
        QStringList names;
    };
    const std::vector<Case> cases = {
        {"t:\\d\\*.zip", AttrNormal, {"A.ZIP", "b.zip", "link.zip", "ro.zip"}},
        {"T:\\D\\*.ZIP", AttrReadOnly | AttrSystem, {"A.ZIP", "b.zip", "link.zip", "ro.zip"}},
        {"t:\\d\\*.zip", AttrHidden, {".hidden.zip", "A.ZIP", "b.zip", "link.zip", "ro.zip"}},
        {"t:\\d\\",
         AttrDirectory,
         {".", "..", "A.ZIP", "b.zip", "c.txt", "link.zip", "LinkDir", "ro.zip", "Sub"}},
        {"t:\\d\\*",
         AttrDirectory | AttrHidden,
         {".", "..", ".hdir", ".hidden.zip", "A.ZIP", "b.zip", "c.txt", "link.zip", "LinkDir",
          "ro.zip", "Sub"}},
        {"t:\\d\\*.zip", AttrDirectory, {"A.ZIP", "b.zip", "link.zip", "ro.zip"}},
        {"t:\\d\\s*", AttrDirectory, {"Sub"}},
        {"t:\\d\\s*", AttrNormal, {}},
        {"t:\\d\\nomatch*.q", AttrDirectory, {}},
        {"t:\\*", AttrDirectory, {"d"}}, // a drive root has no "." and ".."
        {"t:d\\?.txt", AttrNormal, {"c.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.spec);
        FsError error;
        EXPECT_EQ(listAll(QString::fromUtf8(c.spec), c.attributes, &error), c.names);
        EXPECT_FALSE(error);
    }
}

TEST_F(DosFs, ListingErrors) {
    FsError error;
    EXPECT_TRUE(listAll(QStringLiteral("t:\\missing\\*.zip"), AttrDirectory, &error).isEmpty());
    EXPECT_EQ(error.number, ErrPathNotFound);
    EXPECT_EQ(error.description, QStringLiteral("Path not found"));
    EXPECT_TRUE(listAll(QStringLiteral("t:\\d\\c.txt\\*"), AttrNormal, &error).isEmpty());
    EXPECT_EQ(error.number, ErrPathNotFound);
    EXPECT_TRUE(listAll(QStringLiteral("n:\\*"), AttrNormal, &error).isEmpty());
    EXPECT_EQ(error.number, ErrDeviceUnavailable);
    EXPECT_TRUE(listAll(QStringLiteral("q:\\*"), AttrNormal, &error).isEmpty());
    EXPECT_EQ(error.number, ErrPathNotFound);
    EXPECT_TRUE(DirListing().atEnd());
}

// Upper-case order, as the old file system kept it: "_" comes after the letters.
TEST_F(DosFs, ListingSortsIgnoringCase) {
    const QString dir = t + QStringLiteral("/sorted");
    // "ß" is "SS" in upper case: it ties with "sS", which wins on its exact spelling.
    for (const char* name : {"b2", "B1", "a10", "A2", "_x", "Zz", "zA", "ß", "é", "sS", "SSa"})
        writeFile(dir + QLatin1Char('/') + QString::fromUtf8(name));
    EXPECT_EQ(listAll(QStringLiteral("t:\\sorted\\*"), AttrNormal),
              (QStringList{"a10", "A2", "B1", "b2", "sS", "ß", "SSa", "zA", "Zz", "_x", "é"}));
}

TEST_F(DosFs, AttributesFromTheHost) {
    setMode(d + QStringLiteral("/c.txt"), 0400);
    QDir(d).mkpath(QStringLiteral("RoDir"));
    setMode(d + QStringLiteral("/RoDir"), 0555);
    struct Case {
        const char* path;
        int attributes;
    };
    const std::vector<Case> cases = {
        {"t:\\d\\b.zip", AttrNormal},          {"t:\\D\\B.ZIP", AttrNormal},
        {"t:\\d\\ro.zip", AttrReadOnly},       {"t:\\d\\c.txt", AttrReadOnly},
        {"t:\\d\\Sub", AttrDirectory},         {"t:\\d\\RoDir", AttrDirectory | AttrReadOnly},
        {"t:\\d\\.hidden.zip", AttrHidden},    {"t:\\d\\.hdir", AttrDirectory | AttrHidden},
        {"t:\\d\\link.zip", AttrReparsePoint}, {"t:\\d\\LinkDir", AttrDirectory | AttrReparsePoint},
        {"t:\\d\\dead.zip", AttrReparsePoint}, {"t:\\", AttrDirectory},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        FsError error = FsError::of(ErrDeviceIo);
        EXPECT_EQ(getAttributes(QString::fromUtf8(c.path), &error), c.attributes);
        EXPECT_FALSE(error);
    }
    setMode(d + QStringLiteral("/RoDir"), 0755);
}

TEST_F(DosFs, AttributeErrors) {
    struct Case {
        const char* path;
        int error;
    };
    const std::vector<Case> cases = {
        {"t:\\d\\missing.zip", ErrFileNotFound},
        {"t:\\nodir\\missing.zip", ErrPathNotFound},
        {"t:\\d\\b.zip\\x", ErrPathNotFound},
        {"n:\\x", ErrDeviceUnavailable},
        {"q:\\x", ErrPathNotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        FsError error;
        EXPECT_EQ(getAttributes(QString::fromUtf8(c.path), &error), 0);
        EXPECT_EQ(error.number, c.error);
        EXPECT_EQ(error.description, errorText(c.error));
        EXPECT_EQ(setAttributes(QString::fromUtf8(c.path), 0).number, c.error);
        EXPECT_EQ(deleteFile(QString::fromUtf8(c.path)).number, c.error);
    }
}

TEST_F(DosFs, ClearingAttributesGivesTheOwnerWriteOnly) {
    const QString file = d + QStringLiteral("/ro.zip");
    setMode(file, 0440);
    EXPECT_FALSE(setAttributes(QStringLiteral("t:\\d\\RO.ZIP"), AttrNormal));
    EXPECT_EQ(modeOf(file), mode_t(0640));
    EXPECT_EQ(getAttributes(QStringLiteral("t:\\d\\ro.zip")), AttrNormal);
    // Already writable: nothing changes.
    setMode(file, 0604);
    EXPECT_FALSE(setAttributes(QStringLiteral("t:\\d\\ro.zip"), AttrNormal));
    EXPECT_EQ(modeOf(file), mode_t(0604));
    // Read-only takes every write permission away.
    setMode(file, 0666);
    EXPECT_FALSE(setAttributes(QStringLiteral("t:\\d\\ro.zip"), AttrReadOnly));
    EXPECT_EQ(modeOf(file), mode_t(0444));
    // A link has no attributes of its own to set, and its target is not touched.
    for (const mode_t mode : {mode_t(0444), mode_t(0644)}) {
        setMode(d + QStringLiteral("/b.zip"), mode);
        EXPECT_FALSE(setAttributes(QStringLiteral("t:\\d\\link.zip"),
                                   mode & 0200 ? AttrReadOnly : AttrNormal));
        EXPECT_EQ(modeOf(d + QStringLiteral("/b.zip")), mode);
    }
}

TEST_F(DosFs, DeleteFileRemovesFilesOnly) {
    EXPECT_FALSE(deleteFile(QStringLiteral("t:\\d\\B.ZIP")));
    EXPECT_FALSE(QFileInfo::exists(d + QStringLiteral("/b.zip")));

    EXPECT_EQ(deleteFile(QStringLiteral("t:\\d\\Sub")).number, ErrPathFileAccess);
    EXPECT_TRUE(QFileInfo(d + QStringLiteral("/Sub")).isDir());

    // A read-only file must have its attribute cleared first.
    EXPECT_EQ(deleteFile(QStringLiteral("t:\\d\\ro.zip")).number, ErrPathFileAccess);
    EXPECT_TRUE(QFileInfo::exists(d + QStringLiteral("/ro.zip")));
    EXPECT_FALSE(setAttributes(QStringLiteral("t:\\d\\ro.zip"), AttrNormal));
    EXPECT_FALSE(deleteFile(QStringLiteral("t:\\d\\ro.zip")));
    EXPECT_FALSE(QFileInfo::exists(d + QStringLiteral("/ro.zip")));

    // A link goes, its target stays.
    writeFile(d + QStringLiteral("/target.zip"), "keep");
    QFile::link(d + QStringLiteral("/target.zip"), d + QStringLiteral("/l2.zip"));
    EXPECT_FALSE(deleteFile(QStringLiteral("t:\\d\\l2.zip")));
    EXPECT_FALSE(QFileInfo(d + QStringLiteral("/l2.zip")).isSymLink());
    EXPECT_EQ(readFile(d + QStringLiteral("/target.zip")), QByteArray("keep"));
}

TEST_F(DosFs, MakeDirectoryCreatesOneLevel) {
    EXPECT_FALSE(makeDirectory(QStringLiteral("t:\\D\\New")));
    EXPECT_TRUE(QFileInfo(d + QStringLiteral("/New")).isDir());
    EXPECT_EQ(makeDirectory(QStringLiteral("t:\\d\\new")).number, ErrPathFileAccess);
    EXPECT_EQ(makeDirectory(QStringLiteral("t:\\d\\a\\b")).number, ErrPathNotFound);
    EXPECT_FALSE(QFileInfo::exists(d + QStringLiteral("/a")));
    EXPECT_EQ(makeDirectory(QStringLiteral("n:\\x")).number, ErrDeviceUnavailable);
}

TEST_F(DosFs, AWatchSeesTheLastFailureToMakeAFolderOnItsThread) {
    writeFile(d + QStringLiteral("/file"));
    MakeDirectoryWatch outer;
    {
        MakeDirectoryWatch inner;
        EXPECT_FALSE(makeDirectory(QStringLiteral("t:\\d\\made")));
        EXPECT_FALSE(inner.lastFailure().has_value());
        EXPECT_TRUE(makeDirectory(QStringLiteral("n:\\x")));
        EXPECT_TRUE(makeDirectory(QStringLiteral("t:\\d\\file\\sub")));
        ASSERT_TRUE(inner.lastFailure().has_value());
        EXPECT_EQ(inner.lastFailure()->path, QStringLiteral("t:\\d\\file\\sub"));
        EXPECT_EQ(inner.lastFailure()->error.number, ErrPathNotFound);
        EXPECT_EQ(inner.lastFailure()->hostErrno, ENOTDIR);
    }
    EXPECT_FALSE(outer.lastFailure().has_value()) << "only the innermost watch sees them";
    EXPECT_TRUE(makeDirectory(QStringLiteral("n:\\x")));
    ASSERT_TRUE(outer.lastFailure().has_value());
    EXPECT_EQ(outer.lastFailure()->error.number, ErrDeviceUnavailable);
    EXPECT_EQ(outer.lastFailure()->hostErrno, 0) << "the path never reached the host";
}

TEST_F(DosFs, TextFilesUseCrLfAndUtf8) {
    {
        TextWriter writer;
        ASSERT_FALSE(writer.open(QStringLiteral("t:\\out.txt")));
        EXPECT_TRUE(writer.isOpen());
        EXPECT_FALSE(writer.writeLine(QStringLiteral("a")));
        EXPECT_FALSE(writer.writeLine(QStringLiteral("t:\\Grüße\\日本.zip")));
        EXPECT_FALSE(writer.writeLine(QString()));
        EXPECT_FALSE(writer.close());
        EXPECT_FALSE(writer.isOpen());
        EXPECT_EQ(writer.writeLine(QStringLiteral("late")).number, ErrBadFileName);
    }
    EXPECT_EQ(readFile(t + QStringLiteral("/out.txt")),
              QByteArray("a\r\nt:\\Gr\xc3\xbc\xc3\x9f"
                         "e\\\xe6\x97\xa5\xe6\x9c\xac.zip\r\n\r\n"));
    QStringList lines;
    EXPECT_FALSE(readLines(QStringLiteral("t:\\OUT.TXT"), &lines));
    EXPECT_EQ(lines, (QStringList{"a", "t:\\Grüße\\日本.zip", ""}));

    // Opening again cuts the file to zero length; the destructor closes it.
    {
        TextWriter writer;
        ASSERT_FALSE(writer.open(QStringLiteral("t:\\out.txt")));
    }
    EXPECT_EQ(readFile(t + QStringLiteral("/out.txt")), QByteArray());

    TextWriter writer;
    EXPECT_EQ(writer.open(QStringLiteral("t:\\nodir\\out.txt")).number, ErrPathNotFound);
    EXPECT_EQ(writer.open(QStringLiteral("t:\\d")).number, ErrPathFileAccess);
    EXPECT_EQ(writer.open(QStringLiteral("n:\\out.txt")).number, ErrDeviceUnavailable);
    EXPECT_FALSE(writer.isOpen());
}

TEST_F(DosFs, ReadLinesAcceptsEitherEnding) {
    struct Case {
        QByteArray bytes;
        QStringList lines;
    };
    const std::vector<Case> cases = {
        {"x\r\ny\nz", {"x", "y", "z"}}, {"x\r\n", {"x"}},     {"", {}}, {"\r\n\n", {"", ""}},
        {"\xEF\xBB\xBFone\n", {"one"}}, {"a\rb\n", {"a\rb"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes.toStdString());
        writeFile(t + QStringLiteral("/in.txt"), c.bytes);
        QStringList lines{"stale"};
        EXPECT_FALSE(readLines(QStringLiteral("t:\\in.txt"), &lines));
        EXPECT_EQ(lines, c.lines);
    }
    QStringList lines;
    EXPECT_EQ(readLines(QStringLiteral("t:\\none.txt"), &lines).number, ErrFileNotFound);
    EXPECT_EQ(readLines(QStringLiteral("t:\\none\\x.txt"), &lines).number, ErrPathNotFound);
    EXPECT_EQ(readLines(QStringLiteral("t:\\d"), &lines).number, ErrPathFileAccess);
}

TEST_F(DosFs, WriteFailuresAreReported) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes through permission bits";
    setMode(d, 0555);
    TextWriter writer;
    EXPECT_EQ(writer.open(QStringLiteral("t:\\d\\new.txt")).number, ErrPathFileAccess);
    EXPECT_EQ(makeDirectory(QStringLiteral("t:\\d\\newdir")).number, ErrPathFileAccess);
    EXPECT_EQ(deleteFile(QStringLiteral("t:\\d\\b.zip")).number, ErrPathFileAccess);
    setMode(d, 0755);
}

// Some file systems give no type in the directory read; asking the file system instead
// must come to the same verdict as the type would have.
TEST_F(DosFs, EntriesWithoutATypeAreAskedAbout) {
    using detail::EntryKind;
    QDir(d).mkpath(QStringLiteral("RoDir"));
    setMode(d + QStringLiteral("/RoDir"), 0555);
    struct Case {
        const char* name;
        unsigned char type; // as a file system that knows it says
        EntryKind what;
    };
    const std::vector<Case> cases = {
        {"b.zip", DT_REG, {EntryKind::File}},
        {"Sub", DT_DIR, {EntryKind::Folder, AttrDirectory}},
        {".hdir", DT_DIR, {EntryKind::Folder, AttrDirectory | AttrHidden}},
        {"RoDir", DT_DIR, {EntryKind::Folder, AttrDirectory | AttrReadOnly}},
        {"LinkDir", DT_LNK, {EntryKind::Folder, AttrDirectory | AttrReparsePoint}},
        {"link.zip", DT_LNK, {EntryKind::File}},
        {"dead.zip", DT_LNK, {}},
        {"pipe.zip", DT_FIFO, {}},
    };
    const int dirFd = ::open(QFile::encodeName(d).constData(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dirFd, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(detail::classifyEntry(dirFd, c.name, c.type, true), c.what);
        EXPECT_EQ(detail::classifyEntry(dirFd, c.name, DT_UNKNOWN, true), c.what);
    }
    // Gone between the read and the look: a folder says why it cannot be entered, an entry
    // of unknown type is simply not there.
    EXPECT_EQ(detail::classifyEntry(dirFd, "gone", DT_DIR, true),
              (EntryKind{EntryKind::Folder, AttrNormal, ENOENT}));
    EXPECT_EQ(detail::classifyEntry(dirFd, "gone", DT_UNKNOWN, true), EntryKind{});
    ::close(dirFd);
    setMode(d + QStringLiteral("/RoDir"), 0755);
}

// How many descriptors the process has open, and the highest of them.
std::pair<int, int> openDescriptors() {
    int count = 0, highest = -1;
    for (int fd = 0; fd < 4096; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) {
            ++count;
            highest = fd;
        }
    }
    return {count, highest};
}

// Chains of folders side by side, more of them than the descriptors a walk keeps, and one
// deeper than that: t:\\c7\\l0\\l1... Folder lN of chain 7 holds the file "7-N.zip".
// Walked breadth first as the search walks, each plain subfolder queued.
class FolderWalkTest : public ::testing::Test {
protected:
    static constexpr int kChains = 90;
    static constexpr int kDepth = 3;
    static constexpr int kDeepest = 90; // chain 0

    void SetUp() override {
        t = drives.addDrive('t');
        for (int chain = 0; chain < kChains; ++chain) {
            QString path = t + QStringLiteral("/c%1").arg(chain);
            for (int level = 0; level < (chain == 0 ? kDeepest : kDepth); ++level) {
                path += QStringLiteral("/l%1").arg(level);
                writeFile(path + QStringLiteral("/%1-%2.zip").arg(chain).arg(level));
            }
        }
        drives.install();
    }

    struct Queued {
        FolderWalk::Id id;
        int chain, level; // the root is level -2, "c7" is chain 7 at level -1
    };
    // Reads the next folder of the queue; false when it could not be read or did not hold
    // its one file.
    bool readNext() {
        const Queued folder = queue.at(next++);
        QStringList files;
        lastState = walk.read(folder.id, QStringLiteral("*.zip"), &files, &folders);
        if (!lastState.plain())
            return false;
        for (const FolderWalk::Subfolder& sub : folders) {
            const int chain = folder.level == -2 ? sub.name.mid(1).toInt() : folder.chain;
            queue.push_back({walk.add(folder.id, sub), chain, folder.level + 1});
        }
        if (folder.level < 0)
            return files.isEmpty();
        return files ==
               QStringList{QStringLiteral("%1-%2.zip").arg(folder.chain).arg(folder.level)};
    }

    TestDrives drives;
    QString t;
    FolderWalk walk{QStringLiteral("t:\\")};
    std::vector<Queued> queue{{0, -1, -2}};
    std::size_t next = 0;
    FolderState lastState;
    std::vector<FolderWalk::Subfolder> folders;
};

// With few descriptors to spare, each folder is reached again from what is still open, and
// every one is read with its own file.
TEST_F(FolderWalkTest, ReachesEveryFolderWithFewDescriptors) {
    rlimit limits{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limits), 0);
    // 72 numbers free: a walk that kept a descriptor for each queued parent or for each level
    // would run out of them. New descriptors take the lowest free number, so the gaps below
    // the highest open one are filled first.
    const auto [count, highest] = openDescriptors();
    std::vector<int> fillers;
    for (int gap = count; gap <= highest; ++gap)
        fillers.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const rlimit scarce{rlim_t(highest + 1 + 72), limits.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &scarce), 0);
    int read = 0;
    while (next < queue.size() && readNext())
        ++read;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limits), 0);
    for (const int filler : fillers)
        ::close(filler);
    EXPECT_EQ(read, 1 + kChains + (kChains - 1) * kDepth + kDeepest);
}

// A folder on the way down that has become a link to a look-alike is not gone through,
// however many levels the walk takes in one look-up.
TEST_F(FolderWalkTest, NeverReachesAFolderThroughALink) {
    // Up to the last chain's folder at level 1: the walk has kept no room for its parent.
    while (!(queue.at(next).chain == kChains - 1 && queue.at(next).level == 1))
        ASSERT_TRUE(readNext());
    const QString l0 = t + QStringLiteral("/c%1/l0").arg(kChains - 1);
    ASSERT_TRUE(QDir().rename(l0, t + QStringLiteral("/moved")));
    writeFile(t + QStringLiteral("/copy/l1/copy.zip"));
    ASSERT_TRUE(QFile::link(t + QStringLiteral("/copy"), l0));

    EXPECT_FALSE(readNext());
    EXPECT_EQ(lastState.error.number, ErrPathNotFound);
}

TEST(DosFsErrors, HostErrorsMapToRuntimeNumbers) {
    struct Case {
        int hostErrno;
        int number;
        const char* text;
    };
    const std::vector<Case> cases = {
        {0, ErrNone, ""},
        {ENOENT, ErrFileNotFound, "File not found"},
        {ENOTDIR, ErrPathNotFound, "Path not found"},
        {EACCES, ErrPathFileAccess, "Path/File access error"},
        {EPERM, ErrPathFileAccess, "Path/File access error"},
        {EROFS, ErrPathFileAccess, "Path/File access error"},
        {EBUSY, ErrPermissionDenied, "Permission denied"},
        {ENOSPC, ErrDiskFull, "Disk full"},
        {EDQUOT, ErrDiskFull, "Disk full"},
        {EIO, ErrDeviceIo, "Device I/O error"},
        {ENOMEDIUM, ErrDiskNotReady, "Disk not ready"},
        {ENODEV, ErrDeviceUnavailable, "Device unavailable"},
        {ENAMETOOLONG, ErrBadFileName, "Bad file name or number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hostErrno);
        const FsError error = fromErrno(c.hostErrno);
        EXPECT_EQ(error.number, c.number);
        EXPECT_EQ(error.description, QString::fromUtf8(c.text));
        EXPECT_EQ(bool(error), c.number != 0);
    }
    EXPECT_EQ(errorText(ErrFileExists), QStringLiteral("File already exists"));
    EXPECT_EQ(errorText(ErrFileAlreadyOpen), QStringLiteral("File already open"));
}

TEST(ProgramDirectory, PinnedByTestsAndRestored) {
    const QString standard = programDirectory();
    EXPECT_FALSE(standard.isEmpty());
    {
        TestDrives drives;
        drives.addDrive('t');
        drives.install();
        EXPECT_EQ(programDirectory(), drives.programDirectory());
        EXPECT_EQ(toHostPath(programDirectory() + QStringLiteral("\\unzip.tmp")),
                  QFileInfo(drives.programHostDirectory()).canonicalFilePath() +
                      QStringLiteral("/unzip.tmp"));
        setProgramDirectory(QStringLiteral("t:\\prog\\"));
        EXPECT_EQ(programDirectory(), QStringLiteral("t:\\prog"));
    }
    EXPECT_EQ(programDirectory(), standard);
}

} // namespace
