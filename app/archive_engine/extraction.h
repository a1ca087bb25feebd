#pragma once

// One Extract() call: checks the archive and the destination, then extracts the selected
// entries one by one, raising the engine's signals on the calling thread.

#include "archive_engine.h"
#include "entry_decoder.h"
#include "entry_name.h"
#include "zip_directory.h"

#include "platform/extract_target.h"

#include <QElapsedTimer>

#include <atomic>
#include <memory>

namespace archive_engine {

class Extraction {
public:
    Extraction(ArchiveEngine& engine, const std::atomic<bool>& abortRequested);
    ~Extraction();

    ArchiveEngine::Result run();

private:
    struct Selected {
        std::size_t index;
        EntryPath path;
    };

    ArchiveEngine::Result openArchive();
    ArchiveEngine::Result prepareDestination();
    std::vector<Selected> selectEntries() const;
    ArchiveEngine::Result checkFreeSpace(const std::vector<Selected>& selected);

    void extractEntry(const Selected& item);
    // The folder holding an entry, opened (and created) below the destination.
    const platform::TargetDir* parentFolder(const QStringList& components,
                                            platform::TargetStatus* status);
    void makeDirectory(const ZipEntry& entry, const EntryPath& path);
    void makeLink(const Selected& item);
    void writeFile(const Selected& item);

    void skip(const ZipEntry& entry, ArchiveEngine::SkipReason reason);
    void skipForTarget(const ZipEntry& entry, platform::TargetStatus status);
    void skipForDecode(const ZipEntry& entry, DecodeResult result);
    // Accounts for produced bytes and raises progress when due; false once an abort is
    // requested.
    bool advance(std::uint64_t bytes);
    void reportProgress(bool force);

    friend class FileOutput;

    ArchiveEngine& m_engine;
    const std::atomic<bool>& m_abortRequested;

    QString m_destinationHost;
    std::unique_ptr<zip, void (*)(zip*)> m_zip;
    ZipDirectory m_directory;
    platform::TargetDir m_root;
    EntryDecoder m_decoder;

    // The folder of the previous entry, kept open: entries of one folder usually follow
    // one another.
    QStringList m_folderComponents;
    platform::TargetDir m_folder;
    bool m_folderValid = false;

    std::uint64_t m_totalBytes = 0;
    std::uint64_t m_doneBytes = 0;
    int m_lastPercent = -1;
    QElapsedTimer m_sinceProgress;

    bool m_aborted = false;
    bool m_errorSkips = false;
    bool m_spaceSkips = false;
};

} // namespace archive_engine
