// Deflate64 decoding: a slow path that takes input a byte at a time and can stop anywhere
// (block headers, code length tables, the last bytes of an input chunk) and a fast loop for
// the symbols of a block while at least 16 bytes of input remain, which refills 64 bits at a
// time and needs no checks of the input between two symbols.

#include "codecs/deflate64.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace archive_engine {

namespace {

// A table entry: code length in bits 0-4, extra bits (or a subtable's index bits) in bits
// 5-9, flags, and a value (literal byte, base length or distance, precode symbol, subtable
// start) in the upper half. An invalid entry's length is the number of bits that decide it.
constexpr std::uint32_t kLengthMask = 0x1f;
constexpr unsigned kExtraShift = 5;
constexpr std::uint32_t kLiteral = 1u << 10;
constexpr std::uint32_t kEndOfBlock = 1u << 11;
constexpr std::uint32_t kSubtable = 1u << 12;
constexpr std::uint32_t kInvalid = 1u << 13;
constexpr unsigned kValueShift = 16;

constexpr unsigned codeLength(std::uint32_t entry) {
    return entry & kLengthMask;
}
constexpr unsigned extraBits(std::uint32_t entry) {
    return (entry >> kExtraShift) & 0x1f;
}
constexpr unsigned entryValue(std::uint32_t entry) {
    return entry >> kValueShift;
}
constexpr std::uint32_t makeEntry(std::uint32_t flags, unsigned extra, unsigned value) {
    return flags | (extra << kExtraShift) | (value << kValueShift);
}
constexpr std::uint32_t lowBits(unsigned count) {
    return (std::uint32_t{1} << count) - 1;
}

constexpr unsigned kLitSymbols = 288;
constexpr unsigned kDistSymbols = 32;
constexpr unsigned kPrecodeSymbols = 19;
constexpr unsigned kMaxBits = 15;
constexpr unsigned kMaxRootBits = 10;

// Code 285 is base 3 with 16 extra bits, unlike deflate's fixed 258.
constexpr std::array<std::uint16_t, 29> kLengthBase = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                                       15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                                       67, 83, 99, 115, 131, 163, 195, 227, 3};
constexpr std::array<std::uint8_t, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                       2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 16};
// Codes 30 and 31 reach 64 KiB back.
constexpr std::array<std::uint16_t, 32> kDistBase = {
    1,    2,    3,    4,    5,    7,     9,     13,    17,    25,   33,
    49,   65,   97,   129,  193,  257,   385,   513,   769,   1025, 1537,
    2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
constexpr std::array<std::uint8_t, 32> kDistExtra = {0,  0,  0,  0,  1,  1,  2,  2,  3,  3, 4,
                                                     4,  5,  5,  6,  6,  7,  7,  8,  8,  9, 9,
                                                     10, 10, 11, 11, 12, 12, 13, 13, 14, 14};
constexpr std::array<std::uint8_t, kPrecodeSymbols> kPrecodeOrder = {
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Entries without their code length, per alphabet.
constexpr std::array<std::uint32_t, kLitSymbols> litTemplates() {
    std::array<std::uint32_t, kLitSymbols> t{};
    for (unsigned s = 0; s < kLitSymbols; ++s) {
        if (s < 256) {
            t[s] = makeEntry(kLiteral, 0, s);
        } else if (s == 256) {
            t[s] = makeEntry(kEndOfBlock, 0, 0);
        } else if (s < 286) {
            t[s] = makeEntry(0, kLengthExtra[s - 257], kLengthBase[s - 257]);
        } else {
            t[s] = makeEntry(kInvalid, 0, 0);
        }
    }
    return t;
}
constexpr std::array<std::uint32_t, kDistSymbols> distTemplates() {
    std::array<std::uint32_t, kDistSymbols> t{};
    for (unsigned s = 0; s < kDistSymbols; ++s) {
        t[s] = makeEntry(0, kDistExtra[s], kDistBase[s]);
    }
    return t;
}
constexpr std::array<std::uint32_t, kPrecodeSymbols> precodeTemplates() {
    std::array<std::uint32_t, kPrecodeSymbols> t{};
    for (unsigned s = 0; s < kPrecodeSymbols; ++s) {
        const unsigned extra = s == 16 ? 2 : s == 17 ? 3 : s == 18 ? 7 : 0;
        t[s] = makeEntry(0, extra, s);
    }
    return t;
}
constexpr auto kLitTemplates = litTemplates();
constexpr auto kDistTemplates = distTemplates();
constexpr auto kPrecodeTemplates = precodeTemplates();

constexpr std::size_t kPrecodeCapacity = std::size_t{1} << 7;
constexpr unsigned kFixedLitBits = 9;
constexpr unsigned kFixedDistBits = 5;

unsigned reverseBits(unsigned code, unsigned length) {
    unsigned r = 0;
    for (unsigned i = 0; i < length; ++i) {
        r = (r << 1) | (code & 1);
        code >>= 1;
    }
    return r;
}

// Builds a canonical Huffman lookup table, codes bit-reversed since deflate sends them
// from the most significant bit. Refuses an over-subscribed code, and an incomplete one
// unless `allowSparse` and it is empty or a single one-bit code, the two that deflate
// encoders legitimately write.
bool buildTable(const std::uint8_t* lengths, unsigned count, const std::uint32_t* templates,
                unsigned rootBits, std::uint32_t* table, std::size_t capacity, bool allowSparse) {
    std::array<unsigned, kMaxBits + 1> lengthCount{};
    for (unsigned s = 0; s < count; ++s) {
        ++lengthCount[lengths[s]];
    }
    lengthCount[0] = 0;
    int left = 1;
    unsigned maxLength = 0;
    for (unsigned len = 1; len <= kMaxBits; ++len) {
        left = left * 2 - int(lengthCount[len]);
        if (left < 0) {
            return false;
        }
        if (lengthCount[len] != 0) {
            maxLength = len;
        }
    }
    if (left > 0 && !(allowSparse && maxLength <= 1)) {
        return false;
    }

    const std::size_t rootSize = std::size_t{1} << rootBits;
    std::fill(table, table + rootSize, makeEntry(kInvalid, 0, 0) | rootBits);

    std::array<unsigned, kMaxBits + 1> firstCode{};
    unsigned code = 0;
    for (unsigned len = 1; len <= kMaxBits; ++len) {
        code = (code + lengthCount[len - 1]) << 1;
        firstCode[len] = code;
    }

    // Subtables, each as wide as the longest code under its prefix.
    if (maxLength > rootBits) {
        std::array<std::uint8_t, 1u << kMaxRootBits> subBits{};
        auto next = firstCode;
        for (unsigned s = 0; s < count; ++s) {
            const unsigned len = lengths[s];
            if (len > rootBits) {
                const unsigned prefix = reverseBits(next[len]++, len) & lowBits(rootBits);
                subBits[prefix] = std::max<std::uint8_t>(subBits[prefix], len - rootBits);
            }
        }
        std::size_t used = rootSize;
        for (unsigned prefix = 0; prefix < rootSize; ++prefix) {
            const unsigned bits = subBits[prefix];
            if (bits == 0) {
                continue;
            }
            const std::size_t size = std::size_t{1} << bits;
            if (used + size > capacity) {
                return false;
            }
            table[prefix] = makeEntry(kSubtable, bits, unsigned(used));
            std::fill(table + used, table + used + size,
                      makeEntry(kInvalid, 0, 0) | (rootBits + bits));
            used += size;
        }
    }

    auto next = firstCode;
    for (unsigned s = 0; s < count; ++s) {
        const unsigned len = lengths[s];
        if (len == 0) {
            continue;
        }
        const unsigned reversed = reverseBits(next[len]++, len);
        const std::uint32_t entry = templates[s] | len;
        if (len <= rootBits) {
            for (std::size_t i = reversed; i < rootSize; i += std::size_t{1} << len) {
                table[i] = entry;
            }
        } else {
            const std::uint32_t sub = table[reversed & lowBits(rootBits)];
            const std::size_t size = std::size_t{1} << extraBits(sub);
            for (std::size_t i = reversed >> rootBits; i < size;
                 i += std::size_t{1} << (len - rootBits)) {
                table[entryValue(sub) + i] = entry;
            }
        }
    }
    return true;
}

inline std::uint32_t lookup(const std::uint32_t* table, unsigned rootBits, std::uint64_t bits) {
    std::uint32_t entry = table[bits & lowBits(rootBits)];
    if (entry & kSubtable) {
        entry = table[entryValue(entry) + ((bits >> rootBits) & lowBits(extraBits(entry)))];
    }
    return entry;
}

inline std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) {
        v = __builtin_bswap64(v);
    }
    return v;
}

// Copies `length` bytes from `distance` back, overlap repeating the pattern as LZ77 means.
// With a distance of 8 or more it may write up to 7 bytes past the end.
inline void copyMatchBytes(std::uint8_t* dst, unsigned distance, std::size_t length) {
    const std::uint8_t* src = dst - distance;
    if (distance >= 16) {
        std::uint8_t* const end = dst + length;
        do {
            std::memcpy(dst, src, 16);
            dst += 16;
            src += 16;
        } while (dst < end);
    } else if (distance >= 8) {
        std::uint8_t* const end = dst + length;
        do {
            std::memcpy(dst, src, 8);
            dst += 8;
            src += 8;
        } while (dst < end);
    } else if (distance == 1) {
        std::memset(dst, *src, length);
    } else {
        for (std::size_t i = 0; i < length; ++i) {
            dst[i] = src[i];
        }
    }
}

} // namespace

Deflate64Decoder::Deflate64Decoder()
    : m_window(new std::uint8_t[kWindowEnd + kSlack]()),
      m_tables(new std::uint32_t[kLitCapacity + kDistCapacity + kPrecodeCapacity +
                                 (std::size_t{1} << kFixedLitBits) +
                                 (std::size_t{1} << kFixedDistBits)]) {
    m_litDynamic = m_tables.get();
    m_distDynamic = m_litDynamic + kLitCapacity;
    m_precode = m_distDynamic + kDistCapacity;
    m_litFixed = m_precode + kPrecodeCapacity;
    m_distFixed = m_litFixed + (std::size_t{1} << kFixedLitBits);
    static_assert(kLitBits <= kMaxRootBits && kDistBits <= kMaxRootBits &&
                  kPrecodeBits <= kMaxRootBits);

    std::array<std::uint8_t, kLitSymbols> lit{};
    std::fill(lit.begin(), lit.begin() + 144, 8);
    std::fill(lit.begin() + 144, lit.begin() + 256, 9);
    std::fill(lit.begin() + 256, lit.begin() + 280, 7);
    std::fill(lit.begin() + 280, lit.end(), 8);
    std::array<std::uint8_t, kDistSymbols> dist{};
    dist.fill(5);
    buildTable(lit.data(), kLitSymbols, kLitTemplates.data(), kFixedLitBits, m_litFixed,
               std::size_t{1} << kFixedLitBits, false);
    buildTable(dist.data(), kDistSymbols, kDistTemplates.data(), kFixedDistBits, m_distFixed,
               std::size_t{1} << kFixedDistBits, false);
    reset();
}

void Deflate64Decoder::reset() {
    m_bits = 0;
    m_bitCount = 0;
    m_pos = 0;
    m_flushed = 0;
    m_mode = Mode::BlockHeader;
    m_finalBlock = false;
    m_storedLeft = 0;
    m_matchLength = 0;
    m_matchDistance = 0;
}

Deflate64Decoder::Status Deflate64Decoder::decode(const std::uint8_t*& next_in,
                                                  std::size_t& avail_in, std::uint8_t*& next_out,
                                                  std::size_t& avail_out) {
    const std::uint8_t* const start = next_in;
    m_in = next_in;
    m_inEnd = next_in + avail_in;
    Status status = Status::NeedInput;
    for (;;) {
        // Content decoded before an error is handed out first, so that what a caller sees
        // does not depend on how it feeds the decoder.
        flush(next_out, avail_out);
        if (m_flushed < m_pos) {
            status = Status::OutputFull;
            break;
        }
        if (m_mode == Mode::Bad) {
            status = Status::Corrupted;
            break;
        }
        if (m_mode == Mode::Done) {
            giveBackBytes(std::size_t(m_in - start));
            status = Status::End;
            break;
        }
        if (m_pos == kWindowEnd) {
            // Everything is handed out: keep the history, make room after it.
            std::memmove(m_window.get(), m_window.get() + m_pos - kHistory, kHistory);
            m_pos = kHistory;
            m_flushed = kHistory;
        }
        if (run() == Step::NeedInput) {
            flush(next_out, avail_out);
            status = m_flushed < m_pos ? Status::OutputFull : Status::NeedInput;
            break;
        }
    }
    avail_in -= std::size_t(m_in - next_in);
    next_in = m_in;
    return status;
}

void Deflate64Decoder::flush(std::uint8_t*& next_out, std::size_t& avail_out) {
    const std::size_t n = std::min(m_pos - m_flushed, avail_out);
    if (n != 0) {
        std::memcpy(next_out, m_window.get() + m_flushed, n);
        next_out += n;
        avail_out -= n;
        m_flushed += n;
    }
}

bool Deflate64Decoder::pullByte() {
    if (m_in == m_inEnd) {
        return false;
    }
    m_bits |= std::uint64_t{*m_in++} << m_bitCount;
    m_bitCount += 8;
    return true;
}

bool Deflate64Decoder::need(unsigned bits) {
    while (m_bitCount < bits) {
        if (!pullByte()) {
            return false;
        }
    }
    return true;
}

// The entry the next bits decode to, once its code and extra bits are all in hand.
bool Deflate64Decoder::peek(const std::uint32_t* table, unsigned rootBits, std::uint32_t& entry) {
    for (;;) {
        entry = lookup(table, rootBits, m_bits);
        if (codeLength(entry) + extraBits(entry) <= m_bitCount) {
            return true;
        }
        if (!pullByte()) {
            return false;
        }
    }
}

std::uint32_t Deflate64Decoder::takeBits(unsigned bits) {
    const std::uint32_t v = std::uint32_t(m_bits & ((std::uint64_t{1} << bits) - 1));
    m_bits >>= bits;
    m_bitCount -= bits;
    return v;
}

// Returns whole unread bytes of the bit buffer to the input, at most `limit` of them (those
// taken in this call; earlier callers' buffers are gone).
void Deflate64Decoder::giveBackBytes(std::size_t limit) {
    const std::size_t n = std::min<std::size_t>(m_bitCount >> 3, limit);
    m_in -= n;
    m_bitCount -= unsigned(n * 8);
    m_bits &= (std::uint64_t{1} << m_bitCount) - 1;
}

Deflate64Decoder::Step Deflate64Decoder::fail() {
    m_mode = Mode::Bad;
    return Step::Stop;
}

Deflate64Decoder::Step Deflate64Decoder::run() {
    for (;;) {
        Step step = Step::Continue;
        switch (m_mode) {
        case Mode::BlockHeader: {
            if (!need(3)) {
                return Step::NeedInput;
            }
            const std::uint32_t header = takeBits(3);
            m_finalBlock = (header & 1) != 0;
            switch (header >> 1) {
            case 0:
                takeBits(m_bitCount & 7);
                m_mode = Mode::StoredLength;
                break;
            case 1:
                m_lit = m_litFixed;
                m_litBits = kFixedLitBits;
                m_dist = m_distFixed;
                m_distBits = kFixedDistBits;
                m_mode = Mode::Symbols;
                break;
            case 2:
                m_mode = Mode::TableSizes;
                break;
            default:
                return fail();
            }
            break;
        }
        case Mode::StoredLength: {
            if (!need(32)) {
                return Step::NeedInput;
            }
            const std::uint32_t v = takeBits(32);
            if ((v & 0xffff) != (~v >> 16)) {
                return fail();
            }
            m_storedLeft = v & 0xffff;
            m_mode = Mode::StoredCopy;
            break;
        }
        case Mode::StoredCopy:
            step = copyStored();
            break;
        case Mode::TableSizes: {
            if (!need(14)) {
                return Step::NeedInput;
            }
            m_litCount = takeBits(5) + 257;
            m_distCount = takeBits(5) + 1;
            m_precodeCount = takeBits(4) + 4;
            if (m_litCount > 286) {
                return fail();
            }
            std::fill(m_lengths, m_lengths + kPrecodeSymbols, 0);
            m_lengthsRead = 0;
            m_mode = Mode::PrecodeLengths;
            break;
        }
        case Mode::PrecodeLengths: {
            while (m_lengthsRead < m_precodeCount) {
                if (!need(3)) {
                    return Step::NeedInput;
                }
                m_lengths[kPrecodeOrder[m_lengthsRead++]] = std::uint8_t(takeBits(3));
            }
            if (!buildTable(m_lengths, kPrecodeSymbols, kPrecodeTemplates.data(), kPrecodeBits,
                            m_precode, kPrecodeCapacity, false)) {
                return fail();
            }
            m_lengthsRead = 0;
            m_mode = Mode::CodeLengths;
            break;
        }
        case Mode::CodeLengths:
            step = readCodeLengths();
            break;
        case Mode::Symbols:
            if (m_pos == kWindowEnd) {
                return Step::WindowFull;
            }
            step = m_inEnd - m_in >= 16 ? fastSymbols() : slowSymbol();
            break;
        case Mode::Distance:
            step = slowDistance();
            break;
        case Mode::MatchCopy:
            step = copyMatch();
            break;
        case Mode::Done:
        case Mode::Bad:
            return Step::Stop;
        }
        if (step != Step::Continue) {
            return step;
        }
    }
}

Deflate64Decoder::Step Deflate64Decoder::copyStored() {
    while (m_storedLeft > 0) {
        if (m_pos == kWindowEnd) {
            return Step::WindowFull;
        }
        if (m_bitCount != 0) {
            // Bytes already taken into the bit buffer (whole ones: the block is aligned).
            m_window[m_pos++] = std::uint8_t(takeBits(8));
            --m_storedLeft;
            continue;
        }
        if (m_in == m_inEnd) {
            return Step::NeedInput;
        }
        const std::size_t n =
            std::min({m_storedLeft, kWindowEnd - m_pos, std::size_t(m_inEnd - m_in)});
        std::memcpy(m_window.get() + m_pos, m_in, n);
        m_in += n;
        m_pos += n;
        m_storedLeft -= n;
    }
    m_mode = m_finalBlock ? Mode::Done : Mode::BlockHeader;
    return Step::Continue;
}

Deflate64Decoder::Step Deflate64Decoder::readCodeLengths() {
    const unsigned total = m_litCount + m_distCount;
    while (m_lengthsRead < total) {
        std::uint32_t entry;
        if (!peek(m_precode, kPrecodeBits, entry)) {
            return Step::NeedInput;
        }
        if (entry & kInvalid) {
            return fail();
        }
        takeBits(codeLength(entry));
        const unsigned symbol = entryValue(entry);
        const unsigned extra = takeBits(extraBits(entry));
        if (symbol < 16) {
            m_lengths[m_lengthsRead++] = std::uint8_t(symbol);
            continue;
        }
        std::uint8_t value = 0;
        unsigned repeat;
        if (symbol == 16) {
            if (m_lengthsRead == 0) {
                return fail();
            }
            value = m_lengths[m_lengthsRead - 1];
            repeat = 3 + extra;
        } else if (symbol == 17) {
            repeat = 3 + extra;
        } else {
            repeat = 11 + extra;
        }
        if (repeat > total - m_lengthsRead) {
            return fail();
        }
        std::fill(m_lengths + m_lengthsRead, m_lengths + m_lengthsRead + repeat, value);
        m_lengthsRead += repeat;
    }
    if (!buildDynamicTables()) {
        return fail();
    }
    m_mode = Mode::Symbols;
    return Step::Continue;
}

bool Deflate64Decoder::buildDynamicTables() {
    if (m_lengths[256] == 0) {
        return false; // no end-of-block code: the block could never end
    }
    if (!buildTable(m_lengths, m_litCount, kLitTemplates.data(), kLitBits, m_litDynamic,
                    kLitCapacity, true) ||
        !buildTable(m_lengths + m_litCount, m_distCount, kDistTemplates.data(), kDistBits,
                    m_distDynamic, kDistCapacity, true)) {
        return false;
    }
    m_lit = m_litDynamic;
    m_litBits = kLitBits;
    m_dist = m_distDynamic;
    m_distBits = kDistBits;
    return true;
}

Deflate64Decoder::Step Deflate64Decoder::slowSymbol() {
    std::uint32_t entry;
    if (!peek(m_lit, m_litBits, entry)) {
        return Step::NeedInput;
    }
    if (entry & kLiteral) {
        takeBits(codeLength(entry));
        m_window[m_pos++] = std::uint8_t(entryValue(entry));
    } else if (entry & kEndOfBlock) {
        takeBits(codeLength(entry));
        m_mode = m_finalBlock ? Mode::Done : Mode::BlockHeader;
    } else if (entry & kInvalid) {
        return fail();
    } else {
        takeBits(codeLength(entry));
        m_matchLength = entryValue(entry) + takeBits(extraBits(entry));
        m_mode = Mode::Distance;
    }
    return Step::Continue;
}

Deflate64Decoder::Step Deflate64Decoder::slowDistance() {
    std::uint32_t entry;
    if (!peek(m_dist, m_distBits, entry)) {
        return Step::NeedInput;
    }
    if (entry & kInvalid) {
        return fail();
    }
    takeBits(codeLength(entry));
    const unsigned distance = entryValue(entry) + takeBits(extraBits(entry));
    if (distance > m_pos) {
        return fail();
    }
    m_matchDistance = distance;
    m_mode = Mode::MatchCopy;
    return Step::Continue;
}

Deflate64Decoder::Step Deflate64Decoder::copyMatch() {
    if (m_pos == kWindowEnd) {
        return Step::WindowFull;
    }
    const std::size_t n = std::min<std::size_t>(m_matchLength, kWindowEnd - m_pos);
    copyMatchBytes(m_window.get() + m_pos, m_matchDistance, n);
    m_pos += n;
    m_matchLength -= unsigned(n);
    if (m_matchLength == 0) {
        m_mode = Mode::Symbols;
    }
    return Step::Continue;
}

// Symbols while 16 bytes of input remain: each iteration refills at most twice, 7 bytes
// each, so the 8-byte loads stay inside the input.
Deflate64Decoder::Step Deflate64Decoder::fastSymbols() {
    const std::uint8_t* in = m_in;
    const std::uint8_t* const start = in;
    const std::uint8_t* const inEnd = m_inEnd;
    std::uint64_t bits = m_bits;
    unsigned count = m_bitCount;
    std::uint8_t* const window = m_window.get();
    std::size_t pos = m_pos;
    const std::uint32_t* const lit = m_lit;
    const std::uint32_t* const dist = m_dist;
    const unsigned litBits = m_litBits;
    const unsigned distBits = m_distBits;

    const auto refill = [&] {
        bits |= load64(in) << count;
        in += (63 - count) >> 3;
        count |= 56;
    };
    const auto drop = [&](unsigned n) {
        bits >>= n;
        count -= n;
    };

    Step step = Step::Continue;
    while (pos < kWindowEnd && inEnd - in >= 16) {
        refill();
        const std::uint32_t entry = lookup(lit, litBits, bits);
        if (entry & kLiteral) {
            drop(codeLength(entry));
            window[pos++] = std::uint8_t(entryValue(entry));
            // Two more literals fit in the bits in hand (56 - 15 >= 2 * 15).
            for (int more = 0; more < 2 && pos < kWindowEnd; ++more) {
                const std::uint32_t next = lookup(lit, litBits, bits);
                if (!(next & kLiteral)) {
                    break;
                }
                drop(codeLength(next));
                window[pos++] = std::uint8_t(entryValue(next));
            }
            continue;
        }
        if (entry & (kEndOfBlock | kInvalid)) {
            if (entry & kInvalid) {
                step = fail();
            } else {
                drop(codeLength(entry));
                m_mode = m_finalBlock ? Mode::Done : Mode::BlockHeader;
            }
            break;
        }
        drop(codeLength(entry));
        const unsigned length = entryValue(entry) + unsigned(bits & lowBits(extraBits(entry)));
        drop(extraBits(entry));
        refill();
        const std::uint32_t dentry = lookup(dist, distBits, bits);
        if (dentry & kInvalid) {
            step = fail();
            break;
        }
        drop(codeLength(dentry));
        const unsigned distance = entryValue(dentry) + unsigned(bits & lowBits(extraBits(dentry)));
        drop(extraBits(dentry));
        if (distance > pos) {
            step = fail();
            break;
        }
        const std::size_t n = std::min<std::size_t>(length, kWindowEnd - pos);
        copyMatchBytes(window + pos, distance, n);
        pos += n;
        if (n < length) {
            m_matchLength = unsigned(length - n);
            m_matchDistance = distance;
            m_mode = Mode::MatchCopy;
            break;
        }
    }

    m_in = in;
    m_bits = bits;
    m_bitCount = count;
    m_pos = pos;
    giveBackBytes(std::size_t(in - start));
    return step;
}

} // namespace archive_engine
