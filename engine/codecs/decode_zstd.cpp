// zstd through libzstd, frame after frame until the entry's data ends.

#include "codecs/method_decoders.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <bit>

namespace archive_engine {

namespace {

// The largest window a frame may ask for: enough for the whole entry, and never less than
// zstd's own default limit (128 MiB), so that whatever the zstd tool decodes by default
// decodes here too. A larger request is damage or
// an attempt to make us allocate: the frame is refused.
int windowLogFor(std::uint64_t size) {
    constexpr int kFloor = 27;
    const int needed = size <= 1 ? 0 : int(std::bit_width(size - 1));
    return std::clamp(needed, kFloor, ZSTD_dParam_getBounds(ZSTD_d_windowLogMax).upperBound);
}

DecodeResult fromZstdError(std::size_t code) {
    return ZSTD_getErrorCode(code) == ZSTD_error_memory_allocation ? DecodeResult::OutOfMemory
                                                                   : DecodeResult::Corrupted;
}

} // namespace

DecodeResult decodeZstd(EntryInput& input, CheckedOutput& output, DecoderState& state) {
    std::size_t outSize = 0;
    std::uint8_t* const out = state.outputFor(output, &outSize);
    if (!state.zstd && !(state.zstd = ZSTD_createDCtx())) {
        return DecodeResult::OutOfMemory;
    }
    ZSTD_DCtx* const context = state.zstd;
    ZSTD_DCtx_reset(context, ZSTD_reset_session_and_parameters);
    const std::size_t set = ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax,
                                                   windowLogFor(output.entry().uncompressedSize));
    if (ZSTD_isError(set)) {
        return fromZstdError(set);
    }
    DecodeResult result = DecodeResult::Ok;
    std::size_t pending = 1; // what ZSTD_decompressStream last said: 0 when a frame is complete
    for (;;) {
        const auto in = input.peek(EntryDecoder::kChunkSize);
        if (input.readFailed()) {
            return DecodeResult::Corrupted;
        }
        if (in.empty() && pending == 0) {
            return output.verdict();
        }
        ZSTD_inBuffer source{in.data(), in.size(), 0};
        ZSTD_outBuffer target{out, outSize, 0};
        pending = ZSTD_decompressStream(context, &target, &source);
        if (ZSTD_isError(pending)) {
            return fromZstdError(pending);
        }
        input.advance(source.pos);
        if (target.pos > 0 && !output.put(out, target.pos, &result)) {
            return result;
        }
        if (target.pos == 0 && source.pos == 0 && pending != 0) {
            return DecodeResult::Corrupted; // the data ends before the frame does
        }
    }
}

} // namespace archive_engine
