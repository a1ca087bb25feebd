#pragma once

// A breadth-first walk's view of a folder tree. Each folder is opened from its parent's
// open descriptor, never by resolving its DOS path again; the directory read itself says
// which entries are folders; a link met on the way is never followed. However wide or
// deep the tree, it keeps no more than the start's descriptor and 64 others open.

#include "platform/dosfs.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace platform {

namespace detail {
class FolderReader;
struct Listed;
} // namespace detail

// What a folder met by the walk is: one to enter (a plain folder: its attributes are
// AttrDirectory alone) or one to pass over, for its attributes or for the error that kept
// them unknown.
struct FolderState {
    int attributes = AttrDirectory; // as getAttributes gives them
    FsError error;
    bool plain() const { return !error && attributes == AttrDirectory; }
};

class FolderWalk {
public:
    // Folders are numbered in the order they join the walk; the start is folder 0.
    using Id = qsizetype;

    class Subfolder {
    public:
        QString name;
        FolderState state;

    private:
        friend class FolderWalk;
        // The host's numbers of the folder, by which the walk knows it again.
        std::uint64_t m_device = 0;
        std::uint64_t m_inode = 0;
    };

    // A walk from a folder given as a DOS path, resolved once, when folder 0 is read.
    explicit FolderWalk(QString start);
    ~FolderWalk();
    FolderWalk(const FolderWalk&) = delete;
    FolderWalk& operator=(const FolderWalk&) = delete;

    // Reads a folder, once: appends the names of its files that match `pattern` (DOS
    // wildcards, ignoring case; hidden files too) to *files, and sets *folders to its
    // subfolders, both sorted as DirListing sorts. Names a DOS path cannot hold are left
    // out. The state tells why nothing was read: the folder could not be opened, or it has
    // become a link since its parent was read and is not followed.
    FolderState read(Id folder, const QString& pattern, QStringList* files,
                     std::vector<Subfolder>* folders);
    // Makes a subfolder that the last read of `parent` gave a folder of the walk, to be
    // read later; returns its number. Folders read in the order they were added (breadth
    // first) keep the fewest descriptors busy; any order gives the same results.
    Id add(Id parent, const Subfolder& folder);

private:
    struct Node {
        Id parent;
        QByteArray name; // as the host spells it
        std::uint64_t device;
        std::uint64_t inode;
    };

    FolderState open(Id folder, int* dirFd);
    int reach(Id folder, int* dirFd);
    int stepDown(int* dirFd);
    int held(Id folder) const;
    void letGoBefore(Id parent);
    int folderAttributes(Id parent, const QString& name, int attributes);
    QString hostPath(Id folder) const;

    QString m_start;
    QString m_startHost;
    int m_startFd = -1;
    FsError m_startError;
    std::vector<Node> m_nodes;
    // Open folders besides the start.
    std::vector<std::pair<Id, int>> m_held;
    std::vector<Id> m_chain;
    QByteArray m_way;
    std::unique_ptr<detail::FolderReader> m_reader;
    std::vector<detail::Listed> m_entries;
};

} // namespace platform
