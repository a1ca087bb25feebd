#include "platform/folder_walk.h"

#include "platform/folder_read.h"
#include "platform/volumes.h"

#include <QFile>

#include <algorithm>
#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// A folder to read is opened as itself, never through a link: one that has become a link
// since its parent was read fails here instead of leading the walk elsewhere.
constexpr int kOpenToRead = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// An ancestor opened again only to reach what lies below it: a look-up, no reading.
constexpr int kOpenToPass = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Open folders kept besides the start. Read breadth first, the folders are needed again as
// parents in the order they were read: the first ones kept serve the next level, a parent
// that was not kept costs one look-up from the start, and however wide the level or deep
// the tree, no more are open than this.
constexpr std::size_t kHeldFolders = 64;

// A folder that cannot be opened, in the words the listing uses.
FsError openError(int hostErrno) {
    return hostErrno == ENOENT || hostErrno == ENOTDIR || hostErrno == ELOOP
               ? FsError::of(ErrPathNotFound)
               : fromErrno(hostErrno);
}

} // namespace

FolderWalk::FolderWalk(QString start)
    : m_start(std::move(start)), m_reader(std::make_unique<detail::FolderReader>()) {
    m_nodes.push_back({-1, QByteArray(), 0, 0});
}

FolderWalk::~FolderWalk() {
    for (const auto& [folder, dirFd] : m_held)
        ::close(dirFd);
    if (m_startFd >= 0)
        ::close(m_startFd);
}

FolderState FolderWalk::read(Id folder, const QString& pattern, QStringList* files,
                             std::vector<Subfolder>* folders) {
    folders->clear();
    int dirFd = -1;
    if (folder == 0) {
        // The start is the folder the user chose: a link there is taken where it leads.
        const Resolved resolved = resolve(m_start);
        if (resolved.error)
            return {AttrDirectory, FsError::of(resolved.error)};
        m_startHost = resolved.hostPath;
        m_startFd =
            ::open(QFile::encodeName(m_startHost).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (m_startFd < 0) {
            const int failure = errno;
            return {AttrDirectory, failure == ENOENT || failure == ENOTDIR
                                       ? FsError::of(ErrPathNotFound)
                                       : fromErrno(failure)};
        }
        dirFd = m_startFd;
    } else if (const FolderState opened = open(folder, &dirFd); !opened.plain()) {
        return opened;
    }

    detail::ReadRequest request;
    request.pattern = pattern;
    request.patternForFolders = false;
    request.folders = true;
    request.hidden = true;
    request.folderAttributes = true;
    m_entries.clear();
    m_reader->read(dirFd, request, &m_entries);
    detail::sortCaseBlind(&m_entries);
    for (detail::Listed& entry : m_entries) {
        if (entry.what.kind == detail::EntryKind::File) {
            files->append(std::move(entry.name));
            continue;
        }
        FolderState state;
        if (entry.what.hostErrno)
            state = {AttrNormal, fromErrno(entry.what.hostErrno)};
        else
            state.attributes = folderAttributes(folder, entry.name, entry.what.attributes);
        Subfolder& subfolder = folders->emplace_back();
        subfolder.name = std::move(entry.name);
        subfolder.state = std::move(state);
        subfolder.m_device = entry.identity.device;
        subfolder.m_inode = entry.identity.inode;
    }
    // Kept open for its subfolders, which are opened from it, while there is room.
    if (folder != 0) {
        if (!folders->empty() && m_held.size() < kHeldFolders)
            m_held.emplace_back(folder, dirFd);
        else
            ::close(dirFd);
    }
    return {};
}

FolderWalk::Id FolderWalk::add(Id parent, const Subfolder& folder) {
    m_nodes.push_back({parent, QFile::encodeName(folder.name), folder.m_device, folder.m_inode});
    return Id(m_nodes.size()) - 1;
}

FolderState FolderWalk::open(Id folder, int* dirFd) {
    const Node& node = m_nodes.at(std::size_t(folder));
    // Breadth first, parents come in the order they were read: one before this one's is
    // done with.
    letGoBefore(node.parent);
    int parentFd = -1;
    if (const int failure = reach(node.parent, &parentFd))
        return {AttrDirectory, openError(failure)};
    *dirFd = ::openat(parentFd, node.name.constData(), kOpenToRead);
    if (*dirFd >= 0)
        return {};
    const int failure = errno;
    if (failure == ENOTDIR || failure == ELOOP) {
        // It was a plain folder when its parent was read. Now a link, it is passed over as
        // the listing would have passed it over.
        const detail::EntryKind now =
            detail::classifyEntry(parentFd, node.name.constData(), DT_UNKNOWN, true);
        if (now.kind == detail::EntryKind::Folder && (now.attributes & AttrReparsePoint))
            return {folderAttributes(node.parent, QFile::decodeName(node.name), now.attributes),
                    {}};
    }
    return {AttrDirectory, openError(failure)};
}

// An open descriptor of `folder`: the start's, a kept one, or one opened again from the
// start. Returns 0 or the failing open's errno.
int FolderWalk::reach(Id folder, int* dirFd) {
    *dirFd = folder == 0 ? m_startFd : held(folder);
    if (*dirFd >= 0)
        return 0;
    m_chain.clear();
    for (Id at = folder; at != 0; at = m_nodes.at(std::size_t(at)).parent)
        m_chain.push_back(at);
    int opened = -1;
    if (m_chain.size() > 1) {
        // One look-up for the whole way down. The kernel follows a link that has taken the
        // place of a folder on the way; the folder it arrives at then is another one, and
        // the way is taken again step by step.
        m_way.clear();
        for (auto at = m_chain.rbegin(); at != m_chain.rend(); ++at)
            m_way.append(m_nodes.at(std::size_t(*at)).name).append('/');
        m_way.chop(1);
        opened = ::openat(m_startFd, m_way.constData(), kOpenToPass);
        const Node& node = m_nodes.at(std::size_t(folder));
        struct stat status {};
        if (opened >= 0 &&
            (::fstat(opened, &status) != 0 ||
             detail::identityOf(status) != detail::FileIdentity{node.device, node.inode})) {
            ::close(opened);
            opened = -1;
        }
    }
    if (opened < 0) {
        if (const int failure = stepDown(&opened))
            return failure;
    }
    // Needed now, unlike the folders read last, which wait for the next level: those give
    // way.
    m_held.emplace_back(folder, opened);
    if (m_held.size() > kHeldFolders) {
        const auto newest = std::max_element(m_held.begin(), m_held.end() - 1);
        ::close(newest->second);
        m_held.erase(newest);
    }
    *dirFd = opened;
    return 0;
}

// Opens the chain's folders from the start one component at a time, each refusing a link;
// the folders between stay open only for the next step.
int FolderWalk::stepDown(int* dirFd) {
    int from = m_startFd;
    for (auto at = m_chain.rbegin(); at != m_chain.rend(); ++at) {
        const int opened =
            ::openat(from, m_nodes.at(std::size_t(*at)).name.constData(), kOpenToPass);
        const int failure = errno;
        if (from != m_startFd)
            ::close(from);
        if (opened < 0)
            return failure;
        from = opened;
    }
    *dirFd = from;
    return 0;
}

int FolderWalk::held(Id folder) const {
    const auto found = std::find_if(m_held.begin(), m_held.end(),
                                    [folder](const auto& kept) { return kept.first == folder; });
    return found == m_held.end() ? -1 : found->second;
}

void FolderWalk::letGoBefore(Id parent) {
    std::erase_if(m_held, [parent](const auto& kept) {
        if (kept.first >= parent)
            return false;
        ::close(kept.second);
        return true;
    });
}

// A folder's attributes as getAttributes gives them for its DOS path: a lettered drive's
// mount point is never hidden, whatever its name.
int FolderWalk::folderAttributes(Id parent, const QString& name, int attributes) {
    if ((attributes & AttrHidden) &&
        detail::isDriveRoot(hostPath(parent) + QLatin1Char('/') + name))
        attributes &= ~AttrHidden;
    return attributes;
}

QString FolderWalk::hostPath(Id folder) const {
    QString path;
    for (Id at = folder; at != 0; at = m_nodes.at(std::size_t(at)).parent)
        path.prepend(QLatin1Char('/') + QFile::decodeName(m_nodes.at(std::size_t(at)).name));
    return m_startHost == QLatin1String("/") ? path : m_startHost + path;
}

} // namespace platform
