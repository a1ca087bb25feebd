#include "app/archive_engine/zip_directory.h"
#include "engine_fixture.h"

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>
#include <ctime>

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

} // namespace
