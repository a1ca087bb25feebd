#include "extraction.h"

#include "platform/folder_times.h"
#include "platform/volumes.h"

#include <QFile>

#include <algorithm>
#include <new>
#include <system_error>

namespace archive_engine {

using platform::TargetStatus;

namespace {

constexpr std::uint64_t kMaxLinkTarget = 4096;
constexpr int kMaxNumberedName = 10000;
constexpr qint64 kProgressInterval = 100; // ms
// How long the writing side waits for content before it looks at the abort flag again.
constexpr std::chrono::milliseconds kContentPoll{20};
// Open folders kept at once; each holds a file descriptor.
constexpr std::size_t kMaxOpenFolders = 64;

int unixMode(const ZipEntry& entry) {
    const std::uint32_t bits = entry.unixMode() & 0777;
    return entry.madeOnUnix() && bits != 0 ? int(bits) : -1;
}

std::optional<std::int64_t> modificationTime(const ZipEntry& entry) {
    return entry.hasModificationTime ? std::optional(entry.modificationTime) : std::nullopt;
}

} // namespace

// Sends an entry's content to a temporary file, counting progress and watching for an
// abort after every chunk.
class FileOutput : public EntryOutput {
public:
    FileOutput(Extraction& extraction, platform::TempOutput& temp)
        : m_extraction(extraction), m_temp(temp) {}

    bool consume(const char* data, std::size_t size) override {
        status = m_temp.write(data, size);
        return status == TargetStatus::Ok && m_extraction.advance(size);
    }

    TargetStatus status = TargetStatus::Ok;

private:
    Extraction& m_extraction;
    platform::TempOutput& m_temp;
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

Extraction::Extraction(ArchiveEngine& engine, const std::atomic<bool>& abortRequested,
                       std::unique_ptr<DecodeMemory>& memory, platform::DurableSet& placed)
    : m_engine(engine), m_abortRequested(abortRequested), m_memory(memory), m_placed(placed) {}

Extraction::~Extraction() = default;

ArchiveEngine::Result Extraction::run() {
    // Never fall back to the process's working directory: it is not what anybody chose.
    if (m_engine.ExtractDirectory.trimmed().isEmpty()) {
        return ArchiveEngine::DestinationEmpty;
    }
    if (const auto result = openArchive(); result != ArchiveEngine::Success) {
        return result;
    }
    if (const auto result = prepareDestination(); result != ArchiveEngine::Success) {
        return result;
    }
    std::vector<Selected> selected = selectEntries();
    m_sinceProgress.start();
    if (selected.empty()) {
        emit m_engine.progress(0);
        emit m_engine.progress(100);
        return ArchiveEngine::NothingToExtract;
    }
    if (const auto result = checkFreeSpace(selected); result != ArchiveEngine::Success) {
        return result;
    }
    if (!startPipeline(selected)) {
        // No thread to decode on (the process is out of threads or memory): fail before
        // anything is written, the archive stays.
        return ArchiveEngine::CannotOpenArchive;
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
        return ArchiveEngine::Aborted;
    }
    setFolderTimes();
    if (m_spaceSkips) {
        return ArchiveEngine::InsufficientSpace;
    }
    if (m_errorSkips) {
        return ArchiveEngine::EntriesSkipped;
    }
    m_lastPercent = -1;
    emit m_engine.progress(100);
    return ArchiveEngine::Success;
}

ArchiveEngine::Result Extraction::openArchive() {
    const QString host = platform::toHostPath(m_engine.ZipFileName);
    if (host.isEmpty()) {
        return ArchiveEngine::CannotOpenArchive;
    }
    m_archiveFile.setFileName(host);
    if (!m_archiveFile.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        return ArchiveEngine::CannotOpenArchive;
    }
    m_archiveStamp = platform::stampOf(m_archiveFile.handle());
    m_archiveRead = platform::fileIdOf(m_archiveFile.handle());
    m_directory = readZipDirectory(m_archiveFile);
    switch (m_directory.status) {
    case ZipDirectory::NotAZip:
        return ArchiveEngine::CannotOpenArchive;
    case ZipDirectory::Damaged:
    case ZipDirectory::Overlapping:
        return ArchiveEngine::CorruptArchive;
    case ZipDirectory::Ok:
        break;
    }
    return ArchiveEngine::Success;
}

ArchiveEngine::Result Extraction::prepareDestination() {
    const platform::Resolved resolved = platform::resolve(m_engine.ExtractDirectory);
    if (resolved.error != 0) {
        return ArchiveEngine::DestinationMissing;
    }
    m_destinationHost = resolved.hostPath;
    if (!platform::hostIsDirectory(m_destinationHost)) {
        if (platform::hostExists(m_destinationHost)) {
            return ArchiveEngine::DestinationNotWritable; // a file (or dangling link) is there
        }
        qint16 answer = 0;
        emit m_engine.queryCreateDirectory(m_engine.ExtractDirectory, answer);
        if (answer == 0) {
            return ArchiveEngine::DestinationMissing;
        }
        if (!platform::makeHostDirectories(m_destinationHost)) {
            return ArchiveEngine::DestinationNotWritable;
        }
    }
    TargetStatus status;
    m_root = platform::TargetDir::openRoot(m_destinationHost, &status);
    if (status != TargetStatus::Ok || !m_root.writable()) {
        return ArchiveEngine::DestinationNotWritable;
    }
    return ArchiveEngine::Success;
}

std::vector<Extraction::Selected> Extraction::selectEntries() const {
    std::vector<Selected> selected;
    for (std::size_t i = 0; i < m_directory.entries.size(); ++i) {
        const ZipEntry& entry = m_directory.entries[i];
        EntryPath path = sanitizeEntryName(entry.name);
        // Without recursion only the archive's top level is taken.
        if (!m_engine.recurse && path.components.size() > 1) {
            continue;
        }
        if (!path.isDirectory &&
            !matchesFileSpec(lastComponent(entry.name), m_engine.FilesToProcess)) {
            continue;
        }
        selected.push_back({i, std::move(path)});
    }
    return selected;
}

ArchiveEngine::Result Extraction::checkFreeSpace(const std::vector<Selected>& selected) {
    for (const Selected& item : selected) {
        const std::uint64_t size = m_directory.entries[item.index].uncompressedSize;
        m_totalBytes = size > UINT64_MAX - m_totalBytes ? UINT64_MAX : m_totalBytes + size;
    }
    // A test drive may state its own free-space figure; otherwise ask the file system.
    std::optional<std::uint64_t> free;
    if (const platform::Volume* volume = platform::volumeTable().containing(m_destinationHost);
        volume && volume->freeBytes) {
        free = volume->freeBytes;
    } else {
        free = platform::hostFreeBytes(m_destinationHost);
    }
    if (free && m_totalBytes > *free) {
        return ArchiveEngine::InsufficientSpace;
    }
    return ArchiveEngine::Success;
}

bool Extraction::needsContent(const Selected& item) const {
    const ZipEntry& entry = m_directory.entries[item.index];
    if (!item.path.safe || item.path.components.isEmpty() || item.path.isDirectory) {
        return false;
    }
    if (entry.isSymlink()) {
        return entry.uncompressedSize <= kMaxLinkTarget && entry.dataIntact;
    }
    return entry.dataIntact && !entry.encrypted() && EntryDecoder::canDecode(entry.method);
}

bool Extraction::startPipeline(std::vector<Selected>& selected) {
    std::vector<DecodePipeline::Job> jobs;
    for (Selected& item : selected) {
        item.decoded = needsContent(item);
        if (item.decoded) {
            jobs.push_back({&m_directory.entries[item.index]});
        }
    }
    if (jobs.empty()) {
        return true;
    }
    try {
        if (!m_memory) {
            m_memory = std::make_unique<DecodeMemory>();
        }
        m_pipeline = std::make_unique<DecodePipeline>(m_archiveFile, std::move(jobs), *m_memory);
    } catch (const std::system_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

DecodeResult Extraction::receive(EntryOutput& output, bool abortable) {
    DecodePipeline::Piece piece;
    for (;;) {
        if (!m_pipeline->next(&piece, kContentPoll)) {
            if (abortable) {
                reportProgress(false);
                if (m_abortRequested.load()) {
                    m_aborted = true;
                    return DecodeResult::Stopped;
                }
            }
            continue;
        }
        if (piece.last) {
            return piece.verdict;
        }
        const bool more = output.consume(piece.data, piece.size);
        piece = {}; // its buffer may go back to the pool
        if (!more) {
            return DecodeResult::Stopped;
        }
    }
}

bool Extraction::archiveUnchanged() const {
    return m_archiveStamp && platform::stampOf(m_archiveFile.handle()) == m_archiveStamp;
}

void Extraction::extractEntry(const Selected& item) {
    const ZipEntry& entry = m_directory.entries[item.index];
    emit m_engine.entryStarted(entry.name);
    const std::uint64_t doneBefore = m_doneBytes;
    if (!item.path.safe) {
        skip(entry, ArchiveEngine::SkipUnsafePath);
    } else if (item.path.components.isEmpty()) {
        // "./": the destination itself, which exists.
    } else if (item.path.isDirectory) {
        makeDirectory(entry, item.path);
    } else if (entry.isSymlink()) {
        makeLink(item);
    } else if (!entry.dataIntact) {
        skip(entry, ArchiveEngine::SkipCorrupted);
    } else {
        writeFile(item);
    }
    if (item.decoded) {
        m_pipeline->endJob();
    }
    // A skipped entry still counts as covered, so the bar keeps its pace.
    m_doneBytes = doneBefore + entry.uncompressedSize;
}

const platform::TargetDir* Extraction::parentFolder(const QStringList& components,
                                                    TargetStatus* status) {
    const QStringList folder = components.mid(0, components.size() - 1);
    *status = TargetStatus::Ok;
    if (folder.isEmpty()) {
        return &m_root;
    }
    if (const auto found = m_folders.find(folder); found != m_folders.end()) {
        return &found->second;
    }
    if (m_folders.size() + std::size_t(folder.size()) > kMaxOpenFolders) {
        m_folders.clear();
    }
    // From the deepest folder already open, one component at a time, keeping each.
    qsizetype depth = folder.size() - 1;
    const platform::TargetDir* current = &m_root;
    for (; depth > 0; --depth) {
        if (const auto found = m_folders.find(folder.mid(0, depth)); found != m_folders.end()) {
            current = &found->second;
            break;
        }
    }
    for (; depth < folder.size(); ++depth) {
        platform::TargetDir child = current->openChild(folder.at(depth), -1, status);
        if (*status != TargetStatus::Ok) {
            return nullptr;
        }
        current = &(m_folders[folder.mid(0, depth + 1)] = std::move(child));
    }
    return current;
}

void Extraction::makeDirectory(const ZipEntry& entry, const EntryPath& path) {
    TargetStatus status;
    const platform::TargetDir* parent = parentFolder(path.components, &status);
    if (parent) {
        platform::TargetDir made =
            parent->openChild(path.components.back(), unixMode(entry), &status);
        if (status == TargetStatus::Ok) {
            m_placed.add(parent->fd());
            if (entry.hasModificationTime) {
                m_folderTimes.emplace_back(path.components, entry.modificationTime);
            }
        }
        if (status == TargetStatus::Ok && m_folders.size() < kMaxOpenFolders) {
            m_folders.emplace(path.components, std::move(made));
        }
    }
    if (status != TargetStatus::Ok) {
        skipForTarget(entry, status);
    }
}

void Extraction::setFolderTimes() {
    for (const auto& [components, mtime] : m_folderTimes) {
        TargetStatus status;
        // A time that cannot be set loses nothing of the content: not a skip.
        if (const platform::TargetDir* parent = parentFolder(components, &status)) {
            platform::setFolderTime(*parent, components.back(), mtime);
        }
    }
}

void Extraction::makeLink(const Selected& item) {
    const ZipEntry& entry = m_directory.entries[item.index];
    if (entry.uncompressedSize > kMaxLinkTarget || !entry.dataIntact) {
        skip(entry, ArchiveEngine::SkipCorrupted);
        return;
    }
    BufferOutput target;
    // A link's target is a few bytes, decoded by now or nearly: no abort check while waiting.
    const DecodeResult decoded = receive(target, false);
    if (decoded != DecodeResult::Ok) {
        skipForDecode(entry, decoded);
        return;
    }
    if (target.bytes.contains('\0') || !linkStaysInside(item.path.components, target.bytes)) {
        skip(entry, ArchiveEngine::SkipLinkEscapes);
        return;
    }
    if (!archiveUnchanged()) {
        skip(entry, ArchiveEngine::SkipCorrupted);
        return;
    }
    TargetStatus status;
    const platform::TargetDir* parent = parentFolder(item.path.components, &status);
    if (!parent) {
        skipForTarget(entry, status);
        return;
    }
    const QString leaf = item.path.components.back();
    for (int number = 1; number <= kMaxNumberedName; ++number) {
        const QString name = number == 1 ? leaf : numberedName(leaf, number);
        bool taken = false;
        status = parent->createLink(name, target.bytes, modificationTime(entry), &taken);
        if (status == TargetStatus::Ok) {
            m_placed.add(parent->fd());
            return;
        }
        if (!taken) {
            skipForTarget(entry, status);
            return;
        }
        if (parent->isLinkTo(name, target.bytes)) {
            skip(entry, ArchiveEngine::SkipUpToDate);
            return;
        }
    }
    skip(entry, ArchiveEngine::SkipCannotOpen);
}

void Extraction::writeFile(const Selected& item) {
    const ZipEntry& entry = m_directory.entries[item.index];
    if (entry.encrypted()) {
        skip(entry, ArchiveEngine::SkipBadPassword);
        return;
    }
    if (!EntryDecoder::canDecode(entry.method)) {
        skip(entry, ArchiveEngine::SkipUnknownMethod);
        return;
    }
    TargetStatus status;
    const platform::TargetDir* parent = parentFolder(item.path.components, &status);
    if (!parent) {
        skipForTarget(entry, status);
        return;
    }
    platform::TempOutput temp;
    status = temp.create(*parent);
    if (status != TargetStatus::Ok) {
        skipForTarget(entry, status);
        return;
    }
    FileOutput output(*this, temp);
    const DecodeResult decoded = receive(output, true);
    if (decoded == DecodeResult::Stopped) {
        if (m_aborted) {
            skip(entry, ArchiveEngine::SkipAborted);
        } else {
            skipForTarget(entry, output.status);
        }
        return;
    }
    if (decoded != DecodeResult::Ok) {
        skipForDecode(entry, decoded);
        return;
    }
    status = temp.finish(unixMode(entry), modificationTime(entry));
    if (status != TargetStatus::Ok) {
        skipForTarget(entry, status);
        return;
    }
    // The content may have been read well before the archive changed; a changed archive is
    // not what the user asked to extract, and must not count as extracted (the program
    // deletes archives that were).
    if (!archiveUnchanged()) {
        skip(entry, ArchiveEngine::SkipCorrupted);
        return;
    }
    // Nothing on disk is replaced: an identical file means the entry is already there,
    // a different one keeps its name and the entry takes the first free "name (n)".
    const QString leaf = item.path.components.back();
    for (int number = 1; number <= kMaxNumberedName; ++number) {
        const QString name = number == 1 ? leaf : numberedName(leaf, number);
        // The move itself refuses a name that is held, by anything: no look-up first.
        bool taken = false;
        status = temp.placeAs(name, &taken);
        if (status == TargetStatus::Ok) {
            m_placed.add(parent->fd());
            return;
        }
        if (!taken) {
            skipForTarget(entry, status);
            return;
        }
        if (temp.sameContentAs(name)) {
            skip(entry, ArchiveEngine::SkipUpToDate);
            return;
        }
    }
    skip(entry, ArchiveEngine::SkipCannotOpen);
}

void Extraction::skip(const ZipEntry& entry, ArchiveEngine::SkipReason reason) {
    if (reason == ArchiveEngine::SkipInsufficientSpace) {
        m_spaceSkips = true;
    }
    if (reason != ArchiveEngine::SkipUpToDate && reason != ArchiveEngine::SkipAborted) {
        m_errorSkips = true;
    }
    emit m_engine.skippingFile(entry.name, reason);
}

void Extraction::skipForTarget(const ZipEntry& entry, TargetStatus status) {
    switch (status) {
    case TargetStatus::ThroughLink:
        skip(entry, ArchiveEngine::SkipThroughLink);
        break;
    case TargetStatus::NoSpace:
        skip(entry, ArchiveEngine::SkipInsufficientSpace);
        break;
    case TargetStatus::Ok:
    case TargetStatus::NotADirectory:
    case TargetStatus::Failed:
        skip(entry, ArchiveEngine::SkipCannotOpen);
        break;
    }
}

void Extraction::skipForDecode(const ZipEntry& entry, DecodeResult result) {
    switch (result) {
    case DecodeResult::UnknownMethod:
        skip(entry, ArchiveEngine::SkipUnknownMethod);
        break;
    case DecodeResult::BadPassword:
        skip(entry, ArchiveEngine::SkipBadPassword);
        break;
    case DecodeResult::BadCrc:
        skip(entry, ArchiveEngine::SkipBadCrc);
        break;
    case DecodeResult::OutOfMemory:
        skip(entry, ArchiveEngine::SkipCannotOpen);
        break;
    case DecodeResult::Ok:
    case DecodeResult::Corrupted:
    case DecodeResult::Stopped:
        skip(entry, ArchiveEngine::SkipCorrupted);
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
        emit m_engine.progress(qint16(percent));
    }
}

} // namespace archive_engine
