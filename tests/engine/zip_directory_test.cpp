#include "engine_fixture.h"
#include "zip/zip_directory.h"

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <functional>

using archive_engine::ZipDirectory;
using enginetest::noise;
using testsupport::RawZip;

namespace {

// Sets the process's time zone for one test and puts the old one back.
class ZoneGuard {
public:
    explicit ZoneGuard(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            m_old = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard() {
        if (m_old) {
            setenv("TZ", m_old->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    std::optional<std::string> m_old;
};

constexpr std::uint16_t dosDate(int year, int month, int day) {
    return std::uint16_t(((year - 1980) << 9) | (month << 5) | day);
}
constexpr std::uint16_t dosTime(int hour, int minute, int second) {
    return std::uint16_t((hour << 11) | (minute << 5) | (second / 2));
}

archive_engine::ZipDirectory readBack(const RawZip& zip, QTemporaryDir& dir) {
    const QString path = dir.filePath(QStringLiteral("a.zip"));
    zip.write(path);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    return archive_engine::readZipDirectory(file);
}

struct Stamp {
    std::uint16_t date;
    std::uint16_t time;
};

// Every stamp must be valid where a direct conversion is, and name that moment.
void expectConverted(const std::vector<Stamp>& stamps) {
    RawZip zip;
    for (std::size_t i = 0; i < stamps.size(); ++i) {
        RawZip::Entry e = RawZip::stored("f" + QByteArray::number(qulonglong(i)), "x");
        e.dosDate = stamps[i].date;
        e.dosTime = stamps[i].time;
        zip.add(e);
    }
    QTemporaryDir dir;
    const archive_engine::ZipDirectory read = readBack(zip, dir);
    ASSERT_EQ(read.status, archive_engine::ZipDirectory::Ok);
    ASSERT_EQ(read.entries.size(), stamps.size());
    for (std::size_t i = 0; i < stamps.size(); ++i) {
        const Stamp s = stamps[i];
        const QDateTime direct(QDate(1980 + (s.date >> 9), (s.date >> 5) & 0x0F, s.date & 0x1F),
                               QTime(s.time >> 11, (s.time >> 5) & 0x3F, (s.time & 0x1F) * 2));
        SCOPED_TRACE(testing::Message() << "stamp " << i);
        EXPECT_EQ(read.entries[i].hasModificationTime, direct.isValid());
        if (direct.isValid()) {
            // A time the clocks show twice has two answers; either must show this time.
            const QDateTime back = QDateTime::fromSecsSinceEpoch(read.entries[i].modificationTime);
            EXPECT_EQ(back.date(), direct.date());
            EXPECT_EQ(back.time(), direct.time());
        }
    }
}

// Entry times are local times, and clock changes need not fall on the hour: in these
// zones the clocks move forward by half an hour at 02:00, and back by an hour at 02:30,
// so hours start on one offset from UTC and end on another. Stamps repeated within an
// hour, the hours around each change and impossible fields are all in the table.
TEST(ZipDirectoryTest, LocalTimesConvertAsTheCalendarSays) {
    const std::vector<Stamp> common = {
        {dosDate(2024, 6, 15), dosTime(13, 0, 0)},
        {dosDate(2024, 6, 15), dosTime(13, 59, 58)},
        {dosDate(2024, 6, 15), dosTime(13, 27, 14)},
        {dosDate(2024, 6, 15), dosTime(13, 0, 0)},
        {dosDate(1980, 1, 1), dosTime(0, 0, 0)},
        {dosDate(2107, 12, 31), dosTime(23, 59, 58)},
        // Not a time: hour 24, minute 60, second 62, day 0, month 13.
        {dosDate(2024, 6, 15), std::uint16_t(24 << 11)},
        {dosDate(2024, 6, 15), std::uint16_t((13 << 11) | (60 << 5))},
        {dosDate(2024, 6, 15), std::uint16_t((13 << 11) | 31)},
        {std::uint16_t((44 << 9) | (6 << 5)), dosTime(13, 0, 0)},
        {std::uint16_t((44 << 9) | (13 << 5) | 1), dosTime(13, 0, 0)},
    };
    // Changes on 2024-10-06 (first Sunday of October) and 2024-04-07 (of April).
    std::vector<Stamp> aroundChanges;
    for (const auto& [month, day] : {std::pair{10, 6}, std::pair{4, 7}}) {
        for (int hour = 0; hour < 4; ++hour) {
            for (const int minute : {0, 10, 29, 30, 45, 59}) {
                aroundChanges.push_back({dosDate(2024, month, day), dosTime(hour, minute, 0)});
            }
        }
    }
    for (const char* zone :
         {"HHA-10:30HHB-11,M10.1.0/2,M4.1.0/2", "ONE-10TWO-11,M10.1.0/2,M4.1.0/2:30"}) {
        SCOPED_TRACE(zone);
        const ZoneGuard guard(zone);
        std::vector<Stamp> stamps = common;
        stamps.insert(stamps.end(), aroundChanges.begin(), aroundChanges.end());
        expectConverted(stamps);
    }
}

// Local headers are read through a window of the file: small entries share one, large
// ones push the next header out of it. Every entry's data must be found where it lies.
TEST(ZipDirectoryTest, EveryEntryFindsItsData) {
    RawZip zip;
    std::vector<QByteArray> contents;
    for (int i = 0; i < 40; ++i) {
        const qsizetype size = i % 7 == 3 ? 150000 : 10 + i * 37;
        contents.push_back(noise(size, unsigned(i)));
        zip.add(RawZip::stored("d/" + QByteArray::number(i) + QByteArray(i % 5 * 40, 'n'),
                               contents.back()));
    }
    QTemporaryDir dir;
    const archive_engine::ZipDirectory read = readBack(zip, dir);
    ASSERT_EQ(read.status, archive_engine::ZipDirectory::Ok);
    const QByteArray bytes = zip.bytes();
    ASSERT_EQ(read.entries.size(), contents.size());
    for (std::size_t i = 0; i < contents.size(); ++i) {
        const archive_engine::ZipEntry& e = read.entries[i];
        SCOPED_TRACE(testing::Message() << "entry " << i);
        ASSERT_TRUE(e.dataIntact);
        EXPECT_EQ(bytes.mid(qsizetype(e.dataOffset), contents[i].size()), contents[i]);
    }
}

QByteArray extraField(std::uint16_t id, const QByteArray& body) {
    QByteArray field;
    for (const unsigned value : {unsigned(id), unsigned(body.size())}) {
        field += char(value & 0xFF);
        field += char(value >> 8);
    }
    return field + body;
}

// A Unicode path field giving `text` for a stored name whose CRC-32 is `nameCrc`.
QByteArray unicodePath(const QByteArray& text, std::uint32_t nameCrc) {
    QByteArray body(1, '\x01');
    for (int i = 0; i < 4; ++i) {
        body += char((nameCrc >> (8 * i)) & 0xFF);
    }
    return extraField(0x7075, body + text);
}

// A directory several times the size of the window it is read through, with headers of
// every length, so that headers, names and extra fields fall across the window's edges;
// names of each kind, kept in one buffer, come back as stored and as text.
TEST(ZipDirectoryTest, ManyNamesOfEachKindReadThroughTheWindow) {
    enum Kind { Cp437, Utf8Flag, UnicodeField, StaleUnicodeField, UnflaggedUtf8, KindCount };
    struct Written {
        QByteArray raw;
        QString text;
    };
    RawZip zip;
    std::vector<Written> written;
    for (int i = 0; i < 3000; ++i) {
        const QByteArray number = QByteArray::number(i);
        const QByteArray stem = "d" + QByteArray::number(i % 13) + "/" +
                                QByteArray((i * 37) % 700, char('a' + i % 26)) + number;
        RawZip::Entry e = RawZip::stored("", "content " + number);
        switch (Kind(i % KindCount)) {
        case Cp437:
            e.name = stem + "\x81\xE1.txt";
            written.push_back({e.name, QString::fromLatin1(stem) + QString::fromUtf8("üß.txt")});
            break;
        case Utf8Flag:
            e.name = stem + "\xC3\xA9.txt";
            e.flags = 0x0800;
            written.push_back({e.name, QString::fromLatin1(stem) + QString::fromUtf8("é.txt")});
            break;
        case UnicodeField:
        case StaleUnicodeField: {
            e.name = stem + "\x82.txt";
            const bool stale = i % KindCount == StaleUnicodeField;
            const std::uint32_t crc = testsupport::crc32Of(e.name) ^ (stale ? 1u : 0u);
            e.centralExtra = unicodePath(stem + "\xE2\x82\xAC.txt", crc);
            written.push_back(
                {e.name, QString::fromLatin1(stem) + QString::fromUtf8(stale ? "é.txt" : "€.txt")});
            break;
        }
        case UnflaggedUtf8:
            e.name = stem + "\xC3\x9C\xE2\x82\xAC.txt";
            written.push_back({e.name, QString::fromLatin1(stem) + QString::fromUtf8("Ü€.txt")});
            break;
        case KindCount:
            break;
        }
        e.centralExtra += extraField(0xCAFE, QByteArray((i * 53) % 900, 'x'));
        zip.add(e);
    }
    QTemporaryDir dir;
    const ZipDirectory read = readBack(zip, dir);
    ASSERT_EQ(read.status, ZipDirectory::Ok);
    ASSERT_EQ(read.entries.size(), written.size());
    const QByteArray bytes = zip.bytes();
    for (std::size_t i = 0; i < written.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "entry " << i);
        const archive_engine::ZipEntry& e = read.entries[i];
        EXPECT_EQ(read.rawName(e), written[i].raw);
        EXPECT_EQ(read.name(e), written[i].text);
        ASSERT_TRUE(e.dataIntact);
        EXPECT_EQ(bytes.mid(qsizetype(e.dataOffset), qsizetype(e.compressedSize)),
                  "content " + QByteArray::number(qulonglong(i)));
    }
}

using Descriptor = RawZip::Descriptor;
using Problem = ZipDirectory::Problem;

// Three small entries; a case changes one of them, usually the middle one, or the
// records that lead to them.
struct Archive {
    std::vector<RawZip::Entry> entries = {RawZip::stored("a.txt", "first entry"),
                                          RawZip::stored("b.txt", "second entry"),
                                          RawZip::stored("c.txt", "third entry")};
    std::vector<RawZip::Directory> directories;
    QByteArray trailing;
    bool zip64 = false;

    RawZip zip() const {
        RawZip zip;
        for (const RawZip::Entry& e : entries) {
            zip.add(e);
        }
        for (const RawZip::Directory& d : directories) {
            zip.directory(d);
        }
        return zip.zip64(zip64).trailing(trailing);
    }
};

RawZip::Directory listing(std::vector<std::size_t> entries) {
    RawZip::Directory d;
    d.entries = std::move(entries);
    return d;
}

struct Case {
    const char* label;
    std::function<void(Archive&)> change;
};

// A self-extractor's stub, put before an archive whose offsets were not adjusted for it.
const QByteArray kStub = QByteArray(1, '\x7F') + "ELF" + QByteArray(1000, '\x90');

// With a `prefix`, the archive's bytes follow it with their offsets unchanged.
ZipDirectory readArchive(const Case& c, Archive* archive, QByteArray* bytes,
                         const QByteArray& prefix = {}) {
    c.change(*archive);
    *bytes = prefix + archive->zip().bytes();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("a.zip"));
    QFile out(path);
    EXPECT_TRUE(out.open(QIODevice::WriteOnly) && out.write(*bytes) == bytes->size());
    out.close();
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    return archive_engine::readZipDirectory(file);
}

void streamed(RawZip::Entry& e, Descriptor descriptor) {
    e.flags |= 0x0008;
    e.descriptor = descriptor;
}

// Archives that say one thing in one place and another elsewhere: every reader that
// trusts a different place would extract something else, so the archive is refused.
TEST(ZipDirectoryTest, ArchivesThatContradictThemselvesAreRefused) {
    struct Refusal {
        Case c;
        ZipDirectory::Status status;
        Problem problem;
    };
    const auto middle = [](auto lie) { return [lie](Archive& a) { lie(a.entries[1]); }; };
    const auto directories = [](std::vector<RawZip::Directory> list) {
        return [list](Archive& a) { a.directories = list; };
    };
    const auto stated = [](std::optional<std::uint64_t> count, std::optional<std::size_t> covered,
                           bool zip64) {
        return [=](Archive& a) {
            RawZip::Directory d = listing({0, 1, 2});
            d.count = count;
            d.covered = covered;
            a.directories = {d};
            a.zip64 = zip64;
        };
    };
    const auto skewed = [](RawZip::Field field) {
        return [field](Archive& a) {
            RawZip::Directory d = listing({0, 1, 2});
            d.repeated32 = true;
            d.skewed32 = field;
            a.directories = {d};
            a.zip64 = true;
        };
    };
    RawZip::Directory firstToEnd = listing({0});
    firstToEnd.commentToEnd = true;
    RawZip::Directory allToEnd = listing({0, 1, 2});
    allToEnd.commentToEnd = true;
    RawZip::Directory strayHeader = listing({0, 1, 2});
    strayHeader.leftover = QByteArray("PK\x01\x02", 4) + QByteArray(42, '\0');

    const Refusal refusals[] = {
        {{"a later end record leads to a longer directory",
          directories({listing({0}), listing({0, 1, 2})})},
         ZipDirectory::Damaged, Problem::SecondEndRecord},
        {{"a later end record leads to a shorter directory",
          directories({listing({0, 1, 2}), listing({0})})},
         ZipDirectory::Damaged, Problem::SecondEndRecord},
        {{"an earlier record's comment runs over the later directory",
          directories({firstToEnd, listing({0, 1, 2})})},
         ZipDirectory::Damaged, Problem::SecondEndRecord},
        {{"a whole directory and record inside the last record's comment",
          [&](Archive& a) {
              a.directories = {allToEnd, listing({0})};
              a.trailing = "tail";
          }},
         ZipDirectory::Damaged, Problem::SecondEndRecord},
        {{"two ZIP64 directories",
          [&](Archive& a) {
              a.directories = {listing({0}), listing({0, 1, 2})};
              a.zip64 = true;
          }},
         ZipDirectory::Damaged, Problem::SecondEndRecord},
        // Readers that take the last signature see an empty archive.
        {{"a comment ending in an empty end record",
          [](Archive& a) {
              RawZip::Directory d = listing({0, 1, 2});
              d.comment = QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0');
              a.directories = {d};
          }},
         ZipDirectory::Damaged, Problem::DirectoryMisplaced},
        {{"the count says 2 of 3 headers", stated(2, {}, false)}, ZipDirectory::Damaged, Problem::CountMismatch},
        {{"the count says 4 of 3 headers", stated(4, {}, false)}, ZipDirectory::Damaged, Problem::CountMismatch},
        {{"the ZIP64 count says 2 of 3 headers", stated(2, {}, true)}, ZipDirectory::Damaged, Problem::CountMismatch},
        {{"the end record covers one of three headers", stated({}, 1, false)},
         ZipDirectory::Damaged, Problem::DirectoryMisplaced},
        {{"the ZIP64 record covers two of three headers", stated({}, 2, true)},
         ZipDirectory::Damaged, Problem::DirectoryMisplaced},
        {{"a central header left over before the end record", directories({strayHeader})},
         ZipDirectory::Damaged, Problem::DirectoryMisplaced},
        {{"a local entry no central header lists", directories({listing({0, 2})})},
         ZipDirectory::Damaged, Problem::UnlistedHeader},
        {{"the 32-bit count contradicts the ZIP64 record", skewed(RawZip::Field::Count)},
         ZipDirectory::Damaged, Problem::Zip64Mismatch},
        {{"the 32-bit size contradicts the ZIP64 record", skewed(RawZip::Field::Size)},
         ZipDirectory::Damaged, Problem::Zip64Mismatch},
        {{"the 32-bit offset contradicts the ZIP64 record", skewed(RawZip::Field::Offset)},
         ZipDirectory::Damaged, Problem::Zip64Mismatch},
        {{"local name differs in case", middle([](RawZip::Entry& e) { e.local.name = "B.txt"; })},
         ZipDirectory::Damaged, Problem::LocalHeaderMismatch},
        {{"local name is longer", middle([](RawZip::Entry& e) { e.local.name = "b.txt.exe"; })},
         ZipDirectory::Damaged, Problem::LocalHeaderMismatch},
        {{"local method differs", middle([](RawZip::Entry& e) { e.local.method = 8; })},
         ZipDirectory::Damaged, Problem::LocalHeaderMismatch},
        {{"only the local header says encrypted",
          middle([](RawZip::Entry& e) { e.local.flags = 0x0001; })},
         ZipDirectory::Damaged, Problem::LocalHeaderMismatch},
        {{"only the local header announces a descriptor",
          middle([](RawZip::Entry& e) { e.local.flags = 0x0008; })},
         ZipDirectory::Damaged, Problem::LocalHeaderMismatch},
        {{"only the central header announces a descriptor",
          middle([](RawZip::Entry& e) {
              e.flags = 0x0008;
              e.local.flags = 0;
          })},
         ZipDirectory::Damaged, Problem::LocalHeaderMismatch},
        {{"the UTF-8 flag differs on a non-ASCII name",
          middle([](RawZip::Entry& e) {
              e.name = "b\xC3\xA9.txt";
              e.flags = 0x0800;
              e.local.flags = 0;
          })},
         ZipDirectory::Damaged, Problem::LocalHeaderMismatch},
        // "é" in CP437, re-encoded as if it had been "ü".
        {{"a flagged central name re-encoded from other local bytes",
          middle([](RawZip::Entry& e) {
              e.name = "b\xC3\xBC.txt";
              e.flags = 0x0800;
              e.local.name = "b\x82.txt";
              e.local.flags = 0;
          })},
         ZipDirectory::Damaged, Problem::LocalHeaderMismatch},
        {{"a re-encoded central name without the UTF-8 flag",
          middle([](RawZip::Entry& e) {
              e.name = "b\xC3\xA9.txt";
              e.local.name = "b\x82.txt";
          })},
         ZipDirectory::Damaged, Problem::LocalHeaderMismatch},
        {{"local CRC differs", middle([](RawZip::Entry& e) { e.local.crc = e.crc ^ 1; })},
         ZipDirectory::Damaged, Problem::LocalHeaderMismatch},
        {{"local compressed size differs",
          middle([](RawZip::Entry& e) { e.local.compressedSize = 5; })},
         ZipDirectory::Damaged, Problem::LocalHeaderMismatch},
        {{"local uncompressed size differs",
          middle([](RawZip::Entry& e) { e.local.uncompressedSize = 5; })},
         ZipDirectory::Damaged, Problem::LocalHeaderMismatch},
        {{"with a descriptor, a local CRC that is neither zero nor the central one",
          middle([](RawZip::Entry& e) {
              streamed(e, Descriptor::Signed);
              e.local.crc = e.crc ^ 1;
          })},
         ZipDirectory::Damaged, Problem::LocalHeaderMismatch},
        {{"with a descriptor, a local size that is neither zero nor the central one",
          middle([](RawZip::Entry& e) {
              streamed(e, Descriptor::Plain);
              e.local.compressedSize = 5;
          })},
         ZipDirectory::Damaged, Problem::LocalHeaderMismatch},
        {{"the local ZIP64 field states another size",
          [](Archive& a) {
              a.entries[1].local.compressedSize = 5;
              a.zip64 = true;
          }},
         ZipDirectory::Damaged, Problem::LocalHeaderMismatch},
        {{"a descriptor states another CRC",
          middle([](RawZip::Entry& e) {
              streamed(e, Descriptor::Signed);
              e.descriptorCrc = e.crc ^ 1;
          })},
         ZipDirectory::Damaged, Problem::DescriptorMismatch},
        // Both central entries agree with the header they share.
        {{"two entries share a local header",
          [](Archive& a) {
              a.entries[2] = a.entries[1];
              a.entries[2].sameHeaderAs = 1;
          }},
         ZipDirectory::Overlapping, Problem::SharedBytes},
        {{"the last entry's data runs into the central directory",
          [](Archive& a) { a.entries[2].local.extraLength = 4; }},
         ZipDirectory::Overlapping, Problem::SharedBytes},
        {{"the last local header runs into the central directory",
          [](Archive& a) { a.entries[2].local.extraLength = 1000; }},
         ZipDirectory::Overlapping, Problem::SharedBytes},
        // The first entry's descriptor, 12 bytes without signature, is also the start of
        // the next local header: its CRC reads as that signature, its sizes as the
        // header's version, flags, method and time.
        {{"a descriptor that is also the next local header",
          [](Archive& a) {
              RawZip::Entry& e = a.entries[0];
              e.data = QByteArray(20, 'd');
              e.crc = 0x04034b50;
              e.uncompressedSize = 0;
              e.flags = 0x0008;
          }},
         ZipDirectory::Overlapping, Problem::SharedBytes},
    };
    // Behind a stub, read with every offset shifted, each is refused just the same; a
    // ZIP64 archive's offsets are never read shifted.
    for (const QByteArray& prefix : {QByteArray(), kStub}) {
        for (const Refusal& r : refusals) {
            SCOPED_TRACE(r.c.label + std::string(prefix.isEmpty() ? "" : ", behind a stub"));
            Archive archive;
            QByteArray bytes;
            const ZipDirectory read = readArchive(r.c, &archive, &bytes, prefix);
            const bool neverShifted = !prefix.isEmpty() && archive.zip64;
            EXPECT_EQ(read.status, neverShifted ? ZipDirectory::Damaged : r.status);
            EXPECT_EQ(read.problem, neverShifted ? Problem::DirectoryMisplaced : r.problem);
        }
    }
}

// What real writers produce stays readable, and every entry's data is found where the
// archive put it.
TEST(ZipDirectoryTest, ConsistentArchivesAreRead) {
    const auto all = [](auto change) {
        return [change](Archive& a) {
            for (RawZip::Entry& e : a.entries) {
                change(e);
            }
        };
    };
    const auto withComment = [](QByteArray comment) {
        return [comment](Archive& a) {
            RawZip::Directory d = listing({0, 1, 2});
            d.comment = comment;
            a.directories = {d};
        };
    };
    const Case cases[] = {
        {"plain", [](Archive&) {}},
        {"descriptors with signature",
         all([](RawZip::Entry& e) { streamed(e, Descriptor::Signed); })},
        {"descriptors without signature",
         all([](RawZip::Entry& e) { streamed(e, Descriptor::Plain); })},
        {"descriptors, local header values filled in", all([](RawZip::Entry& e) {
             streamed(e, Descriptor::Signed);
             e.local.crc = e.crc;
             e.local.compressedSize = std::uint64_t(e.data.size());
             e.local.uncompressedSize = e.uncompressedSize;
         })},
        {"a descriptor flag without a descriptor", all([](RawZip::Entry& e) { e.flags = 0x0008; })},
        {"ZIP64", [](Archive& a) { a.zip64 = true; }},
        {"ZIP64 with descriptors",
         [&](Archive& a) {
             a.zip64 = true;
             all([](RawZip::Entry& e) { streamed(e, Descriptor::Signed); })(a);
         }},
        {"ZIP64 with the 32-bit record repeating its values",
         [](Archive& a) {
             RawZip::Directory d = listing({0, 1, 2});
             d.repeated32 = true;
             a.directories = {d};
             a.zip64 = true;
         }},
        {"a comment holding the end record's signature",
         withComment(QByteArray("see PK\x05\x06 in the comment"))},
        {"bytes after the end record", [](Archive& a) { a.trailing = "appended"; }},
        {"the UTF-8 flag differs on an ASCII name",
         all([](RawZip::Entry& e) { e.local.flags = 0x0800; })},
        {"deflate option bits differ", all([](RawZip::Entry& e) { e.local.flags = 0x0006; })},
        // An appending writer read the old local name as CP437 and wrote it back as UTF-8.
        {"a central name re-encoded from the local CP437 bytes", all([](RawZip::Entry& e) {
             e.local.name = e.name + "\x82";
             e.name += "\xC3\xA9";
             e.flags = 0x0800;
             e.local.flags = 0;
         })},
        {"central headers in another order than the local ones",
         [](Archive& a) {
             a.directories = {listing({2, 0, 1})};
         }},
        {"no entries", [](Archive& a) { a.entries.clear(); }},
    };
    // Behind a stub with its offsets unadjusted, a 32-bit archive with entries is read
    // shifted, with each entry's data found where it really is.
    for (const QByteArray& prefix : {QByteArray(), kStub})
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label + std::string(prefix.isEmpty() ? "" : ", behind a stub"));
            Archive archive;
            QByteArray bytes;
            const ZipDirectory read = readArchive(c, &archive, &bytes, prefix);
            if (!prefix.isEmpty() && (archive.zip64 || archive.entries.empty())) {
                EXPECT_EQ(read.problem, Problem::DirectoryMisplaced);
                continue;
            }
            ASSERT_EQ(read.status, ZipDirectory::Ok);
            ASSERT_EQ(read.entries.size(), archive.entries.size());
            for (const archive_engine::ZipEntry& e : read.entries) {
                SCOPED_TRACE(read.name(e).toStdString());
                const auto written =
                    std::find_if(archive.entries.begin(), archive.entries.end(),
                                 [&](const RawZip::Entry& w) { return w.name == read.rawName(e); });
                ASSERT_NE(written, archive.entries.end());
                EXPECT_TRUE(e.dataIntact);
                EXPECT_EQ(bytes.mid(qsizetype(e.dataOffset), qsizetype(e.compressedSize)),
                          written->data);
            }
        }
}

// Offsets short by a stub are read shifted only where that is the one reading of the
// archive: every entry where the shift puts it, and nothing where its offset alone says.
TEST(ZipDirectoryTest, AShiftThatOnlyPartlyFitsIsRefused) {
    const Case plain = {"", [](Archive&) {}};
    Archive archive;
    QByteArray bytes;
    readArchive(plain, &archive, &bytes, kStub);
    // The third central header's offset, adjusted as if it alone had been fixed.
    const qsizetype third = bytes.lastIndexOf(QByteArray("PK\x01\x02", 4));
    QByteArray partly = bytes;
    const qsizetype field = third + 42;
    std::uint32_t offset = 0;
    for (int i = 0; i < 4; ++i) {
        offset |= std::uint32_t(std::uint8_t(partly[field + i])) << (8 * i);
    }
    offset += std::uint32_t(kStub.size());
    for (int i = 0; i < 4; ++i) {
        partly[field + i] = char(offset >> (8 * i));
    }
    // A stub that holds a local header where the second entry's offset alone points.
    const QByteArray localSignature("PK\x03\x04", 4);
    const qsizetype second = bytes.indexOf(localSignature, kStub.size() + 4) - kStub.size();
    QByteArray twoWays = bytes;
    twoWays.replace(second, 4, localSignature);
    for (const auto& [label, data] : {std::pair{"one entry adjusted", partly},
                                      std::pair{"a local header where the offset says", twoWays}}) {
        SCOPED_TRACE(label);
        QTemporaryDir dir;
        QFile out(dir.filePath("a.zip"));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly) && out.write(data) == data.size());
        out.close();
        QFile file(out.fileName());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const ZipDirectory read = archive_engine::readZipDirectory(file);
        EXPECT_EQ(read.status, ZipDirectory::Damaged);
        EXPECT_EQ(read.problem, Problem::DirectoryMisplaced);
    }
}

// A local header that is simply not there loses that entry, not the archive.
TEST(ZipDirectoryTest, AMissingLocalHeaderLosesOnlyItsEntry) {
    const Case missing = {"", [](Archive& a) { a.entries[1].local.signature = 0x04034b51; }};
    Archive archive;
    QByteArray bytes;
    const ZipDirectory read = readArchive(missing, &archive, &bytes);
    ASSERT_EQ(read.status, ZipDirectory::Ok);
    ASSERT_EQ(read.entries.size(), 3u);
    EXPECT_TRUE(read.entries[0].dataIntact);
    EXPECT_FALSE(read.entries[1].dataIntact);
    EXPECT_TRUE(read.entries[2].dataIntact);
}

} // namespace
