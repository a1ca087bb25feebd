#pragma once

// The decoders of the compression methods, each a loop from an entry's stored bytes to
// its checked content. Only EntryDecoder calls them; the state they keep between entries
// (large for some methods) lives in DecoderState.

#include "codecs/entry_decoder.h"
#include "zip/archive_reader.h"

#include <cstdint>
#include <memory>

struct inflate_state;
struct ZSTD_DCtx_s;

namespace archive_engine {

class Deflate64Decoder;
class PpmdDecoder;

// Counts and checksums what an entry produces, refusing more than it declared.
class CheckedOutput {
public:
    CheckedOutput(const ZipEntry& entry, EntryOutput& output) : m_entry(entry), m_output(output) {}

    // False with *result set when the data overruns or the output stops.
    bool put(const std::uint8_t* data, std::size_t size, DecodeResult* result);
    DecodeResult verdict() const;
    // The declared size still to come.
    std::uint64_t remaining() const { return m_entry.uncompressedSize - m_produced; }
    const ZipEntry& entry() const { return m_entry; }

private:
    const ZipEntry& m_entry;
    EntryOutput& m_output;
    std::uint64_t m_produced = 0;
    std::uint32_t m_crc = 0;
};

struct DecoderState {
    DecoderState();
    ~DecoderState();

    // An output buffer of at most EntryDecoder::kChunkSize bytes, no larger than the
    // entry needs plus one byte (so that a stream producing more than it declared is
    // caught). Throws std::bad_alloc.
    std::uint8_t* outputFor(const CheckedOutput& checked, std::size_t* size);

    ScratchBuffer output;
    std::unique_ptr<inflate_state> inflate; // ISA-L's state, large: kept between entries
    std::unique_ptr<Deflate64Decoder> deflate64;
    std::unique_ptr<PpmdDecoder> ppmd; // its model's memory kept for the next entry of that size
    ZSTD_DCtx_s* zstd = nullptr;
};

DecodeResult copyStored(EntryInput& input, CheckedOutput& output, DecoderState& state);
DecodeResult inflateDeflate(EntryInput& input, CheckedOutput& output, DecoderState& state);
DecodeResult inflateDeflate64(EntryInput& input, CheckedOutput& output, DecoderState& state);
DecodeResult decodeBzip2(EntryInput& input, CheckedOutput& output, DecoderState& state);
DecodeResult decodeLzma(EntryInput& input, CheckedOutput& output, DecoderState& state);
DecodeResult decodeXz(EntryInput& input, CheckedOutput& output, DecoderState& state);
DecodeResult decodeZstd(EntryInput& input, CheckedOutput& output, DecoderState& state);
DecodeResult decodePpmd(EntryInput& input, CheckedOutput& output, DecoderState& state);

} // namespace archive_engine
