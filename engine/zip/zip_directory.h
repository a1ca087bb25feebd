#pragma once

// Our own reading of an archive's central directory, and the one map the engine reads
// entries by: each entry's bytes are taken from `dataOffset` for `compressedSize` bytes.
// Before anything is read, every place that states a fact about the archive (end
// records, counts, central and local headers, data descriptors) must agree; an archive
// that says two things would be extracted differently by another reader, and is refused.

#include <velmarch/engine.h>

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

class QFile;

namespace archive_engine {

// One central entry, in a fixed-size record: archives with hundreds of thousands of entries
// are read whole before the first one is placed, so nothing here holds memory of its own.
// The name's bytes are kept in the directory's one buffer (ZipDirectory::names).
struct ZipEntry {
    // How the name is turned into text.
    enum class NameText : std::uint8_t {
        Unflagged,    // UTF-8 where it reads as such with non-ASCII text, else CP437
        Utf8,         // flagged as UTF-8
        UnicodeField, // the UTF-8 text of a Unicode path field, stored after the raw name
    };

    std::uint64_t compressedSize = 0;
    std::uint64_t uncompressedSize = 0;
    std::uint64_t localHeaderOffset = 0;
    std::uint64_t dataOffset = 0;
    // Seconds since the epoch; from the extended timestamp field when present, else the
    // DOS date and time read as local time. Unset when neither is usable.
    std::int64_t modificationTime = 0;
    std::uint64_t nameOffset = 0; // into ZipDirectory::names
    std::uint32_t crc = 0;
    std::uint32_t externalAttributes = 0;
    std::uint16_t versionMadeBy = 0;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint16_t nameLength = 0;    // the raw name's bytes
    std::uint16_t unicodeLength = 0; // with NameText::UnicodeField, the text's bytes after it
    NameText nameText = NameText::Unflagged;
    // False when no local header is where the central entry points: that entry cannot be
    // read. A local header that is there but disagrees refuses the whole archive instead.
    bool dataIntact = false;
    bool hasModificationTime = false;

    bool encrypted() const { return flags & 0x0001; }
    bool madeOnUnix() const { return (versionMadeBy >> 8) == 3; }
    std::uint32_t unixMode() const { return externalAttributes >> 16; }
    bool isSymlink() const { return madeOnUnix() && (unixMode() & 0170000) == 0120000; }
    // The permission bits what is placed for the entry takes: a Unix archiver's, when it
    // gave any; -1 leaves the host's default.
    int placedMode() const {
        const std::uint32_t bits = unixMode() & 0777;
        return madeOnUnix() && bits != 0 ? int(bits) : -1;
    }
    std::optional<std::int64_t> placedTime() const {
        return hasModificationTime ? std::optional(modificationTime) : std::nullopt;
    }
};

struct ZipDirectory {
    enum Status {
        Ok,
        NotAZip,     // no end of central directory record, or one of a split archive
        Damaged,     // the directory cannot be read as one, or the archive contradicts itself
        Overlapping, // entries share bytes: the archive is refused as a whole
        Unreadable,  // the file could not be read (readError says why)
    };
    // What was wrong, where the status is not Ok.
    using Problem = ArchiveProblem;
    Status status = NotAZip;
    Problem problem = Problem::NoEndRecord;
    int readError = 0; // the host's error (errno) when a read failed
    std::vector<ZipEntry> entries;
    // Every entry's raw name, each followed by the text of its Unicode path field if it
    // has one, back to back.
    QByteArray names;

    // The name as stored, which the local header must repeat.
    QByteArrayView rawName(const ZipEntry& entry) const {
        return QByteArrayView(names).sliced(qsizetype(entry.nameOffset), entry.nameLength);
    }
    // The name as text: UTF-8 when flagged (or from a Unicode path field); else as
    // decodeUnflaggedName() reads it.
    // Decoded on each call, when the entry is placed: most entries never need it twice.
    QString name(const ZipEntry& entry) const;
};

// Reads and vets the central directory of an open archive file.
ZipDirectory readZipDirectory(QFile& archive);

} // namespace archive_engine
