#pragma once

// Real file-system faults for the run's tests: small tmpfs mounts, read-only views of a
// directory and a disk filled from outside the program. Mounts are undone when their
// object goes, also when a test failed half-way.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace faults {

class ScopedMount {
public:
    ScopedMount() = default;
    ~ScopedMount();
    ScopedMount(const ScopedMount&) = delete;
    ScopedMount& operator=(const ScopedMount&) = delete;

    // A tmpfs of `size` ("4m") on the directory `dir`.
    bool mountTmpfs(const QString& dir, const QByteArray& size);
    // `dir` replaced by a read-only view of itself.
    bool bindReadOnly(const QString& dir);
    // Remounts the mount read-only or writable again.
    bool setReadOnly(bool readOnly);
    void unmount();

    // Why the last call failed.
    QString error() const { return m_error; }

private:
    bool fail(const char* what);

    QByteArray m_dir;
    QByteArray m_options;
    bool m_mounted = false;
    bool m_bind = false;
    QString m_error;
};

// Every file below `dir` (hidden ones and dangling links too), relative and sorted.
QStringList filesBelow(const QString& dir);

// Writes `name` in `dir` until the file system holds at most `leave` bytes for others;
// returns the bytes written, or -1 when the file could not be written.
std::int64_t fillDisk(const QString& dir, const QString& name, std::uint64_t leave);

// Bytes that do not compress.
QByteArray noise(int size, std::uint32_t seed);

} // namespace faults
