#include "zip_directory.h"

#include "entry_name.h"

#include <QDateTime>
#include <QFile>
#include <QHash>

#include <libdeflate.h>

#include <algorithm>

namespace archive_engine {

namespace {

constexpr std::uint32_t kEndOfDirectory = 0x06054b50;
constexpr std::uint32_t kZip64Locator = 0x07064b50;
constexpr std::uint32_t kZip64EndOfDirectory = 0x06064b50;
constexpr std::uint32_t kCentralHeader = 0x02014b50;
constexpr std::uint32_t kLocalHeader = 0x04034b50;
constexpr qint64 kEndRecordSize = 22;
constexpr qint64 kMaxCommentSize = 0xFFFF;

// Little-endian reads from a byte range; every read is bounds-checked so that a damaged
// directory can only fail, never read past its buffer.
class Reader {
public:
    Reader(const QByteArray& bytes, qsizetype pos = 0) : m_bytes(bytes), m_pos(pos) {}
    bool has(qsizetype n) const { return m_pos >= 0 && n >= 0 && m_pos + n <= m_bytes.size(); }
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
    QByteArray bytes(qsizetype n) {
        QByteArray out = m_bytes.mid(m_pos, n);
        m_pos += n;
        return out;
    }
    void skip(qsizetype n) { m_pos += n; }
    qsizetype pos() const { return m_pos; }

private:
    const QByteArray& m_bytes;
    qsizetype m_pos;
};

QByteArray readAt(QFile& file, std::uint64_t offset, qint64 size) {
    if (offset > std::uint64_t(file.size()) || !file.seek(qint64(offset))) {
        return {};
    }
    return file.read(size);
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

// Local headers lie in archive order, mostly close together: they are read through a
// window of the file rather than one read each.
class HeaderWindow {
public:
    explicit HeaderWindow(QFile& file) : m_file(file) {}

    QByteArray at(std::uint64_t offset, qint64 size) {
        if (offset < m_start ||
            offset - m_start + std::uint64_t(size) > std::uint64_t(m_bytes.size())) {
            m_start = offset;
            m_bytes = readAt(m_file, offset, std::max(size, kWindowSize));
        }
        return m_bytes.mid(qsizetype(offset - m_start), size);
    }

private:
    static constexpr qint64 kWindowSize = 64 << 10;
    QFile& m_file;
    std::uint64_t m_start = 0;
    QByteArray m_bytes;
};

struct EndRecord {
    std::uint64_t entries = 0;
    std::uint64_t directorySize = 0;
    std::uint64_t directoryOffset = 0;
    std::uint64_t directoryEnd = 0; // where the directory must end: the first end record
};

bool findEndRecord(QFile& file, EndRecord* end) {
    const qint64 fileSize = file.size();
    if (fileSize < kEndRecordSize) {
        return false;
    }
    const qint64 tailStart = std::max<qint64>(0, fileSize - kEndRecordSize - kMaxCommentSize);
    const QByteArray tail = readAt(file, std::uint64_t(tailStart), fileSize - tailStart);
    if (tail.size() != fileSize - tailStart) {
        return false;
    }
    // The last signature whose comment length reaches exactly to the end of the file; a
    // signature that merely occurs inside the comment does not qualify.
    qsizetype found = -1;
    for (qsizetype pos = tail.size() - kEndRecordSize; pos >= 0; --pos) {
        Reader r(tail, pos);
        if (r.u32() != kEndOfDirectory) {
            continue;
        }
        r.skip(16);
        if (pos + kEndRecordSize + r.u16() == tail.size()) {
            found = pos;
            break;
        }
        if (found < 0) {
            found = pos;
        }
    }
    if (found < 0) {
        return false;
    }
    Reader r(tail, found + 4);
    const std::uint16_t disk = r.u16();
    const std::uint16_t directoryDisk = r.u16();
    r.skip(2);
    end->entries = r.u16();
    end->directorySize = r.u32();
    end->directoryOffset = r.u32();
    end->directoryEnd = std::uint64_t(tailStart + found);
    if (disk != 0 || directoryDisk != 0) {
        return false; // split archives are not supported
    }

    const qint64 locatorPos = tailStart + found - 20;
    if (locatorPos < 0) {
        return true;
    }
    const QByteArray locator = readAt(file, std::uint64_t(locatorPos), 20);
    Reader l(locator);
    if (!l.has(20) || l.u32() != kZip64Locator) {
        return true;
    }
    l.skip(4);
    const std::uint64_t recordOffset = l.u64();
    const QByteArray record = readAt(file, recordOffset, 56);
    Reader z(record);
    if (!z.has(56) || z.u32() != kZip64EndOfDirectory ||
        recordOffset >= std::uint64_t(locatorPos)) {
        return false;
    }
    z.skip(8 + 2 + 2 + 4 + 4 + 8);
    end->entries = z.u64();
    end->directorySize = z.u64();
    end->directoryOffset = z.u64();
    end->directoryEnd = recordOffset;
    return true;
}

// Parses the extra fields of a central header: ZIP64 sizes and offset, the extended
// timestamp and the Unicode path.
bool parseExtraFields(const QByteArray& extra, ZipEntry* entry, QString* unicodeName) {
    Reader r(extra);
    while (r.has(4)) {
        const std::uint16_t id = r.u16();
        const std::uint16_t size = r.u16();
        if (!r.has(size)) {
            return false;
        }
        const QByteArray field = r.bytes(size);
        Reader f(field);
        if (id == 0x0001) {
            // Only the values whose 32-bit field is saturated are present, in this order.
            for (std::uint64_t* value :
                 {&entry->uncompressedSize, &entry->compressedSize, &entry->localHeaderOffset}) {
                if (*value != 0xFFFFFFFFu) {
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
            const auto* raw = reinterpret_cast<const unsigned char*>(entry->rawName.constData());
            // The field only counts while it still describes the stored name.
            if (version == 1 &&
                nameCrc == libdeflate_crc32(0, raw, std::size_t(entry->rawName.size()))) {
                *unicodeName = QString::fromUtf8(field.mid(5));
            }
        }
    }
    return true;
}

void checkLocalHeader(HeaderWindow& headers, std::uint64_t directoryOffset, ZipEntry* entry) {
    const QByteArray header = headers.at(entry->localHeaderOffset, 30);
    Reader r(header);
    if (!r.has(30) || r.u32() != kLocalHeader) {
        return;
    }
    r.skip(22);
    const std::uint16_t nameLength = r.u16();
    const std::uint16_t extraLength = r.u16();
    entry->dataOffset = entry->localHeaderOffset + 30 + nameLength + extraLength;
    entry->dataIntact = entry->dataOffset <= directoryOffset &&
                        entry->compressedSize <= directoryOffset - entry->dataOffset;
}

bool entriesOverlap(const std::vector<ZipEntry>& entries) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    ranges.reserve(entries.size());
    for (const ZipEntry& e : entries) {
        if (e.dataIntact) {
            ranges.emplace_back(e.localHeaderOffset, e.dataOffset + e.compressedSize);
        }
    }
    std::sort(ranges.begin(), ranges.end());
    for (std::size_t i = 1; i < ranges.size(); ++i) {
        if (ranges[i].first < ranges[i - 1].second) {
            return true;
        }
    }
    return false;
}

} // namespace

ZipDirectory readZipDirectory(QFile& archive) {
    ZipDirectory dir;
    EndRecord end;
    if (!findEndRecord(archive, &end)) {
        return dir;
    }
    dir.status = ZipDirectory::Damaged;
    if (end.directoryOffset > end.directoryEnd ||
        end.directorySize > end.directoryEnd - end.directoryOffset) {
        return dir;
    }
    const QByteArray central = readAt(archive, end.directoryOffset, qint64(end.directorySize));
    if (std::uint64_t(central.size()) != end.directorySize) {
        return dir;
    }
    // Each central header takes at least 46 bytes, which bounds a forged entry count.
    if (end.entries > end.directorySize / 46) {
        return dir;
    }
    dir.entries.reserve(end.entries);
    DosClock clock;
    HeaderWindow headers(archive);
    Reader r(central);
    for (std::uint64_t i = 0; i < end.entries; ++i) {
        if (!r.has(46) || r.u32() != kCentralHeader) {
            return dir;
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
        if (!r.has(qsizetype(nameLength) + extraLength + commentLength)) {
            return dir;
        }
        e.rawName = r.bytes(nameLength);
        QString unicodeName;
        if (!parseExtraFields(r.bytes(extraLength), &e, &unicodeName)) {
            return dir;
        }
        r.skip(commentLength);
        if (e.flags & 0x0800) {
            e.name = QString::fromUtf8(e.rawName);
        } else if (!unicodeName.isNull()) {
            e.name = unicodeName;
        } else {
            e.name = decodeCp437(e.rawName);
        }
        if (!e.hasModificationTime) {
            e.modificationTime = clock.toEpoch(dosTime, dosDate, &e.hasModificationTime);
        }
        checkLocalHeader(headers, end.directoryOffset, &e);
        dir.entries.push_back(std::move(e));
    }
    dir.status = entriesOverlap(dir.entries) ? ZipDirectory::Overlapping : ZipDirectory::Ok;
    return dir;
}

} // namespace archive_engine
