#include "platform/archive_removal.h"

#include "platform/volumes.h"
#include "tests/support/test_drives.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>

#include <gtest/gtest.h>

#include <functional>

#include <sys/stat.h>

using namespace platform;
using testsupport::writeFile;

namespace {

std::string shown(const std::optional<QStringList>& names) {
    return names ? names->join(u'|').toStdString() : "(not below)";
}

TEST(NamesBelow, OnlyFilesBelowTheSourceDirectory) {
    struct Case {
        const char* source;
        const char* path;
        const char* names; // "|"-joined, or "(not below)"
    };
    const std::vector<Case> cases = {
        {"t:\\src", "t:\\src\\a.zip", "a.zip"},
        {"t:\\src\\", "t:\\src\\sub\\deep\\c.zip", "sub|deep|c.zip"},
        {"T:\\SRC", "t:\\Src\\Sub\\C.zip", "Sub|C.zip"},
        {"t:\\src", "t:/src/a.zip", "a.zip"},
        {"t:\\", "t:\\a.zip", "a.zip"},
        {"t:\\src", "t:\\src\\", "(not below)"},
        {"t:\\src", "t:\\src2\\a.zip", "(not below)"},
        {"t:\\src", "u:\\src\\a.zip", "(not below)"},
        {"t:\\src", "t:\\victim\\report.docx", "(not below)"},
        {"t:\\src", "z.zip", "(not below)"},
        {"t:\\src", "t:\\src\\..\\victim\\a.zip", "(not below)"},
        {"t:\\src", "t:\\src\\.\\a.zip", "(not below)"},
        {"t:\\src", "t:\\src\\\\a.zip", "(not below)"},
        {"t:\\src", "t:\\src\\a\rb.zip", "(not below)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.source) + " / " + c.path);
        EXPECT_EQ(shown(namesBelow(QString::fromUtf8(c.source), QString::fromUtf8(c.path))),
                  c.names);
    }
}

class ArchiveRemoval : public ::testing::Test {
protected:
    void SetUp() override {
        t = drives.addDrive('t');
        drives.install();
    }

    static std::optional<FileId> idOf(const QString& hostPath) {
        struct stat st {};
        if (::stat(QFile::encodeName(hostPath).constData(), &st) != 0)
            return std::nullopt;
        return FileId{st.st_dev, st.st_ino};
    }

    struct Entry {
        mode_t mode;
        FileId id;
        bool operator==(const Entry&) const = default;
    };
    // Every name under a host folder, links not followed.
    static QMap<QString, Entry> snapshot(const QString& hostDir) {
        QMap<QString, Entry> names;
        QDirIterator it(hostDir,
                        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            struct stat st {};
            EXPECT_EQ(::lstat(QFile::encodeName(path).constData(), &st), 0);
            names.insert(path, Entry{st.st_mode, FileId{st.st_dev, st.st_ino}});
        }
        return names;
    }

    testsupport::TestDrives drives;
    QString t;
};

TEST_F(ArchiveRemoval, GoesOnlyWhenTheNameHoldsThePlainFileThatWasRead) {
    struct Case {
        const char* what;
        const char* source;
        const char* archive;
        // Builds the tree under t: and returns the identity of the file "read".
        std::function<std::optional<FileId>(const QString& t)> setUp;
        RemovalStatus status;
        const char* reason;
    };
    const auto file = [](const char* path, mode_t mode = 0644) {
        return [path, mode](const QString& t) {
            writeFile(t + u'/' + QLatin1String(path), "zip");
            ::chmod(QFile::encodeName(t + u'/' + QLatin1String(path)).constData(), mode);
            return idOf(t + u'/' + QLatin1String(path));
        };
    };
    const std::vector<Case> cases = {
        {"plain", "t:\\src", "t:\\src\\sub\\a.zip", file("src/sub/a.zip"), RemovalStatus::Removed,
         ""},
        {"read-only", "t:\\src", "t:\\SRC\\a.zip", file("src/a.zip", 0444), RemovalStatus::Removed,
         ""},
        {"source reached through a link", "t:\\chosen", "t:\\chosen\\a.zip",
         [&](const QString& t) {
             const auto id = file("real/a.zip")(t);
             QFile::link(t + QStringLiteral("/real"), t + QStringLiteral("/chosen"));
             return id;
         },
         RemovalStatus::Removed, ""},
        {"nothing read", "t:\\src", "t:\\src\\a.zip",
         [&](const QString& t) {
             file("src/a.zip")(t);
             return std::optional<FileId>();
         },
         RemovalStatus::Changed, "it is not known which file was read"},
        {"a folder", "t:\\src", "t:\\src\\a.zip",
         [](const QString& t) {
             QDir(t).mkpath(QStringLiteral("src/a.zip"));
             return idOf(t + QStringLiteral("/src/a.zip"));
         },
         RemovalStatus::NotAFile, "it is not a plain file"},
        {"outside the source", "t:\\src", "t:\\a.zip", file("a.zip"), RemovalStatus::NotBelow,
         "it is not below the source directory"},
        {"missing", "t:\\src", "t:\\src\\gone.zip", file("src/a.zip"), RemovalStatus::Failed,
         "File not found"},
        {"missing folder", "t:\\src", "t:\\src\\gone\\a.zip", file("src/a.zip"),
         RemovalStatus::Failed, "Path not found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::optional<FileId> read = c.setUp(t);
        const QMap<QString, Entry> before = snapshot(t);
        const Removal removal =
            removeArchive(QString::fromUtf8(c.source), QString::fromUtf8(c.archive), read);
        EXPECT_EQ(removal.status, c.status);
        EXPECT_EQ(removal.reason.toStdString(), c.reason);
        // Nothing but the file read may go, and nothing else may change, modes included.
        QMap<QString, Entry> expected = before;
        if (c.status == RemovalStatus::Removed)
            expected.removeIf([&](const auto& entry) { return entry.value().id == *read; });
        const QMap<QString, Entry> after = snapshot(t);
        EXPECT_EQ(QStringList(after.keys()).join(u'|').toStdString(),
                  QStringList(expected.keys()).join(u'|').toStdString());
        EXPECT_TRUE(after == expected);
        QDir(t).removeRecursively();
        QDir().mkpath(t);
    }
}

} // namespace
