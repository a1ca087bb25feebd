// LZMA (the zip form) and XZ through liblzma. Both headers may ask for a window of up to
// 4 GiB, which liblzma allocates whole; a match can reach no further back than the entry
// is long (one that tries is damage the decoder reports), so the window is cut to that.

#include "codecs/method_decoders.h"

#include <lzma.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace archive_engine {

namespace {

void capWindow(lzma_filter& filter, std::uint64_t entrySize) {
    if (filter.id != LZMA_FILTER_LZMA1 && filter.id != LZMA_FILTER_LZMA1EXT &&
        filter.id != LZMA_FILTER_LZMA2) {
        return;
    }
    auto* options = static_cast<lzma_options_lzma*>(filter.options);
    if (options && options->dict_size > entrySize) {
        options->dict_size = std::uint32_t(std::max<std::uint64_t>(entrySize, LZMA_DICT_SIZE_MIN));
    }
}

DecodeResult fromLzma(lzma_ret status) {
    return status == LZMA_MEM_ERROR ? DecodeResult::OutOfMemory : DecodeResult::Corrupted;
}

struct StreamEnd {
    void operator()(lzma_stream* stream) const { lzma_end(stream); }
};

// Runs an initialised stream to its end over the entry's data.
DecodeResult run(lzma_stream& stream, EntryInput& input, CheckedOutput& output,
                 DecoderState& state) {
    std::size_t outSize = 0;
    std::uint8_t* const out = state.outputFor(output, &outSize);
    DecodeResult result = DecodeResult::Ok;
    for (;;) {
        const auto in = input.peek(EntryDecoder::kChunkSize);
        if (input.readFailed()) {
            return DecodeResult::Corrupted;
        }
        stream.next_in = in.data();
        stream.avail_in = in.size();
        stream.next_out = out;
        stream.avail_out = outSize;
        const lzma_ret status = lzma_code(&stream, LZMA_RUN);
        const std::size_t used = in.size() - stream.avail_in;
        input.advance(used);
        const std::size_t produced = outSize - stream.avail_out;
        if (produced > 0 && !output.put(out, produced, &result)) {
            return result;
        }
        if (status == LZMA_STREAM_END) {
            return DecodeResult::Ok;
        }
        if (status != LZMA_OK && status != LZMA_BUF_ERROR) {
            return fromLzma(status);
        }
        if (produced == 0 && used == 0) {
            return DecodeResult::Corrupted; // the data ends before the stream does
        }
    }
}

} // namespace

DecodeResult decodeLzma(EntryInput& input, CheckedOutput& output, DecoderState& state) {
    // Two version bytes, a two-byte properties size, the five-byte properties, then a raw
    // LZMA1 stream whose size the entry declares.
    unsigned char header[9];
    if (!input.take(header, sizeof header) || header[2] != 5 || header[3] != 0) {
        return DecodeResult::Corrupted;
    }
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
    if (lzma_properties_decode(&filters[0], nullptr, header + 4, 5) != LZMA_OK) {
        return DecodeResult::Corrupted;
    }
    const std::uint64_t size = output.entry().uncompressedSize;
    capWindow(filters[0], size);
    auto* options = static_cast<lzma_options_lzma*>(filters[0].options);
    options->ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
    options->ext_size_low = std::uint32_t(size);
    options->ext_size_high = std::uint32_t(size >> 32);
    lzma_stream stream = LZMA_STREAM_INIT;
    const std::unique_ptr<lzma_stream, StreamEnd> guard(&stream);
    const lzma_ret status = lzma_raw_decoder(&stream, filters);
    std::free(filters[0].options);
    if (status != LZMA_OK) {
        return fromLzma(status);
    }
    const DecodeResult result = run(stream, input, output, state);
    return result == DecodeResult::Ok ? output.verdict() : result;
}

DecodeResult decodeXz(EntryInput& input, CheckedOutput& output, DecoderState& state) {
    // liblzma's stream decoder takes the window from each block header as it stands, so the
    // blocks are opened here, their windows cut, and each decoded by a block decoder. The
    // index after the last block only repeats sizes the entry's CRC already vouches for.
    std::uint8_t streamHeader[LZMA_STREAM_HEADER_SIZE];
    lzma_stream_flags flags{};
    if (!input.take(streamHeader, sizeof streamHeader) ||
        lzma_stream_header_decode(&flags, streamHeader) != LZMA_OK) {
        return DecodeResult::Corrupted;
    }
    for (;;) {
        std::uint8_t blockHeader[LZMA_BLOCK_HEADER_SIZE_MAX];
        if (!input.take(blockHeader, 1)) {
            return DecodeResult::Corrupted;
        }
        if (blockHeader[0] == 0) {
            return output.verdict(); // the index indicator: no block follows
        }
        lzma_filter filters[LZMA_FILTERS_MAX + 1];
        lzma_block block{};
        block.version = 1;
        block.check = flags.check;
        block.filters = filters;
        block.header_size = lzma_block_header_size_decode(blockHeader[0]);
        if (!input.take(blockHeader + 1, block.header_size - 1) ||
            lzma_block_header_decode(&block, nullptr, blockHeader) != LZMA_OK) {
            return DecodeResult::Corrupted;
        }
        for (std::size_t i = 0; filters[i].id != LZMA_VLI_UNKNOWN; ++i) {
            capWindow(filters[i], output.entry().uncompressedSize);
        }
        lzma_stream stream = LZMA_STREAM_INIT;
        const std::unique_ptr<lzma_stream, StreamEnd> guard(&stream);
        const lzma_ret status = lzma_block_decoder(&stream, &block);
        // The decoder keeps what it needs of the options.
        lzma_filters_free(filters, nullptr);
        if (status != LZMA_OK) {
            return fromLzma(status);
        }
        if (const DecodeResult result = run(stream, input, output, state);
            result != DecodeResult::Ok) {
            return result;
        }
    }
}

} // namespace archive_engine
