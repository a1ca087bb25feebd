// How the PPMd var.I model grows after a symbol, and how it is restored when its memory is
// full. Growing adds the symbol to every context that escaped and creates the longer
// contexts that now follow; a successor still pointing into the text is a context not yet
// made. When memory runs out the model starts afresh, or, with the cut-off method and over
// half of memory in use, is cut down to what the text no longer backs.

#include "codecs/ppmd.h"

#include <array>

namespace archive_engine {

namespace {

constexpr unsigned kMaxFreq = 124;
constexpr std::uint8_t kPrevHigh = 0x10;
constexpr std::uint8_t kRescaled = 0x04;
constexpr std::uint8_t kHighSymbols = 0x08;

constexpr unsigned highBit(unsigned symbol) {
    return symbol >= 0x40 ? kHighSymbols : 0;
}

} // namespace

void PpmdDecoder::updateModel() {
    const State found = loadState(m_foundState);
    Ref fSuccessor = found.successor;

    // The symbol in the next shorter context gains too, when it is still rare here.
    Ref shorter = 0;
    if (found.freq < kMaxFreq / 4 && suffix(m_minContext) != 0) {
        const Ref c = suffix(m_minContext);
        if (numStats(c) == 0) {
            shorter = oneState(c);
            if (freq(shorter) < 32) {
                ++freq(shorter);
            }
        } else {
            shorter = stats(c);
            if (symbol(shorter) != found.symbol) {
                do {
                    shorter += kStateSize;
                } while (symbol(shorter) != found.symbol);
                if (freq(shorter) >= freq(shorter - kStateSize)) {
                    swapStates(shorter, shorter - kStateSize);
                    shorter -= kStateSize;
                }
            }
            if (freq(shorter) < kMaxFreq - 9) {
                freq(shorter) = std::uint8_t(freq(shorter) + 2);
                setSummFreq(c, summFreq(c) + 2);
            }
        }
    }

    Ref c = m_maxContext;
    if (m_orderFall == 0 && fSuccessor != 0) {
        const Ref made = createSuccessors(true, shorter, m_minContext);
        setSuccessor(m_foundState, made);
        if (made == 0) {
            restoreModel(c);
        } else {
            m_maxContext = made;
        }
        return;
    }

    m_mem[m_arena.text++] = found.symbol;
    Ref successor = m_arena.text;
    if (m_arena.text >= m_arena.unitsStart) {
        restoreModel(c);
        return;
    }
    if (fSuccessor == 0) {
        fSuccessor = reduceOrder(shorter, m_minContext);
        if (fSuccessor == 0) {
            restoreModel(c);
            return;
        }
    } else if (!isContext(fSuccessor)) {
        fSuccessor = createSuccessors(false, shorter, m_minContext);
        if (fSuccessor == 0) {
            restoreModel(c);
            return;
        }
    }
    if (--m_orderFall == 0) {
        successor = fSuccessor;
        m_arena.text -= m_maxContext != m_minContext;
    }

    const unsigned ns = numStats(m_minContext);
    const unsigned s0 = summFreq(m_minContext) - ns - found.freq;
    const std::uint8_t flag = std::uint8_t(highBit(found.symbol));
    for (; c != m_minContext; c = suffix(c)) {
        const unsigned ns1 = numStats(c);
        if (ns1 != 0) {
            if (ns1 & 1) {
                const Ref grown = m_arena.growUnits(stats(c), (ns1 + 1) >> 1);
                if (grown == 0) {
                    restoreModel(c);
                    return;
                }
                setStats(c, grown);
            }
            setSummFreq(c, summFreq(c) + (3 * ns1 + 1 < ns));
        } else {
            const Ref list = m_arena.allocUnits(0);
            if (list == 0) {
                restoreModel(c);
                return;
            }
            State first = loadState(oneState(c));
            first.freq = first.freq < kMaxFreq / 4 - 1 ? std::uint8_t(first.freq * 2)
                                                       : std::uint8_t(kMaxFreq - 4);
            storeState(list, first);
            setStats(c, list);
            setSummFreq(c, first.freq + m_initEsc + (ns > 2));
        }
        std::uint32_t cf = 2 * std::uint32_t(found.freq) * (summFreq(c) + 6);
        const std::uint32_t sf = s0 + summFreq(c);
        if (cf < 6 * sf) {
            cf = 1 + (cf > sf) + (cf >= 4 * sf);
            setSummFreq(c, summFreq(c) + 4);
        } else {
            cf = 4 + (cf > 9 * sf) + (cf > 12 * sf) + (cf > 15 * sf);
            setSummFreq(c, summFreq(c) + cf);
        }
        storeState(stats(c) + (ns1 + 1) * kStateSize, {found.symbol, std::uint8_t(cf), successor});
        flags(c) |= flag;
        numStats(c) = std::uint8_t(ns1 + 1);
    }
    m_maxContext = m_minContext = fSuccessor;
}

// Makes the contexts one symbol longer than `c` and those of its suffixes that lead to the
// same text, each with the one symbol that followed there. `s1`, when given, is the found
// symbol's state in c's suffix, already updated.
PpmdDecoder::Ref PpmdDecoder::createSuccessors(bool skip, Ref s1, Ref c) {
    const Ref upBranch = successor(m_foundState);
    const std::uint8_t fSymbol = symbol(m_foundState);
    std::array<Ref, kMaxOrder + 1> chain;
    unsigned depth = 0;
    if (!skip) {
        chain[depth++] = m_foundState;
    }
    while (suffix(c) != 0) {
        c = suffix(c);
        Ref s;
        if (s1 != 0) {
            s = s1;
            s1 = 0;
        } else if (numStats(c) != 0) {
            for (s = stats(c); symbol(s) != fSymbol; s += kStateSize) {
            }
            if (freq(s) < kMaxFreq - 9) {
                ++freq(s);
                setSummFreq(c, summFreq(c) + 1);
            }
        } else {
            s = oneState(c);
            freq(s) = std::uint8_t(freq(s) + (numStats(suffix(c)) == 0 && freq(s) < 24));
        }
        if (successor(s) != upBranch) {
            c = successor(s);
            if (depth == 0) {
                return c;
            }
            break;
        }
        if (depth == chain.size()) {
            return 0;
        }
        chain[depth++] = s;
    }

    State up;
    up.symbol = m_mem[upBranch];
    up.successor = upBranch + 1;
    const std::uint8_t newFlags =
        std::uint8_t((fSymbol >= 0x40 ? kPrevHigh : 0) + highBit(up.symbol));
    if (numStats(c) == 0) {
        up.freq = freq(oneState(c));
    } else {
        Ref s = stats(c);
        while (symbol(s) != up.symbol) {
            s += kStateSize;
        }
        const unsigned cf = freq(s) - 1u;
        const unsigned s0 = summFreq(c) - numStats(c) - cf;
        up.freq = std::uint8_t(1 + (2 * cf <= s0 ? 5 * cf > s0 : (cf + 2 * s0 - 3) / s0));
    }

    while (depth != 0) {
        const Ref child = m_arena.allocContext();
        if (child == 0) {
            return 0;
        }
        numStats(child) = 0;
        flags(child) = newFlags;
        storeState(oneState(child), up);
        setSuffix(child, c);
        setSuccessor(chain[--depth], child);
        c = child;
    }
    return c;
}

// For a symbol whose successor is unknown: points it and the suffixes' states that lack one
// at the text, and returns the first suffix context that has a successor (made if need be).
PpmdDecoder::Ref PpmdDecoder::reduceOrder(Ref s1, Ref c) {
    const Ref start = c;
    const Ref upBranch = m_arena.text;
    const std::uint8_t fSymbol = symbol(m_foundState);
    setSuccessor(m_foundState, upBranch);
    ++m_orderFall;

    Ref s = 0;
    for (;;) {
        if (s1 != 0) {
            c = suffix(c);
            s = s1;
            s1 = 0;
        } else {
            if (suffix(c) == 0) {
                return c;
            }
            c = suffix(c);
            if (numStats(c) != 0) {
                for (s = stats(c); symbol(s) != fSymbol; s += kStateSize) {
                }
                if (freq(s) < kMaxFreq - 9) {
                    freq(s) = std::uint8_t(freq(s) + 2);
                    setSummFreq(c, summFreq(c) + 2);
                }
            } else {
                s = oneState(c);
                freq(s) = std::uint8_t(freq(s) + (freq(s) < 32));
            }
        }
        if (successor(s) != 0) {
            break;
        }
        setSuccessor(s, upBranch);
        ++m_orderFall;
    }

    if (successor(s) <= upBranch) {
        const Ref found = m_foundState;
        m_foundState = s;
        setSuccessor(s, createSuccessors(false, 0, c));
        m_foundState = found;
    }
    if (m_orderFall == 1 && start == m_maxContext) {
        setSuccessor(m_foundState, successor(s));
        --m_arena.text;
    }
    return successor(s);
}

// `failed` is the context whose growth ran out of memory: those before it, from the
// longest, already hold the new symbol and give it back.
void PpmdDecoder::restoreModel(Ref failed) {
    m_arena.text = ppmd::Arena::kTextStart;
    Ref c = m_maxContext;
    for (; c != failed; c = suffix(c)) {
        if (--numStats(c) == 0) {
            const Ref list = stats(c);
            State only = loadState(list);
            flags(c) = std::uint8_t((flags(c) & kPrevHigh) + highBit(only.symbol));
            only.freq = std::uint8_t((only.freq + 11u) >> 3);
            m_arena.freeUnit(list);
            storeState(oneState(c), only);
        } else {
            refresh(c, (numStats(c) + 3u) >> 1, 0);
        }
    }
    for (; c != m_minContext; c = suffix(c)) {
        if (numStats(c) == 0) {
            freq(oneState(c)) = std::uint8_t(freq(oneState(c)) - (freq(oneState(c)) >> 1));
        } else {
            setSummFreq(c, summFreq(c) + 4);
            if (summFreq(c) > 128 + 4u * numStats(c)) {
                refresh(c, (numStats(c) + 2u) >> 1, 1);
            }
        }
    }

    if (!m_cutOff || m_arena.usedBytes() < (m_arena.size() >> 1)) {
        restart();
        return;
    }
    while (suffix(m_maxContext) != 0) {
        m_maxContext = suffix(m_maxContext);
    }
    do {
        cutOff(m_maxContext, 0);
        m_arena.expandText();
    } while (m_arena.usedBytes() > 3 * (m_arena.size() >> 2));
    m_arena.mergeAtNextShortage();
    m_orderFall = m_maxOrder;
}

// Moves a context's list into the size its count needs, its frequencies halved when
// `scale` is 1, its sum and flags made again.
void PpmdDecoder::refresh(Ref c, unsigned oldUnits, unsigned scale) {
    unsigned i = numStats(c);
    Ref s = m_arena.shrinkUnits(stats(c), oldUnits, (i + 2) >> 1);
    setStats(c, s);
    unsigned newFlags = (flags(c) & (kPrevHigh + kRescaled * scale)) + highBit(symbol(s));
    unsigned escFreq = summFreq(c) - freq(s);
    freq(s) = std::uint8_t((freq(s) + scale) >> scale);
    unsigned sumFreq = freq(s);
    do {
        s += kStateSize;
        escFreq -= freq(s);
        freq(s) = std::uint8_t((freq(s) + scale) >> scale);
        sumFreq += freq(s);
        newFlags |= highBit(symbol(s));
    } while (--i);
    setSummFreq(c, sumFreq + ((escFreq + scale) >> scale));
    flags(c) = std::uint8_t(newFlags);
}

// Drops from the tree under `c` the successors that point into the text and the contexts
// deeper than the order, and frees what is left empty. Returns `c`, or 0 once it is freed.
PpmdDecoder::Ref PpmdDecoder::cutOff(Ref c, unsigned order) {
    if (numStats(c) == 0) {
        const Ref s = oneState(c);
        if (isContext(successor(s))) {
            setSuccessor(s, order < m_maxOrder ? cutOff(successor(s), order + 1) : 0);
            if (successor(s) != 0 || order <= 9) {
                return c;
            }
        }
        m_arena.freeUnit(c);
        return 0;
    }

    const unsigned units = (numStats(c) + 2u) >> 1;
    setStats(c, m_arena.moveUnitsDown(stats(c), units));
    const Ref list = stats(c);
    int last = numStats(c);
    for (Ref s = list + unsigned(last) * kStateSize;; s -= kStateSize) {
        if (!isContext(successor(s))) {
            const Ref end = list + unsigned(last--) * kStateSize;
            setSuccessor(s, 0);
            swapStates(s, end);
        } else if (order < m_maxOrder) {
            setSuccessor(s, cutOff(successor(s), order + 1));
        } else {
            setSuccessor(s, 0);
        }
        if (s == list) {
            break;
        }
    }

    if (last != numStats(c) && order != 0) {
        numStats(c) = std::uint8_t(last);
        if (last < 0) {
            m_arena.freeUnits(list, units);
            m_arena.freeUnit(c);
            return 0;
        }
        if (last == 0) {
            State only = loadState(list);
            flags(c) = std::uint8_t((flags(c) & kPrevHigh) + highBit(only.symbol));
            only.freq = std::uint8_t((only.freq + 11u) >> 3);
            storeState(oneState(c), only);
            m_arena.freeUnits(list, units);
        } else {
            refresh(c, units, summFreq(c) > 16u * unsigned(last));
        }
    }
    return c;
}

} // namespace archive_engine
