#include "zip/zip_directory.h"

#include "zip/entry_name.h"

#include <QByteArrayView>
#include <QDateTime>
#include <QFile>
#include <QHash>

#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <numeric>
#include <optional>

namespace archive_engine {

namespace {

using Problem = ZipDirectory::Problem;

constexpr std::uint32_t kEndOfDirectory = 0x06054b50;
constexpr std::uint32_t kZip64Locator = 0x07064b50;
constexpr std::uint32_t kZip64EndOfDirectory = 0x06064b50;
constexpr std::uint32_t kCentralHeader = 0x02014b50;
constexpr std::uint32_t kLocalHeader = 0x04034b50;
constexpr std::uint32_t kDataDescriptor = 0x08074b50;
constexpr qint64 kEndRecordSize = 22;
constexpr qint64 kLocatorSize = 20;
constexpr qint64 kZip64RecordSize = 56;
constexpr qint64 kCentralHeaderSize = 46;
constexpr qint64 kLocalHeaderSize = 30;
constexpr qint64 kMaxCommentSize = 0xFFFF;
constexpr std::uint64_t kSaturated16 = 0xFFFF;
constexpr std::uint64_t kSaturated32 = 0xFFFFFFFF;

constexpr std::uint16_t kEncrypted = 0x0001;
constexpr std::uint16_t kHasDescriptor = 0x0008;
constexpr std::uint16_t kStrongEncryption = 0x0040;
constexpr std::uint16_t kUtf8 = 0x0800;
// The flags that change how an entry's bytes are read must be the same in both headers.
// The deflate option bits only say how hard the compressor tried, and writers that set
// the UTF-8 flag in one header only exist: on an ASCII name it changes nothing.
constexpr std::uint16_t kReadingFlags = kEncrypted | kHasDescriptor | kStrongEncryption;

// Little-endian reads from a byte range; every read is bounds-checked by the caller
// through has(), so that a damaged archive can only fail, never read past its buffer.
class Reader {
public:
    explicit Reader(QByteArrayView bytes, qsizetype pos = 0) : m_bytes(bytes), m_pos(pos) {}
    bool has(qsizetype n) const {
        return m_pos >= 0 && n >= 0 && m_pos <= m_bytes.size() && n <= m_bytes.size() - m_pos;
    }
    std::uint64_t read(int width) {
        std::uint64_t value = 0;
        for (int i = 0; i < width; ++i) {
            value |= std::uint64_t(static_cast<unsigned char>(m_bytes[m_pos + i])) << (8 * i);
        }
        m_pos += width;
        return value;
    }
    std::uint16_t u16() { return static_cast<std::uint16_t>(read(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(read(4)); }
    std::uint64_t u64() { return read(8); }
    QByteArrayView bytes(qsizetype n) {
        const QByteArrayView out = m_bytes.sliced(m_pos, n);
        m_pos += n;
        return out;
    }
    void skip(qsizetype n) { m_pos += n; }

private:
    QByteArrayView m_bytes;
    qsizetype m_pos;
};

// The first error the host gave while this thread read a directory: a failed read looks
// like missing bytes to the parser, and must not be reported as damage.
thread_local int t_readError = 0;

// What a read returned: below zero, the host refused it.
qint64 noteReadError(qint64 got) {
    if (got < 0 && t_readError == 0) {
        t_readError = errno != 0 ? errno : EIO;
    }
    return got;
}

QByteArray readAt(QFile& file, std::uint64_t offset, qint64 size) {
    const qint64 fileSize = file.size();
    if (offset > std::uint64_t(fileSize) || !file.seek(qint64(offset))) {
        return {};
    }
    QByteArray bytes(qsizetype(std::min<qint64>(size, fileSize - qint64(offset))), '\0');
    const qint64 got = noteReadError(file.read(bytes.data(), bytes.size()));
    bytes.resize(qsizetype(std::max<qint64>(got, 0)));
    return bytes;
}

std::uint32_t signatureAt(QByteArrayView bytes) {
    Reader r(bytes);
    return r.has(4) ? r.u32() : 0;
}

// Whether a central name is the local one read as CP437 and written back as UTF-8 with the
// flag, as a writer that appends to an archive does with the names already there. Both
// then read as the same text (ASCII, separators included, is the same in both), so this
// is one name stated twice, not two.
bool reencodedFromCp437(QByteArrayView local, std::uint16_t localFlags, QByteArrayView central,
                        std::uint16_t centralFlags) {
    return (centralFlags & kUtf8) && !(localFlags & kUtf8) && local != central &&
           decodeCp437(local).toUtf8() == central;
}

bool isAscii(QByteArrayView bytes) {
    return std::all_of(bytes.begin(), bytes.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::int64_t dosTimeToEpoch(std::uint16_t time, std::uint16_t date, bool* valid) {
    const QDate day(1980 + (date >> 9), (date >> 5) & 0x0F, date & 0x1F);
    const QTime clock(time >> 11, (time >> 5) & 0x3F, (time & 0x1F) * 2);
    const QDateTime stamp(day, clock);
    *valid = stamp.isValid();
    return *valid ? stamp.toSecsSinceEpoch() : 0;
}

// DOS times are local times, and converting one asks the C library for the time zone
// each time, which rereads the zone file: thousands of entries paid for that. Entries
// mostly share a few hours, so each hour is converted once; an hour whose offset from
// UTC changes within it (a clock change at the half hour) is converted entry by entry.
class DosClock {
public:
    std::int64_t toEpoch(std::uint16_t time, std::uint16_t date, bool* valid) {
        const int minute = (time >> 5) & 0x3F;
        const int second = (time & 0x1F) * 2;
        if (minute >= 60 || second >= 60) {
            return dosTimeToEpoch(time, date, valid);
        }
        const std::uint32_t hourKey = (std::uint32_t(date) << 5) | (time >> 11);
        auto found = m_hours.constFind(hourKey);
        if (found == m_hours.cend()) {
            found = m_hours.insert(hourKey, startOfHour(time, date));
        }
        if (!found->uniform) {
            return dosTimeToEpoch(time, date, valid);
        }
        *valid = true;
        return found->start + minute * 60 + second;
    }

private:
    struct Hour {
        std::int64_t start = 0;
        bool uniform = false; // valid, and one offset from UTC throughout
    };

    static Hour startOfHour(std::uint16_t time, std::uint16_t date) {
        const auto hourOnly = std::uint16_t(time & 0xF800);
        bool firstValid = false;
        bool lastValid = false;
        const std::int64_t first = dosTimeToEpoch(hourOnly, date, &firstValid);
        const std::int64_t last =
            dosTimeToEpoch(std::uint16_t(hourOnly | (59 << 5) | 29), date, &lastValid);
        Hour hour;
        hour.start = first;
        hour.uniform = firstValid && lastValid && last - first == 59 * 60 + 58;
        return hour;
    }

    QHash<std::uint32_t, Hour> m_hours;
};

struct EndRecord {
    std::uint64_t entries = 0;
    std::uint64_t directorySize = 0;
    std::uint64_t directoryOffset = 0; // where it really is: with `prefix` added
    // Bytes put before the archive without its offsets being adjusted (a self-extractor's
    // stub before "zip -A"): every offset it states is short by this many.
    std::uint64_t prefix = 0;
};

// A 32-bit field agrees with its ZIP64 value when it repeats it or is saturated.
bool agrees(std::uint64_t narrow, std::uint64_t wide, std::uint64_t saturated) {
    return narrow == saturated || narrow == wide;
}

// Reads the end record at `pos`, and the ZIP64 end record when a locator stands right
// before it. None when the records describe one directory that ends exactly where they
// begin: any byte between the two would be read by some tool as something.
Problem readEndRecord(QFile& file, QByteArrayView record, std::uint64_t pos, EndRecord* end) {
    Reader r(record, 4);
    const std::uint16_t disk = r.u16();
    const std::uint16_t directoryDisk = r.u16();
    const std::uint16_t onThisDisk = r.u16();
    const std::uint16_t total = r.u16();
    const std::uint32_t size = r.u32();
    const std::uint32_t offset = r.u32();
    std::uint64_t disks = disk | directoryDisk;
    std::uint64_t entriesOnThisDisk = onThisDisk;
    *end = {total, size, offset};
    std::uint64_t directoryEnd = pos;

    const QByteArray locator =
        pos >= kLocatorSize ? readAt(file, pos - kLocatorSize, kLocatorSize) : QByteArray();
    Reader l(locator);
    if (l.has(kLocatorSize) && l.u32() == kZip64Locator) {
        const std::uint32_t recordDisk = l.u32();
        const std::uint64_t recordOffset = l.u64();
        const std::uint32_t diskCount = l.u32();
        if (recordDisk != 0 || diskCount > 1) {
            return Problem::SplitArchive;
        }
        const std::uint64_t locatorPos = pos - kLocatorSize;
        if (recordOffset > locatorPos || locatorPos - recordOffset < kZip64RecordSize) {
            return Problem::DirectoryMisplaced;
        }
        const QByteArray zip64 = readAt(file, recordOffset, kZip64RecordSize);
        Reader z(zip64);
        if (!z.has(kZip64RecordSize) || z.u32() != kZip64EndOfDirectory) {
            return Problem::DirectoryMisplaced;
        }
        // The record, with any extensible data it carries, runs up to the locator.
        if (z.u64() != locatorPos - recordOffset - 12) {
            return Problem::DirectoryMisplaced;
        }
        z.skip(4);
        const std::uint32_t zipDisk = z.u32();
        const std::uint32_t zipDirectoryDisk = z.u32();
        const std::uint64_t zipOnThisDisk = z.u64();
        const EndRecord wide = {z.u64(), z.u64(), z.u64()};
        if (!agrees(disk, zipDisk, kSaturated16) ||
            !agrees(directoryDisk, zipDirectoryDisk, kSaturated16) ||
            !agrees(onThisDisk, zipOnThisDisk, kSaturated16) ||
            !agrees(total, wide.entries, kSaturated16) ||
            !agrees(size, wide.directorySize, kSaturated32) ||
            !agrees(offset, wide.directoryOffset, kSaturated32)) {
            return Problem::Zip64Mismatch;
        }
        disks = zipDisk | zipDirectoryDisk;
        entriesOnThisDisk = zipOnThisDisk;
        *end = wide;
        directoryEnd = recordOffset;
    }
    if (disks != 0) {
        return Problem::SplitArchive;
    }
    if (entriesOnThisDisk != end->entries) {
        return Problem::CountMismatch;
    }
    if (end->directorySize > directoryEnd) {
        return Problem::DirectoryMisplaced;
    }
    const std::uint64_t directoryStart = directoryEnd - end->directorySize;
    if (end->directoryOffset == directoryStart) {
        return Problem::None;
    }
    // Offsets short by a prefix are read shifted only where that is the one reading: a
    // 32-bit archive with entries, its directory where the shift puts it and nothing that
    // looks like a directory where the record itself says.
    if (end->directoryOffset > directoryStart || directoryEnd != pos || end->entries == 0 ||
        signatureAt(readAt(file, directoryStart, 4)) != kCentralHeader ||
        signatureAt(readAt(file, end->directoryOffset, 4)) == kCentralHeader) {
        return Problem::DirectoryMisplaced;
    }
    end->prefix = directoryStart - end->directoryOffset;
    end->directoryOffset = directoryStart;
    return Problem::None;
}

// Every entry where the prefix puts it, and none where its offset alone says: otherwise
// the archive reads two ways, or only partly one way.
bool shiftedThroughout(QFile& file, const ZipDirectory& dir, std::uint64_t prefix) {
    for (const ZipEntry& e : dir.entries) {
        if (!e.dataIntact ||
            signatureAt(readAt(file, e.localHeaderOffset - prefix, 4)) == kLocalHeader) {
            return false;
        }
    }
    return true;
}

// Whether the end-record signature at `pos` is a record of its own: one that a reader
// could take, leading to a directory that ends where the record begins.
bool leadsToDirectory(QFile& file, QByteArrayView record, std::uint64_t pos) {
    EndRecord end;
    if (readEndRecord(file, record, pos, &end) != Problem::None) {
        return false;
    }
    return (end.entries == 0 && end.directorySize == 0) ||
           signatureAt(readAt(file, end.directoryOffset, 4)) == kCentralHeader;
}

// Parses the extra fields of a central header: ZIP64 sizes and offset, the extended
// timestamp and the Unicode path (whose text is left in `unicodeName`, null without one).
bool parseExtraFields(QByteArrayView extra, QByteArrayView rawName, ZipEntry* entry,
                      QByteArrayView* unicodeName) {
    Reader r(extra);
    while (r.has(4)) {
        const std::uint16_t id = r.u16();
        const std::uint16_t size = r.u16();
        if (!r.has(size)) {
            return false;
        }
        const QByteArrayView field = r.bytes(size);
        Reader f(field);
        if (id == 0x0001) {
            // Only the values whose 32-bit field is saturated are present, in this order.
            for (std::uint64_t* value :
                 {&entry->uncompressedSize, &entry->compressedSize, &entry->localHeaderOffset}) {
                if (*value != kSaturated32) {
                    continue;
                }
                if (!f.has(8)) {
                    return false;
                }
                *value = f.u64();
            }
        } else if (id == 0x5455 && f.has(5)) {
            if (f.read(1) & 0x01) {
                entry->modificationTime = std::int64_t(f.u32());
                entry->hasModificationTime = true;
            }
        } else if (id == 0x7075 && f.has(5)) {
            const auto version = f.read(1);
            const std::uint32_t nameCrc = f.u32();
            const auto* raw = reinterpret_cast<const unsigned char*>(rawName.data());
            // The field only counts while it still describes the stored name.
            if (version == 1 && nameCrc == libdeflate_crc32(0, raw, std::size_t(rawName.size()))) {
                *unicodeName = field.sliced(5);
                if (unicodeName->isNull()) {
                    *unicodeName = QByteArrayView("", 0); // an empty text is still a name
                }
            }
        }
    }
    return true;
}

// A stretch of the archive read through a window of one buffer: a central directory of
// hundreds of thousands of entries is never held whole.
class FileWindow {
public:
    FileWindow(QFile& file, std::uint64_t start, std::uint64_t size)
        : m_file(file), m_start(start), m_size(size) {}

    // `size` bytes at `offset` into the stretch, fewer only where the file cannot be read.
    // Valid until the next call.
    QByteArrayView at(std::uint64_t offset, qsizetype size) {
        const std::uint64_t held = std::uint64_t(m_bytes.size());
        if (offset < m_offset || offset - m_offset > held ||
            std::uint64_t(size) > held - (offset - m_offset)) {
            const auto want = qsizetype(std::max<std::uint64_t>(
                std::uint64_t(size), std::min<std::uint64_t>(kWindowSize, m_size - offset)));
            m_offset = offset;
            m_bytes.resize(want);
            qint64 got = -1;
            if (m_file.seek(qint64(m_start + offset))) {
                got = noteReadError(m_file.read(m_bytes.data(), want));
            }
            m_bytes.resize(std::max<qint64>(got, 0));
        }
        const auto from = qsizetype(offset - m_offset);
        return QByteArrayView(m_bytes).sliced(from, std::min(size, m_bytes.size() - from));
    }

private:
    static constexpr std::uint64_t kWindowSize = 1 << 20;

    QFile& m_file;
    const std::uint64_t m_start;
    const std::uint64_t m_size;
    std::uint64_t m_offset = 0;
    QByteArray m_bytes;
};

// Reads the central headers, which must fill the directory exactly and number as many
// as the end record says.
Problem readCentralHeaders(QFile& file, const EndRecord& end, ZipDirectory* dir) {
    // Each central header takes at least 46 bytes, which bounds a forged entry count.
    if (end.entries > end.directorySize / kCentralHeaderSize) {
        return Problem::CountMismatch;
    }
    dir->entries.reserve(end.entries);
    DosClock clock;
    FileWindow window(file, end.directoryOffset, end.directorySize);
    std::uint64_t pos = 0;
    while (pos < end.directorySize) {
        const std::uint64_t left = end.directorySize - pos;
        Reader r(window.at(pos, kCentralHeaderSize));
        if (left < std::uint64_t(kCentralHeaderSize) || !r.has(kCentralHeaderSize) ||
            r.u32() != kCentralHeader) {
            return Problem::CentralHeaderDamaged;
        }
        if (dir->entries.size() == end.entries) {
            return Problem::CountMismatch;
        }
        ZipEntry e;
        e.versionMadeBy = r.u16();
        r.skip(2);
        e.flags = r.u16();
        e.method = r.u16();
        const std::uint16_t dosTime = r.u16();
        const std::uint16_t dosDate = r.u16();
        e.crc = r.u32();
        e.compressedSize = r.u32();
        e.uncompressedSize = r.u32();
        const std::uint16_t nameLength = r.u16();
        const std::uint16_t extraLength = r.u16();
        const std::uint16_t commentLength = r.u16();
        r.skip(4);
        e.externalAttributes = r.u32();
        e.localHeaderOffset = r.u32();
        if (std::uint64_t(nameLength) + extraLength + commentLength > left - kCentralHeaderSize) {
            return Problem::CentralHeaderDamaged;
        }
        // The comment is never used: it is skipped unread.
        Reader v(window.at(pos + kCentralHeaderSize, qsizetype(nameLength) + extraLength));
        if (!v.has(qsizetype(nameLength) + extraLength)) {
            return Problem::CentralHeaderDamaged;
        }
        const QByteArrayView rawName = v.bytes(nameLength);
        QByteArrayView unicodeName;
        if (!parseExtraFields(v.bytes(extraLength), rawName, &e, &unicodeName)) {
            return Problem::CentralHeaderDamaged;
        }
        e.nameOffset = std::uint64_t(dir->names.size());
        e.nameLength = nameLength;
        dir->names.append(rawName);
        if (e.flags & kUtf8) {
            e.nameText = ZipEntry::NameText::Utf8;
        } else if (!unicodeName.isNull()) {
            e.nameText = ZipEntry::NameText::UnicodeField;
            e.unicodeLength = std::uint16_t(unicodeName.size());
            dir->names.append(unicodeName);
        }
        if (!e.hasModificationTime) {
            e.modificationTime = clock.toEpoch(dosTime, dosDate, &e.hasModificationTime);
        }
        dir->entries.push_back(e);
        pos += std::uint64_t(kCentralHeaderSize) + nameLength + extraLength + commentLength;
    }
    dir->names.squeeze();
    return dir->entries.size() == end.entries ? Problem::None : Problem::CountMismatch;
}

// The local ZIP64 field carries both sizes whenever either 32-bit field is saturated;
// some writers put only the saturated ones, in order, as the central field does.
void localZip64Sizes(QByteArrayView extra, std::uint64_t* uncompressed, std::uint64_t* compressed) {
    Reader r(extra);
    while (r.has(4)) {
        const std::uint16_t id = r.u16();
        const std::uint16_t size = r.u16();
        if (!r.has(size)) {
            return;
        }
        Reader f(r.bytes(size));
        if (id != 0x0001) {
            continue;
        }
        const bool both = size >= 16;
        for (std::uint64_t* value : {uncompressed, compressed}) {
            if (f.has(8) && (*value == kSaturated32 || both)) {
                const std::uint64_t wide = f.u64();
                if (*value == kSaturated32) {
                    *value = wide;
                }
            }
        }
        return;
    }
}

// The length of a data descriptor that starts `skip` bytes into `bytes` and states the
// entry's CRC and sizes, 32-bit or 64-bit; nothing when it does not.
std::optional<qint64> descriptorLength(QByteArrayView bytes, qsizetype skip, const ZipEntry& e) {
    Reader r(bytes, skip);
    if (!r.has(4) || r.u32() != e.crc) {
        return {};
    }
    Reader narrow = r;
    if (narrow.has(8) && narrow.u32() == e.compressedSize && narrow.u32() == e.uncompressedSize) {
        return skip + 12;
    }
    if (r.has(16) && r.u64() == e.compressedSize && r.u64() == e.uncompressedSize) {
        return skip + 20;
    }
    return {};
}

// Checks every entry's local header against its central entry, walking the entries in
// file order so that the headers are read front to back through one window of the file:
// small entries share a read, a large one costs a read of its header alone.
//
// What refuses the archive whole and what loses one entry: a local header that is there
// but contradicts its central entry (name, method, flags, CRC, sizes), or a descriptor
// that does, is where the bytes are read from and where a streaming reader takes its
// facts, so the archive says two things and is refused. Bytes shared by two entries, or
// by an entry and the directory, refuse it too. A place with no local header signature
// at all states nothing: that entry alone is lost (skipped as corrupted).
class LocalWalk {
public:
    LocalWalk(QFile& file, ZipDirectory& dir, std::uint64_t directoryOffset)
        : m_file(file), m_dir(dir), m_entries(dir.entries), m_directoryOffset(directoryOffset) {}

    Problem run() {
        m_order.resize(m_entries.size());
        std::iota(m_order.begin(), m_order.end(), std::size_t(0));
        std::sort(m_order.begin(), m_order.end(), [this](std::size_t a, std::size_t b) {
            return m_entries[a].localHeaderOffset < m_entries[b].localHeaderOffset;
        });
        std::uint64_t covered = 0; // where the furthest entry so far ends
        for (m_current = 0; m_current < m_order.size(); ++m_current) {
            ZipEntry& e = m_entries[m_order[m_current]];
            std::uint64_t end = 0;
            if (const Problem problem = check(e, &end); problem != Problem::None) {
                return problem;
            }
            if (!e.dataIntact) {
                continue;
            }
            if (e.localHeaderOffset < covered) {
                return Problem::SharedBytes;
            }
            if (unlistedHeader(covered, e.localHeaderOffset)) {
                return Problem::UnlistedHeader;
            }
            covered = end;
        }
        return unlistedHeader(covered, m_directoryOffset) ? Problem::UnlistedHeader : Problem::None;
    }

private:
    static constexpr qint64 kWindowSize = 64 << 10;
    // Room for a local header's extra fields beyond its name, when reading ahead.
    static constexpr std::uint64_t kExtraAllowance = 64;

    // Where the header of the entry `rank` places into the file order probably ends; past
    // the last one, the start of the directory.
    std::uint64_t headerReach(std::size_t rank) const {
        if (rank >= m_order.size()) {
            return m_directoryOffset + 4;
        }
        const ZipEntry& e = m_entries[m_order[rank]];
        return e.localHeaderOffset + kLocalHeaderSize + e.nameLength + kExtraAllowance;
    }

    // Up to `size` bytes at `offset` (fewer at the end of the file). A miss reads on as
    // far as the following headers that fit in one window, or only what was asked.
    QByteArrayView at(std::uint64_t offset, qint64 size) {
        const std::uint64_t held = std::uint64_t(m_window.size());
        if (offset < m_windowStart || offset - m_windowStart > held ||
            std::uint64_t(size) > held - (offset - m_windowStart)) {
            m_ahead = std::max(m_ahead, m_current + 1);
            while (m_ahead <= m_order.size() && headerReach(m_ahead) <= offset + kWindowSize) {
                ++m_ahead;
            }
            const std::uint64_t readTo =
                m_ahead > m_current + 1
                    ? std::min<std::uint64_t>(headerReach(m_ahead - 1), offset + kWindowSize)
                    : offset;
            m_windowStart = offset;
            m_window = readAt(m_file, offset, std::max<qint64>(size, qint64(readTo - offset)));
        }
        const qsizetype from = qsizetype(offset - m_windowStart);
        return QByteArrayView(m_window).sliced(from,
                                               std::min<qsizetype>(size, m_window.size() - from));
    }

    // A header signature in bytes no entry accounts for: a reader that walks the local
    // headers would find an entry there that the directory does not list, or the rest of
    // a directory that the end record leaves out.
    bool unlistedHeader(std::uint64_t from, std::uint64_t to) {
        if (from >= to || to - from < 4) {
            return false;
        }
        const std::uint32_t signature = signatureAt(at(from, 4));
        return signature == kLocalHeader || signature == kCentralHeader;
    }

    Problem check(ZipEntry& e, std::uint64_t* end) {
        const std::uint64_t start = e.localHeaderOffset;
        Reader r(at(start, kLocalHeaderSize));
        if (!r.has(kLocalHeaderSize) || r.u32() != kLocalHeader) {
            return Problem::None;
        }
        r.skip(2);
        const std::uint16_t flags = r.u16();
        const std::uint16_t method = r.u16();
        r.skip(4);
        const std::uint32_t crc = r.u32();
        std::uint64_t compressed = r.u32();
        std::uint64_t uncompressed = r.u32();
        const std::uint16_t nameLength = r.u16();
        const std::uint16_t extraLength = r.u16();
        const std::uint64_t headerSize = std::uint64_t(kLocalHeaderSize) + nameLength + extraLength;
        if (start >= m_directoryOffset || headerSize > m_directoryOffset - start) {
            return Problem::SharedBytes;
        }
        const QByteArrayView header = at(start, qint64(headerSize));
        if (std::uint64_t(header.size()) != headerSize) {
            return Problem::None; // unreadable here: the entry is lost
        }
        const QByteArrayView name = header.sliced(kLocalHeaderSize, nameLength);
        const std::uint16_t differing = flags ^ e.flags;
        const bool reencoded = reencodedFromCp437(name, flags, m_dir.rawName(e), e.flags);
        if ((name != m_dir.rawName(e) && !reencoded) || method != e.method ||
            (differing & kReadingFlags) || ((differing & kUtf8) && !isAscii(name) && !reencoded)) {
            return Problem::LocalHeaderMismatch;
        }
        if (compressed == kSaturated32 || uncompressed == kSaturated32) {
            localZip64Sizes(header.sliced(kLocalHeaderSize + nameLength), &uncompressed,
                            &compressed);
        }
        // With a descriptor, the local fields may be left zero: the writer did not know
        // them yet. Any other value must be the central one.
        const bool streamed = e.flags & kHasDescriptor;
        const auto same = [streamed](std::uint64_t local, std::uint64_t central) {
            return local == central || (streamed && local == 0);
        };
        if (!same(crc, e.crc) || !same(compressed, e.compressedSize) ||
            !same(uncompressed, e.uncompressedSize)) {
            return Problem::LocalHeaderMismatch;
        }
        e.dataOffset = start + headerSize;
        if (e.compressedSize > m_directoryOffset - e.dataOffset) {
            return Problem::SharedBytes;
        }
        *end = e.dataOffset + e.compressedSize;
        if (streamed) {
            qint64 length = 0;
            if (!descriptor(e, *end, &length)) {
                return Problem::DescriptorMismatch;
            }
            if (std::uint64_t(length) > m_directoryOffset - *end) {
                return Problem::SharedBytes;
            }
            *end += std::uint64_t(length);
        }
        e.dataIntact = true;
        return Problem::None;
    }

    // The length of the descriptor after the entry's data, 0 where none was written
    // (writers exist that set the flag and write none). False when one is there, by its
    // signature or by the entry's CRC, but states other values than the central entry.
    bool descriptor(const ZipEntry& e, std::uint64_t offset, qint64* length) {
        const QByteArrayView bytes = at(offset, 24);
        const bool hasSignature = signatureAt(bytes) == kDataDescriptor;
        std::optional<qint64> found;
        if (hasSignature) {
            found = descriptorLength(bytes, 4, e);
        }
        if (!found) {
            found = descriptorLength(bytes, 0, e);
        }
        if (found) {
            *length = *found;
            return true;
        }
        *length = 0;
        return !hasSignature && (bytes.size() < 4 || signatureAt(bytes) != e.crc);
    }

    QFile& m_file;
    const ZipDirectory& m_dir;
    std::vector<ZipEntry>& m_entries;
    const std::uint64_t m_directoryOffset;
    std::vector<std::size_t> m_order; // entry indices by local header offset
    std::size_t m_current = 0;        // the rank being checked
    std::size_t m_ahead = 0;          // the first rank past the last read-ahead
    std::uint64_t m_windowStart = 0;
    QByteArray m_window;
};

ZipDirectory refuse(ZipDirectory dir, Problem problem) {
    dir.entries = {};
    dir.names = {};
    dir.problem = problem;
    dir.status = problem == Problem::SharedBytes    ? ZipDirectory::Overlapping
                 : problem == Problem::SplitArchive ? ZipDirectory::NotAZip
                                                    : ZipDirectory::Damaged;
    return dir;
}

} // namespace

QString ZipDirectory::name(const ZipEntry& entry) const {
    switch (entry.nameText) {
    case ZipEntry::NameText::Utf8:
        return QString::fromUtf8(rawName(entry));
    case ZipEntry::NameText::UnicodeField:
        return QString::fromUtf8(QByteArrayView(names).sliced(
            qsizetype(entry.nameOffset) + entry.nameLength, entry.unicodeLength));
    case ZipEntry::NameText::Unflagged:
        break;
    }
    return decodeUnflaggedName(rawName(entry));
}

namespace {

ZipDirectory readDirectory(QFile& archive) {
    ZipDirectory dir;
    const qint64 fileSize = archive.size();
    if (fileSize < kEndRecordSize) {
        return dir;
    }
    const qint64 tailStart = std::max<qint64>(0, fileSize - kEndRecordSize - kMaxCommentSize);
    const QByteArray tail = readAt(archive, std::uint64_t(tailStart), fileSize - tailStart);
    if (tail.size() != fileSize - tailStart) {
        return dir;
    }
    std::vector<qsizetype> records; // end-record signatures, the last first
    for (qsizetype pos = tail.size() - kEndRecordSize; pos >= 0; --pos) {
        if (signatureAt(QByteArrayView(tail).sliced(pos, 4)) == kEndOfDirectory) {
            records.push_back(pos);
        }
    }
    if (records.empty()) {
        return dir;
    }
    // The end record is the last one whose comment reaches the end of the file; failing
    // that (bytes appended after the archive), the last one.
    const auto recordAt = [&tail](qsizetype pos) {
        return QByteArrayView(tail).sliced(pos, kEndRecordSize);
    };
    qsizetype chosen = records.front();
    for (qsizetype pos : records) {
        Reader r(recordAt(pos), kEndRecordSize - 2);
        if (pos + kEndRecordSize + r.u16() == tail.size()) {
            chosen = pos;
            break;
        }
    }
    EndRecord end;
    const auto at = [tailStart](qsizetype pos) { return std::uint64_t(tailStart + pos); };
    if (const Problem problem = readEndRecord(archive, recordAt(chosen), at(chosen), &end);
        problem != Problem::None) {
        return refuse(dir, problem);
    }
    // Any other record that leads to a directory of its own, before the end record or
    // inside its comment, is one that another reader takes: the archive says two things.
    for (qsizetype pos : records) {
        if (pos != chosen && leadsToDirectory(archive, recordAt(pos), at(pos))) {
            return refuse(dir, Problem::SecondEndRecord);
        }
    }
    if (const Problem problem = readCentralHeaders(archive, end, &dir); problem != Problem::None) {
        return refuse(dir, problem);
    }
    for (ZipEntry& e : dir.entries) {
        if (e.localHeaderOffset > std::uint64_t(fileSize) - end.prefix) {
            return refuse(dir, Problem::DirectoryMisplaced);
        }
        e.localHeaderOffset += end.prefix;
    }
    if (const Problem problem = LocalWalk(archive, dir, end.directoryOffset).run();
        problem != Problem::None) {
        return refuse(dir, problem);
    }
    if (end.prefix != 0 && !shiftedThroughout(archive, dir, end.prefix)) {
        return refuse(dir, Problem::DirectoryMisplaced);
    }
    dir.status = ZipDirectory::Ok;
    dir.problem = Problem::None;
    return dir;
}

} // namespace

ZipDirectory readZipDirectory(QFile& archive) {
    t_readError = 0;
    ZipDirectory dir = readDirectory(archive);
    if (t_readError != 0) {
        dir = refuse(std::move(dir), Problem::ReadError);
        dir.status = ZipDirectory::Unreadable;
        dir.readError = t_readError;
    }
    return dir;
}

} // namespace archive_engine
