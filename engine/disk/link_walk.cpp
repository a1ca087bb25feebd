// Whether a link about to be made stays inside the destination: a walk through the
// destination as it stands, one component at a time, never following a link the kernel's
// way but expanding each one itself.

#include "disk/extract_target.h"
#include "disk/fd.h"

#include <array>
#include <cerrno>
#include <climits>
#include <deque>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace archive_engine::disk {

namespace {

// The kernel's own bound on the links one path may go through.
constexpr int kMaxLinkExpansions = 40;

// Folders from the root down to where a walk stands, opened one at a time without
// following a link; the root's descriptor is borrowed. Only the deepest few stay open,
// whatever the depth: the levels above them are known by identity and reached again
// through "..", which leads to the folder the walk came down through unless someone
// moved it meanwhile; then the identity differs and the walk stops.
class FolderStack {
public:
    explicit FolderStack(int rootFd) : m_rootFd(rootFd) {}

    int top() const { return m_open.empty() ? m_rootFd : m_open.back().get(); }
    bool atRoot() const { return m_ids.empty(); }
    bool descend(const QByteArray& name) {
        Fd fd(::openat(top(), name.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        const std::optional<FileId> id = fd ? fileIdOf(fd.get()) : std::nullopt;
        if (!id) {
            return false;
        }
        if (m_open.size() == kMaxOpen) {
            m_open.pop_front();
        }
        m_open.push_back(std::move(fd));
        m_ids.push_back(*id);
        return true;
    }
    // Not at the root; false when the folder above cannot be reached again as it was.
    bool ascend() {
        m_ids.pop_back();
        if (m_open.size() > 1 || m_ids.empty()) {
            m_open.pop_back();
            return true;
        }
        Fd parent(::openat(m_open.back().get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!parent || fileIdOf(parent.get()) != m_ids.back()) {
            return false;
        }
        m_open.back() = std::move(parent);
        return true;
    }

private:
    static constexpr std::size_t kMaxOpen = 16;
    int m_rootFd;
    std::deque<Fd> m_open;     // the deepest levels, the current one last
    std::vector<FileId> m_ids; // every level below the root, the current one last
};

// A target another system would read with "\" as a separator as absolute or climbing.
// The host reads "\" as a plain character, but refusing such a target costs nothing.
bool climbsElsewhere(const QByteArray& target) {
    if (target.startsWith('\\')) {
        return true;
    }
    for (const QByteArray& part : target.split('/')) {
        if (part.contains('\\') && part.split('\\').contains(QByteArrayLiteral(".."))) {
            return true;
        }
    }
    return false;
}

// A name that cannot be there: missing, or longer than the file system holds (which no
// later entry can make either).
bool absent(int error) {
    return error == ENOENT || error == ENAMETOOLONG;
}

} // namespace

// Why links accepted one by one never resolve outside together, whatever their order:
// nothing the engine makes replaces or removes a name, so what the walk below saw stays as
// it saw it (folders stay folders, links keep their targets). The walk takes the kernel's
// steps over those names and never climbs above the root. Past a name that is missing or
// not a folder, later entries may still make anything, links included, so from there on
// it accepts descents only. A later resolution of the link therefore repeats the walk up
// to that name and then only descends: into a real folder, still inside, or through a
// link made later, which was accepted in its turn from the folder it sits in, the very
// folder the resolution stands in; the same argument on that shorter resolution keeps it
// inside. Missing folders of the link's own path are made as real folders before the
// link, so ".." may climb back out of them.
bool linkStaysInside(const TargetDir& root, const QStringList& folder, const QByteArray& target) {
    if (target.isEmpty() || target.contains('\0') || target.startsWith('/') ||
        climbsElsewhere(target)) {
        return false;
    }
    FolderStack at(root.fd());
    struct stat st;
    qsizetype toCreate = 0;
    for (const QString& component : folder) {
        const QByteArray name = component.toUtf8();
        if (name.isEmpty() || name == "." || name == ".." || name.contains('/')) {
            return false;
        }
        if (toCreate > 0) {
            ++toCreate;
        } else if (::fstatat(at.top(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (!absent(errno)) {
                return false;
            }
            toCreate = 1;
        } else if (!S_ISDIR(st.st_mode) || !at.descend(name)) {
            // A link or a file: the link could not be made inside a real folder here.
            return false;
        }
    }
    // Components still to walk, the next one last.
    std::vector<QByteArray> pending;
    const auto prepend = [&pending](const QByteArray& path) {
        const QList<QByteArray> parts = path.split('/');
        pending.insert(pending.end(), parts.rbegin(), parts.rend());
    };
    prepend(target);
    int expansions = 0;
    bool pastMissing = false;
    while (!pending.empty()) {
        const QByteArray name = std::move(pending.back());
        pending.pop_back();
        if (name.isEmpty() || name == ".") {
            continue;
        }
        if (name == "..") {
            if (pastMissing || (toCreate == 0 && at.atRoot())) {
                return false;
            }
            if (toCreate > 0) {
                --toCreate;
            } else if (!at.ascend()) {
                return false;
            }
            continue;
        }
        if (pastMissing) {
            continue;
        }
        if (toCreate > 0) {
            pastMissing = true;
            continue;
        }
        if (::fstatat(at.top(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (!absent(errno)) {
                return false;
            }
            pastMissing = true;
        } else if (S_ISDIR(st.st_mode)) {
            if (!at.descend(name)) {
                return false;
            }
        } else if (S_ISLNK(st.st_mode)) {
            if (++expansions > kMaxLinkExpansions) {
                return false;
            }
            std::array<char, PATH_MAX> buffer;
            const ssize_t n =
                ::readlinkat(at.top(), name.constData(), buffer.data(), buffer.size());
            if (n <= 0 || std::size_t(n) >= buffer.size() || buffer[0] == '/') {
                return false;
            }
            // Relative to the folder holding the link: where the walk stands.
            prepend(QByteArray(buffer.data(), n));
        } else {
            pastMissing = true;
        }
    }
    return true;
}

} // namespace archive_engine::disk
