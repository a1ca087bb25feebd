// The Deflate64 decoder against streams written by 7-Zip and streams laid out bit by bit:
// byte-exact content whatever the feeding, exact consumption, truncation and corruption
// reported rather than hidden.

#include "codecs/deflate64.h"

#include "tests/support/lcg.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using archive_engine::Deflate64Decoder;
using Status = Deflate64Decoder::Status;
using Bytes = std::vector<std::uint8_t>;

namespace {

using testsupport::Lcg;

void append(Bytes& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
}

Bytes randomBytes(std::uint64_t seed, std::size_t size, unsigned alphabet) {
    Lcg rng(seed);
    Bytes out(size);
    for (auto& b : out) {
        b = std::uint8_t(alphabet == 256 ? rng.next() >> 8 : 'A' + rng.next() % alphabet);
    }
    return out;
}

// Runs far longer than 258 bytes, between text. 7-Zip writes them as chains of matches of
// at most 257 bytes; longestMatches() below covers length code 285 itself.
Bytes longRuns() {
    Bytes out;
    for (int i = 0; i < 40; ++i) {
        append(out, "line " + std::to_string(i * 7919 % 1000) + " of the run fixture\n");
    }
    out.insert(out.end(), 70000, 'x');
    append(out, "\nbetween the runs\n");
    out.insert(out.end(), 1000, 'y');
    append(out, "end\n");
    return out;
}

// A block repeated 36000 bytes back, then 50000 bytes back: distance codes 30 and 31.
Bytes farRepeat() {
    const Bytes a = randomBytes(1, 36000, 4);
    const Bytes b = randomBytes(2, 14000, 4);
    Bytes out = a;
    out.insert(out.end(), a.begin(), a.end());
    out.insert(out.end(), b.begin(), b.end());
    out.insert(out.end(), a.begin(), a.end());
    return out;
}

// Uniformly random bytes: stored blocks.
Bytes incompressible() {
    Bytes out = randomBytes(3, 6000, 256);
    append(out, "a compressible tail, a compressible tail, a compressible tail\n");
    return out;
}

// Too short for dynamic tables to pay: a fixed Huffman block.
Bytes shortText() {
    Bytes out;
    append(out, "Deflate64, Deflate64, Deflate64: short text.\n");
    return out;
}

struct Fixture {
    const char* name;
    Bytes (*content)();
};

// Inputs written by
//   DEFLATE64_FIXTURE_INPUTS=/tmp/d64 engine_tests --gtest_filter='*Deflate64Fixture.Decodes*'
// then, in /tmp/d64, each archive made by
//   7z a -tzip -mm=Deflate64 -mx=9 deflate64_<name>.zip <name>.bin
const Fixture kFixtures[] = {
    {"long_runs", longRuns},
    {"far_repeat", farRepeat},
    {"incompressible", incompressible},
    {"short_text", shortText},
};

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

unsigned le16(const Bytes& b, std::size_t at) {
    return b[at] | unsigned(b[at + 1]) << 8;
}

// The raw stream of the zip's first entry, from its local header.
Bytes firstEntryStream(const std::string& zipPath) {
    const Bytes zip = readFile(zipPath);
    if (zip.size() < 30 || le16(zip, 0) != 0x4b50 || le16(zip, 2) != 0x0403 || le16(zip, 8) != 9) {
        ADD_FAILURE() << zipPath << ": not a zip whose first entry is Deflate64";
        return {};
    }
    const std::size_t compressed = le16(zip, 18) | std::size_t(le16(zip, 20)) << 16;
    const std::size_t start = 30 + le16(zip, 26) + le16(zip, 28);
    if (start + compressed > zip.size()) {
        ADD_FAILURE() << zipPath << ": entry runs past the end";
        return {};
    }
    return Bytes(zip.begin() + std::ptrdiff_t(start),
                 zip.begin() + std::ptrdiff_t(start + compressed));
}

Bytes fixtureStream(const char* name) {
    return firstEntryStream(std::string(ENGINE_TEST_DATA) + "/deflate64_" + name + ".zip");
}

struct Decoded {
    Status status = Status::NeedInput;
    Bytes out;
    std::size_t consumed = 0;
};

// Feeds `in` in pieces of `inPiece` bytes and takes output in pieces of `outPiece`, up to
// `outCap` bytes in all, as a caller would: more input after NeedInput, more room after
// OutputFull. Checks the contract of each answer on the way.
Decoded decodeWith(Deflate64Decoder& decoder, const Bytes& in, std::size_t inPiece,
                   std::size_t outPiece, std::size_t outCap) {
    Decoded r;
    r.out.resize(outCap);
    std::size_t produced = 0;
    for (;;) {
        const std::size_t inAvail = std::min(inPiece, in.size() - r.consumed);
        const std::size_t outAvail = std::min(outPiece, outCap - produced);
        const std::uint8_t* nextIn = in.data() + r.consumed;
        std::size_t availIn = inAvail;
        std::uint8_t* nextOut = r.out.data() + produced;
        std::size_t availOut = outAvail;
        r.status = decoder.decode(nextIn, availIn, nextOut, availOut);
        EXPECT_EQ(std::size_t(nextIn - (in.data() + r.consumed)), inAvail - availIn);
        EXPECT_EQ(std::size_t(nextOut - (r.out.data() + produced)), outAvail - availOut);
        r.consumed += inAvail - availIn;
        produced += outAvail - availOut;
        if (r.status == Status::NeedInput) {
            EXPECT_EQ(availIn, 0u);
            if (r.consumed == in.size()) {
                break;
            }
        } else if (r.status == Status::OutputFull) {
            EXPECT_EQ(availOut, 0u);
            if (produced == outCap) {
                break;
            }
        } else {
            break;
        }
    }
    r.out.resize(produced);
    return r;
}

constexpr std::size_t kLarge = std::size_t{1} << 20;

// Deflate's bit order: fields from the least significant bit, Huffman codes from the most.
class BitWriter {
public:
    void bits(std::uint32_t value, unsigned count) {
        for (unsigned i = 0; i < count; ++i) {
            put((value >> i) & 1);
        }
    }
    void code(std::uint32_t value, unsigned length) {
        for (unsigned i = length; i-- > 0;) {
            put((value >> i) & 1);
        }
    }
    // A lit/len symbol of the fixed code.
    void fixed(unsigned symbol) {
        if (symbol < 144) {
            code(0x30 + symbol, 8);
        } else if (symbol < 256) {
            code(0x190 + symbol - 144, 9);
        } else if (symbol < 280) {
            code(symbol - 256, 7);
        } else {
            code(0xc0 + symbol - 280, 8);
        }
    }
    void align() {
        while (m_count != 0) {
            put(0);
        }
    }
    void raw(const Bytes& data) {
        align();
        m_bytes.insert(m_bytes.end(), data.begin(), data.end());
    }
    Bytes finish() {
        align();
        return m_bytes;
    }

private:
    void put(unsigned bit) {
        if (m_count == 0) {
            m_bytes.push_back(0);
        }
        m_bytes.back() |= std::uint8_t(bit << m_count);
        m_count = (m_count + 1) % 8;
    }

    Bytes m_bytes;
    unsigned m_count = 0;
};

void copyBack(Bytes& out, std::size_t distance, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        out.push_back(out[out.size() - distance]);
    }
}

struct Crafted {
    Bytes stream;
    Bytes content;
};

void farMatch(BitWriter& w, Bytes& content, unsigned length) {
    w.fixed(285);
    w.bits(length - 3, 16);
    w.code(31, 5);
    w.bits(50001 - 49153, 14);
    copyBack(content, 50001, length);
}

// Literals in a fixed block, a stored block reached mid-byte, then matches through length
// code 285 and distance code 31, which 7-Zip's encoder does not write: 1 MB of content,
// over which the decoder's window buffer slides once amid literals and once amid a match.
Crafted longestMatches() {
    Crafted c;
    BitWriter w;
    w.bits(0, 1);
    w.bits(1, 2);
    w.fixed('a');
    w.fixed('b');
    w.fixed(256);
    c.content = {'a', 'b'};
    const Bytes history = randomBytes(4, 50000, 256);
    w.bits(0, 1);
    w.bits(0, 2);
    w.align();
    w.bits(std::uint32_t(history.size()), 16);
    w.bits(std::uint32_t(~history.size()) & 0xffff, 16);
    w.raw(history);
    c.content.insert(c.content.end(), history.begin(), history.end());
    w.bits(1, 1);
    w.bits(1, 2);
    for (int i = 0; i < 7; ++i) {
        farMatch(w, c.content, 65538);
    }
    // The first slide falls on the third of three literals decoded from one refill.
    farMatch(w, c.content, 15221);
    const auto literals = [&](std::uint64_t seed, std::size_t count) {
        for (const std::uint8_t literal : randomBytes(seed, count, 256)) {
            w.fixed(literal);
            c.content.push_back(literal);
        }
    };
    literals(5, 600);
    // The second falls inside the seventh of these; the literals after keep it in the
    // fast loop when the input comes whole.
    for (int i = 0; i < 8; ++i) {
        farMatch(w, c.content, 65538);
    }
    literals(6, 64);
    w.fixed(285);
    w.bits(5, 16);
    w.code(0, 5);
    copyBack(c.content, 1, 8);
    w.fixed(256);
    c.stream = w.finish();
    return c;
}

class Deflate64Fixture : public ::testing::TestWithParam<Fixture> {};

TEST_P(Deflate64Fixture, DecodesExactlyWhateverTheFeeding) {
    const Bytes content = GetParam().content();
    if (const char* dir = std::getenv("DEFLATE64_FIXTURE_INPUTS")) {
        std::ofstream(std::string(dir) + "/" + GetParam().name + ".bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
    }
    const Bytes stream = fixtureStream(GetParam().name);
    ASSERT_FALSE(stream.empty());
    Bytes followed = stream;
    followed.insert(followed.end(), 32, 0xa5); // enough for the fast loop to reach the end

    Deflate64Decoder decoder;
    for (const auto& [inPiece, outPiece] :
         {std::pair{kLarge, kLarge}, std::pair{std::size_t{1}, std::size_t{1}},
          std::pair{std::size_t{17}, std::size_t{4093}}}) {
        SCOPED_TRACE(testing::Message() << "pieces " << inPiece << "/" << outPiece);
        decoder.reset();
        const Decoded r = decodeWith(decoder, followed, inPiece, outPiece, content.size() + 64);
        EXPECT_EQ(r.status, Status::End);
        EXPECT_EQ(r.out, content);
        EXPECT_EQ(r.consumed, stream.size()); // what follows the stream stays unread
    }
}

// A stream cut short is never taken for a complete one.
TEST_P(Deflate64Fixture, TruncatedStreamWantsMoreInput) {
    const Bytes content = GetParam().content();
    const Bytes stream = fixtureStream(GetParam().name);
    ASSERT_FALSE(stream.empty());
    Deflate64Decoder decoder;
    for (const std::size_t keep : {stream.size() - 1, stream.size() / 2, std::size_t{1}}) {
        SCOPED_TRACE(testing::Message() << "keep " << keep);
        const Bytes cut(stream.begin(), stream.begin() + std::ptrdiff_t(keep));
        for (const std::size_t piece : {kLarge, std::size_t{1}}) {
            decoder.reset();
            const Decoded r = decodeWith(decoder, cut, piece, piece, content.size() + 64);
            EXPECT_EQ(r.status, Status::NeedInput);
            ASSERT_LE(r.out.size(), content.size());
            EXPECT_TRUE(std::equal(r.out.begin(), r.out.end(), content.begin()));
        }
    }
}

// One flipped bit: no checksum can catch every one, but whatever the decoder makes of the
// stream must not depend on how it is fed, and must not claim the end before handing out
// everything it decoded.
TEST_P(Deflate64Fixture, FlippedBitDecodesTheSameWhateverTheFeeding) {
    const Bytes content = GetParam().content();
    const Bytes stream = fixtureStream(GetParam().name);
    ASSERT_FALSE(stream.empty());
    const std::size_t cap = content.size() + 4 * 65538;
    Deflate64Decoder decoder;
    for (const std::size_t at : {std::size_t{0}, std::size_t{1}, stream.size() / 3,
                                 stream.size() / 2, stream.size() - 2}) {
        for (const unsigned bit : {0u, 5u}) {
            SCOPED_TRACE(testing::Message() << "byte " << at << " bit " << bit);
            Bytes damaged = stream;
            damaged[at] ^= std::uint8_t(1u << bit);
            decoder.reset();
            const Decoded whole = decodeWith(decoder, damaged, kLarge, kLarge, cap);
            decoder.reset();
            const Decoded bytewise = decodeWith(decoder, damaged, 1, 1, cap);
            EXPECT_EQ(bytewise.status, whole.status);
            EXPECT_EQ(bytewise.out, whole.out);
            decoder.reset();
            const Decoded bounded =
                decodeWith(decoder, damaged, kLarge, kLarge, std::min(content.size(), cap));
            if (bounded.status == Status::End) {
                EXPECT_EQ(whole.status, Status::End);
                EXPECT_EQ(bounded.out, whole.out);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Archives, Deflate64Fixture, ::testing::ValuesIn(kFixtures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Deflate64Decoder, LongestLengthAndFarthestDistance) {
    const Crafted c = longestMatches();
    Deflate64Decoder decoder;
    for (const std::size_t piece : {kLarge, std::size_t{1}}) {
        decoder.reset();
        const Decoded r = decodeWith(decoder, c.stream, piece, piece, c.content.size() + 64);
        EXPECT_EQ(r.status, Status::End);
        EXPECT_EQ(r.out, c.content);
        EXPECT_EQ(r.consumed, c.stream.size());
    }
}

TEST(Deflate64Decoder, ResetStartsTheNextStreamClean) {
    const Bytes first = fixtureStream("far_repeat");
    const Bytes second = fixtureStream("long_runs");
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    Deflate64Decoder decoder;
    // Left mid-block, with bits buffered and content waiting to be handed out.
    const Bytes half(first.begin(), first.begin() + std::ptrdiff_t(first.size() / 2 + 3));
    decodeWith(decoder, half, kLarge, kLarge, 1000);
    decoder.reset();
    const Decoded r = decodeWith(decoder, second, kLarge, kLarge, kLarge);
    EXPECT_EQ(r.status, Status::End);
    EXPECT_EQ(r.out, longRuns());
}

struct Invalid {
    const char* name;
    Bytes (*stream)();
};

const Invalid kInvalidStreams[] = {
    {"block_type_3",
     [] {
         BitWriter w;
         w.bits(1, 1);
         w.bits(3, 2);
         return w.finish();
     }},
    {"distance_before_the_start",
     [] {
         BitWriter w;
         w.bits(1, 1);
         w.bits(1, 2);
         w.fixed('a');
         w.fixed(257);
         w.code(1, 5); // distance 2, one byte produced
         w.fixed(256);
         return w.finish();
     }},
    {"stored_length_mismatch",
     [] {
         BitWriter w;
         w.bits(1, 1);
         w.bits(0, 2);
         w.align();
         w.bits(5, 16);
         w.bits(0x1234, 16);
         w.raw({1, 2, 3, 4, 5});
         return w.finish();
     }},
    {"lit_len_symbol_286",
     [] {
         BitWriter w;
         w.bits(1, 1);
         w.bits(1, 2);
         w.fixed(286);
         return w.finish();
     }},
    {"oversubscribed_precode",
     [] {
         BitWriter w;
         w.bits(1, 1);
         w.bits(2, 2);
         w.bits(0, 5);
         w.bits(0, 5);
         w.bits(15, 4);
         for (int i = 0; i < 19; ++i) {
             w.bits(1, 3);
         }
         return w.finish();
     }},
    {"repeat_with_no_previous_length",
     [] {
         BitWriter w;
         w.bits(1, 1);
         w.bits(2, 2);
         w.bits(0, 5);
         w.bits(0, 5);
         w.bits(0, 4); // lengths of 16, 17, 18, 0
         w.bits(1, 3);
         w.bits(0, 3);
         w.bits(0, 3);
         w.bits(1, 3);
         w.code(1, 1); // 16 comes first
         w.bits(0, 2);
         return w.finish();
     }},
    {"too_many_lit_len_codes",
     [] {
         BitWriter w;
         w.bits(1, 1);
         w.bits(2, 2);
         w.bits(30, 5); // 287
         w.bits(0, 5);
         w.bits(15, 4);
         return w.finish();
     }},
};

class Deflate64Invalid : public ::testing::TestWithParam<Invalid> {};

TEST_P(Deflate64Invalid, IsCorrupted) {
    // Padded, so that large pieces take the fast loop where it applies.
    Bytes stream = GetParam().stream();
    stream.insert(stream.end(), 32, 0);
    Deflate64Decoder decoder;
    for (const std::size_t piece : {kLarge, std::size_t{1}}) {
        decoder.reset();
        const Decoded r = decodeWith(decoder, stream, piece, piece, 1024);
        EXPECT_EQ(r.status, Status::Corrupted);
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, Deflate64Invalid, ::testing::ValuesIn(kInvalidStreams),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
