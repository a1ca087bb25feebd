#include "pipeline/folder_cache.h"

#include <algorithm>

namespace archive_engine {

QString FolderCache::keyOf(std::span<const QString> folder) {
    qsizetype size = 0;
    for (const QString& component : folder) {
        size += component.size() + 1;
    }
    QString key;
    key.reserve(size);
    for (const QString& component : folder) {
        if (!key.isEmpty()) {
            key += QLatin1Char('/');
        }
        key += component;
    }
    return key;
}

bool FolderCache::isKeyOf(const QString& key, std::span<const QString> folder) {
    qsizetype at = 0;
    for (const QString& component : folder) {
        if (at > 0) {
            if (at >= key.size() || key.at(at) != QLatin1Char('/')) {
                return false;
            }
            ++at;
        }
        if (QStringView(key).mid(at, component.size()) != component) {
            return false;
        }
        at += component.size();
    }
    return at == key.size();
}

const disk::TargetDir* FolderCache::open(std::span<const QString> folder, bool create,
                                         disk::TargetStatus* status) {
    *status = disk::TargetStatus::Ok;
    if (folder.empty()) {
        return &m_root;
    }
    if (m_last && m_last->depth == qsizetype(folder.size()) && isKeyOf(m_last->key, folder)) {
        m_last->lastUse = ++m_uses;
        return &m_last->dir;
    }
    const QString key = keyOf(folder);
    // The folder itself, or the deepest one held on its way.
    Held* base = nullptr;
    for (Held& held : m_held) {
        if (held.key == key) {
            held.lastUse = ++m_uses;
            m_last = &held;
            return &held.dir;
        }
        if (held.depth < qsizetype(folder.size()) && (!base || held.depth > base->depth) &&
            key.startsWith(held.key) && key.at(held.key.size()) == QLatin1Char('/')) {
            base = &held;
        }
    }
    qsizetype depth = base ? base->depth : 0;
    const disk::TargetDir* from = base ? &base->dir : &m_root;
    // The folder above the one asked for is kept too, when this walk opened it: siblings
    // follow one another, and a folder that is not there yet is asked for again.
    disk::TargetDir parent;
    disk::TargetDir current;
    const auto keepParent = [&](qsizetype parentDepth, disk::TargetDir dir) {
        if (dir.isOpen()) {
            keep(keyOf(folder.first(std::size_t(parentDepth))), parentDepth, std::move(dir));
        }
    };
    for (; depth < qsizetype(folder.size()); ++depth) {
        const QString& name = folder[std::size_t(depth)];
        disk::TargetDir next =
            create ? from->openChild(name, -1, status) : from->openExistingChild(name, status);
        if (*status != disk::TargetStatus::Ok) {
            keepParent(depth, std::move(current));
            return nullptr;
        }
        parent = std::move(current);
        current = std::move(next);
        from = &current;
    }
    keepParent(depth - 1, std::move(parent));
    return keep(key, depth, std::move(current));
}

void FolderCache::hold(std::span<const QString> folder, disk::TargetDir dir) {
    if (folder.empty()) {
        return;
    }
    QString key = keyOf(folder);
    for (Held& held : m_held) {
        if (held.key == key) {
            held.dir = std::move(dir);
            held.lastUse = ++m_uses;
            m_last = &held;
            return;
        }
    }
    keep(std::move(key), qsizetype(folder.size()), std::move(dir));
}

const disk::TargetDir* FolderCache::keep(QString key, qsizetype depth, disk::TargetDir dir) {
    Held* slot = nullptr;
    if (m_held.size() < m_capacity) {
        slot = &m_held.emplace_back();
    } else {
        slot = &*std::min_element(m_held.begin(), m_held.end(), [](const Held& a, const Held& b) {
            return a.lastUse < b.lastUse;
        });
    }
    slot->key = std::move(key);
    slot->depth = depth;
    slot->dir = std::move(dir);
    slot->lastUse = ++m_uses;
    m_last = slot;
    return &slot->dir;
}

} // namespace archive_engine
