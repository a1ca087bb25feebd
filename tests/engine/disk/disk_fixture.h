#pragma once

// A destination folder of its own for each disk-writer test, and what the tests ask of
// the host about it.

#include "disk/extract_target.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace disktest {

using archive_engine::disk::TargetDir;
using archive_engine::disk::TargetStatus;

class DiskTest : public ::testing::Test {
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

    // The file system of the destination, as the disk writer tells it.
    archive_engine::disk::FileSystemId fileSystem() const { return openRoot().fileSystem(); }

    QString path(const QString& name) const { return m_root + "/" + name; }

    void link(const QString& name, const QByteArray& target) const {
        ASSERT_EQ(::symlink(target.constData(), QFile::encodeName(path(name)).constData()), 0)
            << name.toStdString();
    }

    // Every name in the destination (or a folder below it), hidden ones included.
    QStringList entries(const QString& folder = QString()) const {
        return QDir(folder.isEmpty() ? m_root : path(folder))
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                       QDir::Name);
    }

    QTemporaryDir m_tmp;
    QString m_root;
};

inline struct stat statOf(const QString& hostPath) {
    struct stat st {};
    EXPECT_EQ(::lstat(QFile::encodeName(hostPath).constData(), &st), 0) << hostPath.toStdString();
    return st;
}

// Whether the file system holding `dir` makes unnamed files.
inline bool hostHasUnnamedFiles(const QString& dir) {
    const int fd = ::open(QFile::encodeName(dir).constData(), O_TMPFILE | O_RDWR, 0600);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

} // namespace disktest
