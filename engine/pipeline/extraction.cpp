#include "pipeline/extraction.h"

#include "disk/archive_file.h"
#include "disk/folder_times.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>

namespace archive_engine {

using disk::TargetStatus;

namespace {

constexpr std::uint64_t kMaxLinkTarget = 4096;
constexpr int kMaxNumberedName = 10000;
constexpr qint64 kProgressInterval = 100; // ms
// How long the writing side waits for content before it looks at the abort flag again.
constexpr std::chrono::milliseconds kContentPoll{20};

} // namespace

// Sends an entry's content to a temporary file in its folder, made when the first bytes
// come, counting progress and watching for an abort after every chunk.
class FileOutput : public EntryOutput {
public:
    FileOutput(Extraction& extraction, disk::TempOutput& temp, const disk::TargetDir& folder)
        : m_extraction(extraction), m_temp(temp), m_folder(folder) {}

    bool consume(const char* data, std::size_t size) override {
        if (!made()) {
            return false;
        }
        status = m_temp.write(data, size);
        return status == TargetStatus::Ok && m_extraction.advance(size);
    }

    // Makes the file unless that is done; false, with `status` saying why, when it cannot be.
    bool made() {
        if (!m_made) {
            status = m_temp.create(m_folder);
            m_made = status == TargetStatus::Ok;
        }
        return m_made;
    }

    TargetStatus status = TargetStatus::Ok;

private:
    Extraction& m_extraction;
    disk::TempOutput& m_temp;
    const disk::TargetDir& m_folder;
    bool m_made = false;
};

// Collects a link's target, which is small and never touches the disk as a file.
class BufferOutput : public EntryOutput {
public:
    bool consume(const char* data, std::size_t size) override {
        bytes.append(data, qsizetype(size));
        return true;
    }
    QByteArray bytes;
};

Extraction::Extraction(const ExtractionRequest& request, ExtractionSink& sink,
                       const std::atomic<bool>& abortRequested,
                       std::unique_ptr<DecodeMemory>& memory, disk::DurableSet& placed,
                       SmallFiles smallFiles)
    : m_request(request), m_sink(sink), m_abortRequested(abortRequested), m_memory(memory),
      m_placed(placed), m_smallFiles(smallFiles) {}

Extraction::~Extraction() = default;

Result Extraction::run() {
    // Never fall back to the process's working directory: it is not what anybody chose.
    if (m_request.destination && m_request.destination->isEmpty()) {
        return DestinationEmpty;
    }
    if (const auto result = openArchive(); result != Success) {
        return result;
    }
    if (const auto result = prepareDestination(); result != Success) {
        return result;
    }
    std::vector<Selected> selected = selectEntries();
    m_sinceProgress.start();
    if (selected.empty()) {
        m_sink.progress(0);
        m_sink.progress(100);
        return NothingToExtract;
    }
    if (const auto result = checkFreeSpace(selected); result != Success) {
        return result;
    }
    if (!startPipeline(selected)) {
        // No thread to decode on (the process is out of threads, descriptors or memory):
        // fail before anything is written, the archive stays.
        return OutOfResources;
    }
    reportProgress(true);
    for (const Selected& item : selected) {
        if (m_abortRequested.load()) {
            m_aborted = true;
            break;
        }
        extractEntry(item);
        if (m_aborted) {
            break;
        }
        reportProgress(false);
    }
    if (m_aborted) {
        return Aborted;
    }
    setFolderTimes();
    if (m_spaceSkips) {
        return InsufficientSpace;
    }
    if (m_errorSkips) {
        return EntriesSkipped;
    }
    m_lastPercent = -1;
    m_sink.progress(100);
    return Success;
}

Result Extraction::openArchive() {
    if (!m_request.archive || m_request.archive->isEmpty()) {
        return CannotOpenArchive;
    }
    std::optional<disk::ArchiveFile> file = disk::openArchiveFile(*m_request.archive);
    if (!file) {
        m_findings.systemError = errno;
        return CannotOpenArchive;
    }
    // The reader goes to the decoding thread; this thread watches through its own
    // descriptor.
    m_archiveFd = std::move(file->watch);
    m_archiveReader = std::move(file->reader);
    m_archiveStamp = disk::stampOf(m_archiveFd.get());
    m_archiveRead = disk::fileIdOf(m_archiveFd.get());
    m_directory = readZipDirectory(*m_archiveReader);
    m_findings.archiveProblem = m_directory.problem;
    m_findings.systemError = m_directory.readError;
    switch (m_directory.status) {
    case ZipDirectory::NotAZip:
    case ZipDirectory::Unreadable:
        return CannotOpenArchive;
    case ZipDirectory::Damaged:
    case ZipDirectory::Overlapping:
        return CorruptArchive;
    case ZipDirectory::Ok:
        break;
    }
    return Success;
}

Result Extraction::prepareDestination() {
    if (!m_request.destination) {
        return DestinationMissing;
    }
    m_destinationHost = *m_request.destination;
    if (!disk::hostIsDirectory(m_destinationHost)) {
        if (disk::hostExists(m_destinationHost)) {
            m_findings.systemError = ENOTDIR;
            return DestinationNotWritable; // a file (or dangling link) is there
        }
        if (!m_sink.createDestination()) {
            return DestinationMissing;
        }
        if (!disk::makeHostDirectories(m_destinationHost)) {
            m_findings.systemError = errno;
            return DestinationNotWritable;
        }
    }
    TargetStatus status;
    m_root = disk::TargetDir::openRoot(m_destinationHost, &status);
    if (status != TargetStatus::Ok) {
        m_findings.systemError = disk::lastError();
        return DestinationNotWritable;
    }
    if (!m_root.writable()) {
        m_findings.systemError = errno;
        return DestinationNotWritable;
    }
    return Success;
}

Extraction::Selected Extraction::plan(std::size_t index, const EntryPath& path) const {
    const ZipEntry& entry = m_directory.entries[index];
    Selected item{index};
    auto skipAs = [&](SkipReason reason) {
        item.action = Action::Skip;
        item.reason = reason;
        return item;
    };
    if (!path.safe) {
        return skipAs(SkipUnsafePath);
    }
    // A folder holds no bytes of its own: content in a folder entry would be dropped while
    // the archive counted as extracted.
    if (path.isDirectory && entry.uncompressedSize > 0) {
        return skipAs(SkipCorrupted);
    }
    if (path.components.isEmpty()) {
        return item; // "./": the destination itself, which exists
    }
    if (path.isDirectory) {
        item.action = Action::MakeDirectory;
        return item;
    }
    if (!entry.dataIntact) {
        return skipAs(SkipCorrupted);
    }
    if (entry.isSymlink()) {
        if (entry.uncompressedSize > kMaxLinkTarget) {
            return skipAs(SkipCorrupted);
        }
        item.action = Action::MakeLink;
        return item;
    }
    // Before the method: AES-encrypted entries carry a method number of their own, and
    // what they lack is a password, not a decoder.
    if (entry.encrypted()) {
        return skipAs(SkipBadPassword);
    }
    if (!EntryDecoder::canDecode(entry.method)) {
        return skipAs(SkipUnknownMethod);
    }
    item.action = Action::WriteFile;
    return item;
}

std::vector<Extraction::Selected> Extraction::selectEntries() const {
    std::vector<Selected> selected;
    for (std::size_t i = 0; i < m_directory.entries.size(); ++i) {
        const QString name = m_directory.name(m_directory.entries[i]);
        const EntryPath path = sanitizeEntryName(name);
        // Without recursion only the archive's top level is taken.
        if (!m_request.recurse && path.components.size() > 1) {
            continue;
        }
        if (!path.isDirectory && m_request.selects && !m_request.selects(lastComponent(name))) {
            continue;
        }
        selected.push_back(plan(i, path));
    }
    return selected;
}

Result Extraction::checkFreeSpace(const std::vector<Selected>& selected) {
    for (const Selected& item : selected) {
        const std::uint64_t size = m_directory.entries[item.index].uncompressedSize;
        m_totalBytes = size > UINT64_MAX - m_totalBytes ? UINT64_MAX : m_totalBytes + size;
    }
    const std::optional<std::uint64_t> free =
        m_request.freeSpace ? m_request.freeSpace(m_destinationHost) : std::nullopt;
    if (free && m_totalBytes > *free) {
        return InsufficientSpace;
    }
    return Success;
}

bool Extraction::startPipeline(const std::vector<Selected>& selected) {
    std::vector<DecodePipeline::Job> jobs;
    for (const Selected& item : selected) {
        if (item.decoded()) {
            const ZipEntry& entry = m_directory.entries[item.index];
            jobs.push_back({&entry, item.action == Action::WriteFile &&
                                        entry.uncompressedSize <= DecodePipeline::kMaxSmallFile});
        }
    }
    if (jobs.empty()) {
        return true;
    }
    TargetStatus status;
    disk::TargetDir workerRoot = m_root.duplicate(&status);
    if (status != TargetStatus::Ok) {
        m_findings.systemError = disk::lastError();
        return false;
    }
    try {
        if (!m_memory) {
            m_memory = std::make_unique<DecodeMemory>();
        }
        m_pipeline = std::make_unique<DecodePipeline>(std::move(m_archiveReader), m_directory,
                                                      std::move(jobs), *m_memory,
                                                      std::move(workerRoot), m_smallFiles);
    } catch (const std::system_error& error) {
        m_findings.systemError = error.code().value();
        return false;
    } catch (const std::bad_alloc&) {
        m_findings.systemError = ENOMEM;
        return false;
    }
    return true;
}

DecodePipeline::Piece Extraction::receive(EntryOutput* output, bool abortable) {
    DecodePipeline::Piece piece;
    for (;;) {
        if (!m_pipeline->next(&piece, kContentPoll)) {
            if (abortable) {
                reportProgress(false);
                if (m_abortRequested.load()) {
                    m_aborted = true;
                    piece.verdict = DecodeResult::Stopped;
                    return piece;
                }
            }
            continue;
        }
        if (piece.last) {
            return piece;
        }
        const bool more = output && output->consume(piece.data, piece.size);
        piece = {}; // its buffer may go back to the pool
        if (!more) {
            piece.verdict = DecodeResult::Stopped;
            return piece;
        }
    }
}

bool Extraction::archiveUnchanged() const {
    return m_archiveStamp && disk::stampOf(m_archiveFd.get()) == m_archiveStamp;
}

void Extraction::extractEntry(const Selected& item) {
    const ZipEntry& entry = m_directory.entries[item.index];
    Placing placing{item.index, entry, m_directory.name(entry), {}};
    disk::clearLastError();
    m_sink.entryStarted(placing.name);
    const std::uint64_t doneBefore = m_doneBytes;
    if (item.action != Action::Skip && item.action != Action::Nothing) {
        // The same split as at selection, which found the name safe.
        placing.path = sanitizeEntryName(placing.name);
    }
    switch (item.action) {
    case Action::Skip:
        skip(placing.name, item.reason);
        break;
    case Action::Nothing:
        break;
    case Action::MakeDirectory:
        makeDirectory(placing);
        break;
    case Action::MakeLink:
        makeLink(placing);
        break;
    case Action::WriteFile:
        writeFile(placing);
        break;
    }
    if (item.decoded()) {
        m_pipeline->endJob();
    }
    // A skipped entry still counts as covered, so the bar keeps its pace.
    m_doneBytes = doneBefore + entry.uncompressedSize;
}

const disk::TargetDir* Extraction::parentFolder(const QStringList& components, TargetStatus* status,
                                                bool create) {
    const std::size_t depth = components.isEmpty() ? 0 : std::size_t(components.size() - 1);
    return m_folders.open(std::span(components.cbegin(), depth), create, status);
}

void Extraction::placedIn(const disk::TargetDir* folder) {
    // Each add asks the kernel for the folder's file system: once per file system in a row
    // is enough.
    const std::optional<FileId> id = folder->id();
    if (!id || id->device != m_lastPlacedOn) {
        m_placed.add(folder->fd());
        m_lastPlacedOn = id ? std::optional(id->device) : std::nullopt;
    }
}

void Extraction::makeDirectory(const Placing& item) {
    const ZipEntry& entry = item.entry;
    const EntryPath& path = item.path;
    TargetStatus status;
    const disk::TargetDir* parent = parentFolder(path.components, &status);
    if (parent) {
        disk::TargetDir made =
            parent->openChild(path.components.back(), entry.placedMode(), &status);
        if (status == TargetStatus::Ok) {
            placedIn(parent);
            if (entry.hasModificationTime) {
                m_folderTimes.emplace_back(item.index, entry.modificationTime);
            }
            m_folders.hold(path.components, std::move(made));
        }
    }
    if (status != TargetStatus::Ok) {
        skipForTarget(item.name, status);
    }
}

void Extraction::setFolderTimes() {
    for (const auto& [index, mtime] : m_folderTimes) {
        const EntryPath path = sanitizeEntryName(m_directory.name(m_directory.entries[index]));
        TargetStatus status;
        // A time that cannot be set loses nothing of the content: not a skip.
        if (const disk::TargetDir* parent = parentFolder(path.components, &status, false)) {
            disk::setFolderTime(*parent, path.components.back(), mtime);
        }
    }
}

void Extraction::makeLink(const Placing& item) {
    const ZipEntry& entry = item.entry;
    BufferOutput target;
    // A link's target is a few bytes, decoded by now or nearly: no abort check while waiting.
    const DecodeResult decoded = receive(&target, false).verdict;
    if (decoded != DecodeResult::Ok) {
        skipForDecode(item.name, decoded, 0);
        return;
    }
    const QStringList folder = item.path.components.mid(0, item.path.components.size() - 1);
    if (!disk::linkStaysInside(m_root, folder, target.bytes)) {
        skip(item.name, SkipLinkEscapes);
        return;
    }
    if (!archiveUnchanged()) {
        skip(item.name, SkipCorrupted);
        return;
    }
    TargetStatus status;
    const disk::TargetDir* parent = parentFolder(item.path.components, &status);
    if (!parent) {
        skipForTarget(item.name, status);
        return;
    }
    const QString leaf = item.path.components.back();
    for (int number = 1; number <= kMaxNumberedName; ++number) {
        const QString name = number == 1 ? leaf : numberedName(leaf, number);
        bool taken = false;
        status = parent->createLink(name, target.bytes, entry.placedTime(), &taken);
        if (status == TargetStatus::Ok) {
            placedIn(parent);
            return;
        }
        if (!taken) {
            skipForTarget(item.name, status);
            return;
        }
        if (parent->isLinkTo(name, target.bytes)) {
            skip(item.name, SkipUpToDate);
            return;
        }
    }
    skip(item.name, SkipCannotOpen);
}

std::unique_ptr<disk::TempOutput> Extraction::receiveFile(const Placing& item,
                                                          const disk::TargetDir& parent) {
    auto own = std::make_unique<disk::TempOutput>();
    FileOutput output(*this, *own, parent);
    DecodePipeline::Piece verdict = receive(&output, true);
    // Made whole by the decoding thread, in the entry's folder; `own` then stays unused.
    const bool madeAhead = verdict.file != nullptr;
    std::unique_ptr<disk::TempOutput> file = madeAhead ? std::move(verdict.file) : std::move(own);
    if (madeAhead) {
        if (!file->moveTo(parent)) {
            skip(item.name, SkipCannotOpen);
            return nullptr;
        }
    }
    if (verdict.verdict == DecodeResult::Stopped) {
        if (m_aborted) {
            skip(item.name, SkipAborted);
        } else if (verdict.fileStatus != TargetStatus::Ok) {
            skipForTarget(item.name, verdict.fileStatus, verdict.systemError);
        } else {
            skipForTarget(item.name, output.status);
        }
        return nullptr;
    }
    if (verdict.verdict != DecodeResult::Ok) {
        skipForDecode(item.name, verdict.verdict, verdict.systemError);
        return nullptr;
    }
    // An empty entry sends no bytes: its file is made now.
    if (!madeAhead && !output.made()) {
        skipForTarget(item.name, output.status);
        return nullptr;
    }
    if (!file->finished()) {
        const TargetStatus status = file->finish(item.entry.placedMode(), item.entry.placedTime());
        if (status != TargetStatus::Ok) {
            skipForTarget(item.name, status);
            return nullptr;
        }
    }
    return file;
}

void Extraction::writeFile(const Placing& item) {
    TargetStatus status;
    const disk::TargetDir* parent = parentFolder(item.path.components, &status);
    if (!parent) {
        skipForTarget(item.name, status);
        return;
    }
    const std::unique_ptr<disk::TempOutput> file = receiveFile(item, *parent);
    if (!file) {
        return;
    }
    // The content may have been read well before the archive changed; a changed archive is
    // not what the user asked to extract, and must not count as extracted (the program
    // deletes archives that were).
    if (!archiveUnchanged()) {
        skip(item.name, SkipCorrupted);
        return;
    }
    // Nothing on disk is replaced: an identical file means the entry is already there,
    // a different one keeps its name and the entry takes the first free "name (n)".
    const QString leaf = item.path.components.back();
    for (int number = 1; number <= kMaxNumberedName; ++number) {
        const QString name = number == 1 ? leaf : numberedName(leaf, number);
        // The move itself refuses a name that is held, by anything: no look-up first.
        bool taken = false;
        status = file->placeAs(name, &taken);
        if (status == TargetStatus::Ok) {
            placedIn(parent);
            return;
        }
        if (!taken) {
            skipForTarget(item.name, status);
            return;
        }
        if (file->sameContentAs(name)) {
            skip(item.name, SkipUpToDate);
            return;
        }
    }
    skip(item.name, SkipCannotOpen);
}

void Extraction::skip(const QString& name, SkipReason reason, int systemError) {
    if (reason == SkipInsufficientSpace) {
        m_spaceSkips = true;
    }
    ++m_findings.skipped[reason];
    if (reason != SkipUpToDate && reason != SkipAborted) {
        m_errorSkips = true;
        if (!m_findings.firstReason) {
            m_findings.firstReason = reason;
            m_findings.firstSkipped = name;
            m_findings.systemError = systemError;
        }
    }
    m_sink.skipped(name, reason);
}

void Extraction::skipForTarget(const QString& name, TargetStatus status) {
    skipForTarget(name, status, disk::lastError());
}

void Extraction::skipForTarget(const QString& name, TargetStatus status, int systemError) {
    switch (status) {
    case TargetStatus::ThroughLink:
        skip(name, SkipThroughLink, systemError);
        break;
    case TargetStatus::NoSpace:
        skip(name, SkipInsufficientSpace, systemError);
        break;
    case TargetStatus::NameTooLong:
        skip(name, SkipNameTooLong, systemError);
        break;
    case TargetStatus::Ok:
    case TargetStatus::NotADirectory:
    case TargetStatus::Unsupported:
    case TargetStatus::Failed:
        skip(name, SkipCannotOpen, systemError);
        break;
    }
}

void Extraction::skipForDecode(const QString& name, DecodeResult result, int systemError) {
    switch (result) {
    case DecodeResult::UnknownMethod:
        skip(name, SkipUnknownMethod);
        break;
    case DecodeResult::BadPassword:
        skip(name, SkipBadPassword);
        break;
    case DecodeResult::BadCrc:
        skip(name, SkipBadCrc);
        break;
    case DecodeResult::ReadError:
        skip(name, SkipReadError, systemError);
        break;
    case DecodeResult::OutOfMemory:
        skip(name, SkipCannotOpen, ENOMEM);
        break;
    case DecodeResult::Ok:
    case DecodeResult::Corrupted:
    case DecodeResult::Stopped:
        skip(name, SkipCorrupted);
        break;
    }
}

bool Extraction::advance(std::uint64_t bytes) {
    m_doneBytes += bytes;
    reportProgress(false);
    if (m_abortRequested.load()) {
        m_aborted = true;
        return false;
    }
    return true;
}

void Extraction::reportProgress(bool force) {
    // 100 is kept for the end of a successful extraction.
    const int percent =
        m_totalBytes == 0 ? 0
                          : int(std::min(99.0, double(m_doneBytes) * 100.0 / double(m_totalBytes)));
    if (force || percent != m_lastPercent || m_sinceProgress.elapsed() >= kProgressInterval) {
        m_lastPercent = percent;
        m_sinceProgress.restart();
        m_sink.progress(qint16(percent));
    }
}

} // namespace archive_engine
