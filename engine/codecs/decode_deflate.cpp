// Deflate through ISA-L, Deflate64 through our own decoder: both stream in chunks, with
// memory bounded whatever the entry's size.

#include "codecs/deflate64.h"
#include "codecs/method_decoders.h"

#include <isa-l/igzip_lib.h>

namespace archive_engine {

DecodeResult inflateDeflate(EntryInput& input, CheckedOutput& output, DecoderState& state) {
    std::size_t outSize = 0;
    std::uint8_t* const out = state.outputFor(output, &outSize);
    inflate_state& stream = *state.inflate;
    isal_inflate_init(&stream);
    stream.crc_flag = ISAL_DEFLATE; // raw deflate; the CRC is ours
    DecodeResult result = DecodeResult::Ok;
    while (stream.block_state != ISAL_BLOCK_FINISH) {
        const auto in = input.peek(EntryDecoder::kChunkSize);
        if (input.readFailed()) {
            return DecodeResult::Corrupted;
        }
        stream.next_in = const_cast<std::uint8_t*>(in.data());
        stream.avail_in = std::uint32_t(in.size());
        stream.next_out = out;
        stream.avail_out = std::uint32_t(outSize);
        if (isal_inflate(&stream) < 0) {
            return DecodeResult::Corrupted;
        }
        const std::size_t used = in.size() - stream.avail_in;
        input.advance(used);
        const std::size_t produced = outSize - stream.avail_out;
        if (produced > 0 && !output.put(out, produced, &result)) {
            return result;
        }
        // A call that neither took input nor gave output has reached the end of the
        // entry's data before the end of its stream.
        if (produced == 0 && used == 0 && stream.block_state != ISAL_BLOCK_FINISH) {
            return DecodeResult::Corrupted;
        }
    }
    return output.verdict();
}

DecodeResult inflateDeflate64(EntryInput& input, CheckedOutput& output, DecoderState& state) {
    std::size_t outSize = 0;
    std::uint8_t* const out = state.outputFor(output, &outSize);
    if (!state.deflate64) {
        state.deflate64 = std::make_unique<Deflate64Decoder>();
    }
    Deflate64Decoder& decoder = *state.deflate64;
    decoder.reset();
    DecodeResult result = DecodeResult::Ok;
    for (;;) {
        const auto in = input.peek(EntryDecoder::kChunkSize);
        if (input.readFailed()) {
            return DecodeResult::Corrupted;
        }
        const std::uint8_t* nextIn = in.data();
        std::size_t availIn = in.size();
        std::uint8_t* nextOut = out;
        std::size_t availOut = outSize;
        const Deflate64Decoder::Status status = decoder.decode(nextIn, availIn, nextOut, availOut);
        input.advance(in.size() - availIn);
        const std::size_t produced = outSize - availOut;
        if (produced > 0 && !output.put(out, produced, &result)) {
            return result;
        }
        switch (status) {
        case Deflate64Decoder::Status::End:
            return output.verdict();
        case Deflate64Decoder::Status::Corrupted:
            return DecodeResult::Corrupted;
        case Deflate64Decoder::Status::NeedInput:
            if (input.remaining() == 0) {
                return DecodeResult::Corrupted; // the data ends before the stream does
            }
            break;
        case Deflate64Decoder::Status::OutputFull:
            break;
        }
    }
}

} // namespace archive_engine
