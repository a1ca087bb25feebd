#pragma once

// Streaming decoder for zip method 9, Deflate64: deflate with a 64 KiB window, length code
// 285 carrying 16 extra bits (lengths up to 65538) and distance codes 30 and 31. No packaged
// library decodes it, so it lives here. Content is decoded into a window buffer that keeps
// the last 64 KiB as history and is handed out from there, so the decoder can stop and resume
// at any byte of input or output. Memory is fixed at construction whatever the input.

#include <cstddef>
#include <cstdint>
#include <memory>

namespace archive_engine {

class Deflate64Decoder {
public:
    enum class Status { NeedInput, OutputFull, End, Corrupted };

    Deflate64Decoder(); // throws std::bad_alloc
    void reset();       // ready for a new stream, memory kept

    // Decodes as much as possible, advancing both sides. End once the final block is complete
    // and handed out (input after it is left unconsumed); Corrupted on any invalid stream,
    // once the content decoded before the error is handed out; NeedInput when all input was
    // consumed and the stream is not done; OutputFull when decoded content waits and
    // avail_out is 0. Resumable at any byte of input and output.
    Status decode(const std::uint8_t*& next_in, std::size_t& avail_in, std::uint8_t*& next_out,
                  std::size_t& avail_out);

private:
    enum class Mode : std::uint8_t {
        BlockHeader,
        StoredLength,
        StoredCopy,
        TableSizes,
        PrecodeLengths,
        CodeLengths,
        Symbols,
        Distance,
        MatchCopy,
        Done,
        Bad,
    };
    enum class Step { Continue, NeedInput, WindowFull, Stop };

    // Window buffer: 64 KiB of history, then room to decode ahead; slack so that copies may
    // run a few bytes past their end.
    static constexpr std::size_t kHistory = std::size_t{1} << 16;
    static constexpr std::size_t kWindowEnd = std::size_t{1} << 19;
    static constexpr std::size_t kSlack = 16;
    // Lookup tables: a first level indexed by that many bits, then subtables for longer
    // codes. Capacities hold the first level plus one subtable of the largest size per
    // symbol, so no code, valid or not, can write past them.
    static constexpr unsigned kLitBits = 10;
    static constexpr unsigned kDistBits = 8;
    static constexpr unsigned kPrecodeBits = 7;
    static constexpr std::size_t kLitCapacity = (1u << kLitBits) + 288 * (1u << (15 - kLitBits));
    static constexpr std::size_t kDistCapacity = (1u << kDistBits) + 32 * (1u << (15 - kDistBits));
    static constexpr unsigned kMaxCodeLengths = 288 + 32;

    Step run();
    Step fastSymbols();
    Step slowSymbol();
    Step slowDistance();
    Step copyMatch();
    Step copyStored();
    Step readCodeLengths();
    bool buildDynamicTables();
    void flush(std::uint8_t*& next_out, std::size_t& avail_out);
    bool pullByte();
    bool need(unsigned bits);
    bool peek(const std::uint32_t* table, unsigned rootBits, std::uint32_t& entry);
    std::uint32_t takeBits(unsigned bits);
    void giveBackBytes(std::size_t limit);
    Step fail();

    std::unique_ptr<std::uint8_t[]> m_window;
    std::unique_ptr<std::uint32_t[]>
        m_tables; // dynamic lit/len, dist, precode; fixed lit/len, dist
    std::uint32_t* m_litDynamic;
    std::uint32_t* m_distDynamic;
    std::uint32_t* m_precode;
    std::uint32_t* m_litFixed;
    std::uint32_t* m_distFixed;
    const std::uint32_t* m_lit = nullptr;
    const std::uint32_t* m_dist = nullptr;
    unsigned m_litBits = 0; // first-level index bits of m_lit and m_dist
    unsigned m_distBits = 0;

    // Input of the current decode() call.
    const std::uint8_t* m_in = nullptr;
    const std::uint8_t* m_inEnd = nullptr;

    std::uint64_t m_bits = 0; // bits above m_bitCount are zero between steps
    unsigned m_bitCount = 0;
    std::size_t m_pos = 0;     // next byte to decode into m_window
    std::size_t m_flushed = 0; // next byte of m_window to hand out
    Mode m_mode = Mode::BlockHeader;
    bool m_finalBlock = false;

    std::size_t m_storedLeft = 0;
    unsigned m_matchLength = 0;
    unsigned m_matchDistance = 0;
    unsigned m_litCount = 0;  // symbols in the dynamic lit/len code
    unsigned m_distCount = 0; // symbols in the dynamic distance code
    unsigned m_precodeCount = 0;
    unsigned m_lengthsRead = 0;
    std::uint8_t m_lengths[kMaxCodeLengths] = {};
};

} // namespace archive_engine
