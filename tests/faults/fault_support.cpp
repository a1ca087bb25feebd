#include "fault_support.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>

#include <sys/mount.h>
#include <sys/statvfs.h>

namespace faults {

ScopedMount::~ScopedMount() {
    unmount();
}

bool ScopedMount::fail(const char* what) {
    m_error = QStringLiteral("%1 %2: %3")
                  .arg(QLatin1String(what), QFile::decodeName(m_dir),
                       QString::fromLocal8Bit(std::strerror(errno)));
    return false;
}

bool ScopedMount::mountTmpfs(const QString& dir, const QByteArray& size) {
    unmount();
    m_dir = QFile::encodeName(dir);
    m_options = "size=" + size + ",mode=0755";
    if (::mount("tmpfs", m_dir.constData(), "tmpfs", 0, m_options.constData()) != 0)
        return fail("mount tmpfs on");
    m_mounted = true;
    m_bind = false;
    return true;
}

bool ScopedMount::bindReadOnly(const QString& dir) {
    unmount();
    m_dir = QFile::encodeName(dir);
    m_options.clear();
    if (::mount(m_dir.constData(), m_dir.constData(), nullptr, MS_BIND, nullptr) != 0)
        return fail("bind");
    m_mounted = true;
    m_bind = true;
    return setReadOnly(true);
}

bool ScopedMount::setReadOnly(bool readOnly) {
    unsigned long flags = MS_REMOUNT | (readOnly ? MS_RDONLY : 0);
    if (m_bind)
        flags |= MS_BIND;
    const char* options = m_options.isEmpty() ? nullptr : m_options.constData();
    if (::mount(nullptr, m_dir.constData(), nullptr, flags, options) != 0)
        return fail(readOnly ? "remount read-only" : "remount writable");
    return true;
}

void ScopedMount::unmount() {
    if (!m_mounted)
        return;
    // A descriptor a failed test left open keeps the mount busy; detach it then, so the
    // temporary directory below can still go.
    if (::umount2(m_dir.constData(), 0) != 0)
        ::umount2(m_dir.constData(), MNT_DETACH);
    m_mounted = false;
}

QStringList filesBelow(const QString& dir) {
    QStringList names;
    const QDir base(dir);
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        names << base.relativeFilePath(it.next());
    names.sort();
    return names;
}

std::int64_t fillDisk(const QString& dir, const QString& name, std::uint64_t leave) {
    struct statvfs st;
    if (::statvfs(QFile::encodeName(dir).constData(), &st) != 0)
        return -1;
    const std::uint64_t free = std::uint64_t(st.f_bavail) * st.f_frsize;
    std::uint64_t wanted = free > leave ? free - leave : 0;
    QFile file(QDir(dir).filePath(name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return -1;
    const QByteArray chunk(64 * 1024, 'f');
    std::int64_t written = 0;
    while (wanted > 0) {
        const qint64 n =
            file.write(chunk.constData(),
                       qint64(std::min<std::uint64_t>(wanted, std::uint64_t(chunk.size()))));
        if (n <= 0)
            break;
        written += n;
        wanted -= std::uint64_t(n);
    }
    return written;
}

QByteArray noise(int size, std::uint32_t seed) {
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char& byte : data)
        byte = char(generator.generate() & 0xff);
    return data;
}

} // namespace faults
