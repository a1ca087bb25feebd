#pragma once

// Runs the engine through its public header on archives in a temporary directory, records
// what its sink is told, and reads back what landed on disk.

#include "tests/support/test_drives.h"
#include "tests/support/zip_builder.h"

#include <velmarch/engine.h>

#include <gtest/gtest.h>
#include <lzma.h>

#include <QDir>
#include <QStringList>
#include <QTemporaryDir>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace enginetest {

struct Outcome {
    int result = -1;
    std::vector<std::pair<QString, int>> skips;
    std::vector<int> progress;
    int questions = 0; // how often the sink was asked to create the destination
    QStringList started;
    std::set<std::thread::id> threads; // every thread the sink was called on
    archive_engine::Findings findings; // what the engine says lies behind the result

    std::vector<int> reasons() const {
        std::vector<int> r;
        for (const auto& s : skips) {
            r.push_back(s.second);
        }
        return r;
    }
};

// Called with each percentage, from the sink, with the engine that reports it.
using ProgressHandler = std::function<void(archive_engine::Engine&, int percent)>;

// Fills an Outcome from the engine's calls, answers the question with `answer`, and hands
// progress and started entries on to the test.
class RecordingSink : public archive_engine::ExtractionSink {
public:
    RecordingSink(Outcome& out, archive_engine::Engine& engine, bool answer,
                  ProgressHandler onProgress, std::function<void(const QString&)> onStarted)
        : m_out(out), m_engine(engine), m_answer(answer), m_onProgress(std::move(onProgress)),
          m_onStarted(std::move(onStarted)) {}

    void progress(int percent) override {
        m_out.threads.insert(std::this_thread::get_id());
        m_out.progress.push_back(percent);
        if (m_onProgress) {
            m_onProgress(m_engine, percent);
        }
    }
    void entryStarted(const QString& entryName) override {
        m_out.threads.insert(std::this_thread::get_id());
        m_out.started.append(entryName);
        if (m_onStarted) {
            m_onStarted(entryName);
        }
    }
    void skipped(const QString& entryName, archive_engine::SkipReason reason) override {
        m_out.threads.insert(std::this_thread::get_id());
        m_out.skips.emplace_back(entryName, reason);
    }
    bool createDestination() override {
        m_out.threads.insert(std::this_thread::get_id());
        ++m_out.questions;
        return m_answer;
    }

private:
    Outcome& m_out;
    archive_engine::Engine& m_engine;
    const bool m_answer;
    const ProgressHandler m_onProgress;
    const std::function<void(const QString&)> m_onStarted;
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

// Relative path -> content for files, "<dir>" for folders, "-> target" for links.
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
        ASSERT_TRUE(m_dir.isValid());
        m_request.freeSpace = archive_engine::freeBytesBelow;
    }

    QString host(const QString& relative) const { return m_dir.path() + "/" + relative; }
    QString archivePath() const { return host("a.zip"); }
    QString outPath() const { return host("out"); }

    // Extracts a.zip into `destination`, a folder named relative to the temporary directory.
    Outcome extract(const QString& destination = QStringLiteral("out"), bool answer = true,
                    const ProgressHandler& onProgress = {}) {
        return extractWith(m_engine, host(destination), answer, onProgress);
    }

    // Extracts a.zip with `engine`; `destination` goes into the request as it is.
    Outcome extractWith(archive_engine::Engine& engine, const std::optional<QString>& destination,
                        bool answer = true, const ProgressHandler& onProgress = {}) {
        Outcome out;
        archive_engine::ExtractionRequest request = m_request;
        request.archive = archivePath();
        request.destination = destination;
        RecordingSink sink(out, engine, answer, onProgress, m_onStarted);
        out.result = engine.extract(request, sink);
        out.findings = engine.findings();
        return out;
    }

    // Everything in the temporary directory except the archive must lie inside "out".
    void expectNothingOutsideDestination(const QStringList& allowed = {}) const {
        for (const auto& [path, content] : treeOf(m_dir.path())) {
            if (path == "a.zip" || path == "out" || path.startsWith("out/") ||
                allowed.contains(path)) {
                continue;
            }
            ADD_FAILURE() << "written outside the destination: " << path.toStdString();
        }
    }

    QTemporaryDir m_dir;
    archive_engine::Engine m_engine;
    // What every extraction asks for besides the archive and the destination.
    archive_engine::ExtractionRequest m_request;
    // Called with each entry the sink is told has started.
    std::function<void(const QString&)> m_onStarted;
};

} // namespace enginetest
