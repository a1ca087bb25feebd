#pragma once

// The folders below an extraction's destination that one thread has open. Archives mostly
// place entry after entry in a few folders, so each is opened once, not per entry; but the
// number held is capped, and so is what each costs, whatever the archive's depth: a
// folder is opened from the deepest folder held on its way, one component at a time,
// without keeping the folders passed through.

#include "disk/extract_target.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <span>
#include <vector>

namespace archive_engine {

class FolderCache {
public:
    // `root` outlives the cache; its descriptor is only borrowed.
    FolderCache(const disk::TargetDir& root, std::size_t capacity)
        : m_root(root), m_capacity(capacity) {
        m_held.reserve(capacity);
    }

    // The folder with these components below the root, never through a link; with
    // `create`, missing folders are made (with default permissions). Valid until the next
    // call.
    const disk::TargetDir* open(std::span<const QString> folder, bool create,
                                disk::TargetStatus* status);
    // Holds a folder opened elsewhere (one made for a folder entry, with its own mode).
    void hold(std::span<const QString> folder, disk::TargetDir dir);

    std::size_t held() const { return m_held.size(); }

    // A folder's components joined with "/", which no component holds: one text per folder.
    static QString keyOf(std::span<const QString> folder);
    static bool isKeyOf(const QString& key, std::span<const QString> folder);

private:
    struct Held {
        QString key; // the components joined with "/", which no component holds
        qsizetype depth = 0;
        disk::TargetDir dir;
        std::uint64_t lastUse = 0;
    };

    const disk::TargetDir* keep(QString key, qsizetype depth, disk::TargetDir dir);

    const disk::TargetDir& m_root;
    const std::size_t m_capacity;
    std::vector<Held> m_held; // never grows past its reserve: what open() returns stays put
    Held* m_last = nullptr;   // consecutive entries mostly share their folder
    std::uint64_t m_uses = 0;
};

} // namespace archive_engine
