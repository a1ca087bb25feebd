#pragma once

// The engine's core, one extraction: checks the archive and the destination, then extracts
// the selected entries one by one, telling its sink on the calling thread. The entries'
// content is decoded ahead on a worker thread (DecodePipeline); everything that touches
// the destination, and every call to the sink, stays on the calling thread in entry order.

#include "disk/extract_target.h"
#include "disk/fd.h"
#include "pipeline/decode_pipeline.h"
#include "pipeline/folder_cache.h"
#include "zip/entry_name.h"
#include "zip/zip_directory.h"

#include <velmarch/engine.h>

#include <QElapsedTimer>
#include <QFile>

#include <atomic>
#include <memory>
#include <optional>

namespace archive_engine {

class Extraction {
public:
    using SmallFiles = DecodePipeline::SmallFiles;

    // `memory` is used and, when empty, filled: the caller keeps it for the next call.
    // What is placed is recorded in `placed`, so that it can be made durable.
    Extraction(const ExtractionRequest& request, ExtractionSink& sink,
               const std::atomic<bool>& abortRequested, std::unique_ptr<DecodeMemory>& memory,
               disk::DurableSet& placed, SmallFiles smallFiles = SmallFiles::Shared);
    ~Extraction();

    Result run();
    // The archive file as it was opened.
    std::optional<FileId> archiveRead() const { return m_archiveRead; }
    // Why the extraction ended as it did.
    const Findings& findings() const { return m_findings; }

private:
    // What becomes of an entry, decided once from the directory before anything is read.
    // Kept small, one per selected entry: the name is decoded again when the entry is
    // placed rather than held for every entry of the archive.
    enum class Action : std::uint8_t { Skip, Nothing, MakeDirectory, MakeLink, WriteFile };
    struct Selected {
        std::size_t index;
        Action action = Action::Nothing;
        SkipReason reason = SkipCorrupted; // with Action::Skip
        // Its content comes from the pipeline.
        bool decoded() const { return action == Action::MakeLink || action == Action::WriteFile; }
    };
    // The entry being placed, with its name as text and as components.
    struct Placing {
        std::size_t index;
        const ZipEntry& entry;
        QString name;
        EntryPath path;
    };

    Result openArchive();
    Result prepareDestination();
    std::vector<Selected> selectEntries() const;
    Selected plan(std::size_t index, const EntryPath& path) const;
    Result checkFreeSpace(const std::vector<Selected>& selected);
    // False when the worker cannot be started.
    bool startPipeline(const std::vector<Selected>& selected);
    // The current job's content into `output` (none when the worker made its file), then
    // its verdict.
    // With `abortable`, an abort seen while waiting stops it (the verdict is then Stopped,
    // with m_aborted set).
    DecodePipeline::Piece receive(EntryOutput* output, bool abortable);
    // The entry's content in a finished file, not placed yet: made here, or whole by the
    // decoding thread. Nothing when it could not be made; the entry is then skipped.
    std::unique_ptr<disk::TempOutput> receiveFile(const Placing& item,
                                                  const disk::TargetDir& parent);
    // False when the archive file was changed since it was opened: content read ahead
    // may then no longer be what the archive holds.
    bool archiveUnchanged() const;

    void extractEntry(const Selected& item);
    // The folder holding an entry, opened (and, with `create`, made) below the destination.
    const disk::TargetDir* parentFolder(const QStringList& components, disk::TargetStatus* status,
                                        bool create = true);
    // Remembers the file system of a folder something was placed in.
    void placedIn(const disk::TargetDir* folder);
    void makeDirectory(const Placing& item);
    // Gives the archive's folders their times, once nothing more is placed in them.
    void setFolderTimes();
    void makeLink(const Placing& item);
    void writeFile(const Placing& item);

    // `systemError`: the host's error behind the skip (errno), 0 when none.
    void skip(const QString& name, SkipReason reason, int systemError = 0);
    // With the error of this thread's last failed host call.
    void skipForTarget(const QString& name, disk::TargetStatus status);
    void skipForTarget(const QString& name, disk::TargetStatus status, int systemError);
    void skipForDecode(const QString& name, DecodeResult result, int systemError);
    // Accounts for produced bytes and raises progress when due; false once an abort is
    // requested.
    bool advance(std::uint64_t bytes);
    void reportProgress(bool force);

    friend class FileOutput;

    // Open folders kept at once by the writing side; each holds a file descriptor.
    static constexpr std::size_t kFoldersHeld = 64;

    const ExtractionRequest& m_request;
    ExtractionSink& m_sink;
    const std::atomic<bool>& m_abortRequested;
    std::unique_ptr<DecodeMemory>& m_memory;
    disk::DurableSet& m_placed;
    std::optional<FileId> m_archiveRead;
    Findings m_findings;

    QString m_destinationHost;
    const SmallFiles m_smallFiles;
    // Kept open to see changes to the archive. The archive's reader, handed to the
    // decoding thread, has a descriptor of its own.
    disk::Fd m_archiveFd;
    std::unique_ptr<QFile> m_archiveReader;
    std::optional<disk::FileStamp> m_archiveStamp;
    ZipDirectory m_directory;
    disk::TargetDir m_root;
    // Declared after the archive and its directory: it is stopped before they go away.
    std::unique_ptr<DecodePipeline> m_pipeline;

    // The folders entries are placed in. We never remove or rename anything, so a folder
    // once opened stays the one its path names.
    FolderCache m_folders{m_root, kFoldersHeld};
    std::optional<std::uint64_t> m_lastPlacedOn; // the file system last told to m_placed
    // Folder entries with a time of their own, by their index: their names are decoded
    // again at the end rather than held.
    std::vector<std::pair<std::size_t, std::int64_t>> m_folderTimes;

    std::uint64_t m_totalBytes = 0;
    std::uint64_t m_doneBytes = 0;
    int m_lastPercent = -1;
    QElapsedTimer m_sinceProgress;

    bool m_aborted = false;
    bool m_errorSkips = false;
    bool m_spaceSkips = false;
};

} // namespace archive_engine
