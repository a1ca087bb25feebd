// The PPMd decoder against archives written by 7-Zip at several orders, memory sizes and
// both ways of restoring a full model: byte-exact content through the engine's own reader
// and whatever the feeding; and damaged streams, which must fail cleanly without producing
// more than the entry declares.

#include "codecs/entry_decoder.h"
#include "codecs/ppmd.h"
#include "zip/archive_reader.h"
#include "zip/zip_directory.h"

#include "tests/support/zip_builder.h"

#include "tests/support/lcg.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using archive_engine::DecodeResult;
using archive_engine::PpmdDecoder;
using Status = PpmdDecoder::Status;

namespace {

using testsupport::Lcg;

// Words from a small vocabulary, some with a number, in lines of about 60 characters.
QByteArray text(std::uint64_t seed, qsizetype size) {
    static const char* const kWords[] = {
        "the",   "of",     "and",   "to",    "in",     "is",    "that",  "it",     "was",  "for",
        "on",    "are",    "as",    "with",  "his",    "they",  "at",    "be",     "this", "from",
        "have",  "or",     "by",    "one",   "had",    "not",   "but",   "what",   "all",  "were",
        "when",  "we",     "there", "can",   "an",     "your",  "which", "their",  "said", "if",
        "do",    "will",   "each",  "about", "how",    "up",    "out",   "them",   "then", "she",
        "many",  "some",   "so",    "these", "would",  "other", "into",  "has",    "more", "her",
        "two",   "like",   "him",   "see",   "time",   "could", "no",    "make",   "than", "first",
        "been",  "its",    "who",   "now",   "people", "my",    "made",  "over",   "did",  "down",
        "only",  "way",    "find",  "use",   "may",    "water", "long",  "little", "very", "after",
        "words", "called", "just",  "where", "most",   "know"};
    constexpr std::uint32_t kCount = sizeof kWords / sizeof kWords[0];
    Lcg rng(seed);
    QByteArray out;
    int column = 0;
    while (out.size() < size) {
        QByteArray word = kWords[rng.next() % kCount];
        if (rng.next() % 11 == 0) {
            word += QByteArray::number(rng.next() % 1000);
        }
        out += word;
        column += int(word.size()) + 1;
        if (column > 60) {
            out += '\n';
            column = 0;
        } else {
            out += ' ';
        }
    }
    out.truncate(size);
    return out;
}

// Random bytes, a quarter of them zero: noise that compresses a little.
QByteArray noise(std::uint64_t seed, qsizetype size) {
    Lcg rng(seed);
    QByteArray out(size, '\0');
    for (char& b : out) {
        const std::uint32_t v = rng.next();
        b = char(v % 4 != 0 ? (v >> 8) & 0xFF : 0);
    }
    return out;
}

// Long runs of one byte, short repeated patterns and every byte value: binary contexts
// that keep succeeding, and escapes down to the root.
QByteArray runs() {
    QByteArray out(5000, 'x');
    out += text(3, 600);
    for (int i = 0; i < 8; ++i) {
        for (int b = 0; b < 256; ++b) {
            out += char(b);
        }
    }
    out += QByteArray(3000, '\0');
    out += QByteArray("ab").repeated(2000);
    out += noise(4, 300);
    out += QByteArray("0123456789").repeated(300);
    return out;
}

// One block of text over and over: cheap to store, long enough that 7-Zip keeps the memory
// it was asked for (it cuts it down to 16 times the content's size).
QByteArray repeats(qsizetype size) {
    const QByteArray block = text(9, 5000);
    QByteArray out;
    while (out.size() < size) {
        out += block;
    }
    out.truncate(size);
    return out;
}

// A 2,000-byte block repeated with a few letters changed to capitals each time: every
// change makes new long contexts, so 1 MB of model memory fills again and again, while the
// archive stays small.
QByteArray variations() {
    constexpr qsizetype kPeriod = 2000;
    const QByteArray block = text(5, kPeriod);
    Lcg rng(6);
    QByteArray out;
    while (out.size() < 2 * 1024 * 1024) {
        QByteArray copy = block;
        for (int i = 0; i < 3; ++i) {
            char& c = copy[qsizetype(rng.next() % kPeriod)];
            if (c >= 'a' && c <= 'z') {
                c = char(c - 32);
            }
        }
        out += copy;
    }
    out.truncate(2 * 1024 * 1024);
    return out;
}

struct Input {
    const char* name;
    QByteArray (*content)();
};

const Input kInputs[] = {
    {"text.txt", [] { return text(1, 8000); }},
    {"noise.bin", [] { return noise(2, 6000); }},
    {"runs.bin", runs},
    {"empty.txt", [] { return QByteArray(); }},
    {"repeats-1m.txt", [] { return repeats((1 << 20) + 4096); }},
    {"repeats-16m.txt", [] { return repeats((16 << 20) + 4096); }},
    {"variations.txt", variations},
};

QByteArray contentOf(const QString& name) {
    for (const Input& input : kInputs) {
        if (name == QLatin1String(input.name)) {
            return input.content();
        }
    }
    ADD_FAILURE() << "no content for " << name.toStdString();
    return {};
}

// Archives made, from the inputs written by
//   PPMD_FIXTURE_INPUTS=/tmp/ppmd engine_codec_tests --gtest_filter='PpmdFixtures.*'
// in /tmp/ppmd, with 7-Zip 26.02 (Debian's p7zip-full; a=1 is the cut-off method):
//   7z a -tzip -mm=PPMd:o=2:mem=1m ppmd-o2-mem1m.zip text.txt noise.bin runs.bin empty.txt
//   7z a -tzip -mm=PPMd:o=8:mem=16m ppmd-o8-mem16m.zip text.txt noise.bin runs.bin repeats-1m.txt
//   7z a -tzip -mm=PPMd:o=16:mem=256m ppmd-o16-mem256m.zip text.txt repeats-16m.txt
//   7z a -tzip -mm=PPMd:o=16:mem=1m:a=0 ppmd-o16-mem1m-restart.zip variations.txt
//   7z a -tzip -mm=PPMd:o=16:mem=1m:a=1 ppmd-o16-mem1m-cutoff.zip variations.txt runs.bin
// 7-Zip stores an empty file rather than compress it, and asks for less memory than it was
// told when all the files together are under a sixteenth of it (hence the large ones); each
// row says what the entry's header holds.
struct Fixture {
    const char* archive;
    const char* entry;
    std::uint16_t method;
    unsigned order;
    unsigned memoryMb;
    bool cutOff;
};

const Fixture kFixtures[] = {
    {"ppmd-o2-mem1m.zip", "text.txt", 98, 2, 1, false},
    {"ppmd-o2-mem1m.zip", "noise.bin", 98, 2, 1, false},
    {"ppmd-o2-mem1m.zip", "runs.bin", 98, 2, 1, false},
    {"ppmd-o2-mem1m.zip", "empty.txt", 0, 0, 0, false},
    {"ppmd-o8-mem16m.zip", "text.txt", 98, 8, 16, false},
    {"ppmd-o8-mem16m.zip", "noise.bin", 98, 8, 16, false},
    {"ppmd-o8-mem16m.zip", "runs.bin", 98, 8, 16, false},
    {"ppmd-o8-mem16m.zip", "repeats-1m.txt", 98, 8, 16, false},
    {"ppmd-o16-mem256m.zip", "text.txt", 98, 16, 256, false},
    {"ppmd-o16-mem256m.zip", "repeats-16m.txt", 98, 16, 256, false},
    {"ppmd-o16-mem1m-restart.zip", "variations.txt", 98, 16, 1, false},
    {"ppmd-o16-mem1m-cutoff.zip", "variations.txt", 98, 16, 1, true},
    {"ppmd-o16-mem1m-cutoff.zip", "runs.bin", 98, 16, 1, true},
};

QString dataPath(const char* name) {
    return QStringLiteral(ENGINE_TEST_DATA "/") + QLatin1String(name);
}

// Collects what a decoder hands out.
class Collector final : public archive_engine::EntryOutput {
public:
    bool consume(const char* data, std::size_t size) override {
        content.append(data, qsizetype(size));
        return true;
    }
    QByteArray content;
};

struct Extracted {
    archive_engine::ZipEntry entry;
    QByteArray stored; // the entry's stored bytes
    DecodeResult result = DecodeResult::Ok;
    QByteArray content;
};

// Every entry of an archive, decoded by the engine's reader and decoder.
std::vector<Extracted> extractAll(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    const archive_engine::ZipDirectory directory = archive_engine::readZipDirectory(file);
    EXPECT_EQ(directory.status, archive_engine::ZipDirectory::Ok) << path.toStdString();
    archive_engine::ArchiveReader reader(file);
    archive_engine::EntryDecoder decoder;
    std::vector<Extracted> out;
    for (const archive_engine::ZipEntry& entry : directory.entries) {
        Extracted e;
        e.entry = entry;
        file.seek(qint64(entry.dataOffset));
        e.stored = file.read(qint64(entry.compressedSize));
        Collector collector;
        e.result = decoder.decode(reader, entry, collector);
        e.content = collector.content;
        out.push_back(e);
    }
    return out;
}

std::vector<std::uint8_t> bytesOf(const QByteArray& data) {
    return std::vector<std::uint8_t>(data.begin(), data.end());
}

// A stream handed over in pieces of a fixed size; counts what it handed over.
class PieceSource final : public PpmdDecoder::Source {
public:
    PieceSource(const QByteArray& data, std::size_t piece)
        : m_data(bytesOf(data)), m_piece(piece) {}
    std::span<const std::uint8_t> more() override {
        const std::size_t n = std::min(m_piece, m_data.size() - m_given);
        const std::span<const std::uint8_t> piece(m_data.data() + m_given, n);
        m_given += n;
        return piece;
    }
    std::size_t given() const { return m_given; }

private:
    std::vector<std::uint8_t> m_data;
    std::size_t m_piece;
    std::size_t m_given = 0;
};

struct Raw {
    Status status = Status::Ok;
    QByteArray content;
};

// Decodes `stored` (header and stream) with the decoder's own interface: input in pieces of
// `inPiece` bytes, output asked for `outPiece` bytes at a time, up to `size` bytes.
Raw decodeRaw(PpmdDecoder& decoder, const QByteArray& stored, std::size_t inPiece,
              std::size_t outPiece, std::size_t size) {
    Raw r;
    PpmdDecoder::Parameters parameters;
    if (stored.size() < 2) {
        r.status = Status::Truncated;
        return r;
    }
    const std::uint8_t header[2] = {std::uint8_t(stored[0]), std::uint8_t(stored[1])};
    if (!PpmdDecoder::parseHeader(header, &parameters)) {
        r.status = Status::Corrupted;
        return r;
    }
    PieceSource source(stored.mid(2), inPiece);
    r.status = decoder.start(parameters, source);
    std::vector<std::uint8_t> out(outPiece);
    while (r.status == Status::Ok && std::size_t(r.content.size()) < size) {
        std::size_t produced = 0;
        const std::size_t want = std::min(outPiece, size - std::size_t(r.content.size()));
        r.status = decoder.decode(out.data(), want, &produced);
        EXPECT_LE(produced, want);
        r.content.append(reinterpret_cast<const char*>(out.data()), qsizetype(produced));
    }
    return r;
}

} // namespace

TEST(PpmdFixtures, EveryEntryDecodesByteExact) {
    if (const char* dir = std::getenv("PPMD_FIXTURE_INPUTS")) {
        for (const Input& input : kInputs) {
            QFile out(QString::fromLocal8Bit(dir) + '/' + QLatin1String(input.name));
            ASSERT_TRUE(out.open(QIODevice::WriteOnly));
            out.write(input.content());
        }
    }
    QString archive;
    std::vector<Extracted> entries;
    for (const Fixture& f : kFixtures) {
        SCOPED_TRACE(std::string(f.archive) + ": " + f.entry);
        if (archive != QLatin1String(f.archive)) {
            archive = QLatin1String(f.archive);
            entries = extractAll(dataPath(f.archive));
        }
        QFile file(dataPath(f.archive));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const archive_engine::ZipDirectory directory = archive_engine::readZipDirectory(file);
        const auto it = std::find_if(entries.begin(), entries.end(), [&](const Extracted& e) {
            return directory.name(e.entry) == QLatin1String(f.entry);
        });
        ASSERT_NE(it, entries.end());
        ASSERT_EQ(it->entry.method, f.method);
        if (f.method == 98) {
            ASSERT_GE(it->stored.size(), 2);
            const std::uint8_t header[2] = {std::uint8_t(it->stored[0]),
                                            std::uint8_t(it->stored[1])};
            PpmdDecoder::Parameters p;
            ASSERT_TRUE(PpmdDecoder::parseHeader(header, &p));
            EXPECT_EQ(p.order, f.order);
            EXPECT_EQ(p.memory, std::uint32_t(f.memoryMb) << 20);
            EXPECT_EQ(p.cutOff, f.cutOff);
        }
        EXPECT_EQ(it->result, DecodeResult::Ok);
        const QByteArray expected = contentOf(QLatin1String(f.entry));
        EXPECT_EQ(it->content.size(), expected.size());
        EXPECT_TRUE(it->content == expected);
    }
}

// The same content whatever the pieces input comes in and output is asked for, and no input
// asked for past the stream.
TEST(PpmdFixtures, ContentDoesNotDependOnTheFeeding) {
    struct Case {
        const char* archive;
        const char* entry;
        std::size_t inPiece;
        std::size_t outPiece;
    };
    const Case cases[] = {
        {"ppmd-o2-mem1m.zip", "text.txt", 1, 1},
        {"ppmd-o8-mem16m.zip", "runs.bin", 3, 7},
        {"ppmd-o16-mem1m-cutoff.zip", "variations.txt", 1, 4096},
        {"ppmd-o16-mem1m-restart.zip", "variations.txt", 5, 1 << 20},
    };
    PpmdDecoder decoder;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.archive) + ": " + c.entry);
        QFile file(dataPath(c.archive));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const archive_engine::ZipDirectory directory = archive_engine::readZipDirectory(file);
        const auto it = std::find_if(directory.entries.begin(), directory.entries.end(),
                                     [&](const archive_engine::ZipEntry& e) {
                                         return directory.name(e) == QLatin1String(c.entry);
                                     });
        ASSERT_NE(it, directory.entries.end());
        file.seek(qint64(it->dataOffset));
        const QByteArray stored = file.read(qint64(it->compressedSize));
        const QByteArray expected = contentOf(QLatin1String(c.entry));
        const Raw r =
            decodeRaw(decoder, stored, c.inPiece, c.outPiece, std::size_t(expected.size()));
        EXPECT_EQ(r.status, Status::Ok);
        EXPECT_TRUE(r.content == expected);
    }
}

namespace {

struct Verdict {
    DecodeResult result = DecodeResult::Ok;
    QByteArray content;
};

// One method-98 entry with these stored bytes, declared size and CRC, through the engine's
// reader and decoder.
Verdict decodeEntry(const QByteArray& stored, std::uint64_t declared, std::uint32_t crc) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("entry.zip"));
    testsupport::RawZip::Entry e;
    e.name = "entry.bin";
    e.method = 98;
    e.data = stored;
    e.crc = crc;
    e.uncompressedSize = declared;
    testsupport::RawZip().add(e).write(path);
    const std::vector<Extracted> all = extractAll(path);
    if (all.size() != 1) {
        ADD_FAILURE() << "the archive has " << all.size() << " entries";
        return {};
    }
    EXPECT_LE(std::uint64_t(all[0].content.size()), declared) << "more than declared";
    return {all[0].result, all[0].content};
}

// The stored bytes of a fixture's entry.
QByteArray storedOf(const char* archive, const char* entry) {
    for (const Extracted& e : extractAll(dataPath(archive))) {
        QFile file(dataPath(archive));
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        if (archive_engine::readZipDirectory(file).name(e.entry) == QLatin1String(entry)) {
            return e.stored;
        }
    }
    ADD_FAILURE() << archive << " has no " << entry;
    return {};
}

QByteArray withHeader(QByteArray stored, unsigned header) {
    stored[0] = char(header & 0xFF);
    stored[1] = char(header >> 8);
    return stored;
}

QByteArray flipped(QByteArray stored, qsizetype from, qsizetype count) {
    for (qsizetype i = from; i < std::min(from + count, stored.size()); ++i) {
        stored[i] = char(stored[i] ^ 0x5A);
    }
    return stored;
}

} // namespace

TEST(PpmdStreams, DamageFailsCleanly) {
    const QByteArray content = text(1, 8000);
    const std::uint32_t crc = testsupport::crc32Of(content);
    const QByteArray stored = storedOf("ppmd-o2-mem1m.zip", "text.txt");
    ASSERT_GT(stored.size(), 1000);
    const unsigned header = std::uint8_t(stored[0]) | unsigned(std::uint8_t(stored[1])) << 8;
    const QByteArray prefix = content.left(5000);
    struct Case {
        const char* label;
        QByteArray stored;
        std::uint64_t declared;
        std::uint32_t crc;
        DecodeResult result;
    };
    const Case cases[] = {
        {"as stored", stored, 8000, crc, DecodeResult::Ok},
        {"no bytes", QByteArray(), 8000, crc, DecodeResult::Corrupted},
        {"half a header", stored.left(1), 8000, crc, DecodeResult::Corrupted},
        {"the header alone", stored.left(2), 8000, crc, DecodeResult::Corrupted},
        {"the header and three bytes", stored.left(5), 8000, crc, DecodeResult::Corrupted},
        {"order 1", withHeader(stored, header & ~0xFu), 8000, crc, DecodeResult::Corrupted},
        {"restoration method 2", withHeader(stored, (header & 0x0FFF) | 0x2000), 8000, crc,
         DecodeResult::Corrupted},
        {"restoration method 15", withHeader(stored, (header & 0x0FFF) | 0xF000), 8000, crc,
         DecodeResult::Corrupted},
        {"cut in the middle", stored.left(stored.size() / 2), 8000, crc, DecodeResult::Corrupted},
        {"first code impossible", stored.left(2) + QByteArray(4, '\xFF') + stored.mid(6), 8000, crc,
         DecodeResult::Corrupted},
        // The end mark comes first: the entry is short.
        {"declared longer than the content", stored, 9000, crc, DecodeResult::Corrupted},
        // Decoding stops at the declared size, whatever follows.
        {"declared shorter than the content", stored, 5000, testsupport::crc32Of(prefix),
         DecodeResult::Ok},
        {"an empty entry", stored.left(2) + QByteArray(4, '\0'), 0, 0, DecodeResult::Ok},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const Verdict v = decodeEntry(c.stored, c.declared, c.crc);
        EXPECT_EQ(v.result, c.result);
        if (c.result == DecodeResult::Ok) {
            EXPECT_TRUE(v.content == content.left(qsizetype(c.declared)));
        }
    }
}

// Bytes changed anywhere in a stream: the content is exact, or the entry fails as damaged or
// with a wrong CRC; never more than declared (checked in decodeEntry), never a crash.
TEST(PpmdStreams, ChangedBytesAnywhereFailCleanly) {
    const QByteArray content = text(1, 8000);
    const std::uint32_t crc = testsupport::crc32Of(content);
    const QByteArray stored = storedOf("ppmd-o2-mem1m.zip", "text.txt");
    int failed = 0;
    for (qsizetype at = 2; at < stored.size(); at += 7) {
        SCOPED_TRACE(at);
        const Verdict v = decodeEntry(flipped(stored, at, 3), 8000, crc);
        if (v.result == DecodeResult::Ok) {
            EXPECT_TRUE(v.content == content);
        } else {
            ++failed;
            EXPECT_TRUE(v.result == DecodeResult::Corrupted || v.result == DecodeResult::BadCrc)
                << int(v.result);
        }
    }
    // Only the last bytes, which the decoder never needs before the end, may change freely.
    EXPECT_GE(failed, int(stored.size() / 7) - 2);
}

// Memory comes from the header alone: a model the host cannot hold fails as out of memory.
TEST(PpmdStreams, MemoryTheHostCannotGiveIsOutOfMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer needs more address space than the limit below allows";
#else
    const QByteArray content = repeats((16 << 20) + 4096);
    const std::uint32_t crc = testsupport::crc32Of(content);
    const QByteArray stored = storedOf("ppmd-o16-mem256m.zip", "repeats-16m.txt");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Room for what the process holds, and 128 MiB more: not for a 256 MB model.
        rlimit limit{};
        ::getrlimit(RLIMIT_AS, &limit);
        std::ifstream statm("/proc/self/statm");
        std::uint64_t pages = 0;
        statm >> pages;
        const std::uint64_t bytes = pages * std::uint64_t(::sysconf(_SC_PAGESIZE)) + (128u << 20);
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_AS, &limit);
        const Verdict v = decodeEntry(stored, std::uint64_t(content.size()), crc);
        ::_exit(v.result == DecodeResult::OutOfMemory ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}
