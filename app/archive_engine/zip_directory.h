#pragma once

// Our own reading of an archive's central directory. libzip extracts the data, but does
// not tell where each entry's local header lies nor which general-purpose flags it
// carries; both are needed to refuse overlapping entries and to decode names correctly.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

class QFile;

namespace archive_engine {

struct ZipEntry {
    QByteArray rawName;
    QString name; // decoded: UTF-8 when flagged (or from a Unicode path field), else CP437
    std::uint16_t versionMadeBy = 0;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t crc = 0;
    std::uint32_t externalAttributes = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t uncompressedSize = 0;
    std::uint64_t localHeaderOffset = 0;
    std::uint64_t dataOffset = 0;
    // False when the local header is missing or the data runs past the central directory.
    bool dataIntact = false;
    // Seconds since the epoch; from the extended timestamp field when present, else the
    // DOS date and time read as local time. Unset when neither is usable.
    bool hasModificationTime = false;
    std::int64_t modificationTime = 0;

    bool encrypted() const { return flags & 0x0001; }
    bool madeOnUnix() const { return (versionMadeBy >> 8) == 3; }
    std::uint32_t unixMode() const { return externalAttributes >> 16; }
    bool isSymlink() const { return madeOnUnix() && (unixMode() & 0170000) == 0120000; }
};

struct ZipDirectory {
    enum Status {
        Ok,
        NotAZip,     // no end of central directory record
        Damaged,     // the central directory cannot be read as one
        Overlapping, // entries share bytes: the archive is refused as a whole
    };
    Status status = NotAZip;
    std::vector<ZipEntry> entries;
};

// Reads the central directory of an open archive file.
ZipDirectory readZipDirectory(QFile& archive);

} // namespace archive_engine
