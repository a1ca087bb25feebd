// PPMd var.I decoding: a context model of orders up to 16 whose predictions drive a range
// decoder, one symbol at a time. Each symbol is looked for in the longest context first;
// an escape moves to the next shorter one with the symbols already refused masked out. The
// model then learns the symbol exactly as the encoder's did, so every rounding, ordering and
// allocation below is part of the format.

#include "codecs/ppmd.h"

#include <algorithm>
#include <array>

namespace archive_engine {

namespace {

constexpr unsigned kMaxFreq = 124;
constexpr unsigned kIntBits = 7;
constexpr unsigned kPeriodBits = 7;
constexpr unsigned kBinScale = 1u << (kIntBits + kPeriodBits);
constexpr std::uint32_t kTop = 1u << 24;
constexpr std::uint32_t kBot = 1u << 15;

constexpr std::array<std::uint16_t, 8> kInitBinEsc = {0x3CDD, 0x1F3F, 0x59BF, 0x48F3,
                                                      0x64A1, 0x5ABC, 0x6632, 0x6051};
constexpr std::array<std::uint8_t, 16> kExpEscape = {25, 14, 9, 7, 5, 5, 4, 4,
                                                     4,  3,  3, 3, 2, 2, 2, 2};

// A count's class: 0 to 4 each their own, then classes one wider each time.
constexpr std::array<std::uint8_t, 260> countClasses() {
    std::array<std::uint8_t, 260> t{};
    unsigned i = 0;
    for (; i < 5; ++i) {
        t[i] = std::uint8_t(i);
    }
    for (unsigned m = i, k = 1; i < 260; ++i) {
        t[i] = std::uint8_t(m);
        if (--k == 0) {
            k = ++m - 4;
        }
    }
    return t;
}
constexpr auto kCountClass = countClasses();

// Starting values of the binary contexts' probabilities, by the class of the symbol's
// frequency: the more frequencies a class spans, the likelier the symbol.
constexpr std::array<std::array<std::uint16_t, 8>, 25> binSummStart() {
    std::array<std::array<std::uint16_t, 8>, 25> t{};
    unsigned i = 0;
    for (unsigned m = 0; m < t.size(); ++m) {
        while (kCountClass[i] == m) {
            ++i;
        }
        for (unsigned k = 0; k < 8; ++k) {
            t[m][k] = std::uint16_t(kBinScale - kInitBinEsc[k] / (i + 1));
        }
    }
    return t;
}
constexpr auto kBinSummStart = binSummStart();

// Starting escape estimates, by the class of the context's symbol count.
constexpr std::array<std::uint16_t, 24> seeStart() {
    std::array<std::uint16_t, 24> t{};
    unsigned i = 0;
    for (unsigned m = 0; m < t.size(); ++m) {
        while (kCountClass[i + 3] == m + 3) {
            ++i;
        }
        t[m] = std::uint16_t(2 * i + 5);
    }
    return t;
}
constexpr auto kSeeStart = seeStart();

// The binary contexts' column by the shorter context's symbol count.
constexpr unsigned suffixClass(unsigned numStats) {
    return numStats == 0 ? 0 : numStats == 1 ? 2 : numStats < 11 ? 4 : 6;
}

constexpr unsigned mean(unsigned prob) {
    return (prob + (1u << (kPeriodBits - 2))) >> kPeriodBits;
}

constexpr unsigned highBit(unsigned symbol) {
    return symbol >= 0x40 ? 0x08 : 0;
}

constexpr std::uint8_t kPrevHigh = 0x10;
constexpr std::uint8_t kRescaled = 0x04;

} // namespace

bool PpmdDecoder::parseHeader(const std::uint8_t (&header)[kHeaderSize], Parameters* parameters) {
    const unsigned value = header[0] | unsigned(header[1]) << 8;
    const unsigned order = (value & 0xF) + 1;
    const unsigned method = value >> 12;
    if (order < kMinOrder || method > 1) {
        return false;
    }
    parameters->order = order;
    parameters->memory = (((value >> 4) & 0xFF) + 1) << 20;
    parameters->cutOff = method == 1;
    return true;
}

PpmdDecoder::Status PpmdDecoder::start(const Parameters& parameters, Source& source) {
    m_arena.allocate(parameters.memory);
    m_mem = m_arena.bytes();
    m_source = &source;
    m_in = {};
    m_inPos = 0;
    m_short = false;

    m_low = 0;
    m_range = 0xFFFFFFFF;
    m_code = 0;
    for (int i = 0; i < 4; ++i) {
        m_code = (m_code << 8) | nextByte();
    }

    m_maxOrder = parameters.order;
    m_cutOff = parameters.cutOff;
    m_initEsc = 0;
    m_dummySee = {0, kPeriodBits, 64};
    restart();
    if (m_short) {
        return Status::Truncated;
    }
    return m_code == 0xFFFFFFFF ? Status::Corrupted : Status::Ok;
}

PpmdDecoder::Status PpmdDecoder::decode(std::uint8_t* out, std::size_t size,
                                        std::size_t* produced) {
    std::size_t n = 0;
    Status status = Status::Ok;
    while (n < size) {
        const int symbol = decodeSymbol();
        if (m_short) {
            status = Status::Truncated;
            break;
        }
        if (symbol < 0) {
            status = symbol == kEndMark ? Status::EndMark : Status::Corrupted;
            break;
        }
        out[n++] = std::uint8_t(symbol);
    }
    *produced = n;
    return status;
}

std::uint8_t PpmdDecoder::nextByte() {
    if (m_inPos == m_in.size()) {
        m_in = m_short ? std::span<const std::uint8_t>() : m_source->more();
        m_inPos = 0;
        if (m_in.empty()) {
            m_short = true;
            return 0;
        }
    }
    return m_in[m_inPos++];
}

// The range decoder of PPMd var.I: carry-less, its range cut back whenever it falls below
// kBot so that the low end never needs a carry.
std::uint32_t PpmdDecoder::threshold(std::uint32_t total) {
    m_range /= total;
    return m_code / m_range;
}

void PpmdDecoder::take(std::uint32_t start, std::uint32_t size) {
    start *= m_range;
    m_low += start;
    m_code -= start;
    m_range *= size;
    for (;;) {
        if ((m_low ^ (m_low + m_range)) >= kTop) {
            if (m_range >= kBot) {
                break;
            }
            m_range = (0 - m_low) & (kBot - 1);
        }
        m_code = (m_code << 8) | nextByte();
        m_range <<= 8;
        m_low <<= 8;
    }
}

void PpmdDecoder::restart() {
    m_arena.reset();
    m_orderFall = m_maxOrder;
    m_runLength = m_initRunLength = -std::int32_t(std::min(m_maxOrder, 12u)) - 1;
    m_prevSuccess = 0;

    // The root context: every byte value once, in a block of 128 units.
    m_arena.hiUnit -= ppmd::Arena::kUnitSize;
    const Ref root = m_arena.hiUnit;
    const Ref list = m_arena.loUnit;
    m_arena.loUnit += 128 * ppmd::Arena::kUnitSize;
    m_minContext = m_maxContext = root;
    numStats(root) = 255;
    flags(root) = 0;
    setSummFreq(root, 256 + 1);
    setStats(root, list);
    setSuffix(root, 0);
    for (unsigned i = 0; i < 256; ++i) {
        storeState(list + i * kStateSize, {std::uint8_t(i), 1, 0});
    }
    m_foundState = list;

    for (unsigned i = 0; i < 25; ++i) {
        for (unsigned k = 0; k < 64; ++k) {
            m_binSumm[i][k] = kBinSummStart[i][k & 7];
        }
    }
    for (unsigned i = 0; i < 24; ++i) {
        for (See& see : m_see[i]) {
            see.shift = kPeriodBits - 4;
            see.summ = std::uint16_t(kSeeStart[i] << see.shift);
            see.count = 7;
        }
    }
}

int PpmdDecoder::decodeSymbol() {
    const Ref mc = m_minContext;
    if (numStats(mc) != 0) {
        Ref s = stats(mc);
        const unsigned summ = summFreq(mc);
        if (summ > m_range) {
            return kBadCode;
        }
        const std::uint32_t count = threshold(summ);
        std::uint32_t hiCnt = freq(s);
        if (count < hiCnt) {
            take(0, hiCnt);
            m_foundState = s;
            const int found = symbol(s);
            updateFirst();
            return found;
        }
        m_prevSuccess = 0;
        for (unsigned i = numStats(mc); i != 0; --i) {
            s += kStateSize;
            hiCnt += freq(s);
            if (hiCnt > count) {
                take(hiCnt - freq(s), freq(s));
                m_foundState = s;
                const int found = symbol(s);
                updateOther();
                return found;
            }
        }
        if (count >= summ) {
            return kBadCode;
        }
        take(hiCnt, summ - hiCnt);
        std::fill(std::begin(m_masked), std::end(m_masked), false);
        for (Ref t = stats(mc); t <= s; t += kStateSize) {
            m_masked[symbol(t)] = true;
        }
    } else {
        std::uint16_t& prob = binaryProbability();
        m_range >>= 14;
        const std::uint32_t count = m_code / m_range;
        if (count < prob) {
            take(0, prob);
            prob = std::uint16_t(prob + (1u << kIntBits) - mean(prob));
            m_foundState = oneState(mc);
            const int found = symbol(m_foundState);
            updateBinary();
            return found;
        }
        if (count >= kBinScale) {
            return kBadCode;
        }
        take(prob, kBinScale - prob);
        prob = std::uint16_t(prob - mean(prob));
        m_initEsc = kExpEscape[prob >> 10];
        std::fill(std::begin(m_masked), std::end(m_masked), false);
        m_masked[symbol(oneState(mc))] = true;
        m_prevSuccess = 0;
    }
    return decodeEscaped();
}

// After an escape: the symbol in the next shorter context that holds one not yet refused,
// or the end mark once the root context refuses too.
int PpmdDecoder::decodeEscaped() {
    std::array<Ref, 256> candidates;
    for (;;) {
        Ref mc = m_minContext;
        const unsigned masked = numStats(mc);
        do {
            ++m_orderFall;
            if (suffix(mc) == 0) {
                return kEndMark;
            }
            mc = suffix(mc);
        } while (numStats(mc) == masked);
        m_minContext = mc;

        unsigned n = 0;
        std::uint32_t hiCnt = 0;
        Ref s = stats(mc);
        for (unsigned i = 0; i <= numStats(mc); ++i, s += kStateSize) {
            if (!m_masked[symbol(s)]) {
                candidates[n++] = s;
                hiCnt += freq(s);
            }
        }
        std::uint32_t escFreq = 0;
        See* see = escapeEstimate(masked, &escFreq);
        const std::uint32_t total = escFreq + hiCnt;
        if (total > m_range) {
            return kBadCode;
        }
        const std::uint32_t count = threshold(total);
        if (count < hiCnt) {
            unsigned k = 0;
            hiCnt = freq(candidates[0]);
            while (hiCnt <= count) {
                hiCnt += freq(candidates[++k]);
            }
            s = candidates[k];
            take(hiCnt - freq(s), freq(s));
            if (see->shift < kPeriodBits && --see->count == 0) {
                see->summ = std::uint16_t(see->summ << 1);
                see->count = std::uint8_t(3 << see->shift++);
            }
            m_foundState = s;
            const int found = symbol(s);
            updateEscaped();
            return found;
        }
        if (count >= total) {
            return kBadCode;
        }
        take(hiCnt, total - hiCnt);
        see->summ = std::uint16_t(see->summ + total);
        for (unsigned k = 0; k < n; ++k) {
            m_masked[symbol(candidates[k])] = true;
        }
    }
}

PpmdDecoder::See* PpmdDecoder::escapeEstimate(unsigned masked, std::uint32_t* escFreq) {
    const Ref mc = m_minContext;
    const unsigned ns = numStats(mc);
    if (ns == 0xFF) {
        *escFreq = 1;
        return &m_dummySee;
    }
    See* see =
        &m_see[kCountClass[ns + 2] - 3][(summFreq(mc) > 11 * (ns + 1)) +
                                        2 * (2 * ns < numStats(suffix(mc)) + masked) + flags(mc)];
    const unsigned r = see->summ >> see->shift;
    see->summ = std::uint16_t(see->summ - r);
    *escFreq = r + (r == 0);
    return see;
}

std::uint16_t& PpmdDecoder::binaryProbability() {
    const Ref mc = m_minContext;
    const unsigned column = suffixClass(numStats(suffix(mc))) + m_prevSuccess + flags(mc) +
                            ((m_runLength >> 26) & 0x20);
    return m_binSumm[kCountClass[freq(oneState(mc)) - 1]][column];
}

void PpmdDecoder::updateFirst() {
    const Ref mc = m_minContext;
    m_prevSuccess = 2 * freq(m_foundState) >= summFreq(mc);
    m_runLength = std::int32_t(std::uint32_t(m_runLength) + m_prevSuccess);
    setSummFreq(mc, summFreq(mc) + 4);
    freq(m_foundState) = std::uint8_t(freq(m_foundState) + 4);
    if (freq(m_foundState) > kMaxFreq) {
        rescale();
    }
    nextContext();
}

void PpmdDecoder::updateOther() {
    const Ref s = m_foundState;
    freq(s) = std::uint8_t(freq(s) + 4);
    setSummFreq(m_minContext, summFreq(m_minContext) + 4);
    if (freq(s) > freq(s - kStateSize)) {
        swapStates(s, s - kStateSize);
        m_foundState = s - kStateSize;
        if (freq(m_foundState) > kMaxFreq) {
            rescale();
        }
    }
    nextContext();
}

void PpmdDecoder::updateBinary() {
    freq(m_foundState) = std::uint8_t(freq(m_foundState) + (freq(m_foundState) < 196));
    m_prevSuccess = 1;
    m_runLength = std::int32_t(std::uint32_t(m_runLength) + 1);
    nextContext();
}

void PpmdDecoder::updateEscaped() {
    setSummFreq(m_minContext, summFreq(m_minContext) + 4);
    freq(m_foundState) = std::uint8_t(freq(m_foundState) + 4);
    if (freq(m_foundState) > kMaxFreq) {
        rescale();
    }
    m_runLength = m_initRunLength;
    updateModel();
    m_minContext = m_maxContext;
}

void PpmdDecoder::nextContext() {
    const Ref next = successor(m_foundState);
    if (m_orderFall == 0 && isContext(next)) {
        m_minContext = m_maxContext = next;
    } else {
        updateModel();
        m_minContext = m_maxContext;
    }
}

// Halves the frequencies of the current context, keeps its list sorted by frequency and
// drops the symbols that fall to zero.
void PpmdDecoder::rescale() {
    const Ref mc = m_minContext;
    const Ref list = stats(mc);
    Ref s = m_foundState;
    if (s != list) {
        const State found = loadState(s);
        for (; s != list; s -= kStateSize) {
            copyState(s, s - kStateSize);
        }
        storeState(list, found);
    }
    unsigned escFreq = summFreq(mc) - freq(s);
    const unsigned adder = m_orderFall != 0;
    freq(s) = std::uint8_t((freq(s) + 4 + adder) >> 1);
    unsigned sumFreq = freq(s);
    for (unsigned i = numStats(mc); i != 0; --i) {
        s += kStateSize;
        escFreq -= freq(s);
        freq(s) = std::uint8_t((freq(s) + adder) >> 1);
        sumFreq += freq(s);
        if (freq(s) > freq(s - kStateSize)) {
            const State moving = loadState(s);
            Ref at = s;
            do {
                copyState(at, at - kStateSize);
                at -= kStateSize;
            } while (at != list && moving.freq > freq(at - kStateSize));
            storeState(at, moving);
        }
    }

    if (freq(s) == 0) {
        const unsigned oldNumStats = numStats(mc);
        unsigned zeros = 0;
        do {
            ++zeros;
            s -= kStateSize;
        } while (freq(s) == 0);
        escFreq += zeros;
        numStats(mc) = std::uint8_t(oldNumStats - zeros);
        if (numStats(mc) == 0) {
            State only = loadState(list);
            only.freq = std::uint8_t(
                std::min<unsigned>((2 * only.freq + escFreq - 1) / escFreq, kMaxFreq / 3));
            m_arena.freeUnits(list, (oldNumStats + 2) >> 1);
            flags(mc) = std::uint8_t((flags(mc) & kPrevHigh) + highBit(only.symbol));
            m_foundState = oneState(mc);
            storeState(m_foundState, only);
            return;
        }
        const unsigned oldUnits = (oldNumStats + 2) >> 1;
        const unsigned newUnits = (numStats(mc) + 2u) >> 1;
        if (oldUnits != newUnits) {
            setStats(mc, m_arena.shrinkUnits(list, oldUnits, newUnits));
        }
        unsigned high = 0;
        Ref t = stats(mc);
        for (unsigned i = 0; i <= numStats(mc); ++i, t += kStateSize) {
            high |= highBit(symbol(t));
        }
        flags(mc) = std::uint8_t((flags(mc) & ~0x08u) | high);
    }
    setSummFreq(mc, sumFreq + escFreq - (escFreq >> 1));
    flags(mc) |= kRescaled;
    m_foundState = stats(mc);
}

} // namespace archive_engine
