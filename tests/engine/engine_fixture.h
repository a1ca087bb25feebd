#pragma once

// Runs the engine on archives in a test drive t: and reads back what landed on disk.

#include "app/archive_engine.h"
#include "tests/support/test_drives.h"
#include "tests/support/zip_builder.h"

#include <gtest/gtest.h>
#include <lzma.h>

#include <filesystem>
#include <functional>
#include <map>
#include <utility>
#include <vector>

namespace enginetest {

struct Outcome {
    int result = -1;
    std::vector<std::pair<QString, int>> skips;
    std::vector<int> progress;
    QStringList questions;
    QStringList started;
    int finished = -1;

    std::vector<int> reasons() const {
        std::vector<int> r;
        for (const auto& s : skips) {
            r.push_back(s.second);
        }
        return r;
    }
};

// The zip form of an XZ entry: a whole .xz stream.
inline QByteArray xzZipData(const QByteArray& content) {
    QByteArray out(content.size() + 1024, '\0');
    std::size_t outPos = 0;
    EXPECT_EQ(lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr,
                                      reinterpret_cast<const std::uint8_t*>(content.constData()),
                                      std::size_t(content.size()),
                                      reinterpret_cast<std::uint8_t*>(out.data()), &outPos,
                                      std::size_t(out.size())),
              LZMA_OK);
    out.resize(qsizetype(outPos));
    return out;
}

// Relative path -> content for files, "<dir>" for folders, "-> target" for links.
// Incompressible bytes, the same for the same seed.
inline QByteArray noise(qsizetype size, unsigned seed) {
    QByteArray bytes(size, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (char& c : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x);
    }
    return bytes;
}

inline std::map<QString, QByteArray> treeOf(const QString& hostDir) {
    namespace fs = std::filesystem;
    std::map<QString, QByteArray> tree;
    const fs::path root(hostDir.toStdString());
    if (!fs::exists(root)) {
        return tree;
    }
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        const QString rel =
            QString::fromStdString(item.path().lexically_relative(root).generic_string());
        if (item.is_symlink()) {
            tree[rel] = "-> " + QByteArray::fromStdString(fs::read_symlink(item.path()).string());
        } else if (item.is_directory()) {
            tree[rel] = "<dir>";
        } else {
            tree[rel] = testsupport::readFile(QString::fromStdString(item.path().string()));
        }
    }
    return tree;
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_drive = m_drives.addDrive('t');
        m_drives.install();
    }

    QString host(const QString& relative) const { return m_drive + "/" + relative; }
    QString archivePath() const { return host("a.zip"); }
    QString outPath() const { return host("out"); }

    Outcome extract(const QString& destination = QStringLiteral("t:\\out"), qint16 answer = 1,
                    const std::function<void(ArchiveEngine&, int)>& onProgress = {}) {
        return extractWith(m_engine, destination, answer, onProgress);
    }

    Outcome extractWith(ArchiveEngine& engine, const QString& destination, qint16 answer,
                        const std::function<void(ArchiveEngine&, int)>& onProgress) {
        Outcome out;
        QObject context;
        QObject::connect(
            &engine, &ArchiveEngine::skippingFile, &context,
            [&](const QString& name, qint16 reason) { out.skips.emplace_back(name, reason); });
        QObject::connect(&engine, &ArchiveEngine::progress, &context, [&](qint16 percent) {
            out.progress.push_back(percent);
            if (onProgress) {
                onProgress(engine, percent);
            }
        });
        QObject::connect(&engine, &ArchiveEngine::queryCreateDirectory, &context,
                         [&](const QString& dir, qint16& reply) {
                             out.questions.append(dir);
                             reply = answer;
                         });
        QObject::connect(&engine, &ArchiveEngine::entryStarted, &context,
                         [&](const QString& name) { out.started.append(name); });
        QObject::connect(&engine, &ArchiveEngine::finished, &context,
                         [&](int result) { out.finished = result; });
        engine.ExtractDirectory = destination;
        engine.ZipFileName = QStringLiteral("t:\\a.zip");
        out.result = engine.Extract();
        return out;
    }

    // Everything on the drive except the archive must lie inside "out".
    void expectNothingOutsideDestination(const QStringList& allowed = {}) const {
        for (const auto& [path, content] : treeOf(m_drive)) {
            if (path == "a.zip" || path == "out" || path.startsWith("out/") ||
                allowed.contains(path)) {
                continue;
            }
            ADD_FAILURE() << "written outside the destination: " << path.toStdString();
        }
    }

    testsupport::TestDrives m_drives;
    QString m_drive;
    ArchiveEngine m_engine;
};

} // namespace enginetest
