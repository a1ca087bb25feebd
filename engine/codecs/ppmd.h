#pragma once

// Streaming decoder for zip method 98: PPMd variant I, revision 1, as 7-Zip writes it into
// zip. A two-byte header gives the model's order (2 to 16), its memory (1 to 256 MB) and
// what to do when the memory is full (start afresh, or cut the model down); a range-coded
// stream of symbols follows. The model is rebuilt symbol by symbol exactly as the encoder
// built it, so its memory is the size the header asks for, allocated once and kept for the
// next stream of that size. Input is pulled from a source a piece at a time; output is
// produced as asked for, so neither side is ever held whole.

#include "codecs/ppmd_arena.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace archive_engine {

class PpmdDecoder {
public:
    static constexpr std::size_t kHeaderSize = 2;
    static constexpr unsigned kMinOrder = 2;
    static constexpr unsigned kMaxOrder = 16;
    static constexpr std::uint32_t kMaxMemory = std::uint32_t{256} << 20;

    // The stream's bytes, a piece at a time.
    class Source {
    public:
        // The next piece; empty once there is no more (the end of the data or a read error).
        virtual std::span<const std::uint8_t> more() = 0;

    protected:
        ~Source() = default;
    };

    struct Parameters {
        unsigned order = 0;
        std::uint32_t memory = 0; // bytes
        bool cutOff = false;      // else the model starts afresh when memory is full
    };
    // The header's parameters; false for an order below 2 or a method other than the two.
    static bool parseHeader(const std::uint8_t (&header)[kHeaderSize], Parameters* parameters);

    enum class Status {
        Ok,        // all that was asked for was decoded
        EndMark,   // the stream's end mark came first
        Truncated, // the data ended inside the stream
        Corrupted, // a code no encoder writes
    };

    // Starts a stream, reading its first four bytes from `source` (the header is the
    // caller's). Allocates the model's memory; throws std::bad_alloc. Truncated when
    // `source` runs dry, Corrupted when the first bytes are impossible.
    Status start(const Parameters& parameters, Source& source);

    // Decodes up to `size` bytes into `out`; *produced tells how many. Ok with all of them;
    // otherwise the reason decoding stopped, after the bytes before it. The source must be
    // the one given to start(), and is read no further than the stream needs.
    Status decode(std::uint8_t* out, std::size_t size, std::size_t* produced);

private:
    using Ref = ppmd::Ref;

    // A symbol's statistics: 6 bytes in the arena.
    struct State {
        std::uint8_t symbol;
        std::uint8_t freq;
        Ref successor; // a context, a position in the text, or 0
    };
    // Adaptive estimates of escape frequencies (secondary escape estimation).
    struct See {
        std::uint16_t summ;
        std::uint8_t shift;
        std::uint8_t count;
    };

    static constexpr int kEndMark = -1;
    static constexpr int kBadCode = -2;

    // Context fields: a count of symbols less one, flags, the frequencies' sum, the symbol
    // list and the shorter context. A context with one symbol keeps it in place of the sum
    // and the list.
    std::uint8_t& numStats(Ref c) { return m_mem[c]; }
    std::uint8_t& flags(Ref c) { return m_mem[c + 1]; }
    std::uint16_t summFreq(Ref c) const { return load16(c + 2); }
    void setSummFreq(Ref c, unsigned v) { store16(c + 2, std::uint16_t(v)); }
    Ref stats(Ref c) const { return load32(c + 4); }
    void setStats(Ref c, Ref v) { store32(c + 4, v); }
    Ref suffix(Ref c) const { return load32(c + 8); }
    void setSuffix(Ref c, Ref v) { store32(c + 8, v); }
    static Ref oneState(Ref c) { return c + 2; }

    // State fields.
    std::uint8_t& symbol(Ref s) { return m_mem[s]; }
    std::uint8_t& freq(Ref s) { return m_mem[s + 1]; }
    Ref successor(Ref s) const { return load32(s + 2); }
    void setSuccessor(Ref s, Ref v) { store32(s + 2, v); }
    State loadState(Ref s) const { return {m_mem[s], m_mem[s + 1], load32(s + 2)}; }
    void storeState(Ref s, const State& v) {
        m_mem[s] = v.symbol;
        m_mem[s + 1] = v.freq;
        store32(s + 2, v.successor);
    }
    void copyState(Ref to, Ref from) { std::memmove(m_mem + to, m_mem + from, 6); }
    void swapStates(Ref a, Ref b) {
        const State t = loadState(a);
        copyState(a, b);
        storeState(b, t);
    }
    static constexpr unsigned kStateSize = 6;

    std::uint16_t load16(Ref at) const {
        std::uint16_t v;
        std::memcpy(&v, m_mem + at, 2);
        return v;
    }
    std::uint32_t load32(Ref at) const {
        std::uint32_t v;
        std::memcpy(&v, m_mem + at, 4);
        return v;
    }
    void store16(Ref at, std::uint16_t v) { std::memcpy(m_mem + at, &v, 2); }
    void store32(Ref at, std::uint32_t v) { std::memcpy(m_mem + at, &v, 4); }
    bool isContext(Ref r) const { return r >= m_arena.unitsStart; }

    // Range decoder.
    std::uint8_t nextByte();
    std::uint32_t threshold(std::uint32_t total);
    void take(std::uint32_t start, std::uint32_t size);

    // The model.
    void restart();
    int decodeSymbol();
    int decodeEscaped();
    See* escapeEstimate(unsigned masked, std::uint32_t* escFreq);
    std::uint16_t& binaryProbability();
    void updateFirst();
    void updateOther();
    void updateBinary();
    void updateEscaped();
    void nextContext();
    void rescale();
    void updateModel();
    Ref createSuccessors(bool skip, Ref s1, Ref c);
    Ref reduceOrder(Ref s1, Ref c);
    void restoreModel(Ref failed);
    void refresh(Ref c, unsigned oldUnits, unsigned scale);
    Ref cutOff(Ref c, unsigned order);

    ppmd::Arena m_arena;
    std::uint8_t* m_mem = nullptr; // the arena's bytes

    Source* m_source = nullptr;
    std::span<const std::uint8_t> m_in;
    std::size_t m_inPos = 0;
    bool m_short = false; // the source ran dry and zeros stood in

    std::uint32_t m_range = 0;
    std::uint32_t m_code = 0;
    std::uint32_t m_low = 0;

    Ref m_minContext = 0;
    Ref m_maxContext = 0;
    Ref m_foundState = 0;
    unsigned m_orderFall = 0;
    unsigned m_initEsc = 0;
    unsigned m_prevSuccess = 0;
    unsigned m_maxOrder = 0;
    bool m_cutOff = false;
    std::int32_t m_runLength = 0;
    std::int32_t m_initRunLength = 0;
    bool m_masked[256] = {};

    See m_see[24][32] = {};
    See m_dummySee = {};
    std::uint16_t m_binSumm[25][64] = {};
};

} // namespace archive_engine
