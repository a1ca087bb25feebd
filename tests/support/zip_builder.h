#pragma once

// Archives for tests. ZipBuilder writes well-formed archives through libzip; RawZip lays
// out the bytes itself, so that a test can state exactly what is wrong with an archive
// (a bad CRC, a size that lies, entries that overlap, names no tool would write ...).

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace testsupport {

std::uint32_t crc32Of(const QByteArray& data);
// The raw deflate stream of `data` (as libzip compresses it).
QByteArray deflateRaw(const QByteArray& data);

class ZipBuilder {
public:
    enum Method { Stored = 0, Deflate = 8, Bzip2 = 12 };
    struct Options {
        Method method = Deflate;
        std::optional<std::int64_t> mtime;     // DOS time, and the extended timestamp field
        std::optional<std::uint32_t> unixMode; // entry made on Unix with these mode bits
        QByteArray password;                   // encrypt with traditional PKWARE encryption
    };

    // `name` goes in as bytes: a UTF-8 name with non-ASCII text gets the UTF-8 flag,
    // `rawCp437` stores the bytes without it.
    ZipBuilder& addFile(const QByteArray& name, const QByteArray& data, const Options& options);
    ZipBuilder& addFile(const QByteArray& name, const QByteArray& data) {
        return addFile(name, data, Options());
    }
    ZipBuilder& addRawCp437File(const QByteArray& name, const QByteArray& data);
    ZipBuilder& addDirectory(const QByteArray& name);
    ZipBuilder& addSymlink(const QByteArray& name, const QByteArray& target);

    // Writes the archive; throws std::runtime_error when libzip fails.
    void write(const QString& hostPath) const;

private:
    struct Item {
        QByteArray name;
        QByteArray data;
        Options options;
        enum Kind { File, Cp437File, Directory, Symlink } kind = File;
    };
    std::vector<Item> m_items;
};

// An archive assembled byte by byte. Every field of an entry can be set to a lie, and so
// can the directories and end records that lead to the entries.
class RawZip {
public:
    // What follows an entry's data: nothing, or a data descriptor with or without its
    // signature. Writing one does not set the flag that announces it.
    enum class Descriptor { None, Plain, Signed };

    // Local-header fields that differ from the central ones (unset: the same).
    struct LocalLies {
        std::optional<std::uint32_t> signature;
        std::optional<QByteArray> name;
        std::optional<std::uint16_t> flags;
        std::optional<std::uint16_t> method;
        std::optional<std::uint32_t> crc;
        std::optional<std::uint64_t> compressedSize;
        std::optional<std::uint64_t> uncompressedSize;
        std::optional<std::uint16_t> extraLength;
    };

    struct Entry {
        QByteArray name;
        QByteArray data; // stored bytes as they go into the archive
        std::uint16_t method = 0;
        std::uint16_t flags = 0;
        std::uint16_t versionMadeBy = 20; // MS-DOS; (3 << 8) | 20 for Unix
        std::uint32_t externalAttributes = 0;
        std::uint32_t crc = 0;
        std::uint64_t uncompressedSize = 0;
        std::uint16_t dosTime = 0;
        std::uint16_t dosDate = 0x0021; // 1980-01-01
        QByteArray centralExtra;
        // Makes the central header point at another entry's local header.
        std::optional<std::size_t> sameHeaderAs;
        // With the descriptor flag (0x0008) set, the local CRC and sizes are written as
        // zero, as streaming writers do, unless `local` says otherwise.
        Descriptor descriptor = Descriptor::None;
        std::optional<std::uint32_t> descriptorCrc; // unset: the central CRC
        LocalLies local;
    };

    enum class Field { Count, Size, Offset };

    // One central directory and the end record(s) after it.
    struct Directory {
        std::vector<std::size_t> entries; // whose central headers, in this order
        // The end record's count and size take in only the first `covered` headers.
        std::optional<std::size_t> covered;
        std::optional<std::uint64_t> count; // the count stated, where not the true one
        QByteArray leftover;                // bytes between the headers and the end record
        QByteArray comment;
        bool commentToEnd = false; // the comment length runs to the end of the file
        // ZIP64: the 32-bit end record repeats the count, size and offset instead of
        // saturating them, with `skewed32` off by one where set.
        bool repeated32 = false;
        std::optional<Field> skewed32;
    };

    // A stored entry with correct sizes and CRC.
    static Entry stored(const QByteArray& name, const QByteArray& content);
    // A deflated entry with correct sizes and CRC.
    static Entry deflated(const QByteArray& name, const QByteArray& content);

    RawZip& add(Entry entry) {
        m_entries.push_back(std::move(entry));
        return *this;
    }
    // Writes ZIP64 records (sizes and offsets in extra fields, the ZIP64 end records).
    RawZip& zip64(bool on = true) {
        m_zip64 = on;
        return *this;
    }
    // Adds a central directory; without one, a single directory lists every entry.
    RawZip& directory(Directory directory) {
        m_directories.push_back(std::move(directory));
        return *this;
    }
    // The one directory listing every entry, with a comment.
    RawZip& comment(const QByteArray& text);
    // Bytes after the last end record.
    RawZip& trailing(const QByteArray& bytes) {
        m_trailing = bytes;
        return *this;
    }

    QByteArray bytes() const;
    void write(const QString& hostPath) const;

private:
    std::vector<Entry> m_entries;
    std::vector<Directory> m_directories;
    QByteArray m_trailing;
    bool m_zip64 = false;
};

} // namespace testsupport
