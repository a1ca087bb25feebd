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

// An archive assembled byte by byte. Every field of an entry can be set to a lie.
class RawZip {
public:
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

    QByteArray bytes() const;
    void write(const QString& hostPath) const;

private:
    std::vector<Entry> m_entries;
    bool m_zip64 = false;
};

} // namespace testsupport
