// bzip2 through libbz2: a zip entry holds one whole bzip2 stream, header included.

#include "codecs/method_decoders.h"

#include <bzlib.h>

#include <climits>
#include <memory>

namespace archive_engine {

DecodeResult decodeBzip2(EntryInput& input, CheckedOutput& output, DecoderState& state) {
    std::size_t outSize = 0;
    std::uint8_t* const out = state.outputFor(output, &outSize);
    bz_stream stream{};
    const int init = BZ2_bzDecompressInit(&stream, 0, 0);
    if (init != BZ_OK) {
        return init == BZ_MEM_ERROR ? DecodeResult::OutOfMemory : DecodeResult::Corrupted;
    }
    const std::unique_ptr<bz_stream, int (*)(bz_stream*)> guard(&stream, BZ2_bzDecompressEnd);
    DecodeResult result = DecodeResult::Ok;
    for (;;) {
        const auto in = input.peek(EntryDecoder::kChunkSize);
        if (input.readFailed()) {
            return DecodeResult::Corrupted;
        }
        stream.next_in = reinterpret_cast<char*>(const_cast<std::uint8_t*>(in.data()));
        stream.avail_in = unsigned(in.size());
        stream.next_out = reinterpret_cast<char*>(out);
        stream.avail_out = unsigned(outSize);
        const int status = BZ2_bzDecompress(&stream);
        const std::size_t used = in.size() - stream.avail_in;
        input.advance(used);
        const std::size_t produced = outSize - stream.avail_out;
        if (produced > 0 && !output.put(out, produced, &result)) {
            return result;
        }
        if (status == BZ_STREAM_END) {
            return output.verdict();
        }
        if (status != BZ_OK) {
            return status == BZ_MEM_ERROR ? DecodeResult::OutOfMemory : DecodeResult::Corrupted;
        }
        if (produced == 0 && used == 0) {
            return DecodeResult::Corrupted; // the data ends before the stream does
        }
    }
}

} // namespace archive_engine
