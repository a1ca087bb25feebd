#include "codecs/entry_decoder.h"

#include "codecs/deflate64.h"
#include "codecs/method_decoders.h"
#include "codecs/ppmd.h"

#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <zstd.h>

#include <algorithm>
#include <new>

namespace archive_engine {

namespace {

using Decoder = DecodeResult (*)(EntryInput&, CheckedOutput&, DecoderState&);

Decoder decoderFor(std::uint16_t method) {
    switch (method) {
    case 0:
        return copyStored;
    case 8:
        return inflateDeflate;
    case 9:
        return inflateDeflate64;
    case 12:
        return decodeBzip2;
    case 14:
        return decodeLzma;
    case 20: // zstd's first number, before 93 was assigned; some tools still write it
    case 93:
        return decodeZstd;
    case 95:
        return decodeXz;
    case 98:
        return decodePpmd;
    default:
        return nullptr;
    }
}

} // namespace

bool CheckedOutput::put(const std::uint8_t* data, std::size_t size, DecodeResult* result) {
    if (size > remaining()) {
        *result = DecodeResult::Corrupted;
        return false;
    }
    m_produced += size;
    m_crc = libdeflate_crc32(m_crc, data, size);
    if (!m_output.consume(reinterpret_cast<const char*>(data), size)) {
        *result = DecodeResult::Stopped;
        return false;
    }
    return true;
}

DecodeResult CheckedOutput::verdict() const {
    if (m_produced != m_entry.uncompressedSize) {
        return DecodeResult::Corrupted;
    }
    return m_crc == m_entry.crc ? DecodeResult::Ok : DecodeResult::BadCrc;
}

DecoderState::DecoderState() : inflate(std::make_unique<inflate_state>()) {}

DecoderState::~DecoderState() {
    ZSTD_freeDCtx(zstd);
}

std::uint8_t* DecoderState::outputFor(const CheckedOutput& checked, std::size_t* size) {
    output.resize(std::size_t(
        std::min<std::uint64_t>(checked.remaining(), EntryDecoder::kChunkSize - 1) + 1));
    *size = output.size();
    return reinterpret_cast<std::uint8_t*>(output.data());
}

DecodeResult copyStored(EntryInput& input, CheckedOutput& output, DecoderState&) {
    DecodeResult result = DecodeResult::Ok;
    while (input.remaining() > 0) {
        // Straight from the archive's window: stored bytes need no buffer of their own.
        const auto bytes = input.peek(EntryDecoder::kChunkSize);
        if (bytes.empty()) {
            return DecodeResult::Corrupted;
        }
        if (!output.put(bytes.data(), bytes.size(), &result)) {
            return result;
        }
        input.advance(bytes.size());
    }
    return output.verdict();
}

EntryDecoder::EntryDecoder() : m_state(std::make_unique<DecoderState>()) {}

EntryDecoder::~EntryDecoder() = default;

bool EntryDecoder::canDecode(std::uint16_t method) {
    return decoderFor(method) != nullptr;
}

DecodeResult EntryDecoder::decode(ArchiveReader& archive, const ZipEntry& entry,
                                  EntryOutput& output) {
    // Before the method: AES-encrypted entries carry a method number of their own, and
    // what they lack is a password, not a decoder.
    if (entry.encrypted()) {
        return DecodeResult::BadPassword; // no password is ever given
    }
    const Decoder decoder = decoderFor(entry.method);
    if (!decoder) {
        return DecodeResult::UnknownMethod;
    }
    EntryInput input(archive, entry.dataOffset, entry.compressedSize);
    CheckedOutput checked(entry, output);
    archive.clearReadError();
    DecodeResult result;
    try {
        result = decoder(input, checked, *m_state);
    } catch (const std::bad_alloc&) {
        return DecodeResult::OutOfMemory;
    }
    // Whatever the decoder made of bytes that never came, the disk failed, not the archive.
    if (result != DecodeResult::Ok && result != DecodeResult::Stopped && archive.readError()) {
        return DecodeResult::ReadError;
    }
    return result;
}

} // namespace archive_engine
